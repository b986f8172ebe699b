#include "TessarinCore/Domain/Version.h"

#include <gtest/gtest.h>

using TessarinCore::isVersion;

TEST(VersionTest, ComparesDottedNumbersFromTheLeft) {
    struct Case {
        const char* a;
        const char* b;
        bool older;
    };
    const Case cases[] = {
        {"1.2", "1.2.0", false},
        {"1.2.0", "1.2", false},
        {"1.9", "1.10", true},
        {"1.10", "1.9", false},
        {"2.0", "10.0", true},
        {"", "1", true},
        {"1.2.3-beta", "1.2.3", true},
        {"1.2.3", "1.2.3", false},
        {".1..2.", "1.2", false},
        {"1.rc1", "1.0.1", true},
        {"+2", "1", false},
        {"-1", "0", true},
        {"99999999999999999999", "1", true}, // does not fit: counts as 0
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isVersion(c.a, c.b), c.older) << c.a << " vs " << c.b;
    }
}
