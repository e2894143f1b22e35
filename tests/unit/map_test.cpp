#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_reader.hpp"
#include "datatypes/block.hpp"
#include "datatypes/map.hpp"
#include "datatypes/word.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "interpreter/actions.hpp"
#include "io/lexer.hpp"

using namespace kro;
using namespace kro::testing_blocks;

namespace {

Cell map_of(Cell spec) {
    Cell m;
    map::make(&m, &spec, TYPE_MAP);
    return m;
}
Cell map_of(const char* spec) { return map_of(read(spec)); }

std::string molded(const Cell& m) { return mold_text(m); }
std::string flat(const Cell& m) { return mold_text(m, false, true); }

Cell select(Cell m, Cell key, bool case_ = false, bool same = false) {
    return *map::select(&m, &key, nullptr, false, case_, same, false, nullptr, nullptr, false, false);
}
Cell find(Cell m, Cell key, bool case_ = false) {
    return *map::find(&m, &key, nullptr, false, case_, false, false, nullptr, nullptr, false, false, false, false);
}
bool from_items(Cell* out, Cell items) { return map::from_items(out, &items); }
void extend(Cell m, Cell blk, bool case_ = false) { map::extend(&m, &blk, case_); }
void remove_key(Cell m, Cell key) { map::remove(&m, nullptr, &key); }
void put(Cell m, Cell key, Cell value, bool case_ = false) { map::put(&m, &key, &value, case_); }
Cell path_read(Cell m, Cell key, bool case_ = false) {
    return *map::eval_path(&m, &key, nullptr, nullptr, nullptr, nullptr, 0, case_, false, false, false);
}
int32_t length(Cell m) { return map::length_q(&m); }

Cell first(Cell b) { return *block::ks_abs_at(&b, 0); }

}  // namespace

TEST(Map, MakeAndToFromEachKindOfSpec) {
    struct Case {
        const char* what;
        Cell spec;
        bool to;
        const char* expected;  // the flat mold, or the error raised
    } cases[] = {
        {"the last value wins, the first position stays", read("a 1 b 2 a 3"), false, "#[a: 3 b: 2]"},
        {"every word kind is one key", read("a 1 'a 2 :a 3 b 4 a: 5"), false, "#[a: 5 b: 4]"},
        {"empty block", read(""), false, "#[]"},
        {"a paren", first(read("(x 1)")), false, "#[x: 1]"},
        {"a size", integer(0), false, "#[]"},
        {"a float size", real(3.7), false, "#[]"},
        {"a negative size", integer(-1), false, "error script/out-of-range"},
        {"an odd count", read("a 1 b"), false, "error script/invalid-arg"},
        {"a block key", read("[1] 2"), false, "error script/invalid-path"},
        {"a string spec", text("a 1"), false, "error script/bad-to-arg"},
        {"to from a block", read("c 3"), true, "#[c: 3]"},
        {"to from a number", integer(3), true, "error script/bad-to-arg"},
    };
    for (Case& c : cases) {
        Cell spec = c.spec;
        std::string got;
        std::string err = raised([&] {
            Cell m;
            (c.to ? map::to : map::make)(&m, &spec, TYPE_MAP);
            got = flat(m);
        });
        EXPECT_EQ(err.empty() ? got : "error " + err, c.expected) << c.what;
    }
    // the error names the refused key's type
    Cell blocky = read("[1] 2");
    raised([&] { map_of(blocky); });
    EXPECT_EQ(last_raised().args[1].data1, uint32_t(TYPE_BLOCK));
    Cell spec = integer(3), proto;
    raised([&] { map::to(&proto, &spec, TYPE_MAP); });
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_MAP));
}

TEST(Map, MakeCopiesTheSpecAndClearsItsLineBreaks) {
    Cell spec = read("^a 1 ^b 2");
    Cell m = map_of(spec);
    EXPECT_EQ(molded(m), "#[\n    a: 1\n    b: 2\n]");
    *block::ks_abs_at(&spec, 1) = integer(99);
    EXPECT_EQ(select(m, w("a")).data2, 1u) << "the spec's cells were copied";
    // from a map: an independent copy
    Cell copy = map_of(m);
    put(copy, w("c"), integer(3));
    EXPECT_EQ(length(m), 2);
    EXPECT_EQ(length(copy), 3);
}

