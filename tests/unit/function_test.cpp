#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/function.hpp"
#include "foundation/collector.hpp"
#include "foundation/gc.hpp"
#include "object_fixtures.hpp"

using namespace kro;
using namespace kro::testing_objects;

namespace {

const Cell function_type{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_FUNCTION), 0, 0};

Cell typeword(const char* name) { return w(name); }
Cell refinement(const char* name) { return w(name, TYPE_REFINEMENT); }
Cell doc(const char* t) { return text(t); }
Cell types(std::vector<Cell> names) { return block_of(names); }

Cell make_function(Cell spec) {
    Cell proto = function_type;
    return *function::make(&proto, &spec, TYPE_FUNCTION);
}

Cell* record(const Cell& fn) { return memory::buffer_of(fn.data3)->cells(); }

}  // namespace

TEST(FunctionSpec, ValidationRules) {
    ScratchText strings;
    bind_datatype_words();
    Cell integer_type{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_INTEGER), 0, 0};
    struct Case {
        const char* name;
        std::vector<Cell> spec;
        const char* error;  // "" when valid
    } cases[] = {
        {"return: after /local",
         {doc("doc"), w("a"), types({typeword("integer!")}), doc("arg doc"), refinement("ref"), w("b"),
          refinement("local"), w("c"), set_word("return"), types({typeword("integer!")})},
         "script/bad-func-def"},
        {"return before locals",
         {w("a"), set_word("return"), types({typeword("integer!")}), refinement("local"), w("c")},
         ""},
        {"a doc string before a type block",
         {w("a"), doc("doc"), types({typeword("integer!")})},
         "script/bad-func-def"},
        {"a type block before a doc string", {w("a"), types({typeword("integer!")}), doc("doc")}, ""},
        {"a datatype value in a type block", {w("a"), types({integer_type})}, ""},
        {"lit and get arguments", {lit("a"), w("b", TYPE_GET_WORD)}, ""},
        {"a lit-word after /local", {w("a"), refinement("local"), lit("b")}, "script/bad-func-def"},
        {"a refinement after /local", {w("a"), refinement("local"), w("b"), refinement("r")}, "script/bad-func-def"},
        {"an argument after return:",
         {set_word("return"), types({typeword("integer!")}), w("a")},
         "script/bad-func-def"},
        {"a type block after a refinement", {refinement("r"), types({typeword("integer!")})}, "script/bad-func-def"},
        {"a second return:", {set_word("return"), types({}), set_word("return"), types({})}, "script/bad-func-def"},
        {"another set-word", {set_word("result"), types({})}, "script/bad-func-def"},
        {"return: without its block", {set_word("return"), w("a")}, "script/bad-func-def"},
        {"return: block then a word", {set_word("return"), types({}), w("a")}, "script/bad-func-def"},
        {"an integer", {w("a"), integer(1)}, "script/bad-func-def"},
        {"an unknown type word", {w("a"), types({typeword("no-such-type!")})}, "script/invalid-type-spec"},
        {"an integer in a type block", {w("a"), types({integer(3)})}, "script/invalid-type-spec"},
        {"a repeated name ignoring case", {w("a"), w("A")}, "script/dup-vars"},
        {"a refinement named as an argument", {w("a"), refinement("a")}, "script/dup-vars"},
        {"an attribute block", {types({w("trace")}), w("a")}, ""},
        {"a non-word attribute", {types({integer(1)}), w("a")}, "script/bad-func-def"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell spec = block_of(c.spec);
        EXPECT_EQ(raised([&] { function::validate_spec(&spec); }), c.error);
    }
    Cell repeated = block_of({w("a"), w("A")});
    raised([&] { function::validate_spec(&repeated); });
    EXPECT_EQ(spelling(last_raised().args[0]), "A") << "the repeated word";
    Cell traced = block_of({types({w("trace")})});
    EXPECT_EQ(function::validate_spec(&traced), function::FLAG_TRACE);
    Cell untraced = block_of({types({w("no-trace"), w("other")})});
    EXPECT_EQ(function::validate_spec(&untraced), function::FLAG_NO_TRACE);
}

