// image!: making, the mold text, positions, pixel access, the rgb/alpha/argb
// accessors, rectangles (copy, change), comparison, the codec entry points and
// the collector's care of pixels.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "compound_fixtures.hpp"
#include "datatypes/binary.hpp"
#include "datatypes/context.hpp"
#include "datatypes/image.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "foundation/collector.hpp"
#include "foundation/gc.hpp"
#include "io/image_codec.hpp"
#include "io/image_codec_bitmap.hpp"
#include "number_fixtures.hpp"
#include "output_capture.hpp"
#include "temp_dir.hpp"

using namespace kro;
using namespace kro::testing_compound;
using testing_blocks::integer;
using testing_blocks::mold_text;
using testing_blocks::form_text;
using testing_blocks::pair;
using testing_blocks::w;
using Pixels = std::vector<uint32_t>;

namespace {

Cell image_of(int32_t width, int32_t height, const Pixels& px) {
    Cell c;
    image::make_from_pixels(&c, uint32_t(width), uint32_t(height), reinterpret_cast<const uint8_t*>(px.data()));
    return c;
}

// width x height pixels whose blue byte counts 0, 1, 2 ... (opaque)
Cell counting(int32_t width, int32_t height) {
    Pixels px(size_t(width) * size_t(height));
    for (uint32_t i = 0; i < px.size(); i++) px[i] = 0xFF000000 | i;
    return image_of(width, height, px);
}

Pixels pixels_of(const Cell& img) {
    uint32_t wd, ht;
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(image::whole_pixels(&img, &wd, &ht, &bytes));
    Pixels px(bytes.size() / 4);
    if (!px.empty()) std::memcpy(px.data(), bytes.data(), bytes.size());
    return px;
}

// "WxH: b0 b1 ..." with the blue byte of each pixel (the counting images).
std::string blues(const Cell& img) {
    std::string s = std::to_string(image::width_of(&img)) + "x" + std::to_string(image::height_of(&img)) + ":";
    for (uint32_t p : pixels_of(img)) s += " " + std::to_string(p & 0xFF);
    return s;
}

Cell tup(int32_t r, int32_t g, int32_t b, int32_t a = -1) {
    Cell t{uint32_t(TYPE_NONE), 0, 0, 0};
    tuple::make_rgba(&t, r, g, b, a);
    return t;
}

Cell bin(const std::vector<uint8_t>& bytes) { return testing_numbers::binary(bytes); }

Cell at_head(Cell img, int32_t head) {
    img.data1 = uint32_t(head);
    return img;
}

std::string made(const char* spec_text) { return converted(A_MAKE, TYPE_IMAGE, loaded(spec_text)); }

}  // namespace

// ---- make, to, mold and form --------------------------------------------------------------------------

TEST(Image, MakeForms) {
    struct Case {
        const char* spec;
        const char* expected;
    } cases[] = {
        {"2x1", "make image! [2x1 #{FFFFFFFFFFFF}]"},
        {"-3x2", "make image! [0x2 #{}]"},
        {"0x0", "make image! [0x0 #{}]"},
        {"70000x1", "error script/invalid-arg"},
        {"[2x1 #{FF000000FF00}]", "make image! [2x1 #{FF000000FF00}]"},
        {"[2x2 #{FF0000FF0000FF0000FF0000}]", "make image! [2x2 #{FF0000FF0000FF0000FF0000}]"},
        {"[2x1 #{010203}]", "make image! [2x1 #{010203FFFFFF}]"},
        {"[2x1 #{010203} #{00FF}]", "make image! [2x1 #{010203FFFFFF} #{\n    00FF\n}]"},
        {"[1x1 255.0.0.128]", "make image! [1x1 #{FF0000} #{\n    80\n}]"},
        {"[1x1 1.2.3 #{80}]", "make image! [1x1 #{010203}]"},
        {"[2x1]", "make image! [2x1 #{FFFFFFFFFFFF}]"},
        {"[-1x-1]", "make image! [0x0 #{}]"},
        {"[]", "error script/invalid-arg"},
        {"[foo]", "error script/invalid-arg"},
        {"[2x2 \"x\"]", "error script/invalid-arg"},
        {"[2x2 #{} 5]", "error script/invalid-arg"},
        {"[2x70000]", "error script/invalid-arg"},
        {"5", "error script/bad-to-arg"},
        {"\"2x1\"", "error script/bad-to-arg"},
    };
    for (const Case& c : cases) EXPECT_EQ(made(c.spec), c.expected) << c.spec;
}