TEST(Map, KeysArePreparedAndOnlyKeyTypesAreAccepted) {
    int32_t accepted = 0;
    for (uint32_t t = 1; t < TYPE_ID_ROOM; t++) accepted += map::valid_key(t);
    EXPECT_EQ(accepted, 24);
    for (Type t : {TYPE_STRING, TYPE_WORD, TYPE_ISSUE, TYPE_PAIR, TYPE_BINARY, TYPE_POINT3D, TYPE_MONEY})
        EXPECT_TRUE(map::valid_key(t)) << int(t);
    for (Type t : {TYPE_BLOCK, TYPE_NONE, TYPE_LOGIC, TYPE_OBJECT, TYPE_MAP, TYPE_HASH, TYPE_BITSET, TYPE_PATH})
        EXPECT_FALSE(map::valid_key(t)) << int(t);

    Cell key = w("k", TYPE_GET_WORD);
    map::prepare_key(&key, nullptr);
    EXPECT_TRUE(key.is(TYPE_SET_WORD));

    // a string key is the map's own copy, taken from the key's head
    Cell m = map_of("");
    Cell s = text("xkey");
    s.data1 = 1;
    put(m, s, integer(1));
    string::append_utf8(&s, "!");
    EXPECT_EQ(flat(m), "#[\"key\" 1]");
    EXPECT_EQ(select(m, text("key")).data2, 1u);

    // refused keys name where they came from
    Cell where = w("the-path");
    Cell bad = read("[1]");
    EXPECT_EQ(raised([&] { map::prepare_key(&bad, &where); }), "script/invalid-path");
    EXPECT_EQ(last_raised().args[0].data2, where.data2);
    EXPECT_EQ(raised([&] { put(m, read("[1]"), integer(2)); }), "script/invalid-path");
    EXPECT_TRUE(last_raised().args[0].is(TYPE_NONE)) << "put has no path";
    EXPECT_EQ(length(m), 1) << "a refused key leaves the map alone";
}

TEST(Map, PathWritesRemovalAndRevival) {
    Cell m = map_of("a 1");
    // a write under a new key appends it
    Cell b = w("b"), three = integer(3), path = w("m-path");
    map::eval_path(&m, &b, &three, &path, nullptr, nullptr, 0, false, false, false, false);
    EXPECT_EQ(flat(m), "#[a: 1 b: 3]");
    EXPECT_EQ(path_read(m, w("b")).data2, 3u);
    EXPECT_EQ(path_read(m, w("B")).data2, 3u) << "word keys ignore case";
    EXPECT_TRUE(path_read(m, w("B"), true).is(TYPE_NONE)) << "unless /case";
    EXPECT_TRUE(path_read(m, w("zz")).is(TYPE_NONE));

    remove_key(m, w("b"));
    EXPECT_EQ(length(m), 1);
    EXPECT_TRUE(path_read(m, w("b")).is(TYPE_NONE));
    EXPECT_TRUE(select(m, w("b")).is(TYPE_NONE));
    EXPECT_TRUE(find(m, w("b")).is(TYPE_NONE));
    EXPECT_EQ(flat(m), "#[a: 1]");
    put(m, w("c"), integer(5));
    // a later write revives the removed entry where it stood
    put(m, w("b"), integer(4));
    EXPECT_EQ(length(m), 3);
    EXPECT_EQ(flat(m), "#[a: 1 b: 4 c: 5]");
    EXPECT_EQ(block::length(&m), 6) << "no new entry was added for b";

    remove_key(m, w("nothing"));  // a missing key is no error
    EXPECT_EQ(length(m), 3);
    EXPECT_EQ(raised([&] { map::remove(&m, nullptr, nullptr); }), "script/missing-arg");
}

