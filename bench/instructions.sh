#!/usr/bin/env bash
# Instructions per input byte (valgrind's cachegrind) of the six modes of one or more lzw
# builds, with compress -b12 and compress -d beside them, on the first 2 MB of each corpus.
# Unlike times these do not move with the machine's load: compare a build before and after
# a change with them. Fewer instructions is not always less time (a loop may wait on a chain
# of loads), so read them beside the timings.
# Usage: bench/instructions.sh CORPUS_DIR LZW [LZW...]
# CORPUS_DIR holds text.bin and binary.bin (bench/corpus.sh). Prints a Markdown table.
set -euo pipefail
export LC_ALL=C
# Otherwise valgrind counts every byte of a `rep stosb` memset as an instruction.
export GLIBC_TUNABLES=glibc.cpu.x86_rep_stosb_threshold=4294967295:glibc.cpu.x86_rep_movsb_threshold=4294967295

if (($# < 2)); then
    echo "usage: $0 CORPUS_DIR LZW [LZW...]" >&2
    exit 2
fi
corpora=$1
shift
BYTES=2000000
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# count COMMAND...: instructions per input byte of one run of COMMAND (user space only, so
# its standard output may go to /dev/null).
count() {
    local refs
    refs=$(valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null "$@" \
        2>&1 >/dev/null | awk '/I +refs/ { gsub(",", ""); print $NF }')
    awk -v r="$refs" -v b="$BYTES" 'BEGIN { printf "%.2f", r / b }'
}

declare -A IPB # "corpus build mode" -> instructions per byte
for corpus in text binary; do
    src=$work/$corpus.bin
    head -c "$BYTES" "$corpora/$corpus.bin" >"$src"
    compress -b12 -c <"$src" >"$src.Z" || (($? == 2))
    IPB["$corpus Z c"]=$(count compress -b12 -c "$src")
    IPB["$corpus Z d"]=$(count compress -d -c "$src.Z")
    b=0
    for lzw in "$@"; do
        b=$((b + 1))
        for k in 1 2 3; do
            "$lzw" "c$k" "$src" "$src.$k" >/dev/null
            IPB["$corpus $b c$k"]=$(count "$lzw" "c$k" "$src" "$work/out")
            IPB["$corpus $b d$k"]=$(count "$lzw" "d$k" "$src.$k" "$work/out")
        done
    done
done

header="| mode |"
rule="| --- |"
for corpus in text binary; do
    for ((b = 1; b <= $#; b++)); do
        suffix=""
        (($# > 1)) && suffix=" ($b)"
        header+=" $corpus$suffix |"
        rule+=" ---: |"
    done
done
echo "$header"
echo "$rule"
declare -A LABELS=([Z c]="compress -b12" [Z d]="compress -d")
for mode in c1 c2 c3 d1 d2 d3 "Z c" "Z d"; do
    row="| ${LABELS[$mode]:-$mode} |"
    for corpus in text binary; do
        for ((b = 1; b <= $#; b++)); do
            # compress's figures stand under every build.
            [[ $mode == Z* ]] && key="$corpus $mode" || key="$corpus $b $mode"
            row+=" ${IPB[$key]} |"
        done
    done
    echo "$row"
done
