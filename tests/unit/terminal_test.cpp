// The terminal layer: key bytes to key codes, raw mode and its restoration on
// every way out of the process, key timing, the cursor query, the window size,
// and redirected input read as UTF-8 lines.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <optional>
#include <thread>

#include "console/terminal.hpp"
#include "foundation/frame.hpp"
#include "pty_terminal.hpp"
#include "pty_ways_out.hpp"

using namespace kro;
using namespace kro::terminal;

namespace {

// ---- decoding ---------------------------------------------------------------------------

struct KeyCase {
    const char* what;
    std::string bytes;
    bool more;  // more bytes may still come
    int32_t key;
    size_t used;
};

TEST(KeyDecoding, BytesBecomeTheEditorsKeyCodes) {
    const KeyCase cases[] = {
        {"letter", "a", true, 'a', 1},
        {"only the first key is taken", "ab", true, 'a', 1},
        {"Enter", "\r", true, 13, 1},
        {"line feed is Enter", "\n", true, 13, 1},
        {"Backspace", "\x7f", true, 127, 1},
        {"Ctrl-H", "\x08", true, 8, 1},
        {"Ctrl-C", "\x03", true, 3, 1},
        {"Tab", "\t", true, 9, 1},
        {"two-byte character", "\xC3\xA9", true, 0xE9, 2},
        {"three-byte character", "\xE4\xB8\xAD!", true, 0x4E2D, 3},
        {"four-byte character", "\xF0\x9F\x98\x80", true, 0x1F600, 4},
        {"character cut, more to come", "\xE4\xB8", true, KEY_INCOMPLETE, 0},
        {"character cut for good", "\xE4\xB8", false, 0xFFFD, 2},
        {"continuation byte alone", "\x80" "a", true, 0xFFFD, 1},
        {"byte that never leads", "\xFF", true, 0xFFFD, 1},
        {"overlong form", "\xC0\xAF", true, 0xFFFD, 1},
        {"overlong three-byte form", "\xE0\x80\xAF", true, 0xFFFD, 1},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", true, 0xFFFD, 1},
        {"lead byte before ASCII", "\xC3" "a", true, 0xFFFD, 1},
        {"surrogate half passes for joining", "\xED\xA0\xBD", true, 0xD83D, 3},
        {"Up", "\x1b[A", true, KEY_UP, 3},
        {"Down", "\x1b[B", true, KEY_DOWN, 3},
        {"Right", "\x1b[C", true, KEY_RIGHT, 3},
        {"Left", "\x1b[D", true, KEY_LEFT, 3},
        {"application-mode Up", "\x1bOA", true, KEY_UP, 3},
        {"application-mode Left", "\x1bOD", true, KEY_LEFT, 3},
        {"Home", "\x1b[H", true, KEY_HOME, 3},
        {"End", "\x1b[F", true, KEY_END, 3},
        {"Home, SS3", "\x1bOH", true, KEY_HOME, 3},
        {"End, SS3", "\x1bOF", true, KEY_END, 3},
        {"Home, 1~", "\x1b[1~", true, KEY_HOME, 4},
        {"Home, 7~", "\x1b[7~", true, KEY_HOME, 4},
        {"End, 4~", "\x1b[4~", true, KEY_END, 4},
        {"End, 8~", "\x1b[8~", true, KEY_END, 4},
        {"Insert", "\x1b[2~", true, KEY_INSERT, 4},
        {"Delete", "\x1b[3~", true, KEY_DELETE, 4},
        {"Page Up", "\x1b[5~", true, KEY_PAGE_UP, 4},
        {"Page Down", "\x1b[6~", true, KEY_PAGE_DOWN, 4},
        {"Ctrl-Right: modifier ignored", "\x1b[1;5C", true, KEY_RIGHT, 6},
        {"Shift-Delete: modifier ignored", "\x1b[3;2~", true, KEY_DELETE, 6},
        {"Shift-Tab is Tab", "\x1b[Z", true, 9, 3},
        {"keypad Enter", "\x1bOM", true, 13, 3},
        {"function key", "\x1b[15~", true, KEY_NONE, 5},
        {"F1, SS3", "\x1bOP", true, KEY_NONE, 3},
        {"Linux console F1", "\x1b[[A", true, KEY_NONE, 4},
        {"paste start bracket", "\x1b[200~x", true, KEY_PASTE_START, 6},
        {"paste end bracket", "\x1b[201~", true, KEY_PASTE_END, 6},
        {"Alt-O before an escape sequence keeps the sequence", "\x1bO\x1b[A", true, 'O', 2},
        {"mouse report", "\x1b[<0;12;3M", true, KEY_NONE, 10},
        {"cursor report arriving late", "\x1b[5;10R", true, KEY_NONE, 7},
        {"sequence cut, more to come", "\x1b[1;5", true, KEY_INCOMPLETE, 0},
        {"sequence cut for good", "\x1b[1;5", false, KEY_NONE, 5},
        {"malformed sequence leaves the stray byte", "\x1b[1\x03", true, KEY_NONE, 3},
        {"Esc alone, more to come", "\x1b", true, KEY_INCOMPLETE, 0},
        {"Esc alone for good", "\x1b", false, 27, 1},
        {"Alt-b", "\x1b" "b", true, 'b', 2},
        {"Alt with a character", "\x1b\xC3\xA9", true, 0xE9, 3},
        {"Alt-[ for good", "\x1b[", false, '[', 2},
        {"Alt-O for good", "\x1bO", false, 'O', 2},
        {"Alt with an arrow", "\x1b\x1b[A", true, KEY_UP, 4},
        {"Esc Esc for good", "\x1b\x1b", false, 27, 2},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.what);
        size_t used = 99;
        int32_t k = decode_key(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), used, c.more);
        EXPECT_EQ(k, c.key);
        if (k != KEY_INCOMPLETE) {
            EXPECT_EQ(used, c.used);
        }
    }
}

