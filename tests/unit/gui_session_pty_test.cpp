// Windows of the text GUI as a person meets them on a terminal: the kro
// executable runs a script on a pseudo-terminal, keys are typed, and what the
// terminal is sent is read back. Ctrl-C as a key while a window waits and as
// an interrupt while a handler runs, the focus a window opens with, and the
// requesters on a terminal of 80 x 24.
#include <gtest/gtest.h>

#include <string>

#include "console_process.hpp"

using namespace kro::test;

namespace {

bool same_modes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

// A script run on a terminal of 80 x 24, in a folder of its own.
class Session : public ScratchDir, public PtySession {
public:
    explicit Session(const std::string& script) : PtySession({write(script)}, path, 24, 80, path, LIGHT) {}

    ::testing::AssertionResult shows(const std::string& text) {
        if (wait_for(text)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no \"" << text << "\" in:\n" << screen();
    }
    ::testing::AssertionResult typed(const std::string& keys, const std::string& text) {
        type(keys);
        return shows(text);
    }
    // The keys typed, the program ends with this status and the terminal's
    // modes and cursor as they were.
    ::testing::AssertionResult ends(const std::string& keys, int status) {
        type(keys);
        int got = wait_exit();
        if (got != status)
            return ::testing::AssertionFailure() << "status " << got << ", not " << status << ":\n" << screen();
        if (!same_modes(modes(), initial_modes())) return ::testing::AssertionFailure() << "the modes were left changed";
        size_t hidden = screen().rfind("\x1b[?25l");
        if (hidden != std::string::npos && screen().find("\x1b[?25h", hidden) == std::string::npos)
            return ::testing::AssertionFailure() << "the cursor was left hidden";
        return ::testing::AssertionSuccess();
    }

private:
    std::string write(const std::string& script) { return file("s.kro", "Kro []\n" + script + "\n"); }
};

const std::string ESC = "\x1b";

TEST(GuiSession, CtrlCIsAKeyWhileTheWindowWaitsAndStopsAHandlerThatLoops) {
    Session s(R"(view [
        button "key" on-key [if event/key = #"^C" [print "Ctrl-C key"]]
        button "loop" [print "looping" forever []]
    ])");
    ASSERT_TRUE(s.started());
    ASSERT_TRUE(s.shows("loop"));
    // Each time the frame comes back after the print, the handler is over.
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(s.typed("\x03", "Ctrl-C key"));
        ASSERT_TRUE(s.shows("loop"));
    }
    // Ctrl-C at once after the handler started: it has not run a moment yet.
    ASSERT_TRUE(s.typed("\t ", "looping"));
    EXPECT_TRUE(s.ends("\x03", 128 + SIGINT));
}

TEST(GuiSession, CtrlCStopsADialogsHandlerToo) {
    // Code that goes on after a dialog it opened has closed can be interrupted.
    Session s(R"(view [button "open" [
        view [button "close" [unview]]
        print "dialog closed"
        forever []
    ]])");
    ASSERT_TRUE(s.started());
    ASSERT_TRUE(s.shows("open"));
    ASSERT_TRUE(s.typed(" ", "close"));
    ASSERT_TRUE(s.typed(" ", "dialog closed"));
    EXPECT_TRUE(s.ends("\x03", 128 + SIGINT));
}

TEST(GuiSession, TheFaceAWindowOpensWithHasTheFocus) {
    // A text list holding the focus from the start shows its first item
    // selected: Down goes to the second.
    Session s(R"(view [
        text-list data ["a" "b" "c"] on-focus [print "list focused"] on-change [print ["changed to" face/selected]]
    ])");
    ASSERT_TRUE(s.started());
    ASSERT_TRUE(s.shows("list focused"));
    ASSERT_TRUE(s.typed(ESC + "[B", "changed to 2"));
    EXPECT_TRUE(s.ends(ESC, 0));
}

TEST(GuiSession, SettingARadioRedrawsTheOneItClears) {
    // Space sets the second radio; the first one's mark turns empty on the screen too.
    Session s(R"(view [radio "r1" data true radio "r2" on-change [print "r2 set"]])");
    ASSERT_TRUE(s.started());
    ASSERT_TRUE(s.shows("\u25C9 r1"));
    ASSERT_TRUE(s.typed("\t ", "r2 set"));
    EXPECT_TRUE(s.shows("\u25CB r1"));
    EXPECT_TRUE(s.ends(ESC, 0));
}

TEST(GuiSession, AListThatLosesTheFocusNoLongerMarksItsLine) {
    Session s(R"(view [text-list data ["a" "b"] button "B" on-focus [print "B focused"] on-key [print "B key"]])");
    ASSERT_TRUE(s.started());
    ASSERT_TRUE(s.shows(ESC + "[7ma"));
    ASSERT_TRUE(s.typed("\t", "B focused"));
    ASSERT_TRUE(s.typed("x", "B key"));
    const std::string& out = s.screen();
    size_t from = out.rfind("B focused"), to = out.rfind("B key");
    EXPECT_EQ(out.substr(from, to - from).find(ESC + "[7ma"), std::string::npos);
    EXPECT_TRUE(s.ends(ESC, 0));
}

TEST(GuiSession, RequestersFitAnEightyByTwentyFourTerminal) {
    // The frame is cut to the terminal's rows: what lies below never shows.
    struct Case {
        const char* call;
        const char* button;
    } cases[] = {{"request-file", " Open "}, {"request-dir", " OK "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        Session s(std::string("print [\"result\" mold ") + c.call + "]");
        ASSERT_TRUE(s.started());
        ASSERT_TRUE(s.shows("Selected:"));
        ASSERT_TRUE(s.shows(c.button));
        ASSERT_TRUE(s.shows(" Cancel "));
        ASSERT_TRUE(s.typed(ESC, "result none"));
        EXPECT_TRUE(s.ends("", 0));
    }
}

}  // namespace
