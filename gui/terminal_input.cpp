#include "gui/terminal_input.hpp"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "console/terminal.hpp"
#include "foundation/unicode.hpp"
#include "gui/cell_grid.hpp"
#include "gui/terminal_control.hpp"
#include "foundation/platform/sandbox.hpp"

namespace kro::tui {

namespace {

constexpr uint8_t ESC = 0x1B;
constexpr int32_t REPLACEMENT = 0xFFFD;
// Beyond this a sequence still open is decided as it stands.
constexpr size_t MAX_OPEN_SEQUENCE = 4096;
// Parameters kept beyond this value are clamped (coordinates, key numbers).
constexpr int MAX_PARAMETER = 99999;

// Modifier parameter of a key sequence (1 + shift 1, alt 2, control 4).
uint32_t modifier_flags(int m) {
    if (m < 2) return 0;
    int bits = m - 1;
    uint32_t f = 0;
    if (bits & 1) f |= FLAG_SHIFT;
    if (bits & 2) f |= FLAG_ALT;
    if (bits & 4) f |= FLAG_CONTROL;
    return f;
}

// The special key of ESC [ n ~, or 0.
int32_t tilde_key(int n) {
    switch (n) {
        case 1: case 7: return KEY_HOME;
        case 2: return KEY_INSERT;
        case 3: return KEY_DELETE;
        case 4: case 8: return KEY_END;
        case 5: return KEY_PAGE_UP;
        case 6: return KEY_PAGE_DOWN;
        case 11: return KEY_F1;
        case 12: return KEY_F1 - 1;
        case 13: return KEY_F1 - 2;
        case 14: return KEY_F1 - 3;
        case 15: return KEY_F1 - 4;  // F5
        case 17: return KEY_F1 - 5;
        case 18: return KEY_F1 - 6;
        case 19: return KEY_F1 - 7;
        case 20: return KEY_F1 - 8;
        case 21: return KEY_F1 - 9;  // F10
        case 23: return KEY_F1 - 10;
        case 24: return KEY_F1 - 11;  // F12
        default: return 0;
    }
}

// The special key of a final letter (cursor keys, Home, End, F1-F4), or 0.
int32_t letter_key(uint8_t final) {
    switch (final) {
        case 'A': return KEY_UP;
        case 'B': return KEY_DOWN;
        case 'C': return KEY_RIGHT;
        case 'D': return KEY_LEFT;
        case 'F': return KEY_END;
        case 'H': return KEY_HOME;
        case 'P': return KEY_F1;
        case 'Q': return KEY_F1 - 1;
        case 'R': return KEY_F1 - 2;
        case 'S': return KEY_F1 - 3;
        default: return 0;
    }
}

}  // namespace

void InputDecoder::append(const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    bytes_.insert(bytes_.end(), bytes, bytes + n);
    fresh_ = true;
}

void InputDecoder::clear() {
    bytes_.clear();
    incomplete_ = false;
    fresh_ = false;
    cut_since_ = -1;
}

void InputDecoder::decode(InputSink& sink) {
    using namespace std::chrono;
    decode(sink, duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void InputDecoder::decode(InputSink& sink, int64_t now_ms) {
    // Without new bytes since the last pass, an open sequence will not be
    // completed any more: it is decided as it stands. A cut character is
    // decided only when it has waited a while.
    bool overflow = bytes_.size() > MAX_OPEN_SEQUENCE;
    bool fresh = fresh_;
    Waiting wait{!fresh || overflow,
                 overflow || (!fresh && cut_since_ >= 0 && now_ms - cut_since_ >= CUT_CHARACTER_WAIT_MS)};
    fresh_ = false;
    incomplete_ = false;
    // The bytes are taken out first: a sink may run an inner event loop that
    // reads, decodes or clears the buffer meanwhile.
    std::vector<uint8_t> in;
    in.swap(bytes_);
    size_t i = 0;
    bool open = false;
    while (i < in.size()) {
        uint8_t b = in[i];
        int used;
        wait.cut = false;
        if (b == ESC) {
            used = escape(in, i, wait, sink);
        } else if (b < 32 || b == 127) {
            int32_t code = b == 8 ? 127 : b == 10 ? 13 : b;
            if (code != 0) sink.key({code, false, 0});
            used = 1;
        } else {
            used = utf8(in, i, wait, sink);
        }
        if (used == NEED_MORE) {
            open = true;
            break;
        }
        i += size_t(used);
    }
    // A cut character's wait starts again whenever bytes come.
    if (!open || !wait.cut) cut_since_ = -1;
    else if (fresh || cut_since_ < 0) cut_since_ = now_ms;
    if (open) {
        // The open part goes before whatever arrived meanwhile.
        in.erase(in.begin(), in.begin() + ptrdiff_t(i));
        in.insert(in.end(), bytes_.begin(), bytes_.end());
        in.swap(bytes_);
        incomplete_ = true;
    } else if (bytes_.empty()) {
        in.clear();
        in.swap(bytes_);  // keeps the storage
    }
}

int InputDecoder::utf8(const Bytes& in, size_t at, Waiting& wait, InputSink& sink) {
    // Surrogate halves are refused: a key is a whole character. A refused byte
    // starts what comes next.
    size_t used = 0;
    int32_t cp = unicode::decode_utf8_checked(&in[at], in.size() - at, &used, false);
    if (cp == unicode::UTF8_CUT && !wait.cut_final) {
        wait.cut = true;
        return NEED_MORE;
    }
    sink.key({cp < 0 ? REPLACEMENT : cp, false, 0});
    return int(used);
}

int InputDecoder::escape(const Bytes& in, size_t at, Waiting& wait, InputSink& sink) {
    bool final = wait.final;
    size_t n = in.size() - at;
    if (n == 1) {
        if (!final) return NEED_MORE;
        sink.key({27, false, 0});
        return 1;
    }
    uint8_t c = in[at + 1];
    switch (c) {
        case '[': return csi(in, at, final, sink);
        case 'P':
        case ']': return string_sequence(in, at, final);
        case ESC:
            // Escape pressed, then whatever the second ESC starts.
            sink.key({27, false, 0});
            return 1;
        case 'O': {
            if (n == 2) return final ? 2 : NEED_MORE;
            uint8_t k = in[at + 2];
            if (k < 0x40 || k > 0x7E) return 2;  // Alt-O before something else
            if (k == 'M') {
                sink.key({13, false, 0});  // keypad Enter
            } else if (int32_t key = letter_key(k)) {
                sink.key({key, true, 0});
            }
            return 3;
        }
        default: break;
    }
    // Alt with a key: the pair is no key; the whole character after ESC goes.
    if (c < 0x80) return 2;
    size_t used = 0;
    if (unicode::decode_utf8_checked(&in[at + 1], n - 1, &used, false) == unicode::UTF8_CUT && !wait.cut_final) {
        wait.cut = true;
        return NEED_MORE;
    }
    return 1 + int(used);
}

int InputDecoder::string_sequence(const Bytes& in, size_t at, bool final) {
    // DCS and OSC strings end at ESC \ (an OSC also at BEL).
    bool osc = in[at + 1] == ']';
    for (size_t i = at + 2; i < in.size(); i++) {
        uint8_t b = in[i];
        if (osc && b == 7) return int(i + 1 - at);
        if (b != ESC) continue;
        if (i + 1 >= in.size()) break;
        if (in[i + 1] == '\\') return int(i + 2 - at);
        return int(i - at);  // another ESC cancels the string
    }
    if (!final) return NEED_MORE;
    // Never finished: it was Alt with P or ], and what followed is kept.
    return 2;
}

int InputDecoder::csi(const Bytes& in, size_t at, bool final, InputSink& sink) {
    size_t i = at + 2;
    size_t end = in.size();
    if (i >= end) return final ? 2 : NEED_MORE;
    uint8_t marker = 0;
    if (in[i] >= '<' && in[i] <= '?') marker = in[i++];
    // The Linux console's function keys: ESC [ [ A .. E.
    if (marker == 0 && i < end && in[i] == '[') {
        if (i + 1 >= end) return final ? int(end - at) : NEED_MORE;
        uint8_t k = in[i + 1];
        if (k >= 'A' && k <= 'E') sink.key({KEY_F1 - (k - 'A'), true, 0});
        return int(i + 2 - at);
    }
    int params[4] = {0, 0, 0, 0};
    int count = 0;     // parameters stored
    int current = 0;
    bool any = false;  // a digit or separator seen
    bool odd = false;  // more than four parameters, sub-parameters or intermediates
    uint8_t final_byte = 0;
    for (; i < end; i++) {
        uint8_t b = in[i];
        if (b >= '0' && b <= '9') {
            current = current * 10 + (b - '0');
            if (current > MAX_PARAMETER) current = MAX_PARAMETER;
            any = true;
        } else if (b == ';') {
            if (count < 4) params[count] = current;
            else odd = true;
            count++;
            current = 0;
            any = true;
        } else if (b >= 0x20 && b <= 0x3F) {
            odd = true;  // ':' sub-parameters, private bytes in between, intermediates
        } else if (b >= 0x40 && b <= 0x7E) {
            final_byte = b;
            break;
        } else {
            // ESC, another control or a byte that is no part of a sequence:
            // the sequence is abandoned and that byte decoded afresh.
            return int(i - at);
        }
        if (i - at > 64) odd = true;
    }
    if (final_byte == 0) return final ? int(end - at) : NEED_MORE;
    int used = int(i + 1 - at);
    if (any) {
        if (count < 4) params[count] = current;
        else odd = true;
        count++;
    }
    if (odd) return used;

    // X10 mouse encoding: ESC [ M and three bytes of button, column and row + 32.
    if (marker == 0 && final_byte == 'M' && count == 0) {
        if (i + 3 >= end) return final ? int(end - at) : NEED_MORE;
        int b = in[i + 1] - 32, x = in[i + 2] - 32, y = in[i + 3] - 32;
        mouse_report(b, x, y, false, false, sink);
        return used + 3;
    }
    if (final_byte == 'M' || final_byte == 'm') {
        if (count != 3) return used;
        if (marker == '<') {
            mouse_report(params[0], params[1], params[2], final_byte == 'm', true, sink);
        } else if (marker == 0) {
            // The other extended encoding: the button code still carries its 32.
            int b = params[0] >= 32 ? params[0] - 32 : params[0];
            mouse_report(b, params[1], params[2], final_byte == 'm', final_byte == 'm', sink);
        }
        return used;
    }
    if (marker != 0) return used;  // answers to queries never asked
    if (final_byte == 'R' && count == 2 && (any_report_ || take_cursor_request())) {
        cursor_row_ = params[0] - 1;
        cursor_column_ = params[1] - 1;
        frame_row_ = cursor_row_ < 0 ? 0 : cursor_row_;
        sink.cursor_report(cursor_row_, cursor_column_);
        return used;
    }
    if (final_byte == 'Z' && count == 0) {
        sink.key({9, false, FLAG_SHIFT});
        return used;
    }
    if (final_byte == '~') {
        if (count < 1 || count > 2) return used;
        if (int32_t key = tilde_key(params[0])) sink.key({key, true, count == 2 ? modifier_flags(params[1]) : 0});
        return used;
    }
    if (int32_t key = letter_key(final_byte)) {
        // Plain, or 1 ; modifier. F1-F4 come this way only with a modifier.
        bool plain = count == 0;
        bool modified = count == 2 && params[0] <= 1;
        bool is_f = key <= KEY_F1;
        if ((plain && !is_f) || modified) sink.key({key, true, modified ? modifier_flags(params[1]) : 0});
    }
    return used;
}

void InputDecoder::mouse_report(int b, int column, int row, bool release, bool sgr, InputSink& sink) {
    if (b < 0 || (b & 128)) return;  // buttons 8 and up
    int button = (b & 3) | ((b & 64) >> 4);
    uint32_t flags = uint32_t((b >> 2) & 3) * FLAG_SHIFT;
    if (b & 16) flags |= FLAG_CONTROL;
    bool motion = (b & 32) != 0;
    float x = float(column - 1);
    float y = float(row - frame_row_ - 1);
    auto held_flags = [this] {
        uint32_t f = 0;
        if (held_ & 1) f |= FLAG_DOWN;
        if (held_ & 2) f |= FLAG_MID_DOWN;
        if (held_ & 4) f |= FLAG_ALT_DOWN;
        return f;
    };
    if (button >= 6) return;
    if (button >= 4) {
        if (!release) sink.mouse({MouseKind::wheel, -1, x, y, flags, button == 4 ? 1 : -1});
        return;
    }
    if (button == 3) {
        if (motion || sgr) {
            sink.mouse({MouseKind::move, -1, x, y, flags | held_flags(), 0});
            return;
        }
        // The older encodings report a release without saying which button.
        for (int k = 0; k < 3; k++) {
            if (!(held_ & (1u << k))) continue;
            held_ &= ~(1u << k);
            sink.mouse({MouseKind::release, k, x, y, flags, 0});
        }
        return;
    }
    unsigned bit = 1u << button;
    if (release) {
        held_ &= ~bit;
        sink.mouse({MouseKind::release, button, x, y, flags, 0});
    } else if (motion || (held_ & bit)) {
        // Dragging, or the same button reported pressed again.
        held_ |= bit;
        sink.mouse({MouseKind::move, -1, x, y, flags | held_flags(), 0});
    } else {
        held_ |= bit;
        sink.mouse({MouseKind::press, button, x, y, flags, 0});
    }
}

// ---- the live terminal --------------------------------------------------------------------------

namespace {
bool screen_reset = false;
}  // namespace

InputDecoder& input() {
    static InputDecoder decoder(frame().first_row);
    return decoder;
}

int read_console_input(bool process) {
    int count = 0;
    if (terminal::take_resumed() && reapply_screen_modes()) screen_reset = true;
    if (terminal::take_window_changed()) {
        update_screen_size();
        count++;
    }
    // Keys typed while a handler ran, which the interrupt watcher took in.
    std::vector<uint8_t> watched;
    take_watched_input(watched);
    if (process && !watched.empty()) {
        input().append(watched.data(), watched.size());
        count += int(watched.size());
    }
    int fd = terminal::input_fd();
    if (!terminal::is_terminal(fd)) return count;
    uint8_t buf[4096];
    // A flood of input is taken in bounded portions, one per pass.
    for (int rounds = 0; rounds < 16; rounds++) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || !(p.revents & POLLIN)) break;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        if (process) input().append(buf, size_t(n));
        count += int(n);
    }
    return count;
}

void decode_input(InputSink& sink, int64_t now_ms) { input().decode(sink, now_ms); }

void clear_input() { input().clear(); }

bool take_screen_reset() {
    bool r = screen_reset;
    screen_reset = false;
    return r;
}

bool wait_for_input(int timeout_ms) {
    KRO_SANDBOX_DENY(false);
    int fd = terminal::input_fd();
    int wake = terminal::wake_fd();
    pollfd fds[2];
    int n = 0;
    if (terminal::is_terminal(fd)) fds[n++] = {fd, POLLIN, 0};
    int wake_at = -1;
    if (wake >= 0) {
        wake_at = n;
        fds[n++] = {wake, POLLIN, 0};
    }
    int r = ::poll(fds, nfds_t(n), timeout_ms < 0 ? 0 : timeout_ms);
    if (r < 0) return errno == EINTR;  // a signal ended the wait
    if (r == 0) return false;
    if (wake_at >= 0 && (fds[wake_at].revents & POLLIN)) {
        char drain[64];
        while (::read(wake, drain, sizeof drain) > 0) {
        }
    }
    return true;
}

}  // namespace kro::tui
