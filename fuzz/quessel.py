"""ImageRatioAnalyzer: both ratio methods on image bytes, any search range (capped so
that one input stays fast), and subclasses whose _gcd answers oddly."""

from common import Finding, call, chance, integer, number, odd, pick, run, split

from carvola.quessel import ImageRatioAnalyzer

RANGE_CAP = 300  # the search tries range² pairs


def analyzer_class(fdp):
    if not chance(fdp, 0.2):
        return ImageRatioAnalyzer
    answer = pick(fdp, (0, -1, 1, 10**40, 2.5, None, "3", True))
    return type("OddAnalyzer", (ImageRatioAnalyzer,), {"_gcd": lambda self, a, b: answer})


def check(data):
    fdp, payload = split(data)
    cls = analyzer_class(fdp)
    search_range = number(fdp) if chance(fdp, 0.3) else fdp.ConsumeIntInRange(1, 40)
    analyzer = call(cls, cls, search_range)
    if analyzer is None:
        return
    if chance(fdp, 0.1):
        analyzer.approx_search_range = odd(fdp)
    call(int, cls._gcd, integer(fdp), integer(fdp))
    call(str, analyzer.get_raw_simple_ratio, payload)
    limit = analyzer.approx_search_range
    if isinstance(limit, int) and limit > RANGE_CAP:
        return
    ratio = call(str, analyzer.get_approx_simple_ratio, payload)
    if ratio is not None and cls is ImageRatioAnalyzer and ratio.count(":") != 1:
        raise Finding(f"approximate ratio {ratio!r}")


if __name__ == "__main__":
    run(check)
