// The checksum, compress and decompress natives (slots 87, 103, 104): fronts
// that take the bytes of the data (a file read whole, a string as UTF-8, a
// binary from its head), check the method word and shape the codec's answer.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/file.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/support.hpp"
#include "interpreter/natives.hpp"
#include "io/checksum.hpp"
#include "io/compress.hpp"
#include "io/simple_io.hpp"

namespace kro::natives {

namespace {

constexpr int32_t CHECKSUM = 87, COMPRESS = 103, DECOMPRESS = 104;

// The largest result decompress makes: a buffer past it would hold most of the heap.
constexpr size_t DECODE_LIMIT = compress::DEFAULT_LIMIT;
// DEFLATE cannot expand its input by more than about 1032 times, so an
// expected size beyond that is no reason to reserve memory.
constexpr size_t MAX_RATIO = 1032;

// The bytes a value stands for: a binary's own (nothing allocates on the heap
// while they are read), or bytes made for a file or a text.
struct Bytes {
    std::vector<uint8_t> held;
    const uint8_t* start = nullptr;
    size_t count = 0;
    const uint8_t* data() const { return start ? start : held.data(); }
    size_t size() const { return start ? count : held.size(); }
};

[[noreturn]] void argument_not_allowed(const Cell* value, int32_t index) {
    Cell name = args::call_name();
    Cell dt{uint32_t(TYPE_DATATYPE), uint32_t(value->type()), 0, 0};
    Cell word = args::argument_word(index);
    fire("script", "expect-arg", &name, &dt, &word);
}

// A binary from its head, a file's whole content, or any other string kind as UTF-8.
Bytes bytes_of(const Cell* value, int32_t index, bool files) {
    Bytes b;
    if (value->is(TYPE_BINARY)) {
        Cell view = *value;
        b.count = binary::ks_length(&view);
        b.start = binary::ks_head(&view);
    } else if (files && value->is(TYPE_FILE)) {
        std::optional<std::string> path = file::to_os_path(value);
        std::optional<std::vector<uint8_t>> content;
        if (path) content = simple_io::read_file(*path);
        if (!content) fire("access", "cannot-open", value);
        b.held = std::move(*content);
    } else if (series::is_text_kind(value->type())) {
        std::string text = string::to_utf8(value);
        b.held.assign(text.begin(), text.end());
    } else {
        argument_not_allowed(value, index);
    }
    return b;
}

std::string_view method_name(const Cell* method) {
    if (!method->is(TYPE_WORD)) fire("script", "invalid-arg", method);
    return symbol::name(int32_t(method->data2));
}

bool same_name(std::string_view a, const char* b) {
    std::string_view c(b);
    if (a.size() != c.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = c[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

inline Flow integer_result(uint32_t bits) {
    Cell r{uint32_t(TYPE_INTEGER), 0, bits, 0};
    return result(&r);
}

Flow binary_result(const std::vector<uint8_t>& bytes) {
    if (bytes.size() > 0xF0000000u) fire("internal", "no-memory");
    Cell out;
    binary::load_in(bytes.data(), uint32_t(bytes.size()), &out);
    return result(&out);
}

// ---- checksum --------------------------------------------------------------------------------

// refs: /with (its spec argument).
Flow checksum_native(const int32_t* refs) {
    const Cell* data = arg(0);
    const Cell* method = arg(1);
    const Cell* spec = ref_arg(refs, 0);
    std::string_view name = method_name(method);
    if (!checksum::is_method(name)) fire("script", "invalid-arg", method);
    int id = checksum::method_id(name);
    bool adler = same_name(name, "adler32");
    if (id < 0 && !adler) {
        // the `hash` method has no algorithm yet: the stub says so, and there is no result
        checksum::hash_stub();
        return result(&none::value);
    }
    if (adler || id == checksum::CRC32 || id == checksum::TCP) {
        if (spec) series::bad_refinement("with", method);
        Bytes in = bytes_of(data, 0, true);
        uint32_t sum = adler                   ? checksum::adler32(in.data(), in.size())
                       : id == checksum::CRC32 ? checksum::crc32(in.data(), in.size())
                                               : checksum::tcp(in.data(), in.size());
        return integer_result(sum);
    }
    Bytes in = bytes_of(data, 0, true);
    if (!spec) return binary_result(checksum::crypto_hash(in.data(), in.size(), id));
    // a keyed digest takes a key of text or bytes; a number says nothing here
    if (!(spec->is(TYPE_BINARY) || series::is_text_kind(spec->type()))) series::bad_refinement("with", spec);
    Bytes key = bytes_of(spec, refs[0], false);
    std::optional<std::vector<uint8_t>> digest = checksum::keyed_hash(in.data(), in.size(), key.data(), key.size(), name);
    if (!digest) rt_error::fatal(101, KRO_CAPTURE_SITE());  // every method left here has a digest
    return binary_result(*digest);
}

// ---- compress and decompress ---------------------------------------------------------------------

compress::Method method_of(const Cell* method) {
    std::optional<compress::Method> m = compress::method_of(method_name(method));
    if (!m) fire("script", "invalid-arg", method);
    return *m;
}

Flow compress_native(const int32_t*) {
    compress::Method m = method_of(arg(1));
    Bytes in = bytes_of(arg(0), 0, false);
    return binary_result(compress::encode(m, in.data(), in.size()));
}

// refs: /size (its sz argument).
Flow decompress_native(const int32_t* refs) {
    const Cell* data = arg(0);
    compress::Method m = method_of(arg(1));
    if (!data->is(TYPE_BINARY)) argument_not_allowed(data, 0);
    Bytes in = bytes_of(data, 0, false);
    // The expected size is a first guess only: one below the input's length is
    // replaced by the codec's own, gzip's trailer gives its own, and one beyond
    // what the input can expand to is cut there.
    size_t hint = 0;
    if (const Cell* sz = ref_arg(refs, 0); sz && m != compress::Method::GZIP) {
        int32_t expected = float_to_int(sz);
        if (expected >= 0 && size_t(expected) >= in.size())
            hint = std::min(size_t(expected), in.size() * MAX_RATIO + 64);
    }
    std::vector<uint8_t> out;
    int r = compress::decode(m, in.data(), in.size(), out, DECODE_LIMIT, hint);
    if (r == deflate::TOO_SMALL) fire("internal", "no-memory");  // decodes to more than a series may hold
    if (r != deflate::OK) fire("script", "invalid-data", data);
    return binary_result(out);
}

void install() {
    set_fn(CHECKSUM, &checksum_native);
    set_fn(COMPRESS, &compress_native);
    set_fn(DECOMPRESS, &decompress_native);
}

}  // namespace

KRO_NATIVE_GROUP(install);

}  // namespace kro::natives