TEST(Map, FindSelectAndTheirModes) {
    Cell m = map_of(block_of({w("a"), integer(1), text("Str"), integer(2), integer(7), integer(3)}));
    Cell found = find(m, w("a"));
    EXPECT_TRUE(found.is(TYPE_WORD)) << "the key comes back as a word";
    EXPECT_EQ(symbol::name(int32_t(found.data2)), "a");
    EXPECT_EQ(select(m, w("a")).data2, 1u);
    EXPECT_EQ(select(m, w("a", TYPE_LIT_WORD)).data2, 1u);
    EXPECT_EQ(select(m, text("STR")).data2, 2u);
    EXPECT_TRUE(select(m, text("STR"), true).is(TYPE_NONE));
    EXPECT_EQ(select(m, text("Str"), true).data2, 2u);
    EXPECT_TRUE(select(m, text("Str"), false, true).is(TYPE_NONE)) << "/same wants that very string";
    EXPECT_EQ(select(m, integer(7)).data2, 3u);
    EXPECT_TRUE(select(m, real(7.0)).is(TYPE_NONE)) << "keys match within their type";
    EXPECT_TRUE(select(m, w("zz")).is(TYPE_NONE));
    Cell k = find(m, text("STR"));
    EXPECT_EQ(utf8(k), "Str");

    // two keys differing in case only are two entries; removal is case-sensitive
    Cell n = map_of(block_of({text("k"), integer(1), text("K"), integer(2)}));
    EXPECT_EQ(length(n), 2);
    remove_key(n, text("K"));
    EXPECT_EQ(length(n), 1);
    EXPECT_EQ(select(n, text("k"), true).data2, 1u);
    // the removed variant does not hide the one still present
    remove_key(n, text("k"));
    put(n, text("K"), integer(3), true);
    EXPECT_EQ(select(n, text("k")).data2, 3u);
    EXPECT_EQ(length(n), 1);
}

TEST(Map, MoldAndForm) {
    Cell m = map_of("a 1 b 2");
    EXPECT_EQ(molded(m), "#[\n    a: 1\n    b: 2\n]");
    EXPECT_EQ(flat(m), "#[a: 1 b: 2]");
    EXPECT_EQ(mold_text(m, true), "a: 1\nb: 2");
    EXPECT_EQ(form_text(m), "a: 1\nb: 2");
    EXPECT_EQ(molded(map_of("")), "#[]");

    // a nested map indents one level deeper, and closes at its own level
    put(m, w("c"), map_of("x 1"));
    EXPECT_EQ(molded(m), "#[\n    a: 1\n    b: 2\n    c: #[\n        x: 1\n    ]\n]");
    Cell outer = read("z");
    *block::ks_abs_at(&outer, 0) = m;
    EXPECT_EQ(mold_text(outer), "[#[\n    a: 1\n    b: 2\n    c: #[\n        x: 1\n    ]\n]]");

    // keys and values are molded under form too; removed entries are left out
    Cell s = map_of(block_of({text("k"), text("v"), w("gone"), integer(0)}));
    remove_key(s, w("gone"));
    EXPECT_EQ(form_text(s), "\"k\" \"v\"");

    // a map holding itself
    Cell self = map_of("a 1");
    put(self, w("me"), self);
    EXPECT_EQ(flat(self), "#[a: 1 me: #[...]]");
    EXPECT_EQ(form_text(self), "a: 1\nme: #[...]");

    // with a part limit, writing stops after the entry that uses the budget up
    int32_t budget = 0;
    std::string cut = mold_text(map_of("a 1 b 2 c 3"), false, true, 6, &budget);
    EXPECT_EQ(cut, "#[a: 1]");
    EXPECT_LE(budget, 0);
}

