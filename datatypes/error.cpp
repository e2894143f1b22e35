#include "datatypes/error.hpp"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "foundation/stack_guard.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::error {

namespace {

const char* const CATALOG_SOURCE =
#include "datatypes/error_catalog.inc"
    ;

const char* const FIELD_NAMES[FIELD_COUNT] = {"code", "type",  "id",    "arg1",  "arg2",
                                              "arg3", "near",  "where", "stack", "files"};

// Rooted cells of this module, in a fixed block of the root block.
enum Anchor : int32_t {
    A_CATALOG,
    A_PROTOTYPE,
    A_RAISED,
    A_STACK_TRACE,
    A_SOURCE_FILES,
    A_SPARE_NO_MEMORY,
    A_SPARE_CALLS,
    ANCHOR_COUNT
};
uint32_t anchors = 0;
Cell* anchor(Anchor a) { return memory::buffer_of(anchors)->cells() + a; }

const Cell no_expression{uint32_t(TYPE_NONE), 0, 0, 0};

constexpr int32_t ARGUMENT_LIMIT = 80;
constexpr int32_t NEAR_LIMIT = 40;

Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
Cell plain_word(const char* name) { return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(name)), uint32_t(-1)}; }
Cell datatype_cell(uint32_t t) { return Cell{uint32_t(TYPE_DATATYPE), t, 0, 0}; }

Cell* default_state(State which) { return anchor(which == State::STACK_TRACE ? A_STACK_TRACE : A_SOURCE_FILES); }

Cell* values_of(const Cell* obj) { return context::values(obj->data1); }

// ---- reading the catalog's Kro text -------------------------------------------------------------
// The catalog is data: objects of set-words holding integers, strings,
// template blocks (strings, words and get-words) and words. This reader takes
// exactly that much of the language; anything else in the text is a build fault.

class CatalogReader {
public:
    explicit CatalogReader(const char* text) : p_(text) {}

    void read(Cell* out) {
        expect_object_start();
        read_object(out);
        skip_blanks();
        if (*p_) bad();
    }

private:
    const char* p_;

    [[noreturn]] static void bad() { rt_error::fatal(98, KRO_CAPTURE_SITE()); }

    void skip_blanks() {
        while (*p_ == ' ' || *p_ == '\n' || *p_ == '\t' || *p_ == '\r') p_++;
    }
    static bool name_char(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '!' || c == '*' || c == '?';
    }
    std::string name() {
        const char* start = p_;
        while (name_char(*p_)) p_++;
        if (p_ == start) bad();
        return std::string(start, p_);
    }
    void expect_object_start() {
        skip_blanks();
        if (name() != "make") bad();
        skip_blanks();
        if (name() != "object!") bad();
        skip_blanks();
        if (*p_++ != '[') bad();
    }
    static Cell word_of(Type t, const std::string& n) {
        return Cell{uint32_t(t), 0, uint32_t(symbol::make(n.c_str())), uint32_t(-1)};
    }
    Cell text() {
        const char* start = ++p_;
        while (*p_ && *p_ != '"') p_++;
        if (*p_ != '"') bad();
        Cell s;
        string::make_at(&s, uint32_t(p_ - start) + 1, 1);
        string::append_utf8(&s, start, int32_t(p_ - start));
        p_++;
        return s;
    }
    Cell templ() {
        p_++;
        std::vector<Cell> items;
        for (;;) {
            skip_blanks();
            if (*p_ == ']') break;
            if (*p_ == '"') {
                items.push_back(text());
            } else if (*p_ == ':') {
                p_++;
                items.push_back(word_of(TYPE_GET_WORD, name()));
            } else {
                items.push_back(word_of(TYPE_WORD, name()));
            }
        }
        p_++;
        Cell b;
        block::make_at(&b, int32_t(items.size()) + 1);
        for (const Cell& c : items) block::ks_append(&b, &c);
        return b;
    }
    Cell value() {
        skip_blanks();
        char c = *p_;
        if (c == '"') return text();
        if (c == '[') return templ();
        if (c == '\'') {
            p_++;
            return word_of(TYPE_WORD, name());
        }
        if (std::isdigit(static_cast<unsigned char>(c))) {
            int32_t v = 0;
            while (std::isdigit(static_cast<unsigned char>(*p_))) v = v * 10 + (*p_++ - '0');
            return integer(v);
        }
        expect_object_start();
        Cell obj;
        read_object(&obj);
        return obj;
    }
    // The fields after "make object! [", up to the closing bracket.
    void read_object(Cell* out) {
        std::vector<std::pair<std::string, Cell>> fields;
        for (;;) {
            skip_blanks();
            if (*p_ == ']') break;
            std::string n = name();
            if (*p_++ != ':') bad();
            fields.emplace_back(n, value());
        }
        p_++;
        object::make_at(out, int32_t(fields.size()));
        uint32_t ctx = out->data1;
        for (auto& [n, v] : fields) {
            Cell w = word_of(TYPE_WORD, n);
            int32_t slot = context::add(ctx, &w);
            context::values(ctx)[slot] = v;
        }
    }
};

