#include "datatypes/symbol.hpp"

#include <cstring>
#include <string>

#include "datatypes/string.hpp"
#include "foundation/casing.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "foundation/unicode.hpp"

namespace kro::symbol {

uint32_t table = 0;

namespace {

inline uint32_t block_node() { return runtime::symbol_block.data2; }

Cell* cells() { return memory::buffer_of(block_node())->cells(); }

// Decodes a spelling into code points (an undecodable byte stands for itself).
void decode(std::string_view text, std::u32string& out) {
    out.clear();
    auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t* end = p + text.size();
    while (p < end) {
        uint32_t remaining = uint32_t(end - p);
        uint32_t cp = *p;
        uint32_t size = 1;
        if (cp >= 0x80) {
            int n = unicode::utf8_char_size(*p);
            if (n >= 2 && uint32_t(n) <= remaining) {
                uint32_t v = *p & (0xFF >> (n + 1));
                bool ok = true;
                for (int i = 1; i < n; i++) {
                    if ((p[i] & 0xC0) != 0x80) ok = false;
                    v = (v << 6) | (p[i] & 0x3F);
                }
                if (ok) {
                    cp = v;
                    size = uint32_t(n);
                }
            }
        }
        out.push_back(char32_t(cp));
        p += size;
    }
}

std::string_view name_of(const Cell* sym) {
    memory::Buffer* nb = memory::buffer_of(sym->data3);
    return std::string_view(reinterpret_cast<const char*>(nb->head_ptr()), nb->used_bytes());
}

int32_t compare_text(std::string_view a, std::string_view b, int32_t op) {
    std::u32string x, y;
    decode(a, x);
    decode(b, y);
    bool fold = op != 2 && op != 8;
    bool equality = op == 0 || op == 1 || op == 2 || op == 9 || op == 12;
    if (equality && x.size() != y.size()) return 1;
    size_t n = x.size() < y.size() ? x.size() : y.size();
    for (size_t i = 0; i < n; i++) {
        uint32_t c1 = x[i], c2 = y[i];
        if (fold) {
            c1 = casing::to_upper_fast(c1);
            c2 = casing::to_upper_fast(c2);
        }
        if (c1 != c2) return c1 > c2 ? 1 : -1;
    }
    if (x.size() == y.size()) return 0;
    return x.size() > y.size() ? 1 : -1;
}

// Symbol cells may be copied anywhere: they compare by their names.
int32_t compare(Cell* a, Cell* b, int32_t op) {
    if (!b->is(TYPE_SYMBOL)) return -2;
    if (op == 9) return a->data3 == b->data3 ? 0 : -1;
    return compare_text(name_of(a), name_of(b), op);
}

}  // namespace

void init() {
    ActionList a;
    a.set<A_COMPARE>(&compare);
    datatype::register_type(TYPE_SYMBOL, 0, "symbol!", a);
}

void init_table() { table = hashtable::make(int32_t(runtime::SYMBOL_BLOCK_CELLS), &runtime::symbol_block, hashtable::NAMES); }

int32_t make_from_utf8(const uint8_t* text, uint32_t length) {
    return hashtable::put_symbol(table, text, length, false);
}

int32_t make(const char* name) {
    return make_from_utf8(reinterpret_cast<const uint8_t*>(name), uint32_t(std::strlen(name)));
}

int32_t make_from_string(const Cell* str) {
    std::string utf8 = string::to_utf8(str);
    return make_from_utf8(reinterpret_cast<const uint8_t*>(utf8.data()), uint32_t(utf8.size()));
}

int32_t make_caseless(const char* name) {
    return hashtable::put_symbol(table, reinterpret_cast<const uint8_t*>(name), uint32_t(std::strlen(name)), true);
}

int32_t count() { return int32_t(memory::buffer_of(block_node())->used_bytes() / sizeof(Cell)); }

Cell* cell(int32_t id) { return cells() + (id - 1); }

void cache_utf8(Cell* sym) {
    if (sym->data2) return;
    // the symbol block does not move while the string is made
    memory::Buffer* nb = memory::buffer_of(sym->data3);
    uint32_t node = unicode::load_utf8_plain(nb->head_ptr(), nb->used_bytes());
    sym->data2 = node;
}

Cell* get(int32_t id) {
    Cell* s = cell(id);
    cache_utf8(s);
    return s;
}

int32_t resolve(int32_t id) {
    int32_t alias = int32_t(cell(id)->data1);
    return alias > 0 ? alias : id;
}

int32_t alias_of(int32_t id) { return int32_t(cell(id)->data1); }

std::string_view name(int32_t id) { return name_of(cell(id)); }

int32_t compare_names(int32_t a, int32_t b, int32_t op) {
    if (a == b) return 0;
    return compare_text(name(a), name(b), op);
}

}  // namespace kro::symbol
