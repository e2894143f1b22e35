// url!: a resource locator kept as decoded text (a string value with type id
// 9, parent string!). Percent-encoding is applied when a url is molded and
// undone when one is loaded. read and write go to the HTTP service for the
// "http" and "https" schemes and to a port made from the url for the others;
// both services come from other modules through the hooks below.
#pragma once
#include <cstdint>
#include <string>

#include "foundation/cell.hpp"

namespace kro::url {

// Which bytes stay plain when encoding: the default set keeps
// ! # $ & ' ( ) * + , - . / 0-9 : = ? @ A-Z _ a-z ~, the strict set only
// - . 0-9 A-Z _ a-z ~. Every byte from 128 up is always encoded.
constexpr int DEFAULT_SET = 0;
constexpr int STRICT_SET = 254;

// Whether a byte stays plain in the set of that mode.
bool plain_byte(int mode, uint8_t byte);
// The value of a hexadecimal digit, or -1.
int hex_value(uint8_t c);

// When p (with end bounding it) reads "%" and two hexadecimal digits, stores
// their value in *out and answers true.
bool decode_hex(const uint8_t* p, const uint8_t* end, uint8_t* out);
// Appends the decoded text of a url (or any text value) to the target: each
// escape of a single byte below 0x80 or of a whole UTF-8 sequence becomes its
// character; any other "%" stays as it is.
void decode(const Cell* text, Cell* target);
// The byte itself when plain in the set, else "%" and two upper-case digits.
std::string encode_byte(int mode, uint8_t byte);
// Appends the percent-encoded UTF-8 bytes of the text from its head.
void encode(const Cell* text, Cell* target, int mode);

// Pushes a new url! of UTF-8 bytes, its escapes decoded; answers it.
Cell* load(const uint8_t* bytes, uint32_t length);
Cell* push(const Cell* url);

// ---- hooks installed by other modules ------------------------------------------------
// Until they are, the actions that need them raise internal/feature-na.

// The url parser of the library: the object of the url's parts in out, or none.
extern void (*parse_url)(const Cell* url, Cell* out);
// A port from the parsed parts through the registry of schemes.
extern void (*make_port)(const Cell* parts, Cell* out);
// One HTTP request: answers false when no connection could be made or the
// transfer failed (reason then says why), else leaves the response (with info,
// a block of status, headers and body) in out.
extern bool (*http_request)(const Cell* method, const Cell* url, const Cell* headers, const Cell* data,
                            bool binary, bool lines, bool info, Cell* out, std::string* reason);

// A port made from the url (opened with open set, with the refinements
// given); an url the parser refuses raises script/invalid-arg.
Cell* open_port(Cell* url, bool new_, bool read, bool write, bool seek, Cell* allow, bool open, Cell* out);

// ---- actions -------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type);
// url! from a block: scheme "://" host [":" port] ["/" path ...] with "#"
// before an issue!; everything else as string! converts.
Cell* to(Cell* proto, Cell* spec, int32_t type);
// The encoded text, no prefix and no quotes; answers limit minus what it wrote.
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// Joins the url (or file!) with one formed element and a single "/" between
// them, into a new value of the url's type; setting raises script/bad-path-set.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);
Cell* open(Cell* url, bool new_, bool read, bool write, bool seek, Cell* allow);
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as);

// Registers url! (type 9, parent string!).
void init();

}  // namespace kro::url
