// The program's framed runs, and the raw decompression that starts from the bytes read to
// tell a frame from a raw stream.
#include "framed.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame.h"

namespace lzw::app {
namespace {

// Enough to hold a frame's header, so that a frame's policy is known before it is decoded.
constexpr size_t kPeekSize = frame::kFrameHeaderSize;

// The front end's input and output, as a frame run's callbacks. The bytes read are counted
// here: the Coder's own count starts again with each block.
struct Files {
    Coder& coder;
    int64_t bytesRead = 0;
};

long long readInput(void* user, void* buf, size_t capacity) {
    Files& files = *static_cast<Files*>(user);
    Coder& coder = files.coder;
    size_t got = std::fread(buf, 1, capacity, coder.in);
    if (got == 0 && std::ferror(coder.in)) return -1;
    files.bytesRead += static_cast<int64_t>(got);
    if (got > 0 && coder.front.watcher != nullptr) {
        coder.front.watcher->refilled(coder.front.watcher->context, files.bytesRead,
                                      coder.front.inputSize);
    }
    return static_cast<long long>(got);
}

int writeOutput(void* user, const void* buf, size_t size) {
    Coder& coder = static_cast<Files*>(user)->coder;
    if (coder.out == nullptr) return 0;  // -t: checked, then dropped
    return std::fwrite(buf, 1, size, coder.out) == size ? 0 : -1;
}

// Reads up to `size` bytes of the input, fewer only at its end. -1 after a read error.
long long peekInput(Files& files, uint8_t* dst, size_t size) {
    size_t got = 0;
    while (got < size) {
        long long r = readInput(&files, dst + got, size - got);
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<long long>(got);
}

// The block a damaged frame failed in goes into the line's file part: "uszkodzony plik
// NAME: blok 3 (bajt 2097201): suma kontrolna sie nie zgadza".
char faultPlace[4096 + 64];

bool inBlock(Fault fault) {
    return fault != Fault::frameHeader && fault != Fault::frameVersion &&
           fault != Fault::reservedBits && fault != Fault::notFrame &&
           fault != Fault::trailingData && fault != Fault::readFailed &&
           fault != Fault::writeFailed && fault != Fault::noMemory;
}

// Records a frame run's fault on the front end's Coder, which prints it.
void recordFault(Coder& coder, Fault fault, const frame::StreamReport& report, bool decoding) {
    if (fault == Fault::writeFailed) {
        coder.fail(fault, coder.config.outputPath);
    } else if (decoding && report.trailer) {
        std::snprintf(faultPlace, sizeof faultPlace, "%s: koniec ramki (bajt %" PRId64 ")",
                      coder.config.inputPath, report.blockOffset);
        coder.fail(fault, faultPlace);
    } else if (decoding && report.blocks > 0 && inBlock(fault)) {
        std::snprintf(faultPlace, sizeof faultPlace, "%s: blok %" PRId64 " (bajt %" PRId64 ")",
                      coder.config.inputPath, report.blocks, report.blockOffset);
        coder.fail(fault, faultPlace);
    } else {
        coder.fail(fault, coder.config.inputPath);
    }
}

// The end of every run: files closed, a failed compression's output removed, the line of
// the fault or the time line. Returns the exit status.
int finish(Coder& coder, bool ok, bool compressing, bool timeLine) {
    ok = coder.closeFiles() && ok;
    coder.releaseOutput(!ok && compressing);
    if (!ok) {
        if (coder.io.failed) coder.reportFault();
        return 1;
    }
    if (timeLine) coder.stopTimerAndReport();
    return 0;
}

frame::Params paramsOf(Policy policy, const FrameOptions& opts) {
    frame::Params params;
    params.policy = policy;
    if (opts.blockSize != 0) params.blockSize = opts.blockSize;
    params.threads = opts.threads;
    // No content size: the input may be a pipe or may grow while it is read, and a frame's
    // header is never rewritten. A listing adds up the blocks instead.
    return params;
}

// The blocks are coded on the front end's own Coder: a second one would fault in its own
// pages. Each block's run resets the Coder's streams and names, which the front end needs
// only once the frames are done, for the fault's line: they are put back then.
class BlockRuns {
  public:
    explicit BlockRuns(Coder& coder)
        : coder_(coder), input_(coder.config.inputPath), output_(coder.config.outputPath) {}
    ~BlockRuns() {
        coder_.resetStreams();
        coder_.config.inputPath = input_;
        coder_.config.outputPath = output_;
    }

  private:
    Coder& coder_;
    const char* input_;
    const char* output_;
};

// A frame of the open input to the open output.
bool compressFramed(Coder& coder, Policy policy, const FrameOptions& opts) {
    frame::StreamReport report;
    Fault fault;
    {
        BlockRuns runs(coder);
        Files files{coder};
        fault = frame::compressStream(coder, paramsOf(policy, opts), {readInput, &files},
                                      {writeOutput, &files}, &report);
    }
    coder.io.bytesRead = report.bytesIn;
    if (fault == Fault::none) return true;
    recordFault(coder, fault, report, false);
    return false;
}

// The frames of the open input, whose first `size` bytes are at `peeked`, to the open output
// (none: only checked).
bool decompressFramed(Coder& coder, const uint8_t* peeked, size_t size, int threads) {
    frame::StreamReport report;
    Fault fault;
    {
        BlockRuns runs(coder);
        Files files{coder, static_cast<int64_t>(size)};
        fault = frame::decompressStream(coder, {readInput, &files}, {writeOutput, &files}, peeked,
                                        size, &report, threads);
    }
    if (fault == Fault::none) return true;
    recordFault(coder, fault, report, true);
    return false;
}

// A raw stream whose first `size` bytes were read already: they are handed to the decoder
// as the start of its input buffer.
bool decompressRaw(Coder& coder, Policy policy, const uint8_t* peeked, size_t size) {
    std::memcpy(coder.io.inBuf, peeked, size);
    coder.io.inPos = 0;
    coder.io.inEnd = static_cast<int32_t>(size);
    coder.io.bytesRead = static_cast<int64_t>(size);
    return coder.runStream(Direction::decompress, policy, -1);
}

// Opens the input and reads its first bytes. False after fail().
bool openAndPeek(Coder& coder, const char* inputPath, uint8_t* peeked, size_t* size) {
    coder.resetStreams();
    coder.io.readInput = Coder::readFile;
    coder.io.writeOutput = Coder::writeFile;
    coder.io.rewriteHeader = nullptr;
    if (!coder.openInput(inputPath)) return false;
    Files files{coder};
    long long got = peekInput(files, peeked, kPeekSize);
    if (got < 0) return coder.fail(Fault::readFailed, inputPath);
    *size = static_cast<size_t>(got);
    return true;
}

bool isFrame(const uint8_t* peeked, size_t size) {
    return size >= 4 && frame::isFrameMagic(peeked);
}

}  // namespace

bool parseBlockSize(const char* text, uint32_t& size) {
    char* end = nullptr;
    if (*text < '0' || *text > '9') return false;
    unsigned long long value = std::strtoull(text, &end, 10);
    unsigned shift = 0;
    if (*end == 'K' || *end == 'k') {
        shift = 10;
    } else if (*end == 'M' || *end == 'm') {
        shift = 20;
    } else if (*end == 'G' || *end == 'g') {
        shift = 30;
    }
    if (shift != 0) ++end;
    if (*end == 'i' && shift != 0) ++end;  // "4Mi"
    if (*end == 'B' && shift != 0) ++end;  // "4MB", "4MiB": binary units all the same
    if (*end != '\0' || value > (uint64_t{LZW_FRAME_BLOCK_MAX} >> shift)) return false;
    value <<= shift;
    if (value < LZW_FRAME_BLOCK_MIN) return false;
    size = static_cast<uint32_t>(value);
    return true;
}

bool parseThreads(const char* text, int& threads) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value > static_cast<unsigned long>(frame::kMaxThreads)) return false;
    threads = static_cast<int>(value);
    return true;
}

