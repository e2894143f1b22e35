#include "io/simple_io.hpp"

#include <time.h>

#include <algorithm>

#include "foundation/platform/console_out.hpp"
#include "foundation/platform/files.hpp"

namespace kro::simple_io {

namespace files = platform::files;

namespace {

// A NUL inside a path would silently cut it short and name another file.
bool usable(const std::string& path) { return path.find('\0') == std::string::npos; }

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { files::close_file(fd_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Passes over n bytes of a stream that cannot seek by reading them.
bool skip(int fd, int64_t n) {
    if (files::seek_file(fd, n)) return true;
    uint8_t scratch[65536];
    while (n > 0) {
        size_t want = n < int64_t(sizeof scratch) ? size_t(n) : sizeof scratch;
        int64_t got = files::read_data(fd, scratch, want);
        if (got < 0) return false;
        if (got == 0) break;  // the stream ended before the offset: nothing left to read
        n -= got;
    }
    return true;
}

}  // namespace

bool is_dir_path(std::string_view p) {
    if (p.empty()) return false;
    if (p.back() == '/') return true;
    if (p == "." || p == "..") return true;
    auto ends = [&](std::string_view tail) { return p.size() >= tail.size() && p.substr(p.size() - tail.size()) == tail; };
    return ends("/.") || ends("/..");
}

std::optional<std::vector<uint8_t>> read_file(const std::string& path, int64_t part, int64_t seek, size_t limit) {
    if (!usable(path)) return std::nullopt;
    Descriptor fd(files::open_file(path.c_str(), files::MODE_READ));
    if (fd.get() < 0 || files::is_directory_fd(fd.get())) return std::nullopt;
    std::vector<uint8_t> out;
    if (part == 0) return out;
    int64_t size = files::file_size(fd.get());
    if (size < 0) return std::nullopt;

    if (size > 0) {
        // A regular file of known size: seek and part are bounded by it.
        if (seek >= 0) {
            if (seek >= size) return out;
            if (!files::seek_file(fd.get(), seek)) return std::nullopt;
            size -= seek;
        }
        if (part > 0 && part < size) size = part;
        if (uint64_t(size) > limit) return std::nullopt;
        out.resize(size_t(size));
        int64_t got = files::read_data(fd.get(), out.data(), out.size());
        if (got < 0) return std::nullopt;
        out.resize(size_t(got));  // the file shrank while it was read
        return out;
    }

    // A pipe, a device, or a file that reports no size: one pass to its end,
    // since what is read from a stream cannot be read again.
    if (seek > 0 && !skip(fd.get(), seek)) return std::nullopt;
    if (part > 0) {
        if (uint64_t(part) > limit) part = int64_t(limit);
        out.resize(size_t(part));
        int64_t got = files::read_data(fd.get(), out.data(), out.size());
        if (got < 0) return std::nullopt;
        out.resize(size_t(got));
        return out;
    }
    if (!files::read_to_end(fd.get(), out, limit)) return std::nullopt;
    return out;
}

std::vector<std::string> split_lines(const uint8_t* data, size_t size) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != '\n') continue;
        size_t end = i;
        if (end > start && data[end - 1] == '\r') --end;
        lines.emplace_back(reinterpret_cast<const char*>(data + start), end - start);
        start = i + 1;
    }
    if (start < size) lines.emplace_back(reinterpret_cast<const char*>(data + start), size - start);
    return lines;
}

std::optional<std::vector<std::string>> read_dir(const std::string& path) {
    if (!usable(path)) return std::nullopt;
    auto entries = files::list_dir(path.c_str());
    if (!entries) return std::nullopt;
    std::vector<std::string> names;
    names.reserve(entries->size());
    for (auto& e : *entries) names.push_back(e.is_dir ? std::move(e.name) + "/" : std::move(e.name));
    return names;
}

ReadResult read(const std::string& path, int64_t part, int64_t seek, bool lines) {
    ReadResult r;
    if (is_dir_path(path)) {
        if (auto names = read_dir(path)) {
            r.kind = ReadResult::LISTING;
            r.items = std::move(*names);
        }
        return r;
    }
    auto bytes = read_file(path, part, seek);
    if (!bytes) return r;
    if (lines) {
        r.kind = ReadResult::LINES;
        r.items = split_lines(bytes->data(), bytes->size());
    } else {
        r.kind = ReadResult::BYTES;
        r.bytes = std::move(*bytes);
    }
    return r;
}

