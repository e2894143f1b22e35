#include "interpreter/boot.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/embedded.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/flow.hpp"
#include "interpreter/routines.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"

namespace kro::boot {

namespace {
// Read as data by the natives' initialisation, never evaluated.
constexpr std::string_view SPEC_FILE = "library/natives.kro";
// The source that builds `system`; its objects' class ids are fixed.
constexpr std::string_view SYSTEM_FILE = "library/system.kro";

bool running_flag = false;

void scan(Cell* out, const char* text, size_t size) {
    lexer::ScanArgs args;
    lexer::scan_utf8(out, reinterpret_cast<const uint8_t*>(text), size, args, nullptr);
}

// make-routine spec body: a routine! whose body names its C++ entry.
void make_routine() {
    Cell* spec = stack::arguments;
    Cell* body = stack::arguments + 1;
    const Cell* name = block::length(body) > 0 ? block::at(body, 0) : nullptr;
    int32_t code = 0;
    if (name && name->is(TYPE_WORD)) code = routines::code_of(symbol::name(int32_t(name->data2)));
    if (!code) fire("internal", "routines");
    Cell* made = routine::make_value(spec, body, code, -1, false);
    Cell r = *made;
    stack::pop(1);
    stack::set_last(&r);
}

int32_t make_routine_symbol() { return symbol::make("make-routine"); }

void define_make_routine() {
    routines::add("make-routine", &make_routine);
    gc::Rooted spec;
    static const char text[] =
        "\"Makes a routine from its spec and the name of its system-level body\" "
        "spec [block!] body [block!]";
    scan(spec.get(), text, sizeof text - 1);
    Cell* made = routine::make_value(spec.get(), nullptr, routines::code_of("make-routine"), -1, false);
    Cell r = *made;
    stack::pop(1);
    context::set_global(make_routine_symbol(), &r);
}

// The class ids that the system object and its parts carry from one run to
// the next (compiled set-paths into `system` check them).
struct Pinned {
    const char* field;  // a field of system, or null for system itself
    uint32_t id;
};
constexpr Pinned PINNED[] = {
    {nullptr, 173}, {"build", 175},   {"catalog", 181}, {"state", 205},    {"ports", 213},
    {"locale", 215}, {"options", 221}, {"script", 228},  {"standard", 230}, {"lexer", 253},
};
constexpr uint32_t LAST_PINNED = 253;

void set_class(Cell* obj, uint32_t id) {
    obj->data2 = id;
    Cell* owner = context::owner(obj->data1);
    if (owner->is(TYPE_OBJECT) && owner->data1 == obj->data1) owner->data2 = id;
}

void pin_class_ids() {
    Cell* system = context::get_global(symbol::make("system"));
    if (!system || !system->is(TYPE_OBJECT)) fire("script", "no-value", system);
    for (const Pinned& p : PINNED) {
        if (!p.field) {
            set_class(system, p.id);
            continue;
        }
        int32_t i = context::find_symbol(system->data1, symbol::make(p.field), true);
        if (i < 0) continue;
        Cell* v = context::values(system->data1) + i;
        if (v->is(TYPE_OBJECT)) set_class(v, p.id);
    }
    while (object::boot_ids() && object::next_class_id() < LAST_PINNED) {
    }
}

// A source's code, without its `Kro [...]` header.
void load_source(Cell* code, const embedded::Source* src) {
    scan(code, src->text, src->size);
    if (block::length(code) >= 2) {
        const Cell* first = block::at(code, 0);
        if (first->is(TYPE_WORD) && symbol::name(int32_t(first->data2)) == "Kro" &&
            block::at(code, 1)->is(TYPE_BLOCK))
            code->data1 += 2;
    }
    function::mark_library(code);
}

// In stress mode a collection at every safe point of the boot program would
// cost seconds in every process that starts; the boot is stressed instead at
// every STRESS_EVERY-th statement boundary, which still moves every buffer and
// node the library has made so far.
constexpr uint32_t STRESS_EVERY = 16;
uint32_t statements = 0;

// Statement by statement, with the data stack empty between two.
void run_statements(Cell* code) {
    Cell* top = stack::top_ptr;
    bool stress = gc::stress;
    gc::stress = false;
    struct Restore {
        bool stress;
        ~Restore() { gc::stress = stress; }
    } restore{stress};
    while (block::length(code) > 0) {
        flow::raise_if(interp::eval_next(code));
        stack::top_ptr = top;
        if (stress && ++statements % STRESS_EVERY == 0) {
            gc::stress = true;
            gc::safe_point();
            gc::stress = false;
        }
    }
}

[[noreturn]] void boot_failed(const char* name) {
    std::string text;
    if (Cell* err = error::raised_slot(); err && err->is(TYPE_ERROR)) {
        gc::Rooted buffer;
        string::make_at(buffer.get(), 64, 1);
        Cell e = *err;
        actions::form(&e, buffer.get(), nullptr, mold::NO_LIMIT);
        text = string::to_utf8(buffer.get());
    } else {
        text = last_raised().category + "/" + last_raised().id;
    }
    std::fprintf(stderr, "boot: %s failed:\n%s\n", name, text.c_str());
    std::exit(254);
}

}  // namespace

bool running() { return running_flag; }

void run() {
    routines::init();
    running_flag = true;
    object::use_boot_ids(true);
    function::library_bodies = true;
    define_make_routine();
    for (const embedded::Source* src = embedded::all(); src->name; src++) {
        if (src->name == SPEC_FILE) continue;
        Cell* top = stack::top_ptr;
        uint32_t caught = frame::catch_region(code::ERROR, [&] {
            gc::Rooted code;
            load_source(code.get(), src);
            run_statements(code.get());
            if (src->name == SYSTEM_FILE) {
                pin_class_ids();
                routines::install_system_hooks();
            }
        });
        stack::top_ptr = top;
        if (caught) boot_failed(src->name);
    }
    context::set_global(make_routine_symbol(), &unset::value);
    function::library_bodies = false;
    object::use_boot_ids(false);
    running_flag = false;
}

}  // namespace kro::boot
