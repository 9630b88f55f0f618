// The phrase dictionary and the freeze (c1/d1) and reset (c3/d3) modes.
#include <sys/stat.h>
#include <unistd.h>

#include "coder.h"

namespace lzw {

namespace {
const char kEndsEarly[] = "strumien konczy sie przed koncem danych";
}

void Coder::resetDictionary() {
    for (int32_t j = 0; j < alphabetSize; ++j) dict[j] = DictEntry{NIL, NIL, NIL, j};
    for (int32_t j = alphabetSize; j < kTableSize; ++j) dict[j] = DictEntry{NIL, NIL, NIL, NIL};
    count = alphabetSize;
}

int32_t Coder::findChild(int32_t prefix, int32_t symbol) {
    int32_t c = dict[prefix].firstChild;
    while (c != NIL && dict[c].symbol != symbol) c = dict[c].nextSibling;
    return c;
}

int32_t Coder::addPhrase(int32_t prefix, int32_t symbol) {
    int32_t code;
    if (count < kTableSize) {
        code = count++;
    } else if (freezeWhenFull) {
        return NIL;
    } else {
        resetDictionary();
        code = count++;
    }
    dict[code].symbol = symbol;
    dict[code].parent = prefix;
    dict[code].nextSibling = dict[prefix].firstChild;
    dict[prefix].firstChild = code;
    dict[code].firstChild = NIL;
    return code;
}

int32_t Coder::collectString(int32_t code, bool path) {
    int32_t n = 0;
    for (int32_t c = code; c != NIL; c = dict[c].parent) {
        // A damaged stream can link slots in a cycle or through a slot never filled.
        if (n == kTableSize) return failCorrupt("lancuch fraz tworzy petle"), 0;
        if (static_cast<uint32_t>(c) >= static_cast<uint32_t>(kTableSize) ||
            dict[c].symbol == NIL) {
            return failCorrupt("kod pustej pozycji slownika"), 0;
        }
        stringBuf[n] = static_cast<uint8_t>(dict[c].symbol & byteMask);
        if (path) pathScratch[n] = c;
        ++n;
    }
    return n;
}

int32_t Coder::firstByteOf(int32_t code) {
    int32_t c = code;
    for (int32_t steps = 0; steps < kTableSize; ++steps) {
        if (static_cast<uint32_t>(c) >= static_cast<uint32_t>(kTableSize) ||
            dict[c].symbol == NIL) {
            return failCorrupt("kod pustej pozycji slownika"), -1;
        }
        if (dict[c].parent == NIL) return dict[c].symbol & byteMask;
        c = dict[c].parent;
    }
    return failCorrupt("lancuch fraz tworzy petle"), -1;
}

int32_t Coder::emitString(int32_t code) {
    int32_t n = collectString(code, false);
    if (n == 0) return 0;
    if (n > remaining) return failCorrupt("dane dluzsze niz podaje naglowek"), 0;
    for (int32_t i = n - 1; i >= 0; --i) writeByte(stringBuf[i]);
    return n;
}

bool Coder::beginCompression(const char* inputPath, const char* outputPath) {
    resetDictionary();
    resetStreams();
    indexing = true;
    if (!openInput(inputPath)) return false;
    if (inputSize > kMaxInputSize) {
        // Refused before the output exists, so nothing is left behind.
        return fail("plik %s jest za duzy: naglowek opisuje najwyzej 2147483648 bajtow", inputPath);
    }
    if (!openOutput(outputPath)) return false;
    halfPending = false;
    // An unknown size (pipe, device) is written as empty and fixed at the end.
    headerLength = inputSize < 0 ? -1 : inputSize - 1;
    writeLengthHeader(static_cast<int32_t>(headerLength));
    return true;
}

bool Coder::beginDecompression(const char* inputPath, const char* outputPath) {
    resetDictionary();
    return openFiles(inputPath, outputPath);
}

bool Coder::fixHeader() {
    if (failed) return false;
    if (bytesRead > kMaxInputSize) {
        if (closeOnFinish && out != nullptr) {
            struct stat st;
            bool regular = fstat(fileno(out), &st) == 0 && S_ISREG(st.st_mode);
            std::fclose(out);
            out = nullptr;
            outPos = 0;
            if (regular) unlink(outputPath);
        }
        return fail("plik %s jest za duzy: naglowek opisuje najwyzej 2147483648 bajtow", inputPath);
    }
    int64_t actual = bytesRead - 1;
    if (actual == headerLength) return true;
    // The input was a pipe or changed size while read: rewrite the header in place.
    if (!flushOutput()) return false;
    if (std::fflush(out) != 0) return fail("blad przy zapisie pliku %s", outputPath);
    if (std::fseek(out, 0, SEEK_SET) != 0) {
        return fail("nie mozna poprawic naglowka pliku %s: wyjscia nie da sie przewinac",
                    outputPath);
    }
    uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(actual));
    uint8_t header[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                         static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    if (std::fwrite(header, 1, 4, out) != 4 || std::fseek(out, 0, SEEK_END) != 0) {
        return fail("blad przy zapisie pliku %s", outputPath);
    }
    headerLength = actual;
    return true;
}

bool Coder::compressLoop() {
    int first = readByte();
    if (first < 0) return fixHeader();
    int32_t w = first;
    for (int c; (c = readByte()) >= 0;) {
        int32_t x = findChild(w, c);
        if (x == NIL) {
            writeCode(w);
            addPhrase(w, c);
            w = c;
        } else {
            w = x;
        }
    }
    if (failed) return false;
    writeCode(w);
    flushCode();
    return fixHeader();
}

bool Coder::decompressLoop() {
    int32_t length = readLength();
    if (failed) return false;
    if (length < -1) return failCorrupt("ujemna dlugosc w naglowku");
    if (length == -1) return true;  // the file of an empty input
    remaining = length;
    int32_t prev = readCode();
    if (prev < 0) return failCorrupt(kEndsEarly);
    if (prev >= alphabetSize) return failCorrupt("pierwszy kod nie jest pojedynczym bajtem");
    stringBuf[0] = static_cast<uint8_t>(dict[prev].symbol & byteMask);
    writeByte(stringBuf[0]);
    int32_t n = 1;
    while (remaining > 0) {
        int32_t code = readCode();
        if (code < 0) return failCorrupt(kEndsEarly);
        // The slot the next add fills. A full frozen dictionary adds nothing, so every code
        // is known; in reset mode that add clears a full dictionary first, so only single
        // bytes stay known and 256 is the phrase the add itself creates.
        int32_t next = count < kTableSize ? count : (freezeWhenFull ? kTableSize : alphabetSize);
        if (code < next) {
            n = emitString(code);
            if (n == 0) return false;
            addPhrase(prev, stringBuf[n - 1]);
        } else if (code == next) {
            addPhrase(prev, stringBuf[n - 1]);
            n = emitString(code);
            if (n == 0) return false;
        } else {
            return failCorrupt("kod spoza slownika");
        }
        remaining -= n;
        prev = code;
    }
    return !failed;
}

int Coder::compress(const char* inputPath, const char* outputPath) {
    if (freezeWhenFull) {
        printBanner("KOMPRESJA LZW");
        startTimer();
    } else {
        printBanner("KOMPRESJA LZW + czyszczenie slownika po jego zapelnieniu");
    }
    bool ok = beginCompression(inputPath, outputPath) && compressLoop();
    ok = closeFiles() && ok;
    if (!ok) return 1;
    // An empty input leaves out the time line here (c3's wrapper still prints it).
    if (freezeWhenFull && bytesRead > 0) stopTimerAndReport();
    freezeWhenFull = true;
    return 0;
}

int Coder::decompress(const char* inputPath, const char* outputPath) {
    if (freezeWhenFull) {
        printBanner("DEKOMPRESJA LZW");
        startTimer();
    } else {
        printBanner("DEKOMPRESJA LZW + czyszczenie slownika po jego zapelnieniu");
    }
    bool ok = beginDecompression(inputPath, outputPath) && decompressLoop();
    ok = closeFiles() && ok;
    if (!ok) return 1;
    if (freezeWhenFull) stopTimerAndReport();
    freezeWhenFull = true;
    return 0;
}

int Coder::compressResetting(const char* inputPath, const char* outputPath) {
    startTimer();
    freezeWhenFull = false;
    int status = compress(inputPath, outputPath);
    if (status == 0) stopTimerAndReport();
    freezeWhenFull = true;
    return status;
}

int Coder::decompressResetting(const char* inputPath, const char* outputPath) {
    startTimer();
    freezeWhenFull = false;
    int status = decompress(inputPath, outputPath);
    if (status == 0) stopTimerAndReport();
    freezeWhenFull = true;
    return status;
}

}  // namespace lzw
