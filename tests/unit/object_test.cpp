#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/object.hpp"
#include "foundation/ownership.hpp"
#include "object_fixtures.hpp"

using namespace kro;
using namespace kro::testing_objects;

namespace {

const Cell object_type{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_OBJECT), 0, 0};

Cell reflect_of(const Cell& obj, const char* field) {
    Cell v = obj;
    return *object::reflect(&v, symbol::make(field));
}

int32_t length_of(Cell blk) { return block::length(&blk); }

std::vector<std::string> words_of(const Cell& blk) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < block::length(&blk); i++) out.push_back(spelling(*block::at(&blk, i)));
    return out;
}

// A path read or write as the path walk makes it: answers the value reached.
Cell path_step(Cell obj, Cell element, const Cell* value = nullptr, bool get = false, bool tail = true) {
    Cell path = block_of({w("o"), element});
    path.set_type(TYPE_PATH);
    Cell v = value ? *value : none::value;
    return *object::eval_path(&obj, &element, value ? &v : nullptr, &path, nullptr, nullptr, 1, false, get, tail,
                              false);
}

}  // namespace

TEST(Object, MakeFromASpecBlockCollectsItsSetWordsAndEvaluatesIt) {
    ScratchNumbers numbers;
    Cell o = make_object({set_word("a"), set_word("b"), integer(1), set_word("c"), lit("x")});
    EXPECT_TRUE(o.is(TYPE_OBJECT));
    EXPECT_EQ(object::field_count(&o), 3);
    EXPECT_EQ(field(o, "a").data2, 1u) << "set-words in a row share the value after them";
    EXPECT_EQ(field(o, "b").data2, 1u);
    Cell c = field(o, "c");
    EXPECT_TRUE(c.is(TYPE_WORD));
    EXPECT_EQ(spelling(c), "x");
    EXPECT_EQ(context::owner(o.data1)->data1, o.data1) << "the context knows its object";
    EXPECT_EQ(o.data3, 0u) << "no change handler, no on-set record";
    // make clears what its own spec assigned
    EXPECT_TRUE(words_of(reflect_of(o, "changed")).empty());
    EXPECT_EQ(raised([] { Cell p = object_type, s = integer(5); object::make(&p, &s, TYPE_OBJECT); }),
              "syntax/malconstruct");
    // without the SpecEvaluator fixture the spec is evaluated by the interpreter
    Cell p = object_type, s = block_of({set_word("a"), integer(1)});
    object::make(&p, &s, TYPE_OBJECT);
    EXPECT_EQ(field(p, "a").data2, 1u);
}

TEST(Object, ClassIdsTellPrototypesFromExtendedCopies) {
    ScratchNumbers numbers;
    uint32_t before = object::class_counter();
    EXPECT_GE(before, object::RUN_ID_BASE);
    Cell proto = make_object({set_word("a"), integer(1)});
    EXPECT_EQ(proto.data2, before + 1) << "a run-time object takes the next id after 1,000,000";
    Cell same1 = make_object({set_word("a"), integer(2)}, &proto);
    Cell same2 = make_object({}, &proto);
    EXPECT_EQ(same1.data2, proto.data2);
    EXPECT_EQ(same2.data2, proto.data2);
    Cell wider = make_object({set_word("b"), integer(2)}, &proto);
    EXPECT_EQ(wider.data2, proto.data2 + 1) << "adding a word takes a fresh id";
    Cell copy;
    object::copy(&proto, &copy, nullptr, false, nullptr);
    EXPECT_EQ(copy.data2, proto.data2) << "copy keeps the class";
    EXPECT_NE(copy.data1, proto.data1);
    EXPECT_EQ(reflect_of(wider, "class").data2, wider.data2);

    // while the system is built, ids come from the boot counter
    object::use_boot_ids(true);
    Cell boot1 = make_object({});
    Cell boot2 = make_object({});
    object::use_boot_ids(false);
    EXPECT_GE(boot1.data2, object::BOOT_FIRST_ID);
    EXPECT_LT(boot1.data2, object::RUN_ID_BASE);
    EXPECT_EQ(boot2.data2, boot1.data2 + 1);
    EXPECT_EQ(make_object({}).data2, wider.data2 + 1) << "the run-time counter did not move meanwhile";
}

