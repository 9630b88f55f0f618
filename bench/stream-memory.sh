#!/usr/bin/env bash
# Peak resident memory of a 70 MB stream through lzw.h's callbacks, in 4 KB reads, every policy
# and both directions (bench/stream_memory.c, linked to build/liblzw.a as a C program). Fails
# when one reaches 16 MiB: a stream keeps nothing but its context, whatever its length.
#   bash bench/stream-memory.sh [MB]     (after the README's build command)
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -f build/liblzw.a ]] || { echo "build/liblzw.a is missing: run the README's build command first" >&2; exit 1; }
mb=${1:-70}
work=$(mktemp -d "${TMPDIR:-/tmp}/lzw-stream.XXXXXX")
trap 'rm -rf "$work"' EXIT
cc -O2 -Wall -Wextra -Werror -o "$work/stream_memory" bench/stream_memory.c -Icodec build/liblzw.a -lstdc++
limit_kib=$((16 * 1024))
for m in 1 2 3; do
  for mode in "c$m" "d$m"; do
    line=$("$work/stream_memory" "$mode" "$mb" "$work/stream.$m")
    echo "$line  ($(stat -c %s "$work/stream.$m") bytes compressed)"
    peak=$(awk '{ print int($(NF-1) * 1024) }' <<<"$line")
    ((peak < limit_kib)) || { echo "$mode: peak over 16 MiB" >&2; exit 1; }
  done
done
