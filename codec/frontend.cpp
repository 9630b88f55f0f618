// Front end of a run: files, banners, the time line, failures, in-memory runs.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "coder.h"

namespace lzw {

namespace {

int32_t clockTicks() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    // Only differences are used, so wrapping to 32 bits is harmless.
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

}  // namespace

Coder::Coder()
    : count(0),
      highShift(8),
      nibbleShift(4),
      alphabetSize(256),
      byteMask(255),
      nibbleMask(15),
      in(nullptr),
      out(nullptr),
      pendingNibble(0),
      halfPending(false),
      freezeWhenFull(true),
      startTicks(0),
      endTicks(0),
      elapsedTicks(0),
      inputPath(""),
      outputPath(""),
      failed(false),
      writeFailed(false),
      quiet(false),
      closeOnFinish(true),
      bytesRead(0),
      headerLength(0),
      remaining(0),
      inPos(0),
      inEnd(0),
      outPos(0),
      inEof(false),
      indexing(true),
      evicting(true),
      inputKnown(false),
      inputDevice(0),
      inputInode(0),
      inputSize(-1),
      childOfStale(true) {}

bool Coder::fail(const char* format, const char* path) {
    if (!failed && !quiet) {
        std::fflush(stdout);
        std::fprintf(stderr, format, path);
        std::fputc('\n', stderr);
    }
    return markFailed();
}

bool Coder::failCorrupt(const char* reason) {
    if (!failed && !quiet) {
        std::fflush(stdout);
        std::fprintf(stderr, "uszkodzony plik %s: %s\n", inputPath, reason);
    }
    return markFailed();
}

bool Coder::markFailed() {
    failed = true;
    // Ends the input at once, so every coding loop stops at its next byte.
    inEof = true;
    inPos = inEnd = 0;
    return false;
}

bool Coder::openInput(const char* path) {
    inputPath = path;
    inputKnown = false;
    inputSize = -1;
    in = std::fopen(path, "rb");
    if (in == nullptr) return fail("blad przy ladowaniu pliku %s", path);
    struct stat st;
    if (fstat(fileno(in), &st) == 0) {
        // A directory opens fine on Linux but cannot be read.
        if (S_ISDIR(st.st_mode)) {
            std::fclose(in);
            in = nullptr;
            return fail("blad przy ladowaniu pliku %s", path);
        }
        inputKnown = true;
        inputDevice = static_cast<uint64_t>(st.st_dev);
        inputInode = static_cast<uint64_t>(st.st_ino);
        // Pipes and devices report no usable size; the header is fixed at the end.
        if (S_ISREG(st.st_mode)) inputSize = st.st_size;
    }
    return true;
}

bool Coder::openOutput(const char* path) {
    outputPath = path;
    struct stat outStat;
    if (inputKnown && stat(path, &outStat) == 0 && S_ISREG(outStat.st_mode) &&
        static_cast<uint64_t>(outStat.st_dev) == inputDevice &&
        static_cast<uint64_t>(outStat.st_ino) == inputInode) {
        // Opening it for writing would truncate the input before it is read (devices such
        // as /dev/null lose nothing).
        return fail("plik wejsciowy i wyjsciowy to ten sam plik: %s", path);
    }
    out = std::fopen(path, "wb");
    if (out == nullptr) return fail("blad przy ladowaniu pliku %s", path);
    return true;
}

bool Coder::openFiles(const char* inputPath, const char* outputPath) {
    resetStreams();
    if (!openInput(inputPath) || !openOutput(outputPath)) return false;
    halfPending = false;
    return true;
}

void Coder::startTimer() {
    startTicks = clockTicks();
}

void Coder::stopTimerAndReport() {
    endTicks = clockTicks();
    elapsedTicks =
        static_cast<int32_t>(static_cast<uint32_t>(endTicks) - static_cast<uint32_t>(startTicks));
    std::printf("Czas trwania obliczen:%ld ms.\n\n", static_cast<long>(elapsedTicks));
}

void Coder::printBanner(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool Coder::closeFiles() {
    bool ok = !failed;
    if (out != nullptr) {
        if (!flushOutput()) ok = false;
        if (closeOnFinish) {
            if (std::fclose(out) != 0 && ok) ok = fail("blad przy zapisie pliku %s", outputPath);
        } else if (std::fflush(out) != 0 && ok) {
            ok = fail("blad przy zapisie pliku %s", outputPath);
        }
        out = nullptr;
    }
    if (in != nullptr) {
        if (closeOnFinish) std::fclose(in);
        in = nullptr;
    }
    return ok;
}

int Coder::runStreams(const char* mode, std::FILE* input, std::FILE* output, int64_t inputSize) {
    if (std::strlen(mode) != 2 || (mode[0] != 'c' && mode[0] != 'd') || mode[1] < '1' ||
        mode[1] > '3') {
        return 1;
    }
    resetStreams();
    in = input;
    out = output;
    inputPath = "(strumien wejsciowy)";
    outputPath = "(strumien wyjsciowy)";
    closeOnFinish = false;
    freezeWhenFull = mode[1] != '3';
    indexing = mode[0] == 'c';
    evicting = mode[1] == '2';
    resetDictionary();
    if (evicting) initRecency();
    bool ok;
    if (mode[0] == 'c') {
        headerLength = (inputSize >= 1 && inputSize <= kMaxInputSize) ? inputSize - 1 : -1;
        writeLengthHeader(static_cast<int32_t>(headerLength));
        ok = evicting ? compressEvictingLoop() : compressLoop();
    } else {
        ok = evicting ? decompressEvictingLoop() : decompressLoop();
    }
    ok = closeFiles() && ok;
    freezeWhenFull = true;
    return ok ? 0 : 1;
}

}  // namespace lzw
