// The program's front end: files, spooling, signals, banners, the time line and the fault's
// line. Only the program links it; the codec never touches a file, a signal or the console.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "coder.h"

namespace lzw {

namespace {

// The regular output file this run created or truncated and has not finished yet, and its
// device and inode, for the signal handler, which may only read them. The path is set last.
const char* volatile unfinishedOutput = nullptr;
volatile uint64_t unfinishedDevice = 0;
volatile uint64_t unfinishedInode = 0;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Standard descriptors that were closed when the program started (bit k for descriptor k);
// /dev/null holds their place.
unsigned closedStreams = 0;

bool sameFile(const struct stat& st, uint64_t device, uint64_t inode) {
    return static_cast<uint64_t>(st.st_dev) == device && static_cast<uint64_t>(st.st_ino) == inode;
}

// Removes `path` if it still names the regular file `device`/`inode`: it may have been
// renamed, and another file put in its place, since the run opened it. Async-signal-safe.
void removeIfStill(const char* path, uint64_t device, uint64_t inode) {
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISREG(st.st_mode) && sameFile(st, device, inode)) unlink(path);
}

extern "C" void removeOutputAndDie(int sig) {
    const char* path = unfinishedOutput;
    if (path != nullptr) removeIfStill(path, unfinishedDevice, unfinishedInode);
    std::signal(sig, SIG_DFL);
    std::raise(sig);  // delivered, by the default action, once the handler returns
}

// Whether `path` names a standard stream that was closed at the start, by a link to its
// descriptor (/dev/stdin, /dev/fd/1, /proc/self/fd/2, or a symbolic link to one of these):
// such a name means the closed stream, not the /dev/null that stands in for it. Each link
// on the way is compared with the descriptor's own entry in /proc.
bool namesClosedStream(const char* path) {
    if (closedStreams == 0) return false;
    char at[PATH_MAX];
    if (std::snprintf(at, sizeof at, "%s", path) >= static_cast<int>(sizeof at)) return false;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat link;
        if (lstat(at, &link) != 0 || !S_ISLNK(link.st_mode)) return false;
        for (int fd = 0; fd < 3; ++fd) {
            char own[32];
            std::snprintf(own, sizeof own, "/proc/self/fd/%d", fd);
            struct stat entry;
            if ((closedStreams >> fd & 1) != 0 && lstat(own, &entry) == 0 &&
                sameFile(link, static_cast<uint64_t>(entry.st_dev),
                         static_cast<uint64_t>(entry.st_ino))) {
                return true;
            }
        }
        char target[PATH_MAX];
        ssize_t n = readlink(at, target, sizeof target - 1);
        if (n <= 0) return false;
        target[n] = '\0';
        // A relative target starts from the link's directory.
        const char* slash = target[0] == '/' ? nullptr : std::strrchr(at, '/');
        int dir = slash == nullptr ? 0 : static_cast<int>(slash - at + 1);
        char next[PATH_MAX];
        if (std::snprintf(next, sizeof next, "%.*s%s", dir, at, target) >=
            static_cast<int>(sizeof next)) {
            return false;
        }
        std::memcpy(at, next, sizeof at);
    }
    return false;
}

int32_t clockTicks() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    // Only differences are used, so wrapping to 32 bits is harmless.
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

// The coder reads and writes whole windows of its own, which stdio would only pass by its
// buffer; unbuffered, a stream allocates none: a page fewer to touch per file of a short run.
void unbuffer(std::FILE* file) {
    if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
}

}  // namespace

bool Coder::openInput(const char* path) {
    config.inputPath = path;
    front.inputKnown = false;
    front.inputSize = -1;
    front.inputMode = -1;
    if (namesClosedStream(path)) return fail(Fault::cannotOpen, path);
    in = std::fopen(path, "rb");
    if (in == nullptr) return fail(Fault::cannotOpen, path);
    unbuffer(in);
    struct stat st;
    if (fstat(fileno(in), &st) == 0) {
        // A directory opens fine on Linux but cannot be read.
        if (S_ISDIR(st.st_mode)) {
            std::fclose(in);
            in = nullptr;
            return fail(Fault::cannotOpen, path);
        }
        front.inputKnown = true;
        front.inputDevice = static_cast<uint64_t>(st.st_dev);
        front.inputInode = static_cast<uint64_t>(st.st_ino);
        // Pipes and devices report no usable size (see beginCompression), nor does a regular
        // file that reports 0: /proc and the like report 0 whatever they hold.
        if (S_ISREG(st.st_mode) && st.st_size > 0) front.inputSize = st.st_size;
        if (S_ISREG(st.st_mode)) front.inputMode = static_cast<int32_t>(st.st_mode & 0777);
    }
    return true;
}

