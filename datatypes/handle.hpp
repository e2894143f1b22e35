// handle!: an operating-system handle or a native resource held opaquely (type
// 46, parent integer!, no inherited actions). The language can compare and
// print handles; only the runtime and system-level routines make them.
//
// Cell: data1 the class, data2 the value (32 bits), data3 the index of an
// external-resource record or -1. A handle whose record index is set keeps
// that record alive for as long as the handle is reachable; once it is not,
// the next collection releases the resource through its kind. Such handles
// carry the record index as their value too: native pointers do not fit a
// cell, and equal handles then stand for the same resource.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::handle {

constexpr uint32_t CLASS_NULL = 0;
constexpr uint32_t CLASS_FD = 1;
constexpr uint32_t CLASS_MONITOR = 2;
constexpr uint32_t CLASS_WINDOW = 3;
constexpr uint32_t CLASS_FONT = 4;
constexpr uint32_t CLASS_RICH_TEXT = 5;
constexpr uint32_t CLASS_ACTOR = 6;  // a port's native actor: the value numbers its action table
constexpr uint32_t CLASS_COUNT = 7;

// "null", "fd", "monitor", "window", "font", "rich-text", "actor"; null past the table.
const char* class_name(uint32_t cls);

inline Cell make(uint32_t value, uint32_t cls) { return Cell{uint32_t(TYPE_HANDLE), cls, value, uint32_t(-1)}; }
// Into the current call's result slot.
Cell* box(uint32_t value, uint32_t cls);
Cell* make_at(Cell* c, uint32_t value, uint32_t cls);
Cell* make_in(Cell* block, uint32_t value, uint32_t cls);
Cell* push(uint32_t value, uint32_t cls);
Cell* push_null();

// A handle owning a native resource: registers it with the external-resource
// registry under the kind and writes the handle into the cell.
Cell* make_resource_at(Cell* c, uintptr_t resource, uint32_t cls, uint32_t kind);
// The resource behind such a handle, or 0 (no record, or one already released).
uintptr_t resource_of(const Cell* h);

// The value as eight hexadecimal digits and "h"; the budget drops by 9.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
// "handle!" alone; with /all "#[handle! " the form, the class name (classes
// above null), "]".
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// Handles by their values as signed numbers, whatever their classes. Another
// type is different under the equality ops and not comparable otherwise.
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers handle! (type 46, parent integer!).
void init();

}  // namespace kro::handle
