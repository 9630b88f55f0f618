#!/usr/bin/env bash
# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), the
# threads tests under ThreadSanitizer (build-tsan/, clang), then a short run of every fuzz
# target (build-fuzz/, clang) over a scratch copy of its seed corpus.
# Fails on any test failure, sanitizer report, crash, hang or memory blow-up.
#   LZW_FUZZ_SECONDS  seconds per target (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${LZW_FUZZ_SECONDS:-30}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
started=$SECONDS
stamp() { echo "== $* (at $((SECONDS - started)) s)"; }

stamp "sanitizer build"
cmake --preset sanitize >/dev/null
cmake --build build-asan -j2
stamp "sanitizer tests"
ctest --test-dir build-asan --output-on-failure -j2

# The worker threads under ThreadSanitizer: their tests alone, any report a failure.
stamp "thread sanitizer build"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j2
stamp "thread sanitizer tests"
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    ctest --test-dir build-tsan --output-on-failure -j2

stamp "fuzz build"
cmake --preset fuzz >/dev/null
cmake --build build-fuzz -j2

# Crashing inputs land in build-fuzz/artifacts/ (the scratch corpora are thrown away).
artifacts=build-fuzz/artifacts
rm -rf "$artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run_target() {
    local target=$1 max_len=$2
    cp -r "fuzz/corpus/$target" "$scratch/$target"
    # -timeout: an input still running after 10 s counts as a hang. The seeds that decode to
    # megabytes would otherwise take most of the time: mutate them less the slower they run.
    "build-fuzz/fuzz/$target" "$scratch/$target" -max_total_time="$seconds" -max_len="$max_len" \
        -rss_limit_mb=2048 -timeout=10 -entropic_scale_per_exec_time=1 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target-" >"$scratch/$target.log" 2>&1
}

summary() {
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' \
        "$scratch/$1.log" | sed "s/^/$1: /" || true
    grep -E 'cov: ' "$scratch/$1.log" | tail -1 | sed "s/^/$1: /" || true
}

# Two targets at a time, one per core: each decoder beside the round trip of its mode.
stamp "fuzzing, $seconds s per target"
failed=()
for policy in 1 2 3; do
    run_target "fuzz_decode_d$policy" 8192 &
    decode=$!
    # Longer inputs, so that plain data fills the dictionary too.
    run_target "fuzz_roundtrip_$policy" 16384 &
    roundtrip=$!
    wait "$decode" || failed+=("fuzz_decode_d$policy")
    wait "$roundtrip" || failed+=("fuzz_roundtrip_$policy")
    for target in "fuzz_decode_d$policy" "fuzz_roundtrip_$policy"; do summary "$target"; done
done
# A context through call sequences, long enough for several calls that fill the dictionary;
# beside it, frames (the longest seeds are some 6 KB).
run_target fuzz_context 32768 &
context=$!
run_target fuzz_frame_decode 16384 &
frame=$!
wait "$context" || failed+=(fuzz_context)
wait "$frame" || failed+=(fuzz_frame_decode)
for target in fuzz_context fuzz_frame_decode; do summary "$target"; done
# Files read at any offset: their tables, forged or damaged, and their block headers.
run_target fuzz_reader 16384 || failed+=(fuzz_reader)
summary fuzz_reader

if ((${#failed[@]})); then
    for target in "${failed[@]}"; do
        echo "---- $target failed; end of its log:"
        tail -60 "$scratch/$target.log"
    done
    for file in "$artifacts"/*; do
        [[ -f $file ]] || continue
        echo "---- $file ($(stat -c %s "$file") bytes), first 512 bytes:"
        head -c 512 "$file" | od -An -tx1
    done
    echo "Once fixed, copy each input above into fuzz/corpus/TARGET/: ctest replays them all."
    stamp "fuzzing failed: ${failed[*]}"
    exit 1
fi
stamp "done"
