// Frames coded by worker threads: whatever the count, the same frame, the same reads and writes
// through the callbacks, and on a fault the same fault, report and written prefix as one thread.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "frame.h"
#include "lzw.h"
#include "roundtrip.h"

namespace lzw::testing {
namespace {

using frame::Params;
using frame::Sink;
using frame::Source;
using frame::StreamReport;

// Many blocks of 1 KiB: text, bytes that do not shrink (stored blocks), a run, text again.
const Bytes& input() {
    static const Bytes bytes = concat(
        {pseudoText(1, 120000), randomBytes(2, 30000), repeated('x', 40000), pseudoText(3, 17000)});
    return bytes;
}

constexpr int kThreadCounts[] = {2, 4, 0};

// A source giving `piece` bytes a read, failing once `failAfter` (>= 0) bytes are given.
struct Feeder {
    const Bytes* data;
    size_t piece;
    long long failAfter = -1;
    size_t pos = 0;
    size_t calls = 0;
    static long long read(void* user, void* buf, size_t capacity) {
        auto* f = static_cast<Feeder*>(user);
        ++f->calls;
        if (f->failAfter >= 0 && f->pos >= static_cast<size_t>(f->failAfter)) return -1;
        size_t n = std::min({capacity, f->piece, f->data->size() - f->pos});
        std::copy_n(f->data->begin() + static_cast<long>(f->pos), n, static_cast<uint8_t*>(buf));
        f->pos += n;
        return static_cast<long long>(n);
    }
};

// A sink keeping every write call, failing the call numbered `failAt` (from 0) and after.
struct Recorder {
    int failAt = -1;
    Bytes bytes;
    std::vector<size_t> calls;
    static int write(void* user, const void* buf, size_t size) {
        auto* r = static_cast<Recorder*>(user);
        if (r->failAt >= 0 && static_cast<int>(r->calls.size()) >= r->failAt) return 1;
        r->calls.push_back(size);
        const auto* p = static_cast<const uint8_t*>(buf);
        r->bytes.insert(r->bytes.end(), p, p + size);
        return 0;
    }
};

struct Outcome {
    Fault fault = Fault::none;
    Recorder out;
    StreamReport report;
    size_t read = 0;   // bytes the source gave
    size_t reads = 0;  // calls of the source
};

struct Faults {
    long long failReadAfter = -1;
    int failWriteAt = -1;
};

std::unique_ptr<Coder, void (*)(Coder*)> newCoder() {
    return {Coder::create(), Coder::release};
}

Outcome compress(Params params, int threads, const Bytes& data, Faults faults = {}) {
    params.threads = threads;
    Outcome run;
    run.out.failAt = faults.failWriteAt;
    Feeder feeder{&data, 777, faults.failReadAfter};
    auto coder = newCoder();
    run.fault = frame::compressStream(*coder, params, Source{Feeder::read, &feeder},
                                      Sink{Recorder::write, &run.out}, &run.report);
    run.reads = feeder.calls;
    return run;
}

// `check`: with no sink, as -t runs: the seek tables are checked too.
Outcome decompress(const Bytes& data, int threads, Faults faults = {}, bool check = false) {
    Outcome run;
    run.out.failAt = faults.failWriteAt;
    Feeder feeder{&data, 4096, faults.failReadAfter};
    auto coder = newCoder();
    Sink sink{check ? nullptr : Recorder::write, &run.out};
    run.fault = frame::decompressStream(*coder, Source{Feeder::read, &feeder}, sink, nullptr, 0,
                                        &run.report, threads);
    run.read = feeder.pos;
    run.reads = feeder.calls;
    return run;
}

// Everything one thread does that the caller can see, and its report.
void expectSame(const Outcome& one, const Outcome& many, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(one.fault, many.fault);
    EXPECT_TRUE(one.out.bytes == many.out.bytes);
    EXPECT_EQ(one.out.calls, many.out.calls);
    EXPECT_EQ(one.report.bytesOut, many.report.bytesOut);
    EXPECT_EQ(one.report.bytesIn, many.report.bytesIn);
    EXPECT_EQ(one.report.frames, many.report.frames);
    EXPECT_EQ(one.report.blocks, many.report.blocks);
    EXPECT_EQ(one.report.blockOffset, many.report.blockOffset);
    EXPECT_EQ(one.report.trailer, many.report.trailer);
}

Params paramsFor(lzw_policy policy, uint32_t blockSize) {
    Params p;
    p.policy = static_cast<Policy>(policy);
    p.blockSize = blockSize;
    return p;
}

// The offset of each block header in a one-frame stream, the end mark's last.
std::vector<size_t> blockStarts(const Bytes& frame) {
    std::vector<size_t> starts;
    bool checked = (frame[5] & LZW_FRAME_BLOCK_CHECKSUMS) != 0;
    for (size_t at = LZW_FRAME_HEADER_SIZE;;) {
        starts.push_back(at);
        uint32_t word = frame::load32(frame.data() + at);
        if (word == 0) return starts;
        at += frame::kBlockHeaderSize + (word & ~frame::kStoredBit) + (checked ? 4 : 0);
    }
}

TEST(Threads, SameFrameAndWritesWhateverTheCount) {
    // One context for every one-shot call: its workers' Coders go from call to call.
    std::unique_ptr<lzw_ctx, void (*)(lzw_ctx*)> ctx(lzw_ctx_create(), lzw_ctx_free);
    // 7 blocks a frame: a frame whose table is full ends, and the next one goes on.
    const std::pair<uint32_t, uint32_t> sizes[] = {
        {1024u, frame::kTableBlocksMax}, {16384u, frame::kTableBlocksMax}, {1024u, 7u}};
    for (auto policy : {LZW_FREEZE, LZW_EVICT, LZW_RESET}) {
        for (auto [blockSize, tableBlocks] : sizes) {
            for (int64_t contentSize : {int64_t{-1}, static_cast<int64_t>(input().size())}) {
                std::string what = "policy " + std::to_string(policy) + ", block " +
                                   std::to_string(blockSize) + ", " + std::to_string(tableBlocks) +
                                   " a frame, size " + std::to_string(contentSize);
                Params params = paramsFor(policy, blockSize);
                params.contentSize = contentSize;
                params.tableBlocks = tableBlocks;
                Outcome one = compress(params, 1, input());
                ASSERT_EQ(one.fault, Fault::none) << what;
                Outcome back = decompress(one.out.bytes, 1);
                ASSERT_EQ(back.fault, Fault::none) << what;
                ASSERT_TRUE(back.out.bytes == input()) << what;
                const int64_t frames = (input().size() / blockSize + tableBlocks) / tableBlocks;
                EXPECT_EQ(back.report.frames, 2 * frames) << what;  // each with its table
                EXPECT_EQ(decompress(one.out.bytes, 1, {}, true).fault, Fault::none) << what;
                lzw_frame_params c = LZW_FRAME_PARAMS_INIT(policy);
                c.block_size = blockSize;
                c.content_size = contentSize;
                for (int threads : kThreadCounts) {
                    std::string run = what + ", threads " + std::to_string(threads);
                    expectSame(one, compress(params, threads, input()), run);
                    expectSame(back, decompress(one.out.bytes, threads), run);
                    // The one-shot calls.
                    c.threads = threads;
                    Bytes frame(lzw_frame_compress_bound(&c, input().size()));
                    size_t written = 0;
                    ASSERT_EQ(lzw_frame_compress(ctx.get(), &c, input().data(), input().size(),
                                                 frame.data(), frame.size(), &written),
                              LZW_OK);
                    frame.resize(written);
                    if (tableBlocks == frame::kTableBlocksMax) {
                        EXPECT_TRUE(frame == one.out.bytes) << run;
                    }
                    Bytes plain(input().size());
                    EXPECT_EQ(lzw_frame_decompress_mt(ctx.get(), threads, one.out.bytes.data(),
                                                      one.out.bytes.size(), plain.data(),
                                                      plain.size(), &written),
                              LZW_OK);
                    EXPECT_TRUE(plain == input()) << run;
                }
            }
        }
    }
    // Kept for the next call and taken again: as many as the largest call started, no more.
    int spares = 0;
    for (Coder* c = reinterpret_cast<Coder*>(ctx.get())->spare; c != nullptr; c = c->spare) {
        ++spares;
    }
    EXPECT_EQ(spares, 3);
}

// Damage anywhere stops every thread count at the same block with the same fault, after the
// same writes; a later damage never shows before an earlier one.
TEST(Threads, DamageStopsWhereOneThreadStops) {
    Bytes frame = compress(paramsFor(LZW_EVICT, 1024), 1, input()).out.bytes;
    std::vector<size_t> starts = blockStarts(frame);
    ASSERT_GT(starts.size(), 150u);
    auto flipped = [&](std::initializer_list<size_t> at) {
        Bytes damaged = frame;
        for (size_t i : at) damaged[i] ^= 0x40;
        return damaged;
    };
    // Whole blocks moved: each block's check is bound to its place, so the first one out of
    // place fails before a byte of it is given, and what was given is the blocks before it.
    auto blocks = [&](size_t from, size_t to) {
        return Bytes(frame.begin() + static_cast<long>(starts[from]),
                     frame.begin() + static_cast<long>(starts[to]));
    };
    const Bytes head(frame.begin(), frame.begin() + LZW_FRAME_HEADER_SIZE);
    const Bytes tail(frame.begin() + static_cast<long>(starts.back()), frame.end());
    const size_t last = starts.size() - 1;
    const std::pair<Bytes, size_t> moved[] = {
        {concat({head, blocks(0, 10), blocks(11, 12), blocks(10, 11), blocks(12, last), tail}), 10},
        {concat({head, blocks(0, 20), blocks(21, last), tail}), 20},
        {concat({head, blocks(0, 31), blocks(30, last), tail}), 31},
    };
    for (const auto& [data, good] : moved) {
        Outcome one = decompress(data, 1);
        EXPECT_EQ(one.fault, Fault::checksum);
        EXPECT_EQ(one.report.blocks, static_cast<int64_t>(good + 1));
        EXPECT_TRUE(one.out.bytes == Bytes(input().begin(), input().begin() + 1024 * good));
        expectSame(one, decompress(data, 2), "blocks moved, " + std::to_string(good));
    }
    Bytes second = compress(paramsFor(LZW_RESET, 4096), 1, pseudoText(9, 30000)).out.bytes;
    const Bytes skippable = {0x8A, 0x4C, 0x5A, 0x57, 3, 0, 0, 0, 1, 2, 3};
    const std::pair<std::string, Bytes> cases[] = {
        {"payload of block 60", flipped({starts[60] + 20})},
        {"block 40 and block 45", flipped({starts[45] + 30, starts[40] + 12})},
        {"block checksum of block 90", flipped({starts[91] - 2})},
        {"decoded size of block 100", flipped({starts[100] + 5})},
        {"content checksum", flipped({frame.size() - 3})},
        {"cut inside block 150", Bytes(frame.begin(), frame.begin() + starts[150] + 9)},
        {"cut before the content checksum", Bytes(frame.begin(), frame.end() - 5)},
        {"frames and a skippable one", concat({frame, skippable, second, frame})},
        {"garbage after a frame", concat({frame, second, Bytes{1, 2, 3, 4, 5}})},
        {"damage in a later frame", concat({frame, flipped({starts[7] + 10})})},
        // Coded, yet with its checksum no shorter than its bytes: read where a stored one is.
        {"a block coded 2 bytes short",
         compress(paramsFor(LZW_FREEZE, 1024), 1, repeated('a', 14)).out.bytes},
    };
    for (const auto& [name, data] : cases) {
        Outcome one = decompress(data, 1);
        for (int threads : kThreadCounts) {
            Outcome many = decompress(data, threads);
            expectSame(one, many, name + ", threads " + std::to_string(threads));
            // Past the failed block, no more than the blocks in flight and a read are read.
            size_t ahead = (2 * (frame::workerCount(threads) + 1) + 1) * (1024 + 12) + 4096;
            EXPECT_LE(many.read, one.read + ahead) << name << ", threads " << threads;
            Bytes plain(data.size() * 8);
            size_t oneWritten = 0, written = 0;
            int status = lzw_frame_decompress(nullptr, data.data(), data.size(), plain.data(),
                                              plain.size(), &oneWritten);
            EXPECT_EQ(lzw_frame_decompress_mt(nullptr, threads, data.data(), data.size(),
                                              plain.data(), plain.size(), &written),
                      status)
                << name;
            EXPECT_EQ(written, oneWritten) << name;
        }
    }
}

// A failing read or write, or an input of another size than promised, leaves what one thread
// leaves, and the threads end.
TEST(Threads, FailingCallbacksLeaveWhatOneThreadLeaves) {
    Params params = paramsFor(LZW_FREEZE, 1024);
    // Decoded, one thread writes 256 KiB at a time: a longer input for several writes.
    Bytes data = concat({input(), input(), input(), input(), input()});
    Bytes frame = compress(params, 1, data).out.bytes;
    const std::pair<std::string, Faults> cases[] = {
        {"write fails at call 0", {-1, 0}},   {"write fails at call 2", {-1, 2}},
        {"write fails at call 4", {-1, 4}},   {"read fails at 0", {0, -1}},
        {"read fails at 50000", {50000, -1}}, {"read fails at 300001", {300001, -1}},
    };
    for (const auto& [name, faults] : cases) {
        Outcome one = compress(params, 1, data, faults);
        Outcome oneBack = decompress(frame, 1, faults);
        EXPECT_NE(one.fault, Fault::none) << name;
        EXPECT_NE(oneBack.fault, Fault::none) << name;
        for (int threads : kThreadCounts) {
            std::string what = name + ", threads " + std::to_string(threads);
            Outcome many = compress(params, threads, data, faults);
            expectSame(one, many, "c " + what);
            expectSame(oneBack, decompress(frame, threads, faults), "d " + what);
            // A failed read is the last: no thread reads on past it.
            if (faults.failReadAfter >= 0) {
                EXPECT_EQ(many.reads, one.reads) << what;
            }
        }
    }
    for (int64_t size : {int64_t{0}, int64_t{5000}, static_cast<int64_t>(input().size()) - 1,
                         static_cast<int64_t>(input().size()) + 1}) {
        Params sized = params;
        sized.contentSize = size;
        Outcome one = compress(sized, 1, input());
        EXPECT_EQ(one.fault, Fault::sizeMismatch);
        for (int threads : kThreadCounts) {
            expectSame(one, compress(sized, threads, input()),
                       "content size " + std::to_string(size));
        }
    }
}

#ifdef LZW_BINARY
Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

int lzwStatus(const std::string& args) {
    int status = std::system((std::string(LZW_BINARY) + " -q " + args + " 2>/dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The program's -T: the same files whatever the count; no threads for a raw stream.
TEST(Threads, ProgramWritesTheSameFiles) {
    auto dir = std::filesystem::temp_directory_path() / ("lzw-threads-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string in = (dir / "in").string();
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(input().data()), static_cast<long>(input().size()));
    for (const char* threads : {"-T1", "-T 2", "-T0"}) {
        std::string frame = (dir / "frame").string() + std::string(threads).back();
        std::string back = (dir / "back").string() + std::string(threads).back();
        EXPECT_EQ(lzwStatus(std::string(threads) + " -F -B 4K c3 " + in + " " + frame), 0);
        EXPECT_EQ(lzwStatus(std::string(threads) + " d3 " + frame + " " + back), 0);
        EXPECT_TRUE(readFile(frame) == readFile((dir / "frame1").string())) << threads;
        EXPECT_TRUE(readFile(back) == input()) << threads;
    }
    EXPECT_EQ(lzwStatus("-T2 c1 " + in + " " + (dir / "raw").string()), 2);
    EXPECT_FALSE(std::filesystem::exists(dir / "raw"));
    EXPECT_EQ(lzwStatus("-T -F c1 " + in + " " + (dir / "raw").string()), 2);
    std::filesystem::remove_all(dir);
}
#endif

}  // namespace
}  // namespace lzw::testing