TEST(Object, InheritanceCopiesSeriesAndRemakesMethods) {
    ScratchNumbers numbers;
    Cell list = block_of({integer(1)});
    // method: func [] [a]
    Cell proto = make_object({set_word("a"), integer(1), set_word("list"), list, set_word("get-a"),
                              func({}, {w("a")})});
    Cell child = make_object({set_word("a"), integer(2)}, &proto);
    Cell child_list = field(child, "list");
    EXPECT_NE(child_list.data2, field(proto, "list").data2) << "the child has its own block";
    Cell nine = integer(9);
    block::ks_append(&child_list, &nine);
    EXPECT_EQ(length_of(field(proto, "list")), 1) << "the prototype's block is unchanged";

    Cell proto_method = field(proto, "get-a"), child_method = field(child, "get-a");
    EXPECT_NE(proto_method.data3, child_method.data3) << "a re-made method";
    Cell body = memory::buffer_of(child_method.data3)->cells()[function::BODY];
    EXPECT_EQ(block::at(&body, 0)->data1, child.data1) << "the copy's body reads the child's fields";
    Cell proto_body = memory::buffer_of(proto_method.data3)->cells()[function::BODY];
    EXPECT_NE(block::at(&proto_body, 0)->data1, child.data1);
    EXPECT_TRUE(memory::buffer_of(child_method.data3)->cells()[function::CODE].is(TYPE_UNSET))
        << "a re-made method runs through the interpreter";

    // a method without body cannot be copied
    Cell bare;
    {
        Cell s = block_of({});
        function::make_value(&s, nullptr, 0, 0, 0, 0);
        bare = *stack::top();
        stack::pop(1);
    }
    Cell holder = make_object({set_word("m"), bare});
    EXPECT_EQ(raised([&] { make_object({}, &holder); }), "script/bad-func-def");
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(Object, MakeFromAnObjectSpecMerges) {
    ScratchNumbers numbers;
    Cell proto = make_object({set_word("a"), integer(1), set_word("b"), integer(2)});
    Cell spec = make_object({set_word("b"), integer(20)});
    Cell p = proto;
    Cell merged = *object::make(&p, &spec, TYPE_OBJECT);
    EXPECT_EQ(field(merged, "a").data2, 1u);
    EXPECT_EQ(field(merged, "b").data2, 20u);
    EXPECT_EQ(merged.data2, proto.data2) << "no word added";
    Cell more = make_object({set_word("c"), integer(3)});
    p = proto;
    Cell grown = *object::make(&p, &more, TYPE_OBJECT);
    EXPECT_EQ(object::field_count(&grown), 3);
    EXPECT_NE(grown.data2, proto.data2);
}

TEST(Object, MoldAndForm) {
    ScratchNumbers numbers;
    ScratchText strings;
    Cell inner = make_object({set_word("x"), integer(1)});
    Cell flat_list = block_of({integer(1), integer(2)});
    struct Case {
        const char* name;
        Cell value;
        bool only, flat, all;
        const char* expected;
    } cases[] = {
        {"two fields", make_object({set_word("a"), integer(1), set_word("b"), lit("x")}), false, false, false,
         "make object! [\n    a: 1\n    b: 'x\n]"},
        {"flat", make_object({set_word("a"), integer(1), set_word("b"), integer(2)}), false, true, false,
         "make object! [a: 1 b: 2]"},
        {"only", make_object({set_word("a"), integer(1), set_word("b"), integer(2)}), true, false, false,
         "a: 1\nb: 2\n"},
        {"empty", make_object({}), false, false, false, "make object! []"},
        {"nested", make_object({set_word("a"), inner, set_word("b"), flat_list}), false, false, false,
         "make object! [\n    a: make object! [\n        x: 1\n    ]\n    b: [1 2]\n]"},
        {"nested flat", make_object({set_word("a"), inner}), false, true, false,
         "make object! [a: make object! [x: 1]]"},
        {"text", make_object({set_word("s"), text("hi")}), false, true, false, "make object! [s: \"hi\"]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(mold_text(c.value, c.only, c.flat, -1, nullptr, c.all), c.expected);
    }
    Cell two = make_object({set_word("a"), integer(1), set_word("b"), lit("x")});
    EXPECT_EQ(form_text(two), "a: 1\nb: 'x") << "form: no indentation, no break after the last";

    // an object that holds itself
    Cell self_ref = make_object({set_word("a"), integer(1), set_word("me"), none::value});
    object::get_values(&self_ref)[1] = self_ref;
    EXPECT_EQ(mold_text(self_ref, false, true), "make object! [a: 1 me: make object! [...]]");
    EXPECT_EQ(form_text(self_ref), "a: 1\nme: ...");
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(Object, HandlersAreHiddenInMoldUnlessAll) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    Cell o = make_object({set_word("a"), integer(1), set_word("on-change*"), handler({"word", "old", "new"})});
    EXPECT_EQ(mold_text(o, false, true), "make object! [a: 1]");
    std::string all = mold_text(o, false, true, -1, nullptr, true);
    EXPECT_EQ(all.rfind("make object! [a: 1 on-change*: func [word old new]", 0), 0u) << all;
}

TEST(Object, Compare) {
    ScratchNumbers numbers;
    Cell a = make_object({set_word("a"), integer(1), set_word("b"), lit("x")});
    Cell b = make_object({set_word("a"), integer(1), set_word("b"), lit("x")});
    Cell bigger = make_object({set_word("a"), integer(2), set_word("b"), lit("x")});
    Cell other_word = make_object({set_word("z"), integer(1), set_word("b"), lit("x")});
    Cell shorter = make_object({set_word("a"), integer(1)});
    Cell float_one = make_object({set_word("a"), real(1.0), set_word("b"), lit("x")});
    EXPECT_EQ(object::compare(&a, &b, actions::EQUAL), 0);
    EXPECT_EQ(object::compare(&a, &a, actions::SAME), 0);
    EXPECT_EQ(object::compare(&a, &b, actions::SAME), -1) << "equal but not the same";
    EXPECT_EQ(object::compare(&a, &bigger, actions::EQUAL), -1);
    EXPECT_EQ(object::compare(&bigger, &a, actions::EQUAL), 1);
    EXPECT_EQ(object::compare(&a, &shorter, actions::EQUAL), 1) << "more fields";
    EXPECT_EQ(object::compare(&shorter, &a, actions::EQUAL), -1);
    int32_t by_symbol = symbol::resolve(symbol::make("a")) < symbol::resolve(symbol::make("z")) ? -1 : 1;
    EXPECT_EQ(object::compare(&a, &other_word, actions::EQUAL), by_symbol) << "different words order by symbol";
    EXPECT_EQ(object::compare(&a, &float_one, actions::EQUAL), 0) << "numbers of two types compare as values";
    Cell n = integer(1);
    EXPECT_EQ(object::compare(&a, &n, actions::EQUAL), -2);
    // objects that hold themselves compare without end
    Cell c1 = make_object({set_word("me"), none::value}), c2 = make_object({set_word("me"), none::value});
    *object::get_values(&c1) = c1;
    *object::get_values(&c2) = c2;
    EXPECT_EQ(object::compare(&c1, &c2, actions::EQUAL), 0);
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(Object, PathsReadAndWriteFields) {
    ScratchNumbers numbers;
    Cell o = make_object({set_word("a"), integer(1), set_word("u"), none::value});
    object::get_values(&o)[1] = unset::value;
    Cell a = w("A");  // lookup ignores case
    EXPECT_EQ(path_step(o, a).data2, 1u);
    Cell bound = w("a");
    path_step(o, bound);
    Cell two = integer(2);
    EXPECT_EQ(path_step(o, w("a"), &two).data2, 2u);
    EXPECT_EQ(field(o, "a").data2, 2u);
    EXPECT_TRUE(words_of(reflect_of(o, "changed")) == std::vector<std::string>{"a"}) << "a path write marks the field";

    struct Miss {
        const char* name;
        Cell element;
        bool get, tail;
        const char* expected;  // "" when the result is unset
    } misses[] = {
        {"get-path end", w("zz"), true, true, ""},
        {"plain path end", w("zz"), false, true, "script/invalid-path"},
        {"inside a path", w("zz"), false, false, "script/unset-path"},
        {"unset field at the end", w("u"), false, true, "script/invalid-path"},
        {"unset field at a get-path end", w("u"), true, true, ""},
        {"not a word", integer(3), false, true, "script/invalid-path"},
    };
    for (const auto& m : misses) {
        SCOPED_TRACE(m.name);
        Cell result = none::value;
        std::string err = raised([&] { result = path_step(o, m.element, nullptr, m.get, m.tail); });
        EXPECT_EQ(err, m.expected);
        if (!*m.expected) {
            EXPECT_TRUE(result.is(TYPE_UNSET));
        }
    }
}

TEST(Object, ChangeHandlersSeeTheWordTheOldAndTheNewValue) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    Cell h = handler({"word", "old", "new"}, {"idx"});
    Cell o = make_object({set_word("a"), integer(1), set_word("on-change*"), h});
    ASSERT_NE(o.data3, 0u);
    EXPECT_EQ(object::handler_index(&o, 0), 1);
    EXPECT_EQ(object::handler_index(&o, 1), -1);
    EXPECT_EQ(object::handler_count(&o, 0), 2) << "/local and one word";
    EXPECT_TRUE(reflect_of(o, "events?").data1);
    recorder.calls().clear();

    Cell five = integer(5);
    path_step(o, w("a"), &five);
    ASSERT_EQ(recorder.calls().size(), 1u);
    const HandlerCall& call = recorder.calls()[0];
    EXPECT_EQ(call.name, "on-change*");
    EXPECT_EQ(call.kind, function::CALLBACK_ON_CHANGE);
    EXPECT_EQ(call.ctx, o.data1);
    EXPECT_EQ(call.handler.data3, h.data3);
    ASSERT_EQ(call.args.size(), 5u) << "word, old, new, then false and none for /local idx";
    EXPECT_EQ(spelling(call.args[0]), "a");
    EXPECT_EQ(call.args[0].data1, o.data1) << "the word is bound to the object";
    EXPECT_EQ(call.args[1].data2, 1u);
    EXPECT_EQ(call.args[2].data2, 5u);
    EXPECT_TRUE(call.args[3].is(TYPE_LOGIC) && !call.args[3].data1);
    EXPECT_TRUE(call.args[4].is(TYPE_NONE));
    EXPECT_EQ(field(o, "a").data2, 5u) << "the store happens before the handler runs";

    // a set-word store through the context fires it as well
    recorder.calls().clear();
    Cell bound = *context::word_at(o.data1, 0);
    Cell six = integer(6);
    word::set(&bound, &six);
    ASSERT_EQ(recorder.calls().size(), 1u);
    EXPECT_EQ(recorder.calls()[0].args[2].data2, 6u);

    // the handler field itself replaced by something else
    Cell bad = integer(0);
    std::string err = raised([&] { path_step(o, w("on-change*"), &bad); });
    EXPECT_EQ(err, "script/invalid-obj-evt");
}

TEST(Object, OnSetRecords) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    Cell plain = make_object({set_word("a"), integer(1)});
    EXPECT_EQ(plain.data3, 0u);
    EXPECT_FALSE(reflect_of(plain, "events?").data1);
    Cell with = make_object({set_word("on-change*"), handler({"w", "o", "n"})}, &plain);
    EXPECT_NE(with.data3, 0u) << "a handler added through make gives the copy a record";
    EXPECT_EQ(raised([] { make_object({set_word("on-change*"), integer(1)}); }), "script/bad-field-set");
    EXPECT_EQ(last_raised().nargs, 2);
    EXPECT_EQ(spelling(last_raised().args[0]), "on-change*");
    EXPECT_EQ(last_raised().args[1].data1, uint32_t(TYPE_INTEGER));

    // the cached count follows a handler whose spec changed
    Cell o = make_object({set_word("on-change*"), handler({"w", "o", "n"})});
    EXPECT_EQ(object::handler_count(&o, 0), 0);
    object::get_values(&o)[0] = handler({"w", "o", "n"}, {"x", "y"});
    Cell one = integer(1), two = integer(2), word_a = w("on-change*");
    recorder.calls().clear();
    object::call_on_change(&o, &word_a, &one, &two);
    ASSERT_EQ(recorder.calls().size(), 1u);
    EXPECT_EQ(recorder.calls()[0].args.size(), 6u) << "3 arguments and the 3 cells of /local x y";
    EXPECT_EQ(object::handler_count(&o, 0), 3);

    // attach_on_set_top: a record from given numbers; an on-deep-change* index makes an owner
    Cell bare = make_object({set_word("a"), integer(1)});
    stack::push(&bare);
    object::attach_on_set_top(bare.data1, -1, 0, 0, 1);
    Cell top = *stack::top();
    stack::pop(1);
    EXPECT_EQ(object::handler_index(&top, 0), -1);
    EXPECT_EQ(object::handler_index(&top, 1), 0);
    EXPECT_TRUE(reflect_of(top, "owner").data1);
}

TEST(Object, ReflectFields) {
    ScratchNumbers numbers;
    Cell path = block_of({w("p"), w("q")});
    path.set_type(TYPE_PATH);
    Cell o = make_object({set_word("a"), integer(1), set_word("b"), lit("x"), set_word("c"), path});
    EXPECT_TRUE(words_of(reflect_of(o, "words")) == (std::vector<std::string>{"a", "b", "c"}));
    Cell words = reflect_of(o, "words");
    EXPECT_EQ(block::at(&words, 1)->data1, o.data1) << "bound to the object";
    Cell values = reflect_of(o, "values");
    EXPECT_EQ(block::length(&values), 3);
    EXPECT_EQ(block::at(&values, 0)->data2, 1u);
    Cell body = reflect_of(o, "body");
    ASSERT_EQ(block::length(&body), 6);
    EXPECT_TRUE(block::at(&body, 0)->is(TYPE_SET_WORD));
    EXPECT_TRUE(block::at(&body, 0)->header & FLAG_NEW_LINE);
    EXPECT_EQ(block::at(&body, 0)->data1, o.data1);
    EXPECT_TRUE(block::at(&body, 3)->is(TYPE_LIT_WORD)) << "a word value becomes a lit-word";
    EXPECT_TRUE(block::at(&body, 5)->is(TYPE_LIT_PATH)) << "a path value becomes a lit-path";
    EXPECT_FALSE(reflect_of(o, "owner").data1);
    EXPECT_EQ(raised([&] { reflect_of(o, "spec"); }), "internal/not-done");
}

TEST(Object, SetAssignsFieldsByOrderOrByName) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    Cell o = make_object({set_word("a"), integer(1), set_word("b"), integer(2), set_word("c"), integer(3)});
    Cell tens = block_of({integer(10), integer(20)});
    object::extend(&o, &tens, false, false, false);
    EXPECT_EQ(field(o, "a").data2, 10u);
    EXPECT_EQ(field(o, "b").data2, 20u);
    EXPECT_EQ(field(o, "c").data2, 3u) << "the block ran out";
    Cell source = make_object({set_word("c"), integer(30), set_word("zz"), integer(0)});
    object::extend(&o, &source, false, false, false);
    EXPECT_EQ(field(o, "c").data2, 30u);
    EXPECT_EQ(object::field_count(&o), 3) << "words the target lacks are ignored";
    Cell seven = integer(7);
    object::extend(&o, &seven, false, false, false);
    EXPECT_EQ(field(o, "b").data2, 7u) << "any other value goes to every field";
    Cell listed = block_of({integer(1), integer(2)});
    object::extend(&o, &listed, true, false, false);
    EXPECT_EQ(length_of(field(o, "a")), 2) << "with only a block is one value";

    Cell with_unset = block_of({integer(1), unset::value});
    EXPECT_EQ(raised([&] { object::extend(&o, &with_unset, false, false, false); }), "script/need-value");
    EXPECT_TRUE(field(o, "a").is(TYPE_BLOCK)) << "nothing is assigned when a value is unset";
    object::extend(&o, &with_unset, false, true, false);
    EXPECT_TRUE(field(o, "b").is(TYPE_UNSET)) << "any takes unset";
    Cell with_none = block_of({none::value, integer(8)});
    object::extend(&o, &with_none, false, false, true);
    EXPECT_EQ(field(o, "a").data2, 1u) << "some leaves a field given none alone";
    EXPECT_EQ(field(o, "b").data2, 8u);

    // the handlers' own fields stay; every other assignment is reported
    Cell h = make_object({set_word("a"), integer(1), set_word("on-change*"), handler({"w", "o", "n"})});
    recorder.calls().clear();
    object::extend(&h, &seven, false, false, false);
    EXPECT_EQ(field(h, "a").data2, 7u);
    EXPECT_TRUE(field(h, "on-change*").is(TYPE_FUNCTION));
    ASSERT_EQ(recorder.calls().size(), 1u);
    EXPECT_EQ(spelling(recorder.calls()[0].args[0]), "a");
}

