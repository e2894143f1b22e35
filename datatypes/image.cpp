#include "datatypes/image.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/scalar_path.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "foundation/collector.hpp"
#include "foundation/ext_res.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/ownership.hpp"
#include "foundation/registry.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"
#include "io/image_codec_bitmap.hpp"

namespace kro::image {

Cell* (*face_to_image)(const Cell* object, Cell* out) = nullptr;

using bitmap::Raster;

namespace {

Cell path_result{uint32_t(TYPE_NONE), 0, 0, 0};

constexpr int32_t MAX_SIDE = int32_t(image_codec::MAX_SIDE);

Cell datatype_cell(Type t) { return Cell{uint32_t(TYPE_DATATYPE), uint32_t(t), 0, 0}; }

int64_t head_clamped(const Cell* image) {
    int64_t h = int32_t(image->data1), total = pixel_count(image);
    return h < 0 ? 0 : h > total ? total : h;
}

// The pixels of an image for reading and writing: access/bad-media when the
// image has pixels by its size but its raster is gone.
Raster* pixels_of(const Cell* image) {
    Raster* r = bitmap::raster(image->data2);
    if (!r && pixel_count(image) > 0) fire("access", "bad-media");
    return r;
}

bool owned(const Cell* image) { return memory::buffer_of(image->data2)->flags & ownership::FLAG_OWNED; }

// Tells the image's owner (when it has one) of a change by `action`.
void tell_owner(const Cell* image, const char* action, const Cell* value, int32_t index, int32_t part) {
    if (!owned(image)) return;
    Cell word{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(action)), uint32_t(-1)};
    ownership::check(image, &word, value, index, part);
}

bool is_loop_word(uint32_t t) {
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD;
}

// A side of `make`: negative counts as 0, beyond 16 bits is refused.
int32_t side(int32_t v, const Cell* spec) {
    if (v < 0) return 0;
    if (v > MAX_SIDE) fire("script", "invalid-arg", spec);
    return v;
}

Cell* fill_new(Cell* out, uint32_t node) { return init_image(out, node); }

}  // namespace

// ---- pixels and positions --------------------------------------------------------------------

Cell pixel_tuple(uint32_t px) {
    Cell c{uint32_t(TYPE_NONE), 0, 0, 0};
    tuple::make_rgba(&c, int32_t((px >> 16) & 0xFF), int32_t((px >> 8) & 0xFF), int32_t(px & 0xFF),
                     int32_t(255 - (px >> 24)));
    return c;
}

uint32_t tuple_pixel(const Cell* t) {
    uint32_t a = tuple::length(t) == 3 ? 255u : 255u - tuple::byte_at(t, 3);
    return a << 24 | uint32_t(tuple::byte_at(t, 0)) << 16 | uint32_t(tuple::byte_at(t, 1)) << 8 | tuple::byte_at(t, 2);
}

int32_t width_of(const Cell* image) { return bitmap::width(image->data2); }
int32_t height_of(const Cell* image) { return bitmap::height(image->data2); }
int64_t pixel_count(const Cell* image) { return int64_t(width_of(image)) * height_of(image); }

int32_t index(const Cell* image, const Cell* position, int32_t mode, bool* out_of_range) {
    int64_t w = width_of(image), h = height_of(image), total = w * h;
    bool out = false;
    int64_t e;
    if (position->is(TYPE_PAIR)) {
        int64_t x = pair::x_of(position), y = pair::y_of(position);
        if (mode == 1) {
            out = x > w || x <= 0 || y > h || y <= 0;
            e = x + w * (y - 1);
        } else {
            out = x >= w || x < 0 || y >= h || y < 0;
            e = x + w * y;
        }
    } else {
        e = int32_t(position->data2);
    }
    int64_t a = int64_t(int32_t(image->data1)) + e - mode;
    if (mode == 1 && e <= 0) a += 1;
    if (e == 0 || a < 0 || a >= total) out = true;
    *out_of_range = out;
    return int32_t(std::clamp<int64_t>(a, 0, total));
}

