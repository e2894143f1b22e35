// Growable arrays of fixed-size elements (bytes, 32-bit integers, 32-bit arena
// offsets standing for pointers) kept in ordinary byte series, whose flags'
// unit field holds the element size. The runtime's own tables (hash tables,
// the terminal back-end) use them.
//
// Arrays are named by their node: appends and inserts may move the buffer, so
// no caller keeps an address into one across them. Indexes are 1-based except
// where a parameter is called an offset (a byte distance from the first
// element) or said to be 0-based. An index or offset outside the array raises
// script/out-of-range.
#pragma once
#include <cstdint>

#include "foundation/memory.hpp"

namespace kro::series {

// Makes room for n bytes at the tail and advances the tail over them. Answers
// the old tail (the place to write, a byte distance from the data start). The
// buffer may be replaced: find it again through its node.
uint32_t reserve_tail(memory::Buffer* b, uint32_t n);

}  // namespace kro::series

namespace kro::array {

// An empty array with room for count elements of unit bytes (1, 2, 4, 8 or
// 16; any other unit ends the process with runtime error 101). Answers its node.
uint32_t make(uint32_t count, uint32_t unit);

uint32_t length(uint32_t node);
void clear(uint32_t node);
// Keeps the first n - 1 elements (a length of n - 1, so 1 empties the array
// and 0 does too). A longer length grows the array with zeroed elements.
void set_length(uint32_t node, uint32_t n);
uint32_t copy(uint32_t node);  // a new array with the same elements and unit
uint32_t flags(uint32_t node);

void append_byte(uint32_t node, uint8_t value);
// The source may lie in the array itself.
void append_bytes(uint32_t node, const void* src, uint32_t n);
void append_int(uint32_t node, int32_t value);
void append_ptr(uint32_t node, uint32_t value);

// Element i (1-based, counted in units) read or written as a 32-bit value or a byte.
uint32_t pick(uint32_t node, uint32_t i);
int32_t pick_int(uint32_t node, uint32_t i);
uint8_t pick_byte(uint32_t node, uint32_t i);
void poke_int(uint32_t node, uint32_t i, int32_t value);

// Byte offset of the first equal 32-bit element, or -1.
int32_t find_int(uint32_t node, int32_t value);
int32_t find_pointer(uint32_t node, uint32_t value);

// Inserts a 32-bit element before the 0-based index (index = length appends),
// doubling the buffer when fewer than 4 free bytes remain.
void insert_int(uint32_t node, uint32_t index, int32_t value);
// Removes n bytes at a byte offset; the bytes after them move down.
void remove_bytes(uint32_t node, uint32_t offset, uint32_t n);
// Removes the first equal 32-bit element; nothing when there is none.
void remove_pointer(uint32_t node, uint32_t value);

}  // namespace kro::array
