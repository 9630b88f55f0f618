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

void Coder::appendLeaf(int32_t code) {
    int32_t t = leafPrev[NIL];
    leafPrev[code] = t;
    leafNext[code] = NIL;
    leafNext[t] = code;
    leafPrev[NIL] = code;
}

void Coder::removeLeaf(int32_t code) {
    int32_t p = leafPrev[code];
    int32_t q = leafNext[code];
    leafNext[p] = q;
    leafPrev[q] = p;
    leafPrev[code] = -1;
}

void Coder::placeLeaf(int32_t code) {
    // Walk the recency list both ways from `code` to the nearest phrase already in the
    // leaf list; the walk ends at the head at the latest. Each step is cheap, and leaves
    // are dense in practice.
    int32_t newer = recency[code].next;
    int32_t older = recency[code].prev;
    for (int32_t steps = 0; steps <= kTableSize; ++steps) {
        if (newer == NIL || isLeafListed(newer)) {
            int32_t before = leafPrev[newer];
            leafPrev[code] = before;
            leafNext[code] = newer;
            leafNext[before] = code;
            leafPrev[newer] = code;
            return;
        }
        if (older == NIL || isLeafListed(older)) {
            int32_t after = leafNext[older];
            leafNext[code] = after;
            leafPrev[code] = older;
            leafPrev[after] = code;
            leafNext[older] = code;
            return;
        }
        newer = recency[newer].next;
        older = recency[older].prev;
    }
    appendLeaf(code);  // only a list broken by a damaged stream gets here
}

bool Coder::isKnown(int32_t code) {
    if (count == kTableSize) return code != pickVictim();
    return code < count;
}

void Coder::detachFromParent(int32_t code) {
    int32_t p = dict[code].parent;
    if (p != NIL) {
        int32_t next = dict[code].nextSibling;
        int32_t before = prevSibling[code];
        bool listed = false;
        if (dict[p].firstChild == code) {
            dict[p].firstChild = next;
            listed = true;
        } else if (before != NIL && dict[before].nextSibling == code) {
            dict[before].nextSibling = next;
            listed = true;
        }
        // Otherwise the slot became its own parent and stands in no child list.
        if (listed) {
            if (next != NIL) prevSibling[next] = before;
            if (indexing) indexErase(p, dict[code].symbol, code);
            // The parent may have lost its last child.
            if (p >= alphabetSize && dict[p].firstChild == NIL && recency[p].code == p &&
                !isLeafListed(p)) {
                placeLeaf(p);
            }
        }
    }
    dict[code].symbol = NIL;
}

int32_t Coder::addPhraseEvicting(int32_t prefix, int32_t symbol) {
    int32_t code;
    if (count < kTableSize) {
        code = count++;
    } else {
        code = pickVictim();
        if (code == NIL) return failCorrupt("slownik bez frazy do usuniecia"), NIL;
        unlinkRecent(code);
        detachFromParent(code);
    }
    hangUnder(code, prefix, symbol);
    if (prefix != code && prefix < kTableSize && isLeafListed(prefix)) removeLeaf(prefix);
    linkRecent(code);
    return code;
}

int32_t Coder::emitStringTouching(int32_t code) {
    int32_t n = emitChecked<true>(code);
    // Shortest prefix first, so the code itself ends as the most recently used.
    for (int32_t i = n - 1; i >= 0; --i) {
        unlinkRecent(pathScratch[i]);
        linkRecent(pathScratch[i]);
    }
    return n;
}

}  // namespace lzw