TEST(Map, Comparison) {
    Cell a = map_of("x 1 y 2");
    struct Case {
        const char* what;
        Cell other;
        int32_t op;
        bool expected;
    } cases[] = {
        {"same entries in another order", map_of("y 2 x 1"), actions::EQUAL, true},
        {"one value differs", map_of("x 1 y 3"), actions::EQUAL, false},
        {"one value differs, not-equal", map_of("x 1 y 3"), actions::NOT_EQUAL, true},
        {"an entry more", map_of("x 1 y 2 z 3"), actions::EQUAL, false},
        {"strictly equal", map_of("y 2 x 1"), actions::STRICT_EQUAL, true},
        {"a copy is not the same", map_of(a), actions::SAME, false},
        {"the same map", a, actions::SAME, true},
    };
    for (Case& c : cases) EXPECT_EQ(actions::compare(&a, &c.other, c.op), c.expected) << c.what;

    // strings match ignoring case, except under strict equality
    Cell s1 = map_of(block_of({text("K"), text("v")})), s2 = map_of(block_of({text("k"), text("V")}));
    EXPECT_TRUE(actions::compare(&s1, &s2, actions::EQUAL));
    EXPECT_FALSE(actions::compare(&s1, &s2, actions::STRICT_EQUAL));
    // a removed entry does not count
    Cell r = map_of("x 1 y 2 gone 3");
    remove_key(r, w("gone"));
    EXPECT_TRUE(actions::compare(&a, &r, actions::EQUAL));
    EXPECT_TRUE(actions::compare(&r, &a, actions::EQUAL));

    // maps have no order
    EXPECT_EQ(raised([&] { actions::compare(&a, &a, actions::LESSER); }), "script/invalid-compare");
    Cell one = integer(1);
    EXPECT_EQ(map::compare(&a, &one, actions::EQUAL), -2);
    EXPECT_EQ(map::compare(&a, &a, actions::SORT), 0);
    Cell b = map_of("x 1");
    EXPECT_EQ(map::compare(&a, &b, actions::SORT), -map::compare(&b, &a, actions::SORT));

    // maps that hold themselves compare without walking forever
    Cell c1 = map_of("x 1"), c2 = map_of("x 1");
    put(c1, w("me"), c1);
    put(c2, w("me"), c2);
    EXPECT_TRUE(actions::compare(&c1, &c2, actions::EQUAL));
}

TEST(Map, Reflect) {
    Cell m = map_of(block_of({w("a"), integer(1), text("s"), integer(2), w("gone"), integer(3)}));
    remove_key(m, w("gone"));
    auto reflect = [&](const char* field) {
        Cell v = m;
        map::reflect(&v, symbol::make(field));
        return v;
    };
    Cell words = reflect("words");
    EXPECT_EQ(cells(words), "a \"s\"");
    EXPECT_TRUE(block::ks_abs_at(&words, 0)->is(TYPE_WORD));
    EXPECT_EQ(cells(reflect("values")), "1 2");
    EXPECT_EQ(mold_text(reflect("body")), "[\n    a: 1\n    \"s\" 2\n]");
    Cell empty = map_of("");
    map::reflect(&empty, symbol::make("values"));
    EXPECT_EQ(block::length(&empty), 0);
    EXPECT_EQ(raised([&] { reflect("spec"); }), "internal/not-done");
    // block! of a map is its body
    Cell proto, spec = m;
    block::make(&proto, &spec, TYPE_BLOCK);
    EXPECT_EQ(cells(proto), "a: 1 \"s\" 2");
}

