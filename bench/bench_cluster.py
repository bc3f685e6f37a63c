"""The carvola command on a Dask cluster, beside the same batches on one machine.

Run: flock /tmp/carvola-cpu.lock .venv/bin/python bench/bench_cluster.py [--rounds N] [--images N] [--lines N]
Needs the cluster extra. Prints, with the machine's load:
- the per-task cost: worker time that the scheduler, the network and the worker spend
  on one empty chunk, measured through the command's own submission loop on a local
  cluster of two processes, and the chunk size it leads to;
- `carvola kontext` over 200 mixed images at `--jobs 1`, `--jobs 2` and on a running local
  cluster of two processes (`--cluster ADDRESS`), each in a fresh process, and the start-up
  of `--cluster local:2` on its own;
- `carvola check --file` over a 1,000,000-line prompt file, alone and on the cluster.
"""

import argparse
import os
import pathlib
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import distributed
from bench_cli import make_images

from carvola._cli import cluster

CARVOLA = pathlib.Path(sys.executable).with_name("carvola")


def task_cost(client, count):
    """Worker seconds per task for empty chunks of files sent through the command's loop."""
    session = cluster.Session(distributed, client)
    slots = session.slots()
    left = count

    def next_chunk():
        nonlocal left
        if left == 0:
            return None
        left -= 1
        return cluster._run_files, (None, [], {}, session.stop_name, session.version), None

    start = time.perf_counter()
    for _, future in cluster.Chunks(session, next_chunk, cluster.WINDOW * slots):
        future.result()
    return (time.perf_counter() - start) * slots / count


def timed(command, out=None):
    if out is not None:
        shutil.rmtree(out, ignore_errors=True)
    start = time.perf_counter()
    run = subprocess.run(command, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    if run.returncode not in (0, 1):
        raise SystemExit(f"{' '.join(command)} failed:\n{run.stderr}")
    return elapsed, run.stderr


def medians(variants, rounds, out=None):
    """Median seconds of each command over interleaved rounds, and the last round's stderr."""
    samples = {name: [] for name in variants}
    logs = {}
    for _ in range(rounds):
        for name, command in variants.items():
            seconds, logs[name] = timed(command, out)
            samples[name].append(seconds)
    return {name: statistics.median(values) for name, values in samples.items()}, logs


def chunk_line(log):
    found = re.findall(r"cluster: (.*chunks.*)", log)
    return found[-1] if found else "(no chunk report)"


def make_prompts(path, count, seed=5):
    rng = random.Random(seed)
    words = ["a", "quiet", "lake", "at", "dawn", "forbidden", "tree", "house", "light", "over", "red", "city"]
    with open(path, "w", encoding="utf-8") as stream:
        stream.writelines(" ".join(rng.choice(words) for _ in range(rng.randrange(4, 14))) + "\n" for _ in range(count))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--images", type=int, default=200)
    parser.add_argument("--lines", type=int, default=1_000_000)
    parser.add_argument("--tasks", type=int, default=2000)
    args = parser.parse_args()
    print(f"load before: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f} (1, 5, 15 min)\n")

    with tempfile.TemporaryDirectory() as work, distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0"
    ) as local, distributed.Client(local) as client:  # fmt: skip
        work = pathlib.Path(work)
        address = local.scheduler_address

        costs = [task_cost(client, args.tasks) for _ in range(3)]
        cost = statistics.median(costs)
        print(f"per-task cost: {cost * 1e3:.2f} ms of worker time (median of 3 x {args.tasks} empty chunks)")
        print(f"  the command assumes {cluster.TASK_COST * 1e3:.2f} ms and fills chunks with "
              f"{cluster.CHUNK_SECONDS:.2f} s of work, a per-task cost of {100 * cost / cluster.CHUNK_SECONDS:.2f}%\n")  # fmt: skip

        source, out = work / "source", work / "out"
        source.mkdir()
        make_images(source, args.images)
        batch = [str(CARVOLA), "kontext", str(source), "--out", str(out)]
        variants = {
            "--jobs 1": [*batch, "--jobs", "1"],
            "--jobs 2": [*batch, "--jobs", "2"],
            "--cluster ADDRESS (2 workers)": [*batch, "--cluster", address, "-v"],
        }
        times, logs = medians(variants, args.rounds, out)
        empty = work / "empty"
        empty.mkdir()
        make_images(empty, 1)
        start_up, _ = medians(
            {
                "local:2": [str(CARVOLA), "kontext", str(empty), "--out", str(out), "--cluster", "local:2"],
                "--jobs 1": [str(CARVOLA), "kontext", str(empty), "--out", str(out), "--jobs", "1"],
            },
            args.rounds,
            out,
        )
        print(f"kontext, {args.images} mixed images, median of {args.rounds} interleaved rounds")
        for name, seconds in times.items():
            print(f"  {name:32s} {seconds:7.2f} s  {args.images / seconds:7.1f} images/s")
        cluster_time, two = times["--cluster ADDRESS (2 workers)"], times["--jobs 2"]
        print(f"  cluster throughput vs --jobs 2   {100 * (two / cluster_time - 1):+6.1f} %")
        print(f"  chunks: {chunk_line(logs['--cluster ADDRESS (2 workers)'])}")
        print(f"  start-up of --cluster local:2    {start_up['local:2'] - start_up['--jobs 1']:7.2f} s "
              "(one image with local:2, less the same with --jobs 1)\n")  # fmt: skip

        prompts = work / "prompts.txt"
        make_prompts(prompts, args.lines)
        check = [str(CARVOLA), "check", "--no-default", "--word", "forbidden", "--file", str(prompts)]
        times, logs = medians({"one process": check, "--cluster ADDRESS (2 workers)": [*check, "--cluster", address, "-v"]}, args.rounds)
        size = prompts.stat().st_size
        print(f"check --file, {args.lines} lines ({size / 1e6:.1f} MB), median of {args.rounds} interleaved rounds")
        for name, seconds in times.items():
            print(f"  {name:32s} {seconds:7.2f} s  {args.lines / seconds / 1e3:7.1f} thousand lines/s")
        print(f"  ranges: {chunk_line(logs['--cluster ADDRESS (2 workers)'])}")
    print(f"\nload after: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")


if __name__ == "__main__":
    main()
