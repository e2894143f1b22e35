#include "foundation/platform/osinfo.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>

extern char** environ;

namespace kro::platform::os {

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number at pos, saturating at INT32_MAX; -1 when there is none.
int32_t number_at(std::string_view s, size_t& pos) {
    if (pos >= s.size() || !digit(s[pos])) return -1;
    int64_t v = 0;
    while (pos < s.size() && digit(s[pos])) {
        v = v * 10 + (s[pos] - '0');
        if (v > INT32_MAX) v = INT32_MAX;
        ++pos;
    }
    return int32_t(v);
}

// The whole of a small text file, at most max bytes; empty when it cannot be read.
std::string slurp(const char* path, size_t max) {
    int fd;
    do fd = ::open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return {};
    std::string text;
    char buf[4096];
    while (text.size() < max) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, size_t(n));
    }
    ::close(fd);
    if (text.size() > max) text.resize(max);
    return text;
}

// One value of the os-release format: shell-like quoting without expansion.
std::string unquote(std::string_view v) {
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) v.remove_suffix(1);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        char q = v.front();
        v = v.substr(1, v.size() - 2);
        if (q == '\'') return std::string(v);
        std::string out;
        for (size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '\\' && i + 1 < v.size() && std::string_view("\"\\$`").find(v[i + 1]) != std::string_view::npos) ++i;
            out += v[i];
        }
        return out;
    }
    return std::string(v);
}

}  // namespace

std::string arch_name(std::string_view m) {
    if (m == "x86_64" || m == "amd64") return "x86-64";
    if (m == "aarch64" || m == "arm64") return "ARM64";
    if (m.size() == 4 && m[0] == 'i' && m[1] >= '3' && m[1] <= '6' && m.substr(2) == "86") return "x86-32";
    if (m.substr(0, 3) == "arm") return "ARM";
    if (m == "ia64") return "IA-64";
    return "Unknown";
}

void parse_release(std::string_view r, Info& into) {
    into.major = into.minor = into.patch = into.build = 0;
    size_t pos = 0;
    int32_t* parts[3] = {&into.major, &into.minor, &into.patch};
    for (int i = 0; i < 3; ++i) {
        int32_t v = number_at(r, pos);
        if (v < 0) return;
        *parts[i] = v;
        if (i < 2) {
            if (pos >= r.size() || r[pos] != '.') return;
            ++pos;
        }
    }
    // The distribution's build number follows as "-N" (6.1.0-18-amd64).
    if (pos + 1 < r.size() && r[pos] == '-') {
        ++pos;
        int32_t b = number_at(r, pos);
        if (b >= 0) into.build = b;
    }
}

std::string os_release_name(std::string_view text) {
    std::string name, pretty;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view key = line.substr(0, eq);
        if (key == "PRETTY_NAME") pretty = unquote(line.substr(eq + 1));
        else if (key == "NAME") name = unquote(line.substr(eq + 1));
    }
    return pretty.empty() ? name : pretty;
}

Info info() {
    Info i;
    utsname u;
    if (::uname(&u) == 0) {
        i.arch = arch_name(u.machine);
        parse_release(u.release, i);
    } else {
        i.arch = "Unknown";
    }
    std::string text = slurp("/etc/os-release", 65536);
    if (text.empty()) text = slurp("/usr/lib/os-release", 65536);
    i.name = os_release_name(text);
    if (i.name.empty()) i.name = "Linux";
    return i;
}

std::pair<std::string, std::string> split_env_entry(std::string_view e) {
    size_t eq = e.size() > 1 ? e.find('=', 1) : std::string_view::npos;
    if (eq == std::string_view::npos) return {std::string(e), std::string()};
    return {std::string(e.substr(0, eq)), std::string(e.substr(eq + 1))};
}

std::vector<std::pair<std::string, std::string>> environment() {
    std::vector<std::pair<std::string, std::string>> list;
    for (char** e = environ; e && *e; ++e) list.push_back(split_env_entry(*e));
    return list;
}

std::string command_line(int argc, const char* const* argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        std::string_view a = argv[i] ? argv[i] : "";
        if (i) line += ' ';
        bool quote = a.empty() || a.find_first_of(" \t") != std::string_view::npos;
        if (quote) line += '"';
        line += a;
        if (quote) line += '"';
    }
    return line;
}

}  // namespace kro::platform::os