// ---- raw mode ---------------------------------------------------------------------------

TEST(RawMode, EntersAndLeavesOnATerminalOnly) {
    test::PtyPair p;
    ASSERT_GE(p.slave, 0);
    set_input_fd(p.slave);
    console::set_output_fd(p.slave);
    EXPECT_TRUE(interactive());
    ASSERT_TRUE(enter_raw_mode());
    EXPECT_TRUE(raw_mode_active());
    termios t = p.modes();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | INLCR), 0u);
    EXPECT_NE(t.c_oflag & OPOST, 0u);  // LF still written as CR LF
    EXPECT_NE(t.c_oflag & ONLCR, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_TRUE(enter_raw_mode());  // again: the first saved modes stay
    leave_raw_mode();
    EXPECT_FALSE(raw_mode_active());
    EXPECT_TRUE(test::same_modes(p.modes(), p.cooked));
    leave_raw_mode();  // twice is harmless
    EXPECT_TRUE(test::same_modes(p.modes(), p.cooked));

    // Output to a pipe: not interactive; input from a pipe: no raw mode.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    console::set_output_fd(fds[1]);
    EXPECT_FALSE(interactive());
    set_input_fd(fds[0]);
    EXPECT_FALSE(enter_raw_mode());
    EXPECT_FALSE(raw_mode_active());
    int null_fd = ::open("/dev/null", O_RDONLY);
    EXPECT_FALSE(is_terminal(null_fd));  // a character device, but not a terminal
    ::close(null_fd);
    ::close(fds[0]);
    ::close(fds[1]);
    set_input_fd(0);
    console::set_output_fd(1);
}

// A child process takes raw mode on the pty and leaves by one way or another;
// the parent sees the modes before and after.
TEST(RawMode, IsRestoredOnEveryWayOut) {
    test::leave_every_way({
        [](int slave) {
            int null_fd = ::open("/dev/null", O_WRONLY);
            console::set_output_fd(null_fd);
            ::dup2(null_fd, 1);
            set_input_fd(slave);
            return enter_raw_mode() ? 'y' : 'n';
        },
        [](test::PtyPair& p, char b) {
            EXPECT_EQ(b, 'y');
            EXPECT_TRUE(p.raw());
        },
        [](test::PtyPair& p) { EXPECT_TRUE(test::same_modes(p.modes(), p.cooked)); },
    });
}

