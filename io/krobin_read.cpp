// The KROBIN reader: both layouts, codec mode and boot mode.
//
// Nothing read from the input is trusted. Every count, size and index is
// checked against the bytes left (or the thing it indexes) before it drives an
// allocation, a copy or a lookup; containers are given a small buffer first
// and grow with what they really receive; nesting is bounded. Every value is
// placed in its container before its own items are read, so that reference
// paths (walked through the values decoded so far, from the output block) can
// reach a container that is still being filled: that is how cycles come back.
//
// The reader evaluates nothing and reaches no safe point, so no collection runs
// while it works and the nodes it keeps in C++ locals stay put; everything it
// makes hangs from the output block (or, briefly, from the data stack) as soon
// as it exists.
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/bitset.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/date.hpp"
#include "datatypes/error.hpp"
#include "datatypes/function.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/image.hpp"
#include "datatypes/map.hpp"
#include "datatypes/money.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/vector.hpp"
#include "datatypes/word.hpp"
#include "foundation/crush.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/memory.hpp"
#include "foundation/ownership.hpp"
#include "foundation/print.hpp"
#include "foundation/registry.hpp"
#include "foundation/runtime.hpp"
#include "foundation/stack_guard.hpp"
#include "foundation/support.hpp"
#include "interpreter/stack.hpp"
#include "io/krobin.hpp"
#include "io/krobin_format.hpp"

namespace kro::krobin {

namespace format {
namespace {
bool codec_flag = true;
}
void set_codec(bool on) { codec_flag = on; }
}  // namespace format

bool codec_q() { return format::codec_flag; }

int32_t (*routine_code)(int32_t name) = nullptr;
int32_t (*routine_name)(int32_t code) = nullptr;

namespace {

using namespace format;

constexpr uint32_t CELL = sizeof(Cell);
// Containers start with at most this many cells and grow as items arrive.
constexpr uint32_t FIRST_ROOM = 1024;

int32_t literal_base = -1;  // boot literal 0 is the root block's cell at this index

memory::Buffer* buf(uint32_t node) { return memory::buffer_of(node); }
uint32_t cell_count(uint32_t node) { return buf(node)->used_bytes() / CELL; }
Cell* cell_at(uint32_t node, uint32_t i) { return buf(node)->cells() + i; }
uint32_t room(uint64_t n) { return n < 1 ? 1 : n > FIRST_ROOM ? FIRST_ROOM : uint32_t(n); }

Cell integer(int32_t v) { return Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(v), 0}; }
Cell flagged(Cell c, bool nl) {
    if (nl) c.header |= FLAG_NEW_LINE;
    else c.header &= ~FLAG_NEW_LINE;
    return c;
}
bool word_type(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_REFINEMENT; }
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Runs a maker of another module inside a region that receives its errors:
// answers false (the stacks as they were) when it raised one.
template <class F>
bool guarded(F&& f) {
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    uint32_t caught = frame::catch_region(code::ERROR, std::forward<F>(f));
    if (!caught) return true;
    runtime_context.thrown_code = 0;
    stack::top_ptr = top;
    stack::arguments = args;
    return false;
}

// Where a value goes: appended to a cell series, or over one of its cells.
struct Slot {
    uint32_t node;
    int32_t index;  // -1: append
};

// A word placed before its context exists (an inline owner record follows it).
struct WordSlot {
    uint32_t node;
    uint32_t pos;
    int32_t index;
};

struct Rec {
    uint32_t type = 0;
    uint32_t header = 0;  // standard layout
    bool flag = false;    // compact layout: bit 6 of the type byte
    bool nl = false;
    bool ref = false;
    bool library = false;  // boot data of an environment: the series is library code
    const uint8_t* at = nullptr;
};

struct ContextHead {
    uint32_t kind = 0;
    bool on_stack = false, built = false, values = false, owner = false;
    std::vector<int32_t> symbols;
    const uint8_t* at = nullptr;
};

class Reader {
public:
    explicit Reader(bool codec, const std::vector<Cell>* prelude = nullptr) : codec_(codec), prelude_(prelude) {}
    // Decodes the file into the block; answers the block's cell count before.
    uint32_t run(const uint8_t* data, size_t length, Cell* block, const Cell* source);

private:
    bool codec_;
    const std::vector<Cell>* prelude_;
    bool env_ = false;  // boot data of a built environment (FLAG_ENVIRONMENT)
    bool compact_ = false;
    const uint8_t* data_ = nullptr;
    size_t length_ = 0;
    const Cell* source_ = nullptr;
    const uint8_t* region_ = nullptr;  // the bytes after the file header (packed input: unpacked)
    const uint8_t* p_ = nullptr;
    const uint8_t* end_ = nullptr;
    std::vector<uint8_t> unpacked_;
    const uint8_t* sym_offsets_ = nullptr;
    uint32_t sym_count_ = 0;
    const uint8_t* strings_ = nullptr;
    uint32_t strings_size_ = 0;
    std::vector<int32_t> sym_ids_;
    uint32_t out_ = 0;    // node of the output block
    uint32_t start_ = 0;  // its cell count before the decoding
    int32_t depth_ = 0;
    std::vector<uint32_t> path_;
    // each symbol's slot in the global context once a word of it was read:
    // the library's data names the same global words tens of thousands of times
    std::vector<int32_t> global_slots_;

    // ---- failures ----
    [[noreturn]] void corrupt(const uint8_t* at) {
        Cell offset = integer(int32_t(FILE_HEADER + (at - region_) + 1));
        fire("script", "kb-invalid-record", &offset);
    }
    [[noreturn]] void not_krobin(const char* boot_message);
    // Indexes a table's keys. Keys that refuse to be compared with each other
    // (vectors of different element types) were never written by us: the
    // record is corrupt, not the script.
    template <typename Index>
    void indexed(const uint8_t* at, Index index) {
        if (!frame::catch_region(code::ERROR, index)) return;
        if (last_raised().category != "script") frame::rethrow();
        corrupt(at);
    }
    [[noreturn]] void no_codec(uint32_t t) {
        Cell dt{uint32_t(TYPE_DATATYPE), t, 0, 0};
        fire("access", "no-codec", &dt);
    }

    // ---- input primitives ----
    size_t left() const { return size_t(end_ - p_); }
    void need(size_t n) {
        if (left() < n) corrupt(p_);
    }
    uint8_t u8() {
        need(1);
        return *p_++;
    }
    uint32_t u32() {
        need(4);
        uint32_t w = le32(p_);
        p_ += 4;
        return w;
    }
    uint32_t varint() {
        const uint8_t* at = p_;
        uint32_t v = 0;
        for (int i = 0; i < 5; i++) {
            uint8_t b = u8();
            if (i == 4 && b > 0x0F) corrupt(at);
            v |= uint32_t(b & 0x7F) << (7 * i);
            if (!(b & 0x80)) return v;
        }
        corrupt(at);
    }
    uint32_t field() { return compact_ ? varint() : u32(); }
    int32_t sfield() { return compact_ ? unzigzag(varint()) : int32_t(u32()); }
    // A count of records: each takes at least one byte (compact) or one word.
    uint32_t count() {
        const uint8_t* at = p_;
        uint32_t n = field();
        if (n > (compact_ ? left() : left() / 4)) corrupt(at);
        return n;
    }
    void skip_padding() {
        if (compact_) return;
        while (left() >= 4 && le32(p_) == 0) p_ += 4;
    }

