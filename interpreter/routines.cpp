#include "interpreter/routines.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/file.hpp"
#include "datatypes/function.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/platform/os.hpp"
#include "foundation/platform/osinfo.hpp"
#include "foundation/support.hpp"
#include "foundation/unicode.hpp"
#include "datatypes/context.hpp"
#include "datatypes/symbol.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/natives_value.hpp"
#include "interpreter/stack.hpp"
#include "interpreter/tracer.hpp"
#include "io/clipboard.hpp"
#include "io/krobin.hpp"
#include "io/simple_io.hpp"

namespace kro::routines {

namespace {

struct Registry {
    std::unordered_map<std::string, Entry> entries;
    std::unordered_map<std::string, int32_t> codes;
    std::unordered_map<int32_t, std::string> names;  // code -> name
    std::vector<InstallFn> groups;
    bool installed = false;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

Group::Group(InstallFn install) { registry().groups.push_back(install); }

void add(const char* name, Entry fn) {
    if (!registry().entries.emplace(name, fn).second) {
        std::fprintf(stderr, "routine entry registered twice: %s\n", name);
        rt_error::fatal(98, 0);
    }
}

int32_t code_of(std::string_view name) {
    Registry& r = registry();
    std::string key(name);
    if (auto c = r.codes.find(key); c != r.codes.end()) return c->second;
    auto e = r.entries.find(key);
    if (e == r.entries.end()) return 0;
    int32_t code = function::add_code(e->second);
    r.codes.emplace(key, code);
    r.names.emplace(code, key);
    return code;
}

std::string_view name_of(int32_t code) {
    auto n = registry().names.find(code);
    return n == registry().names.end() ? std::string_view() : std::string_view(n->second);
}

void init() {
    Registry& r = registry();
    if (r.installed) return;
    r.installed = true;
    for (InstallFn f : r.groups) f();
    // Every entry takes its code now, in the order of the names: a routine has
    // the same code whether the boot program made it or the boot data did.
    std::vector<std::string> names;
    names.reserve(r.entries.size());
    for (const auto& e : r.entries) names.push_back(e.first);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) code_of(n);
    // the boot data writes a routine by its entry's name
    krobin::routine_code = [](int32_t name) { return code_of(symbol::name(name)); };
    krobin::routine_name = [](int32_t code) {
        std::string_view n = name_of(code);
        return n.empty() ? 0 : symbol::make_from_utf8(reinterpret_cast<const uint8_t*>(n.data()), uint32_t(n.size()));
    };
}

bool library_q(const Cell* fn) {
    if (fn->is(TYPE_ROUTINE)) return true;
    if (!fn->is(TYPE_FUNCTION)) return false;
    Cell body = memory::buffer_of(fn->data3)->cells()[function::BODY];
    if (!body.is(TYPE_BLOCK) && !body.is(TYPE_PAREN)) return false;
    return (memory::buffer_of(body.data2)->flags & memory::FLAG_LIBRARY) != 0;
}

// ---- the library's routines ------------------------------------------------------------------

namespace {

using namespace routines::entry;

[[noreturn]] void expect_arg(int32_t index) {
    Cell name = args::call_name();
    Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(arg(index)->type()), 0, 0};
    Cell word = args::argument_word(index);
    fire("script", "expect-arg", &name, &dt, &word);
}

void quit_return() {
#ifdef KRO_FUZZ_SANDBOX
    // A fuzzed program may not end the process: its quit is an error there.
    Cell name = args::call_name();
    fire("internal", "not-here", &name);
#endif
    throw QuitRequest{int(int32_t(arg(0)->data2))};
}

void set_quiet() {
    Type t = arg(0)->type();
    if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD) expect_arg(0);
    Cell w = *arg(0);
    Cell v = *arg(1);
    context::set_in(&w, &v, w.data1, false);
    result(&v);
}

void set_slot_quiet() {
    Type t = arg(0)->type();
    if (t != TYPE_BLOCK && t != TYPE_PAREN && t != TYPE_PATH && t != TYPE_LIT_PATH && t != TYPE_SET_PATH &&
        t != TYPE_GET_PATH)
        expect_arg(0);
    Cell* s = arg(0);
    if (block::length(s) > 0) copy_cell(arg(1), block::at(s, 0));
    no_result();
}

void shift_right() {
    int32_t n = int32_t(arg(1)->data2);
    int32_t v = int32_t(arg(0)->data2);
    integer_result(n < 0 ? v : n >= 32 ? (v < 0 ? -1 : 0) : v >> n);
}

void shift_left() {
    int32_t n = int32_t(arg(1)->data2);
    uint32_t v = arg(0)->data2;
    integer_result(n < 0 ? int32_t(v) : n >= 32 ? 0 : int32_t(v << n));
}

void shift_logical() {
    int32_t n = int32_t(arg(1)->data2);
    uint32_t v = arg(0)->data2;
    integer_result(n < 0 ? int32_t(v) : n >= 32 ? 0 : int32_t(v >> n));
}

void last_lf_q() { logic_result(natives::last_lf()); }

void get_current_dir() {
    Cell dir;
    file::get_current_dir(&dir);
    dir.header = (dir.header & ~0xFFu) | uint32_t(TYPE_FILE);
    result(&dir);
}

std::string os_path(const Cell* file) {
    auto path = file::to_os_path(file);
    if (!path || path->empty()) fire("access", "cannot-open", file);
    return *path;
}

void set_current_dir() {
    std::string path = os_path(arg(0));
    if (!platform::set_current_dir(path.c_str())) fire("access", "cannot-open", arg(0));
    no_result();
}

void create_dir() {
    auto path = file::to_os_path(arg(0));
    if (!path || path->empty() || !simple_io::make_dir(*path)) fire("access", "no-create", arg(0));
    no_result();
}

void exists_q() {
    auto path = file::to_os_path(arg(0));
    logic_result(path && !path->empty() && simple_io::exists(*path));
}

void set_string_field(uint32_t ctx, int32_t index, const std::string& text) {
    Cell s;
    string::make_at(&s, uint32_t(text.size()) + 1, 1);
    string::append_utf8(&s, text.data(), int32_t(text.size()));
    copy_cell(&s, context::values(ctx) + index);
}

// object [name arch version build], as the platform describes itself
void os_info() {
    platform::os::Info info = platform::os::info();
    gc::Rooted spec;
    block::make_at(spec.get(), 8);
    const char* names[] = {"name", "arch", "version", "build"};
    for (const char* n : names) {
        Cell w{uint32_t(TYPE_SET_WORD), 0, uint32_t(symbol::make(n)), uint32_t(-1)};
        block::ks_append(spec.get(), &w);
        block::ks_append(spec.get(), &none::value);
    }
    Cell proto = none::value;
    Cell* obj = object::make(&proto, spec.get(), TYPE_OBJECT);
    gc::Rooted o(*obj);
    uint32_t ctx = o->data1;
    set_string_field(ctx, 0, info.name);
    Cell arch{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(info.arch.c_str())), uint32_t(-1)};
    arch = context::add_global(int32_t(arch.data2), false, false);
    copy_cell(&arch, context::values(ctx) + 1);
    int32_t parts[3] = {info.major & 0xFF, info.minor & 0xFF, info.patch & 0xFF};
    Cell version;
    tuple::make_at_ints(&version, 3, parts);
    copy_cell(&version, context::values(ctx) + 2);
    Cell build{uint32_t(TYPE_INTEGER), 0, uint32_t(info.build), 0};
    copy_cell(&build, context::values(ctx) + 3);
    result(o.get());
}

