#include "foundation/platform/files.hpp"
#include "foundation/platform/sandbox.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kro::platform::files {

namespace {

int system_renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned flags) {
    return ::renameat2(olddirfd, oldpath, newdirfd, newpath, flags);
}

Renameat2Call renameat2_call = &system_renameat2;

// Blocks until a non-blocking descriptor can take more output.
bool wait_writable(int fd) {
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        int r = ::poll(&p, 1, -1);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

bool wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int r = ::poll(&p, 1, -1);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

}  // namespace

void set_renameat2_call(Renameat2Call call) { renameat2_call = call ? call : &system_renameat2; }

int open_file(const char* path, int mode) {
    KRO_SANDBOX_DENY(-1);
    int flags;
    if (mode & MODE_WRITE) {
        flags = O_WRONLY | O_CREAT;
        if (mode & MODE_APPEND) flags |= O_APPEND;
        else if (!(mode & MODE_SEEK)) flags |= O_TRUNC;
    } else if (mode & MODE_READ) {
        flags = O_RDONLY;
    } else {
        return -1;
    }
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? -1 : fd;
}

void close_file(int fd) {
    if (fd >= 0) ::close(fd);  // not retried on EINTR: Linux has already released the descriptor
}

int64_t file_size(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    return S_ISREG(st.st_mode) ? int64_t(st.st_size) : 0;
}

bool is_directory_fd(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

bool seek_file(int fd, int64_t offset) {
    if (offset < 0) return false;
    return ::lseek(fd, off_t(offset), SEEK_SET) == off_t(offset);
}

bool seek_end(int fd) { return ::lseek(fd, 0, SEEK_END) >= 0; }

int64_t read_data(int fd, void* buffer, size_t n) {
    KRO_SANDBOX_DENY(-1);
    auto* p = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::read(fd, p + done, n - done);
        if (r > 0) {
            done += size_t(r);
        } else if (r == 0) {
            break;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait_readable(fd)) return -1;
        } else {
            return -1;
        }
    }
    return int64_t(done);
}

int64_t write_data(int fd, const void* buffer, size_t n) {
    KRO_SANDBOX_DENY(-1);
    auto* p = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::write(fd, p + done, n - done);
        if (r > 0) {
            done += size_t(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_writable(fd)) return -1;
        } else {
            return -1;
        }
    }
    return int64_t(n);
}

bool read_to_end(int fd, std::vector<uint8_t>& out, size_t max) {
    KRO_SANDBOX_DENY(false);
    size_t start = out.size();
    size_t chunk = 4096;
    for (;;) {
        size_t room = max - (out.size() - start);
        // One byte beyond the limit tells a stream that ends exactly there from a longer one.
        size_t want = room >= chunk ? chunk : room + 1;
        size_t at = out.size();
        out.resize(at + want);
        ssize_t r = ::read(fd, out.data() + at, want);
        if (r > 0) {
            out.resize(at + size_t(r));
            if (out.size() - start > max) {
                out.resize(start + max);
                return false;
            }
            if (chunk < (size_t(1) << 20)) chunk *= 2;
            continue;
        }
        out.resize(at);
        if (r == 0) return true;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_readable(fd)) continue;
        return false;
    }
}

bool make_dir(const char* path) {
    KRO_SANDBOX_DENY(false);
    return ::mkdir(path, 0777) == 0;
}

bool exists(const char* path) {
    KRO_SANDBOX_DENY(false);
    struct stat st;
    return ::stat(path, &st) == 0;
}

bool remove_file(const char* path) {
    KRO_SANDBOX_DENY(false);
    return ::unlink(path) == 0;
}

bool remove_dir(const char* path) {
    KRO_SANDBOX_DENY(false);
    return ::rmdir(path) == 0;
}

bool rename_path(const char* from, const char* to) {
    KRO_SANDBOX_DENY(false);
    if (renameat2_call(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // The file system refuses the flag. A hard link fails atomically on an
    // existing target; directories and link-less file systems get a checked rename.
    struct stat st;
    if (::lstat(from, &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        if (::link(from, to) == 0) {
            if (::unlink(from) == 0) return true;
            ::unlink(to);
            return false;
        }
        if (errno == EEXIST) return false;
    }
    if (::lstat(to, &st) == 0 || errno != ENOENT) return false;
    return ::rename(from, to) == 0;
}

std::optional<Status> status(const char* path) {
    KRO_SANDBOX_DENY(std::nullopt);
    struct stat st;
    if (::stat(path, &st) != 0) return std::nullopt;
    Status s;
    s.is_dir = S_ISDIR(st.st_mode);
    s.is_regular = S_ISREG(st.st_mode);
    s.size = int64_t(st.st_size);
    s.mtime_seconds = int64_t(st.st_mtim.tv_sec);
    s.mtime_nanoseconds = int32_t(st.st_mtim.tv_nsec);
    return s;
}

std::optional<std::vector<DirEntry>> list_dir(const char* path) {
    KRO_SANDBOX_DENY(std::nullopt);
    int dfd;
    do dfd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (dfd < 0 && errno == EINTR);
    if (dfd < 0) return std::nullopt;
    DIR* dir = ::fdopendir(dfd);
    if (!dir) {
        ::close(dfd);
        return std::nullopt;
    }
    std::vector<DirEntry> entries;
    for (;;) {
        errno = 0;
        dirent* e = ::readdir(dir);
        if (!e) {
            if (errno != 0) {
                ::closedir(dir);
                return std::nullopt;
            }
            break;
        }
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        bool is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            // A link to a directory lists as a directory, as opening it would treat it.
            struct stat st;
            is_dir = ::fstatat(dfd, n, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        entries.push_back({std::string(n), is_dir});
    }
    ::closedir(dir);
    // Byte order of UTF-8 names is code-point order; readdir's own order is the file system's.
    std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return entries;
}

}  // namespace kro::platform::files
