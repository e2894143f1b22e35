#include "datatypes/port.hpp"

#include <initializer_list>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/url.hpp"
#include "datatypes/word.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "foundation/stack_guard.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/flow.hpp"
#include "interpreter/stack.hpp"

namespace kro::port {

namespace {

Cell plain_word(const char* name) { return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(name)), uint32_t(-1)}; }
Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
Cell flag(bool on) { return on ? logic::true_value : logic::false_value; }
// A refinement's argument: a copy of the given cell, or none when absent.
Cell arg_or_none(const Cell* c) { return c ? *c : none::value; }

// The words of the action slots 25-62, for the forwarded calls and the errors.
constexpr const char* NATIVE_SLOT_NAMES[NATIVE_SLOTS] = {
    "append", "at",     "back",   "change", "clear",   "copy",   "find",   "head",  "head?",  "index?",
    "insert", "length?", "move",  "next",   "pick",    "poke",   "put",    "remove", "reverse", "select",
    "sort",   "skip",   "swap",   "tail",   "tail?",   "take",   "trim",   "create", "close",  "delete",
    "modify", "open",   "open?",  "query",  "read",    "rename", "update", "write",
};

Cell action_word(int slot) { return plain_word(NATIVE_SLOT_NAMES[slot - FIRST_NATIVE_SLOT]); }

// ---- native actor tables ---------------------------------------------------------------------

const NativeActor* native_tables[MAX_NATIVE_ACTORS] = {};
int32_t native_count = 0;

// ---- the system objects -------------------------------------------------------------------------

enum Anchor : int32_t { A_STANDARD_PORT = 0, A_URL_PARTS, A_STANDARD_SCHEME, A_SCHEMES, ANCHOR_COUNT };
uint32_t anchors = 0;

Cell* anchor(Anchor a) {
    Cell blk{uint32_t(TYPE_BLOCK), 0, anchors, 0};
    return block::at(&blk, a);
}

// An object with the words, every value none.
Cell object_of(std::initializer_list<const char*> words) {
    Cell obj;
    object::make_at(&obj, int32_t(words.size()));
    for (const char* n : words) {
        Cell w = plain_word(n);
        int32_t slot = context::add(obj.data1, &w);
        context::values(obj.data1)[slot] = none::value;
    }
    obj.data2 = object::next_class_id();
    *context::owner(obj.data1) = obj;
    return obj;
}

void make_anchors() {
    if (anchors) return;
    Cell holder;
    block::make_at(&holder, ANCHOR_COUNT);
    for (int32_t i = 0; i < ANCHOR_COUNT; i++) *block::add_cell(&holder) = none::value;
    anchors = holder.data2;
    gc::add_mark_callback([] { collector::mark_block(&anchors); });
    Cell made = object_of({"spec", "scheme", "actor", "awake", "state", "data", "extra"});
    *anchor(A_STANDARD_PORT) = made;
    made = object_of({"scheme", "user-info", "host", "port", "path", "target", "query", "fragment", "ref"});
    *anchor(A_URL_PARTS) = made;
    made = object_of({"name", "title", "info", "actor", "awake"});
    *anchor(A_STANDARD_SCHEME) = made;
    made = object_of({});
    *anchor(A_SCHEMES) = made;
}

Cell* anchored(Anchor a) {
    make_anchors();
    return anchor(a);
}

Cell* field_of(const Cell* obj, int32_t index) { return context::values(obj->data1) + index; }

bool is_object(const Cell* c) { return c->is(TYPE_OBJECT); }

// The value of a registry under a scheme's name: an object's field, or, in a
// block of name and scheme pairs, the value after the name (names at every
// second position from the block's head); none when absent.
Cell select_scheme(const Cell* registry, const Cell* name) {
    if (!word::any_word_type(name->type())) return none::value;
    if (is_object(registry)) return *object::select_word(registry, name);
    if (!registry->is(TYPE_BLOCK)) return none::value;
    int32_t full = series::ks_full_length(registry);
    for (int32_t i = series::head_of(registry); i < full; i += 2) {
        const Cell* key = block::ks_abs_at(registry, i);
        if (word::any_word_type(key->type()) && symbol::same_word(int32_t(key->data2), int32_t(name->data2)))
            return i + 1 < full ? *block::ks_abs_at(registry, i + 1) : none::value;
    }
    return none::value;
}

