// Shared by the fuzz targets: a Coder that starts every input from the same memory.
#pragma once

#include <cstring>
#include <new>

#include "coder.h"

namespace lzw::fuzz {

// A Coder built afresh for every input in one block allocated once: a new heap block per input
// costs the sanitizer runtime far more than the coding. The block is filled with the same
// pattern first, so a field the coder forgets to set holds the same odd value on every input
// (negative as a code) instead of whatever the previous input left there.
inline Coder& freshCoder() {
    alignas(Coder) static unsigned char storage[sizeof(Coder)];
    static Coder* current = nullptr;
    if (current != nullptr) current->~Coder();
    std::memset(storage, 0xA5, sizeof storage);
    current = new (storage) Coder();
    return *current;
}

}  // namespace lzw::fuzz
