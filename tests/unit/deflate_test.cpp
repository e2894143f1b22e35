// DEFLATE with zlib and gzip framing: exact compressor output, decoding of
// foreign streams (embedded, and made by python3 and gzip when present), the
// size protocol, malformed streams, and a short fuzz of the decoders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "io/checksum.hpp"
#include "io/compress.hpp"
#include "io/deflate.hpp"

using namespace kro;
using compress::Method;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes unhex(const std::string& h) {
    Bytes v;
    for (size_t i = 0; i + 1 < h.size(); i += 2) v.push_back(uint8_t(std::stoul(h.substr(i, 2), nullptr, 16)));
    return v;
}

std::string hex(const Bytes& v) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : v) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

struct Rng {
    uint64_t s;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return uint32_t(s >> 11);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

Bytes random_bytes(size_t n, uint64_t seed) {
    Rng r{seed};
    Bytes v(n);
    for (auto& b : v) b = uint8_t(r.next());
    return v;
}

// Words drawn from a small vocabulary: text that compresses with many matches.
Bytes text_bytes(size_t n, uint64_t seed) {
    static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dog ", "series ",
                                  "block ", "value ", "cell ", "word ", "\n", "compress ", "stream ", "of ", "a "};
    Rng r{seed};
    Bytes v;
    while (v.size() < n) {
        const char* w = words[r.below(sizeof words / sizeof *words)];
        v.insert(v.end(), w, w + std::strlen(w));
    }
    v.resize(n);
    return v;
}

Bytes runs_bytes(size_t n, uint64_t seed) {
    Rng r{seed};
    Bytes v;
    while (v.size() < n) v.insert(v.end(), 1 + r.below(600), uint8_t(r.below(4)));
    v.resize(n);
    return v;
}

// The test corpus: small and large, compressible and not, with long matches.
std::vector<Bytes> corpus() {
    Bytes mixed = text_bytes(60000, 5);
    Bytes rnd = random_bytes(40000, 6);
    Bytes runs = runs_bytes(50000, 7);
    mixed.insert(mixed.end(), rnd.begin(), rnd.end());
    mixed.insert(mixed.end(), runs.begin(), runs.end());
    return {{}, bytes_of("a"), bytes_of("abcabcabc"), text_bytes(1000, 1), text_bytes(50000, 2),
            random_bytes(70000, 3), runs_bytes(100000, 4), Bytes(70000, 0), mixed};
}

int decode_with(Method m, const Bytes& in, Bytes& out, size_t limit = compress::DEFAULT_LIMIT) {
    return compress::decode(m, in.data(), in.size(), out, limit);
}

// Decodes with a buffer of exactly the capacity given; guard bytes behind it
// must come back untouched.
int decode_into(Method m, const Bytes& in, size_t cap, size_t& size, Bytes* out = nullptr) {
    Bytes buf(cap + 64, 0xA5);
    size = cap;
    int r = m == Method::ZLIB   ? compress::zlib_decode(buf.data(), size, in.data(), in.size())
            : m == Method::GZIP ? compress::gzip_decode(buf.data(), size, in.data(), in.size())
                                : deflate::inflate(buf.data(), size, in.data(), in.size());
    for (size_t i = cap; i < buf.size(); i++)
        if (buf[i] != 0xA5) {
            ADD_FAILURE() << "write past the capacity at " << i;
            break;
        }
    if (out) out->assign(buf.begin(), buf.begin() + std::min(size, cap));
    return r;
}

// A bit writer for hand-made streams: values least significant bit first,
// Huffman codes most significant bit first.
struct Bits {
    Bytes out;
    uint32_t acc = 0;
    int n = 0;
    void put(uint32_t v, int k) {
        for (int i = 0; i < k; i++) {
            acc |= ((v >> i) & 1) << n;
            if (++n == 8) {
                out.push_back(uint8_t(acc));
                acc = 0;
                n = 0;
            }
        }
    }
    void code(uint32_t c, int len) {
        for (int i = len - 1; i >= 0; i--) put((c >> i) & 1, 1);
    }
    Bytes done() {
        if (n) out.push_back(uint8_t(acc));
        acc = 0;
        n = 0;
        return out;
    }
};

