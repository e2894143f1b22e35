#include "datatypes/base_codecs.hpp"

#include <array>
#include <cstring>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/string_text.hpp"
#include "foundation/fire.hpp"
#include "foundation/memory.hpp"
#include "foundation/unicode.hpp"

namespace kro::binary {

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
constexpr char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char BASE58_ALPHABET[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

constexpr uint8_t SKIP = 0x40;
constexpr uint8_t BAD = 0x80;

// Decoding tables over the ASCII code points.
struct Tables {
    std::array<uint8_t, 128> hex{}, b64{}, b58{};
    constexpr Tables() {
        for (int i = 0; i < 128; i++) {
            hex[i] = 0xFF;
            b64[i] = BAD;
            b58[i] = BAD;
        }
        for (int i = 0; i < 10; i++) hex['0' + i] = uint8_t(i);
        for (int i = 0; i < 6; i++) {
            hex['A' + i] = uint8_t(10 + i);
            hex['a' + i] = uint8_t(10 + i);
        }
        for (int i = 0; i < 64; i++) b64[uint8_t(BASE64_ALPHABET[i])] = uint8_t(i);
        for (int i = 0; i < 58; i++) b58[uint8_t(BASE58_ALPHABET[i])] = uint8_t(i);
        for (int c : {8, 9, 10, 12, 13, 32, 39}) {
            b64[c] = SKIP;
            b58[c] = SKIP;
        }
    }
};
constexpr Tables TABLES;

// Reads a text of code points of one unit size, with ";" comments skipped.
class Reader {
public:
    Reader(const uint8_t* text, uint32_t count, int unit) : text_(text), count_(count), unit_(unit) {
        string::detail::check_unit(unit);
    }
    // The next code point outside comments, or false at the end.
    bool next(uint32_t* cp) {
        while (i_ < count_) {
            uint32_t c = string::get_char(text_ + uint64_t(i_++) * uint32_t(unit_), unit_);
            if (c != ';') {
                *cp = c;
                return true;
            }
            while (i_ < count_ && string::get_char(text_ + uint64_t(i_) * uint32_t(unit_), unit_) != '\n') i_++;
            if (i_ < count_) i_++;  // past the line feed
        }
        return false;
    }

private:
    const uint8_t* text_;
    uint32_t count_;
    int unit_;
    uint32_t i_ = 0;
};

Cell* answer(const std::vector<uint8_t>& bytes, Cell* out) {
    *out = of_bytes(bytes);
    return out;
}

Cell* answer_none(Cell* out) {
    *out = none::value;
    return out;
}

}  // namespace

// ---- encoders ---------------------------------------------------------------------------

uint8_t* encode_2(uint8_t* out, const uint8_t* in, uint32_t n) {
    for (uint32_t i = 0; i < n; i++)
        for (int bit = 7; bit >= 0; bit--) *out++ = uint8_t('0' + ((in[i] >> bit) & 1));
    return out;
}

uint8_t* encode_16(uint8_t* out, const uint8_t* in, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        *out++ = uint8_t(HEX_DIGITS[in[i] >> 4]);
        *out++ = uint8_t(HEX_DIGITS[in[i] & 15]);
    }
    return out;
}

uint8_t* encode_64(uint8_t* out, const uint8_t* in, uint32_t n) {
    uint32_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) *out++ = uint8_t(BASE64_ALPHABET[(v >> shift) & 63]);
    }
    uint32_t rest = n - i;
    if (rest) {
        uint32_t v = uint32_t(in[i]) << 16;
        if (rest == 2) v |= uint32_t(in[i + 1]) << 8;
        *out++ = uint8_t(BASE64_ALPHABET[(v >> 18) & 63]);
        *out++ = uint8_t(BASE64_ALPHABET[(v >> 12) & 63]);
        *out++ = rest == 2 ? uint8_t(BASE64_ALPHABET[(v >> 6) & 63]) : uint8_t('=');
        *out++ = '=';
    }
    return out;
}

uint8_t* encode_58(uint8_t* out, const uint8_t* in, uint32_t n) {
    uint32_t zeros = 0;
    while (zeros < n && in[zeros] == 0) zeros++;
    // Long division by 58 of the number the bytes form, the quotient kept in place.
    std::vector<uint8_t> number(in + zeros, in + n);
    std::vector<uint8_t> digits;  // least significant first
    size_t first = 0;
    while (first < number.size()) {
        uint32_t rem = 0;
        for (size_t k = first; k < number.size(); k++) {
            uint32_t acc = (rem << 8) | number[k];
            number[k] = uint8_t(acc / 58);
            rem = acc % 58;
        }
        digits.push_back(uint8_t(rem));
        while (first < number.size() && number[first] == 0) first++;
    }
    for (uint32_t k = 0; k < zeros; k++) *out++ = '1';
    for (size_t k = digits.size(); k-- > 0;) *out++ = uint8_t(BASE58_ALPHABET[digits[k]]);
    return out;
}

// ---- decoders ------------------------------------------------------------------------------

Cell* decode_2(const uint8_t* text, uint32_t count, int unit, Cell* out) {
    Reader r(text, count, unit);
    std::vector<uint8_t> bytes;
    bytes.reserve(count / 8);
    uint32_t cp, acc = 0, bits = 0;
    while (r.next(&cp)) {
        if (cp <= 32) continue;
        if (cp != '0' && cp != '1') return answer_none(out);
        acc = (acc << 1) | (cp - '0');
        if (++bits == 8) {
            bytes.push_back(uint8_t(acc));
            acc = 0;
            bits = 0;
        }
    }
    if (bits) return answer_none(out);
    return answer(bytes, out);
}

