// Calls of the C interface on one reused context, every policy and direction, at 100 B, 1 KB,
// 16 KB and 1 MB of text, beside zstd level 1 on reused contexts in the same run (when the
// build found zstd). A program that codes many small messages pays this per message. Each row
// repeats one call, but all_six, which runs the six modes in turn.
//
// The text is standardInputs()' text_300k, from the same generator and seed, grown to 1 MB;
// each size is its prefix. Throughput is counted in uncompressed bytes in both directions.
// Before any timing, every call's result is checked: lzw's against the one-shot call's, zstd's
// by its round trip.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "lzw.h"
#include "roundtrip.h"

#if LZW_BENCH_ZSTD
#include <zstd.h>
#endif

namespace {

using lzw::testing::Bytes;

constexpr size_t kSizes[] = {100, 1000, 16000, 1000000};

struct Sample {
    Bytes text;
    Bytes packed[3];  // by policy 1, 2, 3
#if LZW_BENCH_ZSTD
    Bytes zstd;
#endif
};

std::vector<Sample>& samples() {
    static std::vector<Sample> all;
    return all;
}

struct ContextFree {
    void operator()(lzw_ctx* ctx) const { lzw_ctx_free(ctx); }
};

void lzwCall(benchmark::State& state, const Sample* sample, bool compressing, lzw_policy policy) {
    const Bytes& source = compressing ? sample->text : sample->packed[policy - 1];
    const Bytes& expected = compressing ? sample->packed[policy - 1] : sample->text;
    Bytes output(expected.size() + 64);
    std::unique_ptr<lzw_ctx, ContextFree> ctx(lzw_ctx_create());
    auto call = compressing ? lzw_ctx_compress : lzw_ctx_decompress;
    for (auto _ : state) {
        size_t written = 0;
        int error = call(ctx.get(), policy, source.data(), source.size(), output.data(),
                         output.size(), &written);
        if (error != LZW_OK || written != expected.size()) {
            state.SkipWithError("a call on the context failed");
            break;
        }
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sample->text.size()));
}

// The six modes in turn on one context, c1 d1 c2 d2 c3 d3: each call follows a call of
// another mode, as in a program that mixes them. The time is for all six.
void lzwMixed(benchmark::State& state, const Sample* sample) {
    Bytes output(lzw_compress_bound(sample->text.size()));
    std::unique_ptr<lzw_ctx, ContextFree> ctx(lzw_ctx_create());
    for (auto _ : state) {
        for (auto policy : {LZW_FREEZE, LZW_EVICT, LZW_RESET}) {
            const Bytes& packed = sample->packed[policy - 1];
            size_t packedSize = 0, size = 0;
            if (lzw_ctx_compress(ctx.get(), policy, sample->text.data(), sample->text.size(),
                                 output.data(), output.size(), &packedSize) != LZW_OK ||
                packedSize != packed.size() ||
                lzw_ctx_decompress(ctx.get(), policy, packed.data(), packed.size(), output.data(),
                                   output.size(), &size) != LZW_OK ||
                size != sample->text.size()) {
                state.SkipWithError("a call on the context failed");
                return;
            }
        }
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(state.iterations() * 6 * static_cast<int64_t>(sample->text.size()));
}

#if LZW_BENCH_ZSTD
void zstdCall(benchmark::State& state, const Sample* sample, bool compressing) {
    Bytes output(compressing ? ZSTD_compressBound(sample->text.size()) : sample->text.size());
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    for (auto _ : state) {
        size_t n = compressing ? ZSTD_compressCCtx(cctx, output.data(), output.size(),
                                                   sample->text.data(), sample->text.size(), 1)
                               : ZSTD_decompressDCtx(dctx, output.data(), output.size(),
                                                     sample->zstd.data(), sample->zstd.size());
        if (ZSTD_isError(n)) {
            state.SkipWithError(ZSTD_getErrorName(n));
            break;
        }
        benchmark::DoNotOptimize(output.data());
    }
    ZSTD_freeCCtx(cctx);
    ZSTD_freeDCtx(dctx);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sample->text.size()));
}
#endif

// Packs every sample in every policy, one context for all of them, each result compared with
// the one-shot call's and decoded back.
bool prepare() {
    const Bytes text = lzw::testing::pseudoText(1, kSizes[std::size(kSizes) - 1]);
    std::unique_ptr<lzw_ctx, ContextFree> ctx(lzw_ctx_create());
    if (!ctx) return false;
    for (size_t size : kSizes) {
        Sample s;
        s.text.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
        for (auto policy : {LZW_FREEZE, LZW_EVICT, LZW_RESET}) {
            Bytes once(lzw_compress_bound(size)), again(once.size()), back(size);
            size_t n = 0, m = 0, r = 0;
            if (lzw_compress(policy, s.text.data(), size, once.data(), once.size(), &n) != LZW_OK ||
                lzw_ctx_compress(ctx.get(), policy, s.text.data(), size, again.data(), again.size(),
                                 &m) != LZW_OK ||
                n != m || once != again ||
                lzw_ctx_decompress(ctx.get(), policy, once.data(), n, back.data(), back.size(),
                                   &r) != LZW_OK ||
                back != s.text) {
                std::fprintf(stderr, "%zu bytes in policy %d: context and one-shot calls differ\n",
                             size, policy);
                return false;
            }
            once.resize(n);
            s.packed[policy - 1] = std::move(once);
        }
#if LZW_BENCH_ZSTD
        s.zstd.resize(ZSTD_compressBound(size));
        size_t z = ZSTD_compress(s.zstd.data(), s.zstd.size(), s.text.data(), size, 1);
        if (ZSTD_isError(z)) return false;
        s.zstd.resize(z);
#endif
        samples().push_back(std::move(s));
    }
    return true;
}

std::string sizeName(size_t size) {
    return size >= 1000000 ? std::to_string(size / 1000000) + "MB"
           : size >= 1000  ? std::to_string(size / 1000) + "KB"
                           : std::to_string(size) + "B";
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!prepare()) return 1;
#if !LZW_BENCH_ZSTD
    std::fprintf(stderr, "context_bench: built without zstd, so without its peer rows\n");
#endif
    for (const Sample& s : samples()) {
        const std::string size = sizeName(s.text.size());
        for (bool compressing : {true, false}) {
            const char direction = compressing ? 'c' : 'd';
            for (auto policy : {LZW_FREEZE, LZW_EVICT, LZW_RESET}) {
                std::string name = "ctx/" + size + "/" + direction + std::to_string(policy);
                benchmark::RegisterBenchmark(name.c_str(), lzwCall, &s, compressing, policy)
                    ->Unit(benchmark::kMicrosecond);
            }
#if LZW_BENCH_ZSTD
            std::string name = "zstd1/" + size + "/" + direction;
            benchmark::RegisterBenchmark(name.c_str(), zstdCall, &s, compressing)
                ->Unit(benchmark::kMicrosecond);
#endif
        }
        benchmark::RegisterBenchmark(("ctx/" + size + "/all_six").c_str(), lzwMixed, &s)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
