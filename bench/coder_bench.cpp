// Speed of the in-memory coding loops of all six modes.
//
// Throughput is counted in uncompressed bytes for both directions, so c and d rows compare
// directly. The label gives the compression ratio (compressed / original). Inputs and their
// compressed forms are built once before any timing; each iteration only rewinds two
// memory streams that stay open for the whole benchmark.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "coder.h"
#include "roundtrip.h"

namespace {

using lzw::testing::Bytes;

// Read-only stream over a byte vector. Unlike fmemopen it accepts an empty buffer.
struct Reader {
    const Bytes* data;
    size_t pos = 0;
};

ssize_t readerRead(void* cookie, char* buf, size_t size) {
    auto* r = static_cast<Reader*>(cookie);
    size_t n = std::min(size, r->data->size() - r->pos);
    std::memcpy(buf, r->data->data() + r->pos, n);
    r->pos += n;
    return static_cast<ssize_t>(n);
}

int readerSeek(void* cookie, off64_t* offset, int whence) {
    auto* r = static_cast<Reader*>(cookie);
    if (whence != SEEK_SET || *offset < 0) return -1;
    r->pos = std::min(static_cast<size_t>(*offset), r->data->size());
    *offset = static_cast<off64_t>(r->pos);
    return 0;
}

// Output stream that keeps nothing but the size of what would have been written, so the
// benchmark measures the coder rather than a growing buffer. Seeks are honoured because a
// compressor may go back to rewrite its header.
struct Sink {
    int64_t pos = 0;
    int64_t size = 0;
};

ssize_t sinkWrite(void* cookie, const char*, size_t size) {
    auto* s = static_cast<Sink*>(cookie);
    s->pos += static_cast<int64_t>(size);
    s->size = std::max(s->size, s->pos);
    return static_cast<ssize_t>(size);
}

int sinkSeek(void* cookie, off64_t* offset, int whence) {
    auto* s = static_cast<Sink*>(cookie);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->pos : s->size;
    if (base + *offset < 0) return -1;
    s->pos = base + *offset;
    *offset = s->pos;
    return 0;
}

struct Case {
    std::string name;
    Bytes input;
    Bytes compressed[3];  // by policy 1..3
};

std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

void runMode(benchmark::State& state, const Case* which, char direction, char policy) {
    const Case& c = *which;
    const Bytes& packed = c.compressed[policy - '1'];
    const bool compressing = direction == 'c';
    const Bytes& source = compressing ? c.input : packed;
    const int64_t expected = static_cast<int64_t>(compressing ? packed.size() : c.input.size());
    const char mode[3] = {direction, policy, '\0'};

    Reader reader{&source};
    Sink sink;
    std::FILE* in = fopencookie(&reader, "rb", {readerRead, nullptr, readerSeek, nullptr});
    std::FILE* out = fopencookie(&sink, "wb", {nullptr, sinkWrite, sinkSeek, nullptr});
    // The coder buffers on its own. An unbuffered reader would be asked for one byte at a
    // time, but an unbuffered writer passes each full buffer of the coder straight through.
    std::setvbuf(out, nullptr, _IONBF, 0);
    auto coder = std::make_unique<lzw::Coder>();
    coder->quiet = true;

    for (auto _ : state) {
        std::rewind(in);
        std::rewind(out);
        sink = Sink{};
        int status = coder->runStreams(mode, in, out, static_cast<int64_t>(c.input.size()));
        if (status != 0 || sink.size != expected) {
            state.SkipWithError("output differs from the prepared round trip");
            break;
        }
    }
    std::fclose(in);
    std::fclose(out);

    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(c.input.size()));
    if (!c.input.empty()) {
        char label[32];
        std::snprintf(label, sizeof label, "ratio %.3f",
                      static_cast<double>(packed.size()) / static_cast<double>(c.input.size()));
        state.SetLabel(label);
    }
}

// Inputs where eviction has the most work per byte: one phrase grows along a single chain,
// every code is new, or a long run fills the dictionary before the real data arrives. Four
// byte values at random send many of the reset-mode compressor's pairs to its stash.
std::vector<lzw::testing::NamedInput> adversarialInputs() {
    using namespace lzw::testing;
    return {
        {"run_x_8m", repeated('x', 8000000)},
        {"two_runs_8m", concat({repeated('a', 4000000), repeated('b', 4000000)})},
        {"random_4m", randomBytes(7, 4000000)},
        {"text_after_run_8m", concat({repeated('x', 6000000), pseudoText(8, 2000000)})},
        {"four_values_4m", randomBytes(9, 4000000, 4)},
    };
}

// Compresses every input with every policy and checks that it decodes back; a benchmark of
// a broken coder would only time the failure path.
bool prepare() {
    auto inputs = lzw::testing::standardInputs();
    for (auto& extra : adversarialInputs()) inputs.push_back(std::move(extra));
    for (auto& named : inputs) {
        Case c{std::move(named.name), std::move(named.bytes), {}};
        for (char policy = '1'; policy <= '3'; ++policy) {
            Bytes packed = lzw::testing::encode(policy, c.input);
            lzw::testing::Result back = lzw::testing::decode(policy, packed);
            if (packed.empty() || back.status != 0 || back.bytes != c.input) {
                std::fprintf(stderr, "round trip of %s in mode %c fails\n", c.name.c_str(), policy);
                return false;
            }
            c.compressed[policy - '1'] = std::move(packed);
        }
        cases().push_back(std::move(c));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!prepare()) return 1;
    for (const Case& c : cases()) {
        for (char policy = '1'; policy <= '3'; ++policy) {
            for (char direction : {'c', 'd'}) {
                std::string name = c.name + "/" + direction + policy;
                benchmark::RegisterBenchmark(name.c_str(), runMode, &c, direction, policy)
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
