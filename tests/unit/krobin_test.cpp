// KROBIN: exact bytes of small values in both layouts, round trips of every
// datatype (standard and compact, packed and not), shared series, cycles,
// contexts and functions that come back bound, the symbol table, malformed
// input (which raises the format's errors and leaves the output as it was),
// the boot mode, and a quick fuzz run over random and mutated input.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/bitset.hpp"
#include "datatypes/error.hpp"
#include "datatypes/image.hpp"
#include "datatypes/map.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "foundation/collector.hpp"
#include "foundation/runtime.hpp"
#include "interp_fixtures.hpp"
#include "io/krobin.hpp"
#include "output_capture.hpp"

namespace kro {
namespace {

using namespace testing_interp;

// ---- fixtures ----------------------------------------------------------------------------------

std::vector<uint8_t> hex_bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char ch : hex) {
        int d = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
        if (d < 0) continue;  // blanks separate fields for the reader's eye
        if (high < 0) {
            high = d;
        } else {
            out.push_back(uint8_t(high << 4 | d));
            high = -1;
        }
    }
    return out;
}

std::string hex_of(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::vector<uint8_t> encoded(const Cell& value, bool compact, bool compress = false) {
    gc::Rooted in(value), out;
    krobin::encode(in.get(), out.get(), compact, compress);
    return binary::bytes_of(out.get());
}

// A compact file with a symbol table of those names and the records (hex).
std::vector<uint8_t> compact_file(const std::vector<std::string>& names, const std::string& records) {
    std::vector<uint8_t> r = hex_bytes(records), strings, offsets;
    for (const std::string& n : names) {
        uint32_t at = uint32_t(strings.size());
        for (int k = 0; k < 4; k++) offsets.push_back(uint8_t(at >> (8 * k)));
        strings.insert(strings.end(), n.begin(), n.end());
        strings.push_back(0);
    }
    std::vector<uint8_t> out = hex_bytes("4B524F42494E0205 01");
    for (size_t v : {r.size(), names.size(), strings.size()}) {
        for (; v >= 0x80; v >>= 7) out.push_back(uint8_t(v | 0x80));
        out.push_back(uint8_t(v));
    }
    out.insert(out.end(), offsets.begin(), offsets.end());
    out.insert(out.end(), strings.begin(), strings.end());
    out.insert(out.end(), r.begin(), r.end());
    return out;
}

// The records of a compact file without symbols (after its varint header).
std::string compact_records(const Cell& value) {
    std::vector<uint8_t> b = encoded(value, true);
    size_t i = 8;
    for (int field = 0; field < 2; field++)
        while (b[i++] & 0x80) {
        }
    return hex_of(std::vector<uint8_t>(b.begin() + long(i), b.end()));
}

// The block of values the bytes decode to (the caller roots it).
Cell decoded_block(const std::vector<uint8_t>& bytes) {
    gc::Rooted blk;
    block::make_at(blk.get(), 1);
    krobin::decode(bytes.data(), bytes.size(), blk.get());
    return blk.cell;
}

// The one value the bytes hold.
Cell decoded(const std::vector<uint8_t>& bytes) {
    Cell blk = decoded_block(bytes);
    EXPECT_EQ(block::length(&blk), 1);
    return *block::at(&blk, 0);
}

// "category/id" and the formed first argument of the error decoding raises,
// or "" when it decodes.
std::string decode_error(const std::vector<uint8_t>& bytes) {
    gc::Rooted blk;
    block::make_at(blk.get(), 1);
    std::string e = raised([&] { krobin::decode(bytes.data(), bytes.size(), blk.get()); });
    if (e.empty()) return "";
    if (last_raised().nargs > 0 && last_raised().args[0].is(TYPE_INTEGER))
        e += " " + std::to_string(int32_t(last_raised().args[0].data2));
    return e;
}

std::string mold_all(const Cell& v) { return mold_text(v, false, false, -1, nullptr, true); }

// A value encoded and decoded again in one of the four forms.
Cell round_trip(const Cell& value, bool compact, bool compress) {
    std::vector<uint8_t> bytes = encoded(value, compact, compress);
    return decoded(bytes);
}

const char* form_name(int form) {
    static const char* names[] = {"standard", "compact", "standard packed", "compact packed"};
    return names[form];
}

// Values of the interpreter's bench (setup() defines its words).
Cell evaluated(const std::string& code) {
    std::string r = run("krobin-test-value: " + code);
    EXPECT_EQ(r.rfind("error", 0), std::string::npos) << code << " gave " << r;
    return global("krobin-test-value");
}

Cell word_in(uint32_t ctx, const char* name) {
    int32_t sym = symbol::make(name);
    return Cell{uint32_t(TYPE_WORD), ctx, uint32_t(sym), uint32_t(context::find_symbol(ctx, sym, true))};
}

// ---- exact bytes -------------------------------------------------------------------------------

TEST(KrobinBytes, WholeFilesOfFive) {
    EXPECT_EQ(hex_of(encoded(integer(5), true)), "4B524F42494E0201010185");
    EXPECT_EQ(hex_of(encoded(integer(5), false)), "4B524F42494E0200" "01000000" "08000000" "0B000000" "05000000");
}

TEST(KrobinBytes, CompactScalars) {
    struct Case {
        Cell value;
        const char* records;
    } cases[] = {
        {integer(0), "80"},
        {integer(63), "BF"},
        {integer(64), "0B8001"},
        {integer(-1), "0B01"},
        {integer(INT32_MIN), "0BFFFFFFFF0F"},
        {real(3.0), "4C06"},
        {real(-7.0), "4C0D"},
        {real(0.5), "0C000000000000E03F"},
        {real(-0.0), "0C0000000000000080"},
        {real(1e300), "0C9C7500883CE4377E"},
        {real(2147483001.0), "0C0000405EFFFFDF41"},  // beyond the integral range
        {Cell{uint32_t(TYPE_PERCENT), 0, 0, 0}, "6600"},
        {logic::make(true), "C2"},
        {logic::make(false), "C3"},
        {none::value, "03"},
        {unset::value, "02"},
        {Cell{uint32_t(TYPE_DATATYPE), TYPE_INTEGER, 0, 0}, "010B"},
        {chr(0x10FFFF), "0AFFFF43"},
        {pair(-5, 7), "25090E"},
    };
    for (const Case& c : cases) EXPECT_EQ(compact_records(c.value), c.records) << mold_all(c.value);
}

TEST(KrobinBytes, CompactTextSyntax) {
    struct Case {
        const char* text;
        const char* records;
    } cases[] = {
        {"50%", "6664"},
        {"1%", "6602"},
        {"12.345%", "26 7CF2B0506B9ABF3F"},  // no whole number of hundredths: the double
        {"1.2.3", "27010203"},
        {"1.2.3.4", "670401020304"},
        {"1:30", "6BB054"},
        {"-$5", "71" "000000000000000000500000"},
        {"\"ab\"", "070861 62"},
        {"#{0102}", "29020102"},
    };
    for (const Case& c : cases) {
        Cell v = load_one(c.text);
        std::string expected = hex_of(hex_bytes(c.records));
        EXPECT_EQ(compact_records(v), expected) << c.text;
    }
    // the integral percent reads back exactly
    Cell one = round_trip(load_one("1%"), true, false);
    EXPECT_EQ(one.get_float(), 0.01);
}

TEST(KrobinBytes, UnboundWordsShareOneSymbol) {
    // words read back bound to the global context
    gc::Rooted blk(block_of({w("a"), w("a")}));
    EXPECT_EQ(hex_of(encoded(blk.cell, true)), "4B524F42494E0205" "01" "06" "01" "02" "00000000" "6100" "05020F000F00");
    Cell back = round_trip(blk.cell, true, false);
    ASSERT_EQ(block::length(&back), 2);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(block::at(&back, i)->data1, context::global);
        EXPECT_EQ(block::at(&back, i)->data2, uint32_t(symbol::make("a")));
    }
}