// ---- catalog lookups -------------------------------------------------------------------------

bool is_object(const Cell* v) { return v->is(TYPE_OBJECT); }

// The position of the category a word names, its object in *category; -1 when absent.
int32_t category_of(const Cell* word, Cell* category) {
    const Cell* cat = catalog();
    if (!cat || !is_object(cat) || !word::any_word_type(word->type())) return -1;
    int32_t i = object::find_word_index(cat, word);
    if (i < 0) return -1;
    const Cell* v = values_of(cat) + i;
    if (!is_object(v)) return -1;
    *category = *v;
    return i;
}

// The position of an id in its category (from 2: after code and type), or -1.
int32_t id_position(const Cell* category, const Cell* word) {
    if (!word::any_word_type(word->type())) return -1;
    int32_t i = object::find_word_index(category, word);
    return i >= 2 ? i : -1;
}

// The catalog's own word for a name (bound to the object holding it).
Cell catalog_word(const Cell* obj, const char* name) {
    Cell w = plain_word(name);
    if (!obj || !is_object(obj)) return w;
    int32_t i = object::find_word_index(obj, &w);
    if (i < 0) return w;
    Cell found = *context::word_at(obj->data1, i);
    found.header = uint32_t(TYPE_WORD);
    return found;
}

// Makes the error internal/invalid-error with the culprit in arg1; answers the
// internal category (none when the catalog has none).
Cell make_invalid(Cell* err, const Cell& culprit) {
    Cell c = culprit;
    *field(err, ARG1) = c;
    Cell type_w = catalog_word(catalog(), "internal");
    Cell cat = none::value;
    category_of(&type_w, &cat);
    *field(err, TYPE) = type_w;
    *field(err, ID) = catalog_word(&cat, "invalid-error");
    return cat;
}

// ---- making ----------------------------------------------------------------------------------

// Pushes a copy of the prototype made into an error.
Cell* push_blank() {
    Cell* e = stack::push_cell();
    *e = unset::value;
    Cell proto = *prototype();
    object::clone(&proto, e, false, nullptr, false);
    e->header = uint32_t(TYPE_ERROR);
    e->data2 = object::ERROR_CLASS;
    e->data3 = 0;
    *context::owner(e->data1) = *e;
    return e;
}

[[noreturn]] void bad_spec_field(const char* which) {
    Cell w = plain_word(which);
    fire("script", "invalid-spec-field", &w);
}

void set_code(Cell* e, int32_t category, int32_t id) { *field(e, CODE) = integer(category * 100 + id - 2); }

