// Decoder of one mode (LZW_FUZZ_POLICY 1, 2 or 3) over any bytes, through the C interface: it
// must return success or one of its errors, and a run that succeeds must have written exactly
// the length its header gives, which lzw_decoded_size reads alike.
#include <algorithm>
#include <cstdint>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t written = 0;
    int error = lzw_decompress(kPolicy, data, size, output, kOutputCap, &written);
    const auto length = static_cast<int64_t>(written);

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
    if (size < lzw::kHeaderSize) {
        // No whole header: nothing can be restored.
        if (ok || written != 0 || lzw_decoded_size(data, size) != -1) __builtin_trap();
        return 0;
    }
    int32_t header = lzw::loadHeader(data);
    int64_t promised = int64_t{header} + 1;
    if (lzw_decoded_size(data, size) != (header < -1 ? -1 : promised)) __builtin_trap();
    // Never more than the header promises, whatever the codes say.
    if (length > std::max<int64_t>(promised, 0)) __builtin_trap();
    if (ok && length != promised) __builtin_trap();
    return 0;
}
