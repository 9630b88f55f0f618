// lzw [-q] [-v] [-f] [-F] [-B SIZE] [-T N] MODE INPUT OUTPUT: compresses or decompresses
// one file; lzw -t [dN] FILE checks one, lzw -l FILE lists what it says about itself.
#include <cstdio>
#include <cstring>

#include "coder.h"
#include "framed.h"
#include "lzw.h"
#include "progress.h"

namespace {

// The file a path on the command line names: "-" is standard input or output, and goes the
// way of /dev/stdin and /dev/stdout (a file named "-" is "./-").
const char* fileName(const char* arg, const char* standard) {
    return std::strcmp(arg, "-") == 0 ? standard : arg;
}

// The value of the option at argv[at] ("-B 4M" or "-B4M"), moving `at` past a value of its
// own; "" when there is none.
const char* optionValue(int argc, char** argv, int& at) {
    const char* option = argv[at];
    if (option[2] != '\0') return option + 2;
    return at + 1 < argc ? argv[++at] : "";
}

// A usage error: the line saying what is wrong, then the usage line, on standard error.
// Returns the status, 2.
int usageError(const char* reason) {
    std::fputs(reason, stderr);
    std::fputs(lzw::kUsage, stderr);
    return 2;
}
// The same with the line's one value: an option, a value or a count.
template <class Value>
int usageError(const char* reasonFormat, Value value) {
    std::fprintf(stderr, reasonFormat, value);
    std::fputs(lzw::kUsage, stderr);
    return 2;
}

// The run's Coder, on the heap: it holds a few MiB of tables, too much for the stack. Null
// after the line of the fault.
lzw::Coder* createCoder() {
    lzw::Coder* coder = lzw::Coder::create();
    if (coder == nullptr) std::fprintf(stderr, "%s\n", lzw::faultText(lzw::Fault::noMemory));
    return coder;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything is opened: a file must not take the place of a closed standard stream.
    if (!lzw::Coder::openStandardStreams()) return 1;
    // Options come before the mode; a mode never starts with '-', and "--" ends them.
    bool quiet = false, verbose = false, force = false, test = false, list = false;
    bool threaded = false;
    const char* alone = nullptr;  // -h, --help or --version, as given
    lzw::app::FrameOptions frame;
    int first = 1;
    for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; ++first) {
        const char* option = argv[first];
        if (std::strcmp(option, "--") == 0) {
            ++first;
            break;
        }
        if (std::strcmp(option, "-q") == 0) {
            quiet = true;
        } else if (std::strcmp(option, "-v") == 0) {
            verbose = true;
        } else if (std::strcmp(option, "-f") == 0) {
            force = true;
        } else if (std::strcmp(option, "-F") == 0 || std::strcmp(option, "--frame") == 0) {
            frame.frame = true;
        } else if (std::strcmp(option, "--no-seek-table") == 0) {
            frame.seekTable = false;
        } else if (option[1] == 'B' || option[1] == 'T' || option[1] == 'R') {
            // "-B 4M" or "-B4M"; 0 threads: one per core.
            const char name[] = {'-', option[1], '\0'};
            const char* value = optionValue(argc, argv, first);
            if (*value == '\0') return usageError(lzw::kMissingValueFormat, name);
            lzw::app::Parsed parsed;
            const char* notNumber = lzw::kBlockSizeFormat;
            const char* outOfRange = lzw::kBlockRangeFormat;
            if (option[1] == 'B') {
                parsed = lzw::app::parseBlockSize(value, frame.blockSize);
            } else if (option[1] == 'T') {
                parsed = lzw::app::parseThreads(value, frame.threads);
                notNumber = lzw::kThreadsFormat;
                outOfRange = lzw::kThreadsRangeFormat;
                threaded = true;
            } else {
                parsed = lzw::app::parseRange(value, frame.rangeStart, frame.rangeLength);
                notNumber = lzw::kRangeFormat;
                outOfRange = lzw::kRangeLimitFormat;
                frame.ranged = true;
            }
            if (parsed == lzw::app::Parsed::notNumber) return usageError(notNumber, value);
            if (parsed == lzw::app::Parsed::outOfRange) return usageError(outOfRange, value);
        } else if (std::strcmp(option, "-t") == 0) {
            test = true;
        } else if (std::strcmp(option, "-l") == 0) {
            list = true;
        } else if (std::strcmp(option, "-h") == 0 || std::strcmp(option, "--help") == 0 ||
                   std::strcmp(option, "--version") == 0) {
            alone = option;
        } else {
            return usageError(lzw::kUnknownOptionFormat, option);
        }
    }
    int arguments = argc - first;
    // -h and --version stand alone: with a mode or a file, the line is a mistake.
    if (alone != nullptr && arguments == 0) {
        if (std::strcmp(alone, "--version") != 0) {
            std::fputs(lzw::kUsage, stdout);
            std::fputs(lzw::kHelp, stdout);
        } else {
            std::printf("lzw %s\n", lzw_version());
        }
        return 0;
    }
    if (alone != nullptr) return usageError(lzw::kStandsAloneFormat, alone);
    if (test && list) return usageError(lzw::kTestAndList);
    // A range is of what a frame decodes to.
    if (frame.ranged && (test || list)) return usageError(lzw::kRangeNeedsDecompression);
    if (test || list) {
        // -t [dN] FILE, -l FILE: the mode only tells a raw stream's policy.
        lzw::Direction direction;
        lzw::Policy policy;
        bool moded = test && arguments == 2 && lzw::findMode(argv[first], direction, policy) &&
                     direction == lzw::Direction::decompress;
        if (test && arguments == 2 && !moded) return usageError(lzw::kTestModeFormat, argv[first]);
        if (arguments != (moded ? 2 : 1)) {
            return usageError(list ? lzw::kListArgumentsFormat : lzw::kTestArgumentsFormat,
                              arguments);
        }
        lzw::Coder* coder = createCoder();
        if (coder == nullptr) return 1;
        const char* input = fileName(argv[argc - 1], "/dev/stdin");
        coder->pickStreams(input, "/dev/null");
        // The Coder is left to the process's exit, as below.
        return list ? lzw::app::listFile(*coder, input)
                    : lzw::app::testFile(*coder, moded ? &policy : nullptr, input, frame);
    }
    // More than three: a glob (lzw c2 *.txt) would have its second file replaced by the first.
    if (arguments != 3) {
        for (int k = first + 1; k < argc; ++k) {
            if (argv[k][0] == '-' && argv[k][1] != '\0')
                return usageError(lzw::kOptionAfterModeFormat, argv[k]);
        }
        return usageError(lzw::kArgumentsFormat, arguments);
    }
    lzw::Direction direction;
    lzw::Policy policy;
    // A mistyped mode must not pass for a finished run: the input may be deleted next.
    if (!lzw::findMode(argv[first], direction, policy))
        return usageError(lzw::kUnknownModeFormat, argv[first]);
    // Threads code the blocks of a frame: a raw stream has none.
    if (threaded && direction == lzw::Direction::compress && !frame.frame)
        return usageError(lzw::kThreadsNeedFrame);
    if (frame.ranged && direction == lzw::Direction::compress)
        return usageError(lzw::kRangeNeedsDecompression);
    lzw::Coder* coder = createCoder();
    if (coder == nullptr) return 1;
    const char* input = fileName(argv[first + 1], "/dev/stdin");
    const char* output = fileName(argv[first + 2], "/dev/stdout");
    coder->pickStreams(input, output);
    if (quiet) coder->front.console = nullptr;  // error lines only
    coder->front.showSizes = verbose;
    coder->front.toTerminal = force;
    coder->front.compressFrames = force;
    lzw::app::ProgressLine progress;
    if (!quiet && lzw::app::ProgressLine::wanted()) progress.attach(*coder);
    lzw::Coder::catchSignals();
    int status = lzw::app::runMode(*coder, direction, policy, input, output, frame);
    progress.clear();
    // The Coder is not unmapped: the exit returns its pages at once, where an munmap of its
    // megabytes would first flush their mappings from every core the run touched, which
    // costs a short run up to a quarter of a millisecond here.
    return status;
}