// system/schemes as the library keeps it, or none before the system object
// exists (or when it has no such field).
Cell library_schemes() {
    static const int32_t system_sym = symbol::make("system");
    const Cell* system = context::get_global(system_sym);
    if (!system || !is_object(system)) return none::value;
    Cell key = plain_word("schemes");
    return *object::select_word(system, &key);
}

// ---- forwarding --------------------------------------------------------------------------------------

// The cells a function's call takes, and how many of them (at the end) belong
// to its /local part.
void call_layout(const Cell* fn, int32_t* cells, int32_t* locals) {
    gc::Rooted list(interp::arg_list(fn));
    int32_t n = block::length(list.get());
    *cells = 0;
    *locals = 0;
    for (int32_t i = 0; i < n; i++) {
        Cell e = *block::at(list.get(), i);
        if (e.is(TYPE_TYPESET)) {
            if (((e.header >> interp::KIND_SHIFT) & 3) != 3) (*cells)++;
        } else if (e.is(TYPE_REFINEMENT)) {
            (*cells)++;
        } else if (e.is(TYPE_INTEGER)) {
            *locals = int32_t(e.data2);
        }
    }
    *cells += *locals;
}

// Forwards an action to the port's actor: a frame named after the action, the
// port and the cells pushed, the actor's function called. Answers the result.
Cell forward(const Cell* port, int slot, std::initializer_list<Cell> cells) {
    gc::Rooted p(*port);
    Cell word = action_word(slot);
    Cell* base = stack::top_ptr;
    stack::mark_native(&word);
    stack::push(p.get());
    for (const Cell& c : cells) stack::push(&c);
    Cell actor = get_actor(p.get());
    call_actor(&actor, &word);
    Cell result = *stack::arguments;
    stack::unwind();
    stack::top_ptr = base;
    return result;
}

// The forwarded result into the first argument's cell.
Cell* into(Cell* first, const Cell& result) {
    *first = result;
    return first;
}

Cell part_length(int32_t part) { return part < 0 ? none::value : integer(part); }
Cell dup_count(int32_t dup) { return dup == 1 ? none::value : integer(dup); }

// ---- the forwarders ------------------------------------------------------------------------------------

Cell* f_append(Cell* s, Cell* value, int32_t part, bool only, int32_t dup, bool append) {
    return into(s, forward(s, append ? A_APPEND : A_INSERT,
                           {*value, flag(part >= 0), part_length(part), flag(only), flag(dup != 1), dup_count(dup)}));
}

Cell* f_change(Cell* s, Cell* value, int32_t part, bool only, int32_t dup) {
    return into(s, forward(s, A_CHANGE,
                           {*value, flag(part >= 0), part_length(part), flag(only), flag(dup != 1), dup_count(dup)}));
}

// Stack-only slots read the port (and the one argument, when count is 2)
// from the current call's cells.
template <int S, int Count>
Cell* f_stack() {
    Cell* a = stack::arguments;
    Cell r = Count == 2 ? forward(a, S, {a[1]}) : forward(a, S, {});
    return into(a, r);
}

template <int S>
Cell* f_unary(Cell* port) {
    return into(port, forward(port, S, {}));
}

int32_t f_length(Cell* port) {
    Cell r = forward(port, A_LENGTH_Q, {});
    return r.is(TYPE_INTEGER) ? int32_t(r.data2) : -1;
}

Cell* f_copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    Cell r = forward(value, A_COPY, {flag(part), arg_or_none(part), flag(deep), flag(types), arg_or_none(types)});
    *result = r;
    return result;
}

Cell* f_find(Cell* s, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with, Cell* skip,
             bool last, bool reverse, bool tail, bool match) {
    return into(s, forward(s, A_FIND,
                           {*value, flag(part), arg_or_none(part), flag(only), flag(case_), flag(same), flag(any),
                            flag(with), arg_or_none(with), flag(skip), arg_or_none(skip), flag(last),
                            flag(reverse), flag(tail), flag(match)}));
}

Cell* f_select(Cell* s, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
               Cell* skip, bool last, bool reverse) {
    return into(s, forward(s, A_SELECT,
                           {*value, flag(part), arg_or_none(part), flag(only), flag(case_), flag(same), flag(any),
                            flag(with), arg_or_none(with), flag(skip), arg_or_none(skip), flag(last),
                            flag(reverse)}));
}

