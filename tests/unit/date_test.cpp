#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "datatypes/date.hpp"
#include "datatypes/file.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/time.hpp"
#include "io/lexer.hpp"
#include "number_fixtures.hpp"
#include "object_fixtures.hpp"
#include "temp_dir.hpp"

using namespace kro;
using namespace kro::testing_numbers;
using testing_blocks::block_of;
using testing_blocks::mold_text;
using testing_blocks::raised;
using testing_blocks::text;
using testing_blocks::w;

namespace {

// A date from its literal; an empty cell when the maker refuses it.
Cell d(const char* t) {
    Cell c{};
    EXPECT_TRUE(date::from_text(reinterpret_cast<const uint8_t*>(t), std::strlen(t), &c)) << t;
    return c;
}

// The literal maker's answer: the mold of the date, or "invalid".
std::string literal(const char* t) {
    Cell c;
    if (!date::from_text(reinterpret_cast<const uint8_t*>(t), std::strlen(t), &c)) return "invalid";
    return mold_text(c);
}

// A description of any result: dates and times by their mold, the rest as the
// number fixtures describe them, errors by name.
std::string shown(const Cell& c) {
    if (c.is(TYPE_DATE) || c.is(TYPE_TIME)) return mold_text(c);
    if (c.is(TYPE_NONE)) return "none";
    return describe(c);
}
template <class F>
std::string result_of(F f) {
    Cell r{};
    std::string err = raised([&] { r = f(); });
    return err.empty() ? shown(r) : "error " + err;
}

std::string read_field(Cell date, const Cell& element) {
    return result_of([&] {
        Cell e = element;
        return *date::eval_path(&date, &e, nullptr, nullptr, nullptr, nullptr, 1, false, false, true, false);
    });
}

// The date after one path assignment, or the error.
std::string write_field(Cell date, const Cell& element, Cell value) {
    return result_of([&] {
        Cell e = element;
        date::eval_path(&date, &e, &value, nullptr, nullptr, nullptr, 1, false, false, true, false);
        return date;
    });
}

std::string converted_date(int slot, Cell spec) {
    return result_of([&] {
        Cell proto{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_DATE), 0, 0};
        auto fn = reinterpret_cast<SlotFn<A_TO>>(datatype::entry(TYPE_DATE, slot));
        return *fn(&proto, &spec, TYPE_DATE);
    });
}

std::string math(int slot, Cell left, Cell right) {
    return result_of([&] { return call_slot(slot, {left, right}); });
}

int64_t chrono_days(int y, int m, int day) {
    using namespace std::chrono;
    return sys_days(year_month_day(year(y), month(unsigned(m)), std::chrono::day(unsigned(day))))
        .time_since_epoch()
        .count();
}

}  // namespace

TEST(Date, Registration) {
    EXPECT_STREQ(datatype::row(TYPE_DATE).name, "date!");
    std::vector<int> own = {A_MAKE, A_RANDOM, A_TO, A_FORM, A_MOLD, A_EVAL_PATH, A_COMPARE, A_ADD, A_SUBTRACT, A_PICK};
    for (int slot = 1; slot <= ACTION_COUNT; slot++) {
        bool has = std::find(own.begin(), own.end(), slot) != own.end();
        EXPECT_EQ(datatype::entry(TYPE_DATE, slot) != nullptr, has) << slot;
    }
    EXPECT_EQ(extended::date_do_math, &date::do_math);
    EXPECT_EQ(extended::date_to_epoch, &date::to_epoch);
    EXPECT_NE(file::make_date, nullptr);
}

TEST(Date, DayNumbersFollowTheProlepticCalendar) {
    const int64_t epoch = date::days_of(1970, 1, 1);
    // every day of many centuries on both sides of year 0, against the
    // standard library's calendar
    for (int y : {-16384, -4713, -401, -400, -101, -100, -5, -1, 0, 1, 4, 99, 100, 1582, 1900, 1970, 2000, 2024,
                  9999, 16383}) {
        for (int m = 1; m <= 12; m++) {
            for (int day = 1; day <= date::days_in_month(y, m); day++) {
                int64_t g = date::days_of(y, m, day);
                ASSERT_EQ(g - epoch, chrono_days(y, m, day)) << y << "-" << m << "-" << day;
                uint32_t p = date::days_to_date(g, 0, false);
                ASSERT_EQ(date::year_of(p), y);
                ASSERT_EQ(date::month_of(p), m);
                ASSERT_EQ(date::day_of(p), day);
                using namespace std::chrono;
                unsigned iso = weekday(sys_days(days(g - epoch))).iso_encoding();
                ASSERT_EQ(date::weekday(g), int32_t(iso)) << y << "-" << m << "-" << day;
            }
        }
    }
    // the whole packed range round-trips
    for (int64_t g = date::days_of(date::MIN_YEAR, 1, 1); g <= date::days_of(date::MAX_YEAR, 12, 31); g += 97) {
        uint32_t p = date::days_to_date(g, 0, true);
        ASSERT_EQ(date::date_to_days(p), g);
    }
    EXPECT_EQ(raised([] { date::days_to_date(date::days_of(date::MAX_YEAR, 12, 31) + 1, 0, false); }),
              "math/overflow");
    EXPECT_EQ(raised([] { date::days_to_date(date::days_of(date::MIN_YEAR, 1, 1) - 1, 0, false); }),
              "math/overflow");
    EXPECT_TRUE(date::leap_year(2000));
    EXPECT_FALSE(date::leap_year(1900));
    EXPECT_TRUE(date::leap_year(2024));
    EXPECT_TRUE(date::leap_year(0));
    EXPECT_TRUE(date::leap_year(-4));
    EXPECT_FALSE(date::leap_year(2023));
}

