// The program's framed runs, and the raw decompression that starts from the bytes read to
// tell a frame from a raw stream.
#include "framed.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    // Bytes read already (to look at the input's start), given out first.
    const uint8_t* prefix = nullptr;
    size_t prefixSize = 0;
};

long long readInput(void* user, void* buf, size_t capacity) {
    Files& files = *static_cast<Files*>(user);
    Coder& coder = files.coder;
    size_t got = std::min(capacity, files.prefixSize);
    if (got > 0) {
        std::memcpy(buf, files.prefix, got);
        files.prefix += got;
        files.prefixSize -= got;
    } else {
        got = std::fread(buf, 1, capacity, coder.in);
    }
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
    coder.front.bytesWritten += static_cast<int64_t>(size);
    return std::fwrite(buf, 1, size, coder.out) == size ? 0 : -1;
}

// The block a damaged frame failed in goes into the line's file part: "uszkodzony plik
// NAME: blok 3 (bajt 2097201): suma kontrolna sie nie zgadza".
char faultPlace[4096 + 64];

// What -R reads and writes at a time.
constexpr size_t kChunk = size_t{1} << 20;

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
    } else if (decoding && report.table) {
        std::snprintf(faultPlace, sizeof faultPlace, "%s: indeks (bajt %" PRId64 ")",
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
    params.seekTable = opts.seekTable;
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

// A frame of the open input, whose first `size` bytes are at `peeked`, to the open output.
bool compressFramed(Coder& coder, Policy policy, const FrameOptions& opts, const uint8_t* peeked,
                    size_t size) {
    frame::StreamReport report;
    Fault fault;
    {
        BlockRuns runs(coder);
        Files files{coder, 0, peeked, size};
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
        // -t opens no output: the frames are only checked, their seek tables too.
        frame::Sink sink{coder.out != nullptr ? writeOutput : nullptr, &files};
        fault = frame::decompressStream(coder, {readInput, &files}, sink, peeked, size, &report,
                                        threads);
    }
    coder.io.bytesRead = report.bytesIn;
    if (fault == Fault::none) return true;
    recordFault(coder, fault, report, true);
    return false;
}

// The input's first window, read before anything else is decided: a raw stream's stays in
// the Coder's input buffer, unread, for its run; a frame's, and a framed compression's, is
// kept apart from the Coder's buffers, which the blocks' runs reuse.
struct Start {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    bool framed = false;
    std::unique_ptr<uint8_t[]> copy;
};

// Opens the input (refusing it as the output, when there is one) and reads its first
// window, copied apart when `keep` or when it starts a frame. False after fail().
bool openAndPeek(Coder& coder, const char* inputPath, const char* outputPath, Start& start,
                 bool keep = false) {
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
    if (!start.framed && !keep) return true;
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

// The input as a file read at any offset, from where it starts: a descriptor may stand past
// its file's start. Counts the bytes read, for -v.
struct Positioned {
    int fd = -1;
    uint64_t base = 0;
    int64_t bytesRead = 0;
};

long long readAt(void* user, void* buf, size_t size, unsigned long long offset) {
    auto* p = static_cast<Positioned*>(user);
    ssize_t r;
    do {
        r = pread(p->fd, buf, size, static_cast<off_t>(p->base + offset));
    } while (r < 0 && errno == EINTR);
    if (r > 0) p->bytesRead += r;
    return r;
}

// The open input as a reader's file, when it is a regular file; false for a pipe or a device,
// which are read in order.
bool positioned(const Coder& coder, Positioned& where, frame::PositionalSource& source) {
    struct stat st;
    int fd = fileno(coder.in);
    if (coder.front.inputSize <= 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    where.fd = fd;
    where.base = static_cast<uint64_t>(st.st_size - coder.front.inputSize);
    source = frame::PositionalSource{readAt, &where, static_cast<uint64_t>(coder.front.inputSize)};
    return true;
}

// Records a reader's fault on the front end's Coder, naming the block it lies in.
bool readerFault(Coder& coder, Fault fault, const frame::RangeReader& reader) {
    if (reader.faultBlock() > 0 && isDamage(fault)) {
        std::snprintf(faultPlace, sizeof faultPlace, "%s: blok %" PRId64 " (bajt %" PRIu64 ")",
                      coder.config.inputPath, reader.faultBlock(), reader.faultOffset());
        return coder.fail(fault, faultPlace);
    }
    return coder.fail(fault, coder.config.inputPath);
}

// -R: the range of the frames' content from the open input to the output, decoding only the
// blocks it touches. The output is opened once the frames are found.
bool decompressRange(Coder& coder, const char* outputPath, const FrameOptions& opts) {
    Positioned where;
    frame::PositionalSource source;
    if (!positioned(coder, where, source)) {
        std::fflush(stdout);
        std::fprintf(stderr, kRangeNeedsFileFormat, coder.config.inputPath);
        return false;
    }
    frame::RangeReader reader;
    Fault fault = reader.open(source);
    coder.io.bytesRead = where.bytesRead;
    if (fault != Fault::none) return readerFault(coder, fault, reader);
    if (!coder.openOutput(outputPath)) return false;
    uint64_t end = opts.rangeStart + std::min(opts.rangeLength, UINT64_MAX - opts.rangeStart);
    end = std::min(end, reader.contentSize());
    Files files{coder};
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kChunk]);
    if (!buf) return coder.fail(Fault::noMemory, coder.config.inputPath);
    for (uint64_t at = opts.rangeStart; at < end;) {
        size_t got = 0;
        fault = reader.read(at, buf.get(),
                            static_cast<size_t>(std::min<uint64_t>(end - at, kChunk)), &got);
        coder.io.bytesRead = where.bytesRead;
        if (got > 0 && writeOutput(&files, buf.get(), got) != 0) {
            return coder.fail(Fault::writeFailed, coder.config.outputPath);
        }
        if (fault != Fault::none) return readerFault(coder, fault, reader);
        at += got;
    }
    return true;
}

// A listing of what a reader found.
void listWhatItFound(const frame::RangeReader& reader, uint64_t fileSize, frame::Listing& listing) {
    listing.indexed = 0;
    for (const frame::RangeReader::FrameInfo& f : reader.frames()) {
        if (listing.frames == 0) {
            listing.header = f.header;
        } else if (f.header.policy != listing.header.policy ||
                   f.header.blockSize != listing.header.blockSize) {
            listing.policiesDiffer = true;
        }
        ++listing.frames;
        if (f.table) ++listing.indexed;
    }
    for (const frame::RangeReader::BlockInfo& b : reader.blocks()) {
        if ((b.word & frame::kStoredBit) != 0) ++listing.storedBlocks;
    }
    listing.blocks = static_cast<int64_t>(reader.blocks().size());
    listing.skippable = reader.skippable();
    listing.content = static_cast<int64_t>(reader.contentSize());
    listing.compressed = static_cast<int64_t>(fileSize);
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

namespace {

// A byte count such as "4096", "64K", "4M", "4MiB", "1G" (binary units all the same), at
// most `most`; `*end` gets where it stops. notNumber when it starts with no digit (`*end` is
// then not set), outOfRange when it is larger than `most`.
Parsed parseCount(const char* text, uint64_t most, uint64_t& count, const char** end) {
    if (*text < '0' || *text > '9') return Parsed::notNumber;
    char* stop = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &stop, 10);
    bool over = errno == ERANGE;
    unsigned shift = 0;
    switch (*stop) {
        case 'K':
        case 'k':
            shift = 10;
            break;
        case 'M':
        case 'm':
            shift = 20;
            break;
        case 'G':
        case 'g':
            shift = 30;
            break;
        case 'T':
        case 't':
            shift = 40;
            break;
        default:
            break;
    }
    if (shift != 0) {
        ++stop;
        if (*stop == 'i') ++stop;  // "4Mi"
        if (*stop == 'B') ++stop;  // "4MB", "4MiB"
    }
    *end = stop;
    if (over || value > (most >> shift)) return Parsed::outOfRange;
    count = value << shift;
    return Parsed::ok;
}

}  // namespace

Parsed parseBlockSize(const char* text, uint32_t& size) {
    uint64_t value = 0;
    const char* end = nullptr;
    Parsed parsed = parseCount(text, LZW_FRAME_BLOCK_MAX, value, &end);
    if (parsed == Parsed::notNumber || *end != '\0') return Parsed::notNumber;
    if (parsed == Parsed::outOfRange || value < LZW_FRAME_BLOCK_MIN) return Parsed::outOfRange;
    size = static_cast<uint32_t>(value);
    return Parsed::ok;
}

Parsed parseRange(const char* text, uint64_t& start, uint64_t& length) {
    const char* end = nullptr;
    Parsed first = parseCount(text, UINT64_MAX, start, &end);
    if (first == Parsed::notNumber) return first;
    length = UINT64_MAX;
    Parsed second = Parsed::ok;
    if (*end == ':') {
        second = parseCount(end + 1, UINT64_MAX, length, &end);
        if (second == Parsed::notNumber) return second;
    }
    if (*end != '\0') return Parsed::notNumber;
    return first != Parsed::ok ? first : second;
}

Parsed parseThreads(const char* text, int& threads) {
    if (*text < '0' || *text > '9') return Parsed::notNumber;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0') return Parsed::notNumber;
    if (value > static_cast<unsigned long>(frame::kMaxThreads)) return Parsed::outOfRange;
    threads = static_cast<int>(value);
    return Parsed::ok;
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
        // Never spooled and never refused for its size: a frame needs no size up front.
        Start start;
        bool ok = openAndPeek(coder, inputPath, outputPath, start, true) &&
                  coder.refuseFrame(start.bytes, start.size) && coder.openOutput(outputPath) &&
                  coder.refuseTerminal() &&
                  compressFramed(coder, policy, opts, start.bytes, start.size);
        return finish(coder, ok, true, coder.io.bytesRead > 0 || row.timeLineAfterEmptyCompression,
                      true);
    }
    // The output is opened only once the input's start is known to decode: a wrong input
    // leaves an existing output as it was.
    Start start;
    if (opts.ranged) {
        bool ok = openAndPeek(coder, inputPath, outputPath, start);
        if (ok && !start.framed) {
            std::fflush(stdout);
            std::fprintf(stderr, kRangeNeedsFrameFormat, inputPath);
            coder.closeFiles();
            return 1;
        }
        return finish(coder, ok && decompressRange(coder, outputPath, opts), false, true, true);
    }
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
    ok = ok && (start.framed || coder.checkStart()) &&
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
        // A raw stream says only its length; its compressed size is what is left to read,
        // and the peeked bytes.
        uint8_t rest[1 << 16];
        int64_t total = static_cast<int64_t>(size);
        Files files{coder, total};
        for (long long r; (r = readInput(&files, rest, sizeof rest)) != 0; total += r) {
            if (r < 0) {
                coder.fail(Fault::readFailed, inputPath);
                return finish(coder, false, false, false);
            }
        }
        // What no raw stream of this length can start with: no header, a negative length,
        // or one that its codes cannot give.
        long long length = lzw_decoded_size(peeked, size);
        if (length < 0 || Coder::lengthFault(loadHeader(peeked), total) != Fault::none) {
            std::fflush(stdout);
            std::fprintf(stderr, kNotLzwFormat, inputPath);
            coder.closeFiles();
            return 1;
        }
        std::fprintf(console, kRawListingFormat, inputPath, length, static_cast<long long>(total));
        if (length > 0) std::fprintf(console, " (%.1f%%)", 100.0 * total / length);
        std::fputc('\n', console);
        return finish(coder, true, false, false);
    }
    frame::Listing listing;
    Positioned where;
    frame::PositionalSource source;
    if (positioned(coder, where, source)) {
        // A file is listed from its seek tables, found from its end: a few reads whatever its
        // size. Where they are missing, its block headers, one read each.
        frame::RangeReader reader;
        if (Fault fault = reader.open(source); fault != Fault::none) {
            readerFault(coder, fault, reader);
            return finish(coder, false, false, false);
        }
        listWhatItFound(reader, source.size, listing);
    } else {
        Files files{coder, static_cast<int64_t>(size)};
        Fault fault = frame::listStream({readInput, &files}, peeked, size, listing);
        if (fault != Fault::none) {
            coder.fail(fault, inputPath);
            return finish(coder, false, false, false);
        }
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
    if (listing.indexed == listing.frames) {
        std::fprintf(console, "indeks: za kazda ramka\n");
    } else if (listing.indexed > 0) {
        std::fprintf(console, "indeks: za %" PRId64 " z %" PRId64 " ramek\n", listing.indexed,
                     listing.frames);
    } else if (listing.indexed == 0) {
        std::fprintf(console, "indeks: brak\n");
    }
    return finish(coder, true, false, false);
}

}  // namespace lzw::app
