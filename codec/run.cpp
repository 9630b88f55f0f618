// A run of the codec: the Coder's making, configuration, faults, and runs in memory. Nothing
// here opens a file, handles a signal, prints or reads a clock: the program's front end does.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <new>

#include "coder.h"

namespace lzw {

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
      elapsedTicks(0) {
    // Only checked builds keep check; a release run leaves its pages untouched.
    if constexpr (kChecked) {
        check.checkedAdds = 0;
        std::fill(std::begin(io.outGuard), std::end(io.outGuard), kGuardByte);
    }
}

bool Coder::fail(Fault why, const char* path) {
    if (!io.failed) {
        io.fault = why;
        io.faultPath = path;
    }
    return markFailed();
}

bool Coder::failCorrupt(Fault why) {
    return fail(why, config.inputPath);
}

bool Coder::markFailed() {
    io.failed = true;
    // Ends the input at once, so every coding loop stops at its next byte.
    io.inEof = true;
    io.inPos = io.inEnd = 0;
    return false;
}

void Coder::configure(Direction newDirection, Policy newPolicy) {
    const PolicyRow& row = policyRow(newPolicy);
    config.direction = newDirection;
    config.policy = newPolicy;
    config.indexing = config.direction == Direction::compress;
    config.evicting = row.evicting;
    freezeWhenFull = row.freezeWhenFull;
    resetDictionary();
    if (config.evicting) initRecency();
}

Coder* Coder::create() noexcept {
    // Fresh pages from the system are zero and untouched. (calloc would clear reused heap
    // memory: megabytes per call.)
    // Placed so that childOf starts on a huge-page boundary; its offset is a multiple of the
    // Coder's alignment, so the Coder stays aligned.
    static_assert(offsetof(Coder, pairs.childOf) % alignof(Coder) == 0);
    size_t size = sizeof(Coder) + kHugePage;
    void* raw = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    constexpr uintptr_t kIndexAt = offsetof(Coder, pairs.childOf);
    auto start =
        ((reinterpret_cast<uintptr_t>(raw) + kIndexAt + kHugePage - 1) & ~(kHugePage - 1)) -
        kIndexAt;
    auto* coder = new (reinterpret_cast<void*>(start)) Coder();
    coder->marks.block = raw;
    // Zero pages: no pairs, no lengths, no child counts to clear.
    coder->marks.childOfHolds = PairsHeld::none;
    coder->marks.lengthsTop = coder->alphabetSize;
    coder->marks.countsTop = 0;
    return coder;
}

void Coder::release(Coder* coder) noexcept {
    while (coder != nullptr) {
        Coder* next = coder->spare;
        void* raw = coder->marks.block;
        coder->~Coder();
        munmap(raw, sizeof(Coder) + kHugePage);
        coder = next;
    }
}

void Coder::mapChildTable() {
    marks.childOfMapped = true;
#ifdef MADV_POPULATE_WRITE
    auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    auto start = reinterpret_cast<uintptr_t>(pairs.childOf);
    uintptr_t first = (start + page - 1) & ~(page - 1);
    uintptr_t last = (start + sizeof pairs.childOf) & ~(page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
}

void Coder::adviseHugeChildTable() {
#ifdef MADV_HUGEPAGE
    // Only in the pages of create(): elsewhere childOf is not aligned for it. Once: the
    // advice stays with the pages, and a call on a reused Coder should make no system call.
    if (marks.block != nullptr && !marks.childOfAdvised) {
        madvise(pairs.childOf, sizeof pairs.childOf, MADV_HUGEPAGE);
    }
    marks.childOfAdvised = true;
#endif
}

bool Coder::beginRun(int64_t size) {
    if (config.direction == Direction::decompress) return true;
    // The reset-mode compressor keeps its pairs in pairTable instead.
    bool usesIndex = policyRow(config.policy).pairIndex;
    if (usesIndex && !marks.childOfMapped && (size < 0 || size >= kHugeChildTableFrom)) {
        adviseHugeChildTable();
    }
    if (usesIndex && !marks.childOfMapped && (size < 0 || size >= kMapChildTableFrom))
        mapChildTable();
    if (size > kMaxInputSize) return fail(Fault::tooLarge, config.inputPath);
    io.readLimit = kMaxInputSize;
    halfPending = false;
    io.headerLength = size < 0 ? kProvisionalLength : size - 1;
    writeLengthHeader(static_cast<int32_t>(io.headerLength));
    return true;
}

bool Coder::codeRun() {
    const PolicyRow& row = policyRow(config.policy);
    return (
        this->*(config.direction == Direction::compress ? row.compressLoop : row.decompressLoop))();
}

void Coder::useStreams(size_t (*read)(Coder&, uint8_t*, size_t),
                       bool (*write)(Coder&, const uint8_t*, size_t)) {
    resetStreams();
    io.readInput = read;
    io.writeOutput = write;
    io.rewriteHeader = nullptr;
    config.inputPath = "(dane wejsciowe)";
    config.outputPath = "(dane wyjsciowe)";
}

void Coder::useMemory(const uint8_t* src, size_t size, uint8_t* dst, size_t capacity) {
    useStreams(readMemory, writeMemory);
    config.outputPath = "(bufor wyjsciowy)";
    io.memIn = src;
    io.memInSize = src == nullptr ? 0 : size;
    io.memInPos = 0;
    io.memOut = dst;
    io.memOutCapacity = dst == nullptr ? 0 : capacity;
    io.memOutSize = 0;
}

size_t Coder::readMemory(Coder& coder, uint8_t* dst, size_t n) {
    Streams& streams = coder.io;
    n = std::min(n, streams.memInSize - streams.memInPos);
    if (n > 0) std::memcpy(dst, streams.memIn + streams.memInPos, n);
    streams.memInPos += n;
    return n;
}

bool Coder::writeMemory(Coder& coder, const uint8_t* src, size_t n) {
    Streams& streams = coder.io;
    size_t fits = std::min(n, streams.memOutCapacity - streams.memOutSize);
    if (fits > 0) std::memcpy(streams.memOut + streams.memOutSize, src, fits);
    streams.memOutSize += fits;
    return fits == n || coder.fail(Fault::outputTooSmall, coder.config.outputPath);
}

bool Coder::runStream(Direction newDirection, Policy newPolicy, int64_t size) {
    configure(newDirection, newPolicy);
    bool ok = beginRun(size) && codeRun();
    return flushOutput() && ok;
}

Fault Coder::runMemory(Direction newDirection, Policy newPolicy, const uint8_t* src, size_t size,
                       uint8_t* dst, size_t capacity, size_t* written) {
    useMemory(src, size, dst, capacity);
    // Any size past the limit stays past it (a signed cast would turn 2^63 and more into an
    // unknown size), so beginRun refuses it before a byte is read.
    auto known = static_cast<int64_t>(std::min<size_t>(io.memInSize, kMaxInputSize + 1));
    bool ok = runStream(newDirection, newPolicy, known);
    if (written != nullptr) *written = io.memOutSize;
    return ok ? Fault::none : io.fault;
}

}  // namespace lzw
