// binary!: conversion of values to bytes, molds over indented lines, byte-wise
// comparison, the bitwise actions, insert/append/change/trim with their
// refinements and errors, the byte helpers, the literal syntax and what the
// type inherits from string!.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "foundation/collector.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/actions.hpp"
#include "io/lexer_scan.hpp"
#include "io/lexer_values.hpp"
#include "object_fixtures.hpp"
#include "string_fixtures.hpp"

using namespace kro;
using testing_blocks::block_of;
using testing_blocks::call_on_stack;
using testing_blocks::chr;
using testing_blocks::form_text;
using testing_blocks::integer;
using testing_blocks::mold_text;
using testing_blocks::raised;
using testing_blocks::real;
using testing_blocks::w;
using testing_strings::text;

namespace {

using Bytes = std::vector<uint8_t>;

Cell bin(const Bytes& bytes) { return binary::of_bytes(bytes); }

Cell at(Cell c, uint32_t head) {
    c.data1 = head;
    return c;
}

// The bytes from the head as upper-case hex, for readable comparisons.
std::string hex(const Cell& c) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : binary::bytes_of(&c)) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Bytes count_up(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t(i);
    return b;
}

std::string digits_of(const Bytes& b, size_t from, size_t to) {
    Cell c = bin(Bytes(b.begin() + long(from), b.begin() + long(to)));
    return hex(c);
}

Cell tuple_of(std::vector<uint8_t> bytes) {
    Cell t{uint32_t(TYPE_TUPLE) | (uint32_t(bytes.size()) << 19), 0, 0, 0};
    uint32_t* words[3] = {&t.data1, &t.data2, &t.data3};
    for (size_t i = 0; i < bytes.size(); i++) *words[i / 4] |= uint32_t(bytes[i]) << (8 * (i % 4));
    return t;
}

Cell bitset_of(const Bytes& bytes, bool complemented) {
    Cell b = bin(bytes);
    b.set_type(TYPE_BITSET);
    if (complemented) memory::buffer_of(b.data2)->flags |= memory::FLAG_COMPLEMENT;
    return b;
}

Cell percent(double d) {
    Cell c{uint32_t(TYPE_PERCENT), 0, 0, 0};
    c.set_float(d);
    return c;
}

Cell datatype_cell(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

// Runs f and answers the hex of the binary it left in *c, or "error x/y".
template <class F>
std::string outcome(Cell* c, F f) {
    std::string err = raised(f);
    return err.empty() ? hex(*c) : "error " + err;
}

std::string converted(Cell spec) {
    Cell proto = datatype_cell(TYPE_BINARY);
    return outcome(&proto, [&] { datatype::action<A_TO>(TYPE_BINARY)(&proto, &spec, TYPE_BINARY); });
}

std::string made(Cell spec) {
    Cell proto = datatype_cell(TYPE_BINARY);
    return outcome(&proto, [&] { datatype::action<A_MAKE>(TYPE_BINARY)(&proto, &spec, TYPE_BINARY); });
}

}  // namespace

// ---- to and make ---------------------------------------------------------------------------

TEST(BinaryTo, EachKindOfValueGivesItsBytes) {
    struct Case {
        const char* what;
        Cell spec;
        const char* bytes;
    } cases[] = {
        {"integer", integer(1), "00000001"},
        {"negative integer", integer(-2), "FFFFFFFE"},
        {"float", real(1.0), "3FF0000000000000"},
        {"percent", percent(-2.5), "C004000000000000"},
        {"string with U+00E9, 1-byte unit", testing_strings::text_of(U"\u00e9", 1), "C3A9"},
        {"the same in 2-byte units", testing_strings::text_of(U"\u00e9", 2), "C3A9"},
        {"4-byte unit", testing_strings::text_of(U"a\U0001F600", 4), "61F09F9880"},
        {"string from its head", at(text("xAB"), 1), "4142"},
        {"file", text("a/b", 1, TYPE_FILE), "612F62"},
        {"char", chr(0xE9), "C3A9"},
        {"char above the BMP", chr(0x1F600), "F09F9880"},
        {"issue", w("0A1b", TYPE_ISSUE), "0A1B"},
        {"tuple", tuple_of({1, 2, 3, 255}), "010203FF"},
        {"twelve-byte tuple", tuple_of(count_up(12)), "000102030405060708090A0B"},
        {"bitset", bitset_of({0x80, 0x01}, false), "8001"},
        {"binary from its head", at(bin({1, 2, 3}), 1), "0203"},
        {"block of mixed items", block_of({integer(1), text("A"), chr('b'), bin({0xFF}), w("foo")}), "014162FF666F6F"},
        {"nested block", block_of({block_of({integer(1), integer(2)}), integer(3)}), "010203"},
        {"empty block", block_of({}), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(converted(c.spec), c.bytes);
    }
}

TEST(BinaryTo, RefusedValuesAndBadIssues) {
    EXPECT_EQ(converted(Cell{uint32_t(TYPE_NONE), 0, 0, 0}), "error script/bad-to-arg");
    EXPECT_EQ(converted(Cell{uint32_t(TYPE_LOGIC), 1, 0, 0}), "error script/bad-to-arg");
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_BINARY)) << "the error names binary!";
    EXPECT_EQ(converted(w("0G", TYPE_ISSUE)), "error script/invalid-data");
    EXPECT_EQ(converted(w("0\u0130", TYPE_ISSUE)), "error script/invalid-data") << "no alias for wide characters";
    EXPECT_EQ(converted(block_of({integer(256)})), "error script/invalid-arg") << "a block's integers are bytes";
}

