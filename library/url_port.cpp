// A url! opened as a port: the library's URL parser (url-parser/parse-url)
// reads the url into the object of its parts, which becomes the port's spec;
// the port is then made as make port! makes it from that object (its scheme
// looked up in system/schemes, then among the runtime's native schemes).
#include <cstdint>

#include "datatypes/context.hpp"
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

void install() {
    url::parse_url = &parse_with_library;
}
KRO_ROUTINE_GROUP(install);

}  // namespace

}  // namespace kro::url_port
