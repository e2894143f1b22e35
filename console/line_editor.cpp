#include "console/line_editor.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/terminal.hpp"
#include "foundation/char_width.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/unicode.hpp"

namespace kro::terminal {

// ---- UTF-8 of history entries ----------------------------------------------------------

namespace {

// The editor shows and keeps whole characters: a surrogate half is U+FFFD.
void append_utf8(std::string& out, char32_t c) { unicode::append_utf8(out, c, false); }

std::u32string from_utf8(const std::string& s) {
    // Halves are decoded as the keys are, then replaced: the three bytes of one
    // make one U+FFFD.
    std::u32string out = unicode::decode_utf8_text(s, true);
    for (char32_t& c : out)
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    return out;
}

CompletionHook completion_hook = nullptr;

// Queries of the cursor position that went unanswered in a row: a terminal
// that never answers is not asked again (each question would cost the wait).
int unanswered_queries = 0;
constexpr int CURSOR_QUERY_MS = 200;

}  // namespace

std::u32string StringHistory::entry(size_t index) const {
    return index < entries.size() ? from_utf8(entries[index]) : std::u32string();
}

void StringHistory::add_newest(const std::u32string& line) {
    entries.insert(entries.begin(), unicode::encode_utf8_text(line, false));
}

void add_to_history(History& history, const std::u32string& line, bool hidden) {
    if (hidden || line.empty()) return;
    if (history.size() > 0 && history.entry(0) == line) return;
    history.add_newest(line);
}

void set_completion_hook(CompletionHook hook) { completion_hook = hook; }

// ---- layout -----------------------------------------------------------------------------

int display_width(char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 1;  // shown as U+FFFD
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return 1;           // shown as a picture
    return unicode::char_width(c);
}

namespace {

// What a character shows as: control characters as their picture (C0 and
// DEL) or U+FFFD (C1), which keeps them from moving the terminal's cursor.
char32_t shown_as(char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0xFFFD;
    if (c < 0x20) return 0x2400 + c;
    if (c == 0x7F) return 0x2421;
    if (c >= 0x80 && c < 0xA0) return 0xFFFD;
    return c;
}

// Lays text out from offset at; cells that start before visible_from are not
// written (escape sequences always are). When mark is an index of the text (or
// its size), *mark_at receives the offset at which that character starts.
int lay(std::u32string_view text, int at, int cols, bool mask, std::string* out, int visible_from, size_t mark,
        int* mark_at) {
    bool wrote_cell = false;
    auto put = [&](char32_t c, int width) {
        if (width == 2 && cols >= 2 && at % cols == cols - 1) at++;  // the terminal wraps it too
        bool visible = width > 0 ? at >= visible_from : (wrote_cell || at > visible_from);
        if (out && visible) {
            append_utf8(*out, c);
            if (width > 0) wrote_cell = true;
        }
        at += width;
    };
    size_t i = 0;
    while (i < text.size()) {
        if (i == mark && mark_at) *mark_at = at;
        char32_t c = text[i];
        if (mask) {
            put('*', 1);
            i++;
            continue;
        }
        if (c == '\t') {
            for (int k = 0; k < 4; k++) put(' ', 1);
            i++;
            continue;
        }
        if (c == 0x1B) {
            // A colour or charset sequence: written whole, no cell taken.
            size_t j = i + 1;
            if (j < text.size() && (text[j] == '[' || text[j] == '(')) {
                j++;
                while (j < text.size() && ((text[j] >= '0' && text[j] <= '9') || text[j] == ';')) j++;
                if (j < text.size()) j++;
            }
            if (mark_at && mark > i && mark < j) *mark_at = at;
            if (out)
                for (size_t k = i; k < j; k++) append_utf8(*out, text[k]);
            i = j;
            continue;
        }
        put(shown_as(c), display_width(c));
        i++;
    }
    if (mark == text.size() && mark_at) *mark_at = at;
    return at;
}

}  // namespace

int layout_text(std::u32string_view text, int at, int columns, bool mask, std::string* out) {
    return lay(text, at, columns < 1 ? 1 : columns, mask, out, INT_MIN, std::u32string_view::npos, nullptr);
}

// ---- the editor ---------------------------------------------------------------------------

namespace {

// Leaves raw mode and ends the line on screen however the edit ends, also when
// the completion function raises an error.
struct RawModeScope {
    ~RawModeScope() {
        set_paste_brackets(false);
        leave_raw_mode();
        write_output("\n", 1);
    }
};

void flush_runtime_output() {
    console::flush();
    std::fflush(stdout);
}

}  // namespace

namespace {

// A terminal that carries out no escape sequences (TERM=dumb: an editor's
// shell buffer, say): the editor's redraws would show as garbage there.
bool dumb_terminal() {
    const char* term = std::getenv("TERM");
    return term && std::strcmp(term, "dumb") == 0;
}

}  // namespace

EditResult LineEditor::read_line(std::u32string_view prompt, bool hidden, History* history) {
    if (interactive() && dumb_terminal()) {
        // The prompt as plain text, the line as the terminal's line mode gives
        // it (hidden input not echoed); entered lines still join the history.
        flush_runtime_output();
        // echo off before the prompt shows: keys typed at once are hidden too
        bool echo_off = hidden && set_echo(false);
        write_output(unicode::encode_utf8_text(prompt, false));
        EditResult r;
        ReadLine s = stdin_readline(r.line);
        if (echo_off) {
            set_echo(true);
            write_output("\n", 1);
        }
        r.end = s == ReadLine::line ? LineEnd::enter : LineEnd::end_of_input;
        if (r.end == LineEnd::enter && history) add_to_history(*history, r.line, hidden);
        return r;
    }
    if (interactive() && enter_raw_mode()) {
        RawModeScope scope;
        // Pasted text comes marked, so that its tabs are not taken for completion.
        set_paste_brackets(true);
        return edit(prompt, hidden, history);
    }
    // Redirected input: no prompt, no modes, nothing kept in the history.
    EditResult r;
    ReadLine s = stdin_readline(r.line);
    r.end = s == ReadLine::line ? LineEnd::enter : LineEnd::end_of_input;
    return r;
}

void LineEditor::start_screen() {
    flush_runtime_output();
    refresh_size();
    columns_ = std::max(1, columns());
    rows_ = std::max(1, rows());
    int col = 0, row = 0;
    origin_col_ = 0;
    origin_row_ = 0;
    if (unanswered_queries < 2) {
        if (query_cursor(col, row, CURSOR_QUERY_MS)) {
            unanswered_queries = 0;
            origin_col_ = std::min(col, columns_ - 1);
            origin_row_ = std::min(row, rows_ - 1);
        } else {
            unanswered_queries++;
        }
    }
    cur_row_ = 0;
    cur_col_ = origin_col_;
    cur_pending_wrap_ = false;
    first_ = true;
}

LineEditor::Layout LineEditor::measure() const {
    Layout l{0, 0};
    int p = lay(prompt_, origin_col_, columns_, false, nullptr, INT_MIN, std::u32string_view::npos, nullptr);
    l.end = lay(line_, p, columns_, hide_, nullptr, INT_MIN, caret_, &l.caret);
    return l;
}

int LineEditor::first_visible_row() const { return origin_row_ < 0 ? -origin_row_ : 0; }

void LineEditor::move_to(int row, int col) {
    if (row < cur_row_) {
        out_ += "\x1b[" + std::to_string(cur_row_ - row) + "A";
        cur_row_ = row;
        cur_pending_wrap_ = false;
    } else if (row > cur_row_) {
        // Line feeds rather than cursor-down: they scroll when the row is new.
        out_ += '\r';
        while (cur_row_ < row) {
            out_ += '\n';
            if (origin_row_ + cur_row_ >= rows_ - 1) origin_row_--;
            cur_row_++;
        }
        cur_col_ = 0;
        cur_pending_wrap_ = false;
    }
    if (col != cur_col_ || cur_pending_wrap_) {
        if (col == 0) out_ += '\r';
        else out_ += "\x1b[" + std::to_string(col + 1) + "G";
        cur_col_ = col;
        cur_pending_wrap_ = false;
    }
}

void LineEditor::written_to(int start, int end) {
    if (end <= start) return;
    if (end % columns_ == 0) {
        // The row is full: the cursor waits in its last cell until more is written.
        cur_row_ = end / columns_ - 1;
        cur_col_ = columns_ - 1;
        cur_pending_wrap_ = true;
    } else {
        cur_row_ = end / columns_;
        cur_col_ = end % columns_;
        cur_pending_wrap_ = false;
    }
    if (origin_row_ + cur_row_ > rows_ - 1) origin_row_ = rows_ - 1 - cur_row_;
}

void LineEditor::place_cursor(const Layout& l) {
    int row = l.caret / columns_;
    int col = l.caret % columns_;
    // A wide character at the caret that met the last cell went to the next row.
    if (col == columns_ - 1 && columns_ >= 2 && caret_ < line_.size() && !hide_ && line_[caret_] != '\t' &&
        display_width(line_[caret_]) == 2) {
        row++;
        col = 0;
    }
    int v = first_visible_row();
    if (row < v) {
        row = v;
        col = 0;
    }
    move_to(row, col);
}

LineEditor::Layout LineEditor::refresh(bool rewrite) {
    if (!rewrite) {
        Layout l = measure();
        place_cursor(l);
        return l;
    }
    int v = first_visible_row();
    int start = v == 0 ? origin_col_ : v * columns_;
    if (!first_) {
        move_to(v, start % columns_);
        out_ += "\x1b[J";
    }
    first_ = false;
    resized_ = false;
    Layout l{0, 0};
    int visible_from = v * columns_;
    int p = lay(prompt_, origin_col_, columns_, false, &out_, visible_from, std::u32string_view::npos, nullptr);
    l.end = lay(line_, p, columns_, hide_, &out_, visible_from, caret_, &l.caret);
    written_to(start, l.end);
    place_cursor(l);
    return l;
}

void LineEditor::flush() {
    if (out_.empty()) return;
    write_output(out_);
    out_.clear();
}

void LineEditor::end_on_screen() {
    Layout l = measure();
    int last = (l.end % columns_ == 0 && l.end > origin_col_) ? l.end / columns_ - 1 : l.end / columns_;
    move_to(std::max(last, first_visible_row()), 0);
    flush();
}

void LineEditor::insert(char32_t c) {
    if (caret_ == line_.size() && !resized_) {
        // At the end only the new character is written.
        int from = measure().end;
        line_.push_back(c);
        caret_++;
        std::u32string one(1, c);
        int to = lay(one, from, columns_, hide_, &out_, INT_MIN, std::u32string_view::npos, nullptr);
        written_to(from, to);
        place_cursor(measure());
        return;
    }
    line_.insert(caret_, 1, c);
    caret_++;
    refresh(true);
}

size_t LineEditor::complete() {
    if (!completion_hook) return 0;
    std::vector<Completion> found;
    completion_hook(line_, caret_, found);
    if (found.empty()) return 0;
    if (found.size() == 1) {
        line_ = found[0].text;
        caret_ = std::min(found[0].caret, line_.size());
    } else {
        pending_ = found[0].text;
        pending_caret_ = std::min(found[0].caret, pending_.size());
        line_.clear();
        for (size_t i = 1; i < found.size(); i++) {
            line_ += found[i].text;
            line_ += U' ';
        }
        caret_ = line_.size();
    }
    refresh(true);
    return found.size();
}

EditResult LineEditor::edit(std::u32string_view prompt, bool hidden, History* history) {
    prompt_.assign(prompt);
    hide_ = hidden;
    line_.clear();
    caret_ = 0;
    out_.clear();
    size_t hist_len = history ? history->size() : 0;
    long hist_pos = -1;

    // A paste goes on over the lines it holds; with nothing left to read, it is over.
    if (!key_waiting()) in_paste_ = false;
    start_screen();
    if (!pending_.empty()) {
        line_ = pending_;
        caret_ = std::min(pending_caret_, line_.size());
    }
    refresh(true);
    flush();

    auto finish = [&](LineEnd how) {
        end_on_screen();
        return EditResult{line_, how};
    };

    int32_t held = KEY_NONE;  // a key read ahead while joining surrogate halves
    for (;;) {
        int32_t k = held != KEY_NONE ? held : read_key();
        held = KEY_NONE;
        if (columns() != columns_ || rows() != rows_) {
            // The window changed size: nothing is redrawn now, but the next
            // redraw rewrites the text for the new width.
            columns_ = std::max(1, columns());
            rows_ = std::max(1, rows());
            origin_col_ = std::min(origin_col_, columns_ - 1);
            cur_col_ = std::min(cur_col_, columns_ - 1);
            resized_ = true;
        }
        bool cursor_only = !resized_;
        // Pasted text is text: its control characters are not editing keys.
        if (in_paste_ && k >= 0 && k < 32 && k != 9 && k != 13) k = KEY_NONE;
        switch (k) {
            case KEY_PASTE_START:
                in_paste_ = true;
                break;
            case KEY_PASTE_END:
                in_paste_ = false;
                break;
            case KEY_FAILED:
                return finish(LineEnd::end_of_input);
            case KEY_RESUMED:
                start_screen();
                refresh(true);
                break;
            case 13: {
                EditResult r = finish(LineEnd::enter);
                if (history) add_to_history(*history, line_, hide_);
                pending_.clear();
                return r;
            }
            case 3:
                line_ = U"q";
                return finish(LineEnd::interrupt);
            case 4:
                if (line_.empty()) {
                    line_ = U"q";
                    return finish(LineEnd::end_of_input);
                }
                if (caret_ < line_.size()) {
                    line_.erase(caret_, 1);
                    refresh(true);
                }
                break;
            case 27: {
                end_on_screen();
                pending_.clear();
                line_.push_back(0x1B);
                return EditResult{line_, LineEnd::escape};
            }
            case 8:
            case 127:
                if (caret_ > 0) {
                    caret_--;
                    line_.erase(caret_, 1);
                    bool at_end = caret_ == line_.size() && cursor_only;
                    refresh(!at_end);
                    if (at_end) out_ += "\x1b[J";
                }
                break;
            case KEY_LEFT:
            case 2:
                if (caret_ > 0) {
                    caret_--;
                    refresh(!cursor_only);
                }
                break;
            case KEY_RIGHT:
            case 6:
                if (caret_ < line_.size()) {
                    caret_++;
                    refresh(!cursor_only);
                }
                break;
            case KEY_HOME:
            case 1:
                caret_ = 0;
                refresh(!cursor_only);
                break;
            case KEY_END:
            case 5:
                caret_ = line_.size();
                refresh(!cursor_only);
                break;
            case KEY_UP:
            case 16:
                if (hist_len == 0 || hist_pos >= long(hist_len) - 1) {
                    line_.clear();
                } else {
                    hist_pos++;
                    line_ = history->entry(size_t(hist_pos));
                }
                caret_ = line_.size();
                refresh(true);
                break;
            case KEY_DOWN:
            case 14:
                if (hist_pos <= 0) {
                    hist_pos = -1;
                    line_.clear();
                } else {
                    hist_pos--;
                    line_ = history->entry(size_t(hist_pos));
                }
                caret_ = line_.size();
                refresh(true);
                break;
            case KEY_DELETE:
                if (caret_ < line_.size()) {
                    line_.erase(caret_, 1);
                    refresh(true);
                }
                break;
            case 11:
                if (caret_ < line_.size()) {
                    line_.erase(caret_);
                    refresh(true);
                }
                break;
            case 9: {
                if (in_paste_) {
                    insert(U'\t');
                    break;
                }
                size_t n = complete();
                if (n == 0) {
                    insert(U'\t');
                } else if (n > 1) {
                    flush();
                    end_on_screen();
                    line_.clear();
                    return EditResult{line_, LineEnd::completion};
                }
                break;
            }
            default:
                if (k >= 0xD800 && k <= 0xDBFF) {
                    // The first half of a surrogate pair: the second must follow.
                    int32_t k2 = read_key();
                    if (k2 >= 0xDC00 && k2 <= 0xDFFF) {
                        k = (((k & 0x3FF) << 10) | (k2 & 0x3FF)) + 0x10000;
                    } else {
                        k = 0xFFFD;
                        held = k2;
                    }
                } else if (k >= 0xDC00 && k <= 0xDFFF) {
                    k = 0xFFFD;  // a second half alone
                }
                if (k > 31) insert(char32_t(k));
                break;
        }
        flush();
    }
}

}  // namespace kro::terminal
