#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/block.hpp"
#include "foundation/mold.hpp"

using namespace kro;
using namespace kro::testing_blocks;

namespace {

// A type id that no datatype registers: a value with no action at all.
constexpr Type NO_ACTIONS = Type(55);

// string! with a plain form (its characters) while the real datatype is not
// registered yet: enough to put text that ends in a line break into a block.
class ScratchText {
public:
    ScratchText() {
        if (!datatype::registered(TYPE_STRING)) {
            ActionList a;
            a.set<A_FORM>(&form);
            datatype::register_type(TYPE_STRING, 0, "string!", a);
            own_ = true;
        }
    }
    ~ScratchText() {
        if (own_) datatype::forget(TYPE_STRING);
    }

private:
    static int32_t form(Cell* v, Cell* buffer, Cell*, int32_t limit) {
        return limit - string::append_string(buffer, v);
    }
    bool own_ = false;
};

// A block nested n deep: [[[...[]...]]].
Cell nest(int n) {
    Cell b = block_of({});
    for (int i = 1; i < n; i++) b = block_of({b});
    return b;
}

}  // namespace

TEST(Mold, BlocksWithLineBreaksIndentationOnlyAndFlat) {
    Cell inner = block_of({nl(w("b")), w("c")});
    struct Case {
        const char* name;
        Cell value;
        bool only, flat;
        const char* expected;
    } cases[] = {
        {"plain", block_of({w("a"), w("b"), w("c")}), false, false, "[a b c]"},
        {"empty", block_of({}), false, false, "[]"},
        {"nested", block_of({w("a"), block_of({w("b"), w("c")}), w("d")}), false, false, "[a [b c] d]"},
        {"first flagged", block_of({nl(w("a")), nl(w("b"))}), false, false, "[\n    a\n    b\n]"},
        {"later flagged only", block_of({w("a"), nl(w("b"))}), false, false, "[a\nb]"},
        {"nested breaks indent deeper", block_of({nl(w("a")), nl(inner)}), false, false,
         "[\n    a\n    [\n        b c\n    ]\n]"},
        {"flat writes no breaks", block_of({nl(w("a")), nl(inner)}), false, true, "[a [b c]]"},
        {"only drops the brackets", block_of({w("a"), block_of({w("b")})}), true, false, "a [b]"},
        {"only: no break before the first", block_of({nl(w("a")), nl(w("b"))}), true, false, "a\nb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t budget = 0;
        std::string text = mold_text(c.value, c.only, c.flat, -1, &budget);
        EXPECT_EQ(text, c.expected);
        // without /part every character written (a line feed and each blank included) costs one
        EXPECT_EQ(int64_t(budget), int64_t(mold::NO_LIMIT) - int64_t(text.size()));
    }
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(Mold, PartBudgetStopsTheWalkAtEveryLevel) {
    Cell abcd = block_of({w("a"), w("b"), w("c"), w("d")});
    struct Case {
        Cell value;
        int32_t part;
        const char* written;
        int32_t left;
    } cases[] = {
        // "[" 4, a 3, " b" 1, " c" -1, then the walk stops and "]" -2
        {abcd, 5, "[a b c]", -2},
        {abcd, 100, "[a b c d]", 91},
        {abcd, 1, "[]", -1},
        {block_of({block_of({w("a"), w("b"), w("c")}), w("d")}), 4, "[[a b]]", -3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.part);
        int32_t left = 0;
        EXPECT_EQ(mold_text(c.value, false, false, c.part, &left), c.written);
        EXPECT_EQ(left, c.left);
    }
    int32_t left = 0;
    EXPECT_EQ(form_text(abcd, 3, &left), "a b");
    EXPECT_EQ(left, 0);
}

TEST(Form, NoBracketsAtAnyDepthAndNoBlankAfterALineBreak) {
    EXPECT_EQ(form_text(block_of({w("a"), block_of({w("b"), w("c")}), nl(w("d"))})), "a b c d");
    EXPECT_EQ(form_text(block_of({})), "");
    ScratchText texts;
    Cell lines = block_of({text("x\n"), w("y"), text("z\t"), w("u"), text("v\r"), block_of({w("t")})});
    EXPECT_EQ(form_text(lines), "x\ny z\tu v\rt");
    EXPECT_EQ(form_text(block_of({text(""), w("a")})), " a") << "an empty output is not a line break";
}

TEST(Mold, ABlockInsideItselfMoldsAndFormsAsAMarker) {
    Cell b = block_of({w("a")});
    block::ks_append(&b, &b);
    EXPECT_EQ(mold_text(b), "[a [...]]");
    EXPECT_EQ(form_text(b), "a ...");
    Cell outer = block_of({b, w("z")});
    EXPECT_EQ(mold_text(outer), "[[a [...]] z]");
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(Mold, CycleMarkersByContainerType) {
    struct Case {
        Type type;
        bool by_context;
        const char* mold;
    } cases[] = {
        {TYPE_BLOCK, false, "[...]"}, {TYPE_HASH, false, "[...]"},     {TYPE_PAREN, false, "(...)"},
        {TYPE_MAP, false, "#[...]"},  {TYPE_PATH, false, "..."},       {TYPE_SET_PATH, false, "..."},
        {TYPE_OBJECT, true, "make object! [...]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.type));
        uint32_t node = 0x4242;
        Cell v{uint32_t(c.type), c.by_context ? node : 0u, c.by_context ? 0u : node, 0};
        Cell buf = text("");
        int32_t limit = 100;
        EXPECT_FALSE(mold::cycle_mark(&v, &buf, &limit, true)) << "not being walked: nothing written";
        EXPECT_EQ(limit, 100);
        mold::CycleEntry walking(node);
        EXPECT_TRUE(mold::cycle_mark(&v, &buf, &limit, true));
        EXPECT_EQ(utf8(buf), c.mold);
        EXPECT_EQ(limit, 100 - int32_t(std::strlen(c.mold)));
        Cell formed = text("");
        EXPECT_TRUE(mold::cycle_mark(&v, &formed, &limit, false));
        EXPECT_EQ(utf8(formed), "...");
    }
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(Mold, NestingTooDeepRaisesAndEmptiesTheCycleStack) {
    EXPECT_EQ(raised([] { mold_text(nest(mold::CYCLE_CAPACITY - 1)); }), "") << "999 levels fit";
    EXPECT_EQ(raised([] { mold_text(nest(mold::CYCLE_CAPACITY)); }), "internal/too-deep");
    EXPECT_EQ(mold::cycle_depth(), 0);
    EXPECT_EQ(mold_text(block_of({w("a"), block_of({w("b")})})), "[a [b]]");
}

TEST(Mold, AnErrorRaisedWhileMoldingLeavesNoStaleEntry) {
    // a cell of a type that has no mold makes the walk raise half-way
    Cell b = block_of({w("a"), Cell{uint32_t(NO_ACTIONS), 0, 0, 0}});
    Cell outer = block_of({b});
    ASSERT_FALSE(datatype::registered(NO_ACTIONS)) << "the fixture needs a type without actions";
    EXPECT_EQ(raised([&] { mold_text(outer); }), "script/expect-arg");
    EXPECT_EQ(mold::cycle_depth(), 0);
    block::ks_remove_last(&b);
    EXPECT_EQ(mold_text(outer), "[[a]]") << "not \"[...]\" from a leftover entry";
}

TEST(MoldHelpers, CycleStackOperationsAndGuards) {
    mold::cycle_reset();
    mold::cycle_push(10);
    mold::cycle_push(20);
    mold::cycle_push(30);
    EXPECT_TRUE(mold::cycle_find(20));
    EXPECT_FALSE(mold::cycle_find(40));
    mold::cycle_drop(2);
    EXPECT_EQ(mold::cycle_depth(), 1);
    EXPECT_FALSE(mold::cycle_find(20));
    mold::cycle_drop(5);
    mold::cycle_pop();
    EXPECT_EQ(mold::cycle_depth(), 0) << "dropping and popping never go below empty";

    EXPECT_EQ(raised([] {
                  mold::CycleGuard guard;
                  mold::cycle_push(1);
                  mold::cycle_push(2);
                  fire("script", "invalid-arg");
              }),
              "script/invalid-arg");
    EXPECT_EQ(mold::cycle_depth(), 0) << "the guard restored the depth while the error unwound";
    {
        mold::CycleEntry a(7);
        mold::cycle_reset();  // an inner catcher emptied the stack
    }
    EXPECT_EQ(mold::cycle_depth(), 0) << "a guard never raises the depth back";
}

TEST(MoldHelpers, IndentWritesFourBlanksPerLevel) {
    Cell buf = text(">");
    EXPECT_EQ(mold::indent(&buf, 2, 50), 42);
    EXPECT_EQ(mold::indent(&buf, 0, 50), 50);
    EXPECT_EQ(utf8(buf), ">        ");
}

TEST(Convert, IntOfNumber) {
    struct Case {
        Cell value;
        int64_t expected;  // -1 << 40 for an error
    } cases[] = {
        {real(2147483647.0), 2147483647},
        {real(-2147483648.0), -2147483648LL},
        {real(-1.9), -1},
        {real(1.9), 1},
        {real(2147483647.5), -1LL << 40},
        {real(-2147483648.5), -1LL << 40},
        {real(std::numeric_limits<double>::quiet_NaN()), -1LL << 40},
        {real(1e300), -1LL << 40},
        {integer(-7), -7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.is(TYPE_FLOAT) ? c.value.get_float() : double(int32_t(c.value.data2)));
        int32_t got = 0;
        std::string err = raised([&] { got = convert::int_of_number(&c.value); });
        if (c.expected == -1LL << 40) {
            EXPECT_EQ(err, "script/out-of-range");
            EXPECT_EQ(last_raised().nargs, 1);
            EXPECT_EQ(last_raised().args[0].data2, c.value.data2) << "the float itself is the argument";
        } else {
            EXPECT_EQ(err, "");
            EXPECT_EQ(got, c.expected);
        }
    }
}

TEST(Convert, RepeatFillDoublesThePattern) {
    struct Case {
        uint32_t n, count;
    } cases[] = {{3, 1}, {3, 5}, {3, 4}, {1, 7}, {2, 16}, {5, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " x " << c.count);
        std::vector<uint8_t> buf(128, 0xEE);
        for (uint32_t i = 0; i < c.n; i++) buf[i] = uint8_t('a' + i);
        uint8_t* end = memory::repeat_fill(buf.data(), c.n, c.count);
        uint32_t total = c.n * c.count;
        EXPECT_EQ(end, buf.data() + total);
        for (uint32_t i = c.n; i < total; i++) ASSERT_EQ(buf[i], uint8_t('a' + i % c.n)) << i;
        for (uint32_t i = std::max(total, c.n); i < buf.size(); i++) ASSERT_EQ(buf[i], 0xEE) << "past the fill " << i;
    }
}

TEST(CompareEach, OrderingRules) {
    ScratchNumbers numbers;
    Cell a = block_of({w("a")});
    struct Case {
        const char* name;
        Cell left, right;
        int32_t op, expected;
    } cases[] = {
        {"word against integer orders by type id", block_of({integer(1)}), block_of({w("a")}), actions::LESSER, -1},
        {"the other way", block_of({w("a")}), block_of({integer(1)}), actions::LESSER, 1},
        {"numbers compare across types", block_of({integer(1)}), block_of({real(1.0)}), actions::EQUAL, 0},
        {"by number", block_of({integer(2)}), block_of({real(1.5)}), actions::LESSER, 1},
        {"word kinds compare with each other", block_of({w("a", TYPE_SET_WORD)}), block_of({w("a")}), actions::EQUAL,
         0},
        {"case-folded equality", block_of({w("Key")}), block_of({w("key")}), actions::EQUAL, 0},
        {"strict equality sees case", block_of({w("Key")}), block_of({w("key")}), actions::STRICT_EQUAL, 1},
        {"unequal lengths are unequal", block_of({w("a")}), block_of({w("a"), w("b")}), actions::EQUAL, 1},
        {"the shorter orders first", block_of({w("a")}), block_of({w("a"), w("b")}), actions::LESSER, -1},
        {"first difference decides", block_of({w("a"), w("z")}), block_of({w("b"), w("a"), w("a")}),
         actions::LESSER, -1},
        {"empty before anything", block_of({}), block_of({w("a")}), actions::LESSER, -1},
        {"two empty", block_of({}), block_of({}), actions::EQUAL, 0},
        {"same: equal content is not the same", block_of({w("a")}), block_of({w("a")}), actions::SAME, -1},
        {"same: one series", a, a, actions::SAME, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(block::compare_each(&c.left, &c.right, c.op), c.expected);
    }
    Cell later = a;
    later.data1 = 1;
    EXPECT_EQ(block::compare_each(&a, &later, actions::SAME), -1) << "same buffer, other head";
    Cell paren = block_of({w("a")});
    paren.set_type(TYPE_PAREN);
    EXPECT_EQ(block::compare(&a, &paren, actions::EQUAL), -2) << "other block kinds do not compare";
    Cell path = a, lit_path = a;
    path.set_type(TYPE_PATH);
    lit_path.set_type(TYPE_LIT_PATH);
    EXPECT_EQ(block::compare(&path, &lit_path, 10), 0);
    EXPECT_EQ(block::compare(&path, &lit_path, actions::EQUAL), -2);
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(CompareEach, BlocksInsideThemselvesCompareWithoutEndlessRecursion) {
    Cell x = block_of({w("x")});
    block::ks_append(&x, &x);
    Cell y = block_of({w("x")});
    block::ks_append(&y, &y);
    EXPECT_EQ(block::compare_each(&x, &y, actions::EQUAL), 0);
    Cell z = block_of({w("x"), block_of({w("x")})});
    EXPECT_EQ(block::compare_each(&x, &z, actions::EQUAL), -1) << "a cycle on one side only";
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(Convert, FormNewPushesTheFormOfTheFirstArgument) {
    Cell* base = stack::top_ptr;
    Cell formed = call_on_stack(
        [&] {
            Cell* s = convert::form_new(nullptr, 3);
            EXPECT_EQ(s, stack::top()) << "a new string on the data stack";
            *stack::arguments = *s;
        },
        {block_of({w("ab"), w("cd")})});
    EXPECT_EQ(utf8(formed), "ab ") << "cut to the limit";
    Cell whole = call_on_stack([&] { *stack::arguments = *convert::form_new(nullptr, 0); },
                               {block_of({w("ab"), w("cd")})});
    EXPECT_EQ(utf8(whole), "ab cd");
    EXPECT_EQ(stack::top_ptr, base);
}

TEST(MoldBuffer, AppendsWidenAsNeeded) {
    struct Case {
        uint32_t cp;
        int unit;
    } chars[] = {{'a', 1}, {127, 1}, {128, 2}, {233, 2}, {0xFFFF, 2}, {0x10000, 4}};
    for (const auto& c : chars) {
        SCOPED_TRACE(c.cp);
        Cell s = text("x");
        string::append_code_point(&s, c.cp);
        EXPECT_EQ(memory::buffer_of(s.data2)->unit(), c.unit);
        EXPECT_EQ(string::last_char(&s), int32_t(c.cp));
        EXPECT_EQ(string::length_of(&s), 2u);
    }
    Cell cut = text("");
    string::append_utf8(&cut, "a\xE2\x82", 3);  // a sequence cut short: its bytes stand for themselves
    EXPECT_EQ(string::length_of(&cut), 3u);
    EXPECT_EQ(string::last_char(&cut), 0x82);
    Cell empty = text("");
    EXPECT_EQ(string::last_char(&empty), -1);

    Cell narrow = text("ab");
    Cell wide = text("\xE2\x82\xAC");
    EXPECT_EQ(string::append_string(&narrow, &wide), 1);
    EXPECT_EQ(memory::buffer_of(narrow.data2)->unit(), 2) << "the target takes the source's width";
    EXPECT_EQ(utf8(narrow), "ab\xE2\x82\xAC");
    Cell emoji = text("\xF0\x9F\x98\x80");
    Cell plain = text("xyz");
    plain.data1 = 1;
    string::append_string(&emoji, &plain, 1);
    EXPECT_EQ(utf8(emoji), "\xF0\x9F\x98\x80y") << "from the head, at most part characters";
    EXPECT_EQ(memory::buffer_of(plain.data2)->unit(), 1) << "the source is left as it was";
    Cell self = text("abc");
    for (int i = 0; i < 4; i++) string::append_string(&self, &self);  // grows while it reads itself
    EXPECT_EQ(string::length_of(&self), 48u);
    EXPECT_EQ(utf8(self).substr(0, 9), "abcabcabc");
}
