// The line editor: layout of prompt and line in cells, the history rules, and
// editing on a pseudo-terminal as a person does it (keys typed, screen read).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include <filesystem>
#include <fstream>

#include "console/completion.hpp"
#include "console/config.hpp"
#include "console/line_editor.hpp"
#include "console/terminal.hpp"
#include "interp_fixtures.hpp"
#include "pty_terminal.hpp"

using namespace kro;
using terminal::EditResult;
using terminal::LineEditor;
using terminal::LineEnd;
using terminal::StringHistory;
using test::PtySession;
using test::utf8_of;

namespace {

const char* const LEFT = "\x1b[D";
const char* const RIGHT = "\x1b[C";
const char* const UP = "\x1b[A";
const char* const DOWN = "\x1b[B";
const char* const HOME = "\x1b[H";
const char* const END = "\x1b[F";
const char* const DEL = "\x1b[3~";
const char* const ENTER = "\r";

// ---- layout ----------------------------------------------------------------------------

struct LayoutCase {
    const char* what;
    std::u32string text;
    int at;
    int cols;
    bool mask;
    int end;
    std::string bytes;
};

TEST(LineLayout, CellsAndBytesOfText) {
    const LayoutCase cases[] = {
        {"ascii", U"abc", 0, 10, false, 3, "abc"},
        {"from an offset", U"abcd", 8, 10, false, 12, "abcd"},
        {"wide characters", U"\u4E2D\u6587", 6, 10, false, 10, "\u4E2D\u6587"},
        {"a wide character meeting one cell left starts the next row", U"\u4E2D", 9, 10, false, 12, "\u4E2D"},
        {"two wide characters across a row end", U"\u4E2D\u6587", 7, 10, false, 12, "\u4E2D\u6587"},
        {"an emoji takes two cells", U"\U0001F600x", 0, 10, false, 3, "\U0001F600x"},
        {"an emoji of text presentation takes the one cell terminals give it", U"\U0001F321", 0, 10, false, 1,
         "\U0001F321"},
        {"a combining mark takes no cell", U"e\u0301", 0, 10, false, 1, "e\u0301"},
        {"a zero-width space takes no cell", U"a\u200Bb", 0, 10, false, 2, "a\u200Bb"},
        {"a tab is four blanks", U"a\tb", 0, 10, false, 6, "a    b"},
        {"a colour sequence takes no cell", U"\x1b[1;32m>> \x1b[0m", 0, 80, false, 3, "\x1b[1;32m>> \x1b[0m"},
        {"a charset sequence takes no cell", U"\x1b(Bx", 0, 80, false, 1, "\x1b(Bx"},
        {"a control character shows as its picture", U"a\x01\x7f", 0, 10, false, 3, "a\u2401\u2421"},
        {"a C1 control shows as the replacement character", U"\u0085", 0, 10, false, 1, "\uFFFD"},
        {"a lone surrogate shows as the replacement character", std::u32string(1, char32_t(0xDC00)), 0, 10, false, 1,
         "\uFFFD"},
        {"masked: one star per character whatever it is", U"\u4E2De\u0301\t\x1b", 0, 10, true, 5, "*****"},
        {"one column: wide characters cannot wrap", U"ab", 0, 1, false, 2, "ab"},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out;
        EXPECT_EQ(terminal::layout_text(c.text, c.at, c.cols, c.mask, &out), c.end);
        EXPECT_EQ(out, c.bytes);
        EXPECT_EQ(terminal::layout_text(c.text, c.at, c.cols, c.mask, nullptr), c.end);
    }
}

// ---- history rules ---------------------------------------------------------------------

TEST(LineHistory, EnteredLinesJoinByTheRules) {
    struct Step {
        std::u32string line;
        bool hidden;
        std::vector<std::string> after;  // newest first
    };
    const Step steps[] = {
        {U"print 1", false, {"print 1"}},
        {U"print 1", false, {"print 1"}},               // same as the newest: once
        {U"PRINT 1", false, {"PRINT 1", "print 1"}},    // differs in case: kept
        {U"", false, {"PRINT 1", "print 1"}},           // empty: never
        {U"secret", true, {"PRINT 1", "print 1"}},      // hidden: never
        {U"print 1", false, {"print 1", "PRINT 1", "print 1"}},  // older duplicates do not count
        {U"caf\u00E9 \u4E2D \U0001F600", false, {"caf\u00E9 \u4E2D \U0001F600", "print 1", "PRINT 1", "print 1"}},
    };
    StringHistory h;
    for (const Step& s : steps) {
        SCOPED_TRACE(utf8_of(s.line));
        terminal::add_to_history(h, s.line, s.hidden);
        EXPECT_EQ(h.entries, s.after);
    }
    EXPECT_EQ(h.entry(0), U"caf\u00E9 \u4E2D \U0001F600");
    EXPECT_EQ(h.entry(9), U"");
    h.entries.insert(h.entries.begin(), std::string("bad \xFF byte"));
    EXPECT_EQ(h.entry(0), U"bad \uFFFD byte");
}

// ---- editing on a pseudo-terminal ------------------------------------------------------------

class EditorOnPty : public ::testing::Test {
protected:
    void open(int cols, int rows) {
        pty = std::make_unique<PtySession>(cols, rows);
        ASSERT_TRUE(pty->ok());
        pty->attach();
    }

