// The two boot stages: the first-stage tool boots from the library's sources
// and writes the boot data; the executables (this one too) boot by decoding it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "console_process.hpp"
#include "interpreter/boot.hpp"

namespace {

struct StageRun {
    int status = -1;  // exit status
    int signal = 0;   // the signal that ended it, if one did
    std::string out;  // standard output and error
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The first-stage tool with its arguments, without the collector's stress
// mode (the boot's own code paths run stressed in every other test).
StageRun first_stage(const std::string& args, const std::string& dir) {
    std::string log = dir + "/log";
    std::string cmd = "KRO_GC_STRESS=0 '" KRO_FIRST_STAGE "' " + args + " >'" + log + "' 2>&1";
    int ws = std::system(cmd.c_str());
    StageRun r;
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    r.signal = WIFSIGNALED(ws) ? WTERMSIG(ws) : 0;
    r.out = slurp(log);
    return r;
}

TEST(BootData, BothWaysBuildTheSameEnvironment) {
    kro::test::ScratchDir dir;
    std::string from_sources = dir.path + "/sources.txt", from_data = dir.path + "/data.txt";
    StageRun a = first_stage("--describe '" + from_sources + "'", dir.path);
    StageRun b = first_stage("--describe '" + from_data + "' '" KRO_BOOT_DATA_FILE "'", dir.path);
    ASSERT_EQ(a.status, 0) << a.out;
    ASSERT_EQ(b.status, 0) << b.out;
    std::string text = slurp(from_sources);
    // the description holds the words, the values and the class ids
    EXPECT_NE(text.find("\nsystem "), std::string::npos);
    EXPECT_NE(text.find("\nappend "), std::string::npos);
    EXPECT_NE(text.find("\nsystem/standard/error 1"), std::string::npos);
    EXPECT_GT(text.size(), 100000u);
    // compared line by line, so that a failure names the first word that differs
    std::string other = slurp(from_data);
    size_t at = 0;
    while (at < text.size() && at < other.size() && text[at] == other[at]) at++;
    if (at < text.size() || at < other.size()) {
        size_t line = text.rfind('\n', at == 0 ? 0 : at - 1);
        line = line == std::string::npos ? 0 : line + 1;
        ADD_FAILURE() << "the environments differ at:\n  sources: " << text.substr(line, 200)
                      << "\n  data:    " << other.substr(line, 200);
    }
}

TEST(BootData, TheExecutablesCarryTheDataTheFirstStageWrote) {
    std::string written = slurp(KRO_BOOT_DATA_FILE);
    kro::boot::Data linked = kro::boot::data();
    ASSERT_FALSE(written.empty());
    ASSERT_EQ(linked.size, written.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(linked.bytes), linked.size), written);
}

// Boot data that is damaged ends the process with a message, never a crash
// nor a success.
TEST(BootData, DamagedDataEndsTheProcessWithItsMessage) {
    const std::string good = slurp(KRO_BOOT_DATA_FILE);
    ASSERT_GT(good.size(), 1000u);
    struct Case {
        const char* what;
        std::string data;
        const char* message;
    };
    auto flipped = [&](size_t at) {
        std::string d = good;
        d[at] = char(d[at] ^ 0x5A);
        return d;
    };
    std::string packed = good;
    packed[7] = char(packed[7] | 2);  // says compressed, is not
    std::vector<Case> cases = {
        {"not boot data", "MZ just some other file", "Error: Not a Krobin file!"},
        {"the header alone", good.substr(0, 10), "boot: the boot data failed"},
        {"cut in the symbol names", good.substr(0, 200), "boot: the boot data failed"},
        {"cut in the records", good.substr(0, good.size() / 2), "boot: the boot data failed"},
        {"cut before the last byte", good.substr(0, good.size() - 1), "boot: the boot data failed"},
        {"not packed", packed, "Error: Krobin compressed data corrupted!"},
    };
    for (size_t at : {size_t(8), good.size() / 3, good.size() - 2})
        cases.push_back({"a damaged byte", flipped(at), nullptr});
    kro::test::ScratchDir dir;
    for (const Case& c : cases) {
        std::string file = dir.file("boot.krobin", c.data);
        StageRun r = first_stage("--describe '" + dir.path + "/out' '" + file + "'", dir.path);
        SCOPED_TRACE(c.what);
        if (c.message) {
            EXPECT_NE(r.status, 0) << r.out;
            EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        }
        // a damaged byte may still decode to some environment; it must not crash
        EXPECT_EQ(r.signal, 0) << r.out;
        EXPECT_GE(r.status, 0) << r.out;
    }
}

}  // namespace
