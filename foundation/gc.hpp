// What the collector needs from the rest of the runtime: its switches, the
// request for a collection at the next safe point, the mark callbacks that other
// modules register, and the rooted locals through which C++ code keeps series
// alive across anything that may collect.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::gc {

extern bool active;    // collections allowed (switched on after start-up)
extern bool wanted;    // an allocation ran out of room: collect at the next safe point
// Stress mode: every collection moves every buffer and node and checks the
// heap. KRO_GC_STRESS=1 collects at every safe point; KRO_GC_STRESS=sampled
// (the test suite's stress pass) collects at the first visit of each place
// of the code (safe_point_at's site) and at a seeded random stride between.
extern bool stress;
extern bool sampled;   // stress mode collects at sampled safe points, not at every one
extern bool node_compaction;  // node frames may be evacuated (suspended while a hash table rebuilds)
extern bool collecting;       // a collection is running

using MarkCallback = void (*)();
constexpr int MAX_MARK_CALLBACKS = 100;
void add_mark_callback(MarkCallback cb);  // more than the capacity is a fatal error
int mark_callback_count();
MarkCallback mark_callback(int i);

// A safe point: runs a collection when one is wanted (in stress mode: always)
// and collections are switched on. Only code that holds every series it still
// needs in rooted places (data stack, Rooted, RootedNode, root block) may call
// it: the evaluator between expressions, `recycle`, the console between lines.
void safe_point();
// A safe point of the evaluator: site names the place of the code (a hash of
// the block position and the calls around it) for sampled stress mode.
void safe_point_at(uint64_t site);
// Sampled stress mode: whether a collection falls due at this safe point.
bool sample(uint64_t site);
// The settings that reproduce this stress run ("KRO_GC_STRESS=sampled
// KRO_GC_STRESS_SEED=n KRO_GC_STRESS_STRIDE=k"; "" when not sampled), for
// reports of failures.
const char* stress_settings();

#ifdef KRO_FUZZ_SANDBOX
// Fuzzing builds: called at every safe point that gets past the inline test
// (the fuzz target sets `wanted` once a run is over its time), so that it can
// end a program that loops without end by raising an error there.
extern void (*budget_check)();
#endif

// Rooted locals form a shadow stack, walked by the collector, which marks what
// they hold and rewrites their node references when it moves nodes.
struct RootLink {
    RootLink* prev;
    enum Kind : uint32_t { CELL, NODE } kind;
};
extern RootLink* root_top;

// A cell kept alive (and kept current) for as long as this object lives.
class Rooted : RootLink {
public:
    Cell cell;
    Rooted() : RootLink{root_top, CELL}, cell{uint32_t(TYPE_NONE), 0, 0, 0} { root_top = this; }
    explicit Rooted(const Cell& c) : RootLink{root_top, CELL}, cell(c) { root_top = this; }
    Rooted(const Rooted&) = delete;
    Rooted& operator=(const Rooted&) = delete;
    ~Rooted() { root_top = prev; }
    Cell* operator->() { return &cell; }
    Cell* get() { return &cell; }
    friend Cell* rooted_cell(RootLink* link);
};

// A bare node reference kept alive and current.
class RootedNode : RootLink {
public:
    uint32_t node;
    explicit RootedNode(uint32_t n = 0) : RootLink{root_top, NODE}, node(n) { root_top = this; }
    RootedNode(const RootedNode&) = delete;
    RootedNode& operator=(const RootedNode&) = delete;
    ~RootedNode() { root_top = prev; }
    friend uint32_t* rooted_node(RootLink* link);
};

// The collector's view of a link of the shadow stack (by its kind).
inline Cell* rooted_cell(RootLink* link) { return &static_cast<Rooted*>(link)->cell; }
inline uint32_t* rooted_node(RootLink* link) { return &static_cast<RootedNode*>(link)->node; }

// Reads KRO_GC_STRESS (and KRO_GC_STRESS_SEED, KRO_GC_STRESS_STRIDE) once at
// start-up.
void init_from_environment();
// Sets the mode: off, every safe point, or sampled with this seed and mean
// stride. Clears the sites seen so far.
enum class StressMode { OFF, EVERY, SAMPLED };
void set_stress(StressMode mode, uint64_t seed = 1, uint32_t stride = 0);
StressMode stress_mode();

}  // namespace kro::gc