    // Starts an edit as ask does and waits for the prompt.
    void start(std::u32string prompt = U">> ", bool hidden = false, terminal::History* history = nullptr) {
        done = false;
        tid = 0;
        worker = std::thread([this, prompt, hidden, history] {
            tid = ::gettid();
            result = editor.read_line(prompt, hidden, history);
            done = true;
        });
        while (tid == 0) std::this_thread::yield();
        pty->set_program_thread(tid);
        pty->settle();
    }

    // Waits for the edit to end; a stuck edit is ended with Ctrl-C and fails.
    EditResult finish() {
        auto deadline = std::chrono::steady_clock::now() + PtySession::PATIENCE;
        while (!done && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!done) {
            ADD_FAILURE() << "the edit did not end";
            pty->type("\x03");
        }
        worker.join();
        pty->settle();
        return result;
    }

    // Keys typed one after another, then the line entered.
    EditResult enter_after(const std::vector<std::string>& keys) {
        for (const std::string& k : keys) pty->type(k);
        pty->type(ENTER);
        return finish();
    }

    void TearDown() override {
        if (worker.joinable()) {
            pty->type("\x03");
            worker.join();
        }
        if (pty) {
            EXPECT_TRUE(test::same_modes(pty->modes(), pty->initial_modes())) << "terminal modes not restored";
        }
        pty.reset();
        terminal::set_completion_hook(nullptr);
    }

    std::unique_ptr<PtySession> pty;
    LineEditor editor;
    std::thread worker;
    std::atomic<bool> done{false};
    std::atomic<pid_t> tid{0};
    EditResult result;
};

struct KeysCase {
    const char* what;
    std::vector<std::string> keys;
    std::u32string line;
    int cursor_col;
};

TEST_F(EditorOnPty, KeysEditTheLineAndTheScreenFollows) {
    const KeysCase cases[] = {
        {"insert in the middle", {"acd", LEFT, LEFT, "b"}, U"abcd", 5},
        {"Home and End", {"bc", HOME, "a", END, "d"}, U"abcd", 7},
        {"Ctrl-A and Ctrl-E", {"bc", "\x01", "a", "\x05", "d"}, U"abcd", 7},
        {"Ctrl-B and Ctrl-F", {"ac", "\x02", "\x02", "\x06", "b"}, U"abc", 5},
        {"Backspace in the middle", {"abxc", LEFT, "\x7f"}, U"abc", 5},
        {"Ctrl-H at the end", {"abx", "\x08"}, U"ab", 5},
        {"Delete", {"abxc", LEFT, LEFT, DEL}, U"abc", 5},
        {"Ctrl-D under the caret", {"abxc", LEFT, LEFT, "\x04"}, U"abc", 5},
        {"Ctrl-D at the end of a line does nothing", {"abc", "\x04"}, U"abc", 6},
        {"Ctrl-K", {"abcdef", LEFT, LEFT, LEFT, "\x0b"}, U"abc", 6},
        {"moves stop at the ends", {"ab", LEFT, LEFT, LEFT, "x", END, RIGHT, "y"}, U"xaby", 7},
        {"keys without an effect", {"ab", "\x1b[2~", "\x1b[5~", "\x1b[6~", "\x1bOP", "\x1b[15~", "\x1a", "\x1b[<0;3;4M", "c"},
         U"abc", 6},
        {"other sequences of the same keys", {"bc", "\x1b[1~", "a", "\x1b[4~", "d", "\x1bOD", "\x1b[1;5D", "x"},
         U"abxcd", 6},
        {"Alt with a letter types the letter", {"a", "\x1b" "b"}, U"ab", 5},
    };
    open(40, 10);
    for (const KeysCase& c : cases) {
        SCOPED_TRACE(c.what);
        start();
        for (const std::string& k : c.keys) pty->type(k);
        EXPECT_EQ(pty->row(0), ">> " + utf8_of(c.line));
        EXPECT_EQ(pty->cursor(), std::make_pair(0, c.cursor_col));
        pty->type(ENTER);
        EditResult r = finish();
        EXPECT_EQ(r.line, c.line);
        EXPECT_EQ(r.end, LineEnd::enter);
        // The line is ended on screen: the cursor stands on the next row.
        EXPECT_EQ(pty->cursor(), std::make_pair(1, 0));
        EXPECT_EQ(pty->row(1), "");
        pty->program_writes("\x1b[H\x1b[2J");
    }
}

TEST_F(EditorOnPty, TypingAtTheEndWritesOnlyTheCharacter) {
    open(40, 10);
    start();
    EXPECT_EQ(pty->row(0), ">>");  // rows are read without trailing blanks
    pty->take_output();
    pty->type("x");
    EXPECT_EQ(pty->take_output(), "x");
    pty->type("\u4E2D");
    EXPECT_EQ(pty->take_output(), "\u4E2D");
    // Backspace at the end moves back and erases; nothing is rewritten.
    pty->type("\x7f");
    std::string out = pty->take_output();
    EXPECT_EQ(out.find(">>"), std::string::npos) << out;
    EXPECT_EQ(pty->row(0), ">> x");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 4));
    // A caret move rewrites nothing either.
    pty->type(LEFT);
    out = pty->take_output();
    EXPECT_EQ(out.find('x'), std::string::npos) << out;
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 3));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"x");
}

