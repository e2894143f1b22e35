// file!: file and directory names in the portable form ("/" between names, a
// trailing "/" for a directory), a string value with type id 8 whose parent is
// url!. On this system the local form of a name is the POSIX path, which is
// the portable form itself: there are no drive letters and no backslashes to
// translate; the only conversion left is making a relative name absolute.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "foundation/cell.hpp"

namespace kro::file {

// Whether a character may stand in a molded file name without quotes:
// ! # $ & ' ( ) * + , - . / 0-9 : = ? @ A-Z _ a-z ~ (characters from 127 up
// never call for quotes).
bool plain_char(uint32_t cp);

// Pushes a new file! decoded from bytes (string::load rules); answers it.
Cell* load(const uint8_t* bytes, uint32_t length, int32_t encoding);
Cell* push(const Cell* file);

// Appends the local form of the file (from its head) to the target; with full
// a relative name gets the current directory in front.
void portable_to_local(const Cell* file, Cell* target, bool full);
// Replaces every "\" from the head with "/" in place (for names that came from
// systems that write them so).
void slashes_to_portable(Cell* file);
// The current directory as a string! in local form, ending in "/", in out.
Cell* get_current_dir(Cell* out);
// The path to give to the system calls: the local form as UTF-8. Empty when
// the name cannot be given to the system (a NUL inside it, or a code point
// beyond Unicode).
std::optional<std::string> to_os_path(const Cell* file);

// ---- hook -------------------------------------------------------------------------------

// Makes the date! of a modification time; installed with date!. Until then
// query raises internal/feature-na.
extern void (*make_date)(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                         int32_t second, int32_t nanosecond, Cell* out);

// ---- actions ----------------------------------------------------------------------------
// Results go to the first argument's cell. Paths that cannot be opened or
// written raise access/cannot-open with the file.

// "%" and the name as it is, in double quotes when a character below 127 is
// not plain; an empty name molds as %"". Answers limit minus the characters
// written after the "%" minus 1.
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// logic!: whether the file (or empty directory) was deleted.
Cell* remove_file(Cell* file);
// The modification date, or none when the name names nothing.
Cell* query(Cell* file);
// A directory's listing (a block of file!, directories ending in "/"), or the
// file's content: a string! from UTF-8, a binary! with /binary, or a block of
// strings with /lines. /as raises internal/not-done.
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
// logic!: whether the file was renamed (an existing target is never replaced).
Cell* rename(Cell* from, Cell* to);
// Writes a string as UTF-8, a binary! as its bytes (/part limits either), any
// other value molded; with /lines a block's values one per line. /allow and
// /as raise internal/not-done. The result is unset.
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as);

// Registers file! (type 8, parent url!), and reports a shared library that a
// program needs and the system lacks as internal/not-here with the library's
// file name as a file!.
void init();

}  // namespace kro::file
