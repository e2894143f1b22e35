// The collector: a stop-the-world mark-and-compact collector of the series
// buffers and nodes of the collected heap.
//
// A cycle marks everything reachable from the roots (the root block, the data
// stack's live cells, the call stack, the symbol table, the global context,
// the value slots, the cycle stack, the Rooted shadow stack and the module
// mark callbacks), lets the external resources of dead owners go, slides the
// live buffers of the series frames together (across frames too), frees dead
// big frames and the nodes of dead buffers, and returns empty frames to the
// system. Nodes of sparse, long-stable node frames are moved to other frames
// first (evacuation); every node holder the marking reaches is rewritten.
//
// Collections run only at safe points (gc::safe_point) and on `recycle`
// (collect). Marking follows references through an explicit work stack, so
// deep nesting costs heap, not machine stack. Since nodes may move, a node
// kept across a safe point must sit where marking rewrites it: a cell of a
// marked block or of the data stack, a Rooted/RootedNode local, or a holder
// that a mark callback passes to mark_*. A node in any other C++ variable (or
// inside an integer! cell) goes stale when its frame is evacuated.
//
// Stress mode (gc::stress) makes every cycle move every live buffer into
// fresh frames and every node into fresh node frames, keeps the vacated
// frames inaccessible for a few cycles (a stale pointer faults), and runs the
// heap verifier after each cycle.
#pragma once
#include <cstdint>
#include <string>

#include "foundation/cell.hpp"

