// Terminal input of the text back-end: bytes to keys, mouse actions and
// cursor answers, sequences split across passes, and bytes that are no text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/terminal_input.hpp"

using namespace kro::tui;

namespace {

// Every action as a short text, for tables.
class Recorder : public InputSink {
public:
    void key(const KeyAction& k) override {
        std::string s = "key ";
        s += k.special ? "special " : "";
        s += std::to_string(k.code);
        s += modifiers(k.flags);
        got.push_back(s);
    }
    void mouse(const MouseAction& m) override {
        static const char* kinds[] = {"press", "release", "move", "wheel"};
        std::string s = kinds[int(m.kind)];
        if (m.kind == MouseKind::press || m.kind == MouseKind::release) {
            s += ' ';
            s += std::to_string(m.button);
        }
        if (m.kind == MouseKind::wheel) s += m.delta > 0 ? " +1" : " -1";
        s += ' ';
        s += std::to_string(int(m.x));
        s += ',';
        s += std::to_string(int(m.y));
        s += modifiers(m.flags);
        if (m.flags & FLAG_DOWN) s += " down";
        if (m.flags & FLAG_MID_DOWN) s += " mid-down";
        if (m.flags & FLAG_ALT_DOWN) s += " alt-down";
        got.push_back(s);
    }
    void cursor_report(int row, int column) override {
        got.push_back("cursor " + std::to_string(row) + "," + std::to_string(column));
    }
    static std::string modifiers(uint32_t f) {
        std::string s;
        if (f & FLAG_CONTROL) s += " ctrl";
        if (f & FLAG_SHIFT) s += " shift";
        if (f & FLAG_ALT) s += " alt";
        return s;
    }
    std::vector<std::string> got;
};

using Events = std::vector<std::string>;

struct Decoder {
    int frame_row = 0;
    InputDecoder d{frame_row};
    Recorder r;
    int64_t now = 0;  // the passes' clock: a frame's time from one to the next
    // One pass with these bytes.
    Events pass(const std::string& bytes) {
        r.got.clear();
        d.append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        d.decode(r, now);
        now += 33;
        return r.got;
    }
    // The bytes in one pass, then, long enough later, a pass with nothing
    // new (which decides whatever was left open).
    Events all(const std::string& bytes) {
        Events e = pass(bytes);
        now += InputDecoder::CUT_CHARACTER_WAIT_MS;
        Events more = pass("");
        e.insert(e.end(), more.begin(), more.end());
        return e;
    }
};

struct Case {
    const char* what;
    std::string bytes;
    Events expected;
};

void check_table(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Decoder d;
        EXPECT_EQ(d.all(c.bytes), c.expected);
        EXPECT_EQ(d.d.pending(), 0u);
    }
}

const std::string ESC = "\x1b";

TEST(GuiInputDecoding, TextAndControlKeys) {
    check_table({
        {"letter", "a", {"key 97"}},
        {"two letters", "ab", {"key 97", "key 98"}},
        {"two-byte character", "\xC3\xA9", {"key 233"}},
        {"three-byte character", "\xE4\xB8\xAD", {"key 20013"}},
        {"four-byte character", "\xF0\x9F\x98\x80", {"key 128512"}},
        {"Backspace as DEL", "\x7f", {"key 127"}},
        {"Backspace as BS", "\x08", {"key 127"}},
        {"line feed is Enter", "\n", {"key 13"}},
        {"carriage return is Enter", "\r", {"key 13"}},
        {"Tab", "\t", {"key 9"}},
        {"Ctrl-C is a byte", "\x03", {"key 3"}},
        {"Ctrl-Space gives no key", std::string("\0", 1), {}},
        {"Escape alone", ESC, {"key 27"}},
        {"Escape twice", ESC + ESC, {"key 27", "key 27"}},
        {"Alt with a letter gives nothing", ESC + "a", {}},
        {"the key after an Alt letter is kept", ESC + "az", {"key 122"}},
        {"Alt with a wide character gives nothing", ESC + "\xE4\xB8\xAD" "b", {"key 98"}},
        {"Alt with Enter gives nothing", ESC + "\r" "c", {"key 99"}},
    });
}

