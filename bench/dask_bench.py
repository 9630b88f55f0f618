"""One framed text file read by Dask on 1 and on 2 worker processes, beside the program.

    PYTHONPATH=build/python /usr/bin/python3 bench/dask_bench.py [--make SIZE] [--lzw build/lzw]
        [--rounds 3] [--blocksize 32MiB] FILE

Times dask.bag.read_text("lzw::FILE", blocksize=...).count() on a LocalCluster of one worker
process and on one of two (one thread each), and `lzw -T2 d3 FILE - | wc -l`, in interleaved
rounds after one untimed run of each; prints every wall time, the best of each, and the speed
of two workers over one (best against best). The three counts must agree. --make SIZE (such
as 1G) first writes FILE: SIZE bytes of seeded text lines through `lzw -F -B 1M c3`. Keep FILE
on tmpfs (/dev/shm), and run it on a quiet machine: see CONTRIBUTING.md, "Benchmarks".
"""

import argparse
import os
import pathlib
import random
import subprocess
import sys
import time

try:
    import dask.bag as db
    from dask.distributed import Client, LocalCluster
    from dask.utils import parse_bytes
except ImportError as error:
    sys.exit(f"dask_bench: {error}; on Debian: apt install python3-dask python3-distributed")

ROOT = pathlib.Path(__file__).resolve().parents[1]


def make(path, size, program):
    """`size` bytes of text lines (2 to 120 bytes, from a seeded vocabulary), framed in c3."""
    rng = random.Random(37)
    words = ["".join(rng.choices("etaoinshrdlucmfwypvbgkjqxz", k=rng.randint(1, 10)))
             for _ in range(5000)]
    lines = [" ".join(rng.choices(words, k=rng.randint(1, 20)))[:119].encode() + b"\n"
             for _ in range(50_000)]
    coder = subprocess.Popen([program, "-q", "-F", "-B", "1M", "c3", "-", str(path)],
                             stdin=subprocess.PIPE)
    left = size
    while left > 0:
        chunk = b"".join(rng.choices(lines, k=100_000))
        if len(chunk) > left:  # whole lines only, up to `size`
            chunk = chunk[: chunk.rfind(b"\n", 0, left) + 1]
            left = len(chunk)
        coder.stdin.write(chunk)
        left -= len(chunk)
    coder.stdin.close()
    if coder.wait() != 0:
        sys.exit(f"dask_bench: {program} failed")


def timed(run):
    started = time.perf_counter()
    count = run()
    return time.perf_counter() - started, count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file", type=pathlib.Path)
    parser.add_argument("--make", metavar="SIZE", help="write FILE first: SIZE bytes of text")
    parser.add_argument("--lzw", default=str(ROOT / "build" / "lzw"), help="the program")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--blocksize", default="32MiB", help="Dask's range per task")
    args = parser.parse_args()
    if args.make:
        make(args.file, parse_bytes(args.make), args.lzw)
    path = args.file.resolve()

    import lzw  # noqa: F401  (fails here, clearly, when the module is not on the path)

    with lzw.open(path) as f:
        content = f.content_size
    commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    print(f"file {path}: {content} B of content in {path.stat().st_size} B")
    print(f"commit {commit}, {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")

    def program():
        pipe = f"set -o pipefail; '{args.lzw}' -q -T2 d3 '{path}' - | wc -l"
        out = subprocess.run(["bash", "-c", pipe], capture_output=True, text=True, check=True)
        return int(out.stdout)

    clusters = {}
    runs = {"lzw -T2 d3 FILE - | wc -l": program}
    for workers in (1, 2):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=":0")
        client = Client(cluster, set_as_default=False)
        clusters[workers] = (cluster, client)

        def dask_count(client=client):
            lines = db.read_text(f"lzw::{path}", blocksize=args.blocksize)
            return client.compute(lines.count()).result()

        runs[f"dask, {workers} worker{'s' if workers > 1 else ''}"] = dask_count
    try:
        times = {name: [] for name in runs}
        counts = {name: run() for name, run in runs.items()}  # untimed: imports, caches
        for _ in range(args.rounds):
            for name, run in runs.items():
                took, count = timed(run)
                times[name].append(took)
                if count != counts[name]:
                    sys.exit(f"dask_bench: {name} counted {count}, then {counts[name]}")
    finally:
        for cluster, client in clusters.values():
            client.close()
            cluster.close()

    width = max(map(len, runs))
    print(f"{'run':<{width}}  " + "  ".join(f"round {i + 1:<2}" for i in range(args.rounds))
          + "      best   MB/s  lines")
    for name in runs:
        best = min(times[name])
        print(f"{name:<{width}}  " + "  ".join(f"{t:7.3f} s" for t in times[name])
              + f"  {best:7.3f} s  {content / best / 1e6:5.0f}  {counts[name]}")
    speedup = min(times["dask, 1 worker"]) / min(times["dask, 2 workers"])
    print(f"2 workers over 1: {speedup:.2f}x; load average {os.getloadavg()[0]:.2f} at the end")
    if len(set(counts.values())) != 1:
        sys.exit("dask_bench: the counts differ")


if __name__ == "__main__":
    main()
