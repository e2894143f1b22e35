// event!: one thing that happened in the GUI (type 54, no parent type).
//
// Cell: header bit MADE set for an event built by `make`, clear for one the
// back-end builds for a dispatch. data1 the event-type code (0: none given);
// data3 the flags word (modifier and button bits; in a made event the low 21
// bits hold the key's code point, in a back-end event bit 0 says the key code
// is a special key). data2: for a made event the node of a four-cell block
// [face window offset picked], or 0 when the make block gave none of them; for a
// back-end event the serial of its record (below).
//
// A back-end record lives on the event loop's stack for one dispatch. The
// event cell names it by a serial that is looked up among the records still
// live: an event value kept after its dispatch ended reads none for the
// fields the record held (face, offset, key, picked) and never touches the
// dead record.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::event {

constexpr uint32_t MADE = 0x1000;

// Event-type codes (data1).
enum Code : int32_t {
    DOWN = 1, UP, MID_DOWN, MID_UP, ALT_DOWN, ALT_UP, AUX_DOWN, AUX_UP, CLICK, DBL_CLICK, WHEEL, OVER,
    KEY, KEY_DOWN, KEY_UP, IME, FOCUS, UNFOCUS, ENTER, ZOOM, PAN, ROTATE, TWO_TAP, PRESS_TAP, SELECT,
    CHANGE, MENU, CLOSE, MOVE, RESIZE, MOVING, RESIZING, TIME, DRAWING, SCROLL,
};
constexpr int32_t TYPE_COUNT = 35;

// Flags word bits.
constexpr uint32_t FLAG_SPECIAL = 0x00000001;  // back-end key events: the key is a special key
constexpr uint32_t FLAG_CONTROL = 0x10000000;
constexpr uint32_t FLAG_SHIFT = 0x20000000;
constexpr uint32_t FLAG_ALT = 0x40000000;
constexpr uint32_t FLAG_COMMAND = 0x80000000;  // accepted by make, never reported
constexpr uint32_t FLAG_AWAY = 0x04000000;
constexpr uint32_t FLAG_DOWN = 0x02000000;
constexpr uint32_t FLAG_MID_DOWN = 0x01000000;
constexpr uint32_t FLAG_ALT_DOWN = 0x00800000;
constexpr uint32_t FLAG_AUX_DOWN = 0x00400000;
// The key's code point in a made event.
constexpr uint32_t MADE_KEY_MASK = 0x001FFFFF;

// Field indexes (what pick takes).
enum Field : int32_t {
    F_TYPE = 1, F_FACE, F_WINDOW, F_OFFSET, F_KEY, F_PICKED, F_FLAGS, F_AWAY_Q, F_DOWN_Q, F_MID_DOWN_Q,
    F_ALT_DOWN_Q, F_AUX_DOWN_Q, F_CTRL_Q, F_SHIFT_Q, F_ORIENTATION,
};
constexpr int32_t FIELD_COUNT = 15;

// ---- back-end records -------------------------------------------------------------------------

// What a back-end event describes beyond its cell: the face of the widget it
// concerns (a cell the widget keeps current; null for none), the pointer
// relative to that widget in cells, the key code or picked value, and the
// wheel delta of a wheel event.
struct Record {
    const Cell* face = nullptr;
    float x = 0, y = 0;
    int32_t value = 0;
    float delta = 0;
};

// A record made live for the span of one dispatch (nested dispatches nest).
class LiveRecord {
public:
    explicit LiveRecord(const Record& r);
    ~LiveRecord();
    LiveRecord(const LiveRecord&) = delete;
    LiveRecord& operator=(const LiveRecord&) = delete;
    uint32_t serial() const { return serial_; }
    Record record;

private:
    friend const Record* live_record(uint32_t serial);
    uint32_t serial_;
    LiveRecord* prev_;
};

// The live record of a serial, or null once its dispatch has ended.
const Record* live_record(uint32_t serial);

// A back-end event cell for a live record.
Cell make_backend(int32_t type, const LiveRecord& record, uint32_t flags);

// ---- the vocabulary --------------------------------------------------------------------------

// Field word to index 1-15, or -1 (any word type; case-insensitive).
int32_t field_index(const Cell* word);
// The field's value into out (index 1-15).
void get_field(const Cell* event, int32_t index, Cell* out);
// The word of a type code; none for a code outside 1-35.
Cell type_word(int32_t code);
// The code of a type word; 0 when it names no event type.
int32_t type_code(const Cell* word);
// Stores the type of a word! or lit-word! into the event; a word outside the
// vocabulary raises script/not-event-type.
void set_type(Cell* event, const Cell* word);
// The one flags block, emptied and refilled with the words of the bits set
// (away down mid-down alt-down aux-down control shift alt).
Cell flags_block(uint32_t flags);
// The bit of a flag word; 0 for any other word.
uint32_t flag_bit(const Cell* word);
// The word of a special key code (-20 .. -42); none for any other code.
Cell special_key_word(int32_t code);

// ---- actions ----------------------------------------------------------------------------------
Cell* make(Cell* proto, Cell* spec, int32_t type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* pick(Cell* series, int32_t index, Cell* boxed);

// find-flag?: whether a flags facet (a word, or a block of words and
// lit-words) holds the flag word.
bool find_flag(const Cell* facet, const Cell* flag);

// Registers event! (type 54).
void init();

}  // namespace kro::event
