#include "datatypes/event.hpp"

#include <cmath>

#include "datatypes/block.hpp"
#include "datatypes/char.hpp"
#include "datatypes/context.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/scalar_path.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/registry.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/routines.hpp"
#include "interpreter/stack.hpp"

namespace kro::event {

static_assert(MADE == collector::EVENT_MADE, "the collector follows data2 of made events");

namespace {

constexpr const char* TYPE_NAMES[TYPE_COUNT] = {
    "down",     "up",       "mid-down",  "mid-up", "alt-down", "alt-up",   "aux-down", "aux-up", "click",
    "dbl-click", "wheel",   "over",      "key",    "key-down", "key-up",   "ime",      "focus",  "unfocus",
    "enter",    "zoom",     "pan",       "rotate", "two-tap",  "press-tap", "select",  "change", "menu",
    "close",    "move",     "resize",    "moving", "resizing", "time",     "drawing",  "scroll",
};

constexpr const char* FIELD_NAMES[FIELD_COUNT] = {
    "type",     "face",      "window", "offset", "key",   "picked", "flags",      "away?",
    "down?",    "mid-down?", "alt-down?", "aux-down?", "ctrl?", "shift?", "orientation",
};

// In the order `flags` reports them.
struct FlagName {
    const char* name;
    uint32_t bit;
};
constexpr FlagName FLAG_NAMES[] = {
    {"away", FLAG_AWAY},       {"down", FLAG_DOWN},       {"mid-down", FLAG_MID_DOWN}, {"alt-down", FLAG_ALT_DOWN},
    {"aux-down", FLAG_AUX_DOWN}, {"control", FLAG_CONTROL}, {"shift", FLAG_SHIFT},      {"alt", FLAG_ALT},
};
constexpr int FLAG_REPORTED = 8;
// command is accepted from a spec, never reported.
constexpr const char* COMMAND_NAME = "command";

// Special keys -20 .. -42; null where a code has no key.
constexpr const char* SPECIAL_NAMES[] = {
    "up", "down", "right", "left", "end", "home", "insert", "delete", "page-up", "page-down", nullptr,
    "F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10", "F11", "F12",
};
constexpr int32_t SPECIAL_FIRST = -20;
constexpr int32_t SPECIAL_COUNT = int32_t(sizeof SPECIAL_NAMES / sizeof SPECIAL_NAMES[0]);

// The reused flags block, kept by a mark callback.
Cell flags_cell{uint32_t(TYPE_NONE), 0, 0, 0};

// Symbols and global words, made at first use (the symbol table does not
// exist yet when datatypes register).
struct Vocabulary {
    int32_t type_sym[TYPE_COUNT];
    Cell type_word[TYPE_COUNT];
    int32_t field_sym[FIELD_COUNT];
    int32_t flag_sym[FLAG_REPORTED];
    Cell flag_word[FLAG_REPORTED];
    int32_t command_sym;
    Cell special_word[SPECIAL_COUNT];
    int32_t spec_sym[7];  // type key flags face window offset picked
};

// Zero cells until made; the collector keeps the words' bindings current.
Vocabulary v;
bool made = false;

void mark_vocabulary() {
    collector::mark_value(&flags_cell);
    collector::mark_cells(v.type_word, v.type_word + TYPE_COUNT);
    collector::mark_cells(v.flag_word, v.flag_word + FLAG_REPORTED);
    collector::mark_cells(v.special_word, v.special_word + SPECIAL_COUNT);
}

Vocabulary* vocabulary() {
    if (!made) {
        for (int i = 0; i < TYPE_COUNT; i++) {
            v.type_sym[i] = symbol::resolve(symbol::make(TYPE_NAMES[i]));
            v.type_word[i] = context::add_global_word(symbol::make(TYPE_NAMES[i]));
        }
        for (int i = 0; i < FIELD_COUNT; i++) v.field_sym[i] = symbol::resolve(symbol::make(FIELD_NAMES[i]));
        for (int i = 0; i < FLAG_REPORTED; i++) {
            v.flag_sym[i] = symbol::resolve(symbol::make(FLAG_NAMES[i].name));
            v.flag_word[i] = context::add_global_word(symbol::make(FLAG_NAMES[i].name));
        }
        v.command_sym = symbol::resolve(symbol::make(COMMAND_NAME));
        for (int i = 0; i < SPECIAL_COUNT; i++)
            v.special_word[i] = SPECIAL_NAMES[i] ? context::add_global_word(symbol::make(SPECIAL_NAMES[i])) : none::value;
        const char* spec_names[7] = {"type", "key", "flags", "face", "window", "offset", "picked"};
        for (int i = 0; i < 7; i++) v.spec_sym[i] = symbol::resolve(symbol::make(spec_names[i]));
        made = true;
    }
    return &v;
}

// Where eval-path leaves a value it reads.
Cell path_result;

// The innermost live record.
LiveRecord* live_top = nullptr;
uint32_t next_serial = 1;

int32_t truncated(float f) {
    if (!(f > -2147483649.0f && f < 2147483648.0f)) return f > 0 ? INT32_MAX : INT32_MIN;
    return int32_t(f);
}

Cell char_or_none(int64_t cp) {
    if (cp <= 0 || cp > 0x10FFFF) return none::value;
    return charx::make(uint32_t(cp));
}

int32_t word_symbol(const Cell* w) { return symbol::resolve(int32_t(w->data2)); }

}  // namespace

// ---- back-end records --------------------------------------------------------------------------

LiveRecord::LiveRecord(const Record& r) : record(r), serial_(next_serial++), prev_(live_top) {
    if (next_serial == 0) next_serial = 1;  // 0 never names a record
    live_top = this;
}

LiveRecord::~LiveRecord() { live_top = prev_; }

const Record* live_record(uint32_t serial) {
    for (LiveRecord* r = live_top; r; r = r->prev_)
        if (r->serial_ == serial) return &r->record;
    return nullptr;
}

Cell make_backend(int32_t type, const LiveRecord& record, uint32_t flags) {
    return Cell{uint32_t(TYPE_EVENT), uint32_t(type), record.serial(), flags};
}

// ---- the vocabulary --------------------------------------------------------------------------

int32_t field_index(const Cell* w) {
    if (!word::any_word_type(w->type())) return -1;
    int32_t s = word_symbol(w);
    const Vocabulary* v = vocabulary();
    for (int i = 0; i < FIELD_COUNT; i++)
        if (v->field_sym[i] == s) return i + 1;
    return -1;
}

Cell type_word(int32_t code) {
    if (code < 1 || code > TYPE_COUNT) return none::value;
    return vocabulary()->type_word[code - 1];
}

int32_t type_code(const Cell* w) {
    if (!word::any_word_type(w->type())) return 0;
    int32_t s = word_symbol(w);
    const Vocabulary* v = vocabulary();
    for (int i = 0; i < TYPE_COUNT; i++)
        if (v->type_sym[i] == s) return i + 1;
    return 0;
}

void set_type(Cell* ev, const Cell* w) {
    int32_t code = type_code(w);
    if (code == 0) fire("script", "not-event-type", w);
    ev->data1 = uint32_t(code);
}

uint32_t flag_bit(const Cell* w) {
    if (!word::any_word_type(w->type())) return 0;
    int32_t s = word_symbol(w);
    const Vocabulary* v = vocabulary();
    for (int i = 0; i < FLAG_REPORTED; i++)
        if (v->flag_sym[i] == s) return FLAG_NAMES[i].bit;
    return s == v->command_sym ? FLAG_COMMAND : 0;
}

Cell flags_block(uint32_t flags) {
    const Vocabulary* v = vocabulary();
    if (!flags_cell.is(TYPE_BLOCK)) block::make_at(&flags_cell, FLAG_REPORTED);
    flags_cell.data1 = 0;
    block::ks_clear(&flags_cell);
    for (int i = 0; i < FLAG_REPORTED; i++)
        if (flags & FLAG_NAMES[i].bit) block::ks_append(&flags_cell, &v->flag_word[i]);
    return flags_cell;
}

Cell special_key_word(int32_t code) {
    int32_t i = SPECIAL_FIRST - code;
    if (i < 0 || i >= SPECIAL_COUNT) return none::value;
    return vocabulary()->special_word[i];
}

void get_field(const Cell* ev, int32_t index, Cell* out) {
    uint32_t flags = ev->data3;
    auto bit = [&](uint32_t b) { *out = logic::make((flags & b) != 0); };
    switch (index) {
        case F_TYPE: *out = type_word(int32_t(ev->data1)); return;
        case F_FLAGS: *out = flags_block(flags & ~(FLAG_SPECIAL | MADE_KEY_MASK | FLAG_COMMAND)); return;
        case F_AWAY_Q: bit(FLAG_AWAY); return;
        case F_DOWN_Q: bit(FLAG_DOWN); return;
        case F_MID_DOWN_Q: bit(FLAG_MID_DOWN); return;
        case F_ALT_DOWN_Q: bit(FLAG_ALT_DOWN); return;
        case F_AUX_DOWN_Q: bit(FLAG_AUX_DOWN); return;
        case F_CTRL_Q: bit(FLAG_CONTROL); return;
        case F_SHIFT_Q: bit(FLAG_SHIFT); return;
        case F_ORIENTATION: *out = none::value; return;
        default: break;
    }
    if (ev->header & MADE) {
        bool has_block = ev->data2 != 0;
        Cell blk{uint32_t(TYPE_BLOCK), 0, ev->data2, 0};
        switch (index) {
            case F_FACE: *out = has_block ? *block::at(&blk, 0) : none::value; return;
            case F_WINDOW: *out = has_block ? *block::at(&blk, 1) : none::value; return;
            case F_OFFSET: *out = has_block ? *block::at(&blk, 2) : pair::make(0, 0); return;
            case F_KEY: *out = char_or_none(flags & MADE_KEY_MASK); return;
            case F_PICKED: *out = has_block ? *block::at(&blk, 3) : integer::make(0); return;
            default: break;
        }
    } else {
        const Record* r = live_record(ev->data2);
        switch (index) {
            case F_FACE: *out = r && r->face ? *r->face : none::value; return;
            case F_WINDOW: *out = none::value; return;
            case F_OFFSET: *out = r ? pair::make(truncated(r->x), truncated(r->y)) : none::value; return;
            case F_KEY:
                if (!r) *out = none::value;
                else if (flags & FLAG_SPECIAL) *out = special_key_word(r->value);
                else *out = char_or_none(r->value);
                return;
            case F_PICKED:
                if (!r) *out = none::value;
                else if (ev->data1 == uint32_t(WHEEL)) *out = floatx::make(double(r->delta));
                else *out = integer::make(r->value);
                return;
            default: break;
        }
    }
    *out = none::value;
}

// ---- actions ----------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t) {
    Cell ev{uint32_t(TYPE_EVENT) | MADE, 0, 0, 0};
    if (!spec->is(TYPE_BLOCK)) {
        *proto = ev;
        return proto;
    }
    const Vocabulary* v = vocabulary();
    Cell face = none::value, window = none::value, offset = pair::make(0, 0), picked = integer::make(0);
    bool any = false;
    int32_t n = block::length(spec);
    for (int32_t i = 0; i + 1 < n; i++) {
        const Cell* item = block::at(spec, i);
        if (!item->is(TYPE_SET_WORD)) continue;
        Cell value = *block::at(spec, i + 1);
        if ((value.is(TYPE_WORD) || value.is(TYPE_GET_WORD)) && value.data1 != 0) {
            const Cell* got = word::value_cell(&value);
            if (got) value = *got;
        }
        int32_t s = word_symbol(item);
        i++;  // the walk goes on after the value
        if (s == v->spec_sym[0]) {
            if (value.is(TYPE_WORD) || value.is(TYPE_LIT_WORD)) set_type(&ev, &value);
        } else if (s == v->spec_sym[1]) {
            if (value.is(TYPE_CHAR)) ev.data3 |= value.data2 & MADE_KEY_MASK;
        } else if (s == v->spec_sym[2]) {
            if (value.is(TYPE_BLOCK)) {
                int32_t m = block::length(&value);
                for (int32_t k = 0; k < m; k++) {
                    const Cell* f = block::at(&value, k);
                    if (f->is(TYPE_WORD)) ev.data3 |= flag_bit(f);
                }
            }
        } else if (s == v->spec_sym[3]) {
            if (value.is(TYPE_OBJECT)) face = value, any = true;
        } else if (s == v->spec_sym[4]) {
            if (value.is(TYPE_OBJECT)) window = value, any = true;
        } else if (s == v->spec_sym[5]) {
            if (value.is(TYPE_PAIR) || value.is(TYPE_POINT2D)) offset = value, any = true;
        } else if (s == v->spec_sym[6]) {
            if (value.is(TYPE_INTEGER)) picked = value, any = true;
        }
    }
    if (any) {
        // Nothing here collects: the values read above stay valid.
        Cell blk;
        block::make_at(&blk, 4);
        for (const Cell* c : {&face, &window, &offset, &picked}) {
            Cell* slot = block::add_cell(&blk);
            *slot = *c;
            slot->header &= ~FLAG_NEW_LINE;
        }
        ev.data2 = blk.data2;
    }
    *proto = ev;
    return proto;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
    string::concatenate_ascii(buffer, "event", 5);
    return limit - 5;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    return form(value, buffer, part, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, bool, bool, bool,
                bool) {
    int32_t i = field_index(element);
    if (value) {
        if (i != F_TYPE || !value->is(TYPE_WORD)) fire("script", "bad-path-set", path ? path : &none::value, element);
        set_type(parent, value);
        return value;
    }
    if (i < 0) scalar_path::invalid_path(path, element);
    get_field(parent, i, &path_result);
    return &path_result;
}

int32_t compare(Cell*, Cell* value2, int32_t op) {
    if (!value2->is(TYPE_EVENT)) return -2;
    switch (op) {
        case actions::EQUAL: case actions::NOT_EQUAL: case actions::STRICT_EQUAL: case actions::SORT:
        case actions::CASE_SORT: case actions::SAME: case actions::FIND:
            return 0;
        default:
            return -2;
    }
}

Cell* pick(Cell* series, int32_t index, Cell* boxed) {
    int32_t i = index;
    if (boxed && word::any_word_type(boxed->type())) i = field_index(boxed);
    if (i < 1 || i > FIELD_COUNT) {
        Cell n = integer::make(index);
        fire("script", "out-of-range", boxed ? boxed : &n);
    }
    Cell ev = *series;
    get_field(&ev, i, series);
    return series;
}

bool find_flag(const Cell* facet, const Cell* flag) {
    if (!word::any_word_type(flag->type())) return false;
    int32_t s = word_symbol(flag);
    if (facet->is(TYPE_WORD)) return word_symbol(facet) == s;
    if (!facet->is(TYPE_BLOCK)) return false;
    int32_t n = block::length(facet);
    for (int32_t i = 0; i < n; i++) {
        const Cell* c = block::at(facet, i);
        if ((c->is(TYPE_WORD) || c->is(TYPE_LIT_WORD)) && word_symbol(c) == s) return true;
    }
    return false;
}

// ---- routines ----------------------------------------------------------------------------------

namespace {

void event_q() {
    logic::box(stack::arguments->is(TYPE_EVENT));
    stack::keep();
}

// The terminal back-end queues nothing: a made event reaches awake only when
// user code calls it.
void send_event_os() {
    logic::box(false);
    stack::keep();
}

void find_flag_q() {
    logic::box(find_flag(stack::arguments, stack::arguments + 1));
    stack::keep();
}

void install() {
    routines::add("event?", &event_q);
    routines::add("send-event-os", &send_event_os);
    routines::add("find-flag?", &find_flag_q);
}

}  // namespace

KRO_ROUTINE_GROUP(install);

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_FORM>(&form).set<A_MOLD>(&mold).set<A_EVAL_PATH>(&eval_path);
    a.set<A_COMPARE>(&compare).set<A_PICK>(&pick);
    datatype::register_type(TYPE_EVENT, 0, "event!", a);
    gc::add_mark_callback(&mark_vocabulary);
}

}  // namespace kro::event