    // ---- structure ----
    void header(uint8_t flags);
    int32_t symbol(uint32_t index, const uint8_t* at);
    uint32_t place(const Slot& s, const Cell& c) {
        if (s.index < 0) {
            *series::add_cell(s.node) = c;
            return cell_count(s.node) - 1;
        }
        *cell_at(s.node, uint32_t(s.index)) = c;
        return uint32_t(s.index);
    }
    Cell resolve_path();
    Cell reference_path();
    Cell child(const Cell& cur, uint64_t index, const uint8_t* at);
    Cell function_child(const Cell& fn, uint64_t index, const uint8_t* at);
    uint32_t owned_context(const Cell& reached, uint32_t owner_type, const uint8_t* at);
    Cell series_reference(uint32_t t, uint32_t head, bool nl, const uint8_t* at);
    void bind(uint32_t node, uint32_t pos, uint32_t ctx, int32_t index, const uint8_t* at);

    uint32_t read_value(const Slot& s, bool root);
    uint32_t record(const Rec& r, const Slot& s);
    uint32_t global_set(const Rec& r, const Slot& s);
    uint32_t scalar(const Rec& r, const Slot& s);
    uint32_t words(const Rec& r, const Slot& s);
    uint32_t cells(const Rec& r, const Slot& s);
    uint32_t hash(const Rec& r, const Slot& s);
    uint32_t map(const Rec& r, const Slot& s);
    uint32_t text(const Rec& r, const Slot& s);
    uint32_t bytes(const Rec& r, const Slot& s);
    uint32_t image(const Rec& r, const Slot& s);
    uint32_t coded(const Rec& r, const Slot& s);
    uint32_t op(const Rec& r, const Slot& s);
    uint32_t error(const Rec& r, const Slot& s);
    uint32_t routine(const Rec& r, const Slot& s);
    uint32_t handle(const Rec& r, const Slot& s);
    uint32_t object(const Rec& r, const Slot& s);
    uint32_t function(const Rec& r, const Slot& s);
    uint32_t context_value(const Rec& r, const Slot& s);
    uint32_t head_field(const Rec& r) {
        const uint8_t* at = p_;
        uint32_t head = compact_ ? (r.flag ? varint() : 0) : u32();
        if (head > 0x7FFFFFFF) corrupt(at);
        return head;
    }
    // The library flag of a cell series made by a record that carried it.
    void flag_library(const Rec& r, uint32_t node) {
        if (r.library) buf(node)->flags |= memory::FLAG_LIBRARY;
    }
    void items(uint32_t node, uint32_t n) {
        for (uint32_t i = 0; i < n; i++) read_value(Slot{node, -1}, false);
    }

