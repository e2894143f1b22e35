#include "interpreter/natives.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/native.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "foundation/embedded.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "interpreter/actions.hpp"
#include "io/lexer.hpp"

namespace kro::natives {

namespace {

constexpr const char* SPEC_FILE = "library/natives.kro";

// Filled at static initialisation (zero-initialised before any constructor runs).
constexpr int MAX_GROUPS = 64;
InstallFn groups[MAX_GROUPS];
int group_count;

interp::NativeFn fns[SLOTS + 1];  // what each slot calls; null: the stand-in
bool specs_loaded = false;

// Every datatype's name by id, the ones not registered yet included, so that
// the standard typesets hold their members from the start.
constexpr const char* TYPE_NAMES[] = {
    nullptr,     "datatype!", "unset!",     "none!",     "logic!",     "block!",     "paren!",
    "string!",   "file!",     "url!",       "char!",     "integer!",   "float!",     "symbol!",
    "context!",  "word!",     "set-word!",  "lit-word!", "get-word!",  "refinement!", "issue!",
    "native!",   "action!",   "op!",        "function!", "path!",      "lit-path!",  "set-path!",
    "get-path!", "routine!",  "bitset!",    "triple!",   "object!",    "typeset!",   "error!",
    "vector!",   "hash!",     "pair!",      "percent!",  "tuple!",     "map!",       "binary!",
    "series!",   "time!",     "tag!",       "email!",    "handle!",    "date!",      "port!",
    "money!",    "ref!",      "point2D!",   "point3D!",  "image!",     "event!",
};
constexpr int32_t TYPE_NAME_COUNT = int32_t(sizeof(TYPE_NAMES) / sizeof(TYPE_NAMES[0]));
static_assert(TYPE_NAME_COUNT == TYPE_EVENT + 1, "one name per datatype id");

std::string molded(const Cell* value) {
    Cell v = *value, buffer;
    string::make_at(&buffer, 64, 1);
    actions::mold(&v, &buffer, false, false, true, nullptr, mold::NO_LIMIT, 0);
    return string::to_utf8(&buffer);
}

[[noreturn]] void build_fault(const char* what, const Cell* near) {
    std::string text = near ? molded(near) : std::string();
    std::fprintf(stderr, "%s: %s %s\n", SPEC_FILE, what, text.c_str());
    rt_error::fatal(98, KRO_CAPTURE_SITE());
}

}  // namespace

// ---- groups ----------------------------------------------------------------------------------

Group::Group(InstallFn install) {
    if (group_count >= MAX_GROUPS) rt_error::fatal(98, KRO_CAPTURE_SITE());
    groups[group_count++] = install;
}

void set_fn(int32_t slot, interp::NativeFn fn) {
    if (slot < 1 || slot > FILLED || !fn) rt_error::fatal(98, KRO_CAPTURE_SITE());
    if (!specs_loaded) {
        if (fns[slot]) rt_error::fatal(98, KRO_CAPTURE_SITE());  // two groups claim the slot
        fns[slot] = fn;
        return;
    }
    fns[slot] = fn;
    interp::register_native(slot, fn, native::native_spec(slot));
}

bool implemented(int32_t slot) { return slot >= 1 && slot <= FILLED && fns[slot] != nullptr; }

Flow not_done(const int32_t*) { fire("internal", "not-done"); }

int32_t float_to_int(const Cell* value) {
    if (value->is(TYPE_INTEGER)) return int32_t(value->data2);
    double d = value->get_float();
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) {
        Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_INTEGER), 0, 0};
        fire("script", "type-limit", &dt);
    }
    return int32_t(d);
}

// ---- reading the specs -------------------------------------------------------------------------