void fixed_symbol(Bits& b, int sym) {
    if (sym < 144) b.code(0x30 + sym, 8);
    else if (sym < 256) b.code(0x190 + sym - 144, 9);
    else if (sym < 280) b.code(sym - 256, 7);
    else b.code(0xC0 + sym - 280, 8);
}

std::vector<uint32_t> canonical(const std::vector<int>& len) {
    int count[16] = {};
    for (int l : len) count[l]++;
    count[0] = 0;
    uint32_t next[16] = {}, code = 0;
    for (int b = 1; b < 16; b++) {
        code = (code + count[b - 1]) << 1;
        next[b] = code;
    }
    std::vector<uint32_t> codes(len.size());
    for (size_t s = 0; s < len.size(); s++)
        if (len[s]) codes[s] = next[len[s]]++;
    return codes;
}

// One item of a hand-made dynamic block's payload.
struct Tok {
    char kind;  // 'L' literal/length symbol, 'D' distance symbol, 'X' raw bits
    uint32_t value;
    int bits = 0;
};

// A final dynamic block. The code-length code gives symbols 0-12 four bits
// and 13-18 five bits; cl, when given, replaces the written code lengths
// (pairs of a code-length symbol and its extra bits).
Bytes dynamic_block(const std::vector<int>& lit, const std::vector<int>& dist, const std::vector<Tok>& payload,
                    const std::vector<std::pair<int, uint32_t>>* cl = nullptr) {
    static const int ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::vector<int> cl_len(19);
    for (int s = 0; s < 19; s++) cl_len[size_t(s)] = s <= 12 ? 4 : 5;
    std::vector<uint32_t> cl_code = canonical(cl_len);
    Bits b;
    b.put(1, 1);
    b.put(2, 2);
    b.put(uint32_t(lit.size() - 257), 5);
    b.put(uint32_t(dist.size() - 1), 5);
    b.put(19 - 4, 4);
    for (int i = 0; i < 19; i++) b.put(uint32_t(cl_len[size_t(ORDER[i])]), 3);
    auto put_cl = [&](int sym, uint32_t extra) {
        b.code(cl_code[size_t(sym)], cl_len[size_t(sym)]);
        if (sym == 16) b.put(extra, 2);
        if (sym == 17) b.put(extra, 3);
        if (sym == 18) b.put(extra, 7);
    };
    if (cl) {
        for (auto [sym, extra] : *cl) put_cl(sym, extra);
    } else {
        for (int l : lit) put_cl(l, 0);
        for (int l : dist) put_cl(l, 0);
    }
    std::vector<uint32_t> lc = canonical(lit), dc = canonical(dist);
    for (const Tok& t : payload) {
        if (t.kind == 'L') b.code(lc[t.value], lit[t.value]);
        else if (t.kind == 'D') b.code(dc[t.value], dist[t.value]);
        else b.put(t.value, t.bits);
    }
    return b.done();
}

bool have_tool(const std::string& name) { return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0; }

struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/kro-deflate-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const Bytes& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

const Bytes FOREIGN_TEXT = bytes_of(
    "The quick brown fox jumps over the lazy dog. The quick brown fox jumps over the lazy dog. "
    "The quick brown fox jumps over the lazy dog. Pack my box with five dozen liquor jugs; pack it again, pack it well!");

}  // namespace

// The compressor's bytes are fixed by its algorithm: one fixed-code block,
// first matching candidate of a 4-way hash bucket, matches from the 4th byte.
TEST(Deflate, CompressorOutputIsExact) {
    struct Case {
        Method m;
        std::string in;
        const char* out;
    } cases[] = {
        {Method::DEFLATE, "", "0300"},
        {Method::ZLIB, "", "7801030000000001"},
        {Method::GZIP, "", "1F8B080000000000040403000000000000000000"},
        {Method::DEFLATE, "a", "4B0400"},
        {Method::ZLIB, "a", "78014B040000620062"},
        // three literals, then 258 at distance 1 and 258, 258, 223 at distance 258
        {Method::DEFLATE, std::string(1000, 'a'), "4B4C4C1C05A321301A02C33C0400"},
        // the input start is a match candidate like any other position
        {Method::DEFLATE, "abcabcabc", "4B4C4A862000"},
    };
    for (const Case& c : cases) {
        Bytes in = bytes_of(c.in);
        EXPECT_EQ(hex(compress::encode(c.m, in.data(), in.size())), c.out) << c.in.size();
    }
}

