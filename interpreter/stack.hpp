// The data stack and the call stack: the calling convention of the whole
// runtime, the frames that carry the language's non-local exits, the call
// names of errors and stack traces, and roots for the collector.
//
// Data stack: 20,000 cells in a fixed series (it never moves, so Cell pointers
// into it are stable). `arguments` is the current call's first argument and
// also its result cell (slot 0); `top_ptr` the next free cell. The collector
// marks the cells from the bottom up to the top only.
//
// Call stack: 12,000 frames. Every mark has exactly one close on the normal
// path; on the other paths the throw routines below close frames: the thrower
// finds its target frame first (raising the throw errors at a barrier or at
// the bottom), closes every frame above it (putting back the function contexts
// they switched) and sets the data-stack pointers; the C++ levels in between
// return the Flow (or let the error's exception pass) and never close frames.
// A small reserve of frames and cells above the limits is used only while
// internal/stack-overflow is being raised; the limits come back when the
// error's receiver lies within them.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "foundation/memory.hpp"
#include "interpreter/flow.hpp"

namespace kro::stack {

constexpr uint32_t DATA_STACK_CELLS = 20000;
constexpr int32_t CALL_FRAMES = 12000;
constexpr int32_t RESERVE_CELLS = 256;   // inside the data stack's 20,000
constexpr int32_t RESERVE_FRAMES = 64;   // beyond the 12,000 frames

extern Cell* bottom;     // first cell
extern Cell* arguments;  // the current call's first argument, also its result slot
extern Cell* top_ptr;    // one past the last pushed cell
extern Cell* limit;      // pushes stop here (the reserve lies above it)

// ---- frames ----------------------------------------------------------------------------------

// Frame types; only the low four bits count when unwinding. The evaluator's
// kinds carry 0x80.
enum FrameType : uint8_t {
    FUNCTION = 1,        // a function whose locals context lives on the stack
    NATIVE = 2,          // a native, action or operator call
    TRY = 4,             // errors unwind to it
    TRY_ALL = 5,         // a barrier: errors stop here, break/continue/return/exit/throw never cross it
    CATCH = 6,           // throw unwinds to it
    LOOP = 8,            // break and continue unwind to it
    COMPILED = 0x12,     // a compiled library function (counts as type 2)
    EVALUATED = 0x80,
    INTERP_FUNC = 0x81,  // interpreted call of a function value
    INTERP_NATIVE = 0x82,  // interpreted call of a native, action or routine; sub-evaluations
    INTERP_BLOCK = 0x87,   // a block evaluated by the evaluator
};

constexpr uint8_t RETURN_TARGET = 0x01;  // return and exit stop at this frame
constexpr uint8_t REGION = 0x02;         // a C++ region that catches errors (arguments left as they were)
// The library's own: on a function frame, a call of a library function (its
// body is the library's code); on a loop frame, a loop the library's code
// opened. The user's code and the library's each leave only through their own
// frames (see throw_break and throw_return), and library calls are not named
// in errors.
constexpr uint8_t LIBRARY = 0x04;
// Opened while the library's code was being walked: a native, operator or
// set-word frame of the library's own statements (the console's try, catch
// and loops). Errors of the user's code running inside one do not name it.
constexpr uint8_t BY_LIBRARY = 0x08;
constexpr uint32_t NO_CELL = 0xFFFFFFFF;

struct Frame {
    uint8_t type;
    uint8_t flags;
    uint16_t unused;
    int32_t symbol;          // the name word's symbol (0: unnamed)
    uint32_t name_ctx;       // the context the name word is bound to (a node, 0 when none)
    int32_t name_slot;       // the name word's slot in it
    uint32_t caller_args;    // the caller's `arguments`, in cells from the bottom
    uint32_t inner;          // `arguments` inside this frame, in cells from the bottom
    uint32_t fn_ctx;         // type 1: the function context (a node)
    uint32_t saved_values;   // type 1: the context's values as they were before the call
    uint32_t fn_cell;        // the cell holding the called value (cells from the bottom), or NO_CELL

