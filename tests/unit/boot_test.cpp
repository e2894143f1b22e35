// Runtime initialisation and the boot program, seen from C++ and from the
// running executable.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "console_process.hpp"
#include "interp_fixtures.hpp"
#include "output_capture.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/runtime.hpp"
#include "interpreter/boot.hpp"
#include "interpreter/routines.hpp"
#include "temp_dir.hpp"

using namespace kro;

namespace {

TEST(RuntimeInit, RootBlockStartsWithTheStacksThenTheWordCopies) {
    ASSERT_GE(block::length(&runtime::root), 4);
    EXPECT_EQ(block::at(&runtime::root, 0)->data2, runtime::data_stack_block.data2);
    EXPECT_EQ(block::at(&runtime::root, 1)->data2, runtime::call_stack_block.data2);
    EXPECT_EQ(block::at(&runtime::root, 2)->data2, runtime::symbol_block.data2);
    EXPECT_TRUE(block::at(&runtime::root, 3)->is(TYPE_WORD));
}

TEST(RuntimeInit, RuntimeSymbolsInTheirOrder) {
    struct Case {
        int32_t index;
        const char* name;
    } cases[] = {{0, "spec"}, {15, "Linux"}, {38, "|"}, {112, "no-trace"}};
    for (const Case& c : cases) EXPECT_EQ(symbol::name(runtime::runtime_symbol(c.index)), c.name) << c.index;
    EXPECT_EQ(runtime::runtime_symbol(113), 0);
    EXPECT_EQ(runtime::runtime_symbol(-1), 0);
}

TEST(RuntimeInit, BootHasEndedAndTheRoutineMakerIsGone) {
    EXPECT_FALSE(boot::running());
    EXPECT_TRUE(context::get_global(symbol::make("make-routine"))->is(TYPE_UNSET));
    EXPECT_TRUE(context::get_global(symbol::make("system"))->is(TYPE_OBJECT));
}

TEST(Routines, RegistryNamesEveryBodyOnce) {
    EXPECT_GT(routines::code_of("as-color"), 0);
    EXPECT_EQ(routines::code_of("as-color"), routines::code_of("as-color"));
    EXPECT_EQ(routines::code_of("no-such-routine"), 0);
}

TEST(MemoryReport, PrintsEachClassThenTheBigAllocations) {
    test::CapturedOutput out;
    EXPECT_EQ(testing_interp::run("show-memory-stats [[[1 2 3] [4 5 6]] [] [7 8] 10 20]"), "unset");
    EXPECT_EQ(out.take(),
              "\n"
              "[ Nodes  ] -- Free ----- Used ----- Total --\n"
              "   1:            1          2           3\n"
              "   2:            4          5           6\n"
              "  --\n"
              "  Used     :  7 nodes\n"
              "  Allocated:  9 nodes\n"
              "\n"
              "[ Series ] -- Free ----- Used ----- Total --\n"
              "               -          -           -\n"
              "  --\n"
              "  Used     :  0 bytes\n"
              "  Allocated:  0 bytes\n"
              "\n"
              "[ Big    ]\n"
              "   1:            7\n"
              "   2:            8\n"
              "  --\n"
              "  Allocated:  15 bytes\n"
              "--\n"
              "Total allocated from OS (virtual):        10 \n"
              "Total allocated on heap (malloc):        20 \n"
              "\n");
    EXPECT_EQ(testing_interp::run("stats/show"), "unset");
    EXPECT_NE(out.take().find("[ Big    ]"), std::string::npos);
}

TEST(LexerTracer, OneLinePerEventAndAnErrorIsPassedOver) {
    test::CapturedOutput out;
    EXPECT_EQ(testing_interp::run("system/lexer/tracer 'load {ab} integer! 1 12"), "true");
    EXPECT_EQ(out.take(), "LOAD     integer!     12           1    \"ab\"\n");
    EXPECT_EQ(testing_interp::run("system/lexer/tracer 'error {abcdefghijklmnopqrstu} none 3 2x3"), "false");
    EXPECT_EQ(out.take(), "ERROR    none         2x3          3    \"abcdefghijklmno\n");
    // an error event makes the scan go on one character further instead of raising
    EXPECT_EQ(testing_interp::run("block? transcode/trace {1 2} :system/lexer/tracer"), "true");
    EXPECT_NE(out.take().find("LOAD"), std::string::npos);
}

// The executable: the command line reaches system/options, quit-return sets
// the exit status.
class BootProcess : public testing::Test {
protected:
    test::TempDir home;
    test::TempDir dir;

