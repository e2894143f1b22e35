// The datatype registry and the per-type action table.
//
// Each datatype registers once with its id, its parent and exactly 62 action
// entries (one per action slot); an entry is an implementation, "not supported"
// (null) or "inherit" (copy the parent's entry as it stands at registration).
//
// Implementations take typed arguments. A refinement that takes an argument is
// passed as a Cell* that is null when the refinement is absent; a refinement
// without argument is a bool. Most implementations answer the result cell.
#pragma once
#include <array>
#include <cstdint>
#include <type_traits>

#include "foundation/cell.hpp"

namespace kro {

enum Slot : int {
    A_MAKE = 1, A_RANDOM, A_REFLECT, A_TO, A_FORM, A_MOLD, A_EVAL_PATH, A_SET_PATH, A_COMPARE,
    A_ABSOLUTE, A_ADD, A_DIVIDE, A_MULTIPLY, A_NEGATE, A_POWER, A_REMAINDER, A_ROUND, A_SUBTRACT,
    A_EVEN_Q, A_ODD_Q, A_AND_T, A_COMPLEMENT, A_OR_T, A_XOR_T,
    A_APPEND, A_AT, A_BACK, A_CHANGE, A_CLEAR, A_COPY, A_FIND, A_HEAD, A_HEAD_Q, A_INDEX_Q,
    A_INSERT, A_LENGTH_Q, A_MOVE, A_NEXT, A_PICK, A_POKE, A_PUT, A_REMOVE, A_REVERSE, A_SELECT,
    A_SORT, A_SKIP, A_SWAP, A_TAIL, A_TAIL_Q, A_TAKE, A_TRIM,
    A_CREATE, A_CLOSE, A_DELETE, A_MODIFY, A_OPEN, A_OPEN_Q, A_QUERY, A_READ, A_RENAME, A_UPDATE, A_WRITE,
};
constexpr int ACTION_COUNT = 62;
constexpr int ACTION_ROW = 256;

// The signature of each slot's implementation.
template <int S> struct SlotSig;
#define KRO_SLOT(S, ...) template <> struct SlotSig<S> { using type = __VA_ARGS__; }
// stack-only implementations read their arguments from the data stack themselves
using StackOnlyFn = Cell* (*)();
using UnaryFn = Cell* (*)(Cell* value);
KRO_SLOT(A_MAKE, Cell* (*)(Cell* proto, Cell* spec, int32_t type));
KRO_SLOT(A_RANDOM, Cell* (*)(Cell* value, bool seed, bool secure, bool only));
KRO_SLOT(A_REFLECT, Cell* (*)(Cell* value, int32_t field_symbol));
KRO_SLOT(A_TO, Cell* (*)(Cell* proto, Cell* spec, int32_t type));
// form and mold answer the budget left (negative once overrun)
KRO_SLOT(A_FORM, int32_t (*)(Cell* value, Cell* buffer, Cell* part, int32_t limit));
KRO_SLOT(A_MOLD, int32_t (*)(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
                             int32_t limit, int32_t indent));
KRO_SLOT(A_EVAL_PATH, Cell* (*)(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent,
                                Cell* path_item, int32_t index, bool case_, bool get, bool tail, bool event));
KRO_SLOT(A_SET_PATH, void (*)());
// -1, 0, 1, or -2 when not comparable
KRO_SLOT(A_COMPARE, int32_t (*)(Cell* value1, Cell* value2, int32_t op));
KRO_SLOT(A_ABSOLUTE, StackOnlyFn);
KRO_SLOT(A_ADD, StackOnlyFn);
KRO_SLOT(A_DIVIDE, StackOnlyFn);
KRO_SLOT(A_MULTIPLY, StackOnlyFn);
KRO_SLOT(A_NEGATE, UnaryFn);
KRO_SLOT(A_POWER, StackOnlyFn);
KRO_SLOT(A_REMAINDER, StackOnlyFn);
KRO_SLOT(A_ROUND, Cell* (*)(Cell* n, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
                            bool half_ceiling));
KRO_SLOT(A_SUBTRACT, StackOnlyFn);
KRO_SLOT(A_EVEN_Q, bool (*)(Cell* value));
KRO_SLOT(A_ODD_Q, bool (*)(Cell* value));
KRO_SLOT(A_AND_T, StackOnlyFn);
KRO_SLOT(A_COMPLEMENT, UnaryFn);
KRO_SLOT(A_OR_T, StackOnlyFn);
KRO_SLOT(A_XOR_T, StackOnlyFn);
// part: a length, -1 when absent; dup: a count, 1 when absent
KRO_SLOT(A_APPEND, Cell* (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append));
KRO_SLOT(A_AT, StackOnlyFn);
KRO_SLOT(A_BACK, StackOnlyFn);
KRO_SLOT(A_CHANGE, Cell* (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup));
KRO_SLOT(A_CLEAR, UnaryFn);
KRO_SLOT(A_COPY, Cell* (*)(Cell* value, Cell* result, Cell* part, bool deep, Cell* types));
KRO_SLOT(A_FIND, Cell* (*)(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                           Cell* with, Cell* skip, bool last, bool reverse, bool tail, bool match));
KRO_SLOT(A_HEAD, StackOnlyFn);
KRO_SLOT(A_HEAD_Q, StackOnlyFn);
KRO_SLOT(A_INDEX_Q, StackOnlyFn);
KRO_SLOT(A_INSERT, Cell* (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append));
// -1 makes the action's result none
KRO_SLOT(A_LENGTH_Q, int32_t (*)(Cell* series));
KRO_SLOT(A_MOVE, Cell* (*)(Cell* origin, Cell* target, Cell* part));
KRO_SLOT(A_NEXT, StackOnlyFn);
KRO_SLOT(A_PICK, Cell* (*)(Cell* series, int32_t index, Cell* boxed));
KRO_SLOT(A_POKE, Cell* (*)(Cell* series, int32_t index, Cell* data, Cell* boxed));
KRO_SLOT(A_PUT, Cell* (*)(Cell* series, Cell* key, Cell* value, bool case_));
KRO_SLOT(A_REMOVE, Cell* (*)(Cell* series, Cell* part, Cell* key));
KRO_SLOT(A_REVERSE, Cell* (*)(Cell* series, Cell* part, Cell* skip));
KRO_SLOT(A_SELECT, Cell* (*)(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                             Cell* with, Cell* skip, bool last, bool reverse));
KRO_SLOT(A_SORT, Cell* (*)(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all,
                           bool reverse, bool stable));
KRO_SLOT(A_SKIP, StackOnlyFn);
KRO_SLOT(A_SWAP, Cell* (*)(Cell* series1, Cell* series2));
KRO_SLOT(A_TAIL, StackOnlyFn);
KRO_SLOT(A_TAIL_Q, StackOnlyFn);
KRO_SLOT(A_TAKE, Cell* (*)(Cell* series, Cell* part, bool deep, bool last));
KRO_SLOT(A_TRIM, Cell* (*)(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with));
KRO_SLOT(A_CREATE, UnaryFn);
KRO_SLOT(A_CLOSE, UnaryFn);
KRO_SLOT(A_DELETE, UnaryFn);
KRO_SLOT(A_MODIFY, Cell* (*)(Cell* target, Cell* field, Cell* value, bool case_));
KRO_SLOT(A_OPEN, Cell* (*)(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow));
KRO_SLOT(A_OPEN_Q, UnaryFn);
KRO_SLOT(A_QUERY, UnaryFn);
KRO_SLOT(A_READ, Cell* (*)(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as));
KRO_SLOT(A_RENAME, Cell* (*)(Cell* from, Cell* to));
KRO_SLOT(A_UPDATE, UnaryFn);
KRO_SLOT(A_WRITE, Cell* (*)(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append,
                            Cell* part, Cell* seek, Cell* allow, Cell* as));
#undef KRO_SLOT

template <int S> using SlotFn = typename SlotSig<S>::type;

using ActionFn = void (*)();

// One registration's 62 entries, built slot by slot with the slot's own
// signature checked at compile time. Every entry starts "not supported".
class ActionList {
public:
    enum class Kind : uint8_t { NONE, FN, INHERIT };
    struct Entry {
        Kind kind = Kind::NONE;
        ActionFn fn = nullptr;
    };

