// Plane geometry and the pixel transforms beside the image back-end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "foundation/heap.hpp"
#include "io/image_geometry.hpp"

using namespace kro;
using geometry::Quad;
using geometry::Vector2d;

namespace {

// A result buffer as a vector (released), or "none" as an empty optional.
struct Rendered {
    bool none = true;
    std::vector<uint32_t> px;
    pixels::Box box{-7, -7, -7, -7};
};

Rendered render(const std::vector<uint32_t>& src, int32_t w, int32_t h, const Quad& q) {
    Rendered r;
    uint32_t* out = pixels::map_to_quad(src.data(), w, h, q, &r.box);
    if (!out) return r;
    r.none = false;
    r.px.assign(out, out + int64_t(r.box.width) * r.box.height);
    heap::free(out);
    return r;
}

std::vector<uint32_t> resized(const std::vector<uint32_t>& src, int32_t w, int32_t h, int32_t nw, int32_t nh,
                              bool* none) {
    uint32_t* out = pixels::resize(src.data(), w, h, nw, nh);
    *none = out == nullptr;
    if (!out) return {};
    std::vector<uint32_t> v(out, out + int64_t(nw) * nh);
    heap::free(out);
    return v;
}

}  // namespace

TEST(ImageGeometry, VectorArithmetic) {
    Vector2d v;
    geometry::vector_sub(v, 1.0f, 2.0f, 4.0f, 6.0f);
    EXPECT_EQ(v.x, 3.0);
    EXPECT_EQ(v.y, 4.0);
    EXPECT_EQ(geometry::vector_length(v), 5.0);
    Vector2d u;
    geometry::vector_make(u, 2.0f, -1.0f);
    EXPECT_EQ(geometry::vector_cross(v, u), 3.0 * -1.0 - 4.0 * 2.0);
    EXPECT_EQ(geometry::vector_dot(v, u), 6.0 - 4.0);
    geometry::vector_normalize(v);
    EXPECT_DOUBLE_EQ(v.x, 0.6);
    EXPECT_DOUBLE_EQ(v.y, 0.8);
    Vector2d zero{0, 0};
    geometry::vector_normalize(zero);
    EXPECT_TRUE(std::isnan(zero.x) && std::isnan(zero.y));
    // the difference of two floats is formed in doubles, not rounded to 32 bits
    geometry::vector_sub(v, 1.0f, 0.0f, 1e8f, 0.0f);
    EXPECT_EQ(v.x, 99999999.0);
}

TEST(ImageGeometry, RotationUsesTheShortPi) {
    Vector2d v{1.0, 0.0};
    geometry::vector_rotate(v, 90);
    EXPECT_NEAR(v.x, -1.0363e-13, 0.0001e-13);
    EXPECT_NE(v.x, 0.0);
    EXPECT_EQ(v.y, 1.0);
    Vector2d w{0.0, 2.0};
    geometry::vector_rotate(w, -90);
    EXPECT_NEAR(w.x, 2.0, 1e-12);
    EXPECT_NEAR(w.y, 0.0, 1e-12);
}

TEST(ImageGeometry, EdgesAndDistances) {
    // the edge runs left to right along y = 0; the raster's y grows downwards
    EXPECT_TRUE(geometry::outside_edge(1, -1, 0, 0, 2, 0));
    EXPECT_FALSE(geometry::inside_edge(1, -1, 0, 0, 2, 0));
    EXPECT_TRUE(geometry::inside_edge(1, 1, 0, 0, 2, 0));
    EXPECT_FALSE(geometry::outside_edge(1, 0, 0, 0, 2, 0));  // on the line: neither
    EXPECT_FALSE(geometry::inside_edge(1, 0, 0, 0, 2, 0));
    EXPECT_FALSE(geometry::outside_edge(NAN, 0, 0, 0, 2, 0));
    EXPECT_EQ(geometry::line_distance(5, 3, 0, 0, 10, 0), 3.0);
    EXPECT_EQ(geometry::line_distance(5, -3, 0, 0, 10, 0), 3.0);
    EXPECT_TRUE(std::isnan(geometry::line_distance(5, 3, 1, 1, 1, 1)));
}