TEST(Date, WeeksOfTheYear) {
    // the ISO week: the week that holds the date's Thursday, counted in that Thursday's year
    for (int64_t g = date::days_of(1990, 1, 1); g <= date::days_of(2040, 12, 31); g++) {
        uint32_t p = date::days_to_date(g, 0, false);
        int64_t thursday = g - (date::weekday(g) - 1) + 3;
        uint32_t tp = date::days_to_date(thursday, 0, false);
        int32_t expected = int32_t((thursday - date::days_of(date::year_of(tp), 1, 1)) / 7 + 1);
        ASSERT_EQ(date::iso_week(p), expected) << mold_text(date::make(p, 0.0));
    }
    struct Case {
        const char* date;
        int32_t iso, sunday, yearday, weekday;
    } cases[] = {
        {"1-Jan-2021", 53, 1, 1, 5},  // a Friday
        {"2-Jan-2021", 53, 1, 2, 6},
        {"3-Jan-2021", 53, 2, 3, 7},  // a Sunday opens week 2
        {"4-Jan-2021", 1, 2, 4, 1},
        {"1-Jan-2022", 52, 1, 1, 6},  // a Saturday after a common year
        {"31-Dec-2024", 1, 53, 366, 2},
        {"1-Jan-2017", 52, 1, 1, 7},  // a Sunday: week 1 of the Sunday count
        {"1-Jan-2005", 53, 1, 1, 6},  // a Saturday after a leap year
        {"31-Dec-2020", 53, 53, 366, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date);
        Cell x = d(c.date);
        EXPECT_EQ(read_field(x, w("isoweek")), "integer " + std::to_string(c.iso));
        EXPECT_EQ(read_field(x, w("week")), "integer " + std::to_string(c.sunday));
        EXPECT_EQ(read_field(x, w("yearday")), "integer " + std::to_string(c.yearday));
        EXPECT_EQ(read_field(x, w("julian")), "integer " + std::to_string(c.yearday));
        EXPECT_EQ(read_field(x, w("weekday")), "integer " + std::to_string(c.weekday));
    }
}

