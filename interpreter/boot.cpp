#include "interpreter/boot.hpp"

#include <cstdio>
#include <vector>
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
#include "foundation/ownership.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/boot_steps.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/flow.hpp"
#include "interpreter/routines.hpp"
#include "interpreter/stack.hpp"
#include "io/krobin.hpp"
#include "io/lexer.hpp"

// The boot data, when the build linked it in (boot_data.S of the final
// executable); a first-stage executable has none and boots from the sources.
extern "C" {
extern const uint8_t kro_boot_data[] __attribute__((weak));
extern const uint8_t kro_boot_data_end[] __attribute__((weak));
}

namespace kro::boot {

namespace {
// Read as data by the natives' initialisation, never evaluated.
constexpr std::string_view SPEC_FILE = "library/natives.kro";
// The source that builds `system`; its objects' class ids are fixed.
constexpr std::string_view SYSTEM_FILE = "library/system.kro";
// The values of the running process: evaluated last, at every start.
constexpr std::string_view START_UP_FILE = "library/start-up.kro";

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

void install() { routines::add("make-routine", &make_routine); }
KRO_ROUTINE_GROUP(install);

void define_make_routine() {
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

// Evaluates one source; an error ends the process.
void run_source(const embedded::Source* src) {
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

// The cell of an object's field (found without regard to case), or null.
Cell* field(const Cell* obj, const char* name) {
    if (!obj || !obj->is(TYPE_OBJECT)) return nullptr;
    int32_t i = context::find_symbol(obj->data1, symbol::make(name), true);
    Cell* values = i < 0 ? nullptr : context::values(obj->data1);
    return values ? values + i : nullptr;
}

// A field of system's sub-object set to the value as the object's making sets
// it: no change flag, and a series owned by an owner object as its other
// fields' are.
void set_system_field(const char* object, const char* name, const Cell* value) {
    Cell* obj = field(context::get_global(symbol::make("system")), object);
    Cell* slot = field(obj, name);
    if (!slot) return;
    Cell o = *obj;
    *slot = *value;
    if (context::cell_of(o.data1)->header & ownership::FLAG_OWNER) {
        Cell w = *context::word_at(o.data1, int32_t(slot - context::values(o.data1)));
        ownership::bind(slot, &o, &w);
    }
}

// What depends on the running process, once the environment is built: the
// current directory and the command line in `system`, then the start-up's source.
void start_up() {
    uint32_t caught = frame::catch_region(code::ERROR, [&] {
        gc::Rooted code, dir, line;
        static const char text[] = "to-kro-file get-current-dir";
        scan(code.get(), text, sizeof text - 1);
        interp::do_block(code.get());
        dir.cell = *stack::top();
        stack::pop(1);
        set_system_field("options", "path", dir.get());
        routines::command_line(line.get());
        set_system_field("script", "args", line.get());
    });
    if (caught) boot_failed(START_UP_FILE.data());
    if (const embedded::Source* src = embedded::find(START_UP_FILE)) run_source(src);
}

// The boot data into the environment: decoded after the prelude, then what
// the data keeps beside the values is put back in place.
void load_data(const Data& d) {
    std::vector<Cell> pre = steps::prelude();
    Cell* top = stack::top_ptr;
    if (frame::catch_region(code::ERROR, [&] { krobin::load(d.bytes, d.size, false, &pre); })) {
        stack::top_ptr = top;
        boot_failed("the boot data");
    }
    auto kept = [&](uint32_t k) -> const Cell* {
        const Cell* c = krobin::boot_literal(int32_t(pre.size() + k));
        return c && c->is(TYPE_BLOCK) ? c : nullptr;
    };
    const Cell* owned = kept(steps::OWNERSHIP);
    const Cell* state = kept(steps::STATE);
    const Cell* calls = krobin::boot_literal(int32_t(pre.size() + steps::LIBRARY_CALLS));
    if (!owned || !state || block::length(state) < int32_t(steps::STATE_COUNT) || !calls ||
        !calls->is(TYPE_OBJECT)) {
        std::fprintf(stderr, "boot: the boot data lacks its state\n");
        std::exit(254);
    }
    Cell list = *owned;
    for (int32_t i = 0; i + 2 < block::length(&list); i += 3)
        ownership::restore(block::at(&list, i), block::at(&list, i + 1), block::at(&list, i + 2));
    // the hooks' own objects took their ids at system's making: the counter
    // goes on from where the first stage left it
    uint32_t counter = block::at(state, steps::BOOT_COUNTER)->data2;
    routines::install_system_hooks();
    object::set_boot_counter(counter);
    steps::set_library_calls(*calls);
}

}  // namespace

namespace steps {

void begin() {
    routines::init();
    running_flag = true;
    object::use_boot_ids(true);
    function::library_bodies = true;
    define_make_routine();
}

void run_sources() {
    for (const embedded::Source* src = embedded::all(); src->name; src++)
        if (src->name != SPEC_FILE && src->name != START_UP_FILE) run_source(src);
}

std::vector<Cell> prelude() {
    int32_t n = context::word_count(context::global);
    const Cell* values = context::values(context::global);
    std::vector<Cell> cells(values, values + n);
    const Cell* catalog = error::catalog();
    cells.push_back(catalog ? *catalog : none::value);
    // what the system object calls its words: the global context's own object
    Cell obj = *object::push_value(context::global, uint32_t(-1), 0);
    stack::pop(1);
    cells.push_back(obj);
    return cells;
}

}  // namespace steps

bool running() { return running_flag; }

namespace {
Data given{nullptr, 0};
}  // namespace

void set_data(const uint8_t* bytes, size_t size) { given = {bytes, size}; }

Data data() {
    if (given.bytes) return given;
    if (!kro_boot_data || !kro_boot_data_end) return {nullptr, 0};
    return {kro_boot_data, size_t(kro_boot_data_end - kro_boot_data)};
}

void run() {
    steps::begin();
    if (Data d = data(); d.size) load_data(d);
    else {
        steps::run_sources();
        steps::bind_library_calls();
    }
    start_up();
    context::set_global(make_routine_symbol(), &unset::value);
    function::library_bodies = false;
    object::use_boot_ids(false);
    running_flag = false;
}

}  // namespace kro::boot
