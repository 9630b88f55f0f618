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
    if constexpr (kChecked) {
        useClock = 0;
        usedLeaf = NIL;
        checkedAdds = 0;
        for (int32_t k = 0; k < kTableSize; ++k) {
            refParent[k] = NIL;
            refChildren[k] = 0;
        }
    }
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

void Coder::checkBeforeAdd(int32_t prefix) {
    if (usedLeaf != NIL && usedLeaf != prefix)
        broken("a used leaf is not the next prefix", usedLeaf);
    usedLeaf = NIL;
}

void Coder::checkAfterAdd(int32_t prefix, int32_t code) {
    lastUse[code] = ++useClock;  // the new phrase is the most recently used
    // Follow the slot's parent in dict: the old one lost a child, the new one gained one.
    int32_t before = refParent[code];
    int32_t parent = dict[code].parent;
    if (parent < 0 || parent >= kTableSize) broken("parent out of range", code);
    if (before != NIL && before != code) --refChildren[before];
    refChildren[code] = 0;
    if (parent != code) ++refChildren[parent];
    refParent[code] = static_cast<uint16_t>(parent);
    for (int32_t k : {before, parent, code}) {
        if (k != NIL && childCount[k] != refChildren[k]) broken("child count", k);
    }
    if (leaves[NIL].prev != code) broken("new phrase not the newest leaf", code);
    // A phrase with a child is not listed: its old neighbour no longer links to it.
    if (prefix >= alphabetSize && prefix != code) {
        int32_t p = leaves[prefix].prev;
        if (p <= kLeafScratch && leaves[p].next == prefix) broken("prefix still listed", prefix);
    }
    int32_t head = leaves[NIL].next;
    bool regained = before != NIL && before != code && before >= alphabetSize && before != prefix &&
                    refChildren[before] == 0;
    if (regained && head != before) broken("parent without children not the oldest leaf", before);
    int32_t second = head == NIL ? NIL : leaves[head].next;
    if (second != NIL && lastUse[head] >= lastUse[second])
        broken("oldest leaves out of order", head);
    if (++checkedAdds % 256 == 0) checkEviction();
}

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
        if (children[k] != childCount[k] || children[k] != refChildren[k]) {
            broken("child count", k);
        }
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
