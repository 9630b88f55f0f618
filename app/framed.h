// The program's framed runs: a frame written from a file, frames (or a raw stream, by its
// first bytes) read back, and the -t and -l views of a compressed file.
#pragma once

#include <cstdint>

#include "coder.h"

namespace lzw::app {

// What the command line asked of a framed run.
struct FrameOptions {
    bool frame = false;      // -F: a compression writes a frame
    uint32_t blockSize = 0;  // -B; 0: the default
    int threads = 1;         // -T
    bool seekTable = true;   // --no-seek-table: false
    bool ranged = false;     // -R: a decompression gives only rangeLength bytes from rangeStart
    uint64_t rangeStart = 0;
    uint64_t rangeLength = UINT64_MAX;
};

// What parsing an option's value found.
enum class Parsed { ok, notNumber, outOfRange };

// Parses a size such as "1048576", "64K", "4M", "1G" (binary units) within the frame's
// block limits (1K to 1G).
Parsed parseBlockSize(const char* text, uint32_t& size);

// Parses a thread count: 0 (one per core) up to frame::kMaxThreads.
Parsed parseThreads(const char* text, int& threads);

// Parses a range "START[:LENGTH]" of byte counts such as "1048576", "64K", "1G" (binary
// units, up to T); outOfRange for a count past 2^64 - 1.
Parsed parseRange(const char* text, uint64_t& start, uint64_t& length);

// One mode on two files, as Coder::runFile, but a compression with opts.frame writes a frame,
// and a decompression of a frame (recognised by its magic) decodes it by the policy it
// records. Returns the exit status.
int runMode(Coder& coder, Direction direction, Policy policy, const char* inputPath,
            const char* outputPath, const FrameOptions& opts);

// -t: checks the file without writing anything; a raw stream needs `policy` (null: the file
// must be framed). Prints nothing on success. Returns the exit status.
int testFile(Coder& coder, const Policy* policy, const char* inputPath, const FrameOptions& opts);

// -l: prints what the file says about itself. Returns the exit status.
int listFile(Coder& coder, const char* inputPath);

}  // namespace lzw::app
