// lzw MODE INPUT OUTPUT: compresses or decompresses one file.
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
    // Static storage starts zeroed, so the child table needs no clearing before the first run.
    coder.childOfStale = false;
    const char* mode = argv[1];
    const char* input = argv[2];
    const char* output = argv[3];
    if (std::strcmp(mode, "c1") == 0) return coder.compress(input, output);
    if (std::strcmp(mode, "d1") == 0) return coder.decompress(input, output);
    if (std::strcmp(mode, "c2") == 0) return coder.compressEvicting(input, output);
    if (std::strcmp(mode, "d2") == 0) return coder.decompressEvicting(input, output);
    if (std::strcmp(mode, "c3") == 0) return coder.compressResetting(input, output);
    if (std::strcmp(mode, "d3") == 0) return coder.decompressResetting(input, output);
    // An unknown mode does nothing, quietly.
    return 0;
}
