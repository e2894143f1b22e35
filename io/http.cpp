#include "io/http.hpp"

#include <strings.h>

#include <cctype>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/map.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/url.hpp"
#include "datatypes/word.hpp"
#include "foundation/gc.hpp"
#include "foundation/mold.hpp"
#include "foundation/platform/http_curl.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/stack.hpp"
#include "io/simple_io.hpp"

namespace kro::http {

namespace {

bool is_text(Type t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
           t == TYPE_REF;
}

bool is_word_kind(Type t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }

std::string spelling(const Cell* word) {
    Cell w = *word;
    Cell* top = stack::top_ptr;
    std::string s = string::to_utf8(word::to_string(&w));
    stack::top_ptr = top;
    return s;
}

std::string formed(const Cell* value) {
    gc::Rooted v(*value);
    gc::Rooted buffer;
    string::make_at(buffer.get(), 32, 1);
    actions::form(v.get(), buffer.get(), nullptr, mold::NO_LIMIT);
    return string::to_utf8(buffer.get());
}

// A text value as it goes on the wire: its own UTF-8, anything else formed.
std::string text_of(const Cell* value) { return is_text(value->type()) ? string::to_utf8(value) : formed(value); }

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// The url's decoded text encoded again, as a request line needs it.
std::string wire_url(const Cell* url) {
    gc::Rooted u(*url);
    gc::Rooted encoded;
    string::make_at(encoded.get(), 64, 1);
    url::encode(u.get(), encoded.get(), url::DEFAULT_SET);
    return string::to_utf8(encoded.get());
}

bool build(const Cell* method, const Cell* url, const Cell* headers, const Cell* data,
           platform::http::Request* r) {
    if (!is_word_kind(method->type())) return false;
    r->method = upper(spelling(method));
    // a method is a token: nothing in it may end the request line early
    constexpr std::string_view token_marks = "!#$%&'*+-.^_`|~";
    for (char c : r->method)
        if (!std::isalnum(static_cast<unsigned char>(c)) && token_marks.find(c) == std::string_view::npos) return false;
    r->url = wire_url(url);
    if (headers && headers->is(TYPE_BLOCK)) {
        int32_t n = block::length(headers);
        for (int32_t i = 0; i + 1 < n; i += 2) {
            Cell name = *block::at(headers, i);
            Cell value = *block::at(headers, i + 1);
            std::string k = is_word_kind(name.type()) ? spelling(&name) : formed(&name);
            std::string v = value.is(TYPE_STRING) ? string::to_utf8(&value) : formed(&value);
            r->headers.emplace_back(std::move(k), std::move(v));
        }
    } else {
        for (const DefaultHeader& d : DEFAULT_HEADERS) r->headers.emplace_back(d.name, d.value);
    }
    bool bodiless = r->method == "GET" || r->method == "HEAD";
    if (!bodiless && data && !data->is(TYPE_NONE)) {
        r->send_body = true;
        if (data->is(TYPE_BINARY)) {
            std::vector<uint8_t> bytes = binary::bytes_of(data);
            r->body.assign(bytes.begin(), bytes.end());
        } else {
            r->body = text_of(data);
        }
    }
    return true;
}

// The text with every byte sequence that is not well-formed UTF-8 replaced
// by U+FFFD: a server's bytes are not to be trusted to be text, and decoding
// them must not fail.
std::string well_formed(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    size_t n = in.size(), i = 0;
    while (i < n) {
        uint8_t b = p[i];
        size_t len = 0;
        if (b < 0x80) len = 1;
        else if (b >= 0xC2 && b <= 0xDF) len = 2;
        else if (b >= 0xE0 && b <= 0xEF) len = 3;
        else if (b >= 0xF0 && b <= 0xF4) len = 4;
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; k++) ok = (p[i + k] & 0xC0) == 0x80;
        if (ok && len == 3) {
            uint8_t c = p[i + 1];
            ok = !(b == 0xE0 && c < 0xA0) && !(b == 0xED && c >= 0xA0);  // overlong, surrogate
        } else if (ok && len == 4) {
            uint8_t c = p[i + 1];
            ok = !(b == 0xF0 && c < 0x90) && !(b == 0xF4 && c >= 0x90);  // overlong, past U+10FFFF
        }
        if (ok) {
            out.append(in, i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            i++;
        }
    }
    return out;
}

// The body as the caller asked for it, into out.
void body_value(const std::string& raw, bool binary, bool lines, Cell* out) {
    Cell* top = stack::top_ptr;
    std::string body = binary ? raw : well_formed(raw);
    const auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
    if (binary) {
        *out = *binary::load(bytes, uint32_t(body.size()));
    } else if (lines) {
        std::vector<std::string> parts = simple_io::split_lines(bytes, body.size());
        block::make_at(out, int32_t(parts.size()));
        for (const std::string& p : parts) {
            Cell s = *string::load(reinterpret_cast<const uint8_t*>(p.data()), uint32_t(p.size()),
                                   string::ENCODING_UTF8);
            *block::add_cell(out) = s;
        }
    } else {
        *out = *string::load(bytes, uint32_t(body.size()), string::ENCODING_UTF8);
    }
    stack::top_ptr = top;
}

Cell* new_string(const std::string& text, Cell* out) {
    return string::load_at(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), out,
                           string::ENCODING_UTF8);
}

std::string trimmed(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) a++;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r' || s[b - 1] == '\n')) b--;
    return s.substr(a, b - a);
}

}  // namespace