TEST_F(EditorOnPty, PromptStartsWhereTheCursorStands) {
    open(40, 10);
    pty->program_writes("abc");
    start(U"? ");
    EXPECT_EQ(pty->row(0), "abc?");
    pty->type("xy");
    EXPECT_EQ(pty->row(0), "abc? xy");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 7));
    pty->type(HOME);
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 5));
    pty->type("w");
    EXPECT_EQ(pty->row(0), "abc? wxy");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 6));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"wxy");
}

TEST_F(EditorOnPty, ATerminalThatDoesNotAnswerTheCursorQueryStillEdits) {
    open(40, 10);
    pty->answer_cursor_queries(false);
    start();
    EXPECT_TRUE(pty->wait_for([](const test::ScreenModel& s) { return s.row_text(0) == ">>"; }));
    EditResult r = enter_after({"ac", LEFT, "b"});
    EXPECT_EQ(r.line, U"abc");
    EXPECT_EQ(pty->row(0), ">> abc");
}

TEST_F(EditorOnPty, HistoryIsWalkedWithUpAndDown) {
    struct Step {
        const char* key;
        const char* shown;
    };
    const Step walk[] = {
        {UP, "third"},  {UP, "second"}, {DOWN, "third"}, {DOWN, ""},       {UP, "third"},
        {UP, "second"}, {UP, "first"},  {UP, ""},        {DOWN, "second"}, {"\x10", "first"},
        {"\x0e", "second"},
    };
    open(40, 10);
    StringHistory h;
    h.entries = {"third", "second", "first"};
    start(U">> ", false, &h);
    pty->type("typed");
    for (const Step& s : walk) {
        SCOPED_TRACE(std::string(s.key == UP ? "Up" : s.key == DOWN ? "Down" : "Ctrl") + " -> " + s.shown);
        pty->type(s.key);
        EXPECT_EQ(pty->row(0), *s.shown ? std::string(">> ") + s.shown : std::string(">>"));
        EXPECT_EQ(pty->cursor(), std::make_pair(0, 3 + int(std::string(s.shown).size())));
    }
    EditResult r = enter_after({"!"});
    EXPECT_EQ(r.line, U"second!");
    // Walking does not change the history; entering adds the line as the newest.
    EXPECT_EQ(h.entries, (std::vector<std::string>{"second!", "third", "second", "first"}));

    // With an empty history Up and Down empty the line.
    StringHistory none;
    start(U">> ", false, &none);
    pty->type("abc");
    pty->type(UP);
    EXPECT_EQ(pty->row(1), ">>");
    pty->type("x");
    pty->type(DOWN);
    EXPECT_EQ(pty->row(1), ">>");
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"");
    EXPECT_TRUE(none.entries.empty());
}

