// The console's configuration file: what a file's text gives (broken and
// foreign files included), the text written back, and the file kept in the
// cache folder across a load and a save.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "console/config.hpp"
#include "foundation/platform/console_out.hpp"
#include "interp_fixtures.hpp"
#include "output_capture.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

std::string molded_cfg(std::string_view text) {
    gc::Rooted cfg(console_cfg::parse(text));
    return mold_text(cfg.cell, true, true);
}

TEST(ConsoleConfig, WhatAFileGives) {
    struct Case {
        const char* what;
        const char* text;
        const char* cfg;  // the configuration block, molded flat without brackets
    };
    const Case cases[] = {
        {"no file", "", "buffer-lines: 10000 history: []"},
        {"a file as written",
         "Kro [Purpose: \"Kro Console Configuration File\"]\nbuffer-lines: 500\nhistory: [\"b\" \"a\"]",
         "buffer-lines: 500 history: [\"b\" \"a\"]"},
        {"keys in another order and an extra key kept",
         "Kro [] history: [\"x\"] colour: 'green buffer-lines: 10",
         "history: [\"x\"] colour: 'green buffer-lines: 10"},
        {"a missing key is added", "Kro [] history: [\"x\"]", "history: [\"x\"] buffer-lines: 10000"},
        {"the header word in another case", "kro [] buffer-lines: 1", "buffer-lines: 1 history: []"},
        {"not valid source", "Kro [ history: [\"a\"", "buffer-lines: 10000 history: []"},
        {"a stray closing bracket", "Kro [] history: [\"a\"]]", "buffer-lines: 10000 history: []"},
        {"no header", "history: [\"a\"] buffer-lines: 3", "buffer-lines: 10000 history: []"},
        {"another script's header", "Rebol [] history: [\"a\"]", "buffer-lines: 10000 history: []"},
        {"the header word alone", "Kro", "buffer-lines: 10000 history: []"},
        {"a history that is no block", "Kro [] history: 42 buffer-lines: \"many\"",
         "history: [] buffer-lines: \"many\""},
        {"history entries that are not strings are dropped", "Kro [] history: [\"a\" 1 b [c] \"d\" #e]",
         "history: [\"a\" \"d\"] buffer-lines: 10000"},
        {"a key without a value at the end", "Kro [] buffer-lines: 7 history:", "buffer-lines: 7 history: []"},
        {"binary junk", "\x01\x02\xff\xfe Kro", "buffer-lines: 10000 history: []"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(molded_cfg(c.text), c.cfg);
    }
}

TEST(ConsoleConfig, TheTextWrittenLoadsBackTheSame) {
    const char* text =
        "Kro [] buffer-lines: 200 extra: [1 2 3] history: [\"print {a}\" \"say ^\"hi^\"\" "
        "\"two^/lines\" \"caf\u00E9 \u4E2D \U0001F600\" \"\"]";
    gc::Rooted cfg(console_cfg::parse(text));
    std::string written = console_cfg::render(cfg.get());
    EXPECT_EQ(written.rfind("Kro [\n    Purpose: \"Kro Console Configuration File\"\n]\n", 0), 0u) << written;
    EXPECT_NE(written.find("\nhistory: [\n    \"print {a}\"\n"), std::string::npos) << written;
    EXPECT_EQ(molded_cfg(written), mold_text(cfg.cell, true, true));
    EXPECT_EQ(console_cfg::render(gc::Rooted(console_cfg::parse(written)).get()), written);
}

// The cache folder moved to a fresh temporary HOME (and system/options/cache
// pointed there too); the configuration is `cli-console-ctx/settings`, as the
// console's launch loads it and quit saves it.
class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::filesystem::temp_directory_path() / ("kro-cfg-" + std::to_string(::getpid()));
        std::filesystem::remove_all(home);
        std::filesystem::create_directories(home);
        const char* old = std::getenv("HOME");
        saved_home = old ? old : "";
        ::setenv("HOME", home.c_str(), 1);
        saved_cache = run("system/options/cache");
        saved_history = run("zqc-history: system/console/history 'ok");
        run("system/options/cache: to file! \"" + home.string() + "/.kro/\" 'ok");
        dir = home / ".kro" / "Kro-Console";
        file = dir / "console-cfg.kro";
    }
    void TearDown() override {
        run("system/options/cache: " + saved_cache + " 'ok");
        run("system/console/history: zqc-history cli-console-ctx/settings/cfg: none 'ok");
        ::setenv("HOME", saved_home.c_str(), 1);
        std::filesystem::remove_all(home);
    }
    static std::string read(const std::filesystem::path& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::string load_cfg() { return run("cli-console-ctx/settings/load-cfg"); }
    static std::string save_cfg() { return run("cli-console-ctx/settings/save-cfg"); }
    static std::string history() { return run("system/console/history"); }
    // The history block the editor works on.
    static Cell history_block() {
        run("zqc-typed: system/console/history 'ok");
        return global("zqc-typed");
    }

    std::filesystem::path home, dir, file;
    std::string saved_home, saved_cache, saved_history;
};

