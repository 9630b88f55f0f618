// The C interface's own contract: its bounds, its refusals and its texts. Its bytes and its
// faults on damaged streams are checked beside the program's in the round-trip and corrupt
// stream tests.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "coder.h"
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

// An output that fills at any point, while the dictionary fills, is full or is cleared, ends
// the run there in every policy and direction: the buffer holds exactly what fitted, the start
// of the whole result. Each buffer is its own allocation, so a write past it shows under the
// sanitizers. The fault shows at the first write out of the 64 KiB buffer that passes the
// capacity, so the capacities straddle those writes too.
TEST(CInterface, OutputFillingAtAnyPointEndsTheRun) {
    const Bytes inputs[] = {randomBytes(18, 63020), pseudoText(18, 200000)};
    for (const Bytes& input : inputs) {
        for (auto policy : {LZW_FREEZE, LZW_EVICT, LZW_RESET}) {
            for (bool compressing : {true, false}) {
                const char mode[3] = {compressing ? 'c' : 'd', static_cast<char>('0' + policy), 0};
                const Bytes packed = encode(mode[1], input);
                const Bytes& source = compressing ? input : packed;
                const Bytes& whole = compressing ? packed : input;
                auto call = compressing ? lzw_compress : lzw_decompress;
                for (size_t capacity :
                     {size_t{0}, size_t{3}, size_t{1000}, size_t{5000}, size_t{20000},
                      size_t{65535}, size_t{65537}, size_t{131073}, whole.size() - 1}) {
                    if (capacity >= whole.size()) continue;
                    SCOPED_TRACE(std::string(mode) + " " + std::to_string(input.size()) + " " +
                                 std::to_string(capacity));
                    auto out = std::make_unique<uint8_t[]>(capacity);
                    size_t written = 99;
                    EXPECT_EQ(call(policy, source.data(), source.size(),
                                   capacity == 0 ? nullptr : out.get(), capacity, &written),
                              LZW_ERROR_OUTPUT_TOO_SMALL);
                    ASSERT_EQ(written, capacity);
                    EXPECT_TRUE(std::equal(out.get(), out.get() + capacity, whole.begin()));
                }
            }
        }
    }
}

// One context through a long run of calls with any policy and direction after any other,
// damaged streams, short outputs and refused arguments among them: every return value, count
// and byte must equal the one-shot call's. The seed varies from run to run and is printed;
// LZW_CONTEXT_SEED replays one.
TEST(CInterface, ContextCallsEqualOneShotCalls) {
    const char* given = std::getenv("LZW_CONTEXT_SEED");
    const uint64_t seed =
        given != nullptr ? std::strtoull(given, nullptr, 10) : std::random_device{}();
    std::printf("LZW_CONTEXT_SEED=%llu\n", static_cast<unsigned long long>(seed));
    SCOPED_TRACE("LZW_CONTEXT_SEED=" + std::to_string(seed));
    std::mt19937_64 random(seed);
    auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
    // Text fills and freezes the dictionary within some 20 KB, random bytes within 4 KB; four
    // letters make long phrases and send reset mode's pairs to its stash.
    const Bytes pools[] = {pseudoText(seed, 120000), randomBytes(seed, 40000),
                           randomBytes(seed, 60000, 4), repeated('a', 40000)};
    std::unique_ptr<lzw_ctx, void (*)(lzw_ctx*)> ctx(lzw_ctx_create(), lzw_ctx_free);
    ASSERT_TRUE(ctx);
    for (int call = 0; call < 1000; ++call) {
        const Bytes& pool = pools[below(std::size(pools))];
        // Mostly short messages, some long enough to fill the dictionary.
        size_t size = below(4) != 0 ? below(2000) : below(pool.size());
        size_t from = below(pool.size() - size + 1);
        Bytes input(pool.begin() + static_cast<std::ptrdiff_t>(from),
                    pool.begin() + static_cast<std::ptrdiff_t>(from + size));
        auto policy = static_cast<lzw_policy>(1 + below(3));
        const bool compressing = below(2) == 0;
        if (!compressing) {
            // A stream of any policy, often damaged: a byte changed, cut short, or extended.
            input = encode(static_cast<char>('1' + below(3)), input);
            switch (below(6)) {
                case 0:
                    input[below(input.size())] ^= static_cast<uint8_t>(1 + below(255));
                    break;
                case 1:
                    input.resize(below(input.size()));
                    break;
                case 2:
                    input.push_back(static_cast<uint8_t>(random()));
                    break;
                default:
                    break;
            }
        }
        if (below(50) == 0) policy = static_cast<lzw_policy>(below(2) != 0 ? 0 : 4);
        const size_t whole = compressing ? lzw_compress_bound(input.size()) : 3 * size + 64;
        const size_t capacity = below(5) == 0 ? below(whole + 1) : whole;
        SCOPED_TRACE("call " + std::to_string(call) + ": " + (compressing ? "c" : "d") +
                     std::to_string(policy) + ", " + std::to_string(input.size()) + " bytes in, " +
                     std::to_string(capacity) + " out");
        Bytes once(capacity + 1, 0x5A), reused(capacity + 1, 0x5A);
        size_t writtenOnce = 99, writtenReused = 77;
        int errorOnce = (compressing ? lzw_compress : lzw_decompress)(
            policy, input.data(), input.size(), once.data(), capacity, &writtenOnce);
        int errorReused = (compressing ? lzw_ctx_compress : lzw_ctx_decompress)(
            ctx.get(), policy, input.data(), input.size(), reused.data(), capacity, &writtenReused);
        ASSERT_EQ(errorReused, errorOnce);
        ASSERT_EQ(writtenReused, writtenOnce);
        ASSERT_TRUE(reused == once);
    }
}

