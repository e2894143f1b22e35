// UTF-8 and UTF-16 conversion: decoding (stored text and outside input), encoding, loading
// text into strings of the narrowest unit, widening, and the forms handed to
// the operating system.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "datatypes/string.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"
#include "foundation/unicode.hpp"

using namespace kro;

namespace {

using Bytes = std::vector<uint8_t>;
using Cps = std::vector<uint32_t>;

std::string error_name() { return last_raised().category + "/" + last_raised().id; }

// The bytes of the binary argument of the last raised error.
Bytes error_bytes() {
    const Cell& c = last_raised().args[0];
    memory::Buffer* b = memory::buffer_of(c.data2);
    return Bytes(b->head_ptr(), b->tail_ptr());
}

Cps chars_of(uint32_t node) {
    memory::Buffer* b = memory::buffer_of(node);
    Cps out;
    for (uint32_t at = b->offset; at < b->tail; at += uint32_t(b->unit())) out.push_back(string::get_char(b->data() + at, b->unit()));
    return out;
}

// A string value holding the code points in the given unit.
Cell make_string(const Cps& cps, int unit) {
    Cell c;
    string::make_at(&c, uint32_t(cps.size()) + 1, unit);
    memory::Buffer* b = memory::buffer_of(c.data2);
    for (uint32_t cp : cps) {
        string::put_char(b->tail_ptr(), unit, cp);
        b->tail += uint32_t(unit);
    }
    return c;
}

Bytes utf8(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace

// ---- validating decoder -----------------------------------------------------------

TEST(Utf8Decode, ValidatingDecoderAcceptsWhatStoredTextNeeds) {
    struct Case {
        Bytes in;
        int32_t cp;
        uint32_t length;
    } cases[] = {
        {{0x41}, 0x41, 1},
        {{0x00}, 0, 1},
        {{0xC3, 0xA9}, 0xE9, 2},
        {{0xDF, 0xBF}, 0x7FF, 2},
        {{0xC0, 0x80}, 0, 2},     // overlong NUL, kept
        {{0xC1, 0xBF}, 0x7F, 2},  // overlong, kept
        {{0xE0, 0xA0, 0x80}, 0x800, 3},
        {{0xE2, 0x82, 0xAC}, 0x20AC, 3},
        {{0xED, 0xA0, 0x80}, 0xD800, 3},  // lead surrogates load
        {{0xED, 0xBF, 0xBF}, 0xDFFF, 3},  // trail surrogates above DCFF too
        {{0xEF, 0xBF, 0xBF}, 0xFFFF, 3},
        {{0xF0, 0x9F, 0x98, 0x80, 0x41}, 0x1F600, 4},
        {{0xF4, 0x8F, 0xBF, 0xBF}, 0x10FFFF, 4},
    };
    for (const Case& c : cases) {
        uint32_t n = uint32_t(c.in.size());
        EXPECT_EQ(unicode::decode_utf8_char(c.in.data(), &n), c.cp) << std::hex << c.cp;
        EXPECT_EQ(n, c.length) << std::hex << c.cp;
    }
}

TEST(Utf8Decode, RefusedSequencesRaiseWithTheBytesThatArePresent) {
    struct Case {
        Bytes in;
        Bytes arg;  // at most 4 bytes from the sequence's start, never past the input
    } cases[] = {
        {{0x80}, {0x80}},                                        // stray continuation byte
        {{0xBF, 0x41}, {0xBF, 0x41}},                            //
        {{0xFF}, {0xFF}},                                        // one byte left: one copied
        {{0xF8, 0x88, 0x80, 0x80, 0x80}, {0xF8, 0x88, 0x80, 0x80}},  // five-byte form
        {{0xC3, 0x41}, {0xC3, 0x41}},                            // bad continuation
        {{0xE2, 0x28, 0xA1}, {0xE2, 0x28, 0xA1}},                //
        {{0xF0, 0x9F, 0x98, 0x41}, {0xF0, 0x9F, 0x98, 0x41}},    //
        {{0xED, 0xB0, 0x80}, {0xED, 0xB0, 0x80}},                // U+DC00 refused
        {{0xED, 0xB3, 0xBF, 0x41, 0x42}, {0xED, 0xB3, 0xBF, 0x41}},  // U+DCFF refused
        {{0xF4, 0x90, 0x80, 0x80}, {0xF4, 0x90, 0x80, 0x80}},    // above U+10FFFF
        {{0xF7, 0xBF, 0xBF, 0xBF}, {0xF7, 0xBF, 0xBF, 0xBF}},    //
    };
    for (const Case& c : cases) {
        uint32_t n = uint32_t(c.in.size());
        EXPECT_THROW(unicode::decode_utf8_char(c.in.data(), &n), Thrown) << int(c.in[0]);
        EXPECT_EQ(error_name(), "access/invalid-utf8");
        ASSERT_EQ(last_raised().nargs, 1);
        EXPECT_EQ(last_raised().args[0].type(), TYPE_BINARY);
        EXPECT_EQ(error_bytes(), c.arg) << int(c.in[0]);
    }
}

TEST(Utf8Decode, ShortInputConsumesNothing) {
    for (Bytes in : {Bytes{0xC3}, Bytes{0xE2, 0x82}, Bytes{0xF0, 0x9F, 0x98}, Bytes{0xF0}, Bytes{}}) {
        uint32_t n = uint32_t(in.size());
        uint8_t dummy = 0;
        EXPECT_EQ(unicode::decode_utf8_char(in.empty() ? &dummy : in.data(), &n), -1);
        EXPECT_EQ(n, in.size());
    }
}

// ---- fast decoder -----------------------------------------------------------------

TEST(Utf8Decode, FastDecoderRoundTripsEveryScalarValue) {
    uint8_t buf[8];
    for (uint32_t cp = 0; cp <= 0x10FFFF; cp++) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::memset(buf, 0, sizeof buf);
        int n = unicode::cp_to_utf8(cp, buf);
        ASSERT_EQ(n, unicode::cp_utf8_size(cp));
        int32_t got = -2;
        const uint8_t* end = unicode::fast_decode_utf8_char(buf, &got);
        ASSERT_EQ(got, int32_t(cp));
        ASSERT_EQ(end, buf + n);
        uint32_t left = uint32_t(n);
        ASSERT_EQ(unicode::decode_utf8_char(buf, &left), int32_t(cp));
        ASSERT_EQ(left, uint32_t(n));
    }
}

TEST(Utf8Decode, FastDecoderRejectsWhatTheAutomatonRefuses) {
    struct Case {
        Bytes in;
        int consumed;  // bytes taken up to and including the rejecting one
    } cases[] = {
        {{0x80, 0x41}, 1},
        {{0xFF, 0x41}, 1},
        {{0xC0, 0x80}, 1},                    // overlong forms are not trusted text
        {{0xE0, 0x80, 0x80}, 2},              //
        {{0xED, 0xA0, 0x80}, 2},              // surrogates
        {{0xF4, 0x90, 0x80, 0x80}, 2},        // above U+10FFFF
        {{0xC3, 0x41}, 2},                    // continuation missing
        {{0xF0, 0x9F, 0x98, 0x41}, 4},
    };
    for (const Case& c : cases) {
        int32_t cp = 0;
        const uint8_t* end = unicode::fast_decode_utf8_char(c.in.data(), &cp);
        EXPECT_EQ(cp, -1) << int(c.in[0]);
        EXPECT_EQ(end - c.in.data(), c.consumed) << int(c.in[0]);
    }
}

TEST(Utf8Decode, CountingAndSkippingSequences) {
    Bytes s = utf8("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
    const uint8_t* start = s.data();
    const uint8_t* end = start + s.size();
    EXPECT_EQ(unicode::count_utf8_chars(start, end), 5u);
    EXPECT_EQ(unicode::skip_utf8_chars(start, end, 2), start + 3);
    EXPECT_EQ(unicode::skip_utf8_chars(start, end, 4), end - 1);
    EXPECT_EQ(unicode::skip_utf8_chars(start, end, 99), end);
    EXPECT_EQ(unicode::skip_utf8_chars(start, start + 2, 2), start + 2);  // stops at the limit inside a sequence

    struct {
        uint8_t lead;
        int size;
    } sizes[] = {{0x41, 0}, {0x80, 0}, {0xBF, 0}, {0xC3, 2}, {0xDF, 2}, {0xE2, 3}, {0xEF, 3}, {0xF0, 4}, {0xFF, 4}};
    for (auto& c : sizes) EXPECT_EQ(unicode::utf8_char_size(c.lead), c.size) << int(c.lead);
}

// ---- checking decoder of outside input ---------------------------------------------

TEST(Utf8Checked, EachSequenceIsTakenOrRefusedAtTheRightByte) {
    constexpr int32_t REFUSED = unicode::UTF8_REFUSED, CUT = unicode::UTF8_CUT;
    struct Case {
        Bytes in;
        int32_t console, gui;  // the answer with surrogate halves taken, and refused
        size_t used_console, used_gui;
    } cases[] = {
        {{0x41, 0x80}, 0x41, 0x41, 1, 1},
        {{0xC2, 0x80}, 0x80, 0x80, 2, 2},
        {{0xDF, 0xBF}, 0x7FF, 0x7FF, 2, 2},
        {{0xE0, 0xA0, 0x80}, 0x800, 0x800, 3, 3},
        {{0xED, 0x9F, 0xBF}, 0xD7FF, 0xD7FF, 3, 3},
        {{0xED, 0xA0, 0x80}, 0xD800, REFUSED, 3, 1},  // the one difference: a surrogate half
        {{0xED, 0xBF, 0xBF}, 0xDFFF, REFUSED, 3, 1},
        {{0xEE, 0x80, 0x80}, 0xE000, 0xE000, 3, 3},
        {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600, 0x1F600, 4, 4},
        {{0xF4, 0x8F, 0xBF, 0xBF}, 0x10FFFF, 0x10FFFF, 4, 4},
        // bytes that start nothing: taken one at a time
        {{0x80}, REFUSED, REFUSED, 1, 1},
        {{0xC0, 0x80}, REFUSED, REFUSED, 1, 1},
        {{0xC1, 0xBF}, REFUSED, REFUSED, 1, 1},
        {{0xF5, 0x80, 0x80, 0x80}, REFUSED, REFUSED, 1, 1},
        {{0xFF}, REFUSED, REFUSED, 1, 1},
        // overlong forms and values past U+10FFFF show at the second byte
        {{0xE0, 0x9F, 0xBF}, REFUSED, REFUSED, 1, 1},
        {{0xF0, 0x8F, 0xBF, 0xBF}, REFUSED, REFUSED, 1, 1},
        {{0xF4, 0x90, 0x80, 0x80}, REFUSED, REFUSED, 1, 1},
        // a byte that continues nothing is not taken: it starts what follows
        {{0xE2, 0x41}, REFUSED, REFUSED, 1, 1},
        {{0xE2, 0x82, 0x41}, REFUSED, REFUSED, 2, 2},
        {{0xF0, 0x9F, 0x98, 0xF0}, REFUSED, REFUSED, 3, 3},
        // the bytes end inside a sequence: all of them are its start
        {{0xE2}, CUT, CUT, 1, 1},
        {{0xE2, 0x82}, CUT, CUT, 2, 2},
        {{0xF0, 0x9F, 0x98}, CUT, CUT, 3, 3},
        {{0xED, 0xA0}, CUT, REFUSED, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.in));
        size_t used = 99;
        EXPECT_EQ(unicode::decode_utf8_checked(c.in.data(), c.in.size(), &used, true), c.console);
        EXPECT_EQ(used, c.used_console);
        used = 99;
        EXPECT_EQ(unicode::decode_utf8_checked(c.in.data(), c.in.size(), &used, false), c.gui);
        EXPECT_EQ(used, c.used_gui);
    }
}

TEST(Utf8Checked, TextDecodesWithOneReplacementForEachBadSequence) {
    std::string text = "a\xE2\x82" "A\xFF\xED\xA0\x80\xC3\xA9\xF0\x9F";
    EXPECT_EQ(unicode::decode_utf8_text(text, true), (std::u32string{'a', 0xFFFD, 'A', 0xFFFD, 0xD800, 0xE9, 0xFFFD}));
    EXPECT_EQ(unicode::decode_utf8_text(text, false),
              (std::u32string{'a', 0xFFFD, 'A', 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xE9, 0xFFFD}));
    EXPECT_EQ(unicode::decode_utf8_text("", false), U"");
}

TEST(Utf8Checked, EncodingNeverRaisesAndReplacesWhatIsNoCharacter) {
    std::u32string text = {'A', 0xE9, 0xD800, 0xDFFF, 0x10FFFF, 0x110000, 0xFFFFFFFF};
    EXPECT_EQ(unicode::encode_utf8_text(text, true),
              "A\xC3\xA9\xED\xA0\x80\xED\xBF\xBF\xF4\x8F\xBF\xBF\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(unicode::encode_utf8_text(text, false),
              "A\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD\xF4\x8F\xBF\xBF\xEF\xBF\xBD\xEF\xBF\xBD");
    // what the console takes in, it writes back unchanged
    std::string halves = "x\xED\xA0\x80\xED\xB0\x80y";
    EXPECT_EQ(unicode::encode_utf8_text(unicode::decode_utf8_text(halves, true), true), halves);
}

// ---- encoding -----------------------------------------------------------------------

TEST(Utf8Encode, BoundariesOfEachLength) {
    struct Case {
        uint32_t cp;
        Bytes out;
    } cases[] = {
        {0, {0x00}},
        {0x7F, {0x7F}},
        {0x80, {0xC2, 0x80}},
        {0x7FF, {0xDF, 0xBF}},
        {0x800, {0xE0, 0xA0, 0x80}},
        {0xFFFF, {0xEF, 0xBF, 0xBF}},
        {0x10000, {0xF0, 0x90, 0x80, 0x80}},
        {0x10FFFF, {0xF4, 0x8F, 0xBF, 0xBF}},
    };
    for (const Case& c : cases) {
        uint8_t buf[4] = {};
        int n = unicode::cp_to_utf8(c.cp, buf);
        EXPECT_EQ(Bytes(buf, buf + n), c.out) << std::hex << c.cp;
        EXPECT_EQ(unicode::cp_utf8_size(c.cp), n);
    }
}

TEST(Utf8Encode, LimitedFormCutsWhatDoesNotFit) {
    struct Case {
        uint32_t room;
        Bytes out;
    } cases[] = {{0, {}}, {1, {0xE2}}, {2, {0xE2, 0x82}}, {3, {0xE2, 0x82, 0xAC}}, {10, {0xE2, 0x82, 0xAC}}};
    for (const Case& c : cases) {
        uint8_t buf[4] = {0x55, 0x55, 0x55, 0x55};
        int n = unicode::cp_to_utf8_limited(0x20AC, buf, c.room);
        EXPECT_EQ(Bytes(buf, buf + n), c.out);
        EXPECT_EQ(buf[n], 0x55);  // nothing written past the room
    }
}

TEST(Utf8Encode, CodePointsAboveTheRangeRaiseInvalidChar) {
    uint8_t buf[8];
    Cell big = make_string({0x41, 0x110000}, 4);
    memory::Buffer* b = memory::buffer_of(big.data2);
    const std::function<void()> calls[] = {
        [&] { unicode::cp_to_utf8(0x110000, buf); },
        [&] { unicode::cp_utf8_size(0x110000); },
        [&] { unicode::cp_to_utf8_limited(0x110000, buf, 8); },
        [&] { unicode::utf8_size(b->head_ptr(), b->tail_ptr(), 4); },
        [&] { string::to_utf8(&big, nullptr); },
    };
    for (const auto& call : calls) {
        EXPECT_THROW(call(), Thrown);
        EXPECT_EQ(error_name(), "script/invalid-char");
        ASSERT_EQ(last_raised().nargs, 1);
        EXPECT_EQ(last_raised().args[0].type(), TYPE_INTEGER);
        EXPECT_EQ(last_raised().args[0].data2, 0x110000u);
    }
}

TEST(Utf8Encode, SizeOfTextInEachUnit) {
    Cps text = {0x41, 0xE9, 0x20AC, 0x1F600};
    Cell s4 = make_string(text, 4);
    memory::Buffer* b = memory::buffer_of(s4.data2);
    EXPECT_EQ(unicode::utf8_size(b->head_ptr(), b->tail_ptr(), 4), 1u + 2 + 3 + 4);
    Cell s2 = make_string({0x41, 0xE9, 0x20AC}, 2);
    b = memory::buffer_of(s2.data2);
    EXPECT_EQ(unicode::utf8_size(b->head_ptr(), b->tail_ptr(), 2), 6u);
    Cell s1 = make_string({0x41, 0xE9}, 1);
    b = memory::buffer_of(s1.data2);
    EXPECT_EQ(unicode::utf8_size(b->head_ptr(), b->tail_ptr(), 1), 3u);
}

// ---- loading UTF-8 ------------------------------------------------------------------

TEST(LoadUtf8, PicksTheNarrowestUnitAndHandlesMarksAndLineEnds) {
    struct Case {
        const char* what;
        Bytes in;
        bool cr;
        int unit;
        Cps out;
        uint32_t remaining;
    } cases[] = {
        {"BOM alone", {0xEF, 0xBB, 0xBF}, false, 1, {}, 0},
        {"BOM then text", {0xEF, 0xBB, 0xBF, 0x41}, false, 1, {0x41}, 0},
        {"two bytes of a BOM are a cut sequence", {0xEF, 0xBB}, false, 1, {}, 2},
        {"empty", {}, false, 1, {}, 0},
        {"latin-1 stays 1 byte", {0xC3, 0xA9}, false, 1, {0xE9}, 0},
        {"euro widens to 2", {0xC3, 0xA9, 0xE2, 0x82, 0xAC}, false, 2, {0xE9, 0x20AC}, 0},
        {"emoji widens 2 to 4", {0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}, false, 4, {0xE9, 0x20AC, 0x1F600}, 0},
        {"emoji widens 1 to 4", {0x41, 0xF0, 0x9F, 0x98, 0x80, 0x42}, false, 4, {0x41, 0x1F600, 0x42}, 0},
        {"CR LF with the flag", utf8("a\r\nb"), true, 1, {'a', '\n', 'b'}, 0},
        {"lone CR with the flag", utf8("a\rb\r"), true, 1, {'a', '\n', 'b', '\n'}, 0},
        {"CR CR LF with the flag", utf8("\r\r\n"), true, 1, {'\n', '\n'}, 0},
        {"CR LF without the flag", utf8("a\r\nb\r"), false, 1, {'a', '\r', '\n', 'b', '\r'}, 0},
        {"overlong NUL", {0xC0, 0x80}, false, 1, {0}, 0},
        {"lead surrogate loads", {0xED, 0xA0, 0x80}, false, 2, {0xD800}, 0},
        {"cut euro", {0x41, 0xE2, 0x82}, false, 1, {0x41}, 2},
        {"cut emoji", {0x41, 0xF0, 0x9F, 0x98}, false, 1, {0x41}, 3},
    };
    for (const Case& c : cases) {
        uint32_t remaining = 99;
        uint32_t node = unicode::load_utf8(c.in.data(), uint32_t(c.in.size()), 0, &remaining, c.cr);
        EXPECT_EQ(memory::unit_of(node), c.unit) << c.what;
        EXPECT_EQ(chars_of(node), c.out) << c.what;
        EXPECT_EQ(remaining, c.remaining) << c.what;
    }
}

TEST(LoadUtf8, InvalidInputRaises) {
    Bytes in = {0x41, 0xED, 0xB0, 0x80};
    EXPECT_THROW(unicode::load_utf8_plain(in.data(), uint32_t(in.size())), Thrown);
    EXPECT_EQ(error_name(), "access/invalid-utf8");
    EXPECT_EQ(error_bytes(), (Bytes{0xED, 0xB0, 0x80}));
}

TEST(LoadUtf8, LongTextWidensAfterGrowingWithEveryCharacterKept) {
    // Many Latin-1 characters, then wider ones near the end: the buffer widens
    // twice once it is already large.
    std::string text;
    Cps expect;
    for (int i = 0; i < 3000; i++) {
        text += (i % 3) ? "\xC3\xA9" : "x";
        expect.push_back((i % 3) ? 0xE9 : 'x');
    }
    text += "\xE2\x82\xAC";
    expect.push_back(0x20AC);
    for (int i = 0; i < 500; i++) {
        text += "\xF0\x9F\x98\x80";
        expect.push_back(0x1F600);
    }
    Bytes in = utf8(text);
    uint32_t node = unicode::load_utf8_plain(in.data(), uint32_t(in.size()));
    EXPECT_EQ(memory::unit_of(node), 4);
    EXPECT_EQ(chars_of(node), expect);
    memory::Buffer* b = memory::buffer_of(node);
    EXPECT_EQ(b->node, node);
    EXPECT_LE(b->tail, b->size);
}

TEST(LoadUtf8, IntoAnExistingBufferKeepsItsUnitAndReplacesItsText) {
    Cell s = make_string({0x20AC, 0x20AC, 0x20AC, 0x20AC, 0x20AC}, 2);
    Bytes in = utf8("abc");
    uint32_t remaining = 7;
    EXPECT_EQ(unicode::load_utf8_buffer(in.data(), uint32_t(in.size()), &s, &remaining), s.data2);
    EXPECT_EQ(memory::unit_of(s.data2), 2);
    EXPECT_EQ(chars_of(s.data2), (Cps{'a', 'b', 'c'}));
    EXPECT_EQ(remaining, 0u);

    // A buffer too small for the text grows; a wider character still widens it.
    Cell small;
    string::make_at(&small, 1, 1);
    std::string long_text(200, 'q');
    long_text += "\xF0\x9F\x98\x80";
    in = utf8(long_text);
    unicode::load_utf8_buffer(in.data(), uint32_t(in.size()), &small, nullptr);
    Cps expect(200, 'q');
    expect.push_back(0x1F600);
    EXPECT_EQ(memory::unit_of(small.data2), 4);
    EXPECT_EQ(chars_of(small.data2), expect);
}

// ---- widening -------------------------------------------------------------------------

TEST(Widen, EachPairingKeepsTheTextAndLeavesRoomForOneMoreUnit) {
    struct Case {
        int from, to;
        Cps text;
    } cases[] = {
        {1, 2, {'a', 0xE9, 0xFF, 0}},
        {1, 4, {'a', 0xE9, 0xFF}},
        {2, 4, {'a', 0x20AC, 0xFFFF}},
        {1, 2, {}},
    };
    for (const Case& c : cases) {
        Cell s = make_string(c.text, c.from);
        memory::Buffer* b = string::widen(memory::buffer_of(s.data2), c.from, c.to);
        EXPECT_EQ(b, memory::buffer_of(s.data2));
        EXPECT_EQ(b->unit(), c.to);
        EXPECT_EQ(chars_of(s.data2), c.text);
        EXPECT_GE(b->size - b->tail, uint32_t(c.to));
    }
}

TEST(Widen, BufferWhoseTextStartsInsideTheDataArea) {
    uint32_t node = memory::new_series(64, 1, -1);  // first unit in the middle
    memory::Buffer* b = memory::buffer_of(node);
    ASSERT_GT(b->offset, 0u);
    const char* text = "offset text";
    std::memcpy(b->head_ptr(), text, std::strlen(text));
    b->tail = b->offset + uint32_t(std::strlen(text));
    b = string::widen_1_to_4(b);
    Cps expect(text, text + std::strlen(text));
    EXPECT_EQ(chars_of(node), expect);
    EXPECT_EQ(b->unit(), 4);
}

// ---- UTF-16 -------------------------------------------------------------------------

namespace {
Bytes le16(const std::vector<uint16_t>& units) {
    Bytes out;
    for (uint16_t u : units) {
        out.push_back(uint8_t(u));
        out.push_back(uint8_t(u >> 8));
    }
    return out;
}
}  // namespace

TEST(Utf16, LoadingPicksTheUnitAndDropsCarriageReturnsOnRequest) {
    struct Case {
        std::vector<uint16_t> in;
        bool cr;
        int unit;
        Cps out;
    } cases[] = {
        {{'A', 'B'}, false, 1, {'A', 'B'}},
        {{'A', 0xE9, '\r', '\n'}, true, 1, {'A', 0xE9, '\n'}},
        {{'A', 0x20AC}, false, 2, {'A', 0x20AC}},
        {{'\r', 0x20AC, '\r'}, true, 2, {0x20AC}},
        {{'A', 0xD83D, 0xDE00, 'B'}, false, 4, {'A', 0x1F600, 'B'}},
        {{0xD800, 0xDC00, 0xDBFF, 0xDFFF}, false, 4, {0x10000, 0x10FFFF}},
        {{0xDC00, 'x', '\r'}, true, 4, {0xDC00, 'x'}},  // a lone trail surrogate is stored
        {{}, false, 1, {}},
    };
    for (const Case& c : cases) {
        Bytes in = le16(c.in);
        EXPECT_EQ(unicode::utf16_unit_width(in.data(), uint32_t(c.in.size())), c.unit);
        uint32_t node = unicode::load_utf16(in.data(), uint32_t(c.in.size()), nullptr, c.cr);
        EXPECT_EQ(memory::unit_of(node), c.unit);
        EXPECT_EQ(chars_of(node), c.out);
    }
}

TEST(Utf16, BadSurrogateRaisesInsteadOfEndingTheProcess) {
    for (std::vector<uint16_t> in : {std::vector<uint16_t>{'a', 0xD83D}, {0xD83D, 'a'}, {0xDBFF, 0xD800, 0xDC00}}) {
        Bytes bytes = le16(in);
        EXPECT_THROW(unicode::load_utf16(bytes.data(), uint32_t(in.size()), nullptr, false), Thrown);
        EXPECT_EQ(error_name(), "script/invalid-char");
        EXPECT_EQ(last_raised().args[0].type(), TYPE_INTEGER);
        EXPECT_EQ(last_raised().args[0].data2, in[0] == 'a' ? 0xD83Du : uint32_t(in[0]));
    }
}

TEST(Utf16, LoadsIntoAStringAndFromItsConversionBuffer) {
    Cell s = make_string({'o', 'l', 'd', ' ', 't', 'e', 'x', 't'}, 1);
    Bytes in = le16({0x20AC, 'z'});
    EXPECT_EQ(unicode::load_utf16(in.data(), 2, &s, false), s.data2);
    EXPECT_EQ(memory::unit_of(s.data2), 2);
    EXPECT_EQ(chars_of(s.data2), (Cps{0x20AC, 'z'}));

    // The UTF-16 form of a string, read back from its own conversion buffer.
    Cell t = make_string({'a', 0x1F600, '\n'}, 4);
    int32_t units = -1;
    ASSERT_NE(string::to_utf16(&t, &units, false), nullptr);
    EXPECT_EQ(units, 4);
    uint32_t node = unicode::load_utf16(nullptr, uint32_t(units), &t, false);
    EXPECT_EQ(node, t.data2);
    EXPECT_EQ(chars_of(node), (Cps{'a', 0x1F600, '\n'}));
}

TEST(Utf16, OsFormWritesPairsCrLfAndANul) {
    struct Case {
        Cps text;
        int unit;
        bool crlf;
        std::vector<uint16_t> out;  // without the NUL
    } cases[] = {
        {{0x10000}, 4, false, {0xD800, 0xDC00}},
        {{'a', 0x10FFFF}, 4, false, {'a', 0xDBFF, 0xDFFF}},
        {{'a', '\n', 'b'}, 1, true, {'a', '\r', '\n', 'b'}},
        {{'a', '\n', 'b'}, 1, false, {'a', '\n', 'b'}},
        {{0x20AC, '\n'}, 2, true, {0x20AC, '\r', '\n'}},
        {{'\n', 0x1F600, '\n'}, 4, true, {'\r', '\n', 0xD83D, 0xDE00, '\r', '\n'}},
        {{}, 1, true, {}},
    };
    for (const Case& c : cases) {
        Cell s = make_string(c.text, c.unit);
        int32_t part = -1;
        const uint16_t* out = string::to_utf16(&s, &part, c.crlf);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(part, int32_t(c.out.size()));
        EXPECT_EQ(std::vector<uint16_t>(out, out + c.out.size()), c.out);
        EXPECT_EQ(out[c.out.size()], 0);
    }
    Cell big = make_string({'a', 0x110000}, 4);
    EXPECT_EQ(string::to_utf16(&big, nullptr, false), nullptr);
}

TEST(Utf16, ExtraBytesCountLineEndsAndPairs) {
    struct Case {
        Cps text;
        int unit;
        uint32_t extra;
    } cases[] = {
        {{'a', 'b'}, 1, 0},
        {{'\n', 'a', '\n'}, 1, 4},
        {{0x20AC, '\n'}, 2, 2},
        {{'\n', 0x1F600, 0xFFFF, 0x10000}, 4, 6},
    };
    for (const Case& c : cases) {
        Cell s = make_string(c.text, c.unit);
        memory::Buffer* b = memory::buffer_of(s.data2);
        EXPECT_EQ(unicode::utf16_extra_bytes(b->head_ptr(), b->tail_ptr(), c.unit), c.extra);
    }
}

TEST(Utf16, SingleCodePointsAndAsciiText) {
    uint16_t buf[4] = {};
    EXPECT_EQ(unicode::cp_to_utf16(0x41, buf), 1);
    EXPECT_EQ(buf[0], 0x41);
    EXPECT_EQ(unicode::cp_to_utf16(0x1F600, buf), 2);
    EXPECT_EQ(buf[0], 0xD83D);
    EXPECT_EQ(buf[1], 0xDE00);
    EXPECT_EQ(unicode::cp_to_utf16(0x110000, buf), 0);
    uint16_t out[4];
    EXPECT_EQ(unicode::ascii_to_utf16("ab\xE9", out), out);
    EXPECT_EQ(std::vector<uint16_t>(out, out + 4), (std::vector<uint16_t>{'a', 'b', 0xE9, 0}));
}

// ---- UTF-8 out of strings ----------------------------------------------------------------

TEST(StringToUtf8, OsFormIsNulTerminatedUtf8WithoutCrLf) {
    Cell s = make_string({0xE9, 0x20AC, '\n'}, 2);
    int32_t part = -1;
    const char* os = string::to_os(&s, &part);
    ASSERT_NE(os, nullptr);
    EXPECT_STREQ(os, "\xC3\xA9\xE2\x82\xAC\n");
    EXPECT_EQ(part, 6);

    part = 1;  // the first character only
    EXPECT_STREQ(string::to_os(&s, &part), "\xC3\xA9");
    EXPECT_EQ(part, 2);

    s.data1 = 1;  // from the head
    EXPECT_STREQ(string::to_os_full(&s), "\xE2\x82\xAC\n");
    s.data1 = 9;  // a head past the tail reads as the tail
    EXPECT_STREQ(string::to_os_full(&s), "");
}

TEST(StringToUtf8, OsFormRefusesWhatACallWouldMisread) {
    Cell nul = make_string({'a', 0, 'b'}, 1);
    EXPECT_EQ(string::to_os_full(&nul), nullptr);
    Cell big = make_string({'a', 0x110000}, 4);
    EXPECT_EQ(string::to_os_full(&big), nullptr);
}

TEST(StringToUtf8, ConversionBufferIsKeptAndGrown) {
    Cell s = make_string({'a', 'b'}, 1);
    EXPECT_EQ(s.data3, 0u);
    EXPECT_STREQ(string::to_utf8(&s, nullptr), "ab");
    uint32_t node = s.data3;
    ASSERT_NE(node, 0u);
    EXPECT_STREQ(string::to_os_full(&s), "ab");
    EXPECT_EQ(s.data3, node);  // reused

    memory::Buffer* b = memory::buffer_of(s.data2);
    b = memory::grow_series(b, 4096);
    for (int i = 0; i < 1000; i++) string::put_char(b->data() + b->tail + i, 1, 'z');
    b->tail += 1000;
    const char* text = string::to_utf8(&s, nullptr);
    EXPECT_EQ(s.data3, node);  // grown behind the same node
    EXPECT_EQ(std::strlen(text), 1002u);
    EXPECT_EQ(text[1001], 'z');
}

TEST(StringToUtf8, EncodeWithCrLfAndPart) {
    Cell s = make_string({'a', '\n', 0x1F600, '\n'}, 4);
    int32_t part = -1;
    uint32_t node = string::encode_utf8(&s, &part, true);
    EXPECT_EQ(node, s.data3);
    EXPECT_EQ(part, 9);
    EXPECT_STREQ(reinterpret_cast<const char*>(memory::buffer_of(node)->head_ptr()), "a\r\n\xF0\x9F\x98\x80\r\n");

    part = 2;
    EXPECT_STREQ(string::to_utf8_part(&s, &part, true), "a\r\n");
    EXPECT_EQ(part, 3);
    part = 2;
    EXPECT_STREQ(string::to_utf8_part(&s, &part, false), "a\n");
    EXPECT_EQ(part, 2);
}

TEST(StringToUtf8, IntoCallerBuffersWithAndWithoutALimit) {
    Cell s = make_string({'a', 0x20AC, 'b'}, 2);
    uint8_t buf[16];
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(string::to_utf8_into(&s, buf, -1, true), 5u);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{'a', 0xE2, 0x82, 0xAC, 'b', 0}));
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(string::to_utf8_into(&s, buf, 1, false), 1u);
    EXPECT_EQ(buf[1], 0x55);

    struct Case {
        uint32_t room;
        bool nul;
        uint32_t written;  // text bytes, the NUL not counted
        Bytes out;
    } cases[] = {
        {3, false, 3, {'a', 0xE2, 0x82}},  // the euro is cut
        {3, true, 3, {'a', 0xE2, 0x82}},   // no room left for the NUL
        {6, true, 5, {'a', 0xE2, 0x82, 0xAC, 'b', 0}},
        {0, true, 0, {}},
    };
    for (const Case& c : cases) {
        std::memset(buf, 0x55, sizeof buf);
        uint32_t n = string::to_utf8_limited(&s, buf, c.room, -1, c.nul);
        EXPECT_EQ(n, c.written);
        EXPECT_EQ(Bytes(buf, buf + c.out.size()), c.out);
        EXPECT_EQ(buf[c.out.size()], 0x55);  // nothing past the room
    }
}

