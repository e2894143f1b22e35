// String storage: code points in units of 1, 2 or 4 bytes.
#pragma once
#include <cstdint>
#include <string>

#include "foundation/cell.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"

// string! and every text type built on it (file!, url!, tag!, email!, ref!)
// keep one code point per unit of 1, 2 or 4 bytes. A string only widens: a
// character that does not fit rewrites the whole buffer at the wider unit.
// Clearing it (ks_reset) is the one way back to 1 byte.
//
// Value: data1 the head (a unit index), data2 the node of the buffer, data3 0
// or the node of the conversion buffer (the UTF-8 form for the outside world).
//
// Buffer routines take a buffer and answer the one to use afterwards, which
// differs whenever the buffer grew or widened. Value routines find the buffer
// again through the value's node.
namespace kro::string {

// Writes a new empty string value with room for capacity units of the given size.
Cell* make_at(Cell* c, uint32_t capacity, int unit);
// Appends ASCII text (len bytes, or up to the NUL when len < 0).
void concatenate_ascii(Cell* str, const char* text, int32_t len = -1);
// The text from the head to the tail, encoded as UTF-8.
std::string to_utf8(const Cell* str);

// ---- units ----------------------------------------------------------------------

// The code point stored at p in a buffer of that unit (little-endian).
inline uint32_t get_char(const uint8_t* p, int unit) {
    switch (unit) {
        case 1: return p[0];
        case 2: return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
        case 4: return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
        default: rt_error::no_switch_match();
    }
}

// Stores a code point that fits the unit.
inline void put_char(uint8_t* p, int unit, uint32_t cp) {
    p[0] = uint8_t(cp);
    if (unit >= 2) p[1] = uint8_t(cp >> 8);
    if (unit == 4) {
        p[2] = uint8_t(cp >> 16);
        p[3] = uint8_t(cp >> 24);
    }
}

// Characters from the head to the tail (0 when the head lies past the tail).
uint32_t length_of(const Cell* str);

// ---- appending (mold buffers and the like) ----------------------------------------

// Appends one character, widening the buffer first when the character does not
// fit: a 1-byte string keeps 0-127 here (128 and up make it 2 bytes wide, above
// 0xFFFF 4 bytes), a 2-byte string 0-0xFFFF. Answers the buffer to use afterwards.
memory::Buffer* append_char(memory::Buffer* b, uint32_t cp);
// The same on a string value.
void append_code_point(Cell* str, uint32_t cp);
// Appends UTF-8 text (len bytes, or up to the NUL when len < 0), one character
// per code point, widening as append_char does. A byte that starts no valid
// sequence stands for itself.
void append_utf8(Cell* str, const char* text, int32_t len = -1);
// Appends the characters of a text value from its head (at most part of them;
// negative: all), converting widths: the target widens to the source's unit
// when narrower, the source is never changed. The source may be the target
// itself. Answers the number of characters appended.
int32_t append_string(Cell* str, const Cell* source, int32_t part = -1);
// The last character in the buffer (whatever the head), or -1 when it is empty.
int32_t last_char(const Cell* str);

// ---- widening -------------------------------------------------------------------
// A string only ever widens: the units are rewritten from the last to the first
// at the new width. Each routine answers the buffer to use afterwards, which
// differs from the one passed in when the buffer had to grow.

memory::Buffer* widen_1_to_2(memory::Buffer* b);
memory::Buffer* widen_1_to_4(memory::Buffer* b);
memory::Buffer* widen_2_to_4(memory::Buffer* b);
memory::Buffer* widen(memory::Buffer* b, int unit, int new_unit);

// ---- conversions for the outside world -------------------------------------------
// The conversions below that answer an address write into the string's
// conversion buffer (a byte series whose node the cell keeps in data3, made on
// the first conversion and reused); the text stays valid until the next
// conversion of the same string. part: characters to convert from the head,
// -1 (or any negative) for all of them; larger counts stop at the tail.

// UTF-8 of the string into its conversion buffer, NUL-terminated; with crlf set
// every LF is written as CR LF. *part (in/out) receives the bytes written
// without the NUL. Answers the conversion buffer's node.
uint32_t encode_utf8(Cell* str, int32_t* part, bool crlf);
// Address of the UTF-8 text (no CR LF).
const char* to_utf8(Cell* str, int32_t* part);
const char* to_utf8_part(Cell* str, int32_t* part, bool crlf);

// UTF-8 of the string written at dst, which the caller sized (utf8_size + 1);
// with nul set a NUL follows. Answers the bytes of text written (without the NUL).
uint32_t to_utf8_into(const Cell* str, uint8_t* dst, int32_t part, bool nul);
// The same within room bytes: a character that does not fit is cut; with nul
// set a NUL follows when room is left for it. Answers the bytes of text written.
uint32_t to_utf8_limited(const Cell* str, uint8_t* dst, uint32_t room, int32_t part, bool nul);

// The NUL-terminated UTF-8 text that POSIX calls take. *part (in/out, may be
// null) receives the bytes written. Answers null when the text cannot be given
// to the system: a code point above 0x10FFFF, or a NUL inside the text (which a
// system call would silently cut there).
const char* to_os(Cell* str, int32_t* part);
const char* to_os_full(Cell* str);

// The NUL-terminated UTF-16LE form (surrogate pairs above 0xFFFF); with crlf set
// every LF becomes CR LF. *part (in/out) receives the units written without the
// NUL. Answers null for a code point above 0x10FFFF.
const uint16_t* to_utf16(Cell* str, int32_t* part, bool crlf);

// ---- reading and navigating -------------------------------------------------------

// The code point at a unit index from the buffer's first unit (the head is ignored).
uint32_t char_at(const Cell* str, uint32_t index);
// Address of the character at the head; a head past the tail is written back as the tail.
uint8_t* ks_head(Cell* str);
// Address just past the last unit.
uint8_t* ks_tail(const Cell* str);
// Whether the head is at or past the tail.
bool ks_tail_q(const Cell* str);
// Characters from the head to the tail (0 when the head is past it).
uint32_t ks_length(const Cell* str);
// Characters from the first unit to the tail, ignoring the head.
uint32_t ks_full_length(const Cell* str);
// Moves the head by n when it stays within 0 .. full length; answers tail?.
bool ks_skip(Cell* str, int32_t n);
bool ks_next(Cell* str);
// Empties the buffer, makes its unit 1 byte and the head 0; answers the string.
Cell* ks_reset(Cell* str);
// Offset from the head of the first character equal to cp, or -1.
int32_t ks_find_char(const Cell* str, uint32_t cp);
// Whether a character at head + k x step (k = 0, 1, ...) equals cp; unless
// exact, both sides are folded to upper case first.
bool ks_has_char(const Cell* str, uint32_t cp, int32_t step, bool exact);
// Whether the text from the head starts with exactly these bytes (one
// character each; a character above 255 never matches).
bool ks_starts_with(const Cell* str, const char* text);

// ---- making -----------------------------------------------------------------------

// An empty string! with room for n units of 1 byte (at least 1).
Cell* ks_make_at(Cell* c, uint32_t n);
// The same with a chosen unit size.
Cell* make_at_unit(Cell* c, uint32_t n, int unit);
// Pushes a copy of the value on the data stack.
Cell* push(const Cell* str);

// ---- writing single characters ----------------------------------------------------
// Writing, inserting and poking keep 0-255 in a 1-byte string (appending
// keeps only 0-127 there, see append_char).

// When the buffer can hold n units, moves a tail lying beyond them back to n.
void ks_truncate(memory::Buffer* b, uint32_t n);
// Removes count units at a unit index from the first unit (nothing at or past
// the tail; count is cut to what lies there).
void ks_remove(Cell* str, uint32_t index, uint32_t count);
void ks_remove_char(Cell* str, uint32_t index);
// Writes cp at a character index from the first unit, widening and growing as
// needed; an index at or past the tail moves the tail just past it (units
// skipped over are zeros).
memory::Buffer* overwrite_char(memory::Buffer* b, uint32_t index, uint32_t cp);
// Opens room for one unit at the index and stores cp there.
memory::Buffer* insert_char(memory::Buffer* b, uint32_t index, uint32_t cp);
// Stores cp over the unit at an index below the tail, widening first when needed.
memory::Buffer* poke_char(memory::Buffer* b, uint32_t index, uint32_t cp);

// Converts the units [src_start, src_end) of a source buffer (src_end 0: its
// tail; indexes in source units) to new_unit (2 or 4, wider than the source's)
// into a destination buffer from unit index dst_start. With no destination, one
// is made by expanding the source buffer to `size` bytes (the source must then
// not be needed afterwards). Unless keep is set, the destination's tail follows
// the last unit written and its unit becomes new_unit. Answers the destination.
memory::Buffer* widen_copy(memory::Buffer* src, memory::Buffer* dst, uint32_t size, int new_unit,
                           uint32_t src_start, uint32_t dst_start, uint32_t src_end, bool keep);

// ---- concatenation ------------------------------------------------------------------

enum Mode : int { APPEND = 0, INSERT = 1, OVERWRITE = 2 };

// The text routine under append, insert and change: copies the characters of a
// text value (from its head) or of a symbol! (its spelling) into the string, at
// most part of them (negative: all). APPEND adds them at the tail; INSERT opens
// room at `offset` characters from the string's head; OVERWRITE writes over
// the characters there (the tail moves when the text runs past it). The string
// widens to the source's unit; unless keep_source is set, a narrower source
// is itself widened to the string's unit first. Source and string may share a
// buffer.
void concatenate(Cell* str, const Cell* source, int32_t part, uint32_t offset, bool keep_source, int mode);
// Appends each byte of a NUL-ended text as one character (append_char rules).
void append_literal(Cell* str, const char* text);
// Appends n bytes, one character each.
void append_bytes(Cell* str, const uint8_t* bytes, uint32_t n);

// ---- loading external text ----------------------------------------------------------

constexpr int32_t ENCODING_UTF8 = 0;
constexpr int32_t ENCODING_UTF16LE = -1;

// Decodes bytes into a new string! in out (null: a new data-stack cell) and
// answers that cell. Invalid UTF-8, a text that ends inside a sequence
// included, raises access/invalid-utf8 with the refused bytes as a binary!.
// Any encoding other than the two above raises script/invalid-arg with the
// encoding as an integer!.
Cell* load_at(const uint8_t* bytes, uint32_t length, Cell* out, int32_t encoding);
// load_at into a new cell at the block's tail.
Cell* load_in(const uint8_t* bytes, uint32_t length, Cell* block, int32_t encoding);
// load_in the root block, so that the string lives as long as the runtime.
Cell* load_root(const uint8_t* bytes, uint32_t length, int32_t encoding);
// load_at into a new data-stack cell.
Cell* load(const uint8_t* bytes, uint32_t length, int32_t encoding);
// A new string! on the data stack from UTF-8; a sequence the decoder refuses
// (or the text ending inside one) raises access/invalid-utf8 with a binary! of
// the bytes from it to the end.
Cell* load_utf8_checked(const uint8_t* bytes, uint32_t length);

// ---- numbers and hexadecimal text ----------------------------------------------------

// The double that float text reads from the bytes [text, text + length).
double scan_float(const char* text, int32_t length);
// Two upper-case hexadecimal digits, high digit first.
std::string byte_to_hex(uint8_t byte);
// Upper-case hexadecimal text: with trim the digits without leading zeros
// (at least "00" for zero); otherwise 8 digits, filled on the left with 0 (F
// for a negative value).
std::string int_to_hex(int32_t value, bool trim);

// Run 1 of len1 bytes at p is followed by run 2 of len2 bytes at run2; leaves
// run 2 at p, then a gap of `gap` bytes (left for the caller), then run 1. The
// buffer must have room for both runs and the gap.
void swap_runs(uint8_t* p, uint32_t len1, uint8_t* run2, uint32_t len2, uint32_t gap);

// ---- text, molding and comparison -------------------------------------------------------

// Slot 5: the characters from the head (at most limit with part); answers
// limit minus the string's length.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
// Slot 6: the source text the tokenizer reads back as the same string: in
// double quotes, or in braces for 3 or more line feeds, any double quote, or 50
// characters or more from the head; caret escapes in both. Answers limit minus
// the characters molded minus 2.
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// Appends one character with the caret rules: "^(hex)" for 0x1E, 0x80-0x9F and,
// with all, everything above 0x7F; with escape, "^" and a letter for the
// control characters, "^-" tab, "^/" line feed, "^"" and "^^", "^~" for 0x7F.
void append_escaped_char(Cell* buffer, uint32_t cp, bool escape, bool all);
// The double quotes and line feeds among count characters from a unit index.
void count_quotes_and_lines(const Cell* str, uint32_t from, uint32_t count, int32_t* quotes, int32_t* lines);
// Whether the '{' at unit index `at` is closed before unit index `end`.
bool brace_closes(const Cell* str, uint32_t at, uint32_t end);

// Slot 9: two text values of different types compare only for ops 0 and 1;
// otherwise -2. Same type: compare_text without the match flag.
int32_t compare(Cell* value1, Cell* value2, int32_t op);
// The text comparison behind compare, find, select and parse: -1, 0 or 1.
// Letter case counts only for ops 2 and 8. Either side may be a symbol! (its
// spelling); the second may be a text slice (type 56) whose data3, when not
// negative, is its length. With match, only the second's length is compared
// (a prefix test).
int32_t compare_text(const Cell* value1, const Cell* value2, int32_t op, bool match);

// The comparators of sort (one per unit size). op: non-zero for a
// case-sensitive order. flags: bit 0 reverses, bit 1 compares a whole record
// of flags >> 2 characters, otherwise the one character at offset flags >> 2.
int sort_compare_1(const void* a, const void* b, intptr_t op, uint32_t flags);
int sort_compare_2(const void* a, const void* b, intptr_t op, uint32_t flags);
int sort_compare_4(const void* a, const void* b, intptr_t op, uint32_t flags);

// ---- parse helpers ----------------------------------------------------------------------

// Whether the character at the head is in the bitset; a character beyond the
// bitset's bits answers its complemented flag. False at the tail.
bool head_in_bitset(const Cell* str, const Cell* bitset);
// Whether the string reads '<' at its head and '>' just after as many
// characters as the tag holds.
bool tag_around(const Cell* str, const Cell* tag);
// parse's match of a value at the head: text by compare_text with the op and
// the match flag, a char! by equality (exact for op 2), a tag! with its angle
// brackets around it.
bool match_head(const Cell* str, const Cell* value, int32_t op);

// ---- actions ------------------------------------------------------------------------------
// Each leaves its result in its first argument's cell and answers it.

Cell* make(Cell* proto, Cell* spec, int32_t type);
Cell* to(Cell* proto, Cell* spec, int32_t type);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);
// part: a character count (negative: absent); dup: copies (1 without /dup).
Cell* append(Cell* str, Cell* value, int32_t part, bool only, int32_t dup, bool append_);
Cell* insert(Cell* str, Cell* value, int32_t part, bool only, int32_t dup, bool append_);
Cell* change(Cell* str, Cell* value, int32_t part, bool only, int32_t dup);
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
           bool stable);
Cell* swap(Cell* series1, Cell* series2);
Cell* take(Cell* series, Cell* part, bool deep, bool last);
Cell* trim(Cell* str, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);
// The pieces of trim.
void trim_with(Cell* str, const Cell* with);
void trim_lines(Cell* str);
void trim_spaces(Cell* str, bool head, bool tail);

// The string case of unique (8), union (9), intersect (10), exclude (11) and
// difference (12): record by record (skip characters each, null: 1), judged
// by the record's first character. The result, a new string at index 0,
// replaces set1.
Cell* set_operation(Cell* set1, Cell* set2, int32_t op, bool case_, Cell* skip);

// Registers string! (type 7, parent series!).
void init();

}  // namespace kro::string
