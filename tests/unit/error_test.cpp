#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "datatypes/error.hpp"
#include "foundation/collector.hpp"
#include "foundation/support.hpp"
#include "object_fixtures.hpp"

using namespace kro;
using namespace kro::testing_objects;

namespace {

const Cell error_type{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_ERROR), 0, 0};

Cell make_error(Cell spec) {
    Cell proto = error_type;
    return *error::make(&proto, &spec, TYPE_ERROR);
}

std::string name_of(const Cell& err, error::Field f) { return spelling(*error::field(&err, f)); }
std::string pair_of(const Cell& err) { return name_of(err, error::TYPE) + "/" + name_of(err, error::ID); }
int32_t code_of(const Cell& err) { return int32_t(error::field(&err, error::CODE)->data2); }

// An error made from its name pair with the given arguments.
Cell named(const char* category, const char* id, std::vector<Cell> arguments = {}) {
    Cell c = w(category), i = w(id);
    const Cell* a[3] = {nullptr, nullptr, nullptr};
    for (size_t k = 0; k < arguments.size(); k++) a[k] = &arguments[k];
    Cell e = *error::create(&c, &i, a[0], a[1], a[2]);
    stack::pop(1);
    return e;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// The catalog's category objects, in order.
std::vector<std::pair<std::string, Cell>> categories() {
    std::vector<std::pair<std::string, Cell>> out;
    const Cell* cat = error::catalog();
    for (int32_t i = 0; i < object::field_count(cat); i++)
        out.emplace_back(spelling(*object::word_at(cat->data1, i)), object::get_values(cat)[i]);
    return out;
}

// The interpreter's name of the running call, as a fixture.
struct CallName {
    decltype(args::call_name) saved = args::call_name;
    explicit CallName(Cell (*fn)()) { args::call_name = fn; }
    ~CallName() { args::call_name = saved; }
};

// The call-stack hooks, recording what forming and capturing ask for.
struct CallStackHooks {
    static inline int32_t level = -1, position = -1;
    decltype(error::form_call_names) saved_form = error::form_call_names;
    decltype(error::collect_call_names) saved_collect = error::collect_call_names;
    CallStackHooks() {
        level = position = -1;
        error::form_call_names = [](int32_t l, int32_t p, Cell* buffer, int32_t limit) {
            level = l;
            position = p;
            string::concatenate_ascii(buffer, "outer inner", 11);
            return limit - 11;
        };
        error::collect_call_names = [](int32_t l, Cell* blk, int32_t p) {
            level = l;
            position = p;
            Cell a = w("outer"), b = w("inner");
            block::ks_append(blk, &a);
            block::ks_append(blk, &b);
        };
    }
    ~CallStackHooks() {
        error::form_call_names = saved_form;
        error::collect_call_names = saved_collect;
    }
};

}  // namespace

TEST(ErrorCatalog, CategoriesCodesTitlesAndIds) {
    struct Category {
        const char* word;
        int32_t code;
        const char* title;
        int32_t ids;
    } expected[] = {
        {"throw", 0, "Throw Error", 5},          {"note", 100, "note", 1},
        {"syntax", 200, "Syntax Error", 7},      {"script", 300, "Script Error", 94},
        {"math", 400, "Math Error", 3},          {"access", 500, "Access Error", 15},
        {"reserved1", 600, "Reserved1 Error", 0}, {"reserved2", 700, "Reserved2 Error", 0},
        {"user", 800, "User Error", 1},          {"internal", 900, "Internal Error", 14},
    };
    auto cats = categories();
    ASSERT_EQ(cats.size(), std::size(expected));
    for (size_t i = 0; i < cats.size(); i++) {
        SCOPED_TRACE(expected[i].word);
        EXPECT_EQ(cats[i].first, expected[i].word);
        const Cell& c = cats[i].second;
        ASSERT_TRUE(c.is(TYPE_OBJECT));
        EXPECT_EQ(field(c, "code").data2, uint32_t(expected[i].code));
        Cell title = field(c, "type");
        EXPECT_EQ(utf8(title), expected[i].title);
        EXPECT_EQ(object::field_count(&c) - 2, expected[i].ids);
        if (expected[i].ids > 0) {
            Cell e = make_error(integer(expected[i].code));
            EXPECT_EQ(form_text(e).rfind(std::string("*** ") + expected[i].title + ": ", 0), 0u);
        }
    }
}

