#include "foundation/print.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include "foundation/frame.hpp"
#include "foundation/heap.hpp"
#include "foundation/memory.hpp"
#include "foundation/platform/console_out.hpp"

namespace kro::tui {
void (*suspend_for_print)() = nullptr;
void (*resume_after_print)() = nullptr;
}  // namespace kro::tui

namespace kro::print {

namespace {

void suspend() {
    if (tui::suspend_for_print) tui::suspend_for_print();
}
void resume() {
    if (tui::resume_after_print) tui::resume_after_print();
}

// Number texts are written as they are formed; the string hooks see them too.
void write_number(const char* s, size_t n) {
    console::write_utf8(s, n);
    call_string_hooks(s, int32_t(n));
}

// Infinities and NaN are spelled as the language forms them (a NaN has no sign).
void write_float(double v, int digits) {
    if (std::isnan(v)) return write_number("1.#NaN", 6);
    if (std::isinf(v)) return write_number(v < 0 ? "-1.#INF" : "1.#INF", v < 0 ? 7 : 6);
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    write_number(buf, size_t(n));
}

struct HookList {
    void** items = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;

    void init() {
        capacity = 5;
        count = 0;
        items = static_cast<void**>(heap::alloc_zeroed(sizeof(void*) * size_t(capacity)));
    }
    void add(void* h) {
        if (!items) init();
        if (count == capacity) {
            auto* grown = static_cast<void**>(heap::alloc_zeroed(sizeof(void*) * size_t(capacity + 5)));
            std::memcpy(grown, items, sizeof(void*) * size_t(count));
            heap::free(items);
            items = grown;
            capacity += 5;
        }
        items[count++] = h;
    }
    void remove(void* h) {
        for (int32_t i = 0; i < count; i++) {
            if (items[i] == h) {
                std::memmove(items + i, items + i + 1, sizeof(void*) * size_t(count - i - 1));
                count--;
                return;
            }
        }
    }
};

HookList value_hooks;
HookList string_hooks;
bool in_string_hook = false;

}  // namespace

void byte(uint8_t b) {
    char c = char(b);
    console::write_text(&c, 1, 1, false);
    call_string_hooks(&c, 1);
}

void bytes(const char* text, int32_t n) {
    int32_t len = 0;
    while (len < n && text[len]) len++;
    console::write_utf8(text, size_t(len));
    call_string_hooks(text, len);
}

void char_literal(uint32_t b) {
    if (b > 255) rt_error::no_case_match();
    char buf[8];
    int n = 0;
    buf[n++] = '#';
    buf[n++] = '"';
    auto emit = [&](const char* s) {
        while (*s) buf[n++] = *s++;
    };
    static const char hex[] = "0123456789ABCDEF";
    if (b == 0) emit("^@");
    else if (b == 9) emit("^-");
    else if (b == 10) emit("^/");
    else if (b < 32) { buf[n++] = '^'; buf[n++] = char(64 + b); }  // 27 gives "^["
    else if (b < 128) buf[n++] = char(b);
    else { emit("^("); buf[n++] = hex[b >> 4]; buf[n++] = hex[b & 15]; buf[n++] = ')'; }
    buf[n++] = '"';
    write_number(buf, size_t(n));
}

void integer_out(int32_t v) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    write_number(buf, size_t(r.ptr - buf));
}

void hex2_out(uint32_t v) {
    char buf[16];
    int n = std::snprintf(buf, sizeof buf, "%02X", v);
    write_number(buf, size_t(n));
}

void hex8_out(uint32_t v) {
    char buf[16];
    int n = std::snprintf(buf, sizeof buf, "%08X", v);
    write_number(buf, size_t(n));
}

void float64_out(double v) { write_float(v, 16); }
void float32_out(float v) { write_float(double(v), 7); }

void typed(std::initializer_list<Rec> recs, bool spacing) {
    suspend();
    char last = 0;
    bool first = true;
    for (const Rec& r : recs) {
        if (spacing && !first && last != ' ' && last != '\n' && last != '\r' && last != '\t') byte(' ');
        first = false;
        switch (r.type) {
            case RecType::LOGIC: {
                const char* t = r.u ? "true" : "false";
                console::write_cstring(t);
                last = 'e';
                break;
            }
            case RecType::INTEGER: integer_out(r.i); last = '0'; break;
            case RecType::BYTE: byte(uint8_t(r.u)); last = char(r.u); break;
            case RecType::FLOAT32: float32_out(r.f32); last = '0'; break;
            case RecType::FLOAT64: float64_out(r.f64); last = '0'; break;
            case RecType::TEXT: {
                console::write_cstring(r.text);
                size_t n = std::strlen(r.text);
                last = n ? r.text[n - 1] : last;
                break;
            }
            default: hex8_out(r.u); last = '0'; break;
        }
    }
    resume();
}

void print_line(std::initializer_list<Rec> recs) {
    typed(recs, false);
    suspend();
    byte('\n');
    resume();
}

bool cstring_equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

void init_hooks() {
    value_hooks.init();
    string_hooks.init();
    add_hooks(&default_value_hook, nullptr);
}

void add_hooks(ValueHook vh, StringHook sh) {
    if (vh) value_hooks.add(reinterpret_cast<void*>(vh));
    if (sh) string_hooks.add(reinterpret_cast<void*>(sh));
}

void remove_hooks(ValueHook vh, StringHook sh) {
    if (vh) value_hooks.remove(reinterpret_cast<void*>(vh));
    if (sh) string_hooks.remove(reinterpret_cast<void*>(sh));
}

int32_t value_hook_count() { return value_hooks.count; }
int32_t value_hook_capacity() { return value_hooks.capacity; }

void call_value_hooks(const Cell* str, bool line_end) {
    for (int32_t i = 0; i < value_hooks.count; i++)
        reinterpret_cast<ValueHook>(value_hooks.items[i])(str, line_end);
}

void call_string_hooks(const char* text, int32_t length) {
    if (in_string_hook) return;  // a hook that prints must not recurse into itself
    in_string_hook = true;
    for (int32_t i = 0; i < string_hooks.count; i++)
        reinterpret_cast<StringHook>(string_hooks.items[i])(text, length, 0);
    in_string_hook = false;
}

void default_value_hook(const Cell* str, bool line_end) {
    suspend();
    const memory::Buffer* s = memory::buffer_of(str->data2);
    int unit = s->unit();
    size_t head = size_t(int32_t(str->data1) < 0 ? 0 : str->data1);
    // offset and tail are both measured from the data area's start.
    size_t start = size_t(s->offset) + head * size_t(unit);
    size_t n = start < s->tail ? s->tail - start : 0;
    switch (unit) {
        case 1: case 2: case 4:
            console::write_text(s->data() + start, n, unit, line_end);
            break;
        default:
            print_line({text("Error: unknown string encoding: "), integer(unit)});
            break;
    }
    resume();
}

}  // namespace kro::print

namespace kro::floatx {

double degrees_to_radians(double angle, int32_t mode) {
    double a = std::fmod(angle, 360.0);
    if (a > 180.0 || a < -180.0) a = a < 0 ? a + 360.0 : a - 360.0;
    if (a > 90.0 || a < -90.0) {
        if (mode == 0) a = a < 0 ? a + 180.0 : a - 180.0;
        else if (mode == 2) a = a < 0 ? -180.0 - a : 180.0 - a;
    }
    return a * std::numbers::pi / 180.0;
}

}  // namespace kro::floatx

namespace kro::build {
const char* date() { return KRO_BUILD_DATE; }
}  // namespace kro::build
