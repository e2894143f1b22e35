// The image codecs (BMP, PNG, JPEG, GIF, TIFF) and the image back-end's nodes.
// Fixture files are built here byte by byte, so that each decoder is checked
// against the container's own layout, not only against our encoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "block_fixtures.hpp"
#include "datatypes/tuple.hpp"
#include "foundation/collector.hpp"
#include "foundation/ext_res.hpp"
#include "foundation/gc.hpp"
#include "io/checksum.hpp"
#include "io/compress.hpp"
#include "io/image_codec.hpp"
#include "io/image_codec_bitmap.hpp"
#include "output_capture.hpp"

using namespace kro;
using image_codec::Raster;
using Bytes = std::vector<uint8_t>;
using Pixels = std::vector<uint32_t>;

namespace {

// ---- byte builders ---------------------------------------------------------------------------

struct Out {
    Bytes b;
    bool big = false;  // byte order of u16 and u32
    Out& u8(uint32_t v) {
        b.push_back(uint8_t(v));
        return *this;
    }
    Out& u16(uint32_t v) {
        if (big) return u8(v >> 8).u8(v);
        return u8(v).u8(v >> 8);
    }
    Out& u32(uint32_t v) {
        if (big) return u16(v >> 16).u16(v & 0xFFFF);
        return u16(v & 0xFFFF).u16(v >> 16);
    }
    Out& str(const char* s) {
        while (*s) u8(uint8_t(*s++));
        return *this;
    }
    Out& bytes(const Bytes& more) {
        b.insert(b.end(), more.begin(), more.end());
        return *this;
    }
};

// A decoded raster as its pixels (with the size), or nothing.
struct Decoded {
    bool ok = false;
    int32_t width = 0, height = 0;
    Pixels px;
};

Decoded decoded(Raster* r) {
    Decoded d;
    if (!r) return d;
    d.ok = true;
    d.width = r->width;
    d.height = r->height;
    d.px.assign(r->pixels(), r->pixels() + r->count());
    image_codec::free_raster(r);
    return d;
}
Decoded decode(const Bytes& b) { return decoded(image_codec::decode(b.data(), b.size())); }

Bytes encoded(const Pixels& px, int32_t w, int32_t h, int32_t format) {
    Bytes out;
    EXPECT_TRUE(image_codec::encode(px.data(), w, h, format, out)) << "format " << format;
    return out;
}

// Every prefix of a valid file shorter than `upto` bytes is refused.
void truncations_fail(const Bytes& file, size_t upto, const char* what) {
    for (size_t n = 0; n < upto; n++) {
        Bytes cut(file.begin(), file.begin() + long(n));
        EXPECT_FALSE(decode(cut).ok) << what << " cut to " << n << " of " << file.size() << " bytes";
    }
}

// Flipping bytes one at a time: whatever comes out, nothing crashes and a
// raster that comes back has a size that fits the limits.
void corruptions_survive(const Bytes& file) {
    for (size_t i = 0; i < file.size(); i++) {
        for (uint8_t x : {uint8_t(0xFF), uint8_t(0x80), uint8_t(0x01)}) {
            Bytes bad = file;
            bad[i] ^= x;
            Decoded d = decode(bad);
            if (d.ok) {
                EXPECT_TRUE(image_codec::size_ok(d.width, d.height));
                EXPECT_EQ(d.px.size(), size_t(d.width) * size_t(d.height));
            }
        }
    }
}

// ---- BMP ---------------------------------------------------------------------------------------

// A BITMAPINFOHEADER file: width, height (negative: top-down), bits, compression,
// the colour table (B, G, R, 0 each) and the pixel bytes; masks go after the header.
Bytes bmp(int32_t w, int32_t h, uint32_t bits, uint32_t compression, const Pixels& palette, const Bytes& data,
          const Pixels& masks = {}) {
    uint32_t off = 14 + 40 + uint32_t(masks.size()) * 4 + uint32_t(palette.size()) * 4;
    Out o;
    o.str("BM").u32(off + uint32_t(data.size())).u32(0).u32(off);
    o.u32(40).u32(uint32_t(w)).u32(uint32_t(h)).u16(1).u16(bits).u32(compression).u32(uint32_t(data.size()));
    o.u32(2835).u32(2835).u32(uint32_t(palette.size())).u32(0);
    for (uint32_t m : masks) o.u32(m);
    for (uint32_t c : palette) o.u32(c & 0xFFFFFF);
    return o.bytes(data).b;
}

// ---- PNG ---------------------------------------------------------------------------------------

Bytes png_chunk(const char* type, const Bytes& data) {
    Out o;
    o.big = true;
    o.u32(uint32_t(data.size())).str(type).bytes(data);
    uint32_t crc = checksum::crc32(o.b.data() + 4, o.b.size() - 4);
    return o.u32(crc).b;
}

// A PNG of the given header fields whose image data (filter bytes included)
// is `raw`, with extra chunks before IDAT.
Bytes png(uint32_t w, uint32_t h, uint32_t depth, uint32_t colour, uint32_t interlace, const Bytes& raw,
          const std::vector<Bytes>& chunks = {}) {
    Out ihdr;
    ihdr.big = true;
    ihdr.u32(w).u32(h).u8(depth).u8(colour).u8(0).u8(0).u8(interlace);
    Out o;
    o.u8(137).str("PNG\r\n\x1a\n").bytes(png_chunk("IHDR", ihdr.b));
    for (const Bytes& c : chunks) o.bytes(c);
    Bytes z = compress::encode(compress::Method::ZLIB, raw.data(), raw.size());
    return o.bytes(png_chunk("IDAT", z)).bytes(png_chunk("IEND", {})).b;
}

// ---- GIF ---------------------------------------------------------------------------------------

// LZW data of a 2-bit code size that restarts the dictionary before every
// pixel, so that every code stays 3 bits wide: a valid, uncompressed stream.
Bytes gif_lzw(const Bytes& indexes) {
    std::vector<uint32_t> codes;
    for (uint8_t i : indexes) codes.push_back(4), codes.push_back(i);
    codes.push_back(5);
    Bytes packed;
    uint32_t acc = 0, bits = 0;
    for (uint32_t c : codes) {
        acc |= c << bits;
        bits += 3;
        while (bits >= 8) packed.push_back(uint8_t(acc)), acc >>= 8, bits -= 8;
    }
    if (bits) packed.push_back(uint8_t(acc));
    Out o;
    o.u8(2).u8(uint32_t(packed.size())).bytes(packed).u8(0);
    return o.b;
}

struct GifFrame {
    uint32_t left = 0, top = 0, w = 2, h = 2;
    bool interlaced = false;
    int transparent = -1;
};

// A GIF89a of a logical screen with a global table of four colours and one frame.
Bytes gif(uint32_t sw, uint32_t sh, const GifFrame& f, const Bytes& indexes, bool table = true) {
    Out o;
    o.str("GIF89a").u16(sw).u16(sh).u8(table ? 0x81 : 0x00).u8(0).u8(0);
    if (table) o.u8(255).u8(0).u8(0).u8(0).u8(255).u8(0).u8(0).u8(0).u8(255).u8(255).u8(255).u8(255);
    if (f.transparent >= 0) o.u8(0x21).u8(0xF9).u8(4).u8(1).u16(0).u8(uint32_t(f.transparent)).u8(0);
    o.u8(0x2C).u16(f.left).u16(f.top).u16(f.w).u16(f.h).u8(f.interlaced ? 0x40 : 0);
    return o.bytes(gif_lzw(indexes)).u8(0x3B).b;
}

// ---- TIFF --------------------------------------------------------------------------------------

struct Tag {
    uint16_t tag, type;  // 3 SHORT, 4 LONG
    std::vector<uint32_t> values;
};

// A one-strip TIFF: the tags (sorted), the strip appended after everything.
// StripOffsets (273) and StripByteCounts (279) are filled in here.
Bytes tiff(bool big, std::vector<Tag> tags, const Bytes& strip) {
    tags.push_back({273, 4, {0}});
    tags.push_back({279, 4, {uint32_t(strip.size())}});
    std::sort(tags.begin(), tags.end(), [](const Tag& a, const Tag& b) { return a.tag < b.tag; });
    uint32_t ifd_size = 2 + 12 * uint32_t(tags.size()) + 4;
    uint32_t extra_at = 8 + ifd_size;
    // values that do not fit in the entry go after the directory
    std::vector<uint32_t> where(tags.size(), 0);
    uint32_t at = extra_at;
    for (size_t i = 0; i < tags.size(); i++) {
        uint32_t bytes = uint32_t(tags[i].values.size()) * (tags[i].type == 3 ? 2 : 4);
        if (bytes > 4) where[i] = at, at += bytes;
    }
    for (Tag& t : tags)
        if (t.tag == 273) t.values[0] = at;
    Out o;
    o.big = big;
    o.str(big ? "MM" : "II").u16(42).u32(8).u16(uint32_t(tags.size()));
    for (size_t i = 0; i < tags.size(); i++) {
        const Tag& t = tags[i];
        o.u16(t.tag).u16(t.type).u32(uint32_t(t.values.size()));
        if (where[i]) {
            o.u32(where[i]);
        } else if (t.type == 3) {
            o.u16(t.values[0]).u16(t.values.size() > 1 ? t.values[1] : 0);
        } else {
            o.u32(t.values[0]);
        }
    }
    o.u32(0);
    for (size_t i = 0; i < tags.size(); i++)
        if (where[i])
            for (uint32_t v : tags[i].values) tags[i].type == 3 ? o.u16(v) : o.u32(v);
    return o.bytes(strip).b;
}

std::vector<Tag> tiff_tags(uint32_t w, uint32_t h, std::vector<uint32_t> bits, uint32_t photometric) {
    uint32_t spp = uint32_t(bits.size());
    return {{256, 4, {w}}, {257, 4, {h}}, {258, 3, bits}, {259, 3, {1}}, {262, 3, {photometric}},
            {277, 3, {spp}}, {278, 4, {h}}};
}

// ---- JPEG written directly with libjpeg (default error handling: the
// inputs are ours and valid) ----------------------------------------------------------------------

Bytes jpeg_of(int w, int h, int components, J_COLOR_SPACE space, const Bytes& samples) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + c.next_scanline * size_t(w) * size_t(components));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes out(mem, mem + size);
    std::free(mem);
    return out;
}

