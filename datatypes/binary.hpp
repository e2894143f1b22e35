// binary!: the series of raw bytes (type 41, parent string!). A binary is a
// series value whose buffer has a unit of one byte: data1 the head (a byte
// index), data2 the node, data3 unused (0). A head past the tail reads as the
// tail.
//
// Besides its actions this module holds the byte helpers the rest of the
// system writes binaries with (serialization, checksums, compression, I/O,
// parse). Helpers that answer an address answer one into the buffer as it is
// after the call: it is stale after the next growth of that binary.
#pragma once
#include <cstdint>
#include <vector>

#include "foundation/cell.hpp"

namespace kro::binary {

// ---- cell-level helpers -------------------------------------------------------------

// Bytes from the head to the tail (0 when the head lies past the tail).
uint32_t ks_length(const Cell* bin);
// The byte at the head; a head past the tail is written back as the tail.
uint8_t* ks_head(Cell* bin);
// Just past the last byte.
uint8_t* ks_tail(const Cell* bin);
bool ks_tail_q(const Cell* bin);
// Moves the head by n when it stays within 0 .. tail; answers tail?.
bool ks_skip(Cell* bin, int32_t n);
inline bool ks_next(Cell* bin) { return ks_skip(bin, 1); }
// The byte at an index from the buffer's first byte (the head is ignored).
uint8_t get_byte(const Cell* bin, uint32_t index);
// Drops everything from the head on.
void set_tail_at_head(Cell* bin);

// Reserves n bytes at the tail and copies them there. The bytes may lie in
// the binary's own buffer. Sizes beyond what a buffer holds raise
// internal/no-memory.
uint8_t* append_bytes(Cell* bin, const uint8_t* bytes, uint32_t n);
// Opens room for n bytes at head + offset (an offset past the tail counts as
// the tail) and copies them there; a short buffer grows to n plus twice its size.
uint8_t* insert_bytes(Cell* bin, uint32_t offset, const uint8_t* bytes, uint32_t n);
// Writes n bytes over head + offset, growing the buffer when they pass its
// end and moving the tail up when they pass the tail (bytes skipped between
// the old tail and offset become 0).
uint8_t* write_bytes_at(Cell* bin, uint32_t offset, const uint8_t* bytes, uint32_t n);
// Appends the integer as 4 bytes, most significant first.
void append_int32_be(int32_t value, Cell* bin);

// ---- making ---------------------------------------------------------------------------

// An empty binary! with room for capacity bytes, written into the cell.
Cell* make_at(Cell* c, uint32_t capacity);
// The same in a new cell at a block's tail.
Cell* make_in(Cell* block, uint32_t capacity);
// A new binary! holding a copy of n bytes, in out (null: a new data-stack cell).
Cell* load_in(const uint8_t* bytes, uint32_t n, Cell* out);
// A new binary! holding a copy of n bytes, pushed on the data stack.
Cell* load(const uint8_t* bytes, uint32_t n);
// The same as a plain cell (nothing pushed).
Cell of_bytes(const std::vector<uint8_t>& bytes);
// Pushes a copy of the cell.
Cell* push(const Cell* bin);

// The bytes from the head to the tail.
std::vector<uint8_t> bytes_of(const Cell* bin);

// ---- bytes of values ---------------------------------------------------------------------

// The low 8 bits of an integer! or char!; anything else raises
// script/invalid-arg with the value.
uint8_t byte_from_value(const Cell* value);
// The same, stored at a position.
void byte_from_value(const Cell* value, uint8_t* position);

enum class Mode : uint8_t {
    STRICT,  // the listed types only: anything else raises script/bad-to-arg
    ANY,     // anything else is formed and its UTF-8 taken (insert, append, change)
};

// The bytes a value stands for:
// - char!: its UTF-8 sequence; integer!: one byte, -128..255 (else
//   script/invalid-arg); binary!: its bytes from the head; tuple!: its bytes;
// - the text types: the UTF-8 of their characters from the head;
// - block!, paren!, hash!: the bytes of each item in turn (part counts items
//   unless part_counts_bytes).
// part >= 1 caps the bytes (or items). Appends them to out and answers how many.
uint32_t from_value(std::vector<uint8_t>& out, Cell* value, int32_t part, bool part_counts_bytes, Mode mode);
// The same into a binary (appended at its tail), or only measured when the
// destination is null (an integer then counts one byte whatever its value);
// answers the size.
uint32_t from_value(Cell* destination, Cell* value, int32_t part, bool part_counts_bytes, Mode mode);

// The issue's spelling decoded as base 16 into result (a new binary!) unless
// size_only; answers the byte count. A spelling that is not hexadecimal
// raises script/invalid-data with the issue.
uint32_t from_issue(const Cell* issue, Cell* result, bool size_only);

// ---- comparison and parse ----------------------------------------------------------------

// Compares the bytes from both heads. The other value may be binary! or any
// text type (its UTF-8 bytes); anything else answers -2. With match, only
// the other value's length is compared (a prefix test): a binary with fewer
// bytes left than the other value does not match.
int32_t compare_bytes(const Cell* value1, const Cell* value2, int32_t op, bool match);
// The byte at the head is a member of the bitset (a byte past the bitset's
// bits answers its complement flag); false at the tail.
bool match_bitset(const Cell* bin, const Cell* bitset);
// A binary or text value whose bytes start the binary at its head, or a char!
// equal to the byte at the head.
bool match(const Cell* bin, const Cell* value, int32_t op);

// ---- the text of binaries -------------------------------------------------------------------

// The token of a binary literal: "#{...}" in base 16, or "2#{...}", "16#{...}",
// "64#{...}". Base 16 takes pairs of hex digits, base 64 whole groups of the
// standard alphabet ("=" padding after 2 or 3 characters of the last group),
// base 2 whole bytes of 8 digits; blanks, tabs and line breaks are skipped and
// ";" comments out the rest of its line. Answers false (out untouched) for
// anything else: the tokenizer reports invalid binary!.
bool from_literal(const uint8_t* text, uint32_t length, Cell* out);

// ---- actions -----------------------------------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, int32_t type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// -2 for anything but a binary!.
int32_t compare(Cell* value1, Cell* value2, int32_t op);
// Bitwise and~, or~, xor~ of the current call's two arguments (both binary!,
// else script/invalid-arg with the other): a new binary as long as the longer.
Cell* and_t();
Cell* or_t();
Cell* xor_t();
// Inverts every byte from the head in place.
Cell* complement(Cell* bin);
// append (append_ set) and insert. part: bytes (items of a block) taken from
// the value, -1 when absent; dup: copies.
Cell* insert(Cell* bin, Cell* value, int32_t part, bool only, int32_t dup, bool append_);
// part: bytes replaced, -1 when absent.
Cell* change(Cell* bin, Cell* value, int32_t part, bool only, int32_t dup);
Cell* trim(Cell* bin, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);

// The pixels of an image! as B, G, R, A bytes into a new binary! in out;
// installed by the image datatype (until then no image! can exist).
extern Cell* (*image_argb)(const Cell* image, Cell* out);

// Registers binary! (type 41, parent string!).
void init();

}  // namespace kro::binary