TEST(KrobinBytes, StandardLayout) {
    // [a a] of global words: the names padded to 8 bytes, words with bit 25 and their slot
    gc::Rooted blk(load("a a"));
    std::string slot = hex_of(encoded(integer(int32_t(block::at(blk.get(), 0)->data3)), false)).substr(40, 8);
    EXPECT_EQ(hex_of(encoded(blk.cell, false)), "4B524F42494E0204" "01000000" "24000000" "01000000" "08000000"
                                                 "00000000" "6100000000000000"
                                                 "05000000" "00000000" "02000000"
                                                 "0F000002" "00000000" + slot + "0F000002" "00000000" + slot);
    // a float! record starts 8-aligned in the records: one padding word here
    gc::Rooted mixed(load("1 2.5"));
    std::string b = hex_of(encoded(mixed.cell, false));
    EXPECT_EQ(b.substr(32), "05000000" "00000000" "02000000" "0B000000" "01000000" "00000000"
                            "0C000000" "00000440" "00000000");
    // text of 2-byte units: the unit in bits 8-15, the units padded to 4 bytes
    EXPECT_EQ(hex_of(encoded(load_one("\"\xC3\xA9\""), false)).substr(32), "07020000" "00000000" "01000000" "E9000000");
    // a tuple keeps its length in bits 8-15 and its 12 payload bytes
    EXPECT_EQ(hex_of(encoded(load_one("1.2.3.4"), false)).substr(32), "27040000" "01020304" "00000000" "00000000");
}

// ---- round trips -------------------------------------------------------------------------------

// Loaded from text: every value decodes to one that molds the same (in all four forms).
TEST(KrobinRoundTrip, LoadedValues) {
    const char* texts[] = {
        "#(none) #(true) #(false) #(unset) #(integer!) #(block!)",
        "0 63 64 -1 2147483647 -2147483648",
        "#\"a\" #\"^(10FFFF)\" #\"^(00)\"",
        "3.0 0.5 1e300 -0.0 1.#INF -1.#INF 1.#NaN 2147483000.0 -2147483000.0 2147483001.0 4.9e-324",
        "50% 12.345% 1% -0.5% 0%",
        "1:30:05.5 -0:00:01 100:00 0:00",
        "1-Feb-2024 2020-01-15T10:30:00+05:30 15-Jan-2020/10:30:00-08:00 29-Feb-2024/23:59:59",
        "10x20 -5x7 (1.5, 2) (1, -2.25, 3)",
        "1.2.3 1.2.3.4.5.6.7.8.9.10.11.12 255.255.255",
        "$1.23 -$5 USD$12.34567 $0",
        "#{DEADBEEF} #{} 2#{01000001}",
        "#abc a b: :c 'd /e",
        "[a [b (c)] d/e 'f/g h/i: :j/k] () []",
        "\"abc\" \"\xC3\xA9t\xC3\xA9\" \"\xF0\x9F\x98\x80\" \"\" {line^/two}",
        "%a/b.txt http://x.y/z?q=1 <a href=x> a@b.c @ref",
        "#[a: 1 \"b\" 2 c: [3 4]] #[]",
    };
    for (const char* text : texts) {
        gc::Rooted original(load(text));
        std::string want = mold_all(original.cell);
        for (int form = 0; form < 4; form++) {
            gc::Rooted back(round_trip(original.cell, form & 1, form & 2));
            EXPECT_EQ(mold_all(back.cell), want) << text << " (" << form_name(form) << ")";
            ASSERT_EQ(block::length(back.get()), block::length(original.get())) << text;
            for (int32_t i = 0; i < block::length(original.get()); i++) {
                const Cell* a = block::at(original.get(), i);
                const Cell* b = block::at(back.get(), i);
                EXPECT_EQ(a->header, b->header) << text << " item " << i;
                if (!series::is_series_value(a->type()) && !a->is(TYPE_MAP) && !a->is(TYPE_BITSET)) {
                    EXPECT_TRUE(a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3)
                        << text << " item " << i << " " << form_name(form);
                }
            }
        }
    }
}

TEST(KrobinRoundTrip, TextKeepsItsUnitAndHead) {
    for (const char* text : {"\"abc\"", "\"\xC3\xA9t\xC3\xA9\"", "\"a\xF0\x9F\x98\x80\""}) {
        gc::Rooted s(load_one(text));
        s->data1 = 1;
        for (int form = 0; form < 4; form++) {
            Cell back = round_trip(s.cell, form & 1, form & 2);
            EXPECT_EQ(memory::unit_of(back.data2), memory::unit_of(s->data2)) << text;
            EXPECT_EQ(back.data1, 1u);
            EXPECT_EQ(utf8(back), utf8(s.cell));
        }
    }
}