    template <int S>
    ActionList& set(SlotFn<S> fn) {
        static_assert(S >= 1 && S <= ACTION_COUNT);
        entries_[S - 1] = Entry{fn ? Kind::FN : Kind::NONE, reinterpret_cast<ActionFn>(fn)};
        return *this;
    }
    ActionList& inherit(int slot) {
        entries_[checked(slot) - 1] = Entry{Kind::INHERIT, nullptr};
        return *this;
    }
    ActionList& inherit_all() {
        for (auto& e : entries_) e = Entry{Kind::INHERIT, nullptr};
        return *this;
    }
    ActionList& unsupported(int slot) {
        entries_[checked(slot) - 1] = Entry{};
        return *this;
    }
    const Entry& entry(int slot) const { return entries_[checked(slot) - 1]; }

private:
    // A slot outside 1..62 is a build fault: fatal error 98 rather than a write
    // past the list.
    static int checked(int slot);

    std::array<Entry, ACTION_COUNT> entries_{};
};

namespace datatype {

struct Row {
    const char* name;      // always ends in "!"
    int32_t name_length;   // without the final "!"
    Cell word;             // the datatype word, none until made
};

void init_tables();
// Registration. With a parent (id not 0), INHERIT copies the parent's entry for
// the slot as it stands now; without one, INHERIT is a fault (fatal error 98).
void register_type(int32_t id, int32_t parent, const char* name, const ActionList& actions);

const Row& row(int32_t id);
int32_t highest_id();
bool registered(int32_t id);

// Clears a row and its action entries and recomputes the highest id. The
// runtime never unregisters; tests use it to put scratch registrations away.
void forget(int32_t id);

// The raw entry for a type and slot (null = not supported, also for a type id
// or slot outside the table).
ActionFn entry(int32_t type, int slot);

template <int S>
inline SlotFn<S> action(int32_t type) {
    return reinterpret_cast<SlotFn<S>>(entry(type, S));
}

// Makes the datatype words once the symbol table exists (installed later).
extern void (*make_word)(const char* name, Cell* out);
void make_words();

Cell* push(int32_t type);
Cell* make_in(Cell* block, int32_t type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);

}  // namespace datatype
}  // namespace kro
