#include "datatypes/char.hpp"

#include <cmath>

#include "datatypes/block.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/string.hpp"
#include "foundation/fire.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/stack.hpp"

namespace kro::charx {

namespace {

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

bool text_type(Type t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
           t == TYPE_REF;
}

[[noreturn]] void overflow() { fire("math", "overflow"); }

}  // namespace

Cell* push(uint32_t cp) {
    Cell* c = stack::push_cell();
    *c = make(cp);
    return c;
}

Cell* make_in(Cell* blk, uint32_t cp) {
    Cell* c = block::add_cell(blk);
    *c = make(cp);
    return c;
}

Cell* do_math(int32_t op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    int32_t value;
    switch (right->type()) {
        case TYPE_CHAR:
        case TYPE_INTEGER:
            value = integer::get(right);
            break;
        case TYPE_FLOAT: {
            // truncated toward zero; NaN and values beyond 32 bits have no code point to give
            double d = right->get_float();
            if (!(d > -2147483649.0 && d < 2147483648.0)) overflow();
            value = int32_t(d);
            break;
        }
        case TYPE_VECTOR: {
            Cell* r = extended::need(extended::vector_do_math)(op, right, left);
            stack::set_last(r);
            return stack::arguments;
        }
        default: {
            Cell dt = datatype_of(right->type());
            fire("script", "invalid-type", &dt);
        }
    }
    // add, subtract and multiply get a scratch cell: an overflow turns it into a float!
    Cell scratch = integer::make(0);
    bool checked = op == integer::OP_ADD || op == integer::OP_SUBTRACT || op == integer::OP_MULTIPLY;
    int32_t r = integer::do_math_op(integer::get(left), value, op, checked ? &scratch : nullptr);
    if (checked && !scratch.is(TYPE_INTEGER)) overflow();
    if (r < 0 || uint32_t(r) > MAX_CODE_POINT) overflow();
    left->data2 = uint32_t(r);
    return left;
}

namespace {

// A code point as it appears between the quotes of a char! literal: caret
// escapes for the control characters, the double quote, the caret and DEL;
// "^(hex)" for 0x1E, 0x80-0x9F and, with all, everything above 0x7F.
void append_escaped(Cell* buffer, uint32_t cp, bool all) {
    if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || (all && cp > 0x7F)) {
        char hex[16];
        int n = 0;
        uint32_t v = cp;
        do {
            hex[n++] = "0123456789ABCDEF"[v & 0xF];
            v >>= 4;
        } while (v);
        string::concatenate_ascii(buffer, "^(");
        while (n) string::concatenate_ascii(buffer, &hex[--n], 1);
        string::concatenate_ascii(buffer, ")");
        return;
    }
    char escape = 0;
    if (cp < 0x20) escape = cp == 0x09 ? '-' : cp == 0x0A ? '/' : char(cp + 0x40);
    else if (cp == 0x22) escape = '"';
    else if (cp == 0x5E) escape = '^';
    else if (cp == 0x7F) escape = '~';
    if (escape) {
        char text[2] = {'^', escape};
        string::concatenate_ascii(buffer, text, 2);
        return;
    }
    string::append_code_point(buffer, cp);
}

[[noreturn]] void bad_to(const Cell* spec) {
    Cell dt = datatype_of(TYPE_CHAR);
    fire("script", "bad-to-arg", &dt, spec);
}

// One UTF-8 character from the head of a binary; a broken sequence gives 0xFFFE.
uint32_t binary_char(const Cell* bin) {
    memory::Buffer* b = memory::buffer_of(bin->data2);
    uint32_t start = b->offset + bin->data1;
    uint32_t n = start < b->tail ? b->tail - start : 0;
    if (n == 0) bad_to(bin);  // no byte to decode
    const uint8_t* p = b->data() + start;
    uint8_t lead = p[0];
    if (lead < 0x80) return lead;
    int size = unicode::utf8_char_size(lead);
    if (size == 0 || uint32_t(size) > n) return 0xFFFE;
    uint32_t cp = lead & (0x7F >> size);
    for (int i = 1; i < size; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0xFFFE;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    return cp > MAX_CODE_POINT ? 0xFFFE : cp;
}

uint32_t text_char(const Cell* str) {
    memory::Buffer* b = memory::buffer_of(str->data2);
    int unit = b->unit();
    uint32_t start = b->offset + str->data1 * uint32_t(unit);
    if (start >= b->tail) bad_to(str);
    return string::get_char(b->data() + start, unit);
}

Cell* to(Cell* proto, Cell* spec, int32_t) {
    uint32_t cp;
    Type t = spec->type();
    switch (t) {
        case TYPE_CHAR:
        case TYPE_INTEGER: {
            int32_t v = integer::get(spec);
            if (v < 0 || uint32_t(v) > MAX_CODE_POINT) fire("script", "out-of-range", spec);
            cp = uint32_t(v);
            break;
        }
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double d = std::trunc(spec->get_float());
            if (!(d >= 0.0 && d <= double(MAX_CODE_POINT))) fire("script", "out-of-range", spec);
            cp = uint32_t(d);
            break;
        }
        case TYPE_BINARY:
            cp = binary_char(spec);
            break;
        default:
            if (!text_type(t)) bad_to(spec);
            cp = text_char(spec);
            break;
    }
    *proto = make(cp);
    return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    string::append_code_point(buffer, value->data2);
    return limit - 1;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
    string::concatenate_ascii(buffer, "#\"");
    append_escaped(buffer, value->data2, all);
    string::concatenate_ascii(buffer, "\"");
    return limit - 4;
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    if ((op == 2 || op == 9 || op == 12) && !b->is(TYPE_CHAR)) return 1;
    if (!b->is(TYPE_CHAR) && !b->is(TYPE_INTEGER)) return -2;
    int32_t x = integer::get(a), y = integer::get(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

Cell* add() { return do_math(integer::OP_ADD); }
Cell* subtract() { return do_math(integer::OP_SUBTRACT); }
Cell* multiply() { return do_math(integer::OP_MULTIPLY); }
Cell* divide() { return do_math(integer::OP_DIVIDE); }
Cell* remainder() { return do_math(integer::OP_REMAINDER); }
Cell* or_t() { return do_math(integer::OP_OR); }
Cell* and_t() { return do_math(integer::OP_AND); }
Cell* xor_t() { return do_math(integer::OP_XOR); }

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&to).set<A_TO>(&to).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    a.set<A_ADD>(&add).set<A_DIVIDE>(&divide).set<A_MULTIPLY>(&multiply).set<A_REMAINDER>(&remainder);
    a.set<A_SUBTRACT>(&subtract).set<A_AND_T>(&and_t).set<A_OR_T>(&or_t).set<A_XOR_T>(&xor_t);
    a.inherit(A_RANDOM).inherit(A_ABSOLUTE).inherit(A_EVEN_Q).inherit(A_ODD_Q);
    datatype::register_type(TYPE_CHAR, TYPE_INTEGER, "char!", a);
}

}  // namespace kro::charx