bool Coder::openOutput(const char* path) {
    config.outputPath = path;
    front.outputCreated = false;
    if (namesClosedStream(path)) return fail(Fault::cannotOpen, path);
    struct stat outStat;
    if (front.inputKnown && stat(path, &outStat) == 0 && S_ISREG(outStat.st_mode) &&
        sameFile(outStat, front.inputDevice, front.inputInode)) {
        // Opening it for writing would truncate the input before it is read (devices such
        // as /dev/null lose nothing).
        return fail(Fault::sameFile, path);
    }
    if (front.outputIsStandard) {
        // Opened again, it would be truncated, even where the shell appends to it (>>).
        int fd = dup(STDOUT_FILENO);
        out = fd < 0 ? nullptr : fdopen(fd, "wb");
        unbuffer(out);
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
    out = createOutput(path);
    struct stat opened, named;
    if (out != nullptr && fstat(fileno(out), &opened) == 0 && S_ISREG(opened.st_mode) &&
        lstat(path, &named) == 0 && S_ISREG(named.st_mode) &&
        sameFile(named, static_cast<uint64_t>(opened.st_dev),
                 static_cast<uint64_t>(opened.st_ino))) {
        front.outputDevice = static_cast<uint64_t>(opened.st_dev);
        front.outputInode = static_cast<uint64_t>(opened.st_ino);
        unfinishedDevice = front.outputDevice;
        unfinishedInode = front.outputInode;
        unfinishedOutput = path;
    }
    if (plain) sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (out == nullptr) return fail(Fault::cannotOpen, path);
    return true;
}

std::FILE* Coder::createOutput(const char* path) {
    // Private until the run has succeeded, whatever it gets then.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
    front.outputCreated = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        fd = open(path, O_WRONLY | O_TRUNC);  // keeps its own bits
        if (fd < 0 && errno == ENOENT) {
            // A symbolic link to a missing file: its target is made, as a new file.
            fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
            front.outputCreated = fd >= 0;
        }
    }
    if (fd < 0) return nullptr;
    if (front.inputMode >= 0) {
        // A regular input's bits, but never those that act on running or deleting it.
        front.outputMode = static_cast<uint32_t>(front.inputMode) & 0777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        front.outputMode = 0666 & ~static_cast<uint32_t>(mask);
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) close(fd);
    unbuffer(file);
    return file;
}

void Coder::releaseOutput(bool remove) {
    const char* path = unfinishedOutput;
    unfinishedOutput = nullptr;
    if (!remove || path == nullptr) return;
    // Only the file this run opened: the path may have been renamed or replaced since.
    removeIfStill(path, front.outputDevice, front.outputInode);
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
    // A file-size limit (ulimit -f) is then a failed write (EFBIG) like a full disk, and the
    // run ends by its own failure path instead of leaving half a file.
    std::signal(SIGXFSZ, SIG_IGN);
}

bool Coder::openStandardStreams() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Open the other way round from the stream's use, so that reading a closed standard
        // input or writing a closed standard output still fails as it would have.
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (opened != fd) {
            if (opened >= 0) close(opened);
            return false;
        }
        closedStreams |= 1u << fd;
    }
    return true;
}

void Coder::pickConsole(const char* outputName) {
    front.console = stdout;
    // A closed standard output is no output: its names cannot be opened (openOutput).
    if ((closedStreams & 1u << STDOUT_FILENO) != 0) return;
    struct stat named, standard;
    if (stat(outputName, &named) == 0 && fstat(STDOUT_FILENO, &standard) == 0 &&
        sameFile(named, static_cast<uint64_t>(standard.st_dev),
                 static_cast<uint64_t>(standard.st_ino))) {
        front.console = stderr;
        front.outputIsStandard = true;
    }
}

bool Coder::spoolInput() {
    // An empty input needs no copy (a regular file that reports size 0 mostly is empty).
    if (refill() < 0) {
        front.inputSize = 0;
        return !io.failed;
    }
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
    do {
        if (std::fwrite(io.inBuf, 1, static_cast<size_t>(io.inEnd), spool) !=
            static_cast<size_t>(io.inEnd)) {
            fail(Fault::writeFailed, dir);
            break;
        }
    } while (refill() >= 0);
    if (!io.failed && (std::fflush(spool) != 0 || std::fseek(spool, 0, SEEK_SET) != 0)) {
        fail(Fault::writeFailed, dir);
    }
    if (io.failed) {
        std::fclose(spool);
        return false;
    }
    std::fclose(in);
    in = spool;
    front.inputSize = io.bytesRead;
    io.bytesRead = 0;
    io.inPos = io.inEnd = 0;
    io.inEof = false;
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
    if (front.console == nullptr) return;
    clearWatcherLine();
    std::fprintf(front.console, kTimeLineFormat, static_cast<long>(elapsedTicks));
}