    test::Outcome run_script(const std::string& body, const std::vector<std::string>& args,
                             const std::vector<std::string>& env = {}) {
        std::string path = dir / "script.kro";
        std::ofstream(path) << "Kro []\n" << body << "\n";
        std::vector<std::string> all{path};
        all.insert(all.end(), args.begin(), args.end());
        return test::run_piped(all, "", home.path(), dir.path(), env);
    }
};

TEST_F(BootProcess, CommandLineReachesTheOptions) {
    // each argument as the process received it: blanks and double quotes inside one included
    struct Case {
        std::vector<std::string> args;
        const char* molded;
    } cases[] = {
        {{"a", "b c"}, "[\"a\" \"b c\"]"},
        {{"a\"b", "c"}, "[{a\"b} \"c\"]"},
        {{"\"a b\"", "", "c\"d e\""}, "[{\"a b\"} \"\" {c\"d e\"}]"},
    };
    for (const Case& c : cases) {
        test::Outcome o = run_script("print mold string? system/options/boot print mold system/options/args", c.args);
        EXPECT_EQ(o.status, 0) << o.out;
        EXPECT_EQ(o.out, std::string("true\n") + c.molded + "\n") << c.molded;
    }
}

TEST_F(BootProcess, StartUpValuesFollowTheProcess) {
    test::Outcome o = run_script(
        "print reflect make object! [a: 1] 'class "  // the first class id of the run
        "print system/options/cache = append to-kro-file get-env \"HOME\" %/.kro/ "
        "print system/options/path = to-kro-file get-current-dir "
        "print string? system/options/boot",
        {});
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(o.out, "1000001\ntrue\ntrue\ntrue\n");
    // an empty HOME counts as unset
    o = run_script("print system/options/cache", {}, {"HOME="});
    EXPECT_EQ(o.out, "/tmp/.kro/\n");
}

// HTTP, digests and the image codecs open their libraries when a program
// first needs them: a process that never does has none of them loaded.
TEST_F(BootProcess, OptionalLibrariesOpenOnFirstUse) {
    test::Outcome o = run_script(
        "loaded: does [maps: read %/proc/self/maps "
        "remove-each n copy [\"libcurl\" \"libcrypto\" \"libpng\" \"libjpeg\" \"libgif\" \"libtiff\"] "
        "[not find maps n]] "
        "print mold loaded "
        "checksum \"abc\" 'sha256  save/as copy #{} make image! 2x2 'png "
        "print mold loaded",
        {});
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(o.out, "[]\n[\"libcrypto\" \"libpng\"]\n");
}

// A library the system lacks is an error of the call that needs it, naming
// the library; everything else goes on working. (An empty file in the
// loader's search path stands for a library that cannot be opened.)
TEST_F(BootProcess, MissingLibraryIsAnErrorNamingIt) {
    test::TempDir libs;
    for (const char* name :
         {"libcurl.so.4", "libcrypto.so.3", "libpng16.so.16", "libjpeg.so.62", "libgif.so.7", "libtiff.so.6"})
        std::ofstream(libs / name).flush();
    std::vector<std::string> env{"LD_LIBRARY_PATH=" + libs.path()};
    test::Outcome o = run_script(
        "img: make image! 2x2 "
        "foreach code [[checksum \"abc\" 'sha256] [save/as copy #{} img 'png] [save/as copy #{} img 'jpeg] "
        "[save/as copy #{} img 'gif] [save/as copy #{} img 'tiff] [load/as #{89504E470D0A1A0A} 'png] "
        "[read http://127.0.0.1:1/] [checksum \"abc\" 'sha256] [checksum \"abc\" 'crc32] [save/as copy #{} img 'bmp]] "
        "[e: try code print either error? e [[e/id mold e/arg1]] [type? e]]",
        {}, env);
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(o.out,
              "not-here %libcrypto.so.3\nnot-here %libpng16.so.16\nnot-here %libjpeg.so.62\n"
              "not-here %libgif.so.7\nnot-here %libtiff.so.6\nnot-here %libpng16.so.16\n"
              "not-here %libcurl.so.4\nnot-here %libcrypto.so.3\ninteger\nbinary\n");
    o = run_script("checksum \"abc\" 'md5", {}, env);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("*** Internal Error: %libcrypto.so.3 not supported on your system\n*** Where: checksum\n"),
              std::string::npos)
        << o.out;
}

TEST_F(BootProcess, QuitReturnEndsWithTheStatus) {
    test::Outcome o = run_script("print 1 quit-return 7 print 2", {});
    EXPECT_EQ(o.status, 7);
    EXPECT_EQ(o.out, "1\n");
}

}  // namespace
