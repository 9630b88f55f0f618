#!/usr/bin/env bash
# Builds lzw (Release) into build-demo/ and runs every mode pair over one file: compress,
# decompress, compare with the original, and show the sizes.
# Usage: scripts/demo.sh [FILE]   (default: codec/coder.h, long enough to fill the dictionary)
set -euo pipefail
cd "$(dirname "$0")/.."
input=$(realpath "${1:-codec/coder.h}")

# A build of its own without the tests, so the demo needs nothing but a compiler and cmake.
echo "Building build-demo/lzw ..."
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DLZW_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j2 --target lzw >/dev/null
lzw=$PWD/build-demo/lzw

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

size() { stat -c %s "$1"; }
sizes=()
for n in 1 2 3; do
  # Each run prints its mode's banner, then the time it took and an empty line.
  echo "\$ lzw c$n $input packed.$n"
  "$lzw" "c$n" "$input" "packed.$n"
  echo "\$ lzw d$n packed.$n restored.$n"
  "$lzw" "d$n" "packed.$n" "restored.$n"
  cmp "$input" "restored.$n"
  sizes+=("$(printf 'c%s/d%s  %10s %10s %6s%%  identical' "$n" "$n" "$(size "$input")" \
    "$(size "packed.$n")" "$((100 * $(size "packed.$n") / $(size "$input")))")")
done

echo "$input"
printf '%-6s %10s %10s %7s\n' modes original packed ratio
printf '%s\n' "${sizes[@]}"
echo "The program is $lzw"
