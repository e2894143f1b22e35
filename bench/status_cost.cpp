// The cost of `return` under the status design: a loop that calls a function
// ending in `return` a million times, against the same loop calling a function
// that just ends, and one whose last expression is a call of a native that
// hands its argument back. `return` is a native call itself, so the first
// should cost what the third does; a C++ exception per `return` would make it
// many times slower.
//
// Usage: kro_status_bench [calls]   (default 1,000,000; the median of 5 runs)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/native.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"

using namespace kro;

namespace {

Cell load(const char* text) {
    Cell out;
    lexer::ScanArgs args;
    lexer::scan_utf8(&out, reinterpret_cast<const uint8_t*>(text), std::strlen(text), args, nullptr);
    return out;
}

// pass value: the value (a native call that does nothing else).
Flow pass_native(const int32_t*) {
    stack::keep();
    return Flow::NORMAL;
}

void define(const char* name, int32_t slot, interp::NativeFn fn, const char* spec) {
    Cell s = load(spec);
    Cell inner = *block::at(&s, 0);
    interp::register_native(slot, fn, &inner);
    Cell pair;
    block::make_at(&pair, 2);
    *block::add_cell(&pair) = inner;
    *block::add_cell(&pair) = Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(slot), 0};
    Cell value{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_NATIVE), 0, 0};
    native::make(&value, &pair, TYPE_NATIVE);
    context::set_global(symbol::make(name), &value);
}

double run_ms(const char* program) {
    gc::Rooted code(load(program));
    Cell* top = stack::top_ptr;
    auto start = std::chrono::steady_clock::now();
    uint32_t caught = frame::catch_region(code::ERROR, [&] { flow::raise_if(interp::eval_block(code.get(), false)); });
    auto end = std::chrono::steady_clock::now();
    stack::top_ptr = top;
    if (caught) {
        std::fprintf(stderr, "the program raised %s/%s\n", last_raised().category.c_str(), last_raised().id.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    long calls = argc > 1 ? std::atol(argv[1]) : 1000000;
    if (calls < 1 || calls > 2000000000L) calls = 1000000;
    runtime::init();
    gc::active = true;
    runtime::root_copy = false;
    // loop, func and return are the runtime's; pass is a native of a spare slot
    define("pass", 118, &pass_native, "[value]");
    run_ms("with-return: func [x] [return x]  without: func [x] [x]  with-call: func [x] [pass x]");
    char with_return[128], without[128], with_call[128];
    std::snprintf(with_return, sizeof with_return, "loop %ld [with-return 1]", calls);
    std::snprintf(without, sizeof without, "loop %ld [without 1]", calls);
    std::snprintf(with_call, sizeof with_call, "loop %ld [with-call 1]", calls);
    std::vector<double> a, b, c;
    for (int i = 0; i < 5; i++) {
        a.push_back(run_ms(with_return));
        b.push_back(run_ms(without));
        c.push_back(run_ms(with_call));
    }
    double ma = median(a), mb = median(b), mc = median(c);
    double n = double(calls);
    std::printf("calls: %ld (median of 5 runs)\n", calls);
    std::printf("func [x] [return x]:  %8.1f ms  %6.1f ns/call\n", ma, ma * 1e6 / n);
    std::printf("func [x] [x]:         %8.1f ms  %6.1f ns/call\n", mb, mb * 1e6 / n);
    std::printf("func [x] [pass x]:    %8.1f ms  %6.1f ns/call\n", mc, mc * 1e6 / n);
    std::printf("return costs %.1f ns, a native call %.1f ns (ratio %.2f)\n", (ma - mb) * 1e6 / n,
                (mc - mb) * 1e6 / n, (ma - mb) / (mc - mb));
    return 0;
}
