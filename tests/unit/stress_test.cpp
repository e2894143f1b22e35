#include <gtest/gtest.h>

#include <functional>
#include <set>
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
#include "foundation/runtime.hpp"
#include "heap_fixtures.hpp"
#include "interpreter/stack.hpp"

using namespace kro;
using namespace kro::testing_heap;

namespace {

// Every buffer in use in the series and big frames, by address.
std::set<uint32_t> movable_buffers() {
    std::set<uint32_t> out;
    for (uint32_t f = memory::root.series_head; f; f = arena::ptr<memory::SeriesFrame>(f)->next) {
        auto* s = arena::ptr<memory::SeriesFrame>(f);
        for (uint32_t p = s->first(); p < s->heap; p += memory::buffer_at(p)->total())
            if (memory::buffer_at(p)->flags & memory::FLAG_IN_USE) out.insert(p);
    }
    for (uint32_t f = memory::root.big_head; f; f = arena::ptr<memory::BigFrame>(f)->next)
        out.insert(arena::off(arena::ptr<memory::BigFrame>(f)->buffer()));
    return out;
}

std::set<uint32_t> node_frame_set() {
    std::set<uint32_t> out;
    for (uint32_t f = memory::root.node_head; f; f = arena::ptr<memory::NodeFrame>(f)->next) out.insert(f);
    return out;
}

// An identity table kept by a module through its mark callback.
uint32_t identity_table = 0;
void mark_identity_table() { collector::mark_table(&identity_table); }

}  // namespace

// Stress mode moves every live buffer (big ones too) and every node, and the
// values read back the same through their new nodes.
TEST(StressMode, EveryBufferAndNodeMoves) {
    Switches sw(true);
    gc::Rooted graph(Graph::build("mv"));
    gc::Rooted big;
    block::make_at(big.get(), int32_t(memory::BIG_THRESHOLD / 16));
    append(big.get(), integer(12));
    collector::collect();
    std::set<uint32_t> buffers = movable_buffers();
    std::set<uint32_t> frames = node_frame_set();
    uint32_t graph_node = graph->data2, big_node = big->data2;
    uint32_t cycles = collector::nodes_cycles();

    collector::collect();
    for (uint32_t b : movable_buffers()) EXPECT_EQ(buffers.count(b), 0u) << "buffer " << b << " stayed put";
    for (uint32_t f : node_frame_set()) EXPECT_EQ(frames.count(f), 0u) << "node frame " << f << " stayed";
    EXPECT_NE(graph->data2, graph_node);
    EXPECT_NE(big->data2, big_node);
    EXPECT_EQ(collector::nodes_cycles(), cycles + 1);
    EXPECT_TRUE(Graph::intact(graph.cell, "mv"));
    EXPECT_EQ(int32_t(at(big.cell, 0)->data2), 12);
}

// The frames a stress cycle vacates either lose all access or are poisoned.
struct ProtectEvery {
    uint32_t was = memory::protect_every;
    explicit ProtectEvery(uint32_t n) { memory::protect_every = n; }
    ~ProtectEvery() { memory::protect_every = was; }
};

// A pointer into a buffer kept across a protecting stress cycle faults on use.
TEST(StressModeDeathTest, StalePointerIntoAMovedBufferFaults) {
    Switches sw(true);
    ProtectEvery protect(1);
    gc::Rooted s(text("soon elsewhere", 1));
    const volatile uint8_t* stale = memory::buffer_of(s->data2)->head_ptr();
    collector::collect();
    EXPECT_EQ(string::to_utf8(s.get()), "soon elsewhere");
    EXPECT_DEATH({ (void)*stale; }, "");
}

// Across a poisoning cycle a stale pointer reads poison, and a write through
// it ends the process once the frame's quarantine is over.
TEST(StressModeDeathTest, StaleWriteIntoAPoisonedFrameIsFound) {
    Switches sw(true);
    ProtectEvery poison(0);
    gc::Rooted s(text("soon elsewhere", 1));
    volatile uint8_t* stale = memory::buffer_of(s->data2)->head_ptr();
    collector::collect();
    EXPECT_EQ(*stale, memory::POISON);
    EXPECT_EQ(string::to_utf8(s.get()), "soon elsewhere");
    EXPECT_DEATH(
        {
            *stale = 'x';
            for (uint32_t i = 0; i <= memory::QUARANTINE_CYCLES; i++) collector::collect();
        },
        "a freed frame was written after its buffers moved");
    for (uint32_t i = 0; i <= memory::QUARANTINE_CYCLES; i++) collector::collect();  // no write: no report
    EXPECT_EQ(collector::check_heap(), "");
}

// Hash tables find every key after their nodes moved: hash! and identity
// tables through their stamps, map! through the rehash after the cycle.
TEST(StressMode, HashTablesFindEveryKeyAfterNodesMove) {
    Switches sw(true);
    static bool registered = false;
    if (!registered) {
        gc::add_mark_callback(&mark_identity_table);
        registered = true;
    }
    gc::Rooted graph(Graph::build("ht"));
    gc::Rooted keys;
    block::make_at(keys.get(), 16);
    identity_table = hashtable::make(4, nullptr, hashtable::IDENTITY, 1);
    for (int32_t i = 0; i < 12; i++) {
        Cell b;
        block::make_at(&b, 1);
        append(&b, integer(i));
        append(keys.get(), b);
        Cell* v = hashtable::put_key(identity_table, b.data2);
        *v = integer(100 + i);
    }
    for (int round = 0; round < 3; round++) {
        collector::collect();
        EXPECT_TRUE(Graph::intact(graph.cell, "ht"));
        for (int32_t i = 0; i < 12; i++) {
            Cell* v = hashtable::get_key(identity_table, at(keys.cell, i)->data2);
            ASSERT_NE(v, nullptr) << "key " << i << " round " << round;
            EXPECT_EQ(int32_t(v->data2), 100 + i);
        }
    }
    identity_table = 0;
}

