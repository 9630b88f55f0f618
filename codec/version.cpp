// lzw_version(), in a file of its own: the program calls it for --version, and linking api.cpp
// for it would bring along the C++ runtime's exception support that api.cpp's cleanups need,
// with its allocation and page faults at every start of the program.
#include "lzw.h"

#ifndef LZW_VERSION
#error "LZW_VERSION must name the project version"
#endif

namespace {

// The version macros of lzw.h are the project's version, which the build passes in.
constexpr bool isVersion(const char* text, int major, int minor, int patch) {
    int parts[3] = {0, 0, 0};
    int k = 0;
    for (; *text != '\0'; ++text) {
        if (*text == '.') {
            if (++k > 2) return false;
        } else if (*text >= '0' && *text <= '9') {
            parts[k] = parts[k] * 10 + (*text - '0');
        } else {
            return false;
        }
    }
    return k == 2 && parts[0] == major && parts[1] == minor && parts[2] == patch;
}
static_assert(isVersion(LZW_VERSION, LZW_VERSION_MAJOR, LZW_VERSION_MINOR, LZW_VERSION_PATCH),
              "lzw.h's LZW_VERSION_* macros differ from the project version in CMakeLists.txt");

}  // namespace

extern "C" const char* lzw_version(void) {
    return LZW_VERSION;
}
