// lzw MODE INPUT OUTPUT: compresses or decompresses one file.
#include <cstdio>
#include <cstring>

#include "coder.h"
#include "lzw.h"

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(lzw::kUsage, stdout);
        std::fputs(lzw::kHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("lzw %s\n", lzw_version());
        return 0;
    }
    if (argc < 4) {
        std::fputs(lzw::kUsage, stderr);
        return 2;
    }
    lzw::Direction direction;
    lzw::Policy policy;
    if (!lzw::findMode(argv[1], direction, policy)) {
        // A mistyped mode must not pass for a finished run: the input may be deleted next.
        std::fputs(lzw::kUsage, stderr);
        return 2;
    }
    // On the heap: the Coder holds a few MiB of tables, too much for the stack.
    lzw::Coder* coder = lzw::Coder::create();
    if (coder == nullptr) {
        std::fprintf(stderr, "%s\n", lzw::faultText(lzw::Fault::noMemory));
        return 1;
    }
    const char* output = argv[3];
    coder->pickConsole(output);
    lzw::Coder::catchSignals();
    int status = coder->runFile(direction, policy, argv[2], output);
    lzw::Coder::release(coder);
    return status;
}
