// Display width of code points: zero-width marks, controls, wide CJK and emoji.
#include <gtest/gtest.h>

#include "foundation/char_width.hpp"

using namespace kro::unicode;

TEST(CharWidth, ZeroOneAndTwoColumns) {
    struct Case {
        uint32_t cp;
        int width;
    } cases[] = {
        {0, 0},        {0x41, 1},      {0x1B, 1},      {0x7F, 1},      {0x85, 1},     {0x9F, 1},
        {0xA0, 1},     {0xAD, 1},      {0xE9, 1},      {0x300, 0},     {0x301, 0},    {0x36F, 0},
        {0x370, 1},    {0x483, 0},     {0x488, 0},     {0x5BF, 0},     {0x600, 0},    {0x200B, 0},
        {0x200D, 0},   {0x2060, 0},    {0xFEFF, 0},    {0x1160, 0},    {0x11FF, 0},   {0x20D0, 0},
        {0x1100, 2},   {0x115F, 2},    {0x2E80, 2},    {0x3000, 2},    {0x3041, 2},   {0x4E00, 2},
        {0x9FFF, 2},   {0xAC00, 2},    {0xD7A3, 2},    {0xF900, 2},    {0xFE10, 2},   {0xFF01, 2},
        {0xFF21, 2},   {0xFF61, 1},    {0xFFE0, 2},    {0x231A, 2},    {0x2614, 2},   {0x1F300, 2},
        {0x1F44D, 2},  {0x1F600, 2},   {0x1FAF6, 2},   {0x20000, 2},   {0x2FFFD, 2},  {0x30000, 2},
        {0x3FFFD, 2},  {0x3FFFE, 1},   {0x40000, 1},   {0x10000, 1},   {0x1D167, 0},  {0xE0001, 0},
        {0xE0020, 0},  {0xE0100, 0},   {0xE01EF, 0},   {0xE01F0, 1},   {0xF0000, 1},  {0x10FFFD, 1},
        {0x2500, 1},   {0x00A1, 1},    {0x25A0, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(char_width(c.cp), c.width) << std::hex << c.cp;
}

TEST(CharWidth, AmbiguousCodePointsAreWideOnlyForCjkTerminals) {
    struct Case {
        uint32_t cp;
        int width, cjk;
    } cases[] = {
        {0xA1, 1, 2},     {0xB1, 1, 2},  {0x391, 1, 2},    {0x2500, 1, 2},  {0x25A0, 1, 2},  {0xFFFD, 1, 2},
        {0xF0000, 1, 2},  {0x10FFFD, 1, 2}, {0x41, 1, 1},  {0x4E00, 2, 2},  {0x10FFFE, 1, 1},
        {0x301, 0, 0},    {0xFE0F, 0, 0},   // ambiguous by East Asian width, yet zero-width
    };
    for (const Case& c : cases) {
        EXPECT_EQ(char_width(c.cp), c.width) << std::hex << c.cp;
        EXPECT_EQ(char_width_cjk(c.cp), c.cjk) << std::hex << c.cp;
    }
}

TEST(CharWidth, InRangesOnEdgesAndGaps) {
    const uint32_t table[] = {10, 20, 30, 30, 40, 50, 100, 200};
    struct Case {
        uint32_t cp;
        bool in;
    } cases[] = {{0, false}, {9, false}, {10, true}, {15, true}, {20, true}, {21, false}, {29, false},
                 {30, true}, {31, false}, {40, true}, {50, true}, {99, false}, {100, true}, {200, true},
                 {201, false}, {0xFFFFFFFF, false}};
    for (const Case& c : cases) EXPECT_EQ(in_ranges(c.cp, table, 8), c.in) << c.cp;
    EXPECT_FALSE(in_ranges(5, table, 2));
    EXPECT_TRUE(in_ranges(12, table, 2));
    EXPECT_FALSE(in_ranges(12, table, 0));
}