bool near_pixel(uint32_t a, uint32_t b, int tolerance) {
    for (int k = 0; k < 32; k += 8) {
        int d = int((a >> k) & 0xFF) - int((b >> k) & 0xFF);
        if (d > tolerance || d < -tolerance) return false;
    }
    return true;
}

// A small picture with every kind of pixel: opaque, half and fully transparent.
const Pixels SAMPLE = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0x80FFFFFF, 0x00000000, 0xFF123456,
                       0x40ABCDEF, 0xFF808080, 0xC0102030, 0xFFFFFFFF, 0x01FEDCBA, 0xFF000000};

}  // namespace

// ---- sniffing ---------------------------------------------------------------------------------------

TEST(ImageCodec, SignaturesNameTheFormat) {
    struct Case {
        Bytes head;
        int32_t format;
    } cases[] = {
        {{137, 'P', 'N', 'G', 13, 10}, image_codec::PNG},
        {{255, 216, 255, 224}, image_codec::JPEG},
        {{'B', 'M'}, image_codec::BMP},
        {{'G', 'I', 'F', '8', '7', 'a'}, image_codec::GIF},
        {{'G', 'I', 'F', '8', '9', 'a'}, image_codec::GIF},
        {{'I', 'I', '*', 0}, image_codec::TIFF},
        {{'M', 'M', 0, '*'}, image_codec::TIFF},
        {{137, 'P', 'N'}, -1},
        {{255, 216, 0}, -1},
        {{'B', 'A'}, -1},
        {{'G', 'I', 'F', '8', '8', 'a'}, -1},
        {{'G', 'I', 'F', '8', '9', 'b'}, -1},
        {{'I', 'I', '*', 1}, -1},
        {{'M', 'M', '*', 0}, -1},
        {{}, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(image_codec::sniff(c.head.data(), c.head.size()), c.format);
    EXPECT_FALSE(decode({'x', 'y', 'z'}).ok);
}

TEST(ImageCodec, RasterLimits) {
    EXPECT_TRUE(image_codec::size_ok(65535, 4096));
    EXPECT_TRUE(image_codec::size_ok(1, 1));
    EXPECT_FALSE(image_codec::size_ok(65536, 1));
    EXPECT_FALSE(image_codec::size_ok(1, 0));
    EXPECT_FALSE(image_codec::size_ok(65535, 65535)) << "beyond 2^28 pixels";
    EXPECT_EQ(image_codec::new_raster(0, 5), nullptr);
}

// ---- round trips through our own encoders ---------------------------------------------------------------

TEST(ImageCodec, LosslessRoundTrips) {
    const Pixels opaque = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF123456, 0xFF000000, 0xFFFFFFFF};
    for (int32_t format : {image_codec::BMP, image_codec::PNG, image_codec::TIFF}) {
        for (const Pixels* px : {&SAMPLE, &opaque}) {
            int32_t w = px == &SAMPLE ? 4 : 3, h = px == &SAMPLE ? 3 : 2;
            Bytes file = encoded(*px, w, h, format);
            EXPECT_EQ(image_codec::sniff(file.data(), file.size()), format);
            Decoded d = decode(file);
            ASSERT_TRUE(d.ok) << "format " << format;
            EXPECT_EQ(d.width, w);
            EXPECT_EQ(d.height, h);
            EXPECT_EQ(d.px, *px) << "format " << format;
        }
    }
    // a single column and a single row
    for (int32_t format : {image_codec::BMP, image_codec::PNG, image_codec::TIFF, image_codec::GIF}) {
        Pixels column = {0xFF010203, 0xFF040506, 0xFF070809};
        EXPECT_EQ(decode(encoded(column, 1, 3, format)).px, column) << format;
        EXPECT_EQ(decode(encoded(column, 3, 1, format)).px, column) << format;
    }
}

TEST(ImageCodec, GifKeepsPaletteImagesAndBinaryAlpha) {
    Decoded d = decode(encoded(SAMPLE, 4, 3, image_codec::GIF));
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.px.size(), SAMPLE.size());
    for (size_t i = 0; i < SAMPLE.size(); i++) {
        uint32_t want = (SAMPLE[i] >> 24) < 128 ? 0 : (SAMPLE[i] | 0xFF000000);
        EXPECT_EQ(d.px[i], want) << i;
    }
    // more than 256 colours: quantized, every pixel near its colour
    Pixels many(64 * 64);
    for (uint32_t i = 0; i < many.size(); i++) many[i] = 0xFF000000 | (i % 64) * 4 << 16 | (i / 64) * 4 << 8 | 0x40;
    Decoded q = decode(encoded(many, 64, 64, image_codec::GIF));
    ASSERT_TRUE(q.ok);
    int far = 0;
    for (size_t i = 0; i < many.size(); i++) far += !near_pixel(q.px[i], many[i], 24);
    EXPECT_EQ(far, 0);
}

