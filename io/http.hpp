// HTTP requests for the read, write and query actions of url! (and through
// them load, save and the cache of remote files): one synchronous request over
// the platform's HTTP client, with the language's values in and out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/cell.hpp"

namespace kro::http {

// The headers sent when the caller gives no header block, in this order.
struct DefaultHeader {
    const char* name;
    const char* value;
};
constexpr DefaultHeader DEFAULT_HEADERS[3] = {
    {"Content-Type", "application/x-www-form-urlencoded"},
    {"Accept-Charset", "UTF-8"},
    {"User-Agent", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"},
};

// One request. method: a word (get, head, post or any other, sent upper-cased).
// url: the url! (sent percent-encoded). headers: a block of name/value pairs
// (a name is a word's spelling or the value formed, a value a string or the
// value formed) or none for the default headers. data: binary! bytes, any
// string as UTF-8 text, none for no body, any other value formed; GET and HEAD
// never send one. The body comes back as a binary! with binary, else as a
// string! decoded from UTF-8 (with lines: a block of its lines); with info
// the answer is the block [status headers body], headers a map! (see
// parse_headers). Raises nothing: any failure (no connection, a method that is
// not a word, a header that cannot be sent, a broken transfer) answers false
// with out left as it was, and the reason in words in reason (when given).
bool request(const Cell* method, const Cell* url, const Cell* headers, const Cell* data, bool binary, bool lines,
             bool info, Cell* out, std::string* reason = nullptr);

// Header text split into lines at CR LF; each "name: value" line adds the
// value (a string!, surrounding blanks trimmed) under the word name; a name
// that comes again (letter case aside) turns its entry into a block of all its
// values in order. Lines without ":" are skipped. The map! goes into out.
Cell* parse_headers(const char* text, size_t length, Cell* out);

// Installs request as url!'s HTTP service.
void init();

}  // namespace kro::http