TEST(Deflate, RoundTripsTheCorpusInEveryFraming) {
    for (const Bytes& in : corpus())
        for (Method m : {Method::DEFLATE, Method::ZLIB, Method::GZIP}) {
            Bytes packed = compress::encode(m, in.data(), in.size());
            EXPECT_LE(packed.size(), deflate::deflate_bound(in.size()) + 18);
            Bytes out;
            ASSERT_EQ(decode_with(m, packed, out), deflate::OK) << in.size();
            EXPECT_EQ(out, in);
        }
}

TEST(Deflate, GzipOfGzipDataRoundTrips) {
    Bytes in = bytes_of("hello, hello, hello");
    Bytes once = compress::encode(Method::GZIP, in.data(), in.size());
    Bytes twice = compress::encode(Method::GZIP, once.data(), once.size());
    EXPECT_NE(twice, once);
    Bytes out;
    ASSERT_EQ(decode_with(Method::GZIP, twice, out), deflate::OK);
    EXPECT_EQ(out, once);
}

// Streams made by another implementation: dynamic, stored and fixed blocks,
// a zlib frame at level 9, and a gzip header with every optional field.
TEST(Deflate, DecodesEmbeddedForeignStreams) {
    struct Case {
        const char* name;
        Method m;
        const char* stream;
    } cases[] = {
        {"dynamic", Method::DEFLATE,
         "B5CB411644301084E1AB94BD3717984B58B840CCB468224D24224EAF6DDCC0B2DEFF553B10D6C4BF095D90ECD1CB8131CDCB06D929206A"
         "76E62CF88BFDA07D0D3746DD5CD029CA1C07F4BC93A6933C1CAF49827EEDF6C572438E30D6B0AF9F99C9B9EA02"},
        {"stored", Method::DEFLATE,
         "01CC0033FF54686520717569636B2062726F776E20666F78206A756D7073206F76657220746865206C617A7920646F672E2054686520717"
         "569636B2062726F776E20666F78206A756D7073206F76657220746865206C617A7920646F672E2054686520717569636B2062726F776E20"
         "666F78206A756D7073206F76657220746865206C617A7920646F672E205061636B206D7920626F782077697468206669766520646F7A656E"
         "206C6971756F72206A7567733B207061636B20697420616761696E2C207061636B2069742077656C6C21"},
        {"fixed", Method::DEFLATE,
         "0BC94855282CCD4CCE56482ACA2FCF5348CBAF50C82ACD2D2856C82F4B2D5228014AE72456552AA4E4A7EB2984D04C714022505D6EA542"
         "12505179664986425A66592A50AA2A354F2127B3B034BF08A837BDD85AA100A430B34421313D31334F07CE2D4FCDC9510400"},
        {"zlib level 9", Method::ZLIB,
         "78DAB5CB411644301084E1AB94BD3717984B58B840CCB468224D24224EAF6DDCC0B2DEFF553B10D6C4BF095D90ECD1CB8131CDCB06D92920"
         "6A76E62CF88BFDA07D0D3746DD5CD029CA1C07F4BC93A6933C1CAF49827EEDF6C572438E30D6B0AF9F99C9B9EA026A7048D3"},
        {"gzip with extra, name, comment and header CRC", Method::GZIP,
         "1F8B081E00000000000306004142020068696E616D652E747874006120636F6D6D656E740034E2B5CB411644301084E1AB94BD3717984B"
         "58B840CCB468224D24224EAF6DDCC0B2DEFF553B10D6C4BF095D90ECD1CB8131CDCB06D929206A76E62CF88BFDA07D0D3746DD5CD029CA"
         "1C07F4BC93A6933C1CAF49827EEDF6C572438E30D6B0AF9F99C9B9EA029CF419D5CC000000"},
    };
    for (const Case& c : cases) {
        Bytes out;
        ASSERT_EQ(decode_with(c.m, unhex(c.stream), out), deflate::OK) << c.name;
        EXPECT_EQ(out, FOREIGN_TEXT) << c.name;
    }
}