TEST(Function, MakeMoldFormAndTheRecord) {
    ScratchNumbers numbers;
    Cell f = make_function(block_of({block_of({w("a")}), block_of({w("a"), w("+"), integer(1)})}));
    EXPECT_TRUE(f.is(TYPE_FUNCTION));
    EXPECT_EQ(mold_text(f), "func [a][a + 1]");
    EXPECT_EQ(form_text(f), "?function?");
    EXPECT_EQ(context::owner(f.data1)->data3, f.data3) << "the context knows its function";
    EXPECT_TRUE(context::on_stack(f.data1));
    EXPECT_EQ(context::kind_of(f.data1), context::FUNCTION);
    Cell body = record(f)[function::BODY];
    EXPECT_EQ(block::at(&body, 0)->data1, f.data1) << "the body is bound to the locals";
    EXPECT_EQ(block::at(&body, 1)->data1, 0u) << "words the spec does not name keep their binding";
    for (int32_t i : {1, 2, 3, 4}) EXPECT_TRUE(record(f)[i].is(TYPE_UNSET)) << i;

    Cell traced = make_function(block_of({block_of({block_of({w("trace")}), w("a")}), block_of({})}));
    EXPECT_EQ(traced.header & ~TYPE_MASK, function::FLAG_TRACE);

    struct Bad {
        const char* name;
        Cell spec;
    } bad[] = {
        {"one block", block_of({block_of({w("a")})})},
        {"spec not a block", block_of({w("a"), block_of({})})},
        {"body not a block", block_of({block_of({}), w("a")})},
        {"not a block", integer(1)},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.name);
        EXPECT_EQ(raised([&] { make_function(b.spec); }), "script/bad-func-def");
    }
    EXPECT_EQ(raised([] { make_function(block_of({block_of({w("a"), w("A")}), block_of({})})); }), "script/dup-vars");
    EXPECT_EQ(datatype::action<A_MAKE>(TYPE_ROUTINE), nullptr) << "routines are not made with make";
}

TEST(Function, MakeValueCopiesTheSpecFromItsHeadAndTheBodyDeep) {
    ScratchNumbers numbers;
    Cell spec = block_of({w("skipped"), w("a"), w("b")});
    spec.data1 = 1;
    Cell inner = block_of({w("a")});
    Cell body = block_of({inner, w("b")});
    uint32_t ctx = function::make_value(&spec, &body, 0, 0, 0, 0);
    Cell f = *stack::top();
    stack::pop(1);
    EXPECT_EQ(f.data1, ctx);
    EXPECT_NE(f.data2, spec.data2) << "a spec not at its head is copied";
    EXPECT_EQ(mold_text(f), "func [a b][[a] b]");
    EXPECT_EQ(context::word_count(ctx), 2);
    Cell copy = record(f)[function::BODY];
    EXPECT_NE(copy.data2, body.data2);
    EXPECT_NE(block::at(&copy, 0)->data2, inner.data2) << "nested blocks are copied too";
    EXPECT_EQ(block::at(block::at(&copy, 0), 0)->data1, ctx);
    EXPECT_EQ(block::at(&inner, 0)->data1, 0u) << "the original body is left unbound";

    // without body; with a code entry and an owning object; with a context given
    Cell empty = block_of({w("x")});
    function::make_value(&empty, nullptr, 0, 5, 0, 0);
    Cell bare = *stack::top();
    stack::pop(1);
    EXPECT_EQ(mold_text(bare), "func [x] none");
    EXPECT_TRUE(record(bare)[function::BODY].is(TYPE_NONE));
    EXPECT_EQ(record(bare)[function::CODE].data2, 5u);
    Cell unbound_body = block_of({w("x")});
    uint32_t given = context::make_from_spec(&empty, true, false, context::FUNCTION);
    EXPECT_EQ(function::make_value(&empty, &unbound_body, given, 0, 0, 0), given);
    Cell with_given = *stack::top();
    stack::pop(1);
    Cell given_body = record(with_given)[function::BODY];
    EXPECT_EQ(block::at(&given_body, 0)->data1, 0u) << "a given context is taken as bound";
}

