// What the process knows of its system: the operating system's description
// (uname and os-release), the environment as a list, and the command line
// rebuilt from the arguments.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kro::platform::os {

struct Info {
    std::string name;  // the distribution's pretty name, else "Linux"
    std::string arch;  // x86-64, x86-32, ARM64, ARM, IA-64 or Unknown
    // The kernel release: 6.1.0-18-amd64 gives 6, 1, 0 and build 18. The
    // numbers are as the kernel states them (a tuple maker must bound them).
    int32_t major = 0, minor = 0, patch = 0;
    int32_t build = 0;
};
Info info();

// The pieces of info(), separated so that other systems' values can be checked.
std::string arch_name(std::string_view machine);
void parse_release(std::string_view release, Info& into);
// PRETTY_NAME of an os-release text, else NAME, else empty; quotes and
// backslash escapes of the format removed.
std::string os_release_name(std::string_view text);

// Every environment variable as (name, value), split at the first "=" that is
// not the entry's first character; in the order the environment holds them.
// Names are case-sensitive.
std::vector<std::pair<std::string, std::string>> environment();
std::pair<std::string, std::string> split_env_entry(std::string_view entry);

// The arguments joined by single spaces, each one that is empty or holds a
// blank or a tab enclosed in double quotes, so that the command-line rule
// splits it back (an argument holding a double quote cannot round-trip).
std::string command_line(int argc, const char* const* argv);

}  // namespace kro::platform::os
