// Rasters, format sniffing and dispatch, and the BMP codec. The other
// containers live in image_codec_<format>.cpp.
#include "io/image_codec.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace kro::image_codec {

bool size_ok(int64_t width, int64_t height) {
    return width >= 1 && height >= 1 && width <= MAX_SIDE && height <= MAX_SIDE && width * height <= MAX_PIXELS;
}

Raster* new_raster(int64_t width, int64_t height) {
    if (!size_ok(width, height)) return nullptr;
    auto* r = static_cast<Raster*>(std::malloc(sizeof(Raster) + size_t(width * height) * 4));
    if (!r) return nullptr;
    r->width = int32_t(width);
    r->height = int32_t(height);
    return r;
}

void free_raster(Raster* r) { std::free(r); }

Raster* copy_raster(const Raster* r) {
    Raster* c = new_raster(r->width, r->height);
    if (c) std::memcpy(c->pixels(), r->pixels(), size_t(r->count()) * 4);
    return c;
}

bool all_opaque(const uint32_t* pixels, int64_t count) {
    for (int64_t i = 0; i < count; i++)
        if ((pixels[i] >> 24) != 0xFF) return false;
    return true;
}

int32_t sniff(const uint8_t* d, size_t n) {
    if (n >= 4 && d[0] == 137 && d[1] == 'P' && d[2] == 'N' && d[3] == 'G') return PNG;
    if (n >= 3 && d[0] == 255 && d[1] == 216 && d[2] == 255) return JPEG;
    if (n >= 2 && d[0] == 'B' && d[1] == 'M') return BMP;
    if (n >= 6 && std::memcmp(d, "GIF8", 4) == 0 && (d[4] == '7' || d[4] == '9') && d[5] == 'a') return GIF;
    if (n >= 4 && ((d[0] == 'I' && d[1] == 'I' && d[2] == '*' && d[3] == 0) ||
                   (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && d[3] == '*')))
        return TIFF;
    return -1;
}

Raster* decode(const uint8_t* data, size_t size) {
    switch (sniff(data, size)) {
        case BMP: return decode_bmp(data, size);
        case PNG: return decode_png(data, size);
        case JPEG: return decode_jpeg(data, size);
        case GIF: return decode_gif(data, size);
        case TIFF: return decode_tiff(data, size);
        default: return nullptr;
    }
}

bool encode(const uint32_t* pixels, int32_t width, int32_t height, int32_t format, std::vector<uint8_t>& out) {
    out.clear();
    if (!size_ok(width, height)) return false;
    switch (format) {
        case BMP: return encode_bmp(pixels, width, height, out);
        case PNG: return encode_png(pixels, width, height, out);
        case GIF: return encode_gif(pixels, width, height, out);
        case JPEG: return encode_jpeg(pixels, width, height, out);
        case TIFF: return encode_tiff(pixels, width, height, out);
        default: return false;
    }
}

// ---- BMP ---------------------------------------------------------------------------------

namespace {

inline uint32_t u16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_ALPHABITFIELDS = 6;

// A colour mask of a 16- or 32-bit pixel, and how to widen its field to 8 bits.
struct Mask {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t max = 0;  // the field's largest value

