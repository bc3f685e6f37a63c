"""The check subcommand: prompts against the banned-word list."""

import sys

from ._common import Output, UsageError, use_host_module


def _prompts(args):
    prompts = list(args.prompts)
    if args.file:
        try:
            stream = sys.stdin if args.file == "-" else open(args.file, encoding="utf-8")
        except OSError as e:
            raise UsageError(f"cannot read {args.file}: {e.strerror}") from None
        with stream:
            prompts += [line.rstrip("\r\n") for line in stream]
    elif not prompts:
        if sys.stdin.isatty():
            raise UsageError("give prompts as arguments, with --file, or on standard input")
        prompts = [line.rstrip("\r\n") for line in sys.stdin]
    return [p for p in prompts if p.strip()]


def run_check(args):
    use_host_module()
    from carvola import vantor

    try:
        checker = vantor.PromptBanChecker(
            ban_word_file=args.words,
            ignore_case=not args.case_sensitive,
            builtin_words=list(args.word),
            use_default=not args.no_default,
            exclude_words=list(args.exclude),
        )
    except FileNotFoundError as e:
        raise UsageError(str(e)) from None
    except (ValueError, UnicodeDecodeError, OSError) as e:
        raise UsageError(f"cannot load the word file {args.words}: {e}") from None
    output = Output(args.json)
    prompts = _prompts(args)
    banned = 0
    for prompt in prompts:
        try:
            checker.check(prompt)
            hits = []
        except vantor.PromptBanError as e:
            hits = list(getattr(e, "data", None) or checker.find_matched_words(prompt))
        banned += bool(hits)
        text = f"banned ({', '.join(sorted(hits))}): {prompt}" if hits else f"clean: {prompt}"
        output.item({"prompt": prompt, "banned": bool(hits), "hits": sorted(hits)}, text)
    summary = {"clean": len(prompts) - banned, "banned": banned, "total": len(prompts)}
    if args.json:
        output.item({"summary": summary}, "")
    elif len(prompts) > 1:
        print(f"{summary['clean']} clean, {banned} banned, {len(prompts)} in all", file=sys.stderr)
    return 1 if banned else 0


def add_parsers(subparsers, common):
    p = subparsers.add_parser(
        "check", parents=[common], help="screen prompts for banned words",
        description="Check prompts against the banned-word list: the built-in list, words given with --word "
        "and a word file. Exit status 0 when every prompt is clean, 1 when any holds a banned word.",
    )  # fmt: skip
    p.add_argument("prompts", nargs="*", metavar="PROMPT", help="prompts to check (default: standard input)")
    p.add_argument("--file", "-f", help="a file of prompts, one per line (- for standard input)")
    p.add_argument("--words", help="a word file: text (one word per line) or a pickled list (.pkl, .pickle)")
    p.add_argument("--word", action="append", default=[], help="an extra banned word (repeatable)")
    p.add_argument("--exclude", action="append", default=[], help="a word to allow (repeatable)")
    p.add_argument("--no-default", action="store_true", help="leave out the built-in word list")
    p.add_argument("--case-sensitive", action="store_true", help="match letter case exactly")
    p.set_defaults(run=run_check, parser=p)
