#!/usr/bin/env bash
# Builds the three .debs (lzw, liblzw1, liblzw-dev) and the .tar.gz with cpack, from a build
# configured for /usr as a distribution configures it (build-deb/, made here), and checks
# what each .deb holds (dpkg-deb -c) and declares (dpkg-deb -f), then runs lintian on the
# three. Without installing anything, it unpacks lzw alone and runs the program from it
# (with its completion), and unpacks liblzw1 and liblzw-dev together and builds the
# examples against them. The archive gets the same check of its files. Fails on any error.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

build=build-deb
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DLZW_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
rm -f "$build"/*.deb "$build"/lzw-*.tar.gz
(cd "$build" && cpack -G DEB && cpack -G TGZ) >"$work/cpack" 2>&1 || { cat "$work/cpack" >&2; fail "cpack failed"; }
declare -A deb
for package in lzw liblzw1 liblzw-dev; do
  deb[$package]=$build/${package}_${version}-1_${arch}.deb
  [[ -f ${deb[$package]} ]] || fail "cpack -G DEB made no ${deb[$package]}"
done
tgz=$build/lzw-${version}-Linux.tar.gz
[[ -f $tgz ]] || fail "cpack -G TGZ made no $tgz"

# What each package holds, relative to the prefix; the archive holds all but the Debian files.
declare -A files=(
  [lzw]="bin/lzw share/man/man1/lzw.1.gz share/bash-completion/completions/lzw
         share/doc/lzw/copyright share/doc/lzw/changelog.Debian.gz"
  [liblzw1]="$libdir/liblzw.so.$version $libdir/liblzw.so.1
             share/doc/liblzw1/copyright share/doc/liblzw1/changelog.Debian.gz"
  [liblzw-dev]="include/lzw.h $libdir/liblzw.so $libdir/liblzw.a $libdir/pkgconfig/lzw.pc
                $libdir/cmake/lzw/lzwConfig.cmake $libdir/cmake/lzw/lzwConfigVersion.cmake
                $libdir/cmake/lzw/lzwTargets.cmake
                share/doc/liblzw-dev/copyright share/doc/liblzw-dev/changelog.Debian.gz"
)
archive_files="bin/lzw share/man/man1/lzw.1 share/bash-completion/completions/lzw
  share/doc/lzw/copyright $libdir/liblzw.so.$version $libdir/liblzw.so.1 include/lzw.h
  $libdir/liblzw.so $libdir/liblzw.a $libdir/pkgconfig/lzw.pc $libdir/cmake/lzw/lzwConfig.cmake
  $libdir/cmake/lzw/lzwConfigVersion.cmake $libdir/cmake/lzw/lzwTargets.cmake"
check_listing() {  # check_listing WHAT PREFIX LISTING PATHS
  local path
  for path in $4; do
    grep -Eq " $2$path( -> .*)?$" <<<"$3" || fail "$1 lacks $2$path"
  done
}

for package in lzw liblzw1 liblzw-dev; do
  file=${deb[$package]}
  echo "== $file"
  listing=$(dpkg-deb -c "$file")
  check_listing "$file" ./usr/ "$listing" "${files[$package]}"
  for field in Package Version Architecture Maintainer Section Depends Description; do
    value=$(dpkg-deb -f "$file" "$field")
    [[ -n $value ]] || fail "$file has no $field"
    printf '  %-13s %s\n' "$field:" "${value%%$'\n'*}"
  done
  [[ $(dpkg-deb -f "$file" Package) == "$package" && $(dpkg-deb -f "$file" Version) == "$version-1" ]] ||
    fail "$file: unexpected package name or version"
  dpkg-deb --fsys-tarfile "$file" | tar xOf - "./usr/share/doc/$package/copyright" | grep -q 'License: MIT' ||
    fail "$file's copyright names no MIT licence"
  # The changelog's last entry is this version, so a new version cannot ship an old one.
  dpkg-deb --fsys-tarfile "$file" | tar xOf - "./usr/share/doc/$package/changelog.Debian.gz" |
    gzip -dc | head -1 | grep -q "^lzw ($version-1) " || fail "$file's changelog does not start at $version-1"
  # Nothing to leave behind on removal: no conffiles, and no maintainer scripts.
  control=$(dpkg-deb -I "$file")
  ! grep -Eq ' (conffiles|preinst|postinst|prerm|postrm)( |$)' <<<"$control" ||
    fail "$file has conffiles or maintainer scripts"
done
grep -q ' ./usr/'"$libdir"'/liblzw.so.1 -> liblzw.so.'"$version"'$' <<<"$(dpkg-deb -c "${deb[liblzw1]}")" ||
  fail "liblzw.so.1 is no link"
dpkg-deb -f "${deb[lzw]}" Depends | grep -q libc6 || fail "lzw does not depend on libc6"
readelf -d "$build/lzw" | grep -q 'NEEDED.*libc\.so' || fail "the program does not link the C library dynamically"
! dpkg-deb -f "${deb[lzw]}" Depends | grep -q liblzw || fail "lzw depends on liblzw1, but links the codec in"
dpkg-deb -f "${deb[liblzw-dev]}" Depends | grep -Fq "liblzw1 (= $version-1)" ||
  fail "liblzw-dev does not depend on liblzw1 of its own version"
control=$work/control
dpkg-deb -e "${deb[liblzw1]}" "$control"
grep -qx "liblzw 1 liblzw1 (>= $version)" "$control/shlibs" || fail "liblzw1's shlibs file is wrong"
grep -qx 'activate-noawait ldconfig' "$control/triggers" || fail "liblzw1 has no ldconfig trigger"

echo "== lintian"
# Errors and warnings fail; an override in a package says why it is there, and is shown
# ("O:") with its reason ("N:").
lintian --show-overrides "${deb[@]}" >"$work/lintian" 2>&1 || true
grep -v '^running with root privileges' "$work/lintian" | sed 's/^/  /' || true
if grep -q '^[EW]: ' "$work/lintian" || ! grep -q '^O: ' "$work/lintian"; then
  fail "lintian finds errors or warnings, or did not run (above)"
fi
echo "  no error, no warning"

# Unpacked, not installed: the machine stays as it was. lzw alone gives a working program.
root=$work/lzw
dpkg-deb -x "${deb[lzw]}" "$root"
lzw=$root/usr/bin/lzw
"$lzw" --version | grep -qx "lzw $version" || fail "the packaged lzw is not version $version"
printf 'abababab' >"$work/in"
for n in 1 2 3; do
  "$lzw" -q "c$n" "$work/in" - | "$lzw" -q "d$n" - - | cmp - "$work/in"
done
gzip -dc "$root/usr/share/man/man1/lzw.1.gz" | grep -q '^\.TH LZW 1' || fail "the packaged man page is not lzw(1)"
# The completion offers the modes.
modes=$(bash -c 'source "$1"; COMP_WORDS=(lzw c); COMP_CWORD=1; _lzw; echo "${COMPREPLY[*]}"' \
  _ "$root/usr/share/bash-completion/completions/lzw")
[[ $modes == "c1 c2 c3" ]] || fail "the packaged completion gives '$modes' for 'lzw c'"
echo "  lzw alone: the program, its man page and completion work"

# liblzw-dev with liblzw1 (its dependency) builds the examples, through the CMake package and
# through lzw.pc, and they run against the packaged liblzw.so.1.
root=$work/lib
dpkg-deb -x "${deb[liblzw1]}" "$root"
dpkg-deb -x "${deb[liblzw-dev]}" "$root"
grep -qx 'prefix=/usr' "$root/usr/$libdir/pkgconfig/lzw.pc" || fail "the .deb's lzw.pc has not prefix=/usr"
cmake -S examples -B "$work/examples" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/examples" >/dev/null
export LD_LIBRARY_PATH=$root/usr/$libdir
"$work/examples/roundtrip" >/dev/null
for example in stream stream_static; do
  "$work/examples/$example" c2 "$work/in" "$work/got"
  "$lzw" -q c2 "$work/in" "$work/want"
  cmp "$work/got" "$work/want"
done
cc -Wall -Wextra -Werror -o "$work/roundtrip-pc" examples/roundtrip.c -I"$root/usr/include" \
  -L"$root/usr/$libdir" -llzw
"$work/roundtrip-pc" >/dev/null
unset LD_LIBRARY_PATH
echo "  liblzw1 and liblzw-dev build and run the examples"

echo "== $tgz"
tar xzf "$tgz" -C "$work"
top=lzw-${version}-Linux
check_listing "$tgz" "$top/" "$(tar tvzf "$tgz")" "$archive_files"
"$work/$top/bin/lzw" --version >/dev/null
echo "  holds what an installation holds; its lzw runs"
