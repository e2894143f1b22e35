// Files and directories: reading with part, seek and lines, pipes and devices
// read in one pass, writing with seek, append and lines, listings and their
// order, query, delete, make-dir and rename that never replaces.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "foundation/platform/files.hpp"
#include "io/simple_io.hpp"
#include "output_capture.hpp"
#include "temp_dir.hpp"

using namespace kro;
using kro::test::file_text;
using kro::test::put_file;
using kro::test::TempDir;
namespace sio = kro::simple_io;

namespace {

constexpr int64_t NO = sio::ABSENT;

std::string text_of(const std::optional<std::vector<uint8_t>>& bytes) {
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<failed>");
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + i / 251) & 0xFF);
    return s;
}

// Standard input replaced by a pipe for the object's lifetime.
class PipedStdin {
public:
    PipedStdin() {
        saved_ = ::dup(0);
        int p[2];
        if (::pipe(p) != 0) return;
        ::dup2(p[0], 0);
        ::close(p[0]);
        write_end = p[1];
    }
    ~PipedStdin() {
        if (write_end >= 0) ::close(write_end);
        ::dup2(saved_, 0);
        ::close(saved_);
    }
    void close_writer() {
        ::close(write_end);
        write_end = -1;
    }
    int write_end = -1;

private:
    int saved_;
};

std::string drain(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    return out;
}

}  // namespace

TEST(SimpleIoRead, PartAndSeekAreBoundedByTheFile) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string f = dir / "digits";
    put_file(f, "0123456789");
    struct Case {
        int64_t part, seek;
        const char* expected;
    };
    const Case cases[] = {
        {NO, NO, "0123456789"},  {4, NO, "0123"},   {NO, 3, "3456789"},  {2, 3, "34"},
        {0, NO, ""},             {0, 1000, ""},     {100, NO, "0123456789"}, {NO, 10, ""},
        {NO, 1000, ""},          {5, 8, "89"},      {-5, NO, "0123456789"},  {NO, -3, "0123456789"},
        {NO, 0, "0123456789"},   {10, 0, "0123456789"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(text_of(sio::read_file(f, c.part, c.seek)), c.expected) << "part " << c.part << " seek " << c.seek;

    // The size limit refuses a whole read that would pass it, but not a part within it.
    EXPECT_FALSE(sio::read_file(f, NO, NO, 5));
    EXPECT_EQ(text_of(sio::read_file(f, 4, NO, 5)), "0123");
}

TEST(SimpleIoRead, EmptyMissingAndDirectory) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    put_file(dir / "empty", "");
    auto empty = sio::read_file(dir / "empty");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_FALSE(sio::read_file(dir / "missing"));
    EXPECT_FALSE(sio::read_file(dir.path()));
    // A NUL would cut the path short and name another file.
    put_file(dir / "a", "x");
    EXPECT_FALSE(sio::read_file(dir / std::string("a\0b", 3)));

    // read dispatches on the path's form.
    EXPECT_EQ(sio::read(dir / "missing").kind, sio::ReadResult::FAILED);
    auto r = sio::read(dir / "a");
    EXPECT_EQ(r.kind, sio::ReadResult::BYTES);
    EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), "x");
}

TEST(SimpleIoRead, Lines) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"a\r\nb\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"", {}},
        {"\n", {""}},
        {"\r\n", {""}},
        {"a\n\nb", {"a", "", "b"}},
        {"a\r", {"a\r"}},          // a CR alone ends nothing
        {"a\rb\r\r\n", {"a\rb\r"}},  // only the CR right before LF goes
        {"x\n\n", {"x", ""}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sio::split_lines(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size()), c.lines)
            << testing::PrintToString(c.text);

    TempDir dir;
    ASSERT_TRUE(dir.ok());
    put_file(dir / "l", "one\r\ntwo\nthree");
    auto r = sio::read(dir / "l", NO, NO, true);
    EXPECT_EQ(r.kind, sio::ReadResult::LINES);
    EXPECT_EQ(r.items, (std::vector<std::string>{"one", "two", "three"}));
    r = sio::read(dir / "l", 6, 5, true);  // lines of the part only
    EXPECT_EQ(r.items, (std::vector<std::string>{"two", "th"}));
}

TEST(SimpleIoRead, PipeIsReadWholeWithoutLosingBytes) {
    // Far more than a pipe holds, so the writer is still writing while we read.
    const std::string data = pattern(1 << 20);
    PipedStdin in;
    ASSERT_GE(in.write_end, 0);
    std::thread writer([&] {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::write(in.write_end, data.data() + done, data.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        in.close_writer();
    });
    auto got = sio::read_file("/dev/stdin");
    writer.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), data.size());
    EXPECT_TRUE(std::string(got->begin(), got->end()) == data);
}

