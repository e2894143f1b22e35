// File names that are not UTF-8, as Tab completion lists them: each bad
// sequence is U+FFFD (never a code point past U+10FFFF nor a NUL made from an
// overlong form), and a name holding surrogate halves is listed with them, so
// that it can be completed and opened again.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console/completion.hpp"

using namespace kro;

TEST(ConsoleCompletion, NamesOnDiskThatAreNotUtf8) {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kro-completion-bytes-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string halves = "h\xED\xA0\x80";
    std::ofstream(dir / "o\xC0\x80x") << "1";              // an overlong NUL
    std::ofstream(dir / "p\xF5\x80\x80\x80y") << "2";      // past U+10FFFF
    std::ofstream(dir / "c\xE2\x82z") << "3";              // a character cut short
    std::filesystem::create_directories(dir / halves);
    std::ofstream(dir / halves / "in.kro") << "4";

    completion::Sources& src = completion::runtime_sources();
    std::u32string folder;
    for (unsigned char b : dir.string() + "/") folder.push_back(b);  // the temporary folder's name is ASCII
    auto listed = src.folder_names(folder);
    ASSERT_TRUE(listed.has_value());
    std::vector<std::u32string> names = *listed;
    std::sort(names.begin(), names.end());
    const std::u32string half_name = {U'h', 0xD800, U'/'};
    EXPECT_EQ(names, (std::vector<std::u32string>{U"c\uFFFDz", half_name, U"o\uFFFD\uFFFDx",
                                                  U"p\uFFFD\uFFFD\uFFFD\uFFFDy"}));
    // the folder with halves in its name is found again by the name listed
    auto inner = src.folder_names(folder + half_name);
    ASSERT_TRUE(inner.has_value());
    EXPECT_EQ(*inner, std::vector<std::u32string>{U"in.kro"});
    std::filesystem::remove_all(dir);
}
