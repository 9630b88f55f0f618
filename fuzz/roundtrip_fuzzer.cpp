// Compressor and decoder of one mode pair (LZW_FUZZ_POLICY 1, 2 or 3) over any bytes: both
// succeed, the bytes come back unchanged, and the packed file is at most 1.5 x input + 5 bytes
// (4 header bytes, at most one 12-bit code per input byte, one pad byte).
#include <cstdint>
#include <cstring>

#include "coder.h"
#include "harness.h"

namespace {

constexpr char kCompress[] = {'c', static_cast<char>('0' + LZW_FUZZ_POLICY), '\0'};
constexpr char kDecompress[] = {'d', static_cast<char>('0' + LZW_FUZZ_POLICY), '\0'};
constexpr size_t kUnbounded = SIZE_MAX;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One Coder for both directions: a second run must not inherit anything from the first.
    lzw::Coder& coder = lzw::fuzz::freshCoder();

    lzw::fuzz::Sink packed(kUnbounded);
    {
        lzw::fuzz::Source source(data, size);
        int status =
            coder.runStreams(kCompress, source.file(), packed.file(), static_cast<int64_t>(size));
        if (status != 0) __builtin_trap();
    }
    const std::vector<uint8_t>& compressed = packed.bytes();
    if (2 * compressed.size() > 3 * size + 10) __builtin_trap();

    // The decoder may not write a byte more than the original.
    lzw::fuzz::Sink restored(size);
    lzw::fuzz::Source source(compressed.data(), compressed.size());
    int status = coder.runStreams(kDecompress, source.file(), restored.file(),
                                  static_cast<int64_t>(compressed.size()));
    if (status != 0) __builtin_trap();
    const std::vector<uint8_t>& back = restored.bytes();
    if (back.size() != size || (size > 0 && std::memcmp(back.data(), data, size) != 0)) {
        __builtin_trap();
    }
    return 0;
}
