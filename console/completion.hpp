// Tab completion: the token before the caret is completed as a global word,
// a path into an object or a function's refinements, or a file name.
//
// The rules live in complete_input, which asks a Sources for what exists: the
// running system (runtime_sources: the global context, the objects reached
// from it, system/catalog/accessors and the file system) or a test's tables.
// The line editor reaches it through complete_line, its completion hook
// (install() sets it); the language reaches it through kro-complete-input and
// kro-complete-ctx/complete-input (install_words()).
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/line_editor.hpp"

namespace kro::completion {

// What exists to complete against.
class Sources {
public:
    virtual ~Sources() = default;
    // The names of the global words that have a value, in the context's order.
    virtual std::vector<std::u32string> global_words() = 0;
    // The names a path offers after the segments walked (all but the last):
    // the first segment's value, then each further segment looked up in an
    // object, stopping at a value that is not one. A function offers its
    // refinements (not /local), an object its words, any other value its
    // datatype's accessors. Empty optional when the first segment is no word.
    virtual std::optional<std::vector<std::u32string>> path_words(const std::vector<std::u32string>& walk) = 0;
    // The names in a folder (folders end in "/"), in the order listed; empty
    // optional when the folder does not exist. "./" is the current folder.
    virtual std::optional<std::vector<std::u32string>> folder_names(const std::u32string& folder) = 0;
};

enum class Kind { none, word, path, file };

struct Result {
    Kind kind = Kind::none;
    // With console set: the first string is the new text (the whole line, or
    // the completed token when the token is the whole line), the others are
    // the candidates to show. Without it: the candidates.
    std::vector<std::u32string> strings;
    size_t caret = 0;  // where the caret goes in the first string
    bool common_part = false;
};

// Completes the token before the caret of the line. Empty strings: nothing to
// complete (the Tab is typed). With console set, several candidates come with
// their longest common prefix first (case-insensitive).
Result complete_input(std::u32string_view line, size_t caret, bool console, Sources& sources);

// The strings of a file token ("%" first) or a path token alone, as the
// language's kro-complete-file and kro-complete-path answer them.
std::vector<std::u32string> complete_file_token(std::u32string_view token, bool console, bool& common,
                                                Sources& sources);
std::vector<std::u32string> complete_path_token(std::u32string_view token, bool console, bool& common,
                                                Sources& sources);

// Sorts the candidates (case-insensitively) and, with more than one, puts the
// longest common prefix of the first and last (case-insensitively, spelled as
// the first) at the head; answers whether it did.
bool common_substr(std::vector<std::u32string>& candidates);

// Case-insensitive prefix test and equality, by the language's case folding.
bool starts_with_caseless(std::u32string_view text, std::u32string_view prefix);
bool equal_caseless(std::u32string_view a, std::u32string_view b);

// The running system as a source: words and values looked up at the time of
// the Tab, folders relative to the current directory.
Sources& runtime_sources();

// The line editor's completion hook over the running system.
void complete_line(const std::u32string& line, size_t caret, std::vector<terminal::Completion>& out);
// Installs complete_line as the line editor's completion hook.
void install();

// Defines the language's side once the boot program has run: the object
// kro-complete-ctx with has-common-part?, common-substr blk, kro-complete-path
// and kro-complete-file str console?, and complete-input str console? (str
// positioned at the caret), and the global kro-complete-input (the same
// function as complete-input). complete-input answers a block of strings: with
// console? the first positioned at its caret; without it the type word (word,
// path or file) then the candidates.
void install_words();

}  // namespace kro::completion
