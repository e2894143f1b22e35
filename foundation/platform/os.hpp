// The operating-system base layer: pages, time, the current directory,
// environment variables and platform start-up. Every call to the system made by
// the runtime foundation goes through here.
#pragma once
#include <cstdint>
#include <string>

namespace kro::platform {

// Pages inside the arena. A refusal throws code 0x7FFFFFF7 (0x7FFFFFF6 for a
// failed release) through the frame mechanism. clear: as arena::commit.
uint32_t alloc_pages(uint32_t size, bool clear = true);
void free_pages(uint32_t offset, uint32_t size);

// The current directory as UTF-8 (empty when it cannot be read).
std::string get_current_dir();
bool set_current_dir(const char* utf8_path);

// A null value deletes the variable. Names are case-sensitive.
bool set_env(const char* name, const char* value);
// The length written (without terminator), or the size needed (with it) when
// the buffer is too small, or -1 when the variable is not set (an empty value
// answers 0, so `get-env` can tell the two apart).
int32_t get_env(const char* name, char* buffer, int32_t size);

// Sleeps; below 1 ms sleeps 1 ms, huge, infinite or NaN durations are clamped.
void wait(double seconds);
// Milliseconds that wait() sleeps for a duration.
uint32_t wait_milliseconds(double seconds);

// Seconds of the current UTC day; with precise, the fraction to 100 ns.
double get_time(bool precise);

// year << 17 | month << 12 | day << 7 | zone (7 bits: sign, hours, quarters).
uint32_t get_date(bool utc);
// The 7-bit zone field for an offset in minutes east of UTC.
uint32_t zone_bits(int32_t minutes_east);

// One reading of the clock, so that the day, the time of day and the zone
// offset all belong to the same instant: seconds since 1970-01-01 00:00 UTC,
// the fraction (nanoseconds, to 100 ns), and the local zone's offset east of
// UTC in minutes at that instant.
struct Clock {
    int64_t seconds;
    int32_t nanoseconds;
    int32_t zone_minutes;
};
Clock read_clock();

// Start-up: standard streams, console output, secure random source.
void init();

}  // namespace kro::platform
