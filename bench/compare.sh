#!/usr/bin/env bash
# Measures lzw's six modes against compress, gzip and bzip2 on the two corpora of corpus.sh,
# and leaf eviction (c2/d2) against freezing (c1/d1) on inputs that make eviction work hard.
# Writes bench/results.md and bench/chart.svg (and a PNG of it in bench/out/).
#
# Every figure is the whole-process wall time, median of RUNS rounds. One round runs every
# command once (after an untimed run of the same command), so all tools share the same
# moments of machine load; a warm-up round before them also checks every round trip with cmp.
# Small inputs (the first 10 KB and 1 MB of each corpus) are timed apart: CPU time of many
# whole runs per figure, as one run lasts about a millisecond and start-up decides it.
#
# A threads table times -T1, -T2 and -T0 framed runs on 200 MB of each corpus (repeated), and
# two -T1 runs at once on its halves.
#
# Usage: bench/compare.sh            RUNS=N bench/compare.sh  (default 5)
#        bench/compare.sh --threads  the threads table alone, to bench/out/threads.md
#                                    (THREAD_RUNS=N rounds, default 7; THREAD_SIZE=BYTES)
set -euo pipefail
threads_only=0
[[ ${1:-} == --threads ]] && threads_only=1
export LC_ALL=C

RUNS=${RUNS:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
bench=$root/bench
out=$bench/out
mkdir -p "$out"

# ---- Tools ----

missing=()
command -v compress >/dev/null || missing+=(ncompress)
command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
[[ -x /usr/bin/time ]] || missing+=(time)
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v bzip2 >/dev/null || missing+=(bzip2)
command -v valgrind >/dev/null || missing+=(valgrind)
command -v dpkg-buildflags >/dev/null || missing+=(dpkg-dev)
if ((${#missing[@]})); then
    if ((EUID != 0)); then
        echo "compare.sh: needs ${missing[*]}; run as root or install them" >&2
        exit 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Recommends would bring man pages and documents into the text corpus.
    install=(apt-get install -y -qq --no-install-recommends "${missing[@]}")
    "${install[@]}" >/dev/null 2>&1 || { apt-get update -qq && "${install[@]}" >/dev/null; }
fi

# The coder changes under active work: name the source that was built, not the one at the end.
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [[ -n $(git -C "$root" status --porcelain -- codec app CMakeLists.txt 2>/dev/null) ]]; then
    commit+=" with uncommitted changes in codec/app"
fi
# The program as packaged: built as debian/rules builds the lzw package (Release on top of
# dpkg-buildflags' flags, every hardening flag) and installed stripped, as `apt install` puts
# it in /usr/bin.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
echo "building lzw (Release, with Debian's build flags)"
rm -f "$root/build-compare/CMakeCache.txt"
cmake -S "$root" -B "$root/build-compare" -DCMAKE_BUILD_TYPE=Release -DLZW_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$root/build-compare" -j2 >/dev/null
rm -rf "$out/package"
DESTDIR=$out/package cmake --install "$root/build-compare" --component program --strip >/dev/null
LZW=$out/package/usr/bin/lzw

echo "building the corpora"
bash "$bench/corpus.sh" "$out" >"$out/corpora.sha256"

# tmpfs keeps disk writeback out of the timings.
if [[ -w /dev/shm ]] && (($(df --output=avail -k /dev/shm | tail -1) > 1000000)); then
    work=$(mktemp -d /dev/shm/lzw-compare.XXXXXX)
else
    work=$(mktemp -d "$out/work.XXXXXX")
fi
trap 'rm -rf "$work"' EXIT

cp "$out/text.bin" "$out/binary.bin" "$work/"
SIZE=$(stat -c %s "$work/text.bin")

# Inputs where eviction does the most work per byte, as large as the corpora.
head -c "$SIZE" /dev/zero | tr '\0' x >"$work/run_x.bin"
{
    head -c $((SIZE / 2)) /dev/zero | tr '\0' a
    head -c $((SIZE - SIZE / 2)) /dev/zero | tr '\0' b
} >"$work/two_runs.bin"
# AES-CTR over zeros: the same random bytes on every machine.
head -c "$SIZE" /dev/zero |
    openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv 0 \
        >"$work/random.bin" 2>/dev/null || head -c "$SIZE" /dev/urandom >"$work/random.bin"
{
    head -c $((SIZE / 2)) "$work/run_x.bin"
    head -c $((SIZE - SIZE / 2)) "$work/text.bin"
} >"$work/text_after_run.bin"

# Small inputs: the start of each corpus. SMALL_REPS: runs per timed figure, about half a
# second of CPU time each (counted in hundredths).
SMALL=(text_10k binary_10k text_1m binary_1m)
declare -A SMALL_BYTES=([text_10k]=10000 [binary_10k]=10000 [text_1m]=1000000 [binary_1m]=1000000)
declare -A SMALL_REPS=([text_10k]=200 [binary_10k]=200 [text_1m]=40 [binary_1m]=40)
for input in "${SMALL[@]}"; do
    head -c "${SMALL_BYTES[$input]}" "$work/${input%_*}.bin" >"$work/$input.bin"
done

# ---- Commands ----

TOOLS=(lzw1 lzw2 lzw3 compress12 compress16 gzip1 gzip6 bzip2)
# The same modes writing frames (-F, 1 MiB blocks), timed in the same rounds as the rest.
FRAMED=(lzwF1 lzwF2 lzwF3)
declare -A LABEL=(
    [lzwF1]="lzw -F c1/d1|framed freeze" [lzwF2]="lzw -F c2/d2|framed evict" [lzwF3]="lzw -F c3/d3|framed reset"
    [lzw1]="lzw c1/d1|freeze" [lzw2]="lzw c2/d2|evict LRU" [lzw3]="lzw c3/d3|reset"
    [compress12]="compress|-b12" [compress16]="compress|16-bit"
    [gzip1]="gzip|-1" [gzip6]="gzip|-6" [bzip2]="bzip2|-9")

# Peers read stdin and write stdout; lzw takes file names.
declare -A ENC=([compress12]="compress -b12 -c" [compress16]="compress -c"
    [gzip1]="gzip -1 -c" [gzip6]="gzip -6 -c" [bzip2]="bzip2 -9 -c")
declare -A DEC=([compress12]="compress -d -c" [compress16]="compress -d -c"
    [gzip1]="gzip -d -c" [gzip6]="gzip -d -c" [bzip2]="bzip2 -d -c")

# encode TOOL IN OUT / decode TOOL IN OUT. compress exits 2 when its output is larger than
# its input; that output is still valid, and cmp checks every round trip anyway.
encode() {
    case $1 in
        lzwF*) "$LZW" -F "c${1#lzwF}" "$2" "$3" >/dev/null ;;
        lzw*) "$LZW" "c${1#lzw}" "$2" "$3" >/dev/null ;;
        *) ${ENC[$1]} <"$2" >"$3" || (($? == 2)) ;; # word splitting gives the options
    esac
}
decode() {
    case $1 in
        lzwF*) "$LZW" "d${1#lzwF}" "$2" "$3" >/dev/null ;;
        lzw*) "$LZW" "d${1#lzw}" "$2" "$3" >/dev/null ;;
        *) ${DEC[$1]} <"$2" >"$3" ;;
    esac
}

