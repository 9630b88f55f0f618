// The reader over any bytes as a file: its seek tables found from the end or its block
// headers walked, then the whole content read in pieces and ranges drawn from the input read
// again. Whatever it gives must be what the one-shot decoder gives for the same bytes, and
// every range the same bytes as the whole: a damaged or forged table may cost a fallback or
// an error, never other bytes. Every read stays inside the file.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "lzw.h"
#include "messages.h"

namespace {

// A block may claim up to 4096 bytes a code: reads stop at this much content.
constexpr size_t kOutputCap = size_t{1} << 20;
uint8_t once[kOutputCap];

struct File {
    const uint8_t* data;
    size_t size;
};

long long readAt(void* user, void* buf, size_t size, unsigned long long offset) {
    const auto& f = *static_cast<File*>(user);
    if (offset > f.size || size > f.size - offset) __builtin_trap();  // reads inside the file
    std::memcpy(buf, f.data + offset, size);
    return static_cast<long long>(size);
}

bool acceptable(int error) {
    return error == LZW_OK || lzw::isDamage(static_cast<lzw::Fault>(-error));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static lzw_reader* reader = lzw_reader_create();
    static lzw_ctx* ctx = lzw_ctx_create();
    if (reader == nullptr || ctx == nullptr) __builtin_trap();
    File file{data, size};
    int opened = lzw_reader_open(reader, readAt, &file, size);
    if (!acceptable(opened)) __builtin_trap();
    if (opened != LZW_OK) return 0;
    lzw_reader_info info;
    if (lzw_reader_describe(reader, &info) != LZW_OK) __builtin_trap();

    // The content from the start, in pieces of sizes drawn from the input.
    std::minstd_rand random(static_cast<uint32_t>(size * 2654435761u) ^ (size > 0 ? data[0] : 0u));
    static std::vector<uint8_t> whole;
    whole.clear();
    int status = LZW_OK;
    while (whole.size() < kOutputCap) {
        size_t want = std::min<size_t>(1 + random() % 5000, kOutputCap - whole.size());
        size_t at = whole.size(), got = 0;
        whole.resize(at + want);
        status = lzw_reader_read(reader, at, whole.data() + at, want, &got);
        whole.resize(at + got);
        if (got > want || !acceptable(status)) __builtin_trap();
        if (status != LZW_OK || got < want) break;
    }
    // A table found wrong on the way is dropped for the block headers: what they say counts.
    if (lzw_reader_describe(reader, &info) != LZW_OK) __builtin_trap();
    if (status == LZW_OK && whole.size() < kOutputCap && whole.size() != info.content_size) {
        __builtin_trap();
    }
    // What the decoders give for the same bytes: the blocks both decoded are the same bytes.
    size_t written = 0;
    lzw_frame_decompress(ctx, data, size, once, kOutputCap, &written);
    size_t common = std::min(written, whole.size());
    if (common > 0 && std::memcmp(once, whole.data(), common) != 0) __builtin_trap();

    // Ranges anywhere, past the end too, against the whole.
    for (int i = 0; i < 8 && !whole.empty(); ++i) {
        size_t at = random() % (whole.size() + 16), want = random() % 3000, got = 0;
        static uint8_t range[3000];
        int r = lzw_reader_read(reader, at, range, want, &got);
        if (!acceptable(r) || got > want) __builtin_trap();
        size_t known = at < whole.size() ? std::min(got, whole.size() - at) : 0;
        if (known > 0 && std::memcmp(range, whole.data() + at, known) != 0) __builtin_trap();
    }
    return 0;
}
