// Eviction mode (c2/d2): a full dictionary gives up its least recently used leaf.
#include "coder.h"

namespace lzw {

bool Coder::compressEvictingLoop() {
    int first = readByte();
    if (first < 0) return fixHeader();
    bool ended = false;
    int32_t w = encodeInput(
        first, ended,
        [this](int32_t prefix, int32_t c) {
            addEvictingAs<true>(prefix, c);
            return true;
        },
        // Using a phrase moves nothing (see the leaf list); a checked build records it.
        [this](int32_t x) { noteUse(x); });
    return finishEncoding(w);
}

bool Coder::decompressEvictingLoop() {
    int32_t prev = startDecoding();
    if (prev < 0) return !failed;  // failed, or the file of an empty input
    CodeCursor cur = takeCursor();
    int64_t left = remaining;
    while (left > 0) {
        int32_t code = nextCode(cur);
        if (code < 0) return putCursor(cur), failCorrupt(kEndsEarly);
        if (code > count) return putCursor(cur), failCorrupt("kod spoza slownika");
        // The compressor adds each phrase before it matches on, so the decoder adds first
        // too, then writes. The add under the previous code takes the slot of nextSlot: a
        // code naming that slot is the phrase being added, the previous string plus its own
        // first byte; any other code lends its first byte to the add.
        int32_t slot = takeSlot<false>(prev);
        int32_t symbol = firstOf[code != slot ? code : prev];
        fillSlot<false>(slot, prev, symbol);
        if constexpr (kChecked) checkEviction();
        int32_t n = lengthOf[code];
        if (n >= 1 && n <= kShortString && n <= left) {
            // Lengths and short strings are exact: a victim is a leaf, so no phrase's
            // prefix is ever replaced, and a phrase that is its own parent has no length.
            copyShortString(code, n);
            notePathUse(code);
        } else {
            remaining = left;
            n = emitStringTouching(code);
            if (n == 0) return putCursor(cur), false;
        }
        left -= n;
        prev = code;
    }
    remaining = left;
    putCursor(cur);
    return !failed;
}

int Coder::compressEvicting(const char* inputPath, const char* outputPath) {
    startTimer();
    printBanner("KOMPRESJA LZW + usuwanie najrzadziej wystepujacych fraz");
    evicting = true;
    bool ok = beginCompression(inputPath, outputPath);
    if (ok) {
        initRecency();
        ok = compressEvictingLoop();
    }
    ok = closeFiles() && ok;
    if (!ok) return 1;
    if (bytesRead > 0) stopTimerAndReport();
    return 0;
}

int Coder::decompressEvicting(const char* inputPath, const char* outputPath) {
    startTimer();
    printBanner("DEKOMPRESJA LZW + usuwanie najrzadziej wystepujacych fraz");
    evicting = true;
    bool ok = beginDecompression(inputPath, outputPath);
    if (ok) {
        initRecency();
        ok = decompressEvictingLoop();
    }
    ok = closeFiles() && ok;
    if (!ok) return 1;
    stopTimerAndReport();
    return 0;
}

}  // namespace lzw
