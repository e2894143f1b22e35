// libFuzzer target over the tokenizer: every input is scanned in the mode its
// first byte picks (load all, stop after one, scan only, prescan; from UTF-8
// bytes or from a string of any unit width; through transcode with a callback
// that answers, moves its input, scans again, collects and throws as the input
// decides) and what it loads is molded. Syntax errors are expected; crashes,
// sanitizer reports and hangs are not.
#include <cstddef>
#include <cstdint>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/function.hpp"
#include "datatypes/simple.hpp"
#include "foundation/fire.hpp"
#include "datatypes/string.hpp"
#include "foundation/collector.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "foundation/runtime.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"

using namespace kro;

namespace {

uint64_t runs = 0;

// The callback: a function! made once (its body names every event), run by a
// stand-in for the interpreter whose answers come from a generator seeded by the input.
Cell callback_cell;
Cell* callback = &callback_cell;
uint32_t seed = 0;
int calls = 0;
int nesting = 0;

void stand_in(const Cell*, Cell* args, int32_t, Cell* result) {
    seed = seed * 1103515245u + 12345u;
    uint32_t r = seed >> 8;
    bool ok = r % 5 != 0;
    // Past a bound the callback only agrees, so that moves back cannot loop forever.
    if (++calls < 2000) {
        if (r % 7 == 0) args[1].data1 += (r >> 4) % 5;
        else if (r % 11 == 0) args[1].data1 -= (r >> 4) % 3;
        if (r % 31 == 0 && nesting < 2) {
            ++nesting;
            gc::Rooted text;
            string::make_at(text.get(), 16, 1);
            string::append_utf8(text.get(), "[a \"b\" (c) d/e 1.5", -1);
            lexer::Refinements refs;
            refs.trace = callback;
            gc::Rooted out;
            try {
                lexer::transcode(text.get(), refs, out.get());
            } catch (const Thrown&) {
                runtime_context.thrown_code = 0;
            }
            --nesting;
        }
        if (r % 257 == 0) collector::collect();
        if (r % 97 == 0) fire("script", "invalid-arg", &args[2]);
    } else {
        ok = true;
    }
    *result = logic::make(ok);
}

void make_callback() {
    const char* spec_text = "[event input type line token]";
    const char* body_text = "[true]";
    Cell spec, body;
    lexer::scan_one(reinterpret_cast<const uint8_t*>(spec_text), 29, &spec);
    lexer::scan_one(reinterpret_cast<const uint8_t*>(body_text), 6, &body);
    function::make_value(&spec, &body, 0, 0, 0, 0);
    callback_cell = *stack::top();
    stack::pop(1);
    gc::add_mark_callback([] { collector::mark_value(&callback_cell); });
    lexer::call_callback = &stand_in;
}

// Molds the value within a budget, as the console does with a result.
void mold_bounded(Cell* value) {
    Cell buffer;
    string::make_at(&buffer, 64, 1);
    Cell part{uint32_t(TYPE_INTEGER), 0, 4096, 0};
    actions::mold(value, &buffer, false, false, false, &part, 4096, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    runtime::init();
    gc::active = true;
    make_callback();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t mode = data[0];
    const uint8_t* text = data + 1;
    size_t length = size - 1;

    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    try {
        gc::Rooted out;
        lexer::ScanArgs a;
        a.stop_after_one = mode & 1;
        a.scan_only = (mode & 6) == 2;
        a.prescan = (mode & 6) == 4;
        if (mode & 0x40) {
            // transcode/trace over a string, the other bits picking refinements.
            gc::Rooted str;
            string::make_at(str.get(), uint32_t(length), 1);
            string::append_utf8(str.get(), reinterpret_cast<const char*>(text), int32_t(length));
            lexer::Refinements refs;
            refs.next = mode & 1;
            refs.scan = (mode & 6) == 2;
            refs.prescan = (mode & 6) == 4;
            refs.trace = callback;
            gc::Rooted into;
            block::make_at(into.get(), 4);
            if (mode & 8) refs.into = into.get();
            seed = uint32_t(size) * 2654435761u + data[size - 1];
            calls = 0;
            lexer::transcode(str.get(), refs, out.get());
            if (!refs.scan && !refs.prescan) mold_bounded(out.get());
        } else if (mode & 8) {
            // From a string: the text as characters, of the unit the high bits pick.
            gc::Rooted str;
            string::make_at(str.get(), uint32_t(length), 1 << ((mode >> 4) % 3));
            string::append_utf8(str.get(), reinterpret_cast<const char*>(text), int32_t(length));
            uint32_t consumed = 0;
            lexer::scan_string(out.get(), str.get(), -1, a, &consumed);
            if (consumed > string::ks_length(str.get())) __builtin_trap();
        } else {
            uint32_t consumed = 0;
            lexer::scan_utf8(out.get(), text, length, a, &consumed);
            if (consumed > length) __builtin_trap();
        }
        if (!a.scan_only && !a.prescan) mold_bounded(out.get());
    } catch (const Thrown&) {
        runtime_context.thrown_code = 0;
    }
    stack::top_ptr = top;
    stack::arguments = args;
    if (lexer::active_scans() != 0 || lexer::value_stack_top() != 0) __builtin_trap();
    // What the inputs loaded is garbage now: collect it now and then.
    if (++runs % 2048 == 0) collector::collect();
    return 0;
}
