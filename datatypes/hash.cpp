#include "datatypes/hash.hpp"

#include <algorithm>

#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"

namespace kro::hash {

namespace {

int32_t full_of(uint32_t node) { return int32_t(memory::buffer_of(node)->used_bytes() / sizeof(Cell)); }

}  // namespace

Cell* index_in_place(Cell* blk) {
    int32_t head = int32_t(blk->data1);
    // the table covers the whole buffer, whatever the head
    blk->data1 = 0;
    blk->set_type(TYPE_HASH);
    blk->data3 = hashtable::make(std::max(full_of(blk->data2), 1), blk, hashtable::HASH);
    blk->data1 = uint32_t(head);
    return blk;
}

Cell* make(Cell* proto, Cell* spec_in, int32_t type) {
    Cell spec = *spec_in;
    gc::Rooted blk;
    switch (spec.type()) {
        case TYPE_INTEGER:
        case TYPE_FLOAT: {
            int32_t n = convert::int_of_number(&spec);
            block::make_at(blk.get(), std::max(n, 1));
            break;
        }
        case TYPE_BLOCK:
            block::copy(&spec, blk.get(), nullptr, false, nullptr);
            break;
        case TYPE_HASH:
            return copy(&spec, proto, nullptr, false, nullptr);
        default:
            return to(proto, &spec, type);
    }
    index_in_place(blk.get());
    *proto = blk.cell;
    return proto;
}

Cell* to(Cell* proto, Cell* spec_in, int32_t) {
    Cell spec = *spec_in;
    if (spec.is(TYPE_HASH)) return copy(&spec, proto, nullptr, false, nullptr);
    gc::Rooted blk;
    block::to(blk.get(), &spec, TYPE_BLOCK);
    index_in_place(blk.get());  // a new block: indexed where it stands, no second copy
    *proto = blk.cell;
    return proto;
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
    if (!only) {
        string::concatenate_ascii(buffer, "make hash! ", 11);
        limit -= 11;
    }
    return block::mold(value, buffer, only, all, flat, part, limit, indent);
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    Cell src = *value;
    bool whole = series::head_of(&src) == 0 && !part && !deep && !types;
    gc::Rooted out;
    block::copy(&src, out.get(), part, deep, types);
    out->set_type(TYPE_HASH);
    if (whole) {
        // the same cells at the same positions: the source's index serves as it is
        out->data3 = hashtable::clone(src.data3, out->data2);
    } else {
        out->data3 = 0;
        index_in_place(out.get());
    }
    *result = out.cell;
    return result;
}

// block! sort and trim rebuild a hash!'s table once they have moved its cells.
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
           bool stable) {
    return block::sort(series, case_, skip, comparator, part, all, reverse, stable);
}

Cell* trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    return block::trim(series, head, tail, auto_, lines, all, with);
}

void init() {
    ActionList a;
    a.inherit_all();
    a.set<A_MAKE>(&make)
        .set<A_TO>(&to)
        .set<A_MOLD>(&mold)
        .set<A_COPY>(&copy)
        .set<A_SORT>(&sort)
        .set<A_TRIM>(&trim)
        .unsupported(A_RANDOM);
    datatype::register_type(TYPE_HASH, TYPE_BLOCK, "hash!", a);
}

}  // namespace kro::hash
