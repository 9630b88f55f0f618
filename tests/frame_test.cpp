// Frames through the C interface: the checked-in vectors that pin the format, round trips over
// block boundaries in every calling style, concatenation, and damage that must always show.
// LZW_FRAME_SEED replays the seed of the pieces; LZW_WRITE_FRAME_VECTORS=1 rewrites
// tests/vectors/ (only when the format changes on purpose).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lzw.h"
#include "roundtrip.h"

namespace lzw::testing {
namespace {

namespace fs = std::filesystem;

constexpr lzw_policy kPolicies[] = {LZW_FREEZE, LZW_EVICT, LZW_RESET};
constexpr unsigned kAllChecks = LZW_FRAME_CONTENT_CHECKSUM | LZW_FRAME_BLOCK_CHECKSUMS;
// What `lzw -F` writes: both checksums and a seek table.
constexpr unsigned kProgram = kAllChecks | LZW_FRAME_SEEK_TABLE;
constexpr size_t kKiB = 1024;

const fs::path kRoot = LZW_SOURCE_DIR;

lzw_frame_params paramsOf(lzw_policy policy, unsigned block = LZW_FRAME_BLOCK_DEFAULT,
                          unsigned checksums = kAllChecks, long long contentSize = -1) {
    lzw_frame_params params = LZW_FRAME_PARAMS_INIT(policy);
    params.block_size = block;
    params.checksums = checksums;
    params.content_size = contentSize;
    return params;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

uint64_t seedOfRun() {
    const char* given = std::getenv("LZW_FRAME_SEED");
    return given != nullptr ? std::strtoull(given, nullptr, 10) : std::random_device{}();
}

// A piece of 1 to `most` bytes, or of 0 to `most` when `empty` may be given.
size_t piece(std::mt19937_64& random, size_t most, bool empty = false) {
    return empty ? random() % (most + 1) : 1 + random() % most;
}

struct Decoded {
    int status = LZW_OK;
    Bytes bytes;
};

// One frame in one call; the header records the content's size.
Bytes compressFrame(const lzw_frame_params& params, const Bytes& input) {
    Bytes out(lzw_frame_compress_bound(&params, input.size()));
    size_t written = 0;
    EXPECT_EQ(lzw_frame_compress(nullptr, &params, input.data(), input.size(), out.data(),
                                 out.size(), &written),
              LZW_OK);
    out.resize(written);
    return out;
}

Decoded decompressFrames(const Bytes& file, size_t capacity, lzw_ctx* ctx = nullptr) {
    Decoded d;
    d.bytes.resize(capacity);
    size_t written = 0;
    d.status =
        lzw_frame_decompress(ctx, file.data(), file.size(), d.bytes.data(), capacity, &written);
    d.bytes.resize(written);
    return d;
}

// The caller-driven encoder, handed input and room in random pieces of up to `most` bytes
// (empty ones too).
Bytes encodeInPieces(const lzw_frame_params& params, const Bytes& input, std::mt19937_64& random,
                     size_t most) {
    std::unique_ptr<lzw_frame_encoder, void (*)(lzw_frame_encoder*)> enc(
        lzw_frame_encoder_create(&params), lzw_frame_encoder_free);
    EXPECT_TRUE(enc);
    if (!enc) return {};
    Bytes out, room;
    size_t pos = 0;
    for (int status = LZW_FRAME_NEEDS_INPUT; status != LZW_FRAME_DONE;) {
        size_t give = std::min(input.size() - pos, piece(random, most, true));
        room.resize(piece(random, most, true));
        lzw_in_buffer in{input.data() + pos, give, 0};
        lzw_out_buffer o{room.data(), room.size(), 0};
        status = lzw_frame_encode(enc.get(), &in, &o, pos + give == input.size());
        if (status < 0) {
            ADD_FAILURE() << "lzw_frame_encode: " << lzw_error_name(status);
            return {};
        }
        pos += in.pos;
        out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(o.pos));
    }
    // After the end, the frame is closed: asked to end again it is done, writing nothing;
    // given more input it fails, and takes none.
    uint8_t more[8] = {}, spare[64];
    lzw_in_buffer none{more, 0, 0}, late{more, sizeof more, 0};
    lzw_out_buffer o{spare, sizeof spare, 0};
    EXPECT_EQ(lzw_frame_encode(enc.get(), &none, &o, 1), LZW_FRAME_DONE);
    EXPECT_EQ(lzw_frame_encode(enc.get(), &late, &o, random() % 2), LZW_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(late.pos + o.pos, 0u);
    return out;
}

// The caller-driven decoder over every frame of `file`, handed input and room in random pieces
// of up to `most` bytes; between frames the caller does what lzw_frame_decompress does.
// Given `cap` bytes of room in all, it fails as lzw_frame_decompress does with that capacity.
Decoded decodeInPieces(const Bytes& file, std::mt19937_64& random, size_t most,
                       lzw_frame_decoder* dec, size_t cap = SIZE_MAX) {
    Decoded d;
    Bytes room;
    size_t pos = 0;
    for (bool first = true;; first = false) {
        if (!first && pos == file.size()) return d;
        lzw_frame_header header;
        if (!first &&
            (file.size() - pos < 4 ||
             lzw_frame_read_header(file.data() + pos, 4, &header) == LZW_ERROR_NOT_FRAME)) {
            d.status = LZW_ERROR_TRAILING_DATA;
            return d;
        }
        lzw_frame_decoder_reset(dec);
        for (;;) {
            size_t give = std::min(file.size() - pos, piece(random, most, true));
            room.resize(std::min(piece(random, most, true), cap - d.bytes.size()));
            lzw_in_buffer in{file.data() + pos, give, 0};
            lzw_out_buffer o{room.data(), room.size(), 0};
            int status = lzw_frame_decode(dec, &in, &o);
            pos += in.pos;
            d.bytes.insert(d.bytes.end(), room.begin(),
                           room.begin() + static_cast<std::ptrdiff_t>(o.pos));
            if (status == LZW_FRAME_DONE) break;
            if (status == LZW_FRAME_NEEDS_OUTPUT && d.bytes.size() == cap) {
                d.status = LZW_ERROR_OUTPUT_TOO_SMALL;
                return d;
            }
            if (status < 0 || (status == LZW_FRAME_NEEDS_INPUT && pos == file.size())) {
                d.status = status >= 0 ? (first && file.size() < 4 ? LZW_ERROR_SHORTER_THAN_HEADER
                                                                   : LZW_ERROR_ENDS_EARLY)
                                       : status;
                return d;
            }
        }
    }
}

Decoded decodeInPieces(const Bytes& file, std::mt19937_64& random, size_t most) {
    std::unique_ptr<lzw_frame_decoder, void (*)(lzw_frame_decoder*)> dec(lzw_frame_decoder_create(),
                                                                         lzw_frame_decoder_free);
    return decodeInPieces(file, random, most, dec.get());
}

// The callback streams, reading pieces of 1 to `most` bytes.
struct Reader {
    const Bytes& data;
    std::mt19937_64& random;
    size_t most;
    size_t pos = 0;
};
long long readPiece(void* user, void* buf, size_t capacity) {
    auto& r = *static_cast<Reader*>(user);
    size_t n = std::min({capacity, r.data.size() - r.pos, piece(r.random, r.most)});
    if (n > 0) std::memcpy(buf, r.data.data() + r.pos, n);
    r.pos += n;
    return static_cast<long long>(n);
}
int append(void* user, const void* buf, size_t size) {
    auto* out = static_cast<Bytes*>(user);
    out->insert(out->end(), static_cast<const uint8_t*>(buf),
                static_cast<const uint8_t*>(buf) + size);
    return 0;
}

// One context for every stream call: making one maps 2.7 MiB.
lzw_ctx* streamContext() {
    static std::unique_ptr<lzw_ctx, void (*)(lzw_ctx*)> ctx(lzw_ctx_create(), lzw_ctx_free);
    return ctx.get();
}

Bytes compressStream(const lzw_frame_params& params, const Bytes& input, std::mt19937_64& random,
                     size_t most) {
    Reader reader{input, random, most};
    Bytes out;
    EXPECT_EQ(lzw_frame_compress_stream(streamContext(), &params, readPiece, &reader, append, &out),
              LZW_OK);
    return out;
}

Decoded decompressStream(const Bytes& file, std::mt19937_64& random, size_t most) {
    Reader reader{file, random, most};
    Decoded d;
    d.status = lzw_frame_decompress_stream(streamContext(), readPiece, &reader, append, &d.bytes);
    return d;
}

Bytes skippableFrame(const Bytes& data) {
    Bytes frame = {0x8A, 0x4C, 0x5A, 0x57};
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<uint8_t>(data.size() >> (8 * i)));
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

// The header's check byte, after a test has changed a field on purpose.
void resealHeader(Bytes& frame) {
    uint8_t crc = 0;
    for (size_t i = 4; i < 20; ++i) {
        crc ^= frame[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    frame[20] = crc;
}

uint32_t load32(const Bytes& b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}

// The decimal numbers 1, 2, ..., n written one after another: enough of them fill the
// dictionary, after which the policies part ways.
Bytes numbers(int n) {
    std::string s;
    for (int i = 1; i <= n; ++i) s += std::to_string(i);
    return bytesOf(s);
}

struct Vector {
    std::string file;  // under tests/vectors/: version 1 files (v1/) are only decoded
    lzw_policy policy;
    unsigned block;
    unsigned checksums;
    bool sized;  // the content size given, so recorded
    Bytes content;
    Bytes skipped;  // the data of a skippable frame before it
};

std::vector<Vector> vectors() {
    const char* names[] = {"", "freeze", "evict", "reset"};
    const Bytes text = bytesOf("TOBEORNOTTOBEORTOBEORNOTTOBEORNOTTOBEORTOBEORNOT");
    Bytes twoBlocks;
    for (int i = 0; i < 512; ++i) twoBlocks.insert(twoBlocks.end(), {'a', 'b'});
    twoBlocks.insert(twoBlocks.end(), {'l', 'z', 'w', '!'});
    std::vector<Vector> v;
    // Version 2, as `lzw -F` writes them today; then version 1, as 1.3.0 wrote them (without
    // a seek table), which must decode as they always did.
    for (const std::string dir : {"", "v1/"}) {
        unsigned all = dir.empty() ? kProgram : kAllChecks;
        for (lzw_policy p : kPolicies) {
            std::string name = names[p];
            v.push_back({dir + "empty-" + name, p, 1u << 20, all, false, {}, {}});
            v.push_back({dir + "text-" + name, p, 1u << 20, all, false, text, {}});
            v.push_back({dir + "numbers-" + name, p, 16u << 10, all, false, numbers(3200), {}});
        }
        v.push_back({dir + "a-freeze", LZW_FREEZE, 1u << 20, all, false, {'a'}, {}});
        v.push_back({dir + "two-blocks-freeze", LZW_FREEZE, 1u << 10, all, true, twoBlocks, {}});
        v.push_back(
            {dir + "skippable-freeze", LZW_FREEZE, 1u << 20, all, false, {'a'}, bytesOf("note")});
        v.push_back({dir + "unchecked-freeze", LZW_FREEZE, 1u << 20, 0, false, text, {}});
    }
    return v;
}

// The vectors of doc/frame-format.md: each file is exactly what compressing its content
// writes (in one call or in pieces), and decodes to that content.
TEST(FrameVectors, FilesAreWhatCompressionWritesAndDecodeToTheirContent) {
    const bool rewrite = std::getenv("LZW_WRITE_FRAME_VECTORS") != nullptr;
    std::mt19937_64 random(1);
    for (const Vector& v : vectors()) {
        SCOPED_TRACE(v.file);
        const bool first = v.file.rfind("v1/", 0) == 0;
        const fs::path path = kRoot / "tests" / "vectors" / (v.file + ".lzw");
        Bytes made;
        if (!first) {
            const lzw_frame_params params =
                paramsOf(v.policy, v.block, v.checksums,
                         v.sized ? static_cast<long long>(v.content.size()) : -1);
            made = v.skipped.empty() ? Bytes{} : skippableFrame(v.skipped);
            const Bytes frame = compressFrame(params, v.content);
            EXPECT_TRUE(encodeInPieces(params, v.content, random, 7) == frame);
            made.insert(made.end(), frame.begin(), frame.end());
            if (rewrite) {
                std::ofstream(path, std::ios::binary)
                    .write(reinterpret_cast<const char*>(made.data()),
                           static_cast<std::streamsize>(made.size()));
            }
        }
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(in) << path;
        const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (!first) {
            EXPECT_TRUE(file == made) << "the frame format changed";
        }
        Decoded once = decompressFrames(file, v.content.size());
        EXPECT_EQ(once.status, LZW_OK);
        EXPECT_TRUE(once.bytes == v.content);
        Decoded pieces = decodeInPieces(file, random, 5);
        EXPECT_EQ(pieces.status, LZW_OK);
        EXPECT_TRUE(pieces.bytes == v.content);
        Decoded stream = decompressStream(file, random, 3);
        EXPECT_EQ(stream.status, LZW_OK);
        EXPECT_TRUE(stream.bytes == v.content);
        lzw_frame_header header;
        size_t at = v.skipped.empty() ? 0 : 8 + v.skipped.size();
        ASSERT_EQ(lzw_frame_read_header(file.data() + at, file.size() - at, &header), LZW_OK);
        EXPECT_EQ(header.version, first ? 1u : 2u);
        EXPECT_EQ(header.policy, v.policy);
        EXPECT_EQ(header.block_size, v.block);
        EXPECT_EQ(header.content_size, v.sized ? static_cast<long long>(v.content.size()) : -1LL);
    }
}

// Every block size a frame meets (none, one byte, one short of a block, a block, one over,
// several), in text that codes and random bytes that are stored, in every policy: the encoder
// and the streams fed in random pieces write the very bytes of the one-shot call, and each
// decoder gives the input back. Then a few MB in default blocks.
TEST(FrameRoundTrip, EveryCallingStyleAndPieceSizeGivesTheSameFrame) {
    const uint64_t seed = seedOfRun();
    std::printf("LZW_FRAME_SEED=%llu\n", static_cast<unsigned long long>(seed));
    SCOPED_TRACE("LZW_FRAME_SEED=" + std::to_string(seed));
    std::mt19937_64 random(seed);
    struct Case {
        Bytes input;
        unsigned block;
        size_t most;  // the largest piece
        bool stored;  // random bytes: every block stored
    };
    std::vector<Case> cases;
    const size_t b = kKiB;
    for (size_t size : {size_t{0}, size_t{1}, b - 1, b, b + 1, 3 * b}) {
        cases.push_back({pseudoText(seed, size), 1u << 10, 300, size == 1});
        cases.push_back({randomBytes(seed, size), 1u << 10, 300, true});
    }
    cases.push_back(
        {concat({pseudoText(seed, 1200000), randomBytes(seed, 500000), repeated('x', 400000)}),
         LZW_FRAME_BLOCK_DEFAULT, 200000, false});
    for (lzw_policy policy : kPolicies) {
        for (const Case& c : cases) {
            SCOPED_TRACE("policy " + std::to_string(policy) + ", " +
                         std::to_string(c.input.size()) + " bytes in blocks of " +
                         std::to_string(c.block) + (c.stored ? ", stored" : ""));
            const lzw_frame_params params = paramsOf(policy, c.block);
            const Bytes frame = compressFrame(params, c.input);
            EXPECT_TRUE(encodeInPieces(params, c.input, random, c.most) == frame);
            EXPECT_TRUE(compressStream(params, c.input, random, c.most) == frame);
            const size_t blocks = (c.input.size() + c.block - 1) / c.block;
            if (c.stored) {
                EXPECT_EQ(frame.size(), LZW_FRAME_HEADER_SIZE + 12 * blocks + c.input.size() + 12);
            } else if (c.input.size() >= c.block) {
                EXPECT_LT(frame.size(), c.input.size());
            }
            for (const Decoded& d :
                 {decompressFrames(frame, c.input.size()), decodeInPieces(frame, random, c.most),
                  decompressStream(frame, random, c.most)}) {
                EXPECT_EQ(d.status, LZW_OK) << lzw_error_name(d.status);
                EXPECT_TRUE(d.bytes == c.input);
            }
            // With the size given up front, the frame differs only in the header (which records
            // it); it decodes alike.
            const lzw_frame_params sizedParams =
                paramsOf(policy, c.block, kAllChecks, static_cast<long long>(c.input.size()));
            const Bytes sized = encodeInPieces(sizedParams, c.input, random, c.most);
            EXPECT_TRUE(compressFrame(sizedParams, c.input) == sized);
            ASSERT_EQ(sized.size(), frame.size());
            EXPECT_TRUE(std::equal(sized.begin() + LZW_FRAME_HEADER_SIZE, sized.end(),
                                   frame.begin() + LZW_FRAME_HEADER_SIZE));
            EXPECT_TRUE(decodeInPieces(sized, random, c.most).bytes == c.input);
        }
    }
}

// Frames and skippable frames one after another decode to the frames' concatenation, in every
// decoder; anything else after a frame is trailing data, with the frames before it given; a
// frame cut anywhere is an error.
TEST(FrameConcatenation, FramesFollowEachOtherAndNothingElseDoes) {
    std::mt19937_64 random(2);
    const Bytes a = pseudoText(3, 3000), b = randomBytes(4, 500);
    const Bytes file =
        concat({compressFrame(paramsOf(LZW_FREEZE, 1u << 10), a), skippableFrame(bytesOf("note")),
                compressFrame(paramsOf(LZW_RESET, 1u << 10, 0), b), skippableFrame({}),
                compressFrame(paramsOf(LZW_EVICT), {})});
    const Bytes ab = concat({a, b});
    auto decodeEveryWay = [&](const Bytes& f) {
        return std::vector<Decoded>{decompressFrames(f, ab.size()), decodeInPieces(f, random, 100),
                                    decompressStream(f, random, 100)};
    };
    for (const Decoded& d : decodeEveryWay(file)) {
        EXPECT_EQ(d.status, LZW_OK);
        EXPECT_TRUE(d.bytes == ab);
    }
    // A skippable frame alone is a file of no content.
    for (const Decoded& d : decodeEveryWay(skippableFrame(bytesOf("x")))) {
        EXPECT_EQ(d.status, LZW_OK);
        EXPECT_TRUE(d.bytes.empty());
    }
    // A frame's magic alone is a frame cut in its header: every decoder says so alike.
    for (const Bytes& magic : {Bytes{0x89, 0x4C, 0x5A, 0x57}, Bytes{0x8A, 0x4C, 0x5A, 0x57}}) {
        for (const Decoded& d : decodeEveryWay(concat({file, magic}))) {
            EXPECT_EQ(d.status, LZW_ERROR_ENDS_EARLY) << lzw_error_name(d.status);
            EXPECT_TRUE(d.bytes == ab);
        }
    }
    const Bytes junk[] = {{'x'}, {0x89, 0x4C, 0x5A}, {0xFF, 0xFF, 0xFF, 0xFF}, encode('1', a)};
    for (const Bytes& tail : junk) {
        SCOPED_TRACE("junk of " + std::to_string(tail.size()) + " bytes");
        for (const Decoded& d : decodeEveryWay(concat({file, tail}))) {
            EXPECT_EQ(d.status, LZW_ERROR_TRAILING_DATA) << lzw_error_name(d.status);
            EXPECT_TRUE(d.bytes == ab);
        }
    }
    // Cut at every length, a frame gives the blocks before the cut and fails.
    const Bytes whole = compressFrame(paramsOf(LZW_EVICT, 1u << 10), a);
    for (size_t length = 0; length < whole.size(); ++length) {
        SCOPED_TRACE("cut at " + std::to_string(length));
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        for (const Decoded& d : decodeEveryWay(cut)) {
            EXPECT_EQ(d.status, length < 4 ? LZW_ERROR_SHORTER_THAN_HEADER : LZW_ERROR_ENDS_EARLY);
            EXPECT_TRUE(d.bytes.size() % kKiB == 0 || d.bytes.size() == a.size());
            EXPECT_TRUE(startsWith(a, d.bytes));
        }
    }
}

// One bit at a time, every bit of a frame of each policy with both checksums (two coded
// blocks, a stored one, the end mark, the content checksum): every flip is reported as damage,
// those in the header and the checksums by the error their field gives, and no decoder gives
// a byte of a block before it has been checked: what comes out is always whole blocks of the
// original. The caller-driven decoder gets little room at a time, so that its blocks wait
// for it; the stream call, the program's decoder, walks the frames by its own code.
TEST(FrameDamage, EveryBitFlipIsReportedAndNoUncheckedByteIsGiven) {
    // A text block, a block of few letters (short when coded: fewer bits to flip), 60 random
    // bytes.
    const Bytes content =
        concat({pseudoText(5, kKiB), randomBytes(5, kKiB, 3), randomBytes(6, 60)});
    std::unique_ptr<lzw_ctx, void (*)(lzw_ctx*)> ctx(lzw_ctx_create(), lzw_ctx_free);
    std::unique_ptr<lzw_frame_decoder, void (*)(lzw_frame_decoder*)> dec(lzw_frame_decoder_create(),
                                                                         lzw_frame_decoder_free);
    std::mt19937_64 random(7);
    for (lzw_policy policy : kPolicies) {
        const Bytes frame = compressFrame(
            paramsOf(policy, 1u << 10, kAllChecks, static_cast<long long>(content.size())),
            content);
        // Where each block's checksum lies; the last of the three blocks is stored.
        std::vector<size_t> checksums;
        size_t at = LZW_FRAME_HEADER_SIZE;
        for (uint32_t word; (word = load32(frame, at)) != 0;) {
            at += 8 + (word & 0x7FFFFFFF);
            checksums.push_back(at);
            at += 4;
        }
        ASSERT_EQ(checksums.size(), 3u);
        ASSERT_EQ(load32(frame, checksums[1] + 4), 0x80000000u | 60);
        ASSERT_EQ(at + 12, frame.size());
        for (size_t bit = 0; bit < 8 * frame.size(); ++bit) {
            const size_t byte = bit / 8;
            SCOPED_TRACE("policy " + std::to_string(policy) + ", byte " + std::to_string(byte) +
                         " bit " + std::to_string(bit % 8));
            Bytes damaged = frame;
            damaged[byte] ^= static_cast<uint8_t>(1u << (bit % 8));
            const bool inChecksum = byte >= frame.size() - 8 ||
                                    std::any_of(checksums.begin(), checksums.end(), [&](size_t c) {
                                        return byte >= c && byte < c + 4;
                                    });
            const int expected = byte < 4                       ? LZW_ERROR_NOT_FRAME
                                 : byte < LZW_FRAME_HEADER_SIZE ? LZW_ERROR_FRAME_HEADER
                                 : inChecksum                   ? LZW_ERROR_CHECKSUM
                                                                : 0;
            std::vector<Decoded> results = {decompressFrames(damaged, content.size(), ctx.get()),
                                            decodeInPieces(damaged, random, 64, dec.get())};
            // The stream call walks the frames on its own, but maps its buffers afresh each
            // time: one bit of each byte, a different one from byte to byte.
            if (bit % 8 == byte % 8) results.push_back(decompressStream(damaged, random, 512));
            for (const Decoded& d : results) {
                ASSERT_NE(d.status, LZW_OK);
                EXPECT_TRUE(isDamage(static_cast<Fault>(-d.status))) << lzw_error_name(d.status);
                if (expected != 0) {
                    EXPECT_EQ(d.status, expected) << lzw_error_name(d.status);
                }
                EXPECT_TRUE(d.bytes.size() % kKiB == 0 || d.bytes.size() == content.size());
                ASSERT_TRUE(startsWith(content, d.bytes));
                // The decoders check in the same order.
                EXPECT_EQ(d.status, results[0].status) << lzw_error_name(d.status);
                EXPECT_EQ(d.bytes.size(), results[0].bytes.size());
            }
        }
    }
}

// The decoder follows the policy in the header, whatever a context did before; the same
// frame with another policy in its header (the check byte remade) is found damaged.
TEST(FramePolicy, DecodingFollowsTheHeaderAlone) {
    const Bytes content = numbers(3200);  // fills the dictionary: the policies part ways
    std::unique_ptr<lzw_ctx, void (*)(lzw_ctx*)> ctx(lzw_ctx_create(), lzw_ctx_free);
    for (lzw_policy policy : kPolicies) {
        const Bytes frame = compressFrame(paramsOf(policy, 16u << 10), content);
        for (lzw_policy other : kPolicies) {
            SCOPED_TRACE("policy " + std::to_string(policy) + " after " + std::to_string(other));
            // The context last ran a raw decompression of another policy.
            const Bytes raw = encode(static_cast<char>('0' + other), content);
            Bytes out(content.size());
            size_t written = 0;
            ASSERT_EQ(lzw_ctx_decompress(ctx.get(), other, raw.data(), raw.size(), out.data(),
                                         out.size(), &written),
                      LZW_OK);
            Decoded d = decompressFrames(frame, content.size(), ctx.get());
            EXPECT_EQ(d.status, LZW_OK);
            EXPECT_TRUE(d.bytes == content);
            if (other == policy) continue;
            Bytes relabelled = frame;
            relabelled[6] = static_cast<uint8_t>(other);
            resealHeader(relabelled);
            const int status = decompressFrames(relabelled, content.size(), ctx.get()).status;
            EXPECT_NE(status, LZW_OK);
            EXPECT_TRUE(isDamage(static_cast<Fault>(-status))) << lzw_error_name(status);
        }
    }
}

// lzw_frame_read_header: the bytes it still needs, skippable frames, and each field refused
// with its error, in the order the fields are checked; the decoder refuses them alike.
TEST(FrameHeader, ReaderCountsWhatItNeedsAndRefusesEachField) {
    const Bytes frame = compressFrame(paramsOf(LZW_EVICT, 4u << 10, kAllChecks, 3), bytesOf("abc"));
    lzw_frame_header h;
    for (size_t size = 0; size < LZW_FRAME_HEADER_SIZE; ++size) {
        EXPECT_EQ(lzw_frame_read_header(frame.data(), size, &h),
                  static_cast<int>((size < 4 ? 4 : LZW_FRAME_HEADER_SIZE) - size));
    }
    ASSERT_EQ(lzw_frame_read_header(frame.data(), frame.size(), &h), LZW_OK);
    EXPECT_EQ(h.version, 2u);
    EXPECT_EQ(h.policy, LZW_EVICT);
    EXPECT_EQ(h.code_width, 12u);
    EXPECT_EQ(h.block_size, 4096u);
    EXPECT_EQ(h.flags, 7u);
    EXPECT_EQ(h.content_size, 3);
    EXPECT_EQ(h.header_size, 21u);
    EXPECT_EQ(h.skippable_size, 0u);

    const Bytes skippable = skippableFrame(bytesOf("12345"));
    for (size_t size = 0; size < 8; ++size) {
        EXPECT_EQ(lzw_frame_read_header(skippable.data(), size, &h),
                  static_cast<int>((size < 4 ? 4 : 8) - size));
    }
    ASSERT_EQ(lzw_frame_read_header(skippable.data(), skippable.size(), &h), LZW_OK);
    EXPECT_EQ(h.header_size, 8u);
    EXPECT_EQ(h.skippable_size, 5u);
    EXPECT_EQ(lzw_frame_read_header(nullptr, 21, &h), LZW_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(lzw_frame_read_header(frame.data(), 21, nullptr), LZW_ERROR_BAD_ARGUMENT);

    struct Change {
        const char* what;
        void (*change)(Bytes&);
        bool reseal;  // the check byte remade: a header written so on purpose
        int error;
    };
    const Change changes[] = {
        {"a raw stream's header", [](Bytes& f) { f[0] = 0x00; }, false, LZW_ERROR_NOT_FRAME},
        {"the check byte", [](Bytes& f) { f[20] ^= 0x80; }, false, LZW_ERROR_FRAME_HEADER},
        {"version 3, unsealed", [](Bytes& f) { f[4] = 3; }, false, LZW_ERROR_FRAME_HEADER},
        {"version 3", [](Bytes& f) { f[4] = 3; }, true, LZW_ERROR_FRAME_VERSION},
        {"version 0", [](Bytes& f) { f[4] = 0; }, true, LZW_ERROR_FRAME_VERSION},
        {"version 3 and a reserved flag",
         [](Bytes& f) {
             f[4] = 3;
             f[5] |= 8;
         },
         true, LZW_ERROR_FRAME_VERSION},
        {"policy 0", [](Bytes& f) { f[6] = 0; }, true, LZW_ERROR_FRAME_VERSION},
        {"policy 4", [](Bytes& f) { f[6] = 4; }, true, LZW_ERROR_FRAME_VERSION},
        {"code width 13", [](Bytes& f) { f[7] = 13; }, true, LZW_ERROR_FRAME_VERSION},
        {"blocks of 1023 bytes",
         [](Bytes& f) {
             f[8] = 0xFF;
             f[9] = 0x03;
         },
         true, LZW_ERROR_FRAME_VERSION},
        {"blocks of 1 GiB + 1",
         [](Bytes& f) {
             f[8] = 1;
             f[9] = 0;
             f[11] = 0x40;
         },
         true, LZW_ERROR_FRAME_VERSION},
        {"blocks of exactly 1 GiB",
         [](Bytes& f) {
             f[8] = 0;
             f[9] = 0;
             f[11] = 0x40;
         },
         true, LZW_OK},
        {"reserved flag 8", [](Bytes& f) { f[5] |= 8; }, true, LZW_ERROR_RESERVED_BITS},
        {"reserved flag 0x80", [](Bytes& f) { f[5] |= 0x80; }, true, LZW_ERROR_RESERVED_BITS},
        {"a content size without its flag", [](Bytes& f) { f[5] &= ~1; }, true,
         LZW_ERROR_FRAME_HEADER},
        {"a content size of 2^63",
         [](Bytes& f) {
             std::fill(f.begin() + 12, f.begin() + 19, 0);
             f[19] = 0x80;
         },
         true, LZW_ERROR_FRAME_HEADER},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        Bytes changed = frame;
        c.change(changed);
        if (c.reseal) resealHeader(changed);
        EXPECT_EQ(lzw_frame_read_header(changed.data(), changed.size(), &h), c.error);
        EXPECT_EQ(decompressFrames(changed, 16).status, c.error);
    }

    // Sizes the header and the block headers may hold but the blocks do not give: a content
    // size one short or one over (found at the block that passes it, or at the end), a stored
    // block (no checksums to catch it) whose decoded size is not its payload's, and a coded
    // one too short for a code. Every decoder refuses them: in one call, on threads, in
    // pieces and through callbacks.
    std::mt19937_64 random(6);
    const Bytes stored = compressFrame(paramsOf(LZW_EVICT, 1u << 10, 0), randomBytes(7, 60));
    ASSERT_EQ(load32(stored, 21), 60u | 1u << 31);
    const Bytes coded = compressFrame(paramsOf(LZW_EVICT, 1u << 10, 0), pseudoText(8, 1000));
    ASSERT_LT(load32(coded, 21), 1000u);
    for (const auto& [what, base, at, value, error] :
         std::vector<std::tuple<std::string, Bytes, size_t, uint32_t, int>>{
             {"content size 2 of 3", frame, 12, 2, LZW_ERROR_CONTENT_SIZE},
             {"content size 4 of 3", frame, 12, 4, LZW_ERROR_CONTENT_SIZE},
             {"stored 60 bytes giving 59", stored, 25, 59, LZW_ERROR_BLOCK_HEADER},
             {"stored 60 bytes giving 61", stored, 25, 61, LZW_ERROR_BLOCK_HEADER},
             {"coded in 5 bytes", coded, 21, 5, LZW_ERROR_BLOCK_HEADER}}) {
        SCOPED_TRACE(what);
        Bytes changed = base;
        for (int i = 0; i < 4; ++i) changed[at + i] = static_cast<uint8_t>(value >> (8 * i));
        resealHeader(changed);
        Decoded threaded;
        threaded.bytes.resize(64);
        size_t written = 0;
        threaded.status = lzw_frame_decompress_mt(nullptr, 2, changed.data(), changed.size(),
                                                  threaded.bytes.data(), 64, &written);
        for (const Decoded& d :
             {decompressFrames(changed, 64), threaded, decodeInPieces(changed, random, 7),
              decompressStream(changed, random, 7)}) {
            EXPECT_EQ(d.status, error) << lzw_error_name(d.status);
        }
    }
}

// The params struct's size: a smaller one is refused, a later, larger one is read when the
// fields unknown here are zero, and refused otherwise, by every call that takes params.
TEST(FrameParams, SizeFieldAdmitsLaterStructsOnlyWithTheirNewFieldsZero) {
    struct Later {
        lzw_frame_params known;
        unsigned long long added;
    };
    Later later;
    std::memset(&later, 0, sizeof later);
    later.known = paramsOf(LZW_RESET, 1u << 10);
    later.known.size = sizeof later;
    const Bytes input = pseudoText(8, 3000);
    const Bytes expected = compressFrame(paramsOf(LZW_RESET, 1u << 10), input);
    EXPECT_TRUE(compressFrame(later.known, input) == expected);

    auto refusedEverywhere = [&](const lzw_frame_params* params) {
        Bytes out(expected.size() + 100);
        size_t written = 9;
        EXPECT_EQ(lzw_frame_compress(nullptr, params, input.data(), input.size(), out.data(),
                                     out.size(), &written),
                  LZW_ERROR_BAD_ARGUMENT);
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(lzw_frame_compress_bound(params, input.size()), 0u);
        EXPECT_EQ(lzw_frame_encoder_create(params), nullptr);
        std::unique_ptr<lzw_ctx, void (*)(lzw_ctx*)> ctx(lzw_ctx_create(), lzw_ctx_free);
        std::mt19937_64 random(9);
        Reader reader{input, random, 100};
        Bytes sink;
        EXPECT_EQ(lzw_frame_compress_stream(ctx.get(), params, readPiece, &reader, append, &sink),
                  LZW_ERROR_BAD_ARGUMENT);
        EXPECT_TRUE(sink.empty());
    };
    later.added = 1;
    refusedEverywhere(&later.known);
    lzw_frame_params smaller = paramsOf(LZW_RESET);
    smaller.size = sizeof smaller - 1;
    refusedEverywhere(&smaller);
    smaller.size = 0;
    refusedEverywhere(&smaller);
}

// The reader over a file in memory, counting its reads.
struct File {
    const Bytes* bytes;
    int reads = 0;
    static long long pread(void* user, void* buf, size_t size, unsigned long long offset) {
        auto* f = static_cast<File*>(user);
        ++f->reads;
        if (offset >= f->bytes->size()) return 0;
        size_t n = std::min<size_t>(size, f->bytes->size() - offset);
        std::memcpy(buf, f->bytes->data() + offset, n);
        return static_cast<long long>(n);
    }
};
using ReaderPtr = std::unique_ptr<lzw_reader, void (*)(lzw_reader*)>;
ReaderPtr openReader(File& file, int* status) {
    ReaderPtr r(lzw_reader_create(), lzw_reader_free);
    *status = lzw_reader_open(r.get(), File::pread, &file, file.bytes->size());
    return r;
}

// Every saved fuzz input (the frame decoder's seeds, and the other targets' inputs as noise):
// the one-shot call, the caller-driven decoder and the stream call agree on the result and
// the bytes, as the fuzz target checks (none of these fills the room).
TEST(FrameFuzzInputs, DecodersAgreeOnEverySavedInput) {
    std::vector<fs::path> files;
    for (const auto& dir : {kRoot / "fuzz" / "corpus", kRoot / "tests" / "data" / "fuzz"}) {
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
    }
    ASSERT_TRUE(std::any_of(files.begin(), files.end(), [](const fs::path& p) {
        return p.parent_path().filename() == "fuzz_frame_decode";
    }));
    std::unique_ptr<lzw_frame_decoder, void (*)(lzw_frame_decoder*)> dec(lzw_frame_decoder_create(),
                                                                         lzw_frame_decoder_free);
    std::mt19937_64 random(10);
    constexpr size_t kCap = size_t{1} << 20;
    for (const auto& path : files) {
        SCOPED_TRACE(path.string());
        std::ifstream in(path, std::ios::binary);
        const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const Decoded once = decompressFrames(file, kCap);
        for (const Decoded& d : {decodeInPieces(file, random, 3000, dec.get(), kCap),
                                 decompressStream(file, random, 3000)}) {
            EXPECT_EQ(d.status, once.status);
            EXPECT_TRUE(d.bytes == once.bytes);
        }
        // The reader gives the blocks the decoders gave, or fails.
        File f{&file};
        int status = 0;
        ReaderPtr reader = openReader(f, &status);
        Bytes read(kCap);
        size_t got = 0;
        if (status == LZW_OK) {
            status = lzw_reader_read(reader.get(), 0, read.data(), read.size(), &got);
        }
        EXPECT_TRUE(status == LZW_OK || isDamage(static_cast<Fault>(-status)));
        size_t common = std::min(got, once.bytes.size());
        EXPECT_TRUE(
            std::equal(read.begin(), read.begin() + static_cast<long>(common), once.bytes.begin()));
    }
}

// Seeded random ranges (inside a block, across blocks, at both ends, empty, past the end) of
// files with tables, without, of version 1, and concatenated, against the plain bytes; a
// concatenation of files with tables is found from its tables alone, in a few reads.
TEST(FrameReader, RangesGiveThePlainBytesWhereverTheyAre) {
    const uint64_t seed = seedOfRun();
    std::printf("LZW_FRAME_SEED=%llu\n", static_cast<unsigned long long>(seed));
    SCOPED_TRACE("LZW_FRAME_SEED=" + std::to_string(seed));
    std::mt19937_64 random(seed);
    const Bytes a = concat({pseudoText(seed, 9000), randomBytes(seed, 2500), repeated('z', 3000)});
    const Bytes b = pseudoText(seed + 1, 5000);
    std::ifstream v1(kRoot / "tests" / "vectors" / "v1" / "two-blocks-freeze.lzw",
                     std::ios::binary);
    const Bytes old{std::istreambuf_iterator<char>(v1), std::istreambuf_iterator<char>()};
    const Bytes oldContent = decompressFrames(old, 2000).bytes;
    struct Case {
        const char* what;
        Bytes file, content;
        bool indexed;
        int opening;  // reads open() may take
    };
    const Bytes tabled = compressFrame(paramsOf(LZW_EVICT, 1u << 10, kProgram), a);
    const Case cases[] = {
        {"one frame with its table", tabled, a, true, 3},
        {"two files with tables",
         concat({tabled, compressFrame(paramsOf(LZW_RESET, 2u << 10, kProgram), b)}),
         concat({a, b}), true, 5},
        {"no table", compressFrame(paramsOf(LZW_FREEZE, 1u << 10), a), a, false, 40},
        {"version 1, a note, then a table", concat({old, skippableFrame(bytesOf("note")), tabled}),
         concat({oldContent, a}), false, 40},
        {"no content", compressFrame(paramsOf(LZW_FREEZE, 1u << 10, kProgram), {}), {}, true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        File file{&c.file};
        int status = 0;
        ReaderPtr reader = openReader(file, &status);
        ASSERT_EQ(status, LZW_OK) << lzw_error_name(status);
        lzw_reader_info info;
        ASSERT_EQ(lzw_reader_describe(reader.get(), &info), LZW_OK);
        EXPECT_EQ(info.content_size, c.content.size());
        EXPECT_EQ(info.indexed, c.indexed ? 1 : 0);
        EXPECT_LE(file.reads, c.opening);
        const size_t n = c.content.size();
        for (int i = 0; i < 200; ++i) {
            size_t at = i < 3 ? std::vector<size_t>{0, n, n + 5}[i] : random() % (n + 1);
            size_t size = i % 4 == 0 ? random() % 3000 : random() % (n + 10);
            Bytes got(size);
            size_t read = 0;
            ASSERT_EQ(lzw_reader_read(reader.get(), at, got.data(), size, &read), LZW_OK);
            size_t expected = at >= n ? 0 : std::min(size, n - at);
            ASSERT_EQ(read, expected) << at << "+" << size;
            ASSERT_TRUE(std::equal(got.begin(), got.begin() + static_cast<long>(read),
                                   c.content.begin() + static_cast<long>(std::min(at, n))))
                << at << "+" << size;
        }
    }
}

// Every bit of a seek table flipped: the reader gives the right bytes or fails, never other
// bytes; the decoders, which skip the table, give the content.
TEST(FrameReader, DamagedTablesAreNeverTrusted) {
    const Bytes content = concat({pseudoText(11, 2500), randomBytes(12, 1500)});
    const Bytes file = compressFrame(paramsOf(LZW_RESET, 1u << 10, kProgram), content);
    const size_t table = compressFrame(paramsOf(LZW_RESET, 1u << 10), content).size();
    std::mt19937_64 random(3);
    for (size_t bit = 8 * table; bit < 8 * file.size(); ++bit) {
        SCOPED_TRACE("bit " + std::to_string(bit - 8 * table) + " of the table");
        Bytes damaged = file;
        damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        File f{&damaged};
        int status = 0;
        ReaderPtr reader = openReader(f, &status);
        if (status == LZW_OK) {
            Bytes got(content.size() + 1);
            size_t read = 0;
            status = lzw_reader_read(reader.get(), 0, got.data(), got.size(), &read);
            got.resize(read);
            if (status == LZW_OK) {
                EXPECT_TRUE(got == content);
            }
        }
        EXPECT_TRUE(status == LZW_OK || isDamage(static_cast<Fault>(-status)));
        Decoded d = decompressStream(damaged, random, 100);
        EXPECT_TRUE(d.bytes == content);
    }
}

}  // namespace
}  // namespace lzw::testing
