#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/native.hpp"
#include "foundation/collector.hpp"
#include "object_fixtures.hpp"

using namespace kro;
using namespace kro::testing_objects;

namespace {

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }
Cell refinement(const char* name) { return w(name, TYPE_REFINEMENT); }

void entry_a() {}
void entry_b() {}

// Natives 5, 6 and 7 and action 3 registered with their specs for one test;
// what those slots held before comes back afterwards.
class Registered {
    struct Saved {
        native::Entry fn;
        Cell spec;
    };
    Saved natives_[3], action_;
    static Saved save(native::Entry fn, const Cell* spec) { return Saved{fn, spec ? *spec : none::value}; }

public:
    Registered() {
        for (int i = 0; i < 3; i++) natives_[i] = save(native::native_entry(5 + i), native::native_spec(5 + i));
        action_ = save(native::action_entry(3), native::action_spec(3));
        Cell s5 = block_of({w("a"), text("doc"), w("b"), block_of({w("integer!")}), refinement("only")});
        Cell s6 = block_of({w("x")});
        Cell s7 = block_of({w("value1"), w("value2")});
        Cell s3 = block_of({w("series"), w("value")});
        native::register_native(5, &entry_a, &s5);
        native::register_native(6, &entry_b, &s6);
        native::register_native(7, &entry_b, &s7);
        native::register_action(3, &entry_a, &s3);
    }
    ~Registered() {
        for (int i = 0; i < 3; i++) {
            native::forget_native(5 + i);
            if (natives_[i].fn) native::register_native(5 + i, natives_[i].fn, &natives_[i].spec);
        }
        native::forget_action(3);
        if (action_.fn) native::register_action(3, action_.fn, &action_.spec);
    }
};

Cell make_as(Type type, Cell spec) {
    Cell proto = datatype_of(type);
    return *datatype::action<A_MAKE>(type)(&proto, &spec, type);
}

Cell native_spec() { return block_of({w("a"), w("b"), refinement("only")}); }

}  // namespace

TEST(NativeTables, RegisteredEntriesAndSpecs) {
    Registered natives;
    EXPECT_EQ(native::native_entry(5), &entry_a);
    EXPECT_EQ(native::action_entry(3), &entry_a);
    EXPECT_EQ(native::native_entry(112), nullptr);
    EXPECT_EQ(native::native_entry(0), nullptr);
    EXPECT_EQ(native::native_entry(121), nullptr);
    EXPECT_EQ(native::action_entry(63), nullptr);
    EXPECT_EQ(native::native_spec(112), nullptr);
    ASSERT_NE(native::native_spec(6), nullptr);
    EXPECT_EQ(mold_text(*native::native_spec(6)), "[x]");
    Cell same = native_spec();
    EXPECT_TRUE(native::same_interface(&same, native::native_spec(5))) << "doc strings and types do not count";
    Cell lit_b = block_of({w("a"), lit("b"), refinement("only")});
    EXPECT_FALSE(native::same_interface(&lit_b, native::native_spec(5)));
    Cell shorter = block_of({w("a"), w("b")});
    EXPECT_FALSE(native::same_interface(&shorter, native::native_spec(5)));
    collector::collect();
    ASSERT_NE(native::native_spec(6), nullptr);
    EXPECT_EQ(mold_text(*native::native_spec(6)), "[x]") << "the registered specs survive a collection";
}

TEST(NativeTablesDeathTest, AnIndexOutsideTheTableIsABuildFault) {
    Cell spec = native_spec();
    EXPECT_EXIT(native::register_native(121, &entry_a, &spec), ::testing::ExitedWithCode(98), "");
    EXPECT_EXIT(native::register_action(0, &entry_a, &spec), ::testing::ExitedWithCode(98), "");
}