TEST(KrobinRoundTrip, EvaluatedValues) {
    setup();
    struct Case {
        const char* code;
        const char* check;  // evaluated on the decoded value (bound to `it`), or null to compare molds only
        const char* expected;
    } cases[] = {
        {"make hash! [a 1 b 2 c 3]", "find it 'b", "make hash! [b 2 c 3]"},
        {"make vector! [1 2 3]", nullptr, nullptr},
        {"make vector! [1.5 -2.25]", nullptr, nullptr},
        {"make object! [a: 1 b: \"x\" c: [1 2] d: none]", "it", nullptr},
        {"make object! [n: 2 twice: func [x] [x * n]]", "it/twice 21", "42"},
        {"func [x y /r z] [either r [z] [x + y]]", "it 1 2", "3"},
        {"func [n /local acc] [acc: 0 loop n [acc: acc + n] acc]", "it 4", "16"},
        {"make error! 400", nullptr, nullptr},
        {"try [1 / 0]", nullptr, nullptr},
        {":if", "it true [7]", "7"},
        {":append", "it [1] 2", "[1 2]"},
        {":+", "3 it 4", "7"},
    };
    for (const Case& c : cases) {
        gc::Rooted v(evaluated(c.code));
        std::string want = mold_all(v.cell);
        for (int form = 0; form < 4; form++) {
            gc::Rooted back(round_trip(v.cell, form & 1, form & 2));
            EXPECT_EQ(back->type(), v->type()) << c.code;
            EXPECT_EQ(mold_all(back.cell), want) << c.code << " (" << form_name(form) << ")";
            if (!c.check || !c.expected) continue;
            set_global("it", back.cell);
            EXPECT_EQ(run(c.check), c.expected) << c.code << " (" << form_name(form) << ")";
        }
    }
}

TEST(KrobinRoundTrip, OpOfAFunction) {
    setup();
    gc::Rooted fn(evaluated("func [a b] [a * 10 + b]"));
    Cell made{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_OP), 0, 0};
    native::make(&made, fn.get(), TYPE_OP);
    gc::Rooted op(made);
    for (int form = 0; form < 4; form++) {
        Cell back = round_trip(op.cell, form & 1, form & 2);
        ASSERT_TRUE(back.is(TYPE_OP));
        EXPECT_EQ(native::wrapped_type(&back), uint32_t(TYPE_FUNCTION));
        set_global("***", back);
        EXPECT_EQ(run("4 *** 2"), "42") << form_name(form);
    }
}

TEST(KrobinRoundTrip, ObjectWithChangeHandler) {
    setup();
    gc::Rooted obj(evaluated("make object! [a: 1 on-change*: func [w o n] [n]]"));
    ASSERT_NE(obj->data3, 0u);
    for (int form = 0; form < 2; form++) {
        Cell back = round_trip(obj.cell, form & 1, false);
        ASSERT_NE(back.data3, 0u) << form_name(form);
        EXPECT_EQ(object::handler_index(&back, 0), object::handler_index(obj.get(), 0));
        EXPECT_EQ(object::handler_index(&back, 1), -1);
        EXPECT_EQ(back.data2, 0xFFFFFFFFu);  // a decoded object is of no known class
    }
    // a handler slot that no longer holds a function is not claimed
    object::get_values(obj.get())[1] = none::value;
    Cell back = round_trip(obj.cell, true, false);
    EXPECT_EQ(back.data3, 0u);
}

TEST(KrobinRoundTrip, MapWritesOnlyLiveEntries) {
    setup();
    gc::Rooted m(evaluated("#[a: 1 b: 2 c: 3]"));
    Cell key = w("b");
    map::remove(m.get(), nullptr, &key);
    Cell back = round_trip(m.cell, true, false);
    EXPECT_EQ(mold_text(back, false, true), "#[a: 1 c: 3]");
    EXPECT_EQ(map::count(&back), 2);
    set_global("it", back);
    // the keys are indexed
    EXPECT_EQ(run("find it 'c"), "c");
    EXPECT_EQ(run("find it 'b"), "none");
}

TEST(KrobinRoundTrip, BitsetsAndTypesets) {
    Cell bs;
    bitset::make_at(&bs, 2, 0, false);
    bitset::ks_head(&bs)[0] = 0x81;
    gc::Rooted plain(bs);
    bitset::make_at(&bs, 1, 0, true);
    bitset::ks_head(&bs)[0] = 0x40;
    gc::Rooted complemented(bs);
    Cell ts{uint32_t(TYPE_TYPESET), 0x00102030, 0x00000001, 0};
    gc::Rooted blk(block_of({plain.cell, complemented.cell, ts}));
    for (int form = 0; form < 4; form++) {
        gc::Rooted back(round_trip(blk.cell, form & 1, form & 2));
        const Cell* b0 = block::at(back.get(), 0);
        const Cell* b1 = block::at(back.get(), 1);
        const Cell* b2 = block::at(back.get(), 2);
        EXPECT_EQ(bitset::byte_count(b0), 2u);
        EXPECT_TRUE(bitset::test_bit(b0, 0) && bitset::test_bit(b0, 7) && !bitset::test_bit(b0, 8));
        EXPECT_FALSE(bitset::complemented(b0));
        EXPECT_TRUE(bitset::complemented(b1));
        EXPECT_TRUE(bitset::test_bit(b1, 1) && !bitset::test_bit(b1, 0) && bitset::test_bit(b1, 100));
        EXPECT_TRUE(b2->data1 == ts.data1 && b2->data2 == ts.data2 && b2->data3 == ts.data3);
    }
}

TEST(KrobinRoundTrip, PackingShrinksRepetitiveData) {
    std::string text;
    for (int i = 0; i < 200; i++) text += "\"the same text again\" ";
    gc::Rooted blk(load(text));
    std::vector<uint8_t> plain = encoded(blk.cell, true), packed = encoded(blk.cell, true, true);
    EXPECT_EQ(packed[7], krobin::FLAG_COMPACT | krobin::FLAG_COMPRESSED);
    EXPECT_LT(packed.size() * 4, plain.size());
    gc::Rooted back(decoded(packed));
    EXPECT_EQ(mold_all(back.cell), mold_all(blk.cell));
    // too short to pack: the flag stays clear
    EXPECT_EQ(encoded(integer(5), true, true)[7], krobin::FLAG_COMPACT);
}

