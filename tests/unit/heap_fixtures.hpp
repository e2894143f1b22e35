// Fixtures shared by the collector, stress-mode and memory-statistics tests:
// switches that hold for one test, a value graph of every type that exists
// (kept alive through the root block, the data stack and Rooted locals) with
// a check of its contents, and garbage of a known size.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/memory_stats.hpp"
#include "foundation/runtime.hpp"
#include "interpreter/stack.hpp"

namespace kro::testing_heap {

// The collector's switches as a test wants them, put back afterwards.
class Switches {
public:
    explicit Switches(bool stress, bool active = true)
        : stress_(gc::stress), sampled_(gc::sampled), active_(gc::active), compaction_(gc::node_compaction) {
        gc::stress = stress;
        gc::sampled = false;  // a test that asks for stress collects at every safe point
        gc::active = active;
        gc::node_compaction = true;
    }
    ~Switches() {
        gc::stress = stress_;
        gc::sampled = sampled_;
        gc::active = active_;
        gc::node_compaction = compaction_;
    }
    Switches(const Switches&) = delete;
    Switches& operator=(const Switches&) = delete;

private:
    bool stress_, sampled_, active_, compaction_;
};

inline Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }

inline Cell text(const char* utf8, int unit) {
    Cell s;
    string::make_at(&s, 4, unit);
    string::append_utf8(&s, utf8);
    return s;
}

inline Cell word_of(const char* name, Type t = TYPE_WORD) {
    return Cell{uint32_t(t), 0, uint32_t(symbol::make(name)), uint32_t(-1)};
}

// Appends a copy of v to the block (whose buffer may move) and answers the copy.
inline Cell append(Cell* blk, const Cell& v) {
    Cell copy = v;
    copy_cell(&copy, block::add_cell(blk));
    return copy;
}

inline Cell* at(const Cell& blk, int32_t i) { return block::at(&blk, i); }
inline uint32_t buffer_address(uint32_t node) { return memory::node_slot(node); }

// A node whose buffer names it back, in use.
inline bool owns_buffer(uint32_t node) {
    memory::Buffer* b = memory::buffer_of(node);
    return b->node == node && (b->flags & memory::FLAG_IN_USE);
}

// A graph of every type that exists, held in one block. Positions:
//   0 a block of blocks (three levels, integers at the bottom)
//   1-3 strings of 1, 2 and 4 bytes per character, each with its conversion buffer
//   4 a word bound to an object context whose value is a string
//   5 a hash! over integers, strings, a block and a word
//   6 a map! of string, word, integer and block keys
//   7 the symbol! of a fresh spelling, with its cached string
struct Graph {
    static constexpr const char* WIDE1 = "plain text";
    static constexpr const char* WIDE2 = "h\xC3\xA9llo w\xC3\xB6rld";          // 2-byte units
    static constexpr const char* WIDE4 = "emoji \xF0\x9F\x98\x80 here";        // 4-byte units

    // Builds the graph under a fresh spelling (so that runs do not share symbols).
    static Cell build(const std::string& tag) {
        gc::Rooted g;
        block::make_at(g.get(), 8);
        {
            gc::Rooted outer;
            block::make_at(outer.get(), 3);
            for (int32_t i = 0; i < 3; i++) {
                gc::Rooted mid;
                block::make_at(mid.get(), 2);
                for (int32_t j = 0; j < 2; j++) {
                    gc::Rooted leaf;
                    block::make_at(leaf.get(), 4);
                    for (int32_t k = 0; k < 4; k++) append(leaf.get(), integer(100 * i + 10 * j + k));
                    append(mid.get(), leaf.cell);
                }
                append(outer.get(), mid.cell);
            }
            append(g.get(), outer.cell);
        }
        const char* texts[] = {WIDE1, WIDE2, WIDE4};
        for (const char* t : texts) {
            gc::Rooted s(text(t, 1));
            int32_t part = -1;
            string::encode_utf8(s.get(), &part, false);  // makes the conversion buffer (data3)
            append(g.get(), s.cell);
        }
        {
            uint32_t ctx = context::create(4, false, false, 0, context::OBJECT);
            gc::RootedNode keep(ctx);
            gc::Rooted w(word_of(("alpha-" + tag).c_str()));
            context::add(keep.node, w.get());
            context::bind_word(keep.node, w.get());
            gc::Rooted v(text("the value", 1));
            context::set_in(w.get(), v.get(), keep.node, false);
            append(g.get(), w.cell);
        }
        {
            gc::Rooted keys;
            block::make_at(keys.get(), 8);
            append(keys.get(), integer(7));
            append(keys.get(), text("Key", 1));
            gc::Rooted inner;
            block::make_at(inner.get(), 1);
            append(inner.get(), integer(1));
            append(keys.get(), inner.cell);
            append(keys.get(), word_of("beta"));
            append(keys.get(), integer(9));
            uint32_t t = hashtable::make(8, keys.get(), hashtable::HASH);
            append(g.get(), Cell{uint32_t(TYPE_HASH), 0, keys->data2, t});
        }
        {
            gc::Rooted pairs;
            block::make_at(pairs.get(), 8);
            append(pairs.get(), text("name", 1));
            append(pairs.get(), integer(1));
            append(pairs.get(), word_of("gamma", TYPE_SET_WORD));
            append(pairs.get(), integer(2));
            append(pairs.get(), integer(42));
            append(pairs.get(), integer(3));
            // a key with a buffer of its own (a map takes no block keys)
            append(pairs.get(), text("inner \xC3\xA9", 1));
            append(pairs.get(), integer(4));
            uint32_t t = hashtable::make(4, pairs.get(), hashtable::MAP);
            append(g.get(), Cell{uint32_t(TYPE_MAP), 0, pairs->data2, t});
        }
        {
            int32_t id = symbol::make(("sym-" + tag).c_str());
            Cell sym = *symbol::get(id);
            append(g.get(), sym);
        }
        return g.cell;
    }

