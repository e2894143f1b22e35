#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "datatypes/word_variants.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "interpreter/stack.hpp"

using namespace kro;

namespace {

Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }

Cell global_word(const char* name, Type t = TYPE_WORD) {
    Cell w = word::load(name);
    w.set_type(t);
    return w;
}

template <class F>
std::string raised(F f) {
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    try {
        f();
    } catch (const Thrown&) {
        runtime_context.thrown_code = 0;
        stack::top_ptr = top;
        stack::arguments = args;
        return last_raised().category + "/" + last_raised().id;
    }
    return "";
}

std::string molded(Cell v, bool form = false, int32_t* budget = nullptr) {
    Cell buf;
    string::make_at(&buf, 4, 1);
    int32_t left = form ? datatype::action<A_FORM>(v.type())(&v, &buf, nullptr, 100)
                        : datatype::action<A_MOLD>(v.type())(&v, &buf, false, false, false, nullptr, 100, 0);
    if (budget) *budget = left;
    return string::to_utf8(static_cast<const Cell*>(&buf));
}

// Stands in for the tokenizer: a set-word for "name:", none for text with a
// blank, unset for no text, an integer for digits, else a global word.
void fake_scan(const uint8_t* text, uint32_t length, Cell* out) {
    std::string s(reinterpret_cast<const char*>(text), length);
    if (s.empty()) {
        *out = unset::value;
    } else if (s.find(' ') != std::string::npos) {
        *out = none::value;
    } else if (s[0] >= '0' && s[0] <= '9') {
        *out = integer(std::stoi(s));
    } else {
        bool set = s.back() == ':';
        if (set) s.pop_back();
        *out = Cell{uint32_t(TYPE_WORD), 0, 0, 0};
        word::make_global_at(symbol::make(s.c_str()), out);
        if (set) out->set_type(TYPE_SET_WORD);
    }
}

struct ScannerInstalled {
    decltype(word::scan_text) saved = word::scan_text;
    ScannerInstalled() { word::scan_text = &fake_scan; }
    ~ScannerInstalled() { word::scan_text = saved; }
};

Cell text(const char* t) {
    Cell s;
    string::make_at(&s, 8, 1);
    string::concatenate_ascii(&s, t);
    return s;
}

Cell to(Type type, Cell spec) {
    Cell result;
    datatype::action<A_TO>(type)(&result, &spec, type);
    return result;
}

}  // namespace

