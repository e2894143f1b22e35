// file! and url!: molds, the local form of file names, the file actions over a
// scratch directory, percent-encoding, building and joining urls, and the
// HTTP route of read and write through its hook.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "datatypes/file.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/url.hpp"
#include "datatypes/word.hpp"
#include "foundation/registry.hpp"
#include "string_fixtures.hpp"
#include "temp_dir.hpp"

using namespace kro;
using namespace kro::testing_strings;
using testing_blocks::block_of;
using testing_blocks::form_text;
using testing_blocks::mold_text;
using testing_blocks::raised;
using testing_blocks::w;

namespace {

Cell file_of(const std::string& utf8, int unit = 1) { return text(utf8, unit, TYPE_FILE); }
Cell url_of(const std::string& utf8, int unit = 1) { return text(utf8, unit, TYPE_URL); }

Cell issue(const char* name) { return w(name, TYPE_ISSUE); }

std::string current_dir() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

}  // namespace

// ---- file! -----------------------------------------------------------------------------------

TEST(FileMold, QuotesOnlyForCharactersOutsideThePlainSet) {
    struct Case {
        std::u32string name;
        const char* molded;
    } cases[] = {
        {U"a/b.txt", "%a/b.txt"},
        {U"~user/x_y-z.txt!#$&'()*+,:=?@", "%~user/x_y-z.txt!#$&'()*+,:=?@"},
        {U"my file.txt", "%\"my file.txt\""},
        {U"", "%\"\""},
        {U"\u00e9t\u00e9/\u20AC\U0001F600", "%\u00e9t\u00e9/\u20AC\U0001F600"},  // 127 and up never quote
        {U"a;b", "%\"a;b\""},
        {U"a^b", "%\"a^b\""},
        {U"a\"b", "%\"a\"b\""},  // written as it is: no escapes
        {U"tab\there", "%\"tab\there\""},
        {U"%41", "%\"%41\""},  // no percent-encoding either
    };
    for (const Case& c : cases) {
        for (int unit : {1, 2, 4}) {
            SCOPED_TRACE(c.molded);
            EXPECT_EQ(mold_text(text_of(c.name, unit, TYPE_FILE)), c.molded);
            EXPECT_EQ(form_text(text_of(c.name, unit, TYPE_FILE)), utf8(text_of(c.name, unit))) << "form: as it is";
        }
    }
    int32_t left = 0;
    mold_text(file_of("ab"), false, false, 10, &left);
    EXPECT_EQ(left, 10 - 2 - 1);
    mold_text(file_of("a b"), false, false, 10, &left);
    EXPECT_EQ(left, 10 - 5 - 1) << "the quotes count";
    EXPECT_EQ(mold_text(file_of("abcd efg"), false, false, 3, &left), "%abc") << "/part cuts the name";
    EXPECT_EQ(mold_text(at_head(file_of("dir/x y"), 4)), "%\"x y\"");
}

TEST(FileLocalForm, PosixPathsAndTheCurrentDirectory) {
    std::string cwd = current_dir();
    ASSERT_FALSE(cwd.empty());
    Cell dir;
    file::get_current_dir(&dir);
    EXPECT_TRUE(dir.is(TYPE_STRING));
    EXPECT_EQ(utf8(dir), cwd + "/");

    struct Case {
        const char* file;
        bool full;
        std::string local;
    } cases[] = {
        {"/c/data/x.txt", false, "/c/data/x.txt"},  // no drive letters here
        {"/c", true, "/c"},
        {"/home/user/a b", true, "/home/user/a b"},
        {"//server/share", false, "//server/share"},
        {"data/x.txt", false, "data/x.txt"},
        {"data/x.txt", true, cwd + "/data/x.txt"},
        {"", true, cwd + "/"},
        {"a\\b", false, "a\\b"},  // a backslash is an ordinary character of a name
    };
    for (const Case& c : cases) {
        Cell f = file_of(c.file);
        Cell out = text("");
        file::portable_to_local(&f, &out, c.full);
        EXPECT_EQ(utf8(out), c.local) << c.file;
    }
    Cell wide = text_of(U"d\u00e9j\u00e0/\U0001F600", 4, TYPE_FILE);
    EXPECT_EQ(file::to_os_path(&wide), std::optional<std::string>("d\u00e9j\u00e0/\U0001F600"));
    Cell with_nul = text_of(std::u32string(U"a") + char32_t(0) + U"b", 1, TYPE_FILE);
    EXPECT_EQ(file::to_os_path(&with_nul), std::nullopt) << "a NUL would cut the name";

    Cell slashes = at_head(file_of("x\\a\\b\\c"), 2);
    file::slashes_to_portable(&slashes);
    EXPECT_EQ(utf8(at_head(slashes, 0)), "x\\a/b/c") << "from the head only";
}