// The first negative argument is refused; each value counts modulo 256, so a
// value above 255 never spills into the neighbouring byte.
void as_tuple(int32_t count) {
    int32_t bytes[4];
    for (int32_t i = 0; i < count; i++) {
        int32_t v = int32_t(arg(i)->data2);
        if (v < 0) fire("script", "invalid-arg", arg(i));
        bytes[i] = v & 0xFF;
    }
    Cell t;
    tuple::make_at_ints(&t, count, bytes);
    result(&t);
}
void as_color() { as_tuple(3); }
void as_ipv4() { as_tuple(4); }

// Counts UTF-8 sequences from start's position up to pos's index in the same
// buffer, never past the buffer's tail (a sequence cut by the tail counts once).
void count_chars() {
    Cell start = *arg(0);
    Cell pos = *arg(1);
    memory::Buffer* b = memory::buffer_of(start.data2);
    uint32_t used = b->used_bytes();
    uint32_t from = start.data1;
    uint32_t to = pos.data1;
    if (to > used) to = used;
    int32_t count = 0;
    const uint8_t* p = b->head_ptr();
    uint32_t i = from;
    while (i < to) {
        uint8_t c = p[i];
        uint32_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        i += len;
        count++;
    }
    integer_result(count);
}

void stack_size_q() { integer_result(int32_t(stack::top_ptr - stack::bottom)); }

