// money!: an exact decimal amount with an optional currency (type 49, no
// parent). The whole cell is the value, nothing lives in a series:
//
//   header  type 49; bit 14 (SIGN_FLAG) set for a negative amount
//   byte 4  currency: 0 for none, else the 1-based position of its code in the
//           currency list (so only the first 255 codes can be carried)
//   bytes 5-15  22 packed decimal digits, two per byte, high nibble first:
//           positions 1-17 the integer part (17 the units), 18-22 the fraction
//
// The amount is at most 99,999,999,999,999,999.99999. Every operation is exact:
// products and quotients are cut (toward zero) at the fifth fraction digit, and
// a result that leaves the range, or that the cut makes zero, raises
// script/type-limit rather than answering something else. A zero amount reads
// as zero whatever its sign bit; this module never leaves the bit set on one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/cell.hpp"

namespace kro::money {

constexpr int32_t SIZE_DIGITS = 22;
constexpr int32_t INTEGER_DIGITS = 17;
constexpr int32_t FRACTION_DIGITS = 5;
constexpr int32_t WORK_DIGITS = 27;  // an amount scaled by 10^5 for a quotient
constexpr int32_t DIGIT_BYTES = 11;
constexpr int32_t MAX_FRACTION = 99999;
constexpr int32_t MAX_CURRENCY = 255;
constexpr uint32_t SIGN_FLAG = 0x4000;

// ---- the cell ----------------------------------------------------------------------------

inline int32_t get_sign(const Cell* c) { return int32_t((c->header & SIGN_FLAG) >> 14); }
inline void set_sign(Cell* c, int32_t bit) { c->header = bit ? (c->header | SIGN_FLAG) : (c->header & ~SIGN_FLAG); }
inline void flip_sign(Cell* c) { c->header ^= SIGN_FLAG; }
inline void clear_sign(Cell* c) { c->header &= ~SIGN_FLAG; }
inline int32_t get_currency(const Cell* c) { return int32_t(c->data1 & 0xFF); }
inline void set_currency(Cell* c, int32_t index) { c->data1 = (c->data1 & ~0xFFu) | (uint32_t(index) & 0xFF); }

// The 11 digit bytes (bytes 5-15 of the cell).
inline uint8_t* digits(Cell* c) { return reinterpret_cast<uint8_t*>(c) + 5; }
inline const uint8_t* digits(const Cell* c) { return reinterpret_cast<const uint8_t*>(c) + 5; }
void set_digits(Cell* c, const uint8_t* bytes);
// Zeroes the currency and all digits.
void clear(Cell* c);

// One digit at a 1-based position of a packed buffer (odd positions in the
// high nibble); set_digit keeps the other nibble.
int32_t get_digit(const uint8_t* buffer, int32_t position);
void set_digit(uint8_t* buffer, int32_t position, int32_t value);

bool digits_zero(const uint8_t* d);
// 0 for a zero amount, else -1 or 1.
int32_t sign_of(const Cell* c);
inline bool negative(const Cell* c) { return sign_of(c) < 0; }
inline bool zero(const Cell* c) { return sign_of(c) == 0; }
inline bool positive(const Cell* c) { return sign_of(c) > 0; }
// 22 less the leading zero digits; 1 for zero.
int32_t significant_digits(const uint8_t* d);
// The order of two magnitudes: -1, 0 or 1.
int32_t compare_digits(const uint8_t* a, const uint8_t* b);
// Moves every digit of a packed buffer of `bytes` bytes n positions towards the
// first (left) or the last (right) position, filling with zeros.
void shift_left(uint8_t* buffer, int32_t bytes, int32_t n);
void shift_right(uint8_t* buffer, int32_t bytes, int32_t n);
// (sign a + 1) x 16 + (sign b + 1) for signs -1, 0, 1.
inline int32_t sign_pair(int32_t a, int32_t b) { return (a + 1) * 16 + (b + 1); }
// The signed order of two amounts, currencies aside: -1, 0 or 1.
int32_t compare_values(const Cell* a, const Cell* b);

// ---- currencies ----------------------------------------------------------------------------

// The live currency list, system/locale/currencies/list: a block of words,
// made with the standard codes on first use. The system object shares it, or
// installs its own block with set_currency_list; positions are read from the
// block's head each time, so appended codes are usable at once.
Cell* currency_list();
void set_currency_list(const Cell* block);
// Marks the list for the collector (a mark callback).
void mark_currency_list();
// The 1-based position of the first word of the list whose spelling matches
// the word's without regard to case; -1 when none matches or when the match
// lies past position 255, where no cell could record it.
int32_t currency_index(const Cell* word);
// The same for a code given as text (any length; letters matched ignoring
// ASCII case).
int32_t currency_index_of(const char* text, size_t length);
// The word at a position of the list (none outside it).
Cell currency_at(int32_t index);
// The value's currency word, or none.
Cell currency_word(const Cell* value);
// Same currency, or (unless strict) either without one.
bool compatible(const Cell* a, const Cell* b, bool strict);

// ---- making and converting ------------------------------------------------------------------

Cell* make_at(Cell* c, int32_t sign, int32_t currency, const uint8_t* digit_bytes);
Cell* push(int32_t sign, int32_t currency, const uint8_t* digit_bytes);
// Fills c from a sign, an optional currency code (null: none) and the texts of
// the integer and fraction digits (fraction may be null). "'" in either text
// is skipped; fraction digits past the fifth are dropped. Answers null, with c
// unspecified, for an unknown currency, a character other than a digit or
// "'", or more than 17 integer digits once leading zeros are dropped.
Cell* from_text(Cell* c, int32_t sign, const char* currency, size_t currency_length, const char* integer,
                size_t integer_length, const char* fraction, size_t fraction_length);

Cell of_integer(int32_t i);
// Pushes the amount of an integer (no currency).
Cell* from_integer(int32_t i);
// The integer part, cut toward zero; beyond 32 bits raises script/type-limit
// for integer!.
int32_t to_integer(const Cell* c);

// |x| >= 1e17 (infinities and NaN too: no amount holds them).
bool float_overflow(double x);
// x not zero and |x| < 1e-5.
bool float_underflow(double x);
// The amount of a float, read from its shortest decimal text, without
// currency. Not finite, out of range, or (strict) more than five fraction
// digits: script/bad-make-arg with money! and the float. Without strict,
// fraction digits past the fifth are dropped.
Cell of_float(double x, bool strict);
// Whether the shortest decimal text of a finite float has at most five
// fraction digits (so that an amount can equal it).
bool fits_fraction(double x);
Cell* from_float(double x, bool strict);  // pushes it
// The nearest double.
double to_float(const Cell* c);

// ---- arithmetic ----------------------------------------------------------------------------
// Each works on two money cells, leaves the result in one of them and answers
// it; currencies are the caller's business. Overflow, and a product or
// quotient that the cut at five fraction digits makes zero, raise
// script/type-limit with money!, leaving both operands as they were.

Cell* add_values(Cell* a, Cell* b);
Cell* subtract_values(Cell* a, Cell* b);
Cell* multiply_values(Cell* a, Cell* b);
// The quotient, or with remainder set a - b x trunc(a / b) with a's sign. A
// zero b raises math/zero-divide.
Cell* divide_values(Cell* a, Cell* b, bool remainder);

// |a| mod |b| as a positive amount without currency (b not zero), and whether
// trunc(|a| / |b|) is odd: what round needs of the remainder division.
Cell magnitude_remainder(const Cell* a, const Cell* b, bool* odd_quotient);

// ---- text ----------------------------------------------------------------------------------

// system/options/money-digits: how many fraction digits form and mold show.
// The system object installs its reader; without one (or when the option is
// not an integer) two digits are shown.
extern const Cell* (*digits_option)();
int32_t shown_digits();

// The text of form (grouped: "'" between groups of three integer digits) or
// mold: sign, currency code, "$", integer digits, then "." and the first
// `fraction` fraction digits (none below 1, at most 5; cut, not rounded).
std::string text(const Cell* value, bool grouped, int32_t fraction);

// A money literal of the source text (the tokenizer's maker for money tokens): optional sign, optional three-letter code,
// "$", digits with "'" separators (never two together, never last), an optional
// "." or "," with at most five digits, at most 17 significant integer digits,
// a known currency. False, out untouched, for anything else.
bool load_literal(const uint8_t* text, size_t length, Cell* out);
// Money text of a conversion (to money! of a string): like a literal, but the
// "$" is optional without a code, only "." marks the fraction, and fraction
// digits past the fifth are dropped.
bool scan_text(const uint8_t* text, size_t length, Cell* out);

// ---- the actions ------------------------------------------------------------------------------

// Mixed arithmetic of the current call's two arguments, one of them money!
// (op 0-4: add, subtract, multiply, divide, remainder); the result replaces
// the first argument.
void do_math(int32_t op);
// -1, 0, 1, or -2 when the other value cannot be compared.
int32_t compare(Cell* value, Cell* other, int32_t op);

// make money! from a block: [code? amount fraction?].
Cell from_block(const Cell* block);
// make money! from a word: a zero amount in that currency.
Cell from_word(const Cell* word);
// The as-money native: a currency word and an integer! or float! amount.
Cell as_money(const Cell* currency, const Cell* amount);

// Registers money! (type 49, no parent) and installs the hooks through which
// integer and float math hand money operands over.
void init();

}  // namespace kro::money
