#include "io/image_codec_bitmap.hpp"

#include <cstdlib>
#include <cstring>

#include "datatypes/file.hpp"
#include "datatypes/tuple.hpp"
#include "foundation/ext_res.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/heap.hpp"
#include "foundation/memory.hpp"
#include "foundation/print.hpp"
#include "io/simple_io.hpp"

namespace kro::bitmap {

using image_codec::free_raster;
using image_codec::new_raster;

namespace {

int the_kind = 0;

// Rasters live outside the arena, so the collector does not see their
// memory: after this many raster bytes made since the last collection, ask
// for one, so that dead images give their pixels back.
constexpr uint64_t COLLECT_AFTER = uint64_t(64) << 20;
uint64_t bytes_since = 0;
uint32_t cycle_seen = 0;

enum Word { FLAGS = 0, SIZE = 3, RESOURCE = 4 };

uint32_t* words(uint32_t node) { return reinterpret_cast<uint32_t*>(memory::buffer_of(node)->head_ptr()); }

void account(const Raster* r) {
    if (memory::cycles != cycle_seen) {
        cycle_seen = memory::cycles;
        bytes_since = 0;
    }
    bytes_since += uint64_t(r->count()) * 4;
    if (bytes_since > COLLECT_AFTER) gc::wanted = true;
}

[[noreturn]] void no_memory() { fire("internal", "no-memory"); }

// A node holding a fresh raster, or raising internal/no-memory when there is
// none to hold.
uint32_t node_of(Raster* r) {
    if (!r) no_memory();
    return new_node(r->width, r->height, r);
}

// At the end of the process the rasters of images still alive go back to
// the system (leak checkers then see none left); nothing reads them after.
bool ended = false;
void free_all_rasters() {
    ended = true;
    ext_res::registry().for_each_of_kind(
        uint32_t(the_kind), [](uintptr_t raster, void*) { free_raster(reinterpret_cast<Raster*>(raster)); }, nullptr);
}

}  // namespace

void init(int kind) {
    // registered after the registry exists, so it runs before the registry goes
    if (!the_kind) std::atexit(free_all_rasters);
    the_kind = kind;
}
int kind() { return the_kind; }

void release_resource(uintptr_t raster) {
    if (!ended) free_raster(reinterpret_cast<Raster*>(raster));
}

uint32_t new_node(int32_t width, int32_t height, Raster* r) {
    bool size_ok = width >= 0 && height >= 0 && width <= image_codec::MAX_SIDE && height <= image_codec::MAX_SIDE;
    if (!size_ok || (r && (r->width != width || r->height != height))) {
        free_raster(r);
        no_memory();
    }
    uint32_t node;
    try {
        node = memory::new_bytes(NODE_BYTES);
    } catch (const Thrown&) {
        free_raster(r);
        throw;
    }
    memory::Buffer* b = memory::buffer_of(node);
    b->tail = b->offset + NODE_BYTES;
    uint32_t* w = words(node);
    std::memset(w, 0, NODE_BYTES);
    w[SIZE] = uint32_t(height) << 16 | uint32_t(width);
    w[RESOURCE] = uint32_t(-1);
    if (r) {
        // without the kind, nothing would ever free the raster
        if (the_kind <= 0) rt_error::fatal(98, KRO_CAPTURE_SITE());
        w[RESOURCE] = uint32_t(ext_res::register_resource(reinterpret_cast<uintptr_t>(r), uint32_t(the_kind)));
        w[FLAGS] = FLAG_PIXELS;
        account(r);
    }
    return node;
}

uint32_t make(int32_t width, int32_t height, const uint8_t* rgb, uint32_t rgb_length, const uint8_t* alpha,
              uint32_t alpha_length, const Cell* colour) {
    if (width == 0 || height == 0) return new_node(width, height, nullptr);
    Raster* r = new_raster(width, height);
    if (!r) no_memory();
    uint32_t* px = r->pixels();
    int64_t count = r->count();
    if (colour) {
        uint32_t a = tuple::length(colour) == 3 ? 255 : 255u - tuple::byte_at(colour, 3);
        uint32_t word = a << 24 | uint32_t(tuple::byte_at(colour, 0)) << 16 | uint32_t(tuple::byte_at(colour, 1)) << 8 |
                        tuple::byte_at(colour, 2);
        for (int64_t i = 0; i < count; i++) px[i] = word;
    } else {
        uint64_t rgb_pixels = rgb ? rgb_length / 3 : 0;
        uint64_t alphas = alpha ? alpha_length : 0;
        for (int64_t i = 0; i < count; i++) {
            uint64_t k = uint64_t(i);
            uint32_t red = 255, green = 255, blue = 255, a = 255;
            if (k < rgb_pixels) red = rgb[3 * k], green = rgb[3 * k + 1], blue = rgb[3 * k + 2];
            if (k < alphas) a = 255u - alpha[k];
            px[i] = a << 24 | red << 16 | green << 8 | blue;
        }
    }
    return new_node(width, height, r);
}

uint32_t load_bytes(const uint8_t* bytes, size_t length) {
    Raster* r = image_codec::decode(bytes, length);
    return r ? new_node(r->width, r->height, r) : 0;
}

uint32_t load_file(const Cell* file) {
    std::optional<std::string> path = file::to_os_path(file);
    if (!path) return 0;
    std::optional<std::vector<uint8_t>> bytes = simple_io::read_file(*path);
    if (!bytes) return 0;
    return load_bytes(bytes->data(), bytes->size());
}

bool encode(uint32_t node, int32_t format, std::vector<uint8_t>& out) {
    out.clear();
    if (format < 0 || format >= image_codec::FORMAT_COUNT) {
        print::print_line({print::text("Cannot find image encoder")});
        return false;
    }
    if (width(node) == 0 || height(node) == 0) return true;
    Raster* r = raster(node);
    if (!r || !image_codec::encode(r->pixels(), r->width, r->height, format, out)) fire("access", "bad-media");
    return true;
}

uint32_t copy(uint32_t node) {
    Raster* r = raster(node);
    if (!r) return new_node(width(node), height(node), nullptr);
    return node_of(image_codec::copy_raster(r));
}

uint32_t crop(uint32_t node, int32_t x, int32_t y, int32_t w, int32_t h) {
    Raster* r = raster(node);
    if (!r || x < 0 || y < 0 || x >= r->width || y >= r->height || w < 1 || h < 1) return new_node(0, 0, nullptr);
    int32_t cols = int64_t(x) + w > r->width ? r->width - x : w;
    int32_t rows = int64_t(y) + h > r->height ? r->height - y : h;
    Raster* c = new_raster(cols, rows);
    if (!c) no_memory();
    pixels::copy_rect(r->pixels(), r->width, r->height, x, y, cols, rows, c->pixels());
    return new_node(cols, rows, c);
}

uint32_t scale(uint32_t node, int32_t w, int32_t h) {
    Raster* r = raster(node);
    if (w < 1 || h < 1 || !r) return new_node(w < 0 ? 0 : w, h < 0 ? 0 : h, nullptr);
    Raster* s = new_raster(w, h);
    if (!s) no_memory();
    const uint32_t* src = r->pixels();
    uint32_t* dst = s->pixels();
    for (int32_t dy = 0; dy < h; dy++) {
        int64_t sy = (2 * int64_t(dy) + 1) * r->height / (2 * int64_t(h));
        for (int32_t dx = 0; dx < w; dx++) {
            int64_t sx = (2 * int64_t(dx) + 1) * r->width / (2 * int64_t(w));
            dst[int64_t(dy) * w + dx] = src[sy * r->width + sx];
        }
    }
    return new_node(w, h, s);
}

uint32_t from_memory(int32_t w, int32_t h, int32_t stride, const uint32_t* px) {
    if (w < 1 || h < 1) return new_node(w < 0 ? 0 : w, h < 0 ? 0 : h, nullptr);
    Raster* r = new_raster(w, h);
    if (!r) no_memory();
    int64_t step = stride ? stride : int64_t(w) * 4;
    for (int32_t y = 0; y < h; y++)
        std::memcpy(r->pixels() + int64_t(y) * w, reinterpret_cast<const uint8_t*>(px) + y * step, size_t(w) * 4);
    return new_node(w, h, r);
}

uint32_t map_to_corners(uint32_t node, const float corners[8], const int32_t* part, pixels::Box* box) {
    Raster* r = raster(node);
    if (!r) return 0;
    geometry::Quad q;
    std::memcpy(q.c, corners, sizeof q.c);
    bool flip_x = q.x(0) > q.x(1);
    if (flip_x) geometry::mirror_quad_x(q, q.x(0));
    bool flip_y = q.y(1) > q.y(2);
    if (flip_y) geometry::mirror_quad_y(q, q.y(0));
    const uint32_t* src = r->pixels();
    int32_t sw = r->width, sh = r->height;
    uint32_t* cut = nullptr;
    if (part) {
        int32_t x = part[0], y = part[1], w = part[2], h = part[3];
        if (w < 1 || h < 1 || x < 0 || y < 0 || x >= sw || y >= sh) return 0;
        int32_t cols = int64_t(x) + w > sw ? sw - x : w, rows = int64_t(y) + h > sh ? sh - y : h;
        cut = static_cast<uint32_t*>(heap::alloc(size_t(cols) * size_t(rows) * 4));
        pixels::copy_rect(src, sw, sh, x, y, cols, rows, cut);
        src = cut, sw = cols, sh = rows;
    }
    uint32_t* drawn = pixels::map_to_quad(src, sw, sh, q, box);
    if (cut) heap::free(cut);
    if (!drawn) return 0;
    Raster* out = box->width > 0 && box->height > 0 ? new_raster(box->width, box->height) : nullptr;
    if (out) std::memcpy(out->pixels(), drawn, size_t(out->count()) * 4);
    heap::free(drawn);
    if (!out) return 0;
    uint32_t result = new_node(out->width, out->height, out);
    if (flip_x) box->width = -box->width;
    if (flip_y) box->height = -box->height;
    return result;
}

int32_t width(uint32_t node) { return node ? int32_t(words(node)[SIZE] & 0xFFFF) : 0; }
int32_t height(uint32_t node) { return node ? int32_t(words(node)[SIZE] >> 16) : 0; }
uint32_t packed_size(uint32_t node) { return node ? words(node)[SIZE] : 0; }

Raster* raster(uint32_t node) {
    if (!node) return nullptr;
    uint32_t* w = words(node);
    int32_t index = int32_t(w[RESOURCE]);
    if (index < 0 || the_kind <= 0) return nullptr;
    // the record must still be this node's: same kind, same size
    const ext_res::Registry& reg = ext_res::registry();
    if (reg.kind_of(index) != uint32_t(the_kind)) return nullptr;
    auto* r = reinterpret_cast<Raster*>(reg.value(index));
    if (!r || uint32_t(r->width) != (w[SIZE] & 0xFFFF) || uint32_t(r->height) != (w[SIZE] >> 16)) return nullptr;
    return r;
}

bool has_pixels(uint32_t node) { return raster(node) != nullptr; }

uint32_t get_pixel(uint32_t node, int64_t index) {
    Raster* r = raster(node);
    return r && index >= 0 && index < r->count() ? r->pixels()[index] : 0;
}

void set_pixel(uint32_t node, int64_t index, uint32_t pixel) {
    Raster* r = raster(node);
    if (r && index >= 0 && index < r->count()) r->pixels()[index] = pixel;
}

Lock lock_pixels(uint32_t node, bool) {
    Raster* r = raster(node);
    if (!r) fire("access", "bad-media");
    return Lock{node, r->pixels(), r->width * 4};
}

uint32_t* query(const Lock& lock, int32_t* stride) {
    *stride = lock.stride;
    return lock.pixels;
}

void unlock_pixels(Lock& lock) {
    lock.pixels = nullptr;
    lock.stride = 0;
}

void release(uint32_t node) {
    if (!node) return;
    if (raster(node)) ext_res::remove(int32_t(words(node)[RESOURCE]), true);
    uint32_t* w = words(node);
    w[RESOURCE] = uint32_t(-1);
    w[FLAGS] &= ~FLAG_PIXELS;
}

void sweep(uint32_t node) {
    if (!node || !gc::collecting) return;
    int32_t index = int32_t(words(node)[RESOURCE]);
    if (index >= 0) ext_res::mark(index, 0);
}

}  // namespace kro::bitmap