TEST(ImageCodec, JpegIsNearAndOpaque) {
    Pixels px(16 * 16);
    for (uint32_t i = 0; i < px.size(); i++) px[i] = 0x80000000 | (i % 16) * 16 << 16 | (i / 16) * 16 << 8 | 0x80;
    Bytes file = encoded(px, 16, 16, image_codec::JPEG);
    Decoded d = decode(file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 16);
    int far = 0;
    for (size_t i = 0; i < px.size(); i++) {
        EXPECT_EQ(d.px[i] >> 24, 0xFFu) << "JPEG has no alpha";
        far += !near_pixel(d.px[i] | 0xFF000000, px[i] | 0xFF000000, 12);
    }
    EXPECT_EQ(far, 0);
}

TEST(ImageCodec, EncodeRefusesWhatItCannotWrite) {
    Bytes out{1, 2, 3};
    EXPECT_FALSE(image_codec::encode(SAMPLE.data(), 0, 3, image_codec::PNG, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(image_codec::encode(SAMPLE.data(), 4, 3, 7, out));
    // a JPEG cannot be wider than 65500: the library's error comes back as a failure
    Pixels wide(65501, 0xFF00FF00);
    EXPECT_FALSE(image_codec::encode(wide.data(), 65501, 1, image_codec::JPEG, out));
}

// ---- BMP fixtures -------------------------------------------------------------------------------------

TEST(ImageCodec, BmpLayouts) {
    const uint32_t R = 0xFFFF0000, G = 0xFF00FF00, B = 0xFF0000FF, W = 0xFFFFFFFF, K = 0xFF000000,
                   Y = 0xFF808080;
    // 24 bits, 3 pixels a row padded to 12 bytes, bottom row first
    Bytes rows24 = {255, 255, 255, 0, 0, 0, 128, 128, 128, 0, 0, 0, 0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0};
    Bytes top_down = {0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 0, 0, 0, 128, 128, 128, 0, 0, 0};
    Pixels palette = {0x000000FF, 0x0000FF00, 0x00FF0000};
    struct Case {
        const char* name;
        Bytes file;
        int32_t w, h;
        Pixels px;
    } cases[] = {
        {"24-bit", bmp(3, 2, 24, 0, {}, rows24), 3, 2, {R, G, B, W, K, Y}},
        {"24-bit top-down", bmp(3, -2, 24, 0, {}, top_down), 3, 2, {R, G, B, W, K, Y}},
        // index 5 lies past the three colours: black
        {"8-bit", bmp(2, 2, 8, 0, palette, {1, 5, 0, 0, 2, 0, 0, 0}), 2, 2, {R, B, G, K}},
        {"1-bit", bmp(9, 1, 1, 0, {0x000000, 0xFFFFFF}, {0xB2, 0x80, 0, 0}), 9, 1, {W, K, W, W, K, K, W, K, W}},
        {"4-bit", bmp(3, 1, 4, 0, palette, {0x12, 0x00, 0, 0}), 3, 1, {G, R, B}},
        {"16-bit 5-5-5", bmp(2, 1, 16, 0, {}, {0x00, 0x7C, 0xE0, 0x03}), 2, 1, {R, G}},
        {"16-bit 5-6-5 masks", bmp(2, 1, 16, 3, {}, {0x00, 0xF8, 0x1F, 0x00}, {0xF800, 0x07E0, 0x001F}), 2, 1,
         {R, B}},
        // in a 32-bit BI_RGB pixel the fourth byte is padding
        {"32-bit", bmp(2, 1, 32, 0, {}, {0, 0, 255, 0, 255, 0, 0, 7}), 2, 1, {R, B}},
        {"32-bit alpha mask", bmp(1, 1, 32, 6, {}, {0x30, 0x20, 0x10, 0x80}, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}),
         1, 1, {0x80102030}},
        // run of one, absolute run of three (padded), end of line; a delta of
        // two columns, a run of two, end of bitmap: the skipped pixels stay transparent
        {"RLE8", bmp(4, 2, 8, 1, {0, 0x0000FF, 0x00FF00, 0xFF0000},
                     {1, 1, 0, 3, 2, 3, 1, 0, 0, 0, 0, 2, 2, 0, 2, 2, 0, 1}),
         4, 2, {0, 0, G, G, B, G, R, B}},
        {"RLE4", bmp(4, 1, 4, 2, {0, 0x0000FF, 0x00FF00}, {4, 0x12, 0, 1}), 4, 1, {B, G, B, G}},
    };
    for (const Case& c : cases) {
        Decoded d = decode(c.file);
        ASSERT_TRUE(d.ok) << c.name;
        EXPECT_EQ(d.width, c.w) << c.name;
        EXPECT_EQ(d.height, c.h) << c.name;
        EXPECT_EQ(d.px, c.px) << c.name;
    }
    // the old 12-byte header, colour table entries of three bytes
    Out core;
    core.str("BM").u32(14 + 12 + 6 + 4).u32(0).u32(14 + 12 + 6);
    core.u32(12).u16(1).u16(1).u16(1).u16(8).u8(0).u8(0).u8(255).u8(255).u8(0).u8(0).u8(1).u8(0).u8(0).u8(0);
    EXPECT_EQ(decode(core.b).px, Pixels{B});
}

TEST(ImageCodec, BmpRefusesCorruptFiles) {
    Bytes rows24 = {255, 255, 255, 0, 0, 0, 128, 128, 128, 0, 0, 0, 0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0};
    Bytes good = bmp(3, 2, 24, 0, {}, rows24);
    ASSERT_TRUE(decode(good).ok);
    auto patched = [&](size_t at, uint32_t v) {
        Bytes b = good;
        for (int k = 0; k < 4; k++) b[at + size_t(k)] = uint8_t(v >> (8 * k));
        return b;
    };
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"pixels cut short", Bytes(good.begin(), good.end() - 4)},
        {"header size 20", patched(14, 20)},
        {"7 bits a pixel", bmp(3, 2, 7, 0, {}, rows24)},
        {"width 0", patched(18, 0)},
        {"65535 x 65535 claimed", patched(22, 65535) /* height */},
        {"huge width", patched(18, 0x7FFFFFFF)},
        {"height INT32_MIN", patched(22, 0x80000000)},
        {"pixels beyond the file", patched(10, 10000)},
        {"pixels inside the header", patched(10, 20)},
        {"RLE top-down", bmp(4, -2, 8, 1, {0}, {0, 1})},
        {"RLE8 at 4 bits", bmp(4, 2, 4, 1, {0}, {0, 1})},
        {"RLE without its end", bmp(4, 2, 8, 1, {0}, {2, 0})},
        {"RLE absolute run past the data", bmp(4, 2, 8, 1, {0}, {0, 9, 1, 2})},
        {"palette past the file", bmp(2, 2, 8, 0, Pixels(3), {})},
        {"unknown compression", bmp(2, 1, 32, 4, {}, {0, 0, 0, 0, 0, 0, 0, 0})},
    };
    for (const Case& c : cases) EXPECT_FALSE(decode(c.file).ok) << c.name;
    truncations_fail(good, good.size() - 3, "BMP");  // the last row's padding may be missing
    corruptions_survive(good);
}

