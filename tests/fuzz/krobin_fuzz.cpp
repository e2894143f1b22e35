// libFuzzer target over the KROBIN reader: every input is decoded in codec
// mode; malformed input may raise only the format's errors (invalid-data,
// kb-invalid-record, no-codec, too-deep). Whatever decodes is molded, written
// again in both layouts and read back, which must succeed: a decoded value is
// always one the writers accept.
//
// With KROBIN_FUZZ_BOOT=1 in the environment, every input is decoded as boot
// data of a built environment instead (boot mode, after the prelude that the
// executable's boot passes): malformed input may raise only the same errors.
// Input the boot mode would end the process for (no magic, packed data that
// does not unpack: a message and status 1) is skipped.
//
// With KROBIN_FUZZ_SEEDS=dir in the environment, the target first writes the
// encodings of a few rich values into dir, for use as a seed corpus (in boot
// mode, boot data of an environment holding them).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/runtime.hpp"
#include "interpreter/boot_steps.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"
#include "io/krobin.hpp"
#include "io/krobin_format.hpp"
#include "foundation/crush.hpp"
#include "io/lexer.hpp"

using namespace kro;

namespace {

uint64_t runs = 0;
bool boot_mode = false;

Cell loaded(const char* text) {
    Cell out;
    lexer::ScanArgs args;
    lexer::scan_utf8(&out, reinterpret_cast<const uint8_t*>(text), std::strlen(text), args, nullptr);
    return out;
}

Flow scratch_native(const int32_t*) { return Flow::NORMAL; }

// A native, an action, a function, an object holding them, an op, and a
// block that holds itself: the kinds of records that reach the most code.
void write_seeds(const char* dir) {
    gc::Rooted all(loaded(
        "1 -70 2.5 50% 1:30 1-Feb-2024/10:00 \"t\xC3\xA9xt\" \"\xF0\x9F\x98\x80\" %f <t> #{00FF} 3x4 (1.5, 2) "
        "1.2.3 $1 #i 'w /r w: :g [a (b) c/d] #[k: 1 \"s\" 2] #(none) #(true) #(integer!)"));
    Cell specs = loaded("[a b] [a b a]");
    gc::Rooted spec(*block::at(&specs, 0)), body(*block::at(&specs, 1));
    function::make_value(spec.get(), body.get(), 0, 0, 0, 0);
    gc::Rooted fn(*stack::top());
    stack::pop(1);
    Cell op{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_OP), 0, 0};
    native::make(&op, fn.get(), TYPE_OP);
    block::ks_append(all.get(), &op);
    Cell pair = loaded("[[value [any-type!] /only] 1]");
    Cell nat{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_NATIVE), 0, 0};
    native::make(&nat, block::at(&pair, 0), TYPE_NATIVE);
    block::ks_append(all.get(), &nat);
    gc::Rooted obj;
    object::make_at(obj.get(), 2);
    Cell names = loaded("a f");
    context::add(obj->data1, block::at(&names, 0));
    context::add(obj->data1, block::at(&names, 1));
    *object::get_values(obj.get()) = all.cell;
    object::get_values(obj.get())[1] = fn.cell;
    block::ks_append(all.get(), obj.get());
    block::ks_append(all.get(), all.get());
    if (boot_mode) {
        // the values kept after the prelude, and a global set of the first
        std::vector<Cell> kept = {all.cell, obj.cell};
        std::vector<krobin::GlobalSet> sets = {{symbol::make("fuzz-seed"), 0, 0}};
        for (int packed = 0; packed < 2; packed++) {
            std::vector<uint8_t> bytes =
                krobin::encode_environment(boot::steps::prelude(), {}, kept, sets, packed != 0);
            std::string path = std::string(dir) + "/boot-seed-" + std::to_string(packed);
            if (FILE* out = std::fopen(path.c_str(), "wb")) {
                std::fwrite(bytes.data(), 1, bytes.size(), out);
                std::fclose(out);
            }
        }
        return;
    }
    for (int form = 0; form < 4; form++) {
        gc::Rooted bin;
        krobin::encode(all.get(), bin.get(), form & 1, form & 2);
        std::vector<uint8_t> bytes = binary::bytes_of(bin.get());
        std::string path = std::string(dir) + "/seed-" + std::to_string(form);
        if (FILE* out = std::fopen(path.c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), out);
            std::fclose(out);
        }
    }
}

