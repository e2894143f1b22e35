// Fixtures of the integer!, char!, float! and typeset! tests: values of the
// number-like types made by hand, a readable description of a result (or of
// the error raised instead), and calls of action slots laid out on the data
// stack as a call frame would lay them out.
#pragma once
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "foundation/memory.hpp"

namespace kro::testing_numbers {

using testing_blocks::chr;
using testing_blocks::real;

// (the datatype's own namespace is called integer)
inline Cell int_cell(int32_t v) { return testing_blocks::integer(v); }

inline Cell typed_float(Type t, double d) {
    Cell c{uint32_t(t), 0, 0, 0};
    c.set_float(d);
    return c;
}
inline Cell percent(double d) { return typed_float(TYPE_PERCENT, d); }
inline Cell time_of(double seconds) { return typed_float(TYPE_TIME, seconds); }
// Cells of types that are not built yet: enough to reach the hooks and the errors.
inline Cell header_only(Type t) { return Cell{uint32_t(t), 0, 0, 0}; }

inline Cell binary(const std::vector<uint8_t>& bytes) {
    uint32_t node = memory::new_bytes(uint32_t(bytes.size()));
    memory::Buffer* b = memory::buffer_of(node);
    if (!bytes.empty()) std::memcpy(b->tail_ptr(), bytes.data(), bytes.size());
    b->tail += uint32_t(bytes.size());
    return Cell{uint32_t(TYPE_BINARY), 0, node, 0};
}

inline Cell datatype_cell(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

// "integer 5", "float 3.5", "char 98", "percent 0.5", "time 1", "unset",
// "logic true", "typeset ..." with exact float digits.
inline std::string describe(const Cell& c) {
    char text[64];
    switch (c.type()) {
        case TYPE_INTEGER: return "integer " + std::to_string(int32_t(c.data2));
        case TYPE_CHAR: return "char " + std::to_string(c.data2);
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: {
            const char* name = c.is(TYPE_FLOAT) ? "float " : c.is(TYPE_PERCENT) ? "percent " : "time ";
            std::snprintf(text, sizeof text, "%.17g", c.get_float());
            return name + std::string(text);
        }
        case TYPE_UNSET: return "unset";
        case TYPE_LOGIC: return c.data1 ? "logic true" : "logic false";
        default: return "type " + std::to_string(int(c.type()));
    }
}

// Runs f, which answers a cell; "error category/id" when it raised instead.
template <class F>
std::string outcome(F f) {
    Cell result{};
    std::string err = testing_blocks::raised([&] { result = f(); });
    return err.empty() ? describe(result) : "error " + err;
}

// The stack-only implementation of a slot for the left operand's type, called
// on the operands; its result slot.
inline Cell call_slot(int slot, std::vector<Cell> operands) {
    auto fn = reinterpret_cast<StackOnlyFn>(datatype::entry(operands[0].type(), slot));
    if (!fn) actions::unsupported(&operands[0]);
    return testing_blocks::call_on_stack(fn, std::move(operands));
}

inline std::string slot_outcome(int slot, std::vector<Cell> operands) {
    return outcome([&] { return call_slot(slot, operands); });
}

// to and make through the type's slot: the result cell.
inline std::string converted(int slot, Type target, Cell spec) {
    return outcome([&] {
        Cell proto = datatype_cell(target);
        auto fn = reinterpret_cast<SlotFn<A_TO>>(datatype::entry(target, slot));
        return *fn(&proto, &spec, target);
    });
}

}  // namespace kro::testing_numbers
