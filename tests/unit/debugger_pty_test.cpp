// The interactive debugger on a terminal, as a person types at it: stepping
// from event to event, watching a word, the expression stack, the value of a
// word, the calling functions with their locals, help and unknown commands,
// continuing, quitting, an error met on the way, and a run that stops only at
// @stop. The lines typed at the "debug> " prompt leave the console's history.
#include <gtest/gtest.h>

#include <string>

#include "console_process.hpp"

using namespace kro::test;

namespace {

// Whether the terminal shows the text after what earlier waits consumed (the
// text consumed); the screen when it does not.
::testing::AssertionResult shows(PtySession& s, const std::string& text) {
    if (s.wait_for(text)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << text << "\" never came:\n" << s.screen();
}

// Whether the terminal shows each text in turn, each after the one before.
::testing::AssertionResult shows(PtySession& s, std::initializer_list<const char*> texts) {
    for (const char* text : texts) {
        ::testing::AssertionResult shown = shows(s, text);
        if (!shown) return shown;
    }
    return ::testing::AssertionSuccess();
}

// Types a command at the console prompt once it shows.
void at_prompt(PtySession& s, const std::string& line) {
    ASSERT_TRUE(shows(s, ">> "));
    s.type(line + "\r");
}

// Types a command at the debugger's prompt once it shows.
::testing::AssertionResult at_debug(PtySession& s, const std::string& line) {
    ::testing::AssertionResult prompt = shows(s, "debug> ");
    if (prompt) s.type(line + "\r");
    return prompt;
}

// Presses ENTER at the debugger's prompt n times (the next event each time).
void step(PtySession& s, int n) {
    for (int i = 0; i < n; i++) ASSERT_TRUE(at_debug(s, ""));
}

// What the terminal showed from the current position up to the next text
// (the text consumed), or "(none)".
std::string until(PtySession& s, const std::string& text) {
    size_t from = s.screen().size();
    if (!s.wait_for(text)) return "(none)";
    return s.screen().substr(from);
}

// The console started in a scratch home on a pty of its own.
class DebuggerTerminal : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(s.started()); }
    // Quits the console at its prompt; it ends well.
    void quit() {
        at_prompt(s, "quit");
        EXPECT_EQ(s.wait_exit(), 0);
    }
    ScratchDir home;
    PtySession s{{}, home.path};
};

}  // namespace

