#include "foundation/runtime.hpp"

#include <iterator>

#include "datatypes/binary.hpp"
#include "datatypes/bitset.hpp"
#include "datatypes/block.hpp"
#include "datatypes/char.hpp"
#include "datatypes/context.hpp"
#include "datatypes/date.hpp"
#include "datatypes/error.hpp"
#include "datatypes/event.hpp"
#include "datatypes/file.hpp"
#include "datatypes/float.hpp"
#include "datatypes/function.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/image.hpp"
#include "datatypes/hash.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/money.hpp"
#include "datatypes/map.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/paren.hpp"
#include "datatypes/percent.hpp"
#include "datatypes/path.hpp"
#include "datatypes/point.hpp"
#include "datatypes/port.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/tag_email_ref.hpp"
#include "datatypes/time.hpp"
#include "datatypes/triple.hpp"
#include "datatypes/url.hpp"
#include "datatypes/vector.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "datatypes/word_variants.hpp"
#include "foundation/collector.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/ext_res.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/ownership.hpp"
#include "foundation/platform/os.hpp"
#include "foundation/platform/process.hpp"
#include "foundation/print.hpp"
#include "foundation/registry.hpp"
#include "interpreter/boot.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/natives.hpp"
#include "interpreter/stack.hpp"
#include "io/http.hpp"
#include "io/lexer.hpp"
#include "io/random.hpp"

