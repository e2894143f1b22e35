// Plane geometry and pixel-buffer transforms beside the image back-end: vector
// arithmetic, point-in-quadrilateral tests, cutting a rectangle out of pixels,
// drawing pixels onto an arbitrary quadrilateral, bilinear resizing and packed
// 4:2:2 YCbCr conversion.
//
// Points and corners are 32-bit floats, vectors 64-bit floats. Pixel buffers
// hold 32-bit words row after row with no padding; the four bytes of a word are
// treated alike (alpha included, nothing premultiplied). Several results are
// bit-exact: the precision of each step (which values are rounded to 32 bits)
// is part of the contract, so do not "simplify" the arithmetic.
//
// Buffers answered by map_to_quad and resize come from heap::alloc and belong
// to the caller (heap::free). Nothing keeps state between calls.
#pragma once
#include <cstdint>

namespace kro::geometry {

struct Vector2d {
    double x, y;
};

// Four corners x0 y0 x1 y1 x2 y2 x3 y3, clockwise on a raster whose y grows
// downwards: P0 top-left, P1 top-right, P2 bottom-right, P3 bottom-left.
struct Quad {
    float c[8];
    float x(int i) const { return c[2 * i]; }
    float y(int i) const { return c[2 * i + 1]; }
};

void vector_make(Vector2d& v, float x, float y);
// The vector from A to B.
void vector_sub(Vector2d& v, float ax, float ay, float bx, float by);
double vector_length(const Vector2d& v);
// In place; a zero vector becomes (NaN, NaN).
void vector_normalize(Vector2d& v);
double vector_cross(const Vector2d& u, const Vector2d& v);
double vector_dot(const Vector2d& u, const Vector2d& v);
// Rotates in place; pi is taken as 3.14159265359.
void vector_rotate(Vector2d& v, int32_t degrees);

// cross(P - A, B - A) < 0 (inside) or > 0 (outside); NaN answers false.
bool inside_edge(float px, float py, float ax, float ay, float bx, float by);
bool outside_edge(float px, float py, float ax, float ay, float bx, float by);
// The distance from P to the line through A and B; NaN when A equals B.
double line_distance(float px, float py, float ax, float ay, float bx, float by);
// P inside the quad or on its border; a counter-clockwise quad contains nothing.
bool in_quad(const Quad& q, float px, float py);
// Each corner's x (or y) becomes 2a - x, in 32-bit floats.
void mirror_quad_x(Quad& q, float a);
void mirror_quad_y(Quad& q, float a);

}  // namespace kro::geometry

namespace kro::pixels {

// Copies the rectangle (x, y, width, height), cut to the source, into a packed
// destination (row r at pixel r x row length). Answers false, writing nothing,
// when the origin lies outside the source or the width is negative.
bool copy_rect(const uint32_t* src, int32_t src_width, int32_t src_height, int32_t x, int32_t y, int32_t width,
               int32_t height, uint32_t* dst);

// The quad's bounding box: x and y truncated toward zero, width and height
// the truncated extents.
struct Box {
    int32_t x, y, width, height;
};

// Renders the source into the quad: a new buffer of the bounding box, whose
// pixels outside the quad (or whose sample falls outside the source) are 0.
// The box is written to *box first. Answers null for a source narrower or
// lower than 1 pixel (box untouched), and for a box that is not finite or
// needs 2^31 bytes or more (refused).
uint32_t* map_to_quad(const uint32_t* src, int32_t src_width, int32_t src_height, const geometry::Quad& quad,
                      Box* box);

// Bilinear scaling to new_width x new_height; null when the rendering refuses
// or its box differs from the size asked (a negative size).
uint32_t* resize(const uint32_t* src, int32_t src_width, int32_t src_height, int32_t new_width,
                 int32_t new_height);

// Packed Y0 Cb Y1 Cr into words 0xFF000000 | B << 16 | G << 8 | R (alpha 255,
// red in the low byte). Each row converts whole pairs: an odd width makes a
// row of width + 1 words from (width + 1) x 2 bytes.
void ycbcr422_to_rgb(int32_t width, int32_t rows, const uint8_t* src, uint32_t* dst);

}  // namespace kro::pixels