void pick_stack() {
    int32_t idx = int32_t(arg(0)->data2);
    int32_t size = int32_t(stack::top_ptr - stack::bottom);
    if (idx > 0 && idx < size) {
        Cell v = stack::bottom[idx - 1];
        result(&v);
    } else {
        none_result();
    }
}

void frame_index_q() { integer_result(int32_t(stack::arguments - stack::bottom)); }

void collect_calls() {
    Cell blk = *arg(0);
    stack::collect_calls(&blk);
    no_result();
}

void tracing_q() { logic_result(trace::tracing); }

void read_clipboard() {
    Cell out = none::value;
    clipboard::read(&out);
    result(&out);
}

void write_clipboard() { logic_result(clipboard::write(arg(0))); }

// Writes the value's text (a binary! as its bytes) to standard output.
void write_stdout() {
    Cell* v = arg(0);
    if (v->is(TYPE_BINARY)) {
        memory::Buffer* b = memory::buffer_of(v->data2);
        uint32_t n = b->used_bytes() > v->data1 ? b->used_bytes() - v->data1 : 0;
        std::vector<uint8_t> bytes(b->head_ptr() + v->data1, b->head_ptr() + v->data1 + n);
        console::write_utf8(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    } else {
        gc::Rooted text;
        if (series::is_text_kind(v->type())) {
            text.cell = *v;
        } else {
            string::make_at(text.get(), 16, 1);
            Cell copy = *v;
            actions::form(&copy, text.get(), nullptr, -1);
        }
        std::string utf8 = string::to_utf8(text.get());
        console::write_utf8(utf8.data(), utf8.size());
    }
    no_result();
}

void install() {
    add("quit-return", &quit_return);
    add("set-quiet", &set_quiet);
    add("set-slot-quiet", &set_slot_quiet);
    add("shift-right", &shift_right);
    add("shift-left", &shift_left);
    add("shift-logical", &shift_logical);
    add("last-lf?", &last_lf_q);
    add("get-current-dir", &get_current_dir);
    add("set-current-dir", &set_current_dir);
    add("create-dir", &create_dir);
    add("exists?", &exists_q);
    add("os-info", &os_info);
    add("as-color", &as_color);
    add("as-ipv4", &as_ipv4);
    add("count-chars", &count_chars);
    add("stack-size?", &stack_size_q);
    add("pick-stack", &pick_stack);
    add("frame-index?", &frame_index_q);
    add("collect-calls", &collect_calls);
    add("tracing?", &tracing_q);
    add("read-clipboard", &read_clipboard);
    add("write-clipboard", &write_clipboard);
    add("write-stdout", &write_stdout);
}
KRO_ROUTINE_GROUP(install);

}  // namespace

}  // namespace kro::routines