declare -A SAMPLES # "input tool c|d" -> microseconds, space separated
declare -A PACKED  # "input tool" -> compressed size

# run INPUT TOOL... : one round over the tools, compressing then decompressing each.
# Each command runs once untimed right before its timed run: a run that follows another
# tool's (bzip2's most of all) is slower on these machines by up to half, whoever runs, so
# each is timed as its own previous run leaves the machine.
round() {
    local input=$1 tool t0 src=$work/$1.bin
    shift
    for tool in "$@"; do
        encode "$tool" "$src" "$work/$input.$tool"
        t0=${EPOCHREALTIME/./}
        encode "$tool" "$src" "$work/$input.$tool"
        SAMPLES["$input $tool c"]+=" $((${EPOCHREALTIME/./} - t0))"
        decode "$tool" "$work/$input.$tool" "$work/$input.$tool.back"
        t0=${EPOCHREALTIME/./}
        decode "$tool" "$work/$input.$tool" "$work/$input.$tool.back"
        SAMPLES["$input $tool d"]+=" $((${EPOCHREALTIME/./} - t0))"
    done
}

# measure INPUT TOOL... : warm-up round with round-trip checks, then RUNS timed rounds.
measure() {
    local input=$1 tool
    shift
    round "$input" "$@"
    for tool in "$@"; do
        if ! cmp -s "$work/$input.bin" "$work/$input.$tool.back"; then
            echo "compare.sh: $tool does not restore $input" >&2
            exit 1
        fi
        PACKED["$input $tool"]=$(stat -c %s "$work/$input.$tool")
        SAMPLES["$input $tool c"]=""
        SAMPLES["$input $tool d"]=""
    done
    for ((r = 1; r <= RUNS; r++)); do
        round "$input" "$@"
    done
}

# cpu_loop N c|d TOOL INPUT: CPU seconds (user + system) of N whole runs of one command,
# all children of one shell.
cpu_loop() {
    local n=$1 dir=$2 tool=$3 input=$4 cmd src dst
    if [[ $dir == c ]]; then
        src=$work/$input.bin dst=$work/$input.$tool
    else
        src=$work/$input.$tool dst=$work/$input.$tool.back
    fi
    case $tool in
        lzwF*) cmd="\"\$LZW\" $([[ $dir == c ]] && echo -F) $dir${tool#lzwF} \"\$1\" \"\$2\" >/dev/null" ;;
        lzw*) cmd="\"\$LZW\" $dir${tool#lzw} \"\$1\" \"\$2\" >/dev/null" ;;
        *) [[ $dir == c ]] && cmd=${ENC[$tool]} || cmd=${DEC[$tool]}
            cmd="$cmd <\"\$1\" >\"\$2\" || [ \$? = 2 ]" ;;
    esac
    LZW=$LZW /usr/bin/time -f '%U %S' -o "$work/cpu" \
        sh -c "i=0; while [ \$i -lt $n ]; do $cmd; i=\$((i + 1)); done" sh "$src" "$dst"
    awk '{ printf "%d\n", ($1 + $2) * 1e6 }' "$work/cpu"
}