TEST(BinaryTo, TheCopyIsIndependent) {
    Cell source = bin({1, 2});
    Cell proto = datatype_cell(TYPE_BINARY);
    datatype::action<A_TO>(TYPE_BINARY)(&proto, &source, TYPE_BINARY);
    EXPECT_NE(proto.data2, source.data2);
    binary::complement(&proto);
    EXPECT_EQ(hex(source), "0102");
}

TEST(BinaryMake, CapacityOrTheConversion) {
    Cell proto = datatype_cell(TYPE_BINARY);
    Cell ten = integer(10);
    datatype::action<A_MAKE>(TYPE_BINARY)(&proto, &ten, TYPE_BINARY);
    EXPECT_TRUE(proto.is(TYPE_BINARY));
    EXPECT_EQ(binary::ks_length(&proto), 0u);
    EXPECT_GE(memory::buffer_of(proto.data2)->size, 10u);
    EXPECT_EQ(made(integer(-1)), "error script/out-of-range");
    EXPECT_EQ(made(text("AB")), "4142") << "a string's bytes, not the string itself";
    EXPECT_EQ(made(integer(0)), "");
    EXPECT_EQ(made(Cell{uint32_t(TYPE_MONEY), 0, 0, 0}), "error script/bad-make-arg");
}

// ---- form and mold ------------------------------------------------------------------------------

