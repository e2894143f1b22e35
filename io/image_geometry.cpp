#include "io/image_geometry.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "foundation/heap.hpp"

namespace kro::geometry {

void vector_make(Vector2d& v, float x, float y) {
    v.x = x;
    v.y = y;
}

void vector_sub(Vector2d& v, float ax, float ay, float bx, float by) {
    v.x = double(bx) - double(ax);
    v.y = double(by) - double(ay);
}

double vector_length(const Vector2d& v) { return std::sqrt(v.x * v.x + v.y * v.y); }

void vector_normalize(Vector2d& v) {
    double len = vector_length(v);
    v.x = v.x / len;
    v.y = v.y / len;
}

double vector_cross(const Vector2d& u, const Vector2d& v) { return u.x * v.y - u.y * v.x; }

double vector_dot(const Vector2d& u, const Vector2d& v) { return u.x * v.x + u.y * v.y; }

void vector_rotate(Vector2d& v, int32_t degrees) {
    double theta = double(degrees) * 3.14159265359 / 180.0;
    double s = std::sin(theta), c = std::cos(theta);
    double x = v.x * c - v.y * s;
    double y = v.x * s + v.y * c;
    v.x = x;
    v.y = y;
}

namespace {

// cross(P - A, B - A)
double edge_cross(float px, float py, float ax, float ay, float bx, float by) {
    Vector2d p, e;
    vector_sub(p, ax, ay, px, py);
    vector_sub(e, ax, ay, bx, by);
    return vector_cross(p, e);
}

// |cross(P - A, dir)|, a negative product replaced by 0 minus it
double distance_along(float px, float py, float ax, float ay, const Vector2d& dir) {
    Vector2d p;
    vector_sub(p, ax, ay, px, py);
    double c = vector_cross(p, dir);
    return c < 0 ? 0 - c : c;
}

}  // namespace

bool inside_edge(float px, float py, float ax, float ay, float bx, float by) {
    return edge_cross(px, py, ax, ay, bx, by) < 0;
}

bool outside_edge(float px, float py, float ax, float ay, float bx, float by) {
    return edge_cross(px, py, ax, ay, bx, by) > 0;
}

double line_distance(float px, float py, float ax, float ay, float bx, float by) {
    Vector2d dir;
    vector_sub(dir, ax, ay, bx, by);
    vector_normalize(dir);
    return std::fabs(vector_cross(Vector2d{double(px) - double(ax), double(py) - double(ay)}, dir));
}

bool in_quad(const Quad& q, float px, float py) {
    for (int e = 0; e < 4; e++) {
        int s = e, t = (e + 1) & 3;
        if (outside_edge(px, py, q.x(s), q.y(s), q.x(t), q.y(t))) return false;
    }
    return true;
}

void mirror_quad_x(Quad& q, float a) {
    float twice = float(2.0 * double(a));
    for (int i = 0; i < 4; i++) q.c[2 * i] = float(double(twice) - double(q.c[2 * i]));
}

void mirror_quad_y(Quad& q, float a) {
    float twice = float(2.0 * double(a));
    for (int i = 0; i < 4; i++) q.c[2 * i + 1] = float(double(twice) - double(q.c[2 * i + 1]));
}

}  // namespace kro::geometry