# measure_small INPUT TOOL...: a checked warm-up round, then RUNS rounds of CPU time per run.
measure_small() {
    local input=$1 tool dir n=${SMALL_REPS[$1]} total
    shift
    for tool in "$@"; do
        encode "$tool" "$work/$input.bin" "$work/$input.$tool"
        decode "$tool" "$work/$input.$tool" "$work/$input.$tool.back"
        if ! cmp -s "$work/$input.bin" "$work/$input.$tool.back"; then
            echo "compare.sh: $tool does not restore $input" >&2
            exit 1
        fi
    done
    for ((r = 1; r <= RUNS; r++)); do
        for tool in "$@"; do
            for dir in c d; do
                cpu_loop 1 "$dir" "$tool" "$input" >/dev/null
                total=$(cpu_loop "$n" "$dir" "$tool" "$input")
                SAMPLES["$input $tool $dir"]+=" $((total / n))"
            done
        done
    done
}

# Median in seconds of the samples under KEY, to DECIMALS places (default 4).
median() {
    # shellcheck disable=SC2086 # one sample per word
    printf '%s\n' ${SAMPLES[$1]} | sort -n |
        awk -v d="${2:-4}" '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
                                 printf "%." d "f\n", m / 1e6 }'
}

# Peak resident memory in KiB of one run: peak c|d TOOL INPUT. GNU time starts the tool
# itself, so no shell is counted.
peak() {
    local src=$work/$3.bin dst=$work/$3.$2.rss rss=$work/rss
    if [[ $1 == d ]]; then
        src=$work/$3.$2
        dst=$work/$3.$2.rss.back
    fi
    case $2 in
        lzwF*) /usr/bin/time -f %M -o "$rss" "$LZW" $([[ $1 == c ]] && echo -F) "$1${2#lzwF}" "$src" "$dst" >/dev/null ;;
        lzw*) /usr/bin/time -f %M -o "$rss" "$LZW" "$1${2#lzw}" "$src" "$dst" >/dev/null ;;
        *) [[ $1 == c ]] && cmd=${ENC[$2]} || cmd=${DEC[$2]}
            # shellcheck disable=SC2086 # the command and its options
            /usr/bin/time -f %M -o "$rss" $cmd <"$src" >"$dst" || true ;;
    esac
    tail -1 "$rss"
}

div() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
frac() { awk -v d="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%." d "f", a / b }'; }
mbps() { awk -v s="$SIZE" -v t="$1" 'BEGIN { printf "%.1f", s / t / 1e6 }'; }

# ---- Threads ----

# Framed runs with -T on THREAD_SIZE bytes of each corpus, repeated: each figure the best and
# the median (by wall time) of THREAD_RUNS timed runs after a checked warm-up, with the run's
# CPU time (user + system) and peak RSS from GNU time. -T0 is one thread per core. Each run
# writes a new file: the time this machine's kernel takes to find pages for 200 MB of tmpfs
# output swings from 0.1 to 0.8 s between runs (system time; user time stays within 10%),
# and it lands on the one thread that writes, so a median of few runs measures those swings
# more than the threads. Nothing makes a run faster than its work allows: the best of the
# runs is the speed the threads give, the median what a run meets on this machine. -T1 and
# -T2 of one round run seconds apart, so their ratio round by round moves less with the
# machine's slow minutes than a ratio of bests, which one lucky run decides. Beside them, two
# -T1 processes at once on the two halves: the ceiling of two cores here.
THREAD_COUNTS=(1 2 0)
THREAD_SIZE=${THREAD_SIZE:-200000000}
THREAD_RUNS=${THREAD_RUNS:-7}
declare -A TW TC TM TB TR # "corpus k T c|d" -> median wall s, CPU s, peak RSS KiB; best wall s;
# -T1's wall time over this one's, round by round: median and range

# timed FILE CMD...: one run of CMD; "wall cpu rss" appended to FILE. The wall time is taken
# here to the microsecond: time's hundredths are 4% of a 0.25 s run.
timed() {
    local file=$1 t0 t1
    shift
    t0=$EPOCHREALTIME
    /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" >/dev/null || (($? == 2))
    t1=$EPOCHREALTIME
    awk -v w="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')" \
        '{ printf "%s %.2f %s\n", w, $1 + $2, $3 }' "$work/time" >>"$file"
}

