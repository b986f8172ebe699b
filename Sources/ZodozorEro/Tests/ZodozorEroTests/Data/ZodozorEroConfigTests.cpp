#include "ZodozorEro/Core/ZodozorEroConfig.h"

#include <gtest/gtest.h>

namespace {

using ZodozorEro::ZodozorEroConfig;

TEST(ZodozorEroConfigTest, NothingIsFilledInForTheCaller) {
    const ZodozorEroConfig config;
    EXPECT_FALSE(config.model || config.downloadBase || config.modelRepo || config.modelToken ||
                 config.modelEndpoint || config.modelFolder || config.tokenizerFolder ||
                 config.computeOptions || config.audioInputConfig || config.logitsFilters);
    EXPECT_FALSE(config.audioProcessor || config.featureExtractor || config.audioEncoder ||
                 config.textDecoder || config.segmentSeeker || config.voiceActivityDetector);
    // Absent, not false: the pipeline decides.
    EXPECT_EQ(config.prewarm, std::nullopt);
    EXPECT_EQ(config.load, std::nullopt);
    EXPECT_FALSE(config.download || config.verbose || config.useBackgroundDownloadSession);
    EXPECT_EQ(config.logLevel, VuzadoDudi::Logging::LogLevel::none);
}

} // namespace
