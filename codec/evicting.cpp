// Eviction mode (c2/d2): a full dictionary gives up its least recently used leaf.
#include "coder.h"

namespace lzw {

template <bool kFull>
int32_t Coder::encodeEvicting(int32_t w, bool& ended) {
    ended = overInput([&](const uint8_t*& p, const uint8_t* end, CodeWriter& wr) {
        while (p != end) {
            int32_t c = *p++;
            // Should this byte end the phrase, the next lookup is (c, next byte): fetch its
            // entry now, while the branch on this lookup is still unresolved.
            __builtin_prefetch(&pairs.childOf[pairSlot(c, *p)]);
            int32_t x = pairs.childOf[pairSlot(w, c)];
            if (x != 0) {    // code 0 is never a child
                noteUse(x);  // moves nothing; a checked build records the use
                w = x;
                continue;
            }
            // Phrase w ends before byte c. The first two lookups of the next phrase go
            // first, and the add after them: the add's work then overlaps their loads
            // instead of holding them back. The add changes two entries, the victim's and its
            // own, so an early lookup is read again only when it is one of them.
            for (;;) {
                if (!putCode(wr, w)) [[unlikely]] {
                    return false;
                }
                bool more = p != end;
                uint32_t next = pairSlot(c, *p);  // inBuf has a byte past the window
                int32_t y = pairs.childOf[next];
                // The byte after that one, where the window has it (else any byte: unused).
                int32_t after = p[p + 1 < end];
                uint32_t second = pairSlot(y, after);
                int32_t z = pairs.childOf[second];
                uint32_t erased;
                int32_t slot = takeSlotAs<true, kFull>(w, erased);
                fillSlot<true, kChecked>(slot, w, c);
                if (!kFull && count == kTableSize) {  // on with the loop for a full one
                    w = c;
                    return false;
                }
                if (!more) {
                    w = c;
                    break;
                }
                uint32_t added = pairSlot(w, c);
                if ((next == erased) | (next == added)) [[unlikely]] {
                    y = pairs.childOf[next];
                    second = pairSlot(y, after);
                    z = pairs.childOf[second];
                }
                ++p;
                if (y != 0) {
                    noteUse(y);
                    if (p == end) {
                        w = y;
                        break;
                    }
                    if ((second == erased) | (second == added)) [[unlikely]] {
                        z = pairs.childOf[second];
                    }
                    c = *p++;  // the byte `after`
                    if (z != 0) {
                        noteUse(z);
                        w = z;
                        break;
                    }
                    w = y;  // a phrase of two bytes
                    continue;
                }
                w = c;  // a phrase of one byte
                c = p[-1];
            }
        }
        return true;
    });
    return w;
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
