// TIFF through libtiff over memory streams. libtiff reports failures by return
// codes; its messages are silenced (the caller reports the failure), and one
// allocation inside it is capped, so a crafted directory cannot make it take
// more than a raster's worth of memory at once.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "foundation/platform/shared_lib.hpp"
#include "io/image_codec.hpp"

namespace kro::image_codec {

namespace {

#define TIFF_CALLS(X)                                                                       \
    X(TIFFClientOpenExt) X(TIFFClose) X(TIFFDefaultStripSize) X(TIFFFlush) X(TIFFGetField)  \
    X(TIFFGetFieldDefaulted) X(TIFFIsTiled) X(TIFFOpenOptionsAlloc) X(TIFFOpenOptionsFree)  \
    X(TIFFOpenOptionsSetErrorHandlerExtR) X(TIFFOpenOptionsSetMaxSingleMemAlloc)            \
    X(TIFFOpenOptionsSetWarningHandlerExtR) X(TIFFRGBAImageOK) X(TIFFReadRGBAImageOriented) \
    X(TIFFReadScanline) X(TIFFScanlineSize64) X(TIFFSetErrorHandler) X(TIFFSetField)        \
    X(TIFFSetWarningHandler) X(TIFFWriteScanline)
KRO_SHARED_LIB(TiffCalls, tifflib, "libtiff.so.6", TIFF_CALLS)

// A byte stream over a read-only buffer or a growing vector.
struct Stream {
    const uint8_t* data;             // reading
    std::vector<uint8_t>* out;       // writing
    uint64_t size, at;
};

constexpr uint64_t STREAM_LIMIT = uint64_t(1) << 32;

tmsize_t stream_read(thandle_t h, void* buffer, tmsize_t n) {
    auto* s = static_cast<Stream*>(h);
    if (n <= 0 || s->at >= s->size) return 0;
    uint64_t k = std::min<uint64_t>(uint64_t(n), s->size - s->at);
    std::memcpy(buffer, (s->out ? s->out->data() : s->data) + s->at, size_t(k));
    s->at += k;
    return tmsize_t(k);
}

tmsize_t stream_write(thandle_t h, void* buffer, tmsize_t n) {
    auto* s = static_cast<Stream*>(h);
    if (!s->out || n < 0 || s->at + uint64_t(n) > STREAM_LIMIT) return -1;
    uint64_t end = s->at + uint64_t(n);
    if (end > s->out->size()) s->out->resize(size_t(end));  // a gap after a seek reads as zeros
    std::memcpy(s->out->data() + s->at, buffer, size_t(n));
    s->at = end;
    if (end > s->size) s->size = end;
    return n;
}

toff_t stream_seek(thandle_t h, toff_t offset, int whence) {
    auto* s = static_cast<Stream*>(h);
    uint64_t base = whence == SEEK_CUR ? s->at : whence == SEEK_END ? s->size : 0;
    uint64_t to = base + offset;
    if (to < base || to > STREAM_LIMIT) return toff_t(-1);
    s->at = to;
    return to;
}

int stream_close(thandle_t) { return 0; }
toff_t stream_size(thandle_t h) { return static_cast<Stream*>(h)->size; }
int stream_map(thandle_t, void**, toff_t*) { return 0; }
void stream_unmap(thandle_t, void*, toff_t) {}

int quiet(::TIFF*, void*, const char*, const char*, va_list) { return 1; }

::TIFF* open_stream(Stream* s, const char* mode) {
    const TiffCalls& lib = tifflib();
    static bool silenced = false;
    if (!silenced) {
        // messages raised outside any open file go to the global handlers
        lib.TIFFSetErrorHandler(nullptr);
        lib.TIFFSetWarningHandler(nullptr);
        silenced = true;
    }
    TIFFOpenOptions* options = lib.TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    lib.TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(MAX_PIXELS * 4));
    lib.TIFFOpenOptionsSetErrorHandlerExtR(options, quiet, nullptr);
    lib.TIFFOpenOptionsSetWarningHandlerExtR(options, quiet, nullptr);
    ::TIFF* tif = lib.TIFFClientOpenExt("memory", mode, s, stream_read, stream_write, stream_seek, stream_close,
                                  stream_size, stream_map, stream_unmap, options);
    lib.TIFFOpenOptionsFree(options);
    return tif;
}

inline uint32_t unpremultiply(uint32_t c, uint32_t a) { return a ? std::min<uint32_t>(255, (c * 255 + a / 2) / a) : 0; }

// 8-bit RGB or RGBA (unassociated alpha) in strips, top row first: read as
// stored, so our own files come back exactly.
bool plain_rgb(::TIFF* tif, uint32_t width, uint16_t* samples) {
    const TiffCalls& lib = tifflib();
    uint16_t bits = 0, spp = 0, photometric = 0, planar = 0, orientation = 0, extras = 0;
    uint16_t* extra_types = nullptr;
    if (lib.TIFFIsTiled(tif) || !lib.TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) ||
        photometric != PHOTOMETRIC_RGB)
        return false;
    lib.TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    lib.TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    lib.TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    lib.TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    lib.TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extras, &extra_types);
    if (bits != 8 || planar != PLANARCONFIG_CONTIG || orientation != ORIENTATION_TOPLEFT) return false;
    bool rgb = spp == 3 && extras == 0;
    bool rgba = spp == 4 && extras == 1 && extra_types && extra_types[0] == EXTRASAMPLE_UNASSALPHA;
    if (!(rgb || rgba) || lib.TIFFScanlineSize64(tif) != uint64_t(width) * spp) return false;
    *samples = spp;
    return true;
}