TEST(Object, ConstructTakesValuesWithoutEvaluating) {
    ScratchNumbers numbers;
    Cell spec = block_of({set_word("a"), w("true"), set_word("b"), set_word("c"), w("off"), set_word("d"), w("none"),
                          set_word("e"), w("other"), set_word("f")});
    Cell* made = object::derive(&spec, nullptr, false);
    Cell o = *made;
    stack::pop(1);
    EXPECT_TRUE(field(o, "a").is(TYPE_LOGIC) && field(o, "a").data1);
    EXPECT_TRUE(field(o, "b").is(TYPE_LOGIC) && !field(o, "b").data1) << "b and c share the value after c";
    EXPECT_TRUE(field(o, "c").is(TYPE_LOGIC) && !field(o, "c").data1);
    EXPECT_TRUE(field(o, "d").is(TYPE_NONE));
    EXPECT_EQ(spelling(field(o, "e")), "other");
    EXPECT_TRUE(field(o, "f").is(TYPE_NONE)) << "none at the end of the block";
    EXPECT_GT(o.data2, object::RUN_ID_BASE);

    Cell only = *object::derive(&spec, nullptr, true);
    stack::pop(1);
    EXPECT_TRUE(field(only, "a").is(TYPE_WORD)) << "only keeps logic words as words";

    Cell more = block_of({set_word("z"), integer(1)});
    Cell derived = *object::derive(&more, &o, false);
    stack::pop(1);
    EXPECT_EQ(derived.data2, o.data2) << "the prototype's class even with a word added";
    EXPECT_EQ(object::field_count(&derived), 7);
}

