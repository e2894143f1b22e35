// A url! opened as a port: the library's URL parser (url-parser/parse-url)
// reads the url into the object of its parts, which becomes the port's spec,
// and the scheme named there is looked up in system/schemes (the name and
// scheme-object pairs that register-scheme keeps). A scheme found nowhere
// there is looked for in the runtime's own registry of native schemes.
#include <cstdint>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/port.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/url.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/routines.hpp"
#include "interpreter/stack.hpp"

namespace kro::url_port {

namespace {

Cell plain_word(const char* name) { return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(name)), uint32_t(-1)}; }

// The value of an object's field, or null when obj is not an object or has
// no such field.
const Cell* field(const Cell* obj, const char* name) {
    if (!obj || !obj->is(TYPE_OBJECT)) return nullptr;
    int32_t i = context::find_symbol(obj->data1, symbol::make(name), true);
    if (i < 0) return nullptr;
    Cell* values = context::values(obj->data1);
    return values ? values + i : nullptr;
}

void parse_with_library(const Cell* url, Cell* out) {
    const Cell* fn = field(context::get_global(symbol::make("url-parser")), "parse-url");
    if (!fn || !fn->is(TYPE_FUNCTION)) fire("internal", "feature-na");
    gc::Rooted f(*fn), arg(*url);
    Cell name = plain_word("parse-url");
    Cell* top = stack::top_ptr;
    interp::call_back(f.get(), arg.get(), 1, &name, 0);
    *out = *(stack::top_ptr - 1);
    stack::top_ptr = top;
}

// The scheme object registered under the word in system/schemes (searched
// from its position, names at every second value), or none.
Cell registered_scheme(const Cell* scheme_word) {
    const Cell* schemes = field(context::get_global(symbol::make("system")), "schemes");
    if (!schemes || !schemes->is(TYPE_BLOCK) || !scheme_word->is(TYPE_WORD)) return none::value;
    int32_t full = series::ks_full_length(schemes);
    for (int32_t i = series::head_of(schemes); i < full; i += 2) {
        const Cell* name = block::ks_abs_at(schemes, i);
        if (name->is(TYPE_WORD) && symbol::same_word(int32_t(name->data2), int32_t(scheme_word->data2)))
            return i + 1 < full ? *block::ks_abs_at(schemes, i + 1) : none::value;
    }
    return none::value;
}

void make_from_schemes(const Cell* parts, Cell* out) {
    gc::Rooted spec(*parts);
    Cell key = plain_word("scheme");
    const Cell* named = spec->is(TYPE_OBJECT) ? object::select_word(spec.get(), &key) : nullptr;
    gc::Rooted scheme(named ? registered_scheme(named) : none::value);
    if (!scheme->is(TYPE_OBJECT)) {
        port::make_port(port::schemes(), spec.get(), out);
        return;
    }
    // a registry of that one scheme, so the port is made as from any other
    gc::Rooted registry;
    object::make_at(registry.get(), 1);
    Cell name = *object::select_word(spec.get(), &key);
    int32_t slot = context::add(registry->data1, &name);
    context::values(registry->data1)[slot] = scheme.cell;
    *context::owner(registry->data1) = registry.cell;
    port::make_port(registry.get(), spec.get(), out);
}

void install() {
    url::parse_url = &parse_with_library;
    url::make_port = &make_from_schemes;
}
KRO_ROUTINE_GROUP(install);

}  // namespace

}  // namespace kro::url_port
