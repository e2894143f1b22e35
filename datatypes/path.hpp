// The path types: path! (25) and its children lit-path! (26), set-path! (27)
// and get-path! (28). As data they are blocks (same cell, same internal API,
// nearly every action inherited from block!); they differ in their text: the
// elements joined by "/", with a sigil for the children, never brackets or
// line breaks. sort and random are not supported on paths.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::path {

// Turns a cell into an empty path! with room for n cells (at least 1).
Cell* make_at(Cell* c, int32_t n);
// Pushes a copy of the value retyped as path!.
Cell* push(const Cell* value);

// make: a block-like spec gives a shallow copy from its head, an integer!,
// float! or percent! an empty path with room for that many cells (0 means 1);
// anything else raises script/bad-make-arg.
Cell* make(Cell* proto, Cell* spec, int32_t type);
// to: an object!, typeset! or map! becomes a one-cell path holding it; any
// other spec converts as block::to does.
Cell* to(Cell* proto, Cell* spec, int32_t type);
// The elements from the head, formed (or molded at indentation 0) with one "/"
// between two of them; with part the walk stops once the budget is below 1.
// A path already being walked writes "..." instead.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);

void init();  // registers path! (parent block!)

}  // namespace kro::path

namespace kro::lit_path {
Cell* push(const Cell* value);
// "'" then the path.
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
void init();  // registers lit-path! (parent path!)
}  // namespace kro::lit_path

namespace kro::set_path {
Cell* push(const Cell* value);
// The path then ":".
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
void init();  // registers set-path! (parent path!)
}  // namespace kro::set_path

namespace kro::get_path {
Cell* push(const Cell* value);
// ":" then the path.
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
void init();  // registers get-path! (parent path!)
}  // namespace kro::get_path