    int kind() const { return type & 0x0F; }
};

namespace detail {
extern Frame frames[];
extern int32_t frame_top;
extern int32_t frame_limit;
extern uint8_t opener;  // BY_LIBRARY while the innermost walk is the library's code
[[noreturn]] void overflow_frames();

inline Frame& open(uint8_t type, const Cell* name) {
    if (frame_top >= frame_limit) [[unlikely]]
        overflow_frames();
    Frame& f = frames[frame_top++];
    f.type = type;
    f.flags = opener;
    if (name) {
        f.symbol = int32_t(name->data2);
        f.name_ctx = name->data1;
        f.name_slot = int32_t(name->data3);
    } else {
        f.symbol = 0;
        f.name_ctx = 0;
        f.name_slot = -1;
    }
    f.caller_args = uint32_t(arguments - bottom);
    f.inner = uint32_t(top_ptr - bottom);
    f.fn_ctx = 0;
    f.saved_values = 0;
    f.fn_cell = NO_CELL;
    arguments = top_ptr;
    return f;
}
}  // namespace detail

// Frames in use and access to them (0 is the bottom frame).
inline int32_t frame_count() { return detail::frame_top; }
Frame* frame_at(int32_t index);
inline Frame* top_frame() { return frame_at(frame_count() - 1); }

// Opening: a frame named by a word (any word kind; null for an unnamed frame),
// whose callee's arguments start at the current top.
inline void mark_native(const Cell* name) { detail::open(NATIVE, name); }
inline void mark_try(const Cell* name) { detail::open(TRY, name); }
inline void mark_try_all(const Cell* name) { detail::open(TRY_ALL, name); }
inline void mark_catch(const Cell* name) { detail::open(CATCH, name); }
// library: the loop is the library's code's (see LIBRARY).
inline void mark_loop(const Cell* name, bool library = false) {
    Frame& f = detail::open(LOOP, name);
    f.flags = uint8_t(f.flags | (library ? LIBRARY : 0));
}
inline void mark_interp_native(const Cell* name) { detail::open(INTERP_NATIVE, name); }
inline void mark_interp_block(const Cell* name) { detail::open(INTERP_BLOCK, name); }
// Type 1: saves the context's values pointer, put back when the
// frame closes. ctx 0: no context.
inline void mark_func_ctx(const Cell* name, uint32_t ctx) {
    Frame& f = detail::open(FUNCTION, name);
    f.fn_ctx = ctx;
    if (ctx) f.saved_values = memory::buffer_of(ctx)->cells()->data2;  // the context cell's values
}
// The evaluator's call frame, filled in one pass: INTERP_FUNC switching the
// function context ctx, or INTERP_NATIVE (ctx 0); the callee's arguments start
// at `base` (the top, or the cell below it for an infix call's left operand);
// fn is the data-stack cell holding the called value, or null.
inline void mark_interp_call(uint8_t type, const Cell* name, uint32_t ctx, const Cell* fn, Cell* base) {
    if (detail::frame_top >= detail::frame_limit) [[unlikely]]
        detail::overflow_frames();
    Frame& f = detail::frames[detail::frame_top++];
    f.type = type;
    f.flags = detail::opener;
    f.symbol = int32_t(name->data2);
    f.name_ctx = name->data1;
    f.name_slot = int32_t(name->data3);
    f.caller_args = uint32_t(arguments - bottom);
    f.inner = uint32_t(base - bottom);
    f.fn_ctx = ctx;
    f.saved_values = ctx ? memory::buffer_of(ctx)->cells()->data2 : 0;
    f.fn_cell = fn ? uint32_t(fn - bottom) : NO_CELL;
    arguments = base;
}
// A try frame for a C++ region that catches errors: `arguments` is left as it
// is, so the code inside still addresses its own call's cells.
void mark_region();
// Moves the current call's arguments base (an infix call whose left operand
// is already on the stack, a callback whose arguments were pushed first).
inline void set_arguments(Cell* base) {
    arguments = base;
    if (detail::frame_top > 0) detail::frames[detail::frame_top - 1].inner = uint32_t(base - bottom);
}
// The data-stack cell that holds the value being called by the top frame.
inline void set_function_cell(const Cell* cell) {
    if (detail::frame_top > 0) detail::frames[detail::frame_top - 1].fn_cell = uint32_t(cell - bottom);
}

// Return targets.
inline void set_return_flag(bool on) {
    if (detail::frame_top == 0) return;
    Frame& f = detail::frames[detail::frame_top - 1];
    f.flags = on ? uint8_t(f.flags | RETURN_TARGET) : uint8_t(f.flags & ~RETURN_TARGET);
}
// Flags the frame below the top unless it is flagged already; answers
// whether it changed it.
bool flag_caller();
inline void clear_return_flag(int32_t frame) {
    if (frame >= 0 && frame < detail::frame_top) detail::frames[frame].flags &= uint8_t(~RETURN_TARGET);
}
// Marks the top frame as opened by the evaluator.
void mark_interp();
// Whether the frame (the top when -1), or with only_top false any frame below
// it, was opened by the evaluator.
bool eval_q(int32_t frame, bool only_top);

// Closing (each pops one frame and restores the caller's `arguments`; a type
// 1 frame first puts its context's values pointer back).
namespace detail {
// Puts back the values pointer that a type 1 frame switched.
inline void restore_context(const Frame& f) {
    if (f.kind() == FUNCTION && f.fn_ctx) memory::buffer_of(f.fn_ctx)->cells()->data2 = f.saved_values;
}
}  // namespace detail
inline void unwind() {  // top: callee's arguments + 1 (its result stays pushed)
    Frame& f = detail::frames[--detail::frame_top];
    if (f.fn_ctx) detail::restore_context(f);
    Cell* callee = arguments;
    arguments = bottom + f.caller_args;
    top_ptr = callee + 1;
}
inline void unwind_last() {  // the same, and the callee's slot 0 is copied into the caller's
    Frame& f = detail::frames[--detail::frame_top];
    if (f.fn_ctx) detail::restore_context(f);
    Cell* callee = arguments;
    arguments = bottom + f.caller_args;
    copy_cell(callee, arguments);
    top_ptr = callee + 1;
}
inline void unwind_func() { unwind(); }
inline void unwind_func_last() { unwind_last(); }
void unwind_func_reset();  // top: the caller's arguments base
void unroll_frame();       // top: the caller's arguments base
void unwind_discard();     // top: the callee's arguments base (both go to the bottom once empty)
// Closes a region frame: the top stays where it is.
void close_region();
// Closes frames (putting their contexts back) until `depth` frames remain; the
// data-stack pointers are left to the caller. For receivers that find frames
// still open above them (a code thrown without the throw routines).
void unwind_to(int32_t depth);

// ---- cells -------------------------------------------------------------------------------------

// Reserves a new cell on top (contents not cleared). At the limit it opens
// the reserve and raises internal/stack-overflow; the cells below the top stay
// as they are (they may be the receiving call's own).
namespace detail {
[[noreturn]] void overflow_cells();
}
inline Cell* push_cell() {
    if (top_ptr >= limit) [[unlikely]]
        detail::overflow_cells();
    return top_ptr++;
}
inline Cell* push(const Cell* value) {
    Cell* c = push_cell();
    copy_cell(value, c);
    return c;
}
void pop(int32_t n);  // never below the bottom
// The top cell (the bottom cell when the stack is empty).
inline Cell* top() { return top_ptr > bottom ? top_ptr - 1 : bottom; }
inline Type top_type() { return top()->type(); }
void set_last(const Cell* value);
void set_last_reset(const Cell* value);
// Drops the current call's cells and answers the arguments base.
Cell* reset();
// Keeps only slot 0.
inline void keep() { top_ptr = arguments + 1; }
// A topmost error! goes into slot 0; then only slot 0 is kept.
void keep_error();
inline int32_t depth() { return int32_t(top_ptr - bottom); }

// ---- names ---------------------------------------------------------------------------------------

// The words naming anonymous frames, and the answer when no frame is named.
const Cell* body_word();
const Cell* anon_word();
const Cell* not_found_word();

// The name word (rebound to its frame's context) of the innermost named frame;
// while a throw travels, the name at its first throw (then forgotten);
// <not-found> when no frame is named.
Cell get_call_name();
// Forgets the first throw's name and expression (`catch` caught the throw).
void forget_throw_position();
// For every named frame from the top down to the bottom frame (excluded): the
// name word (bound to the frame's function context, else the global context)
// and an integer!, the frame's caller arguments base counted from the bottom.
void collect_calls(Cell* block);
// The names of the named frames from the bottom up to (not including) frame
// `end`, each only when level is above 1 or its value is a function!.
void collect_call_names(int32_t level, Cell* block, int32_t end);
// The same names formed into a mold buffer, one blank between two; answers
// the budget left.
int32_t form_call_names(int32_t level, Cell* buffer, int32_t end, int32_t limit);

// ---- throwing --------------------------------------------------------------------------------------

// Raises an error value: fills its `where` and `stack` fields, closes the
// frames down to the nearest try frame or barrier (that one too), pushes the
// error and throws it. With frames open and none to receive it, the error is
// printed and the process ends with status -2. Never returns.
[[noreturn]] void throw_error(Cell* error);
// break (continue false) and continue: the value given (null: unset) becomes
// the loop's result. The target is the nearest loop frame opened by code of
// the same side as the code that breaks (the user's or the library's): a
// block the user hands to a library function breaks out of the user's loop,
// never out of one the library runs it in. Raises throw/break or
// throw/continue when no such loop frame lies below or a barrier comes first.
Flow throw_break(bool continue_, const Cell* value);
// return (a value) and exit (null value: unset) to the nearest return target;
// from_do also considers the top frame. The user's code passes the calls of
// library functions by (they are no return target for it, as compiled library
// code is not); the library's code returns from its own calls. Raises
// throw/return.
Flow throw_return(bool from_do, const Cell* value);
// The same for the evaluator, which throws them with no frame of their own:
// answers NORMAL, having done nothing, when no target lies below (the native,
// called as usual, then raises the error with its own name).
Flow leave_frameless(bool loop, bool continue_, const Cell* value);
// throw: to the nearest catch frame, where the value and its name (none when
// unnamed) are pushed. Raises throw/throw with the value.
Flow throw_value(const Cell* value, const Cell* name);

// ---- life -----------------------------------------------------------------------------------------------

// Derives the pointers from the data-stack block's node and empties both stacks.
void init(uint32_t node);
// Empties both stacks (the console between lines; tests).
void reset_all();

}  // namespace kro::stack
