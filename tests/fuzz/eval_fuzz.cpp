// libFuzzer target over the evaluator: every input is Kro source, tokenized and
// evaluated the way the console runs a line, inside a region that receives
// errors and every other way out (break, throw, return); the result is then
// molded within a budget. Errors are fine outcomes; crashes, sanitizer reports,
// fatal runtime errors, stacks left unbalanced and hangs of the runtime's own
// are not.
//
// An input whose first byte is 1 is not source: its bytes pick calls of every
// function word with arguments from a pool of awkward values (see generated()).
// One whose first byte is 2 picks a program from a grammar of what the
// evaluator's and parse's shortcuts do (see shaped()), one whose first byte is
// 3 a program of parse calls alone (see parse_program()).
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
//   EVAL_FUZZ_TIGHT=1 eval_fuzz corpus-dir   gives each program only 1 to 8 MB of
//       arena beyond what is committed when it starts, so that running out of
//       memory happens everywhere, and checks the whole heap after each input
//   KRO_GC_STRESS=1 eval_fuzz -runs=0 corpus-dir   replays a corpus in the collector's stress mode
//   eval_fuzz -dict=tests/fuzz/eval_fuzz.dict -timeout=10 -rss_limit_mb=4096 corpus-dir
//
// Differential mode (EVAL_FUZZ_DIFF=1): the evaluator and parse take shortcuts
// while nothing watches them, and must give what their general way gives. Each
// input then runs twice from the same restored state: as above, and with the
// general way forced (a tracer installed that hears no event, so the evaluator
// takes every expression the long way, and parse handed a trace callback that
// answers true). The outcomes are compared: the molded result, or the error's
// category, id, arguments, near and where, or the code that ended the run;
// with it what the run printed and the global words it left changed. A
// difference seen again on a second pair of runs is printed and trapped.
//   EVAL_FUZZ_DIFF=eval or =parse forces only the evaluator's or only parse's
//       general way; EVAL_FUZZ_TRACER=events has the tracer hear every event
//       (a function that answers true), which also moves the collections
//   EVAL_FUZZ_KEEP_GOING=1 tells each difference, writes its input to diff-<pid>-<n> in the
//       current directory (the first hundred unsteady ones to unsteady-<pid>-<n>) and goes on
//       (to replay a corpus, or fuzz through the differences)
//   EVAL_FUZZ_DIFF=1 eval_fuzz -dict=tests/fuzz/eval_fuzz.dict -timeout=30 -rss_limit_mb=4096 corpus-dir
#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/mman.h>
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
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/arena.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/runtime.hpp"
#include "foundation/stack_guard.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/natives.hpp"
#include "interpreter/parse.hpp"
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
bool tight = false;    // EVAL_FUZZ_TIGHT=1: little memory per program, the heap checked after it

// ---- the time budget ---------------------------------------------------------------------------

constexpr auto BUDGET = std::chrono::milliseconds(2000);
std::atomic<int64_t> deadline_ms{0};  // 0: no run in progress
std::atomic<bool> expired{false};
bool budget_spent = false;  // the budget's error was raised in this run

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
    budget_spent = true;
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

// ---- what the differential mode leaves out ---------------------------------------------------

// Which general ways a differential run forces (EVAL_FUZZ_DIFF): 0 when the
// mode is off.
constexpr int DIFF_EVAL = 1, DIFF_PARSE = 2;
int diff_parts = 0;

// Programs naming one of these words anywhere (as any kind of word, a part of
// a path or a refinement) still run once but are not compared: their outcome
// depends on more than the way taken.
const char* const UNFIT_WORDS[] = {
    // the generator's state goes on from run to run
    "random",
    // the clock, and the functions that read it
    "now", "wait", "dt", "time-it", "clock",
    // memory figures and the collector's switch: the general way allocates more
    "stats", "recycle", "gc", "series-cycles", "nodes-cycles", "show-memory-stats",
    // the stack's depth and contents: the parse callback adds frames
    "stack-size?", "pick-stack", "frame-index?", "collect-calls",
    // tracing of the program's own: `do/trace` and `parse/trace` (the word
    // trace as a refinement), the tools built on them, what the tracer hears
    // and whether one runs; a tracer of its own is refused under the one
    // installed here, and callbacks differ by design
    "trace", "debug", "profile", "tracing?", "_set-tracing", "tools", "parse-trace", "callbacks", "do-handler",
};