TEST_F(EditorOnPty, WideAndCombiningCharactersKeepTheCursorAligned) {
    open(40, 10);
    // Wide characters in mid-line.
    start();
    pty->type(U"\u4E2D\u6587");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 7));
    pty->type(LEFT);
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 5));
    pty->type("x");
    EXPECT_EQ(pty->row(0), ">> \u4E2Dx\u6587");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 6));
    pty->type(U"\U0001F600");
    EXPECT_EQ(pty->row(0), ">> \u4E2Dx\U0001F600\u6587");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 8));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"\u4E2Dx\U0001F600\u6587");

    // A combining mark: no cell of its own, the caret steps over it.
    start();
    pty->type(U"ae\u0301b");
    EXPECT_EQ(pty->row(1), ">> ae\u0301b");
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 6));
    pty->type(HOME);
    pty->type(RIGHT);
    pty->type(RIGHT);
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 5));  // before the mark: after the e
    pty->type(RIGHT);
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 5));  // after the mark: the same cell
    pty->type("X");
    EXPECT_EQ(pty->row(1), ">> ae\u0301Xb");
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 6));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"ae\u0301Xb");
}

TEST_F(EditorOnPty, LongLinesWrapAndRedraw) {
    open(20, 10);
    start();
    std::string text = "abcdefghijklmnopqrstuvwxyz0123";  // 30 characters: 17 on the first row
    pty->type(text);
    EXPECT_EQ(pty->row(0), ">> " + text.substr(0, 17));
    EXPECT_EQ(pty->row(1), text.substr(17));
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 13));
    pty->type(HOME);
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 3));
    pty->type("X");  // everything after moves by one cell, across the row end
    EXPECT_EQ(pty->row(0), ">> X" + text.substr(0, 16));
    EXPECT_EQ(pty->row(1), text.substr(16));
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 4));
    pty->type(DEL);
    pty->type(DEL);
    EXPECT_EQ(pty->row(0), ">> X" + text.substr(2, 16));
    EXPECT_EQ(pty->row(1), text.substr(18));
    pty->type(END);
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 12));
    // The caret across the row end with Left and Right.
    for (int i = 0; i < 12; i++) pty->type(LEFT);
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 0));
    pty->type(LEFT);
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 19));
    pty->type(RIGHT);
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 0));
    pty->type("\x0b");
    EXPECT_EQ(pty->row(1), "");
    pty->type(ENTER);
    EditResult r = finish();
    EXPECT_EQ(r.line, U"Xcdefghijklmnopqr");
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 0));
}

TEST_F(EditorOnPty, TextEndingAtARowEndPutsTheCursorOnTheNextRow) {
    open(20, 10);
    start();
    pty->type("abcdefghijklmnopq");  // 3 + 17 = 20 cells: the first row is full
    EXPECT_EQ(pty->row(0), ">> abcdefghijklmnopq");
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 0));
    pty->type("r");
    EXPECT_EQ(pty->row(1), "r");
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 1));
    pty->type("\x7f");
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 0));
    pty->type("\x7f");
    EXPECT_EQ(pty->row(0), ">> abcdefghijklmnop");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 19));
    pty->type("q");
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"abcdefghijklmnopq");
    // No empty row between the line and what follows.
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 0));
}

TEST_F(EditorOnPty, AWideCharacterMeetingTheLastCellMovesToTheNextRow) {
    open(10, 10);
    start();
    pty->type("abcdef");  // the caret in the last column
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 9));
    pty->type(U"\u4E2D");
    EXPECT_EQ(pty->row(0), ">> abcdef");  // the last cell stays blank
    EXPECT_EQ(pty->row(1), "\u4E2D");
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 2));
    pty->type(LEFT);  // the caret before the wide character shows on its row
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 0));
    pty->type(LEFT);
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 8));
    pty->type(DEL);  // f goes: the wide character fits on the first row again
    EXPECT_EQ(pty->row(0), ">> abcde\u4E2D");
    EXPECT_EQ(pty->row(1), "");
    pty->type(HOME);
    pty->type("X");  // and is pushed to the next row by an insertion
    EXPECT_EQ(pty->row(0), ">> Xabcde");
    EXPECT_EQ(pty->row(1), "\u4E2D");
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"Xabcde\u4E2D");

    // A narrow character above U+00FF in the last column keeps the caret there.
    start();
    pty->type(U"abcdef\u0416x");
    pty->type(LEFT);
    pty->type(LEFT);
    EXPECT_EQ(pty->cursor(), std::make_pair(2, 9));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"abcdef\u0416x");
}

