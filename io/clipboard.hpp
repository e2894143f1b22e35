// The clipboard behind read-clipboard and write-clipboard: text, lists of
// files and images. With a display and xclip at hand it is the desktop's
// clipboard; otherwise (a console or a headless machine) a store that lives
// as long as the process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/cell.hpp"

namespace kro::clipboard {

// Into out: a string!, a block of file! values, an image!, none when nothing
// usable is there, or false when the clipboard cannot be opened.
Cell* read(Cell* out);

// A string! is written as text, a block of file! values as a file list, an
// image! as an image, none empties the clipboard; answers whether it was
// written. Any other value (a block holding anything but file! values among
// them) raises script/invalid-arg with the value.
bool write(const Cell* value);

// Which clipboard is used: the desktop's when one can be reached (AUTO), or
// always the process's own store (LOCAL).
enum class Backend { AUTO, LOCAL };
void set_backend(Backend b);
// Whether the desktop's clipboard is the one in use now.
bool uses_desktop();

// ---- hooks of the image back-end -------------------------------------------------------
// The desktop's clipboard carries images as encoded files. Until the image
// back-end installs these, images cannot go through it: writing one raises
// internal/feature-na and reading one finds nothing usable. The process's own
// store needs neither: it keeps a copy of the image! value.

// The image encoded as PNG into bytes; false when it cannot be encoded.
extern bool (*encode_png)(const Cell* image, std::string* bytes);
// A new image! in out decoded from PNG, JPEG or GIF bytes; false when they
// cannot be decoded.
extern bool (*decode_image)(const uint8_t* bytes, size_t length, Cell* out);

}  // namespace kro::clipboard