TEST(KrobinRoundTrip, SurvivesACollection) {
    setup();
    gc::Rooted v;
    block::make_at(v.get(), 3);
    for (const char* code : {"make object! [a: \"text\" b: [1 2 3]]", "func [x] [x + 1]", "make hash! [k v]"}) {
        Cell item = evaluated(code);
        block::ks_append(v.get(), &item);
    }
    std::vector<uint8_t> bytes = encoded(v.cell, true);
    gc::Rooted back(decoded(bytes));
    collector::collect();
    collector::collect();
    EXPECT_EQ(mold_all(back.cell), mold_all(v.cell));
    set_global("it", back.cell);
    EXPECT_EQ(run("it/2 41"), "42");
}

// ---- shared series, cycles, contexts -----------------------------------------------------------

TEST(KrobinSharing, ABlockThatHoldsItself) {
    setup();
    gc::Rooted b(evaluated("append/only copy [1 2] []"));
    block::ks_append(b.get(), b.get());  // [1 2 [] <itself>]
    std::vector<uint8_t> bytes = encoded(b.cell, true);
    // the inner occurrence is a reference to the root: C1 05 then the path [0]
    EXPECT_NE(hex_of(bytes).find("C1050100"), std::string::npos);
    for (int form = 0; form < 4; form++) {
        Cell back = round_trip(b.cell, form & 1, form & 2);
        ASSERT_EQ(block::length(&back), 4);
        EXPECT_EQ(block::at(&back, 3)->data2, back.data2) << form_name(form);
        EXPECT_NE(block::at(&back, 2)->data2, back.data2);
    }
}

TEST(KrobinSharing, OneStringTwiceWithItsOwnHeads) {
    gc::Rooted s(text("hello"));
    Cell later = s.cell;
    later.data1 = 2;
    gc::Rooted blk(block_of({s.cell, later, text("hello")}));
    for (int form = 0; form < 4; form++) {
        Cell back = round_trip(blk.cell, form & 1, form & 2);
        const Cell* a = block::at(&back, 0);
        const Cell* b = block::at(&back, 1);
        const Cell* c = block::at(&back, 2);
        EXPECT_EQ(a->data2, b->data2) << form_name(form);
        EXPECT_NE(a->data2, c->data2);
        EXPECT_EQ(a->data1, 0u);
        EXPECT_EQ(b->data1, 2u);
    }
}

TEST(KrobinSharing, ObjectsFunctionsAndBoundWords) {
    setup();
    gc::Rooted obj(evaluated("make object! [a: 10 b: [x y]]"));
    gc::Rooted fn(evaluated("func [n] [n + 1]"));
    // a word bound to the object comes before the object; the function twice
    Cell bound = word_in(obj->data1, "a");
    gc::Rooted blk(block_of({bound, obj.cell, fn.cell, obj.cell, fn.cell}));
    for (int form = 0; form < 4; form++) {
        gc::Rooted back(round_trip(blk.cell, form & 1, form & 2));
        const Cell* word = block::at(back.get(), 0);
        const Cell* o1 = block::at(back.get(), 1);
        EXPECT_EQ(word->data1, o1->data1) << form_name(form);
        EXPECT_EQ(block::at(back.get(), 3)->data1, o1->data1);
        EXPECT_EQ(block::at(back.get(), 2)->data1, block::at(back.get(), 4)->data1);
        EXPECT_NE(o1->data1, obj->data1);  // a new object, not the original
        EXPECT_EQ(word::value_cell(word)->data2, 10u);
        set_global("it", back.cell);
        EXPECT_EQ(run("it/3 1"), "2");
    }
}

TEST(KrobinSharing, AnObjectThatHoldsItself) {
    setup();
    gc::Rooted obj(evaluated("make object! [me: none tag: \"t\"]"));
    *object::get_values(obj.get()) = obj.cell;
    for (int form = 0; form < 2; form++) {
        Cell back = round_trip(obj.cell, form & 1, false);
        EXPECT_EQ(object::get_values(&back)->data1, back.data1) << form_name(form);
    }
}

TEST(KrobinSharing, AFunctionBodyReachesItsFunction) {
    setup();
    // the body holds the function itself (through a word bound to an object holding it)
    gc::Rooted holder(evaluated("make object! [f: none]"));
    gc::Rooted fn(evaluated("func [n] [either n < 1 [0] [n + self-call n - 1]]"));
    // self-call: a word in the body bound to the holder object, whose f is the function
    Cell* body = memory::buffer_of(fn->data3)->cells();
    gc::Rooted b(body[function::BODY]);
    Cell call = word_in(holder->data1, "f");
    *object::get_values(holder.get()) = fn.cell;
    // replace the global word self-call in the body by the bound word
    Cell* inner = block::at(b.get(), 5);  // the false branch
    for (int32_t i = 0; i < block::length(inner); i++)
        if (block::at(inner, i)->is(TYPE_WORD) &&
            symbol::same_word(int32_t(block::at(inner, i)->data2), symbol::make("self-call")))
            *block::at(inner, i) = call;
    for (int form = 0; form < 4; form++) {
        Cell back = round_trip(fn.cell, form & 1, form & 2);
        set_global("it", back);
        EXPECT_EQ(run("it 4"), "10") << form_name(form);
    }
}

