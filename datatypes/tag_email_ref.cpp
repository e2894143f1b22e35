#include "datatypes/tag_email_ref.hpp"

#include <string>

#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/string_text.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_tables.hpp"
#include "io/lexer_values.hpp"

namespace kro {

namespace {

void put(Cell* buffer, const char* text) { string::concatenate_ascii(buffer, text, -1); }

// The string form of the characters from the head, budgeted as string! does.
int32_t characters(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    return string::form(value, buffer, part, limit);
}

// UTF-8 token text as a string of the given type, in the narrowest unit that
// holds its code points; with no out only checked. False (out untouched) for
// a sequence the decoder refuses or one cut short by the end of the token.
bool load_text(const uint8_t* bytes, uint32_t length, Type type, Cell* out) {
    std::u32string cps;
    bool ok = true;
    uint32_t code = frame::catch_region(code::ERROR, [&] {
        uint32_t at = 0;
        while (at < length) {
            uint32_t n = length - at;
            int32_t cp = unicode::decode_utf8_char(bytes + at, &n);
            if (cp < 0) {
                ok = false;
                return;
            }
            cps += char32_t(cp);
            at += n;
        }
    });
    if (code || !ok) return false;
    if (!out) return true;
    char32_t widest = 0;
    for (char32_t c : cps) widest = std::max(widest, c);
    int unit = widest <= 0xFF ? 1 : widest <= 0xFFFF ? 2 : 4;
    Cell s;
    string::make_at(&s, uint32_t(cps.size()) + 1, unit);
    memory::Buffer* b = memory::buffer_of(s.data2);
    for (size_t i = 0; i < cps.size(); i++) string::put_char(b->head_ptr() + i * uint32_t(unit), unit, cps[i]);
    b->tail = b->offset + uint32_t(cps.size()) * uint32_t(unit);
    s.set_type(type);
    *out = s;
    return true;
}

// The row every one of the three starts from: string!'s entries, without
// what makes no sense for a name, an address or a reference.
ActionList text_kin_row() {
    ActionList a;
    a.inherit_all();
    for (int slot : {A_RANDOM, A_SET_PATH, A_SORT, A_TRIM, A_AND_T, A_OR_T, A_XOR_T, A_COMPLEMENT, A_ABSOLUTE,
                     A_ADD, A_DIVIDE, A_MULTIPLY, A_NEGATE, A_POWER, A_REMAINDER, A_ROUND, A_SUBTRACT, A_EVEN_Q,
                     A_ODD_Q, A_CREATE, A_CLOSE, A_DELETE, A_OPEN, A_OPEN_Q, A_QUERY, A_READ, A_RENAME, A_UPDATE,
                     A_WRITE})
        a.unsupported(slot);
    return a;
}

// The tokenizer's makers answer 0, or the datatype to report as invalid.
int maker_answer(bool ok, lexer::Token& t, Type type) {
    if (!ok) return type;
    t.type = type;
    return 0;
}

}  // namespace

// ---- tag! -------------------------------------------------------------------------------------

namespace tag {

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    put(buffer, "<");
    limit = characters(value, buffer, part, limit - 1);
    put(buffer, ">");
    return limit - 1;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return form(value, buffer, part, limit);
}

Cell* push(const Cell* value) { return stack::push(value); }

bool from_token(const uint8_t* text, uint32_t length, Cell* out) {
    if (length < 2 || text[0] != '<' || text[length - 1] != '>') return false;
    return load_text(text + 1, length - 2, TYPE_TAG, out);
}

namespace {
// The tag token ends on its ">".
int make_literal(lexer::Token& t, Cell* out) {
    bool ok = t.end > t.start && t.start[0] == '<' &&
              load_text(t.start + 1, uint32_t(t.end - t.start - 1), TYPE_TAG, out);
    return maker_answer(ok, t, TYPE_TAG);
}
}  // namespace

void init() {
    ActionList a = text_kin_row();
    a.set<A_FORM>(&form).set<A_MOLD>(&mold);
    datatype::register_type(TYPE_TAG, TYPE_STRING, "tag!", a);
    lexer::set_maker(lexer::T_TAG, &make_literal);
}

}  // namespace tag

