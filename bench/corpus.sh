#!/usr/bin/env bash
# Builds the two benchmark corpora, exactly 20,000,000 bytes each, from files that a Debian
# machine of this kind ships:
#   text.bin    licences, man pages (uncompressed), then text documentation, in sorted order
#   binary.bin  ELF executables from /usr/bin, in name order
# It prints the SHA-256 of both, so that two runs can tell whether they measured the same bytes.
#
# Usage: bench/corpus.sh [OUTDIR]      (default: bench/out)
set -euo pipefail
export LC_ALL=C # byte order for every sort, and bytes rather than characters for `read`

SIZE=20000000
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/out}
mkdir -p "$out"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The comparison installs these; their files stay out so that installing them leaves the
# corpora as they were.
for pkg in ncompress hyperfine gnuplot-nox gnuplot-data time; do
    dpkg -L "$pkg" 2>/dev/null || true
done | sort -u >"$work/excluded"

# Regular files under $1 (symlinks would only repeat other files), sorted, minus the excluded.
list() {
    find "$1" -type f "${@:2}" -print | sort | comm -23 - "$work/excluded"
}

missing() { echo $((SIZE - $(stat -c %s "$1"))); }

# Streams stop early once the corpus is full; the size check in finish() catches a short one.
text=$work/text.bin
list /usr/share/common-licenses | tr '\n' '\0' | xargs -0r cat -- >"$text"
if (($(missing "$text") > 0)); then
    list /usr/share/man -name '*.gz' | tr '\n' '\0' >"$work/man"
    need=$(missing "$text")
    xargs -0r zcat -- <"$work/man" 2>/dev/null | head -c "$need" >>"$text" || true
fi
if (($(missing "$text") > 0)); then
    list /usr/share/doc >"$work/doc"
    while IFS= read -r f && need=$(missing "$text") && ((need > 0)); do
        if [[ $f == *.gz ]]; then
            zcat -- "$f" 2>/dev/null | head -c "$need" >>"$text" || true
        elif grep -Iq . -- "$f"; then # grep -I takes a binary file for one without a match
            head -c "$need" -- "$f" >>"$text"
        fi
    done <"$work/doc"
fi

binary=$work/binary.bin
selected=()
total=0
while IFS=$'\t' read -r size f; do
    [[ -x $f ]] || continue
    magic=
    IFS= read -r -d '' -n 4 magic <"$f" || true
    [[ $magic == $'\x7fELF' ]] || continue
    selected+=("$f")
    total=$((total + size))
    ((total < SIZE)) || break
done < <(find /usr/bin -maxdepth 1 -type f -printf '%s\t%p\n' | sort -t $'\t' -k2 |
    awk -F '\t' 'NR == FNR { skip[$0]; next } !($2 in skip)' "$work/excluded" -)
cat -- "${selected[@]}" | head -c "$SIZE" >"$binary" || true

for name in text.bin binary.bin; do
    have=$(stat -c %s "$work/$name")
    if ((have != SIZE)); then
        echo "corpus.sh: only $have bytes for $name, need $SIZE" >&2
        exit 1
    fi
    mv "$work/$name" "$out/$name"
done
(cd "$out" && sha256sum text.bin binary.bin)
