#include "datatypes/date.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/file.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/time.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/platform/os.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer_values.hpp"
#include "io/random.hpp"

namespace kro::date {

const Cell* (*locale_months)() = nullptr;

namespace {

constexpr double DAY = 86400.0;

Cell datatype_of(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }
Cell plain_word(const char* name) { return Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(name)), uint32_t(-1)}; }

[[noreturn]] void overflow() { fire("math", "overflow"); }

constexpr int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
constexpr int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

constexpr int64_t day_number(int64_t year, int64_t month, int64_t day) {
    int64_t mp = floor_mod(month + 9, 12);
    int64_t yp = year - mp / 10;
    return 365 * yp + floor_div(yp, 4) - floor_div(yp, 100) + floor_div(yp, 400) + (mp * 306 + 5) / 10 + (day - 1);
}

constexpr int64_t EPOCH_DAYS = day_number(1970, 1, 1);

// The calendar date of a day number; false when its year leaves the packed range.
bool civil(int64_t g, int32_t& year, int32_t& month, int32_t& day) {
    if (g < day_number(MIN_YEAR, 1, 1) || g > day_number(MAX_YEAR, 12, 31)) return false;
    int64_t era = floor_div(g, 146097);
    int64_t doe = g - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    day = int32_t(doy - (153 * mp + 2) / 5 + 1);
    month = int32_t(mp < 10 ? mp + 3 : mp - 9);
    year = int32_t(yoe + era * 400 + (month <= 2 ? 1 : 0));
    return true;
}

// Start of ISO week 1 of a year and the weekday (1-7) of its 1 January.
int64_t iso_week_start(int32_t year, int32_t* jan_first_weekday) {
    int64_t j = day_number(year, 1, 1);
    int64_t b = floor_mod(j + 2, 7);
    if (jan_first_weekday) *jan_first_weekday = int32_t(b + 1);
    return b < 4 ? j - b : j - b + 7;
}

double local_time(const Cell* d) {
    uint32_t p = packed_of(d);
    return has_time(p) ? time_of(d) + zone_seconds(zone_of(p)) : 0.0;
}

void repack(Cell* d, int64_t days) { d->data1 = days_to_date(days, zone_of(d->data1), has_time(d->data1)); }

// Stores a time of day (local when asked) with day carry, has-time set.
void store_time(Cell* d, double t, bool local) {
    uint32_t p = packed_of(d);
    uint32_t zone = zone_of(p);
    if (local) t -= zone_seconds(zone);
    int64_t days = normalize_time(date_to_days(p), t, zone);
    d->data1 = days_to_date(days, zone, true);
    d->set_float(t);
}

}  // namespace

// ---- calendar ------------------------------------------------------------------------------

int32_t zone_seconds(uint32_t zone) {
    int32_t s = int32_t((zone >> 2) & 0xF) * 3600 + int32_t(zone & 3) * 900;
    return (zone & ZONE_SIGN) ? -s : s;
}

uint32_t zone_bits(bool negative, int32_t hours, int32_t minutes) {
    uint32_t z = ((uint32_t(hours) & 0xF) << 2) | (uint32_t(minutes / 15) & 3);
    if (negative && z) z |= ZONE_SIGN;  // no "-00:00"
    return z;
}

uint32_t pack(int32_t year, int32_t month, int32_t day, uint32_t zone, bool with_time) {
    if (year < MIN_YEAR || year > MAX_YEAR) overflow();
    return (uint32_t(year) << 17) | (with_time ? HAS_TIME : 0) | ((uint32_t(month) & 0xF) << 12) |
           ((uint32_t(day) & 0x1F) << 7) | (zone & ZONE_MASK);
}