// ---- PNG fixtures -------------------------------------------------------------------------------------

TEST(ImageCodec, PngVariants) {
    Bytes plte = png_chunk("PLTE", {255, 0, 0, 0, 255, 0});
    Bytes trns = png_chunk("tRNS", {0x80});
    struct Case {
        const char* name;
        Bytes file;
        Pixels px;
    } cases[] = {
        {"grey", png(2, 1, 8, 0, 0, {0, 0x00, 0xFF}), {0xFF000000, 0xFFFFFFFF}},
        {"grey and alpha", png(2, 1, 8, 4, 0, {0, 0x40, 0x80, 0xFF, 0x00}), {0x80404040, 0x00FFFFFF}},
        {"palette with transparency", png(2, 1, 8, 3, 0, {0, 0, 1}, {plte, trns}), {0x80FF0000, 0xFF00FF00}},
        {"2-bit palette", png(3, 1, 2, 3, 0, {0, 0x10}, {plte}), {0xFFFF0000, 0xFF00FF00, 0xFFFF0000}},
        {"16-bit RGBA", png(1, 1, 16, 6, 0, {0, 0x12, 0x12, 0xFF, 0xFF, 0, 0, 0x80, 0x80}), {0x8012FF00}},
        // Adam7: pass 1 holds (0, 0), pass 6 (1, 0), pass 7 the second row
        {"interlaced", png(2, 2, 8, 2, 1, {0, 1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 10, 11, 12}),
         {0xFF010203, 0xFF040506, 0xFF070809, 0xFF0A0B0C}},
        // the Sub filter adds the byte to the left
        {"filtered", png(2, 1, 8, 2, 0, {1, 10, 20, 30, 1, 2, 3}), {0xFF0A141E, 0xFF0B1621}},
    };
    for (const Case& c : cases) {
        Decoded d = decode(c.file);
        ASSERT_TRUE(d.ok) << c.name;
        EXPECT_EQ(d.px, c.px) << c.name;
    }
}

