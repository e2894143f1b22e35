// Runs tables of cases written in Kro: each case is a block of code followed by
// what its evaluation must give,
//
//     [1 + 2 * 3]          == 9                 the result, compared molded
//     [does [1]]           mold: "func [][1]"   the result's molded text
//     [loop 0 [1]]         unset                no value
//     [1 / 0]              error: math/zero-divide
//     [f: func [][x] f]    error: script/no-value  where: f  near: [x]
//                          form: "*** Script Error: x has no value"
//
// where:, near: and form: are optional after error: (the error's where field,
// its near field molded, and the first line of the formed error). Each case
// runs in its own region that receives errors, as the console runs a line, and
// must leave the stacks (and their limits) as it found them. Mismatches are reported with the
// file and line of the case; the exit status is 1 when any case failed.
//
// Output: while the global word `table-output` holds a string, what `print`
// and `prin` write (the user's calls and the library's alike) is appended to
// it instead of reaching the console, a line end as "^/".
//
// Usage: kro_tables file.kro...
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "foundation/print.hpp"
#include "foundation/runtime.hpp"
#include "foundation/stack_guard.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"

using namespace kro;

namespace {

std::string mold_of(const Cell& value) {
    Cell v = value;
    gc::Rooted buffer;
    string::make_at(buffer.get(), 16, 1);
    actions::mold(&v, buffer.get(), false, false, true, nullptr, mold::NO_LIMIT, 0);
    return string::to_utf8(buffer.get());
}

std::string form_of(const Cell& value) {
    Cell v = value;
    gc::Rooted buffer;
    string::make_at(buffer.get(), 16, 1);
    actions::form(&v, buffer.get(), nullptr, mold::NO_LIMIT);
    return string::to_utf8(buffer.get());
}

std::string spelling(const Cell& word) { return std::string(symbol::name(int32_t(word.data2))); }

bool is_word(const Cell& c, Type t, const char* name) { return c.is(t) && spelling(c) == name; }

// The values of a file with the line each starts on, read one at a time.
struct Values {
    gc::Rooted block;
    std::vector<int> lines;
};

// Skips blanks and comments; answers the new offset and counts the lines.
size_t skip_blank(const std::string& text, size_t at, int* line) {
    while (at < text.size()) {
        char c = text[at];
        if (c == '\n') {
            (*line)++;
            at++;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            at++;
        } else if (c == ';') {
            while (at < text.size() && text[at] != '\n') at++;
        } else {
            break;
        }
    }
    return at;
}

bool read_values(const std::string& text, Values* out) {
    block::make_at(out->block.get(), 64);
    size_t at = 0;
    int line = 1;
    for (;;) {
        at = skip_blank(text, at, &line);
        if (at >= text.size()) return true;
        gc::Rooted value;
        uint32_t consumed = 0;
        lexer::ScanArgs args;
        args.stop_after_one = true;
        Type t = TYPE_NONE;
        uint32_t caught = frame::catch_region(code::ERROR, [&] {
            t = lexer::scan_utf8(value.get(), reinterpret_cast<const uint8_t*>(text.data() + at), text.size() - at,
                                 args, &consumed);
        });
        if (caught) {
            std::fprintf(stderr, "line %d: cannot load the table: %s/%s\n", line, last_raised().category.c_str(),
                         last_raised().id.c_str());
            return false;
        }
        if (t == TYPE_NONE || consumed == 0) return true;
        *block::add_cell(out->block.get()) = value.cell;
        out->lines.push_back(line);
        for (uint32_t i = 0; i < consumed; i++)
            if (text[at + i] == '\n') line++;
        at += consumed;
    }
}

struct Expectation {
    enum Kind { VALUE, UNSET, ERROR } kind = VALUE;
    std::string value;     // molded result, or category/id
    std::string where;     // molded, or empty
    std::string near;      // molded, or empty
    std::string formed;    // first line of the formed error, or empty
    bool has_where = false, has_near = false, has_form = false;
};

struct Outcome {
    std::string value;  // molded result, "unset", or "error: category/id"
    std::string where, near, formed;
};

Outcome run_case(const Cell& code) {
    Outcome out;
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    int32_t frames = stack::frame_count();
    Cell* limit = stack::limit;
    int32_t frame_limit = stack::detail::frame_limit;
    gc::Rooted blk(code);
    Flow f = Flow::NORMAL;
    uint32_t caught = frame::catch_region(code::ERROR, [&] { f = interp::eval_block(blk.get(), false); });
    std::string broken;
    if (stack::frame_count() != frames) broken += " (frames left open)";
    if (stack::arguments != args) broken += " (arguments not restored)";
    if (stack::limit != limit || stack::detail::frame_limit != frame_limit) broken += " (stack limits left raised)";
    if (caught) {
        if (stack::top_ptr != top) broken += " (data stack not restored)";
        const Cell* e = raised_error();
        if (e->is(TYPE_ERROR)) {
            out.value = "error: " + std::string(symbol::name(error::get_type(e))) + "/" +
                        std::string(symbol::name(error::get_id(e)));
            out.where = mold_of(*error::field(e, error::WHERE));
            out.near = mold_of(*error::field(e, error::NEAR));
            std::string text = form_of(*e);
            out.formed = text.substr(0, text.find('\n'));
        } else {
            out.value = "error: " + last_raised().category + "/" + last_raised().id;
        }
    } else if (f != Flow::NORMAL) {
        out.value = "a pending exit (" + std::to_string(uint32_t(f)) + ")";
    } else {
        if (stack::top_ptr != top + 1) broken += " (one result expected on the data stack)";
        Cell* r = stack::top_ptr - 1;
        out.value = r->is(TYPE_UNSET) ? "unset" : mold_of(*r);
    }
    out.value += broken;
    stack::top_ptr = top;
    stack::arguments = args;
    if (stack::frame_count() > frames) stack::unwind_to(frames);
    return out;
}

struct Totals {
    int cases = 0;
    int failed = 0;
};

void report(const char* file, int line, const Cell& code, const std::string& what, const std::string& expected,
            const std::string& got, Totals* t) {
    t->failed++;
    std::printf("%s:%d: %s\n    code:     %s\n    expected: %s\n    got:      %s\n", file, line, what.c_str(),
                mold_of(code).c_str(), expected.c_str(), got.c_str());
}

bool run_file(const char* file, Totals* totals) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read\n", file);
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    Values values;
    if (!read_values(ss.str(), &values)) {
        std::fprintf(stderr, "%s: not a table\n", file);
        return false;
    }
    Cell* items = nullptr;
    int32_t n = block::length(values.block.get());
    auto at = [&](int32_t i) -> Cell {
        items = block::at(values.block.get(), 0);
        return items[i];
    };
    int32_t i = 0;
    while (i < n) {
        int line = values.lines[size_t(i)];
        Cell code = at(i);
        if (!code.is(TYPE_BLOCK)) {
            std::fprintf(stderr, "%s:%d: a case starts with a block of code, not %s\n", file, line,
                         mold_of(code).c_str());
            return false;
        }
        i++;
        Expectation ex;
        auto missing = [&](const char* what) {
            std::fprintf(stderr, "%s:%d: %s expected after the case\n", file, line, what);
            return false;
        };
        if (i < n && is_word(at(i), TYPE_WORD, "==") && i + 1 < n) {
            ex.value = mold_of(at(i + 1));
            i += 2;
        } else if (i + 1 < n && is_word(at(i), TYPE_SET_WORD, "mold") && at(i + 1).is(TYPE_STRING)) {
            Cell text = at(i + 1);
            ex.value = string::to_utf8(&text);
            i += 2;
        } else if (i < n && is_word(at(i), TYPE_WORD, "unset")) {
            ex.kind = Expectation::UNSET;
            ex.value = "unset";
            i++;
        } else if (i < n && is_word(at(i), TYPE_SET_WORD, "error") && i + 1 < n && at(i + 1).is(TYPE_PATH)) {
            ex.kind = Expectation::ERROR;
            ex.value = "error: " + mold_of(at(i + 1));
            i += 2;
            for (;;) {
                if (i + 1 < n && is_word(at(i), TYPE_SET_WORD, "where")) {
                    ex.has_where = true;
                    ex.where = mold_of(at(i + 1));
                } else if (i + 1 < n && is_word(at(i), TYPE_SET_WORD, "near")) {
                    ex.has_near = true;
                    ex.near = mold_of(at(i + 1));
                } else if (i + 1 < n && is_word(at(i), TYPE_SET_WORD, "form") && at(i + 1).is(TYPE_STRING)) {
                    ex.has_form = true;
                    Cell s = at(i + 1);
                    ex.formed = string::to_utf8(&s);
                } else {
                    break;
                }
                i += 2;
            }
        } else {
            return missing("== value, mold: \"text\", unset or error: category/id");
        }
        totals->cases++;
        gc::Rooted kept(code);
        Outcome got = run_case(kept.cell);
        if (got.value != ex.value) {
            std::string shown = got.value;
            if (!got.formed.empty()) shown += "\n              " + got.formed + "  (near: " + got.near + ")";
            report(file, line, kept.cell, "wrong result", ex.value, shown, totals);
        } else if (ex.kind == Expectation::ERROR) {
            if (ex.has_where && got.where != ex.where)
                report(file, line, kept.cell, "wrong where", ex.where, got.where, totals);
            else if (ex.has_near && got.near != ex.near)
                report(file, line, kept.cell, "wrong near", ex.near, got.near, totals);
            else if (ex.has_form && got.formed != ex.formed)
                report(file, line, kept.cell, "wrong message", ex.formed, got.formed, totals);
        }
    }
    return true;
}

