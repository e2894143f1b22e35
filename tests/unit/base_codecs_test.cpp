// The base 2, 16, 58 and 64 codecs: encoders against known texts, decoders over
// texts of every unit size with blanks, comments and refusals, round trips, and
// the work of enbase and debase.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/base_codecs.hpp"
#include "datatypes/binary.hpp"
#include "string_fixtures.hpp"

using namespace kro;
using testing_blocks::integer;
using testing_blocks::raised;
using testing_strings::text_of;
using testing_strings::utf8;

namespace {

using Bytes = std::vector<uint8_t>;

std::string encoded(int base, const Bytes& in) {
    Cell b = binary::of_bytes(in), out;
    binary::enbase(&b, base, &out);
    return utf8(out);
}

// "none", or the decoded bytes as hex.
std::string decoded(int base, const std::u32string& text, int unit = 1) {
    Cell s = text_of(text, unit), out;
    binary::debase(&s, base, &out);
    if (out.is(TYPE_NONE)) return "none";
    EXPECT_TRUE(out.is(TYPE_BINARY));
    std::string hex;
    for (uint8_t b : binary::bytes_of(&out)) {
        static const char* d = "0123456789ABCDEF";
        hex += d[b >> 4];
        hex += d[b & 15];
    }
    return hex;
}

Bytes bytes_of_hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TEST(BaseEncode, KnownTexts) {
    struct Case {
        int base;
        Bytes in;
        const char* text;
    } cases[] = {
        {64, {0x4D, 0x61, 0x6E}, "TWFu"},
        {64, {0x4D}, "TQ=="},
        {64, {0x4D, 0x61}, "TWE="},
        {64, {}, ""},
        {64, {0xFB, 0xFF, 0xBF}, "+/+/"},
        {64, Bytes(40, 0), "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=="},  // no line breaks
        {16, {0x0A, 0x1B, 0xFF}, "0A1BFF"},
        {16, {}, ""},
        {2, {0x41, 0x80}, "0100000110000000"},
        {58, {0x00, 0x00, 0x01}, "112"},
        {58, {}, ""},
        {58, {0x00}, "1"},
        {58, {0x39}, "z"},  // 57
        {58, {0x3A}, "21"},  // 58
        {58, {0x61}, "2g"},
        {58, {0x73, 0x69, 0x6D, 0x70, 0x6C, 0x79, 0x20, 0x61, 0x20, 0x6C, 0x6F, 0x6E, 0x67, 0x20, 0x73, 0x74, 0x72, 0x69,
              0x6E, 0x67},
         "2cFupjhnEsSn59qHXstmK2ffpLv2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(encoded(c.base, c.in), c.text) << "base " << c.base;
    }
}

TEST(BaseEncode, TextValuesGiveTheirUtf8AndBadArguments) {
    Cell s = testing_strings::text("Man"), out;
    binary::enbase(&s, 64, &out);
    EXPECT_EQ(utf8(out), "TWFu");
    Cell e = text_of(U"\u00e9", 2);
    binary::enbase(&e, 16, &out);
    EXPECT_EQ(utf8(out), "C3A9");
    Cell from_head = testing_strings::at_head(testing_strings::text("xM"), 1);
    binary::enbase(&from_head, 64, &out);
    EXPECT_EQ(utf8(out), "TQ==");
    Cell b = binary::of_bytes({1});
    EXPECT_EQ(raised([&] { binary::enbase(&b, 10, &out); }), "script/invalid-arg");
    EXPECT_EQ(int32_t(last_raised().args[0].data2), 10) << "the error names the base";
    Cell i = integer(5);
    EXPECT_EQ(raised([&] { binary::enbase(&i, 64, &out); }), "script/invalid-arg");
    Cell s2 = testing_strings::text("TWFu");
    EXPECT_EQ(raised([&] { binary::debase(&s2, 32, &out); }), "script/invalid-arg");
}

TEST(BaseDecode, Base64) {
    struct Case {
        std::u32string text;
        const char* result;
    } cases[] = {
        {U"TWFu", "4D616E"},
        {U"TW\nF u\t", "4D616E"},
        {U"TW'Fu", "4D616E"},  // apostrophes are skipped too
        {U"TQ==", "4D"},
        {U"TWE=", "4D61"},
        {U"TWE=garbage after the end", "4D61"},  // "=" ends the data
        {U"TQ", ""},  // pending characters dropped
        {U"TWFuTQ", "4D616E"},
        {U"", ""},
        {U"T===", "none"},  // "=" after one character
        {U"=", "none"},
        {U"TWFu!", "none"},
        {U"TW\u00e9Fu", "none"},
        {U"TW\u0141Fu", "none"},  // no alias through the low bits
        {U"TWFu ; a comment\nTQ==", "4D616E4D"},
        {U"TWFu ; a comment that runs to the end", "4D616E"},
    };
    for (const Case& c : cases) {
        for (int unit : {1, 2, 4}) {
            if (unit == 1 && std::any_of(c.text.begin(), c.text.end(), [](char32_t ch) { return ch > 0xFF; }))
                continue;
            SCOPED_TRACE(c.result);
            EXPECT_EQ(decoded(64, c.text, unit), c.result) << "unit " << unit;
        }
    }
}

TEST(BaseDecode, Base16And2) {
    struct Case {
        int base;
        std::u32string text;
        const char* result;
    } cases[] = {
        {16, U"0a1B", "0A1B"},
        {16, U"0A 1b", "0A1B"},
        {16, U"0A1", "0A"},  // the odd digit is dropped
        {16, U"", ""},
        {16, U"0G", "none"},
        {16, U"41 ; comment\n42", "4142"},
        {16, U"\u0130\u0130", "none"},  // would read as "00" through its low 7 bits
        {16, U"\u00c1\u00c1", "none"},
        {16, U"4\t1\r\n", "41"},
        {2, U"01000001", "41"},
        {2, U"0100 0001 ; c\n 1111 1111", "41FF"},
        {2, U"0100000", "none"},
        {2, U"01000002", "none"},
        {2, U"", ""},
    };
    for (const Case& c : cases) {
        for (int unit : {1, 2, 4}) {
            if (unit == 1 && std::any_of(c.text.begin(), c.text.end(), [](char32_t ch) { return ch > 0xFF; }))
                continue;
            SCOPED_TRACE(c.result);
            EXPECT_EQ(decoded(c.base, c.text, unit), c.result) << "base " << c.base << " unit " << unit;
        }
    }
}

TEST(BaseDecode, Base58) {
    struct Case {
        std::u32string text;
        const char* result;
    } cases[] = {
        {U"112", "000001"},
        {U"1", "00"},
        {U"", ""},
        {U"z", "39"},
        {U"21", "3A"},
        {U"2c Fupj\nhnEsSn59qHXstmK2ffpLv2", "73696D706C792061206C6F6E6720737472696E67"},
        {U"10", "none"},  // 0 is not in the alphabet
        {U"1O", "none"},
        {U"1I", "none"},
        {U"1l", "none"},
        {U"21\u00e9zzz", "3A"},  // a code point above 127 ends the text
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        EXPECT_EQ(decoded(58, c.text, 2), c.result);
    }
}

TEST(BaseCodecs, RoundTripsInEveryBase) {
    std::mt19937 gen(7);
    for (int base : {2, 16, 58, 64}) {
        for (size_t n : {0, 1, 2, 3, 4, 5, 31, 32, 33, 100}) {
            Bytes in(n);
            for (uint8_t& b : in) b = uint8_t(gen());
            if (n > 2) in[0] = in[1] = 0;  // leading zeros matter to base 58
            std::string text = encoded(base, in);
            std::u32string wide(text.begin(), text.end());
            std::string hex = decoded(base, wide);
            EXPECT_EQ(bytes_of_hex(hex), in) << "base " << base << " n " << n;
        }
    }
}

TEST(BaseCodecs, EncodersAnswerTheEndOfOutput) {
    const uint8_t in[] = {0x4D, 0x61};
    uint8_t out[16] = {};
    EXPECT_EQ(binary::encode_64(out, in, 2) - out, 4);
    EXPECT_EQ(binary::encode_16(out, in, 2) - out, 4);
    EXPECT_EQ(binary::encode_2(out, in, 2) - out, 16);
    EXPECT_EQ(binary::encode_58(out, in, 2) - out, 3);  // 0x4D61 = 19809 = 5 x 58^2 + 51 x 58 + 31
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "6tY");
}
