// Framed against raw, in one process: each mode of the library's one-shot calls on whole
// files, raw (lzw_ctx_compress), framed without checksums and framed as the program writes
// (both checksums and the seek table), rounds interleaved, CPU time of the calling thread.
// Beside them, XXH64 alone over the same bytes: the floor of what the checksums cost.
//   lzw_frame_bench [-r ROUNDS] FILE...       (bench/corpus.sh's text.bin and binary.bin)
// Prints a Markdown table: the median of each, and the median and range of the ratios round by
// round (the calls of one round run within a second of each other; > 1: raw is slower).
//   lzw_frame_bench -1 KIND MODE FILE         one call alone, for cachegrind's count:
// KIND raw, bare or checked; MODE c1 ... d3.
//   lzw_frame_bench -w KIND cN FILE OUT       writes FILE's frame (or raw stream) of KIND, for
// timing `lzw dN` on frames with and without checksums as whole processes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "lzw.h"

namespace {

using Bytes = std::vector<unsigned char>;

double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// "median [least-most]" of a / b - shift, round by round.
std::string ratios(const std::vector<double>& a, const std::vector<double>& b, double shift,
                   double scale, const char* unit) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size(); ++i) r.push_back((a[i] / b[i] - shift) * scale);
    auto [least, most] = std::minmax_element(r.begin(), r.end());
    char text[96];
    std::snprintf(text, sizeof text, "%.2f%s [%.2f to %.2f]", median(r), unit, *least, *most);
    return text;
}

struct Ctx {
    lzw_ctx* ctx = lzw_ctx_create();
    ~Ctx() { lzw_ctx_free(ctx); }
};

enum Kind { kRaw, kBare, kChecked, kKinds };

lzw_frame_params paramsOf(int policy, Kind kind) {
    lzw_frame_params p = LZW_FRAME_PARAMS_INIT(static_cast<lzw_policy>(policy));
    if (kind == kBare) p.checksums = 0;
    return p;
}

void fail(const char* what) {
    std::fprintf(stderr, "lzw_frame_bench: %s failed\n", what);
    std::exit(1);
}

}  // namespace

// Where -w writes, or null.
const char* out_ = nullptr;