TEST_F(EditorOnPty, TextTallerThanTheScreenRedrawsItsVisibleRows) {
    // Rows of ten cells on a screen of four; the text ends at a row's end, so
    // the cursor stands on a row of its own below it.
    open(10, 4);
    for (size_t length : {37u, 47u}) {
        SCOPED_TRACE(length);
        pty->program_writes("\x1b[H\x1b[2J");
        start();
        std::string text(length, ' ');
        for (size_t i = 0; i < text.size(); i++) text[i] = char('a' + i % 26);
        pty->type(text);
        size_t hidden_rows = (3 + length) / 10 - 3;  // scrolled off the top
        std::string shown = ">> " + text;
        for (size_t r = 0; r < 4; r++) {
            size_t at = std::min(shown.size(), (hidden_rows + r) * 10);
            EXPECT_EQ(pty->row(int(r)), shown.substr(at, 10)) << r;
        }
        EXPECT_EQ(pty->cursor(), std::make_pair(3, 0));
        pty->type(HOME);  // the caret's row is gone: the cursor waits on the top row
        EXPECT_EQ(pty->cursor(), std::make_pair(0, 0));
        pty->type("X");
        shown = ">> X" + text;
        for (size_t r = 0; r < 4; r++) EXPECT_EQ(pty->row(int(r)), shown.substr((hidden_rows + r) * 10, 10)) << r;
        pty->type(END);
        EXPECT_EQ(pty->cursor(), std::make_pair(3, 1));
        pty->type(LEFT);
        pty->type(LEFT);
        EXPECT_EQ(pty->cursor(), std::make_pair(2, 9));
        pty->type(ENTER);
        std::u32string typed(text.begin(), text.end());
        typed.insert(typed.begin(), U'X');
        EXPECT_EQ(finish().line, typed);
    }
}

TEST_F(EditorOnPty, ResizeUpdatesTheWidthAndTheNextKeyRedraws) {
    static int hook_cols = 0, hook_rows = 0;
    terminal::set_resize_hook([](int c, int r) {
        hook_cols = c;
        hook_rows = r;
    });
    open(40, 10);
    start();
    EXPECT_EQ(hook_cols, 40);  // each edit starts with the size read afresh
    EXPECT_EQ(hook_rows, 10);
    std::string text = "abcdefghijklmnopqrstuvwxyz0123";
    pty->type(text);
    pty->take_output();
    pty->resize(20, 8);
    EXPECT_EQ(pty->take_output(), "");  // nothing redrawn for the resize itself
    EXPECT_EQ(hook_cols, 20);
    EXPECT_EQ(hook_rows, 8);
    EXPECT_EQ(terminal::columns(), 20);
    pty->type("!");
    EXPECT_EQ(pty->row(0), ">> " + text.substr(0, 17));
    EXPECT_EQ(pty->row(1), text.substr(17) + "!");
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 14));
    pty->type(LEFT);
    EXPECT_EQ(pty->cursor(), std::make_pair(1, 13));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, std::u32string(text.begin(), text.end()) + U"!");
    terminal::set_resize_hook(nullptr);
}

TEST_F(EditorOnPty, WaysOfEndingAnEdit) {
    struct EndCase {
        const char* what;
        std::vector<std::string> keys;
        std::u32string line;
        LineEnd end;
    };
    const EndCase cases[] = {
        {"Ctrl-C with text", {"abc", LEFT, "\x03"}, U"q", LineEnd::interrupt},
        {"Ctrl-C on an empty line", {"\x03"}, U"q", LineEnd::interrupt},
        {"Ctrl-D on an empty line", {"\x04"}, U"q", LineEnd::end_of_input},
        {"Ctrl-D after the line was emptied", {"ab", "\x7f", "\x7f", "\x04"}, U"q", LineEnd::end_of_input},
        {"Esc in mid-line appends the escape at the end", {"abc", LEFT, LEFT, "\x1b"}, U"abc\x1b", LineEnd::escape},
        {"Enter", {"abc", LEFT, "\r"}, U"abc", LineEnd::enter},
        {"line feed as Enter", {"abc", "\n"}, U"abc", LineEnd::enter},
    };
    open(40, 12);
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.what);
        StringHistory h;
        start(U">> ", false, &h);
        for (const std::string& k : c.keys) pty->type(k);
        EditResult r = finish();
        EXPECT_EQ(r.line, c.line);
        EXPECT_EQ(r.end, c.end);
        EXPECT_EQ(h.entries.size(), c.end == LineEnd::enter ? 1u : 0u);
        EXPECT_TRUE(test::same_modes(pty->modes(), pty->initial_modes()));
        EXPECT_EQ(pty->cursor().second, 0);
        pty->program_writes("\x1b[H\x1b[2J");
    }
}

