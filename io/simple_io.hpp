// simple-io: reading, writing, listing, querying, deleting and renaming files
// and directories, in plain C++ types over the platform's file layer. Paths are
// UTF-8 local paths; data is bytes (text is UTF-8, decoded by the caller).
// Nothing here raises: failures answer an empty optional, -1 or false, and the
// callers above turn them into access errors.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kro::simple_io {

// A part or seek argument that was not given.
constexpr int64_t ABSENT = -1;

// The most bytes one read takes into memory: past it the read fails rather
// than exhaust the heap (an endless device, a file bigger than any series).
constexpr size_t READ_LIMIT = size_t(1) << 30;

// True when the path names a directory by its form: it ends with "/", is "."
// or "..", or ends with "/." or "/..".
bool is_dir_path(std::string_view path);

// The bytes of a file. seek (0 or more) starts there; part (above 0) reads at
// most that many bytes, part 0 reads nothing; negative values mean absent. A
// seek at or past the end gives no bytes. Pipes, devices and files that report
// no size are read to their end in one pass (with part, exactly part bytes
// are taken from them, the rest left unread). Empty optional when the file
// cannot be opened or read, is a directory, or holds more than limit bytes.
std::optional<std::vector<uint8_t>> read_file(const std::string& path, int64_t part = ABSENT,
                                              int64_t seek = ABSENT, size_t limit = READ_LIMIT);

// Lines split at LF, a CR before the LF dropped; a last line without LF is
// kept, an LF at the very end adds no empty line.
std::vector<std::string> split_lines(const uint8_t* data, size_t size);

// The entries of a directory, code-point order, directories with a trailing
// "/". Empty optional when it cannot be listed.
std::optional<std::vector<std::string>> read_dir(const std::string& path);

// What read answers: a directory listing for a directory path, the file's
// bytes, or its lines.
struct ReadResult {
    enum Kind { FAILED, LISTING, BYTES, LINES } kind = FAILED;
    std::vector<uint8_t> bytes;       // BYTES
    std::vector<std::string> items;   // LISTING: names; LINES: the lines
};
ReadResult read(const std::string& path, int64_t part = ABSENT, int64_t seek = ABSENT, bool lines = false);

// Writes the bytes, followed by a line end when newline is set. No path
// writes to the process's standard output. A seek of 0 or more writes there
// without truncating; append writes at the end; otherwise the file is
// created or truncated. Answers the bytes written, or -1.
int64_t write_file(const std::string* path, const uint8_t* data, size_t size, int64_t seek = ABSENT,
                   bool append = false, bool newline = false);
// Each line followed by a line end.
int64_t write_lines(const std::string* path, const std::vector<std::string>& lines, int64_t seek = ABSENT,
                    bool append = false);

// The line end written by write_lines and the newline flag.
constexpr std::string_view LINE_END = "\n";

struct QueryResult {
    // The last modification, UTC, to the millisecond (nanosecond holds it).
    int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int32_t nanosecond = 0;
    int64_t size = 0;
    bool is_dir = false;
};
// Empty optional when the path names nothing, or ends with "/" and names no directory.
std::optional<QueryResult> query(const std::string& path);

// The size in bytes of a file that can be opened for reading; empty for a
// directory or a file that cannot be opened. Pipes and devices measure 0.
std::optional<int64_t> size_of(const std::string& path);

bool exists(const std::string& path);
// One level: the parent must exist; false when the directory already exists.
bool make_dir(const std::string& path);
// A directory path (by is_dir_path) removes an empty directory, any other a file.
bool delete_path(const std::string& path);
// False when the target exists: it is never replaced.
bool rename_path(const std::string& from, const std::string& to);

}  // namespace kro::simple_io