# median_row FILE: the line of median wall time; best_wall FILE: the least wall time.
median_row() {
    sort -n "$1" | sed -n "$((($(wc -l <"$1") + 1) / 2))p"
}
best_wall() {
    sort -n "$1" | awk 'NR == 1 { print $1 }'
}
# round_ratios A B: the ratios of wall times A / B run by run (each pair run in one round, a few
# seconds apart), as "median min-max".
round_ratios() {
    paste -d' ' "$1" "$2" | awk '{ printf "%.4f\n", $1 / $4 }' | sort -n |
        awk '{ r[NR] = $1 } END { printf "%.2fx %.2f-%.2f", r[int((NR + 1) / 2)], r[1], r[NR] }'
}

measure_threads() {
    local corpus k t r f src half
    for corpus in "${CORPORA[@]}"; do
        echo "measuring threads on $THREAD_SIZE bytes of $corpus ($THREAD_RUNS rounds)"
        src=$work/$corpus.threads.bin
        for ((r = 0; r < (THREAD_SIZE + SIZE - 1) / SIZE; r++)); do
            cat "$work/$corpus.bin"
        done | head -c "$THREAD_SIZE" >"$src" || true
        # The ceiling: two -T1 processes at once, each on half the blocks, sharing nothing.
        half=$((THREAD_SIZE / 2 / 1048576 * 1048576))
        head -c "$half" "$src" >"$src.1"
        tail -c +"$((half + 1))" "$src" >"$src.2"
        for k in 1 2 3; do
            for t in "${THREAD_COUNTS[@]}"; do
                f=$work/$corpus.threads.$k.$t
                "$LZW" -q -T"$t" -F "c$k" "$src" "$f.lzw"
                "$LZW" -q -T"$t" "d$k" "$f.lzw" "$f.back"
                if ! cmp -s "$src" "$f.back" || ! cmp -s "$work/$corpus.threads.$k.1.lzw" "$f.lzw"; then
                    echo "compare.sh: -T$t c$k/d$k does not give -T1's frame and input back on $corpus" >&2
                    exit 1
                fi
                : >"$f.c"
                : >"$f.d"
            done
            : >"$work/$corpus.threads.$k.pair.c"
            : >"$work/$corpus.threads.$k.pair.d"
            for ((r = 1; r <= THREAD_RUNS; r++)); do
                for t in "${THREAD_COUNTS[@]}"; do
                    f=$work/$corpus.threads.$k.$t
                    rm -f "$f.lzw" "$f.back"
                    timed "$f.c" "$LZW" -q -T"$t" -F "c$k" "$src" "$f.lzw"
                    timed "$f.d" "$LZW" -q -T"$t" "d$k" "$f.lzw" "$f.back"
                done
                f=$work/$corpus.threads.$k.pair
                rm -f "$f".[12].*
                timed "$f.c" sh -c '"$1" -q -F "$2" "$3.1" "$4.1.lzw" & "$1" -q -F "$2" "$3.2" "$4.2.lzw" &&
                    wait $!' sh "$LZW" "c$k" "$src" "$f"
                timed "$f.d" sh -c '"$1" -q "$2" "$3.1.lzw" "$3.1.back" & "$1" -q "$2" "$3.2.lzw" "$3.2.back" &&
                    wait $!' sh "$LZW" "d$k" "$f"
            done
            f=$work/$corpus.threads.$k.pair
            if ! cat "$f.1.back" "$f.2.back" | cmp -s "$src" -; then
                echo "compare.sh: two -T1 runs on the halves do not give $corpus back" >&2
                exit 1
            fi
            rm -f "$f".[12].*
            for dir in c d; do
                TB["$corpus $k pair $dir"]=$(best_wall "$f.$dir")
                TR["$corpus $k pair $dir"]=$(round_ratios "$work/$corpus.threads.$k.1.$dir" "$f.$dir")
            done
            for t in "${THREAD_COUNTS[@]}"; do
                f=$work/$corpus.threads.$k.$t
                for dir in c d; do
                    read -r TW["$corpus $k $t $dir"] TC["$corpus $k $t $dir"] TM["$corpus $k $t $dir"] \
                        < <(median_row "$f.$dir")
                    TB["$corpus $k $t $dir"]=$(best_wall "$f.$dir")
                    TR["$corpus $k $t $dir"]=$(round_ratios "$work/$corpus.threads.$k.1.$dir" "$f.$dir")
                done
                rm -f "$f.back" "$f.lzw"
            done
        done
        f=$work/$corpus.threads.compress12
        : >"$f"
        for ((r = 1; r <= THREAD_RUNS; r++)); do
            rm -f "$f.Z"
            timed "$f" sh -c 'compress -b12 -c <"$1" >"$2" || [ $? = 2 ]' sh "$src" "$f.Z"
        done
        read -r TW["$corpus compress12"] _ _ < <(median_row "$f")
        TB["$corpus compress12"]=$(best_wall "$f")
        rm -f "$src" "$src.1" "$src.2" "$f.Z"
    done
}

