#include "System/Bundle/Bundle.h"

#include <gtest/gtest.h>

using namespace System::Bundle;

TEST(BundleTest, MainBundleCarriesWhatTheBuildConfigured) {
    const Bundle& bundle = Bundle::main();
    EXPECT_EQ(bundle.identifier(), "com.tessarin.Tessarin");
    EXPECT_EQ(bundle.object(nameKey), "Parlindo");
    EXPECT_EQ(bundle.object(shortVersionKey), PARLINDO_EXPECTED_VERSION);
    EXPECT_EQ(bundle.object(apiURLKey), PARLINDO_EXPECTED_API_URL);
    EXPECT_EQ(bundle.object(appcastURLKey), PARLINDO_EXPECTED_APPCAST_URL);
}

TEST(BundleTest, MainBundleKnowsTheRunningProgram) {
    const auto& path = Bundle::main().executablePath();
    EXPECT_TRUE(path.is_absolute());
    EXPECT_EQ(path.filename(), "BundleTests");
}

TEST(BundleTest, AbsentKeysGiveNothing) {
    const Bundle bundle({{"TessarinAPIURL", "https://example.test/"}}, "/opt/parlindo/parlindo");
    EXPECT_EQ(bundle.object("TessarinAPIURL"), "https://example.test/");
    EXPECT_EQ(bundle.object(shortVersionKey), std::nullopt);
    EXPECT_EQ(bundle.identifier(), std::nullopt);
}
