// GIF through giflib's record interface (every call answers an error code).
// Decoding reads the first frame only, one line at a time, onto the logical
// screen, so no allocation follows from the frame's own claimed size.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "foundation/platform/shared_lib.hpp"
#include "io/image_codec.hpp"

namespace kro::image_codec {

namespace {

#define GIF_CALLS(X)                                                                         \
    X(DGifCloseFile) X(DGifExtensionToGCB) X(DGifGetExtension) X(DGifGetExtensionNext)       \
    X(DGifGetImageDesc) X(DGifGetLine) X(DGifGetRecordType) X(DGifOpen) X(EGifCloseFile)     \
    X(EGifGCBToExtension) X(EGifOpen) X(EGifPutExtension) X(EGifPutImageDesc) X(EGifPutLine) \
    X(EGifPutScreenDesc) X(EGifSetGifVersion) X(GifFreeMapObject) X(GifMakeMapObject)
KRO_SHARED_LIB(GifCalls, giflib, "libgif.so.7", GIF_CALLS)

struct Input {
    const uint8_t* data;
    size_t size, at;
};

int read_input(GifFileType* gif, GifByteType* buffer, int length) {
    auto* in = static_cast<Input*>(gif->UserData);
    if (length <= 0) return 0;
    size_t n = std::min(size_t(length), in->size - in->at);
    std::memcpy(buffer, in->data + in->at, n);
    in->at += n;
    return int(n);
}

int write_output(GifFileType* gif, const GifByteType* bytes, int length) {
    auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
    if (length > 0) out->insert(out->end(), bytes, bytes + length);
    return length;
}

// Reads the first image of the stream onto a raster of the logical screen
// (of the frame itself when the screen is empty); pixels the frame does not
// cover are transparent.
Raster* read_first_frame(GifFileType* gif) {
    const GifCalls& lib = giflib();
    int transparent = NO_TRANSPARENT_COLOR;
    for (;;) {
        GifRecordType type;
        if (lib.DGifGetRecordType(gif, &type) != GIF_OK) return nullptr;
        if (type == TERMINATE_RECORD_TYPE) return nullptr;  // no image at all
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* ext = nullptr;
            if (lib.DGifGetExtension(gif, &code, &ext) != GIF_OK) return nullptr;
            if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] == 4) {
                GraphicsControlBlock gcb;
                if (lib.DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK) transparent = gcb.TransparentColor;
            }
            while (ext)
                if (lib.DGifGetExtensionNext(gif, &ext) != GIF_OK) return nullptr;
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) return nullptr;
        if (lib.DGifGetImageDesc(gif) != GIF_OK) return nullptr;
        break;
    }
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    // the frame itself is bounded too: decoding it costs its pixel count
    if (!map || !map->Colors || !size_ok(frame.Width, frame.Height)) return nullptr;
    int64_t width = gif->SWidth, height = gif->SHeight;
    int64_t left = frame.Left, top = frame.Top;
    if (width < 1 || height < 1) width = frame.Width, height = frame.Height, left = 0, top = 0;
    Raster* r = new_raster(width, height);
    if (!r) return nullptr;
    uint32_t* px = r->pixels();
    std::memset(px, 0, size_t(r->count()) * 4);
    uint32_t palette[256];
    for (int i = 0; i < 256; i++) {
        if (i < map->ColorCount) {
            const GifColorType& c = map->Colors[i];
            palette[i] = 0xFF000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
        } else {
            palette[i] = 0xFF000000u;  // an index past the colour map reads black
        }
    }
    if (transparent >= 0 && transparent < 256) palette[transparent] = 0;
    std::vector<GifPixelType> line(size_t(frame.Width));
    // interlaced rows come in four passes: every 8th from 0, every 8th from 4,
    // every 4th from 2, every 2nd from 1
    static constexpr int START[4] = {0, 4, 2, 1}, STEP[4] = {8, 8, 4, 2};
    int pass = 0, row = 0;
    for (int64_t k = 0; k < frame.Height; k++) {
        if (lib.DGifGetLine(gif, line.data(), frame.Width) != GIF_OK) {
            free_raster(r);
            return nullptr;
        }
        int64_t y = k;
        if (frame.Interlace) {
            while (row >= frame.Height && pass < 3) row = START[++pass];
            y = row;
            row += STEP[pass];
        }
        int64_t cy = top + y;
        if (cy < 0 || cy >= height) continue;
        for (int64_t x = 0; x < frame.Width; x++) {
            int64_t cx = left + x;
            if (cx >= 0 && cx < width) px[cy * width + cx] = palette[line[size_t(x)]];
        }
    }
    return r;
}

}  // namespace

