#include "foundation/platform/console_out.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "foundation/frame.hpp"
#include "foundation/print.hpp"

namespace kro::console {

namespace {
int out_fd = 1;
bool console_flag = false;

constexpr size_t BUF_SIZE = 1024;

// The reader of the output went away (a closed pipe): nothing printed from now
// on can arrive, so the process ends quietly, as a piped program does, with
// the status a shell shows for that (128 + SIGPIPE) and the terminal restored.
[[noreturn]] void reader_gone() {
    static bool ending = false;
    if (!ending) {
        ending = true;
        rt_error::run_exit_hooks();
    }
    ::_exit(128 + SIGPIPE);
}

// Standard output does not take what is written (a full disk, a closed
// descriptor, a device error): what is printed from now on is lost, so the
// process ends, saying why on standard error. Carrying on would end with
// status 0, a failure looking like success.
[[noreturn]] void output_failed(int error) {
    static bool ending = false;
    if (!ending) {
        ending = true;
        rt_error::run_exit_hooks();
    }
    char text[200];
    int n = snprintf(text, sizeof text, "*** cannot write the standard output: %s\n", strerror(error));
    if (n > 0 && ::write(2, text, size_t(n) < sizeof text ? size_t(n) : sizeof text - 1) < 0) {
    }
    ::_exit(1);
}

void write_all(const char* p, size_t n) {
    while (n) {
        ssize_t w = ::write(out_fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                // Output set non-blocking by whoever shares it: wait for room
                // rather than drop the bytes.
                pollfd room{out_fd, POLLOUT, 0};
                ::poll(&room, 1, -1);
                continue;
            }
            if (errno == EPIPE) reader_gone();
            output_failed(errno);
        }
        p += w;
        n -= size_t(w);
    }
}

// Buffers UTF-8 and writes it in chunks of about 1 KB.
struct Out {
    char buf[BUF_SIZE];
    size_t n = 0;
    void put_cp(uint32_t c) {
        if (n > BUF_SIZE - 4) drain();
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // lone surrogates are not text
        if (c < 0x80) {
            buf[n++] = char(c);
        } else if (c < 0x800) {
            buf[n++] = char(0xC0 | (c >> 6));
            buf[n++] = char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            buf[n++] = char(0xE0 | (c >> 12));
            buf[n++] = char(0x80 | ((c >> 6) & 0x3F));
            buf[n++] = char(0x80 | (c & 0x3F));
        } else if (c <= 0x10FFFF) {
            buf[n++] = char(0xF0 | (c >> 18));
            buf[n++] = char(0x80 | ((c >> 12) & 0x3F));
            buf[n++] = char(0x80 | ((c >> 6) & 0x3F));
            buf[n++] = char(0x80 | (c & 0x3F));
        } else {
            put_cp(0xFFFD);
        }
    }
    void drain() {
        write_all(buf, n);
        n = 0;
    }
};
}  // namespace

void init() { console_flag = isatty(out_fd) == 1; }

void hold_closed_standard_streams() {
    // Opened read-only, the descriptor stays unusable for output (a write fails
    // as on a closed one) and no file opened later can take its number.
    for (int fd = 0; fd <= 2; fd++) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

bool is_console() { return console_flag; }

void set_output_fd(int fd) { out_fd = fd; }

int output_fd() { return out_fd; }

void write_text(const void* text, size_t byte_length, int unit, bool newline) {
    Out out;
    const auto* p = static_cast<const uint8_t*>(text);
    switch (unit) {
        case 1:
            for (size_t i = 0; i < byte_length; i++) out.put_cp(p[i]);
            break;
        case 2:
            for (size_t i = 0; i + 1 < byte_length; i += 2) {
                uint16_t u;
                memcpy(&u, p + i, 2);
                out.put_cp(u);
            }
            break;
        case 4:
            for (size_t i = 0; i + 3 < byte_length; i += 4) {
                uint32_t u;
                memcpy(&u, p + i, 4);
                out.put_cp(u);
            }
            break;
        default:
            rt_error::no_switch_match();
    }
    if (newline) out.put_cp('\n');
    out.drain();
}

void write_utf8(const char* text, size_t n) { write_all(text, n); }

void write_cstring(const char* text) {
    size_t n = strlen(text);
    write_all(text, n);
    print::call_string_hooks(text, int32_t(n));
}

void flush() {}

}  // namespace kro::console
