#include "interpreter/tracer.hpp"

#include "datatypes/block.hpp"
#include "datatypes/error.hpp"
#include "datatypes/function.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/routines.hpp"
#include "interpreter/stack.hpp"

namespace kro::trace {

bool tracing = false;
bool installed = false;
bool muted = false;

namespace {

int32_t no_callbacks() { return 0; }

Cell tracer_cell{uint32_t(TYPE_NONE), 0, 0, 0};
uint32_t event_mask = DEFAULT_MASK;
int32_t local_count = 0;

constexpr const char* EVENT_NAMES[] = {"init",  "end",   "prolog", "epilog", "enter", "exit",  "open",  "return",
                                       "fetch", "push",  "set",    "call",   "error", "throw", "catch", "expr"};
constexpr int EVENTS = 16;
int32_t event_symbols[EVENTS];
Cell callback_word{uint32_t(TYPE_WORD), 0, 0, uint32_t(-1)};
int32_t internal_symbol = 0, overflow_symbol = 0;

int bit_index(uint32_t event) { return __builtin_ctz(event); }

// The mask a tracer's body asks for: the OR of the event words of the block it
// begins with (the default mask when it begins with none).
uint32_t mask_of(const Cell* fn) {
    Cell body = memory::buffer_of(fn->data3)->cells()[function::BODY];
    if (!body.is(TYPE_BLOCK) || block::length(&body) == 0) return DEFAULT_MASK;
    Cell first = *block::at(&body, 0);
    if (!first.is(TYPE_BLOCK) || block::length(&first) == 0) return DEFAULT_MASK;
    uint32_t mask = 0;
    for (int32_t i = 0; i < block::length(&first); i++) {
        Cell w = *block::at(&first, i);
        if (!w.is(TYPE_WORD)) continue;
        for (int e = 0; e < EVENTS; e++)
            if (symbol::same_word(int32_t(w.data2), event_symbols[e])) mask |= 1u << e;
    }
    return mask;
}

// Where the frame pair counts from.
Cell frame_pair() {
    return Cell{uint32_t(TYPE_PAIR), 0, uint32_t(stack::arguments - stack::bottom),
                uint32_t(stack::top_ptr - stack::bottom)};
}

int32_t offset_in(const Cell& code, int32_t position) {
    if (position < 0 || !(code.is(TYPE_BLOCK) || code.is(TYPE_PAREN) || code.is(TYPE_PATH) ||
                          code.is(TYPE_LIT_PATH) || code.is(TYPE_SET_PATH) || code.is(TYPE_GET_PATH) ||
                          code.is(TYPE_HASH)))
        return -1;
    int32_t head = int32_t(code.data1);
    int32_t tail = int32_t(memory::buffer_of(code.data2)->used_bytes() / sizeof(Cell));
    if (position < head || position > tail) return -1;
    return position - head;
}

void mark_tracer() { collector::mark_cells(&tracer_cell, &tracer_cell + 1); }

}  // namespace

int32_t (*callback_bits)() = &no_callbacks;

Flow fire(uint32_t event, const Cell* code, int32_t position, const Cell* ref, const Cell* value) {
    if (muted || !(event_mask & event) || !tracer_cell.is(TYPE_FUNCTION)) return Flow::NORMAL;
    // the library's own code runs untraced; the user code it evaluates is traced
    if (code && series::is_block_kind(code->type()) && code->data2 &&
        (memory::buffer_of(code->data2)->flags & memory::FLAG_LIBRARY))
        return Flow::NORMAL;
    // everything is copied before anything is allocated
    Cell c = code ? *code : none::value;
    Cell r = ref ? *ref : none::value;
    Cell v = value && value->type() != TYPE_NONE_ID ? *value : none::value;
    Cell frame = frame_pair();
    Cell offset{uint32_t(TYPE_INTEGER), 0, uint32_t(offset_in(c, position)), 0};
    Cell* saved_top = stack::top_ptr;
    stack::push(&unset::value);  // keeps the value being built below
    stack::mark_func_ctx(&callback_word, tracer_cell.data1);
    Cell name{uint32_t(TYPE_WORD), 0, uint32_t(event_symbols[bit_index(event)]), uint32_t(-1)};
    stack::push(&name);
    stack::push(&c);
    stack::push(&offset);
    stack::push(&v);
    stack::push(&r);
    stack::push(&frame);
    if (local_count > 0) function::push_refinement_defaults(local_count);
    tracing = false;
    Flow f;
    {
        // however the tracer ends, the traced code goes on traced: an error or a
        // throw it raised may be caught there, and the run's end event must come
        struct Resume {
            ~Resume() { tracing = installed; }
        } resume;
        f = interp::call_function(&tracer_cell, 0, 0);
    }
    if (f != Flow::NORMAL) return f;
    stack::unwind_func();
    stack::top_ptr = saved_top;
    return Flow::NORMAL;
}

bool install(const Cell* tracer) {
    if (installed) return false;
    tracer_cell = *tracer;
    local_count = function::count_locals(tracer->data2, 0, false);
    event_mask = mask_of(tracer);
    installed = tracing = true;
    return true;
}

Flow fire_init() {
    if (!tracing) return Flow::NORMAL;
    return fire(INIT, nullptr, -1, nullptr, nullptr);
}

Flow finish(bool contained) {
    // the tracer is removed also when its own end event raises an error
    struct Remove {
        ~Remove() {
            tracer_cell = none::value;
            installed = tracing = muted = false;
        }
    } remove;
    if (!installed) return Flow::NORMAL;
    // the end event comes also after `trace false` and after a tracer that ended the run
    muted = false;
    tracing = true;
    if (!contained) return fire(END, nullptr, -1, nullptr, nullptr);
    // The frames above the receiver of the run's own exit are closed already:
    // whatever the tracer raises or throws here would look for its receiver
    // among them. The event runs in a frame that receives its errors and stops
    // its throws (they become errors there), and the stacks are put back.
    int32_t depth = stack::frame_count();
    Cell* args = stack::arguments;
    Cell* top = stack::top_ptr;
    stack::mark_try_all(&callback_word);  // outside: an overflow here is not this frame's
    try {
        Flow ignored = fire(END, nullptr, -1, nullptr, nullptr);
        (void)ignored;
    } catch (const Thrown&) {
        uint32_t c = runtime_context.thrown_code;
        if (c != code::ERROR && !flow::is_status(c)) throw;
        runtime_context.thrown_code = 0;
    }
    if (stack::frame_count() > depth) stack::unwind_to(depth);
    stack::arguments = args;
    stack::top_ptr = top;
    return Flow::NORMAL;
}

void finish_unwinding() {
    uint32_t pending = runtime_context.thrown_code;
    Cell* slot = error::raised_slot();
    gc::Rooted raised(slot ? *slot : none::value);
    finish(true);
    if (Cell* s = error::raised_slot()) *s = raised.cell;
    runtime_context.thrown_code = pending;
}

const Cell* tracer() { return &tracer_cell; }
uint32_t mask() { return event_mask; }

void trace_error(const Cell* error) {
    if (!tracing) return;
    Cell e = *error;
    // raising a stack overflow must not open frames again
    if (symbol::same_word(error::get_type(&e), internal_symbol) &&
        symbol::same_word(error::get_id(&e), overflow_symbol))
        return;
    flow::raise_if(fire(ERROR, nullptr, -1, nullptr, &e));
}

namespace {

// `trace true` / `trace false` inside a traced run; nothing outside one.
void set_tracing() {
    if (installed) muted = !logic::is_true(stack::arguments);
    stack::set_last(&unset::value);
}

// Whether a function belongs to the library (its frames are not the user's calls).
void library_function_q() {
    Cell b = logic::make(routines::library_q(stack::arguments));
    stack::set_last(&b);
}

void install_routines() {
    routines::add("_set-tracing", &set_tracing);
    routines::add("_library-function?", &library_function_q);
}
KRO_ROUTINE_GROUP(install_routines);

}  // namespace

void init() {
    for (int e = 0; e < EVENTS; e++) event_symbols[e] = symbol::make(EVENT_NAMES[e]);
    callback_word.data2 = uint32_t(symbol::make("<interp-callback>"));
    internal_symbol = symbol::make("internal");
    overflow_symbol = symbol::make("stack-overflow");
    gc::add_mark_callback(&mark_tracer);
}

}  // namespace kro::trace
