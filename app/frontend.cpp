// The program's front end: files, spooling, signals, banners, the time line and the fault's
// line. Only the program links it; the codec never touches a file, a signal or the console.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "coder.h"
#include "frame.h"

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

// The time line, written out here: printf's first call cost a 10 KB decompression 3 page
// faults and about 30 us, for one number.
size_t timeLine(char (&line)[64], int32_t ms) {
    size_t n = std::strlen(kTimeLinePrefix);
    std::memcpy(line, kTimeLinePrefix, n);
    char* end = std::to_chars(line + n, line + sizeof line, ms).ptr;
    size_t tail = std::strlen(kTimeLineSuffix);
    std::memcpy(end, kTimeLineSuffix, tail);
    return static_cast<size_t>(end - line) + tail;
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

// The descriptor a name stands for: /dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N or
// /proc/self/fd/N; Coder::FrontEnd::kByPath for any other name, kClosedDescriptor for a
// descriptor that was closed when the program started. Before the run opens anything.
int32_t namedDescriptor(const char* path) {
    static const char* const kStandard[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
    int32_t fd = Coder::FrontEnd::kByPath;
    for (int32_t k = 0; k < 3; ++k) {
        if (std::strcmp(path, kStandard[k]) == 0) fd = k;
    }
    for (const char* dir : {"/dev/fd/", "/proc/self/fd/"}) {
        size_t n = std::strlen(dir);
        const char* digits = path + n;
        // As /proc spells them: no sign, no leading zero.
        if (std::strncmp(path, dir, n) != 0 || digits[0] < '0' || digits[0] > '9' ||
            (digits[0] == '0' && digits[1] != '\0')) {
            continue;
        }
        long number = 0;
        for (const char* d = digits; *d != '\0'; ++d) {
            if (*d < '0' || *d > '9' || number > INT_MAX / 10) return Coder::FrontEnd::kByPath;
            number = number * 10 + (*d - '0');
        }
        if (number > INT_MAX) return Coder::FrontEnd::kByPath;
        fd = static_cast<int32_t>(number);
    }
    if (fd == Coder::FrontEnd::kByPath) return fd;
    bool closed = fd < 3 ? (closedStreams >> fd & 1) != 0 : fcntl(fd, F_GETFD) == -1;
    return closed ? Coder::FrontEnd::kClosedDescriptor : fd;
}

// A stream of its own on descriptor `fd`, which stays open: it shares the offset.
std::FILE* openDescriptor(int32_t fd, const char* how) {
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    std::FILE* file = copy < 0 ? nullptr : fdopen(copy, how);
    if (file == nullptr && copy >= 0) close(copy);
    unbuffer(file);
    return file;
}

// Writes a line of the console (standard output or error). A reader that has gone away (a
// closed pipe: lzw ... | head -c1) drops the line, and the SIGPIPE its write raises is taken
// here: it must not end a run whose output is whole. A write to the output itself still
// meets SIGPIPE as before.
void say(std::FILE* stream, const char* text, size_t length) {
    sigset_t pipe, saved;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    if (pthread_sigmask(SIG_BLOCK, &pipe, &saved) != 0) return;
    int fd = fileno(stream);
    bool gone = false;
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            gone = n < 0 && errno == EPIPE;
            break;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
    // Unless the caller holds SIGPIPE blocked itself: then it stays pending for the caller.
    if (gone && sigismember(&saved, SIGPIPE) == 0) {
        struct timespec now = {0, 0};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

}  // namespace

bool Coder::openInput(const char* path) {
    config.inputPath = path;
    front.inputKnown = false;
    front.inputSize = -1;
    front.inputMode = -1;
    int32_t fd = front.inputDescriptor;
    if (fd == FrontEnd::kClosedDescriptor || (fd == FrontEnd::kByPath && namesClosedStream(path)))
        return fail(Fault::cannotOpen, path);
    if (fd >= 0) {
        in = openDescriptor(fd, "rb");
    } else {
        in = std::fopen(path, "rb");
        unbuffer(in);
    }
    if (in == nullptr) return fail(Fault::cannotOpen, path);
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
        // A descriptor is read from where it stands: the bytes after its offset.
        off_t at = S_ISREG(st.st_mode) ? lseek(fileno(in), 0, SEEK_CUR) : 0;
        if (S_ISREG(st.st_mode) && at >= 0 && st.st_size > at) front.inputSize = st.st_size - at;
        if (S_ISREG(st.st_mode)) front.inputMode = static_cast<int32_t>(st.st_mode & 0777);
    }
    return true;
}

bool Coder::refuseInputAsOutput(const char* path) {
    int32_t fd = front.outputDescriptor;
    struct stat outStat;
    bool found = fd >= 0 ? fstat(fd, &outStat) == 0 : stat(path, &outStat) == 0;
    if (front.inputKnown && found && S_ISREG(outStat.st_mode) &&
        sameFile(outStat, front.inputDevice, front.inputInode)) {
        // Opening it for writing would truncate the input before it is read (devices such
        // as /dev/null lose nothing).
        return fail(Fault::sameFile, path);
    }
    return true;
}

bool Coder::openOutput(const char* path) {
    config.outputPath = path;
    front.outputCreated = false;
    front.bytesWritten = 0;
    int32_t fd = front.outputDescriptor;
    if (fd == FrontEnd::kClosedDescriptor || (fd == FrontEnd::kByPath && namesClosedStream(path)))
        return fail(Fault::cannotOpen, path);
    if (!refuseInputAsOutput(path)) return false;
    if (fd >= 0) {
        out = openDescriptor(fd, "wb");
        return out != nullptr || fail(Fault::cannotOpen, path);
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

void Coder::pickStreams(const char* inputName, const char* outputName) {
    front.inputDescriptor = namedDescriptor(inputName);
    front.outputDescriptor = namedDescriptor(outputName);
    front.console = stdout;
    // A closed standard output is no output: its names cannot be opened (openOutput).
    if ((closedStreams & 1u << STDOUT_FILENO) != 0) return;
    int32_t fd = front.outputDescriptor;
    struct stat named, standard;
    bool found =
        fd >= 0 ? fstat(fd, &named) == 0 : fd == FrontEnd::kByPath && stat(outputName, &named) == 0;
    if (found && fstat(STDOUT_FILENO, &standard) == 0 &&
        sameFile(named, static_cast<uint64_t>(standard.st_dev),
                 static_cast<uint64_t>(standard.st_ino))) {
        front.console = stderr;
        if (fd == FrontEnd::kByPath) front.outputDescriptor = STDOUT_FILENO;
    }
}

bool Coder::spoolInput() {
    // An empty input needs no copy (a regular file that reports size 0 mostly is empty). The
    // first window may have been read already, and left unread.
    if (io.inPos >= io.inEnd && refill() < 0) {
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

bool Coder::beginDecompression(const char* inputName, const char* outputName) {
    resetStreams();
    // The input named as the output is refused first, whatever it holds.
    if (!openInput(inputName) || !refuseInputAsOutput(outputName) || !peekInput()) return false;
    if (!openOutput(outputName)) return false;
    halfPending = false;
    return true;
}

bool Coder::peekInput() {
    return readFirstWindow() && checkStart();
}

bool Coder::readFirstWindow() {
    // Unread again at once: the decoder starts from the first byte, in inBuf, as a pipe
    // cannot be read twice.
    if (refill() >= 0) io.inPos = 0;
    return !io.failed;
}

bool Coder::checkStart() {
    bool whole = io.inEof || (in != nullptr && std::feof(in));
    Fault fault = startFault(io.inBuf, static_cast<size_t>(io.inEnd), whole);
    // A regular file's length bounds what its header can say: a header that no stream of
    // that length can have is refused before the output is opened.
    if (fault == Fault::none && front.inputSize >= 0 &&
        static_cast<size_t>(io.inEnd) >= kHeaderSize)
        fault = lengthFault(loadHeader(io.inBuf), front.inputSize);
    return fault == Fault::none || failCorrupt(fault);
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
    char line[64];
    size_t n = timeLine(line, elapsedTicks);
    say(front.console, line, n);
}

void Coder::reportSizes(bool compressing) {
    if (!front.showSizes) return;
    auto taken = static_cast<long long>(io.bytesRead);
    auto given = static_cast<long long>(front.bytesWritten);
    char line[128];
    int n = compressing && taken > 0
                ? std::snprintf(line, sizeof line, kCompressedSizesFormat, taken, given,
                                100.0 * static_cast<double>(given) / static_cast<double>(taken))
                : std::snprintf(line, sizeof line, kDecompressedSizesFormat, taken, given);
    if (n > 0) say(stderr, line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

void Coder::printBanner(const char* text) {
    if (front.console == nullptr) return;
    size_t n = std::strlen(text);
    char line[128];
    if (n < sizeof line) {
        // One write: a reader sees the whole line or none of it.
        std::memcpy(line, text, n);
        line[n] = '\n';
        say(front.console, line, n + 1);
    } else {
        say(front.console, text, n);
        say(front.console, "\n", 1);
    }
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
    // A descriptor (standard output, /dev/fd/N...) is never sought: it may sit anywhere in
    // its file, after what others wrote there (>>, a group of commands), so only a named
    // file, which this run opened and wrote from its first byte, gets its header rewritten.
    io.rewriteHeader = front.outputDescriptor >= 0 ? nullptr : rewriteFileHeader;
    bool ok = compressing ? beginCompression(inputName, outputName)
                          : beginDecompression(inputName, outputName);
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
    reportSizes(compressing);
    return 0;
}

void Coder::reportFault() {
    clearWatcherLine();
    std::fflush(stdout);
    if (front.refusedTerminal) {
        std::fprintf(stderr, kTerminalFormat, config.outputPath);
    } else if (front.refusedFrame) {
        std::fprintf(stderr, kFramedInputFormat, config.inputPath);
    } else if (isDamage(io.fault)) {
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
    // The first window is read, and left unread for the coder, before the output is opened.
    if (!refuseInputAsOutput(outputName) || !readFirstWindow() ||
        !refuseFrame(io.inBuf, static_cast<size_t>(io.inEnd))) {
        return false;
    }
    if (!openOutput(outputName) || !refuseTerminal()) return false;
    // The header of an unknown size (pipe, device, a regular file that reports 0) is fixed
    // at the end, on an output that can go back to it; any other output gets a header right
    // from its first byte. A descriptor may sit anywhere in its file (>>), so its header is
    // never rewritten: the input is copied first, and its size known.
    bool seekable = front.outputDescriptor < 0 && lseek(fileno(out), 0, SEEK_CUR) >= 0;
    if (front.inputSize < 0 && !seekable) {
        io.readLimit = kMaxInputSize;
        if (!spoolInput()) return false;
    }
    return true;
}

bool Coder::refuseTerminal() {
    // Codes on a screen help nobody, and may set the terminal in a state of their own.
    if (front.toTerminal || isatty(fileno(out)) != 1) return true;
    front.refusedTerminal = true;
    return markFailed();
}

bool Coder::refuseFrame(const uint8_t* start, size_t size) {
    if (front.compressFrames || size < 4 || !frame::isFrameMagic(start)) return true;
    front.refusedFrame = true;
    return markFailed();
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
    coder.front.bytesWritten += static_cast<int64_t>(n);
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