int runMode(Coder& coder, Direction direction, Policy policy, const char* inputPath,
            const char* outputPath, const FrameOptions& opts) {
    bool compressing = direction == Direction::compress;
    if (compressing && !opts.frame) return coder.runFile(direction, policy, inputPath, outputPath);
    const PolicyRow& row = policyRow(policy);
    if (row.timerBeforeBanner) coder.startTimer();
    coder.printBanner(compressing ? row.compressBanner : row.decompressBanner);
    if (!row.timerBeforeBanner) coder.startTimer();
    if (compressing) {
        coder.resetStreams();
        // Never spooled and never refused for its size: a frame needs no size up front.
        bool ok = coder.openInput(inputPath) && coder.openOutput(outputPath) &&
                  compressFramed(coder, policy, opts);
        return finish(coder, ok, true, coder.io.bytesRead > 0 || row.timeLineAfterEmptyCompression);
    }
    uint8_t peeked[kPeekSize];
    size_t size = 0;
    bool ok = openAndPeek(coder, inputPath, peeked, &size) && coder.openOutput(outputPath);
    if (ok) {
        ok = isFrame(peeked, size) ? decompressFramed(coder, peeked, size, opts.threads)
                                   : decompressRaw(coder, policy, peeked, size);
    }
    return finish(coder, ok, false, true);
}

