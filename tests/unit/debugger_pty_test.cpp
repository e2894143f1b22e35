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

// Types a command at the console prompt once it shows.
void at_prompt(PtySession& s, const std::string& line) {
    ASSERT_TRUE(s.wait_for(">> ")) << s.screen();
    s.type(line + "\r");
}

// Presses ENTER at the debugger's prompt n times (the next event each time).
void step(PtySession& s, int n) {
    for (int i = 0; i < n; i++) {
        ASSERT_TRUE(s.wait_for("debug> ")) << s.screen();
        s.type("\r");
    }
}

// What the terminal showed from the current position up to the next text
// (the text consumed), or "(none)".
std::string until(PtySession& s, const std::string& text) {
    size_t from = s.screen().size();
    if (!s.wait_for(text)) return "(none)";
    return s.screen().substr(from);
}

}  // namespace

TEST(DebuggerTerminal, SteppingWatchingStackAndContinuing) {
    ScratchDir home;
    PtySession s({}, home.path);
    ASSERT_TRUE(s.started());
    at_prompt(s, "f: func [a][a * 2]");
    at_prompt(s, "debug [x: 1 + 2 y: f x]");
    // the first event, the code that follows it and the expression stack
    ASSERT_TRUE(s.wait_for("-----> PUSH 1\r\n")) << s.screen();
    EXPECT_EQ(s.line_after("Input: "), "1 + 2 y: f x");
    ASSERT_TRUE(s.wait_for("\r\nStack: 1\r\n\r\n")) << s.screen();
    // ENTER: the next event; an operator taken from the code shows as EVAL
    step(s, 1);
    ASSERT_TRUE(s.wait_for("-----> EVAL +\r\n")) << s.screen();
    EXPECT_EQ(s.line_after("Input: "), "+ 2 y: f x");
    ASSERT_TRUE(s.wait_for("\r\n-empty stack-\r\n")) << s.screen();
    // a command that does not end the prompt is followed by a new prompt
    ASSERT_TRUE(s.wait_for("debug> "));
    s.type("watch x\r");
    EXPECT_EQ(until(s, "debug> ").find("----->"), std::string::npos) << s.screen();
    s.type("n\r");
    ASSERT_TRUE(s.wait_for("-----> OPEN +\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("Watch: x: unset\r\n")) << s.screen();
    // EVAL 2, PUSH 2, CALL + (action!), RETURN 3, then the assignment
    step(s, 3);
    ASSERT_TRUE(s.wait_for("-----> CALL + (action!)\r\n")) << s.screen();
    step(s, 2);
    // the event comes before the word is set: the watch shows it at the next one
    ASSERT_TRUE(s.wait_for("-----> SET x 3\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("Watch: x: unset\r\n")) << s.screen();
    step(s, 1);
    ASSERT_TRUE(s.wait_for("-----> OPEN f\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("Watch: x: 3\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("debug> "));
    s.type("s\r");
    std::string shown = until(s, "debug> ");
    EXPECT_NE(shown.find("\r\nStack: 3\r\nStack: f\r\n"), std::string::npos) << shown;
    s.type(":x\r");
    ASSERT_TRUE(s.wait_for("== 3\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("debug> "));
    // continue: no event stops the run any more
    s.type("c\r");
    shown = until(s, ">> ");
    EXPECT_EQ(shown.find("debug> "), std::string::npos) << shown;
    s.type("y\r");
    ASSERT_TRUE(s.wait_for("== 6")) << s.screen();
    // what was typed at "debug> " is gone from the history, the commands stay
    at_prompt(s, "reduce [find system/console/history \"watch x\" none? find system/console/history \"y\"]");
    ASSERT_TRUE(s.wait_for("== [none false]")) << s.screen();
    at_prompt(s, "quit");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(DebuggerTerminal, QuitStopsTheEvaluation) {
    ScratchDir home;
    PtySession s({}, home.path);
    at_prompt(s, "debug [print \"first\" print \"second\"]");
    ASSERT_TRUE(s.wait_for("-----> OPEN print\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("debug> "));
    s.type("q\r");
    std::string shown = until(s, "(halted)");
    EXPECT_EQ(shown.find("first"), std::string::npos) << shown;
    // the settings are those of a run that did not end normally: the display is off
    at_prompt(s, "system/tools/options/debug/active?");
    ASSERT_TRUE(s.wait_for("== false")) << s.screen();
    at_prompt(s, "quit");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(DebuggerTerminal, CallingFunctionsWithTheirLocals) {
    ScratchDir home;
    PtySession s({}, home.path);
    at_prompt(s, "g: func [n /local m][m: n + 1]");
    at_prompt(s, "debug [g 5]");
    ASSERT_TRUE(s.wait_for("-----> OPEN g\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("debug> "));
    s.type("+p\r");
    ASSERT_TRUE(s.wait_for("debug> "));
    s.type("+l\r");
    // EVAL 5, PUSH 5, CALL g: g's body has not started, no call is listed
    step(s, 3);
    EXPECT_EQ(until(s, "-----> CALL g (function!)\r\n").find("Call: "), std::string::npos) << s.screen();
    // the first event inside g's body
    step(s, 1);
    ASSERT_TRUE(s.wait_for("-----> PUSH 5\r\n")) << s.screen();
    EXPECT_EQ(s.line_after("Input: "), "n + 1");
    ASSERT_TRUE(s.wait_for("Call: g\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("  > n         : 5\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("  > m         : none\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("debug> "));
    s.type("p\r");
    ASSERT_TRUE(s.wait_for("Call: g\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("debug> "));
    s.type("c\r");
    at_prompt(s, "quit");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(DebuggerTerminal, HelpUnknownCommandsAndMistypedOnes) {
    ScratchDir home;
    PtySession s({}, home.path);
    at_prompt(s, "debug [1]");
    ASSERT_TRUE(s.wait_for("debug> ")) << s.screen();
    s.type("?\r");
    ASSERT_TRUE(s.wait_for("\t`quit` or `q`: exit debugger and stop evaluation.\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("debug> "));
    s.type("bogus\r");
    ASSERT_TRUE(s.wait_for("Unknown command!\r\n")) << s.screen();
    ASSERT_TRUE(s.wait_for("debug> "));
    // text that does not load is reported, and the prompt comes back
    s.type(":[\r");
    ASSERT_TRUE(s.wait_for("*** Syntax Error")) << s.screen();
    ASSERT_TRUE(s.wait_for("debug> "));
    s.type("c\r");
    at_prompt(s, "1 + 1");
    ASSERT_TRUE(s.wait_for("== 2")) << s.screen();
    at_prompt(s, "quit");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(DebuggerTerminal, AnErrorIsShownOnceThenTheRunEnds) {
    ScratchDir home;
    PtySession s({}, home.path);
    at_prompt(s, "debug [x: 1 / 0 print \"after\"]");
    ASSERT_TRUE(s.wait_for("debug> ")) << s.screen();
    s.type("c\r");
    ASSERT_TRUE(s.wait_for("-----> ERROR make error! [")) << s.screen();
    ASSERT_TRUE(s.wait_for("debug> "));
    s.type("\r");
    std::string shown = until(s, "*** Math Error: attempt to divide by zero");
    EXPECT_EQ(shown.find("debug> "), std::string::npos) << shown;
    EXPECT_EQ(s.screen().find("after\r\n"), std::string::npos) << s.screen();
    at_prompt(s, "quit");
    EXPECT_EQ(s.wait_exit(), 0);
}

TEST(DebuggerTerminal, LaterStopsAtTheStopMark) {
    ScratchDir home;
    PtySession s({}, home.path);
    at_prompt(s, "debug/later [a: 1 @stop b: 2]");
    // nothing before the mark is shown
    std::string shown = until(s, "-----> PUSH @stop\r\n");
    EXPECT_EQ(shown.find("-----> PUSH 1"), std::string::npos) << shown;
    step(s, 1);
    ASSERT_TRUE(s.wait_for("-----> PUSH 2\r\n")) << s.screen();
    step(s, 1);
    ASSERT_TRUE(s.wait_for("-----> SET b 2\r\n")) << s.screen();
    step(s, 1);
    at_prompt(s, "b");
    ASSERT_TRUE(s.wait_for("== 2")) << s.screen();
    at_prompt(s, "quit");
    EXPECT_EQ(s.wait_exit(), 0);
}