TEST(ImageCodec, PngRefusesCorruptFiles) {
    Bytes good = png(2, 1, 8, 0, 0, {0, 0x00, 0xFF});
    ASSERT_TRUE(decode(good).ok);
    Bytes bad_crc = good;
    bad_crc[29] ^= 1;  // the IHDR checksum
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"header checksum", bad_crc},
        {"width 0", png(0, 1, 8, 0, 0, {0})},
        {"wider than 65535", png(70000, 1, 8, 0, 0, {0})},
        {"65535 x 65535 claimed", png(65535, 65535, 8, 0, 0, {0, 0})},
        {"bit depth 5", png(2, 1, 5, 0, 0, {0, 0})},
        {"rows missing", png(2, 2, 8, 0, 0, {0, 1, 2})},
        {"unknown filter", png(2, 1, 8, 0, 0, {9, 1, 2})},
        {"palette image without palette", png(2, 1, 8, 3, 0, {0, 0, 1})},
    };
    for (const Case& c : cases) EXPECT_FALSE(decode(c.file).ok) << c.name;
    // a file whose end chunk is missing still holds the whole image
    truncations_fail(good, good.size() - 12, "PNG");
    corruptions_survive(good);
}

// ---- GIF fixtures --------------------------------------------------------------------------------------

TEST(ImageCodec, GifFrames) {
    const uint32_t R = 0xFFFF0000, G = 0xFF00FF00, B = 0xFF0000FF, W = 0xFFFFFFFF;
    GifFrame plain;
    EXPECT_EQ(decode(gif(2, 2, plain, {0, 1, 2, 3})).px, (Pixels{R, G, B, W}));
    GifFrame see_through;
    see_through.transparent = 1;
    EXPECT_EQ(decode(gif(2, 2, see_through, {0, 1, 2, 1})).px, (Pixels{R, 0, B, 0}));
    // rows of an interlaced frame come as 0, 2, 1, 3
    GifFrame interlaced{0, 0, 1, 4, true, -1};
    EXPECT_EQ(decode(gif(1, 4, interlaced, {0, 2, 1, 3})).px, (Pixels{R, G, B, W}));
    // a frame inside a larger screen: the rest of the screen is transparent
    GifFrame inset{1, 1, 2, 2, false, -1};
    Decoded d = decode(gif(3, 3, inset, {0, 1, 2, 3}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.px, (Pixels{0, 0, 0, 0, R, G, 0, B, W}));
    // a frame reaching past the screen is cut to it
    GifFrame over{1, 0, 2, 2, false, -1};
    EXPECT_EQ(decode(gif(2, 2, over, {0, 1, 2, 3})).px, (Pixels{0, R, 0, B}));
    // an empty screen takes the frame's size
    EXPECT_EQ(decode(gif(0, 0, plain, {3, 2, 1, 0})).px, (Pixels{W, B, G, R}));
}

TEST(ImageCodec, GifRefusesCorruptFiles) {
    GifFrame plain;
    Bytes good = gif(2, 2, plain, {0, 1, 2, 3});
    ASSERT_TRUE(decode(good).ok);
    Out trailer_only;
    trailer_only.str("GIF89a").u16(2).u16(2).u8(0).u8(0).u8(0).u8(0x3B);
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"no colour table", gif(2, 2, plain, {0, 1, 2, 3}, false)},
        {"no image", trailer_only.b},
        {"65535 x 65535 screen", gif(65535, 65535, plain, {0, 1, 2, 3})},
        {"pixels missing", gif(2, 2, plain, {0, 1})},
    };
    for (const Case& c : cases) EXPECT_FALSE(decode(c.file).ok) << c.name;
    // the trailer is not needed once the frame is read
    truncations_fail(good, good.size() - 1, "GIF");
    corruptions_survive(good);
}