TEST(Function, TheRecordKeepsTheMethodsObjectContextAliveAndCurrent) {
    gc::Rooted spec(block_of({w("x")}));
    Cell owner_spec = block_of({w("m")});
    gc::RootedNode owner(context::make_from_spec(&owner_spec, false, false, context::OBJECT));
    function::make_value(spec.get(), nullptr, 0, 0, owner.node, 0);
    gc::Rooted fn(*stack::top());
    stack::pop(1);
    uint32_t method_ctx = owner.node;
    owner.node = 0;  // from here only the record holds the context
    collector::collect();
    Cell method_of = record(fn.cell)[function::METHOD_OF];
    ASSERT_TRUE(method_of.is(TYPE_OBJECT));
    if (!gc::stress) {
        EXPECT_EQ(method_of.data1, method_ctx);
    }
    EXPECT_EQ(context::word_count(method_of.data1), 1);
}

TEST(Function, ReflectCompareAndCodeTable) {
    ScratchNumbers numbers;
    Cell f = func({w("a"), refinement("r"), w("b")}, {w("a")});
    Cell v = f;
    function::reflect(&v, symbol::make("spec"));
    EXPECT_EQ(v.data2, f.data2) << "the function's own spec";
    v = f;
    function::reflect(&v, symbol::make("body"));
    EXPECT_EQ(v.data2, record(f)[function::BODY].data2);
    v = f;
    function::reflect(&v, symbol::make("words"));
    ASSERT_EQ(block::length(&v), 3);
    EXPECT_EQ(block::at(&v, 1)->data1, f.data1);
    EXPECT_TRUE(block::at(&v, 1)->is(TYPE_WORD));
    v = f;
    EXPECT_EQ(raised([&] { function::reflect(&v, symbol::make("class")); }), "internal/not-done");

    Cell g = func({w("a"), refinement("r"), w("b")}, {w("a")});
    Cell n = integer(1);
    EXPECT_EQ(function::compare(&f, &f, actions::EQUAL), 0);
    EXPECT_NE(function::compare(&f, &g, actions::EQUAL), 0) << "identical text, two functions";
    EXPECT_EQ(function::compare(&f, &g, actions::EQUAL), -function::compare(&g, &f, actions::EQUAL));
    EXPECT_EQ(function::compare(&f, &g, actions::LESSER), -2);
    EXPECT_EQ(function::compare(&f, &n, actions::EQUAL), -2);

    static int hits = 0;
    int32_t index = function::add_code([] { hits++; });
    EXPECT_GE(index, 1);
    int before = hits;
    function::code_at(index)();
    EXPECT_EQ(hits, before + 1);
    EXPECT_EQ(function::code_at(0), nullptr);
    EXPECT_EQ(function::code_at(index + 1), nullptr);
}

TEST(Function, LocalsCountsAndRefinementDefaults) {
    Cell spec = block_of({w("word"), w("old"), w("new"), refinement("local"), w("idx")});
    EXPECT_EQ(function::count_locals(spec.data2, 0, false), 2);
    Cell two = block_of({w("a"), refinement("local"), w("x"), w("y"), set_word("return"), block_of({})});
    EXPECT_EQ(function::count_locals(two.data2, 0, true), 3);
    Cell none_spec = block_of({w("a")});
    EXPECT_EQ(function::count_locals(none_spec.data2, 0, false), 0);
    EXPECT_EQ(function::count_locals(none_spec.data2, 0, true), -1);

    Cell* before = stack::top_ptr;
    function::push_refinement_defaults(3);
    ASSERT_EQ(stack::top_ptr - before, 3);
    EXPECT_TRUE(before[0].is(TYPE_LOGIC) && before[0].data1 == 0);
    EXPECT_TRUE(before[1].is(TYPE_NONE));
    EXPECT_TRUE(before[2].is(TYPE_NONE));
    stack::top_ptr = before;
    function::push_refinement_defaults(0);
    EXPECT_EQ(stack::top_ptr, before);
}

