#!/usr/bin/env bash
# A framed run streams: 3 GiB of a sparse file go through a pipe into `lzw -F c3 - -` and
# back through `lzw d3 - -`, byte for byte, with no temporary file and under 32 MiB of memory
# each. TMPDIR names a directory that does not exist, so a copy to a spool file would fail
# the run, and strace shows every file the compressor opens.
#   Usage: scripts/check-stream.sh [PROGRAM]     (default: build/lzw)
set -euo pipefail
lzw=$(realpath "${1:-build/lzw}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
truncate -s 3G "$work/sparse"
export TMPDIR=$work/none

strace -f -qq -e trace=open,openat,openat2,creat -o "$work/opened" \
    /usr/bin/time -f %M -o "$work/c.rss" "$lzw" -q -F c3 - - <"$work/sparse" |
    /usr/bin/time -f %M -o "$work/d.rss" "$lzw" -q d3 - - | cmp - "$work/sparse"

if grep -E "O_TMPFILE|$TMPDIR" "$work/opened"; then
    echo "check-stream: the compressor opened the files above" >&2
    exit 1
fi
for side in c d; do
    rss=$(tail -1 "$work/$side.rss")
    echo "check-stream: 3 GiB through a pipe, $side peak RSS $rss KiB"
    if ((rss >= 32768)); then
        echo "check-stream: over 32 MiB" >&2
        exit 1
    fi
done