TEST(Image, MakeFromAPrototypeAndTo) {
    Cell proto = counting(2, 1);
    Cell spec = loaded("[]");
    auto make = datatype::action<A_MAKE>(TYPE_IMAGE);
    Cell out = proto;
    make(&out, &spec, TYPE_IMAGE);
    EXPECT_EQ(pixels_of(out), pixels_of(proto));
    EXPECT_NE(out.data2, proto.data2) << "a copy, not the same pixels";
    EXPECT_EQ(converted(A_TO, TYPE_IMAGE, proto), "make image! [2x1 #{000000000001}]");
    EXPECT_EQ(converted(A_TO, TYPE_IMAGE, loaded("2x1")), "error script/bad-to-arg");
    EXPECT_EQ(converted(A_TO, TYPE_IMAGE, bin({1, 2})), "error script/bad-to-arg");
}

TEST(Image, MoldLines) {
    auto white = [](int32_t n) { return std::string(size_t(n) * 6, 'F'); };
    Cell seven = image_of(7, 1, Pixels(7, 0xFFFFFFFF));
    EXPECT_EQ(mold_text(seven), "make image! [7x1 #{" + white(7) + "}]");
    Cell eight = image_of(8, 1, Pixels(8, 0xFFFFFFFF));
    EXPECT_EQ(mold_text(eight), "make image! [8x1 #{\n    " + white(8) + "\n}]");
    EXPECT_EQ(form_text(eight), "make image! [8x1 #{\n" + white(8) + "\n}]");
    EXPECT_EQ(mold_text(eight, false, true), "make image! [8x1 #{" + white(8) + "}]") << "flat";
    Cell twelve = image_of(12, 1, Pixels(12, 0xFFFFFFFF));
    EXPECT_EQ(mold_text(twelve), "make image! [12x1 #{\n    " + white(10) + "\n    " + white(2) + "\n}]");
    Cell ten = image_of(5, 2, Pixels(10, 0xFFFFFFFF));
    EXPECT_EQ(mold_text(ten), "make image! [5x2 #{\n    " + white(10) + "\n    }]");
    // one transparent pixel brings the transparency of all of them
    Pixels px(12, 0xFFFFFFFF);
    px[11] = 0x00FFFFFF;
    Cell alpha = image_of(12, 1, px);
    EXPECT_EQ(mold_text(alpha), "make image! [12x1 #{\n    " + white(10) + "\n    " + white(2) + "\n} #{\n    " +
                                    std::string(20, '0') + "\n    00FF\n}]");
    EXPECT_EQ(mold_text(alpha, false, true), "make image! [12x1 #{" + white(12) + "} #{\n" + std::string(22, '0') +
                                                 "FF\n}]")
        << "flat: the line breaks of the transparency block stay";
    // from the head on; the size is the whole image's
    Cell two = image_of(2, 1, {0xFFFF0000, 0xFF00FF00});
    EXPECT_EQ(mold_text(at_head(two, 1)), "make image! [2x1 #{00FF00}]");
    EXPECT_EQ(mold_text(at_head(two, 2)), "make image! [2x1 #{}]");
    EXPECT_EQ(mold_text(two, true), "2x1 #{FF000000FF00}") << "only";
    EXPECT_EQ(mold_text(image_of(0, 3, {}), true), "0x3 #{}");
    int32_t budget = 0;
    std::string cut = mold_text(twelve, false, false, 24, &budget);
    EXPECT_LE(budget, 0);
    EXPECT_EQ(cut.rfind("make image! [12x1 #{", 0), 0u);
    EXPECT_LT(cut.size(), mold_text(twelve).size());
}

