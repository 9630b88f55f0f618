// Front end of a run: files, banners, the time line, failures, in-memory runs.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>

#include "coder.h"

namespace lzw {

namespace {

// The regular output file this run created or truncated and has not finished yet, for the
// signal handler, which may only read it.
const char* volatile unfinishedOutput = nullptr;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeOutputAndDie(int sig) {
    const char* path = unfinishedOutput;
    if (path != nullptr) unlink(path);
    std::signal(sig, SIG_DFL);
    std::raise(sig);  // delivered, by the default action, once the handler returns
}

bool sameFile(const struct stat& st, uint64_t device, uint64_t inode) {
    return static_cast<uint64_t>(st.st_dev) == device && static_cast<uint64_t>(st.st_ino) == inode;
}

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
      direction(Direction::compress),
      policy(Policy::freeze),
      inputPath(""),
      outputPath(""),
      fault(Fault::none),
      failed(false),
      writeFailed(false),
      quiet(false),
      bytesRead(0),
      headerLength(0),
      remaining(0),
      inPos(0),
      inEnd(0),
      outPos(0),
      inEof(false),
      inMemory(false),
      memIn(nullptr),
      memInSize(0),
      memInPos(0),
      memOut(nullptr),
      memOutCapacity(0),
      memOutSize(0),
      indexing(true),
      evicting(false),
      inputKnown(false),
      inputDevice(0),
      inputInode(0),
      inputSize(-1),
      readLimit(INT64_MAX),
      console(stdout),
      outputIsStandard(false),
      outputDevice(0),
      outputInode(0),
      childOfStale(true),
      childOfMapped(false),
      block(nullptr),
      checkedAdds(0) {}

bool Coder::fail(Fault why, const char* path) {
    if (!failed) {
        fault = why;
        if (!quiet) {
            std::fflush(stdout);
            std::fprintf(stderr, faultText(why), path);
            std::fputc('\n', stderr);
        }
    }
    return markFailed();
}

bool Coder::failCorrupt(Fault why) {
    if (!failed) {
        fault = why;
        if (!quiet) {
            std::fflush(stdout);
            std::fprintf(stderr, kDamagedFormat, inputPath, faultText(why));
            std::fputc('\n', stderr);
        }
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
    if (in == nullptr) return fail(Fault::cannotOpen, path);
    struct stat st;
    if (fstat(fileno(in), &st) == 0) {
        // A directory opens fine on Linux but cannot be read.
        if (S_ISDIR(st.st_mode)) {
            std::fclose(in);
            in = nullptr;
            return fail(Fault::cannotOpen, path);
        }
        inputKnown = true;
        inputDevice = static_cast<uint64_t>(st.st_dev);
        inputInode = static_cast<uint64_t>(st.st_ino);
        // Pipes and devices report no usable size (see beginCompression).
        if (S_ISREG(st.st_mode)) inputSize = st.st_size;
    }
    return true;
}

bool Coder::openOutput(const char* path) {
    outputPath = path;
    struct stat outStat;
    if (inputKnown && stat(path, &outStat) == 0 && S_ISREG(outStat.st_mode) &&
        sameFile(outStat, inputDevice, inputInode)) {
        // Opening it for writing would truncate the input before it is read (devices such
        // as /dev/null lose nothing).
        return fail(Fault::sameFile, path);
    }
    if (outputIsStandard) {
        // Opened again, it would be truncated, even where the shell appends to it (>>).
        int fd = dup(STDOUT_FILENO);
        out = fd < 0 ? nullptr : fdopen(fd, "wb");
        if (out == nullptr) {
            if (fd >= 0) close(fd);
            return fail(Fault::cannotOpen, path);
        }
        return true;
    }
    // The signal handler must learn of a file this run creates or truncates before a signal
    // can end the run, so signals wait while it is opened. Not where the opening itself may
    // wait (a FIFO waits for a reader): what is not a regular file is never removed anyway.
    struct stat before;
    bool plain = lstat(path, &before) == 0 ? S_ISREG(before.st_mode) : errno == ENOENT;
    sigset_t stops, saved;
    sigemptyset(&stops);
    for (int sig : kStopSignals) sigaddset(&stops, sig);
    if (plain) sigprocmask(SIG_BLOCK, &stops, &saved);
    out = std::fopen(path, "wb");
    struct stat opened, named;
    if (out != nullptr && fstat(fileno(out), &opened) == 0 && S_ISREG(opened.st_mode) &&
        lstat(path, &named) == 0 && S_ISREG(named.st_mode) &&
        sameFile(named, static_cast<uint64_t>(opened.st_dev),
                 static_cast<uint64_t>(opened.st_ino))) {
        outputDevice = static_cast<uint64_t>(opened.st_dev);
        outputInode = static_cast<uint64_t>(opened.st_ino);
        unfinishedOutput = path;
    }
    if (plain) sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (out == nullptr) return fail(Fault::cannotOpen, path);
    return true;
}

void Coder::releaseOutput(bool remove) {
    const char* path = unfinishedOutput;
    unfinishedOutput = nullptr;
    if (!remove || path == nullptr) return;
    // Only the file this run opened: the path may have been renamed or replaced since.
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISREG(st.st_mode) && sameFile(st, outputDevice, outputInode)) {
        unlink(path);
    }
}

void Coder::catchSignals() {
    for (int sig : kStopSignals) {
        struct sigaction action;
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(sig, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = removeOutputAndDie;
        sigemptyset(&action.sa_mask);
        for (int other : kStopSignals) sigaddset(&action.sa_mask, other);
        sigaction(sig, &action, nullptr);
    }
}

void Coder::pickConsole(const char* outputName) {
    struct stat named, standard;
    if (stat(outputName, &named) == 0 && fstat(STDOUT_FILENO, &standard) == 0 &&
        sameFile(named, static_cast<uint64_t>(standard.st_dev),
                 static_cast<uint64_t>(standard.st_ino))) {
        console = stderr;
        outputIsStandard = true;
    }
}

bool Coder::spoolInput() {
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = "/tmp";
    int fd = open(dir, O_TMPFILE | O_RDWR, 0600);
    if (fd < 0) {
        // File systems without anonymous files: a named one, unlinked at once.
        char name[PATH_MAX];
        int n = std::snprintf(name, sizeof name, "%s/lzw-XXXXXX", dir);
        if (n > 0 && n < static_cast<int>(sizeof name)) fd = mkstemp(name);
        if (fd >= 0) unlink(name);
    }
    if (fd < 0) return fail(Fault::cannotOpen, dir);
    std::FILE* spool = fdopen(fd, "w+b");
    if (spool == nullptr) {
        close(fd);
        return fail(Fault::cannotOpen, dir);
    }
    // refill() counts the bytes and stops past readLimit.
    while (refill() >= 0) {
        if (std::fwrite(inBuf, 1, static_cast<size_t>(inEnd), spool) !=
            static_cast<size_t>(inEnd)) {
            fail(Fault::writeFailed, dir);
            break;
        }
    }
    if (!failed && (std::fflush(spool) != 0 || std::fseek(spool, 0, SEEK_SET) != 0)) {
        fail(Fault::writeFailed, dir);
    }
    if (failed) {
        std::fclose(spool);
        return false;
    }
    std::fclose(in);
    in = spool;
    inputSize = bytesRead;
    bytesRead = 0;
    inPos = inEnd = 0;
    inEof = false;
    return true;
}

bool Coder::openFiles(const char* inputName, const char* outputName) {
    resetStreams();
    if (!openInput(inputName) || !openOutput(outputName)) return false;
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
    std::fprintf(console, kTimeLineFormat, static_cast<long>(elapsedTicks));
}

void Coder::printBanner(const char* text) {
    std::fputs(text, console);
    std::fputc('\n', console);
    std::fflush(console);
}

bool Coder::closeFiles() {
    bool ok = !failed;
    if (inMemory) return flushOutput() && ok;
    if (out != nullptr) {
        if (!flushOutput()) ok = false;
        if (std::fclose(out) != 0 && ok) ok = fail(Fault::writeFailed, outputPath);
        out = nullptr;
    }
    if (in != nullptr) {
        std::fclose(in);
        in = nullptr;
    }
    return ok;
}

void Coder::configure(Direction newDirection, Policy newPolicy) {
    direction = newDirection;
    policy = newPolicy;
    indexing = direction == Direction::compress;
    evicting = policy == Policy::evict;
    freezeWhenFull = policy != Policy::reset;
    resetDictionary();
    if (evicting) initRecency();
}

Coder* Coder::create() noexcept {
    // Fresh pages from the system are zero and untouched. (calloc would clear reused heap
    // memory: megabytes per call.)
    constexpr size_t kAlign = alignof(Coder);
    size_t size = sizeof(Coder) + kAlign;
    void* raw = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto start = (reinterpret_cast<uintptr_t>(raw) + kAlign - 1) & ~(kAlign - 1);
    auto* coder = new (reinterpret_cast<void*>(start)) Coder();
    coder->block = raw;
    coder->childOfStale = false;
    return coder;
}

void Coder::release(Coder* coder) noexcept {
    if (coder == nullptr) return;
    void* raw = coder->block;
    coder->~Coder();
    munmap(raw, sizeof(Coder) + alignof(Coder));
}

void Coder::mapChildTable() {
    childOfMapped = true;
#ifdef MADV_POPULATE_WRITE
    auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    auto start = reinterpret_cast<uintptr_t>(childOf);
    uintptr_t first = (start + page - 1) & ~(page - 1);
    uintptr_t last = (start + sizeof childOf) & ~(page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
}

bool Coder::beginRun(int64_t size) {
    if (direction == Direction::decompress) return true;
    // The reset-mode compressor keeps its pairs in pairTable instead.
    bool usesIndex = policy != Policy::reset;
    if (usesIndex && !childOfMapped && (size < 0 || size >= kMapChildTableFrom)) mapChildTable();
    if (size > kMaxInputSize) return fail(Fault::tooLarge, inputPath);
    readLimit = kMaxInputSize;
    halfPending = false;
    headerLength = size < 0 ? kProvisionalLength : size - 1;
    writeLengthHeader(static_cast<int32_t>(headerLength));
    return true;
}

bool Coder::codeRun() {
    if (direction == Direction::compress) {
        return evicting ? compressEvictingLoop() : compressLoop();
    }
    return evicting ? decompressEvictingLoop() : decompressLoop();
}

int Coder::runFile(Direction newDirection, Policy newPolicy, const char* inputName,
                   const char* outputName) {
    bool compressing = newDirection == Direction::compress;
    int k = static_cast<int>(newPolicy) - 1;
    // The freeze modes start the timer after their banner, the others before it.
    if (newPolicy != Policy::freeze) startTimer();
    printBanner(compressing ? kCompressBanner[k] : kDecompressBanner[k]);
    if (newPolicy == Policy::freeze) startTimer();
    configure(newDirection, newPolicy);
    bool ok = compressing ? beginCompression(inputName, outputName)
                          : beginDecompression(inputName, outputName);
    ok = ok && codeRun();
    ok = closeFiles() && ok;
    // A failed compression leaves no output that could pass for whole; what a damaged
    // stream gave up to the fault is kept.
    releaseOutput(!ok && compressing);
    if (!ok) return 1;
    // An empty input leaves out the time line in c1 and c2.
    if (!compressing || bytesRead > 0 || newPolicy == Policy::reset) stopTimerAndReport();
    return 0;
}

Fault Coder::runMemory(Direction newDirection, Policy newPolicy, const uint8_t* src, size_t size,
                       uint8_t* dst, size_t capacity, size_t* written) {
    resetStreams();
    inMemory = true;
    memIn = src;
    memInSize = src == nullptr ? 0 : size;
    memInPos = 0;
    memOut = dst;
    memOutCapacity = dst == nullptr ? 0 : capacity;
    memOutSize = 0;
    inputPath = "(dane wejsciowe)";
    outputPath = "(bufor wyjsciowy)";
    configure(newDirection, newPolicy);
    // Any size past the limit stays past it (a signed cast would turn 2^63 and more into an
    // unknown size), so beginRun refuses it before a byte is read.
    auto known = static_cast<int64_t>(std::min<size_t>(memInSize, kMaxInputSize + 1));
    bool ok = beginRun(known) && codeRun();
    ok = closeFiles() && ok;
    inMemory = false;
    if (written != nullptr) *written = memOutSize;
    return ok ? Fault::none : fault;
}

}  // namespace lzw