bool allowed(const RaisedError& e) {
    return (e.category == "script" && (e.id == "kb-invalid-record" || e.id == "invalid-data")) ||
           (e.category == "access" && e.id == "no-codec") || (e.category == "internal" && e.id == "too-deep");
}

void mold_bounded(Cell* value) {
    gc::Rooted buffer;
    string::make_at(buffer.get(), 64, 1);
    Cell part{uint32_t(TYPE_INTEGER), 0, 4096, 0};
    actions::mold(value, buffer.get(), false, false, false, &part, 4096, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    runtime::init();
    gc::active = true;
    const char* boot = std::getenv("KROBIN_FUZZ_BOOT");
    boot_mode = boot && *boot && *boot != '0';
    // the tables' first slots, so that native! and action! records can decode
    Cell spec = loaded("[value [any-type!] /only]");
    interp::register_native(1, &scratch_native, block::at(&spec, 0));
    Cell action_spec = loaded("[type [any-type!] spec [any-type!]]");
    interp::register_action(1, block::at(&action_spec, 0));
    if (const char* dir = std::getenv("KROBIN_FUZZ_SEEDS")) {
        try {
            write_seeds(dir);
        } catch (const Thrown&) {
            std::fprintf(stderr, "writing the seeds raised %s/%s\n", last_raised().category.c_str(),
                         last_raised().id.c_str());
            std::exit(1);
        }
    }
    return 0;
}

// Boot mode: the input decoded as boot data of an environment. The values
// it sets stay (the next inputs decode in what it left), as the boot's do.
int boot_input(const uint8_t* data, size_t size) {
    if (size < 8 || std::memcmp(data, krobin::format::MAGIC, 6) != 0) return 0;
    size_t region = size - 8;
    if (data[7] & krobin::FLAG_COMPRESSED) {
        std::vector<uint8_t> unpacked;
        if (!crush::unpack(data + 8, size - 8, unpacked)) return 0;
        region = unpacked.size();
    }
    if (!(data[7] & krobin::FLAG_COMPACT) && region < 8) return 0;
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    std::vector<Cell> prelude = boot::steps::prelude();
    try {
        krobin::load(data, size, false, &prelude);
    } catch (const Thrown&) {
        runtime_context.thrown_code = 0;
        if (!allowed(last_raised())) {
            std::fprintf(stderr, "the reader raised %s/%s\n", last_raised().category.c_str(), last_raised().id.c_str());
            __builtin_trap();
        }
    }
    stack::top_ptr = top;
    stack::arguments = args;
    if (++runs % 256 == 0) collector::collect();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (boot_mode) return boot_input(data, size);
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    gc::Rooted blk;
    block::make_at(blk.get(), 1);
    bool ok = true;
    try {
        krobin::decode(data, size, blk.get());
    } catch (const Thrown&) {
        runtime_context.thrown_code = 0;
        ok = false;
        if (!allowed(last_raised())) {
            std::fprintf(stderr, "the reader raised %s/%s\n", last_raised().category.c_str(), last_raised().id.c_str());
            __builtin_trap();
        }
        if (block::length(blk.get()) != 0) __builtin_trap();  // the output is left as it was
    }
    if (ok) {
        try {
            mold_bounded(blk.get());
        } catch (const Thrown&) {
            runtime_context.thrown_code = 0;  // molding may refuse (too deep, say): not the reader's business
        }
        for (int compact = 0; compact < 2; compact++) {
            gc::Rooted bin, again;
            block::make_at(again.get(), 1);
            try {
                krobin::encode(blk.get(), bin.get(), compact);
            } catch (const Thrown&) {
                runtime_context.thrown_code = 0;
                if (last_raised().id != "too-deep") __builtin_trap();
                continue;
            }
            std::vector<uint8_t> bytes = binary::bytes_of(bin.get());
            try {
                krobin::decode(bytes.data(), bytes.size(), again.get());
            } catch (const Thrown&) {
                __builtin_trap();  // the writers' output always reads back
            }
        }
    }
    stack::top_ptr = top;
    stack::arguments = args;
    if (++runs % 2048 == 0) collector::collect();
    return 0;
}
