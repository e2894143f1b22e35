// Tab completion: the rules over fixed tables of words, paths and folders, then
// the same rules over the running system (global words, objects, function
// refinements, datatype accessors, a real folder) and the language's side.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "console/completion.hpp"
#include "interp_fixtures.hpp"
#include "pty_terminal.hpp"

using namespace kro;
using completion::Kind;
using completion::Result;
using kro::test::utf8_of;
using namespace kro::testing_interp;

namespace {

// ---- fixed tables ------------------------------------------------------------------------------

class TableSources : public completion::Sources {
public:
    std::vector<std::u32string> global_words() override {
        return {U"print", U"probe", U"prin", U"append", U"apply", U"Print", U"system", U"if", U"PRot"};
    }
    std::optional<std::vector<std::u32string>> path_words(const std::vector<std::u32string>& walk) override {
        std::u32string key;
        for (const auto& s : walk) key += s + U"/";
        static const std::map<std::u32string, std::vector<std::u32string>> paths = {
            {U"append/", {U"part", U"only", U"dup"}},
            {U"system/", {U"version", U"options", U"console"}},
            {U"system/options/", {U"path", U"cache", U"args"}},
            {U"today/", {U"date", U"year", U"month", U"day"}},
        };
        if (walk.empty() || walk[0].empty() || (walk[0][0] >= '0' && walk[0][0] <= '9')) return std::nullopt;
        auto it = paths.find(key);
        return it == paths.end() ? std::vector<std::u32string>{} : it->second;
    }
    std::optional<std::vector<std::u32string>> folder_names(const std::u32string& folder) override {
        static const std::map<std::u32string, std::vector<std::u32string>> folders = {
            {U"./", {U"readme.txt", U"read/", U"src/", U"Notes.md"}},
            {U"src/", {U"main.cpp", U"make.kro", U"lib/"}},
            {U"src/lib/", {U"one.kro"}},
        };
        auto it = folders.find(folder);
        if (it == folders.end()) return std::nullopt;
        return it->second;
    }
};

// A line with its caret written as "|".
std::pair<std::u32string, size_t> at_caret(const char* text) {
    std::u32string s;
    size_t caret = 0;
    for (const char* p = text; *p; p++) {
        if (*p == '|') caret = s.size();
        else s.push_back(char32_t(uint8_t(*p)));
    }
    return {s, caret};
}

// The result as text: the first string with "|" at its caret, then the others.
std::string shown(const Result& r, bool console) {
    std::string out;
    for (size_t i = 0; i < r.strings.size(); i++) {
        std::string s = utf8_of(r.strings[i]);
        if (console && i == 0) s.insert(r.caret, 1, '|');
        if (i) out.push_back(' ');
        out.append(s);
    }
    return out;
}

struct CompletionCase {
    const char* line;
    Kind kind;
    const char* result;  // "" for nothing to complete
};

TEST(Completion, ConsoleResultsFromTables) {
    const CompletionCase cases[] = {
        // words
        {"appe|", Kind::word, "append|"},
        {"pr|", Kind::word, "pr| prin print probe PRot"},
        {"PR|", Kind::word, "pr| prin print probe PRot"},          // the common part is spelled as found
        {"prin|", Kind::word, "prin| prin print"},                  // a common part equal to the token still lists
        {"print|", Kind::none, ""},                                 // already complete: the Tab is typed
        {"PRINT|", Kind::none, ""},
        {"zz|", Kind::none, ""},
        {"|", Kind::none, ""},
        {"x |", Kind::none, ""},
        {"x appe| y", Kind::word, "x append| y"},                   // mid-line keeps the rest
        {"appe| y", Kind::word, "append| y"},
        {"[appe|", Kind::word, "[append|"},
        {"(appe|", Kind::word, "(append|"},
        {"{appe|", Kind::word, "{append|"},
        {"x: appe|", Kind::word, "x: append|"},
        {"a:appe|", Kind::word, "a:append|"},
        {"'appe|", Kind::word, "'append|"},
        {"x\tappe|", Kind::word, "x\tappend|"},
        {"/local|", Kind::none, ""},                                // a refinement is no path
        // paths
        {"append/o|", Kind::path, "append/only|"},
        {"append/|", Kind::path, "append/| dup only part"},
        {"append/only|", Kind::none, ""},
        {"system/options/ca|", Kind::path, "system/options/cache|"},
        {"system/o|", Kind::path, "system/options|"},
        {"print system/ver| 1", Kind::path, "print system/version| 1"},
        {"today/d|", Kind::path, "today/da| date day"},
        {"today/y|", Kind::path, "today/year|"},
        {"1x/a|", Kind::none, ""},                                  // the first segment is no word
        {"append/zz|", Kind::none, ""},
        // files
        {"%rea|", Kind::file, "%read| read/ readme.txt"},
        {"%readm|", Kind::file, "%readme.txt|"},
        {"%n|", Kind::file, "%Notes.md|"},                          // names match without regard to case
        {"%src/ma|", Kind::file, "%src/ma| main.cpp make.kro"},
        {"%src/mai|", Kind::file, "%src/main.cpp|"},
        {"%src/lib/|", Kind::file, "%src/lib/one.kro|"},
        {"%src/|", Kind::file, "%src/| lib/ main.cpp make.kro"},
        {"do %src/mai| now", Kind::file, "do %src/main.cpp| now"},
        {"%nope/x|", Kind::none, ""},                               // a folder that does not exist
        {"%readme.txt|", Kind::none, ""},
        {"%|", Kind::none, ""},                                     // "%" alone is completed as a word
    };
    TableSources src;
    for (const CompletionCase& c : cases) {
        SCOPED_TRACE(c.line);
        auto [line, caret] = at_caret(c.line);
        Result r = completion::complete_input(line, caret, true, src);
        EXPECT_EQ(shown(r, true), c.result);
        EXPECT_EQ(r.kind, c.kind);
    }
}

TEST(Completion, WithoutTheConsoleTheCandidatesComeAsFound) {
    TableSources src;
    auto [line, caret] = at_caret("pr|");
    Result r = completion::complete_input(line, caret, false, src);
    EXPECT_EQ(r.kind, Kind::word);
    EXPECT_FALSE(r.common_part);
    EXPECT_EQ(shown(r, false), "print probe prin PRot");
    // The token itself among the candidates comes first.
    std::tie(line, caret) = at_caret("prin|");
    r = completion::complete_input(line, caret, false, src);
    EXPECT_EQ(shown(r, false), "prin print");
}

TEST(Completion, CommonPrefix) {
    struct Case {
        std::vector<std::u32string> in;
        bool common;
        std::vector<std::u32string> out;
    };
    const Case cases[] = {
        {{}, false, {}},
        {{U"one"}, false, {U"one"}},
        {{U"probe", U"print", U"prin"}, true, {U"pr", U"prin", U"print", U"probe"}},
        {{U"Beta", U"alpha"}, true, {U"", U"alpha", U"Beta"}},
        {{U"ABc", U"abd"}, true, {U"AB", U"ABc", U"abd"}},
        {{U"\u00C9t\u00E9", U"\u00E9tage"}, true, {U"\u00E9t", U"\u00E9tage", U"\u00C9t\u00E9"}},
    };
    for (const Case& c : cases) {
        std::vector<std::u32string> v = c.in;
        EXPECT_EQ(completion::common_substr(v), c.common);
        EXPECT_EQ(v, c.out);
    }
}

// ---- the running system ---------------------------------------------------------------------------

class CompletionInSystem : public ::testing::Test {
protected:
    static std::string complete(const char* text) {
        auto [line, caret] = at_caret(text);
        return shown(completion::complete_input(line, caret, true, completion::runtime_sources()), true);
    }
};

TEST_F(CompletionInSystem, GlobalWordsObjectsAndRefinements) {
    ASSERT_EQ(run("zqx-alpha: 1 zqx-beta: 2 zqx-obj: make object! [first-one: 1 second: make object! [inner: 3]]"
                  " zqx-fn: func [a /only b /part c /local d] [a] 'ok"),
              "ok");
    EXPECT_EQ(complete("zqx-a|"), "zqx-alpha|");
    EXPECT_EQ(complete("zqx-|"), "zqx-| zqx-alpha zqx-beta zqx-fn zqx-obj");
    EXPECT_EQ(complete("zqx-unset-never-set|"), "");
    EXPECT_EQ(complete("zqx-obj/f|"), "zqx-obj/first-one|");
    EXPECT_EQ(complete("zqx-obj/|"), "zqx-obj/| first-one second");
    EXPECT_EQ(complete("zqx-obj/second/i|"), "zqx-obj/second/inner|");
    EXPECT_EQ(complete("zqx-obj/missing/i|"), "");               // a missing field is none: no accessors
    EXPECT_EQ(complete("zqx-fn/|"), "zqx-fn/| only part");        // never /local
    EXPECT_EQ(complete("zqx-fn/o|"), "zqx-fn/only|");
    EXPECT_EQ(complete("append/o|"), "append/only|");              // a native's refinements
    EXPECT_EQ(complete("1x2/a|"), "");
    EXPECT_EQ(complete("zqx-[/a|"), "");
}

TEST_F(CompletionInSystem, AccessorsOfTheValuesDatatype) {
    // system/catalog/accessors pairs datatypes (or their words) with words.
    ASSERT_EQ(run("zqb-sys: either value? 'system [system][none]"
                  " system: make object! [catalog: make object! [accessors: ["
                  " date! [date year month day] pair! [x y]]]]"
                  " zqb-when: 1-Jan-2000 zqb-size: 3x4 zqb-count: 5 'ok"),
              "ok");
    EXPECT_EQ(complete("zqb-when/y|"), "zqb-when/year|");
    EXPECT_EQ(complete("zqb-when/d|"), "zqb-when/da| date day");
    EXPECT_EQ(complete("zqb-size/|"), "zqb-size/| x y");
    EXPECT_EQ(complete("zqb-count/|"), "");  // integer!: no accessors listed
    EXPECT_EQ(run("either zqb-sys [system: zqb-sys][unset 'system] 'ok"), "ok");
}

TEST_F(CompletionInSystem, FileNamesInFolders) {
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("kro-completion-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "sub" / "deeper");
    std::ofstream(dir / "alpha.kro") << "1";
    std::ofstream(dir / "alps.txt") << "2";
    std::ofstream(dir / "sub" / "only.kro") << "3";
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    EXPECT_EQ(complete("%al|"), "%alp| alpha.kro alps.txt");
    EXPECT_EQ(complete("%alph|"), "%alpha.kro|");
    EXPECT_EQ(complete("%s|"), "%sub/|");
    EXPECT_EQ(complete("%sub/|"), "%sub/| deeper/ only.kro");
    EXPECT_EQ(complete("%sub/o|"), "%sub/only.kro|");
    EXPECT_EQ(complete("do %sub/o| 1"), "do %sub/only.kro| 1");
    EXPECT_EQ(complete("%none-such/x|"), "");
    std::string sub = (dir / "sub").string();
    std::string abs = std::string(1, '%').append(sub).append("/on|");
    EXPECT_EQ(complete(abs.c_str()), std::string(1, '%').append(sub).append("/only.kro|"));
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
}

TEST_F(CompletionInSystem, TheLanguageCallsTheSameCompletion) {
    completion::install_words();
    ASSERT_EQ(run("zqy-one: 1 zqy-two: 2 'ok"), "ok");
    EXPECT_EQ(run("r: kro-complete-input at \"x zqy-o y\" 8 true reduce [head r/1 index? r/1 length? r]"),
              "[\"x zqy-one y\" 10 1]");
    EXPECT_EQ(run("kro-complete-ctx/has-common-part?"), "false");
    EXPECT_EQ(run("r: kro-complete-ctx/complete-input tail \"zqy-\" true reduce [head r/1 index? r/1 next r]"),
              "[\"zqy-\" 5 [\"zqy-one\" \"zqy-two\"]]");
    EXPECT_EQ(run("kro-complete-ctx/has-common-part?"), "true");
    EXPECT_EQ(run("kro-complete-input tail \"zqy-\" false"), "[word \"zqy-one\" \"zqy-two\"]");
    EXPECT_EQ(run("kro-complete-input tail \"zqy-one\" true"), "[]");
    EXPECT_EQ(run("kro-complete-input \"zqy-\" true"), "[]");  // the caret at the head: no token
    EXPECT_EQ(run("kro-complete-input 1 true"), "error script/expect-arg");
    // The context's other functions.
    EXPECT_EQ(run("b: [\"probe\" \"Print\" \"prin\"] kro-complete-ctx/common-substr b b"),
              "[\"pr\" \"prin\" \"Print\" \"probe\"]");
    EXPECT_EQ(run("kro-complete-ctx/has-common-part?"), "true");
    EXPECT_EQ(run("b: [\"one\"] kro-complete-ctx/common-substr b reduce [b kro-complete-ctx/has-common-part?]"),
              "[[\"one\"] false]");
    EXPECT_EQ(run("kro-complete-ctx/common-substr [1]"), "error script/invalid-arg");
    EXPECT_EQ(run("zqy-obj: make object! [alpha: 1 beta: 2] kro-complete-ctx/kro-complete-path \"zqy-obj/\" true"),
              "[\"zqy-obj/\" \"alpha\" \"beta\"]");
    EXPECT_EQ(run("kro-complete-ctx/kro-complete-path \"zqy-obj/b\" true"), "[\"zqy-obj/beta\"]");
    EXPECT_EQ(run("kro-complete-ctx/kro-complete-path \"zqy-obj/\" false"), "[\"alpha\" \"beta\"]");
    EXPECT_EQ(run("kro-complete-ctx/kro-complete-file \"%/no-such-folder-zq/x\" true"), "[]");
    EXPECT_EQ(run("same? :kro-complete-input :kro-complete-ctx/complete-input"), "true");
}

}  // namespace
