// lzw MODE INPUT OUTPUT: compresses or decompresses one file.
#include <cstdio>
#include <cstring>

#include "coder.h"
#include "lzw.h"

namespace {

struct Mode {
    const char* name;
    int (lzw::Coder::*run)(const char* inputPath, const char* outputPath);
};

const Mode kModes[] = {
    {"c1", &lzw::Coder::compress},          {"d1", &lzw::Coder::decompress},
    {"c2", &lzw::Coder::compressEvicting},  {"d2", &lzw::Coder::decompressEvicting},
    {"c3", &lzw::Coder::compressResetting}, {"d3", &lzw::Coder::decompressResetting},
};

// The mode named exactly (case matters), or null.
const Mode* findMode(const char* name) {
    for (const Mode& m : kModes) {
        if (std::strcmp(m.name, name) == 0) return &m;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything is opened: a file must not take the place of a closed standard stream.
    if (!lzw::Coder::openStandardStreams()) return 1;
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
    const Mode* mode = findMode(argv[1]);
    if (mode == nullptr) {
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
    int status = (coder->*mode->run)(argv[2], output);
    lzw::Coder::release(coder);
    return status;
}