// ---- positions ------------------------------------------------------------------------------------------

TEST(Image, AtSkipAndTheOtherMoves) {
    Cell img = counting(3, 2);
    struct Case {
        int slot;
        int32_t head;
        Cell arg;
        int32_t expected;
    } cases[] = {
        {A_AT, 0, integer(1), 0},   {A_AT, 0, integer(0), 0},    {A_AT, 0, integer(3), 2},
        {A_AT, 2, integer(-1), 1},  {A_AT, 2, integer(0), 2},    {A_AT, 0, pair(2, 2), 4},
        {A_AT, 0, integer(100), 6}, {A_AT, 0, pair(0, 0), 0},    {A_AT, 0, integer(-5), 0},
        {A_SKIP, 0, integer(2), 2}, {A_SKIP, 0, pair(1, 1), 4},  {A_SKIP, 3, integer(-5), 0},
        {A_SKIP, 0, integer(99), 6}, {A_SKIP, 1, integer(0), 1},
    };
    for (const Case& c : cases) {
        Cell r = call_slot(c.slot, {at_head(img, c.head), c.arg});
        EXPECT_EQ(int32_t(r.data1), c.expected) << "slot " << c.slot << " head " << c.head << " " << shown(c.arg);
        EXPECT_TRUE(r.is(TYPE_IMAGE));
    }
    EXPECT_EQ(raised([&] { call_slot(A_AT, {img, loaded("1.5")}); }), "script/invalid-arg");
    EXPECT_EQ(call_slot(A_NEXT, {at_head(img, 5)}).data1, 6u);
    EXPECT_EQ(call_slot(A_NEXT, {at_head(img, 6)}).data1, 6u);
    EXPECT_EQ(call_slot(A_BACK, {at_head(img, 6)}).data1, 5u);
    EXPECT_EQ(call_slot(A_BACK, {img}).data1, 0u);
    EXPECT_EQ(call_slot(A_TAIL, {img}).data1, 6u);
    EXPECT_EQ(call_slot(A_HEAD, {at_head(img, 4)}).data1, 0u);
    EXPECT_EQ(shown(call_slot(A_TAIL_Q, {at_head(img, 6)})), "true");
    EXPECT_EQ(shown(call_slot(A_TAIL_Q, {at_head(img, 5)})), "false");
    EXPECT_EQ(shown(call_slot(A_HEAD_Q, {img})), "true");
    EXPECT_EQ(shown(call_slot(A_HEAD_Q, {at_head(img, 1)})), "false");
    EXPECT_EQ(shown(call_slot(A_INDEX_Q, {at_head(img, 4)})), "5");
    EXPECT_EQ(shown(call_slot(A_INDEX_Q, {at_head(img, 40)})), "7") << "a head past the tail reads as the tail";
    auto length = datatype::action<A_LENGTH_Q>(TYPE_IMAGE);
    Cell next = at_head(img, 1);
    EXPECT_EQ(length(&img), 6);
    EXPECT_EQ(length(&next), 6) << "the length is the whole image's";
}

