// Round trips in all three policies, and the compressor checked byte for byte against a
// plain reference coder, so that faster dictionary code cannot change what is written.
#include "roundtrip.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "coder.h"

namespace lzw::testing {
namespace {

void expectRoundTrip(char policy, const Bytes& input) {
    Bytes packed = encode(policy, input);
    ASSERT_FALSE(packed.empty()) << "c" << policy << " failed";
    Result back = decode(policy, packed);
    EXPECT_EQ(back.status, 0) << "d" << policy;
    // Not EXPECT_EQ: a mismatch would print megabytes.
    EXPECT_TRUE(back.bytes == input)
        << "d" << policy << " gave " << back.bytes.size() << " bytes for " << input.size();
}

// Reference compressor: the same rules over ordinary containers, slow and easy to read.
// Recency is a last-use stamp per phrase; the oldest leaf is found by scanning in stamp order.
class ReferenceCompressor {
  public:
    explicit ReferenceCompressor(char policy) : policy_(policy) {}

    Bytes compress(const Bytes& input) {
        std::vector<int32_t> codes;
        if (!input.empty()) {
            int32_t w = input[0];
            for (size_t i = 1; i < input.size(); ++i) {
                auto it = child_.find({w, input[i]});
                if (it == child_.end()) {
                    codes.push_back(w);
                    add(w, input[i], i);
                    w = input[i];
                } else {
                    w = it->second;
                    touch(w);
                }
            }
            codes.push_back(w);
        }
        return packCodes(static_cast<int32_t>(input.size()) - 1, codes);
    }

    // Input positions of the bytes whose phrase took the last free code.
    std::vector<size_t> fullAt;

  private:
    static constexpr int32_t kCodes = 4096;

    void touch(int32_t code) {
        if (policy_ != '2' || code < 256) return;
        recency_.erase({stamp_[code], code});
        stamp_[code] = ++clock_;
        recency_.insert({stamp_[code], code});
    }

    int32_t oldestLeaf() const {
        for (auto [stamp, code] : recency_) {
            if (children_[code] == 0) return code;
        }
        ADD_FAILURE() << "no leaf to give up";
        return kCodes - 1;
    }

    void add(int32_t prefix, int32_t symbol, size_t position) {
        int32_t code;
        if (next_ < kCodes) {
            code = next_++;
            if (next_ == kCodes) fullAt.push_back(position);
        } else if (policy_ == '1') {
            return;
        } else if (policy_ == '3') {
            child_.clear();
            next_ = 256;
            code = next_++;
        } else {
            code = oldestLeaf();
            recency_.erase({stamp_[code], code});
            if (inParentList_[code]) {
                child_.erase({parent_[code], symbol_[code]});
                --children_[parent_[code]];
            }
        }
        // A refilled slot starts without children.
        child_.erase(child_.lower_bound({code, 0}), child_.lower_bound({code + 1, 0}));
        parent_[code] = prefix;
        symbol_[code] = symbol;
        // A phrase that extends itself (the victim was its own prefix, or phrase 256 after a
        // reset extends the old 256) hangs in no child list and can never be matched.
        inParentList_[code] = prefix != code;
        if (inParentList_[code]) {
            child_[{prefix, symbol}] = code;
            ++children_[prefix];
        }
        if (policy_ == '2') {
            stamp_[code] = ++clock_;
            recency_.insert({stamp_[code], code});
        }
    }

