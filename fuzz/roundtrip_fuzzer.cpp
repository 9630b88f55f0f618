// Compressor and decoder of one mode pair (LZW_FUZZ_POLICY 1, 2 or 3) over any bytes: both
// succeed, the bytes come back unchanged, and the packed file is at most 1.5 x input + 5 bytes
// (4 header bytes, at most one 12-bit code per input byte, one pad byte).
#include <cstdint>
#include <cstring>
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
    return 0;
}
