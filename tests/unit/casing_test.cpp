// Case mapping of code points in every plane, and case changes of char! and
// text values in place (with /part and widening).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/string.hpp"
#include "foundation/casing.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"

using namespace kro;

namespace {

using Cps = std::vector<uint32_t>;

Cell text_of(const Cps& cps, int unit, Type type = TYPE_STRING) {
    Cell c;
    string::make_at(&c, uint32_t(cps.size()) + 1, unit);
    c.set_type(type);
    memory::Buffer* b = memory::buffer_of(c.data2);
    for (uint32_t cp : cps) {
        string::put_char(b->tail_ptr(), unit, cp);
        b->tail += uint32_t(unit);
    }
    return c;
}

Cps chars_of(const Cell& c) {
    memory::Buffer* b = memory::buffer_of(c.data2);
    Cps out;
    for (uint32_t at = b->offset; at < b->tail; at += uint32_t(b->unit())) out.push_back(string::get_char(b->data() + at, b->unit()));
    return out;
}

Cps ascii(const std::string& s) { return Cps(s.begin(), s.end()); }

Cell integer(int32_t n) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(n), 0}; }

}  // namespace

TEST(Casing, ConvertMapsBothWaysInEveryPlane) {
    struct Case {
        uint32_t cp, upper, lower;
    } cases[] = {
        {'a', 'A', 'a'},         {'Z', 'Z', 'z'},         {'7', '7', '7'},         {'@', '@', '@'},
        {0xE9, 0xC9, 0xE9},      {0xC9, 0xC9, 0xE9},      {0xFF, 0x178, 0xFF},     {0x178, 0x178, 0xFF},
        {0xB5, 0x39C, 0xB5},     {0xDF, 0xDF, 0xDF},      {0xD7, 0xD7, 0xD7},      // sharp s has no simple upper
        {0x131, 'I', 0x131},     {0x130, 0x130, 'i'},     {0x1C5, 0x1C4, 0x1C6},   // title case maps both ways
        {0x3B1, 0x391, 0x3B1},   {0x3A3, 0x3A3, 0x3C3},   {0x3C2, 0x3A3, 0x3C2},   // final sigma
        {0x430, 0x410, 0x430},   {0x42F, 0x42F, 0x44F},   {0x10D0, 0x1C90, 0x10D0},  // Georgian
        {0x1E9E, 0x1E9E, 0xDF},  {0x4E00, 0x4E00, 0x4E00}, {0xFF41, 0xFF21, 0xFF41}, {0xFF21, 0xFF21, 0xFF41},
        {0xFFFF, 0xFFFF, 0xFFFF}, {0x10000, 0x10000, 0x10000},
        {0x10428, 0x10400, 0x10428}, {0x10400, 0x10400, 0x10428}, {0x1E922, 0x1E900, 0x1E922},
        {0x1E921, 0x1E921, 0x1E943}, {0x1E943, 0x1E921, 0x1E943}, {0x1E944, 0x1E944, 0x1E944},
        {0x1F600, 0x1F600, 0x1F600}, {0x10FFFF, 0x10FFFF, 0x10FFFF}, {0x110000, 0x110000, 0x110000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(casing::convert(c.cp, true), c.upper) << std::hex << c.cp;
        EXPECT_EQ(casing::convert(c.cp, false), c.lower) << std::hex << c.cp;
        EXPECT_EQ(casing::to_upper_fast(c.cp), c.upper) << std::hex << c.cp;
    }
}

TEST(Casing, EveryAsciiLetterAndOnlyLettersChange) {
    for (uint32_t c = 0; c < 0x80; c++) {
        bool lower = c >= 'a' && c <= 'z', upper = c >= 'A' && c <= 'Z';
        EXPECT_EQ(casing::convert(c, true), lower ? c - 32 : c) << c;
        EXPECT_EQ(casing::convert(c, false), upper ? c + 32 : c) << c;
    }
}

TEST(Casing, SwapPrefersTheUpperCase) {
    EXPECT_EQ(casing::swap('a'), uint32_t('A'));
    EXPECT_EQ(casing::swap('A'), uint32_t('a'));
    EXPECT_EQ(casing::swap(0x1C5), 0x1C4u);
    EXPECT_EQ(casing::swap(0x10400), 0x10428u);
    EXPECT_EQ(casing::swap('5'), uint32_t('5'));
}

TEST(ChangeCase, CharValue) {
    Cell c{uint32_t(TYPE_CHAR), 0, 'a', 0};
    casing::change_case(&c, nullptr, true);
    EXPECT_EQ(c.data2, uint32_t('A'));
    casing::change_case(&c, nullptr, false);
    EXPECT_EQ(c.data2, uint32_t('a'));
    c.data2 = 0x1E922;
    casing::change_case(&c, nullptr, true);
    EXPECT_EQ(c.data2, 0x1E900u);
}

TEST(ChangeCase, WholeStringsOfEachUnit) {
    struct Case {
        Cps in;
        int unit;
        bool upper;
        Cps out;
        int out_unit;
    } cases[] = {
        {ascii("Hello, World 42"), 1, true, ascii("HELLO, WORLD 42"), 1},
        {ascii("Hello, World 42"), 1, false, ascii("hello, world 42"), 1},
        {{'a', 0xFF}, 1, true, {'A', 0x178}, 2},  // widens for U+0178
        {{0xB5, 'x'}, 1, true, {0x39C, 'X'}, 2},
        {{'s', 't', 'r', 'a', 0xDF, 'e'}, 1, true, {'S', 'T', 'R', 'A', 0xDF, 'E'}, 1},
        {{0xC0, 0xDE}, 1, false, {0xE0, 0xFE}, 1},
        {{0x3B1, 0x3B2, 0x4E00}, 2, true, {0x391, 0x392, 0x4E00}, 2},
        {{0x410, 0x130}, 2, false, {0x430, 'i'}, 2},
        {{0x10428, 'q', 0x1E922}, 4, true, {0x10400, 'Q', 0x1E900}, 4},
        {{}, 1, true, {}, 1},
    };
    for (const Case& c : cases) {
        Cell s = text_of(c.in, c.unit);
        casing::change_case(&s, nullptr, c.upper);
        EXPECT_EQ(chars_of(s), c.out);
        EXPECT_EQ(memory::unit_of(s.data2), c.out_unit);
    }
}

TEST(ChangeCase, OtherTextTypesAndTheHead) {
    Cell f = text_of(ascii("abc"), 1, TYPE_FILE);
    f.data1 = 1;
    casing::change_case(&f, nullptr, true);
    EXPECT_EQ(chars_of(f), ascii("aBC"));

    Cell s = text_of(ascii("abc"), 1);
    s.data1 = 7;  // a head past the tail is moved to the tail; nothing changes
    casing::change_case(&s, nullptr, true);
    EXPECT_EQ(s.data1, 3u);
    EXPECT_EQ(chars_of(s), ascii("abc"));
}

TEST(ChangeCase, PartLimitsTheRange) {
    struct Case {
        int32_t count;
        std::string out;
    } cases[] = {{2, "ABcd"}, {0, "abcd"}, {-3, "abcd"}, {4, "ABCD"}, {99, "ABCD"}};
    for (const Case& c : cases) {
        Cell s = text_of(ascii("abcd"), 1);
        Cell part = integer(c.count);
        casing::change_case(&s, &part, true);
        EXPECT_EQ(chars_of(s), ascii(c.out)) << c.count;
    }

    // A position in the same string ends the range; one before the head is empty.
    Cell s = text_of(ascii("abcdef"), 1);
    s.data1 = 1;
    Cell end = s;
    end.data1 = 4;
    casing::change_case(&s, &end, true);
    EXPECT_EQ(chars_of(s), ascii("aBCDef"));
    end.data1 = 0;
    casing::change_case(&s, &end, false);
    EXPECT_EQ(chars_of(s), ascii("aBCDef"));

    Cell none{uint32_t(TYPE_NONE), 0, 0, 0};
    casing::change_case(&s, &none, false);
    EXPECT_EQ(chars_of(s), ascii("abcdef"));
}

TEST(ChangeCase, PartOnAnotherSeriesIsRefused) {
    Cell s = text_of(ascii("abc"), 1);
    Cell other = text_of(ascii("abc"), 1);
    Cell same_buffer_other_type = s;
    same_buffer_other_type.set_type(TYPE_FILE);
    for (const Cell* part : {&other, &same_buffer_other_type}) {
        EXPECT_THROW(casing::change_case(&s, part, true), Thrown);
        EXPECT_EQ(last_raised().category + "/" + last_raised().id, "script/invalid-refine-arg");
        ASSERT_EQ(last_raised().nargs, 2);
        EXPECT_EQ(last_raised().args[0].type(), TYPE_WORD);  // the word `part`
        EXPECT_EQ(last_raised().args[1].data2, part->data2);
    }
    EXPECT_EQ(chars_of(s), ascii("abc"));

    Cell block{uint32_t(TYPE_BLOCK), 0, s.data2, 0};
    EXPECT_THROW(casing::change_case(&block, nullptr, true), Thrown);
    EXPECT_EQ(last_raised().category + "/" + last_raised().id, "script/invalid-arg");
}