TEST(KrobinSharing, ThroughNativesOpsAndErrors) {
    setup();
    gc::Rooted native_if(global("if"));
    gc::Rooted fn(evaluated("func [a b] [a - b]"));
    Cell made{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_OP), 0, 0};
    native::make(&made, fn.get(), TYPE_OP);
    gc::Rooted op(made);
    gc::Rooted err(evaluated("make error! 400"));
    gc::Rooted shared(load("x y"));
    *error::field(err.get(), error::ARG2) = shared.cell;
    // a native twice (its spec once), an op then the function it wraps, a block
    // first met inside an error
    Cell body = memory::buffer_of(fn->data3)->cells()[function::BODY];
    gc::Rooted blk(block_of({native_if.cell, native_if.cell, op.cell, fn.cell, err.cell, shared.cell, body}));
    for (int form = 0; form < 4; form++) {
        gc::Rooted back(round_trip(blk.cell, form & 1, form & 2));
        const Cell* c = block::at(back.get(), 0);
        EXPECT_EQ(c[0].data2, c[1].data2) << "one spec, " << form_name(form);
        EXPECT_TRUE(c[2].is(TYPE_OP) && c[3].is(TYPE_FUNCTION));
        EXPECT_EQ(c[2].data1, c[3].data1) << "the op's function is the function";
        EXPECT_EQ(error::field(&c[4], error::ARG2)->data2, c[5].data2) << "the error's argument is the block";
        EXPECT_EQ(memory::buffer_of(c[3].data3)->cells()[function::BODY].data2, c[6].data2) << "the body";
        set_global("it", back.cell);
        EXPECT_EQ(run("do [f: pick it 4 f 50 8]"), "42");
    }
}

TEST(KrobinSharing, AHashMetFirstAsABlockIsWrittenAgain) {
    setup();
    gc::Rooted h(evaluated("make hash! [a 1 b 2]"));
    Cell view = h.cell;
    view.header = TYPE_BLOCK;
    view.data3 = 0;
    // a hash! reference could not bring its table back from a block!: the hash
    // is written in full; the other way round the block shares the hash's series
    gc::Rooted first_block(block_of({view, h.cell}));
    gc::Rooted first_hash(block_of({h.cell, view}));
    for (int form = 0; form < 4; form++) {
        gc::Rooted a(round_trip(first_block.cell, form & 1, form & 2));
        const Cell* ca = block::at(a.get(), 0);
        EXPECT_NE(ca[0].data2, ca[1].data2);
        set_global("it", ca[1]);
        EXPECT_EQ(run("find it 'b"), "make hash! [b 2]") << form_name(form);
        gc::Rooted b(round_trip(first_hash.cell, form & 1, form & 2));
        const Cell* cb = block::at(b.get(), 0);
        EXPECT_EQ(cb[0].data2, cb[1].data2);
        EXPECT_TRUE(cb[1].is(TYPE_BLOCK));
    }
}

// ---- the symbol table ----------------------------------------------------------------------------

TEST(KrobinSymbols, EachSpellingOnceInOrder) {
    gc::Rooted blk(load("alpha Beta alpha beta #gamma 'alpha"));
    std::vector<uint8_t> bytes = encoded(blk.cell, true);
    std::string s(bytes.begin(), bytes.end());
    // four names: alpha, Beta, beta, gamma (case variants are distinct spellings)
    EXPECT_EQ(bytes[10], 4);
    EXPECT_NE(s.find(std::string("alpha\0Beta\0beta\0gamma\0", 22)), std::string::npos);
    gc::Rooted back(decoded(bytes));
    EXPECT_EQ(mold_all(back.cell), mold_all(blk.cell));
    EXPECT_EQ(block::at(back.get(), 1)->data2, block::at(blk.get(), 1)->data2);  // the exact spelling
}

TEST(KrobinSymbols, TableChecks) {
    std::string head = "4B524F42494E0205";
    EXPECT_EQ(decode_error(hex_bytes(head + "01 02 01 02 00000000 6100 0F01")), "script/kb-invalid-record 20");
    EXPECT_EQ(decode_error(hex_bytes(head + "01 02 01 02 02000000 6100 0F00")), "script/kb-invalid-record 20");
    EXPECT_EQ(decode_error(hex_bytes(head + "01 02 01 02 00000000 6161 0F00")), "script/kb-invalid-record 18");
    EXPECT_EQ(decode_error(hex_bytes(head + "01 02 03 02 00000000 6100 0F00")), "script/kb-invalid-record 11");
    EXPECT_EQ(decode_error(hex_bytes(head + "01 02 01 01 00000000 00 0F00")), "script/kb-invalid-record 19");
    // a word without a symbol table
    EXPECT_EQ(decode_error(hex_bytes("4B524F42494E0201 01 02 0F00")), "script/kb-invalid-record 12");
    // one name twice in a context (in any letter case) is refused
    EXPECT_EQ(decode_error(hex_bytes(head + "01 05 02 04 00000000 02000000 6100 4100 0E 02 02 00 01")),
              "script/kb-invalid-record 25");
}

// ---- malformed input -----------------------------------------------------------------------------

TEST(KrobinMalformed, CompactCases) {
    const std::string h = "4B524F42494E0201";  // compact, no symbols
    struct Case {
        const char* bytes;
        const char* error;
    } cases[] = {
        {"4B524F42494E0701 01 01 85", ""},  // any version byte is read
        {"4B524F42494F0201 01 01 85", "script/invalid-data"},
        {"4B524F42494E02", "script/invalid-data"},
        {"4B524F42494E0203 0000000000", "script/invalid-data"},  // packed data that does not unpack
        {"01 02 C4 0F", "script/kb-invalid-record 11"},           // global set outside the boot data
        {"01 02 67 00", "script/kb-invalid-record 12"},           // tuple of 0 bytes
        {"01 0F 67 0D 01020304050607080910111213", "script/kb-invalid-record 12"},
        {"01 02 FF 00", "script/kb-invalid-record 12"},           // a path of no index
        {"01 06 05 01 FF 02 00 05", "script/kb-invalid-record 14"},  // an index past the tail
        {"01 06 0B FFFFFFFF10", "script/kb-invalid-record 12"},    // a varint's fifth byte too big
        {"01 03 0E 00 7F", "script/kb-invalid-record 13"},         // more words than bytes
        {"01 06 05 FFFFFFFF0F", "script/kb-invalid-record 12"},    // more items than bytes
        {"01 06 07 FCFFFFFF0F", "script/kb-invalid-record 12"},    // a text longer than the data
        {"01 02 07 03", "script/kb-invalid-record 12"},            // unit code 3
        {"01 02 01 7F", "script/kb-invalid-record 12"},            // no such datatype
        {"01 04 0A 808044", "script/kb-invalid-record 12"},        // beyond the last code point
        {"01 03 C1 0B 02", "script/kb-invalid-record 12"},         // a reference to an integer
        {"01 01 00", "script/kb-invalid-record 11"},               // type code 0
        {"01 01 C5", "script/kb-invalid-record 11"},
        {"01 02 3F 0D", "script/kb-invalid-record 11"},            // symbol! by the escape form
        {"01 02 3F 37", "script/kb-invalid-record 11"},            // an unknown code
        {"01 01 1D", "access/no-codec"},                           // routine!
        {"01 01 2E", "access/no-codec"},                           // handle!
        {"01 02 05 01", "script/kb-invalid-record 12"},            // the data ends inside a block
        {"01 09 85", "script/kb-invalid-record 10"},               // payload larger than the data
        {"01 05 2F 00008000", "script/kb-invalid-record 12"},      // date: month 0
        {"01 05 2F 002FD00F", "script/kb-invalid-record 12"},      // date: 30 February
        {"01 0D 31 00 0A 00000000000000000000", "script/kb-invalid-record 12"},  // money: digit 10
        {"01 03 28 01 85", "script/kb-invalid-record 12"},         // map: odd cell count
        {"01 04 28 02 03 85", "script/kb-invalid-record 13"},      // map: none! is no key
        {"01 07 23 2A 01 41000000", ""},                           // a char! vector of one 4-byte element
        {"01 03 23 2F 00", "script/kb-invalid-record 12"},         // integer! elements of 8 bytes
    };
    for (const Case& c : cases) {
        std::string text = c.bytes;
        if (text.rfind("4B524F", 0) != 0) text = h + text;
        std::vector<uint8_t> bytes = hex_bytes(text);
        std::string got = decode_error(bytes);
        if (got.rfind("script/invalid-data", 0) == 0) got = "script/invalid-data";
        if (got.rfind("access/no-codec", 0) == 0) got = "access/no-codec";
        EXPECT_EQ(got, c.error) << c.bytes;
    }
}

