// The C interface's own contract: its bounds, its refusals and its texts. Its bytes and its
// faults on damaged streams are checked beside the program's in the round-trip and corrupt
// stream tests.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <climits>
#include <cstring>

#include "lzw.h"
#include "roundtrip.h"

namespace lzw::testing {
namespace {

const Bytes kAbab = {'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b'};
const Bytes kAbabPacked = {0x00, 0x00, 0x00, 0x07, 0x06, 0x10, 0x62, 0x10, 0x01, 0x02, 0x06, 0x20};

// A buffer one byte short gets what fits, and the call says it fell short; the exact size is
// enough.
TEST(CInterface, OutputTooSmallKeepsWhatFits) {
    uint8_t out[16];
    for (auto policy : {LZW_FREEZE, LZW_EVICT, LZW_RESET}) {
        size_t written = 99;
        EXPECT_EQ(lzw_compress(policy, kAbab.data(), 8, out, 11, &written),
                  LZW_ERROR_OUTPUT_TOO_SMALL);
        EXPECT_TRUE(Bytes(out, out + written) == Bytes(kAbabPacked.begin(), kAbabPacked.end() - 1));
        EXPECT_EQ(lzw_compress(policy, kAbab.data(), 8, out, 12, &written), LZW_OK);
        EXPECT_TRUE(Bytes(out, out + written) == kAbabPacked);
        EXPECT_EQ(lzw_decompress(policy, kAbabPacked.data(), 12, out, 7, &written),
                  LZW_ERROR_OUTPUT_TOO_SMALL);
        EXPECT_TRUE(Bytes(out, out + written) == Bytes(kAbab.begin(), kAbab.end() - 1));
        EXPECT_EQ(lzw_decompress(policy, kAbabPacked.data(), 12, out, 8, &written), LZW_OK);
        EXPECT_EQ(written, 8u);
        // The empty input needs no buffer to read from, only room for its header.
        EXPECT_EQ(lzw_compress(policy, nullptr, 0, out, 4, &written), LZW_OK);
        EXPECT_EQ(written, 4u);
        EXPECT_EQ(lzw_decompress(policy, out, 4, nullptr, 0, &written), LZW_OK);
        EXPECT_EQ(written, 0u);
    }
}

TEST(CInterface, BadArgumentsWriteNothing) {
    uint8_t out[16] = {};
    size_t written = 99;
    for (int policy : {0, 4, -1}) {
        EXPECT_EQ(lzw_compress(static_cast<lzw_policy>(policy), kAbab.data(), 8, out, 16, &written),
                  LZW_ERROR_BAD_ARGUMENT);
        EXPECT_EQ(written, 0u);
    }
    EXPECT_EQ(lzw_compress(LZW_FREEZE, nullptr, 1, out, 16, &written), LZW_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(lzw_compress(LZW_FREEZE, kAbab.data(), 8, nullptr, 16, &written),
              LZW_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(lzw_decompress(LZW_EVICT, kAbabPacked.data(), 12, out, 16, nullptr),
              LZW_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(out[0], 0);
}

// Over 2 GiB the header cannot describe the input: refused before a byte is read or written.
// The input is reserved address space, never touched.
TEST(CInterface, InputOverTwoGibibytesIsRefused) {
    const size_t size = (size_t{1} << 31) + 1;
    void* input =
        mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(input, MAP_FAILED);
    uint8_t out[16];
    size_t written = 99;
    EXPECT_EQ(lzw_compress(LZW_RESET, input, size, out, sizeof out, &written),
              LZW_ERROR_INPUT_TOO_LARGE);
    EXPECT_EQ(written, 0u);
    munmap(input, size);
    EXPECT_EQ(lzw_compress_bound(size), 0u);
    // The header, and 12 bits per byte with an odd last code padded.
    EXPECT_EQ(lzw_compress_bound(size - 1), 4u + 3221225472u);
    EXPECT_EQ(lzw_compress_bound(1), 6u);
    EXPECT_EQ(lzw_compress_bound(0), 4u);
}

TEST(CInterface, DecodedSizeReadsTheHeader) {
    const std::pair<Bytes, long long> cases[] = {
        {{}, -1},
        {{0xFF, 0xFF, 0xFF}, -1},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0},
        {kAbabPacked, 8},
        {{0x7F, 0xFF, 0xFF, 0xFF}, 2147483648LL},
        {{0xFF, 0xFF, 0xFF, 0xFE}, -1},
        {{0x80, 0x00, 0x00, 0x00}, -1},
    };
    for (const auto& [stream, expected] : cases) {
        EXPECT_EQ(lzw_decoded_size(stream.data(), stream.size()), expected) << stream.size();
    }
    EXPECT_EQ(lzw_decoded_size(nullptr, 4), -1);
}

// Every value the calls return has a text of its own and no placeholder for a path; any other
// value gets one fixed text.
TEST(CInterface, ErrorTexts) {
    const char* unknown = lzw_error_text(1);
    for (int error : {INT_MIN, -19, -6, -1, 1, INT_MAX}) {
        EXPECT_STREQ(lzw_error_text(error), unknown) << error;
    }
    EXPECT_STREQ(lzw_error_text(LZW_OK), "");
    for (int error = LZW_ERROR_NO_MEMORY; error < LZW_OK; ++error) {
        if (error > LZW_ERROR_SHORTER_THAN_HEADER && error != LZW_ERROR_INPUT_TOO_LARGE) continue;
        EXPECT_STRNE(lzw_error_text(error), unknown) << error;
        EXPECT_EQ(std::strchr(lzw_error_text(error), '%'), nullptr) << error;
    }
}

}  // namespace
}  // namespace lzw::testing
