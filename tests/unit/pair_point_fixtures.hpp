// Fixtures shared by the pair! and point2D!/point3D! tests: a literal scanner's
// answer, make and to checked together, a table of operations, the unary
// actions, round, pick and path access of a value as its own type does them, a
// path set in an object's field told to its change handler, and the first draw
// of a seeded generator.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "compound_fixtures.hpp"
#include "object_fixtures.hpp"

namespace kro::testing_compound {

using testing_blocks::block_of;
using testing_blocks::integer;
using testing_blocks::real;
using testing_blocks::text;
using testing_blocks::w;

inline constexpr double INF = std::numeric_limits<double>::infinity();
inline const double NaN = std::numeric_limits<double>::quiet_NaN();

// The value a literal scanner makes of a text, molded, or "invalid <datatype id>".
using LiteralScanner = int32_t (*)(const uint8_t*, size_t, Cell*);
inline std::string scanned(LiteralScanner scan, const char* t) {
    Cell out{uint32_t(TYPE_NONE), 0, 0, 0};
    int32_t e = scan(reinterpret_cast<const uint8_t*>(t), std::strlen(t), &out);
    return e ? joined("invalid ", std::to_string(e)) : shown(out);
}

// make and to of the target type give the same outcome for that value.
inline void expect_made(Type target, Cell spec, const char* expected) {
    EXPECT_EQ(converted(A_MAKE, target, spec), expected) << shown(spec) << " to " << int(target);
    EXPECT_EQ(converted(A_TO, target, spec), expected) << shown(spec) << " to " << int(target);
}

// An action slot on a left and a right operand, and its outcome.
struct OpCase {
    int slot;
    Cell left, right;
    const char* expected;
};
inline void expect_ops(const std::vector<OpCase>& cases) {
    for (const OpCase& c : cases)
        EXPECT_EQ(op(c.slot, c.left, c.right), c.expected) << shown(c.left) << " slot " << c.slot << " "
                                                          << shown(c.right);
}

// negate, absolute or reverse (any other slot) of a value.
inline std::string unary(int slot, Cell v) {
    return outcome([&] {
        Type t = v.type();
        if (slot == A_ABSOLUTE) return call_slot(slot, {v});
        if (slot == A_NEGATE) return *datatype::action<A_NEGATE>(t)(&v);
        return *datatype::action<A_REVERSE>(t)(&v, nullptr, nullptr);
    });
}

inline std::string rounded(Cell v, Cell* scale, bool even = false, bool down = false, bool floor = false) {
    return outcome(
        [&] { return *datatype::action<A_ROUND>(v.type())(&v, scale, even, down, false, floor, false, false); });
}

inline std::string picked(Cell v, Cell index) {
    return outcome([&] { return *datatype::action<A_PICK>(v.type())(&v, int32_t(index.data2), &index); });
}

// A path's element read from a value, and set in it (the error raised, "" when none).
inline std::string path_got(Cell v, Cell element) {
    Cell none_path = none::value;
    return outcome([&] {
        return *datatype::action<A_EVAL_PATH>(v.type())(&v, &element, nullptr, &none_path, nullptr, nullptr, 0,
                                                        false, true, false, false);
    });
}
inline std::string path_set(Cell& v, Cell element, Cell value) {
    Cell none_path = none::value;
    return raised([&] {
        datatype::action<A_EVAL_PATH>(v.type())(&v, &element, &value, &none_path, nullptr, nullptr, 0, false, false,
                                                false, false);
    });
}

// An object's field holding `value` has its x set to 7 by a path with the
// change flag: the field reads `after` and its on-change* handler is told once,
// with the field's word, the old value and the new; a set without the flag
// tells nothing.
inline void expect_field_set_told(const char* field_name, Cell value, const char* after) {
    using namespace testing_objects;
    HandlerRecorder recorder;
    std::string before = shown(value);
    Cell o = make_object({set_word(field_name), value, set_word("on-change*"), handler({"word", "old", "new"})});
    recorder.calls().clear();
    Cell field_word = w(field_name), element = w("x"), seven = integer(7), none_path = none::value;
    Cell* slot = const_cast<Cell*>(object::select_word(&o, &field_word));
    ASSERT_TRUE(slot->is(value.type()));
    auto set_path = datatype::action<A_EVAL_PATH>(value.type());
    set_path(slot, &element, &seven, &none_path, &o, &field_word, 2, false, false, false, true);
    EXPECT_EQ(shown(field(o, field_name)), after);
    ASSERT_EQ(recorder.calls().size(), 1u);
    const HandlerCall& call = recorder.calls()[0];
    EXPECT_EQ(call.name, "on-change*");
    EXPECT_EQ(spelling(call.args[0]), field_name);
    EXPECT_EQ(shown(call.args[1]), before);
    EXPECT_EQ(shown(call.args[2]), after);
    Cell eight = integer(8);
    set_path(slot, &element, &eight, &none_path, &o, &field_word, 2, false, false, false, false);
    EXPECT_EQ(recorder.calls().size(), 1u) << "without the change flag nothing is told";
}

// The generator seeded by `seed`'s type from it, then a draw for `range`.
inline std::string seeded_draw(Cell seed, Cell range) {
    datatype::action<A_RANDOM>(seed.type())(&seed, true, false, false);
    EXPECT_TRUE(seed.is(TYPE_UNSET));
    datatype::action<A_RANDOM>(range.type())(&range, false, false, false);
    return shown(range);
}

}  // namespace kro::testing_compound
