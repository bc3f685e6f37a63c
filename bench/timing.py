"""Timing shared by the benchmark scripts: per-call medians over interleaved rounds."""

import statistics
import timeit


def per_call_medians(variants, rounds, target_seconds=0.05):
    """Median seconds per call of each variant (a dict of name to callable). Variants take
    turns in every round, so a slow spell of the machine hits them all alike."""
    timers = {name: timeit.Timer(call) for name, call in variants.items()}
    numbers = {}
    for name, timer in timers.items():
        count, elapsed = timer.autorange()
        numbers[name] = max(1, int(count * target_seconds / elapsed))
    samples = {name: [] for name in variants}
    for _ in range(rounds):
        for name, timer in timers.items():
            samples[name].append(timer.timeit(numbers[name]) / numbers[name])
    return {name: statistics.median(values) for name, values in samples.items()}


def report(title, times, native="native"):
    """Prints each variant's median and how `native` compares with each other one."""
    print(title)
    for name, seconds in times.items():
        print(f"  {name:44s} {seconds * 1e9:11.1f} ns")
    for name, seconds in times.items():
        if name != native:
            ratio = seconds / times[native]
            verdict = f"{ratio:.2f}x faster" if ratio >= 1 else f"{1 / ratio:.2f}x slower"
            print(f"  {native} vs {name:{40 - len(native)}s} {verdict:>15s}")
    print()
