// The program's front end: files, spooling, signals, banners, the time line and the fault's
// line. Only the program links it; the codec never touches a file, a signal or the console.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

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
    console = stdout;
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
    if (console == nullptr) return;
    clearWatcherLine();
    std::fprintf(console, kTimeLineFormat, static_cast<long>(elapsedTicks));
}

void Coder::printBanner(const char* text) {
    if (console == nullptr) return;
    std::fputs(text, console);
    std::fputc('\n', console);
    std::fflush(console);
}

bool Coder::closeFiles() {
    bool ok = !failed;
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

int Coder::runFile(Direction newDirection, Policy newPolicy, const char* inputName,
                   const char* outputName) {
    const PolicyRow& row = policyRow(newPolicy);
    bool compressing = newDirection == Direction::compress;
    if (row.timerBeforeBanner) startTimer();
    printBanner(compressing ? row.compressBanner : row.decompressBanner);
    if (!row.timerBeforeBanner) startTimer();
    configure(newDirection, newPolicy);
    readInput = readFile;
    writeOutput = writeFile;
    rewriteHeader = rewriteFileHeader;
    bool ok = compressing ? beginCompression(inputName, outputName)
                          : beginDecompression(inputName, outputName);
    ok = ok && codeRun();
    ok = closeFiles() && ok;
    // A failed compression leaves no output that could pass for whole; what a damaged
    // stream gave up to the fault is kept.
    releaseOutput(!ok && compressing);
    if (!ok) {
        if (failed) reportFault();
        return 1;
    }
    if (!compressing || bytesRead > 0 || row.timeLineAfterEmptyCompression) stopTimerAndReport();
    return 0;
}

void Coder::reportFault() {
    clearWatcherLine();
    std::fflush(stdout);
    if (isDamage(fault)) {
        std::fprintf(stderr, kDamagedFormat, faultPath, faultText(fault));
    } else {
        std::fprintf(stderr, faultText(fault), faultPath);
    }
    std::fputc('\n', stderr);
}

bool Coder::beginCompression(const char* inputName, const char* outputName) {
    resetStreams();
    if (!openInput(inputName)) return false;
    // Refused before the output exists, so nothing is left behind.
    if (inputSize > kMaxInputSize) return fail(Fault::tooLarge, inputName);
    if (!openOutput(outputName)) return false;
    // The header of an unknown size (pipe, device) is fixed at the end, on an output that
    // can go back to it; any other output gets a header right from its first byte.
    // Standard output may sit anywhere in its file (>>), so its header is never rewritten.
    bool seekable = !outputIsStandard && lseek(fileno(out), 0, SEEK_CUR) >= 0;
    if (inputSize < 0 && !seekable) {
        readLimit = kMaxInputSize;
        if (!spoolInput()) return false;
    }
    return beginRun(inputSize);
}

bool Coder::beginDecompression(const char* inputName, const char* outputName) {
    return openFiles(inputName, outputName) && beginRun(-1);
}

size_t Coder::readFile(Coder& coder, uint8_t* dst, size_t n) {
    if (coder.in == nullptr) return 0;
    size_t got = std::fread(dst, 1, n, coder.in);
    if (got == 0 && std::ferror(coder.in)) coder.fail(Fault::readFailed, coder.inputPath);
    if (got > 0 && coder.watcher != nullptr) {
        coder.watcher->refilled(coder.watcher->context, coder.bytesRead + static_cast<int64_t>(got),
                                coder.inputSize);
    }
    return got;
}

bool Coder::writeFile(Coder& coder, const uint8_t* src, size_t n) {
    if (coder.out == nullptr) return true;
    if (std::fwrite(src, 1, n, coder.out) == n) return true;
    return coder.fail(Fault::writeFailed, coder.outputPath);
}

bool Coder::rewriteFileHeader(Coder& coder, int32_t length) {
    // The input was a pipe or changed size while read: rewrite the header in place.
    std::FILE* file = coder.out;
    if (file == nullptr) return true;
    if (std::fflush(file) != 0) return coder.fail(Fault::writeFailed, coder.outputPath);
    if (std::fseek(file, 0, SEEK_SET) != 0) return coder.fail(Fault::cannotSeek, coder.outputPath);
    uint8_t header[kHeaderSize];
    storeHeader(header, length);
    if (std::fwrite(header, 1, kHeaderSize, file) != kHeaderSize ||
        std::fseek(file, 0, SEEK_END) != 0) {
        return coder.fail(Fault::writeFailed, coder.outputPath);
    }
    return true;
}

}  // namespace lzw