// One call of `kind` in `mode` on the file, after the untimed calls that make its input.
int once(const char* kind, const char* mode, const char* file) {
    std::ifstream in(file, std::ios::binary);
    const Bytes input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const int policy = mode[1] - '0';
    const Kind k = std::strcmp(kind, "raw") == 0    ? kRaw
                   : std::strcmp(kind, "bare") == 0 ? kBare
                                                    : kChecked;
    Ctx ctx;
    lzw_frame_params p = paramsOf(policy, k);
    Bytes out(lzw_frame_compress_bound(&p, input.size()) + lzw_compress_bound(input.size()));
    size_t n = 0;
    auto compress = [&](const Bytes& src) {
        return k == kRaw ? lzw_ctx_compress(ctx.ctx, static_cast<lzw_policy>(policy), src.data(),
                                            src.size(), out.data(), out.size(), &n)
                         : lzw_frame_compress(ctx.ctx, &p, src.data(), src.size(), out.data(),
                                              out.size(), &n);
    };
    if (out_ != nullptr) {
        if (compress(input) != LZW_OK) return 1;
        std::ofstream(out_, std::ios::binary)
            .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(n));
        return 0;
    }
    if (mode[0] == 'c') return compress(input) == LZW_OK ? 0 : 1;
    if (compress(input) != LZW_OK) return 1;
    const Bytes packed(out.begin(), out.begin() + static_cast<long>(n));
    Bytes back(input.size() + 1);
    int rc = k == kRaw ? lzw_ctx_decompress(ctx.ctx, static_cast<lzw_policy>(policy), packed.data(),
                                            packed.size(), back.data(), back.size(), &n)
                       : lzw_frame_decompress(ctx.ctx, packed.data(), packed.size(), back.data(),
                                              back.size(), &n);
    return rc == LZW_OK ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "-1") == 0) return once(argv[2], argv[3], argv[4]);
    if (argc == 6 && std::strcmp(argv[1], "-w") == 0) {
        out_ = argv[5];
        return once(argv[2], argv[3], argv[4]);
    }
    int rounds = 9;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "-r") == 0) {
        rounds = std::atoi(argv[2]);
        first = 3;
    }
    if (first >= argc || rounds < 1) {
        std::fprintf(stderr, "usage: lzw_frame_bench [-r ROUNDS] FILE...\n");
        return 2;
    }
    Ctx ctx;
    std::printf(
        "| file | mode | raw ms | framed, no checksums | framed, checksums | checksums cost (%%) "
        "| raw / framed | XXH64 ms |\n");
    std::printf("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |\n");
    for (int f = first; f < argc; ++f) {
        std::ifstream in(argv[f], std::ios::binary);
        const Bytes input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const std::string name =
            std::strrchr(argv[f], '/') ? std::strrchr(argv[f], '/') + 1 : argv[f];
        for (int policy = 1; policy <= 3; ++policy) {
            // Each kind's packed form, made once, for the decompression rounds.
            Bytes packed[kKinds];
            for (int k = 0; k < kKinds; ++k) {
                lzw_frame_params p = paramsOf(policy, static_cast<Kind>(k));
                size_t room = k == kRaw ? lzw_compress_bound(input.size())
                                        : lzw_frame_compress_bound(&p, input.size());
                packed[k].resize(room);
                size_t n = 0;
                int rc = k == kRaw ? lzw_ctx_compress(ctx.ctx, static_cast<lzw_policy>(policy),
                                                      input.data(), input.size(), packed[k].data(),
                                                      room, &n)
                                   : lzw_frame_compress(ctx.ctx, &p, input.data(), input.size(),
                                                        packed[k].data(), room, &n);
                if (rc != LZW_OK) fail("a compression");
                packed[k].resize(n);
            }
            Bytes out(std::max(input.size(), packed[kRaw].size()) + 4096);
            for (bool compressing : {true, false}) {
                std::vector<double> times[kKinds], hashed;
                for (int r = 0; r < rounds; ++r) {
                    for (int k = 0; k < kKinds; ++k) {
                        lzw_frame_params p = paramsOf(policy, static_cast<Kind>(k));
                        size_t n = 0;
                        double t0 = cpuSeconds();
                        int rc;
                        if (compressing) {
                            rc = k == kRaw
                                     ? lzw_ctx_compress(ctx.ctx, static_cast<lzw_policy>(policy),
                                                        input.data(), input.size(), out.data(),
                                                        out.size(), &n)
                                     : lzw_frame_compress(ctx.ctx, &p, input.data(), input.size(),
                                                          out.data(), out.size(), &n);
                        } else {
                            rc = k == kRaw
                                     ? lzw_ctx_decompress(ctx.ctx, static_cast<lzw_policy>(policy),
                                                          packed[k].data(), packed[k].size(),
                                                          out.data(), out.size(), &n)
                                     : lzw_frame_decompress(ctx.ctx, packed[k].data(),
                                                            packed[k].size(), out.data(),
                                                            out.size(), &n);
                        }
                        times[k].push_back(cpuSeconds() - t0);
                        if (rc != LZW_OK) fail("a call");
                    }
                    // The floor: one XXH64 pass over the content, in 1 MiB blocks.
                    double t0 = cpuSeconds();
                    unsigned long long sum = 0;
                    for (size_t at = 0; at < input.size(); at += 1 << 20) {
                        sum += XXH64(input.data() + at,
                                     std::min<size_t>(1 << 20, input.size() - at), at);
                    }
                    hashed.push_back(cpuSeconds() - t0);
                    if (sum == 42) std::printf(" ");
                }
                double m[kKinds];
                for (int k = 0; k < kKinds; ++k) m[k] = median(times[k]) * 1e3;
                std::printf("| %s | %c%d | %.1f | %.1f | %.1f | %s | %s | %.2f |\n", name.c_str(),
                            compressing ? 'c' : 'd', policy, m[kRaw], m[kBare], m[kChecked],
                            ratios(times[kChecked], times[kBare], 1, 100, "").c_str(),
                            ratios(times[kRaw], times[kChecked], 0, 1, "x").c_str(),
                            median(hashed) * 1e3);
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
