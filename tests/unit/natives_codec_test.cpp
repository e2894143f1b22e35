// The checksum, compress and decompress natives against independent programs:
// what `compress` makes decodes with the gzip program and python3's zlib, what
// they make decodes with `decompress`, and `checksum` of a file equals python3's
// hashlib, hmac and zlib on the same bytes. (Fixed vectors are in
// tests/kro/checksum.kro.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/binary.hpp"
#include "interp_fixtures.hpp"
#include "temp_dir.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

using Bytes = std::vector<uint8_t>;

bool have_tool(const std::string& name) { return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0; }

void write_bytes(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string hex(const Bytes& v) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t b : v) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

// Text from a small vocabulary (many matches), bytes with no pattern, and both.
Bytes sample(int kind, size_t n) {
    static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "series ", "block ", "value ", "x "};
    uint64_t s = 0x9E3779B97F4A7C15ull * uint64_t(kind + 1);
    auto next = [&] {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return uint32_t(s >> 11);
    };
    Bytes v;
    while (v.size() < n) {
        if (kind == 0 || (kind == 2 && (v.size() / 4096) % 2 == 0)) {
            const char* w = words[next() % 8];
            while (*w) v.push_back(uint8_t(*w++));
        } else {
            v.push_back(uint8_t(next()));
        }
    }
    v.resize(n);
    return v;
}

// Evaluates Kro code whose result must be a binary!, and answers its bytes.
Bytes eval_binary(const std::string& code) {
    setup();
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    gc::Rooted blk(load(code));
    Flow f = Flow::NORMAL;
    Bytes out;
    uint32_t caught = frame::catch_region(code::ERROR, [&] { f = interp::eval_block(blk.get(), false); });
    if (caught) {
        ADD_FAILURE() << code << " raised " << last_raised().category << "/" << last_raised().id;
    } else if (f != Flow::NORMAL || stack::top_ptr != top + 1 || !(stack::top_ptr - 1)->is(TYPE_BINARY)) {
        ADD_FAILURE() << code << " did not give one binary!";
    } else {
        out = binary::bytes_of(stack::top_ptr - 1);
    }
    stack::top_ptr = top;
    stack::arguments = args;
    return out;
}

void set_binary(const char* word, const Bytes& bytes) {
    Cell b;
    binary::load_in(bytes.data(), uint32_t(bytes.size()), &b);
    set_global(word, b);
}

const char* const METHODS[] = {"zlib", "deflate", "gzip"};

}  // namespace

// compress's output, in each framing, decodes with python3's zlib; the gzip
// framing also with the gzip program.
TEST(NativesCodec, CompressOutputDecodesWithZlibAndGzip) {
    if (!have_tool("python3") || !have_tool("gzip")) GTEST_SKIP() << "python3 or gzip not present";
    test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::vector<Bytes> inputs = {{}, sample(0, 300000), sample(1, 70000), sample(2, 200000)};
    for (size_t i = 0; i < inputs.size(); i++) {
        write_bytes(dir / ("in" + std::to_string(i)), inputs[i]);
        set_binary("data", inputs[i]);
        for (const char* m : METHODS)
            write_bytes(dir / ("ours" + std::to_string(i) + "." + m), eval_binary(std::string("compress data '") + m));
    }
    // a string goes in as UTF-8
    write_bytes(dir / "text.zlib", eval_binary("compress append/dup copy {h\u00e9llo \U0001F600 } {w\u00f6rld } 1000 'zlib"));
    test::put_file(dir / "ref.py", R"(import zlib, sys, os
d, n = sys.argv[1], int(sys.argv[2])
p = lambda name: os.path.join(d, name)
for i in range(n):
    for m, wb in (('zlib', 15), ('deflate', -15), ('gzip', 31)):
        open(p('back%d.%s' % (i, m)), 'wb').write(zlib.decompress(open(p('ours%d.%s' % (i, m)), 'rb').read(), wb))
open(p('text.back'), 'wb').write(zlib.decompress(open(p('text.zlib'), 'rb').read()))
)");
    ASSERT_EQ(std::system(("python3 " + (dir / "ref.py") + " " + dir.path() + " " + std::to_string(inputs.size())).c_str()), 0);
    for (size_t i = 0; i < inputs.size(); i++) {
        std::string n = std::to_string(i);
        for (const char* m : METHODS) EXPECT_EQ(read_bytes(dir / ("back" + n + "." + m)), inputs[i]) << "input " << i << " " << m;
        std::string cmd = "gzip -dc " + (dir / ("ours" + n + ".gzip")) + " > " + (dir / ("gunzip" + n));
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(read_bytes(dir / ("gunzip" + n)), inputs[i]) << "input " << i;
    }
    std::string text = "h\u00e9llo \U0001F600 ";
    for (int k = 0; k < 1000; k++) text += "w\u00f6rld ";
    EXPECT_EQ(read_bytes(dir / "text.back"), Bytes(text.begin(), text.end()));
}

