// Compressor and decoder of one mode pair (LZW_FUZZ_POLICY 1, 2 or 3) over any bytes: both
// succeed, the bytes come back unchanged, and the packed file is at most 1.5 x input + 5 bytes
// (4 header bytes, at most one 12-bit code per input byte, one pad byte). Both also stop
// cleanly where a short output buffer fills.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "coder.h"
#include "harness.h"

namespace {

constexpr auto kPolicy = static_cast<lzw::Policy>(LZW_FUZZ_POLICY);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One Coder for both directions: a second run must not inherit anything from the first.
    lzw::Coder& coder = lzw::fuzz::freshCoder();
    static std::vector<uint8_t> packed;
    static std::vector<uint8_t> back;
    packed.resize(lzw::compressedBound(size));
    size_t packedSize = 0;
    if (coder.runMemory(lzw::Direction::compress, kPolicy, data, size, packed.data(), packed.size(),
                        &packedSize) != lzw::Fault::none) {
        __builtin_trap();
    }
    if (2 * packedSize > 3 * size + 10) __builtin_trap();

    // The decoder may not write a byte more than the original.
    back.resize(size);
    size_t backSize = 0;
    if (coder.runMemory(lzw::Direction::decompress, kPolicy, packed.data(), packedSize, back.data(),
                        back.size(), &backSize) != lzw::Fault::none) {
        __builtin_trap();
    }
    if (backSize != size || (size > 0 && std::memcmp(back.data(), data, size) != 0)) {
        __builtin_trap();
    }

    // Both again into a buffer that fills part way, at a point the input picks: each run
    // stops there and keeps exactly the start of its whole result. The input is repeated past
    // 64 KiB, so that the buffer fills while a coding loop runs (the first write out of the
    // 64 KiB buffer) and not only at the end; the dictionary may be filling, full or cleared
    // then. The short buffer is an allocation of its own, so that a write past it shows.
    // Coding 64 KiB three times costs as much as many round trips of short inputs, so one
    // input in eight (by its first byte) takes this part.
    if (size == 0 || (data[0] & 7) != 0) return 0;
    static std::vector<uint8_t> longer;
    static std::vector<uint8_t> longerPacked;
    longer.clear();
    while (longer.size() <= size_t{1} << 16) longer.insert(longer.end(), data, data + size);
    longerPacked.resize(lzw::compressedBound(longer.size()));
    size_t longerPackedSize = 0;
    if (coder.runMemory(lzw::Direction::compress, kPolicy, longer.data(), longer.size(),
                        longerPacked.data(), longerPacked.size(),
                        &longerPackedSize) != lzw::Fault::none) {
        __builtin_trap();
    }
    const struct {
        lzw::Direction direction;
        const uint8_t* src;
        size_t size;
        const uint8_t* whole;
        size_t wholeSize;
    } runs[] = {
        {lzw::Direction::compress, longer.data(), longer.size(), longerPacked.data(),
         longerPackedSize},
        {lzw::Direction::decompress, longerPacked.data(), longerPackedSize, longer.data(),
         longer.size()},
    };
    for (const auto& run : runs) {
        size_t capacity = run.wholeSize * data[size / 2] / 256;
        std::unique_ptr<uint8_t[]> out(new uint8_t[capacity]);
        size_t written = 0;
        if (coder.runMemory(run.direction, kPolicy, run.src, run.size, out.get(), capacity,
                            &written) != lzw::Fault::outputTooSmall ||
            written != capacity || std::memcmp(out.get(), run.whole, capacity) != 0) {
            __builtin_trap();
        }
    }
    return 0;
}
