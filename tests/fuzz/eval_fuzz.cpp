// libFuzzer target over the evaluator: every input is Kro source, tokenized and
// evaluated the way the console runs a line, inside a region that receives
// errors and every other way out (break, throw, return); the result is then
// molded within a budget. Errors are fine outcomes; crashes, sanitizer reports,
// fatal runtime errors, stacks left unbalanced and hangs of the runtime's own
// are not.
//
// An input whose first byte is 1 is not source: its bytes pick calls of every
// function word with arguments from a pool of awkward values (see generated()).
//
// The build defines KRO_FUZZ_SANDBOX: files, directories, processes, the
// network, the clipboard, the terminal and standard input are refused by the
// platform layer itself, `quit` raises an error instead of ending the process,
// `wait` returns at once and the arena commits at most 1.5 GiB. Standard input
// and output are moreover pointed at /dev/null before anything runs.
//
// A program gets two seconds: past them every safe point raises an error until
// it gives up (a loop of its own without one, like `forever []`, still meets
// the fuzzer's -timeout; any user program could do that). Global words and the
// fields of the objects they hold are put back after each input, so that one
// input cannot change what the next one means.
//
//   EVAL_FUZZ_SEEDS=corpus-dir eval_fuzz -runs=0   writes one program per case
//       of the tables in tests/kro/ (EVAL_FUZZ_TABLES=dir reads them elsewhere)
//   EVAL_FUZZ_VERBOSE=1 eval_fuzz file...   tells each input's outcome
//   KRO_GC_STRESS=1 eval_fuzz -runs=0 corpus-dir   replays a corpus in the collector's stress mode
//   eval_fuzz -dict=tests/fuzz/eval_fuzz.dict -timeout=10 -rss_limit_mb=4096 corpus-dir
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "foundation/runtime.hpp"
#include "foundation/stack_guard.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"
#include "interpreter/tracer.hpp"
#include "io/lexer.hpp"

#ifndef KRO_FUZZ_SANDBOX
#error "eval_fuzz runs random programs: build it with tests/fuzz/build.sh, which defines KRO_FUZZ_SANDBOX"
#endif

using namespace kro;

namespace {

uint64_t runs = 0;
bool verbose = false;  // EVAL_FUZZ_VERBOSE=1: each outcome on standard error

// ---- the time budget ---------------------------------------------------------------------------

constexpr auto BUDGET = std::chrono::milliseconds(2000);
std::atomic<int64_t> deadline_ms{0};  // 0: no run in progress
std::atomic<bool> expired{false};

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The watcher marks a run that is over its time; the evaluator's next safe
// point then reaches budget_check, which raises the error.
void watch() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        int64_t d = deadline_ms.load();
        if (d && now_ms() > d) {
            // Again at every tick: a collection that was running clears the request.
            expired.store(true);
            gc::wanted = true;
        }
    }
}

void budget_check() {
    if (!expired.load() || gc::collecting) return;
    gc::wanted = true;  // and at every safe point after this one, until the run ends
    gc::Rooted what;
    string::make_at(what.get(), 16, 1);
    string::append_utf8(what.get(), "fuzz time budget");
    fire("internal", "limit-hit", what.get());
}

// ---- global state put back after each input ---------------------------------------------------

// [values-of-global-context object-1 values-1 object-2 values-2 ...]: the
// objects are kept as values so that the collector keeps their nodes current.
gc::Rooted* saved = nullptr;
int32_t global_words = 0;

void snapshot() {
    saved = new gc::Rooted;
    block::make_at(saved->get(), 64);
    global_words = context::word_count(context::global);
    {
        gc::Rooted vals;
        block::make_at(vals.get(), global_words + 1);
        for (int32_t i = 0; i < global_words; i++) {
            Cell c = context::values(context::global)[i];
            *block::add_cell(vals.get()) = c;
        }
        *block::add_cell(saved->get()) = vals.cell;
    }
    for (int32_t i = 0; i < global_words; i++) {
        Cell v = context::values(context::global)[i];
        if (!v.is(TYPE_OBJECT)) continue;
        uint32_t ctx = v.data1;
        int32_t n = context::word_count(ctx);
        gc::Rooted obj(v), vals;
        block::make_at(vals.get(), n + 1);
        for (int32_t j = 0; j < n; j++) {
            Cell c = context::values(ctx)[j];
            *block::add_cell(vals.get()) = c;
        }
        *block::add_cell(saved->get()) = obj.cell;
        *block::add_cell(saved->get()) = vals.cell;
    }
}