TEST(SimpleIoRead, PipePartAndSeekTakeOnlyWhatTheyNeed) {
    PipedStdin in;
    ASSERT_GE(in.write_end, 0);
    ASSERT_EQ(::write(in.write_end, "0123456789ABCDEF", 16), 16);
    in.close_writer();
    // part 4 after seek 2: bytes 2-5 are taken, 0-1 passed over, the rest stays in the pipe.
    EXPECT_EQ(text_of(sio::read_file("/dev/stdin", 4, 2)), "2345");
    EXPECT_EQ(drain(0), "6789ABCDEF");
}

TEST(SimpleIoRead, FifoDevicesAndFilesWithoutASize) {
    ::alarm(120);  // a read that never ends fails the test instead of hanging the suite
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string data = pattern(300000);
    std::thread writer([&] {
        int fd = ::open(fifo.c_str(), O_WRONLY);
        size_t done = 0;
        while (fd >= 0 && done < data.size()) {
            ssize_t n = ::write(fd, data.data() + done, data.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        ::close(fd);
    });
    auto got = sio::read_file(fifo);
    writer.join();
    ASSERT_TRUE(got);
    EXPECT_TRUE(std::string(got->begin(), got->end()) == data);

    // /proc reports a size of 0 but has content.
    std::string status = text_of(sio::read_file("/proc/self/status"));
    EXPECT_EQ(status.rfind("Name:", 0), 0u) << status.substr(0, 40);

    EXPECT_EQ(text_of(sio::read_file("/dev/null")), "");
    // An endless device ends at the part, or fails at the limit instead of filling memory.
    auto zeros = sio::read_file("/dev/zero", 1000);
    ASSERT_TRUE(zeros);
    EXPECT_EQ(*zeros, std::vector<uint8_t>(1000, 0));
    EXPECT_FALSE(sio::read_file("/dev/zero", NO, NO, 100000));
    ::alarm(0);
}

TEST(SimpleIoWrite, CreateTruncateSeekAppend) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string f = dir / "w";
    auto write = [&](const std::string& s, int64_t seek, bool append, bool newline = false) {
        return sio::write_file(&f, reinterpret_cast<const uint8_t*>(s.data()), s.size(), seek, append, newline);
    };
    EXPECT_EQ(write("0123456789", NO, false), 10);
    EXPECT_EQ(file_text(f), "0123456789");
    EXPECT_EQ(write("AB", 3, false), 2);  // in place, nothing cut
    EXPECT_EQ(file_text(f), "012AB56789");
    EXPECT_EQ(write("xy", 0, false), 2);
    EXPECT_EQ(file_text(f), "xy2AB56789");
    EXPECT_EQ(write("Z", 12, false), 1);  // past the end: the gap reads as zeros
    EXPECT_EQ(file_text(f), std::string("xy2AB56789\0\0Z", 13));
    EXPECT_EQ(write("abc", NO, false), 3);  // plain write truncates
    EXPECT_EQ(file_text(f), "abc");
    EXPECT_EQ(write("def", NO, true), 3);
    EXPECT_EQ(write("g", 0, true), 1);  // append wins over a seek
    EXPECT_EQ(file_text(f), "abcdefg");
    EXPECT_EQ(write("n", NO, false, true), 1 + int64_t(sio::LINE_END.size()));
    EXPECT_EQ(file_text(f), "n" + std::string(sio::LINE_END));

    const std::string fresh = dir / "fresh";
    EXPECT_EQ(write("", NO, false), 0);
    std::string s = "new";
    EXPECT_EQ(sio::write_file(&fresh, reinterpret_cast<const uint8_t*>(s.data()), 3, NO, true), 3);
    EXPECT_EQ(file_text(fresh), "new");

    // Failures answer -1 and create nothing under a cut name.
    const std::string nowhere = dir / "no/such/dir/f";
    EXPECT_EQ(sio::write_file(&nowhere, nullptr, 0), -1);
    const std::string nul = dir / std::string("cut\0tail", 8);
    EXPECT_EQ(sio::write_file(&nul, reinterpret_cast<const uint8_t*>("x"), 1), -1);
    EXPECT_FALSE(sio::exists(dir / "cut"));
    EXPECT_EQ(sio::write_file(&dir.path(), reinterpret_cast<const uint8_t*>("x"), 1), -1);
}

TEST(SimpleIoWrite, LinesAndStandardOutput) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string f = dir / "lines";
    std::vector<std::string> lines = {"a", "", "b c"};
    EXPECT_EQ(sio::write_lines(&f, lines), 7);
    EXPECT_EQ(file_text(f), "a\n\nb c\n");
    EXPECT_EQ(sio::write_lines(&f, {"d"}, NO, true), 2);
    EXPECT_EQ(file_text(f), "a\n\nb c\nd\n");
    // Many lines pass the internal batching intact.
    std::vector<std::string> many;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        many.push_back(std::to_string(i));
        expected += std::to_string(i) + "\n";
    }
    EXPECT_EQ(sio::write_lines(&f, many), int64_t(expected.size()));
    EXPECT_TRUE(file_text(f) == expected);
    // What was written reads back as the same lines.
    auto back = sio::read(f, NO, NO, true);
    EXPECT_EQ(back.items, many);

    test::CapturedOutput out;
    EXPECT_EQ(sio::write_file(nullptr, reinterpret_cast<const uint8_t*>("hi"), 2, NO, false, true), 3);
    EXPECT_EQ(sio::write_lines(nullptr, {"x", "y"}), 4);
    EXPECT_EQ(out.take(), "hi\nx\ny\n");
}