// The word of the list a name spells (letter case aside; a refinement's slash
// too), or null.
const char* unfit_name(std::string_view name) {
    if (!name.empty() && name[0] == '/') name.remove_prefix(1);
    for (const char* w : UNFIT_WORDS)
        if (name.size() == std::strlen(w) && strncasecmp(name.data(), w, name.size()) == 0) return w;
    return nullptr;
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
            // the differential mode compares programs made from bytes too:
            // it leaves out what it would not compare
            if (diff_parts) {
                if (unfit_name(c.name)) continue;
                std::vector<std::string> kept;
                for (const std::string& r : c.refinements)
                    if (!unfit_name(r)) kept.push_back(r);
                c.refinements = kept;
            }
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

// ---- programs shaped for the shortcuts -----------------------------------------------------------

// An input whose first byte is 2 does not hold source either: its bytes pick
// a program from a small grammar of what the evaluator and parse do the short
// way (set-words, operators on integers and words, parens, if/unless/either
// with literal blocks, loops with break and continue, functions that return or
// exit, parse over literals, skip, repetitions, to/thru, copy/set and keep),
// mixed with what makes them give way (other types, errors, redefined words,
// code that changes its own block). Byte mutations rarely make such programs.
struct Shaper {
    Bytes in;
    std::string out;
    int loops = 0, funcs = 0;  // how many of each enclose the current point

    uint32_t pick(uint32_t n) { return in.next(n); }
    template <size_t N>
    void one_of(const char* const (&list)[N]) {
        out += list[pick(uint32_t(N))];
        out += ' ';
    }

    void atom() {
        static const char* const ATOMS[] = {
            "0", "1", "-1", "2", "3", "7", "255", "65536", "46341", "2147483647", "-2147483648", "1000000000", "-7",
            "1.5", "-0.0", "#\"a\"", "\"ab\"", "none", "true", "false", "[1 2]", "()", "$1", "10%", "1x2", "'a",
            "a", "b", "c", "a", "b", "c", "n", "s", "blk", ":a", ":f", "unset-word",
        };
        one_of(ATOMS);
    }

    void op() {
        static const char* const OPS[] = {"+", "-", "*", "/", "%", "and", "or", "xor", "=", "<>", "<", ">", "<=",
                                          ">=", "==", "=?", "**", "+", "-", "*", "<", "="};
        one_of(OPS);
    }

    void block(int depth) {
        out += "[ ";
        for (uint32_t k = pick(4); k > 0 && in.more(); k--) statement(depth + 1);
        out += "] ";
    }

    void expr(int depth) {
        uint32_t kind = depth > 4 ? pick(2) : pick(14);
        switch (kind) {
            case 0: atom(); break;
            case 1: case 2: case 3:
                atom();
                for (uint32_t k = pick(4); k > 0; k--) {
                    op();
                    if (pick(4) == 0) expr(depth + 1); else atom();
                }
                break;
            case 4:
                out += "( ";
                if (pick(3) == 0) statement(depth + 1);
                expr(depth + 1);
                out += ") ";
                break;
            case 5: {
                static const char* const CALLS[] = {"f", "g", "add", "negate", "abs", "first", "length?", "h"};
                static const int ARITY[] = {2, 1, 2, 1, 1, 1, 1, 0};
                uint32_t c = pick(8);
                out += CALLS[c];
                out += ' ';
                for (int k = 0; k < ARITY[c]; k++) expr(depth + 1);
                break;
            }
            case 6: case 7: {
                static const char* const CONDS[] = {"if", "unless", "either"};
                uint32_t c = pick(3);
                out += CONDS[c];
                out += ' ';
                expr(depth + 1);
                if (pick(6) == 0) out += "blk "; else block(depth);
                if (c == 2) {
                    if (pick(6) == 0) out += "blk "; else block(depth);
                }
                break;
            }
            case 8: out += "do "; block(depth); break;
            case 9: out += "reduce "; block(depth); break;
            case 10: parse_call(); break;
            case 11: out += "try "; block(depth); break;
            case 12: loop(depth); break;
            default: atom(); break;
        }
    }

    void loop(int depth) {
        static const char* const LOOPS[] = {"loop 3 ", "repeat i 3 ", "foreach x [1 2 3] ", "forall blk ",
                                            "while [n: n + 1 n < 4] "};
        uint32_t c = pick(5);
        if (c == 4) out += "n: 0 ";
        out += LOOPS[c];
        loops++;
        block(depth);
        loops--;
    }

    void statement(int depth) {
        uint32_t kind = pick(12);
        switch (kind) {
            case 0: case 1: case 2: {
                static const char* const SETS[] = {"a: ", "b: ", "c: ", "n: ", "blk/1: ", "a: b: "};
                one_of(SETS);
                expr(depth + 1);
                break;
            }
            case 3: {
                static const char* const EXITS[] = {"break ", "continue ", "break/return 5 ", "exit ", "return "};
                uint32_t c = pick(5);
                out += EXITS[c];
                if (c == 4) expr(depth + 1);
                break;
            }
            case 4:
                if (depth < 3) {
                    static const char* const DEFS[] = {"f: func [x y] ", "g: func [x] ", "h: does ",
                                                       "f: func [x y [integer!]] ", "g: func ['x] "};
                    one_of(DEFS);
                    funcs++;
                    block(depth);
                    funcs--;
                } else {
                    expr(depth + 1);
                }
                break;
            case 5: {
                static const char* const ODD[] = {
                    "blk: [a + 1] ", "change blk [b] ", "+: :- ", "set 'f :add ", "s: copy \"aXbc\" ",
                    "blk: copy [1 2 3] ", "clear blk ", "print a ", "unset 'a ", "a: :print ",
                    "o: make object! [a: 1 f: does [a: a + 1]] o/f ", "n: 0 ", "a: 'b ", "append blk 4 ",
                };
                one_of(ODD);
                break;
            }
            case 6: loop(depth); break;
            case 7: parse_call(); break;
            default: expr(depth + 1); break;
        }
    }

    // ---- parse: inputs over a small alphabet, so that rules match often ----

    // Text of 1-byte units (é, É and ÿ still fit one, though ÿ's capital
    // does not), of wider units (Ω, 😀), a binary or a block of values, each
    // a few items long.
    void parse_input() {
        static const char* const NARROW[] = {"a", "a", "b", "b", "A", "B", "B", "-", "é", "É", "ÿ"};
        static const char* const WIDE[] = {"a", "b", "A", "Ω", "ω", "😀"};
        static const char* const BYTES[] = {"61", "61", "62", "41", "42", "2D", "00", "FF"};
        static const char* const ITEMS[] = {"a", "b", "a", "1", "\"a\"", "#\"a\"", "A", "[a]", "\"ab\""};
        static const char* const NAMED[] = {"s ", "\"\" ", "tail \"ab\" "};
        uint32_t kind = pick(10), len = pick(9);
        if (kind == 9) { one_of(NAMED); return; }
        if (kind <= 4) {
            out += kind == 4 ? "next \"" : "\"";
            for (uint32_t k = 0; k < len; k++) out += NARROW[pick(uint32_t(std::size(NARROW)))];
        } else if (kind == 5) {
            out += '"';
            for (uint32_t k = 0; k < len; k++) out += WIDE[pick(uint32_t(std::size(WIDE)))];
        } else if (kind == 6 || kind == 7) {
            out += "#{";
            for (uint32_t k = 0; k < len; k++) out += BYTES[pick(uint32_t(std::size(BYTES)))];
            out += "} ";
            return;
        } else {
            out += '[';
            for (uint32_t k = 0; k < len; k++) {
                out += ITEMS[pick(uint32_t(std::size(ITEMS)))];
                out += ' ';
            }
            out += "] ";
            return;
        }
        out += "\" ";
    }

    // A rule that matches one thing or nothing at all: chars and strings in
    // either letter case, bitsets, words holding them, binaries, block items.
    void parse_literal() {
        static const char* const LITS[] = {
            "#\"a\" ", "#\"a\" ", "#\"b\" ", "#\"A\" ", "#\"B\" ", "#\"-\" ", "#\"é\" ", "#\"É\" ", "#\"Ÿ\" ",
            "#\"Ω\" ", "#\"😀\" ",
            "\"a\" ", "\"ab\" ", "\"Ab\" ", "\"ba\" ", "\"aa\" ", "\"\" ", "\"-a\" ", "\"Ω\" ", "skip ", "skip ",
            "end ", "cs ", "cs ", "ncs ", "wcs ", "ch ", "st ", "charset \"bA\" ", "#{61} ", "#{6162} ", "#{} ",
            "'a ", "'b ", "\"ab\" ", "word! ", "integer! ", "rb ",
        };
        one_of(LITS);
    }

    // A rule of parse, mostly of the kinds it runs in place.
    void parse_rule(int depth) {
        uint32_t kind = depth > 3 ? 0 : pick(27);
        switch (kind) {
            case 4: case 5: case 19: {
                static const char* const REPS[] = {"some ", "any ", "opt ", "some ", "any "};
                one_of(REPS);
                parse_operand(depth);
                break;
            }
            case 6: case 20: {  // counted: n, n m, with a word for the count now and then
                static const char* const COUNTS[] = {"0 ", "1 ", "2 ", "3 ", "0 1 ", "1 2 ", "2 4 ", "0 3 ",
                                                     "1 1 ", "3 2 ", "k ", "k 3 "};
                one_of(COUNTS);
                parse_operand(depth);
                break;
            }
            case 7: case 8: {
                out += pick(2) ? "to " : "thru ";
                uint32_t what = pick(6);
                if (what == 0) out += "end ";
                else if (what == 1) parse_block(depth);
                else parse_literal();
                break;
            }
            case 9: case 10: case 21: {
                static const char* const CMDS[] = {"copy v ", "set v ", "copy w ", "keep ", "keep pick ", "keep ",
                                                   "ahead ", "not "};
                one_of(CMDS);
                parse_operand(depth);
                break;
            }
            case 11:
                out += pick(2) ? "collect " : "collect set c ";
                parse_block(depth);
                break;
            case 12: {
                // with code that changes the input, the words the rules
                // name or a rule block while they are in use
                static const char* const WORDS[] = {
                    "fail ", "break ", "reject ", "p: ", "end ", "| ", "(n: n + 1) ", "if (n < 2) ", ":p ",
                    "remove skip ", "insert \"q\" ", "change skip \"z\" ", "(ch: #\"a\") ", "(cs: charset \"-\") ",
                    "(append r1 'skip) ", "(clear s) ", "(st: \"b\") ", "(k: 1) ",
                };
                one_of(WORDS);
                break;
            }
            case 13:  // `while` goes on without progress: its body takes a byte each time
                out += "while [skip ";
                parse_literal();
                out += "] ";
                break;
            case 14: case 15: parse_block(depth); break;
            case 16: out += "( "; statement(depth + 5); out += ") "; break;
            case 22: case 23: case 24: case 25: case 26: parse_scan(depth); break;
            default: parse_literal(); break;
        }
    }

    // A char or bitset (or a word holding one), what a text of 1-byte units
    // or a binary is scanned for through a byte table.
    void parse_byte_rule() {
        static const char* const SCANNED[] = {"#\"a\" ", "#\"b\" ", "#\"B\" ", "#\"-\" ", "#\"é\" ",
                                              "#\"Ÿ\" ", "#\"ÿ\" ", "#\"Ω\" ", "cs ", "ncs ",
                                              "wcs ", "ch ", "charset \"b-\" ", "rb "};
        one_of(SCANNED);
    }

    // A block repeated or entered whose rules are all repetitions, to, thru,
    // keeps of them and skip over chars and bitsets, with alternatives: what
    // runs as a few byte scans (inside a collect now and then, where keeps
    // are made in place). A char or bitset alone among them has the block
    // tried rule by rule instead, its scans still through byte tables.
    void parse_scan(int depth) {
        bool collect = pick(3) == 0;
        if (collect) out += pick(2) ? "collect [ " : "collect set c [ ";
        static const char* const REPS[] = {"any ", "some ", "opt ", "", "while ", "2 "};
        uint32_t rep = pick(uint32_t(std::size(REPS)));
        out += REPS[rep];
        // `while` stops only when its body fails: each time it takes a byte
        out += rep == 4 ? "[ skip " : "[ ";
        for (uint32_t k = 1 + pick(3); k > 0 && in.more(); k--) {
            static const char* const HOW[] = {"some ", "any ", "opt ", "to ", "thru ", "skip ", "keep some ",
                                              "keep pick some ", "keep to ", "keep thru ", "keep opt ", "keep any ",
                                              "thru ", "some ", "", ""};
            uint32_t how = pick(uint32_t(std::size(HOW)));
            out += HOW[how];
            if (how != 5) parse_byte_rule();
            if (rep != 4 && pick(4) == 0) out += "| ";
        }
        out += "] ";
        if (collect) {
            if (pick(2)) parse_rule(depth + 1);
            out += "] ";
        }
    }

    // What a command repeats, keeps or looks ahead at: a literal or a block.
    void parse_operand(int depth) {
        if (pick(3) == 0) parse_block(depth);
        else parse_literal();
    }

    void parse_block(int depth) {
        out += "[ ";
        for (uint32_t k = pick(8) == 0 ? 0 : 1 + pick(3); k > 0 && in.more(); k--) {
            parse_rule(depth + 1);
            if (pick(5) == 0) out += "| ";
        }
        out += "] ";
    }

    // A parse call (its refinements /case and /part now and then) over an
    // input from parse_input and rules from parse_rule.
    void parse_call() {
        static const char* const HOW[] = {"parse ", "parse ", "parse ", "parse/case ", "parse/part ",
                                          "parse/case/part "};
        uint32_t how = pick(uint32_t(std::size(HOW)));
        out += HOW[how];
        parse_input();
        static const char* const NAMED[] = {"r1 ", "r2 ", "r "};
        if (pick(6) == 0) {
            one_of(NAMED);
        } else {
            out += "[ ";
            for (uint32_t k = 1 + pick(4); k > 0 && in.more(); k--) {
                parse_rule(0);
                if (pick(5) == 0) out += "| ";
            }
            if (pick(2)) out += "p: ";  // where the last alternative got to
            out += "] ";
        }
        if (how >= 4) {
            out += std::to_string(pick(7));
            out += ' ';
        }
    }
};

// The words parse rules name: bitsets (one wider than a byte), a char, a
// string, counts and rule blocks.
const char* const PARSE_WORDS =
    "cs: charset \"aB\" ncs: complement charset \"a-\" wcs: charset \"bΩ\" ch: #\"b\" st: \"Ab\" k: 2 "
    "rb: [#\"a\" | #\"b\"] ";

std::string shaped(const uint8_t* data, size_t size) {
    Shaper s{Bytes{data, size}, std::string("a: 1 b: 2 c: 3 n: 0 s: copy \"abc\" blk: copy [1 2 3] v: none w: none "
                                            "f: func [x y] [x + y] g: func [x] [x * 2] h: does [a] "
                                            "r: [#\"a\" | skip] r1: [some #\"a\"] r2: [thru \"b\" end] p: none ") +
                                    PARSE_WORDS};
    while (s.in.more()) s.statement(0);
    s.out += "reduce [a b c n s blk v]";
    return s.out;
}

// An input whose first byte is 3 picks a program of parse calls alone: each
// one's result (or error) goes into a block with what its copy, set and
// collect set left, and between them the words the rules name may change.
// Two rule blocks are made first and used again by later calls, on other
// inputs.
std::string parse_program(const uint8_t* data, size_t size) {
    Shaper s{Bytes{data, size}, std::string("n: 0 s: copy \"aAb\" v: w: c: p: none res: copy [] ") + PARSE_WORDS};
    for (const char* name : {"r1: ", "r2: "}) {
        s.out += name;
        s.parse_block(2);
    }
    s.out += "r: [r1 | r2] ";
    for (int calls = 0; s.in.more() && calls < 8; calls++) {
        if (s.pick(5) == 0) {
            static const char* const CHANGES[] = {"ch: #\"A\" ", "st: \"a\" ", "cs: charset \"b\" ", "k: 0 ",
                                                  "append r1 #\"b\" ", "s: \"Ωa\" ", "insert r2 'opt "};
            s.one_of(CHANGES);
        }
        s.out += "v: w: c: p: none n: 0 append/only res reduce [try [";
        s.parse_call();
        s.out += "] v w c either series? p [index? p] [p]] ";
    }
    s.out += "res";
    return s.out;
}

// ---- the differential mode ---------------------------------------------------------------------

bool tracer_hears = false;     // EVAL_FUZZ_TRACER=events
bool keep_going = false;       // EVAL_FUZZ_KEEP_GOING=1: a difference is told, not trapped
gc::Rooted* diff_tracer = nullptr;     // the tracer installed for the general way
gc::Rooted* parse_callback = nullptr;  // the trace callback parse is handed
int capture_fd = -1;                   // what the runs print goes there

// What the current run met that makes its outcome depend on more than the way
// it took (null: nothing).
const char* run_unfit = nullptr;
void (*kro_trace_error)(const Cell*) = nullptr;
int32_t internal_sym = 0, overflow_sym = 0, no_memory_sym = 0;

struct Counts {
    uint64_t compared = 0, same = 0, unfit = 0, unsteady = 0, differ = 0;
    std::map<std::string, uint64_t> why;  // the unfit ones by reason
} counts;

// Every raised error passes here before the tracer's own hook. A stack
// overflow depends on the depth the way took (the general way and the tracer's
// calls use more machine stack, the parse callback more call frames), running
// out of memory on what the collector had reclaimed by then.
void note_raised(const Cell* error) {
    if (symbol::same_word(error::get_type(error), internal_sym)) {
        int32_t id = error::get_id(error);
        if (symbol::same_word(id, overflow_sym)) run_unfit = "stack overflow";
        else if (symbol::same_word(id, no_memory_sym)) run_unfit = "out of memory";
    }
    if (kro_trace_error) kro_trace_error(error);
}

// The parse native with a trace callback that answers true when the caller
// gave none: the machine then goes through its general states.
Flow traced_parse(const int32_t* refs) {
    if (refs[2] >= 0) return parse::native(refs);
    Cell* a = stack::arguments;
    const Cell* part = refs[1] >= 0 ? a + refs[1] : nullptr;
    Flow f = parse::run(a, a + 1, refs[0] >= 0, part, parse_callback->get());
    if (f != Flow::NORMAL) return f;
    stack::set_last_reset(stack::top());
    return Flow::NORMAL;
}

// The first word of the list the program names, at any depth of its blocks,
// parens and paths, or null.
const char* unfit_word(const Cell* code, int depth) {
    if (depth > 64) return nullptr;  // deeper still is left to the runs themselves
    int32_t n = block::length(code);
    for (int32_t i = 0; i < n; i++) {
        Cell c = *block::at(code, i);
        uint32_t t = c.type();
        if (t >= TYPE_WORD && t <= TYPE_REFINEMENT) {
            if (const char* w = unfit_name(symbol::name(int32_t(c.data2)))) return w;
        } else if (series::is_block_kind(t) && c.data2) {
            if (const char* w = unfit_word(&c, depth + 1)) return w;
        }
    }
    return nullptr;
}

// A value molded (at most limit characters), whatever the verbosity; a mold
// that raises an error says so.
std::string mold_text(const Cell* value, int32_t limit) {
    std::string text = "<mold raised an error>";
    Cell* top = stack::top_ptr;
    gc::Rooted v(*value);
    frame::catch_region(code::ERROR, [&] {
        gc::Rooted buffer;
        string::make_at(buffer.get(), 64, 1);
        Cell part{uint32_t(TYPE_INTEGER), 0, uint32_t(limit), 0};
        actions::mold(v.get(), buffer.get(), false, false, false, &part, limit, 0);
        text = string::to_utf8(buffer.get());
    });
    stack::top_ptr = top;
    runtime_context.thrown_code = 0;
    return text;
}

// An error by its category, id, arguments, near and where (the stack of call
// names is left to the result's mold, where a program shows it).
std::string error_text(const Cell* raised) {
    gc::Rooted e(*raised);  // molding below may raise and replace the error raised last
    std::string text = "error ";
    text += mold_text(error::field(e.get(), error::TYPE), 64);
    text += '/';
    text += mold_text(error::field(e.get(), error::ID), 64);
    static const char* const NAMES[] = {"arg1", "arg2", "arg3", "near", "where"};
    static const error::Field FIELDS[] = {error::ARG1, error::ARG2, error::ARG3, error::NEAR, error::WHERE};
    for (int i = 0; i < 5; i++) {
        text += "\n  ";
        text += NAMES[i];
        text += ": ";
        text += mold_text(error::field(e.get(), FIELDS[i]), 1024);
    }
    return text;
}

// What the run printed (its length, a hash of it all and its first part), the
// capture emptied for the next run.
std::string take_output() {
    off_t size = lseek(capture_fd, 0, SEEK_END);
    uint64_t hash = 1469598103934665603ull;
    std::string head;
    char chunk[65536];
    for (off_t at = 0; at < size;) {
        ssize_t got = pread(capture_fd, chunk, sizeof chunk, at);
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; i++) hash = (hash ^ uint8_t(chunk[i])) * 1099511628211ull;
        if (head.size() < 2048) head.append(chunk, size_t(std::min<ssize_t>(got, ssize_t(2048 - head.size()))));
        at += got;
    }
    if (ftruncate(capture_fd, 0) != 0 || lseek(capture_fd, 0, SEEK_SET) != 0) __builtin_trap();
    if (size <= 0) return std::string();
    return "\nprinted " + std::to_string(size) + " bytes (hash " + std::to_string(hash) + "): " + head;
}

