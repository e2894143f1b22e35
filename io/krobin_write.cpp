// The KROBIN writers: one value walker for both layouts. Each value gets a
// position path (its index inside each enclosing container, from the root);
// the first time a tracked series or context is met its path is remembered,
// and every later meeting writes a reference record with that path instead of
// the contents.
//
// The walker reads the value graph and writes only into C++ vectors: it
// allocates nothing in the collected heap until the finished bytes become a
// binary!, so no collection can move what it is walking.
#include <algorithm>
#include <array>
#include <map>
#include <cmath>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/context.hpp"
#include "datatypes/date.hpp"
#include "datatypes/error.hpp"
#include "datatypes/function.hpp"
#include "datatypes/image.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "foundation/crush.hpp"
#include "foundation/fire.hpp"
#include "foundation/memory.hpp"
#include "foundation/ownership.hpp"
#include "foundation/stack_guard.hpp"
#include "io/krobin.hpp"
#include "io/krobin_format.hpp"

namespace kro::krobin {

namespace {

using namespace format;

constexpr uint32_t CELL = sizeof(Cell);

memory::Buffer* buf(uint32_t node) { return memory::buffer_of(node); }
uint32_t cell_count(uint32_t node) { return buf(node)->used_bytes() / CELL; }
const Cell* cell_at(uint32_t node, uint32_t i) { return buf(node)->cells() + i; }

// A word is written bound (with its context) only when an object or a
// function owns that context; anything else reads back as a global word.
bool bound_form(const Cell& w) {
    uint32_t ctx = w.data1;
    if (!ctx || ctx == context::global) return false;
    Type owner = context::owner(ctx)->type();
    return owner == TYPE_OBJECT || owner == TYPE_FUNCTION;
}

// The node by which a value is tracked for references, or 0.
uint32_t key_of(const Cell& c) {
    uint32_t t = c.type();
    if (series::is_series_value(t) || t == TYPE_MAP || t == TYPE_BITSET) return c.data2;
    if (t == TYPE_OBJECT || t == TYPE_FUNCTION || t == TYPE_ROUTINE) return c.data1;
    if (t >= TYPE_WORD && t <= TYPE_REFINEMENT && bound_form(c)) return c.data1;
    return 0;
}

// A handler position is written only while its slot holds a function (or,
// in boot data, a routine: the library's handlers of system's options).
int32_t handler_position(const Cell& obj, int32_t which, bool boot) {
    if (!obj.data3) return -1;
    int32_t index = object::handler_index(&obj, which);
    uint32_t values = context::cell_of(obj.data1)->data2;
    if (index < 0 || uint32_t(index) >= cell_count(values)) return -1;
    const Cell* h = cell_at(values, uint32_t(index));
    return h->is(TYPE_FUNCTION) || (boot && h->is(TYPE_ROUTINE)) ? index : -1;
}

bool has_handlers(const Cell& obj, bool boot) {
    return handler_position(obj, 0, boot) >= 0 || handler_position(obj, 1, boot) >= 0;
}

// The four bytes of a 32-bit word, low byte first.
void put32(std::vector<uint8_t>& v, uint32_t w) {
    v.push_back(uint8_t(w));
    v.push_back(uint8_t(w >> 8));
    v.push_back(uint8_t(w >> 16));
    v.push_back(uint8_t(w >> 24));
}

void put_varint(std::vector<uint8_t>& v, uint32_t n) {
    while (n >= 0x80) {
        v.push_back(uint8_t(n | 0x80));
        n >>= 7;
    }
    v.push_back(uint8_t(n));
}

class Writer {
public:
    explicit Writer(bool compact, bool boot = false) : compact_(compact), boot_(boot) {}

    void root(const Cell* value) { write(value, false); }
    std::vector<uint8_t> assemble(bool compress);

