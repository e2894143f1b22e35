#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"
#include "io/random.hpp"

using namespace kro;

namespace {

Cell dt(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }
Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
Cell flt(Type t, double d) {
    Cell c{uint32_t(t), 0, 0, 0};
    c.set_float(d);
    return c;
}
Cell header(Type t) { return make_header_cell(t); }
const Cell T = logic::make(true);
const Cell F = logic::make(false);

struct Written {
    std::string text;
    int32_t left;
};

Written formed(Cell v) {
    Cell buf;
    string::make_at(&buf, 0, 1);
    int32_t left = datatype::action<A_FORM>(v.type())(&v, &buf, nullptr, 1000);
    return {string::to_utf8(&buf), left};
}

Written molded(Cell v, bool all) {
    Cell buf;
    string::make_at(&buf, 0, 1);
    int32_t left = datatype::action<A_MOLD>(v.type())(&v, &buf, false, all, false, nullptr, 1000, 0);
    return {string::to_utf8(&buf), left};
}

// A call frame of its own on the data stack, put back afterwards.
class CallFrame {
public:
    CallFrame() : args_(stack::arguments), top_(stack::top_ptr) { stack::arguments = stack::top_ptr; }
    ~CallFrame() {
        stack::arguments = args_;
        stack::top_ptr = top_;
    }
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;

private:
    Cell* args_;
    Cell* top_;
};

std::string raised() { return last_raised().category + "/" + last_raised().id; }

}  // namespace