bool wait_until(const std::function<bool()>& pred) {
    auto deadline = std::chrono::steady_clock::now() + test::PtySession::PATIENCE;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(RawMode, IsLeftWhileStoppedAndTakenAgainOnContinuing) {
    test::StoppableChild child;
    test::PtyPair& p = child.pty;
    ASSERT_TRUE(child.start(
        [](int slave) {
            set_input_fd(slave);
            return enter_raw_mode() ? 'y' : 'n';
        },
        [](int) {
            for (;;) ::pause();
        }));
    char b = 0;
    ASSERT_TRUE(child.next(b));
    EXPECT_EQ(b, 'y');
    EXPECT_TRUE(p.raw());
    int status = 0;
    ASSERT_TRUE(child.signal(SIGTSTP, WUNTRACED, status));
    EXPECT_TRUE(WIFSTOPPED(status));
    EXPECT_TRUE(test::same_modes(p.modes(), p.cooked));
    child.resume();
    EXPECT_TRUE(wait_until([&] { return p.raw(); }));
    ASSERT_TRUE(child.signal(SIGTERM, 0, status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_TRUE(test::same_modes(p.modes(), p.cooked));
}

// ---- keys, the cursor query and the window size on a live pty -------------------------------

class TerminalOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        pty = std::make_unique<test::PtySession>(80, 24);
        ASSERT_TRUE(pty->ok());
        pty->attach();
        ASSERT_TRUE(enter_raw_mode());
    }
    void TearDown() override {
        leave_raw_mode();
        pty.reset();
    }
    // read_key on another thread while keys are typed here; the pty knows that
    // thread, so typing can wait for it. A read that does not end in time is
    // ended by a Ctrl-G typed here (and fails).
    int32_t key_after(const std::function<void()>& typing) {
        key_ = KEY_INCOMPLETE;
        std::atomic<pid_t> tid{0};
        std::thread t([&] {
            tid = ::gettid();
            key_ = read_key();
        });
        while (tid == 0) std::this_thread::yield();
        pty->set_program_thread(tid);
        typing();
        if (!wait_until([&] { return key_read(); })) {
            ADD_FAILURE() << "no key came";
            pty->type_now("\x07");
        }
        t.join();
        pty->set_program_thread(0);
        return key_;
    }
    int32_t next_key() {
        return key_after([] {});
    }
    bool key_read() const { return key_ != KEY_INCOMPLETE; }

    // A key typed in pieces, each once the reader has taken the one before and
    // waits for the rest. Answers nothing when a piece was taken the terminal's
    // wait for the rest of a sequence or longer after the piece before was
    // typed: a busy machine, on which the reader may rightly have given up
    // waiting; what is left of the pieces is dropped.
    std::optional<int32_t> key_in_pieces(const std::vector<std::string>& pieces) {
        using clock = std::chrono::steady_clock;
        constexpr auto ESC_WAIT = std::chrono::milliseconds(50);
        bool in_time = true;
        int32_t k = key_after([&] {
            clock::time_point typed_at = clock::now();
            pty->type_now(pieces[0]);
            for (size_t i = 1; i < pieces.size(); i++) {
                wait_until([&] { return key_read() || pty->program_waits(); });
                if (key_read()) {
                    in_time = false;
                    return;
                }
                clock::time_point next_at = clock::now();
                pty->type_now(pieces[i]);
                wait_until([&] { return key_read() || pty->unread_input() == 0; });
                if (clock::now() - typed_at >= ESC_WAIT) in_time = false;
                typed_at = next_at;
            }
        });
        if (in_time) return k;
        pty->unread_input();  // what is on its way arrives, to be dropped
        ::tcflush(pty->slave(), TCIFLUSH);
        discard_typed_ahead();
        return std::nullopt;
    }

    std::unique_ptr<test::PtySession> pty;
    std::atomic<int32_t> key_{KEY_INCOMPLETE};
};

TEST_F(TerminalOnPty, EscAloneIsEscButASequenceSplitInTimeIsOneKey) {
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(key_after([&] { pty->type_now("\x1b"); }), 27);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));  // not held for more
    // A sequence arriving in pieces is one key, and a character whose bytes
    // arrive apart is one character. A busy machine may deliver a piece too
    // late to tell: such tries are made again.
    struct Split {
        std::vector<std::string> pieces;
        int32_t key;
    };
    const Split splits[] = {
        {{"\x1b", "[1;", "5D"}, KEY_LEFT},
        {{"\xF0\x9F", "\x98\x80"}, 0x1F600},
    };
    for (const Split& c : splits) {
        std::optional<int32_t> k;
        for (int attempt = 0; attempt < 20 && !k; attempt++) k = key_in_pieces(c.pieces);
        ASSERT_TRUE(k.has_value()) << "no try delivered the pieces in time";
        EXPECT_EQ(*k, c.key);
    }
    // Keys typed ahead are read one by one.
    pty->type_now("x\x1b[Ay");
    EXPECT_EQ(next_key(), 'x');
    EXPECT_EQ(next_key(), KEY_UP);
    EXPECT_EQ(next_key(), 'y');
}

TEST_F(TerminalOnPty, CursorQueryKeepsKeysTypedMeanwhile) {
    pty->program_writes("\r\n\r\nabcd");
    pty->type_now("k\x1b[D");  // typed before the answer comes
    ASSERT_TRUE(pty->wait_typed_ahead(4));
    int col = -1, row = -1;
    ASSERT_TRUE(query_cursor(col, row, 1000));
    EXPECT_EQ(col, 4);
    EXPECT_EQ(row, 2);
    EXPECT_EQ(next_key(), 'k');
    EXPECT_EQ(next_key(), KEY_LEFT);

    // No answer: false after the wait, and nothing typed is lost.
    pty->answer_cursor_queries(false);
    pty->type_now("z");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(query_cursor(col, row, 100));
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(90));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));  // a busy machine may wake it late
    EXPECT_EQ(next_key(), 'z');
}

