// Files and directories over POSIX: the calls behind simple-io. Paths are UTF-8
// local paths (slashes, no drive letters) and names are case-sensitive. Nothing
// here raises: failures answer -1, false or an empty optional.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kro::platform::files {

// Open modes, combined as bits.
enum : int { MODE_READ = 1, MODE_WRITE = 2, MODE_APPEND = 4, MODE_SEEK = 8 };

// Read opens an existing file; write creates or truncates it, unless append or
// seek is also asked, which keep its contents (append writes at the end).
// Answers a descriptor (close-on-exec) or -1.
int open_file(const char* path, int mode);
void close_file(int fd);

// The size of a regular file, 0 for pipes, devices and other streams whose
// size is unknown, -1 when the descriptor cannot be examined.
int64_t file_size(int fd);
bool is_directory_fd(int fd);

// Moves to an offset from the start; false for negative offsets and streams.
bool seek_file(int fd, int64_t offset);
bool seek_end(int fd);

// Reads up to n bytes, going on after interruptions and short reads, and
// stops early only at the end of the data. Answers the count or -1.
int64_t read_data(int fd, void* buffer, size_t n);
// Writes all n bytes (interruptions, short writes and a non-blocking
// descriptor are waited out). Answers n or -1.
int64_t write_data(int fd, const void* buffer, size_t n);

// Reads everything up to the end of the data, for streams whose size is not
// known in advance. Stops after max bytes; answers false on a read error or
// when more than max bytes were offered.
bool read_to_end(int fd, std::vector<uint8_t>& out, size_t max);

// One directory level; false when it exists or its parent is missing.
bool make_dir(const char* path);
bool exists(const char* path);
bool remove_file(const char* path);
bool remove_dir(const char* path);  // empty directories only

// Never replaces an existing target.
bool rename_path(const char* from, const char* to);

struct Status {
    bool is_dir = false;
    bool is_regular = false;
    int64_t size = 0;
    int64_t mtime_seconds = 0;  // since 1970-01-01 UTC
    int32_t mtime_nanoseconds = 0;
};
// Follows symbolic links, as opening the path would.
std::optional<Status> status(const char* path);

struct DirEntry {
    std::string name;  // the bytes the file system holds
    bool is_dir = false;
};
// Every entry but "." and "..", in code-point order of the names; empty
// optional when the directory cannot be opened.
std::optional<std::vector<DirEntry>> list_dir(const char* path);

// The renameat2 call that rename_path makes, replaceable so that tests can
// stage a file system that refuses RENAME_NOREPLACE; nullptr restores it.
using Renameat2Call = int (*)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                              unsigned flags);
void set_renameat2_call(Renameat2Call call);

}  // namespace kro::platform::files