TEST(Date, Molds) {
    struct Case {
        uint32_t packed;
        double time;
        const char* text;
    } cases[] = {
        {date::pack(2020, 1, 15, 0, false), 0.0, "15-Jan-2020"},
        {date::pack(2020, 1, 15, date::zone_bits(false, 5, 30), true), 18000.0, "15-Jan-2020/10:30:00+05:30"},
        {date::pack(99, 1, 1, 0, false), 0.0, "1-Jan-0099"},
        {date::pack(5, 12, 31, 0, false), 0.0, "31-Dec-0005"},
        {date::pack(0, 3, 1, 0, false), 0.0, "1-Mar-0000"},
        {date::pack(999, 6, 9, 0, false), 0.0, "9-Jun-999"},
        {date::pack(-44, 1, 1, 0, false), 0.0, "1/Jan/-0044"},
        {date::pack(-500, 3, 15, 0, false), 0.0, "15/Mar/-500"},
        {date::pack(1970, 1, 1, 0, true), 0.0, "1-Jan-1970/0:00:00"},
        {date::pack(2020, 1, 1, date::zone_bits(true, 3, 30), true), 12600.0 + 600.0, "1-Jan-2020/0:10:00-03:30"},
        {date::pack(2020, 1, 1, date::zone_bits(true, 0, 30), true), 1800.0, "1-Jan-2020/0:00:00-00:30"},
        {date::pack(2020, 1, 1, date::zone_bits(false, 14, 45), true), 0.5 - 53100.0 + 86399.0,
         "1-Jan-2020/23:59:59.5+14:45"},
        {date::pack(2020, 1, 1, 0, true), 3723.25, "1-Jan-2020/1:02:03.25"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int32_t budget = 0;
        EXPECT_EQ(mold_text(date::make(c.packed, c.time), false, false, -1, &budget), c.text);
        EXPECT_EQ(budget, mold::NO_LIMIT - int32_t(std::strlen(c.text)));
        EXPECT_EQ(testing_blocks::form_text(date::make(c.packed, c.time)), c.text);
    }
}

TEST(Date, MonthNamesComeFromTheLocale) {
    Cell months = block_of({text("Janvier"), text("F\xC3\xA9vrier"), integer::make(3)});
    static Cell held;
    held = months;
    auto saved = date::locale_months;
    date::locale_months = [] { return static_cast<const Cell*>(&held); };
    EXPECT_EQ(mold_text(d("1-Jan-2020")), "1-Jan-2020");
    EXPECT_EQ(mold_text(d("1-Feb-2020")), "1-F\xC3\xA9v-2020") << "three characters, not bytes";
    EXPECT_EQ(raised([] { mold_text(d("1-Mar-2020")); }), "script/invalid-months") << "not a string";
    EXPECT_EQ(raised([] { mold_text(d("1-Apr-2020")); }), "script/invalid-months") << "past the block's tail";
    date::locale_months = [] { return static_cast<const Cell*>(nullptr); };
    EXPECT_EQ(mold_text(d("1-Apr-2020")), "1-Apr-2020") << "no block yet: the built-in names";
    date::locale_months = saved;
    Cell bad{uint32_t(TYPE_DATE), 0, 0, 0};  // month 0
    EXPECT_EQ(raised([&] { mold_text(bad); }), "script/invalid-months");
}

TEST(Date, LiteralMaker) {
    struct Case {
        const char* text;
        const char* mold;
    } cases[] = {
        {"15-Jan-2020", "15-Jan-2020"},
        {"15-jan-2020", "15-Jan-2020"},
        {"15-January-2020", "15-Jan-2020"},
        {"15-Janu-2020", "15-Jan-2020"},
        {"1-Sept-2020", "1-Sep-2020"},
        {"15/Jan/2020", "15-Jan-2020"},
        {"1/2/2024", "1-Feb-2024"},  // day, month, year
        {"2024-01-31", "31-Jan-2024"},
        {"2024/1/31", "31-Jan-2024"},
        {"1-Jan-99", "1-Jan-1999"},
        {"1-Jan-49", "1-Jan-2049"},
        {"1-Jan-50", "1-Jan-1950"},
        {"1-Jan-099", "1-Jan-0099"},
        {"1/Jan/-0044", "1/Jan/-0044"},
        {"29-Feb-2020", "29-Feb-2020"},
        {"29-Feb-2000", "29-Feb-2000"},
        {"15-Jan-2020/10:30", "15-Jan-2020/10:30:00"},
        {"15-Jan-2020/10:30+05:30", "15-Jan-2020/10:30:00+05:30"},
        {"15-Jan-2020/10:30:15.5-03:30", "15-Jan-2020/10:30:15.5-03:30"},
        {"15-Jan-2020/10:30+0530", "15-Jan-2020/10:30:00+05:30"},
        {"15-Jan-2020/10:30+05", "15-Jan-2020/10:30:00+05:00"},
        {"15-Jan-2020/10:30-00:30", "15-Jan-2020/10:30:00-00:30"},
        {"15-Jan-2020/10:30Z", "15-Jan-2020/10:30:00"},
        {"15-Jan-2020/0:00", "15-Jan-2020/0:00:00"},
        {"2020-01-15T10:30:00Z", "15-Jan-2020/10:30:00"},
        {"2020-01-15T10:30:00+01:00", "15-Jan-2020/10:30:00+01:00"},
        {"20200115T103000Z", "15-Jan-2020/10:30:00"},
        {"20200115T1030", "15-Jan-2020/10:30:00"},
        {"20200115T103000.25+0100", "15-Jan-2020/10:30:00.25+01:00"},
        {"2020-W01", "30-Dec-2019"},  // the Monday of ISO week 1
        {"2020-W01-3", "1-Jan-2020"},
        {"2020-W53-7", "3-Jan-2021"},
        {"2021-W10-2T08:00", "9-Mar-2021/8:00:00"},
        {"2020-032", "1-Feb-2020"},
        {"2020-366", "31-Dec-2020"},
        // refused
        {"29-Feb-2021", "invalid"},
        {"29-Feb-1900", "invalid"},
        {"30-Feb-2020", "invalid"},
        {"31-Apr-2020", "invalid"},
        {"0-Jan-2020", "invalid"},
        {"32-Jan-2020", "invalid"},
        {"1-13-2020", "invalid"},
        {"1-0-2020", "invalid"},
        {"1-Ja-2020", "invalid"},
        {"1-Janvier-2020", "invalid"},
        {"1-Jan/2020", "invalid"},
        {"1.Jan.2020", "invalid"},
        {"1-Jan-10000", "invalid"},
        {"1-Jan-2020x", "invalid"},
        {"1-Jan-2020/24:00", "invalid"},
        {"1-Jan-2020/10:60", "invalid"},
        {"1-Jan-2020/10:00:60", "invalid"},
        {"1-Jan-2020/10", "invalid"},
        {"1-Jan-2020/10:00+16:00", "invalid"},
        {"1-Jan-2020/10:00+05:75", "invalid"},
        {"1-Jan-2020/10:00+5:00", "invalid"},
        {"2020-000", "invalid"},
        {"2021-366", "invalid"},
        {"2020-W00", "invalid"},
        {"2020-W54", "invalid"},
        {"2020-W01-8", "invalid"},
        {"2020-W01-", "invalid"},
        {"20200115", "invalid"},  // the compact form needs its time
        {"20201315T1030", "invalid"},
        {"-", "invalid"},
        {"", "invalid"},
    };
    for (const Case& c : cases) EXPECT_EQ(literal(c.text), c.mold) << c.text;
    // a time given is local: the stored time is UTC
    Cell x = d("15-Jan-2020/10:30+05:30");
    EXPECT_EQ(x.get_float(), 5 * 3600.0) << "10:30 at +05:30 is 05:00 UTC";
    EXPECT_TRUE(date::has_time(x.data1));
    EXPECT_FALSE(date::has_time(d("15-Jan-2020").data1));
}

TEST(Date, MakeAndToFromBlocks) {
    auto I = [](int32_t v) { return int_cell(v); };
    auto T = [](double s) { return time_of(s); };
    struct Case {
        const char* what;
        std::vector<Cell> spec;
        const char* made;  // make date!
        const char* to;    // to date!
    } cases[] = {
        {"year first", {I(2020), I(1), I(15)}, "15-Jan-2020", "15-Jan-2020"},
        {"day first", {I(15), I(1), I(2020)}, "15-Jan-2020", "15-Jan-2020"},
        {"small first and third", {I(5), I(6), I(7)}, "5-Jun-0007", "5-Jun-0007"},
        {"day past the month", {I(2020), I(1), I(32)}, "error script/bad-make-arg", "1-Feb-2020"},
        {"month 13", {I(2020), I(13), I(1)}, "error script/bad-make-arg", "1-Jan-2021"},
        {"month 0", {I(2020), I(0), I(1)}, "error script/bad-make-arg", "1-Dec-2019"},
        {"month -11", {I(2020), I(-11), I(1)}, "error script/bad-make-arg", "1-Jan-2019"},
        {"29 Feb of a common year", {I(2021), I(2), I(29)}, "error script/bad-make-arg", "1-Mar-2021"},
        {"time as numbers", {I(2020), I(1), I(1), I(10), I(30)}, "1-Jan-2020/10:30:00", "1-Jan-2020/10:30:00"},
        {"hour only", {I(2020), I(1), I(1), I(10)}, "1-Jan-2020/10:00:00", "1-Jan-2020/10:00:00"},
        {"float seconds", {I(2020), I(1), I(1), I(10), I(30), real(15.5)}, "1-Jan-2020/10:30:15.5",
         "1-Jan-2020/10:30:15.5"},
        {"integer seconds", {I(2020), I(1), I(1), I(10), I(30), I(15)}, "1-Jan-2020/10:30:15", "1-Jan-2020/10:30:15"},
        {"time item", {I(2020), I(1), I(1), T(37800)}, "1-Jan-2020/10:30:00", "1-Jan-2020/10:30:00"},
        {"zone as numbers", {I(2020), I(1), I(1), I(10), I(0), I(0), I(-3), I(30)}, "1-Jan-2020/10:00:00-03:30",
         "1-Jan-2020/10:00:00-03:30"},
        {"zone hours", {I(2020), I(1), I(1), I(10), I(0), I(0), I(2)}, "1-Jan-2020/10:00:00+02:00",
         "1-Jan-2020/10:00:00+02:00"},
        {"zone as time", {I(2020), I(1), I(1), T(36000), T(5.5 * 3600)}, "1-Jan-2020/10:00:00+05:30",
         "1-Jan-2020/10:00:00+05:30"},
        {"negative zone under an hour", {I(2020), I(1), I(1), T(36000), T(-1800)}, "1-Jan-2020/10:00:00-00:30",
         "1-Jan-2020/10:00:00-00:30"},
        {"time item then zone hours", {I(2020), I(1), I(1), T(36000), I(-5)}, "1-Jan-2020/10:00:00-05:00",
         "1-Jan-2020/10:00:00-05:00"},
        {"hour 24", {I(2020), I(1), I(1), I(24), I(0)}, "error script/bad-make-arg", "2-Jan-2020/0:00:00"},
        {"minute 60", {I(2020), I(1), I(1), I(10), I(60)}, "error script/bad-make-arg", "1-Jan-2020/11:00:00"},
        {"second 60", {I(2020), I(1), I(1), I(10), I(59), I(60)}, "error script/bad-make-arg",
         "1-Jan-2020/11:00:00"},
        {"time item past a day", {I(2020), I(1), I(1), T(90000)}, "error script/bad-make-arg",
         "2-Jan-2020/1:00:00"},
        {"negative hour", {I(2020), I(1), I(1), I(-1), I(0)}, "error script/bad-make-arg", "31-Dec-2019/23:00:00"},
        {"midnight is zero", {I(2020), I(1), I(1), I(0), I(0), I(0)}, "1-Jan-2020/0:00:00", "1-Jan-2020/0:00:00"},
        {"zone of 16 hours", {I(2020), I(1), I(1), I(10), I(0), I(0), I(16)}, "error script/bad-make-arg",
         "error script/bad-make-arg"},
        {"zone time of 16 hours", {I(2020), I(1), I(1), T(36000), T(16 * 3600)}, "error script/bad-make-arg",
         "error script/bad-make-arg"},
        {"zone minutes 60", {I(2020), I(1), I(1), I(10), I(0), I(0), I(1), I(60)}, "error script/bad-make-arg",
         "error script/bad-make-arg"},
        {"two values", {I(2020), I(1)}, "error script/bad-make-arg", "error script/bad-make-arg"},
        {"a word", {w("a"), I(1), I(2020)}, "error script/bad-make-arg", "error script/bad-make-arg"},
        {"a float in the date", {I(2020), real(1.0), I(2)}, "error script/bad-make-arg", "error script/bad-make-arg"},
        {"a float after the date", {I(2020), I(1), I(1), real(1.5)}, "error script/bad-make-arg",
         "error script/bad-make-arg"},
        {"too many", {I(2020), I(1), I(1), I(1), I(1), I(1), I(1), I(1), I(1)}, "error script/bad-make-arg",
         "error script/bad-make-arg"},
        {"year past the packed range", {I(20000), I(1), I(1)}, "error script/bad-make-arg",
         "error script/bad-make-arg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(converted_date(A_MAKE, block_of(c.spec)), c.made);
        EXPECT_EQ(converted_date(A_TO, block_of(c.spec)), c.to);
    }
    converted_date(A_MAKE, block_of({I(2020), I(1), I(32)}));
    ASSERT_EQ(last_raised().nargs, 2);
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_DATE));
    EXPECT_TRUE(last_raised().args[1].is(TYPE_BLOCK));
    // a zone given with the time: the stored time is UTC, the local clock kept
    Cell z = block_of({I(2020), I(1), I(1), I(1), I(0), I(0), I(2)});
    Cell proto{};
    date::make(&proto, &z, TYPE_DATE);
    EXPECT_EQ(proto.get_float(), -3600.0);
    EXPECT_EQ(date::day_of(proto.data1), 1) << "the local date";
}