    // Boot data of an environment: walks the cells the reader will have kept
    // first, remembering where each tracked series and context, and each cell
    // with an identity, stands among them; writes nothing.
    void prelude(const std::vector<Cell>& cells);
    // Enters the symbols in this order at the head of the symbol table.
    void symbols_first(const std::vector<int32_t>& symbols) {
        for (int32_t sym : symbols) symbol_index(sym);
    }
    // A global set: the word of the symbol takes the cell at index of the
    // block kept at position kept.
    void global_set(int32_t sym, uint32_t kept, uint32_t index);

private:
    bool compact_;
    bool boot_;
    bool in_prelude_ = false;
    // boot data: cells of the prelude that carry an identity (by their bits,
    // the new-line flag aside) -> their path entry
    std::map<std::array<uint32_t, 4>, uint32_t> copies_;
    std::vector<uint8_t> rec_;    // the records
    std::vector<uint8_t> names_;  // the symbol names, each ended by a NUL
    std::vector<uint32_t> offsets_;
    std::unordered_map<int32_t, uint32_t> symbols_;  // symbol id -> symbol index
    struct Known {
        uint32_t path;  // its entry in paths_
        uint32_t type;  // the type it was first written as
    };
    std::unordered_map<uint32_t, Known> known_;      // tracked node -> where it was first written
    std::vector<uint32_t> paths_;                    // entries: n, then n positions
    std::vector<uint32_t> stack_;                    // positions of the enclosing containers
    uint32_t position_ = 0;                          // index of the next value in its container
    int32_t depth_ = 0;

    // ---- output primitives ----
    void u32(uint32_t w) { put32(rec_, w); }
    void byte(uint8_t b) { rec_.push_back(b); }
    void varint(uint32_t n) { put_varint(rec_, n); }
    void zz(int32_t n) { varint(zigzag(n)); }
    void raw(const uint8_t* p, size_t n) { rec_.insert(rec_.end(), p, p + n); }
    void pad4() {
        while (rec_.size() % 4) rec_.push_back(0);
    }
    // A count or index: a 32-bit word, or a varint.
    void field(uint32_t n) { compact_ ? varint(n) : u32(n); }
    // A signed number: a 32-bit word, or a zigzag varint.
    void sfield(int32_t n) { compact_ ? zz(n) : u32(uint32_t(n)); }

    // Opens a record: the header word (type, extra bits, new line, reference),
    // or the prefix bytes and the type byte with its flag bit.
    void open(uint32_t t, bool nl, bool ref, bool flag, uint32_t extra = 0, bool library = false) {
        if (!compact_) {
            u32(t | extra | (nl ? NEW_LINE : 0) | (ref ? REFERENCE : 0));
            return;
        }
        if (nl) byte(CP_NEW_LINE);
        if (ref) byte(CP_REFERENCE);
        if (library) byte(CP_LIBRARY);
        byte(uint8_t(t | (flag ? CP_FLAG : 0)));
    }
    // Boot data: whether the cell series a record makes carries the library flag.
    bool library(uint32_t node, int64_t ref) const {
        return boot_ && ref < 0 && (buf(node)->flags & memory::FLAG_LIBRARY);
    }
    static std::array<uint32_t, 4> identity(const Cell& c) {
        return {c.header & ~FLAG_NEW_LINE, c.data1, c.data2, c.data3};
    }
    static bool has_identity(const Cell& c) {
        uint32_t t = c.type();
        return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || (t == TYPE_OBJECT && c.data1 == context::global);
    }
    // The path of the value about to be written: the enclosing levels, then its position.
    uint32_t current_path() {
        uint32_t entry = uint32_t(paths_.size());
        paths_.push_back(uint32_t(stack_.size() + 1));
        paths_.insert(paths_.end(), stack_.begin(), stack_.end());
        paths_.push_back(position_);
        return entry;
    }