    ContextHead context_head(const Rec* own);
    uint32_t make_context(const ContextHead& h);
    void context_values(uint32_t ctx, const ContextHead& h);
    uint32_t object_body(bool handlers, const Slot* s, const WordSlot* w, bool nl);
    uint32_t function_body(const Slot* s, const WordSlot* w, bool nl);
    Cell block_into(uint32_t node);
    uint32_t check_spec(uint32_t ctx, uint32_t spec, const uint8_t* at);
};

struct Depth {
    int32_t& d;
    explicit Depth(int32_t& depth) : d(depth) {
        if (++d > MAX_DEPTH) fire("internal", "too-deep");
        machine_stack::check();
    }
    ~Depth() { d--; }
};

// ---- the file --------------------------------------------------------------------------------

void Reader::not_krobin(const char* boot_message) {
    if (!codec_) {
        // the process cannot run without its boot data
        print::print_line({print::text(boot_message)});
        rt_error::end_process(1);
    }
    gc::Rooted arg;
    if (source_) arg.cell = *source_;
    else binary::load_in(data_, uint32_t(length_ > 0xFFFFFFFFu ? 0xFFFFFFFFu : length_), arg.get());
    fire("script", "invalid-data", arg.get());
}

uint32_t Reader::run(const uint8_t* data, size_t length, Cell* block, const Cell* source) {
    data_ = data;
    length_ = length;
    source_ = source;
    if (length < FILE_HEADER || std::memcmp(data, MAGIC, sizeof MAGIC) != 0) not_krobin("Error: Not a Krobin file!");
    uint8_t flags = data[7];  // the version byte is not examined
    region_ = data + FILE_HEADER;
    p_ = region_;
    end_ = data + length;
    if (flags & FLAG_COMPRESSED) {
        if (!crush::unpack(region_, length - FILE_HEADER, unpacked_))
            not_krobin("Error: Krobin compressed data corrupted!");
        region_ = p_ = unpacked_.data();
        end_ = region_ + unpacked_.size();
    }
    compact_ = flags & FLAG_COMPACT;
    env_ = !codec_ && (flags & FLAG_ENVIRONMENT);
    out_ = block->data2;
    start_ = cell_count(out_);
    Cell* top = stack::top_ptr;
    try {
        if (!compact_ && left() < 8) not_krobin("Error: Not a Krobin file!");
        header(flags);
        if (prelude_)
            for (const Cell& c : *prelude_) *series::add_cell(out_) = c;
        Slot root{out_, -1};
        for (;;) {
            skip_padding();
            if (p_ >= end_) break;
            read_value(root, true);
        }
    } catch (const Thrown&) {
        // what this decoding appended goes: a value cut short is no value
        memory::Buffer* b = buf(out_);
        if (b->used_bytes() > start_ * CELL) b->tail = b->offset + start_ * CELL;
        throw;
    }
    stack::top_ptr = top;
    return start_;
}

void Reader::header(uint8_t flags) {
    field();  // the record count: one root value, not used
    const uint8_t* at = p_;
    uint32_t payload = field();
    if (flags & FLAG_SYMBOLS) {
        const uint8_t* count_at = p_;
        sym_count_ = field();
        uint32_t size = field();
        if (sym_count_ > left() / 4) corrupt(count_at);
        sym_offsets_ = p_;
        p_ += size_t(sym_count_) * 4;
        if (size > left() || (sym_count_ && !size)) corrupt(count_at);
        strings_ = p_;
        strings_size_ = size;
        p_ += size;
        if (size && strings_[size - 1] != 0) corrupt(p_ - 1);
        sym_ids_.assign(sym_count_, 0);
        // boot data: every name is made in table order, so that symbol ids
        // come out as in the process that wrote it
        if (!codec_)
            for (uint32_t i = 0; i < sym_count_; i++) symbol(i, count_at);
    }
    if (payload > left()) corrupt(at);
    end_ = p_ + payload;
}

int32_t Reader::symbol(uint32_t index, const uint8_t* at) {
    if (index >= sym_count_) corrupt(at);
    if (int32_t id = sym_ids_[index]) return id;
    uint32_t off = le32(sym_offsets_ + size_t(index) * 4);
    if (off >= strings_size_) corrupt(at);
    const uint8_t* name = strings_ + off;
    // the strings area ends with a NUL, so one is found
    size_t n = size_t(static_cast<const uint8_t*>(std::memchr(name, 0, strings_size_ - off)) - name);
    if (n == 0) corrupt(at);
    int32_t id = symbol::make_from_utf8(name, uint32_t(n));
    sym_ids_[index] = id;
    return id;
}

// ---- reference paths ---------------------------------------------------------------------------

// n indexes from the root value down; the cell reached, copied.
Cell Reader::resolve_path() {
    const uint8_t* at = p_;
    uint32_t n = field();
    if (n == 0 || n > MAX_PATH || n > (compact_ ? left() : left() / 4)) corrupt(at);
    path_.resize(n);
    for (uint32_t i = 0; i < n; i++) path_[i] = field();
    Cell cur{uint32_t(TYPE_BLOCK), 0, out_, 0};
    for (uint32_t i = 0; i < n; i++) cur = child(cur, uint64_t(path_[i]) + (i == 0 ? start_ : 0), at);
    return cur;
}

// The path that follows a reference record's leading fields.
Cell Reader::reference_path() {
    if (!compact_) {
        skip_padding();
        const uint8_t* at = p_;
        if ((u32() & 0xFF) != PATH_RECORD) corrupt(at);
    }
    return resolve_path();
}

Cell Reader::child(const Cell& cur, uint64_t index, const uint8_t* at) {
    auto from = [&](uint32_t node, uint64_t i) -> Cell {
        if (!node || i >= cell_count(node)) corrupt(at);
        return *cell_at(node, uint32_t(i));
    };
    auto values_node = [&](uint32_t ctx) -> uint32_t {
        const Cell* cc = context::cell_of(ctx);
        if (cc->header & context::FLAG_ON_STACK) corrupt(at);
        return cc->data2;
    };
    uint32_t t = cur.type();
    if (series::is_block_kind(t) || t == TYPE_MAP || t == TYPE_NATIVE || t == TYPE_ACTION) return from(cur.data2, index);
    switch (t) {
        case TYPE_OBJECT:
            return from(values_node(cur.data1), index);
        case TYPE_ERROR:
            return from(values_node(cur.data1), index + error::ARG1);
        case TYPE_FUNCTION:
        case TYPE_OP:
        case TYPE_ROUTINE:
            return function_child(cur, index, at);
        case TYPE_WORD:
        case TYPE_SET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD:
        case TYPE_REFINEMENT: {
            uint32_t ctx = cur.data1;
            if (!ctx || ctx == context::global) corrupt(at);
            if (context::on_stack(ctx)) {
                Cell owner = *context::owner(ctx);
                if (!owner.is(TYPE_FUNCTION)) corrupt(at);
                return function_child(owner, index, at);
            }
            return from(values_node(ctx), index);
        }
        default:
            corrupt(at);
    }
}

Cell Reader::function_child(const Cell& fn, uint64_t index, const uint8_t* at) {
    if (index == 0) return Cell{uint32_t(TYPE_BLOCK), 0, fn.data2, 0};
    bool has_body = fn.is(TYPE_FUNCTION) || fn.is(TYPE_ROUTINE) ||
                    (fn.is(TYPE_OP) && native::wrapped_type(&fn) == TYPE_FUNCTION);
    if (index != 1 || !has_body) corrupt(at);
    Cell body = *cell_at(fn.data3, function::BODY);
    if (!body.is(TYPE_BLOCK)) corrupt(at);
    return body;
}

// The context a reference reaches (through an object, a function, an op of a
// function or a bound word), whose owner must be of that type (0: an object
// or a function).
uint32_t Reader::owned_context(const Cell& reached, uint32_t owner_type, const uint8_t* at) {
    uint32_t t = reached.type();
    uint32_t ctx = 0;
    if (t == TYPE_OBJECT || t == TYPE_FUNCTION || (t == TYPE_ROUTINE && owner_type == TYPE_ROUTINE) || word_type(t) ||
        (t == TYPE_OP && native::wrapped_type(&reached) == TYPE_FUNCTION))
        ctx = reached.data1;
    if (!ctx || ctx == context::global) corrupt(at);
    uint32_t owner = context::owner(ctx)->type();
    if (owner_type ? owner != owner_type : owner != TYPE_OBJECT && owner != TYPE_FUNCTION) corrupt(at);
    return ctx;
}

// A series record with the reference flag: a value of the record's type on
// the series of the value reached, with the record's own head. The series
// must be of the same kind, or the value would misread its buffer.
Cell Reader::series_reference(uint32_t t, uint32_t head, bool nl, const uint8_t* at) {
    Cell r = reference_path();
    if (!reference_fits(t, r.type())) corrupt(at);
    // the hash table, the element type, the image size come with the series
    uint32_t extra = t == TYPE_HASH || t == TYPE_VECTOR || t == TYPE_MAP || t == TYPE_IMAGE ? r.data3 : 0;
    return flagged(Cell{t, head, r.data2, extra}, nl);
}

void Reader::bind(uint32_t node, uint32_t pos, uint32_t ctx, int32_t index, const uint8_t* at) {
    if (index < -1 || index >= context::word_count(ctx)) corrupt(at);
    Cell* w = cell_at(node, pos);
    w->data1 = ctx;
    w->data3 = uint32_t(index);
}

// ---- records ---------------------------------------------------------------------------------------

uint32_t Reader::read_value(const Slot& s, bool root) {
    Depth depth(depth_);
    Rec r;
    bool global_set = false;
    if (compact_) {
        for (;;) {
            need(1);
            uint8_t b = *p_;
            if (b == CP_NEW_LINE) r.nl = true;
            else if (b == CP_REFERENCE) r.ref = true;
            else if (b == CP_GLOBAL_SET && !codec_ && root) global_set = true;
            else if (b == CP_LIBRARY && env_) r.library = true;
            else break;
            p_++;
        }
        r.at = p_;
        uint8_t b = u8();
        if (b >= 0x80) {
            if (r.ref || global_set || r.library) corrupt(r.at);
            if (b < 0xC0) return place(s, flagged(integer(b - CP_SMALL_INT), r.nl));
            if (b == CP_TRUE || b == CP_FALSE) return place(s, flagged(logic::make(b == CP_TRUE), r.nl));
            if (b == CP_PATH) return place(s, flagged(resolve_path(), r.nl));
            corrupt(r.at);
        }
        r.flag = b & CP_FLAG;
        r.type = b & CP_TYPE_MASK;
        if (r.type == CP_TYPE_ESCAPE) r.type = varint();
        if (r.type == 0) corrupt(r.at);
    } else {
        skip_padding();
        r.at = p_;
        r.header = u32();
        r.type = r.header & 0xFF;
        if (r.type == PATH_RECORD) return place(s, resolve_path());
        if (r.type != TYPE_CONTEXT) r.nl = r.header & NEW_LINE;
        if (r.type != TYPE_CONTEXT && r.type != TYPE_OP) r.ref = r.header & REFERENCE;
        global_set = !codec_ && root && word_type(r.type) && (r.header & GLOBAL);
    }
    if (global_set) return this->global_set(r, s);
    // the library flag goes with a cell series the record makes
    if (r.library && (r.ref || !(series::is_block_kind(r.type) || r.type == TYPE_MAP))) corrupt(r.at);
    return record(r, s);
}

uint32_t Reader::record(const Rec& r, const Slot& s) {
    uint32_t t = r.type;
    switch (t) {
        case TYPE_WORD:
        case TYPE_SET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD:
        case TYPE_REFINEMENT:
        case TYPE_ISSUE:
            return words(r, s);
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_PATH:
        case TYPE_LIT_PATH:
        case TYPE_SET_PATH:
        case TYPE_GET_PATH:
            return cells(r, s);
        case TYPE_HASH:
            return hash(r, s);
        case TYPE_MAP:
            return map(r, s);
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
            return text(r, s);
        case TYPE_BINARY:
        case TYPE_VECTOR:
        case TYPE_BITSET:
            return bytes(r, s);
        case TYPE_IMAGE:
            return image(r, s);
        case TYPE_OBJECT:
            return object(r, s);
        case TYPE_FUNCTION:
            return function(r, s);
        case TYPE_CONTEXT:
            return context_value(r, s);
        default:
            break;
    }
    if (env_ && t == TYPE_ROUTINE) return routine(r, s);
    if (r.ref) corrupt(r.at);
    switch (t) {
        case TYPE_NATIVE:
        case TYPE_ACTION:
            return coded(r, s);
        case TYPE_OP:
            return op(r, s);
        case TYPE_ERROR:
            return error(r, s);
        case TYPE_HANDLE:
            if (env_) return handle(r, s);
            break;
        default:
            break;
    }
    if (without_encoding(t)) no_codec(t);
    return scalar(r, s);
}

// Boot data: the word is set to the value of the record after it, and
// neither stays in the output block.
uint32_t Reader::global_set(const Rec& r, const Slot& s) {
    uint32_t pos = words(r, s);
    read_value(Slot{out_, -1}, false);
    Cell w = *cell_at(out_, pos);
    Cell v = *cell_at(out_, cell_count(out_) - 1);
    if (!w.data1 || !guarded([&] { context::set_in(&w, &v, w.data1, false); })) corrupt(r.at);
    buf(out_)->tail = buf(out_)->offset + pos * CELL;
    return pos;
}

uint32_t Reader::scalar(const Rec& r, const Slot& s) {
    uint32_t t = r.type;
    Cell c{t, 0, 0, 0};
    switch (t) {
        case TYPE_DATATYPE: {
            const uint8_t* at = p_;
            uint32_t id = field();
            if (id > 0xFF || !datatype::registered(int32_t(id))) corrupt(at);
            c.data1 = id;
            break;
        }
        case TYPE_UNSET:
        case TYPE_NONE:
            break;
        case TYPE_LOGIC: {
            if (compact_) corrupt(r.at);  // the compact layout has its own bytes for logic!
            const uint8_t* at = p_;
            c.data1 = u32();
            if (c.data1 > 1) corrupt(at);
            break;
        }
        case TYPE_CHAR: {
            const uint8_t* at = p_;
            c.data2 = field();
            if (c.data2 > 0x10FFFF) corrupt(at);
            break;
        }
        case TYPE_INTEGER:
            c.data2 = uint32_t(sfield());
            break;
        case TYPE_PAIR:
            c.data2 = uint32_t(sfield());
            c.data3 = uint32_t(sfield());
            break;
        case TYPE_POINT2D:
        case TYPE_POINT3D:
            c.data1 = u32();
            c.data2 = u32();
            if (t == TYPE_POINT3D) c.data3 = u32();
            break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            if (!compact_) {
                c.data3 = u32();
                c.data2 = u32();
            } else if (r.flag) {
                int32_t n = sfield();
                c.set_float(t == TYPE_PERCENT ? double(n) / 100.0 : double(n));
            } else {
                c.data2 = u32();
                c.data3 = u32();
            }
            break;
        case TYPE_DATE: {
            const uint8_t* at = p_;
            uint32_t packed = u32();
            bool timed = date::has_time(packed);
            if (compact_ && r.flag != timed) corrupt(r.at);
            if (!compact_) {
                c.data3 = u32();
                c.data2 = u32();
            } else if (timed) {
                c.data2 = u32();
                c.data3 = u32();
            }
            int32_t year = date::year_of(packed), month = date::month_of(packed), day = date::day_of(packed);
            if (month < 1 || month > 12 || day < 1 || day > date::days_in_month(year, month)) corrupt(at);
            c.data1 = packed;
            if (!timed) {
                c.set_float(0.0);
            } else {
                // the local time of day lies in [0, 86400)
                double local = c.get_float() + double(date::zone_seconds(date::zone_of(packed)));
                if (!(local >= 0.0 && local < 86400.0)) corrupt(at);
            }
            break;
        }
        case TYPE_TUPLE: {
            const uint8_t* at = p_;
            uint32_t n = compact_ ? (r.flag ? u8() : 3) : (r.header >> UNIT_SHIFT) & 0xFF;
            if (n < 1 || n > uint32_t(tuple::MAX_LENGTH)) corrupt(compact_ ? at : r.at);
            c = tuple::make_empty(int32_t(n));
            uint8_t bytes[12] = {};
            if (compact_) {
                need(n);
                std::memcpy(bytes, p_, n);
                p_ += n;
            } else {
                need(12);
                std::memcpy(bytes, p_, n);  // bytes past the length stay 0
                p_ += 12;
            }
            for (uint32_t i = 0; i < uint32_t(tuple::MAX_LENGTH); i++) tuple::set_byte(&c, int32_t(i), bytes[i]);
            break;
        }
        case TYPE_MONEY: {
            const uint8_t* at = p_;
            need(12);
            std::memcpy(reinterpret_cast<uint8_t*>(&c) + 4, p_, 12);
            p_ += 12;
            for (int32_t i = 0; i < money::DIGIT_BYTES; i++) {
                uint8_t d = money::digits(&c)[i];
                if ((d >> 4) > 9 || (d & 0xF) > 9) corrupt(at);
            }
            int32_t currency = money::get_currency(&c);
            if (currency && money::currency_at(currency).is(TYPE_NONE)) corrupt(at);
            bool negative = compact_ ? r.flag : (r.header & MONEY_NEGATIVE);
            if (negative && !money::digits_zero(money::digits(&c))) c.header |= money::SIGN_FLAG;
            break;
        }
        case TYPE_TYPESET: {
            const uint8_t* at = p_;
            uint32_t n = compact_ ? u8() : 12;
            if (n > 12) corrupt(at);
            need(n);
            std::memcpy(reinterpret_cast<uint8_t*>(&c) + 4, p_, n);
            p_ += n;
            break;
        }
        default:
            // symbol!, series!, the unused codes
            corrupt(r.at);
    }
    return place(s, flagged(c, r.nl));
}

// The word kinds and issue!. An unbound word reads as a global word
// (refinements stay unbound, issues are never variables, as the tokenizer
// makes them).
uint32_t Reader::words(const Rec& r, const Slot& s) {
    uint32_t t = r.type;
    const uint8_t* at = p_;
    int32_t sym = symbol(field(), at);
    auto global_word = [&]() {
        Cell c{uint32_t(TYPE_WORD), 0, 0, 0};
        if (t == TYPE_REFINEMENT) {
            c = Cell{t, 0, uint32_t(sym), 0xFFFFFFFF};
        } else if (t == TYPE_ISSUE) {
            c = Cell{t, context::global, uint32_t(sym), 0xFFFFFFFF};
        } else {
            size_t k = size_t(sym);
            if (k < global_slots_.size() && global_slots_[k] >= 0) {
                c = Cell{uint32_t(TYPE_WORD), context::global, uint32_t(sym), uint32_t(global_slots_[k])};
            } else {
                word::make_global_at(sym, &c);
                if (k >= global_slots_.size()) global_slots_.resize(k + 1024, -1);
                global_slots_[k] = int32_t(c.data3);
            }
            c.set_type(Type(t));
        }
        return place(s, flagged(c, r.nl));
    };
    if (t == TYPE_ISSUE) {
        if (r.ref || r.flag) corrupt(r.at);
        return global_word();
    }
    if (!codec_ && !env_) {
        // boot data: the context is the value kept at a position of the output block
        if (r.ref || (compact_ && !r.flag)) {
            if (r.ref) corrupt(r.at);
            return global_word();
        }
        const uint8_t* ctx_at = p_;
        int64_t position = compact_ ? int64_t(varint()) : int64_t(int32_t(u32()));
        int32_t index = sfield();
        if (position == -1 && !compact_) return global_word();
        if (position < 0 || uint64_t(position) + start_ >= cell_count(out_)) corrupt(ctx_at);
        Cell holder = *cell_at(out_, uint32_t(position + start_));
        uint32_t ctx = owned_context(holder, 0, ctx_at);
        if (index == -1) {
            index = context::find_symbol(ctx, sym, true);
            if (index < 0) corrupt(ctx_at);
        }
        uint32_t pos = place(s, flagged(Cell{t, 0, uint32_t(sym), 0}, r.nl));
        bind(s.node, pos, ctx, index, ctx_at);
        return pos;
    }
    bool global = compact_ ? !r.flag : (r.header & GLOBAL) != 0;
    if (global) {
        if (r.ref) corrupt(r.at);
        if (!compact_) u32();  // the global slot: looked up again instead
        return global_word();
    }
    const uint8_t* index_at = p_;
    int32_t index = sfield();
    uint32_t pos = place(s, flagged(Cell{t, 0, uint32_t(sym), uint32_t(index)}, r.nl));
    if (r.ref) {
        Cell reached = reference_path();
        bind(s.node, pos, owned_context(reached, 0, index_at), index, index_at);
        return pos;
    }
    // the owner of the context, inline: its record binds the word
    WordSlot w{s.node, pos, index};
    const uint8_t* owner_at = p_;
    if (compact_) {
        uint8_t b = u8();
        if (b == TYPE_OBJECT || b == (TYPE_OBJECT | CP_FLAG)) object_body(b & CP_FLAG, nullptr, &w, false);
        else if (b == TYPE_FUNCTION) function_body(nullptr, &w, false);
        else corrupt(owner_at);
    } else {
        uint32_t h = u32();
        if (h & REFERENCE) corrupt(owner_at);
        if ((h & 0xFF) == TYPE_OBJECT) object_body(h & ON_CHANGE, nullptr, &w, false);
        else if ((h & 0xFF) == TYPE_FUNCTION) function_body(nullptr, &w, false);
        else corrupt(owner_at);
    }
    return pos;
}

// block!, paren! and the paths.
uint32_t Reader::cells(const Rec& r, const Slot& s) {
    uint32_t head = head_field(r);
    if (r.ref) return place(s, series_reference(r.type, head, r.nl, r.at));
    const uint8_t* at = p_;
    uint32_t n = count();
    if (head > n) corrupt(at);
    uint32_t node = memory::new_cells(room(n));
    flag_library(r, node);
    uint32_t pos = place(s, flagged(Cell{r.type, head, node, 0}, r.nl));
    items(node, n);
    return pos;
}

// The table is made over the empty block first, so that a reference met
// while the items are read can share it; it indexes them once they are all in.
uint32_t Reader::hash(const Rec& r, const Slot& s) {
    uint32_t head = head_field(r);
    if (r.ref) return place(s, series_reference(TYPE_HASH, head, r.nl, r.at));
    const uint8_t* at = p_;
    uint32_t n = count();
    if (head > n) corrupt(at);
    Cell blk{uint32_t(TYPE_BLOCK), 0, memory::new_cells(room(n)), 0};
    flag_library(r, blk.data2);
    uint32_t table = hashtable::make(int32_t(room(n)), &blk, hashtable::HASH);
    uint32_t pos = place(s, flagged(Cell{uint32_t(TYPE_HASH), head, blk.data2, table}, r.nl));
    items(blk.data2, n);
    indexed(at, [&] { hashtable::rebuild(table, int32_t(n ? n : 1)); });
    return pos;
}

uint32_t Reader::map(const Rec& r, const Slot& s) {
    if (r.ref) return place(s, series_reference(TYPE_MAP, 0, r.nl, r.at));
    const uint8_t* at = p_;
    uint32_t n = count();
    if (n & 1) corrupt(at);
    Cell m;
    map::make_at(&m, nullptr, int32_t(room(n / 2)));
    flag_library(r, m.data2);
    uint32_t pos = place(s, flagged(m, r.nl));
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t* item_at = p_;
        uint32_t k = read_value(Slot{m.data2, -1}, false);
        if (!(i & 1) && !map::valid_key(cell_at(m.data2, k)->type())) corrupt(item_at);
    }
    // keys are prepared (and repeated ones folded) as make map! does
    indexed(at, [&] { hashtable::index_block(m.data3, 0, 2); });
    return pos;
}