Cell* get_pixel(const Cell* image, int64_t i, Cell* out) {
    if (i < 0 || i >= pixel_count(image)) {
        *out = none::value;
        return out;
    }
    Raster* r = pixels_of(image);
    *out = pixel_tuple(r->pixels()[i]);
    return out;
}

// ---- entry points ------------------------------------------------------------------------------

Cell* init_image(Cell* cell, uint32_t node) {
    *cell = Cell{uint32_t(TYPE_IMAGE), 0, node, bitmap::packed_size(node)};
    return cell;
}

Cell* make_node(const Cell* source, int32_t width, int32_t height) {
    if (width > MAX_SIDE || height > MAX_SIDE) fire("internal", "no-memory");
    uint32_t node = bitmap::scale(source->data2, width, height);
    Cell* c = stack::push_cell();
    return init_image(c, node);
}

Cell* from_binary(const Cell* bin, Cell* out) {
    uint32_t n = binary::ks_length(bin);
    const uint8_t* bytes = n ? memory::buffer_of(bin->data2)->head_ptr() + bin->data1 : nullptr;
    if (!n || image_codec::sniff(bytes, n) < 0) {
        *out = none::value;
        return out;
    }
    uint32_t node = bitmap::load_bytes(bytes, n);
    if (!node) fire("access", "bad-media");
    return init_image(out, node);
}

Cell* from_file(const Cell* file, Cell* out) {
    uint32_t node = series::is_text_kind(file->type()) ? bitmap::load_file(file) : 0;
    if (!node) fire("access", "cannot-open", file);
    return init_image(out, node);
}

Cell* decode(const Cell* data, Cell* out) {
    return data->is(TYPE_BINARY) ? from_binary(data, out) : from_file(data, out);
}

Cell* encode(const Cell* image, Cell* where, int32_t format) {
    std::vector<uint8_t> bytes;  // an image with a side of 0 encodes to no bytes
    if (!bitmap::encode(image->data2, format, bytes)) {
        *where = none::value;
        return where;
    }
    if (bytes.size() > 0xFFFFFFF0u) fire("internal", "no-memory");
    if (where->is(TYPE_BINARY)) {
        binary::append_bytes(where, bytes.data(), uint32_t(bytes.size()));
        return where;
    }
    return binary::load_in(bytes.data(), uint32_t(bytes.size()), where);
}

Cell* extract_data(const Cell* image, int32_t kind, Cell* out) {
    int64_t count = pixel_count(image);
    uint64_t per = kind == ARGB ? 4 : kind == RGB ? 3 : 1;
    Raster* r = pixels_of(image);
    Cell bin;
    binary::make_at(&bin, uint32_t(count * per));  // at most 2^28 pixels: 1 GiB
    memory::Buffer* b = memory::buffer_of(bin.data2);
    uint8_t* dst = b->head_ptr();
    const uint32_t* px = r ? r->pixels() : nullptr;
    for (int64_t i = 0; i < count; i++) {
        uint32_t p = px[i];
        switch (kind) {
            case ALPHA: *dst++ = uint8_t(255 - (p >> 24)); break;
            case RGB:
                *dst++ = uint8_t(p >> 16);
                *dst++ = uint8_t(p >> 8);
                *dst++ = uint8_t(p);
                break;
            default: std::memcpy(dst, &p, 4), dst += 4;
        }
    }
    b->tail = b->offset + uint32_t(count * per);
    *out = bin;
    return out;
}

