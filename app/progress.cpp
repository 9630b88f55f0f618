// The progress line the program shows on a terminal while a long run goes on.
#include "progress.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace lzw::app {

namespace {

constexpr int64_t kSecond = 1000000000;
constexpr int64_t kFirstDraw = kSecond;   // a shorter run shows nothing
constexpr int64_t kRedraw = kSecond / 4;  // four times a second
constexpr int kLineRoom = 80;             // the longest line is about 45 columns

// Nanoseconds of the coarse monotonic clock: read from memory the kernel maps into the
// process, a few nanoseconds a call, once per 64 KiB of input.
int64_t clockNow() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kSecond + ts.tv_nsec;
}

// "512 B", "81.0 KiB", "81.0 MiB", "1.4 GiB".
void formatBytes(char* text, size_t room, double bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB"};
    if (bytes < 1024) {
        std::snprintf(text, room, "%d B", static_cast<int>(bytes));
        return;
    }
    int unit = -1;
    while (unit < 2 && bytes >= 1024) {
        bytes /= 1024;
        ++unit;
    }
    std::snprintf(text, room, "%.1f %s", bytes, kUnits[unit]);
}

void put(const char* text, size_t length) {
    // Standard error is unbuffered: the line is on the terminal before the next one.
    std::fwrite(text, 1, length, stderr);
}

}  // namespace

bool ProgressLine::wanted() {
    return isatty(STDERR_FILENO) == 1;
}

void ProgressLine::attach(Coder& coder) {
    start_ = clockNow();
    nextDraw_ = start_ + kFirstDraw;
    struct winsize size;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0) width_ = size.ws_col;
    watcher_ = RunWatcher{&ProgressLine::refilled, &ProgressLine::cleared, this};
    coder.front.watcher = &watcher_;
}

void ProgressLine::refilled(void* context, int64_t bytesRead, int64_t inputSize) {
    auto* self = static_cast<ProgressLine*>(context);
    int64_t now = clockNow();
    if (now < self->nextDraw_) return;
    self->nextDraw_ = now + kRedraw;
    self->draw(now, bytesRead, inputSize);
}

void ProgressLine::cleared(void* context) {
    static_cast<ProgressLine*>(context)->clear();
}

void ProgressLine::draw(int64_t now, int64_t bytesRead, int64_t inputSize) {
    double seconds = static_cast<double>(now - start_) / kSecond;
    char done[24], total[24], speed[24];
    formatBytes(done, sizeof done, static_cast<double>(bytesRead));
    formatBytes(speed, sizeof speed, static_cast<double>(bytesRead) / seconds);
    char line[kLineRoom + 1];
    int n;
    if (inputSize > 0) {
        // A regular input may grow while it is read.
        auto percent = static_cast<int>(std::min<int64_t>(100, bytesRead * 100 / inputSize));
        formatBytes(total, sizeof total, static_cast<double>(inputSize));
        n = std::snprintf(line, sizeof line, "%3d%%   %s / %s   %s/s", percent, done, total, speed);
    } else {
        n = std::snprintf(line, sizeof line, "%s   %s/s", done, speed);
    }
    n = std::clamp(n, 0, kLineRoom);
    // A line as wide as the terminal would wrap, and "\r" would no longer reach its start.
    if (width_ > 0) n = std::min(n, width_ - 1);
    if (n <= 0) return;
    // Back to the start of the line, the new text, and blanks over what is left of the old.
    char out[2 * kLineRoom + 2];
    int length = 0;
    out[length++] = '\r';
    std::memcpy(out + length, line, static_cast<size_t>(n));
    length += n;
    for (int i = n; i < shown_; ++i) out[length++] = ' ';
    put(out, static_cast<size_t>(length));
    shown_ = std::max(n, shown_);
}

void ProgressLine::clear() {
    if (shown_ == 0) return;
    char out[kLineRoom + 2];
    int length = 0;
    out[length++] = '\r';
    for (int i = 0; i < shown_; ++i) out[length++] = ' ';
    out[length++] = '\r';
    put(out, static_cast<size_t>(length));
    shown_ = 0;
}

}  // namespace lzw::app
