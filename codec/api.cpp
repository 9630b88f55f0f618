// The C interface: a Coder per context, or per call without one; faults returned as negated
// values.
#include <algorithm>
#include <iterator>
#include <memory>
#include <new>

#include "coder.h"
#include "lzw.h"

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
// A failed read or write of a stream is the program's failed read or write of a file: the
// same fault, with a text of its own here, where there is no path to name.
static_assert(LZW_ERROR_READ_FAILED == errorOf(Fault::readFailed));
static_assert(LZW_ERROR_WRITE_FAILED == errorOf(Fault::writeFailed));
static_assert(LZW_ERROR_SIZE_MISMATCH == errorOf(Fault::sizeMismatch));
static_assert(LZW_ERROR_CHECKSUM == errorOf(Fault::checksum));
static_assert(LZW_ERROR_FRAME_VERSION == errorOf(Fault::frameVersion));
static_assert(LZW_ERROR_RESERVED_BITS == errorOf(Fault::reservedBits));
static_assert(LZW_ERROR_FRAME_HEADER == errorOf(Fault::frameHeader));
static_assert(LZW_ERROR_BLOCK_HEADER == errorOf(Fault::blockHeader));
static_assert(LZW_ERROR_CONTENT_SIZE == errorOf(Fault::contentSize));
static_assert(LZW_ERROR_NOT_FRAME == errorOf(Fault::notFrame));
static_assert(LZW_ERROR_SEEK_TABLE == errorOf(Fault::seekTable));
static_assert(kFaults == 1 - LZW_ERROR_SEEK_TABLE, "every fault has its value in lzw_error");
static_assert(LZW_FREEZE == static_cast<int>(Policy::freeze) &&
              LZW_EVICT == static_cast<int>(Policy::evict) &&
              LZW_RESET == static_cast<int>(Policy::reset));
// Each policy row has its value in lzw_policy, the last one included.
static_assert(LZW_RESET == kPolicyCount);

// What each value of lzw_error means, in English, as C libraries speak (the program keeps
// its own Polish lines); by fault, "" for none and null for the faults only the program meets.
constexpr const char* kEnglishTexts[kFaults] = {
    "",
    nullptr,
    nullptr,
    "input too large: a raw stream's header describes at most 2147483648 bytes",
    "the read callback failed",
    "the write callback failed",
    nullptr,
    "damaged stream: shorter than its header",
    "damaged stream: negative length in the header",
    "damaged stream: the codes end before the header's length",
    "damaged stream: the codes give more bytes than the header says",
    "damaged stream: the first code is not a single byte",
    "damaged stream: a code beyond the dictionary",
    "damaged stream: a code of an empty dictionary slot",
    "damaged stream: the phrases of a code form a loop",
    "damaged stream: data after the end",
    "output buffer too small",
    "invalid argument",
    "out of memory",
    "the input's length differs from the size given",
    "damaged frame: checksum mismatch",
    "unsupported frame: unknown version, policy or code width",
    "damaged frame: reserved bits set in the frame header",
    "damaged frame: the frame header fails its check byte",
    "damaged frame: impossible sizes in a block header",
    "damaged frame: the blocks add up to another size than the header's",
    "not an lzw frame",
    "damaged frame: a seek table fails its check or disagrees with its frame",
};
constexpr const char* kUnknownText = "unknown lzw error";

// Each value of lzw_error by its own name, so the two cannot part.
struct ErrorName {
    constexpr ErrorName(int value, const char* text) : error(value), name(text) {}
    int error;
    const char* name;
};
#define LZW_ERROR_NAME(error) ErrorName(error, #error)
constexpr ErrorName kErrorNames[] = {
    LZW_ERROR_NAME(LZW_OK),
    LZW_ERROR_NAME(LZW_ERROR_INPUT_TOO_LARGE),
    LZW_ERROR_NAME(LZW_ERROR_READ_FAILED),
    LZW_ERROR_NAME(LZW_ERROR_WRITE_FAILED),
    LZW_ERROR_NAME(LZW_ERROR_SHORTER_THAN_HEADER),
    LZW_ERROR_NAME(LZW_ERROR_NEGATIVE_LENGTH),
    LZW_ERROR_NAME(LZW_ERROR_ENDS_EARLY),
    LZW_ERROR_NAME(LZW_ERROR_LONGER_THAN_HEADER),
    LZW_ERROR_NAME(LZW_ERROR_FIRST_NOT_BYTE),
    LZW_ERROR_NAME(LZW_ERROR_BEYOND_DICTIONARY),
    LZW_ERROR_NAME(LZW_ERROR_EMPTY_SLOT),
    LZW_ERROR_NAME(LZW_ERROR_LOOP),
    LZW_ERROR_NAME(LZW_ERROR_TRAILING_DATA),
    LZW_ERROR_NAME(LZW_ERROR_OUTPUT_TOO_SMALL),
    LZW_ERROR_NAME(LZW_ERROR_BAD_ARGUMENT),
    LZW_ERROR_NAME(LZW_ERROR_NO_MEMORY),
    LZW_ERROR_NAME(LZW_ERROR_SIZE_MISMATCH),
    LZW_ERROR_NAME(LZW_ERROR_CHECKSUM),
    LZW_ERROR_NAME(LZW_ERROR_FRAME_VERSION),
    LZW_ERROR_NAME(LZW_ERROR_RESERVED_BITS),
    LZW_ERROR_NAME(LZW_ERROR_FRAME_HEADER),
    LZW_ERROR_NAME(LZW_ERROR_BLOCK_HEADER),
    LZW_ERROR_NAME(LZW_ERROR_CONTENT_SIZE),
    LZW_ERROR_NAME(LZW_ERROR_NOT_FRAME),
    LZW_ERROR_NAME(LZW_ERROR_SEEK_TABLE),
};
#undef LZW_ERROR_NAME
// All faults but the three that only the program meets (cannotOpen, sameFile, cannotSeek).
static_assert(std::size(kErrorNames) == kFaults - 3, "every value of lzw_error has its name");
constexpr const char* kUnknownName = "unknown lzw error";

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

