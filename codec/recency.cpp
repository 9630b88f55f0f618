// Recency list of phrase codes and least-recently-used leaf eviction.
#include "coder.h"

namespace lzw {

int32_t pathScratch[kTableSize];

void Coder::initRecency() {
    for (auto& node : recency) node = RecencyNode{NIL, NIL, NIL};
    for (auto& p : leafPrev) p = -1;
    leafNext[NIL] = NIL;
    leafPrev[NIL] = NIL;
}

void Coder::placeLeaf(int32_t code) {
    // Walk the recency list both ways from `code` to the nearest phrase already in the
    // leaf list; the walk ends at the head at the latest. Each step is cheap, and leaves
    // are dense in practice.
    int32_t newer = recency[code].next;
    int32_t older = recency[code].prev;
    for (int32_t steps = 0; steps <= kTableSize; ++steps) {
        if (newer == NIL || isLeafListed(newer)) return insertLeaf(leafPrev[newer], code, newer);
        if (older == NIL || isLeafListed(older)) return insertLeaf(older, code, leafNext[older]);
        newer = recency[newer].next;
        older = recency[older].prev;
    }
    appendLeaf(code);  // only a list broken by a damaged stream gets here
}

int32_t Coder::emitStringTouching(int32_t code) {
    int32_t n = emitChecked<true>(code);
    // Shortest prefix first, so the code itself ends as the most recently used.
    // The last entry is the single byte at the root, which is never listed.
    for (int32_t i = n - 2; i >= 0; --i) touchRecent(pathScratch[i]);
    return n;
}

}  // namespace lzw