TEST(SimpleIoDir, ListingOrderAndMarks) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    for (const char* name : {"b", "a", "C", "a.txt", "\xC3\xA9t\xC3\xA9", "~"}) put_file(dir / name, "");
    ASSERT_EQ(::mkdir((dir / "dir1").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir / "Zed").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("dir1", (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("a", (dir / "flink").c_str()), 0);
    put_file(dir / "dir1/inner", "");  // listings are one level deep

    const std::vector<std::string> expected = {"C", "Zed/", "a", "a.txt", "b", "dir1/", "flink", "link/", "~",
                                               "\xC3\xA9t\xC3\xA9"};
    auto names = sio::read_dir(dir.path());
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, expected);
    auto r = sio::read(dir.path() + "/");
    EXPECT_EQ(r.kind, sio::ReadResult::LISTING);
    EXPECT_EQ(r.items, expected);
    r = sio::read(dir.path() + "/dir1/.");
    EXPECT_EQ(r.items, std::vector<std::string>{"inner"});

    EXPECT_EQ(sio::read_dir(dir / "Zed"), std::vector<std::string>{});
    EXPECT_FALSE(sio::read_dir(dir / "missing"));
    EXPECT_FALSE(sio::read_dir(dir / "a"));
    EXPECT_EQ(sio::read(dir / "missing/").kind, sio::ReadResult::FAILED);
    // "/" is the root directory: there are no drives.
    auto root = sio::read_dir("/");
    ASSERT_TRUE(root);
    EXPECT_NE(std::find(root->begin(), root->end(), "tmp/"), root->end());
}

TEST(SimpleIoDir, DirectoryByForm) {
    struct Case {
        const char* path;
        bool dir;
    };
    const Case cases[] = {{"a/", true},   {".", true},     {"..", true},  {"a/..", true}, {"a/.", true},
                          {"/", true},    {"a", false},    {"", false},   {"a..", false}, {"a/b", false},
                          {"..a", false}, {"a/...", false}, {"a.", false}, {"a\\", false}};
    for (const Case& c : cases) EXPECT_EQ(sio::is_dir_path(c.path), c.dir) << c.path;
}

TEST(SimpleIoQuery, DateSizeAndKind) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string f = dir / "q";
    put_file(f, "12345");
    // 2021-03-04 05:06:07.123456789 UTC
    timespec times[2] = {{1614834367, 0}, {1614834367, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
    auto q = sio::query(f);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->year, 2021);
    EXPECT_EQ(q->month, 3);
    EXPECT_EQ(q->day, 4);
    EXPECT_EQ(q->hour, 5);
    EXPECT_EQ(q->minute, 6);
    EXPECT_EQ(q->second, 7);
    EXPECT_EQ(q->nanosecond, 123000000);  // to the millisecond
    EXPECT_EQ(q->size, 5);
    EXPECT_FALSE(q->is_dir);

    // Before 1970 and at a leap day.
    timespec old[2] = {{0, 0}, {-86400 * 365 + 3600, 999999999}};  // 1969-01-01 01:00:00.999
    ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), old, 0), 0);
    q = sio::query(f);
    ASSERT_TRUE(q);
    EXPECT_EQ((std::vector<int>{q->year, q->month, q->day, q->hour, q->nanosecond}),
              (std::vector<int>{1969, 1, 1, 1, 999000000}));
    timespec leap[2] = {{0, 0}, {951782400 + 86399, 0}};  // 2000-02-29 23:59:59
    ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), leap, 0), 0);
    q = sio::query(f);
    ASSERT_TRUE(q);
    EXPECT_EQ((std::vector<int>{q->year, q->month, q->day, q->hour, q->minute, q->second}),
              (std::vector<int>{2000, 2, 29, 23, 59, 59}));

    auto d = sio::query(dir.path());
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->is_dir);
    EXPECT_TRUE(sio::query(dir.path() + "/"));
    EXPECT_FALSE(sio::query(f + "/"));  // a file named as a directory
    EXPECT_FALSE(sio::query(dir / "missing"));

    EXPECT_EQ(sio::size_of(f), 5);
    EXPECT_FALSE(sio::size_of(dir.path()));
    EXPECT_FALSE(sio::size_of(dir / "missing"));
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::alarm(60);
    EXPECT_EQ(sio::size_of(fifo), 0);  // measured without waiting for a writer
    ::alarm(0);
}