Cell* decode_16(const uint8_t* text, uint32_t count, int unit, Cell* out) {
    Reader r(text, count, unit);
    std::vector<uint8_t> bytes;
    bytes.reserve(count / 2);
    uint32_t cp, high = 0;
    bool pending = false;
    while (r.next(&cp)) {
        if (cp <= 32) continue;
        // Only ASCII digits count: a wider character must not alias to one.
        uint8_t v = cp < 128 ? TABLES.hex[cp] : 0xFF;
        if (v > 15) return answer_none(out);
        if (pending) {
            bytes.push_back(uint8_t((high << 4) | v));
        } else {
            high = v;
        }
        pending = !pending;
    }
    return answer(bytes, out);
}

Cell* decode_64(const uint8_t* text, uint32_t count, int unit, Cell* out) {
    Reader r(text, count, unit);
    std::vector<uint8_t> bytes;
    bytes.reserve((uint64_t(count) * 3 + 9) / 4);
    uint32_t cp, acc = 0, pending = 0;
    while (r.next(&cp)) {
        if (cp == '=') {
            if (pending == 3) {
                bytes.push_back(uint8_t(acc >> 10));
                bytes.push_back(uint8_t(acc >> 2));
            } else if (pending == 2) {
                bytes.push_back(uint8_t(acc >> 4));
            } else {
                return answer_none(out);
            }
            return answer(bytes, out);
        }
        // The table covers ASCII only; anything wider is not base 64.
        uint8_t v = cp < 128 ? TABLES.b64[cp] : BAD;
        if (v == SKIP) continue;
        if (v == BAD) return answer_none(out);
        acc = (acc << 6) | v;
        if (++pending == 4) {
            bytes.push_back(uint8_t(acc >> 16));
            bytes.push_back(uint8_t(acc >> 8));
            bytes.push_back(uint8_t(acc));
            acc = 0;
            pending = 0;
        }
    }
    return answer(bytes, out);
}

Cell* decode_58(const uint8_t* text, uint32_t count, int unit, Cell* out) {
    Reader r(text, count, unit);
    std::vector<uint8_t> digits;
    uint32_t cp;
    while (r.next(&cp)) {
        if (cp > 127) break;
        uint8_t v = TABLES.b58[cp];
        if (v == SKIP) continue;
        if (v == BAD) return answer_none(out);
        digits.push_back(v);
    }
    size_t zeros = 0;
    while (zeros < digits.size() && digits[zeros] == 0) zeros++;
    // Long division by 256 of the base-58 number, the quotient kept in place.
    std::vector<uint8_t> low_first;
    size_t first = zeros;
    while (first < digits.size()) {
        uint32_t rem = 0;
        for (size_t k = first; k < digits.size(); k++) {
            uint32_t acc = rem * 58 + digits[k];
            digits[k] = uint8_t(acc / 256);
            rem = acc % 256;
        }
        low_first.push_back(uint8_t(rem));
        while (first < digits.size() && digits[first] == 0) first++;
    }
    std::vector<uint8_t> bytes(zeros, 0);
    for (size_t k = low_first.size(); k-- > 0;) bytes.push_back(low_first[k]);
    return answer(bytes, out);
}

// ---- the natives' work ------------------------------------------------------------------------

namespace {

[[noreturn]] void bad_base(int32_t base) {
    Cell b = string::detail::int_cell(base);
    fire("script", "invalid-arg", &b);
}

bool known_base(int32_t base) { return base == 2 || base == 16 || base == 58 || base == 64; }

}  // namespace

Cell* enbase(const Cell* value, int32_t base, Cell* out) {
    if (!known_base(base)) bad_base(base);
    std::vector<uint8_t> in;
    Cell v = *value;
    if (v.is(TYPE_BINARY) || series::is_text_kind(v.type()))
        from_value(in, &v, -1, false, Mode::STRICT);
    else
        fire("script", "invalid-arg", value);
    uint64_t n = in.size();
    uint64_t room;
    switch (base) {
        case 64: room = (n / 3) * 4 + ((n % 3) * 4) / 3 + (n / 32) * 2 + 5; break;
        case 58: room = 2 * n; break;
        case 16: room = 2 * n + n / 32 + 32; break;
        default: room = 8 * n + (n / 8) * 2 + 4; break;
    }
    if (room > 0x7FFFFFF0u) fire("internal", "no-memory");
    Cell s;
    string::make_at(&s, uint32_t(room ? room : 1), 1);
    memory::Buffer* b = memory::buffer_of(s.data2);
    uint8_t* start = b->tail_ptr();
    uint8_t* end;
    switch (base) {
        case 64: end = encode_64(start, in.data(), uint32_t(n)); break;
        case 58: end = encode_58(start, in.data(), uint32_t(n)); break;
        case 16: end = encode_16(start, in.data(), uint32_t(n)); break;
        default: end = encode_2(start, in.data(), uint32_t(n)); break;
    }
    b->tail += uint32_t(end - start);
    *out = s;
    return out;
}

Cell* debase(const Cell* text, int32_t base, Cell* out) {
    if (!known_base(base)) bad_base(base);
    if (!series::is_text_kind(text->type())) fire("script", "invalid-arg", text);
    string::detail::Text t = string::detail::text_of(text);
    const uint8_t* p = t.at(0);
    switch (base) {
        case 64: return decode_64(p, t.count, t.unit, out);
        case 58: return decode_58(p, t.count, t.unit, out);
        case 16: return decode_16(p, t.count, t.unit, out);
        default: return decode_2(p, t.count, t.unit, out);
    }
}

}  // namespace kro::binary
