#!/usr/bin/env bash
# Builds the .deb and the .tar.gz from the Release build (build/, from the README's build
# command) with cpack, checks what the .deb holds (dpkg-deb -c) and declares (dpkg-deb -f),
# then unpacks it into a temporary directory, without installing it, and runs the packaged
# program, a C program built against the packaged library, and the bash completion. The
# archive gets the same check of its files. Fails on any error.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -f build/CMakeCache.txt ]] || { echo "build/ is missing: run the README's build command first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

cmake --build build -j2 >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
arch=$(dpkg --print-architecture)
rm -f build/lzw_*.deb build/lzw-*.tar.gz
(cd build && cpack -G DEB >/dev/null && cpack -G TGZ >/dev/null)
deb=build/lzw_${version}-1_${arch}.deb
tgz=build/lzw-${version}-Linux.tar.gz
[[ -f $deb ]] || fail "cpack -G DEB made no $deb"
[[ -f $tgz ]] || fail "cpack -G TGZ made no $tgz"

# What any installation holds, relative to its prefix.
expected=(
  bin/lzw
  lib/liblzw.so."$version" lib/liblzw.so.1 lib/liblzw.so lib/liblzw.a
  include/lzw.h
  lib/pkgconfig/lzw.pc
  lib/cmake/lzw/lzwConfig.cmake lib/cmake/lzw/lzwConfigVersion.cmake lib/cmake/lzw/lzwTargets.cmake
  share/man/man1/lzw.1
  share/bash-completion/completions/lzw
  share/doc/lzw/copyright
)
check_listing() {  # check_listing WHAT PREFIX LISTING
  local path
  for path in "${expected[@]}"; do
    grep -Eq " $2$path( -> .*)?$" <<<"$3" || fail "$1 lacks $2$path"
  done
}

echo "== $deb"
listing=$(dpkg-deb -c "$deb")
check_listing "$deb" ./usr/ "$listing"
grep -q ' ./usr/lib/liblzw.so.1 -> liblzw.so.'"$version"'$' <<<"$listing" || fail "liblzw.so.1 is no link"
for field in Package Version Architecture Maintainer Section Depends Description; do
  value=$(dpkg-deb -f "$deb" "$field")
  [[ -n $value ]] || fail "$deb has no $field"
  printf '  %-13s %s\n' "$field:" "${value%%$'\n'*}"
done
[[ $(dpkg-deb -f "$deb" Package) == lzw && $(dpkg-deb -f "$deb" Version) == "$version-1" ]] ||
  fail "unexpected package name or version"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "the .deb does not depend on libc6"
dpkg-deb --fsys-tarfile "$deb" | tar xOf - ./usr/share/doc/lzw/copyright | grep -q 'License: MIT' ||
  fail "the .deb's copyright names no MIT licence"

# Unpacked, not installed: the machine stays as it was.
root=$work/deb
dpkg-deb -x "$deb" "$root"
lzw=$root/usr/bin/lzw
"$lzw" --version | grep -qx "lzw $version" || fail "the packaged lzw is not version $version"
printf 'abababab' >"$work/in"
for n in 1 2 3; do
  "$lzw" -q "c$n" "$work/in" - | "$lzw" -q "d$n" - - | cmp - "$work/in"
done
grep -qx 'prefix=/usr' "$root/usr/lib/pkgconfig/lzw.pc" || fail "the .deb's lzw.pc has not prefix=/usr"
cc -Wall -Wextra -Werror -o "$work/roundtrip" examples/roundtrip.c -I"$root/usr/include" \
  -L"$root/usr/lib" -llzw
LD_LIBRARY_PATH=$root/usr/lib "$work/roundtrip" >/dev/null
# The completion offers the modes.
modes=$(bash -c 'source "$1"; COMP_WORDS=(lzw c); COMP_CWORD=1; _lzw; echo "${COMPREPLY[*]}"' \
  _ "$root/usr/share/bash-completion/completions/lzw")
[[ $modes == "c1 c2 c3" ]] || fail "the packaged completion gives '$modes' for 'lzw c'"
echo "  the packaged lzw, liblzw and completion work"

echo "== $tgz"
tar xzf "$tgz" -C "$work"
top=lzw-${version}-Linux
check_listing "$tgz" "$top/" "$(tar tvzf "$tgz")"
"$work/$top/bin/lzw" --version >/dev/null
echo "  holds the same files; its lzw runs"