// The size protocol: too small a buffer answers the exact size needed and is
// never written past; a second call with that size succeeds.
TEST(Deflate, TooSmallBufferAnswersExactSize) {
    Bytes in = text_bytes(20000, 9);
    for (Method m : {Method::DEFLATE, Method::ZLIB, Method::GZIP}) {
        Bytes packed = compress::encode(m, in.data(), in.size());
        for (size_t cap : {size_t(0), size_t(1), size_t(100), in.size() - 1}) {
            size_t size;
            EXPECT_EQ(decode_into(m, packed, cap, size), deflate::TOO_SMALL) << cap;
            EXPECT_EQ(size, in.size());
        }
        size_t size;
        Bytes out;
        EXPECT_EQ(decode_into(m, packed, in.size(), size, &out), deflate::OK);
        EXPECT_EQ(out, in);
    }
    // The encoders likewise.
    for (size_t cap : {size_t(18), size_t(100), size_t(1000)}) {
        Bytes want = compress::encode(Method::GZIP, in.data(), in.size());
        Bytes buf(cap + 16, 0x5A);
        size_t size = cap;
        EXPECT_EQ(compress::gzip_encode(buf.data(), size, in.data(), in.size()), deflate::TOO_SMALL);
        EXPECT_EQ(size, want.size());
        for (size_t i = cap; i < buf.size(); i++) ASSERT_EQ(buf[i], 0x5A) << i;
        // What was written is the start of the real output (the trailer's room stays unwritten).
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + long(cap - 8), want.begin()));
    }
    // No room even for the framing.
    size_t size = 5;
    Bytes buf(5);
    EXPECT_EQ(compress::zlib_encode(buf.data(), size, in.data(), in.size()), deflate::BAD_DATA);
    EXPECT_EQ(size, in.size() + 6);
    size = 17;
    buf.resize(17);
    EXPECT_EQ(compress::gzip_encode(buf.data(), size, in.data(), in.size()), deflate::BAD_DATA);
    EXPECT_EQ(size, in.size() + 18);
}

TEST(Deflate, DecodeRespectsLimit) {
    Bytes in(1 << 20, 'x');
    for (Method m : {Method::DEFLATE, Method::ZLIB, Method::GZIP}) {
        Bytes packed = compress::encode(m, in.data(), in.size());
        Bytes out;
        EXPECT_EQ(decode_with(m, packed, out, 1000), deflate::TOO_SMALL);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(decode_with(m, packed, out, in.size()), deflate::OK);
        EXPECT_EQ(out, in);
    }
    // A gzip trailer claiming 4 GB is checked against the stream, not believed.
    Bytes g = compress::encode(Method::GZIP, in.data(), 10);
    g[g.size() - 1] = 0xFF;
    size_t size;
    EXPECT_EQ(decode_into(Method::GZIP, g, 100, size), deflate::BAD_DATA);
    EXPECT_EQ(decode_into(Method::GZIP, g, 5, size), deflate::BAD_DATA);
}