TEST(Function, CollectLocals) {
    struct Case {
        const char* name;
        std::vector<Cell> spec;
        std::vector<Cell> body;
        const char* spec_after;
    } cases[] = {
        {"set-words and loop words",
         {w("a")},
         {set_word("x"), w("a"), w("foreach"), block_of({w("k"), lit("v")}), w("data"), block_of({set_word("y")}),
          w("repeat"), w("i"), w("remove-each"), w("e"), w("a")},
         "[a /local x k v y i e]"},
        {"arguments and known locals are not gathered", {w("a"), refinement("local"), w("x")},
         {set_word("a"), set_word("x"), set_word("z")}, "[a /local x z]"},
        {"a word named local is not gathered", {w("a")}, {set_word("local"), set_word("b")}, "[a /local b]"},
        {"nothing to gather", {w("a")}, {w("a")}, "[a]"},
        {"nested blocks and parens", {}, {block_of({Cell{block_of({set_word("deep")})}})}, "[/local deep]"},
        {"extern excludes and is cut", {w("a"), refinement("extern"), w("g"), refinement("local"), w("l")},
         {set_word("g"), set_word("n")}, "[a /local l n]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cell spec = block_of(c.spec), body = block_of(c.body);
        Cell* top = stack::top_ptr;
        function::collect_locals(&spec, &body);
        stack::top_ptr = top;
        EXPECT_EQ(mold_text(spec), c.spec_after);
    }
    Cell paren_body = block_of({set_word("p")});
    paren_body.set_type(TYPE_PAREN);
    Cell spec = block_of({}), body = block_of({paren_body});
    Cell gathered = *function::collect_locals(&spec, &body);
    stack::pop(1);
    EXPECT_EQ(mold_text(gathered), "[p]") << "the block of gathered words";
    Cell self_holding = block_of({set_word("s")});
    block::ks_append(&self_holding, &self_holding);
    Cell spec2 = block_of({});
    function::collect_locals(&spec2, &self_holding);
    stack::pop(1);
    EXPECT_EQ(mold_text(spec2), "[/local s]") << "a body inside itself is walked once";
    Cell bad = block_of({refinement("extern"), integer(1)});
    Cell empty = block_of({});
    EXPECT_EQ(raised([&] { function::collect_locals(&bad, &empty); }), "script/bad-func-extern");
}

TEST(Routine, ValuesKindMoldAndReflect) {
    ScratchNumbers numbers;
    Cell spec = block_of({w("a"), doc("doc"), w("b"), refinement("r")});
    Cell r = *routine::make_value(&spec, nullptr, 3, -1, false);
    stack::pop(1);
    EXPECT_TRUE(r.is(TYPE_ROUTINE));
    EXPECT_EQ(routine::get_kind(&r), 2) << "the word! elements of its spec";
    EXPECT_EQ(r.header & routine::FLAG_MAKER, 0u);
    EXPECT_EQ(record(r)[function::CODE].data2, 3u);
    EXPECT_EQ(int32_t(record(r)[function::METHOD_OF].data2), -1);
    EXPECT_EQ(mold_text(r), "routine [a \"doc\" b /r] none");
    EXPECT_EQ(form_text(r), "?routine?");
    Cell body = block_of({w("a")});
    Cell flagged = *routine::make_value(&spec, &body, 3, 0, true);
    stack::pop(1);
    EXPECT_NE(flagged.header & routine::FLAG_MAKER, 0u);
    EXPECT_EQ(mold_text(flagged), "routine [a \"doc\" b /r][a]");
    Cell words = r;
    datatype::action<A_REFLECT>(TYPE_ROUTINE)(&words, symbol::make("words"));
    EXPECT_EQ(block::length(&words), 3) << "reflect comes from function!";
    EXPECT_EQ(function::compare(&r, &r, actions::EQUAL), 0);
    EXPECT_EQ(function::compare(&r, &flagged, actions::EQUAL) != 0, true);
}