TEST_F(ConfigFile, TheSettingsObjectAsTheConsoleKeepsIt) {
    EXPECT_EQ(run("words-of cli-console-ctx/settings"), "[cfg-dir cfg-path cfg apply-cfg save-cfg load-cfg]");
    EXPECT_EQ(load_cfg(), "[]");  // apply-cfg's result: the history
    EXPECT_EQ(run("cli-console-ctx/settings/cfg-dir"), "%" + dir.string() + "/");
    EXPECT_EQ(run("cli-console-ctx/settings/cfg-path"), "%" + file.string());
    EXPECT_EQ(run("cli-console-ctx/settings/cfg"), "[buffer-lines: 10000 history: []]");
    // the history is the configuration's own block, not a copy
    EXPECT_EQ(run("same? system/console/history select cli-console-ctx/settings/cfg 'history"), "true");
    // apply-cfg takes whatever block the configuration holds now
    EXPECT_EQ(run("cli-console-ctx/settings/cfg: [history: [\"x\"]] cli-console-ctx/settings/apply-cfg "
                  "system/console/history"),
              "[\"x\"]");
    // a key set at language level is written and read back
    run("append cli-console-ctx/settings/cfg [theme: dark] 'ok");
    EXPECT_EQ(save_cfg(), "unset");
    EXPECT_EQ(read(file).find("buffer-lines"), std::string::npos);  // written as it was
    EXPECT_EQ(molded_cfg(read(file)), "history: [\"x\"] theme: dark buffer-lines: 10000");
    EXPECT_EQ(load_cfg(), "[\"x\"]");
    EXPECT_EQ(run("cli-console-ctx/settings/cfg"), "[history: [\"x\"] theme: dark buffer-lines: 10000]");
}

TEST_F(ConfigFile, FirstRunCreatesTheFolderAndQuitWritesTheLines) {
    load_cfg();
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(history(), "[]");
    {
        console_cfg::BlockHistory h(history_block());
        terminal::add_to_history(h, U"print 1", false);
        terminal::add_to_history(h, U"print 1", false);
        terminal::add_to_history(h, U"x: \u4E2D", false);
    }
    save_cfg();
    std::string text = read(file);
    EXPECT_NE(text.find("buffer-lines: 10000\n"), std::string::npos) << text;
    EXPECT_NE(text.find("history: [\n    \"x: \u4E2D\"\n    \"print 1\"\n]"), std::string::npos) << text;

    // The next run reads them back, newest first.
    run("cli-console-ctx/settings/cfg: none system/console/history: copy [] 'ok");
    load_cfg();
    EXPECT_EQ(history(), "[\"x: \u4E2D\" \"print 1\"]");
    console_cfg::BlockHistory again(history_block());
    EXPECT_EQ(again.size(), 2u);
    EXPECT_EQ(again.entry(0), U"x: \u4E2D");
}