Cell* set_data(Cell* image, Cell* value, int32_t kind) {
    int64_t count = pixel_count(image);
    Raster* r = pixels_of(image);
    uint32_t* px = r ? r->pixels() : nullptr;
    if (!px) count = 0;  // no pixels to write; the value is still checked
    if (value->is(TYPE_BINARY)) {
        const uint8_t* src = binary::ks_head(value);
        int64_t n = binary::ks_length(value);
        if (kind == ARGB) {
            if (count) std::memcpy(px, src, size_t(std::min<int64_t>(n, count * 4)));
        } else if (kind == RGB) {
            int64_t k = std::min<int64_t>(count, n / 3);
            for (int64_t i = 0; i < k; i++)
                px[i] = (px[i] & 0xFF000000u) | uint32_t(src[3 * i]) << 16 | uint32_t(src[3 * i + 1]) << 8 |
                        src[3 * i + 2];
        } else {
            int64_t k = std::min<int64_t>(count, n);
            for (int64_t i = 0; i < k; i++) px[i] = (px[i] & 0x00FFFFFFu) | uint32_t(255 - src[i]) << 24;
        }
    } else if (value->is(TYPE_TUPLE) || value->is(TYPE_INTEGER)) {
        // a tuple's first four bytes as one little-endian word (the fourth 0 in a three-byte tuple)
        uint32_t v = value->is(TYPE_TUPLE) ? value->data1 : value->data2;
        uint32_t rgb = (v & 0xFF) << 16 | (v & 0xFF00) | ((v >> 16) & 0xFF);
        for (int64_t i = 0; i < count; i++) {
            switch (kind) {
                case ARGB: px[i] = (255 - (v >> 24)) << 24 | rgb; break;
                case RGB: px[i] = (px[i] & 0xFF000000u) | rgb; break;
                default: px[i] = (px[i] & 0x00FFFFFFu) | ((255 - v) & 0xFF) << 24;
            }
        }
    } else {
        fire("script", "invalid-arg", value);
    }
    tell_owner(image, "poke", value, 0, int32_t(count));
    return value;
}

bool foreach_next(const Cell* words_in, Cell* image_in, int32_t count) {
    gc::Rooted words(*words_in), img(*image_in);
    int32_t first = series::head_of(words.get());
    int32_t available = std::max(block::length(words.get()), 0);
    if (count > available) count = available;
    if (count < 0) count = 0;
    for (int32_t k = 0; k < count; k++) {
        Cell w = *block::ks_abs_at(words.get(), first + k);
        if (!is_loop_word(w.type())) fire("script", "invalid-arg", &w);
    }
    int64_t head = head_clamped(img.get());
    bool any = head < pixel_count(img.get());
    for (int32_t k = 0; k < count; k++) {
        Cell v;
        get_pixel(img.get(), head + k, &v);
        Cell w = *block::ks_abs_at(words.get(), first + k);
        word::set(&w, &v);  // may run an object's on-change*: the image is re-read each time
    }
    int64_t next = std::min<int64_t>(head + count, pixel_count(img.get()));
    img->data1 = uint32_t(next);
    image_in->data1 = uint32_t(next);
    return any;
}

bool whole_pixels(const Cell* image, uint32_t* width, uint32_t* height, std::vector<uint8_t>* bytes) {
    *width = uint32_t(width_of(image));
    *height = uint32_t(height_of(image));
    bytes->clear();
    if (pixel_count(image) == 0) return true;
    Raster* r = bitmap::raster(image->data2);
    if (!r) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(r->pixels());
    bytes->assign(p, p + r->count() * 4);
    return true;
}

void make_from_pixels(Cell* out, uint32_t width, uint32_t height, const uint8_t* bytes) {
    if (width > uint32_t(MAX_SIDE) || height > uint32_t(MAX_SIDE)) fire("internal", "no-memory");
    uint32_t node = bitmap::make(int32_t(width), int32_t(height), nullptr, 0, nullptr, 0, nullptr);
    if (Raster* r = bitmap::raster(node)) std::memcpy(r->pixels(), bytes, size_t(r->count()) * 4);
    init_image(out, node);
}

void mark(uint32_t node) { bitmap::sweep(node); }

void release(Cell* image) { bitmap::release(image->data2); }