TEST(KrobinMalformed, NewLinePrefix) {
    Cell v = decoded(hex_bytes("4B524F42494E0201 01 02 C0 85"));
    EXPECT_TRUE(v.is(TYPE_INTEGER));
    EXPECT_EQ(v.data2, 5u);
    EXPECT_TRUE(v.header & FLAG_NEW_LINE);
}

TEST(KrobinMalformed, StandardCases) {
    const std::string h = "4B524F42494E0200 01000000";
    struct Case {
        const char* bytes;
        const char* error;
    } cases[] = {
        {"04000000 37000000", "script/kb-invalid-record 17"},  // an unknown type code, no loop
        {"08000000 00000000 0B000000", "script/kb-invalid-record 25"},  // padding, then a cut record
        {"08000000 00000000 00000000", ""},                      // padding only
        {"04000000 04000000", "script/kb-invalid-record 21"},  // logic! without its word
        {"08000000 04000000 02000000", "script/kb-invalid-record 21"},
        {"0C000000 07050000 00000000 00000000", "script/kb-invalid-record 17"},  // unit 5
        {"0C000000 FF000000 01000000 09000000", "script/kb-invalid-record 21"},  // path [9]
        {"0C000000 05000000 01000000 00000000", "script/kb-invalid-record 25"},  // head past the cells
        {"08000000 0E000000 00000000", ""},                      // a context record: an empty object
        {"08000000 0E000020 00000000", "script/kb-invalid-record 17"},  // on the stack
        {"", "script/invalid-data"},                              // no room for the layout header
    };
    for (const Case& c : cases) {
        std::string text = std::string(c.bytes).empty() ? "4B524F42494E0200 01000000" : h + c.bytes;
        std::string got = decode_error(hex_bytes(text));
        if (got.rfind("script/invalid-data", 0) == 0) got = "script/invalid-data";
        EXPECT_EQ(got, c.error) << c.bytes;
    }
}

TEST(KrobinMalformed, TheOutputStaysAsItWas) {
    gc::Rooted blk(load("keep me"));
    // a block is appended and filled before the fault in its second item
    std::vector<uint8_t> bytes = hex_bytes("4B524F42494E0201 01 05 85 05 02 85 7E");
    EXPECT_EQ(raised([&] { krobin::decode(bytes.data(), bytes.size(), blk.get()); }), "script/kb-invalid-record");
    EXPECT_EQ(mold_all(blk.cell), "[keep me]");
}

TEST(KrobinMalformed, ReferencesMustMatchTheirSeries) {
    // a string! reference to a block's series, a hash! to a block's: refused
    const std::string h = "4B524F42494E0201";
    EXPECT_EQ(decode_error(hex_bytes(h + "01 07 05 02 85 C1 07 01 00")).substr(0, 24), "script/kb-invalid-record");
    EXPECT_EQ(decode_error(hex_bytes(h + "01 07 05 02 85 C1 24 01 00")).substr(0, 24), "script/kb-invalid-record");
    // a paren on the block's series is fine
    Cell v = decoded(hex_bytes(h + "01 07 05 02 85 C1 06 01 00"));
    EXPECT_EQ(block::at(&v, 1)->data2, v.data2);
}

// Functions, natives, ops, errors, handlers and bound words are checked as
// their makers check them: a value decoded is one the runtime could make.
TEST(KrobinMalformed, MadeValuesAreChecked) {
    setup();
    const std::string corrupt = "script/kb-invalid-record";
    struct Case {
        std::vector<std::string> names;
        const char* records;
        bool good;
    } cases[] = {
        {{"a", "b"}, "18 01 00 0E 05 01 00 05 01 0F 00 05 00", true},   // func [a] []
        {{"a", "b"}, "18 01 00 0E 05 01 00 05 01 0F 01 05 00", false},  // spec [b], context [a]
        {{"a"}, "18 00 00 0E 05 01 00 05 00 05 00", false},            // spec [], context [a]
        {{"a"}, "18 01 00 0E 05 00 05 01 81 05 00", false},            // spec [1]
        {{"a"}, "18 00 00 0E 01 00 05 00 05 00", false},               // a context not on the stack
        {{"a"}, "18 00 00 0E 06 00 05 00 05 00", false},               // an object's context
        {{"x"}, "15 6C 05 01 0F 00", false},                           // if, with a spec of its own
        {{"x"}, "15 C801 05 00", false},                               // no such native
        {{"x"}, "17 85", false},                                       // an op of an integer
        {{"x"}, "22 8F4E", false},                                     // no error of code 9999
        {{"x"}, "22 9003 03 03 03 03 03 03", true},                    // make error! 400
        {{"on-change*"}, "60 01 00 01 0E 12 01 00 85", false},         // a handler slot holding 5
        {{"a"}, "4F 00 0A 20 01 0E 12 01 00 85", false},               // a bound word past its context
        {{"a"}, "4F 00 00 20 01 0E 12 01 00 85", true},                // a bound word, its object inline
        {{"a"}, "4F 00 00 21", false},                                 // inline: neither object nor function
    };
    for (const Case& c : cases) {
        std::string e = decode_error(compact_file(c.names, c.records));
        if (c.good) EXPECT_EQ(e, "") << c.records;
        else EXPECT_EQ(e.substr(0, corrupt.size()), corrupt) << c.records;
    }
    Cell word = decoded(compact_file({"a"}, "4F 00 00 20 01 0E 12 01 00 85"));
    EXPECT_EQ(word::value_cell(&word)->data2, 5u);
}