Raster* decode_gif(const uint8_t* data, size_t size) {
    const GifCalls& lib = giflib();
    Input in{data, size, 0};
    int error = 0;
    GifFileType* gif = lib.DGifOpen(&in, read_input, &error);
    if (!gif) return nullptr;
    Raster* r = read_first_frame(gif);
    lib.DGifCloseFile(gif, &error);
    return r;
}

namespace {

// Up to `room` distinct colours of the opaque pixels, each mapped to its
// index; false when there are more.
bool exact_palette(const uint32_t* pixels, int64_t count, int room, std::vector<uint32_t>& colours,
                   std::vector<uint8_t>& indexes) {
    std::unordered_map<uint32_t, uint8_t> seen;
    indexes.resize(size_t(count));
    for (int64_t i = 0; i < count; i++) {
        if ((pixels[i] >> 24) < 128) continue;
        uint32_t rgb = pixels[i] & 0xFFFFFF;
        auto it = seen.find(rgb);
        if (it == seen.end()) {
            if (int(colours.size()) == room) return false;
            it = seen.emplace(rgb, uint8_t(colours.size())).first;
            colours.push_back(rgb);
        }
        indexes[size_t(i)] = it->second;
    }
    return true;
}

// Median cut. Colours are counted in buckets of 6 bits a channel; the
// buckets are split into `room` boxes, each time cutting the box with the
// widest channel at the median of its pixels; a box's colour is the mean of
// its pixels. Pixels with alpha below 128 take no part (they become the
// transparent index).
bool quantized_palette(const uint32_t* pixels, int64_t count, int room, std::vector<uint32_t>& colours,
                       std::vector<uint8_t>& indexes) {
    struct Bucket {
        uint64_t count = 0, r = 0, g = 0, b = 0;
    };
    constexpr uint32_t BUCKETS = 1u << 18;
    auto key_of = [](uint32_t p) { return (p >> 6 & 0x3F000) | (p >> 4 & 0xFC0) | (p >> 2 & 0x3F); };
    std::vector<Bucket> hist(BUCKETS);
    for (int64_t i = 0; i < count; i++) {
        uint32_t p = pixels[i];
        if ((p >> 24) < 128) continue;
        Bucket& b = hist[key_of(p)];
        b.count++, b.r += (p >> 16) & 0xFF, b.g += (p >> 8) & 0xFF, b.b += p & 0xFF;
    }
    std::vector<uint32_t> keys;
    for (uint32_t k = 0; k < BUCKETS; k++)
        if (hist[k].count) keys.push_back(k);
    struct Box {
        size_t begin, end;
        int widest, range;  // the channel (shift 12, 6 or 0) with the largest spread
    };
    auto measure = [&](size_t begin, size_t end) {
        Box box{begin, end, 0, -1};
        for (int shift : {12, 6, 0}) {
            int lo = 63, hi = 0;
            for (size_t i = begin; i < end; i++) {
                int c = int(keys[i] >> shift & 63);
                lo = std::min(lo, c), hi = std::max(hi, c);
            }
            if (hi - lo > box.range) box.widest = shift, box.range = hi - lo;
        }
        return box;
    };
    std::vector<Box> boxes;
    if (!keys.empty()) boxes.push_back(measure(0, keys.size()));
    while (int(boxes.size()) < room) {
        int pick = -1;
        for (size_t i = 0; i < boxes.size(); i++)
            if (boxes[i].range > 0 && (pick < 0 || boxes[i].range > boxes[size_t(pick)].range)) pick = int(i);
        if (pick < 0) break;
        Box box = boxes[size_t(pick)];
        int shift = box.widest;
        std::sort(keys.begin() + long(box.begin), keys.begin() + long(box.end),
                  [shift](uint32_t a, uint32_t b) { return (a >> shift & 63) < (b >> shift & 63); });
        uint64_t total = 0, seen = 0;
        for (size_t i = box.begin; i < box.end; i++) total += hist[keys[i]].count;
        size_t cut = box.begin + 1;
        for (size_t i = box.begin; i + 1 < box.end; i++) {
            seen += hist[keys[i]].count;
            cut = i + 1;
            if (seen * 2 >= total) break;
        }
        boxes[size_t(pick)] = measure(box.begin, cut);
        boxes.push_back(measure(cut, box.end));
    }
    std::vector<uint8_t> index_of(BUCKETS, 0);
    colours.clear();
    for (const Box& box : boxes) {
        Bucket sum;
        for (size_t i = box.begin; i < box.end; i++) {
            const Bucket& b = hist[keys[i]];
            sum.count += b.count, sum.r += b.r, sum.g += b.g, sum.b += b.b;
            index_of[keys[i]] = uint8_t(colours.size());
        }
        uint64_t n = sum.count, half = n / 2;
        colours.push_back(uint32_t((sum.r + half) / n) << 16 | uint32_t((sum.g + half) / n) << 8 |
                          uint32_t((sum.b + half) / n));
    }
    indexes.resize(size_t(count));
    for (int64_t i = 0; i < count; i++) indexes[size_t(i)] = index_of[key_of(pixels[i])];
    return true;
}

}  // namespace

