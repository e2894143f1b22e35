#include "foundation/registry.hpp"

#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "foundation/frame.hpp"
#include "foundation/heap.hpp"
#include "interpreter/stack.hpp"

namespace kro::datatype {

namespace {
Row* rows = nullptr;
ActionFn* table = nullptr;
int32_t highest = 0;
}  // namespace

void (*make_word)(const char* name, Cell* out) = nullptr;

}  // namespace kro::datatype

namespace kro {
int ActionList::checked(int slot) {
    if (slot < 1 || slot > ACTION_COUNT) rt_error::fatal(98, KRO_CAPTURE_SITE());
    return slot;
}
}  // namespace kro

namespace kro::datatype {

void init_tables() {
    rows = static_cast<Row*>(heap::alloc_zeroed(sizeof(Row) * TYPE_ID_ROOM));
    table = static_cast<ActionFn*>(heap::alloc_zeroed(sizeof(ActionFn) * TYPE_ID_ROOM * ACTION_ROW));
    for (int i = 0; i < TYPE_ID_ROOM; i++) rows[i].word = make_header_cell(TYPE_NONE);
    highest = 0;
}

void register_type(int32_t id, int32_t parent, const char* name, const ActionList& actions) {
    if (id <= 0 || id >= TYPE_ID_ROOM || parent < 0 || parent >= TYPE_ID_ROOM) rt_error::fatal(98, KRO_CAPTURE_SITE());
    if (id > highest) highest = id;
    Row& r = rows[id];
    r.name = name;
    r.name_length = int32_t(std::strlen(name)) - 1;
    if (make_word) make_word(name, &r.word);
    ActionFn* own = table + (id << 8);
    const ActionFn* from = table + (parent << 8);
    for (int s = 1; s <= ACTION_COUNT; s++) {
        const auto& e = actions.entry(s);
        switch (e.kind) {
            case ActionList::Kind::NONE: own[s - 1] = nullptr; break;
            case ActionList::Kind::FN: own[s - 1] = e.fn; break;
            case ActionList::Kind::INHERIT:
                if (!parent) rt_error::fatal(98, KRO_CAPTURE_SITE());  // nothing to inherit from
                own[s - 1] = from[s - 1];
                break;
        }
    }
}

const Row& row(int32_t id) { return rows[id]; }
int32_t highest_id() { return highest; }
bool registered(int32_t id) { return id > 0 && id < TYPE_ID_ROOM && rows[id].name; }

void forget(int32_t id) {
    if (id <= 0 || id >= TYPE_ID_ROOM) return;
    rows[id].name = nullptr;
    rows[id].name_length = 0;
    rows[id].word = make_header_cell(TYPE_NONE);
    for (int s = 0; s < ACTION_ROW; s++) table[(id << 8) + s] = nullptr;
    highest = 0;
    for (int32_t i = 1; i < TYPE_ID_ROOM; i++)
        if (rows[i].name) highest = i;
}

// A cell's type byte can hold ids past the table (internal kinds): they have no actions.
ActionFn entry(int32_t type, int slot) {
    if (type < 0 || type >= TYPE_ID_ROOM || slot < 1 || slot > ACTION_COUNT) return nullptr;
    return table[(type << 8) + slot - 1];
}

void make_words() {
    if (!make_word) return;
    for (int32_t id = 1; id <= highest; id++)
        if (rows[id].name) make_word(rows[id].name, &rows[id].word);
}

Cell* push(int32_t type) {
    Cell* c = stack::push_cell();
    *c = Cell{uint32_t(TYPE_DATATYPE), uint32_t(type), 0, 0};
    return c;
}

Cell* make_in(Cell* blk, int32_t type) {
    Cell* c = block::add_cell(blk);
    *c = Cell{uint32_t(TYPE_DATATYPE), uint32_t(type), 0, 0};
    return c;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    if (!registered(int32_t(value->data1))) return limit;  // no name to write
    const Row& r = rows[value->data1];
    string::concatenate_ascii(buffer, r.name, r.name_length);
    return limit - r.name_length;
}

}  // namespace kro::datatype
