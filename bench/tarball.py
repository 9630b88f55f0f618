#!/usr/bin/env python3
"""Each lzw mode, raw and framed, beside compress -b12, gzip -1 and zstd -1 on one tarball.

Makes the tarball unless it exists: every file of /usr/share/doc/[a-l]* and /usr/bin/[a-c]*
of a Debian machine, in name order with fixed owners and times, cut to its first
100,000,000 bytes (text, compressed changelogs and ELF executables). What is installed
decides the bytes, so the report gives their SHA-256.

Every figure is CPU time (user + system, from wait4) of one whole run, files on tmpfs; the
rounds run every command once each, in turn, and the table gives the median of each figure. A first
round, untimed, checks that every tool gives back the tarball byte for byte and takes the
peak resident memory of each run (from /usr/bin/time).

Usage: bench/tarball.py LZW [ROUNDS]      (LZW: a Release build, e.g. build/lzw; ROUNDS: 3)
       TARBALL=FILE bench/tarball.py ...  (times FILE instead of making the tarball)
"""
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile

SIZE = 100_000_000
RSS_FILE = None


def make_tarball(path):
    tar = subprocess.Popen(
        "tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -cf - "
        "/usr/share/doc/[a-l]* /usr/bin/[a-c]* 2>/dev/null",
        shell=True, stdout=subprocess.PIPE)
    with open(path, "wb") as out:
        out.write(tar.stdout.read(SIZE))
    tar.kill()
    tar.wait()


def run(argv, stdin=None, stdout=None, rss=False):
    """CPU seconds (user + system) of one run; with `rss`, its peak resident KiB instead,
    from /usr/bin/time (a child of this process would count the parent's pages too)."""
    fin = open(stdin or os.devnull, "rb")
    fout = open(stdout or os.devnull, "wb")
    if rss:
        argv = ["/usr/bin/time", "-f", "%M", "-o", RSS_FILE] + argv
    pid = os.fork()
    if pid == 0:
        os.dup2(fin.fileno(), 0)
        os.dup2(fout.fileno(), 1)
        os.execvp(argv[0], argv)
    _, status, ru = os.wait4(pid, 0)
    fin.close()
    fout.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"tarball.py: {' '.join(argv)} failed")
    if rss:
        return int(open(RSS_FILE).read().split()[-1])
    return ru.ru_utime + ru.ru_stime


def main():
    lzw = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    work = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    src = os.environ.get("TARBALL") or os.path.join(work, "mix.tar")
    if not os.path.exists(src):
        make_tarball(src)
    digest = hashlib.sha256()
    with open(src, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    size = os.path.getsize(src)
    print(f"tarball {src}: {size} bytes, SHA-256 {digest.hexdigest()}")
    z, back = os.path.join(work, "z"), os.path.join(work, "back")
    global RSS_FILE
    RSS_FILE = os.path.join(work, "rss")

    # name -> (compress, decompress): each a function giving (argv, stdin, stdout).
    tools = {}
    for n in (1, 2, 3):
        for framed in (False, True):
            flags = ["-q"] + (["-F"] if framed else [])
            tools[f"lzw c{n}" + (" -F" if framed else "")] = (
                lambda f=flags, n=n: ([lzw, *f, f"c{n}", src, z], None, None),
                lambda n=n: ([lzw, "-q", f"d{n}", z, back], None, None))
    for name, c, d in (("compress -b12", ["compress", "-b12", "-c"], ["compress", "-d", "-c"]),
                       ("gzip -1", ["gzip", "-1", "-c"], ["gzip", "-d", "-c"]),
                       ("zstd -1", ["zstd", "-1", "-q", "-c"], ["zstd", "-d", "-q", "-c"])):
        # The input by name: from standard input, compress exits 2 when its output is larger.
        tools[name] = (lambda c=c: (c + [src], None, z), lambda d=d: (d, z, back))

    times = {name: ([], []) for name in tools}
    sizes, rss = {}, {}
    for r in range(rounds + 1):
        for name, (comp, decomp) in tools.items():
            if r == 0:
                mc = run(*comp(), rss=True)
                sizes[name] = os.path.getsize(z)
                md = run(*decomp(), rss=True)
                if subprocess.run(["cmp", "-s", src, back]).returncode != 0:
                    sys.exit(f"tarball.py: {name} did not give the tarball back")
                rss[name] = (mc, md)
            else:
                times[name][0].append(run(*comp()))
                times[name][1].append(run(*decomp()))
        print(f"round {r} done", file=sys.stderr)

    mb = size / 1e6
    print(f"\nCPU time (user + system), median of {rounds} interleaved rounds\n")
    print("| tool | ratio | compress MB/s | decompress MB/s | compress s | decompress s | peak RSS c / d (KiB) |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name in tools:
        tc, td = statistics.median(times[name][0]), statistics.median(times[name][1])
        print(f"| {name} | {sizes[name] / size:.3f} | {mb / tc:.1f} | {mb / td:.1f} | "
              f"{tc:.3f} | {td:.3f} | {rss[name][0]} / {rss[name][1]} |")
    for f in (z, back, RSS_FILE):
        os.remove(f)
    if not os.environ.get("TARBALL"):
        os.remove(src)
    os.rmdir(work)


if __name__ == "__main__":
    main()
