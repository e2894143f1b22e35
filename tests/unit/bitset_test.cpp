#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "compound_fixtures.hpp"
#include "datatypes/bitset.hpp"
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
using testing_numbers::binary;

namespace {

Cell dash() { return w("-"); }

Cell make_set(Cell spec) {
    Cell out;
    return *bitset::make_from_spec(&out, &spec, bitset::BY_MAKE);
}
// charset of the characters of a text
Cell charset(const char* chars) { return make_set(text(chars)); }
Cell complemented(Cell s) { return *datatype::action<A_COMPLEMENT>(TYPE_BITSET)(&s); }

bool has(Cell s, Cell value) {
    return bitset::process_spec(&value, &s, bitset::TEST, bitset::BY_ACTION) != 0;
}
bool has(Cell s, int32_t i) { return has(s, integer(i)); }

std::string member_list(const Cell& s, int32_t upto) {
    std::string out;
    for (int32_t i = 0; i <= upto; i++)
        if (bitset::test_bit(&s, i)) out += std::to_string(i) + " ";
    return out;
}

// The reference: a set of listed integers, or every integer but those.
struct Model {
    bool all_but = false;
    std::set<int32_t> listed;
    bool has(int32_t i) const { return all_but != (listed.count(i) > 0); }
};

Cell set_of(const Model& m) {
    std::vector<Cell> items;
    if (m.all_but) items.push_back(w("not"));
    for (int32_t i : m.listed) items.push_back(integer(i));
    return make_set(block_of(items));
}

}  // namespace

