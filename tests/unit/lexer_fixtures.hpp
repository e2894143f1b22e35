// Loading text through transcode in tests: the result molded, or the syntax
// error raised with its arguments formed.
#pragma once
#include <string>

#include "block_fixtures.hpp"
#include "foundation/gc.hpp"
#include "io/lexer.hpp"

namespace kro::testing_lexer {

using namespace kro::testing_blocks;

// A string! of UTF-8 text (unit 1, widened as the text needs).
inline Cell text_of(const std::string& s) {
    Cell c;
    string::make_at(&c, uint32_t(s.size() + 1), 1);
    string::append_utf8(&c, s.data(), int32_t(s.size()));
    return c;
}

// A binary! of the bytes.
inline Cell binary_of(const std::string& s) {
    Cell c{uint32_t(TYPE_BINARY), 0, memory::new_bytes(uint32_t(s.size() + 1)), 0};
    memory::Buffer* b = memory::buffer_of(c.data2);
    std::memcpy(b->head_ptr(), s.data(), s.size());
    b->tail = b->offset + uint32_t(s.size());
    return c;
}

// A datatype formed, as an error message shows it (the datatypes of other
// modules may not be registered in every build of the tests).
inline std::string type_name(Type t) { return form_text(Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}); }

// "category/id arg1|arg2|arg3" of the last error raised, arguments formed.
inline std::string raised_text() {
    const RaisedError& e = last_raised();
    std::string s = e.category + "/" + e.id;
    for (int i = 0; i < e.nargs; i++) {
        s += i ? '|' : ' ';
        s += form_text(e.args[i]);
    }
    return s;
}

struct Transcoded {
    std::string error;  // raised_text() of the error raised, or empty
    Cell value{uint32_t(TYPE_NONE), 0, 0, 0};
};

inline Transcoded transcode_value(const Cell& source, const lexer::Refinements& r = {}) {
    gc::Rooted in(source), out;
    Transcoded t;
    if (!raised([&] { lexer::transcode(in.get(), r, out.get()); }).empty()) t.error = raised_text();
    t.value = out.cell;
    return t;
}

// The values of the text molded without the outer brackets, or "!" and the error.
inline std::string loaded(const std::string& text, const lexer::Refinements& r = {}) {
    Transcoded t = transcode_value(text_of(text), r);
    if (!t.error.empty()) return "!" + t.error;
    return mold_text(t.value, true);
}

}  // namespace kro::testing_lexer