uint32_t Reader::text(const Rec& r, const Slot& s) {
    uint32_t unit = 1;
    if (!compact_) {
        unit = (r.header >> UNIT_SHIFT) & 0xFF;
        if (unit != 1 && unit != 2 && unit != 4) corrupt(r.at);
    }
    uint32_t head = head_field(r);
    if (r.ref) return place(s, series_reference(r.type, head, r.nl, r.at));
    const uint8_t* at = p_;
    uint64_t length;
    if (compact_) {
        uint32_t v = varint();
        if ((v & 3) == 3) corrupt(at);
        unit = 1u << (v & 3);
        length = v >> 2;
    } else {
        length = u32();
    }
    uint64_t bytes = length * unit;
    uint64_t padded = compact_ ? bytes : (bytes + 3) & ~uint64_t(3);
    if (padded > left() || head > length) corrupt(at);
    if (unit == 4)
        for (uint64_t i = 0; i < bytes; i += 4)
            if (le32(p_ + i) > 0x10FFFF) corrupt(p_ + i);
    Cell c;
    string::make_at(&c, uint32_t(length ? length : 1), int(unit));
    memory::Buffer* b = buf(c.data2);
    std::memcpy(b->head_ptr(), p_, size_t(bytes));
    b->tail = b->offset + uint32_t(bytes);
    p_ += padded;
    c.header = r.type;
    c.data1 = head;
    return place(s, flagged(c, r.nl));
}