TEST(Date, OtherMakeAndToSpecs) {
    Cell x = d("15-Jan-2020/10:30+05:30");
    EXPECT_EQ(converted_date(A_MAKE, x), "15-Jan-2020/10:30:00+05:30");
    EXPECT_EQ(converted_date(A_TO, x), "15-Jan-2020/10:30:00+05:30");
    EXPECT_EQ(converted_date(A_TO, int_cell(0)), "1-Jan-1970/0:00:00");
    EXPECT_EQ(converted_date(A_TO, int_cell(86400 + 3723)), "2-Jan-1970/1:02:03");
    EXPECT_EQ(converted_date(A_TO, int_cell(-1)), "31-Dec-1969/23:59:59");
    EXPECT_EQ(converted_date(A_TO, int_cell(-86400)), "31-Dec-1969/0:00:00");
    EXPECT_EQ(converted_date(A_TO, int_cell(INT32_MAX)), "19-Jan-2038/3:14:07");
    EXPECT_EQ(converted_date(A_TO, int_cell(INT32_MIN)), "13-Dec-1901/20:45:52");
    EXPECT_EQ(converted_date(A_MAKE, int_cell(0)), "error script/bad-make-arg");
    EXPECT_EQ(converted_date(A_TO, text("1-Jan-2020")), "error script/bad-to-arg");
    EXPECT_EQ(converted_date(A_TO, real(1.0)), "error script/bad-to-arg");
    EXPECT_EQ(converted_date(A_MAKE, none::value), "error script/bad-make-arg");
}