TEST(ErrorCatalog, SurvivesCollections) {
    ScratchNumbers numbers;
    collector::collect();
    EXPECT_EQ(collector::check_heap(), "");
    EXPECT_EQ(first_line(form_text(make_error(integer(400)))), "*** Math Error: attempt to divide by zero");
    EXPECT_EQ(pair_of(make_error(integer(913))), "internal/deprecated");
    frame::catch_region(code::ERROR, [] { fire("internal", "no-memory"); });
    EXPECT_EQ(code_of(*raised_error()), 902);
}

TEST(ErrorCatalog, CodesOfEntries) {
    struct Entry {
        const char* category;
        const char* id;
        int32_t code;
    } entries[] = {
        {"math", "zero-divide", 400}, {"script", "no-value", 300},     {"throw", "break", 0},
        {"script", "out-of-range", 341}, {"script", "bad-make-arg", 353}, {"script", "kb-invalid-record", 393},
        {"syntax", "bad-char", 206},  {"access", "invalid-cmd", 514}, {"user", "message", 800},
        {"internal", "deprecated", 913}, {"note", "no-load", 100},
    };
    for (const auto& e : entries) {
        SCOPED_TRACE(e.id);
        EXPECT_EQ(code_of(named(e.category, e.id)), e.code);
        Cell from_code = make_error(integer(e.code));
        EXPECT_EQ(pair_of(from_code), std::string(e.category) + "/" + e.id);
        EXPECT_EQ(error::field(&from_code, error::TYPE)->data1, error::catalog()->data1)
            << "type is bound to the catalog";
    }
}

TEST(ErrorMake, FromIntegersNamePairsStringsAndSpecs) {
    ScratchNumbers numbers;
    ScratchText strings;
    Cell e = make_error(integer(401));
    EXPECT_TRUE(e.is(TYPE_ERROR));
    EXPECT_EQ(e.data2, object::ERROR_CLASS);
    EXPECT_EQ(e.data3, 0u);
    EXPECT_EQ(pair_of(e), "math/overflow");
    EXPECT_EQ(code_of(make_error(block_of({w("math"), w("overflow")}))), 401);
    EXPECT_EQ(pair_of(make_error(block_of({w("MATH"), w("Overflow")}))), "MATH/Overflow") << "kept as written";

    Cell boom = make_error(text("boom"));
    EXPECT_EQ(pair_of(boom), "user/message");
    EXPECT_EQ(code_of(boom), 800);
    EXPECT_EQ(first_line(form_text(boom)), "*** User Error: boom");

    SpecEvaluator eval;
    Cell spec = block_of({set_word("type"), lit("script"), set_word("id"), lit("no-value"), set_word("arg1"),
                          lit("foo"), set_word("code"), integer(7)});
    Cell from_spec = make_error(spec);
    EXPECT_EQ(code_of(from_spec), 300) << "a code given in the spec is overwritten";
    EXPECT_EQ(first_line(form_text(from_spec)), "*** Script Error: foo has no value");

    struct Bad {
        const char* name;
        Cell spec;
        const char* error;
        const char* arg1;  // spelling of the word argument, or ""
    } bad[] = {
        {"600: no ids", integer(600), "script/out-of-range", ""},
        {"700", integer(700), "script/out-of-range", ""},
        {"negative", integer(-1), "script/out-of-range", ""},
        {"past the catalog", integer(1000), "script/out-of-range", ""},
        {"past the script ids", integer(394), "script/out-of-range", ""},
        {"unknown category", block_of({w("nope"), w("x")}), "script/invalid-spec-field", "type"},
        {"unknown id", block_of({w("math"), w("nope")}), "script/invalid-spec-field", "id"},
        {"no id", block_of({w("math")}), "script/invalid-spec-field", "id"},
        {"code is no id", block_of({w("math"), w("code")}), "script/invalid-spec-field", "id"},
        {"type is no id", block_of({w("math"), w("type")}), "script/invalid-spec-field", "id"},
        {"id not a word", block_of({w("math"), integer(1)}), "script/invalid-arg", ""},
        {"other block", block_of({integer(1), integer(2)}), "internal/invalid-error", ""},
        {"empty block", block_of({}), "internal/invalid-error", ""},
        {"set-words without type", block_of({set_word("id"), lit("overflow")}), "script/invalid-spec-field", "type"},
        {"set-words with a bad id", block_of({set_word("type"), lit("math"), set_word("id"), lit("x")}),
         "script/invalid-spec-field", "id"},
        {"other type", real(1.5), "script/bad-make-arg", ""},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.name);
        Cell* top = stack::top_ptr;
        EXPECT_EQ(raised([&] { make_error(b.spec); }), b.error);
        if (*b.arg1) {
            EXPECT_EQ(spelling(last_raised().args[0]), b.arg1);
        }
        EXPECT_EQ(stack::top_ptr, top);
    }
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_ERROR)) << "bad-make-arg names error!";
}

