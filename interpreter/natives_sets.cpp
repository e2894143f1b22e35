// The set operation natives (slots 41-46): union, intersect, unique,
// difference and exclude share one front that pairs the two sets and hands
// them to the first set's datatype with an operation code; complement? reads
// a bitset's complement flag.
#include "datatypes/bitset.hpp"
#include "datatypes/block.hpp"
#include "datatypes/date.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/typeset.hpp"
#include "foundation/fire.hpp"
#include "foundation/support.hpp"
#include "interpreter/natives.hpp"

namespace kro::natives {

namespace {

constexpr int32_t UNION = 41, INTERSECT = 42, UNIQUE = 43, DIFFERENCE = 44, EXCLUDE = 45, COMPLEMENT_Q = 46;

inline Cell datatype_cell(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

inline bool list_kind(const Cell* c) { return c->is(TYPE_BLOCK) || c->is(TYPE_HASH); }

[[noreturn]] void not_allowed(const Cell* value) { args::expect_arg(value->type(), 0); }

// refs: /case, /skip (its size argument).
Flow set_operation(const int32_t* refs, int32_t op) {
    Cell* set1 = arg(0);
    Cell* set2 = op == block::UNIQUE ? nullptr : arg(1);
    bool case_ = used(refs, 0);
    Cell* skip = ref_arg(refs, 1);
    if (set2) {
        // blocks and hash!es mix, a datatype is a typeset of one member; every
        // other set pairs only with its own kind
        bool paired = list_kind(set1)                ? list_kind(set2)
                      : set1->is(TYPE_TYPESET) ? set2->is(TYPE_TYPESET) || set2->is(TYPE_DATATYPE)
                                               : set2->type() == set1->type();
        if (!paired) {
            Cell expected = datatype_cell(set1->type()), got = datatype_cell(set2->type());
            fire("script", "expect-val", &expected, &got);
        }
    }
    switch (set1->type()) {
        case TYPE_BLOCK:
        case TYPE_HASH: return result(block::set_operation(set1, set2, case_, skip, op));
        case TYPE_STRING: return result(string::set_operation(set1, set2, op, case_, skip));
        case TYPE_BITSET: return result(bitset::do_bitwise(op));
        case TYPE_TYPESET: return result(typeset::do_bitwise(op));
        case TYPE_DATE:
            if (op == block::DIFFERENCE) return result(date::difference(set1, set2));
            not_allowed(set1);
        default: not_allowed(set1);
    }
}

template <int32_t Op>
Flow set_native(const int32_t* refs) {
    return set_operation(refs, Op);
}

Flow complement_q(const int32_t*) {
    const Cell* bits = arg(0);
    if (!bits->is(TYPE_BITSET)) not_allowed(bits);
    Cell answer = logic::make(bitset::complemented(bits));
    return result(&answer);
}

void install() {
    set_fn(UNION, &set_native<block::UNION>);
    set_fn(INTERSECT, &set_native<block::INTERSECT>);
    set_fn(UNIQUE, &set_native<block::UNIQUE>);
    set_fn(DIFFERENCE, &set_native<block::DIFFERENCE>);
    set_fn(EXCLUDE, &set_native<block::EXCLUDE>);
    set_fn(COMPLEMENT_Q, &complement_q);
}

}  // namespace

KRO_NATIVE_GROUP(install);

}  // namespace kro::natives