    // Every value of the graph reads back as built.
    static ::testing::AssertionResult intact(const Cell& g, const std::string& tag) {
        auto fail = [](const std::string& what) { return ::testing::AssertionFailure() << what; };
        if (block::length(&g) != 8) return fail("graph length");
        Cell outer = *at(g, 0);
        for (int32_t i = 0; i < 3; i++) {
            Cell mid = *at(outer, i);
            for (int32_t j = 0; j < 2; j++) {
                Cell leaf = *at(mid, j);
                for (int32_t k = 0; k < 4; k++)
                    if (int32_t(at(leaf, k)->data2) != 100 * i + 10 * j + k) return fail("nested integer");
            }
        }
        const char* texts[] = {WIDE1, WIDE2, WIDE4};
        int units[] = {1, 2, 4};
        for (int i = 0; i < 3; i++) {
            Cell s = *at(g, 1 + i);
            if (string::to_utf8(&s) != texts[i]) return fail("string " + std::to_string(i));
            if (memory::unit_of(s.data2) != units[i]) return fail("string unit " + std::to_string(i));
            if (!s.data3 || !owns_buffer(s.data3)) return fail("conversion buffer " + std::to_string(i));
            auto* conv = reinterpret_cast<const char*>(memory::buffer_of(s.data3)->head_ptr());
            if (std::strcmp(conv, texts[i]) != 0) return fail("conversion buffer text " + std::to_string(i));
        }
        Cell w = *at(g, 4);
        if (!w.data1 || !owns_buffer(w.data1)) return fail("word context");
        Cell* value = context::value_cell(&w, w.data1);
        if (string::to_utf8(value) != "the value") return fail("word value");
        if (symbol::name(int32_t(w.data2)) != "alpha-" + tag) return fail("word spelling");

        Cell h = *at(g, 5);
        if (!owns_buffer(h.data2) || !owns_buffer(h.data3)) return fail("hash! buffers");
        for (int32_t p = 0; p < 5; p++) {
            Cell key = *at(h, p);
            Cell* found = hashtable::find(h.data3, &key);
            if (!found || found->type() != key.type()) return fail("hash! key " + std::to_string(p));
        }
        Cell m = *at(g, 6);
        for (int32_t p = 0; p < 8; p += 2) {
            Cell key = *at(m, p);
            if (key.is(TYPE_SET_WORD)) key.set_type(TYPE_WORD);  // looked up as a plain word
            Cell* found = hashtable::find(m.data3, &key);
            if (!found || int32_t(found[1].data2) != p / 2 + 1) return fail("map! key " + std::to_string(p));
        }
        Cell sym = *at(g, 7);
        if (!sym.data2 || !owns_buffer(sym.data2) || !owns_buffer(sym.data3)) return fail("symbol buffers");
        Cell cached{uint32_t(TYPE_STRING), 0, sym.data2, 0};
        if (string::to_utf8(&cached) != "sym-" + tag) return fail("symbol cached string");
        return ::testing::AssertionSuccess();
    }
};

// Garbage of a known size: count blocks of `cells` cells each, unreachable
// once made. Answers the bytes their buffers take in the series frames.
inline uint64_t make_garbage(int32_t count, int32_t cells) {
    for (int32_t i = 0; i < count; i++) {
        Cell b;
        block::make_at(&b, cells);
        for (int32_t k = 0; k < cells; k++) append(&b, integer(k));
    }
    return uint64_t(count) * (memory::BUFFER_HEADER + uint64_t(cells) * 16 + memory::BUFFER_SPARE);
}

inline double in_use() { return memory::stats(nullptr, 1); }

}  // namespace kro::testing_heap
