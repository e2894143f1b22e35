// The library calls what it was built with. Once the environment is built,
// every plain word of the library's own code (and every path's first word)
// that names a global function, native, action, operator or routine is bound
// to one object of its own holding those values as they were then, so that a
// user who later sets or unsets such a word changes nothing for the library.
// Words the library itself sets as globals while it runs stay global, and so
// does every word it reads as a variable (anything but a callable value).
#include <initializer_list>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "interpreter/boot.hpp"
#include "interpreter/boot_steps.hpp"

namespace kro::boot {

namespace {

Cell calls_object{uint32_t(TYPE_NONE), 0, 0, 0};
bool marking = false;

void keep(const Cell& obj) {
    calls_object = obj;
    if (!marking) gc::add_mark_callback([] { collector::mark_value(&calls_object); });
    marking = true;
}

bool callable(const Cell& v) {
    uint32_t t = v.type();
    return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

memory::Buffer* buf(uint32_t node) { return memory::buffer_of(node); }

// One walk over everything the global values reach. It allocates nothing, so
// the positions it notes stay valid until the binding step.
class Walk {
public:
    std::vector<std::pair<uint32_t, uint32_t>> calls;  // (block node, cell index) of each candidate word
    std::unordered_set<int32_t> assigned;              // symbols the library sets as globals

    void run() {
        const Cell* values = context::values(context::global);
        int32_t n = context::word_count(context::global);
        for (int32_t i = 0; i < n; i++) push(values[i]);
        while (!todo_.empty()) {
            Cell c = todo_.back();
            todo_.pop_back();
            visit(c);
        }
        // the return: of a function spec the library makes as it runs sets nothing
        for (auto& [node, symbols] : writes_)
            if (!specs_.count(node)) assigned.insert(symbols.begin(), symbols.end());
    }

private:
    std::vector<Cell> todo_;
    std::unordered_set<uint32_t> seen_;
    std::unordered_map<uint32_t, std::vector<int32_t>> writes_;  // set-words by block
    std::unordered_set<uint32_t> specs_;                         // blocks given as a function's spec

    void push(const Cell& c) {
        uint32_t t = c.type();
        if (series::is_block_kind(t) || t == TYPE_MAP || t == TYPE_FUNCTION || t == TYPE_ROUTINE ||
            (t == TYPE_OBJECT && c.data1 != context::global) ||
            (t >= TYPE_WORD && t <= TYPE_REFINEMENT && c.data1 && c.data1 != context::global))
            todo_.push_back(c);
    }

    bool first_time(uint32_t node) { return node && seen_.insert(node).second; }

    void visit(const Cell& c) {
        uint32_t t = c.type();
        if (t >= TYPE_WORD && t <= TYPE_REFINEMENT) {
            // a word of another context leads to its owner (an object or function)
            if (context::kind_of(c.data1) != context::GLOBAL) push(*context::owner(c.data1));
        } else if (t == TYPE_OBJECT) {
            if (!first_time(c.data1)) return;
            const Cell* values = context::values(c.data1);
            int32_t n = context::word_count(c.data1);
            for (int32_t i = 0; values && i < n; i++) push(values[i]);
        } else if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) {
            if (!first_time(c.data1)) return;
            push(buf(c.data3)->cells()[function::BODY]);
        } else {
            block(c.data2, t);
        }
    }

    void block(uint32_t node, uint32_t type) {
        if (!first_time(node)) return;
        memory::Buffer* b = buf(node);
        uint32_t n = b->used_bytes() / sizeof(Cell);
        bool library = b->flags & memory::FLAG_LIBRARY;
        bool path = type == TYPE_PATH || type == TYPE_GET_PATH || type == TYPE_SET_PATH || type == TYPE_LIT_PATH;
        for (uint32_t i = 0; i < n; i++) {
            const Cell& e = b->cells()[i];
            push(e);
            if (!library || e.data1 != context::global) continue;
            if (e.is(TYPE_SET_WORD)) {
                // quote return: is data
                if (i == 0 || !named(b->cells()[i - 1], {"quote"})) writes_[node].push_back(int32_t(e.data2));
            } else if (e.is(TYPE_LIT_WORD) && i > 0 &&
                       named(b->cells()[i - 1], {"set", "set-quiet", "unset"})) {
                assigned.insert(int32_t(e.data2));  // set 'word value
            } else if (e.is(TYPE_WORD) && (!path || i == 0)) {
                calls.emplace_back(node, i);
                if (i + 1 < n && b->cells()[i + 1].is(TYPE_BLOCK) && named(e, {"func", "function", "has"}))
                    specs_.insert(b->cells()[i + 1].data2);
            }
        }
    }

    static bool named(const Cell& w, std::initializer_list<std::string_view> names) {
        if (!w.is(TYPE_WORD)) return false;
        std::string_view name = symbol::name(int32_t(w.data2));
        for (std::string_view n : names)
            if (name == n) return true;
        return false;
    }
};

}  // namespace

namespace steps {

void bind_library_calls() {
    Walk walk;
    walk.run();
    gc::Rooted obj;
    object::make_at(obj.get(), 64);
    uint32_t ctx = obj->data1;
    for (auto [node, index] : walk.calls) {
        Cell w = buf(node)->cells()[index];
        if (walk.assigned.count(int32_t(w.data2))) continue;
        Cell v = context::values(context::global)[w.data3];
        if (!callable(v)) continue;
        int32_t slot = context::add(ctx, &w);
        context::values(ctx)[slot] = v;
        Cell* cell = buf(node)->cells() + index;
        cell->data1 = ctx;
        cell->data3 = uint32_t(slot);
    }
    keep(obj.cell);
}

void set_library_calls(const Cell& obj) { keep(obj); }

}  // namespace steps

const Cell* library_calls() { return &calls_object; }

}  // namespace kro::boot
