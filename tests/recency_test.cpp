// The recency list and leaf eviction, driven directly on a Coder.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "coder.h"

namespace lzw {
namespace {

class Recency : public ::testing::Test {
  protected:
    void SetUp() override {
        coder->quiet = true;
        coder->resetDictionary();
        coder->initRecency();
    }

    // Listed codes from least to most recently used; checks the links agree both ways.
    std::vector<int32_t> order() const {
        std::vector<int32_t> codes;
        int32_t prev = NIL;
        for (int32_t c = coder->recency[NIL].next; c != NIL; c = coder->recency[c].next) {
            EXPECT_EQ(coder->recency[c].prev, prev);
            if (codes.size() > kTableSize) break;
            codes.push_back(c);
            prev = c;
        }
        EXPECT_EQ(coder->recency[NIL].prev, prev);
        return codes;
    }

    void touch(int32_t code) {
        coder->unlinkRecent(code);
        coder->linkRecent(code);
    }

    // Fills every free code with a leaf: each extends a single byte.
    void fillWithLeaves() {
        while (coder->count < kTableSize) {
            int32_t k = coder->count;
            coder->addPhraseEvicting(k & 255, k >> 8);
        }
    }

    // Phrases standing in the child list of `code`, highest code first; checks the count.
    std::vector<int32_t> children(int32_t code) const {
        std::vector<int32_t> out;
        for (int32_t c = kTableSize - 1; c >= coder->alphabetSize; --c) {
            const DictEntry& e = coder->dict[c];
            if (e.parent == code && e.symbol != NIL && c != code) out.push_back(c);
        }
        EXPECT_EQ(coder->childCount[code], out.size());
        return out;
    }

    std::unique_ptr<Coder> coder = std::make_unique<Coder>();
};

TEST_F(Recency, VictimIsTheOldestLeaf) {
    coder->addPhraseEvicting('a', 'b');  // 256 "ab"
    coder->addPhraseEvicting(256, 'c');  // 257 "abc": 256 now has a child
    coder->addPhraseEvicting('x', 'y');  // 258 "xy"
    coder->addPhraseEvicting(257, 'd');  // 259 "abcd": 257 too
    EXPECT_EQ(order(), (std::vector<int32_t>{256, 257, 258, 259}));
    EXPECT_EQ(coder->pickVictim(), 258);
    touch(258);
    EXPECT_EQ(coder->pickVictim(), 259);
    touch(259);
    EXPECT_EQ(coder->pickVictim(), 258);
}

TEST_F(Recency, TouchingTheNewestChangesNothing) {
    for (int32_t b = 0; b < 5; ++b) coder->addPhraseEvicting(b, 'z');
    RecencyNode before[kTableSize + 1];
    std::memcpy(before, coder->recency, sizeof before);
    touch(260);
    EXPECT_EQ(std::memcmp(before, coder->recency, sizeof before), 0);
    touch(258);
    EXPECT_EQ(order(), (std::vector<int32_t>{256, 257, 259, 260, 258}));
}

TEST_F(Recency, SingleBytesAndNilAreNeverListed) {
    coder->addPhraseEvicting('a', 'a');
    coder->addPhraseEvicting('b', 'b');
    RecencyNode before[kTableSize + 1];
    std::memcpy(before, coder->recency, sizeof before);
    for (int32_t code : {0, int32_t{'a'}, 255, NIL}) {
        coder->linkRecent(code);
        coder->unlinkRecent(code);
        touch(code);
    }
    EXPECT_EQ(std::memcmp(before, coder->recency, sizeof before), 0);
}

TEST_F(Recency, KnownCodes) {
    coder->count = 300;
    EXPECT_TRUE(coder->isKnown(299));
    EXPECT_FALSE(coder->isKnown(300));
    coder->count = 301;
    EXPECT_TRUE(coder->isKnown(300));

    // Full: only the slot the next add reuses is unknown.
    coder->resetDictionary();
    fillWithLeaves();
    EXPECT_FALSE(coder->isKnown(256));
    EXPECT_TRUE(coder->isKnown(257));
    EXPECT_TRUE(coder->isKnown(4095));
    EXPECT_TRUE(coder->isKnown('a'));
    touch(256);
    EXPECT_TRUE(coder->isKnown(256));
    EXPECT_FALSE(coder->isKnown(257));
}

TEST_F(Recency, FullDictionaryReusesTheVictimSlot) {
    fillWithLeaves();
    // Slot 256 (byte 0, then 1) is the oldest leaf and the oldest child of byte 0; it moves
    // to q's children and becomes the newest.
    EXPECT_EQ(coder->addPhraseEvicting('q', 'r'), 256);
    EXPECT_EQ(coder->count, kTableSize);
    EXPECT_EQ(coder->dict[256].parent, 'q');
    EXPECT_EQ(coder->dict[256].symbol, 'r');
    EXPECT_EQ(children('q').size(), 16u);
    EXPECT_EQ(children('q').back(), 256);
    EXPECT_EQ(children(0).size(), 14u);
    EXPECT_EQ(children(0).back(), 512);
    EXPECT_EQ(order().front(), 257);
    EXPECT_EQ(order().back(), 256);
}

TEST_F(Recency, DetachKeepsTheOtherSiblings) {
    for (int32_t s : {'x', 'y', 'z'}) coder->addPhraseEvicting('a', s);  // 256 257 258
    coder->detachFromParent(257);
    EXPECT_EQ(children('a'), (std::vector<int32_t>{258, 256}));
    EXPECT_EQ(coder->dict[257].symbol, NIL);
    coder->detachFromParent(258);
    EXPECT_EQ(children('a'), (std::vector<int32_t>{256}));
    coder->detachFromParent(256);
    EXPECT_TRUE(children('a').empty());
}

// A run of one byte fills the dictionary with one chain whose top is the only leaf; the
// next add gives up that top for a phrase extending it, so the slot becomes its own parent.
TEST_F(Recency, VictimThatIsItsOwnPrefix) {
    coder->addPhraseEvicting('b', 'b');  // a sibling list that must survive untouched
    int32_t top = 'a';
    while (coder->count < kTableSize) top = coder->addPhraseEvicting(top, 'a');
    ASSERT_EQ(coder->pickVictim(), 256);  // "bb" is older than the chain
    touch(256);
    ASSERT_EQ(coder->pickVictim(), top);

    EXPECT_EQ(coder->addPhraseEvicting(top, 'a'), top);
    EXPECT_EQ(coder->dict[top].parent, top);
    EXPECT_TRUE(children(top).empty());
    EXPECT_TRUE(children(top - 1).empty());

    // Touch the rest of the chain as a run would: the self-parent slot is the oldest leaf
    // again, and giving it up must find it in no child list and still finish.
    for (int32_t c = 257; c < top; ++c) touch(c);
    touch(256);
    ASSERT_EQ(coder->pickVictim(), top);
    EXPECT_EQ(coder->addPhraseEvicting(top - 1, 'a'), top);
    EXPECT_EQ(coder->dict[top].parent, top - 1);
    EXPECT_EQ(children(top - 1), (std::vector<int32_t>{top}));
    EXPECT_EQ(children('b'), (std::vector<int32_t>{256}));
    EXPECT_EQ(children('a'), (std::vector<int32_t>{257}));
    EXPECT_EQ(order().size(), 3840u);
}

}  // namespace
}  // namespace lzw