// Hand-made streams: each fault is reported, none is read or written out of bounds.
TEST(Deflate, RejectsMalformedRawStreams) {
    auto fixed = [](std::initializer_list<int> syms, bool final = true) {
        Bits b;
        b.put(final, 1);
        b.put(1, 2);
        for (int s : syms) {
            if (s >= 1000) b.code(uint32_t(s - 1000), 5);  // distance symbol s - 1000
            else fixed_symbol(b, s);
        }
        return b.done();
    };
    struct Case {
        const char* name;
        Bytes in;
        int code;
    } cases[] = {
        {"empty input", {}, deflate::BAD_DATA},
        {"block type 3", {0x07, 0x00}, deflate::BAD_BLOCK_TYPE},
        {"stored block longer than the input", {0x01, 0x0A, 0x00, 0xF5, 0xFF, 'a', 'b'}, deflate::STORED_TOO_LONG},
        {"stored block with a wrong NLEN", {0x01, 0x02, 0x00, 0x00, 0x00, 'a', 'b'}, deflate::BAD_DATA},
        {"stored header cut short", {0x01, 0x02, 0x00}, deflate::BAD_DATA},
        {"no final block", {0x00, 0x01, 0x00, 0xFE, 0xFF, 'a'}, deflate::BAD_DATA},
        {"fixed block without a final one", fixed({'a', 256}, false), deflate::BAD_DATA},
        {"fixed block cut before its end code", fixed({'a', 'b'}), deflate::BAD_DATA},
        {"distance before the output start", fixed({'a', 257, 1001, 256}), deflate::BAD_DISTANCE},
        {"distance into the output start", fixed({257, 1000, 256}), deflate::BAD_DISTANCE},
        {"length symbol 286", fixed({'a', 286, 1000, 256}), deflate::BAD_DATA},
        {"length symbol 287", fixed({'a', 287, 1000, 256}), deflate::BAD_DATA},
        {"distance symbol 30", fixed({'a', 'b', 257, 1030, 256}), deflate::BAD_DATA},
        {"distance symbol 31", fixed({'a', 'b', 257, 1031, 256}), deflate::BAD_DATA},
    };
    for (Case& c : cases) {
        size_t size;
        EXPECT_EQ(decode_into(Method::DEFLATE, c.in, 64, size), c.code) << c.name;
    }
    // Trailing bytes after the final block are ignored.
    Bytes ok = fixed({'h', 'i', 256});
    ok.push_back(0xEE);
    Bytes out;
    size_t size;
    EXPECT_EQ(decode_into(Method::DEFLATE, ok, 64, size, &out), deflate::OK);
    EXPECT_EQ(out, bytes_of("hi"));
}