TEST_F(EditorOnPty, HiddenInputShowsStarsAndStaysOutOfTheHistory) {
    open(40, 10);
    StringHistory h;
    start(U"Password: ", true, &h);
    pty->type(U"s\u00E9\u4E2D\tx");
    EXPECT_EQ(pty->row(0), "Password: *****");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 15));
    pty->type(LEFT);
    pty->type("y");
    EXPECT_EQ(pty->row(0), "Password: ******");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 15));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"s\u00E9\u4E2D\tyx");
    EXPECT_TRUE(h.entries.empty());
}

TEST_F(EditorOnPty, ColourPromptAndTabsTakeTheirCells) {
    open(40, 10);
    start(U"\x1b[32m>> \x1b[0m");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 3));
    pty->type("a\tb");  // no completion: the Tab is typed, shown as four blanks
    EXPECT_EQ(pty->row(0), ">> a    b");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 9));
    pty->type(LEFT);
    pty->type(LEFT);
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 4));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"a\tb");
}

// A completion function over a few fixed words, completing the word before the caret.
void complete_words(const std::u32string& line, size_t caret, std::vector<terminal::Completion>& out) {
    static const std::u32string words[] = {U"append", U"apply", U"print"};
    size_t start = line.rfind(U' ', caret == 0 ? 0 : caret - 1);
    start = start == std::u32string::npos || start >= caret ? 0 : start + 1;
    std::u32string token = line.substr(start, caret - start);
    if (token.empty()) return;
    std::vector<std::u32string> found;
    for (const auto& w : words)
        if (w.compare(0, token.size(), token) == 0 && w != token) found.push_back(w);
    if (found.empty()) return;
    std::u32string common = found[0];
    for (const auto& w : found) {
        size_t i = 0;
        while (i < common.size() && i < w.size() && common[i] == w[i]) i++;
        common.resize(i);
    }
    std::u32string head = line.substr(0, start) + common;
    terminal::Completion first{head + line.substr(caret), head.size()};
    out.push_back(first);
    if (found.size() > 1)
        for (const auto& w : found) out.push_back({w, w.size()});
}

TEST_F(EditorOnPty, TabCompletesThroughTheInstalledFunction) {
    terminal::set_completion_hook(&complete_words);
    open(40, 12);
    // One candidate: completed in place, the text after the caret kept.
    start();
    pty->type("x pr y");
    pty->type(LEFT);
    pty->type(LEFT);
    pty->type("\t");
    EXPECT_EQ(pty->row(0), ">> x print y");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 10));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"x print y");

    // Several: the candidates are shown, the edit ends with an empty line and
    // the common part starts the next edit.
    start();
    pty->type("a");
    pty->type("\t");
    EditResult r = finish();
    EXPECT_EQ(r.end, LineEnd::completion);
    EXPECT_EQ(r.line, U"");
    EXPECT_EQ(pty->row(1), ">> append apply");
    EXPECT_EQ(editor.pending_text(), U"app");
    start();
    EXPECT_EQ(pty->row(2), ">> app");
    EXPECT_EQ(pty->cursor(), std::make_pair(2, 6));
    pty->type("e");
    pty->type("\t");
    EXPECT_EQ(pty->row(2), ">> append");
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"append");
    EXPECT_EQ(editor.pending_text(), U"");  // Enter clears it

    // Nothing to complete: the Tab is typed.
    start();
    pty->type("zz\t");
    EXPECT_EQ(pty->row(3), ">> zz");
    EXPECT_EQ(pty->cursor(), std::make_pair(3, 9));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"zz\t");
}