    explicit Mask(uint32_t m) : mask(m) {
        if (!m) return;
        shift = std::countr_zero(m);
        max = m >> shift;
    }
    uint32_t get(uint32_t px, uint32_t absent) const {
        if (!mask) return absent;
        uint64_t v = (px & mask) >> shift;
        return uint32_t((v * 255 + max / 2) / max);
    }
};

struct BmpInfo {
    int64_t width = 0, height = 0;
    bool top_down = false;
    uint32_t bpp = 0, compression = BI_RGB;
    uint32_t masks[4] = {0, 0, 0, 0};  // R, G, B, A
    uint32_t palette[256];
};

// Absolute runs and runs of RLE8 and RLE4 data; pixels the data skips stay
// transparent. False when the data ends before the image does.
bool decode_rle(const uint8_t* d, size_t n, size_t at, const BmpInfo& info, Raster* r) {
    bool rle4 = info.compression == BI_RLE4;
    int64_t w = info.width, h = info.height, x = 0, y = 0;  // y counts file rows, bottom first
    uint32_t* px = r->pixels();
    std::memset(px, 0, size_t(w * h) * 4);
    auto put = [&](uint32_t index) {
        if (x < w && y < h) px[(h - 1 - y) * w + x] = info.palette[index];
        x++;
    };
    size_t p = at;
    while (y < h) {
        if (p + 2 > n) return false;
        uint32_t count = d[p], value = d[p + 1];
        p += 2;
        if (count) {
            for (uint32_t k = 0; k < count; k++) put(rle4 ? (k & 1 ? value & 15 : value >> 4) : value);
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            y++;
        } else if (value == 1) {  // end of bitmap
            return true;
        } else if (value == 2) {  // delta
            if (p + 2 > n) return false;
            x += d[p];
            y += d[p + 1];
            p += 2;
        } else {  // an absolute run of `value` pixels, padded to a 16-bit boundary
            size_t bytes = rle4 ? (value + 1) / 2 : value;
            if (p + bytes > n) return false;
            for (uint32_t k = 0; k < value; k++) {
                uint8_t b = d[p + (rle4 ? k / 2 : k)];
                put(rle4 ? (k & 1 ? b & 15 : b >> 4) : b);
            }
            p += (bytes + 1) & ~size_t(1);
        }
    }
    return true;
}

bool decode_rows(const uint8_t* d, size_t n, size_t at, const BmpInfo& info, Raster* r) {
    int64_t w = info.width, h = info.height;
    uint64_t stride = (uint64_t(w) * info.bpp + 31) / 32 * 4;
    uint64_t row_bytes = (uint64_t(w) * info.bpp + 7) / 8;
    if (at > n || stride * uint64_t(h - 1) + row_bytes > n - at) return false;
    Mask rm(info.masks[0]), gm(info.masks[1]), bm(info.masks[2]), am(info.masks[3]);
    uint32_t* px = r->pixels();
    for (int64_t fr = 0; fr < h; fr++) {
        const uint8_t* row = d + at + uint64_t(fr) * stride;
        uint32_t* out = px + (info.top_down ? fr : h - 1 - fr) * w;
        for (int64_t x = 0; x < w; x++) {
            uint32_t v;
            switch (info.bpp) {
                case 1: v = info.palette[(row[x >> 3] >> (7 - (x & 7))) & 1]; break;
                case 4: v = info.palette[(row[x >> 1] >> (x & 1 ? 0 : 4)) & 15]; break;
                case 8: v = info.palette[row[x]]; break;
                case 24: {
                    const uint8_t* p = row + x * 3;
                    v = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
                    break;
                }
                default: {
                    uint32_t raw = info.bpp == 16 ? u16(row + x * 2) : u32(row + x * 4);
                    v = am.get(raw, 255) << 24 | rm.get(raw, 0) << 16 | gm.get(raw, 0) << 8 | bm.get(raw, 0);
                }
            }
            out[x] = v;
        }
    }
    return true;
}

}  // namespace

