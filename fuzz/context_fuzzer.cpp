// One context through a sequence of calls read from the input, each compared with the one-shot
// call: same return value, same count, same bytes. A call is a 3-byte head and its payload:
//   byte 0   bit 0: compress (1) or decompress; bits 1-2: the policy (0 is refused as a bad
//            argument); bits 3-4: the output's room (0: just short of what the call needs,
//            1: a few bytes, 2 and 3: all it needs); bit 5, decompressing: the payload is
//            first compressed with the policy in bits 6-7 (plus one), so that the decoders
//            meet whole streams and not only noise; else it is read as a stream as it is
//   bytes 1-2  the payload's length, little-endian (what is left, if less)
// Whatever the calls before it did, a call on the context must be exact.
#include <cstdint>
#include <cstring>
#include <vector>

#include "lzw.h"

namespace {

// Decoded output beyond this is refused (output too small) alike in both calls.
constexpr size_t kOutputCap = size_t{1} << 20;
constexpr int kMaxCalls = 24;

lzw_ctx* context() {
    static lzw_ctx* ctx = lzw_ctx_create();
    if (ctx == nullptr) __builtin_trap();
    return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One context for every input too: what the previous input left in it must not matter.
    lzw_ctx* ctx = context();
    std::vector<uint8_t> stream, once, reused;
    for (int call = 0; call < kMaxCalls && size >= 3; ++call) {
        const uint8_t head = data[0];
        size_t length = data[1] | size_t{data[2]} << 8;
        data += 3;
        size -= 3;
        if (length > size) length = size;
        const uint8_t* payload = data;
        data += length;
        size -= length;

        const bool compressing = (head & 1) != 0;
        const auto policy = static_cast<lzw_policy>((head >> 1) & 3);
        const uint8_t* src = payload;
        size_t srcSize = length;
        if (!compressing && (head & 0x20) != 0) {
            stream.resize(lzw_compress_bound(length));
            size_t packed = 0;
            if (lzw_compress(static_cast<lzw_policy>(1 + (head >> 6) % 3), payload, length,
                             stream.data(), stream.size(), &packed) != LZW_OK) {
                __builtin_trap();
            }
            src = stream.data();
            srcSize = packed;
        }
        // A stream without a usable header fails at once: a little room is enough.
        size_t need = 64;
        if (compressing) {
            need = lzw_compress_bound(srcSize);
        } else if (lzw_decoded_size(src, srcSize) >= 0) {
            need = static_cast<size_t>(lzw_decoded_size(src, srcSize));
            if (need > kOutputCap) need = kOutputCap;
        }
        size_t capacity = need;
        switch ((head >> 3) & 3) {
            case 0:
                capacity = need > 0 ? need - 1 : 0;
                break;
            case 1:
                capacity = need < 5 ? need : 5;
                break;
            default:
                break;
        }
        // One byte more than the room given: neither call may write it.
        once.assign(capacity + 1, 0xA5);
        reused.assign(capacity + 1, 0xA5);
        size_t writtenOnce = 0, writtenReused = 0;
        int errorOnce =
            compressing ? lzw_compress(policy, src, srcSize, once.data(), capacity, &writtenOnce)
                        : lzw_decompress(policy, src, srcSize, once.data(), capacity, &writtenOnce);
        int errorReused = compressing ? lzw_ctx_compress(ctx, policy, src, srcSize, reused.data(),
                                                         capacity, &writtenReused)
                                      : lzw_ctx_decompress(ctx, policy, src, srcSize, reused.data(),
                                                           capacity, &writtenReused);
        if (errorReused != errorOnce || writtenReused != writtenOnce || reused != once) {
            __builtin_trap();
        }
    }
    return 0;
}