TEST(Object, CopySelectPutModify) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    Cell o = make_object({set_word("a"), integer(1), set_word("list"), block_of({integer(1)})});
    Cell part = integer(1), result;
    EXPECT_EQ(raised([&] { object::copy(&o, &result, &part, false, nullptr); }), "script/invalid-refine-arg");
    object::copy(&o, &result, nullptr, false, nullptr);
    EXPECT_EQ(field(result, "list").data2, field(o, "list").data2) << "a shallow copy shares its series";
    object::copy(&o, &result, nullptr, true, nullptr);
    EXPECT_NE(field(result, "list").data2, field(o, "list").data2);

    Cell s = o, key = w("A");
    EXPECT_EQ(object::select(&s, &key, nullptr, false, false, false, false, nullptr, nullptr, false, false)->data2, 1u);
    s = o;
    Cell missing = w("q");
    EXPECT_TRUE(object::select(&s, &missing, nullptr, false, false, false, false, nullptr, nullptr, false, false)
                    ->is(TYPE_NONE));
    Cell number_key = integer(1);
    EXPECT_EQ(raised([&] {
                  Cell t = o;
                  object::select(&t, &number_key, nullptr, false, false, false, false, nullptr, nullptr, false, false);
              }),
              "script/invalid-type");

    Cell nine = integer(9), a = w("a");
    EXPECT_EQ(object::put(&o, &a, &nine, false)->data2, 9u);
    EXPECT_EQ(field(o, "a").data2, 9u);
    EXPECT_EQ(raised([&] { object::put(&o, &missing, &nine, false); }), "script/invalid-path");
    EXPECT_TRUE(last_raised().args[0].is(TYPE_NONE)) << "put names no path";
    Cell set_key = set_word("a");
    EXPECT_EQ(raised([&] { object::put(&o, &set_key, &nine, false); }), "script/invalid-key-type");

    Cell changed = w("changed");
    EXPECT_FALSE(words_of(reflect_of(o, "changed")).empty());
    EXPECT_EQ(raised([&] { object::modify(&o, &changed, &nine, false); }), "script/invalid-arg");
    Cell nothing = none::value;
    object::modify(&o, &changed, &nothing, false);
    EXPECT_TRUE(words_of(reflect_of(o, "changed")).empty());
    Cell owner = w("owner");
    object::modify(&o, &owner, &nothing, false);
    EXPECT_TRUE(reflect_of(o, "owner").data1);
}

