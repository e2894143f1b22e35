// Tracer events: the evaluator reports what it does to one tracer function
// (installed by `do/trace`), called with six arguments per event: the event
// word, the code (block or path, or none), the offset of the position in it
// (-1 when none), the value, the reference (for set, prolog, epilog, return
// and call) and a pair! of the data-stack indexes of `arguments` and the top.
// Only events in the tracer's mask are reported, and none while it runs.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"
#include "foundation/frame.hpp"
#include "interpreter/flow.hpp"

namespace kro::trace {

enum Event : uint32_t {
    INIT = 0x0001,
    END = 0x0002,
    PROLOG = 0x0004,
    EPILOG = 0x0008,
    ENTER = 0x0010,
    EXIT = 0x0020,
    OPEN = 0x0040,
    RETURN = 0x0080,
    FETCH = 0x0100,  // a value taken from the code: an operator, an argument, a path item, and the
                     // first value of a statement or of what a set-word or set-path is set to
    PUSH = 0x0200,
    SET = 0x0400,
    CALL = 0x0800,
    ERROR = 0x1000,
    THROW = 0x2000,
    CATCH = 0x4000,
    EXPR = 0x8000,
};
constexpr uint32_t DEFAULT_MASK = 0x1FFFF;

// Callback classes of calls back from C++ code (bit n - 1 of the n-th flag of
// system/state/callbacks).
enum Callback : int32_t { LEXER = 1, PARSE = 2, SORT = 4, CHANGE = 8, DEEP_CHANGE = 16, PORT = 0x20 };

extern bool tracing;    // events are reported (off while the tracer runs)
extern bool installed;  // a tracer is installed
// Switched off by `trace false` inside a traced run (and on again by `trace
// true`): no event reaches the tracer but the end of the run. Kept apart from
// `tracing`, which every function call puts back as it found it on return.
extern bool muted;
// The callback classes traced while tracing (system/state/callbacks/bits);
// answers 0 until the system object installs its own.
extern int32_t (*callback_bits)();

// Reports an event (callers test `tracing` first). code: the block or path
// being evaluated, or null; position: an absolute index in it, or -1; ref and
// value: null for none. A Flow still pending after the tracer ran is passed on.
Flow fire(uint32_t event, const Cell* code, int32_t position, const Cell* ref, const Cell* value);

// `do/trace`: installs the tracer (counts its locals, takes its mask from the
// block its body begins with) and answers true, or answers false and keeps
// the tracer already installed.
bool install(const Cell* tracer);
// The init event (with the current call's frame), and the end of a traced
// evaluation: the end event (a pending flow set aside by the caller), then
// the tracer is removed and both switches are off.
Flow fire_init();
// The end event, then the tracer's removal. After a run that completed, the
// frames are as the run found them: an error the event raises goes on as the
// run's, and a throw or break it makes is answered (the caller passes it on).
// After a run that left by a throw or a break, contained is set: the frames
// above its receiver are closed already, so whatever the event raises or
// throws stops in it, and the answer is normal.
Flow finish(bool contained);
// finish(true) while an error travels: the error's code and the raised error
// are put back before it goes on.
void finish_unwinding();
const Cell* tracer();
uint32_t mask();

// `do/trace` whole: runs body (answering a Flow) under the tracer; on every way
// out (a status or an error) the end event fires and the tracer it installed
// is removed. A tracer already installed is kept and body runs under it.
template <class F>
Flow traced(const Cell* tracer, F&& body) {
    if (!install(tracer)) return body();
    Flow f;
    try {
        f = fire_init();
        if (f == Flow::NORMAL) f = body();
    } catch (...) {
        finish_unwinding();
        throw;
    }
    Flow g = finish(f != Flow::NORMAL);
    return f == Flow::NORMAL ? g : f;
}

// The tracer's error event: raised errors go through it (internal/stack-overflow
// excepted). Installed as raise::trace_error.
void trace_error(const Cell* error);

void init();

}  // namespace kro::trace
