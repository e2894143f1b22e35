#include "datatypes/file.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/string_text.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/platform/os.hpp"
#include "foundation/platform/shared_lib.hpp"
#include "foundation/registry.hpp"
#include "foundation/support.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"
#include "io/simple_io.hpp"

namespace kro::file {

void (*make_date)(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second,
                  int32_t nanosecond, Cell* out) = nullptr;

using string::detail::Text;
using string::detail::text_of;

bool plain_char(uint32_t cp) {
    if (cp >= 127) return true;
    if ((cp >= '0' && cp <= '9') || (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z')) return true;
    switch (cp) {
        case '!': case '#': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
        case '-': case '.': case '/': case ':': case '=': case '?': case '@': case '_': case '~':
            return true;
        default:
            return false;
    }
}

Cell* load(const uint8_t* bytes, uint32_t length, int32_t encoding) {
    Cell* c = string::load(bytes, length, encoding);
    c->set_type(TYPE_FILE);
    return c;
}

Cell* push(const Cell* file) { return stack::push(file); }

namespace {

[[noreturn]] void missing_library(const char* name) {
    Cell* arg = load(reinterpret_cast<const uint8_t*>(name), uint32_t(std::strlen(name)), string::ENCODING_UTF8);
    fire("internal", "not-here", arg);
}

}  // namespace

Cell* get_current_dir(Cell* out) {
    std::string dir = platform::get_current_dir();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    string::make_at(out, uint32_t(dir.size()) + 1, 1);
    string::append_utf8(out, dir.data(), int32_t(dir.size()));
    return out;
}

void portable_to_local(const Cell* file, Cell* target, bool full) {
    Text t = text_of(file);
    if (full && (t.count == 0 || t.get(0) != '/')) {
        gc::Rooted dir;
        get_current_dir(dir.get());
        string::append_string(target, dir.get());
    }
    string::append_string(target, file);
}

void slashes_to_portable(Cell* file) {
    Text t = text_of(file);
    memory::Buffer* b = memory::buffer_of(t.node);
    for (uint32_t i = 0; i < t.count; i++)
        if (t.get(i) == '\\') string::put_char(b->head_ptr() + uint64_t(t.head + i) * uint32_t(t.unit), t.unit, '/');
}

std::optional<std::string> to_os_path(const Cell* file) {
    gc::Rooted local;
    string::make_at(local.get(), text_of(file).count + 1, 1);
    portable_to_local(file, local.get(), false);
    int32_t n = -1;
    const char* path = string::to_os(local.get(), &n);
    if (!path) return std::nullopt;
    return std::string(path, size_t(n));
}

// ---- actions ----------------------------------------------------------------------------

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    Text t = text_of(value);
    string::concatenate_ascii(buffer, "%", 1);
    if (t.count == 0) {
        string::concatenate_ascii(buffer, "\"\"", 2);
        return limit - 2 - 1;
    }
    uint32_t span = t.count;
    if (part) span = uint32_t(std::clamp<int64_t>(limit, 0, t.count));
    bool quoted = false;
    for (uint32_t i = 0; i < span && !quoted; i++) quoted = !plain_char(t.get(i));
    // The characters go out as they are: no escapes and no percent-encoding.
    if (quoted) string::concatenate_ascii(buffer, "\"", 1);
    Cell src{uint32_t(TYPE_STRING), t.head, t.node, 0};
    string::append_string(buffer, &src, int32_t(span));
    if (quoted) string::concatenate_ascii(buffer, "\"", 1);
    return limit - int32_t(span) - (quoted ? 2 : 0) - 1;
}

namespace {

std::string path_of(const Cell* file) {
    std::optional<std::string> p = to_os_path(file);
    if (!p) fire("access", "cannot-open", file);
    return *p;
}

// A /part or /seek argument as a count (absent: -1).
int64_t count_of(const Cell* arg) {
    if (!arg) return simple_io::ABSENT;
    int32_t n = convert::int_of_number(arg);
    return n < 0 ? simple_io::ABSENT : n;
}

Cell binary_of(const std::vector<uint8_t>& bytes) { return binary::of_bytes(bytes); }

// A name from the system: its bytes as UTF-8, a byte that starts no sequence
// standing for itself.
Cell name_value(const std::string& name) {
    Cell s;
    string::make_at(&s, uint32_t(name.size()) + 1, 1);
    string::append_utf8(&s, name.data(), int32_t(name.size()));
    s.set_type(TYPE_FILE);
    return s;
}

Cell listing_of(const std::vector<std::string>& names) {
    gc::Rooted blk;
    block::make_at(blk.get(), int32_t(names.size()) + 1);
    for (const std::string& name : names) {
        Cell v = name_value(name);
        block::ks_append(blk.get(), &v);
    }
    return blk.cell;
}

// Drops an incomplete UTF-8 sequence at the end of the bytes.
void trim_cut_character(std::vector<uint8_t>& bytes) {
    size_t n = bytes.size();
    for (size_t back = 1; back <= 3 && back <= n; back++) {
        uint8_t b = bytes[n - back];
        if (unicode::utf8_continuation(b)) continue;
        int length = unicode::utf8_lead_length(b);
        if (length > int(back)) bytes.resize(n - back);
        return;
    }
}

// A /seek offset may start inside a character: that cut is the caller's too, so
// the continuation bytes it leaves at the front (three at most) are left out.
void trim_cut_start(std::vector<uint8_t>& bytes) {
    size_t n = 0;
    while (n < 3 && n < bytes.size() && unicode::utf8_continuation(bytes[n])) n++;
    bytes.erase(bytes.begin(), bytes.begin() + ptrdiff_t(n));
}

// A file's content as text; bytes that are not UTF-8 are refused, never
// dropped or replaced.
Cell text_of_bytes(const std::vector<uint8_t>& bytes) {
    Cell s = *string::load(bytes.data(), uint32_t(bytes.size()), string::ENCODING_UTF8);
    stack::pop(1);
    return s;
}

// The lines of a text: split at LF with a CR before the LF dropped, a last
// line without LF kept, an LF at the very end adding no empty line. The
// whole file is decoded first, so that lines are refused as the whole text
// would be and a byte-order mark counts only at the start of the file.
Cell lines_of(const Cell& text) {
    gc::Rooted src(text), blk;
    Text t = text_of(src.get());
    std::vector<uint32_t> ends;  // the index of each LF
    for (uint32_t i = 0; i < t.count; i++)
        if (t.get(i) == '\n') ends.push_back(i);
    if ((ends.empty() ? 0 : ends.back() + 1) < t.count) ends.push_back(t.count);  // a last line without LF
    block::make_at(blk.get(), int32_t(ends.size()) + 1);
    uint32_t start = 0;
    for (uint32_t end : ends) {
        uint32_t stop = end;
        if (stop < t.count && stop > start && t.get(stop - 1) == '\r') stop--;
        Cell piece{uint32_t(TYPE_STRING), t.head + start, t.node, 0};
        Cell line;
        string::make_at(&line, stop - start + 1, 1);
        string::append_string(&line, &piece, int32_t(stop - start));
        block::ks_append(blk.get(), &line);
        start = end + 1;
    }
    return blk.cell;
}

// The bytes write puts in a file for one value: a text as UTF-8, a binary! as
// its bytes, anything else molded; at most part characters (or bytes).
std::string bytes_of(Cell* value, int64_t part) {
    if (value->is(TYPE_BINARY)) {
        Text t = text_of(value);
        uint32_t n = part >= 0 && part < t.count ? uint32_t(part) : t.count;
        return std::string(reinterpret_cast<const char*>(t.at(0)), n);
    }
    gc::Rooted text(*value);
    if (!series::is_text_kind(value->type())) {
        string::make_at(text.get(), 16, 1);
        Cell v = *value;
        actions::mold(&v, text.get(), false, false, false, nullptr, mold::NO_LIMIT, 0);
    }
    int32_t n = part >= 0 ? int32_t(std::min<int64_t>(part, 0x7FFFFFFF)) : -1;
    const char* utf8 = string::to_utf8(text.get(), &n);
    return std::string(utf8, size_t(n));
}

}  // namespace

Cell* remove_file(Cell* file) {
    bool done = simple_io::delete_path(path_of(file));
    *file = logic::make(done);
    return file;
}

Cell* query(Cell* file) {
    std::optional<simple_io::QueryResult> q = simple_io::query(path_of(file));
    if (!q) {
        *file = none::value;
        return file;
    }
    if (!make_date) fire("internal", "feature-na");
    make_date(q->year, q->month, q->day, q->hour, q->minute, q->second, q->nanosecond, file);
    return file;
}

Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool, Cell* as) {
    if (as) fire("internal", "not-done");
    std::string path = path_of(source);
    simple_io::ReadResult r = simple_io::read(path, count_of(part), count_of(seek));
    switch (r.kind) {
        case simple_io::ReadResult::FAILED:
            fire("access", "cannot-open", source);
        case simple_io::ReadResult::LISTING:
            *source = listing_of(r.items);
            break;
        case simple_io::ReadResult::LINES:  // not asked for: lines are split from the decoded text
        case simple_io::ReadResult::BYTES:
            if (binary) {
                *source = binary_of(r.bytes);
            } else {
                // a /part limit may end inside a character: that cut is the
                // caller's, so the partial character is left out, not refused
                if (part) trim_cut_character(r.bytes);
                if (count_of(seek) > 0) trim_cut_start(r.bytes);
                Cell text = text_of_bytes(r.bytes);
                *source = lines ? lines_of(text) : text;
            }
            break;
    }
    return source;
}

Cell* rename(Cell* from, Cell* to) {
    bool done = simple_io::rename_path(path_of(from), path_of(to));
    *from = logic::make(done);
    return from;
}

Cell* write(Cell* destination, Cell* data, bool, bool lines, bool, bool append, Cell* part, Cell* seek, Cell* allow,
            Cell* as) {
    if (allow || as) fire("internal", "not-done");
    std::string path = path_of(destination);
    int64_t at = count_of(seek), limit = count_of(part);
    int64_t written;
    if (lines && data->is(TYPE_BLOCK)) {
        gc::Rooted blk(*data);
        std::vector<std::string> items;
        for (int32_t i = series::head_of(blk.get()); i < series::ks_full_length(blk.get()); i++) {
            Cell v = *block::ks_abs_at(blk.get(), i);
            items.push_back(bytes_of(&v, -1));
        }
        written = simple_io::write_lines(&path, items, at, append);
    } else {
        std::string bytes = bytes_of(data, limit);
        written = simple_io::write_file(&path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), at,
                                        append, lines);
    }
    if (written < 0) fire("access", "cannot-open", destination);
    *destination = unset::value;
    return destination;
}

void init() {
    platform::shared_lib::on_missing = &missing_library;
    ActionList a;
    a.inherit_all();
    a.set<A_MOLD>(&mold)
        .set<A_DELETE>(&remove_file)
        .set<A_QUERY>(&query)
        .set<A_READ>(&read)
        .set<A_RENAME>(&rename)
        .set<A_WRITE>(&write);
    a.unsupported(A_OPEN);
    datatype::register_type(TYPE_FILE, TYPE_URL, "file!", a);
}

}  // namespace kro::file