threads_report() {
    local corpus k c2 d2 c0 d0
    echo "## Threads: -T1, -T2 and -T0 framed ($THREAD_SIZE bytes of each corpus, repeated)"
    echo
    echo "\`lzw -T N -F cN\` and \`lzw -T N dN\` (1 MiB blocks) on $(nproc) cores; -T0 is one"
    echo "thread per core. $THREAD_RUNS runs of each after a checked warm-up (every count gives"
    echo "-T1's frame byte for byte), each writing a new file on tmpfs. Times: best / median wall"
    echo "time. Speed: -T1's best time / the row's best; in brackets, -T1's time / -T2's run by run"
    echo "(each pair in one round): their median and range. The best and the median of the rounds"
    echo "are the figures that measure the threads: this machine's kernel takes 0.1 to 0.8 s"
    echo "to find the pages of a 200 MB output from one run to the next, on the one thread that"
    echo "writes. Ceiling: the same speeds of two -T1 processes run at once, each on half the blocks"
    echo "(best; rounds' median), which share nothing: what two cores of this machine give."
    echo "CPU / wall: the median run's user + system time over its wall time (2 when two"
    echo "cores are busy throughout). Peak RSS from \`/usr/bin/time -f %M\`. Target: -T2 >= 1.8x"
    echo "compressing and >= 1.7x decompressing, every mode; met: by the best / by the rounds' median."
    echo
    echo "| corpus | mode | c -T1 s | c -T2 s | c -T0 s | c speed -T2 / -T0 | d -T1 s | d -T2 s | d -T0 s | d speed -T2 / -T0 | ceiling c / d | CPU / wall -T2 c / d | peak RSS -T2 c / d (KiB) | peak RSS -T0 c / d (KiB) | met |"
    echo "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |"
    for corpus in "${CORPORA[@]}"; do
        for k in 1 2 3; do
            c2=$(div "${TB[$corpus $k 1 c]}" "${TB[$corpus $k 2 c]}")
            c0=$(div "${TB[$corpus $k 1 c]}" "${TB[$corpus $k 0 c]}")
            d2=$(div "${TB[$corpus $k 1 d]}" "${TB[$corpus $k 2 d]}")
            d0=$(div "${TB[$corpus $k 1 d]}" "${TB[$corpus $k 0 d]}")
            printf '| %s | c%s/d%s | %s / %s | %s / %s | %s / %s | %sx / %sx (%s) | %s / %s | %s / %s | %s / %s | %sx / %sx (%s) | %sx (%s) / %sx (%s) | %s / %s | %s / %s | %s / %s | %s |\n' \
                "$corpus" "$k" "$k" \
                "${TB[$corpus $k 1 c]}" "${TW[$corpus $k 1 c]}" "${TB[$corpus $k 2 c]}" "${TW[$corpus $k 2 c]}" \
                "${TB[$corpus $k 0 c]}" "${TW[$corpus $k 0 c]}" "$c2" "$c0" "${TR[$corpus $k 2 c]}" \
                "${TB[$corpus $k 1 d]}" "${TW[$corpus $k 1 d]}" "${TB[$corpus $k 2 d]}" "${TW[$corpus $k 2 d]}" \
                "${TB[$corpus $k 0 d]}" "${TW[$corpus $k 0 d]}" "$d2" "$d0" "${TR[$corpus $k 2 d]}" \
                "$(div "${TB[$corpus $k 1 c]}" "${TB[$corpus $k pair c]}")" "${TR[$corpus $k pair c]%% *}" \
                "$(div "${TB[$corpus $k 1 d]}" "${TB[$corpus $k pair d]}")" "${TR[$corpus $k pair d]%% *}" \
                "$(div "${TC[$corpus $k 2 c]}" "${TW[$corpus $k 2 c]}")" \
                "$(div "${TC[$corpus $k 2 d]}" "${TW[$corpus $k 2 d]}")" \
                "${TM[$corpus $k 2 c]}" "${TM[$corpus $k 2 d]}" "${TM[$corpus $k 0 c]}" "${TM[$corpus $k 0 d]}" \
                "$(awk -v c="$c2" -v d="$d2" -v rc="${TR[$corpus $k 2 c]%%x*}" -v rd="${TR[$corpus $k 2 d]%%x*}" \
                    'BEGIN { print ((c >= 1.8 && d >= 1.7) ? "yes" : "no") " / " ((rc >= 1.8 && rd >= 1.7) ? "yes" : "no") }')"
        done
    done
    echo
    for corpus in "${CORPORA[@]}"; do
        echo "- $corpus: \`lzw -T2 -F c2\` at $(div "${TB[$corpus compress12]}" "${TB[$corpus 2 2 c]}")x the speed of \`compress -b12\` (best of each; medians: $(div "${TW[$corpus compress12]}" "${TW[$corpus 2 2 c]}")x; compress ${TB[$corpus compress12]} / ${TW[$corpus compress12]} s; target > 1)."
    done
}

if ((threads_only)); then
    CORPORA=(text binary)
    load_before=$(cut -d' ' -f1-3 /proc/loadavg)
    measure_threads
    {
        threads_report
        echo
        echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores; load average"
        echo "$load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after; lzw at $commit."
    } >"$out/threads.md"
    cat "$out/threads.md"
    exit 0
fi

# ---- Measurements ----