TEST(Image, PickAndPoke) {
    Cell img = counting(3, 2);
    auto pick = datatype::action<A_PICK>(TYPE_IMAGE);
    struct Pick {
        int32_t head;
        Cell position;
        const char* expected;
    } picks[] = {
        {0, integer(1), "0.0.0.0"},   {0, integer(2), "0.0.1.0"},   {0, pair(2, 1), "0.0.1.0"},
        {0, pair(3, 2), "0.0.5.0"},   {0, integer(6), "0.0.5.0"},   {0, integer(7), "none"},
        {0, integer(0), "none"},      {0, pair(0, 1), "none"},      {0, pair(4, 1), "none"},
        {0, pair(1, 3), "none"},      {2, integer(-1), "0.0.1.0"},  {2, integer(1), "0.0.2.0"},
        {2, pair(1, 1), "0.0.2.0"},   {0, integer(-1), "none"},     {5, integer(2), "none"},
    };
    for (const Pick& p : picks) {
        Cell s = at_head(img, p.head), position = p.position;
        EXPECT_EQ(outcome([&] { return *pick(&s, int32_t(position.data2), &position); }), p.expected)
            << "head " << p.head << " at " << shown(p.position);
    }
    Cell yes = logic::make(true);
    Cell s = img;
    EXPECT_EQ(shown(*pick(&s, 1, &yes)), "0.0.0.0") << "a logic index counts as 1 or 2";

    auto poke = datatype::action<A_POKE>(TYPE_IMAGE);
    Cell red = tup(255, 0, 0), half = tup(255, 0, 0, 128);
    Cell one = integer(1), two_two = pair(2, 2), zero = integer(0), seven = integer(7);
    EXPECT_EQ(shown(*poke(&img, 1, &red, &one)), "255.0.0");
    EXPECT_EQ(pixels_of(img)[0], 0xFFFF0000u);
    poke(&img, 1, &half, &one);
    EXPECT_EQ(pixels_of(img)[0], 0x7FFF0000u) << "alpha is 255 minus the fourth byte";
    poke(&img, 0, &red, &two_two);
    EXPECT_EQ(pixels_of(img)[4], 0xFFFF0000u);
    EXPECT_EQ(raised([&] { poke(&img, 0, &red, &zero); }), "script/out-of-range");
    EXPECT_EQ(last_raised().args[0].data2, 0u);
    EXPECT_EQ(raised([&] { poke(&img, 7, &red, &seven); }), "script/out-of-range");
    EXPECT_EQ(raised([&] { poke(&img, 1, &one, &one); }), "script/invalid-arg");
}

// ---- paths and the accessors ----------------------------------------------------------------------------

namespace {

std::string path_get(Cell img, Cell element) {
    auto fn = datatype::action<A_EVAL_PATH>(TYPE_IMAGE);
    Cell none_cell = none::value;
    return outcome([&] {
        return *fn(&img, &element, nullptr, &none_cell, &none_cell, &element, 1, false, true, false, false);
    });
}

std::string path_set(Cell& img, Cell element, Cell value) {
    auto fn = datatype::action<A_EVAL_PATH>(TYPE_IMAGE);
    Cell none_cell = none::value;
    return outcome([&] {
        return *fn(&img, &element, &value, &none_cell, &none_cell, &element, 1, false, false, false, false);
    });
}

}  // namespace

TEST(Image, PathAccessors) {
    Cell img = image_of(2, 1, {0xFF010203, 0x80040506});
    EXPECT_EQ(path_get(img, w("size")), "2x1");
    EXPECT_EQ(path_get(img, w("rgb")), "#{010203040506}");
    EXPECT_EQ(path_get(img, w("alpha")), "#{007F}");
    EXPECT_EQ(path_get(img, w("argb")), "#{030201FF06050480}");
    EXPECT_EQ(path_get(at_head(img, 1), w("rgb")), "#{010203040506}") << "all pixels, whatever the head";
    EXPECT_EQ(path_get(img, integer(2)), "4.5.6.127");
    EXPECT_EQ(path_get(img, pair(1, 1)), "1.2.3.0");
    EXPECT_EQ(path_get(img, integer(3)), "none");
    EXPECT_EQ(path_get(img, w("width")), "error script/invalid-path");
    EXPECT_EQ(path_get(img, loaded("\"rgb\"")), "error script/invalid-path");
    EXPECT_EQ(path_set(img, w("size"), pair(3, 3)), "error script/invalid-path");
    EXPECT_EQ(path_set(img, integer(2), tup(9, 9, 9)), "9.9.9");
    EXPECT_EQ(pixels_of(img)[1], 0xFF090909u);
    EXPECT_EQ(path_set(img, integer(5), tup(9, 9, 9)), "error script/out-of-range");
    // rgb keeps the transparency; alpha keeps the colour
    Cell see = image_of(2, 1, {0x80102030, 0xFF405060});
    EXPECT_EQ(path_set(see, w("rgb"), tup(255, 0, 0)), "255.0.0");
    EXPECT_EQ(pixels_of(see), (Pixels{0x80FF0000, 0xFFFF0000}));
    Cell opaque = image_of(3, 1, Pixels(3, 0xFF123456));
    EXPECT_EQ(path_get(opaque, w("alpha")), "#{000000}");
}

