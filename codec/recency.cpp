// Recency list of phrase codes and least-recently-used leaf eviction.
#include "coder.h"

namespace lzw {

int32_t pathScratch[kTableSize];

void Coder::initRecency() {
    for (auto& node : recency) node = RecencyNode{NIL, NIL, NIL};
}

void Coder::unlinkRecent(int32_t code) {
    if (code < alphabetSize || code >= kTableSize) return;
    int32_t p = recency[code].prev;
    int32_t q = recency[code].next;
    recency[p].next = q;
    recency[q].prev = p;
    recency[code].code = NIL;
}

void Coder::linkRecent(int32_t code) {
    if (code < alphabetSize || code >= kTableSize) return;
    recency[code].code = code;
    int32_t t = recency[NIL].prev;
    recency[code].prev = t;
    recency[code].next = NIL;
    recency[t].next = code;
    recency[NIL].prev = code;
}

int32_t Coder::pickVictim() {
    int32_t r = recency[NIL].next;
    // The bound only matters for a list broken by a damaged stream.
    for (int32_t steps = 0; r != NIL && dict[r].firstChild != NIL; ++steps) {
        if (steps == kTableSize) return NIL;
        r = recency[r].next;
    }
    return r;
}

bool Coder::isKnown(int32_t code) {
    if (count == kTableSize) return code != pickVictim();
    return code < count;
}

void Coder::detachFromParent(int32_t code) {
    int32_t p = dict[code].parent;
    if (p != NIL) {
        if (dict[p].firstChild == code) {
            dict[p].firstChild = dict[code].nextSibling;
        } else {
            // A slot that became its own parent stands in no child list: stop at the end.
            int32_t c = dict[p].firstChild;
            for (int32_t steps = 0; c != NIL && steps < kTableSize; ++steps) {
                if (dict[c].nextSibling == code) {
                    dict[c].nextSibling = dict[code].nextSibling;
                    break;
                }
                c = dict[c].nextSibling;
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
    dict[code].symbol = symbol;
    dict[code].parent = prefix;
    dict[code].nextSibling = dict[prefix].firstChild;
    dict[prefix].firstChild = code;
    dict[code].firstChild = NIL;
    linkRecent(code);
    return code;
}

int32_t Coder::emitStringTouching(int32_t code) {
    int32_t n = collectString(code, true);
    if (n == 0) return 0;
    if (n > remaining) return failCorrupt("dane dluzsze niz podaje naglowek"), 0;
    for (int32_t i = n - 1; i >= 0; --i) {
        writeByte(stringBuf[i]);
        unlinkRecent(pathScratch[i]);
        linkRecent(pathScratch[i]);
    }
    return n;
}

}  // namespace lzw
