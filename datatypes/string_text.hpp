// Pieces shared by the string storage routines, the string actions and the
// file! and url! modules: a view on a run of text, and the one routine that
// writes text into a string (append, insert and change all come down to it).
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "foundation/memory.hpp"

namespace kro::string::detail {

// Text never moves under a Text: it holds the node and re-derives addresses.
struct Text {
    uint32_t node = 0;
    uint32_t head = 0;   // unit index of the first character
    uint32_t count = 0;  // characters from the head
    int unit = 1;

    const uint8_t* at(uint32_t i) const {
        return memory::buffer_of(node)->head_ptr() + uint64_t(head + i) * uint32_t(unit);
    }
    uint32_t get(uint32_t i) const;
};

// The text of a value: a series of any text kind (or binary!, byte by byte)
// from its head, the spelling of a symbol! or of any word, or a text slice
// (type 56) of at most data3 characters when data3 is not negative.
Text text_of(const Cell* v);

// A unit other than 1, 2 or 4 is runtime error 101.
void check_unit(int unit);

// The unit a character needs when appended to a string (0-127 fit 1 byte).
inline int append_unit_of(uint32_t cp) { return cp < 0x80 ? 1 : cp <= 0xFFFF ? 2 : 4; }
// The unit a character needs when written in place (0-255 fit 1 byte).
inline int poke_unit_of(uint32_t cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

// Writes dup copies of the source's characters into the string at character
// position pos (from the first unit), in place of `replace` characters there;
// the rest of the string follows them. The string widens to the source's unit
// and to at least min_unit. The source may lie in the string's own buffer.
// Sizes that leave 32 bits raise internal/no-memory.
void splice(Cell* str, const Text& source, uint32_t pos, uint32_t replace, uint32_t dup, int min_unit);

// A new string! of the value's formed text, at most limit characters when
// limit is not negative.
Cell form_value(Cell* value, int32_t limit);

inline Cell int_cell(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
inline Cell char_cell(uint32_t cp) { return Cell{uint32_t(TYPE_CHAR), 0, cp, 0}; }
inline Cell datatype_cell(uint32_t t) { return Cell{uint32_t(TYPE_DATATYPE), t, 0, 0}; }

}  // namespace kro::string::detail