Cell* f_move(Cell* origin, Cell* target, Cell* part) {
    return into(origin, forward(origin, A_MOVE, {*target, flag(part), arg_or_none(part)}));
}

Cell* f_pick(Cell* s, int32_t, Cell* boxed) { return into(s, forward(s, A_PICK, {*boxed})); }

Cell* f_poke(Cell* s, int32_t, Cell* data, Cell* boxed) { return into(s, forward(s, A_POKE, {*boxed, *data})); }

Cell* f_put(Cell* s, Cell* key, Cell* value, bool case_) {
    return into(s, forward(s, A_PUT, {*key, *value, flag(case_)}));
}

Cell* f_remove(Cell* s, Cell* part, Cell* key) {
    return into(s, forward(s, A_REMOVE, {flag(part), arg_or_none(part), flag(key), arg_or_none(key)}));
}

Cell* f_reverse(Cell* s, Cell* part, Cell* skip) {
    return into(s, forward(s, A_REVERSE, {flag(part), arg_or_none(part), flag(skip), arg_or_none(skip)}));
}

Cell* f_sort(Cell* s, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse, bool stable) {
    return into(s, forward(s, A_SORT,
                           {flag(case_), flag(skip), arg_or_none(skip), flag(comparator), arg_or_none(comparator),
                            flag(part), arg_or_none(part), flag(all), flag(reverse), flag(stable)}));
}

Cell* f_swap(Cell* s1, Cell* s2) { return into(s1, forward(s1, A_SWAP, {*s2})); }

Cell* f_take(Cell* s, Cell* part, bool deep, bool last) {
    return into(s, forward(s, A_TAKE, {flag(part), arg_or_none(part), flag(deep), flag(last)}));
}

Cell* f_trim(Cell* s, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    return into(s, forward(s, A_TRIM,
                           {flag(head), flag(tail), flag(auto_), flag(lines), flag(all), flag(with),
                            arg_or_none(with)}));
}

// modify answers its target, whatever the actor answers.
Cell* f_modify(Cell* target, Cell* field, Cell* value, bool case_) {
    forward(target, A_MODIFY, {*field, *value, flag(case_)});
    return target;
}

Cell* f_open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
    return into(port, forward(port, A_OPEN,
                              {flag(new_), flag(read), flag(write), flag(seek), flag(allow), arg_or_none(allow)}));
}

Cell* f_rename(Cell* from, Cell* to) { return into(from, forward(from, A_RENAME, {*to})); }

}  // namespace

// ---- native actors -------------------------------------------------------------------------------------

Cell register_native_actor(const NativeActor* table) {
    if (native_count >= MAX_NATIVE_ACTORS) rt_error::fatal(98, 0);
    native_tables[native_count++] = table;
    return handle::make(uint32_t(native_count), handle::CLASS_ACTOR);
}

const NativeActor* native_actor_of(const Cell* h) {
    if (!h->is(TYPE_HANDLE) || h->data1 != handle::CLASS_ACTOR) return nullptr;
    uint32_t n = h->data2;
    return n >= 1 && n <= uint32_t(native_count) ? native_tables[n - 1] : nullptr;
}

ActionFn native_action(const Cell* port, int slot) {
    if (context::word_count(port->data1) <= ACTOR) return nullptr;
    const Cell* actor = field_of(port, ACTOR);
    if (!actor->is(TYPE_HANDLE)) return nullptr;
    const NativeActor* table = native_actor_of(actor);
    if (!table) fire("access", "invalid-actor", port);
    ActionFn fn = table->entry(slot);
    if (!fn) {
        Cell w = action_word(slot);
        fire("access", "no-port-action", &w);
    }
    return fn;
}

// ---- the system objects --------------------------------------------------------------------------------

const Cell* standard_port() { return anchored(A_STANDARD_PORT); }
const Cell* url_parts() { return anchored(A_URL_PARTS); }
const Cell* standard_scheme() { return anchored(A_STANDARD_SCHEME); }
const Cell* schemes() { return anchored(A_SCHEMES); }

Cell find_scheme(const Cell* name) {
    Cell library = library_schemes();
    Cell found = select_scheme(&library, name);
    return is_object(&found) ? found : select_scheme(schemes(), name);
}

