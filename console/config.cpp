#include "console/config.hpp"

#include <unistd.h>

#include <cstdio>
#include <vector>

#include "console/console.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "foundation/platform/files.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/platform/os.hpp"
#include "foundation/print.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/routines.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"

namespace kro::console_cfg {

const char* const PURPOSE = "Kro Console Configuration File";

namespace fs = platform::files;

namespace {

std::string utf8_of(const Cell* str) {
    Cell whole = *str;
    return string::to_utf8(&whole);
}

bool same_name(int32_t symbol, const char* name) {
    std::string_view n = symbol::name(symbol);
    size_t len = std::char_traits<char>::length(name);
    if (n.size() != len) return false;
    for (size_t i = 0; i < len; i++)
        if (std::tolower(static_cast<unsigned char>(n[i])) != std::tolower(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

// The position of a key's set-word that has a value after it, or -1.
int32_t find_key(const Cell* blk, const char* key) {
    int32_t n = block::length(blk);
    for (int32_t i = int32_t(blk->data1); i + 1 < n; i++) {
        const Cell* c = block::ks_abs_at(blk, i);
        if (c->is(TYPE_SET_WORD) && same_name(int32_t(c->data2), key)) return i;
    }
    return -1;
}

const Cell* object_field(const Cell* obj, const char* name) {
    if (!obj || !obj->is(TYPE_OBJECT)) return nullptr;
    int32_t n = object::field_count(obj);
    for (int32_t i = 0; i < n; i++)
        if (same_name(int32_t(object::word_at(obj->data1, i)->data2), name)) return object::get_values(obj) + i;
    return nullptr;
}

Cell set_word(const char* name) {
    Cell w = word::load(name);
    w.set_type(TYPE_SET_WORD);
    return w;
}

Cell new_block(int32_t room) {
    Cell b;
    block::make_at(&b, room);
    return b;
}

void append_pair(Cell* blk, const char* key, const Cell& value) {
    Cell k = set_word(key);
    block::ks_append(blk, &k);
    block::ks_append(blk, &value);
}

// Makes the keys the console needs usable: present, and a history that is a
// block of strings.
void complete(Cell* cfg) {
    // A key without a value at the end is dropped: it would pair with what
    // gets appended after it.
    int32_t n = block::length(cfg);
    if (n > int32_t(cfg->data1) && block::ks_abs_at(cfg, n - 1)->is(TYPE_SET_WORD)) block::ks_clear_from(cfg, n - 1);
    if (find_key(cfg, "buffer-lines") < 0) {
        Cell n{uint32_t(TYPE_INTEGER), 0, uint32_t(DEFAULT_BUFFER_LINES), 0};
        append_pair(cfg, "buffer-lines", n);
    }
    int32_t at = find_key(cfg, "history");
    if (at < 0) {
        Cell h = new_block(16);
        append_pair(cfg, "history", h);
        return;
    }
    Cell* value = block::ks_abs_at(cfg, at + 1);
    if (!value->is(TYPE_BLOCK)) {
        Cell h = new_block(16);
        *block::ks_abs_at(cfg, at + 1) = h;
        return;
    }
    // Entries that are not strings could not be shown by the editor.
    Cell h = *value;
    int32_t i = int32_t(h.data1);
    while (i < block::length(&h)) {
        const Cell* e = block::ks_abs_at(&h, i);
        if (e->is(TYPE_STRING)) {
            i++;
            continue;
        }
        memory::Buffer* b = memory::buffer_of(h.data2);
        Cell* cells = b->cells();
        int32_t n = block::length(&h);
        for (int32_t k = i; k + 1 < n; k++) cells[k] = cells[k + 1];
        block::ks_clear_from(&h, n - 1);
    }
}

// Loads text as a block; a syntax error gives none.
Cell load_block(std::string_view text) {
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    int32_t depth = stack::frame_count();
    Cell out{uint32_t(TYPE_NONE), 0, 0, 0};
    uint32_t caught = frame::catch_region(code::ERROR, [&] {
        lexer::ScanArgs a;
        lexer::scan_utf8(&out, reinterpret_cast<const uint8_t*>(text.data()), text.size(), a, nullptr);
    });
    if (caught) {
        runtime_context.thrown_code = 0;
        if (stack::frame_count() > depth) stack::unwind_to(depth);
        stack::top_ptr = top;
        stack::arguments = args;
        return Cell{uint32_t(TYPE_NONE), 0, 0, 0};
    }
    return out;
}

void append_mold(std::string& out, const Cell* value) {
    Cell v = *value;
    Cell buf;
    string::make_at(&buf, 32, 1);
    actions::mold(&v, &buf, false, false, false, nullptr, mold::NO_LIMIT, 0);
    out += utf8_of(&buf);
}

// Creates a folder and its missing parents; answers whether it exists then.
bool make_dir_deep(const std::string& dir) {
    if (fs::exists(dir.c_str())) return true;
    for (size_t at = 1; at <= dir.size(); at++) {
        if (at < dir.size() && dir[at] != '/') continue;
        std::string part = dir.substr(0, at);
        if (!fs::exists(part.c_str())) fs::make_dir(part.c_str());
    }
    return fs::exists(dir.c_str());
}

// The bytes with every sequence that is not UTF-8 replaced by U+FFFD: a stray
// byte in one history line must not make the whole file unreadable (and the
// next save would then replace it with an empty history).
std::string valid_utf8(const std::vector<uint8_t>& bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0, n = bytes.size();
    while (i < n) {
        size_t used = 0;
        if (unicode::decode_utf8_checked(&bytes[i], n - i, &used, false) >= 0) {
            out.append(reinterpret_cast<const char*>(&bytes[i]), used);
            i += used;
        } else {
            out += "\xEF\xBF\xBD";
            i++;
        }
    }
    return out;
}


}  // namespace

Cell parse(std::string_view text) {
    gc::Rooted loaded(load_block(text));
    gc::Rooted cfg(new_block(8));
    if (loaded->is(TYPE_BLOCK) && block::length(loaded.get()) >= 2) {
        const Cell* head = block::ks_abs_at(loaded.get(), 0);
        const Cell* header = block::ks_abs_at(loaded.get(), 1);
        bool has_header = head->is(TYPE_WORD) && same_name(int32_t(head->data2), "Kro") &&
                          !header->is(TYPE_NONE) && !(header->is(TYPE_LOGIC) && header->data1 == 0);
        if (has_header)
            for (int32_t i = 2; i < block::length(loaded.get()); i++)
                block::ks_append(cfg.get(), block::ks_abs_at(loaded.get(), i));
    }
    complete(cfg.get());
    return cfg.cell;
}

std::string render(const Cell* cfg) {
    std::string out = "Kro [\n    Purpose: \"";
    out += PURPOSE;
    out += "\"\n]\n\n";
    int32_t n = block::length(cfg);
    for (int32_t i = int32_t(cfg->data1); i < n; i++) {
        const Cell* c = block::ks_abs_at(cfg, i);
        if (!c->is(TYPE_SET_WORD) || i + 1 >= n) {
            append_mold(out, c);
            out += "\n";
            continue;
        }
        append_mold(out, c);
        out += " ";
        const Cell* v = block::ks_abs_at(cfg, ++i);
        if (same_name(int32_t(c->data2), "history") && v->is(TYPE_BLOCK)) {
            out += "[\n";
            for (int32_t k = int32_t(v->data1); k < block::length(v); k++) {
                out += "    ";
                append_mold(out, block::ks_abs_at(v, k));
                out += "\n";
            }
            out += "]";
        } else {
            append_mold(out, v);
        }
        out += "\n";
    }
    return out;
}

Cell read_file(const std::string& dir, const std::string& path) {
    make_dir_deep(dir);
    std::string text;
    int fd = fs::open_file(path.c_str(), fs::MODE_READ);
    if (fd >= 0) {
        std::vector<uint8_t> bytes;
        if (!fs::is_directory_fd(fd) && fs::read_to_end(fd, bytes, size_t(64) << 20)) text = valid_utf8(bytes);
        fs::close_file(fd);
    }
    return parse(text);
}

void write_file(Cell* cfg, const std::string& dir, const std::string& path) {
    // The lines typed are in system/console/history: when that block is not
    // the configuration's (the console got a new one after the file was
    // applied), its lines are kept, before the ones read from the file.
    const Cell* sys = context::get_global(symbol::make("system"));
    const Cell* typed = object_field(object_field(sys, "console"), "history");
    int32_t at = find_key(cfg, "history");
    Cell* h = at < 0 ? nullptr : block::ks_abs_at(cfg, at + 1);
    if (h && !h->is(TYPE_BLOCK)) h = nullptr;
    if (h && typed && typed->is(TYPE_BLOCK) && typed->data2 != h->data2) {
        Cell from_file = *h;
        *h = *typed;
        for (int32_t i = int32_t(from_file.data1); i < block::length(&from_file); i++)
            block::ks_append(h, block::ks_abs_at(&from_file, i));
    }
    if (h && block::length(h) - int32_t(h->data1) > HISTORY_KEPT)
        block::ks_clear_from(h, int32_t(h->data1) + HISTORY_KEPT);
    std::string text = render(cfg);
    // Written beside the file and renamed over it: a write that fails half-way
    // (a full disk) leaves the file as it was, not cut short.
    std::string temp = path + ".new-" + std::to_string(::getpid());
    int fd = make_dir_deep(dir) ? fs::open_file(temp.c_str(), fs::MODE_WRITE) : -1;
    bool ok = fd >= 0 && fs::write_data(fd, text.data(), text.size()) == int64_t(text.size());
    if (fd >= 0) fs::close_file(fd);
    if (ok) ok = std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok && fd >= 0) fs::remove_file(temp.c_str());
    if (!ok) {
        Cell p;
        string::make_at(&p, uint32_t(path.size()) + 1, 1);
        string::append_utf8(&p, path.data(), int32_t(path.size()));
        p.set_type(TYPE_FILE);
        fire("access", "cannot-open", &p);
    }
}

// ---- the editor's history over a block ----------------------------------------------------------

size_t BlockHistory::size() const {
    int32_t n = block::length(&block_) - int32_t(block_.data1);
    return n > 0 ? size_t(n) : 0;
}

std::u32string BlockHistory::entry(size_t index) const {
    if (index >= size()) return {};
    const Cell* e = block::ks_abs_at(&block_, int32_t(block_.data1) + int32_t(index));
    if (!e->is(TYPE_STRING)) return {};
    return cli_console::text_of(e);
}

void BlockHistory::add_newest(const std::u32string& line) {
    Cell s = cli_console::string_of(line);
    block::ks_insert_cells(&block_, int32_t(block_.data1), &s, 1);
}

// ---- the language's side -----------------------------------------------------------------------

namespace {

using namespace routines::entry;

// _read-cfg dir path: the configuration block the file gives.
void read_cfg() {
    Cell cfg = read_file(utf8_of(arg(0)), utf8_of(arg(1)));
    result(&cfg);
}

// _write-cfg dir path cfg: writes the file.
void write_cfg() {
    write_file(arg(2), utf8_of(arg(0)), utf8_of(arg(1)));
    no_result();
}

void install() {
    routines::add("_read-cfg", &read_cfg);
    routines::add("_write-cfg", &write_cfg);
}
KRO_ROUTINE_GROUP(install);

}  // namespace

}  // namespace kro::console_cfg
