// date!: a calendar date with an optional time of day and an optional zone
// (type 47, no parent), packed into one cell with no series behind it.
//
// data1, the packed date (signed as a whole):
//   bits 17-31 year (signed 15 bits: -16384 .. 16383), bit 16 has-time,
//   bits 12-15 month 1-12, bits 7-11 day 1-31, bit 6 zone sign (west of UTC),
//   bits 2-5 zone hours 0-15, bits 0-1 zone quarter hours.
// data2/data3: the time of day in seconds as a double, held as UTC (the local
// time of day minus the zone offset).
//
// Every stored date keeps the local calendar date in the packed word and a
// local time of day (stored time + offset) in [0, 86400). A date without time
// has has-time 0 and time 0.0.
//
// Day numbers count days from 1 March of year 0 on the proleptic Gregorian
// calendar (floor divisions, so negative years count right too); weekday 1 is
// Monday, 7 Sunday.
#pragma once
#include <cstddef>
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::date {

constexpr uint32_t HAS_TIME = 0x00010000;
constexpr uint32_t ZONE_MASK = 0x7F;
constexpr uint32_t ZONE_SIGN = 0x40;
constexpr int32_t MIN_YEAR = -16384;
constexpr int32_t MAX_YEAR = 16383;

inline int32_t year_of(uint32_t p) { return int32_t(p) >> 17; }
inline int32_t month_of(uint32_t p) { return int32_t((p >> 12) & 0xF); }
inline int32_t day_of(uint32_t p) { return int32_t((p >> 7) & 0x1F); }
inline bool has_time(uint32_t p) { return (p & HAS_TIME) != 0; }
inline uint32_t zone_of(uint32_t p) { return p & ZONE_MASK; }
// The zone offset of zone bits in seconds (negative west of UTC).
int32_t zone_seconds(uint32_t zone);
// Zone bits for a sign and a magnitude of hours (0-15) and minutes (0-59).
uint32_t zone_bits(bool negative, int32_t hours, int32_t minutes);

inline double time_of(const Cell* d) { return d->get_float(); }
inline uint32_t packed_of(const Cell* d) { return d->data1; }

// Packs the fields; a year outside MIN_YEAR..MAX_YEAR raises math/overflow.
uint32_t pack(int32_t year, int32_t month, int32_t day, uint32_t zone, bool has_time);

bool leap_year(int32_t year);
int32_t days_in_month(int32_t year, int32_t month);

// The day number of a date (day may be 0 or past the month's end: the count
// simply goes on).
int64_t days_of(int32_t year, int32_t month, int32_t day);
int64_t date_to_days(uint32_t packed);
// The packed date of a day number with the zone bits and has-time given; a day
// whose year leaves the packed range raises math/overflow.
uint32_t days_to_date(int64_t days, uint32_t zone, bool has_time);
int32_t weekday(int64_t days);
int64_t jan_first_days(uint32_t packed);
int32_t year_day(uint32_t packed);
int32_t iso_week(uint32_t packed);
int32_t sunday_week(uint32_t packed);

// Carries whole days between the day number and the stored (UTC) time so that
// the local time of day comes to lie in [0, 86400); answers the day number.
int64_t normalize_time(int64_t days, double& time, uint32_t zone);

// ---- cells ------------------------------------------------------------------------------

inline Cell make(uint32_t packed, double time) {
    Cell c{uint32_t(TYPE_DATE), packed, 0, 0};
    c.set_float(time);
    return c;
}
// A date from a packed word and a UTC time as given (the binary loaders).
Cell* make_at(Cell* c, uint32_t packed, double time);
Cell* push(uint32_t packed, double time);
Cell* make_in(Cell* block, uint32_t packed, double time);
// The tokenizer's maker: the time is local; zone minutes are those of the
// zone's magnitude, and the zone is west of UTC when hours or minutes are
// negative (so "-00:30" can be told from "+00:30"). Without has_time the time
// is dropped.
Cell* make_at_fields(Cell* c, int32_t year, int32_t month, int32_t day, double time, int32_t zone_hours,
                     int32_t zone_minutes, bool has_time);
// A UTC date with time (file modification dates).
Cell* make_at_hms(Cell* c, int32_t year, int32_t month, int32_t day, int32_t hours, int32_t minutes,
                  int32_t seconds, int32_t nanoseconds);
// Moves the date within its year, keeping zone, has-time and time: to the
// Monday of ISO week n, to weekday n of the same Monday-based week, to day n
// of the year.
void set_isoweek(Cell* date, int32_t n);
void set_weekday(Cell* date, int32_t n);
void set_yearday(Cell* date, int32_t n);

// Fields 1-14: date, year, month, day, zone, time, hour, minute, second,
// weekday, yearday (also julian), timezone, week, isoweek. field_index gives
// the number of a field word (any letter case) or -1.
int32_t field_index(const Cell* word);
Cell get_field(const Cell* date, int32_t field);
Cell* push_field(const Cell* date, int32_t field);
// A path assignment of one field, in place; wrong values raise
// script/invalid-arg. hour, minute and second change the local time of day.
void set_field(Cell* date, int32_t field, const Cell* value);

// a becomes the time! from b to a: (days(a) - days(b)) x 86400 + time(a) - time(b).
Cell* difference(Cell* a, const Cell* b);
// Date arithmetic on the current call's arguments, the date first: + or - an
// integer! of days or a time!, or date - date (an integer! of days). Installed
// as the hook that integer! and time! math hand over to.
void do_math(int32_t op);
// Seconds since 1970-01-01 00:00 UTC, the time rounded to the nearest second;
// a moment outside the 32-bit range raises math/overflow.
int32_t to_epoch(const Cell* date);

// The current date and time for the `now` native: without options the local
// date and time with its zone (zone 0 and the UTC date with utc); date drops
// the time; year, month, day, zone, time and weekday give that field, yearday
// the day of the year; precise keeps the fraction of the second. More than one
// of year/month/day/time/zone/date/weekday/yearday/precise raises
// script/bad-refines, except time with precise.
struct NowOptions {
    bool year = false, month = false, day = false, time = false, zone = false, date = false, weekday = false,
         yearday = false, precise = false, utc = false;
};
Cell* now(Cell* out, const NowOptions& options);

// The literal maker: a date token as UTF-8 bytes (15-Jan-2020, 1/2/2024,
// 2024-01-31, 15-January-2020/10:30:00+05:30, 2020-01-15T10:30:00Z,
// 20200115T103000Z, 2020-W03-2, 2020-032 ...). Fills out and answers true, or
// answers false for text that is not a valid date literal.
bool from_text(const uint8_t* text, size_t length, Cell* out);

// The month names that mold uses: the block system/locale/months once the
// system object offers it (null, or a hook answering null: the built-in
// English names).
extern const Cell* (*locale_months)();

// ---- actions ----------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type);
Cell* to(Cell* proto, Cell* spec, int32_t type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* pick(Cell* date, int32_t index, Cell* boxed);

// Registers date! (type 47, no parent) and installs the hooks of integer!
// math, integer conversion and file queries.
void init();

}  // namespace kro::date
