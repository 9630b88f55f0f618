// Leaf eviction, driven directly on a Coder.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>

#include "coder.h"

namespace lzw {
namespace {

class Recency : public ::testing::Test {
  protected:
    void SetUp() override { coder->configure(Direction::compress, Policy::evict); }

    // Listed leaves from least to most recently used; checks the links agree both ways.
    std::vector<int32_t> leaves() const {
        std::vector<int32_t> codes;
        int32_t prev = NIL;
        for (int32_t c = coder->leaf.leaves[NIL].next; c != NIL; c = coder->leaf.leaves[c].next) {
            EXPECT_EQ(coder->leaf.leaves[c].prev, prev);
            if (codes.size() > kTableSize) break;
            codes.push_back(c);
            prev = c;
        }
        EXPECT_EQ(coder->leaf.leaves[NIL].prev, prev);
        return codes;
    }

    int32_t add(int32_t prefix, int32_t symbol) { return coder->addPhraseEvicting(prefix, symbol); }

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
        EXPECT_EQ(coder->leaf.childCount[code], out.size());
        return out;
    }

    std::unique_ptr<Coder> coder = std::make_unique<Coder>();
};

TEST_F(Recency, VictimIsTheOldestLeaf) {
    add('a', 'b');  // 256 "ab"
    add(256, 'c');  // 257 "abc": 256 now has a child
    add('x', 'y');  // 258 "xy"
    add(257, 'd');  // 259 "abcd": 257 too
    EXPECT_EQ(leaves(), (std::vector<int32_t>{258, 259}));
    EXPECT_EQ(coder->pickVictim(), 258);
    // 258 is matched and extended: it leaves the list, its child is the newest leaf.
    EXPECT_EQ(add(258, 'z'), 260);
    EXPECT_EQ(leaves(), (std::vector<int32_t>{259, 260}));
    EXPECT_EQ(coder->pickVictim(), 259);
}

// A leaf used last is the prefix of the next add, so that add never gives it up, even when it
// stands at the oldest end: it gets a child instead.
TEST_F(Recency, TheUsedLeafIsNotGivenUp) {
    fillWithLeaves();
    EXPECT_EQ(coder->pickVictim(), 256);
    EXPECT_EQ(add(256, 'q'), 257);
    std::vector<int32_t> rest(kTableSize - 258);
    std::iota(rest.begin(), rest.end(), 258);
    rest.push_back(257);
    EXPECT_EQ(leaves(), rest);
}

TEST_F(Recency, SingleBytesAreNeverListed) {
    add('a', 'a');
    add('b', 'b');
    EXPECT_EQ(add('a', 'c'), 258);
    EXPECT_EQ(leaves(), (std::vector<int32_t>{256, 257, 258}));
    for (int32_t code : {0, int32_t{'a'}, 255}) EXPECT_FALSE(coder->isLeaf(code)) << code;
}

// A decoder knows the string of every code but the slot that the add under the previous code
// fills (takeSlotAs): the next free code, else the oldest leaf other than that prefix.
TEST_F(Recency, KnownCodes) {
    coder->configure(Direction::decompress, Policy::evict);
    while (coder->count < 300) add('b', coder->count & 255);
    EXPECT_EQ(add('a', 'a'), 300);  // 299 was known, 300 was not
    EXPECT_EQ(add('a', 'b'), 301);  // now 300 is known too

    // Full: only the slot the next add reuses is unknown.
    coder->configure(Direction::decompress, Policy::evict);
    fillWithLeaves();
    EXPECT_EQ(add('a', 'a'), 256);
    // Under the oldest leaf itself, the next one is reused.
    coder->configure(Direction::decompress, Policy::evict);
    fillWithLeaves();
    EXPECT_EQ(add(256, 'a'), 257);
}

TEST_F(Recency, FullDictionaryReusesTheVictimSlot) {
    fillWithLeaves();
    // Slot 256 (byte 0, then 1) is the oldest leaf and the oldest child of byte 0; it moves
    // to q's children and becomes the newest.
    EXPECT_EQ(add('q', 'r'), 256);
    EXPECT_EQ(coder->count, kTableSize);
    EXPECT_EQ(coder->dict[256].parent, 'q');
    EXPECT_EQ(coder->dict[256].symbol, 'r');
    EXPECT_EQ(children('q').size(), 16u);
    EXPECT_EQ(children('q').back(), 256);
    EXPECT_EQ(children(0).size(), 14u);
    EXPECT_EQ(children(0).back(), 512);
    EXPECT_EQ(leaves().front(), 257);
    EXPECT_EQ(leaves().back(), 256);
}

// A phrase whose last child is given up was used before that child, which was the oldest
// leaf: it becomes the oldest leaf, unless it is the prefix that gets a child at once.
TEST_F(Recency, ParentOfTheVictimBecomesTheOldestLeaf) {
    add('a', 'b');  // 256 "ab"
    add(256, 'c');  // 257 "abc", the oldest leaf once the rest are filled
    fillWithLeaves();
    EXPECT_EQ(add('q', 'r'), 257);
    EXPECT_EQ(leaves().front(), 256);
    EXPECT_EQ(leaves().back(), 257);
    EXPECT_EQ(leaves().size(), kTableSize - 256u);

    // 256 is used and extended, 258 its only child; once 258 is the oldest leaf, the add
    // under 256 gives it up, and 256 gets the new child instead of joining the leaves.
    EXPECT_EQ(add(256, 'd'), 258);
    for (int32_t i = 0; i < kTableSize && coder->pickVictim() != 258; ++i) {
        add(i & 255, 16 + (i >> 8));
    }
    EXPECT_EQ(add(256, 'e'), 258);
    EXPECT_EQ(children(256), std::vector<int32_t>{258});
    std::vector<int32_t> now = leaves();
    EXPECT_EQ(now.back(), 258);
    EXPECT_EQ(std::count(now.begin(), now.end(), 256), 0);
}

// A victim leaves its parent's children and its pair leaves the index; its siblings stay.
TEST_F(Recency, DetachKeepsTheOtherSiblings) {
    for (int32_t s : {'x', 'y', 'z'}) add('a', s);  // 256 257 258, the oldest leaves
    fillWithLeaves();
    std::vector<int32_t> siblings = children('a');  // highest code first: 258 257 256 last
    ASSERT_EQ(siblings.back(), 256);
    // Under 259, 260, 261 (leaves, so no victim is its own prefix): 256, 257, 258 go.
    for (int32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(add(259 + k, 'q'), 256 + k);
        siblings.erase(std::find(siblings.begin(), siblings.end(), 256 + k));
        EXPECT_EQ(children('a'), siblings);
        EXPECT_EQ(coder->findChild('a', "xyz"[k]), NIL);
        for (int32_t j = k + 1; j < 3; ++j) EXPECT_EQ(coder->findChild('a', "xyz"[j]), 256 + j);
    }
}

// A run of one byte fills the dictionary with one chain whose top is the only leaf; the
// next add gives up that top for a phrase extending it, so the slot becomes its own parent.
TEST_F(Recency, VictimThatIsItsOwnPrefix) {
    int32_t top = 'a';
    while (coder->count < kTableSize) top = add(top, 'a');
    ASSERT_EQ(leaves(), std::vector<int32_t>{top});

    EXPECT_EQ(add(top, 'a'), top);
    EXPECT_EQ(coder->dict[top].parent, top);
    EXPECT_TRUE(children(top).empty());
    EXPECT_TRUE(children(top - 1).empty());
    EXPECT_EQ(leaves(), (std::vector<int32_t>{top - 1, top}));

    // The run goes on to the end of the chain, top - 1, and extends it: the slot that is its
    // own parent is given up, found in no child list, and hangs under top - 1 again.
    EXPECT_EQ(add(top - 1, 'a'), top);
    EXPECT_EQ(coder->dict[top].parent, top - 1);
    EXPECT_EQ(children(top - 1), (std::vector<int32_t>{top}));
    EXPECT_EQ(children('a'), (std::vector<int32_t>{256}));
    EXPECT_EQ(leaves(), std::vector<int32_t>{top});
}

}  // namespace
}  // namespace lzw