Cell* parse_headers(const char* text, size_t length, Cell* out) {
    // names in order of first appearance, each with its values
    std::vector<std::pair<std::string, std::vector<std::string>>> entries;
    std::string all(text, length);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find("\r\n", start);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(start, end - start);
        start = end + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = trimmed(line.substr(0, colon));
        if (name.empty()) continue;
        std::string value = trimmed(line.substr(colon + 1));
        auto same = [&](const auto& e) { return ::strcasecmp(e.first.c_str(), name.c_str()) == 0; };
        auto it = entries.begin();
        while (it != entries.end() && !same(*it)) ++it;
        if (it == entries.end()) entries.push_back({name, {value}});
        else it->second.push_back(value);
    }
    gc::Rooted result;
    map::make_at(result.get(), nullptr, int32_t(entries.size()));
    for (const auto& [name, values] : entries) {
        Cell key{uint32_t(TYPE_SET_WORD), 0,
                 uint32_t(symbol::make_from_utf8(reinterpret_cast<const uint8_t*>(name.data()),
                                                 uint32_t(name.size()))),
                 uint32_t(-1)};
        gc::Rooted value;
        if (values.size() == 1) {
            new_string(values[0], value.get());
        } else {
            block::make_at(value.get(), int32_t(values.size()));
            for (const std::string& v : values) {
                Cell s;
                new_string(v, &s);
                *block::add_cell(value.get()) = s;
            }
        }
        Cell none_path = none::value;
        map::store(result.get(), &key, value.get(), &none_path, false);
    }
    *out = result.cell;
    return out;
}

bool request(const Cell* method, const Cell* url, const Cell* headers, const Cell* data, bool binary, bool lines,
             bool info, Cell* out, std::string* reason) {
    platform::http::Request req;
    if (!build(method, url, headers, data, &req)) {
        if (reason) *reason = "bad-request";
        return false;
    }
    platform::http::Response resp;
    if (!platform::http::perform(req, &resp, reason)) return false;
    if (!info) {
        body_value(resp.body, binary, lines, out);
        return true;
    }
    gc::Rooted result;
    block::make_at(result.get(), 3);
    *block::add_cell(result.get()) =
        Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(int32_t(resp.status)), 0};
    gc::Rooted fields;
    parse_headers(resp.headers.data(), resp.headers.size(), fields.get());
    *block::add_cell(result.get()) = fields.cell;
    gc::Rooted body;
    body_value(resp.body, binary, lines, body.get());
    *block::add_cell(result.get()) = body.cell;
    *out = result.cell;
    return true;
}

void init() { url::http_request = &request; }

}  // namespace kro::http