TEST(GuiInputDecoding, CursorEditingAndFunctionKeys) {
    check_table({
        {"up", ESC + "[A", {"key special -20"}},
        {"down", ESC + "[B", {"key special -21"}},
        {"right", ESC + "[C", {"key special -22"}},
        {"left", ESC + "[D", {"key special -23"}},
        {"end", ESC + "[F", {"key special -24"}},
        {"home", ESC + "[H", {"key special -25"}},
        {"home as 1~", ESC + "[1~", {"key special -25"}},
        {"end as 4~", ESC + "[4~", {"key special -24"}},
        {"insert", ESC + "[2~", {"key special -26"}},
        {"delete", ESC + "[3~", {"key special -27"}},
        {"page up", ESC + "[5~", {"key special -28"}},
        {"page down", ESC + "[6~", {"key special -29"}},
        {"F1 SS3", ESC + "OP", {"key special -31"}},
        {"F4 SS3", ESC + "OS", {"key special -34"}},
        {"F1 as 11~", ESC + "[11~", {"key special -31"}},
        {"F5", ESC + "[15~", {"key special -35"}},
        {"F6", ESC + "[17~", {"key special -36"}},
        {"F10", ESC + "[21~", {"key special -40"}},
        {"F11", ESC + "[23~", {"key special -41"}},
        {"F12", ESC + "[24~", {"key special -42"}},
        {"no F-key at 16~ or 22~", ESC + "[16~" + ESC + "[22~", {}},
        {"application-mode up", ESC + "OA", {"key special -20"}},
        {"keypad Enter", ESC + "OM", {"key 13"}},
        {"Linux console F1", ESC + "[[A", {"key special -31"}},
        {"back-tab is Tab with shift", ESC + "[Z", {"key 9 shift"}},
        {"Ctrl-Up", ESC + "[1;5A", {"key special -20 ctrl"}},
        {"Shift-Down", ESC + "[1;2B", {"key special -21 shift"}},
        {"Alt-Right", ESC + "[1;3C", {"key special -22 alt"}},
        {"Ctrl-Shift-End", ESC + "[1;6F", {"key special -24 ctrl shift"}},
        {"Ctrl-Delete", ESC + "[3;5~", {"key special -27 ctrl"}},
        {"Shift-F1", ESC + "[1;2P", {"key special -31 shift"}},
        {"Shift-F3 (no cursor answer asked)", ESC + "[1;2R", {"key special -33 shift"}},
        {"Ctrl-F5", ESC + "[15;5~", {"key special -35 ctrl"}},
        {"CSI P alone is no key", ESC + "[P", {}},
        {"unknown final", ESC + "[5x", {}},
        {"answers to queries never asked", ESC + "[?1;2c" + ESC + "[>0;10;1c", {}},
        {"focus reports", ESC + "[I" + ESC + "[O", {}},
        {"more than four parameters", ESC + "[1;2;3;4;5A", {}},
        {"sub-parameters", ESC + "[1:5A", {}},
        {"keys after keys", ESC + "[A" "x" + ESC + "[B", {"key special -20", "key 120", "key special -21"}},
    });
}

TEST(GuiInputDecoding, PastedTextAndStrings) {
    check_table({
        {"bracketed paste: the markers go, the text stays", ESC + "[200~hi\nyo" + ESC + "[201~",
         {"key 104", "key 105", "key 13", "key 121", "key 111"}},
        {"device control string skipped", ESC + "P1$r0m" + ESC + "\\x", {"key 120"}},
        {"operating system command ended by BEL", ESC + "]11;rgb:0/0/0\x07y", {"key 121"}},
        {"operating system command ended by ST", ESC + "]0;t" + ESC + "\\z", {"key 122"}},
        {"an escape inside a string cancels it", ESC + "Pab" + ESC + "[A", {"key special -20"}},
    });
}

TEST(GuiInputDecoding, BytesThatAreNoText) {
    const std::string R = "key 65533";
    check_table({
        {"continuation byte alone", "\x80" "a", {R, "key 97"}},
        {"byte that never leads", "\xFF", {R}},
        {"C0 and C1 lead bytes (overlong)", "\xC0\xAF" "\xC1\xBF", {R, R, R, R}},
        {"lead byte before ASCII", "\xC3" "a", {R, "key 97"}},
        {"overlong three-byte form", "\xE0\x80\xAF", {R, R, R}},
        {"surrogate half", "\xED\xA0\x80", {R, R, R}},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", {R, R, R, R}},
        {"character cut for good", "\xE4\xB8", {R}},
        {"sequence broken by ESC", ESC + "[1" + ESC + "[A", {"key special -20"}},
        {"sequence broken by a character", ESC + "[1\xC3\xA9", {"key 233"}},
        {"sequence broken by a control", ESC + "[12\r", {"key 13"}},
        {"lone ESC O", ESC + "O", {}},
    });
}