bool leap_year(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int32_t days_in_month(int32_t year, int32_t month) {
    static const int8_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

int64_t days_of(int32_t year, int32_t month, int32_t day) { return day_number(year, month, day); }

int64_t date_to_days(uint32_t p) { return day_number(year_of(p), month_of(p), day_of(p)); }

uint32_t days_to_date(int64_t days, uint32_t zone, bool with_time) {
    int32_t y, m, d;
    if (!civil(days, y, m, d)) overflow();
    return pack(y, m, d, zone, with_time);
}

int32_t weekday(int64_t days) { return int32_t(floor_mod(days + 2, 7) + 1); }

int64_t jan_first_days(uint32_t p) { return day_number(year_of(p), 1, 1); }

int32_t year_day(uint32_t p) { return int32_t(date_to_days(p) - jan_first_days(p) + 1); }

int32_t iso_week(uint32_t p) {
    int64_t g = date_to_days(p);
    int32_t year = year_of(p), w = 0;
    int64_t s = iso_week_start(year, &w);
    if (g < s) {
        // the last week of the year before
        if (w == 5) return 53;
        if (w == 6) return leap_year(year - 1) ? 53 : 52;
        return 52;
    }
    int64_t next = iso_week_start(year + 1, nullptr);
    return g < next ? int32_t((g - s) / 7 + 1) : 1;
}

int32_t sunday_week(uint32_t p) {
    int64_t e = floor_mod(jan_first_days(p) + 3, 7);  // 0: 1 January is a Sunday
    int64_t yd = year_day(p);
    return yd <= 7 - e ? 1 : int32_t((yd + e - 1) / 7 + 1);
}

int64_t normalize_time(int64_t days, double& t, uint32_t zone) {
    double z = zone_seconds(zone) / 3600.0;
    double hours = std::trunc(t / 3600.0 + z);
    double k = std::trunc(hours / 24.0);
    // beyond this many days no date can be packed anyway
    if (!(std::fabs(k) < 1e9)) overflow();
    days += int64_t(k);
    t -= k * DAY;
    if (z * 3600.0 + t < 0.0) {
        days -= 1;
        t += DAY;
    }
    return days;
}

// ---- cells ------------------------------------------------------------------------------

Cell* make_at(Cell* c, uint32_t packed, double time) {
    *c = make(packed, time);
    return c;
}

Cell* push(uint32_t packed, double time) { return make_at(stack::push_cell(), packed, time); }

Cell* make_in(Cell* blk, uint32_t packed, double time) { return make_at(block::add_cell(blk), packed, time); }

Cell* make_at_fields(Cell* c, int32_t year, int32_t month, int32_t day, double time, int32_t zone_hours,
                     int32_t zone_minutes, bool with_time) {
    bool negative = zone_hours < 0 || zone_minutes < 0;
    uint32_t zone = zone_bits(negative, std::abs(zone_hours), std::abs(zone_minutes));
    uint32_t p = pack(year, month, day, zone, with_time);
    return make_at(c, p, with_time ? time - zone_seconds(zone) : 0.0);
}

Cell* make_at_hms(Cell* c, int32_t year, int32_t month, int32_t day, int32_t hours, int32_t minutes, int32_t seconds,
                  int32_t nanoseconds) {
    double t = double(hours) * 3600.0 + double(minutes) * 60.0 + double(seconds) + double(nanoseconds) * 1e-9;
    int64_t days = normalize_time(days_of(year, month, day), t, 0);
    return make_at(c, days_to_date(days, 0, true), t);
}

void set_isoweek(Cell* d, int32_t n) { repack(d, iso_week_start(year_of(d->data1), nullptr) + 7 * (int64_t(n) - 1)); }

void set_weekday(Cell* d, int32_t n) {
    int64_t g = date_to_days(d->data1);
    repack(d, g + (int64_t(n) - 1) - floor_mod(g + 2, 7));
}

void set_yearday(Cell* d, int32_t n) { repack(d, jan_first_days(d->data1) + int64_t(n) - 1); }

// ---- fields -----------------------------------------------------------------------------

namespace {

const char* const FIELD_NAMES[] = {"date",    "year",    "month",    "day",  "zone",    "time",
                                   "hour",    "minute",  "second",   "weekday", "yearday", "timezone",
                                   "week",    "isoweek"};

int32_t whole_arg(const Cell* value) {
    if (!value->is(TYPE_INTEGER)) fire("script", "invalid-arg", value);
    return integer::get(value);
}

void set_month(Cell* d, int32_t m) {
    uint32_t p = d->data1;
    int64_t y = int64_t(year_of(p)) + floor_div(int64_t(m) - 1, 12);
    int64_t month = floor_mod(int64_t(m) - 1, 12) + 1;
    if (y < MIN_YEAR || y > MAX_YEAR) overflow();
    repack(d, day_number(y, month, day_of(p)));
}

void set_zone(Cell* d, const Cell* value, bool keep_moment) {
    bool negative;
    int32_t hours, minutes;
    if (value->is(TYPE_INTEGER)) {
        hours = integer::get(value) % 16;
        negative = hours < 0;
        hours = std::abs(hours);
        minutes = 0;
    } else if (value->is(TYPE_TIME)) {
        // the sign of the offset, also for offsets under an hour (-0:30)
        double r = std::fmod(time::get(value), 57600.0);
        negative = r < 0.0;
        hours = std::abs(time::get_hours(r));
        minutes = time::get_minutes(r);
    } else {
        fire("script", "invalid-arg", value);
    }
    uint32_t zone = zone_bits(negative, hours, minutes);
    uint32_t p = packed_of(d);
    if (keep_moment) {
        double t = time_of(d);
        int64_t days = normalize_time(date_to_days(p), t, zone);
        d->data1 = days_to_date(days, zone, true);
        d->set_float(t);
        return;
    }
    double local = local_time(d);
    d->data1 = (p & ~ZONE_MASK) | zone | HAS_TIME;
    d->set_float(local - zone_seconds(zone));
}

}  // namespace

int32_t field_index(const Cell* word) {
    if (!word::any_word_type(word->type())) return -1;
    int32_t id = int32_t(word->data2);
    for (int32_t i = 0; i < 14; i++)
        if (symbol::same_word(id, symbol::make(FIELD_NAMES[i]))) return i + 1;
    if (symbol::same_word(id, symbol::make("julian"))) return 11;
    return -1;
}

Cell get_field(const Cell* d, int32_t field) {
    uint32_t p = packed_of(d);
    switch (field) {
        case 1: return make(pack(year_of(p), month_of(p), day_of(p), 0, false), 0.0);
        case 2: return integer::make(year_of(p));
        case 3: return integer::make(month_of(p));
        case 4: return integer::make(day_of(p));
        case 5:
        case 12: return has_time(p) ? time::make(zone_seconds(zone_of(p))) : none::value;
        case 6: return has_time(p) ? time::make(local_time(d)) : none::value;
        case 7: return integer::make(time::get_hours(local_time(d)));
        case 8: return integer::make(time::get_minutes(local_time(d)));
        case 9: return floatx::make(time::get_seconds(local_time(d)));
        case 10: return integer::make(weekday(date_to_days(p)));
        case 11: return integer::make(year_day(p));
        case 13: return integer::make(sunday_week(p));
        case 14: return integer::make(iso_week(p));
        default: rt_error::no_switch_match();
    }
}

Cell* push_field(const Cell* d, int32_t field) {
    Cell v = get_field(d, field);
    return stack::push(&v);
}

void set_field(Cell* d, int32_t field, const Cell* value) {
    uint32_t p = packed_of(d);
    switch (field) {
        case 1: {
            if (!value->is(TYPE_DATE)) fire("script", "invalid-arg", value);
            uint32_t q = (packed_of(value) & ~ZONE_MASK) | zone_of(p);
            d->data1 = q;
            if (!has_time(q)) d->set_float(0.0);
            return;
        }
        case 2: repack(d, days_of(whole_arg(value), month_of(p), day_of(p))); return;
        case 3: set_month(d, whole_arg(value)); return;
        case 4: repack(d, days_of(year_of(p), month_of(p), 0) + whole_arg(value)); return;
        case 5: set_zone(d, value, false); return;
        case 6:
            if (value->is(TYPE_NONE)) {
                d->data1 = p & ~HAS_TIME;
                d->set_float(0.0);
                return;
            }
            if (!value->is(TYPE_TIME)) fire("script", "invalid-arg", value);
            store_time(d, time::get(value), true);
            return;
        case 7:
        case 8:
        case 9:
            // the field changes in the local time of day, which is then stored as UTC
            store_time(d, time::set_field(local_time(d), field - 6, value), true);
            return;
        case 10: {
            int32_t n = whole_arg(value);
            int64_t g = date_to_days(p);
            repack(d, g + (int64_t(n) - 1) - floor_mod(g + 2, 7));
            return;
        }
        case 11: repack(d, jan_first_days(p) + int64_t(whole_arg(value)) - 1); return;
        case 12: set_zone(d, value, true); return;
        case 13: {
            int64_t n = whole_arg(value);
            int64_t s = jan_first_days(p);
            repack(d, n > 1 ? s + 7 * n - floor_mod(s + 3, 7) - 7 : s);
            return;
        }
        case 14: {
            int64_t n = whole_arg(value);
            repack(d, iso_week_start(year_of(p), nullptr) + 7 * (n - 1));
            return;
        }
        default: rt_error::no_switch_match();
    }
}

// ---- measures and arithmetic ------------------------------------------------------------

Cell* difference(Cell* a, const Cell* b) {
    double days = double(date_to_days(packed_of(a)) - date_to_days(packed_of(b)));
    *a = time::make(days * DAY + (time_of(a) - time_of(b)));
    return a;
}

void do_math(int32_t op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (op != integer::OP_ADD && op != integer::OP_SUBTRACT) {
        Cell w = plain_word(op == integer::OP_MULTIPLY ? "multiply" : op == integer::OP_DIVIDE ? "divide" : "remainder");
        Cell dt = datatype_of(TYPE_DATE);
        fire("script", "not-related", &w, &dt);
    }
    int64_t n = 0;
    double seconds = 0.0;
    bool with_time = false, dates = false;
    switch (right->type()) {
        case TYPE_INTEGER: n = integer::get(right); break;
        case TYPE_TIME:
            seconds = time::get(right);
            with_time = true;
            break;
        case TYPE_DATE:
            if (op == integer::OP_ADD) {
                Cell w = plain_word("add");
                Cell dt = datatype_of(TYPE_DATE);
                fire("script", "not-related", &w, &dt);
            }
            n = date_to_days(packed_of(right));
            seconds = time_of(right);
            dates = true;
            break;
        default: {
            Cell dt = datatype_of(right->type());
            fire("script", "invalid-type", &dt);
        }
    }
    uint32_t p = packed_of(left);
    int64_t days = date_to_days(p);
    double t = time_of(left);
    if (op == integer::OP_ADD) {
        days += n;
        t += seconds;
    } else {
        days -= n;
        t -= seconds;
    }
    uint32_t zone = zone_of(p);
    days = normalize_time(days, t, zone);
    if (dates) {
        if (days < INT32_MIN || days > INT32_MAX) overflow();
        *left = integer::make(int32_t(days));
        return;
    }
    *left = make(days_to_date(days, zone, has_time(p) || with_time), t);
}

int32_t to_epoch(const Cell* d) {
    // whole seconds rounded half up, also before the zone's midnight (a negative time)
    double t = std::floor(time_of(d) + 0.5);
    double s = double(date_to_days(packed_of(d)) - EPOCH_DAYS) * DAY + t;
    if (!(s >= -2147483648.0 && s <= 2147483647.0)) overflow();
    return int32_t(s);
}

Cell* now(Cell* out, const NowOptions& o) {
    int picked = o.year + o.month + o.day + o.time + o.zone + o.date + o.weekday + o.yearday + o.precise;
    if (picked > 1 && !(picked == 2 && o.time && o.precise)) fire("script", "bad-refines");
    platform::Clock c = platform::read_clock();
    int64_t days = floor_div(c.seconds, 86400) + EPOCH_DAYS;
    double t = double(floor_mod(c.seconds, 86400));
    if (o.precise) t += double(c.nanoseconds) / 1e9;
    uint32_t zone = o.utc ? 0 : platform::zone_bits(c.zone_minutes);
    days = normalize_time(days, t, zone);
    Cell d = make(days_to_date(days, zone, true), t);
    int32_t field = o.date ? 1 : o.year ? 2 : o.month ? 3 : o.day ? 4 : o.zone ? 5 : o.time ? 6 : o.weekday ? 10 : 0;
    if (o.yearday) *out = integer::make(year_day(d.data1));
    else if (field) *out = get_field(&d, field);
    else *out = d;
    return out;
}

// ---- literals ---------------------------------------------------------------------------

namespace {

struct Scan {
    const uint8_t* p;
    const uint8_t* end;

    bool at(char c) const { return p < end && *p == uint8_t(c); }
    bool take(char c) {
        if (!at(c)) return false;
        p++;
        return true;
    }
    bool digit() const { return p < end && *p >= '0' && *p <= '9'; }
    // Up to max digits; answers how many were read (0: none).
    int digits(int64_t& v, int max) {
        int n = 0;
        v = 0;
        while (n < max && digit()) {
            v = v * 10 + (*p++ - '0');
            n++;
        }
        return n;
    }
    // Exactly n digits.
    bool fixed(int64_t& v, int n) { return digits(v, n) == n; }
};

struct Literal {
    int64_t year = 0, month = 0, day = 0;
    bool has_time = false;
    int64_t hours = 0, minutes = 0;
    double seconds = 0.0;
    int64_t zone_hours = 0, zone_minutes = 0;
    bool zone_negative = false;
};

// Seconds: digits, optionally "." and more digits.
bool scan_seconds(Scan& s, double& out) {
    const uint8_t* start = s.p;
    while (s.digit()) s.p++;
    if (s.p == start) return false;
    if (s.take('.'))
        while (s.digit()) s.p++;
    if (s.p - start > 40) return false;
    int32_t rest = 0;
    out = floatx::parse(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(s.p), 0, &rest);
    return rest == 0;
}

// "Z", or "+"/"-" with two-digit hours, an optional ":" and two-digit minutes;
// nothing at all is no zone.
bool scan_zone(Scan& s, Literal& f) {
    if (s.take('Z') || s.take('z')) return true;
    if (!s.at('+') && !s.at('-')) return true;
    f.zone_negative = *s.p++ == '-';
    if (!s.fixed(f.zone_hours, 2)) return false;
    bool colon = s.take(':');
    if (s.digit() || colon) return s.fixed(f.zone_minutes, 2);
    return true;
}

// hours ":" minutes [":" seconds] [zone]
bool scan_time(Scan& s, Literal& f) {
    f.has_time = true;
    if (s.digits(f.hours, 9) == 0 || !s.take(':')) return false;
    if (s.digits(f.minutes, 9) == 0) return false;
    if (s.take(':') && !scan_seconds(s, f.seconds)) return false;
    return scan_zone(s, f);
}

// 20200115T103000Z: two-digit month, day, hours, minutes after a four-digit
// year, then "Z" or seconds and an optional zone.
bool scan_compact(Scan& s, Literal& f) {
    if (!s.fixed(f.month, 2) || !s.fixed(f.day, 2)) return false;
    if (!s.take('T') && !s.take('t')) return false;
    f.has_time = true;
    if (!s.fixed(f.hours, 2) || !s.fixed(f.minutes, 2)) return false;
    if (s.digit() && !scan_seconds(s, f.seconds)) return false;
    return scan_zone(s, f);
}

int64_t month_from_name(Scan& s) {
    static const char* const names[12] = {"january", "february", "march",     "april",   "may",      "june",
                                          "july",    "august",   "september", "october", "november", "december"};
    const uint8_t* start = s.p;
    while (s.p < s.end && ((*s.p | 0x20) >= 'a' && (*s.p | 0x20) <= 'z')) s.p++;
    size_t n = size_t(s.p - start);
    if (n < 3 || n > 9) return 0;
    for (int i = 0; i < 12; i++) {
        if (std::strlen(names[i]) < n) continue;
        size_t k = 0;
        while (k < n && (start[k] | 0x20) == names[i][k]) k++;
        if (k == n) return i + 1;
    }
    return 0;
}

bool time_ok(const Literal& f) {
    if (!f.has_time) return true;
    if (f.zone_hours > 15 || f.zone_minutes > 59) return false;
    return f.hours <= 23 && f.minutes <= 59 && f.seconds < 60.0;
}

void build(Cell* out, const Literal& f) {
    int32_t sign = f.zone_negative ? -1 : 1;
    double t = double(f.hours) * 3600.0 + double(f.minutes) * 60.0 + f.seconds;
    make_at_fields(out, int32_t(f.year), int32_t(f.month), int32_t(f.day), t, sign * int32_t(f.zone_hours),
                   sign * int32_t(f.zone_minutes), f.has_time);
}

}  // namespace

bool from_text(const uint8_t* text, size_t length, Cell* out) {
    Scan s{text, text + length};
    Literal f;
    bool negative = s.take('-');
    int64_t first = 0;
    int first_digits = s.digits(first, 4);
    if (first_digits == 0) return false;
    if (negative) first = -first;

    if (s.digit()) {
        if (first_digits != 4) return false;
        f.year = first;
        if (!scan_compact(s, f) || s.p != s.end) return false;
    } else if (first_digits == 4 && s.at('-') && s.p + 1 < s.end && (s.p[1] == 'W' || s.p[1] == 'w')) {
        // ISO week date: 2020-W03[-2][T10:00]
        s.p += 2;
        int64_t week = 0, wd = 1;
        if (!s.fixed(week, 2)) return false;
        if (s.take('-') && (!s.fixed(wd, 1) || wd < 1 || wd > 7)) return false;
        if ((s.take('T') || s.take('t')) && !scan_time(s, f)) return false;
        if (s.p != s.end || week < 1 || week > 53 || !time_ok(f)) return false;
        f.year = first;
        f.month = f.day = 1;
        build(out, f);
        set_isoweek(out, int32_t(week));
        set_weekday(out, int32_t(wd));
        return true;
    } else if (s.at('-') && s.end - s.p == 4 && s.p[1] >= '0' && s.p[1] <= '9' && s.p[2] >= '0' &&
               s.p[2] <= '9' && s.p[3] >= '0' && s.p[3] <= '9') {
        // ordinal date: 2020-032
        s.p++;
        int64_t n = 0;
        s.fixed(n, 3);
        if (n < 1 || n > (leap_year(int32_t(first)) ? 366 : 365)) return false;
        f.year = first;
        f.month = f.day = 1;
        build(out, f);
        set_yearday(out, int32_t(n));
        return true;
    } else {
        if (!s.at('-') && !s.at('/')) return false;
        char sep = char(*s.p++);
        int64_t month = 0;
        if (s.digit()) {
            if (s.digits(month, 9) == 0) return false;
        } else {
            month = month_from_name(s);
            if (month == 0) return false;
        }
        if (!s.take(sep)) return false;
        bool third_negative = s.take('-');
        int64_t third = 0;
        int third_digits = s.digits(third, 9);
        if (third_digits == 0) return false;
        if (third_negative) third = -third;
        if (first > 99 && third >= 0 && third <= 31) {
            f.year = first;
            f.day = third;
        } else {
            f.day = first;
            f.year = third;
            if (third_digits <= 2 && !third_negative) f.year += third > 49 ? 1900 : 2000;
        }
        f.month = month;
        if ((s.take('/') || s.take('T') || s.take('t')) && !scan_time(s, f)) return false;
        if (s.p != s.end) return false;
    }
    if (f.day < 1 || f.month < 1 || f.month > 12 || f.year < -9999 || f.year > 9999) return false;
    if (f.day > (f.month == 2 ? 29 : days_in_month(2001, int32_t(f.month)))) return false;
    if (!time_ok(f)) return false;
    if (f.month == 2 && f.day == 29 && !leap_year(int32_t(f.year))) return false;
    build(out, f);
    return true;
}

// ---- actions ----------------------------------------------------------------------------

namespace {

[[noreturn]] void bad_make(const Cell* spec) {
    Cell dt = datatype_of(TYPE_DATE);
    fire("script", "bad-make-arg", &dt, spec);
}

// The block spec: [day month year], the year first when it is the larger
// number above 99, then an optional time (a time! or hour [minute [second]])
// and zone (a time! or hours [minutes]). make demands that nothing rolls over;
// to lets days, months, hours and minutes carry.
Cell from_block(const Cell* spec, bool strict) {
    // per state and item kind (integer!, time!, float!): the next state and the field filled
    static const int8_t next[14][3] = {{1, -1, -1}, {2, -1, -1}, {3, -1, -1}, {8, 4, -1},  {6, 5, -1},
                                       {-1, -1, -1}, {7, -1, -1}, {-1, -1, -1}, {9, -1, -1}, {10, -1, 10},
                                       {12, 11, -1}, {-1, -1, -1}, {13, -1, -1}, {-1, -1, -1}};
    static const int8_t field[14][3] = {{0, -1, -1}, {1, -1, -1}, {2, -1, -1}, {3, 10, -1}, {6, 12, -1},
                                        {-1, -1, -1}, {7, -1, -1}, {-1, -1, -1}, {4, -1, -1}, {5, -1, 8},
                                        {6, 12, -1}, {-1, -1, -1}, {7, -1, -1}, {-1, -1, -1}};
    int64_t ints[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    double float_seconds = 0.0, time_item = 0.0, zone_item = 0.0;
    int32_t n = block::length(spec);
    int32_t state = 0;
    for (int32_t i = 0; i < n; i++) {
        const Cell* item = block::at(spec, i);
        int kind = item->is(TYPE_INTEGER) ? 0 : item->is(TYPE_TIME) ? 1 : item->is(TYPE_FLOAT) ? 2 : -1;
        if (kind < 0 || next[state][kind] < 0) bad_make(spec);
        int f = field[state][kind];
        switch (f) {
            case 8: float_seconds = item->get_float(); break;
            case 10: time_item = item->get_float(); break;
            case 12: zone_item = item->get_float(); break;
            default: ints[f] = integer::get(item); break;
        }
        state = next[state][kind];
    }
    if (n < 3) bad_make(spec);

    int64_t day = ints[0], month = ints[1], year = ints[2];
    if (ints[0] >= 100 && ints[0] > ints[2]) {
        year = ints[0];
        day = ints[2];
    }
    bool separate = state >= 8;
    double t;
    if (separate) {
        t = double(ints[3]) * 3600.0 + double(ints[4]) * 60.0 +
            (float_seconds != 0.0 ? float_seconds : double(ints[5]));
    } else {
        t = time_item;
    }
    bool with_time = n > 3;
    if (!std::isfinite(t) || std::fabs(t) > 1e12) bad_make(spec);

    bool zone_negative;
    int64_t zone_hours, zone_minutes;
    if (state == 5 || state == 11) {
        if (!(std::fabs(zone_item) < 16.0 * 3600.0)) bad_make(spec);
        zone_negative = zone_item < 0.0;
        zone_hours = std::abs(time::get_hours(zone_item));
        zone_minutes = time::get_minutes(zone_item);
    } else {
        zone_negative = ints[6] < 0;
        zone_hours = ints[6] < 0 ? -ints[6] : ints[6];
        zone_minutes = ints[7];
    }
    // zones the packed word cannot hold are refused rather than cut
    if (zone_hours > 15 || zone_minutes < 0 || zone_minutes > 59) bad_make(spec);
    uint32_t zone = zone_bits(zone_negative, int32_t(zone_hours), int32_t(zone_minutes));

    // year, then month with carry, then the day counted from day 0 of the month
    int64_t y = year + floor_div(month - 1, 12);
    int64_t m = floor_mod(month - 1, 12) + 1;
    if (y < MIN_YEAR || y > MAX_YEAR) bad_make(spec);
    int64_t days = day_number(y, m, 0) + day;
    double local = t;
    days = normalize_time(days, local, 0);
    int32_t ry, rm, rd;
    if (!civil(days, ry, rm, rd)) bad_make(spec);
    if (strict) {
        if (ry != year || rm != month || rd != day) bad_make(spec);
        if (t != 0.0) {
            double hour = separate ? double(ints[3]) : std::trunc(t / 3600.0);
            double minute = separate ? double(ints[4]) : double(time::get_minutes(t));
            if (hour < 0.0 || hour > 23.0) bad_make(spec);
            if (std::floor(std::fmod(local, 3600.0) / 60.0) != minute) bad_make(spec);
        }
    }
    if (!with_time) return make(pack(ry, rm, rd, zone, false), 0.0);
    double utc = local - zone_seconds(zone);
    days = normalize_time(days, utc, zone);
    int32_t uy, um, ud;
    if (!civil(days, uy, um, ud)) bad_make(spec);
    return make(pack(uy, um, ud, zone, true), utc);
}

Cell from_epoch(int32_t n) {
    int64_t days = EPOCH_DAYS + n / 86400;
    double t = double(n % 86400);
    days = normalize_time(days, t, 0);
    return make(days_to_date(days, 0, true), t);
}

const char* const DEFAULT_MONTHS[12] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};

// The first three characters of the month's name; answers the characters written.
int32_t month_name(Cell* buffer, int32_t month) {
    const Cell* names = locale_months ? locale_months() : nullptr;
    if (!names) {
        if (month < 1 || month > 12) fire("script", "invalid-months");
        string::concatenate_ascii(buffer, DEFAULT_MONTHS[month - 1], 3);
        return 3;
    }
    if (month < 1 || month > block::length(names)) fire("script", "invalid-months");
    Cell name = *block::at(names, month - 1);
    if (!name.is(TYPE_STRING)) fire("script", "invalid-months");
    return string::append_string(buffer, &name, 3);
}

void two_digits(char*& p, int32_t v) {
    *p++ = char('0' + v / 10 % 10);
    *p++ = char('0' + v % 10);
}

}  // namespace

Cell* make(Cell* proto, Cell* spec, int32_t) {
    switch (spec->type()) {
        case TYPE_DATE: *proto = *spec; break;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: *proto = from_block(spec, true); break;
        default: bad_make(spec);
    }
    return proto;
}

Cell* to(Cell* proto, Cell* spec, int32_t) {
    switch (spec->type()) {
        case TYPE_DATE: *proto = *spec; break;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: *proto = from_block(spec, false); break;
        case TYPE_INTEGER: *proto = from_epoch(integer::get(spec)); break;
        default: {
            Cell dt = datatype_of(TYPE_DATE);
            fire("script", "bad-to-arg", &dt, spec);
        }
    }
    return proto;
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
    uint32_t p = packed_of(value);
    if (seed) {
        random::seed(p + uint32_t(floatx::truncate_x86(time_of(value))));
        *value = unset::value;
        return value;
    }
    int64_t days = date_to_days(p);
    if (days < INT32_MIN || days > INT32_MAX) overflow();
    int64_t n = random::range(secure, int32_t(days));
    Cell d = make(days_to_date(n - 1, zone_of(p), has_time(p)), time_of(value));
    if (has_time(p)) {
        uint32_t zone = uint32_t(random::next()) & ZONE_MASK;
        if (!(zone & ~ZONE_SIGN)) zone = 0;
        d.data1 = (d.data1 & ~ZONE_MASK) | zone;
        double u;
        if (secure) {
            double s1 = double(random::secure_next()), s2 = double(random::secure_next());
            u = (s1 / 2147483647.0 + s2) / 2147483648.0;
        } else {
            u = double(random::next()) / 2147483647.0;
        }
        store_time(&d, std::floor(3600.0 * u) * 24.0, true);
    }
    *value = d;
    return value;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, int32_t limit, int32_t) {
    uint32_t p = packed_of(value);
    double local = has_time(p) ? time::shown(local_time(value)) : 0.0;
    if (local >= 86400.0) {
        // a time of day that shows as the next midnight shows the next day's date
        p = days_to_date(date_to_days(p) + 1, zone_of(p), true);
        local -= 86400.0;
    }
    int32_t year = year_of(p);
    char sep = year < 0 ? '/' : '-';
    char text[48];
    int n = std::snprintf(text, sizeof text, "%d%c", day_of(p), sep);
    string::concatenate_ascii(buffer, text, n);
    limit -= n;
    limit -= month_name(buffer, month_of(p));
    int32_t magnitude = std::abs(year);
    n = std::snprintf(text, sizeof text, "%c%s%0*d", sep, year < 0 ? "-" : "", magnitude < 100 ? 4 : 1, magnitude);
    string::concatenate_ascii(buffer, text, n);
    limit -= n;
    if (!has_time(p)) return limit;
    string::concatenate_ascii(buffer, "/", 1);
    limit = time::form_seconds(local, buffer, limit - 1);
    uint32_t zone = zone_of(p);
    if (zone) {
        char* q = text;
        *q++ = (zone & ZONE_SIGN) ? '-' : '+';
        two_digits(q, int32_t((zone >> 2) & 0xF));
        *q++ = ':';
        two_digits(q, int32_t(zone & 3) * 15);
        string::concatenate_ascii(buffer, text, int32_t(q - text));
        limit -= int32_t(q - text);
    }
    return limit;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item, int32_t,
                bool, bool, bool, bool event) {
    int32_t field = element->is(TYPE_INTEGER) ? integer::get(element) : field_index(element);
    if (field < 1 || field > 14) {
        Cell p = path ? *path : none::value;
        fire("script", "invalid-path", &p, element);
    }
    if (!value) return push_field(parent, field);
    Cell old = *parent;
    set_field(parent, field, value);
    Cell now = *parent;
    if (event) time::notify_path_write(grandparent, path_item, &old, &now, field);
    return value;
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    if (!b->is(TYPE_DATE)) return -2;
    int64_t da = date_to_days(packed_of(a)), db = date_to_days(packed_of(b));
    double ta = time_of(a), tb = time_of(b);
    // the same date, as same? has it: the packed word (with its zone and whether a
    // time is given) and the time's bits, not merely the same moment
    if (op == actions::SAME)
        return packed_of(a) == packed_of(b) && std::bit_cast<uint64_t>(ta) == std::bit_cast<uint64_t>(tb) ? 0 : 1;
    // the moments, as seconds from the start of b's local day
    double x = ta + double(da - db) * DAY, y = tb;
    bool equal = floatx::almost_equal(x, y);
    if (actions::is_equality_op(op)) return equal ? 0 : 1;
    if (equal) return 0;
    return x < y ? -1 : 1;
}

Cell* pick(Cell* d, int32_t index, Cell* boxed) {
    int32_t field = index;
    if (boxed && word::any_word_type(boxed->type())) {
        field = field_index(boxed);
        if (field < 0) fire("script", "out-of-range", boxed);
    } else if (index < 1 || index > 14) {
        Cell i = integer::make(index);
        fire("script", "out-of-range", &i);
    }
    Cell v = get_field(d, field);
    *d = v;
    return d;
}

namespace {

Cell* add() {
    do_math(integer::OP_ADD);
    return stack::arguments;
}

Cell* subtract() {
    do_math(integer::OP_SUBTRACT);
    return stack::arguments;
}

// The tokenizer's handler of date tokens.
int load_literal(lexer::Token& t, Cell* out) {
    Cell v;
    if (!from_text(t.start, size_t(t.end - t.start), &v)) return TYPE_DATE;
    if (out) *out = v;
    return 0;
}

void file_date(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second,
               int32_t nanosecond, Cell* out) {
    make_at_hms(out, year, month, day, hour, minute, second, nanosecond);
}

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make).set<A_RANDOM>(&random).set<A_TO>(&to).set<A_FORM>(&form).set<A_MOLD>(&mold);
    a.set<A_EVAL_PATH>(&eval_path).set<A_COMPARE>(&compare).set<A_ADD>(&add).set<A_SUBTRACT>(&subtract);
    a.set<A_PICK>(&pick);
    datatype::register_type(TYPE_DATE, 0, "date!", a);
    extended::date_do_math = &do_math;
    extended::date_to_epoch = &to_epoch;
    file::make_date = &file_date;
    lexer::set_maker(lexer::T_DATE, &load_literal);
}

}  // namespace kro::date