// Pushes the error a spec makes (the string form goes through create).
Cell* build(const Cell* spec) {
    gc::Rooted s(*spec);
    if (s->is(TYPE_STRING)) {
        Cell u = plain_word("user"), m = plain_word("message");
        return create(&u, &m, s.get(), nullptr, nullptr);
    }
    Cell* e = push_blank();
    Cell cat = none::value;
    switch (s->type()) {
        case TYPE_INTEGER: {
            int32_t code = int32_t(s->data2);
            int32_t pos = code / 100;
            const Cell* errors = catalog();
            if (code < 0 || pos >= object::field_count(errors) || !is_object(values_of(errors) + pos))
                fire("script", "out-of-range", s.get());
            cat = values_of(errors)[pos];
            int32_t id = code % 100 + 2;
            if (id >= object::field_count(&cat)) fire("script", "out-of-range", s.get());
            *field(e, CODE) = s.cell;
            Cell tw = *context::word_at(errors->data1, pos);
            Cell iw = *context::word_at(cat.data1, id);
            tw.header = iw.header = uint32_t(TYPE_WORD);
            *field(e, TYPE) = tw;
            *field(e, ID) = iw;
            break;
        }
        case TYPE_BLOCK: {
            int32_t len = block::length(s.get());
            Cell first = len > 0 ? *block::at(s.get(), 0) : none::value;
            if (first.is(TYPE_WORD)) {
                int32_t pos = category_of(&first, &cat);
                if (pos < 0) bad_spec_field("type");
                *field(e, TYPE) = first;
                if (len < 2) bad_spec_field("id");
                Cell second = *block::at(s.get(), 1);
                if (!second.is(TYPE_WORD)) fire("script", "invalid-arg", &second);
                // code and type are no ids: an error naming them would carry a wrong code
                int32_t id = id_position(&cat, &second);
                if (id < 0) bad_spec_field("id");
                *field(e, ID) = second;
                set_code(e, pos, id);
            } else if (first.is(TYPE_SET_WORD)) {
                context::bind(s.get(), e->data1, false);
                if (!function::eval_block) fire("internal", "feature-na");
                {
                    Cell* top = stack::top_ptr;
                    function::eval_block(s.get());
                    stack::top_ptr = top;
                }
                Cell tw = *field(e, TYPE), iw = *field(e, ID);
                int32_t pos = tw.is(TYPE_WORD) ? category_of(&tw, &cat) : -1;
                if (pos < 0) bad_spec_field("type");
                int32_t id = iw.is(TYPE_WORD) ? id_position(&cat, &iw) : -1;
                if (id < 0) bad_spec_field("id");
                set_code(e, pos, id);
            } else {
                fire("internal", "invalid-error");
            }
            break;
        }
        default: {
            Cell dt = datatype_cell(TYPE_ERROR);
            fire("script", "bad-make-arg", &dt, s.get());
        }
    }
    *field(e, NEAR) = current_expression();
    return e;
}

// ---- forming ---------------------------------------------------------------------------------

struct Out {
    Cell* buffer;
    int32_t limit;

    void text(const char* t) {
        int32_t n = int32_t(std::strlen(t));
        string::concatenate_ascii(buffer, t, n);
        limit -= n;
    }
    void str(const Cell* s) { limit -= string::append_string(buffer, s); }
    // A value formed or molded within max characters.
    void value(Cell v, bool form, bool only, bool flat, int32_t max) {
        gc::Rooted scratch, held(v);
        string::make_at(scratch.get(), 16, 1);
        Cell part = integer(max);
        if (form) {
            actions::form(held.get(), scratch.get(), &part, max);
        } else {
            actions::mold(held.get(), scratch.get(), only, false, flat, &part, max, 0);
        }
        memory::Buffer* b = memory::buffer_of(scratch->data2);
        uint32_t keep = uint32_t(max) * uint32_t(b->unit());
        if (b->used_bytes() > keep) b->tail = b->offset + keep;
        str(scratch.get());
    }
};

