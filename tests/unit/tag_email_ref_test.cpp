// tag!, email! and ref!: their text forms in every unit size, the e-mail's
// user and host paths, what each inherits from string! or refuses, and their
// literals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "block_fixtures.hpp"
#include "datatypes/string.hpp"
#include "datatypes/tag_email_ref.hpp"
#include "foundation/registry.hpp"
#include "interpreter/actions.hpp"
#include "io/lexer_scan.hpp"
#include "io/lexer_values.hpp"
#include "string_fixtures.hpp"

using namespace kro;
using testing_blocks::form_text;
using testing_blocks::integer;
using testing_blocks::mold_text;
using testing_blocks::raised;
using testing_blocks::w;
using testing_strings::points;
using testing_strings::text_of;
using testing_strings::unit_of;
using testing_strings::utf8;

namespace {

Cell tag_of(const std::u32string& s, int unit = 1) { return text_of(s, unit, TYPE_TAG); }
Cell email_of(const std::u32string& s, int unit = 1) { return text_of(s, unit, TYPE_EMAIL); }
Cell ref_of(const std::u32string& s, int unit = 1) { return text_of(s, unit, TYPE_REF); }

// Gets (value null) or sets a path element of an e-mail through its slot.
Cell email_path(Cell* address, Cell element, Cell* value = nullptr) {
    Cell parent = *address;
    auto fn = datatype::action<A_EVAL_PATH>(TYPE_EMAIL);
    fn(&parent, &element, value, nullptr, nullptr, nullptr, 0, false, value == nullptr, false, false);
    return parent;
}

}  // namespace

TEST(TextKinForms, MoldAndFormInEveryUnit) {
    struct Case {
        Type type;
        std::u32string chars;
        std::string molded, formed;
    } cases[] = {
        {TYPE_TAG, U"a href=\"x\" b", "<a href=\"x\" b>", "<a href=\"x\" b>"},
        {TYPE_TAG, U"", "<>", "<>"},
        {TYPE_TAG, U"\u00e9\u20ac", "<\u00e9\u20ac>", "<\u00e9\u20ac>"},
        {TYPE_EMAIL, U"john@example.com", "john@example.com", "john@example.com"},
        {TYPE_EMAIL, U"a\"b^c@x", "a\"b^c@x", "a\"b^c@x"},  // no quotes, no escapes
        {TYPE_REF, U"name", "@name", "name"},
        {TYPE_REF, U"\U0001F600", "@\U0001F600", "\U0001F600"},
    };
    for (const Case& c : cases) {
        for (int unit : {1, 2, 4}) {
            SCOPED_TRACE(c.molded);
            Cell v = text_of(c.chars, unit, c.type);
            EXPECT_EQ(mold_text(v), c.molded) << "unit " << unit;
            EXPECT_EQ(form_text(v), c.formed) << "unit " << unit;
        }
    }
    EXPECT_EQ(mold_text(testing_strings::at_head(tag_of(U"xyz"), 1)), "<yz>") << "from the head";
}

TEST(TextKinForms, BudgetCountsTheDelimiters) {
    int32_t left = 0;
    mold_text(tag_of(U"ab"), false, false, 10, &left);
    EXPECT_EQ(left, 10 - 4);
    form_text(tag_of(U"ab"), 10, &left);
    EXPECT_EQ(left, 10 - 4);
    mold_text(ref_of(U"ab"), false, false, 10, &left);
    EXPECT_EQ(left, 10 - 3);
    mold_text(email_of(U"a@b"), false, false, 10, &left);
    EXPECT_EQ(left, 10 - 3);
    EXPECT_EQ(form_text(tag_of(U"abcdef"), 3).substr(0, 3), "<ab") << "/part cuts the text";
}

TEST(EmailPaths, UserAndHost) {
    struct Case {
        std::u32string address;
        const char* user;
        const char* host;
    } cases[] = {
        {U"john@example.com", "john", "example.com"},
        {U"john", "john", ""},  // no at sign: all user
        {U"a@b@c", "a", "b@c"},
        {U"@host", "", "host"},
        {U"j\u00f6rg@b\u00fccher.de", "j\u00f6rg", "b\u00fccher.de"},
    };
    for (const Case& c : cases) {
        for (int unit : {1, 2, 4}) {
            SCOPED_TRACE(c.user);
            Cell e = email_of(c.address, unit);
            Cell user = email_path(&e, w("user")), host = email_path(&e, w("HOST"));
            EXPECT_TRUE(user.is(TYPE_STRING));
            EXPECT_TRUE(host.is(TYPE_STRING));
            EXPECT_EQ(utf8(user), c.user);
            EXPECT_EQ(utf8(host), c.host);
            EXPECT_NE(user.data2, e.data2) << "a new string";
        }
    }
    Cell e = email_of(U"john@x");
    Cell first = email_path(&e, integer(1));
    EXPECT_TRUE(first.is(TYPE_CHAR));
    EXPECT_EQ(first.data2, uint32_t('j'));
    EXPECT_EQ(raised([&] { email_path(&e, w("domain")); }), "script/invalid-path");
    EXPECT_EQ(raised([&] { email_path(&e, testing_strings::text("user")); }), "script/invalid-path");
    EXPECT_EQ(raised([&] { email_path(&e, w("user", TYPE_GET_WORD)); }), "script/invalid-path");
}

