// Image container codecs: BMP, PNG, JPEG, GIF and TIFF files to and from plain
// rasters of 32-bit pixels 0xAARRGGBB (alpha 255 opaque), row by row, so that
// in memory each pixel reads B, G, R, A. PNG goes through libpng, JPEG through
// libjpeg-turbo, GIF through giflib and TIFF through libtiff; BMP is our own.
//
// Every input is untrusted: dimensions are checked against MAX_SIDE and
// MAX_PIXELS before any pixel memory is taken, every library call is checked,
// and a file that cannot be decoded answers null, never a partial raster.
// Decoding keeps frame 0 of multi-frame files; 16-bit samples are scaled to 8
// bits; no gamma, ICC or orientation tag is applied. JPEG data that ends
// early or holds a code that does not decode is corrupt (the library would
// fill the gap with grey), and so is a progressive JPEG of more than 500 scans.
//
// Rasters live in malloc memory outside the collected heap: the image
// back-end (image_codec_bitmap.hpp) owns them through the external-resource
// registry.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kro::image_codec {

// Sides are 16-bit fields of an image! cell; the pixel count caps one raster
// at 1 GiB, a bound on what a crafted header can make us allocate.
constexpr int64_t MAX_SIDE = 65535;
constexpr int64_t MAX_PIXELS = int64_t(1) << 28;

// Container formats, numbered as the encoders are chosen.
enum Format : int32_t { BMP = 0, PNG = 1, GIF = 2, JPEG = 3, TIFF = 4 };
constexpr int32_t FORMAT_COUNT = 5;

// A raster: the header and its pixels in one malloc block.
struct Raster {
    int32_t width;
    int32_t height;
    uint32_t* pixels() { return reinterpret_cast<uint32_t*>(this + 1); }
    const uint32_t* pixels() const { return reinterpret_cast<const uint32_t*>(this + 1); }
    int64_t count() const { return int64_t(width) * height; }
};
static_assert(sizeof(Raster) == 8);

// Whether a raster of that size may be made (both sides 1..MAX_SIDE, at most
// MAX_PIXELS pixels).
bool size_ok(int64_t width, int64_t height);
// A new raster with uninitialised pixels; null when the size is refused or
// memory is short.
Raster* new_raster(int64_t width, int64_t height);
void free_raster(Raster* r);
Raster* copy_raster(const Raster* r);

// The format named by the leading bytes (PNG 137 "PNG", JPEG 255 216 255,
// "BM", "GIF87a"/"GIF89a", "II*" 0 / "MM" 0 "*"), or -1.
int32_t sniff(const uint8_t* data, size_t size);

// Decodes by signature; null when the signature is unknown or the data
// cannot be decoded.
Raster* decode(const uint8_t* data, size_t size);
Raster* decode_bmp(const uint8_t* data, size_t size);
Raster* decode_png(const uint8_t* data, size_t size);
Raster* decode_jpeg(const uint8_t* data, size_t size);
Raster* decode_gif(const uint8_t* data, size_t size);
Raster* decode_tiff(const uint8_t* data, size_t size);

// Encodes width x height pixels (both at least 1) into out (replaced).
// Answers false when the encoder fails. BMP is 32-bit with an alpha mask
// (BITMAPV5HEADER), so alpha survives; PNG and TIFF keep alpha (RGB without
// it when every pixel is opaque); JPEG drops alpha (quality 90); GIF keeps up
// to 256 colours (median cut beyond that) and makes pixels with alpha below
// 128 transparent.
bool encode(const uint32_t* pixels, int32_t width, int32_t height, int32_t format, std::vector<uint8_t>& out);
bool encode_bmp(const uint32_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out);
bool encode_png(const uint32_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out);
bool encode_jpeg(const uint32_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out);
bool encode_gif(const uint32_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out);
bool encode_tiff(const uint32_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out);

// Whether every pixel has alpha 255.
bool all_opaque(const uint32_t* pixels, int64_t count);

}  // namespace kro::image_codec
