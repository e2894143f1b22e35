// Console output: text of 1-, 2- and 4-byte units arrives as UTF-8, escape
// sequences pass unchanged and line ends are LF, to a pipe and to a terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/platform/console_out.hpp"
#include "foundation/print.hpp"
#include "output_capture.hpp"

using namespace kro;

namespace {

// Code points laid out in units of the given width (little-endian).
std::string units(int unit, std::initializer_list<uint32_t> cps) {
    std::string s;
    for (uint32_t c : cps) s.append(reinterpret_cast<const char*>(&c), size_t(unit));
    return s;
}

struct TextCase {
    const char* what;
    int unit;
    std::string text;
    bool newline;
    std::string utf8;
};

std::vector<TextCase> text_cases() {
    return {
        {"latin-1", 1, units(1, {'A', 0xE9, 0xFF}), false, "A\xC3\xA9\xC3\xBF"},
        {"latin-1 line", 1, units(1, {'o', 'k'}), true, "ok\n"},
        {"ucs-2", 2, units(2, {'A', 0x20AC, 0xFFFD, 0x7FF, 0x800}), false,
         "A\xE2\x82\xAC\xEF\xBF\xBD\xDF\xBF\xE0\xA0\x80"},
        {"ucs-2 line", 2, units(2, {0x4E00}), true, "\xE4\xB8\x80\n"},
        {"ucs-2 lone surrogate", 2, units(2, {0xD800, 'x'}), false, "\xEF\xBF\xBDx"},
        {"ucs-4", 4, units(4, {0x1F600, 0x10FFFF, 'z'}), false, "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBFz"},
        {"ucs-4 line", 4, units(4, {0x10000}), true, "\xF0\x90\x80\x80\n"},
        {"ucs-4 beyond unicode", 4, units(4, {0x110000}), false, "\xEF\xBF\xBD"},
        {"escape, unit 1", 1, units(1, {27, '[', '3', '1', 'm', 'X', 27, '[', '0', 'm'}), true,
         "\x1B[31mX\x1B[0m\n"},
        {"escape, unit 2", 2, units(2, {27, '[', '2', 'J', 27, 'c'}), false, "\x1B[2J\x1B" "c"},
        {"escape, unit 4", 4, units(4, {27, '[', '1', ';', '4', '2', 'm'}), false, "\x1B[1;42m"},
        {"empty line", 1, "", true, "\n"},
    };
}

std::string pty_read(int master, size_t want) {
    std::string out;
    while (out.size() < want) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        char buf[4096];
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

}  // namespace

TEST(ConsoleOutput, TextOfEveryUnitArrivesAsUtf8) {
    test::CapturedOutput out;
    for (const TextCase& c : text_cases()) {
        SCOPED_TRACE(c.what);
        console::write_text(c.text.data(), c.text.size(), c.unit, c.newline);
        EXPECT_EQ(out.take(), c.utf8);
    }
    // The named forms choose the unit and the line end.
    std::string w = units(2, {0xE9});
    console::write_ucs2_line(w.data(), w.size());
    std::string q = units(4, {0xE9});
    console::write_ucs4(q.data(), q.size());
    console::write_latin1_line("\xE9", 1);
    EXPECT_EQ(out.take(), "\xC3\xA9\n\xC3\xA9\xC3\xA9\n");
}

TEST(ConsoleOutput, LongTextIsWrittenWholeAcrossChunks) {
    test::CapturedOutput out;
    // Three-byte characters around the 1 KB chunk: nothing lost, split or reordered.
    std::string text;
    std::string expect;
    for (uint32_t i = 0; i < 2000; i++) {
        uint32_t c = i % 7 == 0 ? uint32_t('0' + i % 10) : 0x20AC;
        text.append(reinterpret_cast<const char*>(&c), 2);
        expect += c == 0x20AC ? "\xE2\x82\xAC" : std::string(1, char(c));
    }
    console::write_text(text.data(), text.size(), 2, true);
    EXPECT_EQ(out.take(), expect + "\n");
    std::string ascii(1021, 'a');
    console::write_latin1(ascii.data(), ascii.size());
    EXPECT_EQ(out.take(), ascii);
}

TEST(ConsoleOutput, CStringIsWrittenAsItIsAndReachesTheStringHooks) {
    static std::string hooked;
    auto hook = [](const char* text, int32_t length, int32_t zero) {
        hooked.append(text, size_t(length));
        EXPECT_EQ(zero, 0);
    };
    test::CapturedOutput out;
    hooked.clear();
    print::add_hooks(nullptr, hook);
    console::write_cstring("caf\xC3\xA9 \x1B[1m");
    print::remove_hooks(nullptr, hook);
    console::write_cstring("after");
    EXPECT_EQ(out.take(), "caf\xC3\xA9 \x1B[1mafter");
    EXPECT_EQ(hooked, "caf\xC3\xA9 \x1B[1m");
}

TEST(ConsoleOutput, ToATerminalBytesArriveAsWrittenWithLfLineEnds) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw;
    ASSERT_EQ(::tcgetattr(slave, &raw), 0);
    termios cooked = raw;
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &raw), 0);

    console::set_output_fd(slave);
    console::init();
    EXPECT_TRUE(console::is_console());
    std::string text = units(4, {'a', 0xE9, 0x20AC, 0x1F600, 27, '[', '3', '1', 'm', 'b'});
    console::write_text(text.data(), text.size(), 4, true);
    std::string l1 = "x\ny";
    console::write_text(l1.data(), l1.size(), 1, true);
    std::string raw_expect = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x1B[31mb\nx\ny\n";
    EXPECT_EQ(pty_read(master, raw_expect.size()), raw_expect);

    // With the terminal's own output processing on, it turns each LF into
    // CR LF: a CR of ours would show as CR CR LF.
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &cooked), 0);
    console::write_text(l1.data(), l1.size(), 1, true);
    EXPECT_EQ(pty_read(master, 6), "x\r\ny\r\n");

    console::set_output_fd(1);
    console::init();
    ::close(slave);
    ::close(master);

    test::CapturedOutput pipe_out;
    console::init();
    EXPECT_FALSE(console::is_console());
    console::set_output_fd(1);
    console::init();
}
