// What the console's printing words write: source of the kinds of value,
// help, what and about, and the shell-like directory listings.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "interp_fixtures.hpp"
#include "output_capture.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

// The console object (when the library makes one) is given 80 columns, as a
// console without a terminal has, and its size is put back afterwards.
struct Width80 {
    std::string saved = run("either object? system/console [system/console/size][none]");
    Width80() {
        if (saved != "none") run("system/console/size: 80x50 'ok");
    }
    ~Width80() {
        if (saved != "none") run("system/console/size: " + saved + " 'ok");
    }
};

std::string printed(const std::string& code) {
    test::CapturedOutput out;
    std::string result = run(code);
    EXPECT_EQ(result.rfind("error", 0), std::string::npos) << code << ": " << result;
    console::flush();
    return out.take();
}

TEST(HelpOutput, SourceOfEachKindOfValue) {
    Width80 width;
    struct Case {
        const char* code;
        const char* printed;
    };
    const Case cases[] = {
        {"zs-f: func [x][x + 1] source zs-f", "zs-f: func [x][x + 1]\n"},
        {"source print", "PRINT is a native! value, so source is not available.\n"},
        {"source append", "APPEND is an action! value, so source is not available.\n"},
        {"zs-i: 1 source zs-i", "ZS-I is an integer! value, so source is not available.\n"},
        {"zs-o: make object! [] source zs-o", "ZS-O is an object! value, so source is not available.\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(printed(c.code), c.printed) << c.code;

    std::string op = printed("source +");
    EXPECT_EQ(op.rfind("+: make op! [[", 0), 0u) << op;
    std::string routine = printed("source word?");
    EXPECT_EQ(routine.rfind("; WORD? is a routine! value; its body is Kro/System code. \nword?: routine [", 0), 0u)
        << routine;
}

TEST(HelpOutput, HelpWhatAndAboutPrint) {
    Width80 width;
    EXPECT_EQ(printed("zs-v: 5 help zs-v"), "ZS-V is an integer! value: 5\n\n");
    EXPECT_EQ(printed("? zs-v"), "ZS-V is an integer! value: 5\n\n");
    std::string usage = printed("help");
    EXPECT_EQ(usage.rfind("\n\tUse HELP or ? to view built-in docs", 0), 0u) << usage;
    std::string all = printed("what");
    EXPECT_NE(all.find("\n     what            function!     Lists all functions, or search for values.\n"),
              std::string::npos);
    EXPECT_EQ(all.find("zs-v"), std::string::npos);  // without /with only functions are listed

    std::string about = printed("about");
    std::string head = "Kro " + run("system/version") + " for Linux built ";
    EXPECT_EQ(about.rfind(head, 0), 0u) << about;
    EXPECT_EQ(about.back(), '\n');
    EXPECT_EQ(about.find('\n'), about.size() - 1);
    if (run("system/build/git/commit") == "none") {
        EXPECT_EQ(printed("about/debug"),
                  "Looks like this Kro binary has been built from source.\n"
                  "Please download latest build from our website:\n"
                  "https://www.kro-lang.org/download/\n"
                  "and try your code on it before submitting an issue.\n");
    }
}

}  // namespace

namespace {

// A listing cell: a tab, the name padded to the cell width, a space.
std::string cell(const std::string& name, size_t width) {
    return "\t" + name + std::string(width > name.size() ? width - name.size() : 0, ' ') + " ";
}

TEST(ShellOutput, DirectoryListingsInColumns) {
    Width80 width;
    std::string dir = "/tmp/kro-ls-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir + "/sub");
    for (const char* name : {"a.txt", "b", "exactly-19-chars-xx", "eighteen-chars-xxx"})
        std::ofstream(dir + "/" + name) << "x";
    std::string f = "%" + dir + "/";

    // 80 columns: 67 cells, 3 names a row in cells of 19;
    // a name of 19 characters or more is cut to 15 and "...".
    EXPECT_EQ(printed("ls " + f),
              cell("a.txt", 19) + cell("b", 19) + cell("eighteen-chars-xxx", 19) + "\n" +
                  cell("exactly-19-char...", 19) + cell("sub/", 19) + "\n");
    EXPECT_EQ(printed("dir " + f), printed("list-dir " + f));
    // One column of 66 cells: nothing is cut.
    EXPECT_EQ(printed("ll " + f), cell("a.txt", 66) + "\n" + cell("b", 66) + "\n" + cell("eighteen-chars-xxx", 66) +
                                      "\n" + cell("exactly-19-chars-xx", 66) + "\n" + cell("sub/", 66) + "\n");
    // Too many columns for the width: cells keep room for a cut name.
    EXPECT_EQ(printed("list-dir/col " + f + " 8"),
              cell("...", 4) + cell("b", 4) + cell("...", 4) + cell("...", 4) + cell("...", 4) + "\n");
    EXPECT_EQ(printed("list-dir/col " + f + " 0"), printed("list-dir/col " + f + " 1"));
    // More columns than names: one row, ended as soon as the names are (not after n cells).
    EXPECT_EQ(printed("list-dir/col " + f + " 2147483647"), printed("list-dir/col " + f + " 8"));
    // The current directory without an argument; an empty folder lists nothing.
    std::string old = run("system/options/path");
    run("cd " + f + "sub/ 'ok");
    EXPECT_EQ(printed("ls"), "");
    EXPECT_EQ(printed("pwd"), "%" + dir + "/sub/\n");
    run("system/options/path: " + old + " 'ok");
    std::filesystem::remove_all(dir);
}

}  // namespace
