// The clipboard: the process's own store (text, file lists, images, none and
// the values it refuses), the file-list text of the desktop clipboard, and the
// desktop clipboard itself through xclip when a display is there.
#include <cstdlib>

#include "block_fixtures.hpp"
#include "datatypes/binary.hpp"
#include "datatypes/file.hpp"
#include "foundation/gc.hpp"
#include "foundation/platform/clipboard_x.hpp"
#include "foundation/platform/os.hpp"
#include "io/clipboard.hpp"

namespace kro {
namespace {

using namespace testing_blocks;

Cell file_of(const std::string& name) {
    Cell* top = stack::top_ptr;
    Cell f = *file::load(reinterpret_cast<const uint8_t*>(name.data()), uint32_t(name.size()), string::ENCODING_UTF8);
    stack::top_ptr = top;
    return f;
}

std::string clip() {
    gc::Rooted out;
    clipboard::read(out.get());
    return mold_text(out.cell, false, true);
}

bool put(const Cell& v) {
    gc::Rooted value(v);
    return clipboard::write(value.get());
}

// An image! for the tests: the real type when it is registered, else a
// stand-in whose cell keeps its pixels in a binary series (the collector's
// rule for image! cells) with copy and compare.
class Images {
public:
    Images() {
        if (datatype::registered(TYPE_IMAGE)) return;
        ActionList a;
        a.set<A_COPY>(&copy).set<A_COMPARE>(&compare);
        datatype::register_type(TYPE_IMAGE, 0, "image!", a);
        own_ = true;
    }
    ~Images() {
        if (own_) datatype::forget(TYPE_IMAGE);
    }
    bool stand_in() const { return own_; }

