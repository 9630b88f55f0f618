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
            __builtin_prefetch(&childOf[pairSlot(c, *p)]);
            int32_t x = childOf[pairSlot(w, c)];
            if (x != 0) {    // code 0 is never a child
                noteUse(x);  // moves nothing; a checked build records the use
                w = x;
                continue;
            }
            // Phrase w ends before byte c. The lookup that starts the next phrase goes
            // first, and the add after it: the add's work then overlaps that lookup instead
            // of holding it back. The add changes two entries, the victim's and its own, so
            // the early lookup is read again only when it is one of them.
            for (;;) {
                if (!putCode(wr, w)) [[unlikely]] {
                    return false;
                }
                bool more = p != end;
                uint32_t next = pairSlot(c, *p);  // inBuf has a byte past the window
                int32_t y = childOf[next];
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
                if ((next == erased) | (next == pairSlot(w, c))) [[unlikely]] {
                    y = childOf[next];
                }
                ++p;
                if (y != 0) {
                    noteUse(y);
                    w = y;
                    break;
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
    // The loop left dict behind (release builds): the next compressor's reset clears childOf
    // whole instead of dropping the pairs dict names.
    if constexpr (!kChecked) childOfStale = true;
    return finishEncoding(w);
}

bool Coder::decompressEvictingLoop() {
    int32_t prev = startDecoding();
    if (prev < 0) return endOfStream();  // failed, or the file of an empty input
    CodeCursor cur = takeCursor();
    int64_t left = remaining;
    bool ok = decodeEvicting<false>(prev, cur, left) && decodeEvicting<true>(prev, cur, left);
    remaining = left;
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
        int32_t symbol = firstOf[code != slot ? code : prev];
        fillSlot<false>(slot, prev, symbol);
        int32_t n = lengthOf[code];
        if (n >= 1 && n <= kShortString && n <= left) [[likely]] {
            // Lengths and short strings are exact: a victim is a leaf, so no phrase's
            // prefix is ever replaced, and a phrase that is its own parent has no length.
            if (!copyShortString(code, n)) [[unlikely]] {
                putCursor(cur);
                return false;
            }
            notePathUse(code);
        } else {
            remaining = left;
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
