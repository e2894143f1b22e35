#include "datatypes/percent.hpp"

#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/string.hpp"
#include "foundation/float_text.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_tables.hpp"
#include "io/lexer_values.hpp"

namespace kro::percent {

Cell* set_result(double fraction) { return make_at(stack::arguments, fraction); }

Cell* make_at(Cell* c, double fraction) {
    *c = make(fraction);
    return c;
}

Cell* make_at_words(Cell* c, uint32_t high, uint32_t low) {
    *c = Cell{uint32_t(TYPE_PERCENT), 0, low, high};
    return c;
}

Cell* make_in(Cell* blk, uint32_t high, uint32_t low) { return make_at_words(block::add_cell(blk), high, low); }

Cell* push_words(uint32_t high, uint32_t low) { return make_at_words(stack::push_cell(), high, low); }

Cell* push(double fraction) { return make_at(stack::push_cell(), fraction); }

bool from_text(const uint8_t* text, size_t length, Cell* out) {
    if (length > 0 && text[length - 1] == '%') length--;
    if (length == 0 || !lexer::float_syntax(text, length)) return false;
    char clean[lexer::FLOAT_TEXT_MAX + 1];
    size_t n = 0;
    for (size_t i = 0; i < length; i++)
        if (text[i] != '\'') clean[n++] = char(text[i]);
    int32_t rest = 0;
    // the exponent lowered by two: a hundredth, rounded once
    double v = floatx::parse(clean, clean + n, -2, &rest);
    if (rest != 0) return false;
    *out = make(v);
    return true;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    const char* text = floatx::to_text(get(value) * 100.0, floatx::KIND_PERCENT);
    int32_t n = int32_t(std::strlen(text));
    string::concatenate_ascii(buffer, text, n);
    return limit - n;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return form(value, buffer, part, limit);
}

namespace {

// The tokenizer's handler of percent tokens (the "%" is not in the token);
// a number that fails is an invalid float!.
int load_literal(lexer::Token& t, Cell* out) {
    Cell v;
    if (!from_text(t.start, size_t(t.end - t.start), &v)) return TYPE_FLOAT;
    if (out) *out = v;
    return 0;
}

}  // namespace

void init() {
    ActionList a;
    a.inherit(A_MAKE).inherit(A_RANDOM).inherit(A_TO).inherit(A_COMPARE).inherit(A_ABSOLUTE).inherit(A_ADD);
    a.inherit(A_DIVIDE).inherit(A_MULTIPLY).inherit(A_NEGATE).inherit(A_POWER).inherit(A_REMAINDER);
    a.inherit(A_ROUND).inherit(A_SUBTRACT).inherit(A_EVEN_Q).inherit(A_ODD_Q);
    a.set<A_FORM>(&form).set<A_MOLD>(&mold);
    datatype::register_type(TYPE_PERCENT, TYPE_FLOAT, "percent!", a);
    lexer::set_maker(lexer::T_PERCENT, &load_literal);
}

}  // namespace kro::percent