    // A 2x2 image; the stand-in's pixels are the bytes given.
    Cell make(std::vector<uint8_t> pixels) {
        if (!own_) {
            Cell type{uint32_t(TYPE_DATATYPE), uint32_t(TYPE_IMAGE), 0, 0};
            Cell size = pair(2, 2);
            datatype::action<A_MAKE>(TYPE_IMAGE)(&type, &size, TYPE_IMAGE);
            return type;
        }
        Cell bin = binary::of_bytes(pixels);
        bin.header = uint32_t(TYPE_IMAGE);
        return bin;
    }
    static std::vector<uint8_t> pixels(const Cell& img) {
        Cell bin = img;
        bin.header = uint32_t(TYPE_BINARY);
        return binary::bytes_of(&bin);
    }

private:
    static Cell* copy(Cell* value, Cell* result, Cell*, bool, Cell*) {
        *result = binary::of_bytes(pixels(*value));
        result->header = uint32_t(TYPE_IMAGE);
        return result;
    }
    static int32_t compare(Cell* a, Cell* b, int32_t) {
        if (!b->is(TYPE_IMAGE)) return -2;
        return pixels(*a) == pixels(*b) ? 0 : 1;
    }
    bool own_ = false;
};

class LocalClipboard : public ::testing::Test {
protected:
    void SetUp() override { clipboard::set_backend(clipboard::Backend::LOCAL); }
    void TearDown() override {
        gc::Rooted none_cell(none::value);
        clipboard::write(none_cell.get());
        clipboard::set_backend(clipboard::Backend::AUTO);
    }
};

TEST_F(LocalClipboard, TextRoundTripsWhateverItsCharacters) {
    EXPECT_FALSE(clipboard::uses_desktop());
    const char* texts[] = {"plain", "", "line 1\nline 2", "caf\xC3\xA9 \xE2\x98\x83", "beyond \xF0\x9F\x98\x80 BMP"};
    for (const char* t : texts) {
        EXPECT_TRUE(put(text(t)));
        gc::Rooted out;
        clipboard::read(out.get());
        ASSERT_TRUE(out->is(TYPE_STRING)) << t;
        EXPECT_EQ(utf8(out.cell), t);
    }
    // a string in four-byte units reads back as the same text
    EXPECT_TRUE(put(text("wide \xF0\x9F\x98\x80", 4)));
    EXPECT_EQ(clip(), "\"wide \xF0\x9F\x98\x80\"");
    // the store keeps text, not the value: a later change does not reach it
    gc::Rooted s(text("before"));
    clipboard::write(s.get());
    string::append_utf8(s.get(), " and after");
    EXPECT_EQ(clip(), "\"before\"");
}

TEST_F(LocalClipboard, NoneEmptiesIt) {
    EXPECT_TRUE(put(text("something")));
    EXPECT_TRUE(put(none::value));
    EXPECT_EQ(clip(), "none");
    EXPECT_EQ(clip(), "none") << "reading does not change it";
}

TEST_F(LocalClipboard, FileListsHoldAbsoluteNames) {
    std::string cwd = platform::get_current_dir();
    if (!cwd.empty() && cwd.back() != '/') cwd += '/';
    EXPECT_TRUE(put(block_of({file_of("/tmp/a b.txt"), file_of("rel/c.kro"), file_of("/d/")})));
    EXPECT_EQ(clip(), "[%\"/tmp/a b.txt\" %" + cwd + "rel/c.kro %/d/]");
    EXPECT_TRUE(put(block_of({})));
    EXPECT_EQ(clip(), "[]");
}

TEST_F(LocalClipboard, OtherValuesAreRefusedAndLeaveItAsItWas) {
    ASSERT_TRUE(put(text("kept")));
    Cell bad[] = {integer(42), w("word"), file_of("/tmp/x"), block_of({file_of("/tmp/x"), text("not a file")}),
                  binary::of_bytes({1, 2})};
    for (const Cell& v : bad) {
        EXPECT_EQ(raised([&] { put(v); }), "script/invalid-arg") << mold_text(v);
        EXPECT_EQ(clip(), "\"kept\"");
    }
}

TEST_F(LocalClipboard, ImagesAreKeptAsCopies) {
    Images images;
    gc::Rooted img(images.make({1, 2, 3, 4}));
    EXPECT_TRUE(clipboard::write(img.get()));
    gc::Rooted back;
    clipboard::read(back.get());
    ASSERT_TRUE(back->is(TYPE_IMAGE));
    EXPECT_TRUE(actions::compare(back.get(), img.get(), actions::EQUAL));
    if (images.stand_in()) {
        EXPECT_NE(back->data2, img->data2) << "a copy, not the written value";
        // changing the written image or the one read leaves the clipboard's alone
        Cell bin = img.cell;
        bin.header = uint32_t(TYPE_BINARY);
        binary::write_bytes_at(&bin, 0, reinterpret_cast<const uint8_t*>("\x09"), 1);
        gc::Rooted again;
        clipboard::read(again.get());
        EXPECT_EQ(Images::pixels(again.cell), (std::vector<uint8_t>{1, 2, 3, 4}));
    }
    // text replaces the image
    EXPECT_TRUE(put(text("t")));
    EXPECT_EQ(clip(), "\"t\"");
}

TEST(ClipboardUriList, FileNamesAndUris) {
    using platform::clipboard::from_uri_list;
    using platform::clipboard::to_uri_list;
    std::vector<std::string> names = {"/tmp/a b.txt", "/home/\xC3\xA9t\xC3\xA9/100%", "/x/"};
    std::string list = to_uri_list(names);
    EXPECT_EQ(list, "file:///tmp/a%20b.txt\r\nfile:///home/%C3%A9t%C3%A9/100%25\r\nfile:///x/\r\n");
    EXPECT_EQ(from_uri_list(list), names);
    struct Case {
        const char* list;
        std::vector<std::string> names;
    } cases[] = {
        {"# a comment\nfile:///a\n", {"/a"}},
        {"file://localhost/b%2Fc\r\n", {"/b/c"}},
        // other hosts and schemes are not local files
        {"file://server/share/x\nhttp://h/y\nfile:///z", {"/z"}},
        // an escape decoding to NUL cannot name a file; a broken escape stays as it is
        {"file:///n%00l\nfile:///p%2\nfile:///q%zz", {"/p%2", "/q%zz"}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(from_uri_list(c.list), c.names) << c.list;
}

TEST(DesktopClipboard, RoundTripsThroughXclip) {
    if (!platform::clipboard::x_available()) GTEST_SKIP() << "no display, or no xclip on PATH";
    clipboard::set_backend(clipboard::Backend::AUTO);
    ASSERT_TRUE(clipboard::uses_desktop());
    EXPECT_TRUE(put(text("desk \xF0\x9F\x98\x80 top")));
    EXPECT_EQ(clip(), "\"desk \xF0\x9F\x98\x80 top\"");
    EXPECT_TRUE(put(block_of({file_of("/tmp/a b.txt"), file_of("/tmp/c")})));
    EXPECT_EQ(clip(), "[%\"/tmp/a b.txt\" %/tmp/c]");
    EXPECT_TRUE(put(none::value));
    EXPECT_EQ(clip(), "none");
    EXPECT_EQ(raised([&] { put(integer(1)); }), "script/invalid-arg");
}

}  // namespace
}  // namespace kro