TEST(Date, FieldsRead) {
    Cell x = d("15-Jan-2020/10:30:45.5+05:30");  // a Wednesday
    struct Case {
        const char* word;
        int32_t index;
        const char* value;
    } cases[] = {
        {"date", 1, "15-Jan-2020"},     {"year", 2, "integer 2020"},    {"month", 3, "integer 1"},
        {"day", 4, "integer 15"},       {"zone", 5, "5:30:00"},         {"time", 6, "10:30:45.5"},
        {"hour", 7, "integer 10"},      {"minute", 8, "integer 30"},    {"second", 9, "float 45.5"},
        {"weekday", 10, "integer 3"},   {"yearday", 11, "integer 15"},  {"timezone", 12, "5:30:00"},
        {"week", 13, "integer 3"},      {"isoweek", 14, "integer 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(read_field(x, w(c.word)), c.value);
        EXPECT_EQ(read_field(x, int_cell(c.index)), c.value);
        std::string upper = c.word;
        for (char& ch : upper) ch = char(std::toupper(ch));
        EXPECT_EQ(read_field(x, w(upper.c_str())), c.value) << "field words in any letter case";
        EXPECT_EQ(result_of([&] {
                      Cell v = x;
                      return *date::pick(&v, c.index, nullptr);
                  }),
                  c.value);
    }
    Cell negative_zone = d("1-Jan-2020/0:10-03:30");
    EXPECT_EQ(read_field(negative_zone, w("zone")), "-3:30:00");
    EXPECT_EQ(read_field(negative_zone, w("day")), "integer 1") << "the local date";
    EXPECT_EQ(read_field(negative_zone, w("hour")), "integer 0");
    EXPECT_EQ(read_field(negative_zone, w("minute")), "integer 10");
    // a date without time has neither time nor zone
    Cell plain = d("15-Jan-2020");
    EXPECT_EQ(read_field(plain, w("time")), "none");
    EXPECT_EQ(read_field(plain, w("zone")), "none");
    EXPECT_EQ(read_field(plain, w("timezone")), "none");
    EXPECT_EQ(read_field(plain, w("hour")), "integer 0");
    // fields that do not exist
    EXPECT_EQ(read_field(x, int_cell(0)), "error script/invalid-path");
    EXPECT_EQ(read_field(x, int_cell(15)), "error script/invalid-path");
    EXPECT_EQ(read_field(x, w("moon")), "error script/invalid-path");
    EXPECT_EQ(read_field(x, text("year")), "error script/invalid-path");
    Cell moon = w("moon");
    EXPECT_EQ(result_of([&] {
                  Cell v = x;
                  return *date::pick(&v, 0, &moon);
              }),
              "error script/out-of-range");
    EXPECT_EQ(result_of([&] {
                  Cell v = x;
                  return *date::pick(&v, 15, nullptr);
              }),
              "error script/out-of-range");
}

TEST(Date, FieldsWritten) {
    struct Case {
        const char* start;
        const char* field;
        Cell value;
        const char* result;
    } cases[] = {
        {"31-Jan-2021", "month", int_cell(2), "3-Mar-2021"},  // the day rolls over
        {"31-Jan-2020", "month", int_cell(2), "2-Mar-2020"},
        {"15-Jun-2020", "month", int_cell(0), "15-Dec-2019"},
        {"15-Jun-2020", "month", int_cell(13), "15-Jan-2021"},
        {"15-Jun-2020", "month", int_cell(-11), "15-Jan-2019"},
        {"15-Jun-2020", "month", int_cell(-12), "15-Dec-2018"},
        {"15-Jun-2020", "month", int_cell(25), "15-Jan-2022"},
        {"29-Feb-2020", "year", int_cell(2021), "1-Mar-2021"},
        {"15-Jun-2020/10:00+02:00", "year", int_cell(-44), "15/Jun/-0044/10:00:00+02:00"},
        {"15-Jan-2020", "day", int_cell(32), "1-Feb-2020"},
        {"15-Jan-2020", "day", int_cell(0), "31-Dec-2019"},
        {"15-Jan-2020/10:00+02:00", "day", int_cell(1), "1-Jan-2020/10:00:00+02:00"},
        {"15-Jan-2020/10:00", "zone", int_cell(2), "15-Jan-2020/10:00:00+02:00"},  // the local clock kept
        {"15-Jan-2020/10:00", "zone", int_cell(-18), "15-Jan-2020/10:00:00-02:00"},  // hours rem 16
        {"15-Jan-2020/10:00", "zone", time_of(-1800.0), "15-Jan-2020/10:00:00-00:30"},
        {"15-Jan-2020/10:00", "zone", time_of(5.75 * 3600), "15-Jan-2020/10:00:00+05:45"},
        {"15-Jan-2020", "zone", int_cell(1), "15-Jan-2020/0:00:00+01:00"},
        {"15-Jan-2020/23:00", "timezone", int_cell(2), "16-Jan-2020/1:00:00+02:00"},  // the moment kept
        {"15-Jan-2020/1:00+02:00", "timezone", int_cell(0), "14-Jan-2020/23:00:00"},
        {"15-Jan-2020/10:00", "time", none::value, "15-Jan-2020"},
        {"15-Jan-2020", "time", time_of(37800.0), "15-Jan-2020/10:30:00"},
        {"15-Jan-2020/10:00+02:00", "time", time_of(90000.0), "16-Jan-2020/1:00:00+02:00"},
        {"15-Jan-2020/10:00+02:00", "time", time_of(-3600.0), "14-Jan-2020/23:00:00+02:00"},
        // hour, minute and second change the local time of day
        {"1-Jan-2020/10:00+05:30", "hour", int_cell(11), "1-Jan-2020/11:00:00+05:30"},
        {"1-Jan-2020/1:30+02:00", "minute", int_cell(45), "1-Jan-2020/1:45:00+02:00"},
        {"1-Jan-2020/1:30+02:00", "second", real(12.5), "1-Jan-2020/1:30:12.5+02:00"},
        {"1-Jan-2020/23:00", "hour", int_cell(25), "2-Jan-2020/1:00:00"},
        {"1-Jan-2020/0:30", "minute", int_cell(-45), "31-Dec-2019/23:15:00"},
        {"1-Jan-2020", "hour", int_cell(5), "1-Jan-2020/5:00:00"},
        {"15-Jan-2020", "weekday", int_cell(1), "13-Jan-2020"},  // in the same Monday-based week
        {"15-Jan-2020", "weekday", int_cell(7), "19-Jan-2020"},
        {"15-Jan-2020", "yearday", int_cell(60), "29-Feb-2020"},
        {"15-Jan-2020", "julian", int_cell(367), "1-Jan-2021"},
        {"15-Jun-2021", "week", int_cell(2), "3-Jan-2021"},
        {"15-Jun-2021", "week", int_cell(1), "1-Jan-2021"},
        {"15-Jun-2021", "isoweek", int_cell(1), "4-Jan-2021"},
        {"15-Jun-2020", "isoweek", int_cell(1), "30-Dec-2019"},
        {"15-Jun-2020/10:00+02:00", "date", d("1-Feb-2019"), "1-Feb-2019"},
        {"15-Jun-2020", "date", d("1-Feb-2019/5:00"), "1-Feb-2019/0:00:00"},  // its own time kept
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.start) + " " + c.field);
        EXPECT_EQ(write_field(d(c.start), w(c.field), c.value), c.result);
    }
    struct Refused {
        const char* field;
        Cell value;
    } refused[] = {
        {"year", real(2020.0)}, {"month", text("x")}, {"day", none::value},    {"zone", real(1.0)},
        {"time", int_cell(1)},  {"hour", real(1.5)},  {"date", int_cell(1)},   {"weekday", time_of(1.0)},
        {"yearday", real(1.0)}, {"week", none::value}, {"isoweek", real(1.0)}, {"timezone", text("x")},
    };
    Cell x = d("15-Jan-2020/10:00");
    for (const Refused& r : refused) EXPECT_EQ(write_field(x, w(r.field), r.value), "error script/invalid-arg") << r.field;
    EXPECT_EQ(write_field(x, w("year"), int_cell(20000)), "error math/overflow") << "past the packed years";
    EXPECT_EQ(write_field(x, int_cell(16), int_cell(1)), "error script/invalid-path");
}