// The global words and the fields of the global objects the run left other
// than the snapshot holds, molded.
std::string changed_globals() {
    std::string text;
    auto compare = [&](uint32_t ctx, const Cell* snapshot, int32_t known) {
        int32_t n = context::word_count(ctx);
        for (int32_t i = 0; i < n && text.size() < 16384; i++) {
            Cell v = context::values(ctx)[i];
            bool same = i < known ? std::memcmp(&v, block::at(snapshot, i), sizeof(Cell)) == 0 : v.is(TYPE_UNSET);
            if (same) continue;
            text += "\nset ";
            text += symbol::name(int32_t(context::word_at(ctx, i)->data2));
            text += ": ";
            text += mold_text(&v, 256);
        }
    };
    Cell vals = *block::at(saved->get(), 0);
    compare(context::global, &vals, global_words);
    int32_t items = block::length(saved->get());
    for (int32_t k = 1; k + 1 < items; k += 2) {
        Cell obj = *block::at(saved->get(), k);
        Cell fields = *block::at(saved->get(), k + 1);
        compare(obj.data1, &fields, block::length(&fields));
    }
    return text;
}

// ---- one run -----------------------------------------------------------------------------------

struct Input {
    const uint8_t* data;
    size_t size;
};

// What a run of the differential mode compares.
struct Outcome {
    std::string text;
    const char* unfit = nullptr;  // why it is not compared
    std::string program;          // the source of a program made from bytes
};