TEST(Native, MakeFromASpecAndAFilledSlot) {
    Registered natives;
    Cell n = make_as(TYPE_NATIVE, block_of({native_spec(), integer(5)}));
    EXPECT_TRUE(n.is(TYPE_NATIVE));
    EXPECT_EQ(n.data1, 5u) << "the table index, never a code address";
    Cell cell0 = memory::buffer_of(n.data3)->cells()[0];
    Cell cell1 = memory::buffer_of(n.data3)->cells()[1];
    EXPECT_TRUE(cell0.is(TYPE_CONTEXT));
    EXPECT_TRUE(cell0.header & context::FLAG_ON_STACK);
    EXPECT_TRUE(cell1.is(TYPE_NONE));
    EXPECT_EQ(mold_text(n), "make native! [[a b /only]]");
    EXPECT_EQ(mold_text(n, true), "make native! [a b /only]") << "only reaches the spec";
    EXPECT_EQ(form_text(n), "?native?");

    Cell a = make_as(TYPE_ACTION, block_of({block_of({w("series"), w("value")}), integer(3)}));
    EXPECT_TRUE(a.is(TYPE_ACTION));
    EXPECT_EQ(mold_text(a), "make action! [[series value]]");
    EXPECT_EQ(form_text(a), "?action?");

    struct Bad {
        const char* name;
        Type type;
        Cell spec;
    } bad[] = {
        {"index 0", TYPE_NATIVE, block_of({native_spec(), integer(0)})},
        {"index 121", TYPE_NATIVE, block_of({native_spec(), integer(121)})},
        {"an empty slot", TYPE_NATIVE, block_of({native_spec(), integer(110)})},
        {"a spec unlike the registered one", TYPE_NATIVE, block_of({block_of({w("a")}), integer(5)})},
        {"three values", TYPE_NATIVE, block_of({native_spec(), integer(5), integer(5)})},
        {"no spec block", TYPE_NATIVE, block_of({w("a"), integer(5)})},
        {"not a block", TYPE_NATIVE, integer(5)},
        {"action 63", TYPE_ACTION, block_of({block_of({w("series"), w("value")}), integer(63)})},
        {"the empty action slot 8", TYPE_ACTION, block_of({block_of({w("series"), w("value")}), integer(8)})},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.name);
        EXPECT_EQ(raised([&] { make_as(b.type, b.spec); }), "script/bad-make-arg");
        EXPECT_EQ(last_raised().args[0].data1, uint32_t(b.type));
    }
}

TEST(Native, ReflectAndCompare) {
    Registered natives;
    Cell n5 = make_as(TYPE_NATIVE, block_of({native_spec(), integer(5)}));
    Cell again = make_as(TYPE_NATIVE, block_of({native_spec(), integer(5)}));
    Cell n6 = make_as(TYPE_NATIVE, block_of({block_of({w("x")}), integer(6)}));
    Cell a3 = make_as(TYPE_ACTION, block_of({block_of({w("series"), w("value")}), integer(3)}));
    Cell v = n5;
    native::reflect(&v, symbol::make("body"));
    EXPECT_TRUE(v.is(TYPE_INTEGER));
    EXPECT_EQ(v.data2, 5u);
    v = n5;
    native::reflect(&v, symbol::make("spec"));
    EXPECT_EQ(v.data2, n5.data2) << "its own spec, not a copy";
    v = a3;
    datatype::action<A_REFLECT>(TYPE_ACTION)(&v, symbol::make("body"));
    EXPECT_EQ(v.data2, 3u) << "action! reflects through native!'s slot";
    v = n5;
    EXPECT_EQ(raised([&] { native::reflect(&v, symbol::make("words")); }), "internal/not-done");

    EXPECT_EQ(native::compare(&n5, &again, actions::EQUAL), 0) << "natives of one index are equal";
    EXPECT_EQ(native::compare(&n5, &n6, actions::EQUAL), -1);
    EXPECT_EQ(native::compare(&n6, &n5, actions::NOT_EQUAL), 1);
    EXPECT_EQ(native::compare(&n5, &n6, actions::LESSER), -2);
    EXPECT_EQ(native::compare(&n5, &a3, actions::EQUAL), -2);
}

