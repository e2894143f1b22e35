// OS information from uname and os-release, the environment as a list (checked
// against what a child process sees), setting and removing variables, and the
// command line rebuilt from the arguments.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "foundation/platform/os.hpp"
#include "foundation/platform/osinfo.hpp"
#include "foundation/platform/process.hpp"

using namespace kro;
namespace os = kro::platform::os;
namespace call = kro::platform::call;

namespace {

std::string shell_output(const std::string& command, bool shell = true) {
    std::vector<uint8_t> out;
    call::Options o;
    o.command = command;
    o.shell = shell;
    o.output = call::Stream::bytes_out(out);
    return call::run(o) == 0 ? std::string(out.begin(), out.end()) : "<failed>";
}

std::string env_value(const char* name) {
    char buf[256];
    int32_t n = platform::get_env(name, buf, sizeof buf);
    return n > 0 && n < int32_t(sizeof buf) ? std::string(buf, size_t(n)) : "<unset>";
}

}  // namespace

TEST(OsInfo, ArchitectureNames) {
    struct Case {
        const char* machine;
        const char* arch;
    };
    const Case cases[] = {{"x86_64", "x86-64"}, {"i686", "x86-32"},  {"i386", "x86-32"}, {"aarch64", "ARM64"},
                          {"armv7l", "ARM"},    {"ia64", "IA-64"},   {"riscv64", "Unknown"},
                          {"i786", "Unknown"},  {"", "Unknown"}};
    for (const Case& c : cases) EXPECT_EQ(os::arch_name(c.machine), c.arch) << c.machine;
}

TEST(OsInfo, KernelRelease) {
    struct Case {
        const char* release;
        int32_t major, minor, patch, build;
    };
    const Case cases[] = {
        {"6.1.0-18-amd64", 6, 1, 0, 18},
        {"5.15.0-91-generic", 5, 15, 0, 91},
        {"4.9.337", 4, 9, 337, 0},
        {"4.19.128-microsoft-standard", 4, 19, 128, 0},
        {"6.8.0-rc1", 6, 8, 0, 0},
        {"3.10", 3, 10, 0, 0},
        {"", 0, 0, 0, 0},
        {"99999999999.1.2-7", INT32_MAX, 1, 2, 7},
    };
    for (const Case& c : cases) {
        os::Info i;
        i.build = 55;  // stale values must not survive
        os::parse_release(c.release, i);
        EXPECT_EQ((std::vector<int32_t>{i.major, i.minor, i.patch, i.build}),
                  (std::vector<int32_t>{c.major, c.minor, c.patch, c.build}))
            << c.release;
    }
}

TEST(OsInfo, OsReleaseName) {
    struct Case {
        const char* text;
        const char* name;
    };
    const Case cases[] = {
        {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
         "Debian GNU/Linux 12 (bookworm)"},
        {"NAME=Plain\nVERSION=1\n", "Plain"},
        {"PRETTY_NAME='Single Quoted $x'\n", "Single Quoted $x"},
        {"PRETTY_NAME=\"A \\\"B\\\" \\\\ \\$C\"\r\n", "A \"B\" \\ $C"},
        {"# PRETTY_NAME=commented\nID=x\n", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(os::os_release_name(c.text), c.name) << c.text;
}

TEST(OsInfo, ThisMachine) {
    os::Info i = os::info();
    utsname u;
    ASSERT_EQ(::uname(&u), 0);
    EXPECT_EQ(i.arch, std::string(u.machine) == "x86_64" ? "x86-64" : i.arch);
    EXPECT_NE(i.arch, "");
    // The version is the head of the release that uname(1) prints.
    std::string release = shell_output("uname -r");
    std::string head = std::to_string(i.major) + "." + std::to_string(i.minor) + "." + std::to_string(i.patch);
    EXPECT_EQ(release.rfind(head, 0), 0u) << release;
    EXPECT_GE(i.major, 3);
    // The name is what the system's own shell reads from os-release.
    std::string pretty = shell_output(". /etc/os-release 2>/dev/null && printf %s \"$PRETTY_NAME\"");
    EXPECT_EQ(i.name, pretty.empty() || pretty == "<failed>" ? "Linux" : pretty);
}

TEST(Environment, SplitEntries) {
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(os::split_env_entry("=C:=C:\\"), (P{"=C:", "C:\\"}));
    EXPECT_EQ(os::split_env_entry("A=b=c"), (P{"A", "b=c"}));
    EXPECT_EQ(os::split_env_entry("A="), (P{"A", ""}));
    EXPECT_EQ(os::split_env_entry("NOEQ"), (P{"NOEQ", ""}));
    EXPECT_EQ(os::split_env_entry("="), (P{"=", ""}));
}

TEST(Environment, GetSetUnsetAndList) {
    auto listed = [] {
        std::map<std::string, std::string> m;
        for (auto& [k, v] : os::environment()) m[k] = v;
        return m;
    };
    ASSERT_TRUE(platform::set_env("KRO_ENV_TEST", "x=y z"));
    ASSERT_TRUE(platform::set_env("kro_env_test", "lower"));  // a different variable
    EXPECT_EQ(env_value("KRO_ENV_TEST"), "x=y z");
    EXPECT_EQ(env_value("kro_env_test"), "lower");
    auto m = listed();
    EXPECT_EQ(m["KRO_ENV_TEST"], "x=y z");
    EXPECT_EQ(m["kro_env_test"], "lower");

    ASSERT_TRUE(platform::set_env("KRO_ENV_TEST", ""));
    EXPECT_EQ(listed().at("KRO_ENV_TEST"), "");  // set, to nothing
    EXPECT_TRUE(platform::set_env("KRO_ENV_TEST", nullptr));
    EXPECT_EQ(platform::get_env("KRO_ENV_TEST", nullptr, 0), -1);
    m = listed();
    EXPECT_EQ(m.count("KRO_ENV_TEST"), 0u);
    EXPECT_EQ(m["kro_env_test"], "lower");
    EXPECT_FALSE(platform::set_env("BAD=NAME", "v"));
    platform::set_env("kro_env_test", nullptr);

    // Every variable, as a child process sees the environment.
    ASSERT_TRUE(platform::set_env("KRO_ENV_MULTI", "two\nlines"));
    std::string env0 = shell_output("env -0", false);  // no shell in between to add its own
    std::vector<std::pair<std::string, std::string>> child;
    for (size_t at = 0; at < env0.size();) {
        size_t end = env0.find('\0', at);
        if (end == std::string::npos) end = env0.size();
        child.push_back(os::split_env_entry(std::string_view(env0).substr(at, end - at)));
        at = end + 1;
    }
    auto ours = os::environment();
    std::sort(child.begin(), child.end());
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ(ours, child);
    EXPECT_NE(std::find(ours.begin(), ours.end(), std::make_pair(std::string("KRO_ENV_MULTI"), std::string("two\nlines"))),
              ours.end());
    platform::set_env("KRO_ENV_MULTI", nullptr);
}

TEST(CommandLine, RebuiltSoThatItSplitsBack) {
    const char* args[] = {"/usr/bin/kro", "my file.kro", "-v", "", "tab\there", "plain"};
    std::string line = os::command_line(6, args);
    EXPECT_EQ(line, "/usr/bin/kro \"my file.kro\" -v \"\" \"tab\there\" plain");
    EXPECT_EQ(call::split_command_line(line),
              (std::vector<std::string>{"/usr/bin/kro", "my file.kro", "-v", "", "tab\there", "plain"}));
    EXPECT_EQ(os::command_line(0, nullptr), "");
}
