// The progress line the program shows on a terminal while a long run goes on.
#pragma once

#include <cstdint>

#include "coder.h"

namespace lzw::app {

// Shows on standard error how far a file run has come: the percent of the input and its
// bytes when its size is known, else the bytes read, and the speed so far, as
//  "  42%   81.0 MiB / 192.0 MiB   64.3 MiB/s"  or  "  81.0 MiB   64.3 MiB/s".
// Nothing in the first second; then refreshed four times a second, on one line that is
// redrawn in place and erased before any other line is printed. It is told of the run only
// after each refill of the 64 KiB input buffer, and looks at a coarse clock then: the
// coding loops never see it.
class ProgressLine {
  public:
    // Whether a run should show one: standard error is a terminal.
    static bool wanted();
    // Starts the clock and makes `coder` report to this line. Keep this object alive while
    // the coder runs.
    void attach(Coder& coder);
    // Erases the line if it is shown.
    void clear();

  private:
    static void refilled(void* context, int64_t bytesRead, int64_t inputSize);
    static void cleared(void* context);
    void draw(int64_t now, int64_t bytesRead, int64_t inputSize);

    RunWatcher watcher_{};
    int64_t start_ = 0;     // clock at attach(), in nanoseconds
    int64_t nextDraw_ = 0;  // the line is drawn at the first refill from this time on
    int shown_ = 0;         // columns the drawn line takes; 0: nothing on the screen
    int width_ = 0;         // the terminal's columns, 0 when unknown
};

}  // namespace lzw::app