// ---- TIFF fixtures --------------------------------------------------------------------------------------

TEST(ImageCodec, TiffVariants) {
    const uint32_t R = 0xFFFF0000, G = 0xFF00FF00;
    Bytes rgb = {255, 0, 0, 0, 255, 0};
    EXPECT_EQ(decode(tiff(false, tiff_tags(2, 1, {8, 8, 8}, 2), rgb)).px, (Pixels{R, G}));
    EXPECT_EQ(decode(tiff(true, tiff_tags(2, 1, {8, 8, 8}, 2), rgb)).px, (Pixels{R, G})) << "big-endian";
    // a palette of 16-bit entries: red, then green, then blue for all 256
    std::vector<uint32_t> colours(768, 0);
    colours[0] = 0xFFFF, colours[256 + 1] = 0xFFFF;
    std::vector<Tag> pal = tiff_tags(2, 1, {8}, 3);
    pal.push_back({320, 3, colours});
    EXPECT_EQ(decode(tiff(false, pal, {1, 0})).px, (Pixels{G, R}));
    // 16-bit grey, big-endian samples in a big-endian file
    EXPECT_EQ(decode(tiff(true, tiff_tags(2, 1, {16}, 1), {0xFF, 0xFF, 0, 0})).px, (Pixels{0xFFFFFFFF, 0xFF000000}));
    // associated (premultiplied) alpha comes back straight
    std::vector<Tag> assoc = tiff_tags(1, 1, {8, 8, 8, 8}, 2);
    assoc.push_back({338, 3, {1}});
    EXPECT_EQ(decode(tiff(false, assoc, {128, 64, 0, 128})).px, (Pixels{0x80FF8000}));
    // unassociated alpha stored as is
    std::vector<Tag> unassoc = tiff_tags(1, 1, {8, 8, 8, 8}, 2);
    unassoc.push_back({338, 3, {2}});
    EXPECT_EQ(decode(tiff(false, unassoc, {200, 100, 50, 128})).px, (Pixels{0x80C86432}));
    // bottom-up rows go through the general reader
    std::vector<Tag> flipped = tiff_tags(1, 2, {8, 8, 8}, 2);
    flipped.push_back({274, 3, {4}});
    EXPECT_EQ(decode(tiff(false, flipped, {255, 0, 0, 0, 255, 0})).px, (Pixels{G, R}));
}

TEST(ImageCodec, TiffRefusesCorruptFiles) {
    Bytes good = tiff(false, tiff_tags(2, 1, {8, 8, 8}, 2), {255, 0, 0, 0, 255, 0});
    ASSERT_TRUE(decode(good).ok);
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"strip cut short", Bytes(good.begin(), good.end() - 2)},
        {"wider than 65535", tiff(false, tiff_tags(70000, 1, {8, 8, 8}, 2), Bytes(6))},
        {"65535 x 65535 claimed", tiff(false, tiff_tags(65535, 65535, {8, 8, 8}, 2), Bytes(6))},
        {"no directory", Bytes{'I', 'I', 42, 0, 8, 0, 0, 0}},
    };
    for (const Case& c : cases) EXPECT_FALSE(decode(c.file).ok) << c.name;
    corruptions_survive(good);
}

// ---- JPEG fixtures --------------------------------------------------------------------------------------

TEST(ImageCodec, JpegColourSpaces) {
    Decoded grey = decode(jpeg_of(2, 1, 1, JCS_GRAYSCALE, Bytes(16, 0x40)));
    ASSERT_TRUE(grey.ok);
    EXPECT_TRUE(near_pixel(grey.px[0], 0xFF404040, 2));
    // Adobe-marked CMYK is stored inverted: 255 0 0 255 is pure red
    Bytes cmyk(16, 0);
    for (size_t i = 0; i < 16; i += 4) cmyk[i] = 255, cmyk[i + 3] = 255;
    Decoded red = decode(jpeg_of(2, 2, 4, JCS_CMYK, cmyk));
    ASSERT_TRUE(red.ok);
    for (uint32_t p : red.px) EXPECT_TRUE(near_pixel(p, 0xFFFF0000, 3)) << std::hex << p;
}

