#include "interpreter/boot.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "datatypes/block.hpp"
#include "datatypes/error.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/embedded.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"

namespace kro::boot {

namespace {
// Read as data by the natives' initialisation, never evaluated.
constexpr std::string_view SPEC_FILE = "library/natives.kro";
}  // namespace

void run() {
    for (const embedded::Source* src = embedded::all(); src->name; src++) {
        if (src->name == SPEC_FILE) continue;
        Cell* top = stack::top_ptr;
        uint32_t caught = frame::catch_region(code::ERROR, [&] {
            gc::Rooted code;
            lexer::ScanArgs scan;
            lexer::scan_utf8(code.get(), reinterpret_cast<const uint8_t*>(src->text), src->size, scan, nullptr);
            // a source may open with its header, `Kro [...]`, which is not evaluated
            if (block::length(code.get()) >= 2) {
                const Cell* first = block::at(code.get(), 0);
                if (first->is(TYPE_WORD) && symbol::name(int32_t(first->data2)) == "Kro" &&
                    block::at(code.get(), 1)->is(TYPE_BLOCK))
                    code.get()->data1 += 2;
            }
            interp::do_block(code.get());
        });
        stack::top_ptr = top;
        if (caught) {
            std::fprintf(stderr, "boot: %s failed: %s/%s\n", src->name, last_raised().category.c_str(),
                         last_raised().id.c_str());
            std::exit(1);
        }
    }
}

}  // namespace kro::boot