TEST(Map, CopyShallowDeepAndTyped) {
    Cell inner = read("1 2");
    Cell m = map_of(block_of({w("b"), inner, w("s"), text("str"), w("n"), integer(1)}));
    Cell shallow, deep, typed;
    map::copy(&m, &shallow, nullptr, false, nullptr);
    map::copy(&m, &deep, nullptr, true, nullptr);
    Cell strings{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_STRING), 0, 0};
    map::copy(&m, &typed, nullptr, false, &strings);
    block::ks_append(&inner, &inner);  // [1 2 [...]]
    Cell s = select(m, w("s"));
    string::append_utf8(&s, "!");
    EXPECT_EQ(mold_text(select(shallow, w("b"))), "[1 2 [...]]") << "a shallow copy shares the block";
    EXPECT_EQ(mold_text(select(deep, w("b"))), "[1 2]");
    EXPECT_EQ(utf8(select(shallow, w("s"))), "str!");
    EXPECT_EQ(utf8(select(typed, w("s"))), "str") << "strings were copied";
    EXPECT_EQ(mold_text(select(typed, w("b"))), "[1 2 [...]]") << "blocks were not";
    put(shallow, w("new"), integer(9));
    EXPECT_EQ(length(m), 3) << "the copy has its own table";
    EXPECT_TRUE(select(m, w("new")).is(TYPE_NONE));
    EXPECT_EQ(select(shallow, w("n")).data2, 1u);

    // a deep typed copy of a map that holds itself
    Cell self = map_of("a 1");
    put(self, w("me"), self);
    Cell maps{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_MAP), 0, 0}, out;
    EXPECT_EQ(raised([&] { map::copy(&self, &out, nullptr, true, &maps); }), "internal/no-cycle");
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(Map, ClearExtendAndLength) {
    Cell m = map_of("a 1 b 2");
    map::clear(&m);
    EXPECT_EQ(length(m), 0);
    EXPECT_EQ(molded(m), "#[]");
    EXPECT_TRUE(select(m, w("a")).is(TYPE_NONE));
    put(m, w("c"), integer(3));
    EXPECT_EQ(flat(m), "#[c: 3]") << "the old entries are gone for good";

    Cell e = map_of("a 1 b 2");
    remove_key(e, w("b"));
    extend(e, block_of({w("b"), integer(20), w("a"), integer(10), text("x"), integer(30)}), false);
    EXPECT_EQ(flat(e), "#[a: 10 b: 20 \"x\" 30]");
    EXPECT_EQ(length(e), 3);
    extend(e, block_of({text("X"), integer(31)}), true);
    EXPECT_EQ(length(e), 4) << "with case, X is another key";
    extend(e, block_of({text("X"), integer(32)}), false);
    EXPECT_EQ(length(e), 4) << "without case, X is a key already there";
    EXPECT_EQ(raised([&] { extend(e, read("a 1 b"), false); }), "script/invalid-arg");
    EXPECT_EQ(raised([&] { extend(e, read("[1] 2"), false); }), "script/invalid-path");
    // a map extended by its own body
    Cell body = e;
    map::reflect(&body, symbol::make("body"));
    extend(e, body);
    EXPECT_EQ(length(e), 4);
}

