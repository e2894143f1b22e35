// The console's configuration file: the input history (and the buffer-lines
// setting) kept between runs in <cache>/Kro-Console/console-cfg.kro, where the
// cache folder is system/options/cache, else $HOME/.kro/ (else /tmp/.kro/).
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

// The folder (ending in "/") and the file.
std::string cfg_dir();
std::string cfg_path();

// The configuration a file's text gives: the pairs after the header, with
// `buffer-lines` 10000 and an empty `history` added where missing or unusable
// (a history that is not a block; entries that are not strings are dropped).
// A text that does not load, or has no `Kro` header, gives the defaults alone.
// Answers a new block (not rooted: root it before anything collects).
Cell parse(std::string_view text);
// The file's text for a configuration block: the header, then each pair on
// its own line, the history one string a line.
std::string render(const Cell* cfg);

// ---- the console's configuration --------------------------------------------------------------

// Start-up: creates the folder when missing (a failure only means nothing
// will be saved), reads the file, keeps the configuration and applies it.
void load();
// The same from a given text (tests), without touching the file system.
void load_text(std::string_view text);
// system/console/history := the configuration's history block (the same block,
// not a copy), when system/console is an object with a history slot.
void apply();
// Writes the file: creates the folder, cuts the history after its newest 100
// entries (in memory too: it is the same block) and saves. A failure raises
// access/cannot-open with the path (it reaches the caller of quit).
void save();

// The configuration block (none before load) and its history block.
Cell* cfg();
Cell* history();
// The value of a key (a set-word in the block), or null.
Cell* value_of(const char* key);

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

// Defines the global `_save-cfg` (no arguments): saves the configuration.
void install_words();

}  // namespace kro::console_cfg
