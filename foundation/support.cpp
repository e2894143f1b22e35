#include "foundation/support.hpp"

#include <cstring>

#include "datatypes/context.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::series {

Cell* add_cell(uint32_t node) {
    memory::Buffer* b = memory::buffer_of(node);
    if (b->free_bytes() < sizeof(Cell)) b = memory::grow_series(b, 0);
    Cell* c = b->cell_tail();
    c->header = uint32_t(TYPE_UNSET);
    b->tail += sizeof(Cell);
    return c;
}

uint32_t copy_range(const Cell* series, uint32_t start, uint32_t count) {
    memory::Buffer* src = memory::buffer_of(series->data2);
    uint32_t unit = uint32_t(src->unit());
    return memory::new_series_copy(src->head_ptr() + start * unit, count, unit, src->flags & ~(0x00020000u | hashtable::FLAG_KEY));
}

}  // namespace kro::series

namespace kro::args {

namespace {
Cell no_name() { return none::value; }
Cell no_argument(int32_t) { return none::value; }
}  // namespace

void expect_arg(uint32_t type, int32_t index) {
    Cell name = call_name();
    Cell datatype{uint32_t(TYPE_DATATYPE), type, 0, 0};
    Cell arg = argument_word(index);
    fire("script", "expect-arg", &name, &datatype, &arg);
}

Cell (*call_name)() = &no_name;
Cell (*argument_word)(int32_t index) = &no_argument;

bool in_typeset(const Cell* typeset, uint32_t type) {
    if (type >= 96) return false;
    uint32_t words[3] = {typeset->data1, typeset->data2, typeset->data3};
    uint8_t bytes[12];
    std::memcpy(bytes, words, sizeof bytes);  // data1's first byte first, as the cell lies in memory
    return (bytes[type >> 3] & (0x80u >> (type & 7))) != 0;
}

const Cell* check_type(const Cell* typeset, int32_t index, const Cell* value) {
    if (!in_typeset(typeset, value->type())) expect_arg(value->type(), index);
    return value;
}

void check_type_opt(int32_t position, const Cell* typeset, int32_t index) {
    if (position < 0) return;
    check_type(typeset, index, stack::arguments + position);
}

const Cell* check_type_ref(const Cell* refinement, const Cell* typeset, int32_t index, const Cell* value) {
    if (refinement->data1 != 0) check_type(typeset, index, value);
    return value;
}

const Cell* check_set(int32_t index, const Cell* value) {
    if (value->is(TYPE_UNSET)) expect_arg(TYPE_UNSET, index);
    return value;
}

}  // namespace kro::args

namespace kro::word {

Cell* set_checked(Cell* word) {
    Cell value = *stack::top();
    if (value.is(TYPE_UNSET)) fire("script", "need-value", word);
    return set(word, &value);
}

void set_value(Cell* word) {
    set_checked(word);
    stack::reset();
}

Cell* get_checked(const Cell* word) {
    Cell* v = value_cell(word);
    if (v->is(TYPE_UNSET)) fire("script", "no-value", word);
    return v;
}

}  // namespace kro::word

namespace kro::context {

Cell* value_at(uint32_t ctx, int32_t index) {
    Cell* first = values(ctx);
    if (!first) {
        Cell w = *word_at(ctx, index);
        fire("script", "not-defined", &w);
    }
    return first + index;
}

void set_checked(uint32_t ctx, int32_t index) {
    Cell value = *stack::top();
    if (value.is(TYPE_UNSET)) {
        Cell w = *word_at(ctx, index);
        fire("script", "need-value", &w);
    }
    copy_cell(&value, value_at(ctx, index));
}

void set_checked_reset(uint32_t ctx, int32_t index) {
    set_checked(ctx, index);
    stack::reset();
}

}  // namespace kro::context

namespace kro::object {

void set_slot(uint32_t ctx, int32_t index) {
    Cell value = *stack::top();
    if (context::kind_of(ctx) == context::OBJECT) context::word_at(ctx, index)->header |= context::WORD_SLOT_SET;
    copy_cell(&value, context::value_at(ctx, index));
    stack::reset();
}

}  // namespace kro::object

namespace kro::block {

void select_next(int32_t mode, bool to_block) {
    Cell value = stack::arguments[0];
    Cell blk = stack::arguments[1];
    Cell result = none::value;
    if (!value.is(TYPE_BLOCK)) {
        int32_t step = mode == 1 ? 1 : 2;
        uint32_t node = blk.data2;
        for (uint32_t i = blk.data1;; i += uint32_t(step)) {
            memory::Buffer* b = memory::buffer_of(node);
            uint32_t n = b->used_bytes() / sizeof(Cell);
            if (i >= n) break;
            Cell cell = b->cells()[i];
            if (cell.type() != value.type() || !actions::compare(&cell, &value, actions::EQUAL)) continue;
            b = memory::buffer_of(node);  // the comparison may have allocated
            n = b->used_bytes() / sizeof(Cell);
            if (i >= n) break;
            if (to_block) {
                for (uint32_t j = i + 1; j < n; j++) {
                    if (b->cells()[j].is(TYPE_BLOCK)) {
                        result = b->cells()[j];
                        break;
                    }
                }
            } else {
                result = b->cells()[i + 1 < n ? i + 1 : i];
            }
            break;
        }
    }
    if (mode == 1) {
        stack::push(&result);
    } else {
        stack::set_last(&result);
    }
}

}  // namespace kro::block

namespace kro::error {

void bad_make_arg(const Cell* type, const Cell* spec) { fire("script", "bad-make-arg", type, spec); }

}  // namespace kro::error