// binary!, vector! and bitset!.
uint32_t Reader::bytes(const Rec& r, const Slot& s) {
    uint32_t t = r.type;
    uint32_t head = t == TYPE_BITSET ? 0 : head_field(r);
    if (r.ref) return place(s, series_reference(t, head, r.nl, r.at));
    const uint8_t* at = p_;
    uint64_t n = 0, size = 0;
    uint32_t elem = 0, unit = 1;
    if (t == TYPE_VECTOR) {
        if (compact_) {
            uint8_t b = u8();
            elem = b >> 2;
            unit = 1u << (b & 3);
            n = varint();
        } else {
            unit = (r.header >> UNIT_SHIFT) & 0xFF;
            n = u32();
            elem = u32();
        }
        bool ints = elem == TYPE_CHAR || elem == TYPE_INTEGER;
        bool floats = elem == TYPE_FLOAT || elem == TYPE_PERCENT;
        if (!(ints && (unit == 1 || unit == 2 || unit == 4)) && !(floats && (unit == 4 || unit == 8))) corrupt(at);
        size = n * unit;
    } else {
        n = size = field();
    }
    uint64_t padded = compact_ ? size : (size + 3) & ~uint64_t(3);
    if (padded > left() || head > n || n > 0x7FFFFFFF) corrupt(at);
    Cell c;
    if (t == TYPE_BINARY) {
        binary::load_in(p_, uint32_t(size), &c);
    } else if (t == TYPE_VECTOR) {
        vector::make_at(&c, int32_t(n), elem, int(unit));
        memory::Buffer* b = buf(c.data2);
        std::memcpy(b->head_ptr(), p_, size_t(size));
        b->tail = b->offset + uint32_t(size);
    } else {
        bool complement = compact_ ? r.flag : (r.header & COMPLEMENT) != 0;
        bitset::make_at(&c, uint32_t(size), 0, complement);
        std::memcpy(bitset::ks_head(&c), p_, size_t(size));
    }
    p_ += padded;
    c.data1 = head;
    return place(s, flagged(c, r.nl));
}