TEST(BinaryMold, LinesOf32BytesBeyond30) {
    Bytes b40 = count_up(40), b64 = count_up(64);
    struct Case {
        const char* what;
        Bytes bytes;
        std::string molded;
    } cases[] = {
        {"empty", {}, "#{}"},
        {"three bytes", {0x0A, 0x1B, 0xFF}, "#{0A1BFF}"},
        {"thirty bytes stay on one line", count_up(30), "#{" + digits_of(count_up(30), 0, 30) + "}"},
        {"31 bytes", count_up(31), "#{\n    " + digits_of(count_up(31), 0, 31) + "\n}"},
        {"32 bytes", count_up(32), "#{\n    " + digits_of(count_up(32), 0, 32) + "\n    }"},
        {"40 bytes", b40, "#{\n    " + digits_of(b40, 0, 32) + "\n    " + digits_of(b40, 32, 40) + "\n}"},
        {"64 bytes", b64, "#{\n    " + digits_of(b64, 0, 32) + "\n    " + digits_of(b64, 32, 64) + "\n    }"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(mold_text(bin(c.bytes)), c.molded);
        EXPECT_EQ(form_text(bin(c.bytes)), c.molded) << "form is mold without refinements";
    }
}

TEST(BinaryMold, RefinementsIndentationAndBudget) {
    Bytes b40 = count_up(40);
    EXPECT_EQ(mold_text(bin(b40), false, true), "#{" + digits_of(b40, 0, 40) + "}") << "flat";
    EXPECT_EQ(mold_text(bin({1, 2}), true), "0102") << "only";
    EXPECT_EQ(mold_text(at(bin({1, 2, 3}), 2)), "#{03}") << "from the head";

    // one level deeper inside an indented container
    Cell buf;
    string::make_at(&buf, 16, 1);
    Cell v = bin(b40);
    actions::mold(&v, &buf, false, false, false, nullptr, mold::NO_LIMIT, 1);
    EXPECT_EQ(string::to_utf8(&buf), "#{\n        " + digits_of(b40, 0, 32) + "\n        " + digits_of(b40, 32, 40) + "\n    }");

    int32_t left = 0;
    mold_text(bin({1, 2, 3}), false, false, 100, &left);
    EXPECT_EQ(left, 100 - 9) << "every character written counts";
    std::string cut = mold_text(bin(count_up(20)), false, false, 6, &left);
    EXPECT_EQ(cut.substr(0, 6), "#{0001");
    EXPECT_LT(cut.size(), size_t(12)) << "writing stops once the budget is used";
}

// ---- comparison ------------------------------------------------------------------------------------

TEST(BinaryCompare, UnsignedBytesThenLengths) {
    struct Case {
        Bytes a, b;
        int32_t op;
        int32_t expected;
    } cases[] = {
        {{1, 2}, {1, 2, 3}, actions::LESSER, -1},
        {{2}, {1, 3}, actions::LESSER, 1},
        {{0x80}, {0x7F}, actions::LESSER, 1},  // unsigned
        {{1, 2}, {1, 2, 3}, actions::EQUAL, 1},  // equality: lengths first
        {{1, 2}, {1, 2}, actions::STRICT_EQUAL, 0},
        {{}, {}, actions::EQUAL, 0},
        {{}, {0}, actions::LESSER, -1},
        {{1, 2}, {1, 2}, actions::SAME, -1},  // equal bytes, other buffers
    };
    for (const Case& c : cases) {
        Cell a = bin(c.a), b = bin(c.b);
        EXPECT_EQ(binary::compare(&a, &b, c.op), c.expected) << hex(a) << " vs " << hex(b) << " op " << c.op;
    }
    Cell x = bin({1, 2});
    Cell y = x;
    EXPECT_EQ(binary::compare(&x, &y, actions::SAME), 0) << "same buffer, same head";
    Cell s = text("AB");
    EXPECT_EQ(binary::compare(&x, &s, actions::EQUAL), -2) << "the slot compares binaries only";
    EXPECT_EQ(raised([&] { actions::compare(&x, &s, actions::LESSER); }), "script/invalid-compare");
    EXPECT_FALSE(actions::compare(&x, &s, actions::EQUAL));
}

TEST(BinaryCompare, TextSidesAndMatchMode) {
    Cell ab = bin({0x41, 0x42, 0x43});
    Cell s = text("AB"), e = text(""), accented = testing_strings::text_of(U"\u00e9", 2);
    EXPECT_EQ(binary::compare_bytes(&ab, &s, actions::EQUAL, false), 1) << "lengths differ";
    EXPECT_EQ(binary::compare_bytes(&ab, &s, actions::EQUAL, true), 0) << "a prefix matches";
    Cell e9 = bin({0xC3, 0xA9});
    EXPECT_EQ(binary::compare_bytes(&e9, &accented, actions::EQUAL, false), 0) << "text compares by its UTF-8";
    EXPECT_EQ(binary::compare_bytes(&ab, &e, actions::EQUAL, true), 0);
    EXPECT_EQ(binary::compare_bytes(&ab, &e, actions::LESSER, true), 1) << "empty matches only for equality";
    Cell shorter = bin({0x41});
    EXPECT_NE(binary::compare_bytes(&shorter, &s, actions::EQUAL, true), 0) << "never read past the tail";
    Cell i = integer(1);
    EXPECT_EQ(binary::compare_bytes(&ab, &i, actions::EQUAL, false), -2);

    EXPECT_TRUE(binary::match(&ab, &s, actions::EQUAL));
    EXPECT_TRUE(binary::match(&ab, &ab, actions::EQUAL));
    Cell a = chr('A'), b = chr('B');
    EXPECT_TRUE(binary::match(&ab, &a, actions::EQUAL));
    EXPECT_FALSE(binary::match(&ab, &b, actions::EQUAL));
    Cell end = at(ab, 3);
    EXPECT_FALSE(binary::match(&end, &a, actions::EQUAL));
}

TEST(BinaryParseHelpers, BitsetMembershipAtTheHead) {
    Cell set = bitset_of({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40}, false);  // bit 65: "A"
    Cell all_but = bitset_of({0x00}, true);  // complemented: every byte from 8 up
    Cell ab = bin({0x41, 0x42, 0x07});
    EXPECT_TRUE(binary::match_bitset(&ab, &set));
    Cell b = at(ab, 1);
    EXPECT_FALSE(binary::match_bitset(&b, &set));
    EXPECT_TRUE(binary::match_bitset(&b, &all_but)) << "past the stored bits: the complement flag";
    Cell seven = at(ab, 2);
    EXPECT_FALSE(binary::match_bitset(&seven, &all_but)) << "a stored, cleared bit";
    Cell end = at(ab, 3);
    EXPECT_FALSE(binary::match_bitset(&end, &all_but));
}

// ---- bitwise and complement ---------------------------------------------------------------------------

TEST(BinaryBitwise, LongerOperandDecidesTheLength) {
    struct Case {
        int slot;
        Bytes a, b;
        const char* result;
    } cases[] = {
        {A_AND_T, {0xFF, 0x00, 0xFF}, {0x0F}, "0F0000"},
        {A_OR_T, {0xFF, 0x00, 0xFF}, {0x0F}, "FF00FF"},
        {A_XOR_T, {0xFF, 0x00, 0xFF}, {0x0F}, "F000FF"},
        {A_AND_T, {0x0F}, {0xFF, 0x00, 0xFF}, "0F0000"},
        {A_OR_T, {0x01}, {0x10, 0x22}, "1122"},
        {A_XOR_T, {}, {}, ""},
    };
    for (const Case& c : cases) {
        auto fn = reinterpret_cast<StackOnlyFn>(datatype::entry(TYPE_BINARY, c.slot));
        ASSERT_NE(fn, nullptr);
        Cell r = call_on_stack(fn, {bin(c.a), bin(c.b)});
        EXPECT_EQ(hex(r), c.result) << "slot " << c.slot;
        EXPECT_EQ(r.data1, 0u);
    }
    Cell r = call_on_stack(&binary::and_t, {at(bin({0x00, 0xF0}), 1), bin({0x3C})});
    EXPECT_EQ(hex(r), "30") << "from the heads";
    EXPECT_EQ(raised([] { call_on_stack(&binary::or_t, {bin({1}), text("a")}); }), "script/invalid-arg");
}

TEST(BinaryBitwise, ComplementChangesTheBinaryItself) {
    Cell b = bin({0x00, 0x0F, 0xAA});
    Cell view = at(b, 1);
    Cell* r = binary::complement(&view);
    EXPECT_EQ(r, &view);
    EXPECT_EQ(hex(b), "00F055") << "from the head, in place";
}

// ---- insert, append, change ------------------------------------------------------------------------------

namespace {

std::string inserted(Bytes target, uint32_t head, Cell value, int32_t part = -1, int32_t dup = 1,
                     bool append = false, uint32_t* new_head = nullptr) {
    Cell b = at(bin(target), head);
    std::string r = raised([&] { binary::insert(&b, &value, part, false, dup, append); });
    if (!r.empty()) return "error " + r;
    if (new_head) *new_head = b.data1;
    return hex(at(b, 0));
}

}  // namespace

TEST(BinaryInsert, BytesOfEachValue) {
    struct Case {
        const char* what;
        Cell value;
        const char* result;
    } cases[] = {
        {"integer 65", integer(65), "41"},
        {"integer -1", integer(-1), "FF"},
        {"integer -128", integer(-128), "80"},
        {"integer 256", integer(256), "error script/invalid-arg"},
        {"integer -129", integer(-129), "error script/invalid-arg"},
        {"char", chr(0x20AC), "E282AC"},
        {"string", text("hi"), "6869"},
        {"binary", bin({1, 2}), "0102"},
        {"tag", text("b", 1, TYPE_TAG), "62"},
        {"block", block_of({integer(1), text("A")}), "0141"},
        {"logic is formed", Cell{uint32_t(TYPE_LOGIC), 1, 0, 0}, "74727565"},
        {"float is formed", real(1.5), "312E35"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(inserted({}, 0, c.value, -1, 1, true), c.result);
    }
}

TEST(BinaryInsert, PositionPartDupAndResultHead) {
    uint32_t head = 99;
    EXPECT_EQ(inserted({1, 2, 3}, 1, bin({0xAA, 0xBB}), -1, 1, false, &head), "01AABB0203");
    EXPECT_EQ(head, 3u) << "insert: just past the inserted bytes";
    EXPECT_EQ(inserted({1, 2, 3}, 1, bin({0xAA}), -1, 1, true, &head), "010203AA");
    EXPECT_EQ(head, 0u) << "append: the head";
    EXPECT_EQ(inserted({1, 2}, 7, integer(9), -1, 1, false, &head), "010209") << "a head past the tail";
    EXPECT_EQ(head, 3u);
    EXPECT_EQ(inserted({}, 0, text("abcdef"), 2), "6162") << "/part caps the bytes";
    EXPECT_EQ(inserted({}, 0, block_of({text("ab"), text("cd"), text("ef")}), 2), "61626364") << "and counts items";
    EXPECT_EQ(inserted({0}, 0, bin({1, 2}), -1, 3, false, &head), "01020102010200") << "/dup";
    EXPECT_EQ(head, 6u);
    EXPECT_EQ(inserted({5}, 0, bin({1}), -1, 0), "05") << "/dup 0 adds nothing";
    EXPECT_EQ(inserted({5}, 0, bin({1, 2}), 0), "05") << "/part 0 takes nothing";
    EXPECT_EQ(inserted({}, 0, bin({1, 2}), -1, 0x7FFFFFFF), "error internal/no-memory");
}

TEST(BinaryInsert, ItselfAndGrowth) {
    Cell b = bin({1, 2, 3});
    Cell same = b;
    binary::insert(&b, &same, -1, false, 1, true);
    EXPECT_EQ(hex(b), "010203010203");
    // many appends through a small buffer
    Cell grow;
    binary::make_at(&grow, 1);
    Cell v = bin(count_up(7));
    for (int i = 0; i < 100; i++) binary::insert(&grow, &v, -1, false, 1, true);
    EXPECT_EQ(binary::ks_length(&grow), 700u);
    EXPECT_EQ(binary::get_byte(&grow, 699), 6);
}

TEST(BinaryInsert, ABlockThatHoldsItselfIsRefused) {
    Cell blk = block_of({integer(1)});
    copy_cell(&blk, block::add_cell(&blk));
    EXPECT_EQ(inserted({}, 0, blk), "error internal/too-deep");
    EXPECT_EQ(converted(blk), "error internal/too-deep");
}

TEST(BinaryInsert, AnOwnerHearsOfEveryChangeBeforeAndAfter) {
    using namespace testing_objects;
    HandlerRecorder recorder;
    Cell data = bin({1, 2, 3});
    Cell obj = make_object({set_word("data"), data,
                            set_word("on-deep-change*"),
                            handler({"owner", "word", "target", "action", "new", "index", "part"})});
    struct Step {
        const char* before;
        const char* after;
        int32_t index, part;
    };
    auto check = [&](const char* what, Step s) {
        SCOPED_TRACE(what);
        const auto& calls = HandlerRecorder::calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(spelling(calls[0].args[3]), s.before);
        EXPECT_EQ(spelling(calls[1].args[3]), s.after);
        EXPECT_EQ(calls[0].args[0].data1, obj.data1);
        EXPECT_EQ(spelling(calls[0].args[1]), "data");
        EXPECT_EQ(int32_t(calls[0].args[5].data2), s.index);
        EXPECT_EQ(int32_t(calls[0].args[6].data2), s.part);
        HandlerRecorder::calls().clear();
    };
    HandlerRecorder::calls().clear();
    Cell v = bin({9, 9}), d = testing_blocks::integer(1);
    Cell b = at(data, 1);
    binary::insert(&b, &v, -1, false, 1, false);
    check("insert", {"insert", "inserted", 1, 2});
    b = data;
    binary::insert(&b, &d, -1, false, 3, true);
    check("append", {"append", "appended", 5, 3});
    b = at(data, 2);
    binary::change(&b, &v, 1, false, 1);
    check("change", {"change", "changed", 2, 1});
    b = data;
    binary::trim(&b, false, false, false, false, true, nullptr);
    check("trim", {"trim", "trimmed", 0, 9});
    EXPECT_EQ(hex(data), "010909090203010101") << "no zero bytes: nothing trimmed";
}

TEST(BinaryChange, ReplacesFromTheHead) {
    struct Case {
        const char* what;
        Bytes target;
        uint32_t head;
        Cell value;
        int32_t part, dup;
        const char* result;
        uint32_t new_head;
    } cases[] = {
        {"same size", {1, 2, 3}, 0, bin({0xAA}), -1, 1, "AA0203", 1},
        {"at the head", {1, 2, 3}, 1, bin({0xAA, 0xBB}), -1, 1, "01AABB", 3},
        {"past the tail grows", {1, 2, 3}, 2, bin({0xAA, 0xBB}), -1, 1, "0102AABB", 4},
        {"/part replaces fewer", {1, 2, 3}, 0, bin({0xAA}), 2, 1, "AA03", 1},
        {"/part replaces more", {1, 2, 3}, 0, bin({0xAA, 0xBB}), 1, 1, "AABB0203", 2},
        {"/part 0 inserts", {1, 2}, 1, integer(9), 0, 1, "010902", 2},
        {"/dup", {1, 2, 3, 4}, 0, bin({0xAA}), -1, 3, "AAAAAA04", 3},
        {"/part beyond the rest", {1, 2}, 1, integer(9), 50, 1, "0109", 2},
        {"a char's bytes", {1, 2, 3}, 0, chr(0xE9), -1, 1, "C3A903", 2},
        {"bad byte", {1}, 0, integer(300), -1, 1, "error script/invalid-arg", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Cell b = at(bin(c.target), c.head);
        Cell value = c.value;
        std::string r = raised([&] { binary::change(&b, &value, c.part, false, c.dup); });
        if (!r.empty()) {
            EXPECT_EQ("error " + r, c.result);
            continue;
        }
        EXPECT_EQ(hex(at(b, 0)), c.result);
        EXPECT_EQ(b.data1, c.new_head);
    }
    Cell b = bin({1, 2, 3});
    Cell tail = at(b, 1);
    binary::change(&b, &tail, -1, false, 1);
    EXPECT_EQ(hex(at(b, 0)), "020303") << "a change with its own bytes";
}

// ---- trim ------------------------------------------------------------------------------------------------------

TEST(BinaryTrim, ZerosAtTheEndsOrEverywhere) {
    struct Case {
        const char* what;
        Bytes bytes;
        uint32_t head;
        bool head_, tail_, all;
        const char* result;
    } cases[] = {
        {"both ends", {0, 0, 0x41, 0, 0}, 0, false, false, false, "41"},
        {"/head", {0, 0, 0x41, 0, 0}, 0, true, false, false, "410000"},
        {"/tail", {0, 0, 0x41, 0, 0}, 0, false, true, false, "000041"},
        {"/head /tail", {0, 0x41, 0}, 0, true, true, false, "41"},
        {"/all", {0, 0x41, 0, 0x42, 0}, 0, false, false, true, "4142"},
        {"only zeros", {0, 0}, 0, false, false, false, ""},
        {"from the head", {0, 0, 0x41, 0}, 1, false, false, false, "0041"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Cell b = at(bin(c.bytes), c.head);
        binary::trim(&b, c.head_, c.tail_, false, false, c.all, nullptr);
        EXPECT_EQ(hex(at(b, 0)), c.result);
        EXPECT_EQ(b.data1, c.head);
    }
}

TEST(BinaryTrim, WithAndTheRefinementsNotDone) {
    Cell b = bin({1, 0x41, 2, 0x42, 1});
    Cell with = bin({1, 2});
    binary::trim(&b, false, false, false, false, false, &with);
    EXPECT_EQ(hex(b), "4142");
    Cell c = bin({0x61, 0x62, 0x63});
    Cell ab = text("ab");
    binary::trim(&c, false, false, false, false, true, &ab);
    EXPECT_EQ(hex(c), "63") << "/all /with a string: its bytes";
    Cell d = bin({5, 6});
    Cell five = integer(5);
    binary::trim(&d, false, false, false, false, false, &five);
    EXPECT_EQ(hex(d), "06");
    Cell e = bin({0});
    EXPECT_EQ(raised([&] { binary::trim(&e, false, false, true, false, false, nullptr); }), "internal/not-done");
    EXPECT_EQ(raised([&] { binary::trim(&e, false, false, false, true, false, nullptr); }), "internal/not-done");
    Cell blk = block_of({});
    EXPECT_EQ(raised([&] { binary::trim(&e, false, false, false, false, false, &blk); }), "script/invalid-arg");
}

// ---- byte helpers -------------------------------------------------------------------------------------------------

TEST(BinaryHelpers, WritingBytes) {
    Cell b = bin({1, 2, 3});
    binary::append_bytes(&b, binary::ks_head(&b), 3);  // from its own buffer
    EXPECT_EQ(hex(b), "010203010203");

    Cell c = at(bin({1, 2, 3}), 1);
    const uint8_t more[] = {0xAA, 0xBB};
    uint8_t* p = binary::insert_bytes(&c, 1, more, 2);
    EXPECT_EQ(p[0], 0xAA);
    EXPECT_EQ(hex(at(c, 0)), "0102AABB03") << "at head + offset";
    binary::insert_bytes(&c, 50, more, 1);
    EXPECT_EQ(hex(at(c, 0)), "0102AABB03AA") << "an offset past the tail appends";

    Cell d = bin({1, 2, 3});
    binary::write_bytes_at(&d, 1, more, 2);
    EXPECT_EQ(hex(d), "01AABB") << "over the bytes, the tail kept";
    binary::write_bytes_at(&d, 5, more, 1);
    EXPECT_EQ(hex(d), "01AABB0000AA") << "past the tail: the gap is zeros, the tail moves";

    Cell e;
    binary::make_at(&e, 0);
    binary::append_int32_be(0x01020304, &e);
    binary::append_int32_be(-2, &e);
    EXPECT_EQ(hex(e), "01020304FFFFFFFE");
}

TEST(BinaryHelpers, ReadingAndMoving) {
    Cell b = bin({5, 6, 7});
    EXPECT_EQ(binary::ks_length(&b), 3u);
    EXPECT_EQ(binary::get_byte(&b, 2), 7);
    EXPECT_FALSE(binary::ks_next(&b));
    EXPECT_EQ(*binary::ks_head(&b), 6);
    EXPECT_FALSE(binary::ks_skip(&b, 5)) << "would pass the tail: no move";
    EXPECT_EQ(b.data1, 1u);
    EXPECT_TRUE(binary::ks_skip(&b, 2));
    EXPECT_TRUE(binary::ks_tail_q(&b));
    EXPECT_EQ(binary::ks_head(&b), binary::ks_tail(&b));
    Cell past = at(b, 9);
    EXPECT_EQ(binary::ks_length(&past), 0u);
    EXPECT_EQ(binary::ks_head(&past), binary::ks_tail(&past));
    EXPECT_EQ(past.data1, 3u) << "a head past the tail is written back as the tail";
    Cell cut = at(bin({1, 2, 3}), 1);
    binary::set_tail_at_head(&cut);
    EXPECT_EQ(hex(at(cut, 0)), "01");
}

TEST(BinaryHelpers, MakingLoadingAndBytesOfValues) {
    const uint8_t bytes[] = {9, 8, 7};
    Cell* top = stack::top_ptr;
    Cell* pushed = binary::load(bytes, 3);
    EXPECT_EQ(pushed, top);
    EXPECT_EQ(hex(*pushed), "090807");
    stack::pop(1);
    Cell blk = block_of({});
    Cell* made_in = binary::make_in(&blk, 4);
    EXPECT_TRUE(made_in->is(TYPE_BINARY));
    EXPECT_EQ(block::length(&blk), 1);

    Cell wide = integer(0x1FF);
    EXPECT_EQ(binary::byte_from_value(&wide), 0xFF);
    Cell c = chr(0x141);
    uint8_t at_byte = 0;
    binary::byte_from_value(&c, &at_byte);
    EXPECT_EQ(at_byte, 0x41) << "the low 8 bits";
    Cell s = text("a");
    EXPECT_EQ(raised([&] { binary::byte_from_value(&s); }), "script/invalid-arg");

    Cell v = block_of({text("abc"), text("def")});
    Cell dest = bin({});
    EXPECT_EQ(binary::from_value(nullptr, &v, -1, false, binary::Mode::STRICT), 6u) << "size only";
    Cell big = integer(1000);
    EXPECT_EQ(binary::from_value(nullptr, &big, -1, false, binary::Mode::STRICT), 1u) << "measured, not written";
    Cell into = bin({});
    EXPECT_EQ(raised([&] { binary::from_value(&into, &big, -1, false, binary::Mode::STRICT); }), "script/invalid-arg");
    EXPECT_EQ(binary::from_value(&dest, &v, 4, true, binary::Mode::STRICT), 4u) << "part counts bytes";
    EXPECT_EQ(hex(dest), "61626364");
    Cell word = w("x");
    EXPECT_EQ(raised([&] { binary::from_value(nullptr, &word, -1, false, binary::Mode::STRICT); }),
              "script/bad-to-arg");
    EXPECT_EQ(binary::from_value(nullptr, &word, -1, false, binary::Mode::ANY), 1u);

    Cell issue = w("A1B2", TYPE_ISSUE), out;
    EXPECT_EQ(binary::from_issue(&issue, &out, false), 2u);
    EXPECT_EQ(hex(out), "A1B2");
}

TEST(BinaryHelpers, RefusedUtf8TravelsAsABinary) {
    const uint8_t bad[] = {'a', 0xFF, 'b'};
    EXPECT_EQ(raised([&] { string::load_utf8_checked(bad, 3); }), "access/invalid-utf8");
    EXPECT_EQ(mold_text(last_raised().args[0]), "#{FF62}");
    uint32_t n = 2;
    const uint8_t broken[] = {0xC3, 0x28};
    EXPECT_EQ(raised([&] { unicode::decode_utf8_char(broken, &n); }), "access/invalid-utf8");
    EXPECT_EQ(mold_text(last_raised().args[0]), "#{C328}");
}

// ---- what binary! inherits -----------------------------------------------------------------------------------------

TEST(BinaryActions, InheritedFromStringAndUnsupported) {
    EXPECT_EQ(datatype::action<A_MAKE>(TYPE_BINARY), datatype::action<A_MAKE>(TYPE_STRING));
    EXPECT_EQ(datatype::action<A_FIND>(TYPE_BINARY), datatype::action<A_FIND>(TYPE_STRING));
    EXPECT_EQ(datatype::action<A_PICK>(TYPE_BINARY), datatype::action<A_PICK>(TYPE_STRING));
    EXPECT_EQ(datatype::action<A_APPEND>(TYPE_BINARY), &binary::insert) << "append and insert: one function";
    EXPECT_EQ(datatype::action<A_INSERT>(TYPE_BINARY), &binary::insert);
    for (int slot : {A_SET_PATH, A_ADD, A_SUBTRACT, A_NEGATE, A_ROUND, A_EVEN_Q, A_PUT, A_OPEN, A_READ, A_WRITE})
        EXPECT_EQ(datatype::entry(TYPE_BINARY, slot), nullptr) << "slot " << slot;
    EXPECT_EQ(datatype::row(TYPE_BINARY).name, std::string("binary!"));

    Cell b = bin({0x10, 0x20, 0x30});
    Cell picked = b;
    EXPECT_EQ(datatype::action<A_PICK>(TYPE_BINARY)(&picked, 2, nullptr)->data2, 0x20u);
    EXPECT_TRUE(picked.is(TYPE_INTEGER));
    Cell v = integer(0x1FF);
    datatype::action<A_POKE>(TYPE_BINARY)(&b, 1, &v, nullptr);
    EXPECT_EQ(hex(b), "FF2030");
    Cell s = text("x");
    EXPECT_EQ(raised([&] { datatype::action<A_POKE>(TYPE_BINARY)(&b, 1, &s, nullptr); }), "script/invalid-arg");
    Cell found = b, needle = integer(0x30);
    actions::find(&found, &needle, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
    EXPECT_EQ(found.data1, 2u);
    EXPECT_EQ(datatype::action<A_LENGTH_Q>(TYPE_BINARY)(&b), 3);
}

TEST(BinaryActions, SurvivesACollectionThatMovesIt) {
    gc::Rooted b(bin(count_up(100)));
    binary::ks_skip(b.get(), 10);
    collector::collect();
    EXPECT_EQ(binary::ks_length(b.get()), 90u);
    EXPECT_EQ(binary::get_byte(b.get(), 99), 99);
}

// ---- literals ----------------------------------------------------------------------------------------------------

TEST(BinaryLiteral, BasesCommentsAndRefusals) {
    struct Case {
        const char* text;
        const char* bytes;  // null: refused
    } cases[] = {
        {"#{}", ""},
        {"#{0a1B}", "0A1B"},
        {"#{0A 1B\n\tFF\r\n}", "0A1BFF"},
        {"#{41 ; a comment } still\n42}", "4142"},
        {"16#{41}", "41"},
        {"2#{01000001}", "41"},
        {"2#{0100 0001 11111111}", "41FF"},
        {"64#{QQ==}", "41"},
        {"64#{TWFu TWE=}", "4D616E4D61"},
        {"64#{TW Fu}", "4D616E"},
        {"#{0A1}", nullptr},
        {"#{0G}", nullptr},
        {"3#{}", nullptr},
        {"64#{QQ=}", nullptr},
        {"64#{QQ}", nullptr},
        {"64#{Q===}", nullptr},
        {"64#{QQ==QQ==}", nullptr},
        {"2#{0100}", nullptr},
        {"2#{01000002}", nullptr},
        {"#{41", nullptr},
        {"#41}", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Cell out = none::value;
        bool ok = binary::from_literal(reinterpret_cast<const uint8_t*>(c.text), uint32_t(std::strlen(c.text)), &out);
        ASSERT_EQ(ok, c.bytes != nullptr);
        if (ok) EXPECT_EQ(hex(out), c.bytes);
        else EXPECT_TRUE(out.is(TYPE_NONE)) << "nothing written";
    }
}

TEST(BinaryLiteral, LoadedThroughTheTokenizer) {
    for (const char* src : {"#{41}", "2#{01000001}", "64#{QQ==}"}) {
        SCOPED_TRACE(src);
        lexer::Machine m;
        m.begin = m.cursor = reinterpret_cast<const uint8_t*>(src);
        m.end = m.begin + std::strlen(src);
        lexer::Token t;
        m.next(t);
        ASSERT_EQ(t.state, lexer::T_BINARY);
        EXPECT_EQ(lexer::load_value(t, nullptr), 0) << "checked only";
        Cell out;
        ASSERT_EQ(lexer::load_value(t, &out), 0);
        EXPECT_EQ(hex(out), "41");
    }
    const char* bad = "#{414}";
    lexer::Machine m;
    m.begin = m.cursor = reinterpret_cast<const uint8_t*>(bad);
    m.end = m.begin + std::strlen(bad);
    lexer::Token t;
    m.next(t);
    Cell out;
    EXPECT_EQ(lexer::load_value(t, &out), int(TYPE_BINARY)) << "reported as invalid binary!";
}