    char policy_;
    int32_t next_ = 256;
    std::map<std::pair<int32_t, int32_t>, int32_t> child_;  // (prefix, byte) -> phrase
    std::vector<int32_t> parent_ = std::vector<int32_t>(kCodes);
    std::vector<int32_t> symbol_ = std::vector<int32_t>(kCodes);
    std::vector<int32_t> children_ = std::vector<int32_t>(kCodes);
    std::vector<bool> inParentList_ = std::vector<bool>(kCodes);
    std::vector<uint64_t> stamp_ = std::vector<uint64_t>(kCodes);
    std::set<std::pair<uint64_t, int32_t>> recency_;  // (last use, phrase), oldest first
    uint64_t clock_ = 0;
};

void expectSameAsReference(char policy, const Bytes& input) {
    Bytes expected = ReferenceCompressor(policy).compress(input);
    Bytes actual = encode(policy, input);
    ASSERT_EQ(actual.size(), expected.size()) << "c" << policy;
    EXPECT_TRUE(actual == expected) << "c" << policy << " differs from the reference";
}

TEST(RoundTrip, StandardInputs) {
    for (const auto& input : standardInputs()) {
        SCOPED_TRACE(input.name);
        for (char p : allPolicies()) {
            expectRoundTrip(p, input.bytes);
            // The C interface writes what the program writes, and reads it back.
            const char compress[3] = {'c', p, '\0'}, decompress[3] = {'d', p, '\0'};
            Result packed = runApi(compress, input.bytes);
            EXPECT_TRUE(packed.status == 0 && packed.bytes == encode(p, input.bytes)) << compress;
            Result back = runApi(decompress, packed.bytes);
            EXPECT_TRUE(back.status == 0 && back.bytes == input.bytes) << decompress;
            // So do its streams, whatever their reads give: a byte at a time on a short input,
            // less than the codec's window (an odd count), or all it asks for.
            size_t readSize = input.bytes.size() < 5000 ? 1 : p == '2' ? 4093 : 1 << 20;
            Result streamed = runStream(compress, input.bytes, readSize);
            EXPECT_TRUE(streamed.status == 0 && streamed.bytes == packed.bytes) << compress;
            Result unstreamed = runStream(decompress, packed.bytes, readSize);
            EXPECT_TRUE(unstreamed.status == 0 && unstreamed.bytes == input.bytes) << decompress;
        }
    }
}

// Coders share nothing: six threads run all six modes at once, each in its own order, half of
// them through the C interface, and every result matches the one run alone.
TEST(RoundTrip, CodersRunAtOnceOnThreads) {
    std::vector<Bytes> inputs;
    for (const auto& input : standardInputs()) inputs.push_back(input.bytes);
    std::vector<std::array<Result, 6>> expected(inputs.size());
    const char* const modes[6] = {"c1", "c2", "c3", "d1", "d2", "d3"};
    for (size_t i = 0; i < inputs.size(); ++i) {
        for (int m = 0; m < 3; ++m) expected[i][m] = run(modes[m], inputs[i]);
        for (int m = 3; m < 6; ++m) expected[i][m] = run(modes[m], expected[i][m - 3].bytes);
    }
    std::vector<int> mismatches(6, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (size_t k = 0; k < 6 * inputs.size(); ++k) {
                size_t i = k % inputs.size();
                int m = static_cast<int>((k / inputs.size() + t) % 6);
                const Bytes& in = m < 3 ? inputs[i] : expected[i][m - 3].bytes;
                Result r = t % 2 == 0 ? run(modes[m], in) : runApi(modes[m], in);
                if (r.fault != expected[i][m].fault || r.bytes != expected[i][m].bytes) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 6; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

TEST(RoundTrip, SeededInputsMatchTheReference) {
    for (uint64_t seed = 100; seed < 112; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Bytes input;
        switch (seed % 4) {
            case 0:
                input = pseudoText(seed, 150000);
                break;
            case 1:
                input = randomBytes(seed, 120000, 2 + static_cast<int>(seed % 7));
                break;
            case 2:
                input = pseudoBinary(seed, 150000);
                break;
            default:  // runs of random length over a few byte values
                for (uint8_t b : randomBytes(seed, 400, 3)) {
                    input.insert(input.end(), 1 + randomBytes(seed + b, 1)[0] * 3, b);
                }
        }
        for (char p : allPolicies()) {
            expectSameAsReference(p, input);
            expectRoundTrip(p, input);
        }
    }
}

TEST(RoundTrip, DictionaryFilledManyTimes) {
    // Random bytes add a phrase for nearly every byte: each policy meets a full dictionary
    // dozens of times.
    Bytes input = concat({randomBytes(21, 400000), pseudoText(22, 200000), randomBytes(23, 1000)});
    EXPECT_GT(unpackCodes(encode('3', input)).size(), 30u * 3841);
    for (char p : allPolicies()) expectRoundTrip(p, input);
}

// A frozen dictionary codes whole 64 KiB windows in lanes where phrases are short, and byte
// by byte where nearly every byte ends one (random data) or where the window is not whole:
// text, random data and text again switch between the two within one file.
TEST(RoundTrip, FrozenDictionaryOverChangingData) {
    Bytes input = concat({pseudoText(31, 150000), randomBytes(32, 200000), pseudoText(33, 300000),
                          repeated('r', 200000), pseudoBinary(34, 100000)});
    expectSameAsReference('1', input);
    expectRoundTrip('1', input);
}

TEST(RoundTrip, LongRunOfOneByte) {
    for (char p : allPolicies()) expectRoundTrip(p, repeated('q', 7500000));
}

// A run of one byte value builds a single chain of 3840 phrases. At byte 7,378,562 the
// eviction victim is the very prefix being extended, and at byte 7,382,402 that slot, now
// its own parent, is given up again.
TEST(RoundTrip, EvictionOfTheExtendedPrefix) {
    for (size_t size : {7378561, 7378562, 7382401, 7382402, 10000000}) {
        SCOPED_TRACE(size);
        expectRoundTrip('2', repeated('e', size));
    }
    expectSameAsReference('2', repeated('e', 7390000));
}

// Two long runs leave exactly two leaves at one add: the phrase just added and the code
// that follows it. The decoder must give up the same one as the compressor.
TEST(RoundTrip, EvictionWithTwoLeavesLeft) {
    Bytes input =
        concat({repeated('a', 2002000), repeated('b', 4039903), repeated('a', 3010), Bytes{'b'}});
    expectRoundTrip('2', input);
    expectSameAsReference('2', input);
}

// In reset mode a full dictionary is cleared by the next add, and code 256 right after that
// is the phrase this very add creates: byte x twice, when x was written and x x follows.
Bytes resetThenRepeatedByte(uint64_t seed) {
    Bytes data = randomBytes(seed, 6000);
    ReferenceCompressor reference('3');
    reference.compress(data);
    if (reference.fullAt.empty()) return {};
    size_t cut = reference.fullAt[0];  // the phrase written next starts here
    Bytes input(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut) + 1);
    input.insert(input.end(), {data[cut], data[cut]});
    input.insert(input.end(), data.begin() + static_cast<std::ptrdiff_t>(cut) + 1, data.end());
    return input;
}

TEST(ResetMode, CodeAfterResetIsThePhraseJustAdded) {
    // The first 3840 adds fill the dictionary; the add after code 3840 clears it.
    constexpr size_t kFirstAfterReset = 3841;
    for (uint64_t seed = 1; seed < 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Bytes input = resetThenRepeatedByte(seed);
        Bytes packed = encode('3', input);
        std::vector<int32_t> codes = unpackCodes(packed);
        ASSERT_GT(codes.size(), kFirstAfterReset);
        // Single byte x written, then x x: unless x x was already a phrase.
        if (codes[kFirstAfterReset - 1] >= 256 || codes[kFirstAfterReset] != 256) continue;

        expectRoundTrip('3', input);
        expectSameAsReference('3', input);

        // Any other phrase code there names a slot that the clearing just emptied.
        codes[kFirstAfterReset] = 257;
        Result damaged = decode('3', packCodes(static_cast<int32_t>(input.size()) - 1, codes));
        EXPECT_EQ(damaged.status, 1);
        EXPECT_TRUE(startsWith(input, damaged.bytes));
        return;
    }
    FAIL() << "no seed wrote code 256 right after a reset";
}

// The reset-mode compressor's pair table against a plain map, over seeded adds through
// several resets: at checkpoints every (prefix, symbol) is looked up, and exactly the pairs
// added since the last reset are found, with their codes. Few symbols make long chains of
// displacements, so some pairs end in the stash; `roots` keeps the pairs under a single
// byte in the direct table, as after a dictionary filled from few bytes.
TEST(ResetMode, PairTableFindsExactlyThePairsSinceTheLastReset) {
    struct Case {
        uint64_t seed;
        uint32_t symbols;  // drawn from 0 .. symbols - 1
        bool roots;
    };
    const Case cases[] = {{1, 256, false}, {2, 256, false}, {3, 16, false},
                          {4, 4, false},   {5, 2, false},   {6, 2, false},
                          {7, 3, false},   {8, 256, true},  {9, 4, true}};
    auto coder = std::make_unique<Coder>();
    int32_t stashedAtCheckpoints = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE("seed " + std::to_string(k.seed) + ", symbols " + std::to_string(k.symbols));
        std::mt19937_64 random(k.seed);
        // A reset picks the way of keeping the next dictionary from the bytes coded since.
        auto pickRoots = [&] { coder->table.fillBytes = k.roots ? 0 : Coder::kRootsBelow; };
        pickRoots();
        coder->configure(Direction::compress, Policy::reset);
        ASSERT_EQ(coder->table.rootsDirect, k.roots);
        std::map<std::pair<int32_t, int32_t>, int32_t> pairs;
        auto expectSameAsMap = [&] {
            size_t found = 0;
            for (int32_t prefix = 0; prefix < kTableSize; ++prefix) {
                for (int32_t symbol = 0; symbol < 256; ++symbol) {
                    int32_t code = coder->findChild<true>(prefix, symbol);
                    if (code == NIL) continue;
                    ++found;
                    auto it = pairs.find({prefix, symbol});
                    ASSERT_TRUE(it != pairs.end()) << prefix << "+" << symbol << " found";
                    ASSERT_EQ(code, it->second) << prefix << "+" << symbol;
                }
            }
            EXPECT_EQ(found, pairs.size());
            stashedAtCheckpoints += coder->table.stashed;
        };
        for (int32_t resets = 0; resets < 3;) {
            auto prefix = static_cast<int32_t>(random() % static_cast<uint32_t>(coder->count));
            auto symbol = static_cast<int32_t>(random() % k.symbols);
            if (pairs.count({prefix, symbol}) != 0) continue;
            if (coder->count == kTableSize) {
                expectSameAsMap();
                pairs.clear();
                ++resets;
                pickRoots();
            }
            int32_t code = coder->addPhrase<true>(prefix, symbol);
            // After a reset, a pair under a phrase code hangs under an emptied slot.
            if (code != 256 || prefix < 256) pairs[{prefix, symbol}] = code;
            if (code % 1024 == 0) expectSameAsMap();
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_GT(stashedAtCheckpoints, 0) << "no case reached the stash";
}

// A pair that goes to the stash is filed under the prefix its slot gives back. For the prefix
// p = first XOR second XOR 0x1000 of a symbol, the slot the pair leaves from XOR first is
// exactly 0x1000, one past the last prefix: the other choice gives p. Built by hand for each
// symbol: a chain of kMaxMoves taken slots that the new pair's walk follows, the last
// holding that pair in its first slot, so the walk ends by stashing it; every pair placed
// must still be found.
TEST(ResetMode, StashedPairWhoseSlotsLeadToTheTopOfTheTable) {
    auto coder = std::make_unique<Coder>();
    coder->table.fillBytes = Coder::kRootsBelow;  // pairs under single bytes in the table too
    coder->configure(Direction::compress, Policy::reset);
    const auto table = reinterpret_cast<uintptr_t>(coder->table.pairTable);
    auto slotOf = [&](uintptr_t address) {
        return static_cast<uint32_t>((address - table) / sizeof(PairSlot));
    };
    auto first = [&](int32_t c) { return slotOf(coder->table.pairFirst[c]); };
    auto second = [&](int32_t c) { return slotOf(coder->table.pairSecond[c]); };
    auto prefixAt = [&](uint32_t slot, int32_t c) {
        uint32_t p = slot ^ first(c);
        return static_cast<int32_t>(p < kTableSize ? p : slot ^ second(c));
    };
    std::mt19937 random(7);
    for (int32_t symbol = 0; symbol < 256; ++symbol) {
        SCOPED_TRACE("symbol " + std::to_string(symbol));
        coder->table.fillBytes = Coder::kRootsBelow;
        coder->clearPairs();
        ASSERT_FALSE(coder->table.rootsDirect);
        const auto top = static_cast<int32_t>(first(symbol) ^ second(symbol) ^ 0x1000);
        std::map<uint32_t, std::pair<int32_t, int32_t>> placed;  // slot: (prefix, symbol)
        std::set<std::pair<int32_t, int32_t>> pairs;
        auto place = [&](uint32_t slot, int32_t prefix, int32_t c) {
            if (placed.count(slot) != 0 || !pairs.insert({prefix, c}).second) return false;
            placed[slot] = {prefix, c};
            return true;
        };
        // The walk's last pick-up, from the pair's first slot; its move leads to the second.
        uint32_t at = first(symbol) ^ static_cast<uint32_t>(top);
        ASSERT_TRUE(place(at, top, symbol));
        for (int32_t moves = 1; moves < Coder::kMaxMoves;) {
            auto c = static_cast<int32_t>(random() % 256);
            uint32_t from = at ^ first(c) ^ second(c);
            if (place(from, prefixAt(from, c), c)) {
                at = from;
                ++moves;
            }
        }
        // The new pair's second slot starts the walk. Its first slot is taken too, and so is
        // the other slot of the pair there, so that neither can step aside.
        int32_t prefix, c;
        for (;;) {
            c = static_cast<int32_t>(random() % 256);
            prefix = static_cast<int32_t>(at ^ second(c));
            uint32_t own = first(c) ^ static_cast<uint32_t>(prefix);
            auto d = static_cast<int32_t>(random() % 256);
            if (prefix >= kTableSize || pairs.count({prefix, c}) != 0 ||
                !place(own, prefixAt(own, d), d)) {
                continue;
            }
            uint32_t beyond = own ^ first(d) ^ second(d);
            for (int32_t e = 0; placed.count(beyond) == 0; ++e)
                place(beyond, prefixAt(beyond, e), e);
            break;
        }
        std::map<std::pair<int32_t, int32_t>, int32_t> codes;
        int32_t next = 256;
        for (const auto& [slot, pair] : placed) {
            codes[pair] = next;
            coder->table.pairTable[slot] =
                PairSlot{static_cast<uint16_t>(pair.second + 1), static_cast<uint16_t>(4 * next++)};
        }
        codes[{prefix, c}] = next;
        coder->insertPair(prefix, c, next);
        ASSERT_EQ(coder->table.stashed, 1);
        for (const auto& [pair, code] : codes) {
            EXPECT_EQ(coder->findChild<true>(pair.first, pair.second), code)
                << pair.first << "+" << pair.second;
        }
    }
}

}  // namespace
}  // namespace lzw::testing
