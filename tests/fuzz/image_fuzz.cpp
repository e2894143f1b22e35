// libFuzzer target over the image decoders that `decode` and `load/as` reach:
// the first byte picks the decoder (by signature as `decode` does, or one of
// BMP, PNG, JPEG, GIF, TIFF directly, so that a damaged signature still
// reaches the library behind it) and the encoder of the round trip; the rest
// is the file. Bad data is expected; crashes, sanitizer reports, hangs, a
// raster outside the size limits, and a decoded raster that our own encoder
// cannot write (but for JPEG's narrower limit) or whose file does not read
// back are not. The lossless
// containers (BMP, PNG, TIFF) must give back the very pixels.
//
// With IMAGE_FUZZ_SEEDS=dir in the environment, the target first writes a few
// small images in every format into dir, for use as a seed corpus.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/image_codec.hpp"

using namespace kro;
using image_codec::Raster;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

Raster* decode_with(int which, const uint8_t* data, size_t size) {
    switch (which) {
        case 1: return image_codec::decode_bmp(data, size);
        case 2: return image_codec::decode_png(data, size);
        case 3: return image_codec::decode_jpeg(data, size);
        case 4: return image_codec::decode_gif(data, size);
        case 5: return image_codec::decode_tiff(data, size);
        default: return image_codec::decode(data, size);
    }
}

// Opaque gradients, a few transparent pixels, and more than 256 colours in
// the larger ones (so the GIF writer quantizes).
void write_seeds(const char* dir) {
    const int sizes[][2] = {{1, 1}, {3, 2}, {8, 8}, {17, 5}, {40, 30}};
    int n = 0;
    for (const auto& s : sizes) {
        for (int alpha = 0; alpha < 2; alpha++) {
            std::vector<uint32_t> px(size_t(s[0]) * s[1]);
            for (int y = 0; y < s[1]; y++)
                for (int x = 0; x < s[0]; x++) {
                    uint32_t a = alpha && (x + y) % 3 == 0 ? uint32_t(x * 40 % 256) : 255;
                    px[size_t(y) * s[0] + x] = a << 24 | uint32_t(x * 7 % 256) << 16 | uint32_t(y * 11 % 256) << 8 |
                                               uint32_t((x * y) % 256);
                }
            for (int f = 0; f < image_codec::FORMAT_COUNT; f++) {
                std::vector<uint8_t> bytes;
                if (!image_codec::encode(px.data(), s[0], s[1], f, bytes)) continue;
                std::string path = std::string(dir) + "/seed-" + std::to_string(n++);
                if (FILE* out = std::fopen(path.c_str(), "wb")) {
                    uint8_t mode = uint8_t((f + 1) % 5 * 6);  // by signature, re-encoded in another format
                    std::fwrite(&mode, 1, 1, out);
                    std::fwrite(bytes.data(), 1, bytes.size(), out);
                    std::fclose(out);
                }
            }
        }
    }
}

// The raster written by our encoder of that format reads back at its size,
// with the very pixels for the lossless containers.
void round_trip(const Raster* r, int format) {
    std::vector<uint8_t> file;
    bool written = image_codec::encode(r->pixels(), r->width, r->height, format, file);
    // JPEG's sides stop at 65500: a wider image is refused, not written wrong
    constexpr int32_t JPEG_SIDE = 65500;
    if (format == image_codec::JPEG && (r->width > JPEG_SIDE || r->height > JPEG_SIDE)) {
        check(!written && file.empty());
        return;
    }
    check(written && image_codec::sniff(file.data(), file.size()) == format);
    Raster* back = image_codec::decode(file.data(), file.size());
    check(back && back->width == r->width && back->height == r->height);
    if (format == image_codec::BMP || format == image_codec::PNG || format == image_codec::TIFF)
        check(std::memcmp(back->pixels(), r->pixels(), size_t(r->count()) * 4) == 0);
    image_codec::free_raster(back);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("IMAGE_FUZZ_SEEDS")) write_seeds(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t mode = data[0];
    Raster* r = decode_with(mode % 6, data + 1, size - 1);
    if (!r) return 0;
    check(image_codec::size_ok(r->width, r->height));
    int format = (mode / 6) % 8;
    if (format < image_codec::FORMAT_COUNT && r->count() <= (int64_t(1) << 16)) round_trip(r, format);
    image_codec::free_raster(r);
    return 0;
}
