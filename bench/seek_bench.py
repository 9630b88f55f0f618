#!/usr/bin/python3
"""Reads of 1 MiB at random offsets of a 4 GiB frame, through the library's reader and through
lzw.open().seek()/read(), each checked against the plain bytes; and the read calls of `lzw -l`.

    bench/seek_bench.py LZW_PROGRAM PYTHON_BUILD_DIR TEXT_CORPUS [MODE]

The content is TEXT_CORPUS (bench/corpus.sh's text.bin) repeated to 4 GiB, piped straight into
`lzw -F -T2 cMODE` (MODE 3 by default, 1 MiB blocks), so the plain bytes are never stored: each
read is checked against the corpus at its offset. The frame lives on /dev/shm, so the reads
measure decoding, not a disk. Prints a Markdown table.
"""

import os
import random
import re
import subprocess
import sys
import time

SIZE = 4 << 30
READ = 1 << 20
OFFSETS = 20


def main():
    program, pybuild, corpus_path = sys.argv[1:4]
    mode = sys.argv[4] if len(sys.argv) > 4 else "3"
    sys.path.insert(0, pybuild)
    import lzw

    corpus = open(corpus_path, "rb").read()
    path = f"/dev/shm/seek-bench-{mode}.lzw"
    if not os.path.exists(path):
        start = time.perf_counter()
        with open(path, "wb") as out:
            writer = subprocess.Popen(
                [program, "-q", "-F", "-T2", f"c{mode}", "-", "-"], stdin=subprocess.PIPE, stdout=out
            )
            left = SIZE
            while left:
                n = min(left, len(corpus))
                writer.stdin.write(corpus[:n])
                left -= n
            writer.stdin.close()
            assert writer.wait() == 0
        print(f"made {path} in {time.perf_counter() - start:.1f} s", file=sys.stderr)

    def expected(offset, n):
        out = bytearray()
        while n:
            at = offset % len(corpus)
            piece = corpus[at : at + n]
            out += piece
            offset += len(piece)
            n -= len(piece)
        return bytes(out)

    rng = random.Random(20261210)
    offsets = [rng.randrange(SIZE - READ) for _ in range(OFFSETS)]
    packed = os.path.getsize(path)
    fd = os.open(path, os.O_RDONLY)
    rows = []
    start = time.perf_counter()
    reader = lzw._lzw.Reader(fd, packed)
    opened = time.perf_counter() - start
    assert reader.content_size == SIZE
    info = reader.info()
    library = []
    for offset in offsets:
        start = time.perf_counter()
        data = reader.read(offset, READ)
        library.append(time.perf_counter() - start)
        assert data == expected(offset, READ), offset
    python = []
    with lzw.open(path) as f:
        for offset in offsets:
            start = time.perf_counter()
            f.seek(offset)
            data = f.read(READ)
            python.append(time.perf_counter() - start)
            assert data == expected(offset, READ), offset
        start = time.perf_counter()
        f.seek(-READ, os.SEEK_END)
        tail = f.read()
        end_read = time.perf_counter() - start
        assert tail == expected(SIZE - READ, READ)
    os.close(fd)

    trace = subprocess.run(
        ["strace", "-f", "-e", "trace=read,pread64,readv,preadv,preadv2", program, "-l", path],
        capture_output=True,
        text=True,
    )
    calls = len(re.findall(r"^(?:\[pid +\d+\] )?(?:read|pread64|readv|preadv2?)\(", trace.stderr, re.M))

    ms = lambda v: f"{v * 1e3:.1f}"
    print(f"4 GiB of text (c{mode}, 1 MiB blocks, {packed} bytes framed, {info['blocks']} blocks,"
          f" seek tables: {info['indexed']}); {OFFSETS} reads of 1 MiB at random offsets, each"
          " checked against the plain bytes. Wall time per read, ms.\n")
    print("| path | median | max | opening |")
    print("| --- | ---: | ---: | ---: |")
    for name, times, extra in (
        ("library (`lzw_reader_read`)", library, ms(opened)),
        ("Python `lzw.open(...).seek()`, `read()`", python, "-"),
    ):
        print(f"| {name} | {ms(sorted(times)[len(times) // 2])} | {ms(max(times))} | {extra} |")
    print(f"\nThe last 1 MiB through `seek(-1 MiB, SEEK_END)`: {ms(end_read)} ms. `lzw -l` made"
          f" {calls} read calls in all, the loader's of the C library included.")


if __name__ == "__main__":
    main()
