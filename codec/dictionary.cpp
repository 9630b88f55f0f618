// The phrase dictionary and the freeze (c1/d1) and reset (c3/d3) modes.
#include <algorithm>
#include <bit>
#include <cstring>

#include "coder.h"

namespace lzw {

void Coder::resetDictionary() {
    // The run that ends here may have written codes up to count.
    dictTop = std::max(dictTop, std::min(count + 1, kTableSize));
    dec.lengthsTop = std::max(dec.lengthsTop, count);
    leaf.countsTop = std::max(leaf.countsTop, count);
    dropPairs();
    if (config.indexing && !freezeWhenFull) {
        // The reset-mode compressor reads neither dict nor childOf.
        clearPairs();
        count = alphabetSize;
        return;
    }
    if (config.indexing) {
        pairs.childOfHolds = config.evicting ? PairsHeld::ofParents : PairsHeld::ofDict;
    }
    if (!dictSinglesSet) {
        for (int32_t j = 0; j < alphabetSize; ++j) dict[j] = DictEntry{NIL, NIL, NIL, j};
        dictSinglesSet = true;
    }
    if (config.evicting) {
        // Decoders read dict only in checked builds (see hangUnderAs).
        if (config.indexing || kChecked) {
            std::fill(dict + alphabetSize, dict + dictTop, DictEntry{NIL, NIL, NIL, NIL});
            dictTop = alphabetSize;
        }
        std::fill(leaf.childCount, leaf.childCount + leaf.countsTop, static_cast<uint16_t>(0));
        leaf.countsTop = 0;
    }
    if (!config.indexing) {
        // A decoder tells an empty slot by its length 0 alone (a phrase hung under one is
        // empty too), so the freeze and reset decoders, which read no child lists, leave
        // the rest of a phrase slot as it was until it is filled again. The null code walks
        // to itself, so no walk can leave the tables.
        std::fill(dec.lengthOf + alphabetSize, dec.lengthOf + dec.lengthsTop,
                  static_cast<uint16_t>(0));
        dec.lengthsTop = alphabetSize;
        if (!dec.singlesSet) {
            for (int32_t j = 0; j < alphabetSize; ++j) {
                dec.parentOf[j] = NIL;
                dec.symbolOf[j] = static_cast<uint8_t>(j);
                dec.lengthOf[j] = 1;
                dec.shortString[j][0] = static_cast<uint8_t>(j);
            }
            dec.parentOf[NIL] = NIL;
            dec.symbolOf[NIL] = 0;
            dec.singlesSet = true;
        }
    }
    count = alphabetSize;
    if constexpr (kChecked) checkReset();
}

void Coder::dropPairs() {
    // Masked, so that no entry a pair names can lie outside the table; zeroing a wrong entry
    // is harmless, as the table ends empty either way.
    constexpr uint32_t kLast = (kTableSize << 8) - 1;
    switch (pairs.childOfHolds) {
        case PairsHeld::none:
            return;
        case PairsHeld::ofDict:
            for (int32_t k = alphabetSize; k < count; ++k) {
                pairs.childOf[pairSlot(dict[k].parent, dict[k].symbol) & kLast] = 0;
            }
            break;
        case PairsHeld::ofParents:
            for (int32_t k = alphabetSize; k < count; ++k) {
                pairs.childOf[pairSlot(dec.parentOf[k], dec.symbolOf[k]) & kLast] = 0;
            }
            break;
        case PairsHeld::unknown:
            std::memset(pairs.childOf, 0, sizeof pairs.childOf);
            break;
    }
    if constexpr (kChecked) {
        if (pairs.childOfHolds != PairsHeld::unknown) checkNoPairs();
    }
    pairs.childOfHolds = PairsHeld::none;
}

void Coder::chainFault() {
    failCorrupt(Fault::loop);
}

void Coder::lengthFault(int32_t n) {
    if (n == 0) {
        failCorrupt(Fault::emptySlot);
    } else if (n > kTableSize) {
        failCorrupt(Fault::loop);
    } else {
        failCorrupt(Fault::longerThanHeader);
    }
}

bool Coder::fixHeader() {
    if (io.failed) return false;
    int64_t actual = io.bytesRead - 1;
    if (actual == io.headerLength) return true;
    // Only an input of unknown size gets here: a run of the library knows its input's size.
    // Nor can every output go back to its header (rewriteHeader null).
    if (io.rewriteHeader == nullptr) return fail(Fault::cannotSeek, config.outputPath);
    if (!flushOutput() || !io.rewriteHeader(*this, static_cast<int32_t>(actual))) return false;
    io.headerLength = actual;
    return true;
}

bool Coder::compressLoop() {
    int first = readByte();
    if (first < 0) return fixHeader();
    bool ended = false;
    int32_t w = first;
    auto nothing = [](int32_t) {};
    if (count != kTableSize) {
        w = encodeInput(
            w, ended,
            [this](int32_t prefix, int32_t c) {
                addPhrase(prefix, c);
                return !(freezeWhenFull && count == kTableSize);
            },
            nothing);
    }
    if (!ended) w = encodeFrozen(w, ended);
    return finishEncoding(w);
}

int32_t Coder::encodeFrozen(int32_t w, bool& ended) {
    // Where nearly every byte ends a phrase (random data), the plain loop predicts its
    // branch well and beats the lanes, which store and then copy every code.
    int32_t codes = 0;
    for (;;) {
        bool plain = codes > kBufSize / 8 * 7;
        if (io.inPos == 0 && io.inEnd == kBufSize && !plain) {
            w = parseInLanes(w, codes);
        } else {
            // The rest of the window in which the dictionary froze, a short last one, or
            // a window that continues a run of random data.
            codes = 0;
            CodeWriter wr = takeWriter();
            // The end is fixed here: a failed write empties the window (markFailed).
            const uint8_t* end = io.inBuf + io.inEnd;
            for (const uint8_t* p = io.inBuf + io.inPos; p != end; ++p) {
                int32_t x = findChild(w, *p);
                if (x == NIL) {
                    if (!putCode(wr, w)) break;
                    x = *p;
                    ++codes;
                }
                w = x;
            }
            putWriter(wr);
            if (io.inEnd - io.inPos < kBufSize) codes = 0;  // too few bytes to judge
        }
        if (io.failed) break;
        io.inPos = io.inEnd;
        if (refill() < 0) break;
        io.inPos = 0;  // the byte refill() returned is read again
    }
    ended = true;
    return w;
}

int32_t Coder::parseInLanes(int32_t w, int32_t& codes) {
    struct Lane {
        int32_t w;        // phrase in progress
        uint16_t* codes;  // next free entry of the lane's codes
        uint64_t starts;  // phrase starts in the current 64 bytes
    };
    const uint8_t* window = io.inBuf;
    Lane l0{w, pairs.laneCodes[0], 0};
    // Lanes 1 to 3 start a phrase with the first byte of their segment.
    Lane l1{window[kLaneBytes], pairs.laneCodes[1], 1};
    Lane l2{window[2 * kLaneBytes], pairs.laneCodes[2], 1};
    Lane l3{window[3 * kLaneBytes], pairs.laneCodes[3], 1};
    // One byte of one lane, without a branch: the code is always stored, and kept by
    // moving past it only where the phrase ends.
    auto step = [this](Lane & lane, const uint8_t* at, int32_t j) __attribute__((always_inline)) {
        int32_t c = *at;
        int32_t x = pairs.childOf[pairSlot(lane.w, c)];
        uint32_t ends = x == 0;
        *lane.codes = static_cast<uint16_t>(lane.w);
        lane.codes += ends;
        lane.starts |= uint64_t{ends} << (j & 63);
        lane.w = ends ? c : x;
    };
    step(l0, window, 0);
    for (int32_t j = 1; j < kLaneBytes; ++j) {
        step(l0, window + j, j);
        step(l1, window + kLaneBytes + j, j);
        step(l2, window + 2 * kLaneBytes + j, j);
        step(l3, window + 3 * kLaneBytes + j, j);
        if ((j & 63) == 63) {
            pairs.laneStarts[0][j >> 6] = l0.starts;
            pairs.laneStarts[1][j >> 6] = l1.starts;
            pairs.laneStarts[2][j >> 6] = l2.starts;
            pairs.laneStarts[3][j >> 6] = l3.starts;
            l0.starts = l1.starts = l2.starts = l3.starts = 0;
        }
    }
    const Lane* lanes[kLanes] = {&l0, &l1, &l2, &l3};
    codes = 0;
    for (int32_t k = 0; k < kLanes; ++k) {
        codes += static_cast<int32_t>(lanes[k]->codes - pairs.laneCodes[k]);
    }
    CodeWriter wr = takeWriter();
    int32_t cur = l0.w;
    // Room for a lane's codes first, so that copying them needs no test per code. A failed
    // write: the caller stops.
    if (!makeRoom(wr, static_cast<int32_t>(l0.codes - pairs.laneCodes[0]))) return cur;
    for (const uint16_t* c = pairs.laneCodes[0]; c != l0.codes; ++c) storeCode(wr, *c);
    for (int32_t k = 1; k < kLanes; ++k) {
        // Parse on from the start of segment k until a phrase starts where one of lane
        // k's does; almost always within a few bytes.
        const uint8_t* segment = window + k * kLaneBytes;
        const uint64_t* starts = pairs.laneStarts[k];
        int32_t j = 0;
        for (; j < kLaneBytes; ++j) {
            int32_t c = segment[j];
            int32_t x = findChild(cur, c);
            if (x != NIL) {
                cur = x;
                continue;
            }
            if (!putCode(wr, cur)) return cur;
            cur = c;
            if ((starts[j >> 6] >> (j & 63)) & 1) break;
        }
        if (j == kLaneBytes) continue;  // never met: the whole segment was parsed here
        // Lane k's phrase starting at j is entry number (starts before j) of its codes.
        int32_t index = std::popcount(starts[j >> 6] & ((uint64_t{1} << (j & 63)) - 1));
        for (int32_t g = 0; g < j >> 6; ++g) index += std::popcount(starts[g]);
        const uint16_t* from = pairs.laneCodes[k] + index;
        if (!makeRoom(wr, static_cast<int32_t>(lanes[k]->codes - from))) return cur;
        for (const uint16_t* c = from; c < lanes[k]->codes; ++c) storeCode(wr, *c);
        cur = lanes[k]->w;
    }
    putWriter(wr);
    return cur;
}

bool Coder::finishEncoding(int32_t w) {
    if (io.failed) return false;
    writeCode(w);
    flushCode();
    return fixHeader();
}

int32_t Coder::startDecoding() {
    int32_t length = readLength();
    if (io.failed) return -1;
    if (length < -1) {
        failCorrupt(Fault::negativeLength);
        return -1;
    }
    if (length == -1) return -1;  // the file of an empty input
    io.remaining = length;
    int32_t first = readCode();
    if (first < 0) {
        failCorrupt(Fault::endsEarly);
        return -1;
    }
    if (first >= alphabetSize) {
        failCorrupt(Fault::firstNotByte);
        return -1;
    }
    stringBuf[0] = static_cast<uint8_t>(dict[first].symbol & byteMask);
    writeByte(stringBuf[0]);
    return first;
}

bool Coder::decompressLoop() {
    int32_t prev = startDecoding();
    if (prev < 0) return endOfStream();  // failed, or the file of an empty input
    int32_t n = 1;
    // The slot the next add fills. A full frozen dictionary adds nothing, so every code
    // is known; in reset mode that add clears a full dictionary first, so only single
    // bytes stay known and 256 is the phrase the add itself creates.
    auto nextSlot = [this] {
        return count < kTableSize ? count : (freezeWhenFull ? kTableSize : alphabetSize);
    };
    int32_t next = nextSlot();
    bool adding = next != kTableSize;
    int32_t prevFirst = stringBuf[0];
    int64_t left = io.remaining;
    CodeCursor cur = takeCursor();
    while (left > 0) {
        int32_t code = nextCode(cur);
        if (code < 0) {
            putCursor(cur);
            return failCorrupt(Fault::endsEarly);
        }
        bool known = code < next;
        if (!known) {
            if (code != next) {
                putCursor(cur);
                return failCorrupt(Fault::beyondDictionary);
            }
            // The code about to be added: its string is the previous one plus that
            // string's own first byte.
            addPhrase(prev, prevFirst);
            next = nextSlot();
            adding = next != kTableSize;
        }
        int32_t first;
        n = dec.lengthOf[code];
        if (n > 0 && n <= kShortString && n <= left) [[likely]] {
            if (!copyShortString(code, n)) [[unlikely]] {
                putCursor(cur);
                return false;
            }
            first = dec.shortString[code][0];
        } else {
            io.remaining = left;
            n = emitString(code);
            if (n == 0) {
                putCursor(cur);
                return false;
            }
            first = stringBuf[n - 1];
        }
        if (known && adding) {
            addPhrase(prev, first);
            next = nextSlot();
            adding = next != kTableSize;
        }
        left -= n;
        prev = code;
        prevFirst = first;
    }
    io.remaining = left;
    putCursor(cur);
    return endOfStream();
}

}  // namespace lzw