TEST_F(EditorOnPty, TabCompletesWordsPathsAndFilesOfTheSystem) {
    ASSERT_EQ(testing_interp::run("zqt-alpha: 1 zqt-beta: 2 zqt-obj: make object! [width: 1 height: 2] 'ok"), "ok");
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kro-tab-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "sub");
    std::ofstream(dir / "first.kro") << "1";
    std::ofstream(dir / "fine.txt") << "2";
    std::ofstream(dir / "sub" / "only.kro") << "3";
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    completion::install();
    open(60, 20);

    struct OneCase {
        const char* what;
        std::vector<std::string> keys;
        const char* shown;
        int cursor_col;
    };
    const OneCase ones[] = {
        {"a word", {"print zqt-a", "\t"}, ">> print zqt-alpha", 18},
        {"a word in mid-line", {"zqt-b + 1", LEFT, LEFT, LEFT, LEFT, "\t"}, ">> zqt-beta + 1", 11},
        {"a refinement", {"append/on", "\t"}, ">> append/only", 14},
        {"an object's word", {"zqt-obj/h", "\t"}, ">> zqt-obj/height", 17},
        {"a file in a folder", {"do %sub/o", "\t"}, ">> do %sub/only.kro", 19},
        {"after a bracket", {"[zqt-a", "\t"}, ">> [zqt-alpha", 13},
    };
    int row = 0;
    for (const OneCase& c : ones) {
        SCOPED_TRACE(c.what);
        start();
        for (const std::string& k : c.keys) pty->type(k);
        EXPECT_EQ(pty->row(row), c.shown);
        EXPECT_EQ(pty->cursor(), std::make_pair(row, c.cursor_col));
        pty->type(ENTER);
        EXPECT_EQ(finish().end, LineEnd::enter);
        row++;
    }

    // Several candidates: they are listed, and the next prompt starts with
    // their common part; a second Tab there lists them again.
    struct ManyCase {
        const char* typed;
        const char* listed;
        const char* next;
    };
    const ManyCase many[] = {
        {"zqt-", ">> zqt-alpha zqt-beta zqt-obj", ">> zqt-"},
        {"zqt-obj/", ">> height width", ">> zqt-obj/"},
        {"load %fi", ">> fine.txt first.kro", ">> load %fi"},
    };
    for (const ManyCase& c : many) {
        SCOPED_TRACE(c.typed);
        pty->program_writes("\x1b[H\x1b[2J");
        start();
        pty->type(c.typed);
        pty->type("\t");
        EditResult r = finish();
        EXPECT_EQ(r.end, LineEnd::completion);
        EXPECT_EQ(r.line, U"");
        EXPECT_EQ(pty->row(0), c.listed);
        start();
        EXPECT_EQ(pty->row(1), c.next);
        EXPECT_EQ(pty->cursor(), std::make_pair(1, int(std::string(c.next).size())));
        pty->type("\x1b");  // Esc drops the text put back
        EXPECT_EQ(finish().end, LineEnd::escape);
    }
    // Ctrl-C does not drop it; Enter does.
    pty->program_writes("\x1b[H\x1b[2J");
    start();
    pty->type("load %fi\t");
    finish();
    start();
    pty->type("\x03");
    EXPECT_EQ(finish().end, LineEnd::interrupt);
    pty->program_writes("\x1b[H\x1b[2J");
    start();
    EXPECT_EQ(pty->row(0), ">> load %fi");
    pty->type("rst.kro");
    pty->type("\t");  // already complete: the Tab is typed
    EXPECT_EQ(pty->row(0), ">> load %first.kro");
    EXPECT_EQ(pty->cursor(), std::make_pair(0, 22));
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"load %first.kro\t");
    EXPECT_EQ(editor.pending_text(), U"");

    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
}

