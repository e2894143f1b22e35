// Small fixtures of the string, file and url tests: text values of a chosen
// unit size made from code points, and their contents read back.
#pragma once
#include <string>

#include "block_fixtures.hpp"
#include "datatypes/string.hpp"
#include "foundation/memory.hpp"

namespace kro::testing_strings {

using testing_blocks::integer;

// A string! of the given unit (1, 2 or 4) holding the code points. The
// characters are written in place, so a 1-byte string keeps 128-255; a
// character too wide for the unit widens it as writing does.
inline Cell text_of(const std::u32string& cps, int unit = 1, Type type = TYPE_STRING) {
    Cell s;
    string::make_at(&s, uint32_t(cps.size()) + 1, unit);
    memory::Buffer* b = memory::buffer_of(s.data2);
    for (size_t i = 0; i < cps.size(); i++) b = string::overwrite_char(b, uint32_t(i), cps[i]);
    s.set_type(type);
    return s;
}

// The same from UTF-8 text, appended (128 and up widen a 1-byte string).
inline Cell text(const std::string& utf8, int unit = 1, Type type = TYPE_STRING) {
    Cell s;
    string::make_at(&s, 8, unit);
    string::append_utf8(&s, utf8.c_str(), int32_t(utf8.size()));
    s.set_type(type);
    return s;
}

// The characters from the head as UTF-8.
inline std::string utf8(const Cell& s) { return string::to_utf8(&s); }

// The code points from the head.
inline std::u32string points(const Cell& s) {
    std::u32string out;
    uint32_t n = string::length_of(&s);
    for (uint32_t i = 0; i < n; i++) out += char32_t(string::char_at(&s, s.data1 + i));
    return out;
}

inline int unit_of(const Cell& s) { return memory::buffer_of(s.data2)->unit(); }

inline Cell at_head(Cell s, uint32_t head) {
    s.data1 = head;
    return s;
}

}  // namespace kro::testing_strings