void set_standard_port(const Cell* object) { *anchored(A_STANDARD_PORT) = *object; }
void set_url_parts(const Cell* object) { *anchored(A_URL_PARTS) = *object; }
void set_standard_scheme(const Cell* object) { *anchored(A_STANDARD_SCHEME) = *object; }
void set_schemes(const Cell* object) { *anchored(A_SCHEMES) = *object; }

Cell* add_scheme(const char* name, const Cell* actor, Cell* out) {
    gc::Rooted act(*actor);
    gc::Rooted scheme;
    Cell proto = *standard_scheme();
    object::clone(&proto, scheme.get(), true, nullptr, true);
    Cell w = plain_word(name);
    Cell name_key = plain_word("name"), actor_key = plain_word("actor");
    int32_t name_at = object::find_word_index(scheme.get(), &name_key);
    int32_t actor_at = object::find_word_index(scheme.get(), &actor_key);
    if (name_at >= 0) *field_of(scheme.get(), name_at) = w;
    if (actor_at >= 0) *field_of(scheme.get(), actor_at) = act.cell;
    Cell registry = *schemes();
    int32_t slot = context::add(registry.data1, &w);
    context::values(registry.data1)[slot] = scheme.cell;
    *out = scheme.cell;
    return out;
}

// ---- the port's services ---------------------------------------------------------------------------------

Cell get_actor(const Cell* port) {
    if (context::word_count(port->data1) <= ACTOR) fire("access", "invalid-port");
    Cell actor = *field_of(port, ACTOR);
    if (!is_object(&actor)) fire("access", "invalid-port");
    return actor;
}

void call_actor(const Cell* actor, const Cell* action) {
    gc::Rooted obj(*actor), word(*action);
    gc::Rooted fn(*object::select_word(obj.get(), word.get()));
    if (!fn->is(TYPE_FUNCTION)) fire("access", "no-port-action", word.get());
    Cell* args = stack::arguments;
    int32_t cells, locals;
    call_layout(fn.get(), &cells, &locals);
    while (stack::top_ptr < args + cells) stack::push(&none::value);
    for (int32_t i = cells - locals; i < cells; i++) args[i] = none::value;
    // the function's frame takes the forwarder's cells as its arguments
    stack::mark_func_ctx(word.get(), fn->data1);
    stack::set_arguments(args);
    flow::raise_if(interp::call_function(fn.get(), obj->data1, 0));
    stack::unwind();
}

namespace {

// The port of a spec object, its scheme looked up in the registry given, or
// by find_scheme when there is none; errors carry error_arg.
Cell* build_port(const Cell* registry, const Cell* spec_object, const Cell* error_arg, Cell* out) {
    gc::Rooted reg(registry ? *registry : none::value), spec(*spec_object), culprit(*error_arg);
    Cell scheme_key = plain_word("scheme"), actor_key = plain_word("actor");
    Cell scheme_word = *object::select_word(spec.get(), &scheme_key);
    if (!scheme_word.is(TYPE_WORD)) fire("access", "no-scheme", culprit.get());
    gc::Rooted port;
    Cell proto = *standard_port();
    object::clone(&proto, port.get(), true, nullptr, true);
    port->header = uint32_t(TYPE_PORT);
    *context::owner(port->data1) = port.cell;
    *field_of(port.get(), SPEC) = spec.cell;
    *field_of(port.get(), SCHEME) = scheme_word;
    Cell scheme = registry ? select_scheme(reg.get(), &scheme_word) : find_scheme(&scheme_word);
    if (!is_object(&scheme)) fire("access", "unknown-scheme", culprit.get());
    Cell actor = *object::select_word(&scheme, &actor_key);
    if (!actor.is(TYPE_OBJECT) && !actor.is(TYPE_HANDLE)) fire("access", "invalid-actor", culprit.get());
    *field_of(port.get(), ACTOR) = actor;
    *out = port.cell;
    return out;
}

}  // namespace

Cell* make_port(const Cell* registry, const Cell* spec_object, Cell* out) {
    return build_port(registry, spec_object, spec_object, out);
}

Cell* make_port(const Cell* spec_object, Cell* out) { return build_port(nullptr, spec_object, spec_object, out); }

