#include "io/lexer.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/error.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_scan.hpp"
#include "io/lexer_values.hpp"

namespace kro::lexer {

void (*call_callback)(const Cell* callback, Cell* args, int32_t count, Cell* result) = nullptr;

namespace {

constexpr uint32_t VALUE_STACK_START = 1000;
// 64 Mi cells (1 GiB): more values than the arena could ever hold as blocks.
constexpr uint32_t VALUE_STACK_MAX = 1u << 26;
constexpr int NEAR_BYTES = 30;
constexpr int NEAR_LINE_BEFORE = 20;  // bytes of a long line shown before the error
constexpr int NEAR_LINE_BYTES = 80;
constexpr int ARG_COUNT = 5;

// ---- the value stack -----------------------------------------------------------------
// One array shared by every scan: a nested scan starts at its parent's top. Only
// indexes are kept across anything that may push, since a push may move it.

struct ValueStack {
    Cell* cells = nullptr;
    uint32_t top = 0;
    uint32_t capacity = 0;
};
ValueStack vs;

uint32_t push_cell(uint32_t header) {
    if (vs.top == vs.capacity) {
        if (vs.capacity >= VALUE_STACK_MAX) fire("internal", "no-memory");
        uint32_t grown = vs.capacity ? vs.capacity * 2 : VALUE_STACK_START;
        void* p = std::realloc(vs.cells, size_t(grown) * sizeof(Cell));
        if (!p) fire("internal", "no-memory");
        vs.cells = static_cast<Cell*>(p);
        vs.capacity = grown;
    }
    vs.cells[vs.top] = Cell{header, 0, 0, 0};
    return vs.top++;
}

// Open-series markers: a cell of the lexer's own type id (never visible outside a
// scan) carrying the series type, in the place where the series' value will go.
constexpr Type MARKER = TYPE_TRIPLE;

// ---- event and exit-state words --------------------------------------------------------

const char* const event_names[] = {"prescan", "scan", "load", "open", "close", "error"};
int32_t event_symbols[6] = {};

Cell word_of(int32_t sym) {
    Cell w{uint32_t(TYPE_WORD), 0, 0, 0};
    word::make_global_at(sym, &w);
    return w;
}

Cell datatype_cell(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

// Entry n (1-based) of the exit states as callbacks see it: a word or a datatype.
Cell exit_state_cell(int n) {
    const ExitState& e = exit_states[n - 1];
    if (e.type == TYPE_NONE_ID) return word_of(symbol::make(e.name));
    return datatype_cell(e.type);
}

// ---- the state of one scan -------------------------------------------------------------

struct State {
    State* parent = nullptr;
    uint32_t base = 0;  // this scan's first value-stack cell
    const uint8_t* begin = nullptr;
    const uint8_t* end = nullptr;
    bool load = true;
    bool prescan = false;
    bool scan_only = false;
    bool stop_after_one = false;
    // callback
    uint32_t mask = 0;
    int32_t arity = 0;
    bool chars = false;          // positions in characters (text input), else bytes
    uint32_t origin = 0;         // source index of the first byte
    uint32_t total = 0;          // characters (or bytes) of the input
    const uint8_t* cache_at = nullptr;  // character-index cache
    uint32_t cache_index = 0;
    // cells the collector marks
    Cell callback{uint32_t(TYPE_NONE), 0, 0, 0};
    Cell source{uint32_t(TYPE_NONE), 0, 0, 0};
    Cell into{uint32_t(TYPE_NONE), 0, 0, 0};
    Cell args[ARG_COUNT] = {};
    Cell result{uint32_t(TYPE_NONE), 0, 0, 0};
    std::vector<uint32_t> markers;  // value-stack indexes of the open series, innermost last
    Scanner* scanner = nullptr;
};
State* innermost = nullptr;
int depth = 0;

// A scan's state linked into the chain for its lifetime, whatever way it ends.
struct Link {
    State& s;
    explicit Link(State& st) : s(st) {
        s.parent = innermost;
        s.base = vs.top;
        innermost = &s;
        ++depth;
    }
    ~Link() {
        vs.top = s.base;
        innermost = s.parent;
        --depth;
    }
};

void mark_states() {
    if (vs.cells) collector::mark_cells(vs.cells, vs.cells + vs.top);
    for (State* s = innermost; s; s = s->parent) {
        collector::mark_cells(&s->callback, &s->callback + 1);
        collector::mark_cells(&s->source, &s->source + 1);
        collector::mark_cells(&s->into, &s->into + 1);
        collector::mark_cells(s->args, s->args + ARG_COUNT);
        collector::mark_cells(&s->result, &s->result + 1);
    }
}

// Byte position -> position as callbacks count (characters for text input),
// counted from the last position asked, forward or back.
uint32_t index_of(State& s, const uint8_t* p) {
    if (!s.chars) return uint32_t(p - s.begin);
    if (p >= s.cache_at) s.cache_index += unicode::count_utf8_chars(s.cache_at, p);
    else s.cache_index -= unicode::count_utf8_chars(p, s.cache_at);
    s.cache_at = p;
    return s.cache_index;
}

const uint8_t* position_of(State& s, uint32_t index) {
    if (index > s.total) index = s.total;
    if (!s.chars) return s.begin + index;
    const uint8_t* p = s.cache_at;
    uint32_t i = s.cache_index;
    if (index >= i) {
        p = unicode::skip_utf8_chars(p, s.end, index - i);
    } else {
        while (i > index && p > s.begin) {
            --p;
            while (p > s.begin && (*p & 0xC0) == 0x80) --p;
            --i;
        }
    }
    s.cache_at = p;
    s.cache_index = index;
    return p;
}

// Sends an event to the callback: answers true without calling when the event is
// not in its mask. When `follow` is set and the callback moved its input, the
// scan goes on from there (kept inside the input).
bool fire_event(State& s, Event ev, const Cell& type, const Cell* value, const uint8_t* start, const uint8_t* end,
                bool at_start, bool follow) {
    if (!(s.mask & ev)) return true;
    if (end < start) end = start;
    uint32_t si = index_of(s, start);
    uint32_t ei = index_of(s, end);
    uint32_t at = at_start ? si : ei;
    int e = 0;
    while ((1u << e) != ev) ++e;
    s.args[0] = word_of(event_symbols[e]);
    s.args[1] = s.source;
    s.args[1].data1 = s.source.data1 + s.origin + at;
    s.args[2] = type;
    s.args[3] = Cell{uint32_t(TYPE_INTEGER), 0, s.scanner ? s.scanner->line() : 1, 0};
    s.args[4] = value ? *value : Cell{uint32_t(TYPE_PAIR), 0, si + 1, ei + 1};
    s.result = none::value;
    call_callback(&s.callback, s.args, std::min(s.arity, ARG_COUNT), &s.result);
    if (follow && s.scanner) {
        const Cell& input = s.args[1];
        if (input.type() == s.source.type() && input.data2 == s.source.data2) {
            int64_t moved = int64_t(input.data1) - int64_t(s.source.data1) - int64_t(s.origin);
            // A callback may move its input anywhere: the scan stays inside the input.
            moved = std::clamp<int64_t>(moved, 0, int64_t(s.total));
            if (uint32_t(moved) != at) s.scanner->move_cursor(position_of(s, uint32_t(moved)));
        }
    }
    return logic::is_true(&s.result);
}

// The type a prescan event names for a token: its datatype, or the token kind's
// exit-state entry (none for the comma, which has no entry of its own).
Cell prescan_type(const Token& t, bool* word) {
    *word = false;
    if (Type ty = token_type(t.state)) return datatype_cell(ty);
    if (t.state == T_COMMA) return none::value;
    Cell c = exit_state_cell(t.state - S_NEVER);
    *word = c.is(TYPE_WORD);
    return c;
}

// ---- building series ----------------------------------------------------------------

// Makes the cells after the marker at idx a series of that type in the marker's place.
void close_at(uint32_t idx, Type type) {
    uint32_t n = vs.top - idx - 1;
    Cell b;
    block::make_at(&b, int32_t(n ? n : 1));
    memory::Buffer* buf = memory::buffer_of(b.data2);
    if (n) std::memcpy(buf->data() + buf->offset, vs.cells + idx + 1, size_t(n) * sizeof(Cell));
    buf->tail = buf->offset + n * uint32_t(sizeof(Cell));
    b.header = uint32_t(type) | (vs.cells[idx].header & FLAG_NEW_LINE);
    vs.cells[idx] = b;
    vs.top = idx + 1;
}

// Removes the cells at the indexes given (in descending order, all at or above
// `from`) by moving the cells above them down, in one pass.
void compact(std::vector<uint32_t>& dropped, uint32_t from) {
    if (dropped.empty()) return;
    size_t k = dropped.size();  // dropped[k - 1] is the lowest one left
    uint32_t w = from;
    for (uint32_t r = from; r < vs.top; ++r) {
        if (k > 0 && dropped[k - 1] == r) {
            --k;
            continue;
        }
        vs.cells[w++] = vs.cells[r];
    }
    vs.top = w;
    dropped.clear();
}

// After an error, or at the end of an input left open: open blocks and parens
// close with the items read, other open series leave their items in place.
// Every cell moves at most once per series it ends up in.
void close_open_series(State& s) {
    std::vector<uint32_t> dropped;
    while (!s.markers.empty()) {
        uint32_t idx = s.markers.back();
        s.markers.pop_back();
        Type type = Type(vs.cells[idx].data2 & 0xFFFF);
        if (type == TYPE_BLOCK || type == TYPE_PAREN) {
            compact(dropped, idx + 1);
            close_at(idx, type);
        } else {
            dropped.push_back(idx);
        }
    }
    compact(dropped, s.base);
}

// ---- the loader -----------------------------------------------------------------------

class Loader final : public Sink {
public:
    explicit Loader(State& s) : s_(s) {}

    bool before(Scanner& sc, const Token& t) override {
        if (!(s_.mask & EV_PRESCAN)) return true;
        // The "(" of a point literal is announced with the whole point.
        if (t.state == T_PAREN_OPEN && point_ahead(t.end + 1, s_.end)) return true;
        bool word = false;
        Cell type = prescan_type(t, &word);
        const uint8_t* start = t.start;
        const uint8_t* end = t.end;
        // A point is announced with both of its parentheses: its token starts
        // just after the "(" and ends on the ")".
        if (t.state == T_POINT) {
            if (start > s_.begin) --start;
            if (end < s_.end) ++end;
        }
        const uint8_t* at = sc.cursor();
        bool ok = fire_event(s_, EV_PRESCAN, type, nullptr, start, end, word, true);
        if (ok) sc.move_cursor(at);
        return ok;
    }

    bool open(Scanner& sc, Type type, const Token& opener) override {
        const uint8_t* end = opener.end < s_.end ? opener.end + 1 : opener.end;
        bool ok = fire_event(s_, EV_OPEN, datatype_cell(type), nullptr, opener.start, end, true, false);
        if (type == TYPE_STRING) return true;  // strings open regardless
        if (!ok) return false;
        if (s_.load) {
            uint32_t idx = push_cell(uint32_t(MARKER) | (opener.lines ? FLAG_NEW_LINE : 0));
            vs.cells[idx].data2 = type;
            s_.markers.push_back(idx);
        }
        return true;
    }

    bool close(Scanner&, Type type, const uint8_t* opener, const uint8_t* end) override {
        return fire_event(s_, EV_CLOSE, datatype_cell(type), nullptr, opener, end, false, true);
    }

    int closed(Scanner&, Type type) override {
        if (!s_.load || s_.markers.empty()) return 0;
        uint32_t idx = s_.markers.back();
        s_.markers.pop_back();
        if (type != TYPE_MAP) {
            close_at(idx, type);
            return 0;
        }
        MapMaker make = map_maker();
        Cell map;
        int code = make ? make(vs.cells + idx + 1, vs.top - idx - 1, &map) : int(TYPE_MAP);
        if (code) {
            vs.top = idx;  // nothing partial stays behind
            return code;
        }
        map.header = (map.header & ~FLAG_NEW_LINE) | (vs.cells[idx].header & FLAG_NEW_LINE);
        vs.cells[idx] = map;
        vs.top = idx + 1;
        return 0;
    }

    int token(Scanner& sc, Token& t) override {
        if (s_.prescan) {
            // The kinds the table gives stand; a construction is some datatype's.
            if (t.type == TYPE_NONE_ID && t.state == T_CONSTRUCT) t.type = TYPE_DATATYPE;
            return 0;
        }
        bool scan_event = (s_.mask & EV_SCAN) != 0;
        if (!s_.load || scan_event) {
            if (int code = load_value(t, nullptr)) return code;
            if (scan_event) {
                const uint8_t* at = sc.cursor();
                if (!fire_event(s_, EV_SCAN, datatype_cell(t.type), nullptr, t.start, t.end, false, true))
                    return NO_VALUE;
                sc.move_cursor(at);
            }
            if (!s_.load) return 0;
        }
        Cell v;
        if (int code = load_value(t, &v)) return code;
        // A path's head follows its opener, which carries the line break.
        if (t.lines && t.state != T_PATH_HEAD) v.header |= FLAG_NEW_LINE;
        uint32_t idx = push_cell(0);
        vs.cells[idx] = v;
        if (s_.mask & EV_LOAD) {
            if (!fire_event(s_, EV_LOAD, datatype_cell(v.type()), &v, t.start, t.end, false, true)) {
                vs.top = idx;
                return NO_VALUE;
            }
        }
        return 0;
    }

    void comment(Scanner&, const Token& t) override {
        if (s_.mask & EV_SCAN)
            fire_event(s_, EV_SCAN, exit_state_cell(T_COMMENT - S_NEVER), nullptr, t.start, t.end, false, true);
    }

    bool error(Scanner&, const Error& e) override {
        // The scan modes only learn that the text is invalid.
        if (!s_.load || e.code == E_TOO_DEEP || !(s_.mask & EV_ERROR)) return false;
        const uint8_t* end = std::max(e.at ? e.at : e.start, e.start);
        // A false answer drops the failed token and goes on.
        return !fire_event(s_, EV_ERROR, datatype_cell(e.type), nullptr, e.start, end, false, true);
    }

private:
    State& s_;
};

// ---- errors --------------------------------------------------------------------------

bool is_block_type(Type t) {
    switch (t) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
        case TYPE_HASH:
            return true;
        default:
            return false;
    }
}

Cell text_of(const std::string& s) {
    Cell c;
    string::make_at(&c, uint32_t(s.size()), 1);
    string::append_utf8(&c, s.data(), int32_t(s.size()));
    return c;
}

// Appends source text for a person to read, from p up to a line end (LF, or CR
// LF), a NUL (which ends the input) or `bytes` bytes, in whole characters. The
// text goes to a terminal as it is (syntax errors form their arguments), so a
// byte that starts no character shows as U+FFFD, never as the Latin-1 letter of
// its value, and a control character as its caret escape.
void append_shown(Cell* out, const uint8_t* p, const uint8_t* end, int bytes) {
    const uint8_t* limit = end - p > bytes ? p + bytes : end;
    while (p < end && *p != '\n' && *p != 0 && !(*p == '\r' && p + 1 < end && p[1] == '\n')) {
        uint32_t cp;
        int n = decode_utf8(p, end, &cp);
        if (n == 0) {
            cp = 0xFFFD;
            n = 1;
        }
        if (p + n > limit) break;
        if ((cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp <= 0x9F)) {
            string::append_escaped_char(out, cp, true, false);
        } else {
            string::append_code_point(out, cp);
        }
        p += n;
    }
}

// The text near an error (its last message argument): from its start, at most
// 30 bytes of the line.
Cell near_text(const uint8_t* p, const uint8_t* end) {
    Cell out;
    string::make_at(&out, NEAR_BYTES, 1);
    append_shown(&out, p, end, NEAR_BYTES);
    return out;
}

// A syntax error names the code being evaluated as its `near`, as every error
// does, unless that is the library's own code (load, the console's reading of
// typed text and scripts) or nothing: what the person must see then is the
// source text, not how it was read.
bool near_is_source() {
    Cell c = error::current_code();
    if (!is_block_type(c.type()) || c.data2 == 0) return true;
    return (memory::buffer_of(c.data2)->flags & memory::FLAG_LIBRARY) != 0;
}

// The source line an error is on, from the line's first non-blank, or from a
// little before the error on a long line, so the bad text shows in context.
Cell near_line(const uint8_t* at, const uint8_t* begin, const uint8_t* end) {
    const uint8_t* from = at;
    while (from > begin && from[-1] != '\n' && at - from < NEAR_LINE_BEFORE) --from;
    while (from < at && ((*from & 0xC0) == 0x80 || *from == ' ' || *from == '\t' || *from == '\r')) ++from;
    Cell out;
    string::make_at(&out, NEAR_LINE_BYTES, 1);
    append_shown(&out, from, end, NEAR_LINE_BYTES);
    return out;
}

[[noreturn]] void raise_syntax(const State& s, const Error& e) {
    if (e.code == E_TOO_DEEP) fire("internal", "too-deep");
    const uint8_t* start = e.start ? e.start : s.begin;
    Cell line = text_of("(line " + std::to_string(e.line) + ")");
    Cell near = near_text(start, s.end);
    Cell source_line;
    const Cell* context = nullptr;  // null: the code being evaluated
    if (near_is_source()) {
        source_line = near_line(start, s.begin, s.end);
        context = &source_line;
    }
    if (e.code > 0) {
        Cell type = datatype_cell(Type(e.code));
        fire_near(context, "syntax", "invalid", &line, &type, &near);
    }
    switch (e.code) {
        case E_BAD_CHAR: fire_near(context, "syntax", "bad-char", &line, &near);
        case E_MALCONSTRUCT: fire_near(context, "syntax", "malconstruct", &line, &near);
        default: {
            Cell missing{uint32_t(TYPE_CHAR), 0, uint32_t(uint8_t(e.missing ? e.missing : ']')), 0};
            fire_near(context, "syntax", "missing", &line, &missing, &near);
        }
    }
}

// The values of a finished (or failed) scan into out.
void deliver(State& s, Cell* out) {
    if (s.scan_only) return;
    close_open_series(s);
    uint32_t n = vs.top - s.base;
    if (s.stop_after_one && n >= 1) {
        *out = vs.cells[s.base];
        out->header &= ~FLAG_NEW_LINE;
        return;
    }
    if (s.into.type() != TYPE_NONE) {
        memory::Buffer* b = memory::buffer_of(s.into.data2);
        block::ks_insert_cells(&s.into, int32_t(b->used_bytes() / sizeof(Cell)), vs.cells + s.base, int32_t(n));
        *out = s.into;
        return;
    }
    Cell blk;
    block::make_at(&blk, int32_t(n ? n : 1));
    memory::Buffer* b = memory::buffer_of(blk.data2);
    if (n) std::memcpy(b->data() + b->offset, vs.cells + s.base, size_t(n) * sizeof(Cell));
    b->tail = b->offset + n * uint32_t(sizeof(Cell));
    *out = blk;
}

Type run_scan(State& s, Cell* out, uint32_t* consumed) {
    Options o;
    o.prescan = s.prescan;
    o.stop_after_one = s.stop_after_one || s.prescan;
    Scanner scanner(s.begin, size_t(s.end - s.begin), o);
    s.scanner = &scanner;
    Loader loader(s);
    Result r;
    try {
        r = scanner.run(loader);
    } catch (const Thrown&) {
        // A throw from a callback (or an error raised while building) leaves with
        // the values read so far delivered.
        s.scanner = nullptr;
        uint32_t code = runtime_context.thrown_code;
        deliver(s, out);
        runtime_context.thrown_code = code;
        throw;
    }
    s.scanner = nullptr;
    if (consumed) *consumed = index_of(s, r.stop);
    if (r.error.code != 0) {
        if (!s.load) {
            if (!s.scan_only) *out = none::value;
            return TYPE_ERROR;
        }
        deliver(s, out);
        raise_syntax(s, r.error);
    }
    deliver(s, out);
    return r.type;
}

void init_callback(State& s, const ScanArgs& a) {
    if (!a.callback || a.callback->is(TYPE_NONE)) return;
    if (!a.callback->is(TYPE_FUNCTION) && !a.callback->is(TYPE_ROUTINE)) fire("script", "invalid-arg", a.callback);
    if (!call_callback) fire("internal", "feature-na");
    s.callback = *a.callback;
    s.mask = event_mask(a.callback);
    s.arity = callback_arity(a.callback);
    if (a.source) s.source = *a.source;
}

Type scan_text(Cell* out, const uint8_t* text, size_t length, const ScanArgs& a, uint32_t* consumed, bool chars,
               uint32_t total) {
    State s;
    s.begin = text;
    s.end = text + length;
    s.cache_at = text;
    s.prescan = a.prescan;
    s.scan_only = a.scan_only && !a.prescan;
    s.load = !a.prescan && !a.scan_only;
    s.stop_after_one = a.stop_after_one;
    s.chars = chars;
    s.total = total;
    s.origin = a.source_offset;
    if (a.into && !a.into->is(TYPE_NONE)) s.into = *a.into;
    Link link(s);
    init_callback(s, a);
    return run_scan(s, out, consumed);
}

// The UTF-8 text of `count` characters of a text value from its head.
std::vector<uint8_t> utf8_of(const Cell* text, uint32_t count) {
    memory::Buffer* b = memory::buffer_of(text->data2);
    int unit = b->unit();
    const uint8_t* head = b->head_ptr() + size_t(text->data1) * size_t(unit);
    uint32_t size = unicode::utf8_size(head, head + size_t(count) * size_t(unit), unit);
    std::vector<uint8_t> bytes(size_t(size) + 1);
    uint32_t n = string::to_utf8_into(text, bytes.data(), int32_t(count), false);
    bytes.resize(n);
    return bytes;
}

bool is_text_type(Type t) {
    switch (t) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: return true;
        default: return false;
    }
}

// ---- hooks of the datatypes --------------------------------------------------------------

void scan_text_hook(const uint8_t* text, uint32_t length, Cell* out) { scan_one(text, length, out); }

void load_text_hook(const Cell* text, Cell* out) {
    ScanArgs a;
    scan_string(out, text, -1, a, nullptr);
}

}  // namespace