int32_t output_symbol = 0;

void table_output_hook(const Cell* str, bool line_end) {
    Cell* out = context::get_global(output_symbol);
    if (!out || !out->is(TYPE_STRING)) {
        print::default_value_hook(str, line_end);
        return;
    }
    string::append_string(out, str);
    if (line_end) string::append_code_point(out, '\n');
}

struct Job {
    int argc;
    char** argv;
    int status;
};

void run_all(void* p) {
    auto* job = static_cast<Job*>(p);
    gc::init_from_environment();  // KRO_GC_STRESS: the collector's stress mode
    runtime::init();
    gc::active = true;
    runtime::root_copy = false;
    // the boot program defines these; it does not run here
    context::set_global(symbol::make("none"), &none::value);
    context::set_global(symbol::make("true"), &logic::true_value);
    context::set_global(symbol::make("false"), &logic::false_value);
    output_symbol = symbol::make("table-output");
    context::set_global(output_symbol, &none::value);
    print::remove_hooks(&print::default_value_hook, nullptr);
    print::add_hooks(&table_output_hook, nullptr);
    for (int a = 1; a < job->argc; a++) {
        Totals t;
        if (!run_file(job->argv[a], &t)) {
            job->status = 1;
            continue;
        }
        std::printf("%s: %d cases, %d failed\n", job->argv[a], t.cases, t.failed);
        if (t.failed) job->status = 1;
    }
    if (job->status && *gc::stress_settings()) std::printf("(the run repeats with %s)\n", gc::stress_settings());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s file.kro...\n", argv[0]);
        return 2;
    }
    Job job{argc, argv, 0};
    machine_stack::run_on_big_stack(&run_all, &job);
    std::fflush(stdout);
    return job.status;
}
