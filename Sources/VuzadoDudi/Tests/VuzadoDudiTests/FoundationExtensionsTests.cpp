#include "VuzadoDudi/FoundationExtensions.h"

#include <cstdlib>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using namespace VuzadoDudi;

TEST(FoundationExtensionsTest, GlobMatchingLetsAStarCrossSlashes) {
    const std::vector<std::string> files = {"config.json", "sub/config.json", "config.json.bak", ".hidden.json"};
    EXPECT_EQ(matching(files, "*.json"), (std::vector<std::string>{"config.json", "sub/config.json", ".hidden.json"}));
    EXPECT_EQ(matching(files, "sub/?onfig.*"), (std::vector<std::string>{"sub/config.json"}));
    EXPECT_EQ(matching({"a*b", "axb"}, "a\\*b"), (std::vector<std::string>{"a*b"}));
    EXPECT_TRUE(matching({}, "*").empty());
}

TEST(FoundationExtensionsTest, Batching) {
    const std::vector<int> values = {1, 2, 3, 4, 5};
    using Batches = std::vector<std::vector<int>>;
    EXPECT_EQ(batched(values, 2), (Batches{{1, 2}, {3, 4}, {5}}));
    EXPECT_EQ(batched(values, 5), (Batches{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(batched(values, 7), (Batches{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(batched(std::vector<int>{}, 3), Batches{});
    // A size below one must end, not loop.
    EXPECT_EQ(batched(values, 0), Batches{});
    EXPECT_EQ(batched(values, -1), Batches{});
}

TEST(FoundationExtensionsTest, OrderedSetKeepsFirstOccurrences) {
    EXPECT_EQ(orderedSet(std::vector<int>{3, 1, 3, 2, 1}), (std::vector<int>{3, 1, 2}));
}

TEST(FoundationExtensionsTest, TrimmingFromEndCountsCharacters) {
    struct Case {
        std::string text;
        std::string character;
        int upto;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"abc..", ".", 1, "abc."},
        {"abc..", ".", 5, "abc"},
        {"abc..", ".", 0, "abc.."},
        {"abc..", ".", -2, "abc.."},
        {"", ".", 3, ""},
        // A combining mark belongs to the character before it: "e" + U+0301 is not "e".
        {"cafe\u0301e", "e", 2, "cafe\u0301"},
        // ... but it is canonically equivalent to the precomposed é.
        {"caf\u00E9e\u0301", "\u00E9", 5, "caf"},
        {"\u0645\u0631\u062D\u0628\u0627\u060C\u060C", "\u060C", 1, "\u0645\u0631\u062D\u0628\u0627\u060C"},
        {"\u4F60\u597D\u3002\u3002", "\u3002", 9, "\u4F60\u597D"},
        {"ok\U0001F44D\U0001F3FD\U0001F44D", "\U0001F44D", 3, "ok\U0001F44D\U0001F3FD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trimmingFromEnd(c.text, c.character, c.upto), c.expected) << c.text;
    }
}

// One token per character cluster, so the counts in the cases read off the text.
std::vector<int> countCharacters(const std::string& text) {
    std::vector<int> tokens;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            tokens.push_back(0);
        }
    }
    return tokens;
}

TEST(FoundationExtensionsTest, LastNaturalBoundary) {
    struct Case {
        std::string text;
        int minTokens;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"First one. Second without end", 1, "First one. "},
        {"First one. Second ends.", 1, "First one. Second ends."},
        {"He said \"stop.\" ", 1, "He said \"stop.\" "},
        {"One. Two\n", 1, "One. Two\n"},
        {"alpha, beta gamma", 1, "alpha,"},
        {"alpha, beta gamma", 7, "alpha, beta"},
        {"alpha beta", 50, std::nullopt},
        {"single", 1, std::nullopt},
        {"\u0645\u0631\u062D\u0628\u0627. \u0643\u064A\u0641", 1, "\u0645\u0631\u062D\u0628\u0627. "},
        {"\u4F60\u597D\u3002\u518D\u89C1", 1, "\u4F60\u597D\u3002"},
        {"Cafe\u0301. Fin\U0001F600", 1, "Cafe\u0301. "},
        {"Too short. Long enough here.", 12, "Too short. Long enough here."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lastNaturalBoundary(c.text, c.minTokens, countCharacters), c.expected) << c.text;
    }
}

TEST(FoundationExtensionsTest, Rounding) {
    EXPECT_EQ(rounded(2.345f, 1), 2.3f);
    EXPECT_EQ(rounded(1.25f, 1), 1.3f);
    EXPECT_EQ(rounded(-1.25f, 1), -1.3f);
    EXPECT_EQ(rounded(1234.0f, -2), 1200.0f);
}

TEST(FoundationExtensionsTest, AbsolutePaths) {
    char* cwd = getcwd(nullptr, 0);
    const std::string current = cwd;
    std::free(cwd);
    EXPECT_EQ(resolveAbsolutePath("docs/a.txt"), current + "/docs/a.txt");
    EXPECT_EQ(resolveAbsolutePath("/tmp"), "/tmp");
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(resolveAbsolutePath("~/x"), std::string(home) + "/x");
}

TEST(FoundationExtensionsTest, MachineInformationFromCpuInfo) {
    const std::string cpuinfo =
        "processor\t: 0\nvendor_id\t: GenuineTest\ncpu family\t: 6\nmodel name\t: Test CPU @ 2.00GHz\n"
        "physical id\t: 0\ncore id\t\t: 0\n\n"
        "processor\t: 1\nvendor_id\t: GenuineTest\nphysical id\t: 0\ncore id\t\t: 0\n\n"
        "processor\t: 2\nphysical id\t: 0\ncore id\t\t: 1\n";
    EXPECT_EQ(ProcessInfo::cpuInfoField(cpuinfo, "model name"), "Test CPU @ 2.00GHz");
    EXPECT_EQ(ProcessInfo::cpuInfoField(cpuinfo, "vendor_id"), "GenuineTest");
    EXPECT_EQ(ProcessInfo::cpuInfoField(cpuinfo, "absent"), "");
    EXPECT_EQ(ProcessInfo::physicalCoreCount(cpuinfo), 2);
    EXPECT_EQ(ProcessInfo::physicalCoreCount("processor : 0\nprocessor : 1\n"), 2);

    EXPECT_EQ(ProcessInfo::stringFromSysctl("no.such.key"), "");
    EXPECT_GE(std::stoi(ProcessInfo::threads()), 1);
    EXPECT_GE(std::stoi(ProcessInfo::cores()), 1);
    EXPECT_EQ(&ProcessInfo::hwModel(), &ProcessInfo::hwModel());
}

} // namespace