TEST(ImageCodec, JpegRefusesCorruptFiles) {
    Pixels px(8 * 8, 0xFF336699);
    Bytes good = encoded(px, 8, 8, image_codec::JPEG);
    ASSERT_TRUE(decode(good).ok);
    // the frame header claims 65500 x 65500
    Bytes huge = good;
    for (size_t i = 0; i + 8 < huge.size(); i++) {
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
            huge[i + 5] = 0xFF, huge[i + 6] = 0xDC, huge[i + 7] = 0xFF, huge[i + 8] = 0xDC;
            break;
        }
    }
    EXPECT_FALSE(decode(huge).ok);
    EXPECT_FALSE(decode(Bytes{255, 216, 255, 0xDB, 0, 2}).ok);
    truncations_fail(good, good.size(), "JPEG");
    corruptions_survive(good);
}

// ---- the back-end's nodes ------------------------------------------------------------------------------------

namespace {

Pixels node_pixels(uint32_t node) {
    Raster* r = bitmap::raster(node);
    return r ? Pixels(r->pixels(), r->pixels() + r->count()) : Pixels{};
}

int32_t rasters_registered() {
    int32_t n = 0;
    ext_res::registry().for_each_of_kind(
        uint32_t(bitmap::kind()), [](uintptr_t, void* count) { ++*static_cast<int32_t*>(count); }, &n);
    return n;
}

}  // namespace

TEST(ImageBitmap, MakeFillsFromBytesOrColour) {
    const uint8_t rgb[] = {1, 2, 3, 9, 9};  // cut down to one whole pixel
    EXPECT_EQ(node_pixels(bitmap::make(2, 1, rgb, 5, nullptr, 0, nullptr)), (Pixels{0xFF010203, 0xFFFFFFFF}));
    const uint8_t alpha[] = {0, 255, 16};
    EXPECT_EQ(node_pixels(bitmap::make(2, 2, nullptr, 0, alpha, 3, nullptr)),
              (Pixels{0xFFFFFFFF, 0x00FFFFFF, 0xEFFFFFFF, 0xFFFFFFFF}));
    Cell colour{uint32_t(TYPE_NONE), 0, 0, 0};
    tuple::make_rgba(&colour, 10, 20, 30, 40);
    EXPECT_EQ(node_pixels(bitmap::make(2, 1, rgb, 3, alpha, 3, &colour)), (Pixels{0xD70A141E, 0xD70A141E}));
    tuple::make_rgba(&colour, 10, 20, 30, -1);
    EXPECT_EQ(node_pixels(bitmap::make(1, 1, nullptr, 0, nullptr, 0, &colour)), (Pixels{0xFF0A141E}));
    uint32_t empty = bitmap::make(0, 7, nullptr, 0, nullptr, 0, nullptr);
    EXPECT_FALSE(bitmap::has_pixels(empty));
    EXPECT_EQ(bitmap::width(empty), 0);
    EXPECT_EQ(bitmap::height(empty), 7);
    EXPECT_EQ(testing_blocks::raised([] { bitmap::make(65535, 65535, nullptr, 0, nullptr, 0, nullptr); }),
              "internal/no-memory");
}

TEST(ImageBitmap, EncodeOfEmptyAndUnknownFormats) {
    std::vector<uint8_t> out{1};
    EXPECT_TRUE(bitmap::encode(bitmap::make(0, 0, nullptr, 0, nullptr, 0, nullptr), image_codec::PNG, out));
    EXPECT_TRUE(out.empty());
    uint32_t node = bitmap::make(2, 1, nullptr, 0, nullptr, 0, nullptr);
    bool ok = true;
    {
        test::CapturedOutput capture;
        ok = bitmap::encode(node, 5, out);
        EXPECT_EQ(capture.take(), "Cannot find image encoder\n");
    }
    EXPECT_FALSE(ok);
    ASSERT_TRUE(bitmap::encode(node, image_codec::PNG, out));
    EXPECT_EQ(decoded(image_codec::decode(out.data(), out.size())).px, node_pixels(node));
    bitmap::release(node);
    EXPECT_EQ(testing_blocks::raised([&] { bitmap::encode(node, image_codec::PNG, out); }), "access/bad-media");
}