TEST(Date, PathWritesNotifyTheContainer) {
    using namespace testing_objects;
    HandlerRecorder recorder;
    Cell obj = make_object({set_word("d"), d("15-Jan-2020"), set_word("on-change*"), handler({"word", "old", "new"})});
    HandlerRecorder::calls().clear();
    Cell field_word = w("d");
    Cell* slot = const_cast<Cell*>(object::select_word(&obj, &field_word));
    Cell element = w("day"), item = w("d"), one = int_cell(1);
    EXPECT_EQ(date::eval_path(slot, &element, &one, nullptr, &obj, &item, 2, false, false, true, true), &one);
    EXPECT_EQ(mold_text(field(obj, "d")), "1-Jan-2020");
    ASSERT_EQ(HandlerRecorder::calls().size(), 1u);
    const HandlerCall& call = HandlerRecorder::calls()[0];
    EXPECT_EQ(call.name, "on-change*");
    ASSERT_GE(call.args.size(), 3u);
    EXPECT_EQ(spelling(call.args[0]), "d");
    EXPECT_EQ(mold_text(call.args[1]), "15-Jan-2020") << "the old date";
    EXPECT_EQ(mold_text(call.args[2]), "1-Jan-2020");

    Cell list = block_of({d("15-Jan-2020")});
    make_object({set_word("list"), list, set_word("on-deep-change*"),
                 handler({"owner", "word", "target", "action", "new", "index", "part"})});
    HandlerRecorder::calls().clear();
    Cell month = w("month"), three = int_cell(3), index = int_cell(1);
    date::eval_path(block::at(&list, 0), &month, &three, nullptr, &list, &index, 2, false, false, true, true);
    EXPECT_EQ(mold_text(*block::at(&list, 0)), "15-Mar-2020");
    ASSERT_EQ(HandlerRecorder::calls().size(), 1u);
    const HandlerCall& deep = HandlerRecorder::calls()[0];
    ASSERT_EQ(deep.args.size(), 7u);
    EXPECT_EQ(spelling(deep.args[3]), "set-path");
    EXPECT_EQ(mold_text(deep.args[4]), "15-Mar-2020");
    EXPECT_EQ(integer::get(&deep.args[5]), 3) << "the field number";
}