namespace kro::runtime {

Cell root{uint32_t(TYPE_NONE), 0, 0, 0};
bool root_copy = false;
Cell data_stack_block{uint32_t(TYPE_NONE), 0, 0, 0};
Cell call_stack_block{uint32_t(TYPE_NONE), 0, 0, 0};
Cell symbol_block{uint32_t(TYPE_NONE), 0, 0, 0};

namespace {
bool prepared = false;
bool done = false;

// The datatype inits in registration order; parents come before children.
constexpr InitFn datatype_inits[] = {
    &datatype::init,
    &unset::init,
    &none::init,
    &logic::init,
    &series::init,
    &block::init,
    &string::init,
    &binary::init,
    &integer::init,
    &symbol::init,
    &context::init,
    &word::init,
    &lit_word::init,
    &set_word::init,
    &get_word::init,
    &refinement::init,
    &charx::init,
    &native::init,
    &native::init_action,
    &native::init_op,
    &path::init,
    &lit_path::init,
    &set_path::init,
    &get_path::init,
    &function::init,
    &routine::init,
    &paren::init,  // after function! and routine! once they register
    &issue::init,
    &url::init,  // before its child file!
    &file::init,
    &object::init,
    &bitset::init,
    &triple::init,
    &floatx::init,
    &typeset::init,
    &error::init,
    &vector::init,
    &map::init,
    &hash::init,
    &pair::init,
    &percent::init,
    &tuple::init,
    &time::init,
    &tag::init,
    &email::init,
    &handle::init,
    &date::init,
    &port::init,
    &money::init,
    &ref::init,
    &point2d::init,
    &point3d::init,
    &image::init,  // the image back-end's release kind with it
    &event::init,
};

// The runtime's own words: the symbols and words that runtime code compares
// against or pushes, made once, in this order, while the root block takes a
// copy of each word (so they stay alive).
constexpr const char* RUNTIME_SYMBOLS[] = {
    "spec", "body", "words", "class", "logic!", "integer!", "char!", "float!", "percent!", "any-type!", "exit",
    "return", "Windows", "Syllable", "macOS", "Linux", "NetBSD", "repeat", "foreach", "map-each", "remove-each",
    "any", "break", "copy", "end", "fail", "into", "opt", "not", "quote", "case", "reject", "set", "skip", "some",
    "thru", "to", "none", "|", "-", "if", "remove", "while", "insert", "only", "collect", "keep", "pick", "ahead",
    "after", "x", "y", "z", "self", "values", "owner", "owned", "events?", "true", "false", "yes", "no", "on",
    "off", "type", "face", "window", "offset", "key", "flag", "code", "picked", "flags", "away?", "ctrl?",
    "shift?", "down?", "mid-down?", "alt-down?", "aux-down?", "orientation", "get", "put", "post", "head", "size",
    "rgb", "alpha", "argb", "date", "year", "month", "day", "zone", "isoweek", "week", "weekday", "yearday",
    "julian", "time", "hour", "minute", "second", "timezone", "code", "amount", "user", "host", "system",
    "system-global", "stack", "trace", "no-trace",
};
static_assert(std::size(RUNTIME_SYMBOLS) == 113);
// Bound in the global context; the 26th, end, is made among the words below.
constexpr const char* RUNTIME_GLOBAL_WORDS[] = {
    "Windows", "Syllable", "macOS", "Linux", "NetBSD", "to", "thru", "not", "remove", "while", "collect", "keep",
    "ahead", "|", "any", "some", "copy", "opt", "into", "insert", "if", "quote", "collect", "set", "case",
};
static_assert(std::size(RUNTIME_GLOBAL_WORDS) == 25);
// nullptr stands for the global-context word end.
constexpr const char* RUNTIME_WORDS[] = {
    "at", "back", "find", "head", "head?", "index?", "length?", "next", "pick", "skip", "select", "tail", "tail?",
    "change", "changed", "clear", "cleared", "set-path", "append", "appended", "move", "moved", "poke", "poked",
    "put", "put-ed", "removed", "random", "randomized", "reverse", "reversed", "sort", "sorted", "swap", "swaped",
    "take", "taken", "trim", "trimmed", "inserted", "uppercase", "lowercase", "checksum", "push", "pop", "fetch",
    "match", "iterate", "paren", "<anon>", "<body>", "<not-found>", nullptr, "add", "subtract", "divide",
    "on-parse-event", "on-change*", "on-deep-change*", "type", "id", "try", "catch", "name", "multiply", "browse",
    "open", "create", "close", "delete", "modify", "query", "read", "rename", "update", "write", "prescan", "scan",
    "load", "error", "comment", "init", "exec", "call", "return", "enter", "exit", "prolog", "epilog", "throw",
    "expr", "<interp-callback>", "<lexer-callback>", "<parse-callback>", "<compare-callback>", "throw", "note",
    "syntax", "script", "math", "access", "user", "internal", "invalid-error", "local", "<applied>",
};
static_assert(std::size(RUNTIME_WORDS) == 106);  // 105 words and the global end
constexpr const char* RUNTIME_REFINEMENTS[] = {"local", "extern", "compare", "part", "skip", "with"};
constexpr const char* RUNTIME_ISSUES[] = {"ooo"};

int32_t symbol_ids[std::size(RUNTIME_SYMBOLS)];

void runtime_words() {
    for (size_t i = 0; i < std::size(RUNTIME_SYMBOLS); i++) symbol_ids[i] = symbol::make(RUNTIME_SYMBOLS[i]);
    // the root block keeps the words; the symbols are all C++ code holds
    for (const char* name : RUNTIME_GLOBAL_WORDS) context::add_global_word(symbol::make(name));
    for (const char* name : RUNTIME_WORDS) name ? (void)word::load(name) : (void)context::add_global_word(symbol::make("end"));
}

void runtime_refinements() {
    for (const char* name : RUNTIME_REFINEMENTS) refinement::load(name);
}

void runtime_issues() {
    for (const char* name : RUNTIME_ISSUES) issue::load(name);
}

// A block value inside the root block, made in a fixed buffer.
void make_root_child(Cell* out, uint32_t capacity) {
    block::make_fixed_at(out, capacity);
    copy_cell(out, block::add_cell(&root));
}
}  // namespace

void prepare() {
    if (prepared) return;
    root_copy = true;
    print::init_hooks();
    platform::init();
    random::init();
    // string and byte hashes are stable within one run only
    hash::seed = uint32_t(reinterpret_cast<uintptr_t>(&hash::seed));
    memory::init();
    ext_res::init();
    mold::init();
    datatype::init_tables();
    for (InitFn f : datatype_inits) f();
    memory::new_node_frame(memory::NODES_PER_FRAME);
    memory::new_series_frame();
    block::make_fixed_at(&root, ROOT_CAPACITY);
    make_root_child(&data_stack_block, stack::DATA_STACK_CELLS);
    make_root_child(&call_stack_block, CALL_STACK_CELLS);
    make_root_child(&symbol_block, SYMBOL_BLOCK_CELLS);
    context::init_global();
    symbol::init_table();
    datatype::make_word = &word::make_datatype_word;
    datatype::make_words();
    runtime_words();
    runtime_refinements();
    runtime_issues();
    stack::init(data_stack_block.data2);
    ownership::init();
    platform::call::init_buffer();  // the process launcher's output buffer
    native::init_tables();
    error::init_catalog();
    interp::init();  // the action entries and the evaluator's hooks
    lexer::init();
    natives::init();  // the natives, actions, operators and typesets, from their specs
    http::init();  // url!'s HTTP service
    value_slots::init();
    collector::init();
    prepared = true;
}

void init() {
    if (done) return;
    prepare();
    done = true;
    // The start-up from here: the collector is on for the whole boot program,
    // and words made from now on need no root-block copy.
    gc::active = true;
    root_copy = false;
    boot::run();  // the library, in Kro
}

void shutdown(int32_t status) {
    if (status == 0) rt_error::fatal(0, 0);
    rt_error::end_process(status);
}

int32_t runtime_symbol(int32_t index) {
    return index >= 0 && size_t(index) < std::size(symbol_ids) ? symbol_ids[index] : 0;
}

bool initialised() { return done; }

}  // namespace kro::runtime
