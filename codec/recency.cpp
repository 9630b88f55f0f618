// Least-recently-used leaf eviction: the leaf list and its check.
#include <cstdio>
#include <cstdlib>

#include "coder.h"

namespace lzw {

void Coder::initRecency() {
    leaves[NIL].next = NIL;
    leaves[NIL].prev = NIL;
    // Unlinking a code linked to itself changes nothing: the spare, and the single bytes,
    // which are never leaves, so an add can unlink its prefix without asking which it is.
    leaves[kLeafSpare] = LeafLink{kLeafSpare, kLeafSpare};
    for (int32_t j = 0; j < alphabetSize; ++j) {
        leaves[j] = LeafLink{static_cast<uint16_t>(j), static_cast<uint16_t>(j)};
    }
    for (int32_t j = 0; j < alphabetSize; ++j) firstOf[j] = static_cast<uint8_t>(j);
    useClock = 0;
}

int32_t Coder::emitStringTouching(int32_t code) {
    int32_t n = emitChecked(code);
    if (n > 0) notePathUse(code);
    return n;
}

void Coder::notePathWalk(int32_t code) {
    int32_t path[kTableSize];
    int32_t n = 0;
    for (int32_t c = code; c >= alphabetSize && c < kTableSize && n < kTableSize;
         c = dict[c].parent) {
        path[n++] = c;
    }
    while (n > 0) noteUse(path[--n]);
}

namespace {

[[noreturn]] void broken(const char* what, int32_t code) {
    std::fprintf(stderr, "lzw: eviction state broken: %s (code %d)\n", what, code);
    std::abort();
}

}  // namespace

void Coder::checkEviction() {
    // Child counts, rebuilt from the parents in dict.
    uint16_t children[kTableSize] = {};
    for (int32_t k = alphabetSize; k < count; ++k) {
        int32_t p = dict[k].parent;
        if (p < 0 || p >= kTableSize) broken("parent out of range", k);
        if (p != k) ++children[p];
    }
    int32_t childless = 0;
    for (int32_t k = 0; k < count; ++k) {
        if (children[k] != childCount[k]) broken("child count", k);
        if (k >= alphabetSize && children[k] == 0) ++childless;
    }
    // The leaf list: every childless phrase once, least recently used first.
    int32_t listed = 0;
    int32_t before = NIL;
    uint64_t lastSeen = 0;
    for (int32_t c = leaves[NIL].next; c != NIL; c = leaves[c].next) {
        if (c < alphabetSize || c >= count) broken("listed code out of range", c);
        if (children[c] != 0) broken("listed phrase has children", c);
        if (leaves[c].prev != before) broken("backward link", c);
        if (listed > 0 && lastUse[c] <= lastSeen) broken("leaf out of recency order", c);
        if (++listed > childless) broken("more leaves listed than childless phrases", c);
        lastSeen = lastUse[c];
        before = c;
    }
    if (leaves[NIL].prev != before) broken("newest leaf", before);
    if (listed != childless) broken("childless phrase not listed", listed);
    // The pair index names every phrase under its parent (a compressor's only).
    if (indexing) {
        for (int32_t k = alphabetSize; k < count; ++k) {
            int32_t p = dict[k].parent;
            if (p != k && findChild(p, dict[k].symbol) != k) broken("pair not indexed", k);
        }
    }
}

}  // namespace lzw