TEST(Deflate, DynamicBlockCodeSets) {
    // 'a' then length 3 at distance 1: "aaaa".
    std::vector<int> lit(257 + 1, 0);
    lit[97] = 2;
    lit[256] = 2;
    lit[257] = 1;
    std::vector<Tok> payload = {{'L', 97}, {'L', 257}, {'D', 0}, {'L', 256}};
    Bytes out;
    size_t size;

    // A single distance code of one bit is allowed (the other code is unused).
    EXPECT_EQ(decode_into(Method::DEFLATE, dynamic_block(lit, {1}, payload), 64, size, &out), deflate::OK);
    EXPECT_EQ(out, bytes_of("aaaa"));
    // ...but the unused code itself is not a symbol.
    std::vector<Tok> unused = {{'L', 97}, {'L', 257}, {'X', 1, 1}, {'L', 256}};
    EXPECT_EQ(decode_into(Method::DEFLATE, dynamic_block(lit, {1}, unused), 64, size), deflate::BAD_DATA);
    // No distance codes at all: literals decode, a match does not.
    std::vector<Tok> literals = {{'L', 97}, {'L', 97}, {'L', 256}};
    EXPECT_EQ(decode_into(Method::DEFLATE, dynamic_block(lit, {0}, literals), 64, size, &out), deflate::OK);
    EXPECT_EQ(out, bytes_of("aa"));
    std::vector<Tok> match_without_codes = {{'L', 97}, {'L', 257}, {'X', 0, 1}, {'L', 256}};
    EXPECT_EQ(decode_into(Method::DEFLATE, dynamic_block(lit, {0}, match_without_codes), 64, size), deflate::BAD_DATA);

    struct Case {
        const char* name;
        std::map<int, int> lengths;
        std::vector<int> dist;
    } bad_sets[] = {
        {"over-subscribed literal code", {{97, 1}, {256, 1}, {257, 1}}, {1}},
        {"incomplete literal code", {{97, 2}, {256, 2}, {257, 2}}, {1}},
        {"no end-of-block code", {{97, 1}, {257, 1}}, {1}},
        {"over-subscribed distance code", {{97, 2}, {256, 2}, {257, 1}}, {1, 1, 1}},
        {"incomplete distance code", {{97, 2}, {256, 2}, {257, 1}}, {2, 2, 2}},
    };
    for (const Case& c : bad_sets) {
        std::vector<int> l(258, 0);
        for (auto [s, n] : c.lengths) l[size_t(s)] = n;
        // A payload that would decode if the set were taken.
        std::vector<Tok> a_end = {{'L', 97}, {'L', 256}};
        EXPECT_EQ(decode_into(Method::DEFLATE, dynamic_block(l, c.dist, a_end), 64, size), deflate::BAD_DATA) << c.name;
    }

    // Counts and repeats are bounded.
    std::vector<int> too_many(287, 0);
    too_many[97] = 2;
    too_many[256] = 2;
    too_many[257] = 1;
    EXPECT_EQ(decode_into(Method::DEFLATE, dynamic_block(too_many, {1}, payload), 64, size), deflate::BAD_DATA);
    // Valid lengths, then a repeat of the last one running two entries past the end.
    std::vector<std::pair<int, uint32_t>> past_end = {{18, 86}, {2, 0}, {18, 127}, {18, 9}, {2, 0}, {1, 0}, {16, 0}};
    EXPECT_EQ(decode_into(Method::DEFLATE, dynamic_block(lit, {1}, payload, &past_end), 64, size), deflate::BAD_DATA);
    std::vector<std::pair<int, uint32_t>> repeat_first = {{16, 0}};
    EXPECT_EQ(decode_into(Method::DEFLATE, dynamic_block(lit, {1}, payload, &repeat_first), 64, size),
              deflate::BAD_DATA);
    // The same lengths written with repeat codes decode as before.
    std::vector<std::pair<int, uint32_t>> with_repeats = {{18, 86}, {2, 0}, {18, 127}, {18, 9},
                                                          {2, 0},   {1, 0}, {1, 0}};
    EXPECT_EQ(decode_into(Method::DEFLATE, dynamic_block(lit, {1}, payload, &with_repeats), 64, size, &out),
              deflate::OK);
    EXPECT_EQ(out, bytes_of("aaaa"));
}

TEST(Deflate, RejectsMalformedFrames) {
    Bytes text = bytes_of("framing test framing test");
    Bytes z = compress::encode(Method::ZLIB, text.data(), text.size());
    Bytes g = compress::encode(Method::GZIP, text.data(), text.size());
    auto with = [](Bytes b, size_t at, uint8_t v) {
        b[at] = v;
        return b;
    };
    auto gzip_header = [&](uint8_t flags, const Bytes& fields) {
        Bytes b = g;
        b[3] = flags;
        b.insert(b.begin() + 10, fields.begin(), fields.end());
        return b;
    };
    struct Case {
        const char* name;
        Method m;
        Bytes in;
    } cases[] = {
        {"zlib of one byte", Method::ZLIB, {0x01}},
        {"zlib of five bytes", Method::ZLIB, {0x78, 0x01, 0x03, 0x00, 0x00}},
        {"zlib header check", Method::ZLIB, with(z, 1, 0x02)},
        {"zlib method 7", Method::ZLIB, with(with(z, 0, 0x77), 1, 0x20)},
        {"zlib window above 32K", Method::ZLIB, with(with(z, 0, 0x88), 1, 0x1C)},
        {"zlib preset dictionary", Method::ZLIB, with(z, 1, 0x20)},
        {"zlib wrong Adler-32", Method::ZLIB, with(z, z.size() - 1, uint8_t(z.back() ^ 1))},
        {"gzip of 17 bytes", Method::GZIP, Bytes(g.begin(), g.begin() + 17)},
        {"gzip magic", Method::GZIP, with(g, 1, 0x8C)},
        {"gzip method", Method::GZIP, with(g, 2, 7)},
        {"gzip reserved flag", Method::GZIP, with(g, 3, 0x20)},
        {"gzip wrong CRC", Method::GZIP, with(g, g.size() - 8, uint8_t(g[g.size() - 8] ^ 1))},
        {"gzip size above the data", Method::GZIP, with(g, g.size() - 4, uint8_t(g[g.size() - 4] + 1))},
        {"gzip size below the data", Method::GZIP, with(g, g.size() - 4, uint8_t(g[g.size() - 4] - 1))},
        {"gzip name without its zero", Method::GZIP, gzip_header(0x08, {'n', 'a', 'm', 'e'})},
        {"gzip extra longer than the input", Method::GZIP, gzip_header(0x04, {0xFF, 0x00, 1, 2})},
        {"gzip wrong header CRC", Method::GZIP, gzip_header(0x02, {0x12, 0x34})},
    };
    for (Case& c : cases) {
        Bytes out;
        EXPECT_GT(decode_with(c.m, c.in, out), deflate::TOO_SMALL) << c.name;
        EXPECT_TRUE(out.empty()) << c.name;
    }
    // The optional fields themselves are accepted when well formed.
    Bytes named = gzip_header(0x08 | 0x10, {'n', 0, 'c', 0});
    Bytes out;
    EXPECT_EQ(decode_with(Method::GZIP, named, out), deflate::OK);
    EXPECT_EQ(out, text);
}

