#include "System/Json/CodingPath.h"

#include <gtest/gtest.h>

namespace {

TEST(CodingPathTest, KeysJoinWithADotAndIndexesFollowDirectly) {
    struct Case {
        std::string_view outer;
        std::string_view inner;
        std::string expected;
    };
    for (const auto& c : {Case{"segments", "", "segments"}, Case{"segments", "[2]", "segments[2]"},
                          Case{"[2]", "words[0].start", "[2].words[0].start"},
                          Case{"hotkey", "keyCode", "hotkey.keyCode"}, Case{"[0]", "[1]", "[0][1]"}}) {
        EXPECT_EQ(System::Json::codingPathInside(c.outer, c.inner), c.expected) << c.outer << " " << c.inner;
    }
}

} // namespace
