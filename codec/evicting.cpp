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
        [this](int32_t x) { touchPhrase(x); });  // a child is a listed phrase
    return finishEncoding(w);
}

bool Coder::decompressEvictingLoop() {
    int32_t prev = startDecoding();
    if (prev < 0) return endOfStream();  // failed, or the file of an empty input
    int32_t prevFirst = stringBuf[0];    // first byte of the previous string
    CodeCursor cur = takeCursor();
    while (remaining > 0) {
        int32_t code = nextCode(cur);
        if (code < 0) return putCursor(cur), failCorrupt(kEndsEarly);
        if (count < kTableSize && code > count) {
            return putCursor(cur), failCorrupt("kod spoza slownika");
        }
        // A single byte, most codes of data that hardly repeats: always known, its own
        // first byte, and never listed, so there is nothing to touch.
        if (code < alphabetSize) {
            if (addEvictingAs<false>(prev, code) == NIL) return putCursor(cur), false;
            writeByte(static_cast<uint8_t>(code));
            prevFirst = code;
            remaining -= 1;
            prev = code;
            continue;
        }
        // The compressor adds each phrase before it touches the path of the next code, so
        // the decoder does the same: add first, then write and touch. A known code only
        // lends its first byte to the add.
        int32_t firstByte = prevFirst;
        if (isKnown(code)) {
            // Short strings keep their first byte at hand; a damaged chain behind it is
            // caught when the string is written.
            int32_t n0 = lengthOf[code];
            firstByte = n0 >= 1 && n0 <= kShortString ? shortString[code][0] : firstByteOf(code);
            if (firstByte < 0) return putCursor(cur), false;
        }
        if (addEvictingAs<false>(prev, firstByte) == NIL) return putCursor(cur), false;
        // emitStringTouching by a copy of a whole short string: the walk up only collects
        // the phrases to touch. A walk that does not reach a single byte (a damaged
        // stream) is left to emitStringTouching, which reports it.
        int32_t n = lengthOf[code];
        int32_t path[kShortString];
        bool whole = false;
        if (n >= 1 && n <= kShortString && n <= remaining) {
            int32_t c = code;
            for (int32_t i = 0; i < n - 1; ++i) {
                path[i] = c;
                c = parentOf[c];
            }
            whole = c < alphabetSize;
        }
        if (whole) {
            copyShortString(code, n);
            // Every code on a sound path but the root is a listed phrase.
            for (int32_t i = n - 2; i >= 0; --i) touchPhrase(path[i]);
            prevFirst = shortString[code][0];
        } else {
            n = emitStringTouching(code);
            if (n == 0) return putCursor(cur), false;
            prevFirst = stringBuf[n - 1];
        }
        remaining -= n;
        prev = code;
    }
    putCursor(cur);
    return endOfStream();
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
    releaseOutput(!ok);
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
    releaseOutput(false);
    if (!ok) return 1;
    stopTimerAndReport();
    return 0;
}

}  // namespace lzw