// Random bytes and damaged streams: every answer is a result code, output stays
// within its buffer, and whatever decodes decodes the same at every capacity.
TEST(Deflate, FuzzedInputNeverEscapesItsBuffers) {
    std::vector<Bytes> seeds;
    for (const Bytes& in : {text_bytes(3000, 21), runs_bytes(2000, 22), random_bytes(500, 23)})
        for (Method m : {Method::DEFLATE, Method::ZLIB, Method::GZIP}) seeds.push_back(compress::encode(m, in.data(), in.size()));
    seeds.push_back(unhex("B5CB411644301084E1AB94BD3717984B58B840CCB468224D24224EAF6DDCC0B2DEFF553B10D6C4BF095D90ECD1CB8131"));
    Rng rng{0x9E3779B97F4A7C15ull};
    int decoded = 0;
    for (int iter = 0; iter < 30000; iter++) {
        Bytes in;
        if (iter % 3 == 0) {
            in = random_bytes(rng.below(300), rng.next() | 1);
            if (iter % 2) in.insert(in.begin(), {0x78, 0x9C});  // pass the zlib header check
        } else {
            in = seeds[rng.below(uint32_t(seeds.size()))];
            int edits = 1 + int(rng.below(4));
            for (int e = 0; e < edits && !in.empty(); e++) {
                size_t at = rng.below(uint32_t(in.size()));
                switch (rng.below(4)) {
                    case 0: in[at] ^= uint8_t(1 << rng.below(8)); break;
                    case 1: in[at] = uint8_t(rng.next()); break;
                    case 2: in.resize(at); break;
                    default: in.insert(in.begin() + long(at), uint8_t(rng.next())); break;
                }
            }
        }
        Method m = Method(rng.below(3));
        size_t big;
        Bytes full;
        int r = decode_into(m, in, 1 << 16, big, &full);
        ASSERT_GE(r, deflate::OK);
        ASSERT_LE(r, deflate::BAD_DISTANCE);
        if (r != deflate::OK || big == 0) continue;
        decoded++;
        // The same stream with a buffer one byte short, and exactly fitting.
        size_t size;
        ASSERT_EQ(decode_into(m, in, big - 1, size), deflate::TOO_SMALL);
        ASSERT_EQ(size, big);
        Bytes exact;
        ASSERT_EQ(decode_into(m, in, big, size, &exact), deflate::OK);
        ASSERT_EQ(exact, full);
    }
    EXPECT_GT(decoded, 0);
}