// image!: width x height pixels of 4 bytes, made by the image datatype.
uint32_t Reader::image(const Rec& r, const Slot& s) {
    uint32_t head = head_field(r);
    if (r.ref) return place(s, series_reference(TYPE_IMAGE, head, r.nl, r.at));
    const uint8_t* at = p_;
    uint64_t w, h;
    if (compact_) {
        w = varint();
        h = varint();
    } else {
        uint32_t size = u32();
        w = size & 0xFFFF;
        h = size >> 16;
    }
    if (w > 0xFFFF || h > 0xFFFF || w * h * 4 > left() || head > w * h) corrupt(at);
    Cell c;
    image::make_from_pixels(&c, uint32_t(w), uint32_t(h), p_);
    p_ += w * h * 4;
    c.data1 = head;
    return place(s, flagged(c, r.nl));
}

// native! and action!: an index of the table and the spec, which must name
// the same arguments and refinements as the registered entry (else a call
// would read cells that no caller pushed).
uint32_t Reader::coded(const Rec& r, const Slot& s) {
    const uint8_t* at = p_;
    uint32_t index = field();
    Cell* top = stack::top_ptr;
    Cell* holder = stack::push_cell();
    block::make_at(holder, 1);
    uint32_t spec_node = holder->data2;
    read_value(Slot{spec_node, -1}, false);
    Cell spec = *cell_at(spec_node, 0);
    if (!spec.is(TYPE_BLOCK) || index > 0x7FFFFFFF) corrupt(at);
    spec.header = TYPE_BLOCK;
    spec.data1 = 0;
    Cell* pair = stack::push_cell();
    block::make_at(pair, 2);
    *block::add_cell(pair) = spec;
    *block::add_cell(pair) = integer(int32_t(index));
    Cell made{uint32_t(TYPE_DATATYPE), r.type, 0, 0};
    if (!guarded([&] { native::make(&made, pair, int32_t(r.type)); })) corrupt(at);
    uint32_t pos = place(s, flagged(made, r.nl));
    stack::top_ptr = top;
    return pos;
}

// op!: the record of the wrapped native, action or function, made into an
// op as `make op!` makes one (two arguments, the left one a plain word).
uint32_t Reader::op(const Rec& r, const Slot& s) {
    uint32_t pos = read_value(s, false);
    Cell wrapped = flagged(*cell_at(s.node, pos), false);
    uint32_t t = wrapped.type();
    if (t != TYPE_NATIVE && t != TYPE_ACTION && t != TYPE_FUNCTION && !(env_ && t == TYPE_ROUTINE)) corrupt(r.at);
    if (!compact_ && ((r.header >> WRAPPED_SHIFT) & 0xFF) != t) corrupt(r.at);
    Cell made{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_OP), 0, 0};
    if (!guarded([&] { native::make(&made, &wrapped, TYPE_OP); })) corrupt(r.at);
    *cell_at(s.node, pos) = flagged(made, r.nl);
    return pos;
}

// error!: made from its code; the six values after it go into arg1 ... stack.
uint32_t Reader::error(const Rec& r, const Slot& s) {
    const uint8_t* at = p_;
    uint32_t code = field();
    Cell spec = integer(int32_t(code));
    Cell made{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_ERROR), 0, 0};
    if (code > 0x7FFFFFFF || !guarded([&] { error::make(&made, &spec, TYPE_ERROR); })) corrupt(at);
    uint32_t pos = place(s, flagged(made, r.nl));
    uint32_t values = context::cell_of(made.data1)->data2;
    if (cell_count(values) < uint32_t(error::FIELD_COUNT)) corrupt(at);
    for (int32_t f = error::ARG1; f <= error::STACK; f++) read_value(Slot{values, f}, false);
    return pos;
}