TEST(ImageGeometry, PointInQuad) {
    Quad q{{0, 0, 4, 0, 4, 4, 0, 4}};
    struct Case {
        float x, y;
        bool in;
    } cases[] = {{2, 2, true}, {0, 0, true}, {4, 2, true}, {4, 4, true}, {-0.5f, 2, false},
                 {2, 4.01f, false}, {5, 5, false}};
    for (const Case& c : cases) EXPECT_EQ(geometry::in_quad(q, c.x, c.y), c.in) << c.x << "," << c.y;
    Quad ccw{{0, 0, 0, 4, 4, 4, 4, 0}};
    EXPECT_FALSE(geometry::in_quad(ccw, 2, 2));
}

TEST(ImageGeometry, Mirroring) {
    Quad q{{10, 1, 30, 2, 30, 3, 10, 4}};
    geometry::mirror_quad_x(q, 10);
    const float xs[] = {10, -10, -10, 10}, ys[] = {1, 2, 3, 4};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(q.x(i), xs[i]);
        EXPECT_EQ(q.y(i), ys[i]);
    }
    geometry::mirror_quad_y(q, 1);
    const float ys2[] = {1, 0, -1, -2};
    for (int i = 0; i < 4; i++) EXPECT_EQ(q.y(i), ys2[i]);
}

TEST(ImageGeometry, CopyRect) {
    std::vector<uint32_t> src(16);
    for (uint32_t i = 0; i < 16; i++) src[i] = i;  // pixel (x, y) holds y * 4 + x
    std::vector<uint32_t> dst(10, 0xEEEEEEEE);
    EXPECT_TRUE(pixels::copy_rect(src.data(), 4, 4, 2, 1, 5, 2, dst.data()));
    EXPECT_EQ(dst, (std::vector<uint32_t>{6, 7, 10, 11, 0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE,
                                          0xEEEEEEEE, 0xEEEEEEEE}));
    std::vector<uint32_t> untouched(10, 0xEEEEEEEE);
    EXPECT_FALSE(pixels::copy_rect(src.data(), 4, 4, 4, 0, 1, 1, untouched.data()));
    EXPECT_FALSE(pixels::copy_rect(src.data(), 4, 4, 0, -1, 1, 1, untouched.data()));
    EXPECT_FALSE(pixels::copy_rect(src.data(), 4, 4, 0, 0, -1, 1, untouched.data()));
    EXPECT_TRUE(pixels::copy_rect(src.data(), 4, 4, 1, 1, 2, 0, untouched.data()));
    EXPECT_EQ(untouched, std::vector<uint32_t>(10, 0xEEEEEEEE));
}