TEST(Word, MoldAndFormOfEveryKind) {
    struct Case {
        Type type;
        const char* mold;
    } cases[] = {
        {TYPE_WORD, "a"}, {TYPE_SET_WORD, "a:"}, {TYPE_GET_WORD, ":a"}, {TYPE_LIT_WORD, "'a"},
        {TYPE_REFINEMENT, "/a"}, {TYPE_ISSUE, "#a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mold);
        int32_t budget;
        EXPECT_EQ(molded(global_word("a", c.type), false, &budget), c.mold);
        EXPECT_EQ(budget, 100 - int32_t(std::string(c.mold).size()));
        EXPECT_EQ(molded(global_word("a", c.type), true, &budget), "a");
        EXPECT_EQ(budget, 99);
    }
    // the exact spelling of the word's own symbol, widening the buffer as needed
    EXPECT_EQ(molded(global_word("MoldCase")), "MoldCase");
    EXPECT_EQ(molded(global_word("moldcase", TYPE_SET_WORD)), "moldcase:");
    int32_t budget;
    EXPECT_EQ(molded(global_word("\xE2\x82\xAC-w\xC3\xA9", TYPE_LIT_WORD), false, &budget), "'\xE2\x82\xAC-w\xC3\xA9");
    EXPECT_EQ(budget, 100 - 5);
}

TEST(Word, CompareOps) {
    Cell w = global_word("cmpw"), W = global_word("CMPW"), lit = global_word("cmpw", TYPE_LIT_WORD);
    Cell set = global_word("cmpw", TYPE_SET_WORD), issue = global_word("cmpw", TYPE_ISSUE);
    Cell other_ctx = w;
    other_ctx.data1 = context::create(1, false, false, 0, context::OBJECT);
    Cell litW = global_word("CMPW", TYPE_LIT_WORD);
    auto cmp = [](Cell a, Cell b, int32_t op) { return datatype::action<A_COMPARE>(a.type())(&a, &b, op); };
    struct Case {
        const char* what;
        Cell a, b;
        int32_t op, expected;
    } cases[] = {
        {"case ignored", w, W, 0, 0},       {"types ignored", w, set, 0, 0},       {"find equality", W, set, 12, 0},
        {"strict spelling", w, W, 2, 1},    {"strict type", w, lit, 2, 1},          {"strict same", w, w, 2, 0},
        {"same needs context", w, other_ctx, 9, 1}, {"same", w, w, 9, 0},
        {"op 10 word/lit", w, lit, 10, 0},  {"op 10 spelling", w, litW, 10, 1},    {"op 10 types", w, set, 10, 1},
        {"op 11 word/lit case", w, litW, 11, 0}, {"op 11 types", w, set, 11, 1},
        {"issue vs word", issue, w, 0, -2}, {"word vs issue", w, issue, 0, -2}, {"issue vs issue", issue, issue, 0, 0},
        {"order", global_word("cmp-abc"), global_word("CMP-ABD"), 3, -1},
        {"order case-sensitive", global_word("cmp-b"), global_word("CMP-A"), 8, 1},
        {"not a word", w, integer(1), 0, -2},
    };
    for (const auto& c : cases) EXPECT_EQ(cmp(c.a, c.b, c.op), c.expected) << c.what;
}

TEST(Word, IndexOfGlobalWordsAndKinWithoutIt) {
    Cell w = global_word("index-w");
    Cell* arg = stack::push(&w);
    Cell* saved = stack::arguments;
    stack::arguments = arg;
    datatype::action<A_INDEX_Q>(TYPE_WORD)();
    EXPECT_TRUE(arg->is(TYPE_INTEGER));
    EXPECT_EQ(arg->data2, w.data3 + 1);
    *arg = refinement::load("index-r");
    datatype::action<A_INDEX_Q>(TYPE_WORD)();
    EXPECT_TRUE(arg->is(TYPE_NONE));
    stack::arguments = saved;
    stack::pop(1);
    EXPECT_NE(datatype::entry(TYPE_SET_WORD, A_INDEX_Q), nullptr);
    EXPECT_EQ(datatype::entry(TYPE_REFINEMENT, A_INDEX_Q), nullptr);
    EXPECT_EQ(datatype::entry(TYPE_ISSUE, A_INDEX_Q), nullptr);
    EXPECT_EQ(datatype::entry(TYPE_ISSUE, A_FORM), datatype::entry(TYPE_WORD, A_FORM));
    EXPECT_EQ(datatype::entry(TYPE_CONTEXT, A_MOLD), nullptr);
}

TEST(Word, ConversionsBetweenWordKinds) {
    Cell w = global_word("conv-w");
    Cell s = to(TYPE_SET_WORD, w);
    EXPECT_TRUE(s.is(TYPE_SET_WORD));
    EXPECT_EQ(s.data1, w.data1);
    EXPECT_EQ(s.data3, w.data3) << "the binding is kept";
    w.header |= FLAG_NEW_LINE;
    EXPECT_EQ(to(TYPE_LIT_WORD, w).header, uint32_t(TYPE_LIT_WORD)) << "flags are dropped";
    Cell i = to(TYPE_ISSUE, w);
    EXPECT_EQ(molded(i), "#conv-w");

    Cell logic = logic::true_value;
    EXPECT_EQ(molded(to(TYPE_WORD, logic)), "true");
    Cell dt{uint32_t(TYPE_DATATYPE), TYPE_LOGIC, 0, 0};
    Cell from_type = to(TYPE_WORD, dt);
    EXPECT_EQ(molded(from_type), "logic!");
    EXPECT_EQ(from_type.data1, context::global);

    EXPECT_EQ(raised([] { to(TYPE_WORD, integer(3)); }), "script/bad-to-arg");
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_WORD));
    EXPECT_EQ(raised([] { to(TYPE_ISSUE, integer(3)); }), "script/bad-to-arg");
}

TEST(Word, TextConversionsGoThroughTheTokenizer) {
    {
        decltype(word::scan_text) saved = word::scan_text;
        word::scan_text = nullptr;
        EXPECT_EQ(raised([] { to(TYPE_WORD, text("abc")); }), "internal/feature-na");
        word::scan_text = saved;
    }
    ScannerInstalled scanner;
    Cell w = to(TYPE_WORD, text("conv-text:"));
    EXPECT_TRUE(w.is(TYPE_WORD)) << "a set-word text gives the plain word";
    EXPECT_EQ(molded(w), "conv-text");
    EXPECT_EQ(w.data1, context::global);
    for (const char* bad : {"a b", "", "12"}) EXPECT_EQ(raised([&] { to(TYPE_WORD, text(bad)); }), "script/invalid-chars") << bad;
    Cell ch{uint32_t(TYPE_CHAR), 0, 'q', 0};
    EXPECT_EQ(molded(to(TYPE_WORD, ch)), "q");

    // issue! takes any text as it is, and never equals a word
    Cell spaced = to(TYPE_ISSUE, text("a b"));
    EXPECT_EQ(molded(spaced), "#a b");
    EXPECT_EQ(spaced.data1, context::global);
    EXPECT_EQ(int32_t(spaced.data3), -1);
    Cell euro{uint32_t(TYPE_CHAR), 0, 0x20AC, 0};
    EXPECT_EQ(molded(to(TYPE_ISSUE, euro)), "#\xE2\x82\xAC");

    // refinement and issue spellings must read as words to become one
    Cell r = refinement::load("conv-ref");
    Cell rw = to(TYPE_WORD, r);
    EXPECT_EQ(molded(rw), "conv-ref");
    global_word("conv-ref");
    rw = to(TYPE_WORD, r);
    EXPECT_EQ(rw.data1, context::global) << "bound when the global context holds it";
    Cell digits;
    issue::make_at(&digits, "123");
    EXPECT_EQ(raised([&] { to(TYPE_WORD, digits); }), "script/bad-to-arg");
}