started=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
CORPORA=(text binary)
ADVERSARIAL=(run_x two_runs random text_after_run)
for corpus in "${CORPORA[@]}"; do
    echo "measuring $corpus ($RUNS rounds)"
    measure "$corpus" "${TOOLS[@]}" "${FRAMED[@]}"
done
# A tarball of text and binaries in turn, as people archive them: sizes only.
mixed_list=$work/mixed.list
paste -d '\n' <(find /usr/share/doc -type f | sort | head -3000) \
    <(find /usr/bin -type f | sort | head -3000) | grep . >"$mixed_list"
# head stops reading once it has enough; tar's SIGPIPE then is no failure (the size is checked).
{ tar --no-recursion --mtime=@0 --owner=0 --group=0 --numeric-owner -cf - -T "$mixed_list" \
    2>/dev/null || true; } | head -c "$SIZE" >"$work/mixed.bin"
if (($(stat -c %s "$work/mixed.bin") != SIZE)); then
    echo "compare.sh: the mixed tarball is short" >&2
    exit 1
fi
for tool in lzw1 lzw2 lzw3 "${FRAMED[@]}"; do
    encode "$tool" "$work/mixed.bin" "$work/mixed.$tool"
    PACKED["mixed $tool"]=$(stat -c %s "$work/mixed.$tool")
done
for input in "${ADVERSARIAL[@]}"; do
    echo "measuring $input ($RUNS rounds)"
    measure "$input" lzw1 lzw2
done
for input in "${SMALL[@]}"; do
    echo "measuring $input ($RUNS rounds of ${SMALL_REPS[$input]} runs, CPU time)"
    measure_small "$input" lzw1 lzw2 lzw3 compress12
done
echo "measuring peak memory"
declare -A RSS
for corpus in "${CORPORA[@]}"; do
    for tool in "${TOOLS[@]}" "${FRAMED[@]}"; do
        RSS["$corpus $tool"]="$(peak c "$tool" "$corpus") / $(peak d "$tool" "$corpus")"
    done
done
measure_threads
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
elapsed=$(($(date +%s) - started))
echo "counting instructions"
bash "$bench/instructions.sh" "$out" "$LZW" >"$out/instructions.md"

# ---- Report ----

declare -A CT DT # median seconds
for corpus in "${CORPORA[@]}"; do
    for tool in "${TOOLS[@]}" "${FRAMED[@]}"; do
        CT["$corpus $tool"]=$(median "$corpus $tool c")
        DT["$corpus $tool"]=$(median "$corpus $tool d")
    done
done
for input in "${ADVERSARIAL[@]}"; do
    for tool in lzw1 lzw2; do
        CT["$input $tool"]=$(median "$input $tool c")
        DT["$input $tool"]=$(median "$input $tool d")
    done
done
for input in "${SMALL[@]}"; do
    for tool in lzw1 lzw2 lzw3 compress12; do
        CT["$input $tool"]=$(median "$input $tool c" 6)
        DT["$input $tool"]=$(median "$input $tool d" 6)
    done
done

cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1)
cores=$(nproc)
chart_data=$out/chart.dat
slow_data=$out/slowdown.dat
report=$bench/results.md
{
    echo "# Benchmark results"
    echo
    echo "- Machine: $cpu, $cores cores; load average $load_before before, $load_after after"
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); lzw at $commit, built Release with Debian's"
    echo "  build flags: the program as the lzw package installs it (C library shared)"
    echo "- Corpora (bench/corpus.sh), $SIZE bytes each, SHA-256:"
    # shellcheck disable=SC2016 # backquotes for markdown
    sed 's/^\([0-9a-f]*\)  \(.*\)/  - `\2` `\1`/' "$out/corpora.sha256"
    echo "- Whole-process wall time, median of $RUNS interleaved rounds after a checked warm-up;"
    echo "  each timed run follows an untimed run of the same command (a run after another"
    echo "  tool's is slower here, whoever runs)."
    echo "  Files on $(df --output=fstype "$work" | tail -1). MB/s counts uncompressed bytes"
    echo "  (1 MB = 10^6 bytes) in both directions; ratio = compressed size / original size."
    echo "- Peak RSS: maximum resident set of one run, from \`/usr/bin/time -f %M\`."
    echo "- A row \"lzw cN/dN\" takes its compression figures from cN and its decompression"
    echo "  figures from dN."
    echo
    echo "| corpus | tool | ratio | compress MB/s | decompress MB/s | compress s | decompress s | peak RSS c / d (KiB) |"
    echo "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |"
    for corpus in "${CORPORA[@]}"; do
        for tool in "${TOOLS[@]}"; do
            key="$corpus $tool"
            printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$corpus" "${LABEL[$tool]/|/ }" \
                "$(frac 3 "${PACKED[$key]}" "$SIZE")" \
                "$(mbps "${CT[$key]}")" "$(mbps "${DT[$key]}")" "${CT[$key]}" "${DT[$key]}" \
                "${RSS[$key]}"
        done
    done
    echo
    echo "## Speed against compress -b12 (same run on $cpu; > 1 means lzw is faster)"
    echo
    echo "Rows \"10 KB\" and \"1 MB\" time the first 10,000 and 1,000,000 bytes of each corpus:"
    echo "CPU time (user + system) of whole runs, ${SMALL_REPS[text_10k]} and ${SMALL_REPS[text_1m]} runs"
    echo "per figure, median of $RUNS rounds. The other rows time the whole corpora as above."
    echo
    echo "| comparison | target | text | binary | met |"
    echo "| --- | ---: | ---: | ---: | --- |"
    target_row() { # LABEL TARGET TIMES TOOL [SIZE]: how many times faster TOOL runs than compress -b12
        local -n times=$3
        local text binary t=text b=binary
        [[ -n ${5:-} ]] && t=text_$5 b=binary_$5
        text=$(div "${times[$t compress12]}" "${times[$t $4]}")
        binary=$(div "${times[$b compress12]}" "${times[$b $4]}")
        printf '| %s | >= %sx | %sx | %sx | %s |\n' "$1" "$2" "$text" "$binary" \
            "$(awk -v t="$2" -v a="$text" -v b="$binary" 'BEGIN { print (a >= t && b >= t) ? "yes" : "no" }')"
    }
    target_row "c1 vs compress -b12" 1.8 CT lzw1
    target_row "c3 vs compress -b12" 1.6 CT lzw3
    target_row "d1 vs compress -d (-b12 file)" 2 DT lzw1
    target_row "d3 vs compress -d (-b12 file)" 2 DT lzw3
    target_row "c2 vs compress -b12" 0.85 CT lzw2
    target_row "d2 vs compress -d (-b12 file)" 1 DT lzw2
    for size in 10k 1m; do
        label=${size/k/ KB}
        label=${label/m/ MB}
        for k in 1 2 3; do
            target_row "$label: c$k vs compress -b12" "$( ((k == 2)) && echo 0.85 || echo 1)" CT "lzw$k" "$size"
        done
        for k in 1 2 3; do
            target_row "$label: d$k vs compress -d" 1 DT "lzw$k" "$size"
        done
    done
    echo
    echo "## Framed files against raw streams"
    echo
    echo "\`lzw -F cN\` (1 MiB blocks, block and content checksums) against \`lzw cN\`, timed in the"
    echo "same rounds as above; decompression of both by \`dN\`. Target: framed within 5% of raw"
    echo "speed (time raw / time framed >= 0.95). Sizes: framed / raw, on the corpora and on a"
    echo "tarball of /usr/share/doc and /usr/bin files in turn (the first $SIZE bytes)."
    echo
    echo "| mode | c speed text | c speed binary | d speed text | d speed binary | size text | size binary | size tarball | peak RSS c / d text (KiB) |"
    echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
    for k in 1 2 3; do
        printf '| c%s/d%s | %sx | %sx | %sx | %sx | %s | %s | %s | %s |\n' "$k" "$k" \
            "$(div "${CT[text lzw$k]}" "${CT[text lzwF$k]}")" "$(div "${CT[binary lzw$k]}" "${CT[binary lzwF$k]}")" \
            "$(div "${DT[text lzw$k]}" "${DT[text lzwF$k]}")" "$(div "${DT[binary lzw$k]}" "${DT[binary lzwF$k]}")" \
            "$(frac 4 "${PACKED[text lzwF$k]}" "${PACKED[text lzw$k]}")" \
            "$(frac 4 "${PACKED[binary lzwF$k]}" "${PACKED[binary lzw$k]}")" \
            "$(frac 4 "${PACKED[mixed lzwF$k]}" "${PACKED[mixed lzw$k]}")" "${RSS[text lzwF$k]}"
    done
    echo
    threads_report
    echo
    echo "## Instructions per byte"
    echo
    echo "From bench/instructions.sh: one run of each mode under valgrind's cachegrind on the first"
    echo "2,000,000 bytes of each corpus, instructions divided by input bytes. They do not move"
    echo "with the machine's load; a loop that waits on a chain of loads can run more of them in"
    echo "less time (c3 against compress -b12)."
    echo
    cat "$out/instructions.md"
    echo
    echo "## Eviction against freezing on adversarial inputs ($SIZE bytes each)"
    echo
    echo "run_x: one byte repeated; two_runs: one byte for the first half, another for the"
    echo "second; random: AES-CTR key stream; text_after_run: run_x's first half, then the start"
    echo "of the text corpus. Target: c2 and d2 take at most 3x the time of c1 and d1."
    echo
    echo "| input | c1 s | c2 s | c2 / c1 | d1 s | d2 s | d2 / d1 | met | ratio c1 | ratio c2 |"
    echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | --- | ---: | ---: |"
    for input in "${ADVERSARIAL[@]}"; do
        c=$(div "${CT[$input lzw2]}" "${CT[$input lzw1]}")
        d=$(div "${DT[$input lzw2]}" "${DT[$input lzw1]}")
        printf '| %s | %s | %s | %sx | %s | %s | %sx | %s | %s | %s |\n' "$input" \
            "${CT[$input lzw1]}" "${CT[$input lzw2]}" "$c" "${DT[$input lzw1]}" "${DT[$input lzw2]}" "$d" \
            "$(awk -v c="$c" -v d="$d" 'BEGIN { print (c <= 3 && d <= 3) ? "yes" : "no" }')" \
            "$(frac 4 "${PACKED[$input lzw1]}" "$SIZE")" "$(frac 4 "${PACKED[$input lzw2]}" "$SIZE")"
    done
    echo
    echo "Chart: [chart.svg](chart.svg). Measuring took ${elapsed} s."
} >"$report"

