// tag!, email! and ref!: strings with a different face (types 44, 45 and 50,
// parent string!). Their cells and buffers are those of string!; what they add
// is their text form and, for an e-mail, the user and host path accessors.
//
// A tag keeps the text between "<" and ">", a ref the text after "@", an
// e-mail the whole address with its at sign.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::tag {

// Form and mold both write "<", the characters from the head, ">".
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* push(const Cell* value);
// The token "<...>" as a tag! of the text between the brackets (no escapes).
// Answers false for a token without its brackets or with broken UTF-8.
bool from_token(const uint8_t* text, uint32_t length, Cell* out);
void init();

}  // namespace kro::tag

namespace kro::email {

// The characters as they are: no quotes, no escapes.
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// An integer element as for string!; the words user and host (any case) get a
// new string! of the text before the first "@" and after it, or replace that
// text in the e-mail itself when a value is given. Other elements raise
// script/invalid-path.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);
Cell* push(const Cell* value);
// The whole token as an email! (no escapes); false for broken UTF-8.
bool from_token(const uint8_t* text, uint32_t length, Cell* out);
void init();

}  // namespace kro::email

namespace kro::ref {

// "@" and the characters; form (inherited) leaves the at sign out.
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* push(const Cell* value);
// The token "@..." as a ref! of the text after the at sign (no escapes);
// false without the at sign or for broken UTF-8.
bool from_token(const uint8_t* text, uint32_t length, Cell* out);
void init();

}  // namespace kro::ref