TEST(Date, Compare) {
    struct Case {
        const char* a;
        const char* b;
        int32_t order;  // compare with the ordering op
    } cases[] = {
        {"1-Jan-2020/10:00+02:00", "1-Jan-2020/8:00", 0},  // the same moment
        {"1-Jan-2020", "1-Jan-2020/0:00", 0},
        {"1-Jan-2020", "2-Jan-2020", -1},
        {"2-Jan-2020", "1-Jan-2020/23:59", 1},
        {"1-Jan-2020/10:00", "1-Jan-2020/10:00:00.5", -1},
        // across local days the moments decide
        {"1-Jan-2020/23:00-02:00", "2-Jan-2020/0:30", 1},
        {"1-Jan-2020/22:30-02:00", "2-Jan-2020/0:30", 0},
        {"2-Jan-2020/0:30+02:00", "1-Jan-2020/23:00", -1},
        {"1/Jan/-0044", "1-Jan-0044", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        Cell a = d(c.a), b = d(c.b);
        EXPECT_EQ(date::compare(&a, &b, actions::LESSER), c.order);
        EXPECT_EQ(date::compare(&b, &a, actions::LESSER), -c.order);
        EXPECT_EQ(date::compare(&a, &b, actions::EQUAL), c.order == 0 ? 0 : 1);
        EXPECT_EQ(date::compare(&a, &b, actions::STRICT_EQUAL), c.order == 0 ? 0 : 1);
        EXPECT_EQ(actions::compare(&a, &b, actions::GREATER), c.order > 0);
    }
    Cell a = d("1-Jan-2020/10:00+02:00"), b = d("1-Jan-2020/8:00"), c = d("1-Jan-2020/10:00+02:00");
    EXPECT_EQ(date::compare(&a, &b, actions::SAME), 1) << "the same moment in another zone is not the same date";
    EXPECT_EQ(date::compare(&a, &c, actions::SAME), 0);
    Cell late = d("1-Jan-2020/22:30-02:00"), next = d("2-Jan-2020/0:30");
    EXPECT_EQ(date::compare(&late, &next, actions::SAME), 1) << "equal moments on different days are not the same";
    Cell n = int_cell(1);
    EXPECT_EQ(date::compare(&a, &n, actions::EQUAL), -2);
    EXPECT_EQ(raised([&] { actions::compare(&a, &n, actions::LESSER); }), "script/invalid-compare");
}

TEST(Date, Arithmetic) {
    struct Case {
        int slot;
        Cell left, right;
        const char* expected;
    } cases[] = {
        {A_ADD, d("31-Dec-2020/23:00"), time_of(86400.0), "1-Jan-2021/23:00:00"},
        {A_ADD, d("15-Jan-2020/10:00+05:30"), int_cell(1), "16-Jan-2020/10:00:00+05:30"},
        {A_ADD, d("15-Jan-2020"), int_cell(20), "4-Feb-2020"},
        {A_ADD, d("1-Mar-2020"), int_cell(-1), "29-Feb-2020"},
        {A_ADD, d("15-Jan-2020"), time_of(3600.0), "15-Jan-2020/1:00:00"},  // a time sets has-time
        {A_ADD, d("1-Jan-2020/0:10-03:30"), int_cell(0), "1-Jan-2020/0:10:00-03:30"},
        {A_ADD, d("1-Jan-2020/0:10-03:30"), time_of(-600.0), "1-Jan-2020/0:00:00-03:30"},
        {A_ADD, d("1-Jan-2020/0:10-03:30"), time_of(-601.0), "31-Dec-2019/23:59:59-03:30"},
        {A_SUBTRACT, d("1-Jan-2021"), int_cell(1), "31-Dec-2020"},
        {A_SUBTRACT, d("1-Jan-2021/0:30"), time_of(3600.0), "31-Dec-2020/23:30:00"},
        {A_SUBTRACT, d("1-Mar-2020"), d("1-Feb-2020"), "integer 29"},
        {A_SUBTRACT, d("1-Feb-2020"), d("1-Mar-2020"), "integer -29"},
        {A_SUBTRACT, d("1-Jan-2020"), d("1/Jan/-0044"), "integer 753861"},
        {A_ADD, d("1-Jan-2020"), d("1-Jan-2020"), "error script/not-related"},
        {A_ADD, d("1-Jan-2020"), real(1.5), "error script/invalid-type"},
        {A_ADD, d("1-Jan-2020"), text("1"), "error script/invalid-type"},
        {A_ADD, date::make(date::pack(date::MAX_YEAR, 12, 31, 0, false), 0.0), int_cell(1), "error math/overflow"},
        {A_ADD, d("1-Jan-2020"), int_cell(INT32_MAX), "error math/overflow"},
        // integer and time math hand dates over
        {A_ADD, int_cell(2), d("31-Jan-2020"), "2-Feb-2020"},
        {A_ADD, time_of(7200.0), d("1-Jan-2020/23:00"), "2-Jan-2020/1:00:00"},
        {A_SUBTRACT, int_cell(2), d("31-Jan-2020"), "error script/not-related"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(shown(c.left) + " slot " + std::to_string(c.slot) + " " + shown(c.right));
        EXPECT_EQ(math(c.slot, c.left, c.right), c.expected);
    }
    math(A_ADD, d("1-Jan-2020"), d("1-Jan-2020"));
    ASSERT_EQ(last_raised().nargs, 2);
    EXPECT_EQ(testing_objects::spelling(last_raised().args[0]), "add");
    EXPECT_EQ(last_raised().args[1].data1, uint32_t(TYPE_DATE));
    math(A_ADD, d("1-Jan-2020"), real(1.5));
    EXPECT_EQ(last_raised().args[0].data1, uint32_t(TYPE_FLOAT)) << "invalid-type names the other datatype";
}

TEST(Date, DifferenceAndEpoch) {
    Cell a = d("2-Jan-2020/10:00"), b = d("1-Jan-2020/9:00");
    EXPECT_EQ(mold_text(*date::difference(&a, &b)), "25:00:00");
    Cell c = d("1-Jan-2020"), e = d("2-Jan-2020");
    EXPECT_EQ(mold_text(*date::difference(&c, &e)), "-24:00:00");
    Cell zoned = d("1-Jan-2020/10:00+02:00"), utc = d("1-Jan-2020/8:00");
    EXPECT_EQ(mold_text(*date::difference(&zoned, &utc)), "0:00:00") << "the same moment";

    struct Case {
        const char* date;
        const char* seconds;
    } cases[] = {
        {"1-Jan-1970/0:00", "integer 0"},
        {"1-Jan-1970", "integer 0"},
        {"2-Jan-1970/1:02:03", "integer 90123"},
        {"1-Jan-1970/0:00:00.5", "integer 1"},  // rounded to the nearest second
        {"1-Jan-1970/0:00:00.4", "integer 0"},
        {"31-Dec-1969/23:59:59", "integer -1"},
        {"31-Dec-1969/23:59:59.6", "integer 0"},
        {"1-Jan-1970/1:00+02:00", "integer -3600"},  // a stored time before midnight UTC
        {"1-Jan-1970/0:30+02:00", "integer -5400"},
        {"19-Jan-2038/3:14:07", "integer 2147483647"},
        {"19-Jan-2038/3:14:08", "error math/overflow"},
        {"13-Dec-1901/20:45:52", "integer -2147483648"},
        {"13-Dec-1901/20:45:51", "error math/overflow"},
        {"1-Jan-9999", "error math/overflow"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.date);
        Cell x = d(k.date);
        EXPECT_EQ(result_of([&] { return integer::make(date::to_epoch(&x)); }), k.seconds);
        // to integer! goes through the same conversion
        EXPECT_EQ(result_of([&] {
                      Cell proto{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_INTEGER), 0, 0};
                      return *datatype::action<A_TO>(TYPE_INTEGER)(&proto, &x, TYPE_INTEGER);
                  }),
                  k.seconds);
    }
    // the two conversions are inverses
    for (int32_t n : {0, 1, -1, 86399, 86400, -86401, 1000000000, -1000000000, INT32_MAX, INT32_MIN}) {
        Cell spec = int_cell(n), proto{};
        date::to(&proto, &spec, TYPE_DATE);
        EXPECT_EQ(date::to_epoch(&proto), n);
    }
}

TEST(Date, EntryPointsOfOtherModules) {
    Cell c;
    date::make_at_fields(&c, 2020, 1, 15, 37800.0, 5, 30, true);
    EXPECT_EQ(mold_text(c), "15-Jan-2020/10:30:00+05:30");
    date::make_at_fields(&c, 2020, 1, 15, 37800.0, -3, 30, true);
    EXPECT_EQ(mold_text(c), "15-Jan-2020/10:30:00-03:30");
    date::make_at_fields(&c, 2020, 1, 15, 37800.0, 0, -30, true);
    EXPECT_EQ(mold_text(c), "15-Jan-2020/10:30:00-00:30") << "the sign rides on the minutes when hours are 0";
    date::make_at_fields(&c, 2020, 1, 15, 37800.0, 0, 0, false);
    EXPECT_EQ(mold_text(c), "15-Jan-2020");
    EXPECT_EQ(c.get_float(), 0.0);

    date::make_at_hms(&c, 2021, 3, 4, 5, 6, 7, 250000000);
    EXPECT_EQ(mold_text(c), "4-Mar-2021/5:06:07.25");
    file::make_date(2021, 12, 31, 23, 59, 59, 0, &c);
    EXPECT_EQ(mold_text(c), "31-Dec-2021/23:59:59") << "file queries give UTC dates";
    EXPECT_EQ(date::zone_of(c.data1), 0u);

    Cell blk = block_of({});
    date::make_in(&blk, date::pack(2020, 1, 1, date::zone_bits(false, 1, 0), true), -3600.0);
    date::make_in(&blk, date::pack(2020, 2, 2, 0, false), 0.0);
    EXPECT_EQ(testing_blocks::cells(blk), "1-Jan-2020/0:00:00+01:00 2-Feb-2020");
    Cell* top = stack::top_ptr;
    EXPECT_EQ(mold_text(*date::push(date::pack(1999, 12, 31, 0, false), 0.0)), "31-Dec-1999");
    EXPECT_EQ(mold_text(*date::push_field(&c, 2)), "2021");
    stack::top_ptr = top;

    Cell x = d("15-May-2020/10:00+02:00");
    date::set_isoweek(&x, 1);
    EXPECT_EQ(mold_text(x), "30-Dec-2019/10:00:00+02:00");
    date::set_weekday(&x, 5);
    EXPECT_EQ(mold_text(x), "3-Jan-2020/10:00:00+02:00");
    date::set_yearday(&x, 366);
    EXPECT_EQ(mold_text(x), "31-Dec-2020/10:00:00+02:00");
    EXPECT_EQ(date::year_day(x.data1), 366);

    double t = 90000.0;
    EXPECT_EQ(date::normalize_time(100, t, 0), 101);
    EXPECT_EQ(t, 3600.0);
    t = -1.0;
    EXPECT_EQ(date::normalize_time(100, t, date::zone_bits(false, 0, 15)), 100) << "local 0:14:59 stays";
    EXPECT_EQ(t, -1.0);
    t = -1.0;
    EXPECT_EQ(date::normalize_time(100, t, 0), 99);
    EXPECT_EQ(t, 86399.0);
    t = -90000.0;
    EXPECT_EQ(date::normalize_time(100, t, date::zone_bits(true, 3, 30)), 98);
    EXPECT_EQ(t + date::zone_seconds(date::zone_bits(true, 3, 30)), 86400.0 - 3600.0 - 12600.0);
}

TEST(Date, FileQueriesGiveTheModificationDate) {
    test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir / "a.txt";
    test::put_file(path, "x");
    // 4-Mar-2021/5:06:07.25 UTC
    timespec times[2] = {{1614834367, 250000000}, {1614834367, 250000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    Cell f = text(path.c_str());
    f.set_type(TYPE_FILE);
    file::query(&f);
    ASSERT_TRUE(f.is(TYPE_DATE));
    EXPECT_EQ(mold_text(f), "4-Mar-2021/5:06:07.25");
    EXPECT_EQ(date::to_epoch(&f), 1614834367);
}

TEST(Date, Random) {
    Cell seed = d("1-Jan-2020/10:00");
    Cell r = seed;
    date::random(&r, true, false, false);
    EXPECT_TRUE(r.is(TYPE_UNSET)) << "/seed answers unset";
    Cell first = d("1-Jan-2020"), second = first;
    date::random(&first, false, false, false);
    r = seed;
    date::random(&r, true, false, false);
    date::random(&second, false, false, false);
    EXPECT_EQ(mold_text(first), mold_text(second)) << "the same seed draws the same date";
    int64_t limit = date::days_of(2020, 1, 1);
    for (int i = 0; i < 200; i++) {
        Cell x = d("1-Jan-2020");
        date::random(&x, false, i % 2 == 1, false);
        ASSERT_TRUE(x.is(TYPE_DATE));
        EXPECT_LT(date::date_to_days(x.data1), limit);
        EXPECT_FALSE(date::has_time(x.data1));
        Cell y = d("1-Jan-2020/10:00");
        date::random(&y, false, i % 2 == 1, false);
        ASSERT_TRUE(date::has_time(y.data1));
        double local = y.get_float() + date::zone_seconds(date::zone_of(y.data1));
        EXPECT_GE(local, 0.0);
        EXPECT_LT(local, 86400.0);
        EXPECT_EQ(std::fmod(local, 24.0), 0.0) << "a multiple of 24 seconds";
        EXPECT_NE(date::zone_of(y.data1), date::ZONE_SIGN) << "no -00:00";
    }
}

TEST(Date, Now) {
    auto now = [](date::NowOptions o) {
        Cell out{};
        std::string err = raised([&] { date::now(&out, o); });
        return err.empty() ? out : Cell{uint32_t(TYPE_UNSET), 0, 0, 0};
    };
    date::NowOptions utc;
    utc.utc = true;
    Cell u = now(utc);
    ASSERT_TRUE(u.is(TYPE_DATE));
    EXPECT_TRUE(date::has_time(u.data1));
    EXPECT_EQ(date::zone_of(u.data1), 0u);
    int64_t system = int64_t(std::time(nullptr));
    EXPECT_LE(std::llabs(int64_t(date::to_epoch(&u)) - system), 2) << mold_text(u);

    Cell local = now({});
    ASSERT_TRUE(local.is(TYPE_DATE));
    double t = local.get_float() + date::zone_seconds(date::zone_of(local.data1));
    EXPECT_GE(t, 0.0);
    EXPECT_LT(t, 86400.0);
    EXPECT_EQ(t, std::floor(t)) << "whole seconds without precise";
    std::time_t raw = std::time(nullptr);
    std::tm tm{};
    localtime_r(&raw, &tm);
    EXPECT_EQ(date::zone_seconds(date::zone_of(local.data1)) / 900, int32_t(tm.tm_gmtoff / 900))
        << "the local zone in quarter hours";
    EXPECT_LE(std::llabs(int64_t(date::to_epoch(&local)) - int64_t(raw)), 2) << "the same moment";

    date::NowOptions o;
    o.date = true;
    Cell day = now(o);
    EXPECT_FALSE(date::has_time(day.data1));
    o = {};
    o.year = true;
    EXPECT_TRUE(now(o).is(TYPE_INTEGER));
    EXPECT_EQ(integer::get(&(u = now(o))), 1900 + tm.tm_year);
    o = {};
    o.yearday = true;
    Cell yd = now(o);
    EXPECT_TRUE(yd.is(TYPE_INTEGER));
    EXPECT_EQ(integer::get(&yd), tm.tm_yday + 1);
    o = {};
    o.weekday = true;
    EXPECT_EQ(integer::get(&(u = now(o))), tm.tm_wday == 0 ? 7 : tm.tm_wday);
    o = {};
    o.zone = true;
    EXPECT_TRUE(now(o).is(TYPE_TIME));
    o = {};
    o.time = o.precise = true;
    EXPECT_TRUE(now(o).is(TYPE_TIME)) << "time with precise is allowed";
    for (auto pick : {&date::NowOptions::month, &date::NowOptions::day, &date::NowOptions::date,
                      &date::NowOptions::precise}) {
        date::NowOptions two;
        two.year = true;
        two.*pick = true;
        Cell out{};
        EXPECT_EQ(raised([&] { date::now(&out, two); }), "script/bad-refines");
    }
    date::NowOptions three;
    three.time = three.precise = three.zone = true;
    Cell out{};
    EXPECT_EQ(raised([&] { date::now(&out, three); }), "script/bad-refines");
}

TEST(Date, LoadingThroughTheTokenizer) {
    auto loaded = [](const char* src) {
        Cell out{};
        std::string err = raised([&] {
            lexer::ScanArgs args;
            lexer::scan_utf8(&out, reinterpret_cast<const uint8_t*>(src), std::strlen(src), args, nullptr);
        });
        return err.empty() ? testing_blocks::cells(out) : "error " + err;
    };
    EXPECT_EQ(loaded("15-Jan-2020 15-Jan-2020/10:30+05:30 [2024-01-31T08:00:00Z 1/Jan/-0044] 2020-W01-3"),
              "15-Jan-2020 15-Jan-2020/10:30:00+05:30 [31-Jan-2024/8:00:00 1/Jan/-0044] 1-Jan-2020");
    EXPECT_EQ(loaded("29-Feb-2021"), "error syntax/invalid");
    ASSERT_GE(last_raised().nargs, 2);
    EXPECT_EQ(mold_text(last_raised().args[1]), "date!");
    // what mold writes loads back as the same date
    for (const char* t : {"15-Jan-2020/10:30:00+05:30", "1/Jan/-0044", "1-Jan-0099/23:59:59.5-03:30",
                          "31-Dec-1999/0:00:00-00:30"}) {
        EXPECT_EQ(loaded(t), t);
    }
}