TEST(GuiInputDecoding, MouseReports) {
    check_table({
        {"SGR press and release", ESC + "[<0;5;3M" + ESC + "[<0;5;3m", {"press 0 4,2", "release 0 4,2"}},
        {"the same press twice: press, then a move with the button held", ESC + "[<0;5;3M" + ESC + "[<0;6;3M",
         {"press 0 4,2", "move 5,2 down"}},
        {"drag reports carry the motion bit", ESC + "[<0;1;1M" + ESC + "[<32;2;1M" + ESC + "[<0;2;1m",
         {"press 0 0,0", "move 1,0 down", "release 0 1,0"}},
        {"middle and right buttons", ESC + "[<1;1;1M" + ESC + "[<2;2;1M" + ESC + "[<34;3;1M",
         {"press 1 0,0", "press 2 1,0", "move 2,0 mid-down alt-down"}},
        {"plain motion", ESC + "[<35;10;5M", {"move 9,4"}},
        {"wheel up and down", ESC + "[<64;3;4M" + ESC + "[<65;3;4M", {"wheel +1 2,3", "wheel -1 2,3"}},
        {"horizontal wheel ignored", ESC + "[<66;1;1M" + ESC + "[<67;1;1M", {}},
        {"modifiers", ESC + "[<4;1;1M" + ESC + "[<8;1;1m" + ESC + "[<20;1;1M",
         {"press 0 0,0 shift", "release 0 0,0 alt", "press 0 0,0 ctrl shift"}},
        {"a release without its press", ESC + "[<2;7;7m", {"release 2 6,6"}},
        {"a first press after start is a press", ESC + "[<0;2;2M", {"press 0 1,1"}},
        {"two parameters are no report", ESC + "[<0;5M", {}},
        {"four parameters are no report", ESC + "[<0;5;3;1M", {}},
        {"extended encoding without the marker", ESC + "[32;5;3M" + ESC + "[35;5;3M" + ESC + "[67;6;3M",
         {"press 0 4,2", "release 0 4,2", "move 5,2"}},
        {"X10 encoding", ESC + "[M %#" + ESC + "[M@&#" + ESC + "[M#&#" "k",
         {"press 0 4,2", "move 5,2 down", "release 0 5,2", "key 107"}},
        {"huge coordinates are held to a bound", ESC + "[<35;99999999999;1M", {"move 99998,0"}},
    });
}

TEST(GuiInputDecoding, MouseRowsCountFromTheFrameAndCursorAnswersMoveIt) {
    Decoder d;
    d.d.accept_any_cursor_report(true);
    EXPECT_EQ(d.all(ESC + "[12;40R"), (Events{"cursor 11,39"}));
    EXPECT_EQ(d.frame_row, 11);
    EXPECT_EQ(d.d.cursor_row(), 11);
    EXPECT_EQ(d.d.cursor_column(), 39);
    EXPECT_EQ(d.all(ESC + "[<0;5;14M"), (Events{"press 0 4,2"}));
    d.frame_row = 0;
    EXPECT_EQ(d.all(ESC + "[<0;5;3m"), (Events{"release 0 4,2"}));

    // Not asked for: the same bytes are no answer, and ESC [ 1 ; 2 R is Shift-F3.
    Decoder plain;
    EXPECT_EQ(plain.all(ESC + "[12;40R"), Events{});
    EXPECT_EQ(plain.frame_row, 0);
}