// ---- public ------------------------------------------------------------------------------

void init() {
    if (!vs.cells) {
        vs.cells = static_cast<Cell*>(std::malloc(VALUE_STACK_START * sizeof(Cell)));
        if (!vs.cells) fire("internal", "no-memory");
        vs.capacity = VALUE_STACK_START;
        gc::add_mark_callback(&mark_states);
    }
    for (int i = 0; i < 6; ++i) event_symbols[i] = symbol::make(event_names[i]);
    word::scan_text = &scan_text_hook;
    block::load_text = &load_text_hook;
}

uint32_t event_mask(const Cell* callback) {
    if (!callback->is(TYPE_FUNCTION) && !callback->is(TYPE_ROUTINE)) return 0;
    if (!callback->data3) return EV_ALL;
    memory::Buffer* record = memory::buffer_of(callback->data3);
    if (record->used_bytes() < sizeof(Cell)) return EV_ALL;
    const Cell* body = record->cells();
    if (!body->is(TYPE_BLOCK) || block::ks_length_q(body) <= 0) return EV_ALL;
    Cell first = *block::at(body, 0);
    if (!first.is(TYPE_BLOCK)) return EV_ALL;
    uint32_t mask = 0;
    for (int32_t i = 0, n = block::length(&first); i < n; ++i) {
        const Cell* w = block::at(&first, i);
        if (!w->is(TYPE_WORD)) continue;
        for (int e = 0; e < 6; ++e)
            if (symbol::same_word(int32_t(w->data2), event_symbols[e])) mask |= 1u << e;
    }
    return mask;
}