TEST(StringToUtf8, TheOlderHelperStillEncodesFromTheHead) {
    Cell s = make_string({'x', 0xE9, 0x20AC}, 2);
    s.data1 = 1;
    EXPECT_EQ(string::to_utf8(static_cast<const Cell*>(&s)), "\xC3\xA9\xE2\x82\xAC");
}

// ---- code page ------------------------------------------------------------------------

TEST(Cp1251, BytesMapThroughTheCodePageAndWidenTheString) {
    Bytes in = {'A', 0xC0, 0xFF, 0x98, 0xA8, '\r', '\n', 'b', '\r'};
    uint32_t node = unicode::load_cp1251(in.data(), uint32_t(in.size()), nullptr, true);
    EXPECT_EQ(memory::unit_of(node), 2);
    EXPECT_EQ(chars_of(node), (Cps{'A', 0x410, 0x44F, 0x98, 0x401, '\n', 'b', '\n'}));

    Cell s = make_string({'q', 'q', 'q'}, 4);
    Bytes ascii = {'h', 'i'};
    EXPECT_EQ(unicode::load_cp1251(ascii.data(), 2, &s, false), s.data2);
    EXPECT_EQ(memory::unit_of(s.data2), 4);  // the unit is kept
    EXPECT_EQ(chars_of(s.data2), (Cps{'h', 'i'}));
}
