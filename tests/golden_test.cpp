// Output of every compression mode over fixed inputs, pinned by SHA-256, so that
// speed work can never change a byte of what the program writes.
#include <gtest/gtest.h>

#include <array>
#include <map>

#include "coder.h"
#include "roundtrip.h"

namespace lzw::testing {
namespace {

struct GoldenCase {
    std::string name;
    Bytes (*make)();
};

std::vector<GoldenCase> goldenCases() {
    return {
        {"text_1m", [] { return pseudoText(11, 1000000); }},
        {"binary_1m", [] { return pseudoBinary(12, 1000000); }},
        {"random_500k", [] { return randomBytes(13, 500000); }},
        {"random_2letters_500k", [] { return randomBytes(14, 500000, 2); }},
        {"run_7378562", [] { return repeated('x', 7378562); }},
        {"run_7382402", [] { return repeated('x', 7382402); }},
        {"two_long_runs_then_text",
         [] {
             return concat({repeated('a', 2002000), repeated('b', 4039903), repeated('a', 3010),
                            Bytes{'b'}, pseudoText(15, 300000)});
         }},
        {"text_after_long_run",
         [] {
             return concat({repeated(0, 3000000), pseudoText(16, 500000)});
         }},
    };
}

// SHA-256 of the c1, c2, c3 output of each case.
const std::map<std::string, std::array<const char*, kPolicyCount>>& expected() {
    static const std::map<std::string, std::array<const char*, kPolicyCount>> table = {
#include "golden_hashes.inc"
    };
    return table;
}

TEST(Golden, CompressedBytesNeverChange) {
    for (const auto& c : goldenCases()) {
        Bytes input = c.make();
        auto it = expected().find(c.name);
        ASSERT_NE(it, expected().end()) << c.name;
        for (int p = 0; p < kPolicyCount; ++p) {
            char policy = allPolicies()[static_cast<size_t>(p)];
            Bytes packed = encode(policy, input);
            ASSERT_NE(it->second[p], nullptr) << c.name << " c" << policy << ": no golden hash";
            EXPECT_EQ(sha256Hex(packed), it->second[p]) << c.name << " c" << policy;
            Result back = decode(policy, packed);
            EXPECT_EQ(back.status, 0) << c.name << " d" << policy;
            EXPECT_TRUE(back.bytes == input) << c.name << " d" << policy;
        }
    }
}

TEST(Golden, Sha256MatchesKnownDigests) {
    EXPECT_EQ(sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex({'a', 'b', 'c'}),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace lzw::testing