Raster* read_tiff(::TIFF* tif) {
    const TiffCalls& lib = tifflib();
    uint32_t width = 0, height = 0;
    if (!lib.TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !lib.TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) ||
        !size_ok(width, height))
        return nullptr;
    uint16_t spp = 0;
    if (plain_rgb(tif, width, &spp)) {
        auto* line = static_cast<uint8_t*>(std::malloc(size_t(width) * spp));
        Raster* r = line ? new_raster(width, height) : nullptr;
        if (!r) {
            std::free(line);
            return nullptr;
        }
        for (uint32_t y = 0; y < height; y++) {
            if (lib.TIFFReadScanline(tif, line, y, 0) < 0) {
                std::free(line);
                free_raster(r);
                return nullptr;
            }
            uint32_t* out = r->pixels() + size_t(y) * width;
            for (uint32_t x = 0; x < width; x++) {
                const uint8_t* p = line + size_t(x) * spp;
                uint32_t a = spp == 4 ? p[3] : 255;
                out[x] = a << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
            }
        }
        std::free(line);
        return r;
    }
    // Everything else goes through libtiff's RGBA reader: palettes, grey,
    // 16-bit samples, YCbCr, tiles, orientations. It answers premultiplied
    // A, B, G, R words (red in the low byte).
    char message[1024];
    if (!lib.TIFFRGBAImageOK(tif, message)) return nullptr;
    Raster* r = new_raster(width, height);
    if (!r) return nullptr;
    uint32_t* px = r->pixels();
    if (!lib.TIFFReadRGBAImageOriented(tif, width, height, px, ORIENTATION_TOPLEFT, 1)) {
        free_raster(r);
        return nullptr;
    }
    for (int64_t i = 0; i < r->count(); i++) {
        uint32_t v = px[i], a = v >> 24;
        uint32_t red = v & 0xFF, green = (v >> 8) & 0xFF, blue = (v >> 16) & 0xFF;
        if (a != 255) red = unpremultiply(red, a), green = unpremultiply(green, a), blue = unpremultiply(blue, a);
        px[i] = a << 24 | red << 16 | green << 8 | blue;
    }
    return r;
}

}  // namespace

Raster* decode_tiff(const uint8_t* data, size_t size) {
    Stream s{data, nullptr, size, 0};
    ::TIFF* tif = open_stream(&s, "rm");
    if (!tif) return nullptr;
    Raster* r = read_tiff(tif);
    tifflib().TIFFClose(tif);
    return r;
}

bool encode_tiff(const uint32_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out) {
    const TiffCalls& lib = tifflib();
    out.clear();
    Stream s{nullptr, &out, 0, 0};
    ::TIFF* tif = open_stream(&s, "w");
    if (!tif) return false;
    bool alpha = !all_opaque(pixels, int64_t(width) * height);
    uint16_t spp = alpha ? 4 : 3;
    bool ok = lib.TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(width)) &&
              lib.TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(height)) &&
              lib.TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(8)) &&
              lib.TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp) &&
              lib.TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_RGB)) &&
              lib.TIFFSetField(tif, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG)) &&
              lib.TIFFSetField(tif, TIFFTAG_ORIENTATION, uint16_t(ORIENTATION_TOPLEFT)) &&
              lib.TIFFSetField(tif, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_LZW)) &&
              lib.TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, lib.TIFFDefaultStripSize(tif, 0));
    if (ok && alpha) {
        uint16_t type = EXTRASAMPLE_UNASSALPHA;
        ok = lib.TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, uint16_t(1), &type);
    }
    std::vector<uint8_t> line(size_t(width) * spp);
    for (int32_t y = 0; ok && y < height; y++) {
        const uint32_t* row = pixels + int64_t(y) * width;
        for (int32_t x = 0; x < width; x++) {
            uint8_t* p = &line[size_t(x) * spp];
            p[0] = uint8_t(row[x] >> 16), p[1] = uint8_t(row[x] >> 8), p[2] = uint8_t(row[x]);
            if (alpha) p[3] = uint8_t(row[x] >> 24);
        }
        ok = lib.TIFFWriteScanline(tif, line.data(), uint32_t(y), 0) >= 0;
    }
    if (ok) ok = lib.TIFFFlush(tif) == 1;
    lib.TIFFClose(tif);
    if (!ok) out.clear();
    return ok;
}

}  // namespace kro::image_codec