TEST(Word, ReadingAndWritingValues) {
    Cell w = global_word("rw-value");
    EXPECT_EQ(raised([&] { word::get(&w); }), "script/no-value");
    Cell v = integer(12);
    word::set(&w, &v);
    int32_t depth = stack::depth();
    EXPECT_EQ(word::get(&w)->data2, 12u);
    EXPECT_EQ(stack::depth(), depth + 1);
    stack::pop(1);

    // the evaluator's set-word: word and value as the call's arguments
    Cell* saved = stack::arguments;
    Cell* args = stack::push(&w);
    Cell u = unset::value;
    stack::push(&u);
    stack::arguments = args;
    EXPECT_EQ(raised([] { word::set_from_args(); }), "script/need-value");
    stack::arguments = args;
    Cell nine = integer(9);
    args[1] = nine;
    word::set_from_args();
    EXPECT_EQ(args[0].data2, 9u) << "the value is the result";
    EXPECT_EQ(word::value_cell(&w)->data2, 9u);
    stack::arguments = saved;
    stack::top_ptr = args;

    // compiled code's slot access
    stack::push(&v);
    word::set_at(context::global, int32_t(w.data3));
    EXPECT_EQ(word::get_in(context::global, int32_t(w.data3))->data2, 12u);
    Cell seven = integer(7);
    *stack::top() = seven;
    word::swap_at(context::global, int32_t(w.data3));
    EXPECT_EQ(stack::top()->data2, 12u) << "the old value is pushed";
    EXPECT_EQ(word::get_in(context::global, int32_t(w.data3))->data2, 7u);
    stack::pop(2);

    Cell gw = global_word("rw-value", TYPE_GET_WORD);
    Cell* top = stack::push(&gw);
    stack::arguments = top;
    EXPECT_EQ(get_word::get()->data2, 7u);
    stack::arguments = saved;
    stack::top_ptr = top;
}

TEST(Word, MakingWordsInTheGlobalContext) {
    // as while the runtime starts: the start-up switches the copy flag off before the boot program
    struct CopyFlag {
        bool saved = runtime::root_copy;
        CopyFlag() { runtime::root_copy = true; }
        ~CopyFlag() { runtime::root_copy = saved; }
    } copy_flag;
    int32_t root_before = block::length(&runtime::root);
    Cell w = word::load("made-global");
    EXPECT_EQ(block::length(&runtime::root), root_before + 1) << "a copy for the collector while starting";
    Cell* in_root = block::at(&runtime::root, root_before);
    EXPECT_EQ(in_root->data2, w.data2);

    Cell blk;
    block::make_at(&blk, 2);
    Cell* m = word::make_global_from_name("MADE-GLOBAL", &blk);
    EXPECT_EQ(m->data1, context::global);
    EXPECT_EQ(m->data3, w.data3);
    EXPECT_EQ(symbol::name(int32_t(m->data2)), "MADE-GLOBAL");

    Cell* pushed = word::push_global(symbol::make("made-global"));
    EXPECT_EQ(pushed->data3, w.data3);
    Cell* str = word::to_string(pushed);
    EXPECT_TRUE(str->is(TYPE_STRING));
    EXPECT_EQ(str->data2, symbol::cell(int32_t(w.data2))->data2) << "it shares the symbol's string";
    EXPECT_EQ(string::to_utf8(static_cast<const Cell*>(str)), "made-global");
    stack::pop(2);

    Cell* issue = issue::make_in("made-issue", &blk);
    EXPECT_EQ(molded(*issue), "#made-issue");
    Cell* lit = lit_word::make_in("made-global", &blk);
    EXPECT_TRUE(lit->is(TYPE_LIT_WORD));
    EXPECT_EQ(lit->data3, w.data3);

    // every registered datatype has its word
    for (int32_t id : {TYPE_DATATYPE, TYPE_LOGIC, TYPE_SYMBOL, TYPE_CONTEXT, TYPE_ISSUE}) {
        const Cell& dw = datatype::row(id).word;
        EXPECT_TRUE(dw.is(TYPE_WORD)) << id;
        EXPECT_EQ(dw.data1, context::global);
        EXPECT_EQ(symbol::name(int32_t(dw.data2)), datatype::row(id).name);
    }
}
