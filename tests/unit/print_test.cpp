// The runtime's typed print, char literals, print hooks, the default value hook
// over strings of every unit, angle reduction and the build date.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "foundation/memory.hpp"
#include "foundation/print.hpp"
#include "output_capture.hpp"

using namespace kro;
using namespace kro::print;

namespace {

struct RecCase {
    Rec rec;
    const char* text;
};

Rec other_type(uint32_t type, uint32_t v) {
    Rec r = hex8(v);
    r.type = RecType(type);
    return r;
}

// A string value of the given unit whose data area starts `offset` units in,
// holding the code points, with its head at `head`.
Cell make_string(int unit, uint32_t offset, std::initializer_list<uint32_t> cps, uint32_t head = 0) {
    uint32_t node = memory::new_series(64, uint32_t(unit), int32_t(offset * uint32_t(unit)));
    memory::Buffer* b = memory::buffer_of(node);
    EXPECT_EQ(b->offset, offset * uint32_t(unit));
    b->tail = b->offset;
    for (uint32_t c : cps) {
        std::memcpy(b->tail_ptr(), &c, size_t(unit));
        b->tail += uint32_t(unit);
    }
    return Cell{uint32_t(TYPE_STRING), head, node, 0};
}

}  // namespace

TEST(TypedPrint, EachRecordTypeHasItsFormat) {
    const RecCase cases[] = {
        {logic(2), "true"},
        {logic(1), "true"},
        {logic(0), "false"},
        {integer(0), "0"},
        {integer(-42), "-42"},
        {integer(std::numeric_limits<int32_t>::min()), "-2147483648"},
        {integer(std::numeric_limits<int32_t>::max()), "2147483647"},
        {byte_rec('A'), "A"},
        {byte_rec(0xE9), "\xC3\xA9"},  // a byte is a Latin-1 character, written as UTF-8
        {float64(0.1), "0.1"},
        {float64(1.0 / 3.0), "0.3333333333333333"},
        {float64(-2.5), "-2.5"},
        {float64(1e300), "1e+300"},
        {float64(0.0), "0"},
        {float64(std::numeric_limits<double>::infinity()), "1.#INF"},
        {float64(-std::numeric_limits<double>::infinity()), "-1.#INF"},
        {float64(std::numeric_limits<double>::quiet_NaN()), "1.#NaN"},
        {float64(-std::numeric_limits<double>::quiet_NaN()), "1.#NaN"},
        {float32(0.1f), "0.1"},
        {float32(1.0f / 3.0f), "0.3333333"},
        {float32(1234567.0f), "1234567"},
        {float32(16777216.0f), "1.677722e+07"},
        {float32(123456789.0f), "1.234568e+08"},
        {text("abc \x1B[1m"), "abc \x1B[1m"},
        {text(""), ""},
        {hex8(0x41A0DB), "0041A0DB"},
        {hex8(0xFFFFFFFF), "FFFFFFFF"},
        {other_type(8, 0xAB), "000000AB"},
        {other_type(0, 1), "00000001"},
    };
    test::CapturedOutput out;
    for (const RecCase& c : cases) {
        SCOPED_TRACE(c.text);
        values({c.rec});
        EXPECT_EQ(out.take(), c.text);
    }
}

TEST(TypedPrint, RecordsFollowEachOtherWithoutSeparator) {
    test::CapturedOutput out;
    values({text("a"), integer(1), logic(0), hex8(2)});
    EXPECT_EQ(out.take(), "a1false00000002");
    print_line({text("x="), float64(0.5)});
    EXPECT_EQ(out.take(), "x=0.5\n");
    print_line({});
    EXPECT_EQ(out.take(), "\n");
    // The spacing form puts one space between values, none after a blank.
    typed({text("a"), integer(1), text("b "), integer(2), byte_rec('\t'), logic(1)}, true);
    EXPECT_EQ(out.take(), "a 1 b 2 \ttrue");
}

TEST(TypedPrint, StringHooksSeeWhatTheRuntimeWrites) {
    static std::string hooked;
    StringHook hook = [](const char* t, int32_t n, int32_t) { hooked.append(t, size_t(n)); };
    test::CapturedOutput out;
    hooked.clear();
    add_hooks(nullptr, hook);
    print_line({text("n="), integer(-7), byte_rec('!'), hex8(255), float64(1.5)});
    remove_hooks(nullptr, hook);
    integer_out(9);
    EXPECT_EQ(out.take(), "n=-7!000000FF1.5\n9");
    EXPECT_EQ(hooked, "n=-7!000000FF1.5\n");
}

TEST(TypedPrint, NumberAndTextHelpers) {
    test::CapturedOutput out;
    hex2_out(5);
    hex2_out(0xAB);
    EXPECT_EQ(out.take(), "05AB");
    hex8_out(0xDEADBEEF);
    EXPECT_EQ(out.take(), "DEADBEEF");
    bytes("abcdef", 3);
    bytes("ab\0cd", 5);
    bytes("xyz", 0);
    EXPECT_EQ(out.take(), "abcab");
    EXPECT_TRUE(cstring_equal("abc", "abc"));
    EXPECT_TRUE(cstring_equal("", ""));
    EXPECT_FALSE(cstring_equal("abc", "abd"));
    EXPECT_FALSE(cstring_equal("ab", "abc"));
    EXPECT_FALSE(cstring_equal("abc", "ab"));
}