TEST_F(EditorOnPty, HistorySurvivesARestartThroughTheConfigurationFile) {
    std::filesystem::path home = std::filesystem::temp_directory_path() / ("kro-hist-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    const char* old_home = std::getenv("HOME");
    std::string saved_home = old_home ? old_home : "";
    ::setenv("HOME", home.c_str(), 1);
    std::string saved_cache = testing_interp::run("system/options/cache");
    testing_interp::run("zqe-history: system/console/history 'ok");
    testing_interp::run("system/options/cache: to file! \"" + home.string() + "/.kro/\" 'ok");
    // the history block, as the console's launch loads the configuration
    auto load_history = [] {
        testing_interp::run("cli-console-ctx/settings/load-cfg zqe-typed: system/console/history 'ok");
        return testing_interp::global("zqe-typed");
    };

    open(40, 12);
    {
        console_cfg::BlockHistory h(load_history());
        for (const char* line : {"print 1", "x: 2", "probe x"}) {
            start(U">> ", false, &h);
            EXPECT_EQ(enter_after({line}).end, LineEnd::enter);
        }
        start(U"Password: ", true, &h);  // hidden: never kept
        enter_after({"secret"});
    }
    testing_interp::run("cli-console-ctx/settings/save-cfg");  // as quit does

    // A new run: the file is read afresh.
    testing_interp::run("system/console/history: copy [] cli-console-ctx/settings/cfg: none 'ok");
    console_cfg::BlockHistory h(load_history());
    EXPECT_EQ(h.size(), 3u);
    pty->program_writes("\x1b[H\x1b[2J");
    LineEditor fresh;
    done = false;
    tid = 0;
    worker = std::thread([&] {
        tid = ::gettid();
        result = fresh.read_line(U">> ", false, &h);
        done = true;
    });
    while (tid == 0) std::this_thread::yield();
    pty->set_program_thread(tid);
    pty->settle();
    pty->type(UP);
    EXPECT_EQ(pty->row(0), ">> probe x");
    pty->type(UP);
    pty->type(UP);
    EXPECT_EQ(pty->row(0), ">> print 1");
    pty->type(DOWN);
    EXPECT_EQ(pty->row(0), ">> x: 2");
    pty->type(ENTER);
    EXPECT_EQ(finish().line, U"x: 2");
    EXPECT_EQ(h.entry(0), U"x: 2");

    testing_interp::run("system/options/cache: " + saved_cache + " 'ok");
    testing_interp::run("system/console/history: zqe-history cli-console-ctx/settings/cfg: none 'ok");
    ::setenv("HOME", saved_home.c_str(), 1);
    std::filesystem::remove_all(home);
}

TEST_F(EditorOnPty, SurrogateHalvesAreJoinedOrReplaced) {
    open(40, 10);
    start();
    pty->type("\xED\xA0\xBD\xED\xB8\x80");  // U+1F600 as two encoded halves
    pty->type("\xED\xB0\x80");              // a second half alone
    pty->type("\xED\xA0\xBD" "a");           // a first half before another key
    pty->type(ENTER);
    EditResult r = finish();
    EXPECT_EQ(r.line, U"\U0001F600\uFFFD\uFFFDa");
    EXPECT_EQ(pty->row(0), ">> \U0001F600\uFFFD\uFFFDa");
}

TEST_F(EditorOnPty, LostInputEndsTheEditWithTheTextSoFar) {
    open(40, 10);
    start();
    pty->type("ab");
    pty->hang_up();
    for (int i = 0; i < 500 && !done; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(done);
    worker.join();
    EXPECT_EQ(result.line, U"ab");
    EXPECT_EQ(result.end, LineEnd::end_of_input);
    EXPECT_FALSE(terminal::raw_mode_active());
    pty->detach();
    pty.reset();
}

TEST(LineEditorRedirected, ReadsPlainLinesWithoutPromptOrHistory) {
    int in[2], out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    std::string text = "1 + 2\r\nprint \"\u00E9\u4E2D\"\nlast";
    ASSERT_EQ(::write(in[1], text.data(), text.size()), ssize_t(text.size()));
    ::close(in[1]);
    terminal::set_input_fd(in[0]);
    terminal::reset_stdin_reader();
    console::set_output_fd(out[1]);
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);

    LineEditor ed;
    StringHistory h;
    const std::pair<std::u32string, LineEnd> expect[] = {
        {U"1 + 2\r", LineEnd::enter},
        {U"print \"\u00E9\u4E2D\"", LineEnd::enter},
        {U"last", LineEnd::end_of_input},
        {U"", LineEnd::end_of_input},
        {U"", LineEnd::end_of_input},
    };
    for (const auto& e : expect) {
        EditResult r = ed.read_line(U">> ", false, &h);
        EXPECT_EQ(r.line, e.first);
        EXPECT_EQ(r.end, e.second);
    }
    char buf[64];
    EXPECT_LE(::read(out[0], buf, sizeof buf), 0);  // no prompt was shown
    EXPECT_TRUE(h.entries.empty());

    console::set_output_fd(1);
    terminal::set_input_fd(0);
    terminal::reset_stdin_reader();
    ::close(in[0]);
    ::close(out[0]);
    ::close(out[1]);
}

TEST(LineEditorRedirected, TerminalInputWithOutputElsewhereIsReadInTheTerminalsLineMode) {
    PtySession pty(40, 10);
    ASSERT_TRUE(pty.ok());
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    terminal::set_input_fd(pty.slave());
    terminal::reset_stdin_reader();
    console::set_output_fd(out[1]);

    LineEditor ed;
    pty.type_now("ab\x7f" "c\n");  // the terminal's own erase
    EditResult r = ed.read_line(U">> ", false, nullptr);
    EXPECT_EQ(r.line, U"ac");
    EXPECT_EQ(r.end, LineEnd::enter);
    EXPECT_TRUE(test::same_modes(pty.modes(), pty.initial_modes()));
    pty.type_now("\x04");  // end of input on an empty line
    r = ed.read_line(U">> ", false, nullptr);
    EXPECT_EQ(r.line, U"");
    EXPECT_EQ(r.end, LineEnd::end_of_input);
    char buf[64];
    EXPECT_LE(::read(out[0], buf, sizeof buf), 0);  // no prompt, no escape sequences

    console::set_output_fd(1);
    terminal::set_input_fd(0);
    terminal::reset_stdin_reader();
    ::close(out[0]);
    ::close(out[1]);
}

}  // namespace