TEST_F(DebuggerTerminal, SteppingWatchingStackAndContinuing) {
    at_prompt(s, "f: func [a][a * 2]");
    at_prompt(s, "debug [x: 1 + 2 y: f x]");
    // the first event: the statement's first value taken from the code (EVAL),
    // the code that follows it and the expression stack
    ASSERT_TRUE(shows(s, "-----> EVAL x:\r\n"));
    EXPECT_EQ(s.line_after("Input: "), "x: 1 + 2 y: f x");
    ASSERT_TRUE(shows(s, "\r\n-empty stack-\r\n"));
    // ENTER: the next event; the value the assignment starts with, then pushed
    step(s, 1);
    ASSERT_TRUE(shows(s, "-----> EVAL 1\r\n"));
    EXPECT_EQ(s.line_after("Input: "), "1 + 2 y: f x");
    step(s, 1);
    ASSERT_TRUE(shows(s, {"-----> PUSH 1\r\n", "\r\nStack: 1\r\n\r\n"}));
    // an operator taken from the code shows as EVAL
    step(s, 1);
    ASSERT_TRUE(shows(s, "-----> EVAL +\r\n"));
    EXPECT_EQ(s.line_after("Input: "), "+ 2 y: f x");
    ASSERT_TRUE(shows(s, "\r\n-empty stack-\r\n"));
    // a command that does not end the prompt is followed by a new prompt
    ASSERT_TRUE(at_debug(s, "watch x"));
    EXPECT_EQ(until(s, "debug> ").find("----->"), std::string::npos) << s.screen();
    s.type("n\r");
    ASSERT_TRUE(shows(s, {"-----> OPEN +\r\n", "Watch: x: unset\r\n"}));
    // EVAL 2, PUSH 2, CALL + (action!), RETURN 3, then the assignment
    step(s, 3);
    ASSERT_TRUE(shows(s, "-----> CALL + (action!)\r\n"));
    step(s, 2);
    // the event comes before the word is set: the watch shows it at the next one
    ASSERT_TRUE(shows(s, {"-----> SET x 3\r\n", "Watch: x: unset\r\n"}));
    // the next statement's first value takes the last result off the stack
    step(s, 1);
    ASSERT_TRUE(shows(s, {"-----> EVAL y:\r\n", "Watch: x: 3\r\n", "\r\n-empty stack-\r\n"}));
    step(s, 2);
    ASSERT_TRUE(shows(s, "-----> OPEN f\r\n"));
    ASSERT_TRUE(at_debug(s, "s"));
    std::string shown = until(s, "debug> ");
    EXPECT_NE(shown.find("\r\nStack: f\r\n\r\n"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Stack: 3"), std::string::npos) << shown;
    s.type(":x\r");
    ASSERT_TRUE(shows(s, "== 3\r\n"));
    // continue: no event stops the run any more
    ASSERT_TRUE(at_debug(s, "c"));
    shown = until(s, ">> ");
    EXPECT_EQ(shown.find("debug> "), std::string::npos) << shown;
    s.type("y\r");
    ASSERT_TRUE(shows(s, "== 6"));
    // what was typed at "debug> " is gone from the history, the commands stay
    at_prompt(s, "reduce [find system/console/history \"watch x\" none? find system/console/history \"y\"]");
    ASSERT_TRUE(shows(s, "== [none false]"));
    quit();
}

TEST_F(DebuggerTerminal, QuitStopsTheEvaluation) {
    at_prompt(s, "debug [print \"first\" print \"second\"]");
    ASSERT_TRUE(shows(s, "-----> EVAL print\r\n"));
    ASSERT_TRUE(at_debug(s, "q"));
    std::string shown = until(s, "(halted)");
    EXPECT_EQ(shown.find("first"), std::string::npos) << shown;
    // the settings are those of a run that did not end normally: the display is off
    at_prompt(s, "system/tools/options/debug/active?");
    ASSERT_TRUE(shows(s, "== false"));
    quit();
}

TEST_F(DebuggerTerminal, CallingFunctionsWithTheirLocals) {
    at_prompt(s, "g: func [n /local m][m: n + 1]");
    at_prompt(s, "debug [g 5]");
    ASSERT_TRUE(shows(s, "-----> EVAL g\r\n"));
    step(s, 1);
    ASSERT_TRUE(shows(s, "-----> OPEN g\r\n"));
    ASSERT_TRUE(at_debug(s, "+p"));
    ASSERT_TRUE(at_debug(s, "+l"));
    // EVAL 5, PUSH 5, CALL g: g's body has not started, no call is listed
    step(s, 3);
    EXPECT_EQ(until(s, "-----> CALL g (function!)\r\n").find("Call: "), std::string::npos) << s.screen();
    // the first event inside g's body
    step(s, 1);
    ASSERT_TRUE(shows(s, "-----> EVAL m:\r\n"));
    EXPECT_EQ(s.line_after("Input: "), "m: n + 1");
    ASSERT_TRUE(shows(s, {"Call: g\r\n", "  > n         : 5\r\n", "  > m         : none\r\n"}));
    ASSERT_TRUE(at_debug(s, "p"));
    ASSERT_TRUE(shows(s, "Call: g\r\n"));
    ASSERT_TRUE(at_debug(s, "c"));
    quit();
}

TEST_F(DebuggerTerminal, HelpUnknownCommandsAndMistypedOnes) {
    at_prompt(s, "debug [1]");
    ASSERT_TRUE(at_debug(s, "?"));
    ASSERT_TRUE(shows(s, "\t`quit` or `q`: exit debugger and stop evaluation.\r\n"));
    ASSERT_TRUE(at_debug(s, "bogus"));
    ASSERT_TRUE(shows(s, "Unknown command!\r\n"));
    // text that does not load is reported, and the prompt comes back
    ASSERT_TRUE(at_debug(s, ":["));
    ASSERT_TRUE(shows(s, "*** Syntax Error"));
    ASSERT_TRUE(at_debug(s, "c"));
    at_prompt(s, "1 + 1");
    ASSERT_TRUE(shows(s, "== 2"));
    quit();
}

TEST_F(DebuggerTerminal, AnErrorIsShownOnceThenTheRunEnds) {
    at_prompt(s, "debug [x: 1 / 0 print \"after\"]");
    ASSERT_TRUE(at_debug(s, "c"));
    ASSERT_TRUE(shows(s, "-----> ERROR make error! ["));
    ASSERT_TRUE(at_debug(s, ""));
    std::string shown = until(s, "*** Math Error: attempt to divide by zero");
    EXPECT_EQ(shown.find("debug> "), std::string::npos) << shown;
    EXPECT_EQ(s.screen().find("after\r\n"), std::string::npos) << s.screen();
    quit();
}

TEST_F(DebuggerTerminal, LaterStopsAtTheStopMark) {
    at_prompt(s, "debug/later [a: 1 @stop b: 2]");
    // nothing before the mark is shown; the mark is the first event, taken
    // from the code
    std::string shown = until(s, "-----> EVAL @stop\r\n");
    EXPECT_EQ(shown.find("----->"), shown.rfind("-----> EVAL @stop")) << shown;
    step(s, 1);
    ASSERT_TRUE(shows(s, "-----> PUSH @stop\r\n"));
    step(s, 1);
    ASSERT_TRUE(shows(s, "-----> EVAL b:\r\n"));
    step(s, 2);
    ASSERT_TRUE(shows(s, "-----> PUSH 2\r\n"));
    step(s, 1);
    ASSERT_TRUE(shows(s, "-----> SET b 2\r\n"));
    step(s, 1);
    at_prompt(s, "b");
    ASSERT_TRUE(shows(s, "== 2"));
    quit();
}
