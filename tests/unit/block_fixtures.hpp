// Small fixtures shared by the series, block, mold and support tests: values
// made by hand, molding into a fresh buffer, calling stack-only actions, and
// catching a raised error by name.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::testing_blocks {

inline Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
inline Cell real(double d) {
    Cell c{uint32_t(TYPE_FLOAT), 0, 0, 0};
    c.set_float(d);
    return c;
}
inline Cell chr(uint32_t cp) { return Cell{uint32_t(TYPE_CHAR), 0, cp, 0}; }
inline Cell pair(int32_t x, int32_t y) { return Cell{uint32_t(TYPE_PAIR), 0, uint32_t(x), uint32_t(y)}; }

// An unbound word of a spelling.
inline Cell w(const char* name, Type t = TYPE_WORD) {
    return Cell{uint32_t(t), 0, uint32_t(symbol::make(name)), uint32_t(-1)};
}
// The same value with the new-line flag.
inline Cell nl(Cell c) {
    c.header |= FLAG_NEW_LINE;
    return c;
}

inline Cell block_of(const std::vector<Cell>& values, uint32_t room = 0) {
    Cell b;
    block::make_at(&b, int32_t(room ? room : values.size() + 1));
    for (const Cell& v : values) copy_cell(&v, block::add_cell(&b));
    return b;
}

inline Cell text(const char* t, int unit = 1) {
    Cell s;
    string::make_at(&s, 8, unit);
    string::append_utf8(&s, t);
    return s;
}

inline std::string utf8(const Cell& s) { return string::to_utf8(static_cast<const Cell*>(&s)); }

inline std::string mold_text(Cell v, bool only = false, bool flat = false, int32_t part = -1,
                             int32_t* budget = nullptr, bool all = false) {
    Cell buf;
    string::make_at(&buf, 16, 1);
    Cell limit = integer(part);
    int32_t left = actions::mold(&v, &buf, only, all, flat, part >= 0 ? &limit : nullptr,
                                 part >= 0 ? part : mold::NO_LIMIT, 0);
    if (budget) *budget = left;
    return utf8(buf);
}

inline std::string form_text(Cell v, int32_t part = -1, int32_t* budget = nullptr) {
    Cell buf;
    string::make_at(&buf, 16, 1);
    Cell limit = integer(part);
    int32_t left = actions::form(&v, &buf, part >= 0 ? &limit : nullptr, part >= 0 ? part : mold::NO_LIMIT);
    if (budget) *budget = left;
    return utf8(buf);
}

// The cells of a block from its head, molded one by one and joined by blanks.
inline std::string cells(const Cell& blk) { return mold_text(blk, true, true); }

// Runs f and answers the error it raised as "category/id" ("" when none),
// putting the data stack back as it was.
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

// Calls an implementation that reads its arguments from the data stack, as a
// call frame would lay them out; answers the result slot.
template <class F>
Cell call_on_stack(F fn, std::vector<Cell> arguments) {
    Cell* saved_args = stack::arguments;
    Cell* saved_top = stack::top_ptr;
    Cell* base = stack::top_ptr;
    for (const Cell& a : arguments) stack::push(&a);
    stack::arguments = base;
    fn();
    Cell result = *stack::arguments;
    stack::arguments = saved_args;
    stack::top_ptr = saved_top;
    return result;
}

// integer! and float! with just enough of their actions (decimal text,
// comparison across the two) for containers of numbers, registered only while
// the real datatypes are not there yet.
class ScratchNumbers {
public:
    ScratchNumbers() {
        if (!datatype::registered(TYPE_INTEGER)) {
            ActionList a;
            a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
            datatype::register_type(TYPE_INTEGER, 0, "integer!", a);
            own_integer_ = true;
        }
        if (!datatype::registered(TYPE_FLOAT)) {
            ActionList a;
            a.set<A_COMPARE>(&compare);
            datatype::register_type(TYPE_FLOAT, 0, "float!", a);
            own_float_ = true;
        }
    }
    ~ScratchNumbers() {
        if (own_integer_) datatype::forget(TYPE_INTEGER);
        if (own_float_) datatype::forget(TYPE_FLOAT);
    }

private:
    static double number(const Cell* c) { return c->is(TYPE_FLOAT) ? c->get_float() : double(int32_t(c->data2)); }
    static int32_t form(Cell* v, Cell* buffer, Cell*, int32_t limit) {
        char text[16];
        int n = std::snprintf(text, sizeof text, "%d", int32_t(v->data2));
        string::concatenate_ascii(buffer, text, n);
        return limit - n;
    }
    static int32_t mold(Cell* v, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
        return form(v, buffer, part, limit);
    }
    static int32_t compare(Cell* a, Cell* b, int32_t op) {
        if (!b->is(TYPE_INTEGER) && !b->is(TYPE_FLOAT)) return -2;
        if (op == 2 && a->type() != b->type()) return 1;
        double x = number(a), y = number(b);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    bool own_integer_ = false;
    bool own_float_ = false;
};

}  // namespace kro::testing_blocks
