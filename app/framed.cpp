// The program's framed runs, and the raw decompression that starts from the bytes read to
// tell a frame from a raw stream.
#include "framed.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "frame.h"

namespace lzw::app {
namespace {

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
    coder.front.bytesWritten += static_cast<int64_t>(size);
    return std::fwrite(buf, 1, size, coder.out) == size ? 0 : -1;
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
int finish(Coder& coder, bool ok, bool compressing, bool timeLine, bool sizes = false) {
    ok = coder.closeFiles() && ok;
    coder.releaseOutput(!ok && compressing);
    if (!ok) {
        if (coder.io.failed) coder.reportFault();
        return 1;
    }
    if (timeLine) coder.stopTimerAndReport();
    if (sizes) coder.reportSizes(compressing);
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
    coder.io.bytesRead = report.bytesIn;
    if (fault == Fault::none) return true;
    recordFault(coder, fault, report, true);
    return false;
}

// The input's first window, read before anything else is decided: a raw stream's stays in
// the Coder's input buffer, unread, for its run; a frame's is kept apart from the Coder's
// buffers, which the blocks' runs reuse.
struct Start {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    bool framed = false;
    std::unique_ptr<uint8_t[]> copy;
};

// Opens the input (refusing it as the output, when there is one) and reads its first
// window. False after fail().
bool openAndPeek(Coder& coder, const char* inputPath, const char* outputPath, Start& start) {
    coder.resetStreams();
    coder.io.readInput = Coder::readFile;
    coder.io.writeOutput = Coder::writeFile;
    coder.io.rewriteHeader = nullptr;
    if (!coder.openInput(inputPath)) return false;
    if (outputPath != nullptr && !coder.refuseInputAsOutput(outputPath)) return false;
    if (!coder.readFirstWindow()) return false;
    start.size = static_cast<size_t>(coder.io.inEnd);
    start.bytes = coder.io.inBuf;
    start.framed = start.size >= 4 && frame::isFrameMagic(start.bytes);
    if (!start.framed) return true;
    start.copy.reset(new (std::nothrow) uint8_t[start.size]);
    if (!start.copy) return coder.fail(Fault::noMemory, inputPath);
    std::memcpy(start.copy.get(), coder.io.inBuf, start.size);
    start.bytes = start.copy.get();
    return true;
}

// Whether the input's start can be decoded, before the output is opened: a frame's header,
// or a raw stream's header and first code. False after fail().
bool checkStart(Coder& coder, const Start& start) {
    if (!start.framed) return coder.checkStart();
    frame::Header header;
    size_t needed = 0;
    Fault fault = frame::parseHeader(start.bytes, start.size, header, &needed);
    // The first window holds the whole header unless the input ends before it.
    if (fault == Fault::none && start.size < needed) fault = Fault::endsEarly;
    return fault == Fault::none || coder.failCorrupt(fault);
}

// A raw stream, whose first window is in the Coder's input buffer, unread.
bool decompressRaw(Coder& coder, Policy policy) {
    coder.halfPending = false;
    return coder.runStream(Direction::decompress, policy, -1);
}

bool decompressStart(Coder& coder, Policy policy, const Start& start, int threads) {
    return start.framed ? decompressFramed(coder, start.bytes, start.size, threads)
                        : decompressRaw(coder, policy);
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
                  coder.refuseTerminal() && compressFramed(coder, policy, opts);
        return finish(coder, ok, true, coder.io.bytesRead > 0 || row.timeLineAfterEmptyCompression,
                      true);
    }
    // The output is opened only once the input's start is known to decode: a wrong input
    // leaves an existing output as it was.
    Start start;
    bool ok = openAndPeek(coder, inputPath, outputPath, start) && checkStart(coder, start) &&
              coder.openOutput(outputPath) && decompressStart(coder, policy, start, opts.threads);
    return finish(coder, ok, false, true, true);
}

int testFile(Coder& coder, const Policy* policy, const char* inputPath, const FrameOptions& opts) {
    Start start;
    bool ok = openAndPeek(coder, inputPath, nullptr, start);
    if (ok && !start.framed && policy == nullptr) {
        std::fflush(stdout);
        std::fprintf(stderr, kRawNeedsModeFormat, inputPath, inputPath);
        coder.closeFiles();
        return 1;
    }
    coder.config.outputPath = "";
    // The decoder's output goes nowhere.
    coder.io.writeOutput = nullptr;
    ok = ok &&
         decompressStart(coder, policy != nullptr ? *policy : Policy::freeze, start, opts.threads);
    return finish(coder, ok, false, false);
}

int listFile(Coder& coder, const char* inputPath) {
    Start start;
    if (!openAndPeek(coder, inputPath, nullptr, start)) return finish(coder, false, false, false);
    const uint8_t* peeked = start.bytes;
    size_t size = start.size;
    std::FILE* console = stdout;
    if (!start.framed) {
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
                 static_cast<unsigned>(h.version), policyRow(h.policy).digit, h.blockSize);
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
