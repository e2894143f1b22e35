// The runtime's own printing: typed records written without the language being
// involved (fatal errors, diagnostics, statistics), and the print hooks through
// which the language's `print` reaches the console.
#pragma once
#include <cstdint>
#include <initializer_list>

#include "foundation/cell.hpp"

namespace kro::print {

enum class RecType : uint32_t { LOGIC = 1, INTEGER = 2, BYTE = 3, FLOAT32 = 4, FLOAT64 = 5, TEXT = 6, HEX = 7 };

struct Rec {
    RecType type;
    union {
        uint32_t u;
        int32_t i;
        float f32;
        double f64;
        const char* text;
    };
};

inline Rec logic(uint32_t v) { Rec r{RecType::LOGIC, {}}; r.u = v; return r; }
inline Rec integer(int32_t v) { Rec r{RecType::INTEGER, {}}; r.i = v; return r; }
inline Rec byte_rec(uint8_t v) { Rec r{RecType::BYTE, {}}; r.u = v; return r; }
inline Rec float32(float v) { Rec r{RecType::FLOAT32, {}}; r.f32 = v; return r; }
inline Rec float64(double v) { Rec r{RecType::FLOAT64, {}}; r.f64 = v; return r; }
inline Rec text(const char* v) { Rec r{RecType::TEXT, {}}; r.text = v; return r; }
// Any other record type prints its value as eight hexadecimal digits.
inline Rec hex8(uint32_t v) { Rec r{RecType::HEX, {}}; r.u = v; return r; }

void typed(std::initializer_list<Rec> recs, bool spacing);
inline void values(std::initializer_list<Rec> recs) { typed(recs, false); }
void print_line(std::initializer_list<Rec> recs);

void byte(uint8_t b);
void bytes(const char* text, int32_t n);
void char_literal(uint32_t b);
void integer_out(int32_t v);
void hex2_out(uint32_t v);
void hex8_out(uint32_t v);
void float64_out(double v);
void float32_out(float v);

bool cstring_equal(const char* a, const char* b);

// Print hooks. A value hook receives a string! cell and the line-end flag; a
// string hook receives raw text after the runtime wrote it.
using ValueHook = void (*)(const Cell* str, bool line_end);
using StringHook = void (*)(const char* text, int32_t length, int32_t zero);

void init_hooks();
void add_hooks(ValueHook vh, StringHook sh);
void remove_hooks(ValueHook vh, StringHook sh);
void call_value_hooks(const Cell* str, bool line_end);
void call_string_hooks(const char* text, int32_t length);
void default_value_hook(const Cell* str, bool line_end);
int32_t value_hook_count();
int32_t value_hook_capacity();

}  // namespace kro::print

namespace kro::floatx {
// Angle reduction for the trigonometric natives (mode 0, 1 or 2).
double degrees_to_radians(double angle, int32_t mode);
}  // namespace kro::floatx

namespace kro::build {
const char* date();
}  // namespace kro::build

namespace kro::tui {
// Bracket every runtime print so that a live terminal UI is not overwritten.
// They do nothing until the terminal GUI installs its handlers.
extern void (*suspend_for_print)();
extern void (*resume_after_print)();
}  // namespace kro::tui
