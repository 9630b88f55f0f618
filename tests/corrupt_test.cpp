// Damaged compressed streams: every decoder must stop with status 1, never write past what
// the header allows, and keep what it decoded before the fault.
#include <gtest/gtest.h>

#include <string>

#include "roundtrip.h"

namespace lzw::testing {
namespace {

struct Damaged {
    std::string name;
    Bytes stream;
    int status;
    Bytes before;  // what a decoder can honestly write before it notices
};

Bytes text(const char* s) {
    return Bytes(s, s + std::char_traits<char>::length(s));
}

// Streams that every policy reads alike: the dictionary never fills.
std::vector<Damaged> commonCases() {
    return {
        {"shorter_than_header", {0x00, 0x00, 0x00}, 1, {}},
        // 0x80000000 and -2 are no sizes; -1 is the empty input.
        {"header_min", {0x80, 0x00, 0x00, 0x00}, 1, {}},
        {"header_minus_two", {0xFF, 0xFF, 0xFF, 0xFE}, 1, {}},
        // Header says one byte, no code follows.
        {"no_code", {0x00, 0x00, 0x00, 0x00}, 1, {}},
        // Header 6 bytes; codes 0x061 'a', 0x062 'b', then the file ends.
        {"ends_before_count", {0x00, 0x00, 0x00, 0x05, 0x06, 0x10, 0x62}, 1, text("ab")},
        // As above, then 0x06: the first half of a third code only.
        {"ends_inside_code", {0x00, 0x00, 0x00, 0x05, 0x06, 0x10, 0x62, 0x06}, 1, text("ab")},
        // Header 1 byte; code 0x100 first, before any phrase exists.
        {"first_code_phrase", {0x00, 0x00, 0x00, 0x00, 0x10, 0x00}, 1, {}},
        // Header 6 bytes; 'a', 'b' (adds 0x100 "ab"), then 0x102 while 0x101 is next.
        {"code_past_next", {0x00, 0x00, 0x00, 0x05, 0x06, 0x10, 0x62, 0x10, 0x20}, 1, text("ab")},
        // Header 2 bytes; 'a', then 0x100 = "aa": three bytes in all.
        {"longer_than_header", {0x00, 0x00, 0x00, 0x01, 0x06, 0x11, 0x00}, 1, text("a")},
        // The empty input, with and without junk after it.
        {"empty", {0xFF, 0xFF, 0xFF, 0xFF}, 0, {}},
        {"empty_then_junk", {0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x80}, 1, {}},
        // "x" (header 0, code 0x078, pad), then junk: the whole stream is kept.
        {"trailing_junk", {0x00, 0x00, 0x00, 0x00, 0x07, 0x80, 0xDE, 0xAD, 0xBE}, 1, text("x")},
        // The pad nibble's value is not checked.
        {"pad_not_zero", {0x00, 0x00, 0x00, 0x00, 0x07, 0x8F}, 0, text("x")},
        // abababab, then a stray full code pair.
        {"trailing_codes",
         {0x00, 0x00, 0x00, 0x07, 0x06, 0x10, 0x62, 0x10, 0x01, 0x02, 0x06, 0x20, 0xFF, 0xFF, 0xFF},
         1,
         text("abababab")},
    };
}

// The chain 'a' 0x100 ... 0x0FFF that a run of 'a' builds: each code is the phrase about to
// be added, one 'a' longer than the last. The dictionary is then full, one chain long.
std::vector<int32_t> fullChainOfA() {
    std::vector<int32_t> codes = {'a'};
    for (int32_t c = 256; c < 4096; ++c) codes.push_back(c);
    return codes;
}

// Freeze mode cannot loop: every phrase extends a code read before it, so parents are
// always smaller codes. Reset mode can, once a clearing hangs phrase 256 under a slot.
std::vector<Damaged> resetCases() {
    std::vector<Damaged> cases;
    // 3840 'a' fill codes 256..4094 with "aa"; 0x100 fills 4095 and is the prefix of the
    // add that clears; 'a' makes that add, so 256 becomes its own parent; 0x100 then loops.
    std::vector<int32_t> codes(3840, 'a');
    codes.insert(codes.end(), {256, 'a', 256});
    cases.push_back({"self_parent_after_reset", packCodes(0xFFFF, codes), 1, Bytes(3843, 'a')});
    // 3840 'a', then 0x0FFF fills the last slot; 0x100 right after the clearing hangs under
    // 0x0FFF, which the clearing just emptied.
    codes.assign(3840, 'a');
    codes.insert(codes.end(), {4095, 256});
    cases.push_back({"phrase_under_emptied_slot", packCodes(0xFFFF, codes), 1, Bytes(3842, 'a')});
    return cases;
}

// Eviction mode: when the top of a full single chain is the only leaf it is the next victim,
// so naming it again makes the add hang it under itself.
std::vector<Damaged> evictionCases() {
    std::vector<int32_t> codes = fullChainOfA();
    codes.push_back(4095);
    // 'a' + "aa" + ... + 3841 'a' were honest.
    return {{"self_parent_victim", packCodes(0xFFFFFF, codes), 1, Bytes(3841 * 3842 / 2, 'a')}};
}

std::vector<Damaged> casesFor(char policy) {
    std::vector<Damaged> cases = commonCases();
    std::vector<Damaged> own = policy == '2'   ? evictionCases()
                               : policy == '3' ? resetCases()
                                               : std::vector<Damaged>{};
    cases.insert(cases.end(), own.begin(), own.end());
    return cases;
}

TEST(CorruptStream, RefusedWithoutInventingBytes) {
    for (char policy : {'1', '2', '3'}) {
        for (const auto& c : casesFor(policy)) {
            SCOPED_TRACE(std::string("d") + policy + " " + c.name);
            Result r = decode(policy, c.stream);
            EXPECT_EQ(r.status, c.status);
            if (c.status == 0) {
                EXPECT_TRUE(r.bytes == c.before);
            } else {
                EXPECT_TRUE(startsWith(c.before, r.bytes)) << r.bytes.size() << " bytes";
            }
        }
    }
}

TEST(CorruptStream, KeepsWhatWasDecodedBeforeTheFault) {
    for (char policy : {'1', '2', '3'}) {
        for (const auto& c : casesFor(policy)) {
            SCOPED_TRACE(std::string("d") + policy + " " + c.name);
            Result r = decode(policy, c.stream);
            EXPECT_EQ(r.bytes.size(), c.before.size());
            EXPECT_TRUE(r.bytes == c.before);
        }
    }
}

}  // namespace
}  // namespace lzw::testing