void restore() {
    Cell unset_cell{uint32_t(TYPE_UNSET), 0, 0, 0};
    int32_t items = block::length(saved->get());
    {
        Cell vals = *block::at(saved->get(), 0);
        int32_t now = context::word_count(context::global);
        Cell* to = context::values(context::global);
        const Cell* from = block::at(&vals, 0);
        for (int32_t i = 0; i < now; i++) to[i] = i < global_words ? from[i] : unset_cell;
    }
    for (int32_t k = 1; k + 1 < items; k += 2) {
        Cell obj = *block::at(saved->get(), k);
        Cell vals = *block::at(saved->get(), k + 1);
        uint32_t ctx = obj.data1;
        int32_t n = block::length(&vals);
        if (context::word_count(ctx) < n) n = context::word_count(ctx);
        Cell* to = context::values(ctx);
        const Cell* from = block::at(&vals, 0);
        for (int32_t j = 0; j < n; j++) to[j] = from[j];
    }
}

// ---- seeds -------------------------------------------------------------------------------------

// One program per block of each table: the cases' code (and, harmlessly, the
// blocks some of them expect).
void write_seeds(const char* dir, const char* tables) {
    DIR* d = opendir(tables);
    if (!d) {
        std::fprintf(stderr, "eval_fuzz: cannot read %s\n", tables);
        std::exit(1);
    }
    int count = 0;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 5 || name.substr(name.size() - 4) != ".kro") continue;
        std::ifstream in(std::string(tables) + "/" + name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string text = ss.str();
        gc::Rooted all;
        lexer::ScanArgs args;
        uint32_t caught = frame::catch_region(code::ERROR, [&] {
            lexer::scan_utf8(all.get(), reinterpret_cast<const uint8_t*>(text.data()), text.size(), args, nullptr);
        });
        if (caught) continue;
        int32_t n = block::length(all.get());
        for (int32_t i = 0; i < n; i++) {
            Cell c = *block::at(all.get(), i);
            if (!c.is(TYPE_BLOCK)) continue;
            gc::Rooted item(c), buffer;
            string::make_at(buffer.get(), 64, 1);
            actions::mold(item.get(), buffer.get(), true, false, false, nullptr, mold::NO_LIMIT, 0);
            std::string program = string::to_utf8(buffer.get());
            std::string path = std::string(dir) + "/" + name.substr(0, name.size() - 4) + "-" + std::to_string(i);
            if (FILE* out = std::fopen(path.c_str(), "wb")) {
                std::fwrite(program.data(), 1, program.size(), out);
                std::fclose(out);
                count++;
            }
        }
    }
    closedir(d);
    std::fprintf(stderr, "eval_fuzz: wrote %d seeds into %s\n", count, dir);
}

// ---- programs made from bytes ------------------------------------------------------------------

// An input whose first byte is 1 does not hold source: its bytes pick calls of
// every function word with arguments from a pool of awkward values (negative and
// huge numbers, empty series, series past their tail after `clear`, a block that
// holds itself, objects, maps, images, vectors, nested calls), each call in its
// own `try`, after a prelude that makes those values.
struct Callee {
    std::string name;
    int arity;
    std::vector<std::string> refinements;
};
std::vector<Callee> callees;

const char* const PRELUDE =
    "b: copy [1 2 3] append/only b b  s: \"abcdef\" s2: skip s 4 clear s  t: tail [1 2]  "
    "o: make object! [a: 1 f: func [x][x]]  m: make map! [a 1 b 2]  h: make hash! [a 1 b 2]  "
    "i: make image! 3x2  v: make vector! [integer! 8 [1 2 3]]  bs: charset \"abc\"  "
    "bb: #{00FF10} bb2: skip bb 2 clear bb  p: [x y z] p: next p  fn: func [a /r b][reduce [a b]]  "
    "e: make error! \"e\"  w: 'word  ";

const char* const POOL[] = {
    "0", "1", "-1", "2", "3", "-2", "7", "255", "256", "65536", "2147483647", "-2147483648", "1000000000",
    "-1000000000", "1.5", "-0.0", "0.0", "1e308", "-1e308", "1e-320", "0.1", "#\"a\"", "#\"^(00)\"",
    "#\"^(10FFFF)\"", "\"\"", "\"abc\"", "\"a^(00)b\"", "\"^(1F600)x\"", "#{}", "#{00FF}", "[]", "[1 2 3]",
    "[a b c]", "[[1] [2]]", "[1 [2 [3]]]", "(1 + 2)", "b", "s", "s2", "t", "o", "m", "h", "i", "v", "bs", "bb", "bb2",
    "p", "e", ":fn", "'w", "w", "none", "true", "false", "'a", "quote a:", "quote :a", "'a/b", "quote a/b:",
    "%file", "http://x.y", "1x2", "-1x-1", "0x0", "(1.5, 2)", "1.2.3", "255.255.255.0", "$1.50", "-$2",
    "10%", "1:30", "-1:00", "1-Jan-2000", "29-Feb-2024/23:59:59+5:00", "integer!", "string!", "block!",
    "any-type!", "series!", "#issue", "<tag>", "a@b.c", "@ref", "/ref", "make typeset! [integer! string!]",
    "charset [#\"a\" - #\"z\"]", "make bitset! 64", "make image! 0x0", "make vector! [float! 64 0]",
    "system/words", "self", "#(none)", "unset", "func [x][x]", "does [1]", "[x: 1]", "[a 1 b 2]",
    "\"a,b;c\"", "\"^/^-\"", "[1 + 1]", "[some skip]", "[to end]", "[any [thru \"a\"]]", "[copy x to \"c\"]",
    "[set x skip]", "[opt \"a\" some \"b\"]", "[1 3 \"a\"]", "[break]", "[reject]", "[fail]", "[(b)]",
    "[into [skip]]", "[ahead skip]", "[not end]", "[change skip \"x\"]", "[insert \"q\"]", "[remove skip]",
};

