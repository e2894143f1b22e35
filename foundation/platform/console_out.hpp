// Console output: every byte the runtime writes to standard output. Text of
// unit 1 (Latin-1), 2 (UCS-2) or 4 (UCS-4) is encoded as UTF-8 and written to
// file descriptor 1; escape sequences pass through for the terminal to carry out.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kro::console {

void init();
// Standard input, output or error closed when the process starts: each gets a
// descriptor open on nothing writable, before anything else can open a file
// under its number (printing would then write into that file). Output that
// cannot be written ends the process with status 1 and a message on standard
// error; a reader that went away ends it quietly with 128 + SIGPIPE.
void hold_closed_standard_streams();
bool is_console();  // standard output is a terminal (decided once, at init)

void write_text(const void* text, size_t byte_length, int unit, bool newline);
inline void write_latin1(const void* t, size_t n) { write_text(t, n, 1, false); }
inline void write_latin1_line(const void* t, size_t n) { write_text(t, n, 1, true); }
inline void write_ucs2(const void* t, size_t n) { write_text(t, n, 2, false); }
inline void write_ucs2_line(const void* t, size_t n) { write_text(t, n, 2, true); }
inline void write_ucs4(const void* t, size_t n) { write_text(t, n, 4, false); }
inline void write_ucs4_line(const void* t, size_t n) { write_text(t, n, 4, true); }

// NUL-terminated bytes written as they are (already UTF-8), then the string hooks.
void write_cstring(const char* text);
// Raw UTF-8 bytes with no hooks.
void write_utf8(const char* text, size_t n);

// Output is unbuffered between calls; kept for the fatal path's clarity.
void flush();

// Where output goes: file descriptor 1 unless a test redirects it. The fault
// handler writes its report there too.
void set_output_fd(int fd);
int output_fd();

}  // namespace kro::console
