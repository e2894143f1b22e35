// Raising builds the error! value from the catalog and throws it, running out
// of memory too: a refused page request opens the arena's kept room first
// (memory.cpp), so that each such error is one of its own, with its near and
// where. When even the room cannot hold it, the one made at start is raised.
// Two cases cannot build one and record the error by name only: a raise before
// the catalog exists (early start-up), and a raise while an error is being
// built more than one level deep.
#include "foundation/fire.hpp"

#include "datatypes/error.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"

namespace kro {

namespace {

RaisedError last;
int building = 0;  // errors being built right now (a raise inside a raise)
constexpr int BUILD_DEPTH = 2;

struct Building {
    Building() { building++; }
    ~Building() { building--; }
};

std::string spelling(const Cell* w) {
    if (!word::any_word_type(w->type())) return "";
    return std::string(symbol::name(int32_t(w->data2)));
}

void default_throw(Cell* err) {
    Cell name = args::call_name();
    if (word::any_word_type(name.type())) error::get_where(err, &name);
    *error::field(err, error::STACK) = Cell{uint32_t(TYPE_INTEGER), 0, 0, 0};  // no call frames
    frame::throw_code(code::ERROR);
}

}  // namespace

namespace raise {
void (*throw_error)(Cell* error) = &default_throw;
void (*trace_error)(const Cell* error) = nullptr;
}  // namespace raise

void fire(const char* category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    fire_near(nullptr, category, id, arg1, arg2, arg3);
}

void fire_near(const Cell* near, const char* category, const char* id, const Cell* arg1, const Cell* arg2,
               const Cell* arg3) {
    int nargs = 0;
    for (const Cell* a : {arg1, arg2, arg3}) {
        if (!a) break;
        nargs++;
    }
    if (!error::catalog_ready() || building >= BUILD_DEPTH) {
        last.category = category;
        last.id = id;
        last.nargs = nargs;
        const Cell* given[3] = {arg1, arg2, arg3};
        for (int i = 0; i < 3; i++) last.args[i] = i < nargs ? *given[i] : none::value;
        if (Cell* slot = error::raised_slot()) *slot = none::value;
        frame::throw_code(code::ERROR);
    }
    Cell* slot = error::raised_slot();
    {
        Building guard;
        gc::Rooted a1(arg1 ? *arg1 : none::value), a2(arg2 ? *arg2 : none::value), a3(arg3 ? *arg3 : none::value);
        gc::Rooted n(near ? *near : none::value);
        Cell cw{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(category)), uint32_t(-1)};
        Cell iw{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(id)), uint32_t(-1)};
        Cell* top = stack::top_ptr;
        Cell* err = error::create(&cw, &iw, arg1 ? a1.get() : nullptr, arg2 ? a2.get() : nullptr,
                                  arg3 ? a3.get() : nullptr);
        if (near) *error::field(err, error::NEAR) = n.cell;
        *slot = *err;
        stack::top_ptr = top;
    }
    last.category = spelling(error::field(slot, error::TYPE));
    last.id = spelling(error::field(slot, error::ID));
    last.nargs = nargs;
    for (int i = 0; i < 3; i++) last.args[i] = *error::field(slot, error::Field(error::ARG1 + i));
    if (raise::trace_error) {
        uint32_t pending = runtime_context.thrown_code;
        runtime_context.thrown_code = 0;
        raise::trace_error(slot);
        runtime_context.thrown_code = pending;
    }
    raise::throw_error(slot);
    frame::throw_code(code::ERROR);
}

void fire_spare_no_memory() {
    // Raising it may end in a refusal too (forming it for a report): that
    // throws it by name only, so that it cannot raise itself without end.
    static bool raising = false;
    struct Raising {
        Raising() { raising = true; }
        ~Raising() { raising = false; }
    };
    last.category = "internal";
    last.id = "no-memory";
    last.nargs = 0;
    for (Cell& a : last.args) a = none::value;
    Cell* slot = error::raised_slot();
    Cell* spare = error::spare_no_memory();
    if (raising || !slot || !spare || !spare->is(TYPE_ERROR)) {
        if (slot) *slot = none::value;
        frame::throw_code(code::ERROR);
    }
    Raising guard;
    // Only cells are written: nothing here allocates, its stack included.
    *error::field(spare, error::NEAR) = error::current_expression();
    *error::field(spare, error::WHERE) = none::value;
    *error::field(spare, error::STACK) = *error::spare_no_memory_calls();
    *slot = *spare;
    raise::throw_error(slot);
    frame::throw_code(code::ERROR);
}

const Cell* raised_error() {
    const Cell* slot = error::raised_slot();
    return slot ? slot : &none::value;
}

const RaisedError& last_raised() { return last; }

}  // namespace kro
