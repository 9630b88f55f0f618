// Framed decoding over any bytes, three ways: lzw_frame_decompress in one call; the
// caller-driven decoder handed the input and room in pieces of sizes drawn from the input
// itself, doing between frames what the one-shot call does; and lzw_frame_decompress_stream
// (the program's decoder, with a walk of the frames of its own), read in such pieces too, on
// one thread and (one input in four) on two. They must agree on the result and on every byte
// given, the result must be success, damage or a full output, and a decoder never gives more
// than the room it had.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "lzw.h"
#include "messages.h"

namespace {

// A block may claim up to 4096 bytes a code; the full output stops such runs early.
constexpr size_t kOutputCap = size_t{1} << 20;
uint8_t once[kOutputCap];

lzw_ctx* context() {
    static lzw_ctx* ctx = lzw_ctx_create();
    if (ctx == nullptr) __builtin_trap();
    return ctx;
}

lzw_frame_decoder* decoder() {
    static lzw_frame_decoder* dec = lzw_frame_decoder_create();
    if (dec == nullptr) __builtin_trap();
    return dec;
}

// What lzw_frame_decompress gives for `data` with kOutputCap of room, by the caller-driven
// decoder; the bytes given go to `out`.
int decodeInPieces(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    // The pieces: the same for the same input, of any size from none to a few KiB.
    std::minstd_rand random(static_cast<uint32_t>(size * 2654435761u) ^
                            (size > 0 ? data[size - 1] : 0u));
    const size_t most = size_t{1} << (random() % 13);
    auto piece = [&] { return static_cast<size_t>(random() % (most + 1)); };
    lzw_frame_decoder* dec = decoder();
    std::vector<uint8_t> room;
    size_t pos = 0;
    for (bool first = true;; first = false) {
        if (!first && pos == size) return LZW_OK;
        lzw_frame_header header;
        if (!first && (size - pos < 4 ||
                       lzw_frame_read_header(data + pos, 4, &header) == LZW_ERROR_NOT_FRAME)) {
            return LZW_ERROR_TRAILING_DATA;
        }
        lzw_frame_decoder_reset(dec);
        for (;;) {
            lzw_in_buffer in{data + pos, std::min(size - pos, piece()), 0};
            room.resize(std::min(piece(), kOutputCap - out.size()));
            lzw_out_buffer o{room.data(), room.size(), 0};
            int status = lzw_frame_decode(dec, &in, &o);
            if (in.pos > in.size || o.pos > o.size) __builtin_trap();
            pos += in.pos;
            out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(o.pos));
            if (status == LZW_FRAME_DONE) break;
            if (status < 0) return status;
            if (status == LZW_FRAME_NEEDS_OUTPUT && out.size() == kOutputCap) {
                return LZW_ERROR_OUTPUT_TOO_SMALL;
            }
            if (status == LZW_FRAME_NEEDS_INPUT && pos == size) {
                return first && size < 4 ? LZW_ERROR_SHORTER_THAN_HEADER : LZW_ERROR_ENDS_EARLY;
            }
        }
    }
}

struct Stream {
    const uint8_t* data;
    size_t size;
    size_t pos;
    std::minstd_rand random;
    std::vector<uint8_t> out;
};

long long readPiece(void* user, void* buf, size_t capacity) {
    auto& s = *static_cast<Stream*>(user);
    size_t n = std::min({capacity, s.size - s.pos, size_t{1} + s.random() % 4096});
    if (n > 0) std::memcpy(buf, s.data + s.pos, n);
    s.pos += n;
    return static_cast<long long>(n);
}

// Whole blocks come at once: one that would pass the cap fails the run.
int appendCapped(void* user, const void* buf, size_t size) {
    auto& s = *static_cast<Stream*>(user);
    if (size > kOutputCap - s.out.size()) return 1;
    s.out.insert(s.out.end(), static_cast<const uint8_t*>(buf),
                 static_cast<const uint8_t*>(buf) + size);
    return 0;
}

// lzw_frame_decompress_stream of `data` on `threads` threads, read in pieces drawn from its
// size, into s.out.
int decodeStream(Stream& s, const uint8_t* data, size_t size, int threads) {
    s.data = data;
    s.size = size;
    s.pos = 0;
    s.random.seed(static_cast<uint32_t>(size));
    s.out.clear();
    return threads == 1 ? lzw_frame_decompress_stream(context(), readPiece, &s, appendCapped, &s)
                        : lzw_frame_decompress_stream_mt(context(), threads, readPiece, &s,
                                                         appendCapped, &s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t written = 0;
    int error = lzw_frame_decompress(context(), data, size, once, kOutputCap, &written);
    if (error > 0 || written > kOutputCap) __builtin_trap();
    if (error != LZW_OK && error != LZW_ERROR_OUTPUT_TOO_SMALL &&
        !lzw::isDamage(static_cast<lzw::Fault>(-error))) {
        __builtin_trap();
    }
    static std::vector<uint8_t> pieces;
    pieces.clear();
    if (decodeInPieces(data, size, pieces) != error || pieces.size() != written ||
        (written > 0 && std::memcmp(pieces.data(), once, written) != 0)) {
        __builtin_trap();
    }
    // The stream gives whole blocks only: where the one-shot call ran out of room, it gives
    // the blocks that fitted and fails its write.
    static Stream stream;
    int streamed = decodeStream(stream, data, size, 1);
    bool full = error == LZW_ERROR_OUTPUT_TOO_SMALL;
    if (streamed != (full ? LZW_ERROR_WRITE_FAILED : error) || stream.out.size() > written ||
        (!full && stream.out.size() != written) ||
        (!stream.out.empty() && std::memcmp(stream.out.data(), once, stream.out.size()) != 0)) {
        __builtin_trap();
    }
    // Two threads cost more than the three ways above together: one input in four takes them.
    if (size == 0 || (data[size - 1] & 3) != 0) return 0;
    static Stream threaded;
    if (decodeStream(threaded, data, size, 2) != streamed || threaded.out != stream.out) {
        __builtin_trap();
    }
    return 0;
}
