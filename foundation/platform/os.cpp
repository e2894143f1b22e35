#include "foundation/platform/os.hpp"

#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "foundation/arena.hpp"
#include "foundation/frame.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/platform/sandbox.hpp"

namespace kro::platform {

uint32_t alloc_pages(uint32_t size, bool clear) {
    uint32_t off = arena::commit(size, clear);
    if (!off) frame::throw_code(code::PAGE_ALLOC_FAILED);
    return off;
}

void free_pages(uint32_t offset, uint32_t size) {
    if (offset < arena::FIRST_OFFSET || size % arena::PAGE) frame::throw_code(code::PAGE_FREE_FAILED);
    arena::release(offset, size);
}

std::string get_current_dir() {
    std::string buf(256, '\0');
    for (;;) {
        if (::getcwd(buf.data(), buf.size())) {
            buf.resize(std::strlen(buf.c_str()));
            return buf;
        }
        if (errno != ERANGE) return {};
        buf.resize(buf.size() * 2);
    }
}

bool set_current_dir(const char* path) {
    KRO_SANDBOX_DENY(false);
    return ::chdir(path) == 0;
}

bool set_env(const char* name, const char* value) {
    KRO_SANDBOX_DENY(false);
    if (!value) return ::unsetenv(name) == 0;
    return ::setenv(name, value, 1) == 0;
}

int32_t get_env(const char* name, char* buffer, int32_t size) {
    const char* v = std::getenv(name);
    if (!v) return -1;
    size_t n = std::strlen(v);
    if (size < 0 || !buffer) size = 0;
    if (n + 1 > size_t(size)) return n + 1 > 0x7FFFFFFF ? 0x7FFFFFFF : int32_t(n + 1);
    std::memcpy(buffer, v, n + 1);
    return int32_t(n);
}

uint32_t wait_milliseconds(double seconds) {
    double ms = seconds * 1000.0;
    if (std::isnan(ms) || ms < 1.0) return 1;
    if (ms >= 2147483647.0) return 0x7FFFFFFF;  // the longest sleep the platform takes
    return uint32_t(ms);
}

void wait(double seconds) {
    KRO_SANDBOX_DENY();  // a random duration would only stall the run
    uint32_t ms = wait_milliseconds(seconds);
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

double get_time(bool precise) {
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    double day = double(ts.tv_sec % 86400);
    if (precise) day += double(ts.tv_nsec / 100 * 100) / 1e9;
    return day;
}

uint32_t zone_bits(int32_t m) {
    // Sign and magnitude are taken apart first, so that an offset of less than
    // an hour west of UTC keeps its sign bit (-0:30 is not +0:30).
    int64_t mag = m < 0 ? -int64_t(m) : int64_t(m);
    uint32_t hours = uint32_t(mag / 60) & 0x0F;
    uint32_t q = uint32_t((mag % 60) / 15) & 3;
    if (m < 0) hours |= 0x10;
    return ((hours << 2) | q) & 0x7F;
}

uint32_t get_date(bool utc) {
    time_t now = ::time(nullptr);
    tm t;
    uint32_t zone = 0;
    if (utc) {
        ::gmtime_r(&now, &t);
    } else {
        ::localtime_r(&now, &t);
        zone = zone_bits(int32_t(t.tm_gmtoff / 60));
    }
    return (uint32_t(t.tm_year + 1900) << 17) | (uint32_t(t.tm_mon + 1) << 12) | (uint32_t(t.tm_mday) << 7) | zone;
}

Clock read_clock() {
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    time_t now = ts.tv_sec;
    tm t;
    int32_t zone = 0;
    if (::localtime_r(&now, &t)) zone = int32_t(t.tm_gmtoff / 60);
    return Clock{int64_t(ts.tv_sec), int32_t(ts.tv_nsec / 100 * 100), zone};
}

void init() {
    console::hold_closed_standard_streams();
    // A closed pipe must not kill the process by a signal: writes fail with
    // EPIPE instead, and each writer decides (console output ends quietly).
    ::signal(SIGPIPE, SIG_IGN);
    console::init();
}

}  // namespace kro::platform