// A block that holds no value with values inside it (the call names the stack
// field gets when the error is raised are such a block): forming it cannot nest.
bool flat_block(const Cell* blk) {
    int32_t n = block::length(blk);
    for (int32_t i = 0; i < n; i++) {
        uint32_t t = block::at(blk, i)->type();
        if (series::is_block_kind(t) || t == TYPE_OBJECT || t == TYPE_MAP || t == TYPE_ERROR || t == TYPE_PORT ||
            t == TYPE_EVENT)
            return false;
    }
    return true;
}

bool same_name(const Cell& w, const char* name) {
    return word::any_word_type(w.type()) && symbol::same_word(int32_t(w.data2), symbol::make(name));
}

// The value of the error field a template word names, or null.
const Cell* named_field(const Cell* err, const Cell& w) {
    int32_t i = context::find_symbol(err->data1, int32_t(w.data2), true);
    return i < 0 ? nullptr : values_of(err) + i;
}

void message_block(Out& out, const Cell* err, const Cell& message, bool syntax) {
    gc::Rooted m(message);
    for (int32_t i = 0; i < block::length(m.get()); i++) {
        if (i > 0) out.text(" ");
        Cell e = *block::at(m.get(), i);
        if (e.is(TYPE_STRING)) {
            out.str(&e);
        } else if (e.is(TYPE_WORD) || e.is(TYPE_GET_WORD)) {
            const Cell* v = named_field(err, e);
            out.value(v ? *v : e, syntax, false, true, ARGUMENT_LIMIT);
        } else {
            out.value(e, false, false, true, ARGUMENT_LIMIT);
        }
    }
}

}  // namespace

Cell (*current_expression)() = [] { return no_expression; };
Cell (*current_code)() = [] { return no_expression; };
int32_t (*form_call_names)(int32_t level, int32_t position, Cell* buffer, int32_t limit) = nullptr;
void (*collect_call_names)(int32_t level, Cell* block, int32_t position) = nullptr;
Cell* (*state_field)(State which) = &default_state;

// ---- the catalog and the prototype ---------------------------------------------------------------

void init_catalog() {
    if (anchors) return;
    Cell* holder = block::make_in(&runtime::root, ANCHOR_COUNT);
    anchors = holder->data2;
    // the collector rewrites this holder when it moves the block's node
    gc::add_mark_callback([] { collector::mark_block(&anchors); });
    for (int32_t i = 0; i < ANCHOR_COUNT; i++) *series::add_cell(anchors) = none::value;
    Cell errors;
    CatalogReader(CATALOG_SOURCE).read(&errors);
    *anchor(A_CATALOG) = errors;
    Cell proto;
    object::make_at(&proto, FIELD_COUNT);
    for (const char* n : FIELD_NAMES) {
        Cell w = plain_word(n);
        int32_t slot = context::add(proto.data1, &w);
        context::values(proto.data1)[slot] = none::value;
    }
    *anchor(A_PROTOTYPE) = proto;
    *anchor(A_STACK_TRACE) = integer(1);
    Cell files;
    block::make_at(&files, 1);
    *anchor(A_SOURCE_FILES) = files;
    // Its stack is a block already, so that raising it takes no call names.
    Cell internal = plain_word("internal"), no_memory = plain_word("no-memory");
    Cell* top = stack::top_ptr;
    Cell* spare = create(&internal, &no_memory, nullptr, nullptr, nullptr);
    Cell calls;
    block::make_at(&calls, 1);
    *field(spare, STACK) = calls;
    *anchor(A_SPARE_CALLS) = calls;
    *anchor(A_SPARE_NO_MEMORY) = *spare;
    stack::top_ptr = top;
}

bool catalog_ready() { return anchors && is_object(anchor(A_CATALOG)) && is_object(anchor(A_PROTOTYPE)); }
const char* catalog_source() { return CATALOG_SOURCE; }
const Cell* catalog() { return anchors ? anchor(A_CATALOG) : nullptr; }
const Cell* prototype() { return anchors ? anchor(A_PROTOTYPE) : nullptr; }
void set_catalog(const Cell* errors) { *anchor(A_CATALOG) = *errors; }
void set_prototype(const Cell* standard_error) { *anchor(A_PROTOTYPE) = *standard_error; }
Cell* raised_slot() { return anchors ? anchor(A_RAISED) : nullptr; }
Cell* spare_no_memory() { return anchors ? anchor(A_SPARE_NO_MEMORY) : nullptr; }
const Cell* spare_no_memory_calls() { return anchor(A_SPARE_CALLS); }

