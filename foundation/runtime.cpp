#include "foundation/runtime.hpp"

#include "datatypes/binary.hpp"
#include "datatypes/bitset.hpp"
#include "datatypes/block.hpp"
#include "datatypes/char.hpp"
#include "datatypes/context.hpp"
#include "datatypes/date.hpp"
#include "datatypes/error.hpp"
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
#include "foundation/ext_res.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/ownership.hpp"
#include "foundation/platform/os.hpp"
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
};

// A block value inside the root block, made in a fixed buffer.
void make_root_child(Cell* out, uint32_t capacity) {
    block::make_fixed_at(out, capacity);
    copy_cell(out, block::add_cell(&root));
}
}  // namespace

void init() {
    if (done) return;
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
    stack::init(data_stack_block.data2);
    ownership::init();
    native::init_tables();
    error::init_catalog();
    interp::init();  // the action entries and the evaluator's hooks
    lexer::init();
    natives::init();  // the natives, actions, operators and typesets, from their specs
    http::init();  // url!'s HTTP service
    value_slots::init();
    collector::init();
    done = true;
    boot::run();  // the library, in Kro
}

bool initialised() { return done; }

}  // namespace kro::runtime