void collect_callees() {
    const char* text =
        "collect [foreach w words-of system/words [if all [value? w any-function? get/any w] [n: 0 seen: false "
        "refs: copy \"\" foreach x spec-of get w [if all [refinement? x x <> /local] [seen: true append refs "
        "rejoin [\" \" mold x]] if all [refinement? x] [seen: true] if all [not seen any [word? x lit-word? x "
        "get-word? x]] [n: n + 1]] keep rejoin [form w \" \" n refs]]]]";
    gc::Rooted program;
    Cell* top = stack::top_ptr;
    uint32_t caught = frame::catch_region(code::ERROR, [&] {
        lexer::ScanArgs scan;
        lexer::scan_utf8(program.get(), reinterpret_cast<const uint8_t*>(text), std::strlen(text), scan, nullptr);
        Flow f = interp::eval_block(program.get(), false);
        if (f != Flow::NORMAL || !stack::top()->is(TYPE_BLOCK)) return;
        gc::Rooted list(*stack::top());
        for (int32_t i = 0; i < block::length(list.get()); i++) {
            std::istringstream in(string::to_utf8(block::at(list.get(), i)));
            Callee c;
            in >> c.name >> c.arity;
            for (std::string r; in >> r;) c.refinements.push_back(r);
            // loops whose body may be an empty block never reach a safe point:
            // `loop 2147483647 []` is a hang any user could type
            static const char* const LOOPS[] = {"forever", "loop", "repeat", "while", "until", "forall", "forskip"};
            bool loop = false;
            for (const char* l : LOOPS) loop = loop || c.name == l;
            if (!loop) callees.push_back(c);
        }
    });
    stack::top_ptr = top;
    if (caught || callees.empty()) {
        std::fprintf(stderr, "eval_fuzz: the function words could not be listed\n");
        std::exit(1);
    }
}

struct Bytes {
    const uint8_t* p;
    size_t n;
    size_t at = 0;
    bool more() const { return at < n; }
    uint32_t next(uint32_t range) { return range ? (at < n ? p[at++] : 0) % range : 0; }
    uint32_t wide(uint32_t range) {
        uint32_t v = next(256) << 8;
        return range ? (v | next(256)) % range : 0;
    }
};

void argument(Bytes& in, std::string& out, int depth);

void call(Bytes& in, std::string& out, int depth) {
    const Callee& c = callees[in.wide(uint32_t(callees.size()))];
    out += c.name;
    std::vector<int> used;
    for (uint32_t k = in.next(3); k > 0 && !c.refinements.empty(); k--) {
        out += c.refinements[in.next(uint32_t(c.refinements.size()))];
    }
    out += ' ';
    // refinement arguments are not counted: a surplus or a shortage is fine,
    // the extra values are evaluated as expressions of their own
    int count = c.arity + int(in.next(3));
    for (int i = 0; i < count; i++) {
        argument(in, out, depth);
        out += ' ';
    }
}

void argument(Bytes& in, std::string& out, int depth) {
    uint32_t pick = in.next(16);
    if (pick == 0 && depth < 3) {
        out += '(';
        call(in, out, depth + 1);
        out += ')';
    } else {
        out += POOL[in.next(uint32_t(std::size(POOL)))];
    }
}

std::string generated(const uint8_t* data, size_t size) {
    Bytes in{data, size};
    std::string out = PRELUDE;
    while (in.more()) {
        out += "try [";
        call(in, out, 0);
        out += "] ";
    }
    return out;
}

// ---- one run -----------------------------------------------------------------------------------

struct Input {
    const uint8_t* data;
    size_t size;
};

std::string mold_bounded(Cell* value) {
    gc::Rooted buffer;
    string::make_at(buffer.get(), 64, 1);
    Cell part{uint32_t(TYPE_INTEGER), 0, 4096, 0};
    actions::mold(value, buffer.get(), false, false, false, &part, 4096, 0);
    return verbose ? string::to_utf8(buffer.get()) : std::string();
}