TEST(Op, MakeFromFunctionsNativesAndActions) {
    ScratchNumbers numbers;
    Registered natives;
    bind_datatype_words();
    struct Case {
        const char* name;
        std::vector<Cell> spec;
        const char* error;
    } cases[] = {
        {"two arguments and locals", {w("a"), w("b"), refinement("local"), w("c")}, ""},
        {"one argument", {w("a")}, "script/bad-op-spec"},
        {"three arguments", {w("a"), w("b"), w("c")}, "script/bad-op-spec"},
        {"a get-word on the left", {w("a", TYPE_GET_WORD), w("b")}, "script/bad-op-spec"},
        {"a get-word on the right", {w("a"), w("b", TYPE_GET_WORD)}, ""},
        {"a lit-word on the right", {w("a"), lit("b")}, ""},
        {"docs, types and return:", {text("doc"), w("a"), block_of({w("integer!")}), w("b"), set_word("return"),
                                     block_of({w("integer!")})}, ""},
        {"another refinement", {w("a"), w("b"), refinement("r")}, "script/bad-op-spec"},
        {"/extern ends the walk", {w("a"), w("b"), refinement("extern"), w("c")}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell f = func(c.spec, {w("a")});
        EXPECT_EQ(raised([&] { make_as(TYPE_OP, f); }), c.error);
    }

    Cell f = func({w("a"), w("b")}, {w("a"), w("+"), w("b")});
    Cell op = make_as(TYPE_OP, f);
    EXPECT_TRUE(op.is(TYPE_OP));
    EXPECT_EQ(native::wrapped_type(&op), uint32_t(TYPE_FUNCTION));
    EXPECT_EQ(op.data1, f.data1);
    EXPECT_EQ(op.data3, f.data3) << "the op shares the function's record";
    EXPECT_EQ(memory::buffer_of(f.data3)->cells()[function::WRAPPED].data3, f.data3) << "which now holds the function";
    EXPECT_EQ(mold_text(op), "make op! func [a b][a + b]");
    EXPECT_EQ(form_text(op), "?op?");
    Cell body = op;
    datatype::action<A_REFLECT>(TYPE_OP)(&body, symbol::make("body"));
    EXPECT_EQ(body.data2, memory::buffer_of(f.data3)->cells()[function::BODY].data2);
    Cell op2 = make_as(TYPE_OP, f);
    EXPECT_EQ(native::compare(&op, &op2, actions::EQUAL), 0) << "two ops of one function are equal";

    Cell n5 = make_as(TYPE_NATIVE, block_of({native_spec(), integer(5)}));
    EXPECT_EQ(raised([&] { make_as(TYPE_OP, n5); }), "script/bad-op-spec") << "a native with a refinement";
    Cell n7 = make_as(TYPE_NATIVE, block_of({block_of({w("value1"), w("value2")}), integer(7)}));
    Cell native_op = make_as(TYPE_OP, n7);
    EXPECT_EQ(native::wrapped_type(&native_op), uint32_t(TYPE_NATIVE));
    EXPECT_EQ(mold_text(native_op), "make op! [[value1 value2]]");
    Cell index = native_op;
    datatype::action<A_REFLECT>(TYPE_OP)(&index, symbol::make("body"));
    EXPECT_EQ(index.data2, 7u);
    Cell routine_spec = block_of({w("x"), w("y")});
    Cell r = *routine::make_value(&routine_spec, nullptr, 1, 0, false);
    stack::pop(1);
    Cell routine_op = make_as(TYPE_OP, r);
    EXPECT_EQ(mold_text(routine_op), "make op! [[x y]]");
    EXPECT_EQ(memory::buffer_of(r.data3)->cells()[function::WRAPPED].data3, r.data3);

    EXPECT_EQ(raised([] { make_as(TYPE_OP, integer(1)); }), "script/invalid-type");
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_INTEGER));
}
