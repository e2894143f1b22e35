// PNG through libpng's simplified interface, which keeps libpng's own error
// recovery inside the library: every call answers success or failure.
#include <png.h>

#include <cstring>

#include "foundation/platform/shared_lib.hpp"
#include "io/image_codec.hpp"

namespace kro::image_codec {

namespace {

#define PNG_CALLS(X) \
    X(png_image_begin_read_from_memory) X(png_image_finish_read) X(png_image_free) X(png_image_write_to_memory)
KRO_SHARED_LIB(PngCalls, png, "libpng16.so.16", PNG_CALLS)

}  // namespace

Raster* decode_png(const uint8_t* data, size_t size) {
    const PngCalls& lib = png();
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!lib.png_image_begin_read_from_memory(&image, data, size)) return nullptr;
    Raster* r = new_raster(image.width, image.height);
    if (!r) {
        lib.png_image_free(&image);
        return nullptr;
    }
    // B, G, R, A bytes: the pixel words as we keep them. A 16-bit file without
    // gamma information is taken as sRGB, so its samples are only scaled.
    image.format = PNG_FORMAT_BGRA;
    image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    if (!lib.png_image_finish_read(&image, nullptr, r->pixels(), png_int_32(r->width) * 4, nullptr)) {
        lib.png_image_free(&image);
        free_raster(r);
        return nullptr;
    }
    return r;
}

bool encode_png(const uint32_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out) {
    const PngCalls& lib = png();
    int64_t count = int64_t(width) * height;
    bool opaque = all_opaque(pixels, count);
    std::vector<uint8_t> rgb;
    const void* buffer = pixels;
    png_int_32 stride = width * 4;
    if (opaque) {
        // no alpha channel when nothing is transparent
        rgb.resize(size_t(count) * 3);
        for (int64_t i = 0; i < count; i++) std::memcpy(&rgb[size_t(i) * 3], &pixels[i], 3);
        buffer = rgb.data();
        stride = width * 3;
    }
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = opaque ? PNG_FORMAT_BGR : PNG_FORMAT_BGRA;
    png_alloc_size_t bytes = 0;
    if (!lib.png_image_write_to_memory(&image, nullptr, &bytes, 0, buffer, stride, nullptr) || bytes == 0) {
        lib.png_image_free(&image);
        return false;
    }
    out.resize(bytes);
    if (!lib.png_image_write_to_memory(&image, out.data(), &bytes, 0, buffer, stride, nullptr)) {
        lib.png_image_free(&image);
        out.clear();
        return false;
    }
    out.resize(bytes);
    return true;
}

}  // namespace kro::image_codec
