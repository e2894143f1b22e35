#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "foundation/arena.hpp"
#include "foundation/frame.hpp"
#include "foundation/platform/os.hpp"
#include "foundation/platform/shared_lib.hpp"

using namespace kro;

namespace {

struct Date {
    uint32_t year, month, day, zone;
};
Date unpack(uint32_t d) { return {d >> 17, (d >> 12) & 0x1F, (d >> 7) & 0x1F, d & 0x7F}; }

// Sets TZ for the test and puts the old value back afterwards.
class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (old) old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (had_) ::setenv("TZ", old_.c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

}  // namespace

TEST(Platform, ZoneBits) {
    struct Case {
        int32_t minutes_east;
        uint32_t bits;
    };
    const Case cases[] = {
        {0, 0},
        {330, (5 << 2) | 2},              // 5 h 30 east
        {-480, ((0x10 | 8) << 2) | 0},    // 8 h west
        {345, (5 << 2) | 3},              // 5 h 45 east
        {60, 1 << 2},
        {-210, ((0x10 | 3) << 2) | 2},    // 3 h 30 west
        {-570, ((0x10 | 9) << 2) | 2},
        {840, 14 << 2},                   // 14 h east: the widest zone
        {-720, ((0x10 | 12) << 2)},
        {-30, (0x10 << 2) | 2},           // under an hour west keeps the sign
        {15, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::zone_bits(c.minutes_east), c.bits) << c.minutes_east;
}

TEST(Platform, GetDateCarriesTheLocalZone) {
    struct Case {
        const char* tz;
        uint32_t zone;
    };
    for (Case c : {Case{"XST-5:30", 22}, Case{"YST8", 96}, Case{"UTC0", 0}}) {
        SCOPED_TRACE(c.tz);
        TimeZone zone(c.tz);
        time_t now = ::time(nullptr);
        tm t;
        ::localtime_r(&now, &t);
        Date d = unpack(platform::get_date(false));
        EXPECT_EQ(d.zone, c.zone);
        EXPECT_EQ(d.year, uint32_t(t.tm_year + 1900));
        EXPECT_EQ(d.month, uint32_t(t.tm_mon + 1));
        EXPECT_EQ(d.day, uint32_t(t.tm_mday));

        ::gmtime_r(&now, &t);
        Date u = unpack(platform::get_date(true));
        EXPECT_EQ(u.zone, 0u);
        EXPECT_EQ(u.year, uint32_t(t.tm_year + 1900));
        EXPECT_EQ(u.month, uint32_t(t.tm_mon + 1));
        EXPECT_EQ(u.day, uint32_t(t.tm_mday));
    }
}

TEST(Platform, GetTimeIsSecondsOfTheUtcDay) {
    double whole = platform::get_time(false);
    double precise = platform::get_time(true);
    double expected = double(::time(nullptr) % 86400);
    EXPECT_GE(whole, 0.0);
    EXPECT_LT(whole, 86400.0);
    EXPECT_EQ(whole, std::floor(whole));
    EXPECT_GE(precise, 0.0);
    EXPECT_LT(precise, 86400.0);
    // Within a couple of seconds of the clock (allowing for midnight between the calls).
    double gap = std::fabs(expected - whole);
    EXPECT_TRUE(gap <= 2.0 || gap >= 86398.0) << whole << " vs " << expected;
    gap = std::fabs(precise - whole);
    EXPECT_TRUE(gap <= 2.0 || gap >= 86398.0) << precise << " vs " << whole;
    // The fraction is kept to 100 ns.
    double ns = std::round((precise - std::floor(precise)) * 1e9);
    EXPECT_EQ(std::fmod(ns, 100.0), 0.0) << ns;
}

TEST(Platform, WaitMilliseconds) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double seconds;
        uint32_t ms;
    };
    const Case cases[] = {
        {0.0004, 1},
        {2.5, 2500},
        {0.0, 1},
        {-5.0, 1},
        {0.0015, 1},
        {0.0025, 2},          // truncated
        {1.0, 1000},
        {2147483.0, 2147483000},
        {3000000.0, 0x7FFFFFFF},
        {1e12, 0x7FFFFFFF},   // longer than the platform can sleep: the longest sleep
        {inf, 0x7FFFFFFF},
        {-inf, 1},
        {std::numeric_limits<double>::quiet_NaN(), 1},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::wait_milliseconds(c.seconds), c.ms) << c.seconds;
}

TEST(Platform, WaitSleeps) {
    auto start = std::chrono::steady_clock::now();
    platform::wait(0.02);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 20);
}