TEST(EmailPaths, SettingChangesTheAddressItself) {
    struct Case {
        std::u32string address;
        const char* field;
        const char* value;
        const char* result;
    } cases[] = {
        {U"john@example.com", "host", "new.org", "john@new.org"},
        {U"john@example.com", "user", "jane.doe", "jane.doe@example.com"},
        {U"john@", "host", "x.org", "john@x.org"},
        {U"@x.org", "user", "me", "me@x.org"},
        {U"john", "user", "jim", "jim"},
        {U"john", "host", "x.org", "john@x.org"},  // the at sign is added, so the parts stay apart
        {U"john@example.com", "host", "b\u00fccher.de", "john@b\u00fccher.de"},  // widens the address
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        Cell e = email_of(c.address);
        Cell v = testing_strings::text(c.value);
        Cell answered = email_path(&e, w(c.field), &v);
        EXPECT_EQ(utf8(e), c.result);
        EXPECT_TRUE(e.is(TYPE_EMAIL));
        EXPECT_EQ(answered.data2, v.data2) << "the value is the answer";
    }
    Cell e = email_of(U"ab@cd");
    Cell c = testing_blocks::chr('Z');
    email_path(&e, integer(2), &c);
    EXPECT_EQ(utf8(e), "aZ@cd") << "an index as for string!";
}

TEST(TextKinActions, InheritedAndRefusedSlots) {
    for (Type t : {TYPE_TAG, TYPE_EMAIL, TYPE_REF}) {
        SCOPED_TRACE(datatype::row(t).name);
        EXPECT_EQ(datatype::row(t).name, std::string(t == TYPE_TAG ? "tag!" : t == TYPE_EMAIL ? "email!" : "ref!"));
        for (int slot : {A_MAKE, A_TO, A_COMPARE, A_INSERT, A_CHANGE, A_FIND, A_PICK, A_POKE, A_COPY, A_TAKE,
                         A_LENGTH_Q, A_REVERSE, A_MODIFY})
            EXPECT_EQ(datatype::entry(t, slot), datatype::entry(TYPE_STRING, slot)) << "slot " << slot;
        for (int slot : {A_RANDOM, A_SORT, A_TRIM, A_AND_T, A_OR_T, A_XOR_T, A_COMPLEMENT, A_ADD, A_SUBTRACT,
                         A_SET_PATH, A_OPEN, A_READ, A_WRITE})
            EXPECT_EQ(datatype::entry(t, slot), nullptr) << "slot " << slot;
    }
    EXPECT_EQ(datatype::entry(TYPE_TAG, A_EVAL_PATH), datatype::entry(TYPE_STRING, A_EVAL_PATH));
    EXPECT_EQ(datatype::entry(TYPE_EMAIL, A_FORM), datatype::entry(TYPE_STRING, A_FORM));
    EXPECT_EQ(datatype::entry(TYPE_REF, A_FORM), datatype::entry(TYPE_STRING, A_FORM));
    EXPECT_EQ(datatype::entry(TYPE_TAG, A_APPEND), datatype::entry(TYPE_STRING, A_APPEND));
    EXPECT_EQ(datatype::entry(TYPE_REF, A_EVAL_PATH), nullptr);
}

TEST(TextKinActions, AppendingToARefIsRefusedWhileInsertWorks) {
    Cell r = ref_of(U"ab");
    EXPECT_EQ(raised([&] { actions::get<A_APPEND>(&r); }), "script/expect-arg");
    EXPECT_EQ(last_raised().args[1].data1, uint32_t(TYPE_REF));
    Cell c = testing_blocks::chr('x');
    actions::get<A_INSERT>(&r)(&r, &c, -1, false, 1, false);
    EXPECT_EQ(mold_text(testing_strings::at_head(r, 0)), "@xab");
    EXPECT_TRUE(r.is(TYPE_REF));

    Cell t = tag_of(U"b");
    Cell more = testing_strings::text(" id=1");
    actions::get<A_APPEND>(&t)(&t, &more, -1, false, 1, true);
    EXPECT_EQ(mold_text(t), "<b id=1>");
}

