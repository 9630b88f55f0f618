// Checked builds: the derived structures compared against what they are derived from. Any
// difference is a bug in this program, never bad input, and ends the process.
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "coder.h"

// Release builds call none of these: nothing of them goes into the library.
#if LZW_CHECKS

namespace lzw {

namespace {

[[noreturn]] void broken(const char* what, int32_t code) {
    std::fprintf(stderr, "lzw: derived structure broken: %s (code %d)\n", what, code);
    std::abort();
}

}  // namespace

void Coder::checkOutputGuard() {
    for (uint8_t b : io.outGuard) {
        if (b != kGuardByte) broken("store past the output buffer", io.outPos);
    }
}

void Coder::checkAdd(int32_t prefix, int32_t code) {
    if (config.indexing) {
        // The reset-mode compressor does not come here: checkPairTable() after each chunk.
        if (code != prefix && findChild(prefix, dict[code].symbol) != code) {
            broken("new pair not indexed", code);
        }
    } else {
        checkDecoderEntry(code);
    }
    if (++check.checkedAdds % 256 == 0) checkInvariants();
}

void Coder::checkInvariants() {
    if (config.indexing) {
        if (!policyRow(config.policy).pairIndex) {
            checkPairTable();
        } else {
            checkPairIndex(check.checkedAdds % 4096 == 0);
        }
    } else {
        for (int32_t k = alphabetSize; k < count; ++k) checkDecoderEntry(k);
    }
    if (config.evicting) checkEviction();
}

void Coder::checkPairIndex(bool whole) {
    int32_t indexed = 0;
    for (int32_t k = alphabetSize; k < count; ++k) {
        int32_t p = dict[k].parent;
        int32_t symbol = dict[k].symbol;
        if (p == k || symbol == NIL) continue;  // in no child list
        if (findChild(p, symbol) != k) broken("pair not indexed", k);
        ++indexed;
    }
    if (!whole) return;
    int32_t entries = 0;
    for (uint16_t entry : pairs.childOf) entries += entry != 0;
    if (entries != indexed) broken("pairs indexed that name no phrase", entries - indexed);
}

void Coder::checkNoPairs() {
    // A row at a time: a comparison per entry would slow the fuzz targets down.
    static const uint16_t kEmptyRow[kTableSize] = {};
    for (int32_t symbol = 0; symbol < kSymbols; ++symbol) {
        if (std::memcmp(&pairs.childOf[pairSlot(0, symbol)], kEmptyRow, sizeof kEmptyRow) != 0) {
            broken("pair left in the index after a reset, under symbol", symbol);
        }
    }
}

void Coder::checkReset() {
    // Whatever a reset refills is clean to the end of its table, not only below the mark.
    if (config.evicting) {
        for (int32_t k = 0; k < kTableSize; ++k) {
            if (leaf.childCount[k] != 0) broken("child count left after a reset", k);
        }
        for (int32_t k = alphabetSize; k < kTableSize; ++k) {
            if (dict[k].parent != NIL || dict[k].symbol != NIL) broken("slot not emptied", k);
        }
    }
    if (!config.indexing) {
        for (int32_t k = alphabetSize; k <= kTableSize; ++k) {
            if (dec.lengthOf[k] != 0) broken("length left after a reset", k);
        }
    }
    // The single-byte entries, set once.
    for (int32_t j = 0; j < alphabetSize; ++j) {
        const DictEntry& e = dict[j];
        if (marks.dictSinglesSet &&
            (e.parent != NIL || e.firstChild != NIL || e.nextSibling != NIL || e.symbol != j)) {
            broken("single byte's entry changed", j);
        }
        if (marks.decSinglesSet && (dec.parentOf[j] != NIL || dec.symbolOf[j] != j ||
                                    dec.lengthOf[j] != 1 || dec.shortString[j][0] != j)) {
            broken("single byte's decoder entry changed", j);
        }
        if (marks.leafSinglesSet &&
            (leaf.leaves[j].next != j || leaf.leaves[j].prev != j || dec.firstOf[j] != j)) {
            broken("single byte's leaf links changed", j);
        }
    }
    if (marks.decSinglesSet && (dec.parentOf[NIL] != NIL || dec.symbolOf[NIL] != 0)) {
        broken("null code's decoder entry changed", NIL);
    }
}

void Coder::checkPairsAdded(int32_t from) {
    for (int32_t k = from; k < count; ++k) {
        // After a reset, phrase 256 under a phrase code hangs under an emptied slot.
        if (k == alphabetSize && dict[k].parent >= alphabetSize) continue;
        if (findPair(dict[k].parent, dict[k].symbol) != k)
            broken("new pair not in the pair table", k);
    }
    uint64_t before = check.checkedAdds;
    check.checkedAdds += static_cast<uint64_t>(count - from);
    if (before / 256 != check.checkedAdds / 256) checkPairTable();
}

void Coder::checkPairTable() {
    int32_t indexed = 0;
    for (int32_t k = alphabetSize; k < count; ++k) {
        int32_t p = dict[k].parent;
        // After a reset, phrase 256 under a phrase code hangs under an emptied slot.
        if (k == alphabetSize && p >= alphabetSize) continue;
        if (findPair(p, dict[k].symbol) != k) broken("pair not in the pair table", k);
        ++indexed;
    }
    int32_t entries = table.stashed;
    for (const PairSlot& slot : table.pairTable) entries += slot.tag != 0;
    if (table.rootsDirect) {
        for (uint64_t word : table.rootSeen) entries += std::popcount(word);
    }
    if (entries != indexed)
        broken("pairs in the pair table that name no phrase", entries - indexed);
}

void Coder::checkDecoderEntry(int32_t k) {
    int32_t p = dict[k].parent;
    int32_t symbol = dict[k].symbol & byteMask;
    if (p < 0 || p >= kTableSize) broken("parent out of range", k);
    if (dec.parentOf[k] != p || dec.symbolOf[k] != symbol) broken("decoder copy of dict", k);
    int32_t n = dec.lengthOf[k];
    if (n == 0) return;  // under an empty slot (a damaged stream) or a reset's emptied slot
    if (p == k) {
        if (!config.evicting || n != kTableSize + 1)
            broken("length of a phrase that is its own parent", k);
        return;
    }
    if (n != std::min(dec.lengthOf[p] + 1, kTableSize + 1)) broken("length", k);
    if (config.evicting && dec.firstOf[k] != dec.firstOf[p]) broken("first byte", k);
    if (n <= kShortString) {
        for (int32_t i = 0; i + 1 < n; ++i) {
            if (dec.shortString[k][i] != dec.shortString[p][i]) broken("short string", k);
        }
        if (dec.shortString[k][n - 1] != symbol) broken("short string's last byte", k);
    }
}

void Coder::checkBeforeAdd(int32_t prefix) {
    if (check.usedLeaf != NIL && check.usedLeaf != prefix)
        broken("a used leaf is not the next prefix", check.usedLeaf);
    check.usedLeaf = NIL;
}

void Coder::checkAfterAdd(int32_t prefix, int32_t code) {
    check.lastUse[code] = ++check.useClock;  // the new phrase is the most recently used
    // Follow the slot's parent in dict: the old one lost a child, the new one gained one.
    int32_t before = check.refParent[code];
    int32_t parent = dict[code].parent;
    if (parent < 0 || parent >= kTableSize) broken("parent out of range", code);
    if (before != NIL && before != code) --check.refChildren[before];
    check.refChildren[code] = 0;
    if (parent != code) ++check.refChildren[parent];
    check.refParent[code] = static_cast<uint16_t>(parent);
    for (int32_t k : {before, parent, code}) {
        if (k != NIL && leaf.childCount[k] != check.refChildren[k]) broken("child count", k);
    }
    if (leaf.leaves[NIL].prev != code) broken("new phrase not the newest leaf", code);
    // A phrase with a child is not listed: its old neighbour no longer links to it.
    if (prefix >= alphabetSize && prefix != code) {
        int32_t p = leaf.leaves[prefix].prev;
        if (p <= kLeafScratch && leaf.leaves[p].next == prefix)
            broken("prefix still listed", prefix);
    }
    int32_t head = leaf.leaves[NIL].next;
    bool regained = before != NIL && before != code && before >= alphabetSize && before != prefix &&
                    check.refChildren[before] == 0;
    if (regained && head != before) broken("parent without children not the oldest leaf", before);
    int32_t second = head == NIL ? NIL : leaf.leaves[head].next;
    if (second != NIL && check.lastUse[head] >= check.lastUse[second])
        broken("oldest leaves out of order", head);
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
        if (children[k] != leaf.childCount[k] || children[k] != check.refChildren[k]) {
            broken("child count", k);
        }
        if (k >= alphabetSize && children[k] == 0) ++childless;
    }
    // The leaf list: every childless phrase once, least recently used first.
    int32_t listed = 0;
    int32_t before = NIL;
    uint64_t lastSeen = 0;
    for (int32_t c = leaf.leaves[NIL].next; c != NIL; c = leaf.leaves[c].next) {
        if (c < alphabetSize || c >= count) broken("listed code out of range", c);
        if (children[c] != 0) broken("listed phrase has children", c);
        if (leaf.leaves[c].prev != before) broken("backward link", c);
        if (listed > 0 && check.lastUse[c] <= lastSeen) broken("leaf out of recency order", c);
        if (++listed > childless) broken("more leaves listed than childless phrases", c);
        lastSeen = check.lastUse[c];
        before = c;
    }
    if (leaf.leaves[NIL].prev != before) broken("newest leaf", before);
    if (listed != childless) broken("childless phrase not listed", listed);
}

}  // namespace lzw

#endif  // LZW_CHECKS