// Values change between stress cycles (growth, widening, new words) and the
// verifier, which runs after each cycle, finds the heap sound every time.
TEST(StressMode, ChangingValuesSurviveManyCycles) {
    Switches sw(true);
    gc::Rooted graph(Graph::build("ch"));
    gc::Rooted grow(text("a", 1));
    gc::Rooted list;
    block::make_at(list.get(), 1);
    for (int32_t i = 0; i < 30; i++) {
        string::append_utf8(grow.get(), i == 20 ? "\xE2\x82\xAC" : "b");  // widens once
        append(list.get(), integer(i));
        uint32_t ctx = at(graph.cell, 4)->data1;
        Cell w = word_of(("field-" + std::to_string(i)).c_str());
        context::add(ctx, &w);
        gc::safe_point();
    }
    EXPECT_TRUE(Graph::intact(graph.cell, "ch"));
    EXPECT_EQ(block::length(list.get()), 30);
    for (int32_t i = 0; i < 30; i++) EXPECT_EQ(int32_t(at(list.cell, i)->data2), i);
    std::string expected = "a" + std::string(20, 'b') + "\xE2\x82\xAC" + std::string(9, 'b');
    EXPECT_EQ(string::to_utf8(grow.get()), expected);
    EXPECT_EQ(context::word_count(at(graph.cell, 4)->data1), 31);
    EXPECT_EQ(collector::check_heap(), "");
}

// ---- the verifier ------------------------------------------------------------------------------

// Each corruption is reported (and the heap is sound again once it is undone).
TEST(HeapVerifier, FindsCorruptions) {
    Switches sw(false);
    gc::Rooted graph(Graph::build("vf"));
    collector::collect();
    ASSERT_EQ(collector::check_heap(), "");
    auto buffer = [&](int32_t i) { return memory::buffer_of(at(graph.cell, i)->data2); };
    struct Case {
        const char* name;
        const char* expected;
        std::function<std::function<void()>()> corrupt;  // answers the undo
    } cases[] = {
        {"back pointer", "does not point back",
         [&] {
             memory::Buffer* b = buffer(1);
             uint32_t old = b->node;
             b->node = buffer(2)->node;
             return [b, old] { b->node = old; };
         }},
        {"tail past the data", "offset",
         [&] {
             memory::Buffer* b = buffer(1);
             uint32_t old = b->tail;
             b->tail = b->size + 16;
             return [b, old] { b->tail = old; };
         }},
        {"unknown type", "unknown type id 99",
         [&] {
             Cell* c = at(*at(*at(graph.cell, 0), 0), 0);
             uint32_t old = c->header;
             c->header = 99;
             return [c, old] { c->header = old; };
         }},
        {"hash live count", "live entries",
         [&] {
             hashtable::Table* r = hashtable::record(at(graph.cell, 5)->data3);
             r->live++;
             return [r] { r->live--; };
         }},
        {"key changed behind the table", "not found again",
         [&] {
             // a map! key whose new hash starts at an empty bucket
             uint32_t t = at(graph.cell, 6)->data3;
             hashtable::Table* r = hashtable::record(t);
             Cell* key = at(*at(graph.cell, 6), 4);
             uint32_t v = 1000;
             for (;; v++) {
                 Cell probe = integer(int32_t(v));
                 if (hashtable::bucket_state(t, hash::value(&probe) & (r->buckets - 1)) == hashtable::STATE_EMPTY) break;
             }
             uint32_t old = key->data2;
             key->data2 = v;
             return [key, old] { key->data2 = old; };
         }},
        {"mark left on a fixed buffer", "still marked",
         [&] {
             memory::Buffer* b = memory::buffer_of(runtime::root.data2);
             b->flags |= memory::FLAG_MARK;
             return [b] { b->flags &= ~memory::FLAG_MARK; };
         }},
        {"node frame count", "used",
         [&] {
             auto* f = arena::ptr<memory::NodeFrame>(memory::root.node_head);
             f->used--;
             return [f] { f->used++; };
         }},
        {"value naming the middle of a node", "not the node of a live buffer",
         [&] {
             Cell* c = at(graph.cell, 1);
             uint32_t old = c->data2;
             c->data2 = old + 2;
             return [c, old] { c->data2 = old; };
         }},
        {"string where a context belongs", "used as a context",
         [&] {
             Cell* w = at(graph.cell, 4);
             uint32_t old = w->data1;
             w->data1 = at(graph.cell, 1)->data2;  // a string's node where a context belongs
             return [w, old] { w->data1 = old; };
         }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto undo = c.corrupt();
        std::string problem = collector::check_heap();
        EXPECT_NE(problem.find(c.expected), std::string::npos) << problem;
        undo();
        EXPECT_EQ(collector::check_heap(), "");
    }
}

// In stress mode a corrupted heap ends the process at the next cycle.
TEST(HeapVerifierDeathTest, StressCycleStopsOnACorruptedHeap) {
    Switches sw(true);
    gc::Rooted graph(Graph::build("dt"));
    collector::collect();
    EXPECT_DEATH(
        {
            hashtable::record(at(graph.cell, 5)->data3)->live += 3;
            for (int i = 0; i < 4; i++) collector::collect();  // verified within four cycles
        },
        "heap verifier: hash table .* live entries");
    EXPECT_DEATH(
        {
            at(*at(graph.cell, 0), 0)->header = 200;
            for (int i = 0; i < 4; i++) collector::collect();
        },
        "unknown type id");
}
