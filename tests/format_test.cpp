// The compressed file layout: the length header and the packed 12-bit codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "coder.h"
#include "roundtrip.h"

namespace lzw::testing {
namespace {

TEST(Format, KnownInputsGiveTheSameBytesInEveryMode) {
    const Bytes ab = {'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b'};
    for (char p : allPolicies()) {
        SCOPED_TRACE(std::string("c") + p);
        // Header 0, then code 0x078 and a zero pad nibble.
        EXPECT_EQ(encode(p, {'x'}), (Bytes{0x00, 0x00, 0x00, 0x00, 0x07, 0x80}));
        // Codes 0x061 0x062 0x100 0x102 0x062; 0x102 is added only as it is read back.
        EXPECT_EQ(encode(p, ab),
                  (Bytes{0x00, 0x00, 0x00, 0x07, 0x06, 0x10, 0x62, 0x10, 0x01, 0x02, 0x06, 0x20}));
        EXPECT_EQ(encode(p, {}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    }
}

TEST(Format, OddCodeCountsEndWithAZeroNibble) {
    // Two codes fill three bytes exactly; a third needs a pad byte whose low half is 0.
    EXPECT_EQ(encode('1', {'a', 'b'}), (Bytes{0x00, 0x00, 0x00, 0x01, 0x06, 0x10, 0x62}));
    EXPECT_EQ(encode('1', {'a', 'b', 'c'}),
              (Bytes{0x00, 0x00, 0x00, 0x02, 0x06, 0x10, 0x62, 0x06, 0x30}));
    // Over real data: as many bytes as the codes need and no more, for both parities.
    bool seen[2] = {false, false};
    for (size_t size = 1000; size < 1010; ++size) {
        Bytes packed = encode('2', randomBytes(size, size));
        size_t codes = unpackCodes(packed).size();
        seen[codes % 2] = true;
        EXPECT_EQ(packed.size(), 4 + (3 * codes + 1) / 2);
        if (codes % 2 == 1) {
            EXPECT_EQ(packed.back() & 0x0F, 0);
        }
    }
    EXPECT_TRUE(seen[0] && seen[1]);
}

// The raw vectors of doc/frame-format.md where the policies part ways: each file is what its
// mode writes for its content, and decodes to it.
TEST(Format, RawVectorsAreWhatTheModesWrite) {
    struct Vector {
        const char* file;
        char policy;
        Bytes content;
    };
    const Vector vectors[] = {
        // Eviction of the prefix itself, then of its own parent, and the slot given up named.
        {"run-evict.raw", '2', repeated('e', 7386242)},
        // The code after a full dictionary read in the cleared one: 256 is `zz`.
        {"run-zzz-reset.raw", '3', concat({repeated('e', 7374720), Bytes(3, 'z')})},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.file);
        const Bytes file = vectorFile(v.file);
        ASSERT_FALSE(file.empty());
        EXPECT_TRUE(encode(v.policy, v.content) == file);
        Result back = decode(v.policy, file);
        EXPECT_EQ(back.status, 0);
        EXPECT_TRUE(back.bytes == v.content);
    }
}

// A Coder writing into, or reading from, memory.
class CoderStreams : public ::testing::Test {
  protected:
    void SetUp() override { coder->resetStreams(); }
    void startWriting() { coder->useMemory(nullptr, 0, written.data(), written.size()); }
    Bytes finishWriting() {
        coder->flushOutput();
        return Bytes(written.begin(),
                     written.begin() + static_cast<ptrdiff_t>(coder->io.memOutSize));
    }
    void startReading(const Bytes& data) {
        source = data;
        coder->useMemory(source.data(), source.size(), nullptr, 0);
    }

    std::unique_ptr<Coder> coder = std::make_unique<Coder>();
    Bytes source;
    Bytes written = Bytes(1 << 16);
};

TEST_F(CoderStreams, EveryCodeReadsBackAsWritten) {
    // Ascending then descending codes, so each value sits in both halves of a byte pair;
    // the odd total leaves a pad nibble that must not read as a code.
    std::vector<int32_t> codes;
    for (int32_t c = 0; c < kTableSize; ++c) codes.push_back(c);
    for (int32_t c = kTableSize - 1; c > 0; --c) codes.push_back(c);
    startWriting();
    for (int32_t c : codes) coder->writeCode(c);
    coder->flushCode();
    Bytes packed = finishWriting();
    ASSERT_EQ(packed.size(), (3 * codes.size() + 1) / 2);

    startReading(packed);
    for (size_t i = 0; i < codes.size(); ++i) ASSERT_EQ(coder->readCode(), codes[i]) << i;
    EXPECT_EQ(coder->readCode(), -1);
}

// The coding loops store each code as 4 bytes, of which the whole ones count, and make room
// first for a batch of codes. However a batch meets the end of the buffer (any place, either
// half of a byte, any size), no store reaches past it, and the codes read back as written.
TEST_F(CoderStreams, BatchesOfCodesStayInsideTheBuffer) {
    written.resize(4 << 16);
    for (int32_t half = 0; half < 2; ++half) {
        for (int32_t batch = 1; batch <= 6; ++batch) {
            for (int32_t lead = 0; lead <= 12; ++lead) {
                startWriting();
                std::fill(std::begin(coder->io.outGuard), std::end(coder->io.outGuard),
                          Coder::kGuardByte);
                // A buffer full but for `lead` bytes; the codes before are zeros.
                std::fill(coder->io.outBuf, coder->io.outBuf + Coder::kBufSize, 0);
                coder->io.outPos = Coder::kBufSize - lead;
                coder->halfPending = half != 0;
                coder->pendingNibble = 0;
                Coder::CodeWriter wr = coder->takeWriter();
                ASSERT_TRUE(coder->makeRoom(wr, batch));
                for (int32_t k = 0; k < batch; ++k) coder->storeCode(wr, 4095 - k);
                coder->putWriter(wr);
                for (uint8_t b : coder->io.outGuard) {
                    ASSERT_EQ(b, Coder::kGuardByte) << half << " " << batch << " " << lead;
                }
                coder->flushCode();
                Bytes packed = finishWriting();
                // Past the zeros (and the half code that ends them), the batch.
                size_t skip = Coder::kBufSize - static_cast<size_t>(lead) + (half != 0);
                startReading(Bytes(packed.begin() + static_cast<ptrdiff_t>(skip), packed.end()));
                if (half != 0) {
                    coder->halfPending = true;
                    coder->pendingNibble = packed[skip - 1] & 15;
                }
                for (int32_t k = 0; k < batch; ++k) {
                    ASSERT_EQ(coder->readCode(), 4095 - k) << half << " " << batch << " " << lead;
                }
            }
        }
    }
}

TEST_F(CoderStreams, LengthHeaderIsSignedBigEndian) {
    startWriting();
    for (int32_t v : {-1, 0, 1, 0x01020304, INT32_MAX}) coder->writeLengthHeader(v);
    Bytes packed = finishWriting();
    EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(packed.begin() + 12, packed.begin() + 16), (Bytes{1, 2, 3, 4}));

    startReading(packed);
    for (int32_t v : {-1, 0, 1, 0x01020304, INT32_MAX}) EXPECT_EQ(coder->readLength(), v);
    EXPECT_FALSE(coder->io.failed);

    // A header with the top bit set is negative, and still a header.
    startReading({0x80, 0x00, 0x00, 0x00});
    EXPECT_EQ(coder->readLength(), INT32_MIN);
    EXPECT_FALSE(coder->io.failed);
    // Three bytes are no header at all.
    startReading({0x00, 0x00, 0x07});
    coder->readLength();
    EXPECT_TRUE(coder->io.failed);
}

// A piped input of exactly 2 GiB is taken, and its header rewritten to 7F FF FF FF; one byte
// more is refused on the read that passes the limit. The run is the program's from its start
// to its end, but for the files and the coding: the pipe is read through readInput, and
// drained by refill(), which the coding loops read through, as coding 2 GiB takes seconds even
// without the sanitizers.
uint8_t rewrittenHeader[kHeaderSize];

TEST(Format, PipedInputAtTheLimit) {
    std::signal(SIGPIPE, SIG_IGN);  // a refused run may leave the writer without a reader
    for (int64_t size : {kMaxInputSize, kMaxInputSize + 1}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::thread writer([fd = fds[1], size] {
            static const std::vector<uint8_t> zeros(1 << 20);
            for (int64_t left = size; left > 0;) {
                ssize_t n = ::write(fd, zeros.data(), std::min<int64_t>(left, zeros.size()));
                if (n <= 0) break;
                left -= n;
            }
            close(fd);
        });
        auto coder = std::make_unique<Coder>();
        coder->configure(Direction::compress, Policy::freeze);
        coder->resetStreams();
        coder->in = fdopen(fds[0], "rb");
        ASSERT_NE(coder->in, nullptr);
        coder->io.readInput = [](Coder& c, uint8_t* dst, size_t n) {
            return std::fread(dst, 1, n, c.in);
        };
        std::fill(std::begin(rewrittenHeader), std::end(rewrittenHeader), 0);
        coder->io.rewriteHeader = [](Coder&, int32_t length) {
            storeHeader(rewrittenHeader, length);
            return true;
        };
        ASSERT_TRUE(coder->beginRun(-1));
        EXPECT_EQ(coder->io.headerLength, Coder::kProvisionalLength);
        while (coder->refill() >= 0) {
        }
        bool ok = coder->fixHeader();
        ok = coder->flushOutput() && ok;
        std::fclose(coder->in);
        writer.join();
        if (size == kMaxInputSize) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(Bytes(std::begin(rewrittenHeader), std::end(rewrittenHeader)),
                      (Bytes{0x7F, 0xFF, 0xFF, 0xFF}));
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(coder->io.fault, Fault::tooLarge);
        }
    }
}

}  // namespace
}  // namespace lzw::testing