TEST(FileActions, WriteReadAppendAndLines) {
    test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    Cell path = file_of(dir / "t.txt");
    Cell data = text_of(U"h\u00e9llo \u20AC\U0001F600\n2nd\r\n3rd");
    Cell dest = path;
    file::write(&dest, &data, false, false, false, false, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(dest.is(TYPE_UNSET));
    EXPECT_EQ(test::file_text(dir / "t.txt"), "h\u00e9llo \u20AC\U0001F600\n2nd\r\n3rd");

    Cell src = path;
    file::read(&src, nullptr, nullptr, false, false, false, nullptr);
    ASSERT_TRUE(src.is(TYPE_STRING));
    EXPECT_EQ(points(src), points(data));

    src = path;
    file::read(&src, nullptr, nullptr, false, true, false, nullptr);
    ASSERT_TRUE(src.is(TYPE_BLOCK));
    ASSERT_EQ(block::length(&src), 3);
    EXPECT_EQ(utf8(*block::at(&src, 0)), "h\u00e9llo \u20AC\U0001F600");
    EXPECT_EQ(utf8(*block::at(&src, 1)), "2nd");
    EXPECT_EQ(utf8(*block::at(&src, 2)), "3rd");

    src = path;
    Cell part = integer(3), seek = integer(1);
    file::read(&src, &part, &seek, true, false, false, nullptr);
    ASSERT_TRUE(src.is(TYPE_BINARY));
    memory::Buffer* b = memory::buffer_of(src.data2);
    EXPECT_EQ(std::string(b->head_ptr(), b->tail_ptr()), "\u00e9l") << "3 bytes from offset 1";

    Cell more = text("!");
    dest = path;
    file::write(&dest, &more, false, false, false, true, nullptr, nullptr, nullptr, nullptr);
    Cell two = integer(2);
    Cell cut = text("xyz");
    dest = file_of(dir / "u.txt");
    file::write(&dest, &cut, false, false, false, false, &two, nullptr, nullptr, nullptr);
    EXPECT_EQ(test::file_text(dir / "u.txt"), "xy") << "/part limits the characters";
    EXPECT_EQ(test::file_text(dir / "t.txt").substr(test::file_text(dir / "t.txt").size() - 4), "3rd!");

    Cell lines = block_of({text("one"), text_of(U"tw\u00f6"), w("three")});
    dest = file_of(dir / "l.txt");
    file::write(&dest, &lines, false, true, false, false, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(test::file_text(dir / "l.txt"), "one\ntw\u00f6\nthree\n");
    Cell molded = block_of({w("a"), text("b")});
    dest = file_of(dir / "m.txt");
    file::write(&dest, &molded, false, false, false, false, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(test::file_text(dir / "m.txt"), "[a \"b\"]") << "other values are molded";

    // An empty file reads as an empty string, or an empty binary!.
    test::put_file(dir / "empty", "");
    src = file_of(dir / "empty");
    file::read(&src, nullptr, nullptr, false, false, false, nullptr);
    EXPECT_TRUE(src.is(TYPE_STRING));
    EXPECT_EQ(utf8(src), "");
}

TEST(FileActions, ListingDeleteRenameAndFailures) {
    test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    test::put_file(dir / "b.txt", "b");
    test::put_file(dir / "a.txt", "a");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
    Cell listing = file_of(dir.path() + "/");
    file::read(&listing, nullptr, nullptr, false, false, false, nullptr);
    ASSERT_TRUE(listing.is(TYPE_BLOCK));
    std::vector<std::string> names;
    for (int32_t i = 0; i < block::length(&listing); i++) {
        EXPECT_TRUE(block::at(&listing, i)->is(TYPE_FILE));
        names.push_back(utf8(*block::at(&listing, i)));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt", "sub/"}));

    Cell from = file_of(dir / "a.txt"), to = file_of(dir / "c.txt");
    file::rename(&from, &to);
    EXPECT_TRUE(from.is(TYPE_LOGIC) && from.data1);
    from = file_of(dir / "b.txt");
    to = file_of(dir / "c.txt");
    file::rename(&from, &to);
    EXPECT_TRUE(from.is(TYPE_LOGIC) && !from.data1) << "an existing target is never replaced";

    Cell gone = file_of(dir / "c.txt");
    file::remove_file(&gone);
    EXPECT_TRUE(gone.is(TYPE_LOGIC) && gone.data1);
    gone = file_of(dir / "c.txt");
    file::remove_file(&gone);
    EXPECT_TRUE(gone.is(TYPE_LOGIC) && !gone.data1);

    Cell missing = file_of(dir / "nothing");
    file::query(&missing);
    EXPECT_TRUE(missing.is(TYPE_NONE));
    missing = file_of(dir / "nothing");
    EXPECT_EQ(raised([&] { file::read(&missing, nullptr, nullptr, false, false, false, nullptr); }),
              "access/cannot-open");
    ASSERT_GE(last_raised().nargs, 1);
    EXPECT_TRUE(last_raised().args[0].is(TYPE_FILE));
    Cell as = w("utf-16");
    Cell present = file_of(dir / "b.txt");
    EXPECT_EQ(raised([&] { file::read(&present, nullptr, nullptr, false, false, false, &as); }), "internal/not-done");
    Cell data = text("x");
    EXPECT_EQ(raised([&] { file::write(&present, &data, false, false, false, false, nullptr, nullptr, &as, nullptr); }),
              "internal/not-done");
    Cell into_dir = file_of(dir.path() + "/sub/");
    EXPECT_EQ(raised([&] { file::write(&into_dir, &data, false, false, false, false, nullptr, nullptr, nullptr, nullptr); }),
              "access/cannot-open");
    Cell with_nul = text_of(std::u32string(U"x") + char32_t(0), 1, TYPE_FILE);
    EXPECT_EQ(raised([&] { file::read(&with_nul, nullptr, nullptr, false, false, false, nullptr); }),
              "access/cannot-open");
    if (!file::make_date) {
        present = file_of(dir / "b.txt");
        EXPECT_EQ(raised([&] { file::query(&present); }), "internal/feature-na");
    }
}

// ---- url! ---------------------------------------------------------------------------------------

TEST(UrlEncoding, DecodingEscapes) {
    struct Case {
        const char* source;  // UTF-8 as the tokenizer hands it over
        std::u32string decoded;
    } cases[] = {
        {"a%20b", U"a b"},
        {"%41%2f", U"A/"},
        {"%C3%A9", U"\u00e9"},
        {"%c3%a9", U"\u00e9"},
        {"%E2%82%AC%F0%9F%98%80", U"\u20AC\U0001F600"},
        {"%80", U"\u0080"},
        {"%C3", U"%C3"},
        {"%C3%28", U"%C3("},  // no continuation byte after the lead: the "%" stays
        {"%C3x", U"%C3x"},
        {"%zz", U"%zz"},
        {"ab%", U"ab%"},
        {"ab%4", U"ab%4"},
        {"%\xC3\xA9", U"%\u00e9"},
        {"\xE2\x82\xAC%20", U"\u20AC "},
    };
    for (const Case& c : cases) {
        Cell* u = url::load(reinterpret_cast<const uint8_t*>(c.source), uint32_t(std::strlen(c.source)));
        EXPECT_TRUE(u->is(TYPE_URL));
        EXPECT_EQ(points(*u), c.decoded) << c.source;
        stack::pop(1);
    }
    uint8_t v = 0;
    const uint8_t ok[] = {'%', 'a', 'F'}, bad[] = {'%', 'g', '0'};
    EXPECT_TRUE(url::decode_hex(ok, ok + 3, &v));
    EXPECT_EQ(v, 0xAF);
    EXPECT_FALSE(url::decode_hex(bad, bad + 3, &v));
    EXPECT_FALSE(url::decode_hex(ok, ok + 2, &v)) << "two bytes are not an escape";
}

TEST(UrlEncoding, MoldAndEncodeInBothSets) {
    struct Case {
        std::u32string text;
        const char* molded;
        const char* strict;
    } cases[] = {
        {U"http://a b", "http://a%20b", "http%3A%2F%2Fa%20b"},
        {U"http://\u00e9", "http://%C3%A9", "http%3A%2F%2F%C3%A9"},
        {U"100%", "100%25", "100%25"},
        {U"!#$&'()*+,-./:=?@_~", "!#$&'()*+,-./:=?@_~", "%21%23%24%26%27%28%29%2A%2B%2C-.%2F%3A%3D%3F%40_~"},
        {U"a\"b<c>^", "a%22b%3Cc%3E%5E", "a%22b%3Cc%3E%5E"},
        {U"\U0001F600", "%F0%9F%98%80", "%F0%9F%98%80"},
    };
    for (const Case& c : cases) {
        for (int unit : {1, 4}) {
            SCOPED_TRACE(c.molded);
            Cell u = text_of(c.text, unit, TYPE_URL);
            EXPECT_EQ(mold_text(u), c.molded);
            EXPECT_EQ(form_text(u), utf8(u)) << "form is the decoded text";
            Cell out = text("");
            url::encode(&u, &out, url::STRICT_SET);
            EXPECT_EQ(utf8(out), c.strict);
            // What the mold writes loads back as the same url.
            std::string molded = c.molded;
            Cell* back = url::load(reinterpret_cast<const uint8_t*>(molded.data()), uint32_t(molded.size()));
            EXPECT_EQ(points(*back), c.text);
            stack::pop(1);
        }
    }
    int32_t left = 0;
    EXPECT_EQ(mold_text(url_of("a b c"), false, false, 4, &left), "a%20") << "stops once the limit is reached";
    EXPECT_EQ(left, 0);
    EXPECT_EQ(mold_text(url_of("a b c"), false, false, 3, &left), "a%20") << "an escape is written whole";
    EXPECT_EQ(left, 3 - 4);
    EXPECT_EQ(url::encode_byte(url::DEFAULT_SET, ' '), "%20");
    EXPECT_EQ(url::encode_byte(url::DEFAULT_SET, '/'), "/");
    EXPECT_EQ(url::encode_byte(url::STRICT_SET, '/'), "%2F");
    EXPECT_EQ(url::encode_byte(url::DEFAULT_SET, 0xFF), "%FF");
}

TEST(UrlBuild, FromABlock) {
    testing_blocks::ScratchNumbers numbers;
    struct Case {
        Cell spec;
        const char* molded;
    } cases[] = {
        {block_of({w("http"), w("example"), integer(8080), w("a"), w("b")}), "http://example:8080/a/b"},
        {block_of({w("http"), w("example")}), "http://example"},
        {block_of({w("http"), w("example"), integer(81)}), "http://example:81"},
        {block_of({w("https"), w("h"), w("a"), issue("frag")}), "https://h/a#frag"},
        {block_of({w("http"), w("h"), issue("x")}), "http://h/x"},  // the first path value always after "/"
        {block_of({w("ftp"), text("a host"), text("x y")}), "ftp://a%20host/x%20y"},
        {block_of({w("http")}), "http://"},
    };
    for (Case& c : cases) {
        Cell out;
        url::to(&out, &c.spec, TYPE_URL);
        EXPECT_TRUE(out.is(TYPE_URL));
        EXPECT_EQ(mold_text(out), c.molded);
        url::make(&out, &c.spec, TYPE_URL);
        EXPECT_EQ(mold_text(out), c.molded) << "make builds the same";
    }
    Cell empty = block_of({}), out;
    EXPECT_EQ(raised([&] { url::to(&out, &empty, TYPE_URL); }), "script/bad-to-arg");
    Cell words = block_of({w("a"), w("b")});
    url::to(&out, &words, TYPE_FILE);
    EXPECT_TRUE(out.is(TYPE_FILE));
    EXPECT_EQ(utf8(out), "ab") << "a file! from a block is its formed values";
    Cell s = text("x y");
    url::to(&out, &s, TYPE_URL);
    EXPECT_EQ(mold_text(out), "x%20y");
}

TEST(UrlPaths, JoinWithOneSlash) {
    Cell path = block_of({});
    auto join = [&](Cell base, Cell element) {
        url::eval_path(&base, &element, nullptr, &path, nullptr, nullptr, 0, false, false, true, false);
        return base;
    };
    struct Case {
        Cell base, element;
        const char* joined;
    } cases[] = {
        {url_of("http://a/"), text("x"), "http://a/x"},
        {url_of("http://a"), text("x"), "http://a/x"},
        {url_of("http://a/"), text("/x"), "http://a/x"},
        {url_of("http://a"), text("/x"), "http://a/x"},
        {url_of("http://a/b"), w("c"), "http://a/b/c"},
        {url_of("http://a/"), text_of(U"\u00e9 x"), "http://a/%C3%A9%20x"},
    };
    for (Case& c : cases) {
        Cell before = c.base;
        Cell joined = join(c.base, c.element);
        EXPECT_TRUE(joined.is(TYPE_URL));
        EXPECT_EQ(mold_text(joined), c.joined);
        EXPECT_EQ(utf8(before), utf8(c.base)) << "the url itself is not changed";
    }
    Cell d = join(file_of("dir"), file_of("f.txt"));
    EXPECT_TRUE(d.is(TYPE_FILE));
    EXPECT_EQ(mold_text(d), "%dir/f.txt");
    EXPECT_EQ(mold_text(join(file_of("dir/"), text("sub/"))), "%dir/sub/") << "the trailing slash stays";

    // A get-word! element stands for its value.
    Cell elem = word::load("kro-url-test-element");
    Cell value = text("v");
    word::set(&elem, &value);
    elem.set_type(TYPE_GET_WORD);
    EXPECT_EQ(mold_text(join(url_of("http://h"), elem)), "http://h/v");

    Cell base = url_of("http://h"), element = text("x"), v = text("y");
    EXPECT_EQ(raised([&] { url::eval_path(&base, &element, &v, &path, nullptr, nullptr, 0, false, false, true, false); }),
              "script/bad-path-set");
}

namespace {

struct Request {
    std::string method, url;
    Type headers = TYPE_NONE, data = TYPE_NONE;
    bool binary = false, lines = false, info = false;
};
std::vector<Request> requests;
bool connect = true;

bool fake_http(const Cell* method, const Cell* u, const Cell* headers, const Cell* data, bool binary, bool lines,
               bool info, Cell* out, std::string*) {
    requests.push_back({std::string(symbol::name(int32_t(method->data2))), utf8(*u), headers->type(), data->type(),
                        binary, lines, info});
    if (!connect) return false;
    *out = text("response");
    return true;
}

struct HttpHook {
    HttpHook() {
        url::http_request = &fake_http;
        requests.clear();
        connect = true;
    }
    ~HttpHook() { url::http_request = nullptr; }
};

void no_parts(const Cell*, Cell* out) { *out = none::value; }

}  // namespace

// The runtime installs the HTTP service and the port maker at start-up; this
// test drives the hooks itself and puts the installed ones back.
struct RestoreHooks {
    decltype(url::http_request) http = url::http_request;
    decltype(url::make_port) port = url::make_port;
    decltype(url::parse_url) parse = url::parse_url;
    ~RestoreHooks() {
        url::http_request = http;
        url::make_port = port;
        url::parse_url = parse;
    }
};

TEST(UrlHttp, ReadAndWriteThroughTheHook) {
    RestoreHooks restore;
    url::http_request = nullptr;
    Cell u = url_of("http://x/");
    EXPECT_EQ(raised([&] { url::read(&u, nullptr, nullptr, false, false, false, nullptr); }), "internal/feature-na");
    HttpHook hook;
    u = url_of("https://x/a");
    url::read(&u, nullptr, nullptr, true, false, true, nullptr);
    EXPECT_EQ(utf8(u), "response");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "get");
    EXPECT_EQ(requests[0].url, "https://x/a");
    EXPECT_TRUE(requests[0].binary && !requests[0].lines && requests[0].info);

    Cell seek = integer(1);
    u = url_of("http://x/");
    EXPECT_EQ(raised([&] { url::read(&u, nullptr, &seek, false, false, false, nullptr); }), "internal/not-done");
    connect = false;
    u = url_of("http://x/");
    EXPECT_EQ(raised([&] { url::read(&u, nullptr, nullptr, false, false, false, nullptr); }), "access/no-connect");
    EXPECT_TRUE(last_raised().args[0].is(TYPE_URL));
    connect = true;

    struct Case {
        Cell data;
        const char* method;
        Type headers, body;
    } cases[] = {
        {text("payload"), "post", TYPE_NONE, TYPE_STRING},
        {block_of({}), "get", TYPE_NONE, TYPE_NONE},
        {block_of({w("put"), block_of({}), text("d")}), "put", TYPE_BLOCK, TYPE_STRING},
        {block_of({w("delete")}), "delete", TYPE_NONE, TYPE_NONE},
        {none::value, "post", TYPE_NONE, TYPE_NONE},
    };
    for (Case& c : cases) {
        requests.clear();
        Cell dest = url_of("http://x/");
        url::write(&dest, &c.data, false, false, false, false, nullptr, nullptr, nullptr, nullptr);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method, c.method);
        EXPECT_EQ(requests[0].headers, c.headers);
        EXPECT_EQ(requests[0].data, c.body);
        EXPECT_EQ(utf8(dest), "response");
    }
    Cell bad[] = {block_of({text("put")}), block_of({w("put"), text("h")}), integer(42),
                  block_of({w("put"), block_of({}), integer(1)})};
    for (Cell& data : bad) {
        Cell dest = url_of("http://x/");
        EXPECT_EQ(raised([&] { url::write(&dest, &data, false, false, false, false, nullptr, nullptr, nullptr, nullptr); }),
                  "script/invalid-arg");
    }
    Cell dest = url_of("http://x/"), data = text("d");
    EXPECT_EQ(raised([&] { url::write(&dest, &data, false, false, false, false, nullptr, &seek, nullptr, nullptr); }),
              "internal/not-done");

    // The scheme is recognised in lower case only; other urls go to a port
    // (with no port hooks, none can be made).
    requests.clear();
    url::parse_url = nullptr;
    url::make_port = nullptr;
    Cell upper = url_of("HTTP://x/");
    EXPECT_EQ(raised([&] { url::read(&upper, nullptr, nullptr, false, false, false, nullptr); }), "internal/feature-na");
    EXPECT_TRUE(requests.empty());
    url::parse_url = &no_parts;
    url::make_port = [](const Cell*, Cell* out) { *out = none::value; };
    upper = url_of("HTTP://x/");
    EXPECT_EQ(raised([&] { url::read(&upper, nullptr, nullptr, false, false, false, nullptr); }), "script/invalid-arg");
    url::parse_url = nullptr;
    url::make_port = nullptr;
}

TEST(FileUrlRows, InheritanceAndDispatch) {
    EXPECT_EQ(datatype::action<A_MAKE>(TYPE_FILE), &url::make);
    EXPECT_EQ(datatype::action<A_TO>(TYPE_FILE), &url::to);
    EXPECT_EQ(datatype::action<A_EVAL_PATH>(TYPE_FILE), &url::eval_path);
    EXPECT_EQ(datatype::action<A_MOLD>(TYPE_FILE), &file::mold);
    EXPECT_EQ(datatype::action<A_READ>(TYPE_FILE), &file::read);
    EXPECT_EQ(datatype::action<A_DELETE>(TYPE_FILE), &file::remove_file);
    EXPECT_EQ(datatype::action<A_APPEND>(TYPE_FILE), &string::append);
    EXPECT_EQ(datatype::action<A_FORM>(TYPE_URL), &string::form);
    EXPECT_EQ(datatype::action<A_SWAP>(TYPE_URL), &string::swap);
    EXPECT_EQ(datatype::action<A_OPEN>(TYPE_URL), &url::open);
    for (int slot : {A_RANDOM, A_REFLECT, A_SORT, A_TRIM, A_PUT, A_DELETE, A_QUERY, A_RENAME})
        EXPECT_EQ(datatype::entry(TYPE_URL, slot), nullptr) << slot;
    for (int slot : {A_RANDOM, A_SORT, A_TRIM, A_OPEN, A_UPDATE})
        EXPECT_EQ(datatype::entry(TYPE_FILE, slot), nullptr) << slot;
    EXPECT_STREQ(datatype::row(TYPE_FILE).name, "file!");
    EXPECT_STREQ(datatype::row(TYPE_URL).name, "url!");

    // The inherited string actions keep the type of a file.
    Cell f = file_of("dir/");
    Cell more = text("x.txt");
    actions::get<A_APPEND>(&f)(&f, &more, -1, false, 1, true);
    EXPECT_TRUE(f.is(TYPE_FILE));
    EXPECT_EQ(mold_text(f), "%dir/x.txt");
    Cell s = text("DIR/X.TXT");
    EXPECT_TRUE(actions::compare(&f, &s, actions::EQUAL));
    EXPECT_FALSE(actions::compare(&f, &s, actions::STRICT_EQUAL));
}
