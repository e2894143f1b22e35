// The console's line editor: reads one line on a terminal with in-place
// editing (caret moves, insertion and deletion, history walk, completion) and
// redraws the prompt and line with their display widths (wide and zero-width
// characters, tabs, colour sequences, rows wrapped at the terminal's width).
// When standard input or output is not a terminal it reads a plain UTF-8 line.
//
// The editor knows nothing of the interpreter: it takes a prompt, a history and
// an optional completion function, and answers the line with how it ended.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kro::terminal {

// ---- history -------------------------------------------------------------------------
// The entries the editor walks with Up and Down, newest first. The console's
// history block is reached through an implementation of this interface.
class History {
public:
    virtual ~History() = default;
    virtual size_t size() const = 0;
    virtual std::u32string entry(size_t index) const = 0;  // 0: the newest
    virtual void add_newest(const std::u32string& line) = 0;
};

// A history held as UTF-8 strings, newest first.
class StringHistory : public History {
public:
    std::vector<std::string> entries;

    size_t size() const override { return entries.size(); }
    std::u32string entry(size_t index) const override;
    void add_newest(const std::u32string& line) override;
};

// The rules by which an entered line joins the history: not when the input is
// hidden, not when the line is empty, not when it equals the newest entry
// (case-sensitively); otherwise it becomes the newest entry.
void add_to_history(History& history, const std::u32string& line, bool hidden);

// ---- completion ---------------------------------------------------------------------
// A completion function gets the line and the caret and fills candidates:
// none, nothing to complete (the Tab is typed as a character); one, the new
// line and its caret; several, first the completed text and its caret (it
// comes back as the start of the next line) and then the candidates to show.
struct Completion {
    std::u32string text;
    size_t caret = 0;
};
using CompletionHook = void (*)(const std::u32string& line, size_t caret, std::vector<Completion>& out);
void set_completion_hook(CompletionHook hook);

// ---- display widths ------------------------------------------------------------------
// Cells a code point takes on the terminal (0, 1 or 2).
int display_width(char32_t c);
// Lays text out from cell offset `at` (counted from column 0 of the first row)
// on rows of `columns` cells, appends the bytes to write to out (when given)
// and answers the offset after the text. A tab is four blanks; an escape
// sequence (Esc, then "[" or "(", digits and semicolons and a final character)
// takes no cell; other control characters show as their control picture; a
// wide character that meets a row with one cell left starts the next row;
// with mask set every character is one "*".
int layout_text(std::u32string_view text, int at, int columns, bool mask, std::string* out);

// ---- the editor -----------------------------------------------------------------------

enum class LineEnd : uint8_t {
    enter,         // Enter: the line as typed
    escape,        // Esc: the line with the escape character (27) appended
    interrupt,     // Ctrl-C: the line is "q"
    end_of_input,  // Ctrl-D on an empty line (the line is "q"), or the input
                   // ended: the characters read so far (perhaps none)
    completion,    // Tab with several candidates: the line is empty and the
                   // completed text starts the next edit
};

struct EditResult {
    std::u32string line;
    LineEnd end = LineEnd::enter;
};

class LineEditor {
public:
    // Reads one line. On a terminal: shows the prompt (never masked) where the
    // cursor stands, edits in raw mode, restores the terminal modes and ends
    // the line on screen. Otherwise: reads a plain line and shows nothing.
    // An entered line joins the history (not with hidden set); history may be
    // null.
    EditResult read_line(std::u32string_view prompt, bool hidden, History* history);

    // Text put back into the line when the next edit starts, and its caret.
    const std::u32string& pending_text() const { return pending_; }

private:
    struct Layout {
        int caret;  // cell offset of the caret
        int end;    // cell offset after the text
    };

    EditResult edit(std::u32string_view prompt, bool hidden, History* history);
    void start_screen();
    Layout measure() const;
    Layout refresh(bool rewrite);
    void place_cursor(const Layout& l);
    void move_to(int row, int col);
    void written_to(int start, int end);
    int first_visible_row() const;
    void end_on_screen();
    void insert(char32_t c);
    size_t complete();
    void flush();

    // Text and caret.
    std::u32string prompt_;
    std::u32string line_;
    size_t caret_ = 0;
    bool hide_ = false;
    std::u32string pending_;
    size_t pending_caret_ = 0;

    // Screen: the prompt starts at origin_col_ of the origin row; the terminal's
    // cursor is tracked in rows below that row and columns.
    int columns_ = 80;
    int rows_ = 50;
    int origin_col_ = 0;
    int origin_row_ = 0;  // screen row of the origin; negative once scrolled off
    int cur_row_ = 0;
    int cur_col_ = 0;
    bool cur_pending_wrap_ = false;
    bool first_ = true;     // the next redraw is the first of the edit
    bool in_paste_ = false; // between the terminal's paste brackets (across lines)
    bool resized_ = false;  // the width changed since the last full redraw
    std::string out_;       // bytes collected for one write
};

}  // namespace kro::terminal