TEST(Map, ForeachStepsSkipRemovedEntries) {
    Cell m = map_of("a 1 gone 2 c 3");
    remove_key(m, w("gone"));
    Cell k = word::load("map-test-key"), v = word::load("map-test-value");
    Cell words = block_of({k, v});
    std::vector<std::string> seen;
    Cell cursor = m;
    while (map::foreach_next(&words, &cursor, 2)) {
        Cell* key = word::value_cell(&k);
        EXPECT_TRUE(key->is(TYPE_WORD));
        seen.push_back(mold_text(*key) + "=" + mold_text(*word::value_cell(&v)));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a=1", "c=3"}));
    EXPECT_TRUE(word::value_cell(&k)->is(TYPE_NONE)) << "words left over become none";

    // three words over two entries: the last round sets what remains
    Cell w3 = block_of({k, v, word::load("map-test-third")});
    Cell c3 = m;
    EXPECT_TRUE(map::foreach_next(&w3, &c3, 3));
    EXPECT_EQ(mold_text(*word::value_cell(block::ks_abs_at(&w3, 2))), "c");
    EXPECT_TRUE(map::foreach_next(&w3, &c3, 3));
    EXPECT_EQ(word::value_cell(&k)->data2, 3u);
    EXPECT_TRUE(word::value_cell(&v)->is(TYPE_NONE));
    EXPECT_FALSE(map::foreach_next(&w3, &c3, 3));

    Cell bad = block_of({k, integer(1)});
    Cell c4 = m;
    EXPECT_EQ(raised([&] { map::foreach_next(&bad, &c4, 2); }), "script/invalid-arg");
}

TEST(Map, TheTokenizersMaker) {
    Cell m;
    ASSERT_TRUE(from_items(&m, read("a 1 b 2 a 3")));
    EXPECT_EQ(flat(m), "#[a: 3 b: 2]");
    ASSERT_TRUE(from_items(&m, read("")));
    EXPECT_EQ(flat(m), "#[]");
    Cell before = m;
    EXPECT_FALSE(from_items(&m, read("a 1 b")));
    EXPECT_FALSE(from_items(&m, read("a 1 [x] 2")));
    EXPECT_EQ(m.data2, before.data2) << "nothing written for a refused literal";
    // the items from a head inside the block
    ASSERT_TRUE(from_items(&m, at_index(read("skipped k 1"), 1)));
    EXPECT_EQ(flat(m), "#[k: 1]");
    // through the tokenizer
    auto load = [](const std::string& source) {
        gc::Rooted out;
        std::string err = raised([&] {
            lexer::scan_utf8(out.get(), reinterpret_cast<const uint8_t*>(source.data()), source.size(),
                             lexer::ScanArgs{}, nullptr);
        });
        return err.empty() ? mold_text(out.cell, true, true) : err + " " + form_text(last_raised().args[1]);
    };
    EXPECT_EQ(load("#[a 1 b [2] a 3]"), "#[a: 3 b: [2]]");
    EXPECT_EQ(load("x #[\n    \"k\" 1\n] y"), "x #[\"k\" 1] y");
    EXPECT_EQ(load("#[]"), "#[]");
    EXPECT_EQ(load("#[a 1 b]").substr(0, 14), "syntax/invalid");
    EXPECT_EQ(load("#[[a] 1]").substr(0, 14), "syntax/invalid");

    Cell* pushed = map::push(&m);
    EXPECT_EQ(pushed->data3, m.data3);
    stack::pop(1);
}

TEST(Map, TheRowOfMap) {
    struct Own {
        int slot;
        ActionFn fn;
    } own[] = {
        {A_MAKE, reinterpret_cast<ActionFn>(&map::make)},
        {A_REFLECT, reinterpret_cast<ActionFn>(&map::reflect)},
        {A_TO, reinterpret_cast<ActionFn>(&map::to)},
        {A_FORM, reinterpret_cast<ActionFn>(&map::form)},
        {A_MOLD, reinterpret_cast<ActionFn>(&map::mold)},
        {A_EVAL_PATH, reinterpret_cast<ActionFn>(&map::eval_path)},
        {A_COMPARE, reinterpret_cast<ActionFn>(&map::compare)},
        {A_CLEAR, reinterpret_cast<ActionFn>(&map::clear)},
        {A_COPY, reinterpret_cast<ActionFn>(&map::copy)},
        {A_FIND, reinterpret_cast<ActionFn>(&map::find)},
        {A_LENGTH_Q, reinterpret_cast<ActionFn>(&map::length_q)},
        {A_PUT, reinterpret_cast<ActionFn>(&map::put)},
        {A_REMOVE, reinterpret_cast<ActionFn>(&map::remove)},
        {A_SELECT, reinterpret_cast<ActionFn>(&map::select)},
    };
    int32_t supported = 0;
    for (int s = 1; s <= ACTION_COUNT; s++) supported += datatype::entry(TYPE_MAP, s) != nullptr;
    EXPECT_EQ(supported, 14);
    for (const auto& o : own) EXPECT_EQ(datatype::entry(TYPE_MAP, o.slot), o.fn) << o.slot;
    EXPECT_STREQ(datatype::row(TYPE_MAP).name, "map!");
    // the tables prepare each new key of a map's block: a string key becomes the map's own
    Cell key = text("k");
    Cell blk = block_of({key, integer(1)});
    hashtable::make(1, &blk, hashtable::MAP);
    EXPECT_NE(block::ks_abs_at(&blk, 0)->data2, key.data2);
}
