// The console's side of the runtime: the routines through which the Kro code
// of the console reaches the terminal layer and the line editor, and the hand-
// over from start-up to the console.
//
// Routines (bound by the library with make-routine):
//   console-init str            system/console/init: the window title, the
//                               terminal's size into system/console/size and
//                               its changes (80x50 when it cannot be read)
//   _set-buffer-history line hist   the string ask fills and the history
//   _read-input prompt hidden?  reads one line into that string: true, or false
//                               once the input has ended with nothing read (or,
//                               outside the console's own prompt, on Ctrl-C and
//                               on Ctrl-D on an empty line)
//   _input-end                  how the last line read ended: enter, escape,
//                               interrupt, end or completion
//   _at-prompt flag             set while the console's loop reads a command
//   input-stdin                 one line of standard input as a new string
//   read-stdin buffer buflen    appends up to buflen bytes of standard input to
//                               the binary (grown as needed); answers the count
//                               read (0 at the end of input, -1 on an error)
//   _terminate-console          nothing to do on this platform
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "console/line_editor.hpp"
#include "foundation/cell.hpp"

namespace kro::cli_console {

// Runs `cli-console-ctx/launch` once the library is loaded. An error that
// escapes it is printed and the process ends with status 254 (-2); otherwise
// the process ends with status 0 when it returns.
[[noreturn]] void launch();

// The line editor every ask uses (its pending text lives between edits).
terminal::LineEditor& editor();

// The history adapter over a block of strings: an entered line goes in as the
// very string that ask answers, at the head of the block.
class AskHistory : public terminal::History {
public:
    // Both cells must be held where the collector keeps them current.
    AskHistory(Cell* line, Cell* block) : line_(line), block_(block) {}
    size_t size() const override;
    std::u32string entry(size_t index) const override;
    void add_newest(const std::u32string& line) override;

private:
    Cell* line_;
    Cell* block_;
};

// Replaces a string's content (from its head) with the text; U+FFFD stands
// for a code point past U+10FFFF.
void set_text(Cell* str, std::u32string_view text);
// A new string holding the text, as set_text stores it.
Cell string_of(std::u32string_view text);
// The text of a string from its head.
std::u32string text_of(const Cell* str);

}  // namespace kro::cli_console