// The freeze compressor parses each whole window of a frozen dictionary in lanes, and joins a
// lane to the exact parse where their phrases start at one byte, by the lengths of the lane's
// codes. On a context whose last call left a decoder's lengths behind, a lane whose segment
// starts with the last phrase added (code 4095) must still be joined where that phrase ends.
TEST(CInterface, LanesOfAReusedContextStayExact) {
    const Bytes first = pseudoText(41, Coder::kBufSize);  // fills and freezes the dictionary
    Bytes last;                                           // the string of code 4095
    {
        std::unique_ptr<Coder, void (*)(Coder*)> coder(Coder::create(), Coder::release);
        ASSERT_TRUE(coder);
        Bytes out(lzw_compress_bound(first.size()));
        size_t written = 0;
        ASSERT_EQ(coder->runMemory(Direction::compress, Policy::freeze, first.data(), first.size(),
                                   out.data(), out.size(), &written),
                  Fault::none);
        ASSERT_EQ(coder->count, kTableSize);
        for (int32_t k = kTableSize - 1; k != NIL; k = coder->dict[k].parent) {
            last.insert(last.begin(), static_cast<uint8_t>(coder->dict[k].symbol));
        }
    }
    std::unique_ptr<lzw_ctx, void (*)(lzw_ctx*)> ctx(lzw_ctx_create(), lzw_ctx_free);
    ASSERT_TRUE(ctx);
    for (uint64_t seed = 0; seed < 16; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        // A decoder leaves the lengths of its own phrases.
        const Bytes other = encode('1', pseudoText(70 + seed, 30000));
        Bytes back(30000);
        size_t written = 0;
        ASSERT_EQ(lzw_ctx_decompress(ctx.get(), LZW_FREEZE, other.data(), other.size(), back.data(),
                                     back.size(), &written),
                  LZW_OK);
        // The second window: lane 1's segment starts with code 4095's string.
        Bytes second = concat({pseudoText(50 + seed, Coder::kLaneBytes), last,
                               pseudoText(90 + seed, Coder::kBufSize)});
        second.resize(Coder::kBufSize);
        const Bytes input = concat({first, second});
        Bytes packed(lzw_compress_bound(input.size()));
        ASSERT_EQ(lzw_ctx_compress(ctx.get(), LZW_FREEZE, input.data(), input.size(), packed.data(),
                                   packed.size(), &written),
                  LZW_OK);
        packed.resize(written);
        EXPECT_TRUE(packed == encode('1', input));
        Bytes restored(input.size());
        EXPECT_EQ(lzw_decompress(LZW_FREEZE, packed.data(), packed.size(), restored.data(),
                                 restored.size(), &written),
                  LZW_OK);
        EXPECT_TRUE(restored == input);
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

// Over 2 GiB the header cannot describe the input: refused before a byte is read or written,
// whatever the size (a failed ftell gives SIZE_MAX). Exactly 2 GiB is coded: its first window,
// random, fills the 16 bytes at once, behind the header 7F FF FF FF. The rest of the input is
// reserved address space, never touched.
TEST(CInterface, InputOverTwoGibibytesIsRefused) {
    const size_t size = (size_t{1} << 31) + 1;
    auto* input = static_cast<uint8_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    ASSERT_NE(input, MAP_FAILED);
    const Bytes first = randomBytes(31, 65536);
    std::memcpy(input, first.data(), first.size());
    uint8_t out[16];
    size_t written = 99;
    for (auto policy : {LZW_FREEZE, LZW_EVICT, LZW_RESET}) {
        EXPECT_EQ(lzw_compress(policy, input, size - 1, out, sizeof out, &written),
                  LZW_ERROR_OUTPUT_TOO_SMALL);
        EXPECT_EQ(written, sizeof out);
        EXPECT_TRUE(Bytes(out, out + 4) == (Bytes{0x7F, 0xFF, 0xFF, 0xFF})) << policy;
    }
    std::memset(out, 0xA5, sizeof out);
    for (size_t tooLarge : {size, size_t{1} << 32, SIZE_MAX / 2, SIZE_MAX / 2 + 1, SIZE_MAX}) {
        for (auto policy : {LZW_FREEZE, LZW_EVICT, LZW_RESET}) {
            written = 99;
            EXPECT_EQ(lzw_compress(policy, input, tooLarge, out, sizeof out, &written),
                      LZW_ERROR_INPUT_TOO_LARGE)
                << tooLarge;
            EXPECT_EQ(written, 0u);
        }
        EXPECT_EQ(lzw_compress_bound(tooLarge), 0u);
    }
    EXPECT_EQ(out[0], 0xA5);
    munmap(input, size);
    EXPECT_EQ(lzw_compress_bound(size), 0u);
    // The header, and 12 bits per byte with an odd last code padded.
    EXPECT_EQ(lzw_compress_bound(size - 1), 4u + 3221225472u);
    EXPECT_EQ(lzw_compress_bound(1), 6u);
    EXPECT_EQ(lzw_compress_bound(0), 4u);
}

// A stream's callbacks end the call with errors of their own: reads that give more bytes than
// `size` or fewer, a read that fails or claims more than the room it had, and a write that
// fails, after which nothing more is written. A size the call refuses reads and writes
// nothing. Then the context codes on as before.
TEST(CInterface, StreamCallbacksFail) {
    struct Io {
        const Bytes* source = nullptr;
        size_t at = 0;
        size_t badReadAt = SIZE_MAX;  // from here on reads give `badRead`
        long long badRead = -1;       // 0: claim one byte more than the room
        int writes = 0;
        int badWrite = 0;  // the write that fails (1: the first), 0 for none
        static long long read(void* user, void* buf, size_t capacity) {
            auto& io = *static_cast<Io*>(user);
            if (io.at >= io.badReadAt) {
                return io.badRead != 0 ? io.badRead : static_cast<long long>(capacity) + 1;
            }
            size_t n = std::min({capacity, size_t{4096}, io.source->size() - io.at});
            std::memcpy(buf, io.source->data() + io.at, n);
            io.at += n;
            return static_cast<long long>(n);
        }
        static int write(void* user, const void*, size_t) {
            auto& io = *static_cast<Io*>(user);
            return ++io.writes == io.badWrite ? 1 : 0;
        }
    };
    const Bytes input = pseudoText(7, 300000);
    std::unique_ptr<lzw_ctx, void (*)(lzw_ctx*)> ctx(lzw_ctx_create(), lzw_ctx_free);
    for (auto policy : {LZW_FREEZE, LZW_EVICT, LZW_RESET}) {
        SCOPED_TRACE(policy);
        const Bytes packed = encode(static_cast<char>('0' + policy), input);
        auto compress = [&](Io io, long long size) {
            io.source = &input;
            return lzw_compress_stream(ctx.get(), policy, size, Io::read, &io, Io::write, &io);
        };
        auto decompress = [&](Io io) {
            io.source = &packed;
            int error = lzw_decompress_stream(ctx.get(), policy, Io::read, &io, Io::write, &io);
            return std::make_pair(error, io.writes);
        };
        const auto size = static_cast<long long>(input.size());
        EXPECT_EQ(compress({}, size + 1), LZW_ERROR_SIZE_MISMATCH);
        EXPECT_EQ(compress({}, size - 1), LZW_ERROR_SIZE_MISMATCH);
        EXPECT_EQ(compress({}, 0), LZW_ERROR_SIZE_MISMATCH);
        EXPECT_EQ(compress({.badReadAt = 100000}, size), LZW_ERROR_READ_FAILED);
        EXPECT_EQ(compress({.badReadAt = 0, .badRead = 0}, size), LZW_ERROR_READ_FAILED);
        EXPECT_EQ(decompress({.badReadAt = packed.size() / 2}).first, LZW_ERROR_READ_FAILED);
        EXPECT_EQ(compress({.badWrite = 1}, size), LZW_ERROR_WRITE_FAILED);
        // Refused before a read or a write, either of which would fail.
        EXPECT_EQ(compress({.badReadAt = 0, .badWrite = 1}, (1LL << 31) + 1),
                  LZW_ERROR_INPUT_TOO_LARGE);
        EXPECT_EQ(compress({.badReadAt = 0, .badWrite = 1}, -1), LZW_ERROR_BAD_ARGUMENT);
        EXPECT_EQ(decompress({.badWrite = 2}), std::make_pair(int{LZW_ERROR_WRITE_FAILED}, 2));
        EXPECT_EQ(decompress({}), std::make_pair(int{LZW_OK}, 5));  // 300000 bytes in 64 KiB
        EXPECT_EQ(runStream(policy == LZW_FREEZE  ? "c1"
                            : policy == LZW_EVICT ? "c2"
                                                  : "c3",
                            input, 4096)
                      .bytes,
                  packed);
    }
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

// Every value the calls return has a text of its own and no placeholder for a path, and its
// own name; any other value gets one fixed text and one fixed name.
TEST(CInterface, ErrorTexts) {
    const char* unknown = lzw_error_text(1);
    const char* unknownName = lzw_error_name(1);
    for (int error : {INT_MIN, LZW_ERROR_SEEK_TABLE - 1, -6, -2, -1, 1, INT_MAX}) {
        EXPECT_STREQ(lzw_error_text(error), unknown) << error;
        EXPECT_STREQ(lzw_error_name(error), unknownName) << error;
    }
    EXPECT_STREQ(lzw_error_text(LZW_OK), "");
    EXPECT_STREQ(lzw_error_name(LZW_OK), "LZW_OK");
    EXPECT_STREQ(lzw_error_name(LZW_ERROR_ENDS_EARLY), "LZW_ERROR_ENDS_EARLY");
    EXPECT_STREQ(lzw_error_name(LZW_ERROR_SIZE_MISMATCH), "LZW_ERROR_SIZE_MISMATCH");
    std::set<std::string> names;
    for (int error = LZW_ERROR_SEEK_TABLE; error < LZW_OK; ++error) {
        if (error == -6 || error == -2 || error == -1) continue;  // faults of the program's files
        EXPECT_STRNE(lzw_error_text(error), unknown) << error;
        EXPECT_EQ(std::strchr(lzw_error_text(error), '%'), nullptr) << error;
        EXPECT_EQ(std::string(lzw_error_name(error)).rfind("LZW_ERROR_", 0), 0u) << error;
        names.insert(lzw_error_name(error));
    }
    EXPECT_EQ(names.size(), 24u);  // one name each
}

}  // namespace
}  // namespace lzw::testing
