"""Each module's metadata as a caller sees it, checked for every module by
test_conventions.test_metadata_is_what_the_table_states: globals and class namespaces
in binding order, class docstrings, and per function (docstring, defaults, annotations)."""

# Packages a module imports only when they are installed.
OPTIONAL_IMPORTS = {"ahocorasick"}

# fmt: off
METADATA = {'carvola.brennic': {'globals': ['BytesIO', 'Optional', 'Tuple', 'Image', 're', 'math', 'ImageTool'],
                     'ImageTool': {'namespace': ['__module__', 'STANDARD_RATIO_LIST', '__init__', '_parse_ratio',
                                                 '_get_closest_standard_ratio', 'adjust_size', '__doc__'],
                                   'doc': None},
                     'ImageTool.__init__': ('\n'
                                            '        :param proportion: 目标比例 "3:4"/"1:1"/""空字符串/None\n'
                                            '        :param need_adjust: resize / fill\n'
                                            '        :param fill_color: 填充背景色 RGBA，默认透明\n'
                                            '        ',
                                            (None, 'fill', (255, 255, 255, 0)),
                                            {'proportion': 'Optional[str]', 'need_adjust': 'str'}),
                     'ImageTool._parse_ratio': ('解析 3:4 -> (3,4)', None,
                                                {'ratio_str': 'str', 'return': 'Tuple[int, int]'}),
                     'ImageTool._get_closest_standard_ratio': ('计算原图宽高，匹配 STANDARD_RATIO_LIST 中最接近的标准比例字符串', None,
                                                               {'width': 'int', 'height': 'int', 'return': 'str'}),
                     'ImageTool.adjust_size': ('\n'
                                               '        调整图片尺寸\n'
                                               '        1. proportion存在有效值：\n'
                                               '           - 若与原图最接近标准比例不一致 → 直接返回原图不处理\n'
                                               '           - 若一致 → 反转比例后执行resize/fill，生成对应比例画布填充\n'
                                               '        2. proportion="" / None 且 need_adjust="fill"：\n'
                                               '           - 仅最小边按百分比放大，不使用任何比例画布，输出尺寸=放大后图片尺寸\n'
                                               '        3. proportion="" / None 且 need_adjust="resize"：沿用原有逻辑\n'
                                               '        :param expand_percent: 放大百分比，传数字 10 代表放大10%，传0不缩放，负数缩小\n'
                                               '        ',
                                               (False, 10.0),
                                               {'image_bytes': 'bytes',
                                                'return_origin_ratio': 'bool',
                                                'expand_percent': 'float'})},
 'carvola.vantor': {'globals': ['os', 'pickle', 're', 'List', 'Optional', 'Set', 'PromptBanError', '_AC_THRESHOLD',
                                'ahocorasick', '_HAS_AC', '_xor', '_load_default_words', 'PromptBanChecker'],
                    'PromptBanChecker': {'namespace': ['__module__', '__doc__', '__init__', 'load_banned_words',
                                                       '_load_from_file', '_build_engine', '_build_automaton',
                                                       'find_matched_words', '_has_banned_word', 'check',
                                                       'create_pickle_file'],
                                         'doc': '\n'
                                                '    提示词违禁词校验工具。\n'
                                                '\n'
                                                '    内置默认违禁词库，开箱即用；同时支持通过 builtin_words 或 ban_word_file\n'
                                                '    追加自定义违禁词，多来源词库自动合并去重。\n'
                                                '    词库较小时使用正则预编译匹配；词库较大时自动切换 Aho-Corasick 算法\n'
                                                '    （需安装 pyahocorasick: pip install carvola[fast]），实现 O(n) 扫描。\n'
                                                '    支持忽略大小写、长词优先匹配。\n'
                                                '    '},
                    '_xor': (None, None, {'data': 'bytes', 'key': 'bytes', 'return': 'bytes'}),
                    '_load_default_words': ('\n'
                                            '    从加密的内置词库加载违禁词。\n'
                                            '    _sildor 模块由独立的构建脚本生成，内含经 XOR 加密的 pickle 数据，\n'
                                            '    随包内的扩展模块一同发布，缺失或损坏时返回空列表。\n'
                                            '    ',
                                            None, {'return': 'List[str]'}),
                    'PromptBanChecker.__init__': ('\n'
                                                  '        初始化违禁词检测器\n'
                                                  '        :param ban_word_file: 用户自定义违禁词文件路径（可选，支持 .txt / .pkl / '
                                                  '.pickle）\n'
                                                  '        :param ignore_case: 是否忽略大小写匹配，默认True\n'
                                                  '        :param builtin_words: 运行时注入的内置违禁词列表（可选）\n'
                                                  '        :param use_default: 是否加载包内置默认违禁词库，默认True\n'
                                                  '        :param exclude_words: 需要从最终词库中排除的词列表（可选），\n'
                                                  '                              会从已加载的所有来源词库中移除匹配项\n'
                                                  '        ',
                                                  (None, True, None, True, None),
                                                  {'ban_word_file': 'Optional[str]',
                                                   'ignore_case': 'bool',
                                                   'builtin_words': 'Optional[List[str]]',
                                                   'use_default': 'bool',
                                                   'exclude_words': 'Optional[List[str]]'}),
                    'PromptBanChecker.load_banned_words': ('\n'
                                                           '        按优先级加载并合并多来源违禁词，清洗、去重、长词优先排序，重建正则。\n'
                                                           '        加载顺序：1. 包内置默认词库 → 2. builtin_words 参数 → 3. '
                                                           'ban_word_file 用户文件\n'
                                                           '        ',
                                                           None, {'return': 'None'}),
                    'PromptBanChecker._load_from_file': ('\n'
                                                         '        根据文件扩展名加载违禁词列表。\n'
                                                         '        - .pkl / .pickle: 使用 pickle 反序列化（期望内容为 list[str]）\n'
                                                         '        - 其他: 按文本行逐行读取\n'
                                                         '        ',
                                                         None, {'file_path': 'str', 'return': 'List[str]'}),
                    'PromptBanChecker._build_engine': ('根据词库规模自动选择最优匹配引擎：AC 自动机 或 正则', None, {'return': 'None'}),
                    'PromptBanChecker._build_automaton': ('构建 Aho-Corasick 自动机', None, {}),
                    'PromptBanChecker.find_matched_words': ('\n'
                                                            '        查找文本中所有命中的违禁词（去重返回）\n'
                                                            '\n'
                                                            '        Args:\n'
                                                            '            text: 待检测文本\n'
                                                            '\n'
                                                            '        Returns:\n'
                                                            '            命中的违禁词列表\n'
                                                            '        ',
                                                            None, {'text': 'str', 'return': 'List[str]'}),
                    'PromptBanChecker._has_banned_word': ('\n'
                                                          '        快速判断文本中是否包含违禁词（首次命中即返回）。\n'
                                                          '        用于 check() 方法的快速路径。\n'
                                                          '        ',
                                                          None, {'text': 'str', 'return': 'bool'}),
                    'PromptBanChecker.check': ('\n'
                                               '        校验提示词，存在违禁词则抛出自定义异常\n'
                                               '\n'
                                               '        Args:\n'
                                               '            prompt: 待检测文本\n'
                                               '\n'
                                               '        Returns:\n'
                                               '            原文本（校验通过）\n'
                                               '\n'
                                               '        Raises:\n'
                                               '            PromptBanError: 检测到违禁词时抛出\n'
                                               '        ',
                                               None, {'prompt': 'str', 'return': 'str'}),
                    'PromptBanChecker.create_pickle_file': ('\n'
                                                            '        将违禁词列表序列化为 pickle 文件，供后续加载使用。\n'
                                                            '\n'
                                                            '        Args:\n'
                                                            '            words: 违禁词列表\n'
                                                            '            output_path: 输出文件路径（建议以 .pkl 结尾）\n'
                                                            '        ',
                                                            None,
                                                            {'words': 'List[str]',
                                                             'output_path': 'str',
                                                             'return': 'None'})},
 'carvola.comfyui.olvast': {'globals': ['time', 'logging', 'requests', 'Optional', 'ComfyUIManager'],
                            'ComfyUIManager': {'namespace': ['__module__', '__doc__', '__init__', 'trigger_reboot',
                                                             'wait_service_ready', 'run_reboot_and_wait'],
                                               'doc': '\n'
                                                      '    ComfyUI 服务管理工具\n'
                                                      '\n'
                                                      '    功能：\n'
                                                      '    - 调用 reboot 接口发起服务重启\n'
                                                      '    - 轮询 system_stats 接口等待服务恢复\n'
                                                      '    - 完整流程：重启 + 等待恢复\n'
                                                      '    '},
                            'ComfyUIManager.__init__': (None, ('http://127.0.0.1:8188', 5, 60, 2.0, None),
                                                        {'base_url': 'str',
                                                         'timeout': 'int',
                                                         'max_wait_seconds': 'int',
                                                         'poll_interval': 'float',
                                                         'logger': 'Optional[logging.Logger]'}),
                            'ComfyUIManager.trigger_reboot': ('发起重启请求，无返回值；远程断开视为下发成功', None, {'return': 'None'}),
                            'ComfyUIManager.wait_service_ready': ('轮询检测服务是否恢复，60秒超时', None, {'return': 'bool'}),
                            'ComfyUIManager.run_reboot_and_wait': ('完整流程：发起重启 + 等待恢复', None, {'return': 'bool'})},
 'carvola.quessel': {'globals': ['BytesIO', 'Image', 'ImageRatioAnalyzer'],
                     'ImageRatioAnalyzer': {'namespace': ['__module__', '__doc__', '__init__', '_gcd',
                                                          'get_raw_simple_ratio', 'get_approx_simple_ratio'],
                                            'doc': '\n'
                                                   '    图片比例分析工具。\n'
                                                   '\n'
                                                   '    提供两种比例获取方式：\n'
                                                   '    - get_raw_simple_ratio: 获取图片真实最简宽高比（精确值）\n'
                                                   '    - get_approx_simple_ratio: 自动拟合近似简单整数比例（如 2:3、16:9）\n'
                                                   '    '},
                     'ImageRatioAnalyzer.__init__': ('\n'
                                                     '        图片比例分析类\n'
                                                     '        :param approx_search_range: 近似比例搜索整数范围，默认1~10\n'
                                                     '        ',
                                                     (10,), {'approx_search_range': 'int'}),
                     'ImageRatioAnalyzer._gcd': ('计算最大公约数', None, {'a': 'int', 'b': 'int', 'return': 'int'}),
                     'ImageRatioAnalyzer.get_raw_simple_ratio': ('\n'
                                                                 '        获取图片真实最简宽高比，不做近似。\n'
                                                                 '\n'
                                                                 '        Args:\n'
                                                                 '            image_bytes: 图片二进制数据\n'
                                                                 '\n'
                                                                 '        Returns:\n'
                                                                 '            最简比例字符串，如 "16:9"\n'
                                                                 '        ',
                                                                 None, {'image_bytes': 'bytes', 'return': 'str'}),
                     'ImageRatioAnalyzer.get_approx_simple_ratio': ('\n'
                                                                    '        自动拟合近似简单整数比例，无预设标准比例池。\n'
                                                                    '\n'
                                                                    '        遍历 1~approx_search_range 范围内的整数组合，\n'
                                                                    '        找到与图片实际比例最接近的简单整数比。\n'
                                                                    '\n'
                                                                    '        Args:\n'
                                                                    '            image_bytes: 图片二进制数据\n'
                                                                    '\n'
                                                                    '        Returns:\n'
                                                                    '            近似比例字符串，如 "2:3"、"16:9"\n'
                                                                    '        ',
                                                                    None,
                                                                    {'image_bytes': 'bytes', 'return': 'str'})},
 'carvola.tulvene': {'globals': ['math', 'ServiceError', 'GPTImageSizeCalculator'],
                     'GPTImageSizeCalculator': {'namespace': ['__module__', '__doc__', 'MIN_PIXELS', 'MAX_PIXELS',
                                                              'MAX_EDGE', 'MULTIPLE', 'MAX_RATIO',
                                                              'RESOLUTION_PRESET', '__init__', 'round_to_multiple',
                                                              'floor_to_multiple', 'is_valid_image_size',
                                                              'calc_size'],
                                                'doc': '\n'
                                                       '    gpt-image-2 尺寸计算器\n'
                                                       '\n'
                                                       '    功能：\n'
                                                       '    - 根据 aspect_ratio + resolution 自动生成合法尺寸\n'
                                                       '    - 自动满足约束：\n'
                                                       '        * 最大边 <= 3840\n'
                                                       '        * 宽高为16倍数\n'
                                                       '        * 宽高比 <= 3:1\n'
                                                       '        * 总像素 655360 ≤ pixels ≤ 8294400\n'
                                                       '    '},
                     'GPTImageSizeCalculator.__init__': (None, None, {}),
                     'GPTImageSizeCalculator.round_to_multiple': ('四舍五入对齐到指定倍数，最小不低于倍数本身', (None,),
                                                                  {'return': 'int'}),
                     'GPTImageSizeCalculator.floor_to_multiple': ('向下对齐倍数，用于像素超限时压缩', (None,), {'return': 'int'}),
                     'GPTImageSizeCalculator.is_valid_image_size': ('完整校验所有尺寸约束', None,
                                                                    {'width': 'int',
                                                                     'height': 'int',
                                                                     'return': 'bool'}),
                     'GPTImageSizeCalculator.calc_size': ('\n'
                                                          '        生成合规图像尺寸，严格限制总像素不超过8294400\n'
                                                          '        Args:\n'
                                                          '            aspect_ratio: 宽高比字符串，如 1:1 / 16:9 / 9:16 / '
                                                          '4:3 / 7:10\n'
                                                          '            resolution: 档位 1k / 2k / 4k\n'
                                                          '            strict: 是否严格校验 gpt-image-2 约束，默认 '
                                                          'False（超限比例自动钳位到最近合法比例）；\n'
                                                          '                    设为 True 时，超限比例直接抛出 ServiceError\n'
                                                          '        Returns:\n'
                                                          '            包含宽、高、尺寸字符串、总像素、比例、档位、是否合法的字典\n'
                                                          '        ',
                                                          ('1:1', '2k', False),
                                                          {'aspect_ratio': 'str',
                                                           'resolution': 'str',
                                                           'strict': 'bool'})},
 'carvola.dravik': {'globals': ['Image', 'Resampling', 'FluxKontextImageScale'],
                    'FluxKontextImageScale': {'namespace': ['__module__', '__doc__', 'PREFERED_KONTEXT_RESOLUTIONS',
                                                            '__init__', 'start'],
                                              'doc': '\n'
                                                     '    将图片缩放到最接近 Flux Kontext 优选分辨率的尺寸。\n'
                                                     '\n'
                                                     '    根据原图宽高比，从预定义的分辨率列表中选取最匹配的分辨率，\n'
                                                     '    使用 LANCZOS 算法进行高质量缩放。\n'
                                                     '    '},
                    'FluxKontextImageScale.__init__': ('\n        Args:\n            image: PIL Image 对象\n        ',
                                                       None, {'image': 'Image'}),
                    'FluxKontextImageScale.start': ('\n'
                                                    '        根据原图宽高比匹配最优分辨率并缩放。\n'
                                                    '\n'
                                                    '        Returns:\n'
                                                    '            缩放后的 PIL Image 对象\n'
                                                    '        ',
                                                    None, {'return': 'Image'})},
 'carvola.resize': {'globals': ['Image', 'Resampling', 'image_resize'],
                    'image_resize': ('\n'
                                     '    将图片等比缩放并居中放置到指定尺寸的画布上。\n'
                                     '\n'
                                     '    Args:\n'
                                     '        image: PIL Image 对象\n'
                                     '        target_w: 目标宽度\n'
                                     '        target_h: 目标高度\n'
                                     '        bg_color: 画布背景颜色，RGB 元组，默认为黑色 (0, 0, 0)\n'
                                     '\n'
                                     '    Returns:\n'
                                     '        缩放并居中后的 PIL Image 对象\n'
                                     '    ',
                                     ((0, 0, 0),),
                                     {'image': 'Image', 'target_w': 'int', 'target_h': 'int', 'return': 'Image'})}}