// Our output decodes with python3's zlib and gzip; theirs, at every level and
// strategy and in every framing, decodes with ours.
TEST(Deflate, InteroperatesWithPythonZlib) {
    if (!have_tool("python3")) GTEST_SKIP() << "python3 not present";
    TempDir dir;
    std::vector<Bytes> inputs = corpus();
    const char* ext[] = {"zlib", "raw", "gz"};
    Method methods[] = {Method::ZLIB, Method::DEFLATE, Method::GZIP};
    for (size_t i = 0; i < inputs.size(); i++) {
        write_file(dir.file("in" + std::to_string(i)), inputs[i]);
        for (int k = 0; k < 3; k++)
            write_file(dir.file("ours" + std::to_string(i) + "." + ext[k]),
                       compress::encode(methods[k], inputs[i].data(), inputs[i].size()));
    }
    std::ofstream(dir.file("ref.py")) << R"(import zlib, gzip, sys, os
d, n = sys.argv[1], int(sys.argv[2])
p = lambda name: os.path.join(d, name)
rd = lambda name: open(p(name), 'rb').read()
wbits = {'zlib': 15, 'raw': -15, 'gz': 31}
for i in range(n):
    data = rd('in%d' % i)
    for ext, wb in wbits.items():
        open(p('back%d.%s' % (i, ext)), 'wb').write(zlib.decompress(rd('ours%d.%s' % (i, ext)), wb))
        for level in range(10):
            for name, strategy in [('default', zlib.Z_DEFAULT_STRATEGY), ('fixed', zlib.Z_FIXED),
                                   ('huffman', zlib.Z_HUFFMAN_ONLY), ('rle', zlib.Z_RLE), ('filtered', zlib.Z_FILTERED)]:
                if strategy != zlib.Z_DEFAULT_STRATEGY and level not in (1, 6, 9):
                    continue
                o = zlib.compressobj(level, zlib.DEFLATED, wb, 8, strategy)
                open(p('theirs%d_%d_%s.%s' % (i, level, name, ext)), 'wb').write(o.compress(data) + o.flush())
    open(p('theirs%d_module.gz' % i), 'wb').write(gzip.compress(data))
)";
    std::string cmd = "python3 " + dir.file("ref.py") + " " + dir.path + " " + std::to_string(inputs.size());
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    for (size_t i = 0; i < inputs.size(); i++)
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(read_file(dir.file("back" + std::to_string(i) + "." + ext[k])), inputs[i]) << "input " << i << " " << ext[k];
    int streams = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        std::string name = entry.path().filename();
        if (name.rfind("theirs", 0) != 0) continue;
        size_t i = std::stoul(name.substr(6));
        std::string e = entry.path().extension().string().substr(1);
        Method m = e == "zlib" ? Method::ZLIB : e == "gz" ? Method::GZIP : Method::DEFLATE;
        Bytes out;
        ASSERT_EQ(decode_with(m, read_file(entry.path()), out), deflate::OK) << name;
        EXPECT_EQ(out, inputs[i]) << name;
        streams++;
    }
    EXPECT_GT(streams, 0);
}

// The gzip program reads our files, and we read its (which carry the file name).
TEST(Deflate, InteroperatesWithGzipProgram) {
    if (!have_tool("gzip")) GTEST_SKIP() << "gzip not present";
    TempDir dir;
    std::vector<Bytes> inputs = corpus();
    for (size_t i = 0; i < inputs.size(); i++) {
        std::string n = std::to_string(i);
        write_file(dir.file("ours" + n + ".gz"), compress::encode(Method::GZIP, inputs[i].data(), inputs[i].size()));
        std::string cmd = "gzip -dc " + dir.file("ours" + n + ".gz") + " > " + dir.file("back" + n);
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(read_file(dir.file("back" + n)), inputs[i]) << "input " << i;
        write_file(dir.file("plain" + n), inputs[i]);
        for (const char* level : {"-1", "-6", "-9"}) {
            cmd = std::string("gzip -c ") + level + " " + dir.file("plain" + n) + " > " + dir.file("theirs.gz");
            ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
            Bytes g = read_file(dir.file("theirs.gz")), out;
            ASSERT_EQ(decode_with(Method::GZIP, g, out), deflate::OK) << "input " << i << " level " << level;
            EXPECT_EQ(out, inputs[i]);
        }
    }
}
