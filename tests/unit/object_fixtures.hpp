// Fixtures of the object, error, function, native and ownership tests: the
// interpreter's hooks played by small stand-ins (a spec evaluator that
// understands set-words followed by a value, and a recorder of change-handler
// calls), functions made from spec and body blocks, and text registered as
// string! while the real datatype is not there yet.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_fixtures.hpp"
#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/word.hpp"
#include "foundation/gc.hpp"

namespace kro::testing_objects {

using namespace testing_blocks;

// Evaluates the spec blocks that the tests give `make object!` and `make
// error!`: each run of set-words takes the value after it; a word stands for
// its value, a lit-word for its word, anything else for itself. This is the
// whole of the language these fixtures understand.
inline void evaluate_sets(Cell* blk) {
    gc::Rooted b(*blk);
    std::vector<Cell> pending;
    Cell last = unset::value;
    for (int32_t i = 0; i < block::length(b.get()); i++) {
        Cell c = *block::at(b.get(), i);
        if (c.is(TYPE_SET_WORD)) {
            pending.push_back(c);
            continue;
        }
        Cell v = c;
        if (c.is(TYPE_WORD)) {
            const Cell* found = c.data1 ? word::value_cell(&c) : context::get_global(int32_t(c.data2));
            v = found ? *found : unset::value;
        } else if (c.is(TYPE_LIT_WORD)) {
            v.set_type(TYPE_WORD);
        }
        v.header &= ~FLAG_NEW_LINE;
        for (Cell& w : pending) word::set(&w, &v);
        pending.clear();
        last = v;
    }
    stack::push(&last);
}

class SpecEvaluator {
public:
    SpecEvaluator() { function::eval_block = &evaluate_sets; }
    ~SpecEvaluator() { function::eval_block = saved_; }

private:
    decltype(function::eval_block) saved_ = function::eval_block;
};

// One change-handler call as the interpreter would receive it.
struct HandlerCall {
    Cell handler;
    uint32_t ctx;
    std::string name;
    std::vector<Cell> args;
    int32_t kind;
};

class HandlerRecorder {
public:
    HandlerRecorder() {
        calls().clear();
        function::call_handler = &record;
    }
    ~HandlerRecorder() { function::call_handler = saved_; }
    static std::vector<HandlerCall>& calls() {
        static std::vector<HandlerCall> v;
        return v;
    }

private:
    static void record(const Cell* handler, uint32_t ctx, const Cell* name, Cell* args, int32_t count, int32_t kind) {
        HandlerCall c{*handler, ctx, std::string(symbol::name(int32_t(name->data2))), {}, kind};
        for (int32_t i = 0; i < count; i++) c.args.push_back(args[i]);
        calls().push_back(c);
    }
    decltype(function::call_handler) saved_ = function::call_handler;
};

inline std::string spelling(const Cell& w) { return std::string(symbol::name(int32_t(w.data2))); }

// A function! made from a spec and a body (the data stack left as it was).
inline Cell func(const std::vector<Cell>& spec, const std::vector<Cell>& body) {
    Cell s = block_of(spec), b = block_of(body);
    function::make_value(&s, &b, 0, 0, 0, 0);
    Cell f = *stack::top();
    stack::pop(1);
    return f;
}

// A change handler with the given argument names.
inline Cell handler(const std::vector<const char*>& names, const std::vector<const char*>& locals = {}) {
    std::vector<Cell> spec;
    for (const char* n : names) spec.push_back(w(n));
    if (!locals.empty()) {
        spec.push_back(w("local", TYPE_REFINEMENT));
        for (const char* n : locals) spec.push_back(w(n));
    }
    return func(spec, {});
}

inline Cell set_word(const char* name) { return w(name, TYPE_SET_WORD); }
inline Cell lit(const char* name) { return w(name, TYPE_LIT_WORD); }

// make object! from a spec block (evaluated by SpecEvaluator), with or
// without a prototype.
inline Cell make_object(const std::vector<Cell>& spec, const Cell* proto = nullptr) {
    SpecEvaluator eval;
    Cell s = block_of(spec);
    Cell p = proto ? *proto : Cell{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_OBJECT), 0, 0};
    return *object::make(&p, &s, TYPE_OBJECT);
}

// The value of a field by name (the shared none when absent).
inline Cell field(const Cell& obj, const char* name) {
    Cell n = w(name);
    return *object::select_word(&obj, &n);
}

// string! with a plain form and a quoted mold while the real datatype is not
// registered yet (and series copying, for objects that copy their fields).
class ScratchText {
public:
    ScratchText() {
        if (!datatype::registered(TYPE_STRING)) {
            ActionList a;
            a.set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_COPY>(&series::copy);
            datatype::register_type(TYPE_STRING, 0, "string!", a);
            own_ = true;
        }
    }
    ~ScratchText() {
        if (own_) datatype::forget(TYPE_STRING);
    }

private:
    static int32_t form(Cell* v, Cell* buffer, Cell*, int32_t limit) {
        return limit - string::append_string(buffer, v);
    }
    static int32_t mold(Cell* v, Cell* buffer, bool, bool, bool, Cell*, int32_t limit, int32_t) {
        string::concatenate_ascii(buffer, "\"", 1);
        limit = form(v, buffer, nullptr, limit);
        string::concatenate_ascii(buffer, "\"", 1);
        return limit - 2;
    }
    bool own_ = false;
};

// The datatype words hold their datatypes, as the boot data leaves them.
inline void bind_datatype_words() {
    for (int32_t id = 1; id <= datatype::highest_id(); id++) {
        if (!datatype::registered(id)) continue;
        Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(id), 0, 0};
        context::set_global(symbol::make(datatype::row(id).name), &dt);
    }
}

}  // namespace kro::testing_objects
