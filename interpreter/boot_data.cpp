// The first build stage's writer of the boot data: the environment the boot
// program built from the sources, as KROBIN boot data (io/krobin.hpp).
//
// The data describes what the boot program added to the runtime it found:
// the global words it made (kept in slot order, so that the reading process
// gives them the same slots), the global values it set, the ownership table's
// entries, and the boot counter's last class id. Whatever the runtime made
// before (the natives, the error catalog, the global context's object) is the
// prelude: the reading process makes the same cells and the data reaches them
// by reference, so that they stay the very values the environment holds.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/ownership.hpp"
#include "foundation/runtime.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/boot.hpp"
#include "interpreter/boot_steps.hpp"
#include "interpreter/stack.hpp"
#include "io/krobin.hpp"

namespace kro::boot {

namespace {

bool same_cell(const Cell& a, const Cell& b) {
    return (a.header & ~FLAG_NEW_LINE) == (b.header & ~FLAG_NEW_LINE) && a.data1 == b.data1 && a.data2 == b.data2 &&
           a.data3 == b.data3;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "boot data: %s\n", what);
    std::exit(1);
}

}  // namespace

bool write_data(const char* path) {
    // as runtime::init leaves the start-up to its boot program
    gc::active = true;
    runtime::root_copy = false;
    steps::begin();
    // The prelude stays in a block the collector rewrites, so that its cells
    // keep naming the nodes the environment's values name.
    std::vector<Cell> first = steps::prelude();
    gc::Rooted prelude;
    block::make_at(prelude.get(), int32_t(first.size()));
    for (const Cell& c : first) block::ks_append(prelude.get(), &c);
    int32_t first_words = context::word_count(context::global);
    int32_t first_symbol = symbol::count() + 1;

    steps::run_sources();
    steps::bind_library_calls();

    int32_t last_symbol = symbol::count();
    int32_t words = context::word_count(context::global);
    // the ownership table's entries of values that died go with this collection
    collector::collect();

    std::vector<Cell> pre(block::at(prelude.get(), 0), block::at(prelude.get(), 0) + block::length(prelude.get()));
    std::vector<int32_t> symbols;
    for (int32_t id = first_symbol; id <= last_symbol; id++) symbols.push_back(id);

    std::vector<Cell> kept(steps::KEPT_COUNT, none::value);
    gc::Rooted global_words, global_values, owned, state;
    block::make_at(global_words.get(), words - first_words + 1);
    for (int32_t i = first_words; i < words; i++) {
        Cell w = *context::word_at(context::global, i);
        // a case variant sharing the slot of its family would need its slot written
        if (int32_t(w.data3) != i) fail("a global word shares the slot of another spelling");
        Cell unbound{uint32_t(TYPE_WORD), 0, w.data2, 0};
        block::ks_append(global_words.get(), &unbound);
    }
    std::vector<krobin::GlobalSet> sets;
    block::make_at(global_values.get(), words);
    for (int32_t i = 0; i < words; i++) {
        Cell v = context::values(context::global)[i];
        bool changed = i < first_words ? !same_cell(v, pre[size_t(i)]) : !v.is(TYPE_UNSET);
        if (!changed) continue;
        sets.push_back({int32_t(context::word_at(context::global, i)->data2), steps::GLOBAL_VALUES,
                        uint32_t(block::length(global_values.get()))});
        block::ks_append(global_values.get(), &v);
    }
    std::vector<Cell> entries;
    ownership::entries(entries);
    block::make_at(owned.get(), int32_t(entries.size()) + 1);
    for (const Cell& c : entries) block::ks_append(owned.get(), &c);
    block::make_at(state.get(), steps::STATE_COUNT);
    Cell counter{uint32_t(TYPE_INTEGER), 0, object::boot_counter(), 0};
    block::ks_append(state.get(), &counter);
    kept[steps::GLOBAL_WORDS] = global_words.cell;
    kept[steps::GLOBAL_VALUES] = global_values.cell;
    kept[steps::OWNERSHIP] = owned.cell;
    kept[steps::STATE] = state.cell;
    kept[steps::LIBRARY_CALLS] = *library_calls();

    std::vector<uint8_t> bytes;
    uint32_t caught = frame::catch_region(code::ERROR, [&] {
        bytes = krobin::encode_environment(pre, symbols, kept, sets, false);
    });
    if (caught) {
        std::fprintf(stderr, "boot data: the environment holds a value boot data cannot carry (%s/%s)\n",
                     last_raised().category.c_str(), last_raised().id.c_str());
        return false;
    }
    FILE* out = std::fopen(path, "wb");
    if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fclose(out) != 0) {
        std::fprintf(stderr, "boot data: cannot write %s\n", path);
        return false;
    }
    return true;
}

}  // namespace kro::boot