// ---- make and to ----------------------------------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, int32_t) {
    if (spec->is(TYPE_IMAGE)) return copy(spec, proto, nullptr, false, nullptr);
    if (spec->is(TYPE_OBJECT) && face_to_image) {
        Cell out = none::value;
        if (face_to_image(spec, &out)) {
            *proto = out;
            return proto;
        }
    }
    Cell dt = datatype_cell(TYPE_IMAGE);
    fire("script", "bad-to-arg", &dt, spec);
}

Cell* make(Cell* proto, Cell* spec, int32_t type) {
    if (spec->is(TYPE_PAIR)) {
        int32_t w = side(pair::x_of(spec), spec), h = side(pair::y_of(spec), spec);
        return fill_new(proto, bitmap::make(w, h, nullptr, 0, nullptr, 0, nullptr));
    }
    if (!spec->is(TYPE_BLOCK)) return to(proto, spec, type);
    int32_t n = block::length(spec);
    if (n == 0) {
        if (proto->is(TYPE_IMAGE)) return copy(proto, proto, nullptr, false, nullptr);
        fire("script", "invalid-arg", spec);
    }
    Cell size = *block::at(spec, 0);
    if (!size.is(TYPE_PAIR)) fire("script", "invalid-arg", &size);
    int32_t w = side(pair::x_of(&size), &size), h = side(pair::y_of(&size), &size);
    Cell colour = none::value, rgb = none::value, alpha = none::value;
    if (n > 1) {
        Cell second = *block::at(spec, 1);
        if (second.is(TYPE_BINARY)) rgb = second;
        else if (second.is(TYPE_TUPLE)) colour = second;
        else fire("script", "invalid-arg", &second);
    }
    if (n > 2) {
        alpha = *block::at(spec, 2);
        if (!alpha.is(TYPE_BINARY)) fire("script", "invalid-arg", &alpha);
    }
    const uint8_t* rgb_bytes = rgb.is(TYPE_BINARY) ? binary::ks_head(&rgb) : nullptr;
    const uint8_t* alpha_bytes = alpha.is(TYPE_BINARY) ? binary::ks_head(&alpha) : nullptr;
    uint32_t node = bitmap::make(w, h, rgb_bytes, rgb_bytes ? binary::ks_length(&rgb) : 0, alpha_bytes,
                                 alpha_bytes ? binary::ks_length(&alpha) : 0,
                                 colour.is(TYPE_TUPLE) ? &colour : nullptr);
    return fill_new(proto, node);
}

// ---- form and mold -------------------------------------------------------------------------------

namespace {

// The text of form and mold; data lines at `level`.
int32_t write_text(const Cell* value, Cell* buffer, bool only, bool flat, bool limited, int32_t limit,
                   int32_t level) {
    std::string chunk;
    auto flush = [&] {
        if (!chunk.empty()) string::concatenate_ascii(buffer, chunk.data(), int32_t(chunk.size()));
        chunk.clear();
    };
    auto put = [&](const char* s) {
        size_t n = std::strlen(s);
        chunk.append(s, n);
        limit -= int32_t(n);
    };
    // a flat mold keeps the line breaks of the transparency block, not their indentation
    auto line = [&](int32_t at_level) {
        chunk += '\n';
        limit--;
        if (flat) return;
        for (int32_t i = 0; i < at_level; i++) chunk += "    ";
        if (at_level > 0) limit -= 4 * at_level;
    };
    static constexpr char HEX[] = "0123456789ABCDEF";
    auto hex = [&](uint32_t byte) {
        chunk += HEX[(byte >> 4) & 15];
        chunk += HEX[byte & 15];
        limit -= 2;
    };

    if (!only) put("make image! [");
    put((std::to_string(width_of(value)) + "x" + std::to_string(height_of(value))).c_str());
    Raster* r = bitmap::raster(value->data2);
    if (!r) {
        put(" #{}");
        if (!only) put("]");
        flush();
        return limit;
    }
    const uint32_t* px = r->pixels();
    int64_t head = head_clamped(value), count = r->count() - head;
    bool lines = count * 4 > 30 && !flat;  // 8 pixels or more
    put(" #{");
    if (lines) line(level);
    bool transparent = false;
    for (int64_t i = 0; i < count; i++) {
        uint32_t p = px[head + i];
        hex(p >> 16), hex(p >> 8), hex(p);
        transparent = transparent || (p >> 24) != 0xFF;
        if (!flat && (i + 1) % 10 == 0) line(level);
        if (limited && limit <= 0) {
            flush();
            return limit;
        }
        if (chunk.size() > 4096) flush();
    }
    if (lines && count % 10 != 0) line(level - 1);
    put("}");
    if (transparent) {
        put(" #{");
        line(level);
        for (int64_t i = 0; i < count; i++) {
            hex(255 - (px[head + i] >> 24));
            if (!flat && (i + 1) % 10 == 0) line(level);
            if (limited && limit <= 0) {
                flush();
                return limit;
            }
            if (chunk.size() > 4096) flush();
        }
        line(level - 1);
        put("}");
    }
    if (!only) put("]");
    flush();
    return limit;
}

}  // namespace

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
    return write_text(value, buffer, false, false, part != nullptr, limit, 0);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool, bool flat, Cell* part, int32_t limit, int32_t indent) {
    return write_text(value, buffer, only, flat, part != nullptr, limit, indent + 1);
}

