#!/usr/bin/python3
"""Framed against raw as whole processes: `lzw cN` against `lzw -F cN`, and `lzw dN` of a raw
stream, of a frame without checksums and of one as the program writes it (both checksums and
the seek table), rounds interleaved, each timed run after an untimed one of the same command,
CPU time (user + system) of the process, output on /dev/shm.

    bench/frame_process.py LZW FRAME_BENCH ROUNDS FILE...

FRAME_BENCH is build/bench/lzw_frame_bench, which writes the frame without checksums (the
program always writes them). Prints a Markdown table of medians, and the median and range of
the ratios round by round (the commands of one round run within a second of each other).
"""

import os
import statistics
import sys


def cpu(argv):
    """CPU seconds of one run of argv, its output to /dev/shm."""
    pid = os.fork()
    if pid == 0:
        fd = os.open("/dev/null", os.O_WRONLY)
        os.dup2(fd, 1)
        os.execv(argv[0], argv)
    _, status, usage = os.wait4(pid, 0)
    if status != 0:
        sys.exit(f"{' '.join(argv)} failed")
    return usage.ru_utime + usage.ru_stime


def main():
    lzw, bench, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    out = "/dev/shm/frame-process.out"
    print("| file | mode | c: raw s | c: framed s | c: raw / framed | d: raw s | d: bare frame s |"
          " d: framed s | d: checksums cost (%) | d: raw / framed |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for path in sys.argv[4:]:
        name = os.path.basename(path)
        for k in "123":
            raw, bare, framed = (f"/dev/shm/frame-process.{t}" for t in ("raw", "bare", "lzw"))
            cpu([lzw, "-q", f"c{k}", path, raw])
            cpu([lzw, "-q", "-F", f"c{k}", path, framed])
            cpu([bench, "-w", "bare", f"c{k}", path, bare])
            commands = {
                "c raw": [lzw, "-q", f"c{k}", path, out],
                "c framed": [lzw, "-q", "-F", f"c{k}", path, out],
                "d raw": [lzw, "-q", f"d{k}", raw, out],
                "d bare": [lzw, "-q", f"d{k}", bare, out],
                "d framed": [lzw, "-q", f"d{k}", framed, out],
            }
            times = {key: [] for key in commands}
            for _ in range(rounds):
                for key, argv in commands.items():
                    cpu(argv)  # untimed: the same start for every command
                    times[key].append(cpu(argv))
            m = {key: statistics.median(v) for key, v in times.items()}

            def ratios(a, b, shift=0, scale=1, unit="x"):
                r = [(x / y - shift) * scale for x, y in zip(times[a], times[b])]
                return f"{statistics.median(r):.2f}{unit} [{min(r):.2f} to {max(r):.2f}]"

            print(f"| {name} | {k} | {m['c raw']:.3f} | {m['c framed']:.3f} |"
                  f" {ratios('c raw', 'c framed')} | {m['d raw']:.3f} | {m['d bare']:.3f} |"
                  f" {m['d framed']:.3f} | {ratios('d framed', 'd bare', 1, 100, '')} |"
                  f" {ratios('d raw', 'd framed')} |", flush=True)
    for f in ("raw", "bare", "lzw", "out"):
        if os.path.exists(f"/dev/shm/frame-process.{f}"):
            os.remove(f"/dev/shm/frame-process.{f}")


if __name__ == "__main__":
    main()