// ---- email! -------------------------------------------------------------------------------------

namespace email {

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return characters(value, buffer, part, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event) {
    if (element->is(TYPE_INTEGER))
        return string::eval_path(parent, element, value, path, grandparent, path_item, index, case_, get, tail,
                                 event);
    Cell p = path ? *path : none::value;
    if (!element->is(TYPE_WORD)) fire("script", "invalid-path", &p, element);
    int32_t sym = int32_t(element->data2);
    bool user = symbol::same_word(sym, symbol::make("user"));
    if (!user && !symbol::same_word(sym, symbol::make("host"))) fire("script", "invalid-path", &p, element);

    gc::Rooted address(*parent);
    uint32_t length = string::length_of(address.get());
    int32_t at = string::ks_find_char(address.get(), '@');
    uint32_t split = at < 0 ? length : uint32_t(at);
    uint32_t head = string::detail::text_of(address.get()).head;
    if (!value) {
        gc::Rooted part(address.cell);
        part->set_type(TYPE_STRING);
        gc::Rooted out;
        string::make_at(out.get(), length + 1, 1);
        if (user) {
            string::append_string(out.get(), part.get(), int32_t(split));
        } else if (split < length) {
            part->data1 = head + split + 1;
            string::append_string(out.get(), part.get(), -1);
        }
        *parent = out.cell;
        return parent;
    }
    gc::Rooted new_value(*value);
    gc::Rooted target(address.cell);
    if (user) {
        string::change(target.get(), new_value.get(), int32_t(split), false, 1);
    } else if (split < length) {
        target->data1 = head + split + 1;
        string::change(target.get(), new_value.get(), int32_t(length - split - 1), false, 1);
    } else {
        // No at sign yet: the host goes after one, so that user and host stay apart.
        target->data1 = head + length;
        Cell at_sign{uint32_t(TYPE_CHAR), 0, '@', 0};
        string::insert(target.get(), &at_sign, -1, false, 1, false);
        string::insert(target.get(), new_value.get(), -1, false, 1, false);
    }
    *parent = new_value.cell;
    return parent;
}

Cell* push(const Cell* value) { return stack::push(value); }

bool from_token(const uint8_t* text, uint32_t length, Cell* out) { return load_text(text, length, TYPE_EMAIL, out); }

namespace {
int make_literal(lexer::Token& t, Cell* out) {
    return maker_answer(load_text(t.start, uint32_t(t.end - t.start), TYPE_EMAIL, out), t, TYPE_EMAIL);
}
}  // namespace

void init() {
    ActionList a = text_kin_row();
    a.set<A_MOLD>(&mold).set<A_EVAL_PATH>(&eval_path);
    datatype::register_type(TYPE_EMAIL, TYPE_STRING, "email!", a);
    lexer::set_maker(lexer::T_EMAIL, &make_literal);
}

}  // namespace email

// ---- ref! -----------------------------------------------------------------------------------------

namespace ref {

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    put(buffer, "@");
    return characters(value, buffer, part, limit - 1);
}

Cell* push(const Cell* value) { return stack::push(value); }

bool from_token(const uint8_t* text, uint32_t length, Cell* out) {
    if (length < 1 || text[0] != '@') return false;
    return load_text(text + 1, length - 1, TYPE_REF, out);
}

namespace {
int make_literal(lexer::Token& t, Cell* out) {
    bool ok = t.end > t.start && t.start[0] == '@' &&
              load_text(t.start + 1, uint32_t(t.end - t.start - 1), TYPE_REF, out);
    return maker_answer(ok, t, TYPE_REF);
}
}  // namespace

void init() {
    ActionList a = text_kin_row();
    a.set<A_MOLD>(&mold);
    for (int slot : {A_EVAL_PATH, A_APPEND, A_PUT}) a.unsupported(slot);
    datatype::register_type(TYPE_REF, TYPE_STRING, "ref!", a);
    lexer::set_maker(lexer::T_REF, &make_literal);
}

}  // namespace ref

}  // namespace kro