// routine! (boot data of an environment): the symbol of its entry's name, the
// maker's integer and flag, then its spec and its body (positions 0 and 1
// inside it, as for a function). A reference gives back the routine.
uint32_t Reader::routine(const Rec& r, const Slot& s) {
    if (r.ref) {
        Cell reached = reference_path();
        uint32_t ctx = owned_context(reached, TYPE_ROUTINE, r.at);
        return place(s, flagged(*context::owner(ctx), r.nl));
    }
    const uint8_t* at = p_;
    int32_t name = symbol(field(), at);
    int32_t extra = sfield();
    int32_t code = routine_code ? routine_code(name) : 0;
    if (!code) corrupt(at);
    Cell* top = stack::top_ptr;
    Cell* holder = stack::push_cell();
    block::make_at(holder, 2);
    uint32_t parts = holder->data2;
    const uint8_t* spec_at = p_;
    read_value(Slot{parts, -1}, false);
    read_value(Slot{parts, -1}, false);
    Cell spec = *cell_at(parts, 0);
    Cell body = *cell_at(parts, 1);
    if (!spec.is(TYPE_BLOCK) || spec.data1 != 0) corrupt(spec_at);
    uint32_t pos = 0;
    if (!guarded([&] {
            Cell made = *routine::make_value(&spec, body.is(TYPE_NONE) ? nullptr : &body, code, extra, r.flag);
            pos = place(s, flagged(made, r.nl));
        }))
        corrupt(spec_at);
    stack::top_ptr = top;
    return pos;
}

// handle! (boot data of an environment): one that holds no resource, by its
// class and value.
uint32_t Reader::handle(const Rec& r, const Slot& s) {
    const uint8_t* at = p_;
    uint32_t cls = field();
    uint32_t value = field();
    if (cls >= handle::CLASS_COUNT) corrupt(at);
    return place(s, flagged(handle::make(value, cls), r.nl));
}

// ---- contexts, objects and functions -----------------------------------------------------------------

// A context record's head: kind, flags and words (own: the record whose
// header was read already, for a context record read as a value).
ContextHead Reader::context_head(const Rec* own) {
    ContextHead h;
    h.at = own ? own->at : p_;
    if (compact_) {
        if (!own && u8() != TYPE_CONTEXT) corrupt(h.at);
        if (own && own->flag) corrupt(h.at);
        const uint8_t* flags_at = p_;
        uint8_t f = u8();
        uint8_t known = uint8_t(CPX_KIND_MASK | CPX_ON_STACK | CPX_BUILT | CPX_VALUES | (env_ ? CPX_OWNER : 0));
        if (f & ~known) corrupt(flags_at);
        h.kind = f & CPX_KIND_MASK;
        h.on_stack = f & CPX_ON_STACK;
        h.built = f & CPX_BUILT;
        h.values = f & CPX_VALUES;
        h.owner = f & CPX_OWNER;
    } else {
        uint32_t w = own ? own->header : u32();
        if ((w & 0xFF) != TYPE_CONTEXT) corrupt(h.at);
        h.kind = (w >> CTX_KIND_SHIFT) & 3;
        h.on_stack = w & CTX_ON_STACK;
        h.built = w & CTX_BUILT;
        h.values = w & CTX_VALUES;
    }
    if (h.kind > context::OBJECT || (h.owner && h.kind != context::OBJECT)) corrupt(h.at);
    uint32_t n = count();
    h.symbols.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t* at = p_;
        h.symbols[i] = symbol(field(), at);
    }
    return h;
}

uint32_t Reader::make_context(const ContextHead& h) {
    int32_t n = int32_t(h.symbols.size());
    uint32_t ctx = context::create(n, h.on_stack, h.built, 0, context::Kind(h.kind));
    for (int32_t sym : h.symbols) {
        int32_t slot;
        context::find_symbol_slot(ctx, sym, true, &slot);
    }
    // a word twice (in any letter case) would leave a value without its word
    if (context::word_count(ctx) != n) corrupt(h.at);
    if (h.owner) context::cell_of(ctx)->header |= ownership::FLAG_OWNER;
    return ctx;
}

// The values of a context kept in a series: read, or unset for each word.
void Reader::context_values(uint32_t ctx, const ContextHead& h) {
    uint32_t values = context::cell_of(ctx)->data2;
    uint32_t n = uint32_t(h.symbols.size());
    if (!h.values) {
        for (uint32_t i = 0; i < n; i++) *series::add_cell(values) = unset::value;
        return;
    }
    items(values, n);
    for (uint32_t i = 0; i < n; i++)
        if (!cell_at(values, i)->is(TYPE_UNSET)) context::word_at(ctx, int32_t(i))->header |= context::WORD_SLOT_SET;
}

uint32_t Reader::object(const Rec& r, const Slot& s) {
    if (r.ref) {
        Cell reached = reference_path();
        uint32_t ctx = owned_context(reached, TYPE_OBJECT, r.at);
        return place(s, flagged(*context::owner(ctx), r.nl));
    }
    bool handlers = compact_ ? r.flag : (r.header & ON_CHANGE) != 0;
    return object_body(handlers, &s, nullptr, r.nl);
}

uint32_t Reader::object_body(bool handlers, const Slot* s, const WordSlot* w, bool nl) {
    int32_t class_id = sfield();
    const uint8_t* handlers_at = p_;
    int32_t on_change = -1, on_deep = -1;
    if (handlers) {
        on_change = sfield();
        on_deep = sfield();
    }
    ContextHead h = context_head(nullptr);
    if (h.on_stack) corrupt(h.at);
    int32_t n = int32_t(h.symbols.size());
    if (on_change < -1 || on_change >= n || on_deep < -1 || on_deep >= n) corrupt(handlers_at);
    uint32_t ctx = make_context(h);
    // in codec mode the object is new: it gets no class of the writer's
    Cell obj{uint32_t(TYPE_OBJECT), ctx, codec_ ? 0xFFFFFFFFu : uint32_t(class_id), 0};
    *context::owner(ctx) = obj;
    if (on_change >= 0 || on_deep >= 0) {
        // the handlers' argument counts are taken at their first call
        Cell* top = stack::top_ptr;
        stack::push(&obj);
        obj.data3 = object::attach_on_set_top(ctx, on_change, 0, on_deep, 0);
        stack::top_ptr = top;
    }
    uint32_t pos = s ? place(*s, flagged(obj, nl)) : 0;
    if (w) bind(w->node, w->pos, ctx, w->index, h.at);
    context_values(ctx, h);
    // a handler position must name its word, holding a function (boot data
    // of an environment: or a routine)
    static const int32_t change_sym = symbol::make("on-change*");
    static const int32_t deep_sym = symbol::make("on-deep-change*");
    auto check = [&](int32_t index, int32_t sym) {
        if (index < 0) return;
        const Cell* h = cell_at(context::cell_of(ctx)->data2, uint32_t(index));
        if (!symbol::same_word(int32_t(context::word_at(ctx, index)->data2), sym) ||
            !(h->is(TYPE_FUNCTION) || (env_ && h->is(TYPE_ROUTINE))))
            corrupt(handlers_at);
    };
    check(on_change, change_sym);
    check(on_deep, deep_sym);
    return pos;
}

