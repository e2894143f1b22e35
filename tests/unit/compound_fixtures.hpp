// Fixtures of the pair!, point2D!, point3D!, tuple! and bitset! tests: results
// shown as their molded text (or the error raised instead), action slots
// called on the data stack as a call frame lays them out, and values loaded
// from text through the tokenizer.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "foundation/fire.hpp"
#include "io/lexer.hpp"

namespace kro::testing_compound {

using testing_blocks::raised;

// prefix + text, built by appending (g++ 12 reports a false -Wrestrict on
// `"literal" + string` at -O3).
inline std::string joined(const char* prefix, const std::string& rest) {
    std::string out(prefix);
    out += rest;
    return out;
}

inline Cell dt(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }
inline Cell typed_float(Type t, double d) {
    Cell c{uint32_t(t), 0, 0, 0};
    c.set_float(d);
    return c;
}

// The molded text of a value; "unset" for unset!.
inline std::string shown(const Cell& c) {
    if (c.is(TYPE_UNSET)) return "unset";
    return testing_blocks::mold_text(c);
}

// Runs f, which answers a cell: its molded text, or "error category/id".
template <class F>
std::string outcome(F f) {
    Cell result{};
    std::string err = raised([&] { result = f(); });
    return err.empty() ? shown(result) : joined("error ", err);
}

// A stack-only slot of the first operand's type called on the operands.
inline Cell call_slot(int slot, std::vector<Cell> operands) {
    auto fn = reinterpret_cast<StackOnlyFn>(datatype::entry(operands[0].type(), slot));
    if (!fn) actions::unsupported(&operands[0]);
    return testing_blocks::call_on_stack(fn, std::move(operands));
}
inline std::string op(int slot, Cell left, Cell right) {
    return outcome([&] { return call_slot(slot, {left, right}); });
}

// make (slot A_MAKE) or to (A_TO) of the target type from a spec.
inline std::string converted(int slot, Type target, Cell spec) {
    return outcome([&] {
        Cell proto = dt(target);
        auto fn = reinterpret_cast<SlotFn<A_TO>>(datatype::entry(target, slot));
        return *fn(&proto, &spec, target);
    });
}

// One value loaded from text by the tokenizer, as conversions load it.
inline Cell loaded(const char* text) {
    Cell out{uint32_t(TYPE_NONE), 0, 0, 0};
    lexer::scan_one(reinterpret_cast<const uint8_t*>(text), std::strlen(text), &out);
    return out;
}
// Its molded text, or "error syntax/invalid <datatype id>" for a syntax error.
inline std::string load_outcome(const char* text) {
    std::string r = outcome([&] { return loaded(text); });
    if (r == "error syntax/invalid") r += joined(" ", std::to_string(last_raised().args[1].data1));
    return r;
}

}  // namespace kro::testing_compound
