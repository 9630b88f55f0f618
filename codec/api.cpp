// The C interface: a Coder per context, or per call without one; faults returned as negated
// values.
#include <memory>
#include <new>

#include "coder.h"
#include "lzw.h"

#ifndef LZW_VERSION
#error "LZW_VERSION must name the project version"
#endif

namespace lzw {
namespace {

constexpr int errorOf(Fault fault) {
    return -static_cast<int>(fault);
}

static_assert(LZW_OK == errorOf(Fault::none));
static_assert(LZW_ERROR_INPUT_TOO_LARGE == errorOf(Fault::tooLarge));
static_assert(LZW_ERROR_SHORTER_THAN_HEADER == errorOf(Fault::shorterThanHeader));
static_assert(LZW_ERROR_NEGATIVE_LENGTH == errorOf(Fault::negativeLength));
static_assert(LZW_ERROR_ENDS_EARLY == errorOf(Fault::endsEarly));
static_assert(LZW_ERROR_LONGER_THAN_HEADER == errorOf(Fault::longerThanHeader));
static_assert(LZW_ERROR_FIRST_NOT_BYTE == errorOf(Fault::firstNotByte));
static_assert(LZW_ERROR_BEYOND_DICTIONARY == errorOf(Fault::beyondDictionary));
static_assert(LZW_ERROR_EMPTY_SLOT == errorOf(Fault::emptySlot));
static_assert(LZW_ERROR_LOOP == errorOf(Fault::loop));
static_assert(LZW_ERROR_TRAILING_DATA == errorOf(Fault::trailingData));
static_assert(LZW_ERROR_OUTPUT_TOO_SMALL == errorOf(Fault::outputTooSmall));
static_assert(LZW_ERROR_BAD_ARGUMENT == errorOf(Fault::badArgument));
static_assert(LZW_ERROR_NO_MEMORY == errorOf(Fault::noMemory));
static_assert(LZW_FREEZE == static_cast<int>(Policy::freeze) &&
              LZW_EVICT == static_cast<int>(Policy::evict) &&
              LZW_RESET == static_cast<int>(Policy::reset));
// Each policy row has its value in lzw_policy, the last one included.
static_assert(LZW_RESET == kPolicyCount);

// The program's text names the file; a caller of the library has no file to name.
constexpr const char* kTooLargeText =
    "dane wejsciowe sa za duze: naglowek opisuje najwyzej 2147483648 bajtow";
constexpr const char* kUnknownText = "nieznany kod bledu";

// A context is the Coder itself: the C type is only ever a pointer to one.
Coder* coderOf(lzw_ctx* ctx) {
    return reinterpret_cast<Coder*>(ctx);
}

int runCall(Coder* coder, Direction direction, lzw_policy policy, const void* src, size_t size,
            void* dst, size_t capacity, size_t* written) noexcept {
    if (written == nullptr) return errorOf(Fault::badArgument);
    *written = 0;
    // The enum comes from C, where any int converts to it.
    const PolicyRow* row = findPolicy(static_cast<int>(policy));
    if (coder == nullptr || row == nullptr || (src == nullptr && size != 0) ||
        (dst == nullptr && capacity != 0)) {
        return errorOf(Fault::badArgument);
    }
    Fault fault = coder->runMemory(direction, row->policy, static_cast<const uint8_t*>(src), size,
                                   static_cast<uint8_t*>(dst), capacity, written);
    return errorOf(fault);
}

// A call without a context makes one for itself.
int runOnce(Direction direction, lzw_policy policy, const void* src, size_t size, void* dst,
            size_t capacity, size_t* written) noexcept {
    // Heap, not stack: a Coder is megabytes.
    std::unique_ptr<Coder, void (*)(Coder*)> coder(Coder::create(), Coder::release);
    if (!coder) {
        if (written != nullptr) *written = 0;
        return errorOf(Fault::noMemory);
    }
    return runCall(coder.get(), direction, policy, src, size, dst, capacity, written);
}

}  // namespace
}  // namespace lzw

extern "C" {

size_t lzw_compress_bound(size_t size) {
    if (size > static_cast<uint64_t>(lzw::kMaxInputSize)) return 0;
    return lzw::compressedBound(size);
}

int lzw_compress(lzw_policy policy, const void* src, size_t size, void* dst, size_t capacity,
                 size_t* written) {
    return lzw::runOnce(lzw::Direction::compress, policy, src, size, dst, capacity, written);
}

long long lzw_decoded_size(const void* src, size_t size) {
    if (src == nullptr || size < lzw::kHeaderSize) return -1;
    int32_t header = lzw::loadHeader(static_cast<const uint8_t*>(src));
    return header < -1 ? -1 : static_cast<long long>(header) + 1;
}

int lzw_decompress(lzw_policy policy, const void* src, size_t size, void* dst, size_t capacity,
                   size_t* written) {
    return lzw::runOnce(lzw::Direction::decompress, policy, src, size, dst, capacity, written);
}

lzw_ctx* lzw_ctx_create(void) {
    return reinterpret_cast<lzw_ctx*>(lzw::Coder::create());
}

void lzw_ctx_free(lzw_ctx* ctx) {
    if (ctx != nullptr) lzw::Coder::release(lzw::coderOf(ctx));
}

int lzw_ctx_compress(lzw_ctx* ctx, lzw_policy policy, const void* src, size_t size, void* dst,
                     size_t capacity, size_t* written) {
    return lzw::runCall(lzw::coderOf(ctx), lzw::Direction::compress, policy, src, size, dst,
                        capacity, written);
}

int lzw_ctx_decompress(lzw_ctx* ctx, lzw_policy policy, const void* src, size_t size, void* dst,
                       size_t capacity, size_t* written) {
    return lzw::runCall(lzw::coderOf(ctx), lzw::Direction::decompress, policy, src, size, dst,
                        capacity, written);
}

const char* lzw_error_text(int error) {
    if (error > 0 || error <= -lzw::kFaults) return lzw::kUnknownText;
    auto fault = static_cast<lzw::Fault>(-error);
    if (fault == lzw::Fault::tooLarge) return lzw::kTooLargeText;
    // The other faults of files never come from a run in memory, and their texts want a path.
    if (fault < lzw::Fault::shorterThanHeader && fault != lzw::Fault::none) {
        return lzw::kUnknownText;
    }
    const char* text = lzw::faultText(fault);
    return text != nullptr ? text : lzw::kUnknownText;
}

const char* lzw_version(void) {
    return LZW_VERSION;
}

}  // extern "C"
