// Decoder of one mode (LZW_FUZZ_POLICY 1, 2 or 3) over any bytes, through the C interface: it
// must return success or one of its errors, and a run that succeeds must have written exactly
// the length its header gives, which lzw_decoded_size reads alike.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "coder.h"
#include "lzw.h"

namespace {

constexpr auto kPolicy = static_cast<lzw_policy>(LZW_FUZZ_POLICY);

// A few bytes can claim gigabytes and a string of 4096 bytes per code; the refused write
// stops such a run early, so one input never stalls the fuzzer. The cap still lets through
// the 7.4 MB that a 6 KB stream of one repeated byte decodes to: only such long chains of
// phrases reach a full dictionary whose one leaf is the phrase being extended.
constexpr size_t kOutputCap = size_t{16} << 20;
uint8_t output[kOutputCap];

// The C interface allocates a Coder per call (over-aligned, so through the operators below).
// Here it gets one block allocated once and filled with the same pattern every time, as
// lzw::fuzz::freshCoder() does: a new heap block per input costs the sanitizer runtime far more
// than the coding, and a field the coder forgets to set holds the same odd value on every input
// instead of whatever an earlier block left there.
alignas(lzw::Coder) unsigned char coderBlock[sizeof(lzw::Coder)];
bool coderBlockTaken = false;
bool coderBlockUsed = false;

}  // namespace

void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    if (size == sizeof coderBlock && !coderBlockTaken) {
        coderBlockTaken = coderBlockUsed = true;
        std::memset(coderBlock, 0xA5, sizeof coderBlock);
        return coderBlock;
    }
    auto a = static_cast<std::size_t>(align);
    return std::aligned_alloc(a, (size + a - 1) / a * a);
}
void* operator new(std::size_t size, std::align_val_t align) {
    void* p = operator new(size, align, std::nothrow);
    if (p == nullptr) __builtin_trap();
    return p;
}
void operator delete(void* p, std::align_val_t) noexcept {
    if (p == coderBlock) {
        coderBlockTaken = false;
    } else {
        std::free(p);
    }
}
void operator delete(void* p, std::size_t, std::align_val_t align) noexcept {
    operator delete(p, align);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t written = 0;
    coderBlockUsed = false;
    int error = lzw_decompress(kPolicy, data, size, output, kOutputCap, &written);
    const auto length = static_cast<int64_t>(written);
    // One Coder per call, given back before the call returns.
    if (!coderBlockUsed || coderBlockTaken) __builtin_trap();

    if (error > 0 || lzw::faultText(static_cast<lzw::Fault>(-error)) == nullptr ||
        written > kOutputCap) {
        __builtin_trap();
    }
    // Damage, or a stream that decodes to more than the cap: never a bad argument.
    bool ok = error == LZW_OK;
    if (!ok && !lzw::isDamage(static_cast<lzw::Fault>(-error)) &&
        error != LZW_ERROR_OUTPUT_TOO_SMALL) {
        __builtin_trap();
    }
    if (size < 4) {
        // No whole header: nothing can be restored.
        if (ok || written != 0 || lzw_decoded_size(data, size) != -1) __builtin_trap();
        return 0;
    }
    int32_t header = static_cast<int32_t>(uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 |
                                          uint32_t{data[2]} << 8 | uint32_t{data[3]});
    int64_t promised = int64_t{header} + 1;
    if (lzw_decoded_size(data, size) != (header < -1 ? -1 : promised)) __builtin_trap();
    // Never more than the header promises, whatever the codes say.
    if (length > std::max<int64_t>(promised, 0)) __builtin_trap();
    if (ok && length != promised) __builtin_trap();
    return 0;
}
