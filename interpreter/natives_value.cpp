// The natives that get, set and test words and values, identify and retype
// values, and convert between close datatypes: get, set, value?, unset, type?,
// same?, not, context?, in, as, apply, extend, the case changes, the URL and
// base encodings and the as-* makers.
#include "interpreter/natives_value.hpp"

#include "datatypes/base_codecs.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/map.hpp"
#include "datatypes/money.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/string_text.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/url.hpp"
#include "datatypes/word.hpp"
#include "foundation/casing.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/registry.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/natives.hpp"
#include "interpreter/stack.hpp"

namespace kro::natives {

namespace {

constexpr int32_t GET = 21, SET = 22, SAME = 32, NOT = 33, TYPE_Q = 34, IN = 39, DEHEX = 47, ENHEX = 48,
                  VALUE_Q = 69, UPPERCASE = 71, LOWERCASE = 72, AS_PAIR = 73, AS_POINT2D = 74, AS_POINT3D = 75,
                  AS_MONEY = 76, EXTEND = 83, DEBASE = 84, UNSET = 88, ENBASE = 91, CONTEXT_Q = 92, AS = 98,
                  APPLY = 107;

int32_t values_symbol = 0;
int32_t self_symbol = 0;

inline Cell datatype_cell(uint32_t t) { return Cell{uint32_t(TYPE_DATATYPE), t, 0, 0}; }
inline Flow result_logic(bool b) {
    Cell v = logic::make(b);
    return result(&v);
}
inline bool is_path(uint32_t t) { return t >= TYPE_PATH && t <= TYPE_GET_PATH; }
// word!, set-word!, lit-word!, get-word!: the words that hold values.
inline bool is_any_word(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_GET_WORD; }
inline bool is_callable(uint32_t t) {
    return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

// The value cell of a word, or null when the word has none to give now
// (unbound, no slot, a function context outside its call): asking never raises.
const Cell* peek_value(const Cell* word) {
    uint32_t ctx = word->data1;
    if (!ctx) return nullptr;
    int32_t slot = int32_t(word->data3);
    if (slot < 0) return symbol::same_word(int32_t(word->data2), self_symbol) ? context::owner(ctx) : nullptr;
    Cell* c = context::cell_of(ctx);
    if (!c->data2) return nullptr;
    if (!context::on_stack(ctx) && uint32_t(slot) >= memory::buffer_of(c->data2)->used_bytes() / sizeof(Cell))
        return nullptr;
    return context::values(ctx) + slot;
}

// ---- get and set ---------------------------------------------------------------------------

Flow get_native(const int32_t* refs) {
    Cell* target = arg(0);
    bool any = used(refs, 0), case_ = used(refs, 1);
    if (is_path(target->type())) {
        Flow f = interp::eval_path_value(target, nullptr, case_);
        if (f != Flow::NORMAL) return f;
        return result(stack::top());
    }
    if (target->is(TYPE_OBJECT)) {
        object::reflect(target, values_symbol);
        return result(target);
    }
    Cell word = *target;
    Cell value = *word::value_cell(&word);
    if (value.is(TYPE_UNSET) && !any) fire("script", "no-value", &word);
    return result(&value);
}

// The items of a value that `set` distributes over a block of words, from the
// value's head; a map! gives its keys and values.
bool distributes(const Cell* value) {
    Type t = value->type();
    return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH || is_path(t) || t == TYPE_MAP;
}

// `set` on a block of words. The source (a block-like value on the data stack)
// is read afresh at each store: a change handler may alter it.
void set_block(Cell* words, Cell* value, bool any, bool only, bool some) {
    int32_t first = series::head_of(words);
    if (!distributes(value) || only) {
        for (int32_t i = first; i < series::ks_full_length(words); i++) {
            Cell w = *block::ks_abs_at(words, i);
            if (!is_any_word(w.type())) fire("script", "invalid-arg", &w);
            if (some && value->is(TYPE_NONE)) continue;
            word::set(&w, value);
        }
        return;
    }
    Cell* source = value;
    if (value->is(TYPE_MAP)) {
        source = stack::push(&none::value);
        Cell map = *value;
        block::make(source, &map, TYPE_BLOCK);
    }
    auto item = [&](int32_t k) -> Cell {
        int32_t at = series::head_of(source) + k;
        return at < series::ks_full_length(source) ? *block::ks_abs_at(source, at) : none::value;
    };
    // every target is checked before the first store
    for (int32_t i = first; i < series::ks_full_length(words); i++) {
        Cell w = *block::ks_abs_at(words, i);
        if (!is_any_word(w.type())) fire("script", "invalid-arg", &w);
        if (!any && item(i - first).is(TYPE_UNSET)) fire("script", "need-value", &w);
    }
    for (int32_t i = first; i < series::ks_full_length(words); i++) {
        Cell w = *block::ks_abs_at(words, i);
        if (!is_any_word(w.type())) fire("script", "invalid-arg", &w);
        Cell v = item(i - first);
        if (some && v.is(TYPE_NONE)) continue;
        word::set(&w, &v);
    }
}

Flow set_native(const int32_t* refs) {
    Cell* target = arg(0);
    Cell* value = arg(1);
    bool any = used(refs, 0), case_ = used(refs, 1), only = used(refs, 2), some = used(refs, 3);
    if (value->is(TYPE_UNSET) && !any) fire("script", "need-value", target);
    Type t = target->type();
    if (is_path(t)) {
        Flow f = interp::eval_path_value(target, value, case_);
        if (f != Flow::NORMAL) return f;
    } else if (t == TYPE_OBJECT) {
        object::extend(target, value, only, any, some);
    } else if (t == TYPE_BLOCK) {
        set_block(target, value, any, only, some);
    } else {
        Cell w = *target;
        word::set(&w, value);
    }
    return result(arg(1));
}

Flow value_q_native(const int32_t*) {
    const Cell* v = arg(0);
    if (is_any_word(v->type())) v = peek_value(v);
    return result_logic(v && !v->is(TYPE_UNSET));
}

Flow unset_native(const int32_t*) {
    Cell* target = arg(0);
    if (target->is(TYPE_WORD)) {
        Cell w = *target;
        word::set(&w, &unset::value);
    } else {
        for (int32_t i = series::head_of(target); i < series::ks_full_length(target); i++) {
            Cell w = *block::ks_abs_at(target, i);
            if (w.is(TYPE_WORD)) word::set(&w, &unset::value);
        }
    }
    return result(&unset::value);
}

// ---- identity and kind ----------------------------------------------------------------------

Flow type_q_native(const int32_t* refs) {
    Type t = arg(0)->type();
    if (!used(refs, 0)) {
        Cell dt = datatype_cell(t);
        return result(&dt);
    }
    const datatype::Row& row = datatype::row(t);
    Cell w = row.word;
    if (!w.is(TYPE_WORD)) {
        if (!row.name) return result(&none::value);
        w = word::load(row.name);
    }
    return result(&w);
}

Flow same_native(const int32_t*) { return result_logic(same_values(arg(0), arg(1))); }

Flow not_native(const int32_t*) { return result_logic(!logic::is_true(arg(0))); }

Flow context_q_native(const int32_t*) {
    uint32_t ctx = arg(0)->data1;
    if (!ctx) return result(&none::value);
    Cell owner = *context::owner(ctx);
    return result(&owner);
}

Flow in_native(const int32_t*) {
    uint32_t ctx = arg(0)->data1;
    Cell w = *arg(1);
    if (context::bind_word(ctx, &w) < 0) return result(&none::value);
    if (w.is(TYPE_REFINEMENT)) w.set_type(TYPE_WORD);
    return result(&w);
}

// ---- as and apply ----------------------------------------------------------------------------

inline bool list_or_path(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || is_path(t); }

Flow as_native(const int32_t*) {
    const Cell* type = arg(0);
    uint32_t to = type->is(TYPE_DATATYPE) ? type->data1 : uint32_t(type->type());
    uint32_t from = arg(1)->type();
    bool fits = (list_or_path(to) && list_or_path(from)) || (series::is_text_kind(to) && series::is_text_kind(from));
    if (!fits) {
        Cell a = datatype_cell(from), b = datatype_cell(to);
        fire("script", "not-same-class", &a, &b);
    }
    Cell r = *arg(1);
    r.set_type(Type(to));
    return result(&r);
}

Flow apply_native(const int32_t* refs) {
    Cell* f = arg(0);
    int mode = used(refs, 0) ? interp::APPLY_ALL : interp::APPLY_SOME;
    if (used(refs, 1)) mode |= interp::APPLY_SAFER;
    Cell name = *stack::anon_word();
    Cell* fn = f;
    if (f->is(TYPE_WORD)) {
        name = *f;
        const Cell* v = peek_value(f);
        fn = stack::push(v ? v : &unset::value);
    } else if (f->is(TYPE_PATH)) {
        int32_t last = series::ks_full_length(f) - 1;
        if (last >= series::head_of(f) && block::ks_abs_at(f, last)->is(TYPE_WORD)) name = *block::ks_abs_at(f, last);
        Flow fl = interp::eval_path_value(f, nullptr, false);
        if (fl != Flow::NORMAL) return fl;
        fn = stack::top();
    }
    if (!is_callable(fn->type())) fire("script", "invalid-arg", f);
    Flow fl = interp::apply(fn, arg(1), mode, &name);
    if (fl != Flow::NORMAL) return fl;
    return result(stack::top());
}

// ---- maps -------------------------------------------------------------------------------------

Flow extend_native(const int32_t* refs) {
    Cell* target = arg(0);
    if (target->is(TYPE_OBJECT)) fire("internal", "not-done");
    Cell* spec = arg(1);
    if (spec->is(TYPE_MAP)) {
        Cell* body = stack::push(&none::value);
        block::make(body, spec, TYPE_BLOCK);
        spec = body;
    }
    map::extend(target, spec, used(refs, 0));
    return result(target);
}

// ---- text ---------------------------------------------------------------------------------------

Flow change_case_native(const int32_t* refs, bool upper) {
    Cell* part = ref_arg(refs, 0);
    Cell count;
    if (part && part->is(TYPE_FLOAT)) {
        count = Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(float_to_int(part)), 0};
        part = &count;
    }
    casing::change_case(arg(0), part, upper);
    return result(arg(0));
}
Flow uppercase_native(const int32_t* refs) { return change_case_native(refs, true); }
Flow lowercase_native(const int32_t* refs) { return change_case_native(refs, false); }

Flow dehex_native(const int32_t*) {
    Cell* out = stack::push(&none::value);
    string::make_at(out, string::length_of(arg(0)) + 1, 1);
    url::decode(arg(0), out);
    return result(out);
}

Flow enhex_native(const int32_t*) {
    Cell* out = stack::push(&none::value);
    string::make_at(out, string::length_of(arg(0)) + 1, 1);
    // a string! keeps only unreserved characters; the other text types keep what a url may hold
    url::encode(arg(0), out, arg(0)->is(TYPE_STRING) ? url::STRICT_SET : url::DEFAULT_SET);
    return result(out);
}

int32_t base_of(const int32_t* refs) {
    Cell* b = ref_arg(refs, 0);
    if (!b) return 64;
    int32_t base = int32_t(b->data2);
    if (base != 64 && base != 58 && base != 16 && base != 2) fire("script", "invalid-arg", b);
    return base;
}

// The bytes enbase encodes: a binary from its head, or the UTF-8 of a text.
uint64_t input_bytes(const Cell* value) {
    if (value->is(TYPE_BINARY)) {
        Cell v = *value;
        return uint64_t(series::ks_length(&v, false));
    }
    string::detail::Text t = string::detail::text_of(value);
    uint64_t n = 0;
    for (uint32_t i = 0; i < t.count; i++) {
        uint32_t cp = t.get(i);
        n += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    }
    return n;
}

Flow enbase_native(const int32_t* refs) {
    int32_t base = base_of(refs);
    uint64_t n = input_bytes(arg(0));
    // the room the encoders reserve for n bytes, which one string must hold
    uint64_t room;
    switch (base) {
        case 64: room = (n / 3) * 4 + ((n % 3) * 4) / 3 + (n / 32) * 2 + 5; break;
        case 58: room = 2 * n; break;
        case 16: room = 2 * n + n / 32 + 32; break;
        default: room = 8 * n + (n / 8) * 2 + 4; break;
    }
    if (room > 0x7FFFFFF0u) fire("script", "too-long");
    Cell* out = stack::push(&none::value);
    binary::enbase(arg(0), base, out);
    return result(out);
}

Flow debase_native(const int32_t* refs) {
    int32_t base = base_of(refs);
    Cell* out = stack::push(&none::value);
    binary::debase(arg(0), base, out);
    return result(out);
}

// ---- the as-* makers ------------------------------------------------------------------------------

Flow as_pair_native(const int32_t*) {
    // a float beyond 32 bits is refused as NaN is, not wrapped or saturated
    for (int32_t i = 0; i < 2; i++) {
        const Cell* c = arg(i);
        if (c->is(TYPE_FLOAT) && !(c->get_float() > -2147483649.0 && c->get_float() < 2147483648.0))
            fire("script", "invalid-arg", c);
    }
    Cell out;
    pair::from_numbers(arg(0), arg(1), &out);
    return result(&out);
}

Flow as_point2d_native(const int32_t*) {
    Cell out;
    point2d::from_numbers(arg(0), arg(1), &out);
    return result(&out);
}

Flow as_point3d_native(const int32_t*) {
    Cell out;
    point3d::from_numbers(arg(0), arg(1), arg(2), &out);
    return result(&out);
}

Flow as_money_native(const int32_t*) {
    Cell out = money::as_money(arg(0), arg(1));
    return result(&out);
}

void install() {
    values_symbol = symbol::make("values");
    self_symbol = symbol::make("self");
    set_fn(GET, &get_native);
    set_fn(SET, &set_native);
    set_fn(SAME, &same_native);
    set_fn(NOT, &not_native);
    set_fn(TYPE_Q, &type_q_native);
    set_fn(IN, &in_native);
    set_fn(DEHEX, &dehex_native);
    set_fn(ENHEX, &enhex_native);
    set_fn(VALUE_Q, &value_q_native);
    set_fn(UPPERCASE, &uppercase_native);
    set_fn(LOWERCASE, &lowercase_native);
    set_fn(AS_PAIR, &as_pair_native);
    set_fn(AS_POINT2D, &as_point2d_native);
    set_fn(AS_POINT3D, &as_point3d_native);
    set_fn(AS_MONEY, &as_money_native);
    set_fn(EXTEND, &extend_native);
    set_fn(DEBASE, &debase_native);
    set_fn(UNSET, &unset_native);
    set_fn(ENBASE, &enbase_native);
    set_fn(CONTEXT_Q, &context_q_native);
    set_fn(AS, &as_native);
    set_fn(APPLY, &apply_native);
}

}  // namespace

KRO_NATIVE_GROUP(install);

bool same_values(const Cell* a, const Cell* b) {
    Type t = a->type();
    if (t != b->type()) return false;
    if (series::is_series_value(t)) return a->data2 == b->data2 && a->data1 == b->data1;
    switch (t) {
        case TYPE_DATATYPE:
        case TYPE_LOGIC:
        case TYPE_OBJECT:
            return a->data1 == b->data1;
        case TYPE_CHAR:
        case TYPE_INTEGER:
        case TYPE_BITSET:
            return a->data2 == b->data2;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_PAIR:
        case TYPE_TIME:
            return a->data2 == b->data2 && a->data3 == b->data3;
        case TYPE_TUPLE: {
            int32_t n = tuple::length(a);
            if (n != tuple::length(b)) return false;
            for (int32_t i = 0; i < n; i++)
                if (tuple::byte_at(a, i) != tuple::byte_at(b, i)) return false;
            return true;
        }
        case TYPE_NONE:
        case TYPE_UNSET:
            return true;
        case TYPE_MONEY: {
            Cell x = *a, y = *b;
            return money::compare(&x, &y, actions::SAME) == 0;
        }
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_POINT2D:
            return a->data1 == b->data1 && a->data2 == b->data2;
        case TYPE_OP:
            return a->data2 == b->data2 && a->data3 == b->data3;
        default:
            return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3;
    }
}

}  // namespace kro::natives
