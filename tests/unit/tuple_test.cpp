#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "compound_fixtures.hpp"
#include "datatypes/tuple.hpp"
#include "number_fixtures.hpp"
#include "object_fixtures.hpp"

using namespace kro;
using namespace kro::testing_compound;
using testing_blocks::block_of;
using testing_blocks::chr;
using testing_blocks::integer;
using testing_blocks::real;
using testing_blocks::text;
using testing_blocks::w;

namespace {

// A tuple from its text (the test's own literals).
Cell tup(const char* t) {
    Cell out{uint32_t(TYPE_NONE), 0, 0, 0};
    int32_t e = tuple::from_text(reinterpret_cast<const uint8_t*>(t), std::strlen(t), &out);
    EXPECT_EQ(e, 0) << t;
    return out;
}

std::string from_text(const char* t) {
    Cell out{uint32_t(TYPE_NONE), 0, 0, 0};
    int32_t e = tuple::from_text(reinterpret_cast<const uint8_t*>(t), std::strlen(t), &out);
    return e ? joined("invalid ", std::to_string(e)) : shown(out);
}

Cell issue(const char* name) { return w(name, TYPE_ISSUE); }

}  // namespace

TEST(Tuple, LiteralTextOfEveryLength) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"1.2.3", "1.2.3"},
        {"255.0.0.128", "255.0.0.128"},
        {"0.0.0", "0.0.0"},
        {"001.02.3", "1.2.3"},
        {"1.2.3.4.5.6.7.8.9.10.11.12", "1.2.3.4.5.6.7.8.9.10.11.12"},
        // invalid tuple! (39)
        {"1.2.3.4.5.6.7.8.9.10.11.12.13", "invalid 39"},
        {"1.2.256", "invalid 39"},
        {"1..3", "invalid 39"},
        {"1.2.3.", "invalid 39"},
        {".1.2.3", "invalid 39"},
        {"1.2", "invalid 39"},
        {"1.2.-3", "invalid 39"},
        {"1.2.3a", "invalid 39"},
        {"", "invalid 39"},
    };
    for (const Case& c : cases) EXPECT_EQ(from_text(c.text), c.expected) << c.text;
    for (int n = 3; n <= 12; n++) {
        std::string t = "1";
        for (int i = 2; i <= n; i++) t += joined(".", std::to_string(i * 20));
        Cell v = tup(t.c_str());
        EXPECT_EQ(tuple::length(&v), n);
        EXPECT_EQ(shown(v), t);
        EXPECT_EQ(tuple::byte_at(&v, n - 1), uint8_t(n * 20));
    }
}

TEST(Tuple, LoadsThroughTheTokenizer) {
    EXPECT_EQ(load_outcome("1.2.3"), "1.2.3");
    EXPECT_EQ(load_outcome("[192.168.0.1 1.2.3.4.5.6.7.8.9.10.11.12]"), "[192.168.0.1 1.2.3.4.5.6.7.8.9.10.11.12]");
    EXPECT_EQ(load_outcome("1.2.300"), "error syntax/invalid 39");
    EXPECT_EQ(load_outcome("1.2.3.4.5.6.7.8.9.10.11.12.13"), "error syntax/invalid 39");
}