bool encode_gif(const uint32_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out) {
    const GifCalls& lib = giflib();
    int64_t count = int64_t(width) * height;
    bool any_transparent = false;
    for (int64_t i = 0; i < count && !any_transparent; i++) any_transparent = (pixels[i] >> 24) < 128;
    int room = any_transparent ? 255 : 256;
    std::vector<uint32_t> colours;
    std::vector<uint8_t> indexes;
    if (!exact_palette(pixels, count, room, colours, indexes)) {
        colours.clear();
        if (!quantized_palette(pixels, count, room, colours, indexes)) return false;
    }
    int transparent = NO_TRANSPARENT_COLOR;
    if (any_transparent) {
        transparent = int(colours.size());
        colours.push_back(0);
        for (int64_t i = 0; i < count; i++)
            if ((pixels[i] >> 24) < 128) indexes[size_t(i)] = uint8_t(transparent);
    }
    int map_size = 2;
    while (map_size < int(colours.size())) map_size <<= 1;
    GifColorType entries[256] = {};
    for (size_t i = 0; i < colours.size(); i++)
        entries[i] = GifColorType{GifByteType(colours[i] >> 16), GifByteType(colours[i] >> 8), GifByteType(colours[i])};

    out.clear();
    int error = 0;
    GifFileType* gif = lib.EGifOpen(&out, write_output, &error);
    if (!gif) return false;
    ColorMapObject* map = lib.GifMakeMapObject(map_size, entries);
    bool ok = map != nullptr;
    if (ok) {
        lib.EGifSetGifVersion(gif, any_transparent);
        ok = lib.EGifPutScreenDesc(gif, width, height, 8, 0, map) == GIF_OK;
    }
    if (ok && any_transparent) {
        GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 0, transparent};
        GifByteType ext[4];
        size_t n = lib.EGifGCBToExtension(&gcb, ext);
        ok = lib.EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(n), ext) == GIF_OK;
    }
    if (ok) ok = lib.EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_OK;
    for (int32_t y = 0; ok && y < height; y++)
        ok = lib.EGifPutLine(gif, indexes.data() + int64_t(y) * width, width) == GIF_OK;
    if (lib.EGifCloseFile(gif, &error) != GIF_OK) ok = false;
    lib.GifFreeMapObject(map);
    if (!ok) out.clear();
    return ok;
}

}  // namespace kro::image_codec