TEST(GuiInputDecoding, SequencesSplitAcrossPassesDecodeOnce) {
    Decoder d;
    EXPECT_EQ(d.pass("\xE4"), Events{});
    EXPECT_TRUE(d.d.incomplete());
    EXPECT_EQ(d.pass("\xB8\xAD"), (Events{"key 20013"}));
    EXPECT_FALSE(d.d.incomplete());

    EXPECT_EQ(d.pass("x" + ESC + "[<0;5"), (Events{"key 120"}));
    EXPECT_EQ(d.d.pending(), 6u);  // the open part alone, moved to the front
    EXPECT_EQ(d.pass(";3M"), (Events{"press 0 4,2"}));
    EXPECT_EQ(d.d.pending(), 0u);

    // An ESC that ends a pass waits for the next: it may start a sequence.
    EXPECT_EQ(d.pass(ESC), Events{});
    EXPECT_EQ(d.pass("[A"), (Events{"key special -20"}));

    // Every byte in a pass of its own gives what all bytes in one pass give.
    const std::string stream = "a\xC3\xA9" + ESC + "[1;5C" + ESC + "[<0;5;3M" + ESC + "[<0;5;3m" + ESC + "OQ" +
                               ESC + "]0;t\x07" + ESC + "[3~\xF0\x9F\x98\x80" + ESC + "[Z";
    Decoder whole, bytewise;
    Events expected = whole.all(stream);
    Events got;
    for (char c : stream) {
        Events e = bytewise.pass(std::string(1, c));
        got.insert(got.end(), e.begin(), e.end());
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(expected.size(), 9u);
}

TEST(GuiInputDecoding, AnOpenSequenceWithoutMoreBytesIsDecidedAndSwallowsNothing) {
    struct Stale {
        const char* what;
        std::string open;
        Events when_decided;
    };
    const Stale cases[] = {
        {"cut CSI", ESC + "[1;5", {}},
        {"Alt-[", ESC + "[", {}},
        {"Alt-O", ESC + "O", {}},
        {"Alt-P is no device control string", ESC + "P", {}},
        {"an unfinished string gives its text back", ESC + "]ab", {"key 97", "key 98"}},
    };
    for (const Stale& c : cases) {
        SCOPED_TRACE(c.what);
        Decoder d;
        EXPECT_EQ(d.pass(c.open), Events{});
        EXPECT_TRUE(d.d.incomplete());
        EXPECT_EQ(d.pass(""), c.when_decided);
        EXPECT_EQ(d.d.pending(), 0u);
        EXPECT_EQ(d.pass("q"), (Events{"key 113"}));
    }
}

// The bytes of one character may come in separate reads with quiet passes
// between them: the character waits for them, for a while.
TEST(GuiInputDecoding, ACutCharacterWaitsForItsBytesThroughQuietPasses) {
    const int64_t WAIT = InputDecoder::CUT_CHARACTER_WAIT_MS;
    {
        SCOPED_TRACE("the rest comes after quiet passes");
        Decoder d;
        EXPECT_EQ(d.pass("x\xC3"), (Events{"key 120"}));
        for (int i = 0; i < 3; i++) EXPECT_EQ(d.pass(""), Events{});
        EXPECT_EQ(d.pass("\xA9"), (Events{"key 233"}));
        EXPECT_EQ(d.d.pending(), 0u);
    }
    {
        SCOPED_TRACE("four bytes in three reads, each within the wait of the one before");
        Decoder d;
        EXPECT_EQ(d.pass("\xF0"), Events{});
        d.now += WAIT - 40;
        EXPECT_EQ(d.pass(""), Events{});
        EXPECT_EQ(d.pass("\x9F\x98"), Events{});
        d.now += WAIT - 40;
        EXPECT_EQ(d.pass(""), Events{});
        EXPECT_EQ(d.pass("\x80"), (Events{"key 128512"}));
    }
    {
        SCOPED_TRACE("no more bytes for the whole wait: one replacement character");
        Decoder d;
        EXPECT_EQ(d.pass("\xE4\xB8"), Events{});
        d.now += WAIT;
        EXPECT_EQ(d.pass(""), (Events{"key 65533"}));
        EXPECT_EQ(d.d.pending(), 0u);
        EXPECT_EQ(d.pass("q"), (Events{"key 113"}));
    }
    {
        SCOPED_TRACE("a key instead of the rest decides it at once");
        Decoder d;
        EXPECT_EQ(d.pass("\xC3"), Events{});
        EXPECT_EQ(d.pass(""), Events{});
        EXPECT_EQ(d.pass("a"), (Events{"key 65533", "key 97"}));
    }
    {
        SCOPED_TRACE("Alt with a cut character waits the same way");
        Decoder d;
        EXPECT_EQ(d.pass(ESC + "\xC3"), Events{});
        EXPECT_EQ(d.pass(""), Events{});
        EXPECT_EQ(d.pass("\xA9z"), (Events{"key 122"}));
    }
    {
        SCOPED_TRACE("a lone ESC is still the Escape key after one quiet pass");
        Decoder d;
        EXPECT_EQ(d.pass(ESC), Events{});
        EXPECT_EQ(d.pass(""), (Events{"key 27"}));
    }
}

// A key handler that runs an inner event loop: it reads, decodes and clears
// the same buffer while the outer decode is under way.
class InnerLoop : public InputSink {
public:
    explicit InnerLoop(InputDecoder& d) : d_(d) {}
    void key(const KeyAction& k) override {
        got.push_back(char(k.code));
        if (k.code == 'a') {
            d_.clear();
            const uint8_t more[] = {'x', 0x1b, '['};
            d_.append(more, sizeof more);
            d_.decode(*this);
        }
    }
    void mouse(const MouseAction&) override {}
    std::string got;

private:
    InputDecoder& d_;
};

TEST(GuiInputDecoding, AnInnerLoopInAKeyHandlerLeavesTheOuterDecodeWhole) {
    int row = 0;
    InputDecoder d(row);
    InnerLoop sink(d);
    const std::string outer = "ab\x1b[<0;1";
    d.append(reinterpret_cast<const uint8_t*>(outer.data()), outer.size());
    d.decode(sink);
    EXPECT_EQ(sink.got, "axb");
    // Both open parts wait: the outer one (6 bytes) first, then the inner one.
    EXPECT_TRUE(d.incomplete());
    EXPECT_EQ(d.pending(), 8u);
}

TEST(GuiInputDecoding, ClearingForgetsOpenSequences) {
    Decoder d;
    d.pass(ESC + "[<0;1");
    d.d.clear();
    EXPECT_EQ(d.d.pending(), 0u);
    EXPECT_FALSE(d.d.incomplete());
    EXPECT_EQ(d.pass(";1M"), (Events{"key 59", "key 49", "key 77"}));
}

}  // namespace
