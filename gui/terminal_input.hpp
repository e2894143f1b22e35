// Terminal input of the text back-end: the bytes waiting on the input
// terminal are gathered once per pass of the event loop into a byte buffer
// and decoded into keys, mouse actions and cursor-position answers, which go
// to an InputSink (the event loop). A sequence cut at the end of the buffer
// waits for the bytes of a later pass; one that gets no more bytes for a whole
// pass is decided as it stands, so a stray prefix never swallows later keys
// (a lone ESC is then the Escape key). A character cut between its bytes
// waits longer: its bytes may come in separate reads with quiet passes
// between them, and only a key or a while without bytes decides it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kro::tui {

// ---- what the decoder hands on -------------------------------------------------------

// Modifier and button bits, as the event flags word carries them.
constexpr uint32_t FLAG_CONTROL = 0x10000000;
constexpr uint32_t FLAG_SHIFT = 0x20000000;
constexpr uint32_t FLAG_ALT = 0x40000000;
constexpr uint32_t FLAG_AWAY = 0x04000000;
constexpr uint32_t FLAG_DOWN = 0x02000000;      // left button held
constexpr uint32_t FLAG_MID_DOWN = 0x01000000;  // middle button held
constexpr uint32_t FLAG_ALT_DOWN = 0x00800000;  // right button held
constexpr uint32_t FLAG_AUX_DOWN = 0x00400000;

// Special keys (negative codes, sent with the special-key bit).
constexpr int32_t KEY_UP = -20;
constexpr int32_t KEY_DOWN = -21;
constexpr int32_t KEY_RIGHT = -22;
constexpr int32_t KEY_LEFT = -23;
constexpr int32_t KEY_END = -24;
constexpr int32_t KEY_HOME = -25;
constexpr int32_t KEY_INSERT = -26;
constexpr int32_t KEY_DELETE = -27;
constexpr int32_t KEY_PAGE_UP = -28;
constexpr int32_t KEY_PAGE_DOWN = -29;
constexpr int32_t KEY_F1 = -31;  // F1 .. F12 are -31 .. -42
constexpr int32_t KEY_F12 = -42;

// A key: a code point (control keys their control code: Backspace 127, Enter
// 13, Tab 9, Esc 27) with special false, or a special key's code with special
// true. Shift-Tab arrives as Tab with FLAG_SHIFT. Modifiers are reported for
// cursor, editing and function keys that carry them.
struct KeyAction {
    int32_t code;
    bool special;
    uint32_t flags;
};

enum class MouseKind : uint8_t { press, release, move, wheel };

// A mouse action at x, y: cells from the frame's top-left corner. button: 0
// left, 1 middle, 2 right (press and release; for a move, -1). flags: the
// modifiers, and for a move the bit of each button held. delta: +1 for the
// wheel turned up, -1 down.
struct MouseAction {
    MouseKind kind;
    int button;
    float x, y;
    uint32_t flags;
    int delta;
};

class InputSink {
public:
    virtual ~InputSink() = default;
    virtual void key(const KeyAction& k) = 0;
    virtual void mouse(const MouseAction& m) = 0;
    // The cursor's row and column (0-based) answered to a request.
    virtual void cursor_report(int row, int column) {}
};

// ---- the decoder ---------------------------------------------------------------------------

class InputDecoder {
public:
    // frame_row: the screen row where the frame starts, shared with the frame
    // writer; a cursor answer sets it and mouse rows are counted from it.
    explicit InputDecoder(int& frame_row) : frame_row_(frame_row) { bytes_.reserve(100); }

    // How long a character cut between its bytes waits for the rest, without
    // other bytes coming, before it is decided as U+FFFD.
    static constexpr int64_t CUT_CHARACTER_WAIT_MS = 500;

    // Adds bytes read from the terminal.
    void append(const uint8_t* bytes, size_t n);
    // Decodes what the buffer holds, handing everything to sink; now_ms is
    // the time of the pass (the steady clock without it). A cursor answer is
    // taken only while a request is outstanding (see terminal_control):
    // otherwise the same bytes are a modified F3.
    void decode(InputSink& sink, int64_t now_ms);
    void decode(InputSink& sink);
    // Empties the buffer.
    void clear();

    size_t pending() const { return bytes_.size(); }
    bool incomplete() const { return incomplete_; }
    // The last cursor answer, 0-based; -1 before any.
    int cursor_row() const { return cursor_row_; }
    int cursor_column() const { return cursor_column_; }
    // Buttons the mouse reports say are held (bit 0 left, 1 middle, 2 right).
    unsigned buttons_held() const { return held_; }

    // Cursor answers are taken whatever was asked (tests of the decoder alone).
    void accept_any_cursor_report(bool on) { any_report_ = on; }

private:
    enum : int { NEED_MORE = -1 };
    using Bytes = std::vector<uint8_t>;
    // What may still wait for bytes in this pass: sequences (false once a
    // pass brought nothing), cut characters (false once they waited long
    // enough); cut is set when a cut character is what waits.
    struct Waiting {
        bool final;
        bool cut_final;
        bool cut = false;
    };
    int escape(const Bytes& in, size_t at, Waiting& wait, InputSink& sink);
    int csi(const Bytes& in, size_t at, bool final, InputSink& sink);
    int string_sequence(const Bytes& in, size_t at, bool final);
    int utf8(const Bytes& in, size_t at, Waiting& wait, InputSink& sink);
    void mouse_report(int b, int column, int row, bool release, bool sgr, InputSink& sink);

    int& frame_row_;
    std::vector<uint8_t> bytes_;
    bool fresh_ = false;  // bytes arrived since the last decode
    bool incomplete_ = false;
    int64_t cut_since_ = -1;  // when the cut character at the buffer's start was first left waiting
    int cursor_row_ = -1, cursor_column_ = -1;
    unsigned held_ = 0;
    bool any_report_ = false;
};

// ---- the back-end's input -------------------------------------------------------------------

// The decoder of the live terminal; its frame row is the frame writer's.
InputDecoder& input();

// Takes everything waiting on the input terminal into the buffer (process
// true) or throws it away. A change of the window's size since the last call
// re-reads the size (update_screen_size); a continue after a stop turns the
// screen modes on again. Answers the number of bytes read, plus one for a
// resize; 0 when nothing was there or input is not a terminal.
int read_console_input(bool process);
// decode of the live buffer at the loop's time.
void decode_input(InputSink& sink, int64_t now_ms);
// Empties the live buffer.
void clear_input();
// True when read_console_input found the screen modes turned on again after
// a continue since the last call (the whole frame must be drawn again).
bool take_screen_reset();

// Waits up to timeout_ms for input (or a resize or continue signal). Answers
// true when something arrived before the time was up. When input is not a
// terminal it is not watched: the wait then lasts unless a signal comes.
bool wait_for_input(int timeout_ms);

}  // namespace kro::tui
