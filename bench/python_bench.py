"""The Python module beside the standard library's zlib (level 1) and lzma (preset 0).

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py [FILE]

(after a build with -DLZW_PYTHON=ON). FILE gives the text, by default bench/out/text.bin when
bench/corpus.sh has made it, else the licences under /usr/share/common-licenses repeated. It
prints, for 1 KB and 10 MB of it, CPU time per call and speed of each; then what the binding
adds to the C library's context call at 1 KB and on empty input; then how fast a pure-Python
thread runs while another thread compresses 100 MB. About 30 s on an idle machine.
"""

import lzma
import os
import pathlib
import sys
import threading
import time
import zlib

import lzw
from lzw import _lzw

ROOT = pathlib.Path(__file__).resolve().parents[1]


def text(path):
    if path:
        return pathlib.Path(path).read_bytes()
    corpus = ROOT / "bench" / "out" / "text.bin"
    if corpus.exists():
        return corpus.read_bytes()[: 10 << 20]
    licences = sorted(pathlib.Path("/usr/share/common-licenses").glob("*"))
    return b"".join(p.read_bytes() for p in licences if p.is_file())


def per_call(call, arg, budget=0.2):
    """CPU seconds of this thread per call (other work on the machine left out): the best of
    three runs of as many calls as fill `budget`."""
    calls, started = 0, time.thread_time()
    while time.thread_time() - started < budget / 4:
        call(arg)
        calls += 1
    best = float("inf")
    for _ in range(3):
        started = time.thread_time()
        for _ in range(calls):
            call(arg)
        best = min(best, (time.thread_time() - started) / calls)
    return best


def main():
    corpus = text(sys.argv[1] if len(sys.argv) > 1 else None)
    big = (corpus * (1 + (10 << 20) // max(len(corpus), 1)))[: 10 << 20]
    small = big[: 1 << 10]
    ctx = lzw.Context()
    E, F = lzw.Policy.EVICT, lzw.Policy.FREEZE
    tools = {
        "lzw freeze": (lambda d: ctx.compress(d, F), lambda d: ctx.decompress(d, F)),
        "lzw evict": (lambda d: ctx.compress(d, E), lambda d: ctx.decompress(d, E)),
        "lzw reset": (
            lambda d: ctx.compress(d, lzw.Policy.RESET),
            lambda d: ctx.decompress(d, lzw.Policy.RESET),
        ),
        "lzw evict, frame": (lambda d: ctx.compress(d, E, frame=True), ctx.decompress),
        "zlib level 1": (lambda d: zlib.compress(d, 1), zlib.decompress),
        "lzma preset 0": (lambda d: lzma.compress(d, preset=0), lzma.decompress),
    }
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"lzw {lzw.library_version}, Python {sys.version.split()[0]}, {os.cpu_count()} CPUs,"
          f" load average {load}")
    print(f"{'':18} {'1 KB: compress':>15} {'decompress':>11} {'10 MB: ratio':>13}"
          f" {'compress':>12} {'decompress':>12}")
    for name, (pack, unpack) in tools.items():
        packed_small, packed_big = pack(small), pack(big)
        assert unpack(packed_small) == small and unpack(packed_big) == big, name
        row = [per_call(pack, small) * 1e6, per_call(unpack, packed_small) * 1e6]
        mb = len(big) / 1e6
        row += [len(packed_big) / len(big), mb / per_call(pack, big, 1)]
        row += [mb / per_call(unpack, packed_big, 1)]
        print(f"{name:18} {row[0]:12.2f} us {row[1]:8.2f} us {row[2]:13.3f}"
              f" {row[3]:7.1f} MB/s {row[4]:7.1f} MB/s")

    print("\nCPU time per call of the C context call and of Context, same data, same process:")
    for policy in lzw.Policy:
        packed = ctx.compress(small, policy)
        for direction, call, arg in (
            ("compress", lambda d: ctx.compress(d, policy), small),
            ("decompress", lambda d: ctx.decompress(d, policy), packed),
            ("compress", lambda d: ctx.compress(d, policy), b""),
        ):
            # Short runs of each in turn, the best of 40: both meet the same machine, and a
            # moment when other work takes the core costs either only that run.
            c_call = py_call = float("inf")
            for _ in range(40):
                c = _lzw._time_context_calls(arg, policy, direction == "decompress", 300)
                c_call = min(c_call, c)
                started = time.thread_time()
                for _ in range(300):
                    call(arg)
                py_call = min(py_call, (time.thread_time() - started) / 300)
            size = "1 KB" if arg else "empty"
            print(f"  {policy.name.lower():6} {direction:10} {size:5}  C {c_call * 1e6:5.2f} us,"
                  f" Context {py_call * 1e6:5.2f} us: {(py_call - c_call) * 1e6:+.2f} us")

    # A pure-Python loop, alone and while another thread compresses 100 MB: the same loop,
    # ended by a timer's thread the first time and by the compressing thread the second.
    hundred = big * 10
    def spin(start):
        done = [False]
        started = time.perf_counter()
        start(lambda: done.__setitem__(0, True))
        count = 0
        while not done[0]:
            count += 1
        return count / (time.perf_counter() - started), time.perf_counter() - started

    alone, _ = spin(lambda end: threading.Timer(0.5, end).start())

    def compress_then(end):
        def work():
            lzw.compress(hundred, lzw.Policy.RESET)
            end()
        threading.Thread(target=work).start()

    beside, took = spin(compress_then)
    print(f"\nA pure-Python loop ran at {beside / alone:.0%} of its speed alone while another"
          f" thread compressed 100 MB (reset, {took:.2f} s).")


if __name__ == "__main__":
    main()
