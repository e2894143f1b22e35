// datatype!, unset!, none! and logic!: their result helpers, shared constant
// cells and the truth rule of every conditional.
#pragma once
#include "foundation/cell.hpp"

namespace kro {

namespace unset {
extern const Cell value;
void init();
Cell* set_last();
Cell* push();
Cell* make_in(Cell* block);
}  // namespace unset

namespace none {
extern const Cell value;
void init();
Cell* set_last();
Cell* push();
Cell* make_in(Cell* block);
}  // namespace none

namespace logic {
extern const Cell true_value;
extern const Cell false_value;
void init();
inline Cell make(bool b) { return Cell{uint32_t(TYPE_LOGIC), b ? 1u : 0u, 0, 0}; }
Cell* box(bool b);  // into the current call's result slot
Cell* push(bool b);
Cell* make_in(Cell* block, bool b);
inline bool get(const Cell* c) { return c->data1 != 0; }

// Only none and a false logic are false; unset is true.
inline bool is_true(const Cell* v) {
    Type t = v->type();
    return !(t == TYPE_NONE || (t == TYPE_LOGIC && v->data1 == 0));
}
// With check set, an unset value raises script/no-value naming the word.
bool value_true(const Cell* v, bool check, const Cell* name);
bool true_last();
// An unset first argument raises script/no-return.
bool true_checked();
bool top_true();
bool top_false();
}  // namespace logic

namespace datatype {
void init();
}  // namespace datatype

}  // namespace kro