TEST(Platform, EnvironmentProtocol) {
    const char* name = "KRO_OS_TEST_VARIABLE";
    ASSERT_TRUE(platform::set_env(name, "hello"));
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    // Too small (no room for the terminator): the size needed, terminator included.
    EXPECT_EQ(platform::get_env(name, buf, 5), 6);
    EXPECT_EQ(buf[0], '#') << "nothing written to a buffer that is too small";
    EXPECT_EQ(platform::get_env(name, nullptr, 0), 6);
    EXPECT_EQ(platform::get_env(name, buf, -3), 6);
    // Big enough: the length without the terminator.
    EXPECT_EQ(platform::get_env(name, buf, 6), 5);
    EXPECT_STREQ(buf, "hello");

    ASSERT_TRUE(platform::set_env(name, ""));
    EXPECT_EQ(platform::get_env(name, nullptr, 0), 1) << "an empty value still needs its terminator";
    EXPECT_EQ(platform::get_env(name, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");

    // A null value deletes the variable; a missing one answers -1, unlike an empty one.
    ASSERT_TRUE(platform::set_env(name, nullptr));
    EXPECT_EQ(std::getenv(name), nullptr);
    EXPECT_EQ(platform::get_env(name, buf, sizeof buf), -1);
    EXPECT_EQ(platform::get_env("KRO_OS_TEST_NEVER_SET", buf, sizeof buf), -1);

    // Names are case-sensitive; a name the system refuses is a failure, not a crash.
    ASSERT_TRUE(platform::set_env(name, "x"));
    EXPECT_EQ(platform::get_env("kro_os_test_variable", buf, sizeof buf), -1);
    EXPECT_FALSE(platform::set_env("BAD=NAME", "v"));
    EXPECT_FALSE(platform::set_env("", "v"));
    platform::set_env(name, nullptr);
}

TEST(Platform, CurrentDirectory) {
    std::string start = platform::get_current_dir();
    char* real = ::getcwd(nullptr, 0);
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(start, real);
    std::free(real);

    char tmpl[] = "/tmp/kro-os-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    char* target = ::realpath(tmpl, nullptr);
    ASSERT_NE(target, nullptr);
    EXPECT_TRUE(platform::set_current_dir(tmpl));
    EXPECT_EQ(platform::get_current_dir(), target);

    // A directory that is not there: refused, and the current one stays.
    EXPECT_FALSE(platform::set_current_dir("/nonexistent/kro/dir"));
    EXPECT_EQ(platform::get_current_dir(), target);

    EXPECT_TRUE(platform::set_current_dir(start.c_str()));
    EXPECT_EQ(platform::get_current_dir(), start);
    ::rmdir(target);
    std::free(target);
}

TEST(Platform, CurrentDirectoryLongerThanTheFirstGuess) {
    std::string start = platform::get_current_dir();
    char tmpl[] = "/tmp/kro-os-deep-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    std::string deep = tmpl;
    for (int i = 0; i < 12; i++) {
        deep += "/" + std::string(40, char('a' + i));
        ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
    }
    ASSERT_TRUE(platform::set_current_dir(deep.c_str()));
    char* real = ::realpath(deep.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    EXPECT_GT(std::strlen(real), 256u);
    EXPECT_EQ(platform::get_current_dir(), real);
    std::free(real);
    ASSERT_TRUE(platform::set_current_dir(start.c_str()));
    for (int i = 0; i < 12; i++) {
        ::rmdir(deep.c_str());
        deep.resize(deep.rfind('/'));
    }
    ::rmdir(deep.c_str());
}

TEST(Platform, PagesAndTheirFailures) {
    uint32_t off = platform::alloc_pages(2 * arena::PAGE);
    ASSERT_NE(off, 0u);
    EXPECT_EQ(off % arena::PAGE, 0u);
    auto* p = arena::ptr<uint8_t>(off);
    for (uint32_t i = 0; i < 2 * arena::PAGE; i++) ASSERT_EQ(p[i], 0) << "pages come zeroed";
    p[0] = 1;
    p[2 * arena::PAGE - 1] = 2;
    platform::free_pages(off, 2 * arena::PAGE);

    // More than the arena holds: the refusal is thrown as the page code.
    uint32_t caught = frame::catch_region(code::PAGE_LEVEL, [] { platform::alloc_pages(0xFFFFF000u); });
    EXPECT_EQ(caught, code::PAGE_ALLOC_FAILED);
    // A release that cannot be right: the release code.
    caught = frame::catch_region(code::PAGE_LEVEL, [] { platform::free_pages(0, arena::PAGE); });
    EXPECT_EQ(caught, code::PAGE_FREE_FAILED);
    caught = frame::catch_region(code::PAGE_LEVEL, [&] { platform::free_pages(off, 100); });
    EXPECT_EQ(caught, code::PAGE_FREE_FAILED);
    runtime_context.thrown_code = 0;
}

// A library opened on first use: every name lands in its slot, or the whole
// opening fails when the library or any one name is missing.
TEST(Platform, SharedLibraryResolvesEveryNameOrFails) {
    size_t (*length)(const char*) = nullptr;
    int (*compare)(const char*, const char*) = nullptr;
    platform::shared_lib::Symbol both[] = {{"strlen", &length}, {"strcmp", &compare}};
    ASSERT_TRUE(platform::shared_lib::open("libc.so.6", both, 2));
    ASSERT_NE(length, nullptr);
    EXPECT_EQ(length("four"), 4u);
    EXPECT_LT(compare("a", "b"), 0);

    void* slot = nullptr;
    platform::shared_lib::Symbol absent[] = {{"strlen", &length}, {"kro_no_such_name", &slot}};
    EXPECT_FALSE(platform::shared_lib::open("libc.so.6", absent, 2));
    EXPECT_FALSE(platform::shared_lib::open("libkro-no-such-library.so.1", both, 2));
}
