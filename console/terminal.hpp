// The terminal layer under the line editor: whether standard input is a
// terminal, raw mode while a line is edited (and its restoration however the
// process ends), key bytes decoded into the editor's key codes, the window
// size and its changes, the cursor position query, output of the editor's
// bytes, and plain UTF-8 lines when standard input is redirected.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kro::terminal {

// ---- key codes ----------------------------------------------------------------
// A character key answers its code point (control keys their control code:
// Ctrl-A 1, Tab 9, Enter 13, Esc 27, Backspace 127 or 8); the other keys:
constexpr int32_t KEY_NONE = 0;  // a key or sequence the editor ignores
constexpr int32_t KEY_FAILED = -1;  // input failed or ended
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
// Bracketed paste: the terminal marks where pasted text starts and ends.
constexpr int32_t KEY_PASTE_START = -30;
constexpr int32_t KEY_PASTE_END = -31;
// The process was stopped and continued: the screen may hold anything now.
constexpr int32_t KEY_RESUMED = -40;

// Answer of decode_key when the bytes may be the start of a longer sequence.
constexpr int32_t KEY_INCOMPLETE = -1000;

// Decodes the key at the start of n bytes and stores in used the bytes it
// takes (at least 1 when n > 0). With more_may_come set, a prefix of a longer
// sequence answers KEY_INCOMPLETE; without it (the wait for the rest timed
// out) the prefix is decided: a lone Esc is 27, Esc before another key is that
// key (Alt), a cut escape sequence is KEY_NONE, a cut UTF-8 character U+FFFD.
// Escape sequences: CSI and SS3 arrows, Home, End, Insert, Delete, Page Up and
// Down (modifier parameters ignored), the paste brackets; any other sequence
// is KEY_NONE. UTF-8:
// a byte that cannot start or continue a character is U+FFFD; a three-byte
// surrogate half arrives as that half, for the editor to join.
int32_t decode_key(const uint8_t* bytes, size_t n, size_t& used, bool more_may_come);

// ---- file descriptors -------------------------------------------------------------
// Keys and redirected lines come from the input descriptor (0 unless a test
// changes it); the editor writes where console output goes (console::output_fd).
void set_input_fd(int fd);
int input_fd();

// True when fd is a terminal whose modes can be read (/dev/null is not one).
bool is_terminal(int fd);
// The editor runs when both input and output are terminals; otherwise lines are
// read plainly and no prompt is shown.
bool interactive();

// ---- raw mode -------------------------------------------------------------------
// Raw mode while a line is edited: no echo, no line discipline, Ctrl-C and
// Ctrl-Z arrive as bytes; output processing stays (LF is written as CR LF).
// Entering saves the modes in force; leaving puts them back. The first entry
// registers restore_terminal as an exit hook of the runtime and installs
// handlers for SIGTERM, SIGHUP, SIGINT and SIGQUIT (restore, then the earlier
// disposition), SIGTSTP and SIGCONT (leave raw mode while stopped, take it
// again on continuing) and SIGWINCH.
bool enter_raw_mode();
void leave_raw_mode();
bool raw_mode_active();
// Turns the terminal's echo of typed characters off or on again (its line
// mode stays); false when input is not a terminal.
bool set_echo(bool on);
// Asks the terminal to mark pasted text (CSI 200~ ... CSI 201~) or to stop.
// It is turned off again by restore_terminal on every way out (and on again
// after a stop when it was on).
void set_paste_brackets(bool on);
// Puts the saved modes back when raw mode is on; async-signal-safe, for exit
// paths, fatal errors and signal handlers. The screen restore hook runs first.
void restore_terminal();
// A layer that changes more of the terminal than its input modes (the GUI's
// alternate screen, mouse reporting, hidden cursor) puts that back through this
// hook, which restore_terminal calls on every exit path and before a stop. It
// must be async-signal-safe.
using ScreenRestoreHook = void (*)();
void set_screen_restore_hook(ScreenRestoreHook hook);
// Installs the exit hook and the signal handlers that restore the terminal, as
// the first entry into raw mode does; for a layer that changes the screen's
// modes while input is not a terminal.
void guard_terminal();
// Whether the window changed size, or the process was continued after a stop,
// since the last call (or the last read_key, which takes them too); for a
// reader of the input other than read_key.
bool take_window_changed();
bool take_resumed();
// Becomes readable when one of those signals arrives (-1 before the handlers
// are installed); a poll on input should include it.
int wake_fd();
// While held (the console's prompt waits for a line), SIGTERM and SIGHUP whose
// action is the default do not end the process at once: the reader answers
// the end of input and held_termination the signal (0: none came), so that
// the console saves what it must keep and then calls die_of.
void hold_termination(bool on);
int held_termination();
// Puts the terminal back and ends the process by the signal's default action.
[[noreturn]] void die_of(int sig);

// ---- keys -------------------------------------------------------------------------
// Waits for the next key and answers its code (KEY_FAILED when input ended or
// failed for good). A window size change re-reads the size (refresh_size)
// while waiting; no key is answered for it.
int32_t read_key();
// Whether a key is waiting: bytes typed ahead, or input ready to be read.
bool key_waiting();
// Bytes already read but not yet decoded (typed ahead) are kept between calls.
// Drops them (tests).
void discard_typed_ahead();

// ---- screen -----------------------------------------------------------------------
// The size in cells, re-read from the terminal; false (values unchanged) when
// output is not a terminal or it reports no width.
bool read_window_size(int& columns, int& rows);
// The size last read: 80 columns and 50 rows until a terminal says otherwise.
int columns();
int rows();
// Re-reads the size into columns() and rows() and calls the resize hook with
// it; false (nothing called) when it could not be read. The editor re-reads
// the size at the start of each edit, and read_key on each change.
bool refresh_size();
// The console keeps its size value up to date through this hook.
using ResizeHook = void (*)(int columns, int rows);
void set_resize_hook(ResizeHook hook);

// Asks the terminal where the cursor is (0-based) and waits at most timeout_ms
// for the answer; key bytes that arrive meanwhile are kept for read_key. False
// when no answer came.
bool query_cursor(int& column, int& row, int timeout_ms);

// Writes all bytes to the output descriptor (retrying short writes).
void write_output(const char* bytes, size_t n);
inline void write_output(const std::string& s) { write_output(s.data(), s.size()); }

// ---- redirected input ---------------------------------------------------------------
// One buffered reader of the input descriptor, shared by the functions below.
// The next character decoded from UTF-8 (U+FFFD for a byte that is not valid
// UTF-8), or -1 at the end of input or on a read error.
int32_t stdin_read_char();

enum class ReadLine : uint8_t {
    line,     // a line ended by a line feed (not stored; a CR before it stays)
    partial,  // input ended after some characters without a line feed
    end,      // input ended before any character
};
// Reads characters up to a line feed or the end of input, appending them.
ReadLine stdin_readline(std::u32string& line);
// Up to n raw bytes (buffered ones first); 0 at the end, -1 on error.
long read_stdin(uint8_t* buffer, size_t n);
// Forgets buffered input and any end seen (tests that reuse descriptors).
void reset_stdin_reader();

}  // namespace kro::terminal