TEST(Image, SetDataWritesEveryPixel) {
    struct Case {
        int32_t kind;
        Cell value;
        Pixels expected;
    } cases[] = {
        {image::ARGB, bin({1, 2, 3, 4, 0x80}), {0x04030201, 0x22222280}},
        {image::ARGB, bin({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), {0x04030201, 0x08070605}},
        {image::RGB, bin({10, 11, 12, 13}), {0x110A0B0C, 0x22222222}},
        {image::RGB, bin({10, 11, 12, 13, 14, 15}), {0x110A0B0C, 0x220D0E0F}},
        {image::ALPHA, bin({0, 255, 7}), {0xFF333333, 0x00222222}},
        {image::ARGB, tup(1, 2, 3), {0xFF010203, 0xFF010203}},
        {image::ARGB, tup(1, 2, 3, 4), {0xFB010203, 0xFB010203}},
        {image::RGB, tup(1, 2, 3, 4), {0x11010203, 0x22010203}},
        {image::ALPHA, tup(10, 20, 30), {0xF5333333, 0xF5222222}},
        {image::ARGB, integer(0x11223344), {0xEE443322, 0xEE443322}},
        {image::ALPHA, integer(5), {0xFA333333, 0xFA222222}},
        {image::RGB, integer(0x000000FF), {0x11FF0000, 0x22FF0000}},
    };
    for (const Case& c : cases) {
        Cell img = image_of(2, 1, {0x11333333, 0x22222222});
        Cell value = c.value;
        image::set_data(&img, &value, c.kind);
        EXPECT_EQ(pixels_of(img), c.expected) << "kind " << c.kind << " " << shown(c.value);
    }
    Cell img = image_of(2, 1, {0x11333333, 0x22222222});
    Cell text = loaded("\"x\"");
    EXPECT_EQ(raised([&] { image::set_data(&img, &text, image::RGB); }), "script/invalid-arg");
    Cell empty = image_of(0, 0, {});
    Cell value = bin({1, 2, 3});
    EXPECT_EQ(raised([&] { image::set_data(&empty, &value, image::ARGB); }), "") << "nothing to write";
}

// ---- comparison ------------------------------------------------------------------------------------------

TEST(Image, Compare) {
    auto cmp = datatype::action<A_COMPARE>(TYPE_IMAGE);
    Cell a = image_of(2, 1, {0xFF000001, 0xFF000002});
    Cell a2 = image_of(2, 1, {0xFF000001, 0xFF000002});
    Cell b = image_of(2, 1, {0xFF000001, 0xFF000003});
    Cell wide = image_of(3, 1, Pixels(3, 0));
    Cell e1 = image_of(0, 0, {}), e2 = image_of(0, 5, {});
    Cell next_a = at_head(a, 1), seven = integer(7);
    struct Case {
        Cell* x;
        Cell* y;
        int32_t op;
        int32_t expected;
    } cases[] = {
        {&a, &a, 0, 0},   {&a, &a2, 0, 0},   {&a, &a2, 2, 0},   {&a, &b, 0, -1},  {&b, &a, 0, 1},
        {&a, &wide, 0, -1}, {&wide, &a, 1, 1}, {&a, &next_a, 0, 0},  // heads play no part
        {&a, &a, 9, 0},   {&a, &a2, 9, -1},  {&a, &next_a, 9, -1}, {&a, &b, 3, -2}, {&a, &b, 6, -2},
        {&a, &seven, 0, -2}, {&e1, &e2, 0, 0}, {&a, &b, 7, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cmp(c.x, c.y, c.op), c.expected) << shown(*c.x) << " " << shown(*c.y) << " op " << c.op;
}

// ---- copy and change --------------------------------------------------------------------------------------

TEST(Image, CopyRectangles) {
    Cell img = counting(4, 4);
    struct Case {
        int32_t head;
        Cell part;  // none: no /part
        const char* expected;
    } cases[] = {
        {0, none::value, "4x4: 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15"},
        {5, none::value, "3x3: 5 6 7 9 10 11 13 14 15"},
        {5, pair(2, 2), "2x2: 5 6 9 10"},
        {5, pair(3, 9), "3x3: 5 6 7 9 10 11 13 14 15"},
        {16, pair(2, 2), "0x0:"},
        // the rectangle whose last pixel is the one before the head
        {10, pair(-2, -2), "2x2: 4 5 8 9"},
        {4, pair(-2, -2), "2x1: 2 3"},
        {16, pair(-2, -2), "2x2: 10 11 14 15"},
        {1, pair(-3, -3), "1x1: 0"},
        {5, pair(0, 3), "0x0:"},
        {5, pair(-1, 2), "0x0:"},
        {16, none::value, "0x0:"},
    };
    auto copy = datatype::action<A_COPY>(TYPE_IMAGE);
    for (const Case& c : cases) {
        Cell s = at_head(img, c.head), part = c.part, result = none::value;
        Cell* r = copy(&s, &result, part.is(TYPE_NONE) ? nullptr : &part, false, nullptr);
        EXPECT_EQ(blues(*r), c.expected) << "head " << c.head << " part " << shown(c.part);
        EXPECT_EQ(r->data1, 0u);
    }
    // /part up to another position of the same image
    Cell s = img, other = at_head(img, 10), result = none::value;
    EXPECT_EQ(blues(*copy(&s, &result, &other, false, nullptr)), "2x2: 0 1 4 5");
    EXPECT_EQ(blues(*copy(&other, &result, &s, false, nullptr)), "2x2: 0 1 4 5");
    Cell n = integer(2), text = loaded("\"x\""), stranger = counting(4, 4);
    EXPECT_EQ(raised([&] { copy(&s, &result, &n, false, nullptr); }), "internal/not-done");
    EXPECT_EQ(raised([&] { copy(&s, &result, &text, false, nullptr); }), "script/invalid-refine-arg");
    EXPECT_EQ(raised([&] { copy(&s, &result, &stranger, false, nullptr); }), "script/invalid-refine-arg");
    Cell flat = image_of(0, 3, {});
    EXPECT_EQ(blues(*copy(&flat, &result, nullptr, false, nullptr)), "0x0:");
    // a copy owns its pixels
    copy(&s, &result, nullptr, false, nullptr);
    bitmap::set_pixel(result.data2, 0, 0xFF0000FF);
    EXPECT_EQ(pixels_of(img)[0], 0xFF000000u);
}

TEST(Image, ChangeWithPixelsAndImages) {
    auto change = datatype::action<A_CHANGE>(TYPE_IMAGE);
    Cell img = counting(4, 3);
    Cell red = tup(255, 0, 0);
    Cell s = at_head(img, 5);
    Cell* r = change(&s, &red, -1, false, 1);
    EXPECT_EQ(r->data1, 6u) << "the head moves past the pixel";
    EXPECT_EQ(pixels_of(img)[5], 0xFFFF0000u);
    Cell end = at_head(img, 12);
    EXPECT_EQ(change(&end, &red, -1, false, 1)->data1, 12u) << "nothing at the tail";

    // a 3x2 source at (2, 1) of a 4x3 target: cut to 2x2
    Cell target = counting(4, 3), source = image_of(3, 2, Pixels(6, 0xFFAAAAAA));
    Cell t = at_head(target, 6);
    r = change(&t, &source, -1, false, 1);
    EXPECT_EQ(r->data1, 12u) << "after the last pixel written in the last row";
    EXPECT_EQ(blues(target), "4x3: 0 1 2 3 4 5 170 170 8 9 170 170");
    // the image into itself, shifted: read before written
    Cell self = counting(3, 1), moved = at_head(self, 1);
    change(&moved, &self, -1, false, 1);
    EXPECT_EQ(blues(self), "3x1: 0 0 1");

    EXPECT_EQ(raised([&] { change(&s, &red, 2, false, 1); }), "internal/not-done");
    EXPECT_EQ(raised([&] { change(&s, &red, -1, false, 3); }), "internal/not-done");
    Cell five = integer(5);
    EXPECT_EQ(raised([&] { change(&s, &five, -1, false, 1); }), "script/invalid-type");
}

// ---- foreach -------------------------------------------------------------------------------------------------

TEST(Image, ForeachSteps) {
    Cell words;
    block::make_at(&words, 2);
    *block::add_cell(&words) = word::load("image-test-a");
    *block::add_cell(&words) = word::load("image-test-b");
    Cell img = image_of(3, 1, {0xFF010101, 0x80020202, 0xFF030303});
    auto value = [](const char* name) { return shown(*context::get_global(symbol::make(name))); };
    EXPECT_TRUE(image::foreach_next(&words, &img, 2));
    EXPECT_EQ(value("image-test-a"), "1.1.1.0");
    EXPECT_EQ(value("image-test-b"), "2.2.2.127");
    EXPECT_EQ(img.data1, 2u);
    EXPECT_TRUE(image::foreach_next(&words, &img, 2));
    EXPECT_EQ(value("image-test-a"), "3.3.3.0");
    EXPECT_EQ(value("image-test-b"), "none") << "past the last pixel";
    EXPECT_EQ(img.data1, 3u);
    EXPECT_FALSE(image::foreach_next(&words, &img, 2));
    Cell bad;
    block::make_at(&bad, 1);
    *block::add_cell(&bad) = integer(1);
    img.data1 = 0;
    EXPECT_EQ(raised([&] { image::foreach_next(&bad, &img, 1); }), "script/invalid-arg");
}

// ---- codecs ----------------------------------------------------------------------------------------------------

TEST(Image, EncodeAndDecode) {
    Cell img = image_of(3, 1, {0xFF102030, 0x00000000, 0x80FFFFFF});
    for (int32_t format : {image_codec::BMP, image_codec::PNG, image_codec::TIFF}) {
        Cell where = none::value, back = none::value;
        image::encode(&img, &where, format);
        ASSERT_TRUE(where.is(TYPE_BINARY));
        image::decode(&where, &back);
        EXPECT_EQ(datatype::action<A_COMPARE>(TYPE_IMAGE)(&img, &back, 0), 0) << "format " << format;
    }
    // appended to a binary given as the place
    Cell where = bin({7, 7});
    image::encode(&img, &where, image_codec::BMP);
    EXPECT_EQ(binary::get_byte(&where, 0), 7);
    EXPECT_EQ(binary::get_byte(&where, 2), 'B');
    {
        test::CapturedOutput capture;
        Cell out = none::value;
        image::encode(&img, &out, 9);
        EXPECT_TRUE(out.is(TYPE_NONE));
        EXPECT_EQ(capture.take(), "Cannot find image encoder\n");
    }
    Cell empty = image_of(0, 2, {}), out = none::value;
    image::encode(&empty, &out, image_codec::PNG);  // a side of 0: an empty binary
    ASSERT_TRUE(out.is(TYPE_BINARY));
    EXPECT_EQ(binary::ks_length(&out), 0u);

    Cell unknown = bin({0, 1, 2, 3});
    EXPECT_TRUE(image::decode(&unknown, &out)->is(TYPE_NONE));
    Cell no_bytes = bin({});
    EXPECT_TRUE(image::decode(&no_bytes, &out)->is(TYPE_NONE));
    Cell broken = bin({137, 'P', 'N', 'G', 0, 0, 0, 0});
    EXPECT_EQ(raised([&] { image::decode(&broken, &out); }), "access/bad-media");
    // the signature is read at the binary's head
    std::vector<uint8_t> bytes{1, 2};
    std::vector<uint8_t> file;
    image_codec::encode(pixels_of(img).data(), 3, 1, image_codec::PNG, file);
    bytes.insert(bytes.end(), file.begin(), file.end());
    Cell offset = bin(bytes);
    offset.data1 = 2;
    EXPECT_EQ(blues(*image::decode(&offset, &out)), "3x1: 48 0 255");
}

TEST(Image, FilesAndToBinary) {
    test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::vector<uint8_t> bmp;
    ASSERT_TRUE(image_codec::encode(Pixels{0xFF0000FF, 0xFF00FF00}.data(), 2, 1, image_codec::BMP, bmp));
    test::put_file(dir / "two.bmp", std::string(bmp.begin(), bmp.end()));
    test::put_file(dir / "bad.png", "\x89PNG nothing");
    auto file = [](const std::string& path) {
        Cell f = testing_blocks::text(path.c_str());
        f.set_type(TYPE_FILE);
        return f;
    };
    Cell out = none::value;
    Cell two = file(dir / "two.bmp");
    EXPECT_EQ(blues(*image::decode(&two, &out)), "2x1: 255 0");
    Cell missing = file(dir / "missing.png"), bad = file(dir / "bad.png"), number = integer(3);
    EXPECT_EQ(raised([&] { image::decode(&missing, &out); }), "access/cannot-open");
    EXPECT_EQ(shown(last_raised().args[0]), shown(missing));
    EXPECT_EQ(raised([&] { image::decode(&bad, &out); }), "access/cannot-open");
    EXPECT_EQ(raised([&] { image::decode(&number, &out); }), "access/cannot-open");

    Cell img = image_of(2, 1, {0x80010203, 0xFF040506});
    EXPECT_EQ(converted(A_TO, TYPE_BINARY, img), "#{03020180060504FF}") << "to binary!: the argb bytes";
}

// ---- the collector ---------------------------------------------------------------------------------------------

TEST(Image, PixelsLiveAsLongAsTheirImage) {
    gc::Rooted blk;
    block::make_at(&blk.cell, 2);
    *block::add_cell(blk.get()) = image_of(2, 1, {0xFF0A0B0C, 0xFF0D0E0F});
    image_of(64, 64, Pixels(64 * 64));  // unreachable
    collector::collect();
    Cell kept = *block::at(blk.get(), 0);
    EXPECT_EQ(shown(kept), "make image! [2x1 #{0A0B0C0D0E0F}]");
    EXPECT_TRUE(collector::check_heap().empty()) << collector::check_heap();
    // released pixels: the size stays, access to the pixels fails
    image::release(&kept);
    EXPECT_EQ(shown(kept), "make image! [2x1 #{}]");
    auto pick = datatype::action<A_PICK>(TYPE_IMAGE);
    Cell one = integer(1);
    EXPECT_EQ(raised([&] { pick(&kept, 1, &one); }), "access/bad-media");
}

TEST(Image, WholePixelsForSerialization) {
    Cell img = image_of(2, 1, {0x80010203, 0xFF040506});
    uint32_t wd = 0, ht = 0;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(image::whole_pixels(&img, &wd, &ht, &bytes));
    EXPECT_EQ(wd, 2u);
    EXPECT_EQ(ht, 1u);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{3, 2, 1, 0x80, 6, 5, 4, 0xFF}));
    Cell back;
    image::make_from_pixels(&back, 2, 1, bytes.data());
    EXPECT_EQ(pixels_of(back), pixels_of(img));
    EXPECT_EQ(raised([&] { image::make_from_pixels(&back, 70000, 1, bytes.data()); }), "internal/no-memory");
    image::release(&img);
    EXPECT_FALSE(image::whole_pixels(&img, &wd, &ht, &bytes));
}