int32_t callback_arity(const Cell* callback) {
    if (!callback->data2) return 0;
    Cell spec{uint32_t(TYPE_BLOCK), 0, callback->data2, 0};
    int32_t n = 0;
    for (int32_t i = 0, len = block::length(&spec); i < len; ++i) {
        Type t = block::at(&spec, i)->type();
        if (t == TYPE_REFINEMENT || t == TYPE_SET_WORD) break;
        if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD) ++n;
    }
    return n;
}

Type scan_utf8(Cell* out, const uint8_t* text, size_t length, const ScanArgs& a, uint32_t* consumed) {
    // The scan reads its own copy: a callback may collect, and the collector moves buffers.
    std::vector<uint8_t> copy(text, text + length);
    return scan_text(out, copy.data(), copy.size(), a, consumed, false, uint32_t(length));
}

Type scan_string(Cell* out, const Cell* text, int32_t length, const ScanArgs& a, uint32_t* consumed) {
    uint32_t available = string::ks_length(text);
    uint32_t count = length < 0 || uint32_t(length) > available ? available : uint32_t(length);
    std::vector<uint8_t> bytes = utf8_of(text, count);
    return scan_text(out, bytes.data(), bytes.size(), a, consumed, true, count);
}

void scan_one(const uint8_t* text, size_t length, Cell* out) {
    ScanArgs a;
    a.stop_after_one = true;
    uint32_t consumed = 0;
    Cell v{uint32_t(TYPE_UNSET), 0, 0, 0};
    Type t = scan_utf8(&v, text, length, a, &consumed);
    // Blanks after the value belong to it; anything else is a second value.
    size_t rest = consumed;
    while (rest < length && (byte_class(text[rest]) == C_BLANK || byte_class(text[rest]) == C_LINE)) ++rest;
    if (rest < length) *out = none::value;
    else if (t == TYPE_NONE_ID) *out = unset::value;
    else *out = v;
}