TEST(ImageBitmap, CopyCropScale) {
    const uint8_t rgb[] = {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 6};
    uint32_t node = bitmap::make(3, 2, rgb, 18, nullptr, 0, nullptr);
    uint32_t copy = bitmap::copy(node);
    EXPECT_EQ(node_pixels(copy), node_pixels(node));
    bitmap::set_pixel(copy, 0, 0);
    EXPECT_EQ(bitmap::get_pixel(node, 0), 0xFF010101u) << "a copy has its own pixels";
    EXPECT_EQ(bitmap::get_pixel(node, 6), 0u) << "outside reads 0";
    bitmap::set_pixel(node, -1, 0);  // ignored
    uint32_t crop = bitmap::crop(node, 1, 0, 5, 5);
    EXPECT_EQ(bitmap::width(crop), 2);
    EXPECT_EQ(bitmap::height(crop), 2);
    EXPECT_EQ(node_pixels(crop), (Pixels{0xFF020202, 0xFF030303, 0xFF050505, 0xFF060606}));
    EXPECT_FALSE(bitmap::has_pixels(bitmap::crop(node, 3, 0, 1, 1)));
    uint32_t big = bitmap::scale(node, 6, 2);
    EXPECT_EQ(node_pixels(big), (Pixels{0xFF010101, 0xFF010101, 0xFF020202, 0xFF020202, 0xFF030303, 0xFF030303,
                                         0xFF040404, 0xFF040404, 0xFF050505, 0xFF050505, 0xFF060606, 0xFF060606}));
    EXPECT_EQ(node_pixels(bitmap::scale(node, 1, 1)), (Pixels{0xFF050505})) << "the centre sample";
    const uint32_t rows[] = {1, 2, 99, 3, 4, 99};
    EXPECT_EQ(node_pixels(bitmap::from_memory(2, 2, 12, rows)), (Pixels{1, 2, 3, 4}));
}

TEST(ImageBitmap, MapToCornersReportsFlips) {
    const uint8_t rgb[] = {255, 0, 0, 0, 0, 255};
    uint32_t node = bitmap::make(2, 1, rgb, 6, nullptr, 0, nullptr);
    pixels::Box box;
    const float straight[8] = {0, 0, 2, 0, 2, 1, 0, 1};
    uint32_t same = bitmap::map_to_corners(node, straight, nullptr, &box);
    EXPECT_EQ(node_pixels(same), node_pixels(node));
    EXPECT_EQ(box.width, 2);
    const float mirrored[8] = {2, 0, 0, 0, 0, 1, 2, 1};
    uint32_t flipped = bitmap::map_to_corners(node, mirrored, nullptr, &box);
    EXPECT_EQ(box.width, -2) << "a horizontal flip shows as a negative width";
    EXPECT_EQ(box.height, 1);
    EXPECT_EQ(node_pixels(flipped), node_pixels(node)) << "drawn unmirrored; the caller flips";
    const int32_t part[4] = {1, 0, 1, 1};
    uint32_t one = bitmap::map_to_corners(node, straight, part, &box);
    EXPECT_EQ(node_pixels(one), (Pixels{0xFF0000FF, 0xFF0000FF}));
    const int32_t outside[4] = {2, 0, 1, 1};
    EXPECT_EQ(bitmap::map_to_corners(node, straight, outside, &box), 0u);
}

TEST(ImageBitmap, LocksAndRelease) {
    uint32_t node = bitmap::make(3, 2, nullptr, 0, nullptr, 0, nullptr);
    bitmap::Lock lock = bitmap::lock_pixels(node, true);
    int32_t stride = 0;
    uint32_t* px = bitmap::query(lock, &stride);
    EXPECT_EQ(stride, 12);
    px[5] = 0x12345678;
    bitmap::unlock_pixels(lock);
    EXPECT_EQ(bitmap::get_pixel(node, 5), 0x12345678u);
    int32_t before = rasters_registered();
    bitmap::release(node);
    EXPECT_EQ(rasters_registered(), before - 1);
    EXPECT_FALSE(bitmap::has_pixels(node));
    EXPECT_EQ(bitmap::width(node), 3) << "the size stays";
    EXPECT_EQ(testing_blocks::raised([&] { bitmap::lock_pixels(node, false); }), "access/bad-media");
    bitmap::release(node);  // twice is harmless
}

TEST(ImageBitmap, CollectionFreesTheRastersOfDeadNodes) {
    collector::collect();
    int32_t before = rasters_registered();
    gc::Rooted live;
    live.cell = Cell{uint32_t(TYPE_IMAGE), 0, bitmap::make(4, 4, nullptr, 0, nullptr, 0, nullptr), 4 << 16 | 4};
    bitmap::set_pixel(live->data2, 3, 0x01020304);
    for (int i = 0; i < 5; i++) bitmap::make(8, 8, nullptr, 0, nullptr, 0, nullptr);  // nothing holds these
    EXPECT_EQ(rasters_registered(), before + 6);
    collector::collect();
    EXPECT_EQ(rasters_registered(), before + 1);
    EXPECT_EQ(bitmap::get_pixel(live->data2, 3), 0x01020304u) << "a live image keeps its pixels";
    EXPECT_TRUE(collector::check_heap().empty()) << collector::check_heap();
}

TEST(ImageBitmap, DecodersMakeNodes) {
    Bytes file = encoded(SAMPLE, 4, 3, image_codec::PNG);
    uint32_t node = bitmap::load_bytes(file.data(), file.size());
    ASSERT_NE(node, 0u);
    EXPECT_EQ(bitmap::packed_size(node), 3u << 16 | 4u);
    EXPECT_EQ(node_pixels(node), SAMPLE);
    EXPECT_EQ(bitmap::load_bytes(file.data(), 10), 0u);
    // a pixel written after decoding is in the next encoding
    bitmap::set_pixel(node, 11, 0xFF0A0B0C);
    Bytes again;
    ASSERT_TRUE(bitmap::encode(node, image_codec::TIFF, again));
    EXPECT_EQ(decode(again).px[11], 0xFF0A0B0Cu);
}
