// Runs a Kro benchmark program and reports how long its evaluation took, in
// milliseconds, on standard output (the runtime's start is not timed). The
// program's result is printed molded on standard error, so that the runner
// can check that every language computed the same thing.
//
// A program may start with untimed setup: the code before a line that reads
// exactly "; timed from here" is evaluated first, outside the timing (once per
// run), and only what follows it is timed.
//
// Usage: kro_bench program.kro [runs]   (runs > 1: one line per run)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "foundation/runtime.hpp"
#include "foundation/stack_guard.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"

using namespace kro;

namespace {

constexpr const char* TIMED_MARK = "\n; timed from here\n";

struct Job {
    std::string setup;
    std::string text;
    int runs;
    int status;
};

void run(void* p) {
    auto* job = static_cast<Job*>(p);
    gc::init_from_environment();
    runtime::init();
    gc::active = true;
    runtime::root_copy = false;
    // the boot program defines these; it does not run here
    context::set_global(symbol::make("none"), &none::value);
    context::set_global(symbol::make("true"), &logic::true_value);
    context::set_global(symbol::make("false"), &logic::false_value);
    // evaluates text, answers whether it ran to its end (else the status is set)
    auto evaluate = [job](const std::string& text) {
        gc::Rooted code;
        lexer::ScanArgs args;
        lexer::scan_utf8(code.get(), reinterpret_cast<const uint8_t*>(text.data()), text.size(), args, nullptr);
        Flow f = Flow::NORMAL;
        uint32_t caught = frame::catch_region(code::ERROR, [&] { f = interp::eval_block(code.get(), false); });
        if (!caught && f == Flow::NORMAL) return true;
        std::fprintf(stderr, "the program raised %s/%s\n", last_raised().category.c_str(),
                     last_raised().id.c_str());
        job->status = 1;
        return false;
    };
    for (int r = 0; r < job->runs; r++) {
        Cell* top = stack::top_ptr;
        if (!job->setup.empty() && !evaluate(job->setup)) return;
        stack::top_ptr = top;
        auto start = std::chrono::steady_clock::now();
        bool done = evaluate(job->text);
        auto end = std::chrono::steady_clock::now();
        if (!done) return;
        std::printf("%.3f\n", std::chrono::duration<double, std::milli>(end - start).count());
        Cell result = *(stack::top_ptr - 1);
        gc::Rooted buffer;
        string::make_at(buffer.get(), 16, 1);
        actions::mold(&result, buffer.get(), false, false, true, nullptr, mold::NO_LIMIT, 0);
        std::fprintf(stderr, "%s\n", string::to_utf8(buffer.get()).c_str());
        stack::top_ptr = top;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s program.kro [runs]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read\n", argv[1]);
        return 2;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    Job job{"", ss.str(), argc > 2 ? std::atoi(argv[2]) : 1, 0};
    size_t mark = job.text.find(TIMED_MARK);
    if (mark != std::string::npos) {
        job.setup = job.text.substr(0, mark + 1);
        job.text.erase(0, mark + std::strlen(TIMED_MARK));
    }
    if (job.runs < 1) job.runs = 1;
    machine_stack::run_on_big_stack(&run, &job);
    std::fflush(stdout);
    return job.status;
}