// Streams made by python3's zlib (stored, fixed and dynamic blocks, every
// level) and by the gzip program (with the file name in its header) decode
// with decompress, with and without /size.
TEST(NativesCodec, DecompressReadsForeignStreams) {
    if (!have_tool("python3") || !have_tool("gzip")) GTEST_SKIP() << "python3 or gzip not present";
    test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::vector<Bytes> inputs = {sample(0, 100000), sample(1, 30000), sample(2, 120000)};
    for (size_t i = 0; i < inputs.size(); i++) write_bytes(dir / ("in" + std::to_string(i)), inputs[i]);
    test::put_file(dir / "ref.py", R"(import zlib, sys, os
d, n = sys.argv[1], int(sys.argv[2])
p = lambda name: os.path.join(d, name)
for i in range(n):
    data = open(p('in%d' % i), 'rb').read()
    for m, wb in (('zlib', 15), ('deflate', -15), ('gzip', 31)):
        for level in (0, 1, 6, 9):
            for s, strategy in (('d', zlib.Z_DEFAULT_STRATEGY), ('f', zlib.Z_FIXED)):
                o = zlib.compressobj(level, zlib.DEFLATED, wb, 8, strategy)
                open(p('theirs%d_%d%s.%s' % (i, level, s, m)), 'wb').write(o.compress(data) + o.flush())
)");
    ASSERT_EQ(std::system(("python3 " + (dir / "ref.py") + " " + dir.path() + " " + std::to_string(inputs.size())).c_str()), 0);
    int streams = 0;
    for (size_t i = 0; i < inputs.size(); i++) {
        std::string n = std::to_string(i);
        for (const char* m : METHODS)
            for (const char* variant : {"0d", "1d", "6d", "9d", "1f", "9f"}) {
                std::string name = "theirs" + n + "_" + variant + "." + m;
                set_binary("data", read_bytes(dir / name));
                EXPECT_EQ(eval_binary(std::string("decompress data '") + m), inputs[i]) << name;
                // an expected size too small, exact, and too large changes nothing
                for (const char* sz : {"10", "100000", "2000000000"})
                    EXPECT_EQ(eval_binary(std::string("decompress/size data '") + m + " " + sz), inputs[i]) << name << " /size " << sz;
                streams++;
            }
        for (const char* level : {"-1", "-9"}) {
            std::string cmd = std::string("gzip -c ") + level + " " + (dir / ("in" + n)) + " > " + (dir / "theirs.gz");
            ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
            Bytes g = read_bytes(dir / "theirs.gz");
            ASSERT_TRUE(g.size() > 3 && (g[3] & 0x08)) << "the gzip program records the file name";
            set_binary("data", g);
            EXPECT_EQ(eval_binary("decompress data 'gzip"), inputs[i]) << "gzip " << level << " input " << i;
            streams++;
        }
    }
    EXPECT_EQ(streams, int(inputs.size()) * (3 * 6 + 2));
}

// checksum of a file (read whole), of the same bytes as a binary, and of a
// text equals python3's hashlib, hmac and zlib.
TEST(NativesCodec, ChecksumsEqualPython) {
    if (!have_tool("python3")) GTEST_SKIP() << "python3 not present";
    test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    Bytes data = sample(2, 150000);
    write_bytes(dir / "in.bin", data);
    test::put_file(dir / "ref.py", R"(import hashlib, hmac, zlib, sys, os
d = sys.argv[1]
data = open(os.path.join(d, 'in.bin'), 'rb').read()
key = 'cl\u00e9 '.encode() * 40
with open(os.path.join(d, 'ref.txt'), 'w') as out:
    for m in ('md5', 'sha1', 'sha256', 'sha384', 'sha512'):
        out.write('%s %s\n' % (m, hashlib.new(m, data).hexdigest()))
        out.write('hmac-%s %s\n' % (m, hmac.new(key, data, m).hexdigest()))
    out.write('crc32 %d\n' % zlib.crc32(data))
    out.write('adler32 %d\n' % zlib.adler32(data))
)");
    ASSERT_EQ(std::system(("python3 " + (dir / "ref.py") + " " + dir.path()).c_str()), 0);
    std::map<std::string, std::string> ref;
    std::istringstream lines(test::file_text(dir / "ref.txt"));
    for (std::string name, value; lines >> name >> value;) ref[name] = value;
    ASSERT_EQ(ref.size(), 12u);

    set_binary("data", data);
    std::string file = "%" + (dir / "in.bin");
    std::string key = "append/dup copy {} {cl\u00e9 } 40";
    for (const char* m : {"md5", "sha1", "sha256", "sha384", "sha512"}) {
        EXPECT_EQ(hex(eval_binary("checksum " + file + " '" + m)), ref[m]) << m << " of the file";
        EXPECT_EQ(hex(eval_binary(std::string("checksum data '") + m)), ref[m]) << m << " of the binary";
        EXPECT_EQ(hex(eval_binary(std::string("checksum/with data '") + m + " " + key)), ref[std::string("hmac-") + m])
            << "HMAC " << m;
    }
    for (const char* m : {"crc32", "adler32"}) {
        // the integer! holds the 32 bits of the unsigned value python gives
        uint32_t expected = uint32_t(std::stoul(ref[m]));
        EXPECT_EQ(run("checksum " + file + " '" + m), std::to_string(int32_t(expected))) << m;
        EXPECT_EQ(run(std::string("checksum data '") + m), std::to_string(int32_t(expected))) << m;
    }
}
