#include "foundation/platform/clipboard_x.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "foundation/platform/process.hpp"
#include "foundation/platform/sandbox.hpp"

namespace kro::platform::clipboard {

namespace {

constexpr const char* EMPTY_TARGET = "application/x-kro-empty";
constexpr int CONFIRM_TRIES = 100;
constexpr useconds_t CONFIRM_PAUSE_US = 10000;

std::vector<std::string> xclip_args(std::initializer_list<const char*> more) {
    std::vector<std::string> a{"xclip", "-selection", "clipboard"};
    for (const char* m : more) a.emplace_back(m);
    return a;
}

struct Ran {
    int32_t status = -1;
    std::vector<uint8_t> out, err;
    bool truncated = false;
};

// Runs xclip, feeding it the bytes; its output and error are captured when
// asked for, else dropped: a writing xclip stays behind to serve the
// selection, and a pipe it inherited would never reach its end.
Ran run(std::vector<std::string> argv, const std::string* input, bool capture) {
    Ran r;
    call::Options o;
    o.argv = std::move(argv);
    o.wait = true;
    o.capture_limit = READ_LIMIT;
    o.input = input ? call::Stream::bytes_in(reinterpret_cast<const uint8_t*>(input->data()), input->size())
                    : call::Stream::file("/dev/null");
    o.output = capture ? call::Stream::bytes_out(r.out) : call::Stream::file("/dev/null");
    o.error = capture ? call::Stream::bytes_out(r.err) : call::Stream::file("/dev/null");
    r.status = call::run(o);
    r.truncated = o.output.truncated;
    return r;
}

std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

bool cannot_reach_display(const Ran& r) {
    std::string e = text(r.err);
    return r.status < 0 || e.find("display") != std::string::npos || e.find("Display") != std::string::npos;
}

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find('\n', start);
        if (end == std::string::npos) end = s.size();
        std::string line = s.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// xclip hands the selection to a background copy of itself, which may take
// ownership only after the call returns: the write counts once the clipboard
// serves the bytes under the target (at most about a second later).
bool write(const char* target, const std::string& bytes) {
    KRO_SANDBOX_DENY(false);
    Ran r = run(xclip_args({"-i", "-t", target}), &bytes, false);
    if (r.status != 0) return false;
    for (int i = 0; i < CONFIRM_TRIES; i++) {
        Ran back = run(xclip_args({"-o", "-t", target}), nullptr, true);
        if (back.status == 0 && !back.truncated && text(back.out) == bytes) return true;
        ::usleep(CONFIRM_PAUSE_US);
    }
    return false;
}

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

}  // namespace

bool x_available() {
    KRO_SANDBOX_DENY(false);
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return false;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty()) dir = ".";
        if (::access((dir + "/xclip").c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

Content x_read() {
    KRO_SANDBOX_DENY(Content{});
    Content c;
    Ran targets = run(xclip_args({"-o", "-t", "TARGETS"}), nullptr, true);
    if (targets.status != 0) {
        // no owner: nothing offered; no display or no xclip: the clipboard cannot be opened
        c.kind = cannot_reach_display(targets) ? Content::FAILED : Content::EMPTY;
        return c;
    }
    std::vector<std::string> offered = lines_of(text(targets.out));
    auto has = [&](const char* t) {
        for (const std::string& o : offered)
            if (o == t) return true;
        return false;
    };
    auto fetch = [&](const char* t, std::string* out) {
        Ran r = run(xclip_args({"-o", "-t", t}), nullptr, true);
        if (r.status != 0 || r.truncated) return false;
        *out = text(r.out);
        return true;
    };
    c.kind = Content::EMPTY;
    for (const char* t : {"UTF8_STRING", "text/plain;charset=utf-8"}) {
        if (!has(t)) continue;
        if (!fetch(t, &c.data)) return Content{};
        c.kind = Content::TEXT;
        return c;
    }
    if (has("text/uri-list")) {
        std::string list;
        if (!fetch("text/uri-list", &list)) return Content{};
        c.files = from_uri_list(list);
        c.kind = Content::FILES;
        return c;
    }
    for (const char* t : {"image/png", "image/jpeg", "image/gif"}) {
        if (!has(t)) continue;
        if (!fetch(t, &c.data)) return Content{};
        c.kind = Content::IMAGE;
        return c;
    }
    return c;
}

bool x_write_text(const std::string& utf8) { return write("UTF8_STRING", utf8); }
bool x_write_files(const std::vector<std::string>& paths) { return write("text/uri-list", to_uri_list(paths)); }
bool x_write_png(const std::string& bytes) { return write("image/png", bytes); }
bool x_clear() { return write(EMPTY_TARGET, std::string()); }

std::string to_uri_list(const std::vector<std::string>& paths) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const std::string& p : paths) {
        out += "file://";
        for (unsigned char c : p) {
            if (unreserved(c)) {
                out += char(c);
            } else {
                out += '%';
                out += digits[c >> 4];
                out += digits[c & 15];
            }
        }
        out += "\r\n";
    }
    return out;
}

std::vector<std::string> from_uri_list(const std::string& list) {
    std::vector<std::string> paths;
    for (const std::string& line : lines_of(list)) {
        if (line[0] == '#') continue;
        std::string rest;
        if (line.compare(0, 8, "file:///") == 0) rest = line.substr(7);
        else if (line.compare(0, 17, "file://localhost/") == 0) rest = line.substr(16);
        else continue;
        std::string path;
        bool ok = true;
        for (size_t i = 0; i < rest.size(); i++) {
            if (rest[i] == '%' && i + 2 < rest.size() && hex(rest[i + 1]) >= 0 && hex(rest[i + 2]) >= 0) {
                char c = char(hex(rest[i + 1]) * 16 + hex(rest[i + 2]));
                if (c == '\0') ok = false;
                path += c;
                i += 2;
            } else {
                path += rest[i];
            }
        }
        if (ok) paths.push_back(path);
    }
    return paths;
}

}  // namespace kro::platform::clipboard
