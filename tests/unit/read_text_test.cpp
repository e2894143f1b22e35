// Text loaded whole from outside (files, the clipboard, url bytes) is refused
// when it is not UTF-8, a sequence cut off by the end included; a script run
// from the command line whose last character is cut is reported, not run
// without it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_process.hpp"
#include "datatypes/url.hpp"
#include "interpreter/stack.hpp"
#include "string_fixtures.hpp"

using namespace kro;
using namespace kro::testing_strings;
using testing_blocks::raised;

namespace {

std::vector<uint8_t> bytes_of(const Cell& bin) {
    memory::Buffer* b = memory::buffer_of(bin.data2);
    return std::vector<uint8_t>(b->head_ptr(), b->tail_ptr());
}

}  // namespace

TEST(ReadText, WholeTextsRefuseACutSequence) {
    struct Case {
        std::string bytes;
        std::vector<uint8_t> refused;  // empty: the text loads
        std::u32string text;
    };
    const std::vector<Case> cases = {
        {"Kro []\n\xC3", {0xC3}, U""},
        {"ab\xE2\x82", {0xE2, 0x82}, U""},
        {"\xF0\x9F\x98", {0xF0, 0x9F, 0x98}, U""},
        {"a\xE2 ", {0xE2, ' '}, U""},
        {"a\xFF" "bcd", {0xFF, 'b', 'c', 'd'}, U""},  // inside the text: the bytes at the bad one
        {"\xEF\xBB\xBF", {}, U""},
        {"\xC3\xA9\xF0\x9F\x98\x80", {}, U"\u00e9\U0001F600"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const auto* p = reinterpret_cast<const uint8_t*>(c.bytes.data());
        Cell* top = stack::top_ptr;
        Cell out;
        if (c.refused.empty()) {
            string::load_at(p, uint32_t(c.bytes.size()), &out, string::ENCODING_UTF8);
            EXPECT_EQ(points(out), c.text);
            continue;
        }
        EXPECT_EQ(raised([&] { string::load_at(p, uint32_t(c.bytes.size()), &out, string::ENCODING_UTF8); }),
                  "access/invalid-utf8");
        ASSERT_TRUE(last_raised().args[0].is(TYPE_BINARY));
        EXPECT_EQ(bytes_of(last_raised().args[0]), c.refused);
        EXPECT_EQ(stack::top_ptr, top) << "nothing is left on the data stack";
        // Every loader of whole texts shares the rule.
        EXPECT_EQ(raised([&] { url::load(p, uint32_t(c.bytes.size())); }), "access/invalid-utf8");
        stack::top_ptr = top;
    }
}

TEST(ReadText, ScriptWithACutLastCharacterIsReportedNotRun) {
    test::ScratchDir dir, home;
    dir.file("cut.kro", "Kro []\nprint \"ran\" ; caf\xC3");
    test::Outcome o = test::run_piped({"cut.kro"}, "", home.path, dir.path, test::LIGHT);
    EXPECT_EQ(o.out.rfind("*** Access Error: invalid UTF-8 encoding: #{C3}\n", 0), 0u) << o.out;
    EXPECT_NE(o.out.find("*** Files: %cut.kro"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("ran\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.status, 1);
}

TEST(ReadText, ScriptRunByAnotherNamesBothFilesAndItsOwnLine) {
    test::ScratchDir dir, home;
    dir.file("inner.kro", "#!/usr/bin/env kro\n; a comment\nKro []\n\nx: (1 2\n");
    dir.file("outer.kro", "Kro []\nprint 1\ndo %inner.kro\n");
    test::Outcome o = test::run_piped({"outer.kro"}, "", home.path, dir.path);
    EXPECT_EQ(o.out.rfind("1\n*** Syntax Error: (line 5) missing ) at (1 2\n", 0), 0u) << o.out;
    EXPECT_NE(o.out.find("*** Files: %outer.kro %inner.kro\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.status, 1);
}
