#include "io/clipboard.hpp"

#include <functional>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/file.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/platform/clipboard_x.hpp"
#include "foundation/platform/os.hpp"
#include "foundation/registry.hpp"
#include "interpreter/stack.hpp"

namespace kro::clipboard {

bool (*encode_png)(const Cell* image, std::string* bytes) = nullptr;
bool (*decode_image)(const uint8_t* bytes, size_t length, Cell* out) = nullptr;

namespace {

namespace px = platform::clipboard;

Backend backend = Backend::AUTO;

// The process's own clipboard. An image is kept as a value in a one-cell
// block that the collector marks and keeps current.
struct Store {
    enum Kind { EMPTY, TEXT, FILES, IMAGE } kind = EMPTY;
    std::string text;
    std::vector<std::string> files;
    uint32_t holder = 0;  // the node of the block whose cell 0 is the image
} store;

void keep_image(const Cell* image) {
    if (!store.holder) {
        Cell blk;
        block::make_at(&blk, 1);
        *block::add_cell(&blk) = none::value;
        store.holder = blk.data2;
        gc::add_mark_callback([] { collector::mark_block(&store.holder); });
    }
    Cell blk{uint32_t(TYPE_BLOCK), 0, store.holder, 0};
    *block::at(&blk, 0) = *image;
}

Cell kept_image() {
    Cell blk{uint32_t(TYPE_BLOCK), 0, store.holder, 0};
    return *block::at(&blk, 0);
}

// A copy of the image, so that later changes to the value do not reach what
// was placed on the clipboard.
Cell copied(const Cell* image) {
    auto copy = datatype::action<A_COPY>(TYPE_IMAGE);
    if (!copy) return *image;
    gc::Rooted v(*image), out;
    copy(v.get(), out.get(), nullptr, false, nullptr);
    return out.cell;
}

Cell* text_value(const std::string& text, Cell* out) {
    return string::load_at(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), out,
                           string::ENCODING_UTF8);
}

Cell* file_list(const std::vector<std::string>& paths, Cell* out) {
    gc::Rooted blk;
    block::make_at(blk.get(), int32_t(paths.size()));
    for (const std::string& p : paths) {
        Cell* top = stack::top_ptr;
        Cell f = *file::load(reinterpret_cast<const uint8_t*>(p.data()), uint32_t(p.size()), string::ENCODING_UTF8);
        stack::top_ptr = top;
        *block::add_cell(blk.get()) = f;
    }
    *out = blk.cell;
    return out;
}

// The absolute local paths of a block of file! values; a block holding
// anything else, or a name the system cannot take, is refused.
std::vector<std::string> paths_of(const Cell* value) {
    std::vector<std::string> paths;
    gc::Rooted blk(*value);
    for (int32_t i = 0; i < block::length(blk.get()); i++) {
        Cell f = *block::at(blk.get(), i);
        if (!f.is(TYPE_FILE)) fire("script", "invalid-arg", value);
        gc::Rooted local;
        string::make_at(local.get(), 64, 1);
        file::portable_to_local(&f, local.get(), true);
        std::string p = string::to_utf8(local.get());
        if (p.empty() || p.find('\0') != std::string::npos) fire("script", "invalid-arg", value);
        paths.push_back(p);
    }
    return paths;
}

bool desktop() { return backend == Backend::AUTO && px::x_available(); }

// Up to three attempts, a millisecond apart, before the desktop's clipboard
// counts as one that cannot be opened.
constexpr int ATTEMPTS = 3;

Cell* read_desktop(Cell* out) {
    px::Content c = px::x_read();
    for (int i = 1; i < ATTEMPTS && c.kind == px::Content::FAILED; i++) {
        platform::wait(0.001);
        c = px::x_read();
    }
    switch (c.kind) {
        case px::Content::FAILED:
            *out = logic::false_value;
            return out;
        case px::Content::TEXT:
            return text_value(c.data, out);
        case px::Content::FILES:
            return file_list(c.files, out);
        case px::Content::IMAGE: {
            gc::Rooted img;
            if (decode_image &&
                decode_image(reinterpret_cast<const uint8_t*>(c.data.data()), c.data.size(), img.get())) {
                *out = img.cell;
                return out;
            }
            break;
        }
        case px::Content::EMPTY:
            break;
    }
    *out = none::value;
    return out;
}

bool write_desktop(const Cell* value) {
    std::function<bool()> put;
    switch (value->type()) {
        case TYPE_NONE:
            put = [] { return px::x_clear(); };
            break;
        case TYPE_STRING:
            put = [text = string::to_utf8(value)] { return px::x_write_text(text); };
            break;
        case TYPE_BLOCK:
            put = [paths = paths_of(value)] { return px::x_write_files(paths); };
            break;
        case TYPE_IMAGE: {
            if (!encode_png) fire("internal", "feature-na");
            std::string png;
            if (!encode_png(value, &png)) return false;
            put = [png = std::move(png)] { return px::x_write_png(png); };
            break;
        }
        default:
            fire("script", "invalid-arg", value);
    }
    for (int i = 0; i < ATTEMPTS; i++) {
        if (i) platform::wait(0.001);
        if (put()) return true;
    }
    return false;
}

}  // namespace

void set_backend(Backend b) { backend = b; }
bool uses_desktop() { return desktop(); }

Cell* read(Cell* out) {
    if (desktop()) return read_desktop(out);
    switch (store.kind) {
        case Store::TEXT:
            return text_value(store.text, out);
        case Store::FILES:
            return file_list(store.files, out);
        case Store::IMAGE: {
            Cell img = kept_image();
            *out = copied(&img);
            return out;
        }
        case Store::EMPTY:
            break;
    }
    *out = none::value;
    return out;
}

bool write(const Cell* value) {
    Type t = value->type();
    if (t != TYPE_NONE && t != TYPE_STRING && t != TYPE_BLOCK && t != TYPE_IMAGE)
        fire("script", "invalid-arg", value);
    if (desktop()) return write_desktop(value);
    switch (t) {
        case TYPE_STRING:
            store.text = string::to_utf8(value);
            store.kind = Store::TEXT;
            break;
        case TYPE_BLOCK:
            store.files = paths_of(value);
            store.kind = Store::FILES;
            break;
        case TYPE_IMAGE: {
            Cell img = copied(value);
            keep_image(&img);
            store.kind = Store::IMAGE;
            break;
        }
        default:
            store.kind = Store::EMPTY;
            break;
    }
    if (store.kind != Store::IMAGE && store.holder) {
        Cell none_cell = none::value;
        keep_image(&none_cell);  // the old image may go
    }
    if (store.kind != Store::TEXT) store.text.clear();
    if (store.kind != Store::FILES) store.files.clear();
    return true;
}

}  // namespace kro::clipboard