// ---- actions -------------------------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t) {
    gc::Rooted s(*spec), spec_object(*spec);
    if (!is_object(s.get())) {
        spec_object.cell = *url_parts();
        object::make(spec_object.get(), s.get(), TYPE_OBJECT);
    }
    build_port(nullptr, spec_object.get(), s.get(), proto);
    return proto;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, int32_t limit, int32_t indent) {
    if (mold::cycle_mark(value, buffer, &limit, true)) return limit;
    machine_stack::check();
    mold::CycleEntry walking(value->data1);
    string::concatenate_ascii(buffer, "make port! [", 12);
    limit -= 12;
    limit = object::mold_fields(value, buffer, false, all, flat, part, limit, true, indent + 1, true);
    if (!flat && indent > 0) limit = mold::indent(buffer, indent, limit);
    string::concatenate_ascii(buffer, "]", 1);
    return limit - 1;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    if (!value2->is(TYPE_PORT)) return -2;
    return object::compare_objects(value1, value2, op);
}

Cell* read(Cell* source, Cell* part, Cell* seek, bool, bool, bool, Cell*) {
    gc::Rooted port(*source), step(*source), copied;
    actions::get<A_OPEN>(step.get())(step.get(), false, false, false, seek != nullptr, nullptr);
    step.cell = port.cell;
    actions::get<A_COPY>(step.get())(step.get(), copied.get(), part, false, nullptr);
    step.cell = port.cell;
    actions::get<A_CLOSE>(step.get())(step.get());
    *source = copied.cell;
    return source;
}

Cell* write(Cell* destination, Cell* data, bool, bool, bool, bool, Cell* part, Cell* seek, Cell*, Cell*) {
    gc::Rooted port(*destination), step(*destination), value(*data), copied;
    actions::get<A_OPEN>(step.get())(step.get(), false, false, true, seek != nullptr, nullptr);
    step.cell = port.cell;
    int32_t length = part && part->is(TYPE_INTEGER) ? int32_t(part->data2) : -1;
    actions::get<A_INSERT>(step.get())(step.get(), value.get(), length, false, 1, false);
    step.cell = port.cell;
    actions::get<A_COPY>(step.get())(step.get(), copied.get(), nullptr, false, nullptr);
    step.cell = port.cell;
    actions::get<A_CLOSE>(step.get())(step.get());
    *destination = copied.cell;
    return destination;
}

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COMPARE>(&compare);
    a.inherit(A_REFLECT).inherit(A_EVAL_PATH);
    a.set<A_APPEND>(&f_append).set<A_INSERT>(&f_append).set<A_CHANGE>(&f_change);
    a.set<A_AT>(&f_stack<A_AT, 2>).set<A_SKIP>(&f_stack<A_SKIP, 2>);
    a.set<A_BACK>(&f_stack<A_BACK, 1>).set<A_HEAD>(&f_stack<A_HEAD, 1>).set<A_HEAD_Q>(&f_stack<A_HEAD_Q, 1>);
    a.set<A_INDEX_Q>(&f_stack<A_INDEX_Q, 1>).set<A_NEXT>(&f_stack<A_NEXT, 1>).set<A_TAIL>(&f_stack<A_TAIL, 1>);
    a.set<A_TAIL_Q>(&f_stack<A_TAIL_Q, 1>);
    a.set<A_CLEAR>(&f_unary<A_CLEAR>).set<A_LENGTH_Q>(&f_length);
    a.set<A_COPY>(&f_copy).set<A_FIND>(&f_find).set<A_SELECT>(&f_select).set<A_MOVE>(&f_move);
    a.set<A_PICK>(&f_pick).set<A_POKE>(&f_poke).set<A_PUT>(&f_put).set<A_REMOVE>(&f_remove);
    a.set<A_REVERSE>(&f_reverse).set<A_SORT>(&f_sort).set<A_SWAP>(&f_swap).set<A_TAKE>(&f_take);
    a.set<A_TRIM>(&f_trim);
    a.set<A_CREATE>(&f_unary<A_CREATE>).set<A_CLOSE>(&f_unary<A_CLOSE>).set<A_DELETE>(&f_unary<A_DELETE>);
    a.set<A_QUERY>(&f_unary<A_QUERY>).set<A_UPDATE>(&f_unary<A_UPDATE>);
    a.set<A_MODIFY>(&f_modify).set<A_OPEN>(&f_open).set<A_RENAME>(&f_rename);
    a.set<A_READ>(&read).set<A_WRITE>(&write);
    datatype::register_type(TYPE_PORT, TYPE_OBJECT, "port!", a);
    url::make_port = [](const Cell* parts, Cell* out) { make_port(parts, out); };
}

}  // namespace kro::port
