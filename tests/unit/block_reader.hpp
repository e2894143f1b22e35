// A compact notation for the values of block tests, read into cells by hand
// (the tokenizer is not part of these tests): integers, words (a), set-words
// (a:), get-words (:a), lit-words ('a), refinements (/a), paths (a/b, a/1,
// 'a/b, :a/b, a/b:), blocks [..], parens (..), #none, #true, #false, and ^
// before a value for its new-line flag.
#pragma once
#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "foundation/hashtable.hpp"

namespace kro::testing_blocks {

namespace reader_detail {

inline bool is_integer(const std::string& t) {
    size_t i = t[0] == '-' && t.size() > 1 ? 1 : 0;
    for (; i < t.size(); i++)
        if (t[i] < '0' || t[i] > '9') return false;
    return true;
}

inline Cell atom(std::string t);

inline Cell path_of(std::string t) {
    Type type = TYPE_PATH;
    if (t[0] == '\'') {
        type = TYPE_LIT_PATH;
        t = t.substr(1);
    } else if (t[0] == ':') {
        type = TYPE_GET_PATH;
        t = t.substr(1);
    } else if (t.back() == ':') {
        type = TYPE_SET_PATH;
        t.pop_back();
    }
    std::vector<Cell> parts;
    size_t i = 0;
    while (i <= t.size()) {
        size_t j = t.find('/', i);
        if (j == std::string::npos) j = t.size();
        parts.push_back(atom(t.substr(i, j - i)));
        i = j + 1;
    }
    Cell p = block_of(parts);
    p.set_type(type);
    return p;
}

inline Cell atom(std::string t) {
    if (t == "#none") return none::value;
    if (t == "#true") return logic::make(true);
    if (t == "#false") return logic::make(false);
    if (is_integer(t)) return integer(std::stoi(t));
    if (t.size() > 1 && t.find('/', 1) != std::string::npos) return path_of(t);
    if (t[0] == '/') return w(t.substr(1).c_str(), TYPE_REFINEMENT);
    if (t[0] == '\'') return w(t.substr(1).c_str(), TYPE_LIT_WORD);
    if (t[0] == ':') return w(t.substr(1).c_str(), TYPE_GET_WORD);
    if (t.size() > 1 && t.back() == ':') return w(t.substr(0, t.size() - 1).c_str(), TYPE_SET_WORD);
    return w(t.c_str());
}

inline Cell values(const std::string& s, size_t& i, char close, Type type) {
    std::vector<Cell> v;
    bool line = false;
    while (i < s.size()) {
        char c = s[i];
        if (c == ' ') {
            i++;
            continue;
        }
        if (c == close) {
            i++;
            break;
        }
        if (c == '^') {
            line = true;
            i++;
            continue;
        }
        Cell value;
        if (c == '[' || c == '(') {
            i++;
            value = values(s, i, c == '[' ? ']' : ')', c == '[' ? TYPE_BLOCK : TYPE_PAREN);
        } else {
            size_t j = i;
            while (j < s.size() && s[j] != ' ' && s[j] != ']' && s[j] != ')') j++;
            value = atom(s.substr(i, j - i));
            i = j;
        }
        if (line) value.header |= FLAG_NEW_LINE;
        line = false;
        v.push_back(value);
    }
    Cell b = block_of(v);
    b.set_type(type);
    return b;
}

}  // namespace reader_detail

// A block of the values written in the notation above (room for one more cell).
inline Cell read(const std::string& text) {
    size_t i = 0;
    return reader_detail::values(text, i, '\0', TYPE_BLOCK);
}

// The same value with its head at an index.
inline Cell at_index(Cell b, int32_t head) {
    b.data1 = uint32_t(head);
    return b;
}

// The first value of a text in the notation above.
inline Cell one(const char* text) {
    Cell b = read(text);
    return *block::ks_abs_at(&b, 0);
}

// The same cells as a hash! (indexed from the first cell), at the same head.
inline Cell as_hash(Cell b) {
    int32_t head = int32_t(b.data1);
    b.data1 = 0;
    b.set_type(TYPE_HASH);
    b.data3 = hashtable::make(8, &b, hashtable::HASH);
    b.data1 = uint32_t(head);
    return b;
}

// Every cell of a hash! is found through its table at its own position, and
// the table keeps the hash's own buffer.
inline void expect_indexed(const Cell& h) {
    Cell b = at_index(h, 0);
    for (int32_t i = 0; i < block::length(&b); i++) {
        Cell* c = block::ks_abs_at(&b, i);
        ASSERT_EQ(hashtable::find(h.data3, c, i), c) << "cell " << i << " " << mold_text(*c);
    }
    EXPECT_EQ(hashtable::record(h.data3)->data, h.data2);
}

// Every cell of the buffer whatever the head, molded and joined by blanks.
inline std::string all_cells(Cell b) {
    b.set_type(TYPE_BLOCK);
    b.data1 = 0;
    return cells(b);
}

}  // namespace kro::testing_blocks
