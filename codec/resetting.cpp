// The reset-mode compressor (c3): phrases found in a two-choice pair table that stays in the
// first-level cache, parsed without a branch on the data.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "coder.h"

namespace lzw {

namespace {

static_assert(std::endian::native == std::endian::little, "slot entries are read as uint32_t");
static_assert(sizeof(PairSlot) == 4);
static_assert(Coder::pairCode4(Coder::pairPlace4(4095)) == 4 * 4095);
static_assert(Coder::pairCode4(Coder::pairPlace4(1)) == 4);

constexpr auto kSinglePlace4 = [] {
    std::array<uint16_t, Coder::kSymbols> t{};
    for (uint32_t c = 0; c < Coder::kSymbols; ++c)
        t[c] = static_cast<uint16_t>(Coder::pairPlace4(c));
    return t;
}();

// The slots of symbol c for the prefix in place 0: first[c] in the lowest kSpan slots,
// second[c] in the kSpan slots above 4095 + kSpan, so that the first slots of all pairs and
// their second slots fill two parts of the table that do not overlap. The distance
// second[c] - first[c] is c's own, so no two pairs share both slots; and as an entry's tag
// says which of the two it sits in, slot and tag give back the prefix. Fixed numbers: where
// pairs are stored changes the speed, never the output.
struct PairHash {
    uint16_t first[Coder::kSymbols];
    uint16_t second[Coder::kSymbols];
};

// Spread over 512 slots rather than 256, the symbols' first slots put fewer of the pairs under
// one prefix near the pairs under the next places.
constexpr int32_t kSpan = Coder::kPairSlots / 2 - kTableSize;

constexpr PairHash makePairHash() {
    PairHash h{};
    uint64_t state = 0x1e2d3c4b5a697887;
    auto random = [&state] {  // splitmix64
        uint64_t z = (state += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    };
    bool firstUsed[kSpan] = {};
    bool distanceUsed[2 * kSpan] = {};
    for (int32_t c = 0; c < Coder::kSymbols;) {
        auto f = static_cast<int32_t>(random() % kSpan);
        auto g = static_cast<int32_t>(random() % kSpan);
        if (firstUsed[f] || distanceUsed[kSpan + g - f]) continue;
        firstUsed[f] = distanceUsed[kSpan + g - f] = true;
        h.first[c] = static_cast<uint16_t>(f);
        h.second[c] = static_cast<uint16_t>(kTableSize + kSpan + g);
        ++c;
    }
    return h;
}

constexpr PairHash kPairHash = makePairHash();

// The tags of symbol c: in its first slot and in its second. Moving an entry to its other
// slot flips the low bit.
constexpr uint32_t firstTag(uint32_t c) {
    return 2 * c + 2;
}
constexpr uint32_t kOtherSlot = 1;

// A slot's four bytes as one number: the tag in the low half, 4 x place in the high half.
constexpr uint32_t slotBits(uint32_t tag, uint32_t place4) {
    return place4 << 16 | tag;
}

// slotBits(0, Coder::pairPlace4(code)) by one multiply and one mask.
constexpr uint32_t placeBits(uint32_t code) {
    return code * (Coder::pairPlace4(1) << 16) & (4 * kTableSize - 4) << 16;
}
static_assert(placeBits(4095) == slotBits(0, Coder::pairPlace4(4095)));
static_assert(placeBits(1234) == slotBits(0, Coder::pairPlace4(1234)));

// 4 x place from 4 x code.
constexpr uint32_t placeOf4(uint32_t code4) {
    return code4 * (Coder::pairPlace4(1) / 4) & (4 * kTableSize - 4);
}
static_assert(placeOf4(4 * 4095) == Coder::pairPlace4(4095));
static_assert(placeOf4(4 * 1234) == Coder::pairPlace4(1234));

uint32_t loadSlot(const PairSlot* slot) {
    uint32_t bits;
    std::memcpy(&bits, slot, sizeof bits);
    return bits;
}

void storeSlot(PairSlot* slot, uint32_t bits) {
    std::memcpy(slot, &bits, sizeof bits);
}

// Hides a value from the optimizer, so that it cannot merge two selects on related
// conditions into a branch.
template <class T>
[[gnu::always_inline]] inline T opaque(T x) {
    asm("" : "+r"(x));
    return x;
}

// A loaded value that only a select uses: clang would otherwise load it in a branch on the
// select's condition, which the data decides. gcc keeps the conditional move either way, and
// its code is shorter without.
template <class T>
[[gnu::always_inline]] inline T loaded(T x) {
#if defined(__clang__)
    return opaque(x);
#else
    return x;
#endif
}

// A select the compiler should make a conditional move: either way is equally likely.
[[gnu::always_inline]] inline bool even(bool condition) {
    return __builtin_expect_with_probability(condition, 1, 0.5);
}

}  // namespace

void Coder::mapPairs() {
    auto base = reinterpret_cast<uintptr_t>(table.pairTable);
    table.pairMove[0] = 0;
    for (int32_t c = 0; c < kSymbols; ++c) {
        table.pairFirst[c] = base + sizeof(PairSlot) * kPairHash.first[c];
        table.pairSecond[c] = base + sizeof(PairSlot) * kPairHash.second[c];
        uintptr_t distance = table.pairSecond[c] - table.pairFirst[c];
        table.pairMove[firstTag(c)] = distance;
        table.pairMove[firstTag(c) | kOtherSlot] = -distance;
    }
    std::fill(table.stashHead, table.stashHead + kTableSize, static_cast<uint16_t>(NIL));
    table.stashed = 0;
    table.fillBytes = kRootsBelow;
    table.rootsWritten = true;
    table.pairsMapped = true;
}

void Coder::clearPairs() {
    if (!table.pairsMapped) mapPairs();
    std::memset(table.pairTable, 0, sizeof table.pairTable);
    if (table.stashed > 0) {
        std::fill(table.stashHead, table.stashHead + kTableSize, static_cast<uint16_t>(NIL));
        table.stashed = 0;
    }
    table.rootsDirect = table.fillBytes < kRootsBelow;
    table.fillBytes = 0;
    // At a run's start the pick follows the previous run's input, and encodeResetting
    // overrules it: only roots written since need clearing.
    if (table.rootsDirect && table.rootsWritten) {
        std::memset(table.rootSeen, 0, sizeof table.rootSeen);
        table.rootsWritten = false;
    }
}

int32_t Coder::findPair(int32_t prefix, int32_t symbol) {
    if (table.rootsDirect && prefix < kSymbols) {
        uint32_t k = static_cast<uint32_t>(prefix) << 8 | static_cast<uint32_t>(symbol);
        return (table.rootSeen[k >> 6] >> (k & 63) & 1) != 0 ? table.rootCode4[k] >> 2 : NIL;
    }
    uintptr_t offset = pairPlace4(static_cast<uint32_t>(prefix));
    auto* s1 = reinterpret_cast<const PairSlot*>(table.pairFirst[symbol] + offset);
    auto* s2 = reinterpret_cast<const PairSlot*>(table.pairSecond[symbol] + offset);
    uint32_t tag = firstTag(static_cast<uint32_t>(symbol));
    if (s1->tag == tag) return pairCode4(s1->code4) >> 2;
    if (s2->tag == (tag | kOtherSlot)) return pairCode4(s2->code4) >> 2;
    for (int32_t k = table.stashHead[prefix]; k != NIL; k = table.stashNext[k]) {
        if (table.stashSymbol[k] == symbol) return k;
    }
    return NIL;
}

void Coder::insertPair(int32_t prefix, int32_t symbol, int32_t code) {
    if (table.rootsDirect && prefix < kSymbols) {
        uint32_t k = static_cast<uint32_t>(prefix) << 8 | static_cast<uint32_t>(symbol);
        table.rootsWritten = true;
        table.rootSeen[k >> 6] |= uint64_t{1} << (k & 63);
        table.rootCode4[k] = static_cast<uint16_t>(sizeof(PairSlot) * static_cast<uint32_t>(code));
        return;
    }
    uintptr_t offset = pairPlace4(static_cast<uint32_t>(prefix));
    auto* s1 = reinterpret_cast<PairSlot*>(table.pairFirst[symbol] + offset);
    auto* s2 = reinterpret_cast<PairSlot*>(table.pairSecond[symbol] + offset);
    uint32_t bits =
        slotBits(firstTag(static_cast<uint32_t>(symbol)), pairPlace4(static_cast<uint32_t>(code)));
    if (s1->tag == 0) {
        storeSlot(s1, bits);
    } else if (s2->tag == 0) {
        storeSlot(s2, bits | kOtherSlot);
    } else {
        displacePair(s1, s2, bits | kOtherSlot);
    }
}

[[gnu::always_inline]] inline bool Coder::displacePair(PairSlot* s1, PairSlot* s2, uint32_t entry) {
    // Most often one of the two entries can step aside into its other slot: check both
    // at once, without a branch on which.
    uint32_t e1 = loadSlot(s1);
    uint32_t e2 = loadSlot(s2);
    auto* alt1 =
        reinterpret_cast<PairSlot*>(reinterpret_cast<uintptr_t>(s1) + table.pairMove[e1 & 0xffff]);
    auto* alt2 =
        reinterpret_cast<PairSlot*>(reinterpret_cast<uintptr_t>(s2) + table.pairMove[e2 & 0xffff]);
    bool free2 = alt2->tag == 0;
    if (__builtin_expect(free2 || alt1->tag == 0, 1)) {
        storeSlot(even(free2) ? alt2 : alt1, (even(free2) ? e2 : e1) ^ kOtherSlot);
        storeSlot(even(free2) ? s2 : s1, entry ^ (free2 ? 0 : kOtherSlot));
        return true;
    }
    // Otherwise a walk: each entry put in place moves the one it finds to that one's other slot.
    PairSlot* at = s2;
    for (int32_t moves = 0; moves < kMaxMoves; ++moves) {
        uint32_t old = loadSlot(at);
        storeSlot(at, entry);
        if (old == 0) return true;
        entry = old ^ kOtherSlot;
        at = reinterpret_cast<PairSlot*>(reinterpret_cast<uintptr_t>(at) +
                                         table.pairMove[old & 0xffff]);
    }
    // `at` is the slot of the pair still moving that its tag names: they give back its prefix.
    int32_t symbol = static_cast<int32_t>((entry & 0xffff) >> 1) - 1;
    auto code = static_cast<int32_t>(pairCode4(entry >> 16) >> 2);
    auto slot = static_cast<uint32_t>(at - table.pairTable);
    uint32_t place =
        slot - ((entry & kOtherSlot) != 0 ? kPairHash.second : kPairHash.first)[symbol];
    uint32_t prefix = pairCode4(sizeof(PairSlot) * place) >> 2;
    table.stashSymbol[code] = static_cast<uint8_t>(symbol);
    table.stashNext[code] = table.stashHead[prefix];
    table.stashHead[prefix] = static_cast<uint16_t>(code);
    ++table.stashed;
    return false;
}

bool Coder::compressResettingLoop() {
    int first = readByte();
    if (first < 0) return fixHeader();
    return finishEncoding(encodeResetting(first));
}

int32_t Coder::encodeResetting(int32_t w) {
    // The dictionary is empty, so either way of keeping it may start.
    table.rootsDirect = false;
    table.fillBytes = 0;
    uint32_t w4 = pairPlace4(static_cast<uint32_t>(w));
    for (;;) {
        while (io.inPos < io.inEnd) {
            if (count < kExactFrom && table.stashed == 0) {
                int32_t from = count;
                int32_t n = std::min(io.inEnd - io.inPos, kTableSize - count);
                bool written;
                if (table.rootsDirect) {
                    parseRoots(n, w4);
                    if constexpr (kChecked) checkPairsAdded(from);
                    written = putChunkCodes<false>(from, count);
                } else {
                    parsePairs(n, w4);
                    if constexpr (kChecked) checkPairsAdded(from);
                    written = putChunkCodes<true>(from, count);
                }
                if (!written) break;
                continue;
            }
            // One byte at a time: close to a reset, or while pairs wait in the stash.
            w = static_cast<int32_t>(pairCode4(w4) >> 2);
            CodeWriter wr = takeWriter();
            const uint8_t* p = io.inBuf + io.inPos;
            const uint8_t* start = p;
            const uint8_t* end = io.inBuf + io.inEnd;
            while (p != end) {
                int32_t c = *p++;
                int32_t x = findChild<true>(w, c);
                if (x != NIL) {
                    w = x;
                    continue;
                }
                if (!putCode(wr, w)) break;
                bool clears = count == kTableSize;
                if (clears) {
                    table.fillBytes += p - start;  // read by the clearing
                    start = p;
                }
                addPhrase<true>(w, c);
                w = c;
                if (clears) break;  // back to chunks
            }
            table.fillBytes += p - start;
            putWriter(wr);
            w4 = pairPlace4(static_cast<uint32_t>(w));
            if (io.failed) break;
            io.inPos = static_cast<int32_t>(p - io.inBuf);
        }
        if (io.failed) break;  // a failed write: the window was emptied
        io.inPos = io.inEnd;
        if (refill() < 0) break;
        io.inPos = 0;  // the byte refill() returned is read again above
    }
    return static_cast<int32_t>(pairCode4(w4) >> 2);
}

void Coder::parsePairs(int32_t n, uint32_t& w4) {
    // w: 4 x the place of the phrase in progress; next: the code of the next phrase added.
    // Both full-width, so that adding them to addresses needs no extension.
    auto [p, start, end, w32, next32] = beginChunk(n, w4);
    uintptr_t w = w32;
    uintptr_t next = next32;
    const auto sink = reinterpret_cast<uintptr_t>(&table.pairSink);
    // Counted up to 0 from below `end`: one add and branch per byte.
    std::ptrdiff_t i = p - end;
    p = end;
    for (; i != 0; ++i) {
        uint32_t c = end[i];
        uintptr_t first = table.pairFirst[c];
        uintptr_t second = table.pairSecond[c];
        // Written on every byte, kept by the add that moves `next` past it.
        table.chunkCodes[next] = static_cast<uint16_t>(w);
        if constexpr (kChecked) {
            noteChunkAdd(static_cast<uint32_t>(next), pairCode4(static_cast<uint32_t>(w)), c);
        }
        // The next byte waits on these loads, a compare and two selects: w is added in the
        // loads' addressing, not once for them all (which `opaque` prevents), and the store
        // below makes its own sum.
        uint32_t tag = firstTag(c);
        uint32_t t1 = reinterpret_cast<const PairSlot*>(first + w)->tag;
        uint32_t t2 = reinterpret_cast<const PairSlot*>(second + w)->tag;
        uint32_t v1 = loaded(reinterpret_cast<const PairSlot*>(opaque(first) + w)->code4);
        uint32_t v2 = loaded(reinterpret_cast<const PairSlot*>(opaque(second) + w)->code4);
        uint32_t single = kSinglePlace4[c];  // where no pair matches
        uintptr_t x = even(t2 == (tag | kOtherSlot)) ? v2 : single;
        x = even(t1 == tag) ? v1 : x;
        t1 = opaque(t1);
        uintptr_t base = even(t1 == 0) ? first : second;
        uint32_t own = even(t1 == 0) ? tag : tag | kOtherSlot;  // the tag in that slot
        auto* target = reinterpret_cast<PairSlot*>(base + opaque(w));
        // A phrase found has a place of its own, not that of a single byte.
        uintptr_t miss = opaque(static_cast<uintptr_t>(x == single));
        target = even(miss != 0) ? target : reinterpret_cast<PairSlot*>(sink);
        // No match and both slots taken.
        uint32_t taken = -static_cast<uint32_t>(opaque(miss)) & opaque(t1) * t2;
        uint32_t bits = placeBits(static_cast<uint32_t>(next)) + own;
        uintptr_t prefix = w;
        next += miss;
        w = x;
        if (__builtin_expect(taken != 0, 0)) {
            auto* s1 = reinterpret_cast<PairSlot*>(first + opaque(prefix));
            auto* s2 = reinterpret_cast<PairSlot*>(second + opaque(prefix));
            if (displacePair(s1, s2, bits)) continue;
            p = end + i + 1;  // the stash is in use: findChild takes over after this byte
            break;
        }
        storeSlot(target, bits);
    }
    endChunk(p, start, static_cast<uint32_t>(next), static_cast<uint32_t>(w), w4);
}

void Coder::parseRoots(int32_t n, uint32_t& w4) {
    auto [p, start, end, place4, next] = beginChunk(n, w4);  // as in parsePairs
    table.rootsWritten = true;
    // Here the phrase in progress is 4 x its code, as rootCode4 and chunkCodes hold it: nearly
    // every byte adds a phrase, whose place would take a multiply and its code another. Only
    // a pair of a longer phrase needs the place.
    uint32_t w = pairCode4(place4);
    for (; p != end; ++p) {
        uint32_t c = *p;
        if (__builtin_expect(w < kFirstPhrase4, 1)) {
            uint32_t k = w << 6 | c;  // prefix << 8 | symbol
            uint64_t word = table.rootSeen[k >> 6];
            uint64_t bit = uint64_t{1} << (k & 63);
            if (__builtin_expect((word & bit) != 0, 0)) {
                w = table.rootCode4[k];
                continue;
            }
            table.rootSeen[k >> 6] = word | bit;
            table.rootCode4[k] = static_cast<uint16_t>(sizeof(PairSlot) * next);
        } else {
            uintptr_t offset = placeOf4(w);
            auto* s1 = reinterpret_cast<PairSlot*>(table.pairFirst[c] + offset);
            auto* s2 = reinterpret_cast<PairSlot*>(table.pairSecond[c] + offset);
            uint32_t tag = firstTag(c);
            if (s1->tag == tag) {
                w = pairCode4(s1->code4);
                continue;
            }
            if (s2->tag == (tag | kOtherSlot)) {
                w = pairCode4(s2->code4);
                continue;
            }
            uint32_t bits = slotBits(tag, pairPlace4(next));
            if (s1->tag == 0) {
                storeSlot(s1, bits);
            } else if (s2->tag == 0) {
                storeSlot(s2, bits | kOtherSlot);
            } else if (!displacePair(s1, s2, bits | kOtherSlot)) {
                if constexpr (kChecked) noteChunkAdd(next, w, c);
                table.chunkCodes[next++] = static_cast<uint16_t>(w);
                w = sizeof(PairSlot) * c;
                ++p;  // the stash is in use: findChild takes over after this byte
                break;
            }
        }
        if constexpr (kChecked) noteChunkAdd(next, w, c);
        table.chunkCodes[next++] = static_cast<uint16_t>(w);
        w = sizeof(PairSlot) * c;
    }
    endChunk(p, start, next, placeOf4(w), w4);
}

template <bool kPlaces>
bool Coder::putChunkCodes(int32_t from, int32_t to) {
    auto code4 = [](uint32_t v) { return kPlaces ? pairCode4(v) : v; };
    CodeWriter wr = takeWriter();
    // Room for every code and the last 8-byte store, so no code below needs a flush.
    if ((to - from) * 3 / 2 + 8 > io.outBuf + kBufSize - wr.p) {
        putWriter(wr);
        if (!flushOutput()) return false;
        wr = takeWriter();
    }
    const uint16_t* c = table.chunkCodes + from;
    const uint16_t* end = table.chunkCodes + to;
    if (wr.bits != 0 && c != end) putCode(wr, static_cast<int32_t>(code4(*c++) >> 2));
    // Four codes, 48 bits, by one store; the two bytes past them are overwritten next.
    for (; end - c >= 4; c += 4) {
        uint64_t bits = uint64_t{code4(c[0])} << 34 | uint64_t{code4(c[1])} << 22 |
                        uint64_t{code4(c[2])} << 10 | uint64_t{code4(c[3])} >> 2;
        bits = __builtin_bswap64(bits << 16);
        std::memcpy(wr.p, &bits, sizeof bits);
        wr.p += 6;
    }
    for (; c != end; ++c) putCode(wr, static_cast<int32_t>(code4(*c) >> 2));
    putWriter(wr);
    return true;
}

}  // namespace lzw
