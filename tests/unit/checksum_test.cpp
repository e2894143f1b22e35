// Checksums and digests against published vectors and, when present on the
// machine, against python3's hashlib/hmac and coreutils on the same bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "io/checksum.hpp"

using namespace kro;

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string hex(const std::vector<uint8_t>& v) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t b : v) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

// The same generator as the python used to make the long-input vectors below.
std::vector<uint8_t> lcg_bytes(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        v[i] = uint8_t(x >> 24);
    }
    return v;
}

bool have_tool(const std::string& name) { return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0; }

struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/kro-checksum-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

std::string read_text(const std::string& path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace

TEST(Checksum, Crc32KnownValues) {
    struct Case {
        std::string in;
        uint32_t crc;
    } cases[] = {{"", 0}, {"123456789", 0xCBF43926u}, {"abc", 0x352441C2u}};
    for (const Case& c : cases) EXPECT_EQ(checksum::crc32(bytes_of(c.in).data(), c.in.size()), c.crc) << c.in;
    std::vector<uint8_t> d = lcg_bytes(100000);
    EXPECT_EQ(checksum::crc32(d.data(), d.size()), 0x6EC8E213u);
    // Continuing over a split gives the CRC of the whole.
    uint32_t part = checksum::crc32(d.data(), 33333);
    EXPECT_EQ(checksum::crc32_update(part, d.data() + 33333, d.size() - 33333), 0x6EC8E213u);
}

TEST(Checksum, Adler32KnownValues) {
    EXPECT_EQ(checksum::adler32(nullptr, 0), 1u);
    EXPECT_EQ(checksum::adler32(bytes_of("Wikipedia").data(), 9), 0x11E60398u);
    // Long enough to need the modular reduction many times over.
    std::vector<uint8_t> d = lcg_bytes(100000);
    EXPECT_EQ(checksum::adler32(d.data(), d.size()), 0x44247630u);
    std::vector<uint8_t> ff(200000, 0xFF);
    uint32_t a = 1, b = 0;
    for (uint8_t x : ff) {
        a = (a + x) % 65521;
        b = (b + a) % 65521;
    }
    EXPECT_EQ(checksum::adler32(ff.data(), ff.size()), b << 16 | a);
}

TEST(Checksum, InternetChecksum) {
    struct Case {
        std::vector<uint8_t> in;
        uint16_t sum;
    } cases[] = {
        {{0x01}, 0xFEFF},                                          // an odd byte is the high half of a word
        {{0x01, 0x02}, 0xFEFD},
        {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, 0x220D},  // RFC 1071's worked example
        {{}, 0xFFFF},
        {lcg_bytes(300001), 0xD7E1},
        // 100,000 words of FFFF overflow a 32-bit sum; folded properly they give 0.
        {std::vector<uint8_t>(200000, 0xFF), 0x0000},
    };
    for (const Case& c : cases) EXPECT_EQ(checksum::tcp(c.in.data(), c.in.size()), c.sum) << c.in.size();
}

TEST(Checksum, MethodNames) {
    for (const char* m : {"tcp", "md5", "sha1", "crc32", "adler32", "sha256", "sha384", "sha512", "hash", "SHA256", "Md5"})
        EXPECT_TRUE(checksum::is_method(m)) << m;
    for (const char* m : {"", "sha", "crc", "md4", "sha224", "sha2566"}) EXPECT_FALSE(checksum::is_method(m)) << m;
    struct Case {
        const char* name;
        int id;
        size_t size;
    } cases[] = {{"tcp", 0, 0},     {"crc32", 1, 0},    {"md5", 2, 16},     {"sha1", 3, 20},  {"sha256", 4, 32},
                 {"sha384", 5, 48}, {"sha512", 6, 64},  {"adler32", -1, 0}, {"hash", -1, 0}, {"bogus", -1, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(checksum::method_id(c.name), c.id) << c.name;
        EXPECT_EQ(checksum::digest_size(c.id), c.size) << c.name;
    }
}

TEST(Checksum, DigestsMatchPublishedVectors) {
    struct Case {
        int id;
        std::string in;
        const char* digest;
    } cases[] = {
        {checksum::MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {checksum::MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {checksum::SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {checksum::SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {checksum::SHA384, "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {checksum::SHA512, "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> in = bytes_of(c.in);
        std::vector<uint8_t> d = checksum::crypto_hash(in.data(), in.size(), c.id);
        EXPECT_EQ(d.size(), checksum::digest_size(c.id));
        EXPECT_EQ(hex(d), c.digest) << c.id;
    }
}

TEST(Checksum, DigestOfNonDigestMethodRaisesInvalidArg) {
    for (int id : {int(checksum::TCP), int(checksum::CRC32), 7, -1}) {
        EXPECT_THROW(checksum::crypto_hash(nullptr, 0, id), Thrown) << id;
        EXPECT_EQ(last_raised().category, "script");
        EXPECT_EQ(last_raised().id, "invalid-arg");
        ASSERT_EQ(last_raised().nargs, 1);
        EXPECT_EQ(int32_t(last_raised().args[0].data2), id);
    }
}

TEST(Checksum, HmacVectors) {
    std::vector<uint8_t> key100(100);
    for (int i = 0; i < 100; i++) key100[size_t(i)] = uint8_t(i);
    struct Case {
        const char* method;
        std::vector<uint8_t> key;
        std::string data;
        const char* mac;
    } cases[] = {
        // RFC 2104 / RFC 2202
        {"md5", std::vector<uint8_t>(16, 0x0B), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"sha1", bytes_of("Jefe"), "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        // RFC 4231 test cases 1 and 6 (a 131-byte key is hashed first, also for the 128-byte block)
        {"sha256", std::vector<uint8_t>(20, 0x0B), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"sha384", std::vector<uint8_t>(131, 0xAA), "Test Using Larger Than Block-Size Key - Hash Key First",
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
        {"SHA512", std::vector<uint8_t>(131, 0xAA), "Test Using Larger Than Block-Size Key - Hash Key First",
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"},
        // A 100-byte key: hashed for md5 (block 64), used as it is for sha512 (block 128).
        {"md5", key100, "message", "c25893768c33de3b08156b869065535a"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> in = bytes_of(c.data);
        auto mac = checksum::keyed_hash(in.data(), in.size(), c.key.data(), c.key.size(), c.method);
        ASSERT_TRUE(mac.has_value()) << c.method;
        EXPECT_EQ(hex(*mac), c.mac) << c.method;
    }
    std::vector<uint8_t> msg = bytes_of("message");
    auto m512 = checksum::keyed_hash(msg.data(), msg.size(), key100.data(), key100.size(), "sha512");
    ASSERT_TRUE(m512.has_value());
    EXPECT_EQ(hex(*m512),
              "2ef57b7c699b1857854451eec55dabd5c38d625e1484e4f8a995c64e8fa5dc1eef83012e450f62253aee6a724cb1273470964cdff7cd5e111c7447569aa11b6e");
}

TEST(Checksum, HmacRefusesMethodsWithoutDigest) {
    std::vector<uint8_t> k = bytes_of("key");
    for (const char* m : {"tcp", "crc32", "adler32", "hash"})
        EXPECT_FALSE(checksum::keyed_hash(k.data(), k.size(), k.data(), k.size(), m).has_value()) << m;
}

// Digests and HMACs of a mix of inputs equal those of python3 hashlib/hmac.
TEST(Checksum, AgreesWithPythonHashlibAndHmac) {
    if (!have_tool("python3")) GTEST_SKIP() << "python3 not present";
    TempDir dir;
    std::vector<std::vector<uint8_t>> inputs = {{}, bytes_of("a"), lcg_bytes(63), lcg_bytes(64), lcg_bytes(65),
                                                lcg_bytes(127, 7), lcg_bytes(128, 7), lcg_bytes(129, 7), lcg_bytes(100000, 3)};
    std::vector<std::vector<uint8_t>> keys = {{}, bytes_of("k"), lcg_bytes(64, 9), lcg_bytes(65, 9), lcg_bytes(128, 5),
                                              lcg_bytes(129, 5), lcg_bytes(1000, 2)};
    for (size_t i = 0; i < inputs.size(); i++) write_file(dir.file("in" + std::to_string(i)), inputs[i]);
    for (size_t i = 0; i < keys.size(); i++) write_file(dir.file("key" + std::to_string(i)), keys[i]);
    std::ofstream(dir.file("ref.py")) << R"(import hashlib, hmac, sys, os
d = sys.argv[1]
rd = lambda n: open(os.path.join(d, n), 'rb').read()
ni, nk = int(sys.argv[2]), int(sys.argv[3])
with open(os.path.join(d, 'out.txt'), 'w') as f:
    for i in range(ni):
        data = rd('in%d' % i)
        for m in ['md5', 'sha1', 'sha256', 'sha384', 'sha512']:
            f.write('%s %d %s\n' % (m, i, hashlib.new(m, data).hexdigest()))
            for k in range(nk):
                f.write('%s %d %d %s\n' % (m, i, k, hmac.new(rd('key%d' % k), data, m).hexdigest()))
)";
    std::string cmd = "python3 " + dir.file("ref.py") + " " + dir.path + " " + std::to_string(inputs.size()) + " " +
                      std::to_string(keys.size());
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::istringstream ref(read_text(dir.file("out.txt")));
    const char* names[] = {"md5", "sha1", "sha256", "sha384", "sha512"};
    int ids[] = {checksum::MD5, checksum::SHA1, checksum::SHA256, checksum::SHA384, checksum::SHA512};
    for (size_t i = 0; i < inputs.size(); i++) {
        const std::vector<uint8_t>& in = inputs[i];
        for (int m = 0; m < 5; m++) {
            std::string name, want;
            size_t idx;
            ref >> name >> idx >> want;
            ASSERT_EQ(name, names[m]);
            EXPECT_EQ(hex(checksum::crypto_hash(in.data(), in.size(), ids[m])), want) << name << " input " << i;
            for (size_t k = 0; k < keys.size(); k++) {
                size_t kidx;
                ref >> name >> idx >> kidx >> want;
                auto mac = checksum::keyed_hash(in.data(), in.size(), keys[k].data(), keys[k].size(), names[m]);
                ASSERT_TRUE(mac.has_value());
                EXPECT_EQ(hex(*mac), want) << name << " input " << i << " key " << k;
            }
        }
    }
}

// The digests of a file equal those of coreutils' md5sum and sha*sum.
TEST(Checksum, AgreesWithCoreutils) {
    const char* tools[] = {"md5sum", "sha1sum", "sha256sum", "sha384sum", "sha512sum"};
    int ids[] = {checksum::MD5, checksum::SHA1, checksum::SHA256, checksum::SHA384, checksum::SHA512};
    TempDir dir;
    std::vector<uint8_t> data = lcg_bytes(54321, 11);
    write_file(dir.file("data"), data);
    bool any = false;
    for (int m = 0; m < 5; m++) {
        if (!have_tool(tools[m])) continue;
        any = true;
        std::string cmd = std::string(tools[m]) + " " + dir.file("data") + " > " + dir.file("sum");
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        std::string want = read_text(dir.file("sum")).substr(0, checksum::digest_size(ids[m]) * 2);
        EXPECT_EQ(hex(checksum::crypto_hash(data.data(), data.size(), ids[m])), want) << tools[m];
    }
    if (!any) GTEST_SKIP() << "coreutils digests not present";
}