int testFile(Coder& coder, const Policy* policy, const char* inputPath, const FrameOptions& opts) {
    uint8_t peeked[kPeekSize];
    size_t size = 0;
    bool ok = openAndPeek(coder, inputPath, peeked, &size);
    if (ok) {
        coder.config.outputPath = "";
        if (isFrame(peeked, size)) {
            ok = decompressFramed(coder, peeked, size, opts.threads);
        } else if (policy == nullptr) {
            std::fflush(stdout);
            std::fprintf(stderr, kRawNeedsModeFormat, inputPath, inputPath);
            coder.closeFiles();
            return 1;
        } else {
            // The decoder's output goes nowhere.
            coder.io.writeOutput = nullptr;
            ok = decompressRaw(coder, *policy, peeked, size);
        }
    }
    return finish(coder, ok, false, false);
}

int listFile(Coder& coder, const char* inputPath) {
    uint8_t peeked[kPeekSize];
    size_t size = 0;
    if (!openAndPeek(coder, inputPath, peeked, &size)) return finish(coder, false, false, false);
    std::FILE* console = stdout;
    if (!isFrame(peeked, size)) {
        // A raw stream says only its length.
        long long length = lzw_decoded_size(peeked, size);
        if (length < 0) {
            coder.fail(size < 4 ? Fault::shorterThanHeader : Fault::negativeLength, inputPath);
            return finish(coder, false, false, false);
        }
        // Its compressed size: what is left to read, and the peeked bytes.
        uint8_t rest[1 << 16];
        int64_t total = static_cast<int64_t>(size);
        Files files{coder, total};
        for (long long r; (r = readInput(&files, rest, sizeof rest)) != 0; total += r) {
            if (r < 0) {
                coder.fail(Fault::readFailed, inputPath);
                return finish(coder, false, false, false);
            }
        }
        std::fprintf(console, "plik: %s\nformat: surowy strumien, bez ramki (tryb nieznany)\n",
                     inputPath);
        std::fprintf(console, "rozmiar: %lld B -> %" PRId64 " B", length, total);
        if (length > 0) std::fprintf(console, " (%.1f%%)", 100.0 * total / length);
        std::fputc('\n', console);
        return finish(coder, true, false, false);
    }
    frame::Listing listing;
    Files files{coder, static_cast<int64_t>(size)};
    Fault fault = frame::listStream({readInput, &files}, peeked, size, listing);
    if (fault != Fault::none) {
        coder.fail(fault, inputPath);
        return finish(coder, false, false, false);
    }
    const frame::Header& h = listing.header;
    std::fprintf(console, "plik: %s\n", inputPath);
    if (listing.frames == 0) {
        std::fprintf(console, "format: ramki pomijane (%" PRId64 "), bez danych\n",
                     listing.skippable);
        return finish(coder, true, false, false);
    }
    std::fprintf(console, "format: ramka lzw, wersja %u, tryb %c, blok %" PRIu32 " B\n",
                 static_cast<unsigned>(frame::kVersion), policyRow(h.policy).digit, h.blockSize);
    std::fprintf(console, "ramki: %" PRId64, listing.frames);
    if (listing.skippable > 0)
        std::fprintf(console, " (i %" PRId64 " pomijane)", listing.skippable);
    if (listing.policiesDiffer) std::fprintf(console, ", rozne tryby lub bloki");
    std::fprintf(console, ", bloki: %" PRId64 " (zapisane bez kompresji: %" PRId64 ")\n",
                 listing.blocks, listing.storedBlocks);
    std::fprintf(console, "rozmiar: %" PRId64 " B -> %" PRId64 " B", listing.content,
                 listing.compressed);
    if (listing.content > 0) {
        std::fprintf(console, " (%.1f%%)", 100.0 * listing.compressed / listing.content);
    }
    std::fputc('\n', console);
    const char* blocks = (h.flags & LZW_FRAME_BLOCK_CHECKSUMS) != 0 ? "blokow" : nullptr;
    const char* content = (h.flags & LZW_FRAME_CONTENT_CHECKSUM) != 0 ? "calosci" : nullptr;
    if (blocks == nullptr && content == nullptr) {
        std::fprintf(console, "sumy kontrolne: brak\n");
    } else {
        std::fprintf(console, "sumy kontrolne: XXH64 %s%s%s\n", blocks ? blocks : "",
                     blocks && content ? " i " : "", content ? content : "");
    }
    return finish(coder, true, false, false);
}

}  // namespace lzw::app