TEST(KrobinMalformed, PathsStartAtTheFirstValueDecoded) {
    // a block that holds itself, decoded after two values already in the block
    gc::Rooted blk(load("old values"));
    std::vector<uint8_t> bytes = hex_bytes("4B524F42494E0201 01 07 05 02 85 C1 05 01 00");
    krobin::decode(bytes.data(), bytes.size(), blk.get());
    ASSERT_EQ(block::length(blk.get()), 3);
    const Cell* self = block::at(blk.get(), 2);
    EXPECT_EQ(block::at(self, 1)->data2, self->data2);
}

TEST(KrobinMalformed, DecodeBinaryEntry) {
    gc::Rooted out;
    gc::Rooted short_bin(binary::of_bytes(hex_bytes("4B524F42494E02010101")));
    EXPECT_EQ(raised([&] { krobin::decode_binary(short_bin.get(), out.get()); }), "script/invalid-data");
    gc::Rooted one(binary::of_bytes(hex_bytes("4B524F42494E0201010185")));
    krobin::decode_binary(one.get(), out.get());
    EXPECT_EQ(mold_all(out.cell), "5");
    gc::Rooted two(binary::of_bytes(hex_bytes("4B524F42494E020101028586")));
    krobin::decode_binary(two.get(), out.get());
    EXPECT_EQ(mold_all(out.cell), "[5 6]");
}

// ---- what has no encoding, nesting -----------------------------------------------------------------

TEST(KrobinLimits, TypesWithoutEncoding) {
    Cell handle{uint32_t(TYPE_HANDLE), 0, 1, 0};
    gc::Rooted blk(block_of({integer(1), text("x"), handle}));
    EXPECT_EQ(raised([&] { encoded(blk.cell, true); }), "access/no-codec");
    EXPECT_EQ(raised([&] { encoded(blk.cell, false); }), "access/no-codec");
    // nothing of the failed encoding is left for the next one
    gc::Rooted s(text("x"));
    gc::Rooted pair_blk(block_of({s.cell, s.cell}));
    EXPECT_EQ(hex_of(encoded(pair_blk.cell, true)).substr(20), "0502070478C107020000");
}

TEST(KrobinLimits, NestingIsBounded) {
    gc::Rooted deep;
    block::make_at(deep.get(), 1);
    Cell inner = deep.cell;
    for (int i = 0; i < krobin::MAX_DEPTH - 1; i++) {
        Cell next;
        block::make_at(&next, 1);
        *block::add_cell(&inner) = next;
        inner = next;
    }
    std::vector<uint8_t> ok = encoded(deep.cell, true);  // MAX_DEPTH levels: fine
    EXPECT_EQ(decode_error(ok), "");
    block::make_at(block::add_cell(&inner), 1);  // one more
    EXPECT_EQ(raised([&] { encoded(deep.cell, true); }), "internal/too-deep");
    // the reader's bound, on input no writer made
    std::vector<uint8_t> bytes = hex_bytes("4B524F42494E0201");
    bytes.push_back(1);
    uint32_t n = 200000;
    std::vector<uint8_t> payload;
    for (uint32_t i = 0; i < n; i++) {
        payload.push_back(0x05);
        payload.push_back(0x01);
    }
    uint32_t size = uint32_t(payload.size());
    while (size >= 0x80) {
        bytes.push_back(uint8_t(size | 0x80));
        size >>= 7;
    }
    bytes.push_back(uint8_t(size));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    EXPECT_EQ(decode_error(bytes), "internal/too-deep");
}

// ---- image! ------------------------------------------------------------------------------------------

TEST(KrobinImage, PixelsHeadAndSharing) {
    // 2 x 1 pixels given as stored (B, G, R, A), the head on the second
    gc::Rooted img;
    image::make_from_pixels(img.get(), 2, 1, hex_bytes("0102030405060708").data());
    img.get()->data1 = 1;
    EXPECT_EQ(compact_records(*img.get()), "750102010102030405060708");  // head, width, height, pixels
    gc::Rooted blk(block_of({*img.get(), *img.get()}));
    for (int form = 0; form < 4; form++) {
        Cell back = round_trip(blk.cell, form & 1, form & 2);
        const Cell* a = block::at(&back, 0);
        const Cell* b = block::at(&back, 1);
        ASSERT_TRUE(a->is(TYPE_IMAGE)) << form_name(form);
        EXPECT_EQ(image::width_of(a), 2);
        EXPECT_EQ(image::height_of(a), 1);
        EXPECT_EQ(a->data1, 1u);
        EXPECT_EQ(a->data2, b->data2) << "written once";
        uint32_t w, h;
        std::vector<uint8_t> px;
        ASSERT_TRUE(image::whole_pixels(a, &w, &h, &px));
        EXPECT_EQ(hex_of(px), "0102030405060708") << form_name(form);
    }
    // a hand-written record: 1 x 1 pixel; an image without pixels
    Cell one = decoded(hex_bytes("4B524F42494E0201 01 07 35 01 01 01020304"));
    ASSERT_TRUE(one.is(TYPE_IMAGE));
    EXPECT_EQ(image::pixel_count(&one), 1);
    gc::Rooted empty;
    image::make_from_pixels(empty.get(), 0, 0, nullptr);
    Cell none_back = round_trip(*empty.get(), false, false);
    EXPECT_EQ(image::pixel_count(&none_back), 0);
}