namespace kro::pixels {

using geometry::Quad;
using geometry::Vector2d;

bool copy_rect(const uint32_t* src, int32_t src_width, int32_t src_height, int32_t x, int32_t y, int32_t width,
               int32_t height, uint32_t* dst) {
    if (x < 0 || y < 0 || x >= src_width || y >= src_height || width < 0) return false;
    int64_t row_length = int64_t(x) + width > src_width ? src_width - x : width;
    int64_t rows = int64_t(y) + height > src_height ? src_height - y : height;
    for (int64_t r = 0; r < rows; r++)
        std::memcpy(dst + r * row_length, src + (int64_t(y) + r) * src_width + x, size_t(row_length) * 4);
    return true;
}

namespace {

// Truncation toward zero of a finite value that fits in 32 bits.
bool truncated(double d, int32_t* out) {
    if (!(d > -2147483649.0 && d < 2147483648.0)) return false;
    *out = int32_t(d);
    return true;
}

}  // namespace

uint32_t* map_to_quad(const uint32_t* src, int32_t src_width, int32_t src_height, const Quad& q, Box* box) {
    if (src_width < 1 || src_height < 1) return nullptr;
    float min_x = FLT_MAX, min_y = FLT_MAX, max_x = -FLT_MAX, max_y = -FLT_MAX;
    for (int i = 0; i < 4; i++) {
        if (q.x(i) < min_x) min_x = q.x(i);
        if (q.x(i) > max_x) max_x = q.x(i);
        if (q.y(i) < min_y) min_y = q.y(i);
        if (q.y(i) > max_y) max_y = q.y(i);
    }
    // A box that no 32-bit integer holds (NaN or far-away corners) is refused:
    // its fields then carry the x86 answer to such a conversion.
    Box b{INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN};
    bool ok = truncated(min_x, &b.x);
    ok = truncated(min_y, &b.y) && ok;
    ok = truncated(double(max_x) - double(min_x), &b.width) && ok;
    ok = truncated(double(max_y) - double(min_y), &b.height) && ok;
    *box = b;
    if (!ok || b.width < 0 || b.height < 0) return nullptr;
    int64_t count = int64_t(b.width) * b.height;
    if (count * 4 > INT32_MAX) return nullptr;

    Vector2d dir[4];
    for (int e = 0; e < 4; e++) {
        int t = (e + 1) & 3;
        geometry::vector_sub(dir[e], q.x(e), q.y(e), q.x(t), q.y(t));
        geometry::vector_normalize(dir[e]);
    }
    auto* out = static_cast<uint32_t*>(heap::alloc(size_t(count) * 4));
    std::memset(out, 0, size_t(count) * 4);

    for (int32_t j = 0; j < b.height; j++) {
        for (int32_t i = 0; i < b.width; i++) {
            float px = float(int64_t(b.x) + i), py = float(int64_t(b.y) + j);
            if (!geometry::in_quad(q, px, py)) continue;
            double top = geometry::distance_along(px, py, q.x(0), q.y(0), dir[0]);
            double right = geometry::distance_along(px, py, q.x(1), q.y(1), dir[1]);
            double bottom = geometry::distance_along(px, py, q.x(2), q.y(2), dir[2]);
            double left = geometry::distance_along(px, py, q.x(3), q.y(3), dir[3]);
            float sx = float(left / (left + right) * double(src_width));
            float sy = float(top / (top + bottom) * double(src_height));
            if (!std::isfinite(sx) || !std::isfinite(sy)) continue;
            // truncation toward zero: below 0 only from -1 down
            if (sx <= -1.0f || sy <= -1.0f || sx >= float(src_width) || sy >= float(src_height)) continue;
            int32_t ix = int32_t(sx), iy = int32_t(sy);
            int32_t ix1 = ix == src_width - 1 ? ix : ix + 1;
            int32_t iy1 = iy == src_height - 1 ? iy : iy + 1;
            float fx = sx - float(ix), fy = sy - float(iy);
            if (fx < 0) fx = 0;
            if (fy < 0) fy = 0;
            float gx = 1.0f - fx, gy = 1.0f - fy;
            float w00 = gx * gy, w10 = fx * gy, w01 = gx * fy, w11 = fx * fy;
            uint32_t p00 = src[int64_t(iy) * src_width + ix], p10 = src[int64_t(iy) * src_width + ix1];
            uint32_t p01 = src[int64_t(iy1) * src_width + ix], p11 = src[int64_t(iy1) * src_width + ix1];
            uint32_t word = 0;
            for (int k = 0; k < 4; k++) {
                int shift = 8 * k;
                float sum = 0.0f;
                sum = sum + w00 * float((p00 >> shift) & 0xFF);
                sum = sum + w10 * float((p10 >> shift) & 0xFF);
                sum = sum + w01 * float((p01 >> shift) & 0xFF);
                sum = sum + w11 * float((p11 >> shift) & 0xFF);
                uint32_t byte = sum > 0 ? uint32_t(int32_t(sum)) & 0xFF : 0;
                word |= byte << shift;
            }
            out[int64_t(j) * b.width + i] = word;
        }
    }
    return out;
}

uint32_t* resize(const uint32_t* src, int32_t src_width, int32_t src_height, int32_t new_width,
                 int32_t new_height) {
    Quad q{{0.0f, 0.0f, float(new_width), 0.0f, float(new_width), float(new_height), 0.0f, float(new_height)}};
    Box box;
    uint32_t* out = map_to_quad(src, src_width, src_height, q, &box);
    if (!out) return nullptr;
    if (box.width != new_width || box.height != new_height) {
        heap::free(out);
        return nullptr;
    }
    return out;
}

namespace {
inline uint32_t clamp_byte(int32_t v) { return uint32_t(v < 0 ? 0 : v > 255 ? 255 : v); }
inline uint32_t colour_word(int32_t y, int32_t cb, int32_t cr) {
    int32_t r = y + ((cr * 91881) >> 16);
    int32_t g = y - ((cr * 46792) >> 16) - ((cb * 22544) >> 16);
    int32_t b = y + ((cb * 116129) >> 16);
    return 0xFF000000u | clamp_byte(b) << 16 | clamp_byte(g) << 8 | clamp_byte(r);
}
}  // namespace

void ycbcr422_to_rgb(int32_t width, int32_t rows, const uint8_t* src, uint32_t* dst) {
    for (int32_t r = 0; r < rows; r++) {
        for (int32_t x = 0; x < width; x += 2) {
            int32_t y0 = src[0], cb = int32_t(src[1]) - 128, y1 = src[2], cr = int32_t(src[3]) - 128;
            src += 4;
            *dst++ = colour_word(y0, cb, cr);
            *dst++ = colour_word(y1, cb, cr);
        }
    }
}

}  // namespace kro::pixels