Cell* transcode(const Cell* src, const Refinements& r, Cell* out) {
    gc::Rooted rooted(*src);
    Cell& source = rooted.cell;
    ScanArgs a;
    a.stop_after_one = r.next || r.one || r.scan;
    a.prescan = r.prescan;
    a.scan_only = r.scan;
    a.callback = r.trace;
    a.source = &source;
    a.into = r.into;

    bool text = is_text_type(source.type());
    if (!text && !source.is(TYPE_BINARY)) fire("script", "invalid-arg", src);
    if (r.into && !r.into->is(TYPE_NONE) && !is_block_type(r.into->type())) fire("script", "invalid-arg", r.into);
    memory::Buffer* b = memory::buffer_of(source.data2);
    int unit = text ? b->unit() : 1;
    int64_t head = source.data1;
    int64_t available = int64_t(b->used_bytes() / uint32_t(unit)) - head;
    if (available < 0) available = 0;
    int64_t count = available;
    if (r.part && !r.part->is(TYPE_NONE)) {
        if (r.part->is(TYPE_INTEGER)) {
            count = int32_t(r.part->data2);
        } else if (r.part->type() != source.type()) {
            fire("script", "not-same-type");
        } else if (r.part->data2 != source.data2) {
            series::bad_refine("part", r.part);
        } else {
            count = int64_t(r.part->data1) - head;
        }
        count = std::clamp<int64_t>(count, 0, available);
    }

    gc::Rooted result;
    uint32_t consumed = 0;
    Type type;
    if (text) {
        type = scan_string(result.get(), &source, int32_t(count), a, &consumed);
    } else {
        const uint8_t* p = b->head_ptr() + head;
        uint32_t n = uint32_t(count);
        if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
            p += 3;
            n -= 3;
            a.source_offset = 3;
        }
        std::vector<uint8_t> copy(p, p + n);
        type = scan_text(result.get(), copy.data(), copy.size(), a, &consumed, false, n);
        consumed += a.source_offset;
    }

    if (r.scan || r.prescan) result.cell = type == TYPE_NONE_ID ? none::value : datatype_cell(type);
    if (r.next) {
        gc::Rooted rest(rooted.cell);
        rest->data1 = uint32_t(head + consumed);
        Cell pair;
        block::make_at(&pair, 2);
        copy_cell(result.get(), block::add_cell(&pair));
        copy_cell(rest.get(), block::add_cell(&pair));
        *out = pair;
    } else {
        *out = result.cell;
    }
    return out;
}

void make_exit_states(Cell* out) {
    Cell blk;
    block::make_at(&blk, EXIT_STATE_COUNT);
    for (int n = 1; n <= EXIT_STATE_COUNT; ++n) {
        Cell c = exit_state_cell(n);
        copy_cell(&c, block::add_cell(&blk));
    }
    *out = blk;
}

int active_scans() { return depth; }
uint32_t value_stack_top() { return vs.top; }

}  // namespace kro::lexer

// ---- conversions through the tokenizer ------------------------------------------------------

namespace kro::convert {

Cell* scan_string(const Cell* str, Cell* destination) {
    std::vector<uint8_t> bytes = lexer::utf8_of(str, string::ks_length(str));
    Cell v;
    lexer::scan_one(bytes.data(), bytes.size(), &v);
    if (v.is(TYPE_NONE)) return const_cast<Cell*>(&none::value);
    if (v.is(TYPE_UNSET)) {
        *destination = unset::value;
        return destination;
    }
    block::make_at(destination, 1);
    Cell* first = block::add_cell(destination);
    copy_cell(&v, first);
    return first;
}

Cell* scan_argument(const Cell* str) { return scan_string(str, stack::arguments); }

}  // namespace kro::convert
