#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "foundation/embedded.hpp"

using namespace kro;

// Every source named in the boot order is embedded whole, in that order.
TEST(Embedded, SourcesFollowTheBootOrderAndMatchTheirFiles) {
    std::ifstream order(KRO_SOURCE_DIR "/library/boot-order.txt");
    ASSERT_TRUE(order.good());
    const embedded::Source* s = embedded::all();
    std::string line;
    while (std::getline(order, line)) {
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (line.empty() || line[0] == '#') continue;
        ASSERT_NE(s->name, nullptr) << line << " is missing";
        EXPECT_EQ(line, s->name);
        std::ifstream f(std::string(KRO_SOURCE_DIR "/") + line, std::ios::binary);
        std::stringstream text;
        text << f.rdbuf();
        EXPECT_EQ(text.str().size(), s->size);
        EXPECT_EQ(std::memcmp(text.str().data(), s->text, s->size), 0);
        EXPECT_EQ(s->text[s->size], '\0');
        EXPECT_EQ(embedded::find(s->name), s);
        s++;
    }
    EXPECT_EQ(s->name, nullptr) << "nothing beyond the boot order is embedded";
    EXPECT_EQ(embedded::find("no/such.kro"), nullptr);
}