# ---- Chart ----

{
    echo "# tool detail ratio(text binary) compressMB/s(text binary) decompressMB/s(text binary)"
    for tool in "${TOOLS[@]}"; do
        printf '"%s" "%s"' "${LABEL[$tool]%|*}" "${LABEL[$tool]#*|}"
        for corpus in "${CORPORA[@]}"; do printf ' %s' "$(frac 3 "${PACKED[$corpus $tool]}" "$SIZE")"; done
        for corpus in "${CORPORA[@]}"; do printf ' %s' "$(mbps "${CT[$corpus $tool]}")"; done
        for corpus in "${CORPORA[@]}"; do printf ' %s' "$(mbps "${DT[$corpus $tool]}")"; done
        echo
    done
} >"$chart_data"
{
    echo "# input c2/c1 d2/d1"
    for input in "${ADVERSARIAL[@]}"; do
        printf '"%s" %s %s\n' "${input//_/ }" "$(div "${CT[$input lzw2]}" "${CT[$input lzw1]}")" \
            "$(div "${DT[$input lzw2]}" "${DT[$input lzw1]}")"
    done
} >"$slow_data"

draw() { # TERMINAL OUTPUT
    gnuplot <<GNUPLOT
set terminal $1 size 1100,1600 font "DejaVu Sans,13" background rgb "white"
set output "$2"
set multiplot layout 4,1 title "lzw against its peers on $((SIZE / 1000000)) MB corpora ($cpu, $cores cores)" font ",16"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set style textbox opaque noborder margins 1.5, 0.5
set grid ytics lc rgb "#dddddd"
set key top right horizontal
set xtics nomirror scale 0 font ",12"
set ytics nomirror
set yrange [0:*]
set offsets 0, 0, graph 0.15, 0
set bmargin 3.5
# Bar centres of a two-bar cluster with gap 1 lie a sixth of a unit either side of the tic.
L = 1.0 / 6
text = "#4e79a7"; binary = "#f28e2b"
tic(a, b) = sprintf("%s\n%s", a, b)
# A grey band behind the three lzw policies sets them apart from the peers.
set object 1 rectangle from -0.5, graph 0 to 2.5, graph 1 fillcolor rgb "#eeeeee" fillstyle solid 1.0 noborder behind

# The three panels of the corpora: columns 3 and 4, 5 and 6, 7 and 8 (text, binary).
array heading[3] = ["Compressed size / original size (lower is better)", \
                    "Compression speed, MB/s of input (higher is better)", \
                    "Decompression speed, MB/s of output (higher is better)"]
array axis[3] = ["%.1f", "%.0f", "%.0f"]
array figure[3] = ["%.2f", "%.0f", "%.0f"]
do for [k = 1:3] {
    c = 2 * k + 1
    set title heading[k]
    set format y axis[k]
    plot "$chart_data" using (column(c)):xtic(tic(strcol(1), strcol(2))) title "text" lc rgb text, \
         "" using (column(c + 1)) title "binary" lc rgb binary, \
         "" using (\$0 - L):(column(c)):(sprintf(figure[k], column(c))) with labels boxed offset 0,0.7 font ",10" notitle, \
         "" using (\$0 + L):(column(c + 1)):(sprintf(figure[k], column(c + 1))) with labels boxed offset 0,0.7 font ",10" notitle
}

unset object 1
set key top left
# Behind the bars and their numbers.
set arrow 1 from graph 0, first 3 to graph 1, first 3 nohead back dt 2 lw 2 lc rgb "#e15759"
set title "Cost of eviction on $((SIZE / 1000000)) MB adversarial inputs: time of c2 / c1 and d2 / d1 (target: at most 3)"
set format y "%.1f"
plot "$slow_data" using 2:xtic(1) title "c2 / c1" lc rgb "#59a14f", \
     "" using 3 title "d2 / d1" lc rgb "#b07aa1", \
     "" using (\$0 - L):2:(sprintf("%.2f", \$2)) with labels boxed offset 0,0.7 font ",10" notitle, \
     "" using (\$0 + L):3:(sprintf("%.2f", \$3)) with labels boxed offset 0,0.7 font ",10" notitle, \
     NaN with lines dt 2 lw 2 lc rgb "#e15759" title "target"
unset multiplot
GNUPLOT
}
draw svg "$bench/chart.svg"
draw pngcairo "$out/chart.png"

cat "$report"
echo
echo "chart: $bench/chart.svg (PNG: $out/chart.png)"