TEST(Bitset, MakeFromSpecs) {
    struct Case {
        const char* what;
        Cell spec;
        const char* mold;
        int32_t length;
    } cases[] = {
        {"size 10", integer(10), "make bitset! #{0000}", 16},
        {"size 0", integer(0), "make bitset! #{}", 0},
        {"size 8", integer(8), "make bitset! #{00}", 8},
        {"float size", real(10.9), "make bitset! #{0000}", 16},
        {"string", text("AB"), "make bitset! #{000000000000000060}", 72},
        {"empty string", text(""), "make bitset! #{00}", 8},
        {"char", chr('A'), "make bitset! #{000000000000000040}", 72},
        {"integers", block_of({integer(1), integer(2), integer(3)}), "make bitset! #{70}", 8},
        {"integer range", block_of({integer(0), dash(), integer(7)}), "make bitset! #{FF}", 8},
        {"char range", block_of({chr('a'), dash(), chr('c')}), "make bitset! #{00000000000000000000000070}", 104},
        {"nested", block_of({block_of({integer(0)}), text("\x01"), real(2.5)}), "make bitset! #{E0}", 8},
        {"not", block_of({w("not"), text("a")}), "make bitset! [not #{00000000000000000000000040}]", 104},
        {"not range", block_of({w("NOT"), integer(8), dash(), integer(15)}), "make bitset! [not #{00FF}]", 16},
        {"binary", binary({0x0F, 0x80}), "make bitset! #{0F80}", 16},
        {"not binary", block_of({w("not"), binary({0x0F})}), "make bitset! [not #{0F}]", 8},
        {"negative size", integer(-1), "error script/out-of-range", 0},
        {"negative index", block_of({integer(-1)}), "error script/out-of-range", 0},
        {"range down", block_of({chr('c'), dash(), chr('a')}), "error script/past-end", 0},
        {"range without end", block_of({chr('a'), dash()}), "error script/past-end", 0},
        {"range of two types", block_of({chr('a'), dash(), integer(5)}), "error script/invalid-arg", 0},
        {"binary in a block", block_of({integer(1), binary({1})}), "error internal/not-done", 0},
        {"other type", none::value, "error script/bad-make-arg", 0},
        {"other type inside", block_of({integer(1), none::value}), "error script/bad-make-arg", 0},
        {"huge float size", real(1e10), "error script/out-of-range", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Cell made{};
        std::string err = raised([&] { made = make_set(c.spec); });
        if (!err.empty()) {
            EXPECT_EQ(joined("error ", err), c.mold);
            continue;
        }
        EXPECT_EQ(shown(made), c.mold);
        EXPECT_EQ(testing_blocks::form_text(made), c.mold);
        EXPECT_EQ(bitset::length_q(&made), c.length);
    }
}

TEST(Bitset, ToRefusesSizesAndNamesItsOwnError) {
    EXPECT_EQ(converted(A_TO, TYPE_BITSET, integer(10)), "error script/bad-to-arg");
    EXPECT_EQ(converted(A_TO, TYPE_BITSET, none::value), "error script/bad-to-arg");
    EXPECT_EQ(converted(A_TO, TYPE_BITSET, block_of({logic::make(true)})), "error script/bad-to-arg");
    EXPECT_EQ(converted(A_TO, TYPE_BITSET, text("A")), "make bitset! #{000000000000000040}");
    EXPECT_EQ(converted(A_MAKE, TYPE_BITSET, integer(16)), "make bitset! #{0000}");
}

TEST(Bitset, MoldReadsBackAndCopiesAreIndependent) {
    // the molded spec of a complemented set makes the same set again
    Cell s = make_set(block_of({w("not"), text("abc")}));
    Cell again = make_set(block_of({w("not"), binary({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x70})}));
    EXPECT_EQ(shown(again), shown(s));
    EXPECT_EQ(datatype::action<A_COMPARE>(TYPE_BITSET)(&s, &again, actions::EQUAL), 0);
    Cell copy = make_set(s);
    Cell into;
    datatype::action<A_COPY>(TYPE_BITSET)(&s, &into, nullptr, false, nullptr);
    Cell b = chr('b');
    datatype::action<A_APPEND>(TYPE_BITSET)(&copy, &b, -1, false, 1, true);
    EXPECT_TRUE(has(copy, chr('b')));
    EXPECT_FALSE(has(s, chr('b')));
    EXPECT_FALSE(has(into, chr('b')));
    EXPECT_TRUE(bitset::complemented(&copy) && bitset::complemented(&into)) << "the flag is copied";
}

TEST(Bitset, MoldWithAPartLimit) {
    Cell s = make_set(integer(64));
    int32_t budget = 0;
    // "make bitset! #{" takes 15 of 20; each byte 2 more; the third goes below 0
    EXPECT_EQ(testing_blocks::mold_text(s, false, false, 20, &budget), "make bitset! #{000000");
    EXPECT_EQ(budget, -1);
    EXPECT_EQ(testing_blocks::mold_text(s, false, false, -1, &budget), "make bitset! #{0000000000000000}");
    EXPECT_EQ(budget, mold::NO_LIMIT - 32);
}

TEST(Bitset, MembershipInsideAndBeyondTheStoredBytes) {
    Cell s = make_set(block_of({w("not"), text("a")}));
    EXPECT_TRUE(has(s, chr('b')));
    EXPECT_FALSE(has(s, chr('a')));
    EXPECT_TRUE(has(s, 1000000));
    EXPECT_TRUE(has(s, -1)) << "a negative index lies beyond the stored bytes";
    Cell plain = charset("abc");
    EXPECT_FALSE(has(plain, -1));
    EXPECT_FALSE(has(plain, 1000000));
    EXPECT_TRUE(has(plain, text("cab")));
    EXPECT_FALSE(has(plain, text("abd")));
    EXPECT_TRUE(has(plain, block_of({chr('a'), dash(), chr('c')})));
    EXPECT_FALSE(has(plain, block_of({chr('a'), dash(), chr('d')})));
    Cell wide = make_set(block_of({integer(3), dash(), integer(700)}));
    EXPECT_EQ(member_list(wide, 5), "3 4 5 ");
    EXPECT_TRUE(has(wide, block_of({integer(3), dash(), integer(700)})));
    EXPECT_FALSE(has(wide, block_of({integer(2), dash(), integer(700)})));
    EXPECT_FALSE(has(wide, block_of({integer(3), dash(), integer(701)})));
    EXPECT_EQ(raised([&] { has(plain, none::value); }), "script/invalid-arg");
}

TEST(Bitset, PickFindPokeAndPaths) {
    auto pick = [](Cell s, Cell index) {
        return outcome([&] { return *datatype::action<A_PICK>(TYPE_BITSET)(&s, int32_t(index.data2), &index); });
    };
    auto find = [](Cell s, Cell value) {
        return outcome([&] {
            return *datatype::action<A_FIND>(TYPE_BITSET)(&s, &value, nullptr, false, false, false, false, nullptr,
                                                          nullptr, false, false, false, false);
        });
    };
    Cell s = charset("ab");
    EXPECT_EQ(pick(s, chr('a')), "true");
    EXPECT_EQ(pick(s, chr('c')), "false");
    EXPECT_EQ(pick(s, integer(-1)), "false");
    EXPECT_EQ(pick(complemented(s), integer(-1)), "true");
    EXPECT_EQ(find(s, text("ba")), "true");
    EXPECT_EQ(find(s, chr('z')), "none");
    EXPECT_EQ(find(s, none::value), "error script/invalid-arg");

    auto poke = datatype::action<A_POKE>(TYPE_BITSET);
    Cell one = make_set(integer(8)), yes = logic::make(true), zero = integer(0), index = integer(200);
    EXPECT_EQ(poke(&one, 200, &yes, &index), &yes);
    EXPECT_EQ(bitset::length_q(&one), 26 * 8);
    EXPECT_TRUE(has(one, 200));
    index = integer(5);
    poke(&one, 5, &yes, &index);
    EXPECT_TRUE(has(one, 5));
    poke(&one, 5, &zero, &index);
    EXPECT_FALSE(has(one, 5));
    for (Cell off : {none::value, logic::make(false), real(0.0)}) {
        poke(&one, 5, &yes, &index);
        poke(&one, 5, &off, &index);
        EXPECT_FALSE(has(one, 5)) << shown(off);
    }
    Cell chars = text("xy");
    poke(&one, 0, &yes, &chars);
    EXPECT_TRUE(has(one, chr('x')) && has(one, chr('y')));
    // a complemented set grows only to clear
    Cell all = complemented(make_set(integer(8)));
    index = integer(100);
    poke(&all, 100, &yes, &index);
    EXPECT_EQ(bitset::length_q(&all), 8);
    poke(&all, 100, &zero, &index);
    EXPECT_EQ(bitset::length_q(&all), 13 * 8);
    EXPECT_FALSE(has(all, 100));
    EXPECT_TRUE(has(all, 99) && has(all, 101) && has(all, 5000));

    auto path = datatype::action<A_EVAL_PATH>(TYPE_BITSET);
    Cell none_path = none::value, element = chr('q'), t = logic::make(true), bad = text("q");
    EXPECT_EQ(shown(*path(&s, &element, nullptr, &none_path, nullptr, nullptr, 0, false, true, false, false)), "false");
    EXPECT_EQ(path(&s, &element, &t, &none_path, nullptr, nullptr, 0, false, false, false, false), &t);
    EXPECT_TRUE(has(s, chr('q')));
    EXPECT_EQ(raised([&] { path(&s, &bad, nullptr, &none_path, nullptr, nullptr, 0, false, true, false, false); }),
              "script/invalid-type");
}

TEST(Bitset, AppendRemoveClearLength) {
    auto append = datatype::action<A_APPEND>(TYPE_BITSET);
    auto remove = datatype::action<A_REMOVE>(TYPE_BITSET);
    Cell s = make_set(integer(0));
    Cell chars = text("abc"), range = block_of({integer(10), dash(), integer(12)});
    EXPECT_EQ(append(&s, &chars, -1, false, 1, true), &s);
    datatype::action<A_INSERT>(TYPE_BITSET)(&s, &range, -1, false, 1, false);
    EXPECT_EQ(member_list(s, 20), "10 11 12 ");
    EXPECT_TRUE(has(s, text("abc")));
    Cell b = chr('b'), eleven = integer(11);
    remove(&s, &b, nullptr);
    remove(&s, &eleven, nullptr);
    EXPECT_FALSE(has(s, chr('b')));
    EXPECT_EQ(member_list(s, 20), "10 12 ");
    EXPECT_EQ(raised([&] { remove(&s, nullptr, nullptr); }), "script/missing-arg");
    Cell n = none::value;
    EXPECT_EQ(raised([&] { append(&s, &n, -1, false, 1, true); }), "script/invalid-arg");

    // removing from a complemented set takes the members out too
    Cell all_but_a = complemented(charset("a"));
    remove(&all_but_a, &b, nullptr);
    EXPECT_FALSE(has(all_but_a, chr('b')));
    EXPECT_FALSE(has(all_but_a, chr('a')));
    EXPECT_TRUE(has(all_but_a, chr('c')));

    int32_t before = bitset::length_q(&s);
    datatype::action<A_CLEAR>(TYPE_BITSET)(&s);
    EXPECT_EQ(bitset::length_q(&s), before);
    EXPECT_EQ(member_list(s, before + 8), "");
    // clear keeps the flag: a complemented set loses its exceptions
    Cell c = complemented(charset("a"));
    datatype::action<A_CLEAR>(TYPE_BITSET)(&c);
    EXPECT_TRUE(has(c, chr('a')));
    EXPECT_TRUE(bitset::complemented(&c));
}

TEST(Bitset, ComplementAndNegate) {
    Cell s = charset("a");
    Cell c = complemented(s);
    EXPECT_EQ(bitset::length_q(&c), bitset::length_q(&s));
    for (int32_t i : {0, 96, 97, 98, 103, 104, 100000}) EXPECT_NE(has(s, i), has(c, i)) << i;
    Cell cc = complemented(c);
    EXPECT_EQ(datatype::action<A_COMPARE>(TYPE_BITSET)(&cc, &s, actions::EQUAL), 0);
    EXPECT_FALSE(bitset::complemented(&s)) << "complement makes a copy";
    Cell n = s;
    datatype::action<A_NEGATE>(TYPE_BITSET)(&n);
    EXPECT_EQ(shown(n), shown(c));
}

TEST(Bitset, Comparison) {
    auto cmp = [](Cell a, Cell b, int32_t op = actions::EQUAL) {
        return datatype::action<A_COMPARE>(TYPE_BITSET)(&a, &b, op);
    };
    Cell ab = charset("ab");
    EXPECT_EQ(cmp(ab, charset("ba")), 0);
    EXPECT_EQ(cmp(ab, charset("ac")), 1) << "b is bit 98, c bit 99: the byte of b is greater";
    EXPECT_EQ(cmp(charset("a"), charset("z")), -1) << "fewer bytes first";
    EXPECT_EQ(cmp(make_set(integer(0)), make_set(integer(0))), 0);
    EXPECT_EQ(cmp(make_set(integer(0)), complemented(make_set(integer(0)))), -1) << "nothing is not everything";
    EXPECT_EQ(cmp(complemented(ab), ab), 1);
    EXPECT_EQ(cmp(ab, ab, actions::SAME), 0);
    EXPECT_EQ(cmp(ab, make_set(ab), actions::SAME), 1);
    EXPECT_EQ(cmp(ab, integer(1)), -2);
}

TEST(Bitset, BitwiseAndSetOperationLengths) {
    Cell one = make_set(block_of({integer(0), dash(), integer(7)}));                     // #{FF}
    Cell four = make_set(block_of({integer(4), dash(), integer(11), integer(31)}));  // #{0FF00001}
    auto bitwise = [](int32_t op, Cell a, Cell b) {
        return testing_blocks::call_on_stack([op] { bitset::do_bitwise(op); }, {a, b});
    };
    EXPECT_EQ(shown(bitwise(6, one, four)), "make bitset! #{0F}");
    EXPECT_EQ(shown(bitwise(10, one, four)), "make bitset! #{0F000000}");
    EXPECT_EQ(shown(bitwise(5, one, four)), "make bitset! #{FFF00001}");
    EXPECT_EQ(shown(bitwise(9, one, four)), "make bitset! #{FFF00001}");
    EXPECT_EQ(shown(bitwise(7, one, four)), "make bitset! #{F0F00001}");
    EXPECT_EQ(shown(bitwise(12, one, four)), "make bitset! #{F0F00001}");
    EXPECT_EQ(shown(bitwise(11, one, four)), "make bitset! #{F0000000}");
    EXPECT_EQ(shown(bitwise(11, four, one)), "make bitset! #{00F00001}");
    EXPECT_EQ(shown(bitwise(8, four, one)), shown(four));
    // the action slots reach the same operations
    EXPECT_EQ(shown(call_slot(A_OR_T, {one, four})), "make bitset! #{FFF00001}");
    EXPECT_EQ(shown(call_slot(A_XOR_T, {one, four})), "make bitset! #{F0F00001}");
    EXPECT_EQ(op(A_AND_T, one, integer(1)), "error script/invalid-type");
}

TEST(Bitset, SetOperationsWithComplementedOperands) {
    // the cases that a flag set "when exactly one operand is complemented" gets wrong
    auto result = [](int32_t op, Cell a, Cell b) {
        return testing_blocks::call_on_stack([op] { bitset::do_bitwise(op); }, {a, b});
    };
    EXPECT_TRUE(has(result(9, charset("z"), complemented(charset("a"))), chr('y')));
    EXPECT_TRUE(has(result(6, complemented(charset("a")), complemented(charset("b"))), chr('z')));
    EXPECT_FALSE(has(result(6, complemented(charset("a")), complemented(charset("b"))), chr('b')));

    // every operation on every mix of plain and complemented, shorter and longer
    // operands, against the reference sets, inside and well beyond the stored bytes
    const std::vector<Model> models = {
        {false, {1, 5}},         {false, {3, 40, 41}}, {true, {2, 5}},
        {true, {7, 33, 60}},     {false, {}},          {true, {}},
    };
    struct Op {
        int32_t code;
        bool (*rule)(bool, bool);
    } ops[] = {
        {5, [](bool a, bool b) { return a || b; }},  {6, [](bool a, bool b) { return a && b; }},
        {7, [](bool a, bool b) { return a != b; }},  {9, [](bool a, bool b) { return a || b; }},
        {10, [](bool a, bool b) { return a && b; }}, {11, [](bool a, bool b) { return a && !b; }},
        {12, [](bool a, bool b) { return a != b; }},
    };
    for (const Model& ma : models) {
        for (const Model& mb : models) {
            for (const Op& o : ops) {
                Cell r = result(o.code, set_of(ma), set_of(mb));
                for (int32_t i = 0; i < 200; i++) {
                    ASSERT_EQ(bitset::test_bit(&r, i), o.rule(ma.has(i), mb.has(i)))
                        << "op " << o.code << " index " << i << " " << shown(set_of(ma)) << " "
                        << shown(set_of(mb)) << " -> " << shown(r);
                }
            }
        }
    }
}

TEST(Bitset, OwnerHearsOfChanges) {
    using namespace testing_objects;
    HandlerRecorder recorder;
    Cell s = charset("a");
    make_object({set_word("chars"), s, set_word("on-deep-change*"),
                 handler({"owner", "word", "target", "action", "new", "index", "part"})});
    auto actions_seen = [] {
        std::string out;
        for (const auto& c : HandlerRecorder::calls()) out += spelling(c.args[3]) + " ";
        return out;
    };
    recorder.calls().clear();
    Cell b = chr('b'), yes = logic::make(true), index = integer(3);
    datatype::action<A_APPEND>(TYPE_BITSET)(&s, &b, -1, false, 1, true);
    datatype::action<A_POKE>(TYPE_BITSET)(&s, 3, &yes, &index);
    datatype::action<A_REMOVE>(TYPE_BITSET)(&s, &b, nullptr);
    datatype::action<A_CLEAR>(TYPE_BITSET)(&s);
    EXPECT_EQ(actions_seen(), "append appended poke poked remove removed clear cleared ");
    EXPECT_EQ(spelling(HandlerRecorder::calls()[0].args[1]), "chars");

    Cell r = s;
    datatype::action<A_REFLECT>(TYPE_BITSET)(&r, symbol::make("owned"));
    EXPECT_TRUE(r.is(TYPE_OBJECT));
    Cell owned = w("owned"), n = none::value;
    datatype::action<A_MODIFY>(TYPE_BITSET)(&s, &owned, &n, false);
    r = s;
    datatype::action<A_REFLECT>(TYPE_BITSET)(&r, symbol::make("owned"));
    EXPECT_TRUE(r.is(TYPE_NONE));
    recorder.calls().clear();
    datatype::action<A_APPEND>(TYPE_BITSET)(&s, &b, -1, false, 1, true);
    EXPECT_EQ(actions_seen(), "") << "released by modify";
    EXPECT_EQ(raised([&] { datatype::action<A_REFLECT>(TYPE_BITSET)(&r, symbol::make("spec")); }),
              "internal/not-done");
}
