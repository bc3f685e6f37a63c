"""Per-call cost of PromptBanChecker beside plain Python and the bare engine searches.

Run: .venv/bin/python bench/bench_vantor.py [--rounds N]
Prints the median time per call of each variant (interleaved rounds) and the ratios, then
the two targets: check on a clean prompt within 1.15x of the bare search plus 150 ns, and
the merge of load_banned_words at least 3x faster than the merge in plain Python. The
targets are judged on the thread's CPU time, best of the rounds, which a busy machine
disturbs far less than the wall-clock medians.
"""

import argparse
import pathlib
import random
import runpy
import sys
import tempfile
import time

import carvola._host

sys.modules.setdefault("pelvane", carvola._host)

from carvola.vantor import PromptBanChecker, _load_default_words  # noqa: E402
from timing import per_call_medians, report  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
Reference = runpy.run_path(str(ROOT / "tests" / "vantor" / "reference.py"))["ReferenceChecker"]

CLEAN_PROMPT = (
    "A quiet harbour town at dawn, fishing boats resting on calm water, soft golden light over "
    "the hills, gulls circling above the lighthouse, watercolor style with gentle pastel tones, "
    "a child flying a red kite on the pier, 清晨的港口小镇，薄雾笼罩着远处的山峦，highly detailed, "
    "wide angle, cinematic composition, warm colors, 8k"
)
assert len(CLEAN_PROMPT) >= 300


def words_of(rng, count):
    alphabet = "abcdefghijklmnopqrstuvwxyz"
    chinese = [chr(c) for c in range(0x4E00, 0x4E00 + 3000)]
    words = []
    while len(words) < count:
        if rng.random() < 0.6:
            words.append("".join(rng.choice(alphabet) for _ in range(rng.randint(5, 12))))
        else:
            words.append("".join(rng.choice(chinese) for _ in range(rng.randint(2, 5))))
    return words


def dirty(prompt, word):
    middle = len(prompt) // 2
    return prompt[:middle] + " " + word + " " + prompt[middle:]


def word_file(folder, rng, lines=100_000):
    """A word file of `lines` lines: mostly distinct words, some repeated, padded or blank."""
    words = words_of(rng, lines)
    for i in rng.sample(range(lines), lines // 20):
        words[i] = ""
    for i in rng.sample(range(lines), lines // 20):
        words[i] = "  " + words[rng.randrange(lines)] + "\t"
    path = pathlib.Path(folder) / "words.txt"
    path.write_text("\n".join(words) + "\n", encoding="utf-8")
    return str(path)


def check_groups(rng):
    builtin = _load_default_words()
    groups = {}
    small = builtin[:40]
    large = builtin + words_of(rng, 2000 - len(builtin))
    for label, words in (("40 words, regex", small), ("2,000 words, automaton", large)):
        for ignore_case in (True, False):
            native = PromptBanChecker(builtin_words=words, use_default=False, ignore_case=ignore_case)
            plain = Reference(builtin_words=words, use_default=False, ignore_case=ignore_case)
            clean, hit = CLEAN_PROMPT, dirty(CLEAN_PROMPT, words[len(words) // 2])
            if native._ban_regex is not None:
                search = native._ban_regex.search
                floor = ("bare pattern.search(prompt)", lambda search=search, clean=clean: search(clean))
            elif ignore_case:
                scan = native._automaton.iter
                floor = ("bare automaton.iter(prompt.lower())", lambda scan=scan: next(scan(clean.lower()), None))
            else:
                scan = native._automaton.iter
                floor = ("bare automaton.iter(prompt)", lambda scan=scan: next(scan(clean), None))
            case = "ignore_case" if ignore_case else "case-sensitive"
            groups[f"check(clean 300-char prompt), {label}, {case}"] = (
                {
                    "native": lambda native=native, clean=clean: native.check(clean),
                    "plain Python": lambda plain=plain, clean=clean: plain.check(clean),
                    floor[0]: floor[1],
                },
                floor[0],
            )
            if ignore_case:
                groups[f"check(dirty prompt), {label}"] = (
                    {
                        "native": lambda native=native, hit=hit: raises(native.check, hit),
                        "plain Python": lambda plain=plain, hit=hit: raises(plain.check, hit),
                    },
                    None,
                )
    return groups


def best_cpu_time(variants, rounds, target_seconds=0.02):
    """Per-call CPU time of the calling thread for each variant, best of `rounds`."""
    numbers = {}
    for name, call in variants.items():
        count, start = 0, time.thread_time()
        while time.thread_time() - start < target_seconds / 4:
            call()
            count += 1
        numbers[name] = max(1, count * 4)
    best = dict.fromkeys(variants, float("inf"))
    for _ in range(rounds):
        for name, call in variants.items():
            start = time.thread_time()
            for _ in range(numbers[name]):
                call()
            best[name] = min(best[name], (time.thread_time() - start) / numbers[name])
    return best


def raises(check, prompt):
    try:
        check(prompt)
    except carvola._host.PromptBanError:
        return
    raise AssertionError("the prompt passed")


class NativeMerge(PromptBanChecker):
    def _build_engine(self):
        pass


class PlainMerge(Reference):
    def _build_engine(self):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    rounds = parser.parse_args().rounds
    rng = random.Random(2024)
    print(f"median per call over {rounds} interleaved rounds\n")

    verdicts = []
    for title, (variants, floor) in check_groups(rng).items():
        report(title, per_call_medians(variants, rounds))
        if floor is not None:
            cpu = best_cpu_time({"native": variants["native"], floor: variants[floor]}, rounds)
            budget = 1.15 * cpu[floor] + 150e-9
            verdicts.append(
                f"{title}: native {cpu['native'] * 1e9:.0f} ns, floor {cpu[floor] * 1e9:.0f} ns, budget "
                f"1.15 x floor + 150 ns = {budget * 1e9:.0f} ns ({'met' if cpu['native'] <= budget else 'MISSED'})"
            )

    with tempfile.TemporaryDirectory() as folder:
        path = word_file(folder, rng)
        exclude = ["Abcdef", "中文", "x", "  nothing  ", "kite"]
        native, plain = NativeMerge(path, exclude_words=exclude), PlainMerge(path, exclude_words=exclude)
        assert native.banned_words == plain.banned_words
        times = per_call_medians(
            {"native": native.load_banned_words, "plain Python": plain.load_banned_words}, max(5, rounds // 3), 0.3
        )
        report("load_banned_words() merge, 100,000-line text file, engine build left out", times)
        cpu = best_cpu_time(
            {"native": native.load_banned_words, "plain Python": plain.load_banned_words}, max(5, rounds // 2), 0.3
        )
        speedup = cpu["plain Python"] / cpu["native"]
        verdicts.append(
            f"merge of load_banned_words: native {cpu['native'] * 1e3:.1f} ms, plain Python "
            f"{cpu['plain Python'] * 1e3:.1f} ms, {speedup:.2f}x ({'met' if speedup >= 3 else 'MISSED'})"
        )

    report(
        "PromptBanChecker() with the built-in list",
        per_call_medians({"native": PromptBanChecker, "plain Python": Reference}, rounds),
    )
    print("targets")
    for line in verdicts:
        print("  " + line)


if __name__ == "__main__":
    main()