std::string mold_bounded(Cell* value) {
    gc::Rooted buffer;
    string::make_at(buffer.get(), 64, 1);
    Cell part{uint32_t(TYPE_INTEGER), 0, 4096, 0};
    actions::mold(value, buffer.get(), false, false, false, &part, 4096, 0);
    return verbose ? string::to_utf8(buffer.get()) : std::string();
}

int32_t all_callbacks() {
    return trace::LEXER | trace::PARSE | trace::SORT | trace::CHANGE | trace::DEEP_CHANGE | trace::PORT;
}

// Evaluates the program, the general way when asked: the tracer installed for
// the evaluator, with every class of call back from C++ code traced too (sort
// comparators, change handlers and the like run untraced otherwise, so the
// short way), and the parse native that hands a callback to the machine.
Flow evaluate(Cell* program, bool general) {
    if (!general) return interp::eval_block(program, false);
    struct Parse {
        Parse() {
            if (diff_parts & DIFF_PARSE) natives::set_fn(parse::NATIVE_SLOT, &traced_parse);
        }
        ~Parse() {
            if (diff_parts & DIFF_PARSE) natives::set_fn(parse::NATIVE_SLOT, &parse::native);
        }
    } parse_way;
    if (!(diff_parts & DIFF_EVAL)) return interp::eval_block(program, false);
    struct Callbacks {
        int32_t (*saved)() = trace::callback_bits;
        Callbacks() { trace::callback_bits = &all_callbacks; }
        ~Callbacks() { trace::callback_bits = saved; }
    } callbacks;
    return trace::traced(diff_tracer->get(), [&] { return interp::eval_block(program, false); });
}