TEST(TypedPrint, CharLiterals) {
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "#\"^@\""},   {1, "#\"^A\""},   {9, "#\"^-\""},     {10, "#\"^/\""},
        {27, "#\"^[\""},  {29, "#\"^]\""},  {31, "#\"^_\""},    {32, "#\" \""},
        {34, "#\"\"\""},  {65, "#\"A\""},   {127, "#\"\x7F\""}, {128, "#\"^(80)\""},
        {200, "#\"^(C8)\""}, {255, "#\"^(FF)\""},
    };
    test::CapturedOutput out;
    for (const auto& [b, lit] : cases) {
        SCOPED_TRACE(b);
        char_literal(b);
        EXPECT_EQ(out.take(), lit);
    }
}

namespace {
std::vector<int> calls;
template <int N>
void value_hook(const Cell*, bool line_end) {
    calls.push_back(line_end ? -N : N);
}
}  // namespace

TEST(PrintHooks, ListGrowsByFiveAndKeepsRegistrationOrder) {
    // After start-up: the default hook alone, in a list of five.
    ASSERT_EQ(value_hook_count(), 1);
    ASSERT_EQ(value_hook_capacity(), 5);
    const ValueHook hooks[] = {&value_hook<1>, &value_hook<2>, &value_hook<3>,
                               &value_hook<4>, &value_hook<5>, &value_hook<6>};
    for (ValueHook h : hooks) add_hooks(h, nullptr);
    EXPECT_EQ(value_hook_count(), 7);
    EXPECT_EQ(value_hook_capacity(), 10);

    test::CapturedOutput out;
    Cell s = make_string(1, 0, {'h', 'i'});
    calls.clear();
    call_value_hooks(&s, true);
    EXPECT_EQ(out.take(), "hi\n");  // the default hook, first
    EXPECT_EQ(calls, (std::vector<int>{-1, -2, -3, -4, -5, -6}));

    // Removing a hook that is not registered changes nothing.
    remove_hooks(&value_hook<7>, nullptr);
    EXPECT_EQ(value_hook_count(), 7);
    remove_hooks(&value_hook<3>, nullptr);
    calls.clear();
    call_value_hooks(&s, false);
    EXPECT_EQ(out.take(), "hi");
    EXPECT_EQ(calls, (std::vector<int>{1, 2, 4, 5, 6}));

    for (ValueHook h : hooks) remove_hooks(h, nullptr);
    EXPECT_EQ(value_hook_count(), 1);
    EXPECT_EQ(value_hook_capacity(), 10);
    calls.clear();
    call_value_hooks(&s, false);
    EXPECT_EQ(out.take(), "hi");
    EXPECT_TRUE(calls.empty());
}

TEST(PrintHooks, DefaultHookWritesFromTheHeadToTheTail) {
    struct Case {
        const char* what;
        Cell str;
        bool line_end;
        const char* expect;
    };
    const Case cases[] = {
        {"unit 1", make_string(1, 0, {'a', 0xE9, 'z'}), false, "a\xC3\xA9z"},
        {"unit 2 line", make_string(2, 0, {0x20AC, '1'}), true, "\xE2\x82\xAC" "1\n"},
        {"unit 4", make_string(4, 0, {0x1F600, '!'}), false, "\xF0\x9F\x98\x80!"},
        {"head inside", make_string(2, 0, {'a', 'b', 'c', 'd'}, 2), false, "cd"},
        {"head at tail", make_string(1, 0, {'a'}, 1), true, "\n"},
        {"head past tail", make_string(1, 0, {'a'}, 5), false, ""},
        {"data area not at its start", make_string(1, 16, {'x', 'y'}), false, "xy"},
        {"unit 4, offset and head", make_string(4, 5, {'p', 'q', 'r'}, 1), true, "qr\n"},
        {"escape sequence", make_string(1, 0, {27, '[', '2', 'J'}), false, "\x1B[2J"},
    };
    test::CapturedOutput out;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        default_value_hook(&c.str, c.line_end);
        EXPECT_EQ(out.take(), c.expect);
    }
    // A series of cells is no text: reported, and printing goes on.
    Cell blk{uint32_t(TYPE_BLOCK), 0, memory::new_cells(4), 0};
    default_value_hook(&blk, false);
    EXPECT_EQ(out.take(), "Error: unknown string encoding: 16\n");
}

TEST(DegreesToRadians, ReducesByMode) {
    struct Case {
        double angle;
        int32_t mode;
        double radians;
    };
    constexpr double pi = std::numbers::pi;
    const Case cases[] = {
        {450, 1, pi / 2},   {270, 0, -pi / 2}, {270, 2, -pi / 2},  {135, 0, -pi / 4},
        {135, 1, 3 * pi / 4}, {135, 2, pi / 4},  {-135, 0, pi / 4},  {-135, 2, -pi / 4},
        {-540, 1, -pi},     {720, 0, 0},       {90, 0, pi / 2},    {-90, 2, -pi / 2},
        {30, 0, pi / 6},    {181, 1, -179 * pi / 180},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.angle << " mode " << c.mode);
        EXPECT_DOUBLE_EQ(floatx::degrees_to_radians(c.angle, c.mode), c.radians);
    }
    EXPECT_TRUE(std::isnan(floatx::degrees_to_radians(std::numeric_limits<double>::infinity(), 0)));
}

TEST(BuildDate, DayMonthYearAndTime) {
    EXPECT_THAT(build::date(), testing::MatchesRegex("[0-9]{2}-[A-Z][a-z]{2}-[0-9]{4}/[0-9]{2}:[0-9]{2}:[0-9]{2}"));
}