void run_input(const Input& in) {
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    int32_t frames = stack::frame_count();
    gc::RootLink* roots = gc::root_top;
    {
        gc::Rooted program;
        bool loaded = false;
        frame::catch_region(code::ERROR, [&] {
            lexer::ScanArgs scan;
            if (in.size > 0 && in.data[0] == 1) {
                std::string text = generated(in.data + 1, in.size - 1);
                if (verbose) std::fprintf(stderr, "eval_fuzz: program %s\n", text.c_str());
                lexer::scan_utf8(program.get(), reinterpret_cast<const uint8_t*>(text.data()), text.size(), scan,
                                 nullptr);
            } else {
                lexer::scan_utf8(program.get(), in.data, in.size, scan, nullptr);
            }
            loaded = true;
        });
        if (loaded && program->is(TYPE_BLOCK)) {
            gc::active = true;  // an earlier input may have said `recycle/off`
            deadline_ms.store(now_ms() + BUDGET.count());
            Flow f = Flow::NORMAL;
            bool finished = false;
            uint32_t caught = 0;
            try {
                caught = frame::catch_region(code::CATCH_ALL, [&] {
                    f = interp::eval_block(program.get(), false);
                    finished = true;
                });
            } catch (const QuitRequest&) {
                caught = code::QUIT_REQUEST;
            }
            if (verbose && caught == code::ERROR && raised_error()->is(TYPE_ERROR))
                std::fprintf(stderr, "eval_fuzz: error %s/%s\n", symbol::name(error::get_type(raised_error())).data(),
                             symbol::name(error::get_id(raised_error())).data());
            else if (verbose && caught)
                std::fprintf(stderr, "eval_fuzz: code %08X\n", caught);
            deadline_ms.store(0);
            expired.store(false);
            // A body that completed leaves one value; any other way out leaves
            // the pointers to the region, which puts back what it received.
            if (finished && f == Flow::NORMAL) {
                if (stack::top_ptr != top + 1) __builtin_trap();
                gc::Rooted result(*(stack::top_ptr - 1));
                frame::catch_region(code::ERROR, [&] {
                    std::string text = mold_bounded(result.get());
                    if (verbose) std::fprintf(stderr, "eval_fuzz: == %s (run %llu)\n", text.c_str(), (unsigned long long)runs);
                });
            }
            if (stack::frame_count() != frames) {
                std::fprintf(stderr, "eval_fuzz: %d call frames left open\n", stack::frame_count() - frames);
                __builtin_trap();
            }
            if (stack::arguments != args) {
                std::fprintf(stderr, "eval_fuzz: the arguments pointer was not put back\n");
                __builtin_trap();
            }
        }
    }
    if (gc::root_top != roots) __builtin_trap();
    if (lexer::active_scans() != 0 || lexer::value_stack_top() != 0) __builtin_trap();
    if (trace::installed) __builtin_trap();  // every way out of do/trace removes its tracer
    stack::top_ptr = top;
    stack::arguments = args;
    runtime_context.thrown_code = 0;
    restore();
}

// Each input runs on a thread of the runtime's stack size, the stack guard set
// for it, as the process runs the runtime on its own big thread.
void* on_thread(void* p) {
    pthread_attr_t attr;
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &addr, &size);
        pthread_attr_destroy(&attr);
        machine_stack::limit = reinterpret_cast<uintptr_t>(addr) + machine_stack::GUARD_MARGIN;
    }
    run_input(*static_cast<Input*>(p));
    machine_stack::limit = 0;
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Nothing may reach the terminal, even through code that bypasses the platform layer.
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        if (null_fd > 2) close(null_fd);
    }
    // KRO_GC_STRESS=1: a collection at every safe point of the runs (not of the
    // start-up, which would take minutes), every buffer moved.
    gc::init_from_environment();
    bool stress = gc::stress;
    gc::stress = false;
    runtime::init();
    gc::active = true;
    verbose = std::getenv("EVAL_FUZZ_VERBOSE") != nullptr;
    if (const char* dir = std::getenv("EVAL_FUZZ_SEEDS")) {
        const char* tables = std::getenv("EVAL_FUZZ_TABLES");
        write_seeds(dir, tables ? tables : "tests/kro");
    }
    collect_callees();
    snapshot();
    gc::budget_check = &budget_check;
    std::thread(&watch).detach();
    gc::stress = stress;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, machine_stack::RUNTIME_STACK);
    pthread_t t;
    if (pthread_create(&t, &attr, &on_thread, &in) != 0) __builtin_trap();
    pthread_attr_destroy(&attr);
    pthread_join(t, nullptr);
    // What the inputs made is garbage now: collect it now and then.
    if (++runs % 256 == 0) collector::collect();
    return 0;
}
