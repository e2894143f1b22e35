// The console's configuration file: the input history (and the buffer-lines
// setting) kept between runs in <cache>/Kro-Console/console-cfg.kro, where the
// cache folder is system/options/cache.
//
// The file is a Kro script: the header `Kro [Purpose: "Kro Console
// Configuration File"]`, then set-word and value pairs. `history` holds at
// most 100 strings, newest first; keys the console does not know are written
// back unchanged. It is read once at start-up and written by `quit`.
//
// Reading never stops the console: a file that does not load, lacks the
// header or holds values of the wrong kind gives the defaults for what is
// wrong, and the next save replaces it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "console/line_editor.hpp"
#include "foundation/cell.hpp"

namespace kro::console_cfg {

constexpr int32_t DEFAULT_BUFFER_LINES = 10000;
constexpr int32_t HISTORY_KEPT = 100;
extern const char* const PURPOSE;  // "Kro Console Configuration File"

// ---- the file --------------------------------------------------------------------------------

// The configuration a file's text gives: the pairs after the header, with
// `buffer-lines` 10000 and an empty `history` added where missing or unusable
// (a history that is not a block; entries that are not strings are dropped).
// A text that does not load, or has no `Kro` header, gives the defaults alone.
// Answers a new block (not rooted: root it before anything collects).
Cell parse(std::string_view text);
// The file's text for a configuration block: the header, then each pair on
// its own line, the history one string a line.
std::string render(const Cell* cfg);

// The configuration in the file at `path`: creates the folder `dir` when
// missing (a failure only means nothing will be saved), reads the file (bytes
// that are not UTF-8 read as U+FFFD) and answers what parse gives (not rooted).
Cell read_file(const std::string& dir, const std::string& path);
// Writes a configuration block to `path`: creates the folder, cuts the
// history after its newest 100 entries (in memory too: it is the same block)
// and saves; lines in a system/console/history block that is not the
// configuration's join it first. A failure raises access/cannot-open with the
// path (it reaches the caller of quit).
void write_file(Cell* cfg, const std::string& dir, const std::string& path);

// The language's side is `cli-console-ctx/settings` (library/console.kro),
// whose load-cfg and save-cfg reach these two through the routines
// `_read-cfg dir path` and `_write-cfg dir path cfg`.

// The line editor's history over a block of strings, newest first. The block
// must stay reachable (system/console/history, an argument of the running
// call) while the editor uses it; entries that are not strings read as "".
class BlockHistory : public terminal::History {
public:
    explicit BlockHistory(const Cell& block) : block_(block) {}
    size_t size() const override;
    std::u32string entry(size_t index) const override;
    // Inserts a new string at the head of the block.
    void add_newest(const std::u32string& line) override;

private:
    Cell block_;
};

}  // namespace kro::console_cfg