// ---- making and reading ----------------------------------------------------------------------------

Cell* create(const Cell* category, const Cell* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    gc::Rooted a1(arg1 ? *arg1 : none::value), a2(arg2 ? *arg2 : none::value), a3(arg3 ? *arg3 : none::value);
    gc::Rooted spec;
    block::make_at(spec.get(), 2);
    block::ks_append(spec.get(), category);
    block::ks_append(spec.get(), id);
    Cell* e = build(spec.get());
    if (arg1) *field(e, ARG1) = a1.cell;
    if (arg2) *field(e, ARG2) = a2.cell;
    if (arg3) *field(e, ARG3) = a3.cell;
    return e;
}

Cell* field(const Cell* err, Field f) { return values_of(err) + f; }

void capture_stack(Cell* err) {
    Cell* st = field(err, STACK);
    if (!st->is(TYPE_INTEGER)) return;
    int32_t position = int32_t(st->data2);
    const Cell* trace = state_field(State::STACK_TRACE);
    int32_t level = trace->is(TYPE_INTEGER) && int32_t(trace->data2) > 0 ? int32_t(trace->data2) : 1;
    gc::Rooted e(*err), names;
    block::make_at(names.get(), 20);
    if (collect_call_names) collect_call_names(level, names.get(), position);
    *field(e.get(), STACK) = names.cell;
    Cell files = *state_field(State::SOURCE_FILES);
    if (files.is(TYPE_BLOCK) && block::length(&files) > 0) {
        Cell copy = *block::clone(&files, false, false);
        stack::pop(1);
        *field(e.get(), FILES) = copy;
    }
}

void get_where(Cell* err, const Cell* word) {
    Cell* w = field(err, WHERE);
    if (w->is(TYPE_NONE)) *w = *word;
}

int32_t get_type(const Cell* err) { return int32_t(field(err, TYPE)->data2); }
int32_t get_id(const Cell* err) { return int32_t(field(err, ID)->data2); }

Cell nth_argument_word(int32_t n) {
    Cell anon = plain_word("<anon>");
    Cell name = args::call_name();
    if (!word::any_word_type(name.type()) || !name.data1 || int32_t(name.data3) < 0) return anon;
    uint32_t ctx = name.data1;
    if (context::on_stack(ctx) || !context::values(ctx)) return anon;
    if (int32_t(name.data3) >= int32_t(memory::buffer_of(context::cell_of(ctx)->data2)->used_bytes() / sizeof(Cell)))
        return anon;
    Cell fn = context::values(ctx)[name.data3];
    Type t = fn.type();
    if (t != TYPE_FUNCTION && t != TYPE_ACTION && t != TYPE_NATIVE && t != TYPE_OP && t != TYPE_ROUTINE) return anon;
    Cell spec{uint32_t(TYPE_BLOCK), 0, fn.data2, 0};
    int32_t count = 0;
    for (int32_t i = 0; i < block::length(&spec); i++) {
        Cell e = *block::at(&spec, i);
        Type et = e.type();
        if (et != TYPE_WORD && et != TYPE_LIT_WORD && et != TYPE_GET_WORD && et != TYPE_REFINEMENT) continue;
        if (count++ == n) return e;
    }
    return anon;
}