TEST(Tuple, MakeAndTo) {
    struct Case {
        Cell spec;
        const char* expected;
    } cases[] = {
        {block_of({integer(1), integer(2)}), "1.2.0"},
        {block_of({integer(1), chr('A'), real(2.9), integer(255)}), "1.65.2.255"},
        {block_of({}), "0.0.0"},
        {block_of({integer(256), integer(0), integer(0)}), "error script/bad-to-arg"},
        {block_of({integer(-1), integer(0), integer(0)}), "error script/bad-to-arg"},
        {block_of({real(256.0)}), "error script/bad-to-arg"},
        {block_of({text("1")}), "error script/bad-to-arg"},
        {block_of(std::vector<Cell>(13, integer(1))), "error script/bad-to-arg"},
        {text("1.2.3"), "1.2.3"},
        {text(" 10.0.0.1\n"), "10.0.0.1"},
        {text("1.2"), "error script/bad-to-arg"},
        {text("abc"), "error script/bad-to-arg"},
        {issue("F0A"), "255.0.170"},
        {issue("FF8000"), "255.128.0"},
        {issue("ff800010"), "255.128.0.16"},
        {issue("F0"), "error script/invalid-data"},
        {issue("F0AG"), "error script/invalid-data"},
        {issue("F0Z"), "error script/invalid-data"},
        {issue("\xC4\xB0" "0A0A"), "error script/invalid-data"},  // a non-ASCII character is never a digit
        {testing_numbers::binary({1, 2}), "1.2.0"},
        {testing_numbers::binary({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}), "1.2.3.4.5.6.7.8.9.10.11.12"},
        {tup("1.2.3.4"), "1.2.3.4"},
        {integer(1), "error script/bad-to-arg"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(converted(A_MAKE, TYPE_TUPLE, c.spec), c.expected) << shown(c.spec);
        EXPECT_EQ(converted(A_TO, TYPE_TUPLE, c.spec), c.expected) << shown(c.spec);
    }
}

TEST(Tuple, SaturatingArithmetic) {
    struct Case {
        int slot;
        Cell left, right;
        const char* expected;
    } cases[] = {
        {A_ADD, tup("200.100.50"), integer(100), "255.200.150"},
        {A_SUBTRACT, tup("10.20.30"), integer(50), "0.0.0"},
        {A_ADD, tup("1.2.3"), tup("1.1.1.1"), "2.3.4.1"},
        {A_SUBTRACT, tup("5.5.5.5"), tup("1.1.1"), "4.4.4.5"},
        {A_MULTIPLY, tup("10.20.30"), real(1.5), "15.30.45"},
        {A_MULTIPLY, tup("10.20.30"), real(0.33), "3.6.9"},
        {A_MULTIPLY, tup("10.20.30"), typed_float(TYPE_PERCENT, 0.5), "5.10.15"},
        {A_DIVIDE, tup("10.20.30"), integer(4), "2.5.7"},
        {A_DIVIDE, tup("10.20.30"), real(4.0), "2.5.7"},
        {A_REMAINDER, tup("10.20.30"), integer(7), "3.6.2"},
        {A_MULTIPLY, tup("10.20.30"), integer(2147483647), "255.255.255"},
        {A_SUBTRACT, tup("10.20.30"), integer(INT32_MIN), "255.255.255"},
        {A_ADD, tup("10.20.30"), integer(INT32_MIN), "0.0.0"},
        {A_MULTIPLY, tup("10.20.30"), real(-1.0), "0.0.0"},
        {A_MULTIPLY, tup("10.20.30"), real(1e300), "255.255.255"},
        {A_ADD, tup("10.20.30"), real(std::numeric_limits<double>::quiet_NaN()), "0.0.0"},
        {A_AND_T, tup("255.15.7"), integer(12), "12.12.4"},
        {A_OR_T, tup("1.2.3"), tup("4.4.4.4"), "5.6.7.4"},
        {A_XOR_T, tup("255.255.255"), integer(-1), "0.0.0"},
        {A_DIVIDE, tup("1.2.3"), integer(0), "error math/zero-divide"},
        {A_DIVIDE, tup("1.2.3.4"), tup("1.1.1"), "error math/zero-divide"},  // a missing byte counts as 0
        {A_REMAINDER, tup("1.2.3"), integer(0), "error math/zero-divide"},
        {A_ADD, tup("1.2.3"), text("1"), "error script/invalid-type"},
        {A_ADD, tup("1.2.3"), testing_blocks::pair(1, 2), "error script/invalid-type"},
        // a number on the left
        {A_ADD, integer(100), tup("1.2.3"), "101.102.103"},
        {A_MULTIPLY, real(2.0), tup("1.2.3"), "2.4.6"},
        {A_SUBTRACT, integer(100), tup("1.2.3"), "error script/not-related"},
        {A_DIVIDE, integer(100), tup("1.2.3"), "error script/not-related"},
        {A_SUBTRACT, real(1.0), tup("1.2.3"), "error script/not-related"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(op(c.slot, c.left, c.right), c.expected) << shown(c.left) << " slot " << c.slot << " "
                                                          << shown(c.right);
}

TEST(Tuple, ComparisonPadsWithZeros) {
    struct Case {
        const char *a, *b;
        int32_t expected;
    } cases[] = {
        {"1.2.3", "1.2.3.0", 0}, {"1.2.3", "1.2.3.1", -1}, {"1.2.4", "1.2.3.9", 1},
        {"2.0.0", "1.255.255", 1}, {"0.0.0", "0.0.0.0.0.0", 0},
    };
    auto cmp = datatype::action<A_COMPARE>(TYPE_TUPLE);
    for (const Case& c : cases) {
        Cell a = tup(c.a), b = tup(c.b);
        for (int32_t o : {actions::EQUAL, actions::STRICT_EQUAL, actions::LESSER, actions::SORT})
            EXPECT_EQ(cmp(&a, &b, o), c.expected) << c.a << " " << c.b << " op " << o;
    }
    Cell a = tup("1.2.3"), one = integer(1);
    EXPECT_EQ(cmp(&a, &one, actions::EQUAL), -2);
}

TEST(Tuple, PickAndPathGet) {
    auto pick = [](Cell v, Cell index) {
        return outcome([&] { return *datatype::action<A_PICK>(TYPE_TUPLE)(&v, int32_t(index.data2), &index); });
    };
    EXPECT_EQ(pick(tup("1.2.3.4"), integer(4)), "4");
    EXPECT_EQ(pick(tup("1.2.3"), integer(4)), "error script/out-of-range");
    EXPECT_EQ(pick(tup("1.2.3"), integer(0)), "error script/out-of-range");
    EXPECT_EQ(pick(tup("1.2.3"), w("x")), "error script/invalid-type");
    Cell none_path = none::value;
    auto get = [&](Cell v, Cell element) {
        return outcome([&] {
            return *datatype::action<A_EVAL_PATH>(TYPE_TUPLE)(&v, &element, nullptr, &none_path, nullptr, nullptr, 0,
                                                              false, true, false, false);
        });
    };
    EXPECT_EQ(get(tup("1.2.3"), integer(2)), "2");
    EXPECT_EQ(get(tup("1.2.3"), integer(5)), "error script/out-of-range");
    EXPECT_EQ(get(tup("1.2.3"), real(1.0)), "error script/invalid-type");
}

TEST(Tuple, PathSetStoresClampsAndTruncates) {
    struct Case {
        const char* tuple;
        Cell index, value;
        const char* expected;
    } cases[] = {
        {"1.2.3", integer(2), integer(9), "1.9.3"},
        {"1.2.3", integer(2), integer(300), "1.255.3"},
        {"1.2.3", integer(2), integer(-5), "1.0.3"},
        {"1.2.3.4", integer(4), none::value, "1.2.3"},
        {"1.2.3.4", integer(2), none::value, "1.0.0"},
        {"1.2.3.4.5.6", integer(5), none::value, "1.2.3.4"},
        {"1.2.3", integer(4), integer(1), "error script/out-of-range"},
        {"1.2.3", w("x"), integer(1), "error script/invalid-type"},
        {"1.2.3", integer(1), real(1.0), "error script/invalid-type"},
    };
    for (const Case& c : cases) {
        Cell v = tup(c.tuple), index = c.index, value = c.value, none_path = none::value;
        std::string err = raised([&] {
            datatype::action<A_EVAL_PATH>(TYPE_TUPLE)(&v, &index, &value, &none_path, nullptr, nullptr, 0, false,
                                                      false, false, false);
        });
        EXPECT_EQ(err.empty() ? shown(v) : joined("error ", err), c.expected) << c.tuple << " " << shown(c.index);
    }
    // the truncated bytes are gone: the tuple compares as its shorter self
    Cell v = tup("1.2.3.4"), four = integer(4), none_value = none::value, none_path = none::value;
    datatype::action<A_EVAL_PATH>(TYPE_TUPLE)(&v, &four, &none_value, &none_path, nullptr, nullptr, 0, false, false,
                                              false, false);
    Cell three = tup("1.2.3");
    EXPECT_EQ(datatype::action<A_COMPARE>(TYPE_TUPLE)(&v, &three, actions::STRICT_EQUAL), 0);
}

TEST(Tuple, PathSetInAnObjectFieldCallsItsChangeHandler) {
    using namespace testing_objects;
    HandlerRecorder recorder;
    Cell o = make_object({set_word("version"), tup("1.2.3"), set_word("on-change*"), handler({"word", "old", "new"})});
    recorder.calls().clear();
    Cell field_word = w("version"), index = integer(3), nine = integer(9), none_path = none::value;
    Cell* slot = const_cast<Cell*>(object::select_word(&o, &field_word));
    datatype::action<A_EVAL_PATH>(TYPE_TUPLE)(slot, &index, &nine, &none_path, &o, &field_word, 2, false, false,
                                              false, true);
    EXPECT_EQ(shown(field(o, "version")), "1.2.9");
    ASSERT_EQ(recorder.calls().size(), 1u);
    EXPECT_EQ(shown(recorder.calls()[0].args[1]), "1.2.3");
    EXPECT_EQ(shown(recorder.calls()[0].args[2]), "1.2.9");
}

TEST(Tuple, ComplementReverseLength) {
    Cell v = tup("0.15.255.1");
    datatype::action<A_COMPLEMENT>(TYPE_TUPLE)(&v);
    EXPECT_EQ(shown(v), "255.240.0.254");
    EXPECT_EQ(datatype::action<A_LENGTH_Q>(TYPE_TUPLE)(&v), 4);

    auto rev = [](const char* t, Cell* part, Cell* skip) {
        return outcome([&] {
            Cell v = tup(t);
            return *datatype::action<A_REVERSE>(TYPE_TUPLE)(&v, part, skip);
        });
    };
    Cell two = integer(2), four = integer(4), zero = integer(0), three = integer(3), bad = real(2.0);
    EXPECT_EQ(rev("1.2.3.4.5.6", nullptr, nullptr), "6.5.4.3.2.1");
    EXPECT_EQ(rev("1.2.3.4.5.6", nullptr, &two), "5.6.3.4.1.2");
    EXPECT_EQ(rev("1.2.3.4.5.6", &three, nullptr), "3.2.1.4.5.6");
    EXPECT_EQ(rev("1.2.3.4.5.6", &four, &two), "3.4.1.2.5.6");
    EXPECT_EQ(rev("1.2.3.4.5.6", nullptr, &four), "error script/invalid-refine-arg");
    EXPECT_EQ(rev("1.2.3.4.5.6", nullptr, &zero), "error script/out-of-range");
    EXPECT_EQ(rev("1.2.3.4.5.6", &bad, nullptr), "error script/invalid-refine-arg");
}

TEST(Tuple, RandomAndSeed) {
    auto random = datatype::action<A_RANDOM>(TYPE_TUPLE);
    bool varied = false;
    for (int i = 0; i < 50; i++) {
        Cell v = tup("0.3.255");
        random(&v, false, i % 2 == 1, false);
        EXPECT_EQ(tuple::byte_at(&v, 0), 0);
        EXPECT_LE(tuple::byte_at(&v, 1), 3);
        varied = varied || tuple::byte_at(&v, 2) != 255;
    }
    EXPECT_TRUE(varied);
    auto draws = [&] {
        Cell s = tup("1.2.3");
        random(&s, true, false, false);
        EXPECT_TRUE(s.is(TYPE_UNSET));
        Cell a = tup("255.255.255.255");
        random(&a, false, false, false);
        return shown(a);
    };
    EXPECT_EQ(draws(), draws());
}

TEST(Tuple, BuildersForOtherModules) {
    Cell c;
    const int32_t values[] = {1, 258, -1};
    EXPECT_EQ(shown(*tuple::make_at_ints(&c, 3, values)), "1.2.255");
    EXPECT_EQ(shown(*tuple::make_at_ints(&c, 1, values)), "1.0.0");
    EXPECT_EQ(shown(*tuple::make_rgba(&c, 10, 20, 30, -1)), "10.20.30");
    EXPECT_EQ(shown(*tuple::make_rgba(&c, 10, 20, 30, 0)), "10.20.30.0");
    Cell* pushed = tuple::push(4, 0x04030201, 0, 0);
    EXPECT_EQ(shown(*pushed), "1.2.3.4");
    stack::pop(1);
    Cell zero = tup("0.0.0.0"), nonzero = tup("0.0.0.1");
    EXPECT_TRUE(tuple::zero_q(&zero));
    EXPECT_FALSE(tuple::zero_q(&nonzero));
}