void Coder::printBanner(const char* text) {
    if (front.console == nullptr) return;
    std::fputs(text, front.console);
    std::fputc('\n', front.console);
    std::fflush(front.console);
}

bool Coder::closeFiles() {
    bool ok = !io.failed;
    if (out != nullptr) {
        if (!flushOutput()) ok = false;
        if (ok && front.outputCreated) {
            if (std::fflush(out) != 0) {
                ok = fail(Fault::writeFailed, config.outputPath);
            } else {
                // Whole and written: the file gets its final bits now. Should the file system
                // refuse, it stays private.
                (void)fchmod(fileno(out), static_cast<mode_t>(front.outputMode));
            }
        }
        if (std::fclose(out) != 0 && ok) ok = fail(Fault::writeFailed, config.outputPath);
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
    io.readInput = readFile;
    io.writeOutput = writeFile;
    // Standard output is never sought: it may sit anywhere in its file, after what others
    // wrote there (>>, a group of commands), so only a named file, which this run opened and
    // wrote from its first byte, gets its header rewritten.
    io.rewriteHeader = front.outputIsStandard ? nullptr : rewriteFileHeader;
    bool ok =
        compressing ? beginCompression(inputName, outputName) : openFiles(inputName, outputName);
    ok = ok && runStream(newDirection, newPolicy, compressing ? front.inputSize : -1);
    ok = closeFiles() && ok;
    // A failed compression leaves no output that could pass for whole; what a damaged
    // stream gave up to the fault is kept.
    releaseOutput(!ok && compressing);
    if (!ok) {
        if (io.failed) reportFault();
        return 1;
    }
    if (!compressing || io.bytesRead > 0 || row.timeLineAfterEmptyCompression) stopTimerAndReport();
    return 0;
}

void Coder::reportFault() {
    clearWatcherLine();
    std::fflush(stdout);
    if (isDamage(io.fault)) {
        std::fprintf(stderr, kDamagedFormat, io.faultPath, faultText(io.fault));
    } else {
        std::fprintf(stderr, faultText(io.fault), io.faultPath);
    }
    std::fputc('\n', stderr);
}

bool Coder::beginCompression(const char* inputName, const char* outputName) {
    resetStreams();
    if (!openInput(inputName)) return false;
    // Refused before the output exists, so nothing is left behind.
    if (front.inputSize > kMaxInputSize) return fail(Fault::tooLarge, inputName);
    if (!openOutput(outputName)) return false;
    // The header of an unknown size (pipe, device, a regular file that reports 0) is fixed
    // at the end, on an output that can go back to it; any other output gets a header right
    // from its first byte. Standard output may sit anywhere in its file (>>), so its header
    // is never rewritten: the input is copied first, and its size known.
    bool seekable = !front.outputIsStandard && lseek(fileno(out), 0, SEEK_CUR) >= 0;
    if (front.inputSize < 0 && !seekable) {
        io.readLimit = kMaxInputSize;
        if (!spoolInput()) return false;
    }
    return true;
}

size_t Coder::readFile(Coder& coder, uint8_t* dst, size_t n) {
    if (coder.in == nullptr) return 0;
    size_t got = std::fread(dst, 1, n, coder.in);
    if (got == 0 && std::ferror(coder.in)) coder.fail(Fault::readFailed, coder.config.inputPath);
    if (got > 0 && coder.front.watcher != nullptr) {
        coder.front.watcher->refilled(coder.front.watcher->context,
                                      coder.io.bytesRead + static_cast<int64_t>(got),
                                      coder.front.inputSize);
    }
    return got;
}

bool Coder::writeFile(Coder& coder, const uint8_t* src, size_t n) {
    if (coder.out == nullptr) return true;
    if (std::fwrite(src, 1, n, coder.out) == n) return true;
    return coder.fail(Fault::writeFailed, coder.config.outputPath);
}

bool Coder::rewriteFileHeader(Coder& coder, int32_t length) {
    // The input was a pipe or changed size while read: rewrite the header in place.
    std::FILE* file = coder.out;
    if (file == nullptr) return true;
    if (std::fflush(file) != 0) return coder.fail(Fault::writeFailed, coder.config.outputPath);
    if (std::fseek(file, 0, SEEK_SET) != 0)
        return coder.fail(Fault::cannotSeek, coder.config.outputPath);
    uint8_t header[kHeaderSize];
    storeHeader(header, length);
    if (std::fwrite(header, 1, kHeaderSize, file) != kHeaderSize ||
        std::fseek(file, 0, SEEK_END) != 0) {
        return coder.fail(Fault::writeFailed, coder.config.outputPath);
    }
    return true;
}

}  // namespace lzw