TEST(ImageGeometry, MapToQuad) {
    std::vector<uint32_t> src{0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
    Rendered same = render(src, 2, 2, Quad{{0, 0, 2, 0, 2, 2, 0, 2}});
    ASSERT_FALSE(same.none);
    EXPECT_EQ(same.px, src);
    EXPECT_EQ(same.box.x, 0);
    EXPECT_EQ(same.box.y, 0);
    EXPECT_EQ(same.box.width, 2);
    EXPECT_EQ(same.box.height, 2);

    Rendered ccw = render(src, 2, 2, Quad{{0, 0, 0, 2, 2, 2, 2, 0}});
    ASSERT_FALSE(ccw.none);
    EXPECT_EQ(ccw.px, std::vector<uint32_t>(4, 0));

    Rendered frac = render(src, 2, 2, Quad{{0.5f, 0, 10.2f, 0, 10.2f, 3, 0.5f, 3}});
    EXPECT_EQ(frac.box.x, 0);
    EXPECT_EQ(frac.box.width, 9);
    Rendered neg = render(src, 2, 2, Quad{{-2.5f, 0, 3, 0, 3, 3, -2.5f, 3}});
    EXPECT_EQ(neg.box.x, -2);

    // two equal adjacent corners: no direction, every sample is outside
    Rendered degenerate = render(src, 2, 2, Quad{{0, 0, 0, 0, 3, 3, 0, 3}});
    ASSERT_FALSE(degenerate.none);
    EXPECT_EQ(degenerate.box.width, 3);
    EXPECT_EQ(degenerate.px, std::vector<uint32_t>(9, 0));

    // a flat quad: an empty buffer, not none
    Rendered flat = render(src, 2, 2, Quad{{0, 1, 5, 1, 5, 1, 0, 1}});
    EXPECT_FALSE(flat.none);
    EXPECT_EQ(flat.box.height, 0);
    EXPECT_TRUE(flat.px.empty());

    Rendered empty_source = render(src, 0, 2, Quad{{0, 0, 2, 0, 2, 2, 0, 2}});
    EXPECT_TRUE(empty_source.none);
    EXPECT_EQ(empty_source.box.x, -7) << "the box is not written";

    // boxes no 32-bit integer holds, or too large to allocate, are refused
    EXPECT_TRUE(render(src, 2, 2, Quad{{NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN}}).none);
    EXPECT_TRUE(render(src, 2, 2, Quad{{0, 0, 3e9f, 0, 3e9f, 2, 0, 2}}).none);
    EXPECT_TRUE(render(src, 2, 2, Quad{{0, 0, 60000, 0, 60000, 60000, 0, 60000}}).none);
}

TEST(ImageGeometry, ParallelogramIsAffine) {
    // a 2x1 source sheared to the right: each row samples the whole source
    std::vector<uint32_t> src{0x000000FF, 0x0000FF00};
    Rendered r = render(src, 2, 1, Quad{{0, 0, 4, 0, 6, 2, 2, 2}});
    ASSERT_FALSE(r.none);
    EXPECT_EQ(r.box.width, 6);
    EXPECT_EQ(r.box.height, 2);
    // row 0: x 0..3 inside; x 0 and 1 sample column 0, x 2 and 3 column 1
    EXPECT_EQ(r.px[0], 0x000000FFu);
    EXPECT_EQ(r.px[2] & 0xFF00, 0xFF00u);
    EXPECT_EQ(r.px[5], 0u) << "right of the quad";
    EXPECT_EQ(r.px[6], 0u) << "left of the quad on row 1";
}

TEST(ImageGeometry, Resize) {
    bool none;
    std::vector<uint32_t> src{0x00000000, 0xFFFFFFFF};
    EXPECT_EQ(resized(src, 2, 1, 4, 1, &none),
              (std::vector<uint32_t>{0x00000000, 0x7F7F7F7F, 0xFFFFFFFF, 0xFFFFFFFF}));
    EXPECT_FALSE(none);
    std::vector<uint32_t> grid{1, 2, 3, 4, 5, 6};  // 3x2
    EXPECT_EQ(resized(grid, 3, 2, 3, 2, &none), grid) << "the same size is a copy";
    EXPECT_EQ(resized(grid, 3, 2, 2, 1, &none), (std::vector<uint32_t>{1, 2})) << "a sample at (1.5, 0)";
    resized(src, 2, 1, -4, 1, &none);
    EXPECT_TRUE(none);
    EXPECT_TRUE(resized(src, 2, 1, 0, 1, &none).empty());
    EXPECT_FALSE(none) << "a width of 0 is an empty buffer";
    resized(src, 0, 1, 4, 1, &none);
    EXPECT_TRUE(none);
}

TEST(ImageGeometry, YCbCr422) {
    struct Case {
        uint8_t y, cb, cr;
        uint32_t word;
    } cases[] = {
        {100, 128, 128, 0xFF646464},
        {100, 128, 127, 0xFF646562},
        {0, 255, 255, 0xFFE100B2},
        {100, 0, 128, 0xFF009164},
    };
    for (const Case& c : cases) {
        uint8_t src[4] = {c.y, c.cb, c.y, c.cr};
        uint32_t dst[2] = {0, 0};
        pixels::ycbcr422_to_rgb(2, 1, src, dst);
        EXPECT_EQ(dst[0], c.word) << int(c.y) << " " << int(c.cb) << " " << int(c.cr);
        EXPECT_EQ(dst[1], c.word);
    }
    // an odd width converts whole pairs: 3 pixels take 8 bytes and give 4 words a row
    uint8_t src[16] = {10, 128, 20, 128, 30, 128, 40, 128, 50, 128, 60, 128, 70, 128, 80, 128};
    uint32_t dst[8] = {};
    pixels::ycbcr422_to_rgb(3, 2, src, dst);
    EXPECT_EQ(dst[3], 0xFF282828u);
    EXPECT_EQ(dst[4], 0xFF323232u);
    EXPECT_EQ(dst[7], 0xFF505050u);
}