namespace kro::boot {

namespace {

// The class ids of the objects reachable from a value, one line each, named
// by the way the walk first met them (word/field/index...).
class ClassWalk {
public:
    explicit ClassWalk(std::string& out) : out_(out) {}

    void value(const Cell& c, const std::string& where) {
        uint32_t t = c.type();
        if (t == TYPE_OBJECT) {
            if (!seen(c.data1)) return;
            out_ += where + " " + std::to_string(int32_t(c.data2)) + "\n";
            const Cell* values = context::values(c.data1);
            int32_t n = context::word_count(c.data1);
            for (int32_t i = 0; values && i < n; i++)
                value(context::values(c.data1)[i], where + "/" + std::string(symbol::name(int32_t(context::word_at(c.data1, i)->data2))));
        } else if (series::is_block_kind(t) || t == TYPE_MAP) {
            cells(c.data2, where);
        } else if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) {
            if (!seen(c.data1)) return;
            cells(c.data2, where + "/spec");
            const Cell body = memory::buffer_of(c.data3)->cells()[function::BODY];
            if (body.is(TYPE_BLOCK)) cells(body.data2, where + "/body");
        }
    }

private:
    std::string& out_;
    std::set<uint32_t> seen_;

    bool seen(uint32_t node) { return node && seen_.insert(node).second; }
    void cells(uint32_t node, const std::string& where) {
        if (!seen(node)) return;
        uint32_t n = memory::buffer_of(node)->used_bytes() / sizeof(Cell);
        for (uint32_t i = 0; i < n; i++)
            value(memory::buffer_of(node)->cells()[i], where + "/" + std::to_string(i + 1));
    }
};

}  // namespace

std::string describe() {
    std::string out;
    int32_t words = context::word_count(context::global);
    for (int32_t i = 0; i < words; i++) {
        gc::Rooted value(context::values(context::global)[i]), text;
        std::string name(symbol::name(int32_t(context::word_at(context::global, i)->data2)));
        if (value->is(TYPE_UNSET)) continue;
        string::make_at(text.get(), 64, 1);
        actions::mold(value.get(), text.get(), false, true, true, nullptr, mold::NO_LIMIT, 0);
        out += name + " " + std::to_string(value->type()) + " " + string::to_utf8(text.get()) + "\n";
    }
    out += "boot class ids up to " + std::to_string(object::boot_counter()) + "\n";
    // what the library's own code calls, whatever the user later sets
    if (const Cell* calls = library_calls(); calls->is(TYPE_OBJECT)) {
        out += "library calls:";
        for (int32_t i = 0; i < context::word_count(calls->data1); i++)
            out += " " + std::string(symbol::name(int32_t(context::word_at(calls->data1, i)->data2))) + ":" +
                   std::to_string(context::values(calls->data1)[i].type());
        out += "\n";
    }
    ClassWalk walk(out);
    for (int32_t i = 0; i < words; i++)
        walk.value(context::values(context::global)[i],
                   std::string(symbol::name(int32_t(context::word_at(context::global, i)->data2))));
    return out;
}

}  // namespace kro::boot
