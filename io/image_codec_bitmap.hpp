// The image back-end: the record behind every image! value (the image node)
// and the operations on its pixels.
//
// An image node is a 24-byte byte series of six 32-bit words:
//   0 flags (FLAG_PIXELS while a raster is held)
//   1, 2 unused (0)
//   3 size: width in bits 0-15, height in bits 16-31
//   4 the index of the raster's external-resource record, -1 without pixels
//   5 unused (0)
// The raster (image_codec::Raster, malloc memory outside the arena) is
// registered under the "image" release kind: the collector marks the record
// of every image it finds alive (through image::mark, which calls sweep) and
// frees the rasters of dead nodes. A node therefore keeps its pixels only
// while an image! cell holding it is reachable: never keep a bare node (a
// RootedNode) across a collection, keep the image! cell.
//
// Pixels are 0xAARRGGBB words (alpha 255 opaque), row by row. Every node
// operation checks its indexes; a node without pixels (size 0, released, or a
// raster that does not match its size) has none to read or write.
#pragma once
#include <cstdint>
#include <vector>

#include "foundation/cell.hpp"
#include "io/image_codec.hpp"
#include "io/image_geometry.hpp"

namespace kro::bitmap {

using image_codec::Raster;

constexpr uint32_t NODE_BYTES = 24;
constexpr uint32_t FLAG_PIXELS = 1;

// The release kind's number (ext_res) and its release function, which frees a
// raster; image::init registers the kind and hands its number over here.
void init(int kind);
int kind();
void release_resource(uintptr_t raster);

// A new node of that size (each side 0..MAX_SIDE) holding the raster (null:
// no pixels). The raster becomes the node's. Sizes outside the range raise
// internal/no-memory.
uint32_t new_node(int32_t width, int32_t height, Raster* raster);

// A new node of width x height: every pixel from the colour tuple when one is
// given (opaque for a three-byte tuple, else alpha 255 minus its fourth
// byte); otherwise from the rgb bytes, three per pixel (white once they run
// out; a length that is not a multiple of 3 is cut down), with alpha 255
// minus the next alpha byte (opaque once they run out). A side of 0 makes a
// node without pixels; no memory for the raster raises internal/no-memory.
uint32_t make(int32_t width, int32_t height, const uint8_t* rgb, uint32_t rgb_length, const uint8_t* alpha,
              uint32_t alpha_length, const Cell* colour);

// Decoders: a node, or 0 when the data (or the file) cannot be decoded.
uint32_t load_bytes(const uint8_t* bytes, size_t length);
uint32_t load_file(const Cell* file);

// A node's raster as a container file in out. Formats 0 BMP, 1 PNG, 2 GIF,
// 3 JPEG, 4 TIFF. An image with a side of 0 gives no bytes; an unknown format
// prints "Cannot find image encoder" and answers false; an encoder failure or
// a node that lost its pixels raises access/bad-media.
bool encode(uint32_t node, int32_t format, std::vector<uint8_t>& out);

// New nodes: a copy; the rectangle (x, y, width, height) cut to the source
// (a rectangle outside it gives a node without pixels); the whole image
// scaled to width x height by nearest neighbour (source pixel floor((d +
// 0.5) x source / new) for destination pixel d); pixels copied from memory
// rows of `stride` bytes (0: width x 4).
uint32_t copy(uint32_t node);
uint32_t crop(uint32_t node, int32_t x, int32_t y, int32_t width, int32_t height);
uint32_t scale(uint32_t node, int32_t width, int32_t height);
uint32_t from_memory(int32_t width, int32_t height, int32_t stride, const uint32_t* pixels);

// Draws the node's pixels (or the part rectangle of them, when part is not
// null: x, y, width, height) onto the quadrilateral of the corners x0 y0 ...
// x3 y3, clockwise from the top left, and answers a new node of the
// quadrilateral's bounding box (box receives it). Corners that run mirrored
// (the first right of the second, or the second below the third) are
// mirrored back and the flip is reported as a negative box width or height.
// 0 when nothing can be drawn (no pixels, an empty part, a refused box).
uint32_t map_to_corners(uint32_t node, const float corners[8], const int32_t* part, pixels::Box* box);

int32_t width(uint32_t node);
int32_t height(uint32_t node);
uint32_t packed_size(uint32_t node);  // height << 16 | width
// The node's raster, or null when it holds no pixels.
Raster* raster(uint32_t node);
bool has_pixels(uint32_t node);

// One pixel by its index row by row; an index outside the raster reads 0 and
// writes nothing.
uint32_t get_pixel(uint32_t node, int64_t index);
void set_pixel(uint32_t node, int64_t index, uint32_t pixel);

// Whole-buffer access for the clipboard and the GUI back-end: the lock
// raises access/bad-media when the node has no pixels; query gives the
// first pixel and the row stride in bytes. Valid until the node is released
// or collected: do not hold it across an evaluation.
struct Lock {
    uint32_t node;
    uint32_t* pixels;
    int32_t stride;
};
Lock lock_pixels(uint32_t node, bool write);
uint32_t* query(const Lock& lock, int32_t* stride);
void unlock_pixels(Lock& lock);

// Lets the node's raster go now (the node then has no pixels).
void release(uint32_t node);
// The collector's hook for a live node: marks its raster's record. Outside a
// collection (the heap verifier walks the same references) it does nothing.
void sweep(uint32_t node);

}  // namespace kro::bitmap