TEST(ErrorForm, FormedErrorsToTheCharacter) {
    ScratchNumbers numbers;
    ScratchText strings;
    std::vector<Cell> words;
    for (int i = 0; i < 30; i++) words.push_back(w("abcd"));
    Cell long_block = block_of(words);
    Cell where_string = text("in the console");
    struct Case {
        const char* name;
        Cell error;
        const char* expected;
    } cases[] = {
        {"a string message", make_error(integer(400)),
         "*** Math Error: attempt to divide by zero\n*** Where: ???\n*** Near : unset"},
        {"a block with three arguments",
         named("script", "expect-arg", {w("append"), Cell{uint32_t(TYPE_DATATYPE), TYPE_INTEGER, 0, 0}, w("series")}),
         "*** Script Error: append does not allow integer! for its series argument\n*** Where: ???\n*** Near : unset"},
        {"arguments are molded", named("script", "invalid-arg", {text("x")}),
         "*** Script Error: invalid argument: \"x\"\n*** Where: ???\n*** Near : unset"},
        {"syntax arguments are formed", named("syntax", "invalid", {text("word"), text("1a"), text("line 1")}),
         "*** Syntax Error: word invalid 1a at line 1\n*** Where: ???\n*** Near : unset"},
        {"elements are joined by one space after a string too", named("note", "no-load", {text("x.kro")}),
         "*** note: cannot load:  \"x.kro\"\n*** Where: ???\n*** Near : unset"},
        {"plain words in internal templates", named("internal", "deprecated", {w("old"), w("new")}),
         "*** Internal Error: old is DEPRECATED, please use new instead\n*** Where: ???\n*** Near : unset"},
        {"argument in the middle", named("script", "unset-path", {w("p"), w("q")}),
         "*** Script Error: q is unset in path p\n*** Where: ???\n*** Near : unset"},
        {"absent argument", named("throw", "throw"),
         "*** Throw Error: no catch for throw: none\n*** Where: ???\n*** Near : unset"},
        {"an argument cut to 80 characters", named("script", "invalid-arg", {long_block}), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string formed = form_text(c.error);
        if (c.expected) {
            EXPECT_EQ(formed, c.expected);
        } else {
            std::string molded = mold_text(long_block, false, true);
            ASSERT_GT(molded.size(), 80u);
            EXPECT_EQ(first_line(formed), "*** Script Error: invalid argument: " + molded.substr(0, 80));
        }
    }

    Cell e = make_error(integer(400));
    *error::field(&e, error::WHERE) = w("divide");
    *error::field(&e, error::NEAR) = block_of({integer(1), w("/"), integer(0)});
    EXPECT_EQ(form_text(e), "*** Math Error: attempt to divide by zero\n*** Where: divide\n*** Near : 1 / 0");
    *error::field(&e, error::WHERE) = where_string;
    std::vector<Cell> many;
    for (int i = 0; i < 30; i++) many.push_back(integer(i));
    *error::field(&e, error::NEAR) = block_of(many);
    std::string formed = form_text(e);
    std::string near = mold_text(block_of(many), true, true);
    ASSERT_GT(near.size(), 40u);
    EXPECT_EQ(formed.substr(formed.find("\n*** Where")),
              "\n*** Where: in the console\n*** Near : " + near.substr(0, 40))
        << "near is cut to 40 characters";
    *error::field(&e, error::WHERE) = integer(3);
    EXPECT_NE(form_text(e).find("*** Where: ???"), std::string::npos);
}

TEST(ErrorForm, UserMessagesAndInvalidReferences) {
    ScratchNumbers numbers;
    ScratchText strings;
    // user/message stands for arg1; without it nothing is written and the error becomes invalid
    Cell bare = make_error(integer(800));
    EXPECT_EQ(first_line(form_text(bare)), "*** User Error: ");
    EXPECT_EQ(pair_of(bare), "internal/invalid-error");
    EXPECT_EQ(spelling(*error::field(&bare, error::ARG1)), "user");

    Cell unknown = make_error(integer(400));
    *error::field(&unknown, error::TYPE) = w("nowhere");
    EXPECT_EQ(first_line(form_text(unknown)), "*** Internal Error: invalid error object field value: nowhere");
    EXPECT_EQ(pair_of(unknown), "internal/invalid-error");

    Cell bad_id = make_error(integer(400));
    *error::field(&bad_id, error::ID) = w("nothing");
    EXPECT_EQ(first_line(form_text(bad_id)), "*** Internal Error: invalid error object field value: nothing");

    // a catalog whose message is neither text, block nor word: the title is written, then nothing
    Cell odd = make_error(integer(400));
    Cell cat = object::get_values(error::catalog())[4];
    Cell saved = object::get_values(&cat)[2];
    object::get_values(&cat)[2] = integer(5);
    std::string formed = form_text(odd);
    object::get_values(&cat)[2] = saved;
    EXPECT_EQ(first_line(formed), "*** Math Error: ");
    EXPECT_EQ(pair_of(odd), "internal/invalid-error");
    EXPECT_EQ(spelling(*error::field(&odd, error::ARG1)), "math");
}

TEST(ErrorForm, EveryEntryFillsInItsArguments) {
    ScratchNumbers numbers;
    ScratchText strings;
    Cell a1 = w("FIRST-ARG"), a2 = w("SECOND-ARG"), a3 = w("THIRD-ARG");
    std::regex arg_word(R"(:?arg([123]))");
    int32_t entries = 0;
    auto cats = categories();
    for (size_t c = 0; c < cats.size(); c++) {
        const Cell& cat = cats[c].second;
        std::string title = utf8(field(cat, "type"));
        for (int32_t i = 2; i < object::field_count(&cat); i++) {
            std::string id = spelling(*object::word_at(cat.data1, i));
            SCOPED_TRACE(cats[c].first + "/" + id);
            Cell e = make_error(integer(int32_t(c) * 100 + i - 2));
            for (int k = 0; k < 3; k++)
                *error::field(&e, error::Field(error::ARG1 + k)) = (k == 0 ? a1 : k == 1 ? a2 : a3);
            // user/message is its arg1 itself, which must be text
            if (id == "message") *error::field(&e, error::ARG1) = text("FIRST-ARG");
            std::string line = first_line(form_text(e));
            EXPECT_EQ(line.rfind("*** " + title + ": ", 0), 0u) << line;
            // every argument the template names appears, and no template word is left
            Cell message = object::get_values(&cat)[i];
            std::string words = mold_text(message);
            const char* fills[] = {"FIRST-ARG", "SECOND-ARG", "THIRD-ARG"};
            for (std::sregex_iterator m(words.begin(), words.end(), arg_word), end; m != end; ++m)
                EXPECT_NE(line.find(fills[(*m)[1].str()[0] - '1']), std::string::npos) << line;
            EXPECT_FALSE(std::regex_search(line, std::regex(R"(\barg[123]\b)"))) << line;
            entries++;
        }
    }
    EXPECT_EQ(entries, 140);
}

TEST(ErrorForm, StackAndFilesLines) {
    ScratchNumbers numbers;
    ScratchText strings;
    CallStackHooks hooks;
    Cell e = make_error(integer(400));
    *error::field(&e, error::STACK) = integer(7);
    EXPECT_EQ(form_text(e), "*** Math Error: attempt to divide by zero\n*** Where: ???\n*** Near : unset\n"
                            "*** Stack: outer inner");
    EXPECT_EQ(CallStackHooks::level, 1);
    EXPECT_EQ(CallStackHooks::position, 7);
    Cell* trace = error::state_field(error::State::STACK_TRACE);
    Cell saved = *trace;
    *trace = integer(0);
    EXPECT_EQ(form_text(e).find("*** Stack"), std::string::npos) << "stack traces off";
    *trace = saved;

    *error::field(&e, error::STACK) = block_of({w("a"), w("b")});
    *error::field(&e, error::FILES) = block_of({text("one.kro"), text("two.kro")});
    std::string formed = form_text(e);
    EXPECT_EQ(formed.substr(formed.find("\n*** Stack")), "\n*** Stack: a b\n*** Files: \"one.kro\" \"two.kro\"");
}

TEST(ErrorValue, MoldCopyPathsAndCompare) {
    ScratchNumbers numbers;
    Cell e = make_error(integer(400));
    EXPECT_EQ(mold_text(e, false, true),
              "make error! [code: 400 type: 'math id: 'zero-divide arg1: none arg2: none arg3: none near: unset "
              "where: none stack: none files: none]");
    std::string full = mold_text(e);
    EXPECT_EQ(full.rfind("make error! [\n    code: 400\n    type: 'math\n", 0), 0u) << full;
    EXPECT_EQ(full.substr(full.size() - 17), "    files: none\n]");

    Cell copy;
    actions::copy(&e, &copy, nullptr, false, nullptr);
    EXPECT_TRUE(copy.is(TYPE_ERROR)) << "the copy stays an error!";
    EXPECT_NE(copy.data1, e.data1);
    EXPECT_EQ(actions::compare_values(&e, &copy, actions::EQUAL), 0);
    EXPECT_EQ(actions::compare_values(&e, &copy, actions::SAME), -1);
    Cell other = make_error(integer(401));
    EXPECT_NE(actions::compare_values(&e, &other, actions::EQUAL), 0);
    Cell o = make_object({});
    EXPECT_EQ(error::compare(&e, &o, actions::EQUAL), -2);

    Cell path = block_of({w("e"), w("id")});
    path.set_type(TYPE_PATH);
    Cell id = w("id");
    Cell* got = datatype::action<A_EVAL_PATH>(TYPE_ERROR)(&e, &id, nullptr, &path, nullptr, nullptr, 1, false,
                                                          false, true, false);
    EXPECT_EQ(spelling(*got), "zero-divide");
    Cell words = e;
    datatype::action<A_REFLECT>(TYPE_ERROR)(&words, symbol::make("words"));
    EXPECT_EQ(block::length(&words), error::FIELD_COUNT);
    EXPECT_EQ(datatype::action<A_FIND>(TYPE_ERROR), nullptr) << "object! has no find to inherit";
    EXPECT_EQ(datatype::action<A_PUT>(TYPE_ERROR), nullptr);
    EXPECT_EQ(symbol::name(error::get_type(&e)), "math");
    EXPECT_EQ(symbol::name(error::get_id(&e)), "zero-divide");
    EXPECT_EQ(error::stack_index(), 8);
}

TEST(ErrorValue, WhereCaptureAndArgumentNames) {
    ScratchNumbers numbers;
    ScratchText strings;
    Cell e = make_error(integer(400));
    Cell first = w("first"), second = w("second");
    error::get_where(&e, &first);
    error::get_where(&e, &second);
    EXPECT_EQ(spelling(*error::field(&e, error::WHERE)), "first") << "only while where is none";

    CallStackHooks hooks;
    *error::field(&e, error::STACK) = integer(4);
    Cell* files = error::state_field(error::State::SOURCE_FILES);
    Cell saved = *files;
    *files = block_of({text("main.kro")});
    error::capture_stack(&e);
    *files = saved;
    Cell st = *error::field(&e, error::STACK);
    ASSERT_TRUE(st.is(TYPE_BLOCK));
    EXPECT_EQ(mold_text(st), "[outer inner]");
    EXPECT_EQ(CallStackHooks::position, 4);
    Cell f = *error::field(&e, error::FILES);
    ASSERT_TRUE(f.is(TYPE_BLOCK));
    EXPECT_EQ(block::length(&f), 1);
    error::capture_stack(&e);  // a captured stack stays
    EXPECT_EQ(error::field(&e, error::STACK)->data2, st.data2);

    // the n-th argument word of the running call
    Cell fn = func({w("series"), text("doc"), w("value"), w("part", TYPE_REFINEMENT), w("length")}, {});
    int32_t sym = symbol::make("test-call-of-nth");
    context::set_global(sym, &fn);
    CallName name([] { return context::add_global(symbol::make("test-call-of-nth"), true, false); });
    EXPECT_EQ(spelling(error::nth_argument_word(0)), "series");
    EXPECT_EQ(spelling(error::nth_argument_word(1)), "value");
    Cell part = error::nth_argument_word(2);
    EXPECT_TRUE(part.is(TYPE_REFINEMENT));
    EXPECT_EQ(spelling(error::nth_argument_word(3)), "length");
    EXPECT_EQ(spelling(error::nth_argument_word(4)), "<anon>");
    Cell not_fn = integer(1);
    context::set_global(sym, &not_fn);
    EXPECT_EQ(spelling(error::nth_argument_word(0)), "<anon>");
}

TEST(Fire, BuildsTheErrorAndThrowsIt) {
    ScratchNumbers numbers;
    Cell arg = integer(42);
    Cell* top = stack::top_ptr;
    uint32_t got = frame::catch_region(code::ERROR, [&] { fire("math", "zero-divide", &arg); });
    EXPECT_EQ(got, code::ERROR);
    EXPECT_EQ(stack::top_ptr, top);
    const Cell* e = raised_error();
    ASSERT_TRUE(e->is(TYPE_ERROR));
    EXPECT_EQ(code_of(*e), 400);
    EXPECT_EQ(error::field(e, error::ARG1)->data2, 42u);
    EXPECT_TRUE(error::field(e, error::ARG2)->is(TYPE_NONE));
    EXPECT_EQ(last_raised().category, "math");
    EXPECT_EQ(last_raised().nargs, 1);
    EXPECT_EQ(form_text(*e), "*** Math Error: attempt to divide by zero\n*** Where: ???\n*** Near : unset\n*** Stack: ")
        << "the throw records the call-stack position";

    {
        CallName name([] { return w("divide"); });
        frame::catch_region(code::ERROR, [] { fire("math", "overflow"); });
    }
    EXPECT_EQ(spelling(*error::field(raised_error(), error::WHERE)), "divide");

    // running out of memory makes an error of its own each time, with its own where
    {
        CallName name([] { return w("append"); });
        frame::catch_region(code::ERROR, [] { fire("internal", "no-memory"); });
    }
    Cell first = *raised_error();
    EXPECT_EQ(spelling(*error::field(&first, error::WHERE)), "append");
    {
        CallName name([] { return w("insert"); });
        frame::catch_region(code::ERROR, [] { fire("internal", "no-memory"); });
    }
    EXPECT_NE(raised_error()->data1, first.data1);
    EXPECT_EQ(spelling(*error::field(raised_error(), error::WHERE)), "insert");
    EXPECT_EQ(code_of(*raised_error()), 902);
    EXPECT_EQ(last_raised().id, "no-memory");

    // a name the catalog lacks is itself an error
    frame::catch_region(code::ERROR, [] { fire("no-such", "thing"); });
    EXPECT_EQ(last_raised().category + "/" + last_raised().id, "script/invalid-spec-field");

    // the interpreter's throw and the tracer receive the built error
    static Cell thrown, traced;
    static uint32_t code_while_tracing;
    auto saved_throw = raise::throw_error;
    auto saved_trace = raise::trace_error;
    raise::throw_error = [](Cell* err) {
        thrown = *err;
        frame::throw_code(code::ERROR);
    };
    raise::trace_error = [](const Cell* err) {
        traced = *err;
        code_while_tracing = runtime_context.thrown_code;
    };
    runtime_context.thrown_code = 77;
    frame::catch_region(code::ERROR, [] { fire("math", "positive"); });
    raise::throw_error = saved_throw;
    raise::trace_error = saved_trace;
    EXPECT_EQ(code_while_tracing, 0u) << "the pending code is cleared while the tracer runs";
    EXPECT_EQ(code_of(thrown), 402);
    EXPECT_EQ(traced.data1, thrown.data1);
}
