// The text back-end's control of the terminal outside the frame's contents:
// the input modes it takes and gives back, the screen size, the alternate
// screen, mouse reporting, the cursor's visibility and the cursor-position
// request. Every sequence is one write to where console output goes.
//
// Raw input is the console's own raw mode (console/terminal): no echo, no line
// discipline, Ctrl-C as a byte. Output processing stays on, so ordinary prints
// between frames need no mode change and frames write CR LF themselves; a VT
// terminal already defers the wrap at the last column. Whatever this layer
// turns on is turned off again on every way out of the process (exit, fatal
// error, fault, terminating signal) and before a stop, and turned on again
// when the process continues.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kro::tui {

// ---- raw output ------------------------------------------------------------------
void write_out(const char* bytes, size_t n);
inline void write_out(std::string_view s) { write_out(s.data(), s.size()); }

// ESC [ ? n h and ESC [ ? n l.
void set_mode(int n);
void reset_mode(int n);
// ESC [ n B, only for n > 0.
void cursor_down(int n);

// ---- cursor-position request -------------------------------------------------------
// ESC [ 6 n. The answer comes back as input (terminal_input). Only asked when
// input is a terminal: otherwise nobody reads the answer and the terminal
// would hand it to whatever reads the terminal next (the shell, as typed junk).
void request_cursor();
// True (and one fewer outstanding) when a request waits for its answer: the
// input decoder takes ESC [ r ; c R as an answer only then, since the same
// bytes are also a modified F3 key.
bool take_cursor_request();
int cursor_requests_outstanding();

// ---- screen modes ---------------------------------------------------------------------
// Mode 1049 and ESC [ 2 J; nothing when already there.
void enter_alt_screen();
void leave_alt_screen();
bool alt_screen_active();
// A window whose face asks for the whole screen (set when its widget is made).
void set_fullscreen_wanted(bool on);
bool fullscreen_wanted();
// ESC [ 2 J when the alternate screen is active.
void clear_screen();

// Modes 1000, 1003, 1015 and 1006 set (or reset), in that order.
void mouse_on();
void mouse_off();
bool mouse_reporting();

// Mode 25 reset or set, each only when it changes the state.
void hide_cursor();
void show_cursor();
bool cursor_hidden();

// ---- terminal mode ----------------------------------------------------------------------
// When input is a terminal and the mode is not on: raw input, the size read,
// the mode on. Then, entered now or not, the cursor is asked for unless
// fullscreen is wanted (the inline frame starts on the cursor's row). Answers
// whether the mode is on.
bool enter_terminal();
// Gives the input modes back when this layer took them (signals off again
// when it did not); the mode off.
void leave_terminal();
bool terminal_mode();

// ---- interrupts while code runs ------------------------------------------------------------
// Raw input turns the terminal's signals off: while the loop waits, Ctrl-C is
// a key for the widgets. Once code the loop runs (an event handler, a face's
// helper) has run a moment, a watcher turns them on, so that Ctrl-C ends a
// program stuck in a handler as it ends any interrupted Linux program (the
// exit guard puts the terminal back); a Ctrl-C typed during that moment is
// seen by the watcher and does the same. Other keys it takes in wait for the
// loop. Kept across a stop and continue. Nothing outside terminal mode.
//
// on: the loop hands control to code; off: the loop waits for input again.
void code_running(bool on);
// Appends the keys the watcher took in (and forgets them).
void take_watched_input(std::vector<uint8_t>& into);

// ---- size -----------------------------------------------------------------------------
// Reads the window size (output first, then input); 80 x 24 when neither is a
// terminal or a value is not positive, and then answers -1 (else 0).
int read_size();
int columns();
int rows();
// read_size, then the resize handler when the terminal mode is on.
void update_screen_size();
// The GUI keeps the screen face's size and its windows up to date through this.
using ResizeHandler = void (*)(int columns, int rows);
void set_resize_handler(ResizeHandler handler);

// ---- stops, signals and exits --------------------------------------------------------------
// Where the cursor stands in the inline frame on the screen: the frame's rows
// below it (negative: no frame shown, or the frame is on the alternate
// screen). Kept by the frame writer for drop_screen_modes.
void set_frame_rows_below_cursor(int rows);
// Turns off what is on (mouse reporting, the alternate screen, the hidden
// cursor, colours) with plain writes, once, and puts the cursor on the line
// below an inline frame, where the shell's prompt or a stop's message goes:
// async-signal-safe. The state is kept so that reapply_screen_modes can turn
// it on again (the frame is then drawn afresh where the cursor is).
void drop_screen_modes();
// After a stop and continue: what drop_screen_modes turned off goes on again.
// Answers whether anything was dropped (the screen then needs a full frame).
bool reapply_screen_modes();

// Forgets all state without writing (tests).
void reset_control_state();

}  // namespace kro::tui