TEST(Object, ConstructorsAndAccessors) {
    ScratchNumbers numbers;
    Cell o;
    object::make_at(&o, 2);
    EXPECT_EQ(o.data2, 0u) << "class 0 until its maker sets one";
    Cell a = w("a");
    context::add(o.data1, &a);
    Cell upper = w("A"), other = w("b");
    EXPECT_EQ(object::find_word_index(&o, &upper), 0);
    EXPECT_EQ(object::find_word_index(&o, &other), -1);
    EXPECT_EQ(spelling(*object::first_word(&o)), "a");
    // a context whose values were never made gets one unset cell per word
    uint32_t ctx = context::create(2, false, true, 0, context::OBJECT);
    Cell x = w("x"), y = w("y");
    int32_t slot;
    context::find_symbol_slot(ctx, int32_t(x.data2), true, &slot);
    context::find_symbol_slot(ctx, int32_t(y.data2), true, &slot);
    Cell pushed = *object::push_from_context(ctx, 123);
    stack::pop(1);
    EXPECT_EQ(object::field_count(&pushed), 2);
    EXPECT_TRUE(object::get_values(&pushed)[1].is(TYPE_UNSET));
    EXPECT_EQ(pushed.data2, 123u);
    EXPECT_EQ(context::owner(ctx)->data2, 123u);
    EXPECT_TRUE(object::class_at_q(o.data1, 0, 0) == false) << "an unset value is no object";
    object::get_values(&o)[0] = pushed;
    EXPECT_TRUE(object::class_at_q(o.data1, 0, 123));
    EXPECT_FALSE(object::class_at_q(o.data1, 0, 124));
}