uint32_t Reader::function(const Rec& r, const Slot& s) {
    if (r.ref) {
        Cell reached = reference_path();
        uint32_t ctx = owned_context(reached, TYPE_FUNCTION, r.at);
        return place(s, flagged(*context::owner(ctx), r.nl));
    }
    return function_body(&s, nullptr, r.nl);
}

// The function cell exists (and is placed) before its spec and body are read,
// so that a body can reach its own function; its spec must describe its
// context word for word, or a call would not push what the body reads.
uint32_t Reader::function_body(const Slot* s, const WordSlot* w, bool nl) {
    uint32_t spec_cells = field();
    uint32_t body_cells = field();
    ContextHead h = context_head(nullptr);
    if (!h.on_stack || h.kind != context::FUNCTION) corrupt(h.at);
    uint32_t ctx = make_context(h);
    uint32_t spec = memory::new_cells(room(spec_cells));
    uint32_t body = memory::new_cells(room(body_cells));
    uint32_t record = memory::new_cells(function::RECORD_CELLS);
    memory::Buffer* rb = buf(record);
    for (int32_t i = 0; i < function::RECORD_CELLS; i++) rb->cells()[i] = unset::value;
    rb->cells()[function::BODY] = Cell{uint32_t(TYPE_BLOCK), 0, body, 0};
    rb->tail = rb->offset + function::RECORD_CELLS * CELL;
    Cell fn{uint32_t(TYPE_FUNCTION), ctx, spec, record};
    *context::owner(ctx) = fn;
    uint32_t pos = s ? place(*s, flagged(fn, nl)) : 0;
    if (w) bind(w->node, w->pos, ctx, w->index, h.at);
    const uint8_t* spec_at = p_;
    Cell spec_cell = block_into(spec);
    fn.data2 = spec_cell.data2;
    fn.header = TYPE_FUNCTION | check_spec(ctx, fn.data2, spec_at);
    *context::owner(ctx) = fn;
    if (s) *cell_at(s->node, pos) = flagged(fn, nl);
    Cell body_cell = block_into(body);
    *cell_at(record, function::BODY) = body_cell;
    return pos;
}

// A block! record read into a given series (or, as a reference, the series
// it names): a function's spec and body.
Cell Reader::block_into(uint32_t node) {
    Depth depth(depth_);
    Rec r;
    if (compact_) {
        for (;;) {
            need(1);
            if (*p_ == CP_NEW_LINE) r.nl = true;
            else if (*p_ == CP_REFERENCE) r.ref = true;
            else if (*p_ == CP_LIBRARY && env_) r.library = true;
            else break;
            p_++;
        }
        r.at = p_;
        uint8_t b = u8();
        if ((b & ~CP_FLAG) != TYPE_BLOCK || (r.library && r.ref)) corrupt(r.at);
        r.flag = b & CP_FLAG;
    } else {
        skip_padding();
        r.at = p_;
        r.header = u32();
        if ((r.header & 0xFF) != TYPE_BLOCK) corrupt(r.at);
        r.nl = r.header & NEW_LINE;
        r.ref = r.header & REFERENCE;
    }
    r.type = TYPE_BLOCK;
    uint32_t head = head_field(r);
    if (r.ref) return series_reference(TYPE_BLOCK, head, r.nl, r.at);
    const uint8_t* at = p_;
    uint32_t n = count();
    if (head > n) corrupt(at);
    flag_library(r, node);
    items(node, n);
    return flagged(Cell{uint32_t(TYPE_BLOCK), head, node, 0}, r.nl);
}

uint32_t Reader::check_spec(uint32_t ctx, uint32_t spec, const uint8_t* at) {
    Cell s{uint32_t(TYPE_BLOCK), 0, spec, 0};
    uint32_t flags = 0;
    if (!guarded([&] { flags = function::validate_spec(&s); })) corrupt(at);
    int32_t k = 0, n = context::word_count(ctx);
    for (uint32_t i = 0; i < cell_count(spec); i++) {
        const Cell* e = cell_at(spec, i);
        Type t = e->type();
        if (t != TYPE_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD && t != TYPE_REFINEMENT) continue;
        if (k >= n || !symbol::same_word(int32_t(e->data2), int32_t(context::word_at(ctx, k)->data2))) corrupt(at);
        k++;
    }
    if (k != n) corrupt(at);
    return flags & ~TYPE_MASK;
}

// A context record standing as a value: its context, owned by a new object.
uint32_t Reader::context_value(const Rec& r, const Slot& s) {
    ContextHead h = context_head(&r);
    if (h.on_stack) corrupt(h.at);
    uint32_t ctx = make_context(h);
    Cell obj{uint32_t(TYPE_OBJECT), ctx, 0xFFFFFFFFu, 0};
    *context::owner(ctx) = obj;
    uint32_t pos = place(s, obj);
    context_values(ctx, h);
    return pos;
}

}  // namespace

// ---- entry points -------------------------------------------------------------------------------------

void decode(const uint8_t* data, size_t length, Cell* block) {
    if (!block->is(TYPE_BLOCK)) fire("script", "invalid-arg", block);
    format::set_codec(true);
    Reader(true).run(data, length, block, nullptr);
}

Cell* decode_binary(const Cell* bin, Cell* out) {
    gc::Rooted source(*bin);
    if (!source->is(TYPE_BINARY) || binary::ks_length(source.get()) <= 10) fire("script", "invalid-data", source.get());
    // a copy: the decoding allocates, and the bytes must not move under it
    std::vector<uint8_t> bytes = binary::bytes_of(source.get());
    gc::Rooted blk;
    block::make_at(blk.get(), 1);
    format::set_codec(true);
    Reader(true).run(bytes.data(), bytes.size(), blk.get(), source.get());
    *out = block::length(blk.get()) == 1 ? *block::at(blk.get(), 0) : blk.cell;
    return out;
}

void load(const uint8_t* data, size_t length, bool keep_base, const std::vector<Cell>* prelude) {
    struct Restore {
        bool active = gc::active;
        int32_t base = literal_base;
        bool keep;
        ~Restore() {
            gc::active = active;
            format::set_codec(true);
            if (keep) literal_base = base;
        }
    } restore{gc::active, literal_base, keep_base};
    gc::active = false;
    format::set_codec(false);
    literal_base = int32_t(Reader(false, prelude).run(data, length, &runtime::root, nullptr));
}

const Cell* boot_literal(int32_t n) {
    if (literal_base < 0 || n < 0 || n >= boot_literal_count()) return nullptr;
    return cell_at(runtime::root.data2, uint32_t(literal_base + n));
}

int32_t boot_literal_count() {
    if (literal_base < 0) return 0;
    int32_t total = int32_t(cell_count(runtime::root.data2));
    return total > literal_base ? total - literal_base : 0;
}

}  // namespace kro::krobin