// Runs one input (the general way when asked) and checks what the runtime must
// keep whatever the program did; with out, tells the outcome there. The global
// state is put back after it.
void run_input(const Input& in, bool general = false, Outcome* out = nullptr) {
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    int32_t frames = stack::frame_count();
    gc::RootLink* roots = gc::root_top;
    run_unfit = nullptr;
    budget_spent = false;
    {
        gc::Rooted program;
        bool loaded = false;
        frame::catch_region(code::ERROR, [&] {
            lexer::ScanArgs scan;
            if (in.size > 0 && in.data[0] >= 1 && in.data[0] <= 3) {
                std::string text = in.data[0] == 1   ? generated(in.data + 1, in.size - 1)
                                   : in.data[0] == 2 ? shaped(in.data + 1, in.size - 1)
                                                     : parse_program(in.data + 1, in.size - 1);
                if (verbose) std::fprintf(stderr, "eval_fuzz: program %s\n", text.c_str());
                if (out) out->program = text;
                lexer::scan_utf8(program.get(), reinterpret_cast<const uint8_t*>(text.data()), text.size(), scan,
                                 nullptr);
            } else {
                lexer::scan_utf8(program.get(), in.data, in.size, scan, nullptr);
            }
            loaded = true;
        });
        if (out && !(loaded && program->is(TYPE_BLOCK))) out->unfit = "not loaded";  // the evaluator never ran
        if (out && !out->unfit && (out->unfit = unfit_word(program.get(), 0)) && verbose)
            std::fprintf(stderr, "eval_fuzz: not compared: the program names %s\n", out->unfit);
        if (loaded && program->is(TYPE_BLOCK)) {
            gc::active = true;  // an earlier input may have said `recycle/off`
            uint64_t limit = arena::commit_limit();
            if (tight) {
                uint64_t room = (uint64_t(in.size ? in.data[in.size - 1] : 0) % 8 + 1) << 20;
                arena::set_commit_limit(arena::committed_bytes() + arena::ROOM_KEPT + room);
            }
            deadline_ms.store(now_ms() + BUDGET.count());
            Flow f = Flow::NORMAL;
            bool finished = false;
            uint32_t caught = 0;
            try {
                caught = frame::catch_region(code::CATCH_ALL, [&] {
                    f = evaluate(program.get(), general);
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
            arena::set_commit_limit(limit);
            if (out && caught == code::ERROR) {
                out->text = raised_error()->is(TYPE_ERROR) ? error_text(raised_error()) : "error (no value)";
            } else if (out && caught) {
                char text[32];
                std::snprintf(text, sizeof text, "code %08X", caught);
                out->text = text;
            } else if (out && f != Flow::NORMAL) {
                char text[32];
                std::snprintf(text, sizeof text, "flow %08X", uint32_t(f));
                out->text = text;
            }
            // A body that completed leaves one value; any other way out leaves
            // the pointers to the region, which puts back what it received.
            if (finished && f == Flow::NORMAL) {
                if (stack::top_ptr != top + 1) __builtin_trap();
                gc::Rooted result(*(stack::top_ptr - 1));
                if (out) out->text = "== " + mold_text(result.get(), 4096);
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
    if (out) {
        out->text += take_output();
        out->text += changed_globals();
        // a run cut short by its time budget ends where the clock says
        if (!out->unfit && budget_spent) out->unfit = "time budget";
        if (!out->unfit) out->unfit = run_unfit;
    }
    restore();
}

// With EVAL_FUZZ_KEEP_GOING, an input kept in the current directory as
// <kind>-<pid>-<n>, as libFuzzer keeps a crash's input.
void keep_input(const Input& in, const char* kind, uint64_t n) {
    std::string name = std::string(kind) + "-" + std::to_string(getpid()) + "-" + std::to_string(n);
    if (FILE* f = std::fopen(name.c_str(), "wb")) {
        std::fwrite(in.data, 1, in.size, f);
        std::fclose(f);
        std::fprintf(stderr, "eval_fuzz: input written to %s\n", name.c_str());
    }
}

void show(const char* title, const Outcome& o) {
    std::fprintf(stderr, "---- %s ----\n%s\n", title, o.text.c_str());
}

// The differential run: the shortcuts' way, then the general way, from the
// same state. A difference is believed only when a second pair of runs gives
// the same two outcomes: state the first runs left behind (series of the
// library changed in place, the symbol table, caches) or an outcome that moves
// by itself is no fault of a shortcut.
void run_diff(const Input& in) {
    // one way's run; false (counted by its reason) when its outcome is not compared
    auto fit_run = [&](bool general_way, Outcome* o) {
        run_input(in, general_way, o);
        if (!o->unfit) return true;
        counts.unfit++;
        counts.why[o->unfit]++;
        return false;
    };
    Outcome quick, general;
    if (!fit_run(false, &quick) || !fit_run(true, &general)) return;
    counts.compared++;
    if (quick.text == general.text) {
        counts.same++;
        return;
    }
    Outcome quick2, general2;
    run_input(in, false, &quick2);
    run_input(in, true, &general2);
    if (quick2.unfit || general2.unfit || quick2.text != quick.text || general2.text != general.text) {
        counts.unsteady++;
        std::fprintf(stderr, "eval_fuzz: outcomes differ from run to run, not compared\n");
        // a few of them, to look at by hand: most change state that is not put back
        if (keep_going && counts.unsteady <= 100) keep_input(in, "unsteady", counts.unsteady);
        if (verbose) {
            show("the shortcuts' way", quick);
            show("the general way", general);
            show("the shortcuts' way again", quick2);
            show("the general way again", general2);
        }
        return;
    }
    counts.differ++;
    std::fprintf(stderr, "eval_fuzz: the shortcuts and the general way differ\n");
    if (!quick.program.empty()) std::fprintf(stderr, "program: %s\n", quick.program.c_str());
    else std::fprintf(stderr, "program: %.*s\n", int(std::min<size_t>(in.size, 4096)), reinterpret_cast<const char*>(in.data));
    show("the shortcuts' way", quick);
    show("the general way", general);
    if (!keep_going) __builtin_trap();
    // kept as libFuzzer keeps a crash's input
    keep_input(in, "diff", counts.differ);
}

void report_counts() {
    std::fprintf(stderr,
                 "eval_fuzz: %llu inputs compared (%llu alike, %llu differing), %llu not compared (unfit), "
                 "%llu unsteady\n",
                 (unsigned long long)counts.compared, (unsigned long long)counts.same,
                 (unsigned long long)counts.differ, (unsigned long long)counts.unfit,
                 (unsigned long long)counts.unsteady);
    for (const auto& [why, n] : counts.why)
        std::fprintf(stderr, "eval_fuzz:   not compared (%s): %llu\n", why.c_str(), (unsigned long long)n);
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
    if (diff_parts) run_diff(*static_cast<Input*>(p));
    else run_input(*static_cast<Input*>(p));
    machine_stack::limit = 0;
    return nullptr;
}

// A function value made from Kro text, kept for the whole process.
gc::Rooted* made(const char* text) {
    auto* kept = new gc::Rooted;
    gc::Rooted program;
    Cell* top = stack::top_ptr;
    uint32_t caught = frame::catch_region(code::ERROR, [&] {
        lexer::ScanArgs scan;
        lexer::scan_utf8(program.get(), reinterpret_cast<const uint8_t*>(text), std::strlen(text), scan, nullptr);
        if (interp::eval_block(program.get(), false) == Flow::NORMAL) kept->cell = *stack::top();
    });
    stack::top_ptr = top;
    if (caught || !kept->cell.is(TYPE_FUNCTION)) {
        std::fprintf(stderr, "eval_fuzz: could not make %s\n", text);
        std::exit(1);
    }
    return kept;
}

void set_up_diff(const char* parts) {
    std::string p = parts;
    diff_parts = p == "eval" ? DIFF_EVAL : p == "parse" ? DIFF_PARSE : DIFF_EVAL | DIFF_PARSE;
    const char* hears = std::getenv("EVAL_FUZZ_TRACER");
    tracer_hears = hears && std::string(hears) == "events";
    keep_going = std::getenv("EVAL_FUZZ_KEEP_GOING") != nullptr;
    // A tracer whose body begins with a block naming no event hears nothing:
    // the evaluator still takes the general way for all it does.
    diff_tracer = made(tracer_hears ? "func [event code offset value ref frame] [true]"
                                    : "func [event code offset value ref frame] [[no-event] true]");
    parse_callback = made("func [event match? rule input stack] [true]");
    internal_sym = symbol::make("internal");
    overflow_sym = symbol::make("stack-overflow");
    no_memory_sym = symbol::make("no-memory");
    kro_trace_error = raise::trace_error;
    raise::trace_error = &note_raised;
    // printing is part of the outcome: the runs' output is kept in memory
    capture_fd = memfd_create("eval_fuzz_output", 0);
    if (capture_fd < 0) {
        std::perror("eval_fuzz: memfd_create");
        std::exit(1);
    }
    console::set_output_fd(capture_fd);
    std::atexit(&report_counts);
    std::fprintf(stderr, "eval_fuzz: differential mode (%s%s%s)\n", diff_parts & DIFF_EVAL ? "evaluator" : "",
                 diff_parts == (DIFF_EVAL | DIFF_PARSE) ? " and " : "", diff_parts & DIFF_PARSE ? "parse" : "");
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
    tight = std::getenv("EVAL_FUZZ_TIGHT") != nullptr;
    if (const char* dir = std::getenv("EVAL_FUZZ_SEEDS")) {
        const char* tables = std::getenv("EVAL_FUZZ_TABLES");
        write_seeds(dir, tables ? tables : "tests/kro");
    }
    if (const char* diff = std::getenv("EVAL_FUZZ_DIFF")) set_up_diff(diff);
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
    if (++runs % 256 == 0 || tight) collector::collect();
    if (tight) {
        std::string finding = collector::check_heap();
        if (!finding.empty()) {
            std::fprintf(stderr, "eval_fuzz: the heap is broken after the input: %s\n", finding.c_str());
            __builtin_trap();
        }
    }
    return 0;
}