TEST_F(TerminalOnPty, WindowSizeAndItsChangesWhileWaitingForAKey) {
    static int seen_cols = 0, seen_rows = 0;
    ASSERT_TRUE(refresh_size());
    EXPECT_EQ(columns(), 80);
    EXPECT_EQ(rows(), 24);
    set_resize_hook([](int c, int r) {
        seen_cols = c;
        seen_rows = r;
    });
    int32_t k = key_after([&] {
        pty->settle();
        pty->resize(100, 30);  // while read_key waits
        EXPECT_EQ(seen_cols, 100);
        EXPECT_EQ(seen_rows, 30);
        pty->type_now("a");
    });
    EXPECT_EQ(k, 'a');  // the change itself is no key
    EXPECT_EQ(columns(), 100);
    EXPECT_EQ(rows(), 30);
    set_resize_hook(nullptr);

    // Output to a pipe: no size, the values stay.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    console::set_output_fd(fds[1]);
    set_input_fd(fds[0]);
    int c = -7, r = -7;
    EXPECT_FALSE(read_window_size(c, r));
    EXPECT_EQ(c, -7);
    EXPECT_FALSE(refresh_size());
    EXPECT_EQ(columns(), 100);
    pty->attach();
    ::close(fds[0]);
    ::close(fds[1]);
    ASSERT_TRUE(refresh_size());
}

TEST_F(TerminalOnPty, EndedInputFailsTheRead) {
    pty->type_now("q");
    EXPECT_EQ(next_key(), 'q');
    pty->hang_up();
    EXPECT_EQ(next_key(), KEY_FAILED);
    EXPECT_EQ(next_key(), KEY_FAILED);
}

// ---- redirected input ----------------------------------------------------------------------

// Standard input from a pipe holding the given bytes (written whole, then closed).
class PipedInput {
public:
    explicit PipedInput(const std::string& bytes) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        writer_ = std::thread([fd = fds[1], bytes] {
            size_t off = 0;
            while (off < bytes.size()) {
                ssize_t w = ::write(fd, bytes.data() + off, bytes.size() - off);
                if (w <= 0) break;
                off += size_t(w);
            }
            ::close(fd);
        });
        read_fd_ = fds[0];
        set_input_fd(read_fd_);
        reset_stdin_reader();
    }
    ~PipedInput() {
        writer_.join();
        set_input_fd(0);
        reset_stdin_reader();
        ::close(read_fd_);
    }

private:
    int read_fd_ = -1;
    std::thread writer_;
};

TEST(RedirectedInput, CharactersAreDecodedFromUtf8) {
    using namespace std::string_literals;
    PipedInput in("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"
                  "\xFF"          // never valid
                  "\xC3" "b"      // lead byte without its continuation
                  "\xED\xA0\x80"  // an encoded surrogate
                  "\xE0\x80\x80"  // overlong: three bad bytes
                  "\x00"
                  "\xE4\xB8"s);   // cut by the end of input
    const int32_t expect[] = {'a',    0xE9,   0x4E2D, 0x1F600, 0xFFFD, 0xFFFD, 'b', 0xFFFD,
                              0xFFFD, 0xFFFD, 0xFFFD, 0,       0xFFFD, -1,     -1};
    for (int32_t e : expect) EXPECT_EQ(stdin_read_char(), e);
}

TEST(RedirectedInput, LinesKeepTheirCarriageReturnAndEndTellsPartialFromNothing) {
    std::string big(10000, 'x');  // longer than the reader's buffer
    PipedInput in("one\r\ntwo\n\n" + big + "\nthr\xE2\x82\xAC" "e");
    const std::pair<std::u32string, ReadLine> expect[] = {
        {U"one\r", ReadLine::line},
        {U"two", ReadLine::line},
        {U"", ReadLine::line},
        {std::u32string(10000, U'x'), ReadLine::line},
        {U"thr\u20ACe", ReadLine::partial},
        {U"", ReadLine::end},
        {U"", ReadLine::end},
    };
    for (const auto& e : expect) {
        std::u32string line;
        EXPECT_EQ(stdin_readline(line), e.second);
        EXPECT_EQ(line, e.first);
    }
}

TEST(RedirectedInput, RawBytesComeAfterWhatTheLineReaderHolds) {
    PipedInput in("line\nrest of the bytes");
    std::u32string line;
    EXPECT_EQ(stdin_readline(line), ReadLine::line);
    EXPECT_EQ(line, U"line");
    std::string got;
    uint8_t buf[5];
    long n;
    while ((n = read_stdin(buf, sizeof buf)) > 0) {
        EXPECT_LE(n, 5);
        got.append(reinterpret_cast<char*>(buf), size_t(n));
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, "rest of the bytes");
    EXPECT_EQ(read_stdin(buf, 0), 0);
}

}  // namespace