// A stream run's callbacks, which readStream and writeStream call for the Coder.
struct StreamCalls {
    lzw_read_fn read;
    void* readUser;
    lzw_write_fn write;
    void* writeUser;
    int64_t size;  // the input's length a compressor was given; -1 in a decoder
    bool ended;    // `read` has returned 0
};

// Fills the window whole, however little each read gives: the coding loops then meet the
// callbacks once per window, and a frozen dictionary parses whole windows in lanes.
size_t readStream(Coder& coder, uint8_t* dst, size_t n) {
    auto& calls = *static_cast<StreamCalls*>(coder.io.streamCalls);
    size_t got = 0;
    while (got < n && !calls.ended) {
        long long r = calls.read(calls.readUser, dst + got, n - got);
        if (r < 0 || static_cast<unsigned long long>(r) > n - got) {
            coder.fail(Fault::readFailed, coder.config.inputPath);
            return 0;
        }
        calls.ended = r == 0;
        got += static_cast<size_t>(r);
        // Too many bytes fail as soon as they are read, too few at the end.
        int64_t total = coder.io.bytesRead + static_cast<int64_t>(got);
        if (calls.size >= 0 && (total > calls.size || (calls.ended && total < calls.size))) {
            coder.fail(Fault::sizeMismatch, coder.config.inputPath);
            return 0;
        }
    }
    return got;
}

bool writeStream(Coder& coder, const uint8_t* src, size_t n) {
    auto& calls = *static_cast<StreamCalls*>(coder.io.streamCalls);
    return calls.write(calls.writeUser, src, n) == 0 ||
           coder.fail(Fault::writeFailed, coder.config.outputPath);
}

int runStreamCall(lzw_ctx* ctx, Direction direction, lzw_policy policy, long long size,
                  lzw_read_fn read, void* readUser, lzw_write_fn write, void* writeUser) noexcept {
    Coder* coder = coderOf(ctx);
    const PolicyRow* row = findPolicy(static_cast<int>(policy));
    bool compressing = direction == Direction::compress;
    if (coder == nullptr || row == nullptr || read == nullptr || write == nullptr ||
        (compressing && size < 0)) {
        return errorOf(Fault::badArgument);
    }
    if (!compressing) size = -1;  // a decoder learns it from the header
    StreamCalls calls{read, readUser, write, writeUser, size, false};
    coder->useStreams(readStream, writeStream);
    coder->io.streamCalls = &calls;
    // A size past the limit stays past it, so beginRun refuses it before a byte is read.
    bool ok = coder->runStream(direction, row->policy, std::min<int64_t>(size, kMaxInputSize + 1));
    coder->io.streamCalls = nullptr;
    return ok ? LZW_OK : errorOf(coder->io.fault);
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

int lzw_compress_stream(lzw_ctx* ctx, lzw_policy policy, long long size, lzw_read_fn read,
                        void* read_user, lzw_write_fn write, void* write_user) {
    return lzw::runStreamCall(ctx, lzw::Direction::compress, policy, size, read, read_user, write,
                              write_user);
}

int lzw_decompress_stream(lzw_ctx* ctx, lzw_policy policy, lzw_read_fn read, void* read_user,
                          lzw_write_fn write, void* write_user) {
    return lzw::runStreamCall(ctx, lzw::Direction::decompress, policy, -1, read, read_user, write,
                              write_user);
}

const char* lzw_error_text(int error) {
    if (error > 0 || error <= -lzw::kFaults) return lzw::kUnknownText;
    const char* text = lzw::kEnglishTexts[-error];
    return text != nullptr ? text : lzw::kUnknownText;
}

const char* lzw_error_name(int error) {
    for (const auto& row : lzw::kErrorNames) {
        if (row.error == error) return row.name;
    }
    return lzw::kUnknownName;
}

}  // extern "C"
