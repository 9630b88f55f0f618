// Least-recently-used leaf eviction: the leaf list.
#include "coder.h"

namespace lzw {

void Coder::initRecency() {
    leaf.leaves[NIL].next = NIL;
    leaf.leaves[NIL].prev = NIL;
    // Unlinking a code linked to itself changes nothing: the spare, and the single bytes,
    // which are never leaves, so an add can unlink its prefix without asking which it is.
    leaf.leaves[kLeafSpare] = LeafLink{kLeafSpare, kLeafSpare};
    // No run moves them, nor changes the single bytes' firstOf: set once.
    if (!marks.leafSinglesSet) {
        for (int32_t j = 0; j < alphabetSize; ++j) {
            leaf.leaves[j] = LeafLink{static_cast<uint16_t>(j), static_cast<uint16_t>(j)};
        }
        for (int32_t j = 0; j < alphabetSize; ++j) dec.firstOf[j] = static_cast<uint8_t>(j);
        marks.leafSinglesSet = true;
    }
    if constexpr (kChecked) {
        check.useClock = 0;
        check.usedLeaf = NIL;
        for (int32_t k = 0; k < kTableSize; ++k) {
            check.refParent[k] = NIL;
            check.refChildren[k] = 0;
        }
    }
}

int32_t Coder::addPhraseEvicting(int32_t prefix, int32_t symbol) {
    // The loops' fillSlot, but keeping dict in every build, for the tests to read.
    uint32_t erased;
    int32_t code;
    if (config.indexing) {
        code = count < kTableSize ? takeSlotAs<true, false>(prefix, erased)
                                  : takeSlotAs<true, true>(prefix, erased);
        fillSlot<true>(code, prefix, symbol);
    } else {
        code = count < kTableSize ? takeSlotAs<false, false>(prefix, erased)
                                  : takeSlotAs<false, true>(prefix, erased);
        fillSlot<false>(code, prefix, symbol);
    }
    return code;
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

}  // namespace lzw
