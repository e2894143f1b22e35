// image!: a rectangle of 32-bit pixels with a current position, seen as a
// series of pixel values (type 53, parent series!).
//
// Cell: data1 the head (0-based pixel index, row by row), data2 the image node
// of the back-end (io/image_codec_bitmap.hpp), data3 the size, height << 16 |
// width. Every image has a node; one without pixels (a side of 0, or pixels
// released) holds no raster. The node's size is the one that counts.
//
// Pixels are 0xAARRGGBB words (A = 255 opaque). The language shows a pixel as
// the four-byte tuple R.G.B.T, T = 255 - A the transparency; a three-byte tuple
// written into an image is opaque.
//
// Positions (index): mode 1 is one-based (at, pick, poke, paths), mode 0
// zero-based (skip). An integer e, or a pair x×y meaning e = x + width ×
// (y - 1) in mode 1 (x 1..width, y 1..height) and x + width × y in mode 0; the
// absolute index is head + e - mode, plus 1 in mode 1 when e <= 0. Out of
// range: a pair outside the image, e = 0, or an index outside the pixels.
#pragma once
#include <cstdint>
#include <vector>

#include "foundation/cell.hpp"

namespace kro::image {

// Extraction and writing kinds of the rgb, alpha and argb accessors.
enum DataKind : int32_t { ALPHA = 0, RGB = 1, ARGB = 2 };

// ---- pixels and positions -------------------------------------------------------------

// The tuple of a pixel word, and the pixel word a tuple stands for (a
// three-byte tuple is opaque).
Cell pixel_tuple(uint32_t pixel);
uint32_t tuple_pixel(const Cell* tuple);

int32_t width_of(const Cell* image);
int32_t height_of(const Cell* image);
int64_t pixel_count(const Cell* image);

// The absolute pixel index of a position (integer! or pair!) in mode 0 or
// 1, clamped to 0 .. width × height; *out_of_range tells whether it names a
// pixel.
int32_t index(const Cell* image, const Cell* position, int32_t mode, bool* out_of_range);

// The pixel at an absolute index as a tuple in out, or none past the pixels.
Cell* get_pixel(const Cell* image, int64_t index, Cell* out);

// ---- entry points of the codecs, the clipboard, foreach and serialization ------------------

// Fills the cell as an image! over the node: head 0, size from the node.
Cell* init_image(Cell* cell, uint32_t node);
// A copy of the source's pixels scaled to width × height, pushed on the data stack.
Cell* make_node(const Cell* source, int32_t width, int32_t height);
// A binary! holding a known container signature (PNG, JPEG, BMP, GIF,
// TIFF) at its head is decoded into out; any other bytes give none.
// Undecodable data raises access/bad-media.
Cell* from_binary(const Cell* binary, Cell* out);
// The image file named by the value into out; access/cannot-open with the
// value when it cannot be read or decoded.
Cell* from_file(const Cell* file, Cell* out);
// from_binary for a binary!, from_file for anything else.
Cell* decode(const Cell* data, Cell* out);
// The image's pixels as a container file (formats of image_codec: 0 BMP,
// 1 PNG, 2 GIF, 3 JPEG, 4 TIFF): appended to `where` when it is a binary!,
// else written into it as a new binary!. An image without pixels raises
// access/bad-media; an unknown format makes `where` none.
Cell* encode(const Cell* image, Cell* where, int32_t format);
// A new binary! in out of all pixels from pixel 0: ALPHA one byte 255 - A
// each, RGB three bytes R, G, B, ARGB the words as stored (B, G, R, A).
Cell* extract_data(const Cell* image, int32_t kind, Cell* out);
// Writes every pixel from a binary! (from its head), a tuple! or an
// integer!; anything else raises script/invalid-arg. Tells the owner.
// Answers the value.
Cell* set_data(Cell* image, Cell* value, int32_t kind);
// One step of foreach: sets the words of the block (from its head, count of
// them) to the pixels from the head on (none past the last pixel) and moves
// the head on by count (at most to the tail). Answers whether any pixel was
// left. A loop word that is not a word!, set-word!, get-word! or lit-word!
// raises script/invalid-arg.
bool foreach_next(const Cell* words, Cell* image, int32_t count);
// The whole-pixel form of serialization: all width × height pixels, 4 bytes
// each as stored (the argb extraction); false when the image lost its
// pixels. And an image of that size made from such bytes (sides beyond
// 65535 raise internal/no-memory).
bool whole_pixels(const Cell* image, uint32_t* width, uint32_t* height, std::vector<uint8_t>* bytes);
void make_from_pixels(Cell* out, uint32_t width, uint32_t height, const uint8_t* bytes);
// The collector's hook for a live image node.
void mark(uint32_t node);
// Lets the image's pixels go now (the terminal back-end's scaled copies).
void release(Cell* image);

// The GUI's rendering of a face object for `to image!`: answers out (an
// image, or none), or null when the object is not a face. Null until the
// GUI installs it; objects then cannot be converted.
extern Cell* (*face_to_image)(const Cell* object, Cell* out);

// ---- actions ---------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type);
Cell* to(Cell* proto, Cell* spec, int32_t type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
// Stack-only: the image in the current call's first argument, a position in
// the second for at and skip.
Cell* at();
Cell* skip();
Cell* next();
Cell* back();
Cell* tail();
Cell* tail_q();
Cell* head_q();
Cell* index_q();
int32_t length_q(Cell* image);
Cell* pick(Cell* image, int32_t index, Cell* boxed);
Cell* poke(Cell* image, int32_t index, Cell* value, Cell* boxed);
Cell* change(Cell* image, Cell* value, int32_t part, bool only, int32_t dup);
Cell* copy(Cell* image, Cell* result, Cell* part, bool deep, Cell* types);

// Registers image! (type 53, parent series!), its external-resource kind
// "image", and the hooks of the collector and of `to binary!`.
void init();

}  // namespace kro::image
