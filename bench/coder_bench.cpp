// Speed of the in-memory coding loops of all six modes.
//
// Throughput is counted in uncompressed bytes for both directions, so c and d rows compare
// directly. The label gives the compression ratio (compressed / original). Inputs and their
// compressed forms are built once before any timing; each iteration codes from memory into a
// buffer that stays allocated for the whole benchmark.
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

struct Case {
    std::string name;
    Bytes input;
    Bytes compressed[lzw::kPolicyCount];  // by policy 1, 2, ...
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
    const Bytes& expected = compressing ? packed : c.input;
    Bytes output(expected.size() + 64);
    auto coder = std::make_unique<lzw::Coder>();

    for (auto _ : state) {
        size_t written = 0;
        lzw::Fault fault =
            coder->runMemory(compressing ? lzw::Direction::compress : lzw::Direction::decompress,
                             static_cast<lzw::Policy>(policy - '0'), source.data(), source.size(),
                             output.data(), output.size(), &written);
        if (fault != lzw::Fault::none || written != expected.size()) {
            state.SkipWithError("output differs from the prepared round trip");
            break;
        }
    }

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
        for (char policy : lzw::testing::allPolicies()) {
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
        for (char policy : lzw::testing::allPolicies()) {
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
