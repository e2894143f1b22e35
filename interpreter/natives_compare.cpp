// The comparison natives (slots 25-31), which the operators = <> == < > <= >=
// stand for: each compares its two arguments through the first one's compare
// action with its op code and answers a logic!.
#include "interpreter/actions.hpp"
#include "interpreter/natives.hpp"

namespace kro::natives {

namespace {

template <int32_t Op>
Flow compare_native(const int32_t*) {
    actions::compare_to_logic(Op);
    return Flow::NORMAL;
}

void install() {
    set_fn(25, &compare_native<actions::EQUAL>);
    set_fn(26, &compare_native<actions::NOT_EQUAL>);
    set_fn(27, &compare_native<actions::STRICT_EQUAL>);
    set_fn(28, &compare_native<actions::LESSER>);
    set_fn(29, &compare_native<actions::GREATER>);
    set_fn(30, &compare_native<actions::LESSER_OR_EQUAL>);
    set_fn(31, &compare_native<actions::GREATER_OR_EQUAL>);
}

}  // namespace

KRO_NATIVE_GROUP(install);

}  // namespace kro::natives
