// Damaged compressed streams: every decoder must stop with the fault the damage is, never
// write past what the header allows, and keep what it decoded before the fault.
#include <gtest/gtest.h>

#include <string>

#include "lzw.h"
#include "roundtrip.h"

namespace lzw::testing {
namespace {

struct Damaged {
    std::string name;
    Bytes stream;
    Fault fault;   // none: the stream is whole
    Bytes before;  // what a decoder can honestly write before it notices
};

Bytes text(const char* s) {
    return Bytes(s, s + std::char_traits<char>::length(s));
}

// Streams that every policy reads alike: the dictionary never fills.
std::vector<Damaged> commonCases() {
    using enum Fault;
    return {
        {"shorter_than_header", {0x00, 0x00, 0x00}, shorterThanHeader, {}},
        // 0x80000000 and -2 are no sizes; -1 is the empty input.
        {"header_min", {0x80, 0x00, 0x00, 0x00}, negativeLength, {}},
        {"header_minus_two", {0xFF, 0xFF, 0xFF, 0xFE}, negativeLength, {}},
        // Header says one byte, no code follows.
        {"no_code", {0x00, 0x00, 0x00, 0x00}, endsEarly, {}},
        // Header 6 bytes; codes 0x061 'a', 0x062 'b', then the file ends.
        {"ends_before_count", {0x00, 0x00, 0x00, 0x05, 0x06, 0x10, 0x62}, endsEarly, text("ab")},
        // As above, then 0x06: the first half of a third code only.
        {"ends_inside_code",
         {0x00, 0x00, 0x00, 0x05, 0x06, 0x10, 0x62, 0x06},
         endsEarly,
         text("ab")},
        // Header 1 byte; code 0x100 first, before any phrase exists.
        {"first_code_phrase", {0x00, 0x00, 0x00, 0x00, 0x10, 0x00}, firstNotByte, {}},
        // Header 6 bytes; 'a', 'b' (adds 0x100 "ab"), then 0x102 while 0x101 is next.
        {"code_past_next",
         {0x00, 0x00, 0x00, 0x05, 0x06, 0x10, 0x62, 0x10, 0x20},
         beyondDictionary,
         text("ab")},
        // Header 2 bytes; 'a', then 0x100 = "aa": three bytes in all.
        {"longer_than_header",
         {0x00, 0x00, 0x00, 0x01, 0x06, 0x11, 0x00},
         longerThanHeader,
         text("a")},
        // The empty input, with and without junk after it.
        {"empty", {0xFF, 0xFF, 0xFF, 0xFF}, none, {}},
        {"empty_then_junk", {0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x80}, trailingData, {}},
        // "x" (header 0, code 0x078, pad), then junk: the whole stream is kept.
        {"trailing_junk",
         {0x00, 0x00, 0x00, 0x00, 0x07, 0x80, 0xDE, 0xAD, 0xBE},
         trailingData,
         text("x")},
        // The pad nibble's value is not checked.
        {"pad_not_zero", {0x00, 0x00, 0x00, 0x00, 0x07, 0x8F}, none, text("x")},
        // abababab, then a stray full code pair.
        {"trailing_codes",
         {0x00, 0x00, 0x00, 0x07, 0x06, 0x10, 0x62, 0x10, 0x01, 0x02, 0x06, 0x20, 0xFF, 0xFF, 0xFF},
         trailingData,
         text("abababab")},
        // A vector: 16 codes in 24 bytes, then a lone byte, which no count of codes leaves.
        {"lone_byte", vectorFile("lone-byte.raw"), trailingData, text("TOBEORNOTTOBEORTOBEORNOT")},
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
    // Hung under a slot the clearing emptied, it is refused as a code of an empty slot.
    cases.push_back(
        {"self_parent_after_reset", packCodes(0xFFFF, codes), Fault::emptySlot, Bytes(3843, 'a')});
    // 3840 'a', then 0x0FFF fills the last slot; 0x100 right after the clearing hangs under
    // 0x0FFF, which the clearing just emptied.
    codes.assign(3840, 'a');
    codes.insert(codes.end(), {4095, 256});
    cases.push_back({"phrase_under_emptied_slot", packCodes(0xFFFF, codes), Fault::emptySlot,
                     Bytes(3842, 'a')});
    // A vector: the chain of a run of 'e' up to 0x0FFF, then 0x100 under it, just emptied.
    cases.push_back({"emptied_prefix_vector", vectorFile("emptied-prefix-reset.raw"),
                     Fault::emptySlot, Bytes(7378561, 'e')});
    return cases;
}

// Eviction mode: when the top of a full single chain is the only leaf it is the next victim,
// so naming it again makes the add hang it under itself.
std::vector<Damaged> evictionCases() {
    std::vector<int32_t> codes = fullChainOfA();
    codes.push_back(4095);
    // 'a' + "aa" + ... + 3841 'a' were honest.
    return {{"self_parent_victim", packCodes(0xFFFFFF, codes), Fault::loop,
             Bytes(3841 * 3842 / 2, 'a')}};
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
    for (char policy : allPolicies()) {
        for (const auto& c : casesFor(policy)) {
            SCOPED_TRACE(std::string("d") + policy + " " + c.name);
            Result r = decode(policy, c.stream);
            EXPECT_EQ(static_cast<int>(r.fault), static_cast<int>(c.fault));
            if (c.fault == Fault::none) {
                EXPECT_TRUE(r.bytes == c.before);
            } else {
                EXPECT_TRUE(startsWith(c.before, r.bytes)) << r.bytes.size() << " bytes";
            }
        }
    }
}

// Also through the C interface, which returns each fault as its own value with the program's
// reason.
TEST(CorruptStream, KeepsWhatWasDecodedBeforeTheFault) {
    for (char policy : allPolicies()) {
        const char mode[3] = {'d', policy, '\0'};
        for (const auto& c : casesFor(policy)) {
            SCOPED_TRACE(std::string(mode) + " " + c.name);
            Result r = decode(policy, c.stream);
            EXPECT_EQ(r.bytes.size(), c.before.size());
            EXPECT_TRUE(r.bytes == c.before);
            Result viaApi = runApi(mode, c.stream);
            EXPECT_EQ(static_cast<int>(viaApi.fault), static_cast<int>(c.fault));
            EXPECT_TRUE(viaApi.bytes == c.before) << viaApi.bytes.size() << " bytes";
            std::string text = lzw_error_text(-static_cast<int>(c.fault));
            EXPECT_EQ(text.rfind("damaged stream: ", 0) == 0, isDamage(c.fault)) << text;
        }
    }
}

}  // namespace
}  // namespace lzw::testing