TEST_F(ConfigFile, TheNewest100LinesAreKept) {
    load_cfg();
    {
        console_cfg::BlockHistory h(history_block());
        for (int i = 1; i <= 150; i++)
            terminal::add_to_history(h, U"line " + std::u32string(1, U'0' + i % 10) + std::u32string(1, U'a' + i / 10),
                                     false);
        EXPECT_EQ(h.size(), 150u);
    }
    save_cfg();
    EXPECT_EQ(run("length? system/console/history"), "100");  // the history in memory is the same block
    load_cfg();
    console_cfg::BlockHistory back(history_block());
    ASSERT_EQ(back.size(), 100u);
    EXPECT_EQ(back.entry(0), U"line 0p");   // 150, the newest
    EXPECT_EQ(back.entry(99), U"line 1f");  // 51
}

TEST_F(ConfigFile, AnExtraKeyIsWrittenBackAndABrokenFileReplaced) {
    std::filesystem::create_directories(dir);
    std::ofstream(file) << "Kro [Purpose: \"mine\"]\ntheme: \"dark\"\nhistory: [\"old\"]\n";
    load_cfg();
    EXPECT_EQ(history(), "[\"old\"]");
    save_cfg();
    std::string text = read(file);
    EXPECT_NE(text.find("theme: \"dark\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Purpose: \"Kro Console Configuration File\""), std::string::npos) << text;

    std::ofstream(file) << "Kro [ history: [\"unclosed\n";
    load_cfg();
    EXPECT_EQ(history(), "[]");
    save_cfg();
    EXPECT_EQ(molded_cfg(read(file)), "buffer-lines: 10000 history: []");

    // A folder where the file should be: loading gives the defaults, saving fails.
    std::filesystem::remove(file);
    std::filesystem::create_directories(file);
    load_cfg();
    EXPECT_EQ(history(), "[]");
    EXPECT_EQ(save_cfg(), "error access/cannot-open");
    // quit's _save-cfg reports it and goes on
    test::CapturedOutput captured;
    EXPECT_EQ(run("_save-cfg"), "unset");
    console::flush();
    std::string out = captured.take();
    EXPECT_NE(out.find("*** Access Error: cannot open: "), std::string::npos) << out;
    EXPECT_NE(out.find("\n*** The console history was not saved.\n"), std::string::npos) << out;
}

TEST_F(ConfigFile, AFolderThatCannotBeMadeDoesNotStopLoading) {
    // The cache folder lies under a plain file: no folder can be made there.
    std::filesystem::path blocked = home / "plain-file";
    std::ofstream(blocked) << "x";
    run("system/options/cache: to file! \"" + blocked.string() + "/.kro/\" 'ok");
    load_cfg();
    EXPECT_EQ(history(), "[]");
    EXPECT_EQ(save_cfg(), "error access/cannot-open");
}

TEST_F(ConfigFile, TheLanguageSavesThroughSaveCfgAndSeesTheHistory) {
    std::filesystem::create_directories(dir);
    std::ofstream(file) << "Kro [] history: [\"typed\"]";
    load_cfg();
    EXPECT_EQ(run("_save-cfg"), "unset");
    EXPECT_EQ(molded_cfg(read(file)), "history: [\"typed\"] buffer-lines: 10000");
    EXPECT_EQ(run("insert system/console/history \"more\" system/console/history"), "[\"more\" \"typed\"]");
    EXPECT_EQ(run("select cli-console-ctx/settings/cfg 'history"), "[\"more\" \"typed\"]");
    // A history block given to the console after the file was read: its
    // lines are saved before the ones read, and it holds them all from then on.
    run("system/console/history: [\"late\"] 'ok");
    save_cfg();
    EXPECT_EQ(molded_cfg(read(file)), "history: [\"late\" \"more\" \"typed\"] buffer-lines: 10000");
    EXPECT_EQ(run("select cli-console-ctx/settings/cfg 'history"), "[\"late\" \"more\" \"typed\"]");
}

}  // namespace