TEST(SimpleIoDelete, FilesAndEmptyDirectories) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    put_file(dir / "f", "x");
    ASSERT_EQ(::mkdir((dir / "empty").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir / "full").c_str(), 0700), 0);
    put_file(dir / "full/x", "");

    EXPECT_FALSE(sio::delete_path(dir / "f/"));  // a file named as a directory is not removed
    EXPECT_TRUE(sio::exists(dir / "f"));
    EXPECT_TRUE(sio::delete_path(dir / "f"));
    EXPECT_FALSE(sio::exists(dir / "f"));
    EXPECT_FALSE(sio::delete_path(dir / "f"));

    EXPECT_FALSE(sio::delete_path(dir / "empty"));  // a directory must be named as one
    EXPECT_TRUE(sio::delete_path(dir / "empty/"));
    EXPECT_FALSE(sio::exists(dir / "empty"));
    EXPECT_FALSE(sio::delete_path(dir / "full/"));
    EXPECT_TRUE(sio::exists(dir / "full/x"));
}

TEST(SimpleIoMakeDir, OneLevelAtATime) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    EXPECT_FALSE(sio::make_dir(dir / "a/b"));  // the parent must exist
    EXPECT_FALSE(sio::exists(dir / "a"));
    EXPECT_TRUE(sio::make_dir(dir / "a"));
    EXPECT_TRUE(sio::make_dir(dir / "a/b/"));
    auto q = sio::query(dir / "a/b");
    ASSERT_TRUE(q);
    EXPECT_TRUE(q->is_dir);
    EXPECT_FALSE(sio::make_dir(dir / "a"));  // already there
    put_file(dir / "file", "");
    EXPECT_FALSE(sio::make_dir(dir / "file"));
    EXPECT_FALSE(sio::make_dir(dir / "file/sub"));
}

namespace {

// A file system that does not know RENAME_NOREPLACE.
int refuse_noreplace(int, const char*, int, const char*, unsigned) {
    errno = EINVAL;
    return -1;
}

struct RenameFallback {
    RenameFallback() { platform::files::set_renameat2_call(&refuse_noreplace); }
    ~RenameFallback() { platform::files::set_renameat2_call(nullptr); }
};

void check_rename(const TempDir& dir) {
    put_file(dir / "old", "OLD");
    put_file(dir / "taken", "TAKEN");
    EXPECT_FALSE(sio::rename_path(dir / "old", dir / "taken"));
    EXPECT_EQ(file_text(dir / "old"), "OLD");
    EXPECT_EQ(file_text(dir / "taken"), "TAKEN");

    EXPECT_TRUE(sio::rename_path(dir / "old", dir / "new"));
    EXPECT_FALSE(sio::exists(dir / "old"));
    EXPECT_EQ(file_text(dir / "new"), "OLD");
    EXPECT_FALSE(sio::rename_path(dir / "old", dir / "other"));  // source gone
    EXPECT_TRUE(sio::rename_path(dir / "new", dir / "New"));     // names are case-sensitive
    EXPECT_EQ(file_text(dir / "New"), "OLD");

    ASSERT_EQ(::mkdir((dir / "d1").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir / "d2").c_str(), 0700), 0);
    put_file(dir / "d1/in", "1");
    EXPECT_FALSE(sio::rename_path(dir / "d1", dir / "d2"));  // an empty directory is still a target
    EXPECT_FALSE(sio::rename_path(dir / "d1", dir / "taken"));
    EXPECT_TRUE(sio::rename_path(dir / "d1", dir / "d3"));
    EXPECT_EQ(file_text(dir / "d3/in"), "1");
}

}  // namespace

TEST(SimpleIoRename, NeverReplacesATarget) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    check_rename(dir);
}

TEST(SimpleIoRename, FallbackWhenTheFileSystemRefusesTheFlag) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    RenameFallback fallback;
    check_rename(dir);
}