namespace {

int32_t type_id_of(int32_t symbol) {
    std::string_view name = symbol::name(symbol);
    for (int32_t id = 1; id < TYPE_NAME_COUNT; id++)
        if (name == TYPE_NAMES[id]) return id;
    return 0;
}

// make typeset! [members]: datatype words and typesets defined above.
void make_typeset(const Cell* members, Cell* out) {
    *out = typeset::make_empty();
    for (int32_t i = 0; i < block::length(members); i++) {
        Cell m = *block::at(members, i);
        if (!m.is(TYPE_WORD)) build_fault("a typeset member must be a word:", &m);
        // a typeset word (series! is one, over the abstract datatype's word), else a datatype
        const Cell* v = context::get_global(int32_t(m.data2));
        if (v && v->is(TYPE_TYPESET)) {
            out->data1 |= v->data1;
            out->data2 |= v->data2;
            out->data3 |= v->data3;
        } else if (int32_t id = type_id_of(int32_t(m.data2))) {
            typeset::set(out, uint32_t(id));
        } else {
            build_fault("unknown typeset member", &m);
        }
    }
}

// make native! / make action! [[spec] slot]
void make_coded(Type type, const Cell* body, Cell* out) {
    if (!body->is(TYPE_BLOCK) || block::length(body) != 2 || !block::at(body, 0)->is(TYPE_BLOCK) ||
        !block::at(body, 1)->is(TYPE_INTEGER))
        build_fault("expected [[spec] slot] after make", body);
    gc::Rooted spec(*block::at(body, 0));
    int32_t slot = int32_t(block::at(body, 1)->data2);
    if (type == TYPE_NATIVE) {
        if (slot < 1 || slot > FILLED || native::native_entry(slot)) build_fault("bad or repeated native slot", body);
        interp::register_native(slot, fns[slot] ? fns[slot] : &not_done, spec.get());
    } else {
        if (slot < 1 || slot > ACTION_COUNT || native::action_entry(slot)) build_fault("bad or repeated action slot", body);
        interp::register_action(slot, spec.get());
    }
    gc::Rooted pair;
    block::make_at(pair.get(), 2);
    *block::add_cell(pair.get()) = spec.cell;
    *block::add_cell(pair.get()) = Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(slot), 0};
    Cell proto{uint32_t(TYPE_DATATYPE), uint32_t(type), 0, 0};
    native::make(&proto, pair.get(), type);
    *out = proto;
    // the argument typesets are fixed now, from the typeset words as this
    // file defines them: redefining a typeset word later changes no native
    interp::arg_list(out);
}

// make op! :word
void make_op(const Cell* of, Cell* out) {
    if (!of->is(TYPE_GET_WORD)) build_fault("expected :word after make op!", of);
    const Cell* fn = context::get_global(int32_t(of->data2));
    if (!fn || !(fn->is(TYPE_NATIVE) || fn->is(TYPE_ACTION))) build_fault("an operator needs a native or action:", of);
    Cell wrapped = *fn;
    Cell proto{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_OP), 0, 0};
    native::make(&proto, &wrapped, TYPE_OP);
    *out = proto;
}

bool is_word(const Cell* c, Type t, const char* spelling) {
    return c->is(t) && symbol::name(int32_t(c->data2)) == spelling;
}

void read_specs() {
    const embedded::Source* src = embedded::find(SPEC_FILE);
    if (!src) build_fault("not embedded", nullptr);
    gc::Rooted code;
    lexer::ScanArgs scan;
    lexer::scan_utf8(code.get(), reinterpret_cast<const uint8_t*>(src->text), src->size, scan, nullptr);
    int32_t n = block::length(code.get());
    int32_t i = 0;
    auto at = [&](int32_t k) -> Cell* {
        if (k >= n) build_fault("entry cut short at the end", nullptr);
        return block::at(code.get(), k);
    };
    while (i < n) {
        // the target: word: or set 'word
        Cell target = *at(i);
        if (target.is(TYPE_SET_WORD)) {
            i++;
        } else if (is_word(&target, TYPE_WORD, "set") && at(i + 1)->is(TYPE_LIT_WORD)) {
            target = *at(i + 1);
            i += 2;
        } else {
            build_fault("expected a set-word:", &target);
        }
        if (!is_word(at(i), TYPE_WORD, "make")) build_fault("expected make after", &target);
        Cell kind = *at(i + 1);
        Cell* body = at(i + 2);
        gc::Rooted value;
        if (is_word(&kind, TYPE_WORD, "typeset!") && body->is(TYPE_BLOCK)) {
            make_typeset(body, value.get());
        } else if (is_word(&kind, TYPE_WORD, "native!")) {
            make_coded(TYPE_NATIVE, body, value.get());
        } else if (is_word(&kind, TYPE_WORD, "action!")) {
            make_coded(TYPE_ACTION, body, value.get());
        } else if (is_word(&kind, TYPE_WORD, "op!")) {
            make_op(body, value.get());
        } else {
            build_fault("unknown kind of entry for", &target);
        }
        context::set_global(int32_t(target.data2), value.get());
        i += 3;
    }
    for (int32_t slot = 1; slot <= FILLED; slot++)
        if (!native::native_entry(slot)) {
            Cell s{uint32_t(TYPE_INTEGER), 0, uint32_t(slot), 0};
            build_fault("no spec for native slot", &s);
        }
}

}  // namespace

void init() {
    // the datatype words hold their datatypes, as the boot data leaves them;
    // the ids are fixed, so the words of types that register later (at boot)
    // hold theirs already and the specs can name them; the internal symbol!
    // and context! stay without a value
    for (int32_t id = 1; id < TYPE_NAME_COUNT; id++) {
        if (datatype::registered(id) && std::string_view(datatype::row(id).name) != TYPE_NAMES[id])
            build_fault("a datatype's name differs from its registration:", nullptr);
        if (id == TYPE_SYMBOL || id == TYPE_CONTEXT) continue;
        Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(id), 0, 0};
        context::set_global(symbol::make(TYPE_NAMES[id]), &dt);
    }
    for (int g = 0; g < group_count; g++) groups[g]();
    read_specs();
    specs_loaded = true;
}

}  // namespace kro::natives
