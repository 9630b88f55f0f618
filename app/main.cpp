// lzw MODE INPUT OUTPUT: compresses or decompresses one file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "coder.h"

namespace {

const char kUsage[] = "uzycie: lzw c1|d1|c2|d2|c3|d3 WEJSCIE WYJSCIE\n";

const char kHelp[] =
    "  c1, d1  kompresja i dekompresja; pelny slownik przestaje rosnac\n"
    "  c2, d2  pelny slownik usuwa najdawniej uzyta fraze bez rozszerzen\n"
    "  c3, d3  pelny slownik jest czyszczony i budowany od nowa\n";

// Static: the Coder holds a few MiB of tables, too much for the stack.
lzw::Coder coder;

// Maps the pages of the child table of the freeze and eviction compressors in one call. A
// run reaches nearly all of them, and taking them one fault at a time costs milliseconds.
// Best effort: a kernel without the call leaves them to be faulted in as before. The
// reset-mode compressor does not use the table.
void mapChildTable() {
#ifdef MADV_POPULATE_WRITE
    auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    auto start = reinterpret_cast<uintptr_t>(coder.childOf);
    uintptr_t first = (start + page - 1) & ~(page - 1);
    uintptr_t last = (start + sizeof coder.childOf) & ~(page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
}

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
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc < 4) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const Mode* mode = findMode(argv[1]);
    if (mode == nullptr) {
        // A mistyped mode must not pass for a finished run: the input may be deleted next.
        std::fputs(kUsage, stderr);
        return 2;
    }
    // Static storage starts zeroed, so the child table needs no clearing before the first run.
    coder.childOfStale = false;
    if (mode->name[0] == 'c' && mode->name[1] != '3') mapChildTable();
    const char* output = argv[3];
    coder.pickConsole(output);
    lzw::Coder::catchSignals();
    return (coder.*mode->run)(argv[2], output);
}
