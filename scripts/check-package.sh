#!/usr/bin/env bash
# Builds the Debian packages as Debian builds them, from a clean clone of the commit checked
# out (HEAD: uncommitted changes are left out): `dpkg-buildpackage -us -uc` makes the source
# package and the binary packages lzw, liblzw1, liblzw-dev and python3-lzw. Runs lintian
# --pedantic on all of them: every tag, down to the pedantic ones, fails unless debian/
# overrides it with its reason. Checks what each .deb holds (dpkg-deb -c) and declares
# (dpkg-deb -f, its control files). Then, installing nothing: runs the program from an
# unpacked lzw alone, builds the packaged examples against unpacked liblzw1 and liblzw-dev,
# and imports the module from an unpacked python3-lzw with /usr/bin/python3.
# The package build runs the tests, as the README's `dpkg-buildpackage -us -uc -b` does: under
# Debian's build flags (hardening, -ffile-prefix-map), with the Build-Depends alone that they
# name. The packages are left in build-deb/.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

[[ -z $(git status --porcelain --untracked-files=no) ]] ||
  echo "check-package: uncommitted changes are not in the packages (they build HEAD)" >&2
git clone -q --no-checkout . "$work/src"
git -C "$work/src" checkout -q --detach "$(git rev-parse HEAD)"
version=$(sed -n 's/^project(lzw VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
# A native package: the program's version is the package's, and the changelog's newest entry
# is this version, so a new version cannot ship an old changelog.
[[ $(cd "$work/src" && dpkg-parsechangelog -SVersion) == "$version" ]] ||
  fail "debian/changelog's newest entry is not version $version (CMakeLists.txt)"
arch=$(dpkg --print-architecture)
libdir=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# Level 4: a symbol the library gains or loses and liblzw1.symbols does not list fails.
(cd "$work/src" && DPKG_GENSYMBOLS_CHECK_LEVEL=4 dpkg-buildpackage -us -uc -j2) >"$work/build.log" 2>&1 ||
  { grep -E -B3 -A25 '\[  FAILED  \]|tests failed' "$work/build.log" | tail -60 >&2
    tail -20 "$work/build.log" >&2; fail "dpkg-buildpackage failed (its log's failures and end above)"; }
grep -q '^100% tests passed' "$work/build.log" || fail "the package build ran no tests"
changes=$work/lzw_${version}_${arch}.changes
declare -A deb
for package in lzw liblzw1 liblzw-dev python3-lzw; do
  deb[$package]=$work/${package}_${version}_${arch}.deb
  [[ -f ${deb[$package]} ]] || fail "dpkg-buildpackage made no ${deb[$package]##*/}"
done
[[ -f $changes && -f $work/lzw_$version.dsc ]] || fail "dpkg-buildpackage made no source package"

echo "== lintian --pedantic"
# Overridden tags are shown ("O:") with their reasons ("N:").
lintian_status=0
lintian --pedantic --fail-on error,warning,info,pedantic --show-overrides "$changes" \
  >"$work/lintian" 2>&1 || lintian_status=$?
grep -v '^running with root privileges' "$work/lintian" | sed 's/^/  /' || true
((lintian_status == 0)) || fail "lintian finds the tags above, or did not run (status $lintian_status)"
echo "  no tag but those overridden"

# What each package holds, relative to /usr.
python_dir=lib/python3/dist-packages/lzw
declare -A files=(
  [lzw]="bin/lzw share/man/man1/lzw.1.gz share/bash-completion/completions/lzw
         share/doc/lzw/copyright share/doc/lzw/changelog.gz"
  [liblzw1]="$libdir/liblzw.so.$version $libdir/liblzw.so.1
             share/doc/liblzw1/copyright share/doc/liblzw1/changelog.gz"
  [liblzw-dev]="include/lzw.h $libdir/liblzw.so $libdir/liblzw.a $libdir/pkgconfig/lzw.pc
                $libdir/cmake/lzw/lzwConfig.cmake $libdir/cmake/lzw/lzwConfigVersion.cmake
                $libdir/cmake/lzw/lzwTargets.cmake share/doc/liblzw-dev/examples/stream.c
                share/doc/liblzw-dev/copyright share/doc/liblzw-dev/changelog.gz"
  [python3-lzw]="$python_dir/__init__.py $python_dir/_lzw.cpython-*.so $python_dir/py.typed
                 $python_dir.pth ${python_dir%lzw}_lzw_compression_hook.py
                 $python_dir-$version.dist-info/entry_points.txt
                 share/doc/python3-lzw/copyright share/doc/python3-lzw/changelog.gz"
)
# lzw serves any architecture's scripts; the libraries install beside their copies for other
# architectures. python3-lzw cannot (lintian: multi-arch-same-package-calls-pycompile), so it
# has no field and dpkg-deb shows the default, "no".
declare -A multiarch=([lzw]=foreign [liblzw1]=same [liblzw-dev]=same [python3-lzw]=no)
for package in lzw liblzw1 liblzw-dev python3-lzw; do
  file=${deb[$package]}
  echo "== ${file##*/}"
  listing=$(dpkg-deb -c "$file")
  for path in ${files[$package]}; do
    path=${path//./\\.}
    grep -Eq " \./usr/${path//\*/[^/]*}( -> .*)?$" <<<"$listing" || fail "$file lacks /usr/$path"
  done
  for field in Package Version Architecture Maintainer Section Depends Description; do
    value=$(dpkg-deb -f "$file" "$field")
    [[ -n $value ]] || fail "$file has no $field"
    printf '  %-13s %s\n' "$field:" "${value%%$'\n'*}"
  done
  [[ $(dpkg-deb -f "$file" Multi-Arch) == "${multiarch[$package]}" ]] ||
    fail "$file: Multi-Arch is not '${multiarch[$package]}'"
  dpkg-deb --fsys-tarfile "$file" | tar xOf - "./usr/share/doc/$package/copyright" | grep -q '^License: Expat' ||
    fail "$file's copyright names no MIT (Expat) licence"
  # Nothing to leave behind on removal, but the module's byte-compiled files (dh_python3).
  if [[ $package != python3-lzw ]]; then
    ! grep -Eq ' (conffiles|preinst|postinst|prerm|postrm)( |$)' <<<"$(dpkg-deb -I "$file")" ||
      fail "$file has conffiles or maintainer scripts"
  fi
done
# debian/copyright's last paragraph carries LICENSE's text, word for word.
tac debian/copyright | sed '/^License: Expat$/q' | tac | tail -n +2 | sed 's/^ //; s/^\.$//' |
  cmp -s - <(sed -n '/^Permission/,$p' LICENSE) || fail "debian/copyright's licence text is not LICENSE's"
grep -q ' ./usr/'"$libdir"'/liblzw.so.1 -> liblzw.so.'"$version"'$' <<<"$(dpkg-deb -c "${deb[liblzw1]}")" ||
  fail "liblzw.so.1 is no link"
# The program needs the C library alone: the codec and the C++ runtime are linked into it.
[[ $(dpkg-deb -f "${deb[lzw]}" Depends) =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] ||
  fail "lzw depends on more than libc6: $(dpkg-deb -f "${deb[lzw]}" Depends)"
dpkg-deb -f "${deb[liblzw-dev]}" Depends | grep -Fq "liblzw1 (= $version)" ||
  fail "liblzw-dev does not depend on liblzw1 of its own version"
control=$work/control
dpkg-deb -e "${deb[liblzw1]}" "$control"
grep -qx "liblzw 1 liblzw1 (>= $version)" "$control/shlibs" || fail "liblzw1's shlibs file is wrong"
grep -q "^ lzw_compress@Base " "$control/symbols" || fail "liblzw1 has no symbols file"
grep -qx 'activate-noawait ldconfig' "$control/triggers" || fail "liblzw1 has no ldconfig trigger"

# Unpacked, not installed: the machine stays as it was. lzw alone gives a working program.
root=$work/lzw
dpkg-deb -x "${deb[lzw]}" "$root"
lzw=$root/usr/bin/lzw
needed=$(readelf -d "$lzw" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | xargs)
! tr ' ' '\n' <<<"$needed" | grep -Evq '^(libc\.so\.6|ld-linux[-.a-z0-9_]*)$' ||
  fail "the packaged lzw needs more than the C library: $needed"
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
echo "  lzw alone: the program (needing only $needed), its man page and completion work"

# liblzw-dev with liblzw1 (its dependency) builds the examples it ships, through the CMake
# package and through lzw.pc, and they run against the packaged liblzw.so.1.
root=$work/lib
dpkg-deb -x "${deb[liblzw1]}" "$root"
dpkg-deb -x "${deb[liblzw-dev]}" "$root"
pc=$root/usr/$libdir/pkgconfig/lzw.pc
grep -qx 'prefix=/usr' "$pc" && grep -qx "libdir=/usr/$libdir" "$pc" ||
  fail "the .deb's lzw.pc does not name /usr and /usr/$libdir"
examples=$root/usr/share/doc/liblzw-dev/examples
cmake -S "$examples" -B "$work/examples" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/examples" >/dev/null
export LD_LIBRARY_PATH=$root/usr/$libdir
"$work/examples/roundtrip" >/dev/null
for example in stream stream_static; do
  "$work/examples/$example" c2 "$work/in" "$work/got"
  "$lzw" -q c2 "$work/in" "$work/want"
  cmp "$work/got" "$work/want"
done
cc -Wall -Wextra -Werror -o "$work/roundtrip-pc" "$examples/roundtrip.c" -I"$root/usr/include" \
  -L"$root/usr/$libdir" -llzw
"$work/roundtrip-pc" >/dev/null
unset LD_LIBRARY_PATH
echo "  liblzw1 and liblzw-dev build and run the examples"

# python3-lzw alone: Debian's interpreter imports the module from it and codes with it.
root=$work/python
dpkg-deb -x "${deb[python3-lzw]}" "$root"
PYTHONPATH=$root/usr/lib/python3/dist-packages PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c '
import lzw, sys
assert lzw.__file__.startswith(sys.argv[1]), lzw.__file__
data = open(sys.argv[2], "rb").read()
assert lzw.decompress(lzw.compress(data, lzw.Policy.EVICT, frame=True)) == data
assert lzw.compress(data, lzw.Policy.EVICT) == open(sys.argv[3], "rb").read()
' "$root" "$work/in" "$work/want" || fail "/usr/bin/python3 does not import and run the packaged module"
echo "  python3-lzw: /usr/bin/python3 imports it and writes what the program writes"

# What was built, to install: sudo apt install ./build-deb/lzw_*.deb ...
rm -rf build-deb
mkdir build-deb
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$work"/*.dsc "$work"/*.tar.* build-deb/
echo "== the packages are in build-deb/"