// ---- actions -------------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t) {
    Cell* top = stack::top_ptr;
    Cell* e = build(spec);
    *proto = *e;
    stack::top_ptr = top;
    return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
    machine_stack::check();
    gc::Rooted err(*value);
    Cell* e = err.get();
    Out out{buffer, limit};
    out.text("*** ");
    Cell cat = none::value;
    if (category_of(field(e, TYPE), &cat) < 0) cat = make_invalid(e, *field(e, TYPE));
    int32_t id = is_object(&cat) ? id_position(&cat, field(e, ID)) : -1;
    if (id < 0) {
        cat = make_invalid(e, *field(e, ID));
        id = is_object(&cat) ? id_position(&cat, field(e, ID)) : -1;
    }
    Cell message = id >= 0 ? values_of(&cat)[id] : none::value;
    if (message.is(TYPE_WORD)) {
        // user/message stands for the error's own arg1
        const Cell* v = named_field(e, message);
        message = v ? *v : none::value;
    }
    if (is_object(&cat)) {
        Cell type_word = plain_word("type");
        Cell title = *object::select_word(&cat, &type_word);
        if (title.is(TYPE_STRING)) {
            out.str(&title);
        } else {
            out.value(title, true, false, false, mold::NO_LIMIT);
        }
    }
    out.text(": ");
    if (message.is(TYPE_STRING)) {
        out.str(&message);
    } else if (message.is(TYPE_BLOCK)) {
        message_block(out, e, message, same_name(*field(e, TYPE), "syntax"));
    } else {
        make_invalid(e, *field(e, TYPE));
    }
    out.text("\n*** Where: ");
    Cell where = *field(e, WHERE);
    if (word::any_word_type(where.type())) {
        out.limit -= word::append_spelling(buffer, int32_t(where.data2));
    } else if (where.is(TYPE_STRING)) {
        out.str(&where);
    } else {
        out.text("???");
    }
    out.text("\n*** Near : ");
    out.value(*field(e, NEAR), false, true, true, NEAR_LIMIT);
    const Cell* trace = state_field(State::STACK_TRACE);
    if (trace->is(TYPE_INTEGER) && int32_t(trace->data2) > 0) {
        Cell st = *field(e, STACK);
        if (st.is(TYPE_INTEGER)) {
            out.text("\n*** Stack: ");
            if (form_call_names)
                out.limit = form_call_names(int32_t(trace->data2), int32_t(st.data2), buffer, out.limit);
        } else if (st.is(TYPE_BLOCK)) {
            out.text("\n*** Stack: ");
            if (flat_block(&st)) {
                out.limit = actions::form(&st, buffer, nullptr, out.limit);
            } else {
                // a stack field set by hand may nest values however deep: shown molded, cut short
                out.value(st, false, true, true, NEAR_LIMIT);
            }
        }
    }
    Cell files = *field(e, FILES);
    if (files.is(TYPE_BLOCK)) {
        out.text("\n*** Files: ");
        out.value(files, false, true, true, NEAR_LIMIT);
    }
    return out.limit;
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent) {
    if (mold::cycle_mark(value, buffer, &limit, true)) return limit;
    machine_stack::check();
    mold::CycleEntry walking(value->data1);
    if (!only) {
        string::concatenate_ascii(buffer, "make error! [", 13);
        limit -= 13;
    }
    limit = object::mold_fields(value, buffer, only, all, flat, part, limit, true, indent + 1, true);
    if (indent > 0) limit = mold::indent(buffer, indent, limit);
    if (!only) {
        string::concatenate_ascii(buffer, "]", 1);
        limit--;
    }
    return limit;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event) {
    return object::eval_path(parent, element, value, path, grandparent, path_item, index, case_, get, tail, event);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
    if (!value2->is(TYPE_ERROR)) return -2;
    return object::compare_objects(value1, value2, op);
}

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_EVAL_PATH>(&eval_path);
    a.set<A_COMPARE>(&compare);
    // reflect, copy (the copy stays an error!) and select come from object!; find
    // is asked for too, and object! has none
    a.inherit(A_REFLECT).inherit(A_COPY).inherit(A_SELECT).inherit(A_FIND);
    datatype::register_type(TYPE_ERROR, TYPE_OBJECT, "error!", a);
}

}  // namespace kro::error
