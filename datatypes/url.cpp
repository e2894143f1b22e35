#include "datatypes/url.hpp"

#include <string>

#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/string_text.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/registry.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"

namespace kro::url {

void (*parse_url)(const Cell* url, Cell* out) = nullptr;
void (*make_port)(const Cell* parts, Cell* out) = nullptr;
bool (*http_request)(const Cell* method, const Cell* url, const Cell* headers, const Cell* data, bool binary,
                     bool lines, bool info, Cell* out, std::string* reason) = nullptr;

using string::detail::Text;
using string::detail::text_of;

namespace {

bool default_plain(uint8_t c) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
    switch (c) {
        case '!': case '#': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
        case '-': case '.': case '/': case ':': case '=': case '?': case '@': case '_': case '~':
            return true;
        default:
            return false;
    }
}

bool strict_plain(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// The UTF-8 bytes of a text value from its head.
std::string utf8_of(const Cell* text) {
    Text t = text_of(text);
    std::string out;
    for (uint32_t i = 0; i < t.count; i++) {
        uint8_t seq[4];
        int n = unicode::cp_to_utf8(t.get(i), seq);
        out.append(reinterpret_cast<const char*>(seq), size_t(n));
    }
    return out;
}

bool is_block_like(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH; }

void append_text(Cell* target, const char* text) { string::concatenate_ascii(target, text, -1); }

void form_into(Cell* target, const Cell* value) {
    Cell v = *value;
    actions::form(&v, target, nullptr, mold::NO_LIMIT);
}

// The UTF-8 sequence of n bytes (2 to 4) as one code point, or -1 when the
// bytes after the lead are not continuation bytes.
int32_t sequence_value(const uint8_t* bytes, int n) {
    uint32_t cp = bytes[0] & (0x7Fu >> n);
    for (int i = 1; i < n; i++) {
        if ((bytes[i] & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (bytes[i] & 0x3Fu);
    }
    return cp > 0x10FFFF ? -1 : int32_t(cp);
}

}  // namespace

bool plain_byte(int mode, uint8_t byte) {
    if (byte >= 0x80) return false;
    return mode == STRICT_SET ? strict_plain(byte) : default_plain(byte);
}

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool decode_hex(const uint8_t* p, const uint8_t* end, uint8_t* out) {
    if (end - p < 3 || p[0] != '%') return false;
    int hi = hex_value(p[1]), lo = hex_value(p[2]);
    if (hi < 0 || lo < 0) return false;
    *out = uint8_t(hi * 16 + lo);
    return true;
}

void decode(const Cell* text, Cell* target) {
    std::string bytes = utf8_of(text);
    auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint8_t* end = p + bytes.size();
    memory::Buffer* b = memory::buffer_of(target->data2);
    while (p < end) {
        uint8_t lead;
        if (decode_hex(p, end, &lead)) {
            int n = unicode::utf8_char_size(lead);
            if (n == 0) {
                b = string::append_char(b, lead);
                p += 3;
                continue;
            }
            uint8_t seq[4] = {lead, 0, 0, 0};
            bool whole = true;
            for (int i = 1; i < n && whole; i++) whole = decode_hex(p + 3 * i, end, &seq[i]);
            int32_t cp = whole ? sequence_value(seq, n) : -1;
            if (cp >= 0) {
                b = string::append_char(b, uint32_t(cp));
                p += 3 * n;
                continue;
            }
            // an escape that starts no whole character stays as it is
        }
        int n = unicode::utf8_char_size(*p);
        int32_t cp = (n > 0 && end - p >= n) ? sequence_value(p, n) : -1;
        if (cp < 0) {
            cp = *p;
            n = 1;
        }
        b = string::append_char(b, uint32_t(cp));
        p += n;
    }
}

std::string encode_byte(int mode, uint8_t byte) {
    if (plain_byte(mode, byte)) return std::string(1, char(byte));
    static constexpr char digits[] = "0123456789ABCDEF";
    const char escape[3] = {'%', digits[byte >> 4], digits[byte & 15]};
    return std::string(escape, 3);
}

void encode(const Cell* text, Cell* target, int mode) {
    for (char c : utf8_of(text)) {
        std::string e = encode_byte(mode, uint8_t(c));
        string::concatenate_ascii(target, e.data(), int32_t(e.size()));
    }
}

Cell* load(const uint8_t* bytes, uint32_t length) {
    gc::Rooted raw(*string::load(bytes, length, string::ENCODING_UTF8));
    stack::pop(1);
    Cell* out = stack::push_cell();
    string::make_at(out, length ? length : 1, 1);
    decode(raw.get(), out);
    out->set_type(TYPE_URL);
    return out;
}

Cell* push(const Cell* url) { return stack::push(url); }

Cell* open_port(Cell* url, bool new_, bool read, bool write, bool seek, Cell* allow, bool open, Cell* out) {
    if (!parse_url || !make_port) fire("internal", "feature-na");
    gc::Rooted parts;
    parse_url(url, parts.get());
    if (!parts->is(TYPE_OBJECT)) fire("script", "invalid-arg", url);
    gc::Rooted port;
    make_port(parts.get(), port.get());
    if (open) actions::get<A_OPEN>(port.get())(port.get(), new_, read, write, seek, allow);
    *out = port.cell;
    return out;
}

// ---- actions ---------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type) {
    if (type == TYPE_URL && is_block_like(spec->type())) return to(proto, spec, type);
    return string::make(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec, int32_t type) {
    if (type != TYPE_URL || !is_block_like(spec->type())) return string::to(proto, spec, type);
    gc::Rooted blk(*spec);
    int32_t i = series::head_of(blk.get());
    int32_t full = series::ks_full_length(blk.get());
    if (i >= full) {
        Cell dt = string::detail::datatype_cell(TYPE_URL);
        fire("script", "bad-to-arg", &dt, spec);
    }
    gc::Rooted out;
    string::make_at(out.get(), 16, 1);
    auto at = [&](int32_t k) { return *block::ks_abs_at(blk.get(), k); };
    Cell scheme = at(i++);
    form_into(out.get(), &scheme);
    append_text(out.get(), "://");
    if (i < full) {
        Cell host = at(i++);
        form_into(out.get(), &host);
    }
    if (i < full && at(i).is(TYPE_INTEGER)) {
        Cell port = at(i++);
        append_text(out.get(), ":");
        form_into(out.get(), &port);
    }
    for (int32_t first = i; i < full; i++) {
        Cell v = at(i);
        append_text(out.get(), i > first && v.is(TYPE_ISSUE) ? "#" : "/");
        form_into(out.get(), &v);
    }
    out->set_type(TYPE_URL);
    *proto = out.cell;
    return proto;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
    int32_t written = 0;
    for (char c : utf8_of(value)) {
        if (part && written >= limit) break;
        std::string e = encode_byte(DEFAULT_SET, uint8_t(c));
        string::concatenate_ascii(buffer, e.data(), int32_t(e.size()));
        written += int32_t(e.size());
    }
    return limit - written;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, bool, bool, bool,
                bool) {
    if (value) fire("script", "bad-path-set", path, element);
    gc::Rooted base(*parent);
    gc::Rooted e(*element);
    if (e->is(TYPE_GET_WORD)) e.cell = *word::value_cell(e.get());
    Text u = text_of(base.get());
    gc::Rooted out;
    string::make_at(out.get(), u.count + 16, u.unit);
    form_into(out.get(), e.get());
    bool url_slash = u.count > 0 && u.get(u.count - 1) == '/';
    bool element_slash = string::length_of(out.get()) > 0 && string::char_at(out.get(), 0) == '/';
    if (!url_slash && !element_slash)
        string::insert_char(memory::buffer_of(out->data2), 0, '/');
    else if (url_slash && element_slash)
        string::ks_remove(out.get(), 0, 1);
    string::concatenate(out.get(), base.get(), -1, 0, true, string::INSERT);
    out->set_type(base->type());
    *parent = out.cell;
    return parent;
}

Cell* open(Cell* url, bool new_, bool read, bool write, bool seek, Cell* allow) {
    return open_port(url, new_, read, write, seek, allow, true, url);
}

namespace {

bool http_scheme(const Cell* url) { return string::ks_starts_with(url, "http"); }

Cell request(Cell* url, const Cell* method, const Cell* headers, const Cell* data, bool binary, bool lines,
             bool info) {
    if (!http_request) fire("internal", "feature-na");
    gc::Rooted out;
    std::string reason;
    if (!http_request(method, url, headers, data, binary, lines, info, out.get(), &reason)) {
        Cell why{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make(reason.empty() ? "transfer-failed" : reason.c_str())),
                 uint32_t(-1)};
        fire("access", "no-connect", url, &why);
    }
    return out.cell;
}

bool valid_body(const Cell* data) {
    Type t = data->type();
    return t == TYPE_NONE || t == TYPE_BLOCK || t == TYPE_STRING || t == TYPE_BINARY;
}

}  // namespace

Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
    if (http_scheme(source)) {
        if (part || seek || as) fire("internal", "not-done");
        Cell method = word::load("get");
        *source = request(source, &method, &none::value, &none::value, binary, lines, info);
        return source;
    }
    gc::Rooted port;
    open_port(source, false, false, false, false, nullptr, false, port.get());
    actions::get<A_READ>(port.get())(port.get(), part, seek, binary, lines, info, as);
    *source = port.cell;
    return source;
}

Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as) {
    if (!http_scheme(destination)) {
        gc::Rooted port;
        open_port(destination, false, false, false, false, nullptr, false, port.get());
        actions::get<A_WRITE>(port.get())(port.get(), data, binary, lines, info, append, part, seek, allow, as);
        *destination = port.cell;
        return destination;
    }
    if (seek || allow || as) fire("internal", "not-done");
    gc::Rooted method(word::load("post"));
    gc::Rooted headers(none::value);
    gc::Rooted body(*data);
    if (data->is(TYPE_BLOCK)) {
        gc::Rooted blk(*data);
        int32_t h = series::head_of(blk.get());
        int32_t n = series::ks_full_length(blk.get()) - h;
        body.cell = none::value;
        if (n == 0) {
            method.cell = word::load("get");
        } else {
            Cell first = *block::ks_abs_at(blk.get(), h);
            if (!first.is(TYPE_WORD)) fire("script", "invalid-arg", &first);
            method.cell = first;
            if (n > 1) {
                Cell second = *block::ks_abs_at(blk.get(), h + 1);
                if (!second.is(TYPE_BLOCK)) fire("script", "invalid-arg", &second);
                headers.cell = second;
            }
            if (n > 2) body.cell = *block::ks_abs_at(blk.get(), h + 2);
        }
    }
    if (!valid_body(body.get())) fire("script", "invalid-arg", body.get());
    *destination = request(destination, method.get(), headers.get(), body.get(), binary, lines, info);
    return destination;
}

void init() {
    ActionList a;
    a.inherit_all();
    a.set<A_MAKE>(&make)
        .set<A_TO>(&to)
        .set<A_MOLD>(&mold)
        .set<A_EVAL_PATH>(&eval_path)
        .set<A_OPEN>(&open)
        .set<A_READ>(&read)
        .set<A_WRITE>(&write);
    for (int slot : {A_RANDOM, A_REFLECT, A_SORT, A_TRIM}) a.unsupported(slot);
    datatype::register_type(TYPE_URL, TYPE_STRING, "url!", a);
}

}  // namespace kro::url
