// Eviction mode (c2/d2): a full dictionary gives up its least recently used leaf.
#include "coder.h"

namespace lzw {

template <bool kFull>
int32_t Coder::encodeEvicting(int32_t w, bool& ended) {
    // The phrase in progress as 4 x its place, the offset of its slots: the next byte's
    // lookup waits on a load and two selects, and no multiply.
    uint32_t w4 = pairPlace4(static_cast<uint32_t>(w));
    auto codeOf = [](uint32_t place4) { return static_cast<int32_t>(pairCode4(place4) >> 2); };
    // childPlace4, and the stash where the slots miss: rarely needed, so out of the way.
    auto stashed = [this](uint32_t x4, int32_t prefix, uint32_t symbol) {
        if (table.stashHead[prefix] == NIL) return x4;
        int32_t x = findStashed(prefix, static_cast<int32_t>(symbol));
        return x != NIL ? pairPlace4(static_cast<uint32_t>(x)) : x4;
    };
    // Inlined, so that the phrase and the cursors stay in registers.
    auto window = [&](const uint8_t*& p, const uint8_t* end, CodeWriter& wr)
        __attribute__((always_inline)) {
        uint32_t at = w4;  // a local: the stores of an add might alias w4
        while (p != end) {
            uint32_t c = *p++;
            uint32_t x4 = childPlace4(at, c);
            if (x4 != pairPlace4(c)) {
                if constexpr (kChecked) noteUse(codeOf(x4));
                at = x4;
                continue;
            }
            int32_t code = codeOf(at);
            if (table.stashHead[code] != NIL) [[unlikely]] {
                x4 = stashed(x4, code, c);
                if (x4 != pairPlace4(c)) {
                    noteUse(codeOf(x4));
                    at = x4;
                    continue;
                }
            }
            // Phrase `code` ends before byte c. The first two lookups of the next phrase go
            // first, and the add after them: the add's work then overlaps their loads
            // instead of holding them back. The add changes two pairs, the victim's and its
            // own, so an early lookup is read again only when it is one of them, or when its
            // pair may wait in the stash.
            for (;;) {
                if (!putCode(wr, code)) [[unlikely]] {
                    w4 = pairPlace4(static_cast<uint32_t>(code));
                    return false;
                }
                bool more = p != end;
                uint32_t next = *p;  // inBuf has a byte past the window
                uint32_t c4 = pairPlace4(c);
                uint32_t y4 = childPlace4(c4, next);
                // The byte after that one, where the window has it (else any byte: unused).
                uint32_t after = p[p + 1 < end];
                uint32_t z4 = childPlace4(y4, after);
                uint32_t erased;
                int32_t slot = takeSlotAs<true, kFull>(code, erased);
                fillSlot<true, kChecked>(slot, code, static_cast<int32_t>(c));
                if (!kFull && count == kTableSize) {  // on with the loop for a full one
                    w4 = c4;
                    return false;
                }
                if (!more) {
                    at = c4;
                    break;
                }
                // No phrase has the place 1: nothing was given up before the dictionary is full.
                uint32_t gone4 = kFull ? pairPlace4(erased) : 1;
                bool added = code == static_cast<int32_t>(c);  // the new pair is c+next?
                bool yMiss = y4 == pairPlace4(next);
                if ((y4 == gone4) | (added & (c == next)) | (yMiss & (table.stashHead[c] != NIL)))
                    [[unlikely]] {
                    y4 = stashed(childPlace4(c4, next), static_cast<int32_t>(c), next);
                    z4 = childPlace4(y4, after);
                    yMiss = y4 == pairPlace4(next);
                }
                ++p;
                if (!yMiss) {
                    int32_t y = codeOf(y4);
                    noteUse(y);
                    if (p == end) {
                        at = y4;
                        break;
                    }
                    bool zMiss = z4 == pairPlace4(after);
                    if ((z4 == gone4) | ((code == y) & (c == after)) |
                        (zMiss & (table.stashHead[y] != NIL))) [[unlikely]] {
                        z4 = stashed(childPlace4(y4, after), y, after);
                        zMiss = z4 == pairPlace4(after);
                    }
                    c = *p++;  // the byte `after`
                    if (!zMiss) {
                        noteUse(codeOf(z4));
                        at = z4;
                        break;
                    }
                    code = y;  // a phrase of two bytes
                    continue;
                }
                code = static_cast<int32_t>(c);  // a phrase of one byte
                c = p[-1];
            }
        }
        w4 = at;
        return true;
    };
    ended = overInput(window);
    return codeOf(w4);
}

bool Coder::compressEvictingLoop() {
    int first = readByte();
    if (first < 0) return fixHeader();
    bool ended = false;
    int32_t w = encodeEvicting<false>(first, ended);
    if (!ended) w = encodeEvicting<true>(w, ended);
    return finishEncoding(w);
}

bool Coder::decompressEvictingLoop() {
    int32_t prev = startDecoding();
    if (prev < 0) return endOfStream();  // failed, or the file of an empty input
    CodeCursor cur = takeCursor();
    int64_t left = io.remaining;
    bool ok = decodeEvicting<false>(prev, cur, left) && decodeEvicting<true>(prev, cur, left);
    io.remaining = left;
    putCursor(cur);
    return ok && endOfStream();
}

template <bool kFull>
bool Coder::decodeEvicting(int32_t& prev, CodeCursor& cur, int64_t& left) {
    while (left > 0 && (kFull || count < kTableSize)) {
        int32_t code = nextCode(cur);
        if (code < 0) {
            putCursor(cur);
            return failCorrupt(Fault::endsEarly);
        }
        if (!kFull && code > count) {
            putCursor(cur);
            return failCorrupt(Fault::beyondDictionary);
        }
        // The compressor adds each phrase before it matches on, so the decoder adds first
        // too, then writes. The add under the previous code takes a slot (takeSlotAs): a
        // code naming that slot is the phrase being added, the previous string plus its own
        // first byte; any other code lends its first byte to the add.
        uint32_t erased;
        int32_t slot = takeSlotAs<false, kFull>(prev, erased);
        int32_t symbol = dec.firstOf[code != slot ? code : prev];
        fillSlot<false>(slot, prev, symbol);
        int32_t n = dec.lengthOf[code];
        if (n >= 1 && n <= kShortString && n <= left) [[likely]] {
            // Lengths and short strings are exact: a victim is a leaf, so no phrase's
            // prefix is ever replaced, and a phrase that is its own parent has no length.
            if (!copyShortString(code, n)) [[unlikely]] {
                putCursor(cur);
                return false;
            }
            notePathUse(code);
        } else {
            io.remaining = left;
            n = emitStringTouching(code);
            if (n == 0) {
                putCursor(cur);
                return false;
            }
        }
        left -= n;
        prev = code;
    }
    return true;
}

}  // namespace lzw