// ---- boot mode ---------------------------------------------------------------------------------------

TEST(KrobinBoot, GlobalSetsBoundWordsAndLiterals) {
    // symbols: krobin-boot-x, a; records: C4 set-word krobin-boot-x, 42; an object
    // of class 500 with a: 7; a bound word a by the object's position (0) and index -1
    std::string names = "6B726F62696E2D626F6F742D7800" "6100";
    std::string records = "C4 10 00 AA"             // krobin-boot-x: 42
                          "20 E807 0E 12 01 01 87"  // object class 500, [a: 7]
                          "4F 01 00 01";            // word a bound to kept value 0, index -1
    std::vector<uint8_t> r = hex_bytes(records);
    std::vector<uint8_t> bytes = hex_bytes("4B524F42494E0105 01");
    bytes.push_back(uint8_t(r.size()));
    std::vector<uint8_t> tail = hex_bytes("02 10 00000000 0E000000" + names);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    bytes.insert(bytes.end(), r.begin(), r.end());
    int32_t before = block::length(&runtime::root);
    krobin::load(bytes.data(), bytes.size(), false);
    EXPECT_TRUE(krobin::codec_q());
    EXPECT_EQ(mold_all(global("krobin-boot-x")), "42");
    ASSERT_EQ(block::length(&runtime::root), before + 2);  // the set pair is gone
    ASSERT_EQ(krobin::boot_literal_count(), 2);
    const Cell* obj = krobin::boot_literal(0);
    const Cell* word = krobin::boot_literal(1);
    ASSERT_TRUE(obj->is(TYPE_OBJECT));
    EXPECT_EQ(obj->data2, 500u);  // boot objects keep their class
    EXPECT_EQ(word->data1, obj->data1);
    EXPECT_EQ(word::value_cell(word)->data2, 7u);
    EXPECT_EQ(krobin::boot_literal(2), nullptr);
    // C4 stays refused in codec data
    EXPECT_EQ(decode_error(bytes).substr(0, 24), "script/kb-invalid-record");
}

TEST(KrobinBootDeathTest, BadBootDataEndsTheProcess) {
    std::vector<uint8_t> bad = hex_bytes("4E4F5420414C4C00");
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            krobin::load(bad.data(), bad.size(), true);
        },
        ::testing::ExitedWithCode(1), "Error: Not a Krobin file!");
    std::vector<uint8_t> packed = hex_bytes("4B524F42494E0203 FFFF");
    EXPECT_EXIT(
        {
            KRO_STDOUT_TO_STDERR();
            krobin::load(packed.data(), packed.size(), true);
        },
        ::testing::ExitedWithCode(1), "Error: Krobin compressed data corrupted!");
}

// ---- fuzz-style --------------------------------------------------------------------------------------

// Random bytes and mutations of real encodings: the reader raises only the
// format's errors, never crashes, and what it decodes can be molded and
// written again.
TEST(KrobinFuzz, RandomAndMutatedInputRaiseOnlyTheFormatsErrors) {
    setup();
    gc::Rooted sample(load("1 -70 2.5 50% 1:30 1-Feb-2024/10:00 \"t\xC3\xA9xt\" %f <t> #{00FF} 3x4 1.2.3 $1 #i 'w /r "
                           "[a (b) c/d] #[k: 1] #(none) #(true)"));
    for (const char* code : {"make hash! [x y]", "make vector! [1 2]", "make object! [o: 1 p: [2] q: func [a] [a + o]]",
                             "func [a] [a]", "make error! 300", ":if", ":+"}) {
        Cell item = evaluated(code);
        block::ks_append(sample.get(), &item);
    }
    block::ks_append(sample.get(), sample.get());
    std::vector<std::vector<uint8_t>> seeds;
    for (int form = 0; form < 4; form++) seeds.push_back(encoded(sample.cell, form & 1, form & 2));
    std::mt19937 rng(20240607);
    auto allowed = [](const std::string& e) {
        return e.empty() || e.rfind("script/kb-invalid-record", 0) == 0 || e.rfind("script/invalid-data", 0) == 0 ||
               e.rfind("access/no-codec", 0) == 0 || e.rfind("internal/too-deep", 0) == 0;
    };
    // a fixed number of inputs, not a time budget: the same inputs on a busy machine
    int decoded_ok = 0;
    for (int run = 0; run < 1500; run++) {
        std::vector<uint8_t> input;
        uint32_t kind = rng() % 8;
        if (kind == 0) {
            input = hex_bytes("4B524F42494E02");
            input.push_back(uint8_t(rng() % 8));
            for (uint32_t n = rng() % 64; n > 0; n--) input.push_back(uint8_t(rng()));
        } else {
            input = seeds[rng() % seeds.size()];
            for (uint32_t m = 1 + rng() % 4; m > 0; m--) {
                size_t at = 8 + rng() % (input.size() - 8);
                switch (rng() % 4) {
                    case 0: input[at] = uint8_t(rng()); break;
                    case 1: input[at] ^= uint8_t(1u << (rng() % 8)); break;
                    case 2: input.erase(input.begin() + long(at)); break;
                    default: input.insert(input.begin() + long(at), uint8_t(rng())); break;
                }
                if (input.size() <= 9) break;
            }
        }
        gc::Rooted blk;
        block::make_at(blk.get(), 1);
        std::string e = raised([&] { krobin::decode(input.data(), input.size(), blk.get()); });
        ASSERT_TRUE(allowed(e)) << e << " from " << hex_of(input);
        if (!e.empty()) {
            EXPECT_EQ(block::length(blk.get()), 0);
            continue;
        }
        decoded_ok++;
        mold_text(blk.cell, false, false, 2000);
        std::string again = raised([&] {
            std::vector<uint8_t> b = encoded(blk.cell, rng() & 1);
            gc::Rooted blk2;
            block::make_at(blk2.get(), 1);
            krobin::decode(b.data(), b.size(), blk2.get());
        });
        EXPECT_TRUE(again.empty() || again == "internal/too-deep") << again << " re-encoding " << hex_of(input);
    }
    EXPECT_GT(decoded_ok, 10);
}

}  // namespace
}  // namespace kro
