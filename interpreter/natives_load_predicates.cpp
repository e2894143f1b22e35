// The bodies of the type predicates (block?, series? ...), routines whose
// specs library/typesets.kro states. A datatype predicate compares the
// argument's type id with its datatype's; a typeset predicate reads the
// typeset its word holds at the moment of the call and tests the type's bit,
// so rebinding the word changes what the predicate answers.
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "datatypes/context.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "foundation/fire.hpp"
#include "interpreter/routines.hpp"
#include "interpreter/stack.hpp"

namespace kro::natives_load {

namespace {

template <uint32_t ID>
void is_type() {
    logic::box(stack::arguments->type() == ID);
    stack::keep();
}

struct TypePredicate {
    const char* name;
    routines::Entry entry;
};

#define KRO_IS(name, id) {name, &is_type<id>}
constexpr TypePredicate TYPE_PREDICATES[] = {
    KRO_IS("bitset?", TYPE_BITSET),       KRO_IS("binary?", TYPE_BINARY),
    KRO_IS("block?", TYPE_BLOCK),         KRO_IS("char?", TYPE_CHAR),
    KRO_IS("email?", TYPE_EMAIL),         KRO_IS("file?", TYPE_FILE),
    KRO_IS("float?", TYPE_FLOAT),         KRO_IS("get-path?", TYPE_GET_PATH),
    KRO_IS("get-word?", TYPE_GET_WORD),   KRO_IS("hash?", TYPE_HASH),
    KRO_IS("integer?", TYPE_INTEGER),     KRO_IS("issue?", TYPE_ISSUE),
    KRO_IS("lit-path?", TYPE_LIT_PATH),   KRO_IS("lit-word?", TYPE_LIT_WORD),
    KRO_IS("logic?", TYPE_LOGIC),         KRO_IS("map?", TYPE_MAP),
    KRO_IS("none?", TYPE_NONE),           KRO_IS("pair?", TYPE_PAIR),
    KRO_IS("paren?", TYPE_PAREN),         KRO_IS("path?", TYPE_PATH),
    KRO_IS("percent?", TYPE_PERCENT),     KRO_IS("refinement?", TYPE_REFINEMENT),
    KRO_IS("set-path?", TYPE_SET_PATH),   KRO_IS("set-word?", TYPE_SET_WORD),
    KRO_IS("string?", TYPE_STRING),       KRO_IS("tag?", TYPE_TAG),
    KRO_IS("time?", TYPE_TIME),           KRO_IS("typeset?", TYPE_TYPESET),
    KRO_IS("tuple?", TYPE_TUPLE),         KRO_IS("unset?", TYPE_UNSET),
    KRO_IS("url?", TYPE_URL),             KRO_IS("word?", TYPE_WORD),
    KRO_IS("image?", TYPE_IMAGE),         KRO_IS("date?", TYPE_DATE),
    KRO_IS("money?", TYPE_MONEY),         KRO_IS("ref?", TYPE_REF),
    KRO_IS("point2D?", TYPE_POINT2D),     KRO_IS("point3D?", TYPE_POINT3D),
    KRO_IS("handle?", TYPE_HANDLE),       KRO_IS("error?", TYPE_ERROR),
    KRO_IS("action?", TYPE_ACTION),       KRO_IS("native?", TYPE_NATIVE),
    KRO_IS("datatype?", TYPE_DATATYPE),   KRO_IS("function?", TYPE_FUNCTION),
    KRO_IS("object?", TYPE_OBJECT),       KRO_IS("op?", TYPE_OP),
    KRO_IS("routine?", TYPE_ROUTINE),     KRO_IS("vector?", TYPE_VECTOR),
};
#undef KRO_IS

// The typeset words, in the order of the predicates' entries below; the
// symbols are made on first use.
constexpr const char* TYPESET_WORDS[] = {
    "any-list!",   "any-block!", "any-function!", "any-object!", "any-path!", "any-string!", "any-word!",
    "series!",     "number!",    "immediate!",    "scalar!",     "all-word!", "any-point!",  "planar!",
};
constexpr size_t TYPESETS = std::size(TYPESET_WORDS);
std::array<int32_t, TYPESETS> typeset_symbols{};

template <size_t I>
void in_typeset() {
    int32_t& sym = typeset_symbols[I];
    if (!sym) sym = symbol::make(TYPESET_WORDS[I]);
    const Cell* ts = context::get_global(sym);
    if (!ts || ts->is(TYPE_UNSET)) {
        Cell word = context::add_global_word(sym);
        fire("script", "no-value", &word);
    }
    // a word rebound to anything but a typeset holds no type
    logic::box(ts->is(TYPE_TYPESET) && typeset::has(ts, stack::arguments->type()));
    stack::keep();
}

template <size_t... I>
void add_typeset_predicates(std::index_sequence<I...>) {
    static const std::string names[] = {std::string(TYPESET_WORDS[I])...};
    // any-list! names the body any-list?
    (routines::add((names[I].substr(0, names[I].size() - 1) + "?").c_str(), &in_typeset<I>), ...);
}

void install() {
    for (const TypePredicate& p : TYPE_PREDICATES) routines::add(p.name, p.entry);
    add_typeset_predicates(std::make_index_sequence<TYPESETS>());
}

}  // namespace

KRO_ROUTINE_GROUP(install);

}  // namespace kro::natives_load