TEST(SimpleTypes, FormAndMold) {
    struct Case {
        const char* what;
        Cell value;
        const char* form;
        const char* mold;
        const char* mold_all;
    };
    const Case cases[] = {
        {"logic!", dt(TYPE_LOGIC), "logic", "logic!", "#(logic!)"},
        {"none!", dt(TYPE_NONE), "none", "none!", "#(none!)"},
        {"datatype!", dt(TYPE_DATATYPE), "datatype", "datatype!", "#(datatype!)"},
        {"unset", unset::value, "", "unset", "#(unset)"},
        {"none", none::value, "none", "none", "#(none)"},
        {"true", T, "true", "true", "#(true)"},
        {"false", F, "false", "false", "#(false)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Written f = formed(c.value), m = molded(c.value, false), a = molded(c.value, true);
        EXPECT_EQ(f.text, c.form);
        EXPECT_EQ(m.text, c.mold);
        EXPECT_EQ(a.text, c.mold_all);
        // Each answers the budget minus what it wrote.
        EXPECT_EQ(f.left, 1000 - int32_t(f.text.size()));
        EXPECT_EQ(m.left, 1000 - int32_t(m.text.size()));
        EXPECT_EQ(a.left, 1000 - int32_t(a.text.size()));
    }
}

TEST(SimpleTypes, MoldAppendsToWhatTheBufferHolds) {
    Cell buf;
    string::make_at(&buf, 0, 1);
    string::concatenate_ascii(&buf, "[");
    Cell v = T;
    datatype::action<A_MOLD>(TYPE_LOGIC)(&v, &buf, false, true, false, nullptr, 50, 0);
    v = dt(TYPE_UNSET);
    datatype::action<A_FORM>(TYPE_DATATYPE)(&v, &buf, nullptr, 50);
    EXPECT_EQ(string::to_utf8(&buf), "[#(true)unset");
}

TEST(SimpleTypes, Compare) {
    struct Case {
        const char* what;
        Cell a, b;
        std::set<int> ops;  // the op codes that compare; every other one answers -2
        int32_t result;
    };
    const std::set<int> identity{0, 1, 2, 9, 12};
    const std::set<int> ordered{0, 1, 2, 7, 8, 9, 12};
    const Case cases[] = {
        {"integer! integer!", dt(TYPE_INTEGER), dt(TYPE_INTEGER), identity, 0},
        {"integer! logic!", dt(TYPE_INTEGER), dt(TYPE_LOGIC), identity, 1},
        {"logic! true", dt(TYPE_LOGIC), T, identity, 1},
        {"unset unset", unset::value, unset::value, ordered, 0},
        {"unset none", unset::value, none::value, {}, 0},
        {"none none", none::value, none::value, ordered, 0},
        {"none false", none::value, F, {}, 0},
        {"true false", T, F, ordered, 1},
        {"false true", F, T, ordered, -1},
        {"true true", T, T, ordered, 0},
        {"false false", F, F, ordered, 0},
        {"true 1", T, integer(1), {}, 0},
        {"false none", F, none::value, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto cmp = datatype::action<A_COMPARE>(c.a.type());
        for (int op = 0; op <= 12; op++) {
            Cell a = c.a, b = c.b;
            EXPECT_EQ(cmp(&a, &b, op), c.ops.count(op) ? c.result : -2) << "op " << op;
        }
    }
}

TEST(SimpleTypes, MakeAndToLogic) {
    struct Case {
        const char* what;
        Cell spec;
        bool make, to;
    };
    const Case cases[] = {
        {"integer 0", integer(0), false, true},
        {"integer 5", integer(5), true, true},
        {"integer -1", integer(-1), true, true},
        {"float 0.0", flt(TYPE_FLOAT, 0.0), false, true},
        {"float -0.0", flt(TYPE_FLOAT, -0.0), false, true},
        {"float NaN", flt(TYPE_FLOAT, std::numeric_limits<double>::quiet_NaN()), true, true},
        {"float 1.5", flt(TYPE_FLOAT, 1.5), true, true},
        {"percent 0", flt(TYPE_PERCENT, 0.0), false, true},
        {"percent 0.5", flt(TYPE_PERCENT, 0.5), true, true},
        {"none", none::value, false, false},
        {"true", T, true, true},
        {"false", F, false, false},
        {"unset", unset::value, true, true},
        {"block", header(TYPE_BLOCK), true, true},
        {"string", header(TYPE_STRING), true, true},
        {"datatype", dt(TYPE_NONE), true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Cell proto{}, spec = c.spec;
        Cell* r = datatype::action<A_MAKE>(TYPE_LOGIC)(&proto, &spec, TYPE_LOGIC);
        EXPECT_EQ(r, &proto);
        EXPECT_EQ(r->header, uint32_t(TYPE_LOGIC));
        EXPECT_EQ(r->data1, c.make ? 1u : 0u);
        proto = Cell{};
        r = datatype::action<A_TO>(TYPE_LOGIC)(&proto, &spec, TYPE_LOGIC);
        EXPECT_EQ(r->header, uint32_t(TYPE_LOGIC));
        EXPECT_EQ(r->data1, c.to ? 1u : 0u);
    }
}

TEST(SimpleTypes, MakeAndToUnsetAndNoneIgnoreTheSpec) {
    for (Cell spec : {integer(5), none::value, T, header(TYPE_BLOCK), unset::value}) {
        for (Type t : {TYPE_UNSET, TYPE_NONE}) {
            for (auto fn : {datatype::action<A_MAKE>(t), datatype::action<A_TO>(t)}) {
                Cell proto = integer(99), s = spec;
                Cell* r = fn(&proto, &s, t);
                EXPECT_EQ(r, &proto);
                EXPECT_EQ(r->header, uint32_t(t));
                EXPECT_EQ(r->data1, 0u);
            }
        }
    }
}

TEST(SimpleTypes, RandomLogicFollowsTheGeneratorAndItsSeed) {
    auto rnd = datatype::action<A_RANDOM>(TYPE_LOGIC);
    for (bool seed : {true, false}) {
        SCOPED_TRACE(seed);
        Cell s = logic::make(seed);
        Cell* r = rnd(&s, true, false, false);
        EXPECT_EQ(r->header, uint32_t(TYPE_UNSET)) << "seeding answers unset";
        std::vector<bool> drawn;
        for (int i = 0; i < 64; i++) {
            Cell v = F;
            drawn.push_back(logic::get(rnd(&v, false, false, false)));
        }
        random::seed(seed ? 1 : 0);
        std::vector<bool> expected;
        for (int i = 0; i < 64; i++) expected.push_back(random::next() > 0x3FFFFFFF);
        EXPECT_EQ(drawn, expected);
        EXPECT_NE(std::count(drawn.begin(), drawn.end(), true), 0);
        EXPECT_NE(std::count(drawn.begin(), drawn.end(), false), 0);
    }
    std::set<bool> secure;
    for (int i = 0; i < 200; i++) {
        Cell v = F;
        secure.insert(logic::get(rnd(&v, false, true, false)));
    }
    EXPECT_EQ(secure.size(), 2u) << "the secure source gives both answers";
    random::init();
}

TEST(SimpleTypes, ComplementFlipsInPlace) {
    Cell v = T;
    auto comp = datatype::action<A_COMPLEMENT>(TYPE_LOGIC);
    EXPECT_EQ(comp(&v), &v);
    EXPECT_FALSE(logic::get(&v));
    comp(&v);
    EXPECT_TRUE(logic::get(&v));
}

TEST(SimpleTypes, BitwiseLogicOps) {
    struct Case {
        int slot;
        bool a, b, result;
    };
    std::vector<Case> cases;
    for (bool a : {false, true})
        for (bool b : {false, true}) {
            cases.push_back({A_AND_T, a, b, a && b});
            cases.push_back({A_OR_T, a, b, a || b});
            cases.push_back({A_XOR_T, a, b, a != b});
        }
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "slot " << c.slot << " " << c.a << " " << c.b);
        CallFrame frame;
        logic::push(c.a);
        logic::push(c.b);
        auto fn = reinterpret_cast<StackOnlyFn>(datatype::entry(TYPE_LOGIC, c.slot));
        Cell* r = fn();
        EXPECT_EQ(r, stack::arguments);
        EXPECT_EQ(r->header, uint32_t(TYPE_LOGIC));
        EXPECT_EQ(r->data1, c.result ? 1u : 0u);
    }
}

TEST(SimpleTypes, BitwiseLogicOpsWantALogicSecondArgument) {
    for (int slot : {A_AND_T, A_OR_T, A_XOR_T}) {
        for (Cell second : {integer(1), none::value}) {
            SCOPED_TRACE(::testing::Message() << "slot " << slot << " type " << int(second.type()));
            CallFrame frame;
            logic::push(true);
            stack::push(&second);
            auto fn = reinterpret_cast<StackOnlyFn>(datatype::entry(TYPE_LOGIC, slot));
            EXPECT_THROW(fn(), Thrown);
            EXPECT_EQ(raised(), "script/expect-arg");
            ASSERT_GE(last_raised().nargs, 2);
            EXPECT_EQ(last_raised().args[1].header, uint32_t(TYPE_DATATYPE));
            EXPECT_EQ(last_raised().args[1].data1, uint32_t(second.type()));
        }
    }
}

TEST(SimpleTypes, TruthRule) {
    Cell nl_none = none::value;
    nl_none.header |= FLAG_NEW_LINE;
    struct Case {
        const char* what;
        Cell v;
        bool truth;
    };
    const Case cases[] = {
        {"none", none::value, false},
        {"none after a new line", nl_none, false},
        {"false", F, false},
        {"true", T, true},
        {"logic 2", Cell{uint32_t(TYPE_LOGIC), 2, 0, 0}, true},
        {"unset", unset::value, true},
        {"integer 0", integer(0), true},
        {"float 0.0", flt(TYPE_FLOAT, 0.0), true},
        {"empty block", header(TYPE_BLOCK), true},
        {"datatype none!", dt(TYPE_NONE), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(logic::is_true(&c.v), c.truth);
        EXPECT_EQ(logic::value_true(&c.v, false, nullptr), c.truth);
        CallFrame frame;
        stack::push(&c.v);
        EXPECT_EQ(logic::true_last(), c.truth);
        EXPECT_EQ(logic::top_true(), c.truth);
        EXPECT_EQ(logic::top_false(), !c.truth);
        if (!c.v.is(TYPE_UNSET)) {
            EXPECT_EQ(logic::true_checked(), c.truth);
        }
    }
}

TEST(SimpleTypes, UnsetWhereAValueIsNeeded) {
    Cell name = integer(42);  // stands for the word being tested
    EXPECT_THROW(logic::value_true(&unset::value, true, &name), Thrown);
    EXPECT_EQ(raised(), "script/no-value");
    ASSERT_EQ(last_raised().nargs, 1);
    EXPECT_EQ(last_raised().args[0].data2, 42u);
    EXPECT_FALSE(logic::value_true(&none::value, true, &name));

    CallFrame frame;
    unset::push();
    EXPECT_THROW(logic::true_checked(), Thrown);
    EXPECT_EQ(raised(), "script/no-return");
}

TEST(SimpleTypes, TopOfAnEmptyCallIsItsArgumentsBase) {
    CallFrame outer;
    logic::push(true);  // below the call: not the call's value
    CallFrame inner;
    stack::set_last(&F);
    EXPECT_FALSE(logic::top_true());
    EXPECT_TRUE(logic::top_false());
    logic::push(true);
    EXPECT_TRUE(logic::top_true());
}

TEST(SimpleTypes, NoneAnswersNoneToSeriesActions) {
    auto check = [](const char* what, Cell* (*call)(Cell*)) {
        SCOPED_TRACE(what);
        Cell s = none::value;
        Cell* r = call(&s);
        EXPECT_EQ(r, &s);
        EXPECT_EQ(r->header, uint32_t(TYPE_NONE));
    };
    static Cell arg = integer(1);
    check("clear", [](Cell* s) { return datatype::action<A_CLEAR>(TYPE_NONE)(s); });
    check("find", [](Cell* s) {
        return datatype::action<A_FIND>(TYPE_NONE)(s, &arg, nullptr, false, false, false, false, nullptr, nullptr,
                                                   false, false, false, false);
    });
    check("select", [](Cell* s) {
        return datatype::action<A_SELECT>(TYPE_NONE)(s, &arg, nullptr, false, false, false, false, nullptr,
                                                     nullptr, false, false);
    });
    check("remove", [](Cell* s) { return datatype::action<A_REMOVE>(TYPE_NONE)(s, nullptr, nullptr); });
    check("take", [](Cell* s) { return datatype::action<A_TAKE>(TYPE_NONE)(s, nullptr, false, true); });
    Cell s = none::value;
    EXPECT_EQ(datatype::action<A_LENGTH_Q>(TYPE_NONE)(&s), -1) << "-1: the action answers none";
}

TEST(SimpleTypes, ResultHelpers) {
    {
        CallFrame frame;
        logic::push(true);
        EXPECT_EQ(none::set_last(), stack::arguments);
        EXPECT_EQ(stack::arguments->header, uint32_t(TYPE_NONE));
        EXPECT_EQ(unset::set_last()->header, uint32_t(TYPE_UNSET));
        Cell* r = logic::box(true);
        EXPECT_EQ(r, stack::arguments);
        EXPECT_TRUE(logic::get(r));
        EXPECT_EQ(r->header, uint32_t(TYPE_LOGIC));
        EXPECT_EQ(stack::depth(), int32_t(stack::arguments - stack::bottom) + 1) << "nothing pushed";
        EXPECT_EQ(none::push()->header, uint32_t(TYPE_NONE));
        EXPECT_EQ(unset::push()->header, uint32_t(TYPE_UNSET));
        Cell* f = logic::push(false);
        EXPECT_EQ(f, stack::top_ptr - 1);
        EXPECT_EQ(f->header, uint32_t(TYPE_LOGIC));
        EXPECT_FALSE(logic::get(f));
    }
    Cell blk;
    block::make_at(&blk, 0);
    none::make_in(&blk);
    unset::make_in(&blk);
    logic::make_in(&blk, true);
    logic::make_in(&blk, false);
    ASSERT_EQ(block::length(&blk), 4);
    const uint32_t headers[] = {TYPE_NONE, TYPE_UNSET, TYPE_LOGIC, TYPE_LOGIC};
    for (int i = 0; i < 4; i++) EXPECT_EQ(block::at(&blk, i)->header, headers[i]);
    EXPECT_EQ(block::at(&blk, 2)->data1, 1u);
    EXPECT_EQ(block::at(&blk, 3)->data1, 0u);
}