    uint32_t symbol_index(int32_t sym);
    void path(uint32_t entry);
    void write(const Cell* value, bool same_position);
    void record(const Cell& c, bool nl, int64_t ref);
    void floating(const Cell& c, bool nl);
    void words(const Cell& c, bool nl, int64_t ref);
    void cells(const Cell& c, bool nl, int64_t ref);
    void map(const Cell& c, bool nl, int64_t ref);
    void text(const Cell& c, bool nl, int64_t ref);
    void bytes(const Cell& c, bool nl, int64_t ref);
    void image(const Cell& c, bool nl, int64_t ref);
    void routine(const Cell& c, bool nl, int64_t ref);
    void object_body(const Cell& obj);
    void function_body(const Cell& fn);
    void context(uint32_t ctx);
};

uint32_t Writer::symbol_index(int32_t sym) {
    auto it = symbols_.find(sym);
    if (it != symbols_.end()) return it->second;
    uint32_t index = uint32_t(offsets_.size());
    offsets_.push_back(uint32_t(names_.size()));
    std::string_view name = symbol::name(sym);
    names_.insert(names_.end(), name.begin(), name.end());
    names_.push_back(0);
    // the standard layout keeps every name on an 8-byte boundary
    if (!compact_)
        while (names_.size() % 8) names_.push_back(0);
    symbols_.emplace(sym, index);
    return index;
}

void Writer::path(uint32_t entry) {
    uint32_t n = paths_[entry];
    if (compact_) {
        varint(n);
        for (uint32_t i = 1; i <= n; i++) varint(paths_[entry + i]);
        return;
    }
    u32(PATH_RECORD);
    u32(n);
    for (uint32_t i = 1; i <= n; i++) u32(paths_[entry + i]);
}

// Writing one value: a tracked value met for the first time opens a level of
// positions and remembers its path; met again it becomes a reference. With
// same_position the value takes the position of the record around it (the
// value an op! wraps, the spec of a native).
void Writer::write(const Cell* value, bool same_position) {
    struct Depth {
        int32_t& d;
        explicit Depth(int32_t& depth) : d(depth) {
            if (++d > MAX_DEPTH) fire("internal", "too-deep");
        }
        ~Depth() { d--; }
    } depth(depth_);
    machine_stack::check();
    Cell c = *value;
    uint32_t t = c.type();
    bool known_type = t >= TYPE_DATATYPE && t <= TYPE_EVENT && t != TYPE_SYMBOL && t != TYPE_CONTEXT &&
                      t != TYPE_SERIES;
    // boot data writes routines by name and handles that hold no resource
    bool boot_only = boot_ && ((t == TYPE_ROUTINE && routine_name) || (t == TYPE_HANDLE && int32_t(c.data3) == -1));
    if (!known_type || (without_encoding(t) && !boot_only)) fire("access", "no-codec", &c);
    bool nl = c.header & FLAG_NEW_LINE;
    if (boot_ && has_identity(c)) {
        auto it = copies_.find(identity(c));
        if (it != copies_.end()) {
            // the very cell the reader kept in its prelude
            if (nl) byte(CP_NEW_LINE);
            byte(CP_PATH);
            path(it->second);
            position_ = same_position ? position_ : position_ + 1;
            return;
        }
        if (t == TYPE_OBJECT) {
            // the global context is the reader's own: never written
            if (!in_prelude_) fire("access", "no-codec", &c);
            copies_.emplace(identity(c), current_path());
            position_ = same_position ? position_ : position_ + 1;
            return;
        }
        if (in_prelude_) copies_.emplace(identity(c), current_path());
    }
    uint32_t saved = position_;
    int64_t ref = -1;
    bool level = false;
    if (uint32_t key = key_of(c)) {
        auto it = known_.find(key);
        if (it != known_.end() && (t == TYPE_OBJECT || t == TYPE_FUNCTION || t == TYPE_ROUTINE ||
                                   (t >= TYPE_WORD && t <= TYPE_REFINEMENT) || reference_fits(t, it->second.type))) {
            ref = it->second.path;
        } else {
            // boot data keeps every sharing: a second copy would change the environment
            if (boot_ && it != known_.end()) fire("access", "no-codec", &c);
            // met again under a type no reference could give back: written in full
            level = true;
            stack_.push_back(position_);
            position_ = 0;
            if (it == known_.end()) {
                known_.emplace(key, Known{uint32_t(paths_.size()), t});
                paths_.push_back(uint32_t(stack_.size()));
                paths_.insert(paths_.end(), stack_.begin(), stack_.end());
            }
        }
    } else if (t == TYPE_ERROR) {
        level = true;  // its six values count positions of their own
        stack_.push_back(position_);
        position_ = 0;
    }
    record(c, nl, ref);
    if (level) stack_.pop_back();
    position_ = same_position ? saved : saved + 1;
}

void Writer::record(const Cell& c, bool nl, int64_t ref) {
    uint32_t t = c.type();
    switch (t) {
        case TYPE_DATATYPE:
            open(t, nl, false, false);
            field(c.data1);
            return;
        case TYPE_UNSET:
        case TYPE_NONE:
            open(t, nl, false, false);
            return;
        case TYPE_LOGIC:
            if (compact_) {
                if (nl) byte(CP_NEW_LINE);
                byte(c.data1 ? CP_TRUE : CP_FALSE);
                return;
            }
            open(t, nl, false, false);
            u32(c.data1 ? 1 : 0);
            return;
        case TYPE_CHAR:
            open(t, nl, false, false);
            field(c.data2);
            return;
        case TYPE_INTEGER:
            if (compact_ && c.data2 < 64) {
                if (nl) byte(CP_NEW_LINE);
                byte(uint8_t(CP_SMALL_INT + c.data2));
                return;
            }
            open(t, nl, false, false);
            sfield(int32_t(c.data2));
            return;
        case TYPE_PAIR:
            open(t, nl, false, false);
            sfield(int32_t(c.data2));
            sfield(int32_t(c.data3));
            return;
        case TYPE_POINT2D:
        case TYPE_POINT3D:
            open(t, nl, false, false);
            u32(c.data1);
            u32(c.data2);
            if (t == TYPE_POINT3D) u32(c.data3);
            return;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            floating(c, nl);
            return;
        case TYPE_DATE: {
            bool timed = date::has_time(c.data1);
            open(t, nl, false, timed);
            u32(c.data1);
            if (!compact_) {
                u32(c.data3);
                u32(c.data2);
            } else if (timed) {
                u32(c.data2);
                u32(c.data3);
            }
            return;
        }
        case TYPE_TUPLE: {
            int32_t n = tuple::length(&c);
            if (!compact_) {
                open(t, nl, false, false, uint32_t(n) << UNIT_SHIFT);
                u32(c.data1);
                u32(c.data2);
                u32(c.data3);
                return;
            }
            open(t, nl, false, n != 3);
            if (n != 3) byte(uint8_t(n));
            for (int32_t i = 0; i < n; i++) byte(tuple::byte_at(&c, i));
            return;
        }
        case TYPE_MONEY: {
            bool negative = c.header & 0x4000;
            open(t, nl, false, negative, negative ? MONEY_NEGATIVE : 0);
            raw(reinterpret_cast<const uint8_t*>(&c) + 4, 12);
            return;
        }
        case TYPE_TYPESET: {
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&c) + 4;
            open(t, nl, false, false);
            if (!compact_) {
                raw(bytes, 12);
                return;
            }
            uint8_t n = 12;
            while (n > 0 && bytes[n - 1] == 0) n--;
            byte(n);
            raw(bytes, n);
            return;
        }
        case TYPE_ISSUE:
            open(t, nl, false, false);
            field(symbol_index(int32_t(c.data2)));
            return;
        case TYPE_WORD:
        case TYPE_SET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD:
        case TYPE_REFINEMENT:
            words(c, nl, ref);
            return;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_PATH:
        case TYPE_LIT_PATH:
        case TYPE_SET_PATH:
        case TYPE_GET_PATH:
        case TYPE_HASH:
            cells(c, nl, ref);
            return;
        case TYPE_MAP:
            map(c, nl, ref);
            return;
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
            text(c, nl, ref);
            return;
        case TYPE_BINARY:
        case TYPE_VECTOR:
        case TYPE_BITSET:
            bytes(c, nl, ref);
            return;
        case TYPE_IMAGE:
            image(c, nl, ref);
            return;
        case TYPE_ROUTINE:
            routine(c, nl, ref);
            return;
        case TYPE_HANDLE:
            open(t, nl, false, false);
            field(c.data1);
            field(c.data2);
            return;
        case TYPE_OBJECT: {
            bool handlers = ref < 0 && has_handlers(c, boot_);
            open(t, nl, ref >= 0, handlers, handlers ? ON_CHANGE : 0);
            if (ref >= 0) {
                path(uint32_t(ref));
                return;
            }
            object_body(c);
            return;
        }
        case TYPE_FUNCTION:
            open(t, nl, ref >= 0, false);
            if (ref >= 0) {
                path(uint32_t(ref));
                return;
            }
            function_body(c);
            return;
        case TYPE_NATIVE:
        case TYPE_ACTION: {
            open(t, nl, false, false);
            field(c.data1);
            Cell spec{uint32_t(TYPE_BLOCK), 0, c.data2, 0};
            write(&spec, true);  // the spec's items are the native's own positions
            return;
        }
        case TYPE_OP: {
            uint32_t wrapped = native::wrapped_type(&c);
            open(t, nl, false, false, wrapped << WRAPPED_SHIFT);
            Cell inner{wrapped, c.data1, c.data2, c.data3};
            write(&inner, true);
            return;
        }
        case TYPE_ERROR: {
            const Cell* code = error::field(&c, error::CODE);
            if (!code->is(TYPE_INTEGER) || int32_t(code->data2) < 0) fire("access", "no-codec", &c);
            open(t, nl, false, false);
            field(code->data2);
            for (int32_t f = error::ARG1; f <= error::STACK; f++) {
                Cell v = *error::field(&c, error::Field(f));
                write(&v, false);
            }
            return;
        }
        default:
            fire("access", "no-codec", &c);
    }
}

// float!, percent! and time!. The compact layout writes a value that is a
// whole number (percent!: a whole number of hundredths) as a zigzag varint.
void Writer::floating(const Cell& c, bool nl) {
    uint32_t t = c.type();
    if (!compact_) {
        // the double's record starts on an 8-byte boundary of the records
        while (rec_.size() % 8) u32(0);
        open(t, nl, false, false);
        u32(c.data3);
        u32(c.data2);
        return;
    }
    double v = c.get_float();
    bool negative_zero = v == 0.0 && std::signbit(v);
    int32_t n = 0;
    bool whole = false;
    if (t == TYPE_PERCENT) {
        if (v >= -21474836.0 && v <= 21474836.0) {
            double scaled = v * 100.0;
            double r = scaled < 0 ? -std::floor(-scaled + 0.5) : std::floor(scaled + 0.5);
            n = int32_t(r);
            whole = double(n) / 100.0 == v && !negative_zero;
        }
    } else if (v >= -2147483000.0 && v <= 2147483000.0) {
        n = int32_t(v);  // in range: the conversion truncates toward zero
        whole = double(n) == v && !negative_zero;
    }
    open(t, nl, false, whole);
    if (whole) {
        zz(n);
        return;
    }
    u32(c.data2);
    u32(c.data3);
}

void Writer::words(const Cell& c, bool nl, int64_t ref) {
    uint32_t t = c.type();
    uint32_t sym = symbol_index(int32_t(c.data2));
    // boot data keeps every binding: a context no record can give back is refused
    if (boot_ && !bound_form(c) && c.data1 && c.data1 != context::global) fire("access", "no-codec", &c);
    if (!bound_form(c)) {
        if (compact_) {
            open(t, nl, false, false);
            varint(sym);
            return;
        }
        open(t, nl, false, false, GLOBAL);
        u32(sym);
        u32(c.data1 == context::global ? c.data3 : 0xFFFFFFFF);
        return;
    }
    open(t, nl, ref >= 0, true);
    field(sym);
    sfield(int32_t(c.data3));
    if (ref >= 0) {
        path(uint32_t(ref));
        return;
    }
    // First meeting of the context: its owner's record follows inline, and the
    // owner's values take their positions inside the word.
    Cell owner = *context::owner(c.data1);
    if (owner.is(TYPE_OBJECT)) {
        bool handlers = has_handlers(owner, boot_);
        if (compact_)
            byte(uint8_t(TYPE_OBJECT | (handlers ? CP_FLAG : 0)));
        else
            u32(TYPE_OBJECT | (handlers ? ON_CHANGE : 0));
        object_body(owner);
        return;
    }
    if (compact_)
        byte(uint8_t(TYPE_FUNCTION));
    else
        u32(TYPE_FUNCTION);
    function_body(owner);
}

void Writer::cells(const Cell& c, bool nl, int64_t ref) {
    uint32_t t = c.type();
    uint32_t node = c.data2;
    uint32_t head = uint32_t(series::head_of(&c));
    open(t, nl, ref >= 0, head != 0, 0, library(node, ref));
    if (!compact_ || head) field(head);
    if (ref >= 0) {
        path(uint32_t(ref));
        return;
    }
    uint32_t n = cell_count(node);
    field(n);
    for (uint32_t i = 0; i < n; i++) {
        Cell item = *cell_at(node, i);
        write(&item, false);
    }
}

// Only live entries are written: a removed entry (its value cell's header
// cleared) would have no record.
void Writer::map(const Cell& c, bool nl, int64_t ref) {
    open(TYPE_MAP, nl, ref >= 0, false, 0, library(c.data2, ref));
    if (ref >= 0) {
        path(uint32_t(ref));
        return;
    }
    uint32_t node = c.data2;
    uint32_t n = cell_count(node) & ~1u;
    uint32_t live = 0;
    for (uint32_t i = 0; i < n; i += 2)
        if (cell_at(node, i + 1)->header != 0) live += 2;
    field(live);
    for (uint32_t i = 0; i < n; i += 2) {
        if (cell_at(node, i + 1)->header == 0) continue;
        Cell key = *cell_at(node, i), value = *cell_at(node, i + 1);
        write(&key, false);
        write(&value, false);
    }
}

void Writer::text(const Cell& c, bool nl, int64_t ref) {
    uint32_t t = c.type();
    memory::Buffer* b = buf(c.data2);
    uint32_t unit = uint32_t(b->unit());
    uint32_t head = uint32_t(series::head_of(&c));
    open(t, nl, ref >= 0, head != 0, unit << UNIT_SHIFT);
    if (!compact_ || head) field(head);
    if (ref >= 0) {
        path(uint32_t(ref));
        return;
    }
    uint32_t bytes = b->used_bytes();
    uint32_t length = bytes / unit;
    if (compact_) {
        if (length >= (1u << 30)) fire("internal", "no-memory");
        varint(length << 2 | (unit == 1 ? 0u : unit == 2 ? 1u : 2u));
    } else {
        u32(length);
    }
    raw(buf(c.data2)->head_ptr(), bytes);
    if (!compact_) pad4();
}

// binary!, vector! and bitset!: bytes of a series.
void Writer::bytes(const Cell& c, bool nl, int64_t ref) {
    uint32_t t = c.type();
    memory::Buffer* b = buf(c.data2);
    uint32_t unit = uint32_t(b->unit());
    if (t == TYPE_BITSET) {
        bool complement = b->flags & memory::FLAG_COMPLEMENT;
        open(t, nl, ref >= 0, complement, complement ? COMPLEMENT : 0);
    } else {
        uint32_t head = uint32_t(series::head_of(&c));
        open(t, nl, ref >= 0, head != 0, t == TYPE_VECTOR ? unit << UNIT_SHIFT : 0);
        if (!compact_ || head) field(head);
    }
    if (ref >= 0) {
        path(uint32_t(ref));
        return;
    }
    uint32_t bytes = b->used_bytes();
    if (t == TYPE_VECTOR) {
        uint32_t count = bytes / unit;
        if (compact_) {
            byte(uint8_t(c.data3 << 2 | uint32_t(__builtin_ctz(unit))));
            varint(count);
        } else {
            u32(count);
            u32(c.data3);
        }
    } else {
        field(bytes);
    }
    raw(buf(c.data2)->head_ptr(), bytes);
    if (!compact_) pad4();
}

void Writer::image(const Cell& c, bool nl, int64_t ref) {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> pixels;
    if (!image::whole_pixels(&c, &width, &height, &pixels) || width > 0xFFFF || height > 0xFFFF ||
        pixels.size() != size_t(width) * height * 4)
        fire("access", "no-codec", &c);
    uint32_t head = std::min(c.data1, width * height);
    open(TYPE_IMAGE, nl, ref >= 0, head != 0);
    if (!compact_ || head) field(head);
    if (ref >= 0) {
        path(uint32_t(ref));
        return;
    }
    if (compact_) {
        varint(width);
        varint(height);
    } else {
        u32(width | height << 16);
    }
    raw(pixels.data(), pixels.size());
}

// routine! (boot data): the name of its entry, the maker's integer (the
// maker's flag in the type byte's flag bit), then its spec and its body at
// positions 0 and 1 inside it.
void Writer::routine(const Cell& c, bool nl, int64_t ref) {
    open(TYPE_ROUTINE, nl, ref >= 0, (c.header & routine::FLAG_MAKER) != 0);
    if (ref >= 0) {
        path(uint32_t(ref));
        return;
    }
    const Cell* rec = buf(c.data3)->cells();
    int32_t name = rec[function::CODE].is(TYPE_INTEGER) ? routine_name(int32_t(rec[function::CODE].data2)) : 0;
    if (!name) fire("access", "no-codec", &c);
    field(symbol_index(name));
    sfield(rec[function::METHOD_OF].is(TYPE_INTEGER) ? int32_t(rec[function::METHOD_OF].data2) : 0);
    Cell spec{uint32_t(TYPE_BLOCK), 0, c.data2, 0};
    Cell body = rec[function::BODY];
    write(&spec, false);
    write(&body, false);
}

void Writer::prelude(const std::vector<Cell>& cells) {
    in_prelude_ = true;
    for (const Cell& c : cells) write(&c, false);
    in_prelude_ = false;
    rec_.clear();
    names_.clear();
    offsets_.clear();
    symbols_.clear();
}

void Writer::global_set(int32_t sym, uint32_t kept, uint32_t index) {
    byte(CP_GLOBAL_SET);
    byte(uint8_t(TYPE_WORD));
    varint(symbol_index(sym));
    byte(CP_PATH);
    varint(2);
    varint(kept);
    varint(index);
}

void Writer::object_body(const Cell& obj) {
    sfield(int32_t(obj.data2));
    if (has_handlers(obj, boot_)) {
        sfield(handler_position(obj, 0, boot_));
        sfield(handler_position(obj, 1, boot_));
    }
    context(obj.data1);
}

// The spec and the body take positions 0 and 1 inside the function; its
// context (whose values live on the data stack) writes no values.
void Writer::function_body(const Cell& fn) {
    uint32_t ctx = fn.data1;
    Cell body = buf(fn.data3)->cells()[function::BODY];
    if (!body.is(TYPE_BLOCK) || !context::on_stack(ctx)) {
        // compiled entries have no body to write
        fire("access", "no-codec", &fn);
    }
    field(cell_count(fn.data2));
    field(cell_count(body.data2));
    context(ctx);
    Cell spec{uint32_t(TYPE_BLOCK), 0, fn.data2, 0};
    write(&spec, false);
    write(&body, false);
}

// A context record: kind and flags, the words, and (when the values live in a
// series and one of them is set) the values as items of the enclosing level.
void Writer::context(uint32_t ctx) {
    const Cell* cc = context::cell_of(ctx);
    uint32_t kind = (cc->header & context::KIND_MASK) >> context::KIND_SHIFT;
    bool on_stack = cc->header & context::FLAG_ON_STACK;
    bool built = cc->header & context::FLAG_BUILT;
    bool owner = boot_ && (cc->header & ownership::FLAG_OWNER);
    uint32_t n = uint32_t(context::word_count(ctx));
    uint32_t values = on_stack ? 0 : cc->data2;
    uint32_t have = values ? cell_count(values) : 0;
    bool present = false;
    for (uint32_t i = 0; i < n && i < have; i++)
        if (!cell_at(values, i)->is(TYPE_UNSET)) present = true;
    if (compact_) {
        byte(TYPE_CONTEXT);
        byte(uint8_t(kind | (on_stack ? CPX_ON_STACK : 0) | (built ? CPX_BUILT : 0) | (present ? CPX_VALUES : 0) |
                     (owner ? CPX_OWNER : 0)));
        varint(n);
    } else {
        u32(TYPE_CONTEXT | kind << CTX_KIND_SHIFT | (built ? CTX_BUILT : 0) | (on_stack ? CTX_ON_STACK : 0) |
            (present ? CTX_VALUES : 0));
        u32(n);
    }
    for (uint32_t i = 0; i < n; i++) field(symbol_index(int32_t(context::word_at(ctx, int32_t(i))->data2)));
    if (!present) return;
    for (uint32_t i = 0; i < n; i++) {
        Cell v = i < cell_count(values) ? *cell_at(values, i) : Cell{uint32_t(TYPE_UNSET), 0, 0, 0};
        write(&v, false);
    }
}

std::vector<uint8_t> Writer::assemble(bool compress) {
    bool with_symbols = !offsets_.empty();
    std::vector<uint8_t> out(MAGIC, MAGIC + 6);
    out.push_back(boot_ ? 1 : VERSION);  // the boot data holds version 1
    out.push_back(uint8_t((compact_ ? FLAG_COMPACT : 0) | (with_symbols ? FLAG_SYMBOLS : 0) |
                          (boot_ ? FLAG_ENVIRONMENT : 0)));
    auto count = [&](uint32_t n) { compact_ ? put_varint(out, n) : put32(out, n); };
    count(1);  // one root value
    count(uint32_t(rec_.size()));
    if (with_symbols) {
        count(uint32_t(offsets_.size()));
        count(uint32_t(names_.size()));
        for (uint32_t off : offsets_) put32(out, off);
        out.insert(out.end(), names_.begin(), names_.end());
    }
    out.insert(out.end(), rec_.begin(), rec_.end());
    if (compress) {
        size_t rest = out.size() - FILE_HEADER;
        std::vector<uint8_t> packed(rest);
        int64_t n = crush::pack(out.data() + FILE_HEADER, rest, packed.data());
        if (n > 0 && size_t(n) < rest) {
            out.resize(FILE_HEADER);
            out[7] |= FLAG_COMPRESSED;
            out.insert(out.end(), packed.begin(), packed.begin() + n);
        }
    }
    return out;
}

}  // namespace

std::vector<uint8_t> encode_environment(const std::vector<Cell>& prelude, const std::vector<int32_t>& symbols,
                                        const std::vector<Cell>& kept, const std::vector<GlobalSet>& sets,
                                        bool compress) {
    Writer w(true, true);
    w.prelude(prelude);
    w.symbols_first(symbols);
    for (const Cell& c : kept) w.root(&c);
    for (const GlobalSet& g : sets) w.global_set(g.symbol, uint32_t(prelude.size()) + g.kept, g.index);
    return w.assemble(compress);
}

Cell* encode(const Cell* value, Cell* out, bool compact, bool compress) {
    format::set_codec(true);
    Writer w(compact);
    w.root(value);
    std::vector<uint8_t> bytes = w.assemble(compress);
    if (bytes.size() > 0x7FFFFFFF) fire("internal", "no-memory");
    binary::load_in(bytes.data(), uint32_t(bytes.size()), out);
    return out;
}

}  // namespace kro::krobin