namespace {

// Opens the target of a write (or takes standard output) and positions it.
// Answers the descriptor and whether it was opened here, or -1.
int open_for_write(const std::string* path, int64_t seek, bool append, bool& owned) {
    owned = false;
    if (!path) return console::output_fd();
    if (!usable(*path)) return -1;
    int mode = files::MODE_WRITE;
    if (append) mode |= files::MODE_APPEND;
    if (seek >= 0) mode |= files::MODE_SEEK;
    int fd = files::open_file(path->c_str(), mode);
    if (fd < 0) return -1;
    owned = true;
    if (seek > 0 && !append && !files::seek_file(fd, seek)) {
        files::close_file(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int64_t write_file(const std::string* path, const uint8_t* data, size_t size, int64_t seek, bool append,
                   bool newline) {
    bool owned;
    int fd = open_for_write(path, seek, append, owned);
    if (fd < 0) return -1;
    int64_t total = files::write_data(fd, data, size);
    if (total >= 0 && newline) {
        int64_t n = files::write_data(fd, LINE_END.data(), LINE_END.size());
        total = n < 0 ? -1 : total + n;
    }
    if (owned) files::close_file(fd);
    return total;
}

int64_t write_lines(const std::string* path, const std::vector<std::string>& lines, int64_t seek, bool append) {
    bool owned;
    int fd = open_for_write(path, seek, append, owned);
    if (fd < 0) return -1;
    // Every write counts: one that fails part-way fails the whole call.
    int64_t total = 0;
    std::string buf;
    for (const std::string& line : lines) {
        buf.append(line);
        buf.append(LINE_END);
        if (buf.size() >= 65536 || &line == &lines.back()) {
            int64_t n = files::write_data(fd, buf.data(), buf.size());
            if (n < 0) {
                total = -1;
                break;
            }
            total += n;
            buf.clear();
        }
    }
    if (owned) files::close_file(fd);
    return total;
}

std::optional<QueryResult> query(const std::string& path) {
    if (!usable(path)) return std::nullopt;
    auto st = files::status(path.c_str());
    if (!st) return std::nullopt;
    if (!path.empty() && path.back() == '/' && !st->is_dir) return std::nullopt;
    time_t secs = time_t(st->mtime_seconds);
    tm t;
    if (!::gmtime_r(&secs, &t)) return std::nullopt;
    QueryResult q;
    q.year = t.tm_year + 1900;
    q.month = t.tm_mon + 1;
    q.day = t.tm_mday;
    q.hour = t.tm_hour;
    q.minute = t.tm_min;
    q.second = t.tm_sec;
    q.nanosecond = st->mtime_nanoseconds / 1000000 * 1000000;
    q.size = st->size;
    q.is_dir = st->is_dir;
    return q;
}

std::optional<int64_t> size_of(const std::string& path) {
    if (!usable(path)) return std::nullopt;
    auto st = files::status(path.c_str());
    if (!st || st->is_dir) return std::nullopt;
    // Only regular files are opened to prove they are readable: opening a
    // FIFO would wait for a writer.
    if (st->is_regular) {
        int fd = files::open_file(path.c_str(), files::MODE_READ);
        if (fd < 0) return std::nullopt;
        files::close_file(fd);
        return st->size;
    }
    return 0;
}

bool exists(const std::string& path) { return usable(path) && files::exists(path.c_str()); }

bool make_dir(const std::string& path) { return usable(path) && files::make_dir(path.c_str()); }

bool delete_path(const std::string& path) {
    if (!usable(path)) return false;
    return is_dir_path(path) ? files::remove_dir(path.c_str()) : files::remove_file(path.c_str());
}

bool rename_path(const std::string& from, const std::string& to) {
    return usable(from) && usable(to) && files::rename_path(from.c_str(), to.c_str());
}

}  // namespace kro::simple_io