// ---- paths and comparison ---------------------------------------------------------------------------

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, bool, bool, bool,
                bool) {
    if (element->is(TYPE_INTEGER) || element->is(TYPE_PAIR)) {
        if (!value) {
            path_result = *parent;
            return pick(&path_result, int32_t(element->data2), element);
        }
        return poke(parent, int32_t(element->data2), value, element);
    }
    if (element->is(TYPE_WORD)) {
        int32_t sym = int32_t(element->data2);
        auto is = [&](const char* name) { return symbol::same_word(sym, symbol::make(name)); };
        if (is("size")) {
            if (value) scalar_path::invalid_path(path, element);
            path_result = pair::make(width_of(parent), height_of(parent));
            return &path_result;
        }
        int32_t kind = is("rgb") ? RGB : is("alpha") ? ALPHA : is("argb") ? ARGB : -1;
        if (kind >= 0) {
            if (value) return set_data(parent, value, kind);
            return extract_data(parent, kind, &path_result);
        }
    }
    scalar_path::invalid_path(path, element);
}

int32_t compare(Cell* a, Cell* b, int32_t op) {
    if (!b->is(TYPE_IMAGE)) return -2;
    bool same = a->data2 == b->data2 && a->data1 == b->data1;
    if (op == actions::SAME) return same ? 0 : -1;
    if (!actions::is_equality_op(op) && op != actions::SORT && op != actions::CASE_SORT) return -2;
    if (same && op <= actions::STRICT_EQUAL) return 0;
    int64_t n1 = pixel_count(a), n2 = pixel_count(b);
    if (n1 != n2) return n1 < n2 ? -1 : 1;
    Raster* r1 = bitmap::raster(a->data2);
    Raster* r2 = bitmap::raster(b->data2);
    if (!r1 || !r2) return (r1 != nullptr) - (r2 != nullptr);
    int c = std::memcmp(r1->pixels(), r2->pixels(), size_t(n1) * 4);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// ---- series actions ------------------------------------------------------------------------------

namespace {

Cell* at_or_skip(int32_t mode) {
    Cell* s = stack::arguments;
    const Cell* position = s + 1;
    if (!position->is(TYPE_INTEGER) && !position->is(TYPE_PAIR)) fire("script", "invalid-arg", position);
    bool out;
    s->data1 = uint32_t(index(s, position, mode, &out));
    return s;
}

}  // namespace

Cell* at() { return at_or_skip(1); }
Cell* skip() { return at_or_skip(0); }

Cell* next() {
    Cell* s = stack::arguments;
    int64_t h = int32_t(s->data1);
    if (h + 1 <= pixel_count(s)) s->data1 = uint32_t(h + 1);
    return s;
}

Cell* back() {
    Cell* s = stack::arguments;
    int64_t h = head_clamped(s);
    s->data1 = uint32_t(h > 0 ? h - 1 : h);
    return s;
}

Cell* tail() {
    Cell* s = stack::arguments;
    s->data1 = uint32_t(pixel_count(s));
    return s;
}

Cell* tail_q() {
    Cell* s = stack::arguments;
    return logic::box(int64_t(int32_t(s->data1)) >= pixel_count(s));
}

Cell* head_q() { return logic::box(head_clamped(stack::arguments) == 0); }

Cell* index_q() {
    Cell* s = stack::arguments;
    *s = integer::make(int32_t(head_clamped(s) + 1));
    return s;
}

int32_t length_q(Cell* image) { return int32_t(pixel_count(image)); }

Cell* pick(Cell* image, int32_t i, Cell* boxed) {
    i = series::element_index(i, boxed);
    Cell position = boxed && boxed->is(TYPE_PAIR) ? *boxed : integer::make(i);
    bool out;
    int32_t a = index(image, &position, 1, &out);
    if (out) {
        *image = none::value;
        return image;
    }
    return get_pixel(image, a, image);
}

Cell* poke(Cell* image, int32_t i, Cell* value, Cell* boxed) {
    i = series::element_index(i, boxed);
    Cell position = boxed && boxed->is(TYPE_PAIR) ? *boxed : integer::make(i);
    if (!value->is(TYPE_TUPLE)) fire("script", "invalid-arg", value);
    bool out;
    int32_t a = index(image, &position, 1, &out);
    if (out) fire("script", "out-of-range", boxed ? boxed : &position);
    Raster* r = pixels_of(image);
    r->pixels()[a] = tuple_pixel(value);
    tell_owner(image, "poke", value, a, 1);
    return value;
}

Cell* change(Cell* s, Cell* value, int32_t part, bool, int32_t dup) {
    if (part >= 0 || dup != 1) fire("internal", "not-done");
    bool is_tuple = value->is(TYPE_TUPLE);
    if (!is_tuple && !value->is(TYPE_IMAGE)) {
        Cell dt = datatype_cell(value->type());
        fire("script", "invalid-type", &dt);
    }
    int64_t total = pixel_count(s), head = int32_t(s->data1);
    if (head < 0) head = 0;
    if (head >= total) return s;
    if (is_tuple) {
        series::notify_before(s, series::Event::CHANGE, int32_t(head), 1);
        pixels_of(s)->pixels()[head] = tuple_pixel(value);
        series::notify_after(s, series::Event::CHANGE, int32_t(head), 1);
        s->data1 = uint32_t(head + 1);
        return s;
    }
    // the source's pixels go into the rectangle from the head's column and row
    int64_t w = width_of(s), h = height_of(s), x0 = head % w, y0 = head / w;
    int64_t cols = std::min<int64_t>(width_of(value), w - x0), rows = std::min<int64_t>(height_of(value), h - y0);
    if (!bitmap::has_pixels(value->data2)) cols = rows = 0;
    int32_t written = int32_t(cols * rows);
    // the owner's handler may run code: everything is read again after it
    series::notify_before(s, series::Event::CHANGE, int32_t(head), written);
    if (written > 0) {
        Raster* dst = pixels_of(s);
        Raster* src = bitmap::raster(value->data2);
        if (src && src->width >= cols && src->height >= rows) {
            std::vector<uint32_t> rect(size_t(cols * rows));  // a separate copy: the source may be the target
            pixels::copy_rect(src->pixels(), src->width, src->height, 0, 0, int32_t(cols), int32_t(rows), rect.data());
            for (int64_t y = 0; y < rows; y++)
                std::memcpy(dst->pixels() + (y0 + y) * w + x0, rect.data() + y * cols, size_t(cols) * 4);
        }
    }
    series::notify_after(s, series::Event::CHANGE, int32_t(head), written);
    if (written > 0) s->data1 = uint32_t((y0 + rows - 1) * w + x0 + cols);
    return s;
}

Cell* copy(Cell* image, Cell* result, Cell* part, bool, Cell*) {
    uint32_t node = image->data2;
    int64_t w = width_of(image), h = height_of(image), total = w * h;
    auto empty = [&] { return fill_new(result, bitmap::new_node(0, 0, nullptr)); };
    if (w == 0 || h == 0) return empty();
    int64_t head = head_clamped(image), x0 = head % w, y0 = head / w;
    int64_t rx, ry, rw, rh;
    if (!part) {
        if (head == 0) return fill_new(result, bitmap::copy(node));
        rx = x0, ry = y0, rw = w - x0, rh = h - y0;
    } else if (part->is(TYPE_PAIR)) {
        int64_t pw = pair::x_of(part), ph = pair::y_of(part);
        if (pw > 0 && ph > 0) {
            if (head >= total) return empty();
            rx = x0, ry = y0, rw = std::min(pw, w - x0), rh = std::min(ph, h - y0);
        } else if (pw < 0 && ph < 0) {
            // the rectangle whose last pixel is the one before the head: a
            // head at column 0 ends the row above, at the right edge
            int64_t right = x0 == 0 ? w : x0, bottom = x0 == 0 ? y0 : y0 + 1;
            rw = -pw, rh = -ph, rx = right - rw, ry = bottom - rh;
            if (rx < 0) rw += rx, rx = 0;
            if (ry < 0) rh += ry, ry = 0;
        } else {
            return empty();
        }
    } else if (part->is(TYPE_IMAGE) && part->data2 == node) {
        int64_t other = head_clamped(part), lo = std::min(head, other), hi = std::max(head, other);
        rx = lo % w, ry = lo / w, rw = hi % w - rx, rh = hi / w - ry;
    } else if (part->is(TYPE_INTEGER)) {
        fire("internal", "not-done");
    } else {
        series::bad_refine("part", part);
    }
    if (rw < 1 || rh < 1) return empty();
    return fill_new(result, bitmap::crop(node, int32_t(rx), int32_t(ry), int32_t(rw), int32_t(rh)));
}

// ---- registration ---------------------------------------------------------------------------------

namespace {

void mark_cell(Cell* image) { mark(image->data2); }

Cell* argb_binary(const Cell* image, Cell* out) { return extract_data(image, ARGB, out); }

const char KIND_NAME[] = "image";

}  // namespace

void init() {
    ActionList a;
    a.set<A_MAKE>(&make)
        .set<A_TO>(&to)
        .set<A_FORM>(&form)
        .set<A_MOLD>(&mold)
        .set<A_EVAL_PATH>(&eval_path)
        .set<A_COMPARE>(&compare)
        .set<A_AT>(&at)
        .set<A_BACK>(&back)
        .set<A_CHANGE>(&change)
        .set<A_COPY>(&copy)
        .inherit(A_HEAD)
        .set<A_HEAD_Q>(&head_q)
        .set<A_INDEX_Q>(&index_q)
        .set<A_LENGTH_Q>(&length_q)
        .set<A_NEXT>(&next)
        .set<A_PICK>(&pick)
        .set<A_POKE>(&poke)
        .set<A_SKIP>(&skip)
        .set<A_TAIL>(&tail)
        .set<A_TAIL_Q>(&tail_q)
        .inherit(A_MODIFY);
    datatype::register_type(TYPE_IMAGE, TYPE_SERIES, "image!", a);
    bitmap::init(ext_res::add_kind(reinterpret_cast<uintptr_t>(KIND_NAME), &bitmap::release_resource));
    collector::mark_image = &mark_cell;
    binary::image_argb = &argb_binary;
}

}  // namespace kro::image