Raster* decode_bmp(const uint8_t* d, size_t n) {
    if (n < 26 || d[0] != 'B' || d[1] != 'M') return nullptr;
    uint32_t off_bits = u32(d + 10);
    uint32_t dib = u32(d + 14);
    if (dib != 12 && dib != 40 && dib != 52 && dib != 56 && dib != 108 && dib != 124) return nullptr;
    if (14 + uint64_t(dib) > n) return nullptr;
    const uint8_t* h = d + 14;
    BmpInfo info;
    uint32_t colors_used = 0;
    if (dib == 12) {
        info.width = u16(h + 4);
        info.height = u16(h + 6);
        info.bpp = u16(h + 10);
    } else {
        info.width = int32_t(u32(h + 4));
        int32_t height = int32_t(u32(h + 8));
        info.top_down = height < 0;
        info.height = height < 0 ? -int64_t(height) : height;
        info.bpp = u16(h + 14);
        info.compression = u32(h + 16);
        colors_used = u32(h + 32);
    }
    if (!size_ok(info.width, info.height)) return nullptr;
    uint32_t bpp = info.bpp, c = info.compression;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return nullptr;
    if (c == BI_BITFIELDS || c == BI_ALPHABITFIELDS) {
        if (bpp != 16 && bpp != 32) return nullptr;
        // the masks follow a 40-byte header, or are its next fields
        bool alpha = c == BI_ALPHABITFIELDS || dib >= 56;
        if (14 + 40 + uint64_t(alpha ? 16 : 12) > n) return nullptr;
        for (int i = 0; i < (alpha ? 4 : 3); i++) info.masks[i] = u32(h + 40 + 4 * i);
    } else if (c == BI_RGB) {
        if (bpp == 16) {
            info.masks[0] = 0x7C00, info.masks[1] = 0x03E0, info.masks[2] = 0x001F;
        } else if (bpp == 32) {
            // a 32-bit BI_RGB pixel's fourth byte is padding, not alpha
            info.masks[0] = 0xFF0000, info.masks[1] = 0xFF00, info.masks[2] = 0xFF;
        }
    } else if (!((c == BI_RLE8 && bpp == 8) || (c == BI_RLE4 && bpp == 4))) {
        return nullptr;
    }
    if (info.top_down && (c == BI_RLE8 || c == BI_RLE4)) return nullptr;
    if (bpp <= 8) {
        uint32_t entry = dib == 12 ? 3 : 4;
        uint32_t count = colors_used ? colors_used : 1u << bpp;
        if (count > 256) count = 256;
        uint64_t at = 14 + uint64_t(dib);
        // writers often store fewer colours than the depth allows: the pixels' offset tells
        if (off_bits > at && (off_bits - at) / entry < count) count = uint32_t((off_bits - at) / entry);
        if (at + uint64_t(count) * entry > n) return nullptr;
        for (uint32_t i = 0; i < 256; i++) {
            if (i < count) {
                const uint8_t* e = d + at + i * entry;
                info.palette[i] = 0xFF000000u | uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0];
            } else {
                info.palette[i] = 0xFF000000u;  // an index past the palette reads black
            }
        }
    }
    if (off_bits < 14 + dib || off_bits >= n) return nullptr;
    Raster* r = new_raster(info.width, info.height);
    if (!r) return nullptr;
    bool ok = c == BI_RLE8 || c == BI_RLE4 ? decode_rle(d, n, off_bits, info, r) : decode_rows(d, n, off_bits, info, r);
    if (!ok) {
        free_raster(r);
        return nullptr;
    }
    return r;
}

namespace {
void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}
}  // namespace

bool encode_bmp(const uint32_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out) {
    constexpr uint32_t HEADERS = 14 + 124;
    uint32_t image_bytes = uint32_t(width) * uint32_t(height) * 4;
    out.clear();
    out.reserve(HEADERS + image_bytes);
    out.push_back('B');
    out.push_back('M');
    put32(out, HEADERS + image_bytes);
    put32(out, 0);
    put32(out, HEADERS);
    // BITMAPV5HEADER: 32-bit pixels with bit fields, alpha mask included
    put32(out, 124);
    put32(out, uint32_t(width));
    put32(out, uint32_t(height));  // positive: bottom row first
    put16(out, 1);
    put16(out, 32);
    put32(out, BI_BITFIELDS);
    put32(out, image_bytes);
    put32(out, 2835);  // 72 dots per inch
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0x00FF0000);
    put32(out, 0x0000FF00);
    put32(out, 0x000000FF);
    put32(out, 0xFF000000);
    put32(out, 0x73524742);  // 'sRGB'
    for (int i = 0; i < 12; i++) put32(out, 0);  // endpoints and gamma, unused with sRGB
    put32(out, 4);  // LCS_GM_IMAGES
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    for (int32_t y = height - 1; y >= 0; y--) {
        const uint32_t* row = pixels + int64_t(y) * width;
        for (int32_t x = 0; x < width; x++) put32(out, row[x]);
    }
    return true;
}

}  // namespace kro::image_codec
