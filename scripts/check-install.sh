#!/usr/bin/env bash
# Installs the Release build (build/, from the README's build command) into a temporary prefix
# and builds examples/roundtrip.c against the installed library three times, through the CMake
# package and through pkg-config (found at run time by LD_LIBRARY_PATH, or by an rpath), then
# runs each; builds examples/stream.c through the CMake package against the shared and the
# static library (lzw::lzw_static) and checks that both write what the program writes. Checks that lzw.pc gives canonical paths there and for prefix /usr. Fails on any
# error.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -f build/CMakeCache.txt ]] || { echo "build/ is missing: run the README's build command first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --build build -j2 >/dev/null
# A prefix given with a detour still ends up canonical in lzw.pc.
cmake --install build --prefix "$work/./x/../prefix/" >/dev/null
"$prefix/bin/lzw" --version

echo "== find_package(lzw CONFIG)"
cmake -S examples -B "$work/cmake" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
# The installed package records where the library lies: no search path needed.
"$work/cmake/roundtrip"
# The streaming example writes what the program writes, through either library, and reads it
# back; linked to liblzw.a, it needs no liblzw.so.
readelf -d "$work/cmake/stream_static" | grep -q 'NEEDED.*liblzw' && { echo "stream_static needs liblzw.so" >&2; exit 1; }
for m in 1 2 3; do
  "$prefix/bin/lzw" -q "c$m" "$prefix/bin/lzw" "$work/want"
  for example in stream stream_static; do
    "$work/cmake/$example" "c$m" "$prefix/bin/lzw" "$work/got"
    cmp "$work/got" "$work/want"
    "$work/cmake/$example" "d$m" "$work/got" "$work/back"
    cmp "$work/back" "$prefix/bin/lzw"
  done
done
echo "stream, stream_static: c1-c3 as the program, d1-d3 back"

echo "== pkg-config lzw"
pc=$(find "$prefix" -name lzw.pc)
export PKG_CONFIG_PATH=${pc%/lzw.pc}
libdir=$(pkg-config --variable=libdir lzw)
expect() {  # expect WHAT GOT WANTED
  [[ $2 == "$3" ]] || { echo "$1: got '$2', expected '$3'" >&2; exit 1; }
}
expect "pkg-config --cflags --libs lzw" "$(pkg-config --cflags --libs lzw | xargs)" \
  "-I$prefix/include -L$libdir -llzw"
expect "lzw.pc libdir" "$libdir" "$(dirname "$(dirname "$pc")")"
# shellcheck disable=SC2046  # the flags are words
cc -Wall -Wextra -Werror -o "$work/roundtrip-pc" examples/roundtrip.c $(pkg-config --cflags --libs lzw)
# Outside the system's library path the program finds liblzw.so.1 through LD_LIBRARY_PATH...
LD_LIBRARY_PATH=$(pkg-config --variable=libdir lzw) "$work/roundtrip-pc"
# ...or through an rpath written into it when it is linked.
# shellcheck disable=SC2046
cc -o "$work/roundtrip-rpath" examples/roundtrip.c $(pkg-config --cflags --libs lzw) \
  -Wl,-rpath,"$(pkg-config --variable=libdir lzw)"
"$work/roundtrip-rpath"

echo "== lzw.pc for prefix /usr"
DESTDIR=$work/root cmake --install build --prefix /usr >/dev/null
pc=$(find "$work/root" -name lzw.pc)
expect "prefix /usr: prefix" "$(PKG_CONFIG_PATH=${pc%/lzw.pc} pkg-config --variable=prefix lzw)" /usr
expect "prefix /usr: includedir" "$(PKG_CONFIG_PATH=${pc%/lzw.pc} pkg-config --variable=includedir lzw)" \
  /usr/include
# System directories: pkg-config leaves them out.
expect "prefix /usr: flags" "$(PKG_CONFIG_PATH=${pc%/lzw.pc} pkg-config --cflags --libs lzw | xargs)" -llzw
echo "== installed lzw $(pkg-config --modversion lzw) builds and runs from $prefix"
