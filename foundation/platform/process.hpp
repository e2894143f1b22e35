// Process launching for `call` and `browse`: posix_spawnp with pipes, one poll
// loop that feeds the child's input and drains its output and error together
// (so neither side can block the other), and waitpid.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kro::platform::call {

// Where one of the child's standard streams comes from or goes to.
struct Stream {
    enum Kind { INHERIT, BYTES, FD, PATH } kind = INHERIT;
    // BYTES as input: the data fed to the child.
    const uint8_t* data = nullptr;
    size_t size = 0;
    // BYTES as output or error: what the child writes is appended here.
    std::vector<uint8_t>* sink = nullptr;
    // FD: a descriptor of the caller's, used as it is (not closed).
    int fd = -1;
    // PATH: input opened for reading; output and error opened for appending
    // (created when missing, never truncated).
    std::string path;
    // Set when the child wrote more than the capture limit: the rest was
    // read and dropped.
    bool truncated = false;

    static Stream inherit() { return {}; }
    static Stream bytes_in(const uint8_t* d, size_t n) { Stream s; s.kind = BYTES; s.data = d; s.size = n; return s; }
    static Stream bytes_out(std::vector<uint8_t>& v) { Stream s; s.kind = BYTES; s.sink = &v; return s; }
    static Stream descriptor(int fd) { Stream s; s.kind = FD; s.fd = fd; return s; }
    static Stream file(std::string p) { Stream s; s.kind = PATH; s.path = std::move(p); return s; }
};

struct Options {
    std::string command;
    // When not empty, the program and its arguments exactly as given: command
    // and shell are ignored and no shell is ever tried.
    std::vector<std::string> argv;
    bool wait = false;
    bool show = false;     // windows are the terminal's: nothing to show or hide
    bool console = false;  // the child's error output goes to ours (else to /dev/null)
    bool shell = false;    // run through /bin/sh -c
    Stream input, output, error;
    // The most bytes kept from each of output and error.
    size_t capture_limit = size_t(1) << 30;
};

// Starts the command. Without shell it is split into arguments by
// split_command_line and found on PATH; a program that is not found is tried
// once more through /bin/sh -c. With wait, console or any redirected stream
// the call waits and answers the exit status (128 + the signal number when a
// signal ended the child); otherwise it answers the child's process id. -1
// when a pipe, a redirect file or the program cannot be had.
int32_t run(Options& options);

// The command-line rule: pieces end at runs of blanks (space, tab) outside
// double quotes; empty pieces are dropped; one leading double quote and one
// trailing double quote (unless the piece is a lone quote) are removed, quotes
// inside a piece stay.
std::vector<std::string> split_command_line(std::string_view text);

// The scratch buffer for output that becomes a string: 102,400 bytes of room
// made once and reused by every call. init_buffer() makes it ahead of use.
void init_buffer();
std::vector<uint8_t>& output_buffer();

// Collects children that were started without waiting and have ended.
void reap();

// The arguments `browse` runs: the desktop's opener with the target as one
// argument, never through a shell. A target that starts with "-" is given as
// "./..." so that the opener cannot take it for an option.
std::vector<std::string> browse_argv(const std::string& target);
// Starts the opener without waiting (its output and error go to /dev/null);
// answers its process id or -1.
pid_t browse(const std::string& target);

}  // namespace kro::platform::call
