// The routines that the system object holds (system/words, the collector's
// state, the float printer's switches, the interpreter test), those of the
// codec objects (images, KROBIN), and the runtime's readers of the system
// object's fields.
#include <cstring>
#include <initializer_list>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/date.hpp"
#include "datatypes/error.hpp"
#include "datatypes/float.hpp"
#include "datatypes/function.hpp"
#include "datatypes/image.hpp"
#include "datatypes/money.hpp"
#include "datatypes/object.hpp"
#include "datatypes/port.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/platform/osinfo.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "datatypes/series.hpp"
#include "foundation/gc.hpp"
#include "foundation/registry.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/routines.hpp"
#include "interpreter/stack.hpp"
#include "interpreter/tracer.hpp"
#include "io/krobin.hpp"

namespace kro::routines {

namespace {

using namespace routines::entry;

// ---- reading the system object ------------------------------------------------------------------

// The value cell of a field of an object (by symbol), or null.
Cell* field_of(const Cell* obj, int32_t sym) {
    if (!obj || !obj->is(TYPE_OBJECT)) return nullptr;
    int32_t i = context::find_symbol(obj->data1, sym, true);
    if (i < 0) return nullptr;
    Cell* values = context::values(obj->data1);
    return values ? values + i : nullptr;
}

int32_t sym(const char* name) { return symbol::make(name); }

// The cell reached from the global `system` through the field names, or null
// when `system` or a step is not an object.
Cell* system_path(std::initializer_list<int32_t> steps) {
    static int32_t system_sym = sym("system");
    Cell* at = context::get_global(system_sym);
    for (int32_t s : steps) {
        at = field_of(at, s);
        if (!at) return nullptr;
    }
    return at;
}

// ---- system routines ------------------------------------------------------------------------------

// system/words: an object over the global context, class -1, no handlers; it
// becomes the global context's owner.
void start_up_value() {
    Cell* obj = object::push_value(context::global, uint32_t(-1), 0);
    Cell v = *obj;
    stack::pop(1);
    result(&v);
}

// The whole command line as a string! (the arguments rebuilt from argv).
void command_line() {
    Cell s;
    routines::command_line(&s);
    result(&s);
}

// The process's arguments as it received them, the program path first: a
// block of string!.
void command_arguments() {
    Cell list;
    block::make_at(&list, runtime_context.argc + 1);
    for (int32_t i = 0; i < runtime_context.argc; i++) {
        const char* a = runtime_context.argv[i] ? runtime_context.argv[i] : "";
        int32_t n = int32_t(std::strlen(a));
        Cell s;
        string::make_at(&s, uint32_t(n) + 1, 1);
        string::append_utf8(&s, a, n);
        block::ks_append(&list, &s);
    }
    result(&list);
}

// system/catalog/errors: the catalog object the runtime built at start.
void catalog_errors() { result(error::catalog()); }

// The interpreter is running user code when the code being evaluated is not
// the library's, or when a function of the user's lies on the call stack.
void interpreted_q() {
    const Cell code = interp::near_value();
    if (series::is_block_kind(code.type()) && code.data2 &&
        !(memory::buffer_of(code.data2)->flags & memory::FLAG_LIBRARY)) {
        logic_result(true);
        return;
    }
    for (int32_t i = stack::frame_count() - 1; i >= 0; i--) {
        const stack::Frame* f = stack::frame_at(i);
        if (!(f->type & stack::EVALUATED) || f->fn_cell == stack::NO_CELL) continue;
        const Cell* fn = stack::bottom + f->fn_cell;
        if (fn->is(TYPE_FUNCTION) && !library_q(fn)) {
            logic_result(true);
            return;
        }
    }
    logic_result(false);
}

void gc_active_q() { logic_result(gc::active); }
void gc_series_cycles() { integer_result(int32_t(collector::cycles())); }
void gc_nodes_cycles() { integer_result(int32_t(collector::nodes_cycles())); }

// system/options/float/on-change*: word old new.
void float_on_change() {
    const Cell* word = arg(0);
    bool on = !(arg(2)->is(TYPE_NONE) || (arg(2)->is(TYPE_LOGIC) && !logic::get(arg(2))));
    if (!word::any_word_type(word->type())) return result(&unset::value);
    int32_t s = int32_t(word->data2);
    if (symbol::same_word(s, sym("pretty?"))) floatx::pretty_print = on;
    else if (symbol::same_word(s, sym("full?"))) floatx::full_support = on;
    result(&unset::value);
}

// ---- codecs ---------------------------------------------------------------------------------------

// encode* data compact?
void krobin_encode() {
    gc::Rooted out;
    krobin::encode(arg(0), out.get(), logic::get(arg(1)));
    result(out.get());
}

// decode payload: a file! or url! is read as binary first.
void krobin_decode() {
    gc::Rooted payload(*arg(0));
    if (payload->is(TYPE_FILE) || payload->is(TYPE_URL)) {
        auto read = datatype::action<A_READ>(payload->type());
        if (!read) fire("script", "invalid-data", payload.get());
        Cell* bin = read(payload.get(), nullptr, nullptr, true, false, false, nullptr);
        payload.cell = *bin;
    }
    if (!payload->is(TYPE_BINARY)) fire("script", "invalid-data", payload.get());
    gc::Rooted out;
    krobin::decode_binary(payload.get(), out.get());
    result(out.get());
}

template <int32_t Format>
void image_encode() {
    gc::Rooted img(*arg(0)), where(*arg(1));
    image::encode(img.get(), where.get(), Format);
    result(where.get());
}

void image_decode() {
    gc::Rooted data(*arg(0)), out;
    image::decode(data.get(), out.get());
    result(out.get());
}

// ---- hooks -----------------------------------------------------------------------------------------

const Cell* money_digits() { return system_path({sym("options"), sym("money-digits")}); }
const Cell* months() {
    const Cell* m = system_path({sym("locale"), sym("months")});
    return m && m->is(TYPE_BLOCK) ? m : nullptr;
}
int32_t callback_bits() {
    const Cell* bits = system_path({sym("state"), sym("callbacks"), sym("bits")});
    return bits && bits->is(TYPE_INTEGER) ? int32_t(bits->data2) : 0;
}
Cell* (*built_state)(error::State) = nullptr;
Cell* state_field(error::State which) {
    Cell* c = system_path({sym("state"), sym(which == error::State::STACK_TRACE ? "stack-trace" : "source-files")});
    return c ? c : built_state(which);
}

void install() {
    add("start-up-value", &start_up_value);
    add("catalog-errors", &catalog_errors);
    add("command-line", &command_line);
    add("command-arguments", &command_arguments);
    add("interpreted?", &interpreted_q);
    add("gc-active?", &gc_active_q);
    add("gc-series-cycles", &gc_series_cycles);
    add("gc-nodes-cycles", &gc_nodes_cycles);
    add("float-on-change", &float_on_change);
    add("krobin-encode", &krobin_encode);
    add("krobin-decode", &krobin_decode);
    add("bmp-encode", &image_encode<0>);
    add("png-encode", &image_encode<1>);
    add("gif-encode", &image_encode<2>);
    add("jpeg-encode", &image_encode<3>);
    add("tiff-encode", &image_encode<4>);
    add("image-decode", &image_decode);
}
KRO_ROUTINE_GROUP(install);

}  // namespace

void command_line(Cell* out) {
    std::string line = platform::os::command_line(runtime_context.argc, runtime_context.argv);
    string::make_at(out, uint32_t(line.size()) + 1, 1);
    string::append_utf8(out, line.data(), int32_t(line.size()));
}

void install_system_hooks() {
    money::digits_option = &money_digits;
    date::locale_months = &months;
    trace::callback_bits = &callback_bits;
    if (!built_state) built_state = error::state_field;
    error::state_field = &state_field;
    if (Cell* errors = system_path({sym("catalog"), sym("errors")}); errors && errors->is(TYPE_OBJECT))
        error::set_catalog(errors);
    if (Cell* proto = system_path({sym("standard"), sym("error")}); proto && proto->is(TYPE_OBJECT))
        error::set_prototype(proto);
    if (Cell* p = system_path({sym("standard"), sym("port")}); p && p->is(TYPE_OBJECT)) port::set_standard_port(p);
    if (Cell* p = system_path({sym("standard"), sym("url-parts")}); p && p->is(TYPE_OBJECT)) port::set_url_parts(p);
    if (Cell* p = system_path({sym("standard"), sym("scheme")}); p && p->is(TYPE_OBJECT))
        port::set_standard_scheme(p);
    if (Cell* list = system_path({sym("locale"), sym("currencies"), sym("list")}); list && list->is(TYPE_BLOCK))
        money::set_currency_list(list);
    // the body of system/state/interpreted? names its C++ entry, which runs in its place
    if (Cell* f = system_path({sym("state"), sym("interpreted?")}); f && f->is(TYPE_FUNCTION))
        memory::buffer_of(f->data3)->cells()[function::CODE] =
            Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(routines::code_of("interpreted?")), 0};
}

}  // namespace kro::routines