TEST(TextKinActions, ComparisonIsThatOfStrings) {
    Cell a = tag_of(U"ABC"), b = tag_of(U"abc"), s = testing_strings::text("abc");
    EXPECT_TRUE(actions::compare(&a, &b, actions::EQUAL));
    EXPECT_FALSE(actions::compare(&a, &b, actions::STRICT_EQUAL));
    EXPECT_TRUE(actions::compare(&a, &s, actions::EQUAL));
    Cell e1 = email_of(U"a@x"), e2 = email_of(U"b@x");
    EXPECT_TRUE(actions::compare(&e1, &e2, actions::LESSER));
}

TEST(TextKinActions, PushCopiesTheCell) {
    Cell t = tag_of(U"p"), e = email_of(U"a@b"), r = ref_of(U"x");
    Cell* top = stack::top_ptr;
    EXPECT_EQ(tag::push(&t)->data2, t.data2);
    EXPECT_TRUE(email::push(&e)->is(TYPE_EMAIL));
    EXPECT_TRUE(ref::push(&r)->is(TYPE_REF));
    EXPECT_EQ(stack::top_ptr - top, 3);
    stack::pop(3);
}

// ---- literals -----------------------------------------------------------------------------------------

TEST(TextKinLiterals, TokenTextMakesTheValue) {
    struct Case {
        bool (*maker)(const uint8_t*, uint32_t, Cell*);
        const char* token;
        Type type;
        std::u32string chars;  // U"-" for refused
        int unit;
    } cases[] = {
        {&tag::from_token, "<a b=\"c\">", TYPE_TAG, U"a b=\"c\"", 1},
        {&tag::from_token, "<>", TYPE_TAG, U"", 1},
        {&tag::from_token, "<a^b>", TYPE_TAG, U"a^b", 1},  // no escapes
        {&tag::from_token, "<\xC3\xA9>", TYPE_TAG, U"\u00e9", 1},
        {&tag::from_token, "<\xE2\x82\xAC>", TYPE_TAG, U"\u20ac", 2},
        {&tag::from_token, "<\xF0\x9F\x98\x80>", TYPE_TAG, U"\U0001F600", 4},
        {&tag::from_token, "<\xC3>", TYPE_TAG, U"-", 0},
        {&tag::from_token, "<\xFF>", TYPE_TAG, U"-", 0},
        {&tag::from_token, "a>", TYPE_TAG, U"-", 0},
        {&tag::from_token, "<a", TYPE_TAG, U"-", 0},
        {&email::from_token, "john@example.com", TYPE_EMAIL, U"john@example.com", 1},
        {&email::from_token, "j\xC3\xB6rg@x.de", TYPE_EMAIL, U"j\u00f6rg@x.de", 1},
        {&email::from_token, "a@\xE2\x82", TYPE_EMAIL, U"-", 0},
        {&ref::from_token, "@name", TYPE_REF, U"name", 1},
        {&ref::from_token, "@a^b", TYPE_REF, U"a^b", 1},
        {&ref::from_token, "name", TYPE_REF, U"-", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.token);
        Cell out = none::value;
        bool ok = c.maker(reinterpret_cast<const uint8_t*>(c.token), uint32_t(std::strlen(c.token)), &out);
        ASSERT_EQ(ok, c.chars != U"-");
        if (!ok) {
            EXPECT_TRUE(out.is(TYPE_NONE));
            continue;
        }
        EXPECT_EQ(out.type(), c.type);
        EXPECT_EQ(points(out), c.chars);
        EXPECT_EQ(unit_of(out), c.unit);
    }
}

TEST(TextKinLiterals, LoadedThroughTheTokenizer) {
    struct Case {
        const char* source;
        int state;
        Type type;
        const char* molded;
    } cases[] = {
        {"<tag>", lexer::T_TAG, TYPE_TAG, "<tag>"},
        {"john@example.com", lexer::T_EMAIL, TYPE_EMAIL, "john@example.com"},
        {"@ref", lexer::T_REF, TYPE_REF, "@ref"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        lexer::Machine m;
        m.begin = m.cursor = reinterpret_cast<const uint8_t*>(c.source);
        m.end = m.begin + std::strlen(c.source);
        lexer::Token t;
        m.next(t);
        ASSERT_EQ(t.state, c.state);
        EXPECT_EQ(lexer::load_value(t, nullptr), 0);
        Cell out;
        ASSERT_EQ(lexer::load_value(t, &out), 0);
        EXPECT_EQ(out.type(), c.type);
        EXPECT_EQ(t.type, c.type);
        EXPECT_EQ(mold_text(out), c.molded);
    }
}
