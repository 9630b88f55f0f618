// Damaged compressed files through every decoder. Whatever the bytes, a decoder ends with
// status 0 or 1, writes no more than the length header promises, and writes exactly that much
// when it succeeds; in the sanitizer build any memory fault on the way fails the test too.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "coder.h"
#include "roundtrip.h"

namespace lzw::testing {
namespace {

void expectEndsCleanly(char policy, const Bytes& file) {
    Result r = decode(policy, file);
    ASSERT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status;
    if (file.size() < 4) {
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.bytes.empty());
        return;
    }
    int64_t promised = int64_t{loadHeader(file.data())} + 1;
    auto written = static_cast<int64_t>(r.bytes.size());
    EXPECT_LE(written, std::max<int64_t>(promised, 0));
    if (r.status == 0) {
        EXPECT_EQ(written, promised);
    }
}

// Every seed of the fuzz targets (fuzz/corpus/*/), and inputs a fuzz target once crashed or hung
// on, kept beside them once fixed: through every decoder, whatever target they were made for.
TEST(FuzzRegression, SavedInputsEndCleanlyInEveryDecoder) {
    const auto root = std::filesystem::path(LZW_SOURCE_DIR);
    std::vector<std::filesystem::path> files;
    for (const auto& dir : {root / "fuzz" / "corpus", root / "tests" / "data" / "fuzz"}) {
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
    }
    ASSERT_GT(files.size(), 30u) << "the seed corpus under " << root / "fuzz" / "corpus";
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        for (char policy : allPolicies()) {
            SCOPED_TRACE(path.parent_path().filename().string() + "/" + path.filename().string() +
                         " in d" + policy);
            expectEndsCleanly(policy, file);
        }
    }
}

// The codes 97, 256, 257, ..., 4095, then `tail`. The chain is the phrases a a, a a a, ...:
// it fills the dictionary with one leaf, 4095, the most recently used, and decodes to
// 7,378,561 bytes in every mode. The header claims more than any of these streams holds.
Bytes fullChainThen(std::vector<int32_t> tail) {
    std::vector<int32_t> codes{97};
    for (int32_t code = 256; code < 4096; ++code) codes.push_back(code);
    codes.insert(codes.end(), tail.begin(), tail.end());
    return packCodes(0x7ffffffe, codes);
}

// States that fuzzing from short inputs seldom reaches.
TEST(FuzzRegression, DamagedStreamsAtAFullDictionary) {
    const std::vector<std::pair<std::string, Bytes>> streams = {
        // Eviction: the one leaf is the prefix being extended, so the new phrase takes that
        // slot and becomes its own parent; code 4095 then names it.
        {"victim_is_the_prefix", fullChainThen({4095})},
        // Eviction: the slot left its own parent, read back as a known code.
        {"own_parent_read_back", fullChainThen({97, 4095})},
        // Eviction: after 3840 more adds the slot that is its own parent, in no child list,
        // is given up once more.
        {"own_parent_given_up_again", fullChainThen(std::vector<int32_t>(3845, 97))},
        // Reset: code 256 right after the clearing names the phrase whose prefix, 4095, the
        // clearing has just emptied.
        {"phrase_on_a_cleared_prefix", fullChainThen({256})},
        {"code_beyond_the_clearing", fullChainThen({257})},
        // Freeze: the longest phrase over and over, 3841 bytes each time.
        {"longest_phrase_repeated", fullChainThen({4095, 4095, 4095, 4095})},
    };
    for (const auto& [name, stream] : streams) {
        for (char policy : allPolicies()) {
            SCOPED_TRACE(name + " in d" + policy);
            expectEndsCleanly(policy, stream);
        }
    }
}

}  // namespace
}  // namespace lzw::testing