namespace kro::collector {

// Counters to 0. Runtime initialisation calls it as its last step.
void init();

// One full cycle, whether or not collections are switched on (`recycle`).
void collect();
// A cycle only while gc::active is set.
void cycle_if_active();
bool in_cycle();

// `recycle`: a full cycle, answering the bytes still in use (as `stats`).
double recycle();
// `recycle/on` and `recycle/off`.
void switch_on(bool on);

// Collections completed, and collections in which node frames were
// evacuated (so node addresses changed).
uint32_t cycles();
uint32_t nodes_cycles();

// ---- what a cell references --------------------------------------------------------
// One table, by type id, of the payload words that hold nodes and of how each
// node is followed. Marking, node rewriting and the heap verifier all read it.

enum class Follow : uint8_t {
    SERIES,   // the buffer only (bytes, words)
    BLOCK,    // the buffer and its cells
    CONTEXT,  // a context node: its two cells (the context cell, the owner)
    TABLE,    // a hash table record and everything it holds
    ANY,      // the buffer, and its cells when its unit is 16
};

enum class Rule : uint8_t {
    NOTHING,     // no reference
    SERIES2,     // data2 as a block-kind series (block!, paren!, paths)
    TEXT,        // data2 the text, data3 the conversion buffer when non-zero
    SYMBOL,      // data3 the UTF-8 name, data2 the cached string! when non-zero
    CONTEXT,     // data1 the name table; data2 the values unless they live on the data stack
    WORD,        // data1 the context when non-zero
    NATIVE,      // data2 spec block, data3 record block; an op! of a function also data1 as context
    FUNCTION,    // data1 context, data2 spec block, data3 record block
    BYTES2,      // data2 a series whose content holds no cells
    OBJECT,      // data1 context, data3 the on-set record when non-zero
    HASHED,      // data2 the block, data3 its hash table
    HANDLE,      // data3 an external-resource record (when not negative)
    IMAGE,       // data2 the pixels, then the image's own mark routine
    EVENT,       // data2 a block when the event was made by `make` (flag 0x1000)
    UNKNOWN,     // not a type id: a loud failure in stress mode and in the verifier
};

// The rule of a type id (any byte value).
Rule rule_of(uint32_t type);

struct Reference {
    uint32_t* holder;  // the payload word holding the node (rewritten when the node moves)
    Follow follow;
};

// The node references of a cell (at most three; zero nodes are left out).
// Answers how many were written to out.
int references(Cell* c, Reference out[3]);

// Header flag of an event! made by `make` (its data2 is then a block).
constexpr uint32_t EVENT_MADE = 0x1000;
// Header bits of an op! holding the type id of the value it wraps.
constexpr uint32_t OP_WRAPPED_SHIFT = 16;

// ---- marking primitives for mark callbacks --------------------------------------
// Callbacks run while a cycle marks and must not allocate. Holders are the
// addresses of the words that keep a node: when the node was moved to another
// node frame the holder is rewritten first.

// Marks the node's buffer; answers whether it was newly marked.
bool mark_node(uint32_t* holder);
// Marks the node and, when newly marked, every cell of its buffer. Marking
// is queued, not recursive: what a callback marks is followed after it returns.
void mark_block(uint32_t* holder);
void mark_context_node(uint32_t* holder);
// Marks a hash table record and everything it holds.
void mark_table(uint32_t* holder);
// Marks what each cell in [first, end) references.
void mark_cells(Cell* first, Cell* end);
void mark_value(Cell* c);
// Takes the mark off a node's buffer.
void unmark_node(uint32_t node);
// Rewrites every moved node address in a range of words.
void remap_nodes(uint32_t* first, uint32_t* end);
// Frees a node with the cycle's other dead nodes (0 is ignored).
void defer_free_node(uint32_t node);

// ---- hooks of later modules -----------------------------------------------------

// The call stack marks its frames (set by the interpreter).
extern void (*mark_call_stack)();
// An image! marks what it owns beyond its pixel buffer (set by the image datatype).
extern void (*mark_image)(Cell* image);

// ---- heap verifier (heap_verify.cpp) --------------------------------------------

// Walks every frame and every value reachable from the roots and answers the
// first inconsistency, or an empty text for a sound heap: buffers and nodes
// point at each other, heads and tails lie inside their data, units are
// valid, no mark bit is left (fixed buffers included), reachable cells have
// known types and name live buffers of the right kind, hash tables agree with
// their states and find every key again, the symbol table finds every name,
// and the external-resource and value-slot lists are well formed.
std::string check_heap();
// check_heap, ending the process loudly (fatal runtime error 98) on a finding.
// Stress mode runs it after every cycle.
void verify_heap();

// ---- walks over the reference graph ---------------------------------------------
// Marking is one walk, the heap verifier another: both see the same roots and
// follow the same references, so what the verifier checks is what marking
// keeps alive.

class Tracer {
public:
    virtual ~Tracer() = default;
    // A node holder met. Answers whether the node was seen for the first time.
    virtual bool node(uint32_t* holder, Follow follow) = 0;
    // A cell met: its references go to node(); handle!, image! and unknown
    // types go to their own hooks.
    void cell(Cell* c);
    // Follows everything queued so far.
    virtual void drain() = 0;
    // Whether a node may be looked into (the verifier refuses broken ones).
    virtual bool usable(uint32_t node) { return node != 0; }

protected:
    virtual void handle(Cell* c) = 0;
    virtual void unknown(Cell* c) = 0;
    // The type id of the cell whose references are being followed (0 for
    // roots and table parts), for reports.
    uint32_t from_type_ = 0;
};

// Feeds every root to the tracer: the data- and call-stack nodes, the root
// block, the symbol block and table, the global context, the datatype words
// of the registry, the data stack's live cells, the call stack, the value
// slots, the cycle stack, the Rooted shadow stack and the mark callbacks
// (whose mark_* calls reach the tracer). The ownership table is not among
// them: it holds its keys weakly, and a cycle sweeps it after marking.
void trace_roots(Tracer& t);
// The parts of a hash table record: its arrays, its data block, and for the
// identity kinds each live record's key node and value cells.
void trace_table(Tracer& t, uint32_t table);

// The collection count after the last cycle that moved nodes to other frames
// (0: none yet). A table stamped before it may hash node keys by old addresses.
uint32_t nodes_moved_at();

}  // namespace kro::collector
