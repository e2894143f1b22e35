// The desktop's clipboard through the xclip program (started with an argument
// vector, never through a shell), usable when a display is set and xclip is
// on PATH. Text goes as UTF8_STRING, file lists as text/uri-list, images as
// image/png; a cleared clipboard is owned with a private empty target, so
// that nothing usable is offered.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace kro::platform::clipboard {

// DISPLAY is set and not empty, and an executable xclip is on PATH.
bool x_available();

struct Content {
    enum Kind {
        FAILED,  // xclip could not be started or its output was too large
        EMPTY,   // nothing usable offered
        TEXT,    // data: UTF-8 text
        FILES,   // files: local paths
        IMAGE,   // data: the bytes of a PNG, JPEG or GIF file
    } kind = FAILED;
    std::string data;
    std::vector<std::string> files;
};

// The first usable content in the order text, file list, image (PNG, then
// JPEG, then GIF).
Content x_read();

// Each answers whether xclip took the content.
bool x_write_text(const std::string& utf8);
bool x_write_files(const std::vector<std::string>& paths);
bool x_write_png(const std::string& bytes);
bool x_clear();

// The most bytes taken from the clipboard in one read.
constexpr size_t READ_LIMIT = size_t(256) << 20;

// A text/uri-list of absolute local paths: "file://" and the path with every
// byte outside the unreserved set and "/" percent-encoded, CR LF after each.
std::string to_uri_list(const std::vector<std::string>& paths);
// The local paths of the file: URIs of a list (host empty or "localhost"),
// percent escapes decoded; comment lines, other schemes, other hosts and
// paths that decode to a NUL are skipped.
std::vector<std::string> from_uri_list(const std::string& list);

}  // namespace kro::platform::clipboard
