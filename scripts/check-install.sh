#!/usr/bin/env bash
# Installs the Release build (build/, from the README's build command) into a temporary prefix
# and builds examples/roundtrip.c against the installed library twice, through the CMake
# package and through pkg-config, then runs both. Fails on any error.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -f build/CMakeCache.txt ]] || { echo "build/ is missing: run the README's build command first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --build build -j2 >/dev/null
cmake --install build --prefix "$prefix" >/dev/null
"$prefix/bin/lzw" --version

echo "== find_package(lzw CONFIG)"
cmake -S examples -B "$work/cmake" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
# The installed package records where the library lies: no search path needed.
"$work/cmake/roundtrip"

echo "== pkg-config lzw"
pc=$(find "$prefix" -name lzw.pc)
export PKG_CONFIG_PATH=${pc%/lzw.pc}
# shellcheck disable=SC2046  # the flags are words
cc -Wall -Wextra -Werror -o "$work/roundtrip-pc" examples/roundtrip.c $(pkg-config --cflags --libs lzw)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir lzw) "$work/roundtrip-pc"
echo "== installed lzw $(pkg-config --modversion lzw) builds and runs from $prefix"
