// The Coder's inline operations: the small members the coding loops call, and the hot
// dictionary updates. Included by coder.h alone, after the class, so that its body stays a list
// of declarations.
#pragma once

namespace lzw {

// ---- Streams, the code format and the decoders' string writes ----

inline void Coder::clearWatcherLine() {
    if (front.watcher != nullptr) front.watcher->clear(front.watcher->context);
}

inline int Coder::readByte() {
    if (io.inPos < io.inEnd) return io.inBuf[io.inPos++];
    return refill();
}

inline void Coder::writeByte(uint8_t b) {
    if (io.outPos == kBufSize) flushOutput();
    io.outBuf[io.outPos++] = b;
}

inline void Coder::writeCode(int32_t code) {
    if (halfPending) {
        writeByte(static_cast<uint8_t>((pendingNibble << nibbleShift) + (code >> highShift)));
        writeByte(static_cast<uint8_t>(code & byteMask));
        halfPending = false;
    } else {
        pendingNibble = code & nibbleMask;
        writeByte(static_cast<uint8_t>(code >> nibbleShift));
        halfPending = true;
    }
}

inline int32_t Coder::readCode() {
    int c = readByte();
    if (c < 0) return -1;
    int32_t code;
    if (halfPending) {
        code = (pendingNibble << highShift) + c;
    } else {
        int d = readByte();
        if (d < 0) return -1;  // the file ends inside a code
        code = (c << nibbleShift) + (d >> nibbleShift);
        pendingNibble = d & nibbleMask;
    }
    halfPending = !halfPending;
    return code;
}

template <bool kPairTable>
inline int32_t Coder::findChild(int32_t prefix, int32_t symbol) {
    if constexpr (kPairTable) {
        return findPair(prefix, symbol);
    } else {
        int32_t x = pairs.childOf[pairSlot(prefix, symbol)];
        return x != 0 ? x : NIL;
    }
}

inline uint32_t Coder::pairSlot(int32_t prefix, int32_t symbol) {
    return static_cast<uint32_t>(symbol) << 12 | static_cast<uint32_t>(prefix);
}

inline int32_t Coder::emitString(int32_t code) {
    return emitChecked(code);
}

inline int32_t Coder::writeString(int32_t code, int32_t n) {
    if (io.outPos + n > kBufSize && !flushOutput()) return 0;
    // Straight into the output buffer, from the string's end.
    uint8_t* dst = io.outBuf + io.outPos + n - 1;
    int32_t c = code;
    int32_t last = c;
    for (int32_t i = 0; i < n; ++i) {
        uint8_t b = dec.symbolOf[c];
        dst[-i] = b;
        stringBuf[i] = b;
        last = c;
        c = dec.parentOf[c];
    }
    // A sound chain reaches a single byte in exactly n steps.
    if (last >= alphabetSize) {
        chainFault();
        return 0;
    }
    io.outPos += n;
    return n;
}

inline int32_t Coder::emitChecked(int32_t code) {
    int32_t n = dec.lengthOf[code];
    if (n == 0 || n > kTableSize || n > io.remaining) {
        lengthFault(n);
        return 0;
    }
    return writeString(code, n);
}

inline bool Coder::copyShortString(int32_t code, int32_t n) {
    if (io.outPos > kBufSize - kShortString && !flushOutput()) [[unlikely]] {
        return false;
    }
    std::memcpy(io.outBuf + io.outPos, dec.shortString[code], kShortString);
    io.outPos += n;
    return true;
}

inline Coder::CodeCursor Coder::takeCursor() {
    return CodeCursor{io.inBuf + io.inPos, io.inBuf + io.inEnd, pendingNibble, halfPending};
}

inline void Coder::putCursor(const CodeCursor& cur) {
    io.inPos = static_cast<int32_t>(cur.p - io.inBuf);
    pendingNibble = cur.nibble;
    halfPending = cur.half;
}

inline Coder::CodeWriter Coder::takeWriter() {
    return CodeWriter{io.outBuf + io.outPos, static_cast<uint32_t>(pendingNibble),
                      halfPending ? 4u : 0u};
}

inline void Coder::putWriter(const CodeWriter& wr) {
    io.outPos = static_cast<int32_t>(wr.p - io.outBuf);
    pendingNibble = static_cast<int32_t>(wr.pending & 15);
    halfPending = wr.bits != 0;
}

inline bool Coder::putCode(CodeWriter& wr, int32_t code) {
    if (!makeRoom(wr, 1)) [[unlikely]] {
        return false;
    }
    storeCode(wr, code);
    return true;
}

inline bool Coder::makeRoom(CodeWriter& wr, int32_t codes) {
    if (wr.p + (3 * codes - 2) / 2 + 4 > io.outBuf + kBufSize) [[unlikely]] {
        putWriter(wr);
        bool written = flushOutput();
        wr = takeWriter();
        return written;
    }
    return true;
}

inline void Coder::storeCode(CodeWriter& wr, int32_t code) {
    wr.pending = (wr.pending << 12) | static_cast<uint32_t>(code);
    wr.bits += 12;
    uint32_t word = __builtin_bswap32(wr.pending << (32 - wr.bits));
    std::memcpy(wr.p, &word, 4);
    wr.p += wr.bits >> 3;
    wr.bits &= 7;
}

inline int32_t Coder::nextCode(CodeCursor& cur) {
    if (cur.end - cur.p >= 2) {
        int32_t code;
        if (cur.half) {
            code = (cur.nibble << 8) | cur.p[0];
            cur.p += 1;
        } else {
            code = (cur.p[0] << 4) | (cur.p[1] >> 4);
            cur.nibble = cur.p[1] & 15;
            cur.p += 2;
        }
        cur.half = !cur.half;
        return code;
    }
    putCursor(cur);
    int32_t code = readCode();
    cur = takeCursor();
    return code;
}

inline Coder::Chunk Coder::beginChunk(int32_t n, uint32_t w4) {
    const uint8_t* p = io.inBuf + io.inPos;
    return Chunk{p, p, p + n, w4, static_cast<uint32_t>(count)};
}

inline void Coder::endChunk(const uint8_t* p, const uint8_t* start, uint32_t next, uint32_t w,
                            uint32_t& w4) {
    table.fillBytes += p - start;
    io.inPos = static_cast<int32_t>(p - io.inBuf);
    count = static_cast<int32_t>(next);
    w4 = w;
}

constexpr uint32_t Coder::pairPlace4(uint32_t code) {
    return code * (4 * 2531) & (4 * kTableSize - 4);
}

constexpr uint32_t Coder::pairCode4(uint32_t place4) {
    return place4 * 971 & (4 * kTableSize - 4);  // 971 x 2531 = 1 mod 4096
}

inline int32_t Coder::pickVictim() const {
    return leaf.leaves[NIL].next;
}

inline bool Coder::isLeaf(int32_t code) const {
    // Both tests always, so no branch is taken on the first.
    return static_cast<bool>((code >= alphabetSize) & (leaf.childCount[code] == 0));
}

inline void Coder::unlinkLeaf(int32_t code) {
    int32_t p = leaf.leaves[code].prev;
    int32_t q = leaf.leaves[code].next;
    leaf.leaves[p].next = static_cast<uint16_t>(q);
    leaf.leaves[q].prev = static_cast<uint16_t>(p);
}

inline void Coder::appendLeaf(int32_t code) {
    int32_t t = leaf.leaves[NIL].prev;
    leaf.leaves[code].prev = static_cast<uint16_t>(t);
    leaf.leaves[code].next = NIL;
    leaf.leaves[t].next = static_cast<uint16_t>(code);
    leaf.leaves[NIL].prev = static_cast<uint16_t>(code);
}

inline void Coder::noteUse(int32_t code) {
    if constexpr (kChecked) {
        check.lastUse[code] = ++check.useClock;
        if (code >= alphabetSize && check.refChildren[code] == 0) check.usedLeaf = code;
    }
}

inline void Coder::notePathUse(int32_t code) {
    if constexpr (kChecked) notePathWalk(code);
}

inline void Coder::noteChunkAdd(uint32_t code, uint32_t w4, uint32_t symbol) {
    dict[code] = DictEntry{static_cast<int32_t>(w4 >> 2), NIL, NIL, static_cast<int32_t>(symbol)};
}

// ---- Hot dictionary updates, inlined into the coding loops ----

inline void Coder::indexInsert(int32_t prefix, int32_t symbol, int32_t code) {
    pairs.childOf[pairSlot(prefix, symbol)] = static_cast<uint16_t>(code);
}

[[gnu::always_inline]] inline void Coder::hangUnder(int32_t code, int32_t prefix, int32_t symbol) {
    // Eviction adds through fillSlot(), the reset-mode compressor through insertPair().
    if (config.indexing) return hangUnderAs<true, false>(code, prefix, symbol);
    hangUnderAs<false, false>(code, prefix, symbol);
}

template <bool kIndexing, bool kEvicting, bool kKeepDict>
[[gnu::always_inline]] inline void Coder::hangUnderAs(int32_t code, int32_t prefix,
                                                      int32_t symbol) {
    // A release decoder reads only its own tables: dict's 16 bytes per code would be a
    // quarter of the pages a short run touches. The eviction compressor's loop skips them
    // too: its adds fill slots all over dict, and nearly every such store missed the cache.
    if constexpr (kKeepDict) {
        dict[code].symbol = symbol;
        dict[code].parent = prefix;
    }
    if constexpr (kEvicting) {
        // A phrase hung under itself stands in no child list: it is neither counted nor
        // indexed, and can never be matched.
        leaf.childCount[code] = 0;
        leaf.childCount[prefix] = static_cast<uint16_t>(leaf.childCount[prefix] + (code != prefix));
    }
    if constexpr (kIndexing) {
        if (code != prefix) indexInsert(prefix, symbol, code);
        // Eviction reads a victim's pair from these 3 bytes rather than from its 16-byte
        // entry in dict: a cold line less per add.
        if constexpr (kEvicting) {
            dec.parentOf[code] = static_cast<uint16_t>(prefix);
            dec.symbolOf[code] = static_cast<uint8_t>(symbol);
        }
        return;
    }
    dec.parentOf[code] = static_cast<uint16_t>(prefix);
    dec.symbolOf[code] = static_cast<uint8_t>(symbol & byteMask);
    // A phrase hung under an empty slot (only a damaged stream decodes one) stays empty.
    int32_t length =
        dec.lengthOf[prefix] == 0 ? 0 : std::min(dec.lengthOf[prefix] + 1, kTableSize + 1);
    if constexpr (kEvicting) {
        dec.firstOf[code] = dec.firstOf[prefix];
        // Its own parent: a chain without end, refused when its code is read.
        if (code == prefix) length = kTableSize + 1;
    }
    dec.lengthOf[code] = static_cast<uint16_t>(length);
    if (length <= kShortString) {
        std::memmove(dec.shortString[code], dec.shortString[prefix], kShortString);
        if (length > 0) dec.shortString[code][length - 1] = static_cast<uint8_t>(symbol);
    }
}

template <bool kPairTable>
[[gnu::always_inline]] inline int32_t Coder::addPhrase(int32_t prefix, int32_t symbol) {
    int32_t code;
    if (count < kTableSize) {
        code = count++;
    } else if (freezeWhenFull) {
        return NIL;
    } else {
        resetDictionary();
        code = count++;
        // A phrase hung under a slot the clearing just emptied is never matched: that code
        // names a phrase again only once its slot is filled anew, without children. So the
        // compressor does not index it; the code is still spent, as in the decoder.
        if constexpr (kPairTable) {
            if (prefix >= alphabetSize) {
                if constexpr (kChecked) dict[code] = DictEntry{prefix, NIL, NIL, symbol};
                return code;
            }
        }
    }
    if constexpr (kPairTable) {
        if constexpr (kChecked) dict[code] = DictEntry{prefix, NIL, NIL, symbol};
        insertPair(prefix, symbol, code);
        if constexpr (kChecked) checkPairsAdded(code);
    } else {
        hangUnder(code, prefix, symbol);
        if constexpr (kChecked) checkAdd(prefix, code);
    }
    return code;
}

// A select the compiler keeps as a conditional move: the conditions of the list moves follow
// the data and would mispredict as branches.
inline int32_t selectIf(bool condition, int32_t a, int32_t b) {
#if defined(__x86_64__)
    asm("test %1, %1\n\tcmovne %2, %0" : "+r"(b) : "r"(condition), "r"(a) : "cc");
    return b;
#else
    int32_t mask = -static_cast<int32_t>(condition);
    asm("" : "+r"(mask));
    return (a & mask) | (b & ~mask);
#endif
}

template <bool kIndexing, bool kFull>
[[gnu::always_inline]] inline int32_t Coder::takeSlotAs(int32_t prefix, uint32_t& erased) {
    if constexpr (kChecked) checkBeforeAdd(prefix);
    erased = kNoEntry;
    // A single byte is linked to itself (initRecency), so unlinking it changes nothing.
    unlinkLeaf(selectIf(leaf.childCount[prefix] == 0, prefix, kLeafSpare));
    if constexpr (!kFull) {
        return count++;
    } else {
        // The oldest leaf goes; with none left, the prefix itself (the list's head links to
        // itself then, so `after` is NIL too).
        int32_t victim = pickVictim();
        int32_t after = leaf.leaves[victim].next;
        victim = selectIf(victim == NIL, prefix, victim);
        // The next victim is most likely the leaf after this one, long unused and out of the
        // first-level cache: fetching its entries now keeps the next add from waiting on them.
        __builtin_prefetch(&dec.parentOf[after], 1);
        __builtin_prefetch(&leaf.leaves[after], 1);
        int32_t parent = dec.parentOf[victim];
        if (parent == victim) [[unlikely]] {
            // Its own parent: in no child list, so no parent can become a leaf.
            leaf.leaves[NIL].next = static_cast<uint16_t>(after);
            leaf.leaves[after].prev = NIL;
            return victim;
        }
        int32_t left = --leaf.childCount[parent];
        // A compressor indexes each pair once, for the one phrase it names, so the entry is
        // this phrase: a plain store, as loading that long-unused entry would wait on memory.
        if constexpr (kIndexing) {
            erased = pairSlot(parent, dec.symbolOf[victim]);
            pairs.childOf[erased] = 0;
        }
        // A parent left without children becomes the oldest leaf, in front of `after`;
        // unless it is the prefix, which gets a child at once.
        bool regained = (left == 0) & (parent >= alphabetSize) & (parent != prefix);
        int32_t head = selectIf(regained, parent, after);
        int32_t node = selectIf(regained, parent, kLeafScratch);
        leaf.leaves[node].next = static_cast<uint16_t>(after);
        leaf.leaves[node].prev = NIL;
        leaf.leaves[after].prev = static_cast<uint16_t>(selectIf(regained, parent, NIL));
        leaf.leaves[NIL].next = static_cast<uint16_t>(head);
        return victim;
    }
}

template <bool kIndexing, bool kKeepDict>
[[gnu::always_inline]] inline void Coder::fillSlot(int32_t code, int32_t prefix, int32_t symbol) {
    hangUnderAs<kIndexing, true, kKeepDict>(code, prefix, symbol);
    appendLeaf(code);
    if constexpr (kChecked) {
        checkAfterAdd(prefix, code);
        checkAdd(prefix, code);
    }
}

template <class Window>
bool Coder::overInput(Window window) {
    for (;;) {
        // Local cursors: stores into outBuf may alias any member, so members would be
        // reloaded on every byte.
        const uint8_t* p = io.inBuf + io.inPos;
        const uint8_t* end = io.inBuf + io.inEnd;
        CodeWriter wr = takeWriter();
        bool more = window(p, end, wr);
        putWriter(wr);
        // A failed write ends the run as the end of input would: the window stopped there.
        if (io.failed) return true;
        io.inPos = static_cast<int32_t>(p - io.inBuf);
        if (!more) return false;
        if (refill() < 0) return true;
        io.inPos = 0;  // the byte refill() returned is read again by the next window
    }
}

template <class OnMiss, class OnHit>
int32_t Coder::encodeInput(int32_t w, bool& ended, OnMiss onMiss, OnHit onHit) {
    ended = overInput([&](const uint8_t*& p, const uint8_t* end, CodeWriter& wr) {
        while (p != end) {
            int32_t c = *p++;
            int32_t x = findChild(w, c);
            if (x == NIL) {
                if (!putCode(wr, w)) return false;
                bool more = onMiss(w, c);
                w = c;
                if (!more) return false;
            } else {
                onHit(x);
                w = x;
            }
        }
        return true;
    });
    return w;
}

}  // namespace lzw
