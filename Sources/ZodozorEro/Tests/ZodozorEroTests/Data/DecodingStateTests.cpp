#include "ZodozorEro/Core/DecodingFallback.h"
#include "ZodozorEro/Core/DecodingInputs.h"
#include "ZodozorEro/Core/DecodingResult.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "ZodozorEro/Utilities/WhisperError.h"

namespace {

using System::ML::MultiArray;
using System::ML::MultiArrayDataType;
using ZodozorEro::DecodingFallback;
using ZodozorEro::DecodingOptions;

TEST(DecodingFallbackTest, TheFirstRuleThatAppliesDecides) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const DecodingOptions defaults;
    const DecodingOptions none{.compressionRatioThreshold = std::nullopt,
                               .logProbThreshold = std::nullopt,
                               .firstTokenLogProbThreshold = std::nullopt,
                               .noSpeechThreshold = std::nullopt};
    struct Case {
        std::string name;
        const DecodingOptions& options;
        bool firstTokenTooLow;
        float noSpeechProb;
        float compressionRatio;
        float avgLogProb;
        std::optional<DecodingFallback> expected;
    };
    const std::vector<Case> cases = {
        {"silence comes before the others", defaults, false, 0.7f, 3.0f, -2.0f,
         DecodingFallback{false, "silence"}},
        {"first token wins over all", defaults, true, 0.7f, 3.0f, -2.0f,
         DecodingFallback{true, "firstTokenLogProbThreshold"}},
        {"first token without thresholds", none, true, 0, 0, 0,
         DecodingFallback{true, "firstTokenLogProbThreshold"}},
        {"repetitive text", defaults, false, 0.1f, 3.0f, -2.0f,
         DecodingFallback{true, "compressionRatioThreshold"}},
        {"unlikely text", defaults, false, 0.1f, 1.5f, -2.0f, DecodingFallback{true, "logProbThreshold"}},
        {"accepted", defaults, false, 0.1f, 1.5f, -0.5f, std::nullopt},
        {"equal to the no-speech threshold", defaults, false, 0.6f, 1.0f, 0.0f, std::nullopt},
        {"equal to the ratio threshold", defaults, false, 0.0f, 2.4f, 0.0f, std::nullopt},
        {"equal to the log-prob threshold", defaults, false, 0.0f, 1.0f, -1.0f, std::nullopt},
        {"no thresholds", none, false, 1.0f, 100.0f, -100.0f, std::nullopt},
        {"not a number", defaults, false, nan, nan, nan, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecodingFallback::decide(c.options, c.firstTokenTooLow, c.noSpeechProb, c.compressionRatio,
                                           c.avgLogProb),
                  c.expected)
            << c.name;
    }
}

struct Arrays {
    MultiArray cacheLength{{1}, MultiArrayDataType::int32};
    MultiArray updateMask{{1, 224}, MultiArrayDataType::float16};
    MultiArray paddingMask{{1, 224}, MultiArrayDataType::float16};
    MultiArray keyCache{{1, 8, 1, 224}, MultiArrayDataType::float16};

    ZodozorEro::DecodingInputs inputs() const {
        return ZodozorEro::DecodingInputs(
            {50258}, MultiArray({1}, MultiArrayDataType::int32), cacheLength, keyCache, keyCache.copy(),
            MultiArray({1, 224}, MultiArrayDataType::float16), updateMask, paddingMask);
    }
    // Every element of every array set to 7, so a test sees exactly what a reset wrote.
    void fill() {
        for (MultiArray* array : {&cacheLength, &updateMask, &paddingMask, &keyCache}) {
            for (std::size_t i = 0; i < array->count(); ++i) {
                array->setValue(i, 7);
            }
        }
    }
};

TEST(DecodingInputsTest, AResetOpensTheFirstPositionAndClosesTheRest) {
    Arrays arrays;
    arrays.fill();
    auto inputs = arrays.inputs();
    inputs.reset(224);
    EXPECT_EQ(arrays.cacheLength.value(0), 0);
    EXPECT_EQ(arrays.paddingMask.value(0), 0);
    EXPECT_EQ(arrays.updateMask.value(0), 1);
    for (std::size_t i = 1; i < 224; ++i) {
        ASSERT_EQ(arrays.paddingMask.value(i), -10000) << i;
        ASSERT_EQ(arrays.updateMask.value(i), 0) << i;
    }
    EXPECT_EQ(arrays.keyCache.value(arrays.keyCache.count() - 1), 7) << "the caches stay";
    EXPECT_EQ(inputs.initialPrompt(), std::vector<int>{50258});
}

TEST(DecodingInputsTest, AOnePositionContextWritesOnlyPositionZero) {
    Arrays arrays;
    arrays.fill();
    arrays.inputs().reset(1);
    EXPECT_EQ(arrays.cacheLength.value(0), 0);
    EXPECT_EQ(arrays.paddingMask.value(0), 0);
    EXPECT_EQ(arrays.updateMask.value(0), 1);
    EXPECT_EQ(arrays.paddingMask.value(1), 7);
    EXPECT_EQ(arrays.updateMask.value(223), 7);
}

TEST(DecodingInputsTest, AContextTheMasksCannotHoldIsRefusedBeforeAnythingIsWritten) {
    for (int context : {0, -3, 225}) {
        Arrays arrays;
        arrays.fill();
        auto inputs = arrays.inputs();
        try {
            inputs.reset(context);
            ADD_FAILURE() << context;
        } catch (const ZodozorEro::WhisperError& error) {
            EXPECT_EQ(error.kind(), ZodozorEro::WhisperError::Kind::prepareDecoderInputsFailed);
        }
        EXPECT_EQ(arrays.cacheLength.value(0), 7) << context;
        EXPECT_EQ(arrays.paddingMask.value(0), 7) << context;
    }
}

TEST(DecodingInputsTest, ReplacingAnArrayThroughItsAccessorSticks) {
    Arrays arrays;
    auto inputs = arrays.inputs();
    ZodozorEro::DecodingInputsType& type = inputs;
    type.inputIds() = MultiArray::withValues<std::int32_t>({1}, std::vector<std::int32_t>{50259});
    type.initialPrompt().push_back(50359);
    EXPECT_EQ(inputs.inputIds().value(0), 50259);
    EXPECT_EQ(inputs.initialPrompt(), (std::vector<int>{50258, 50359}));
}

TEST(DecodingResultTest, EmptyResultsHoldNothing) {
    const auto empty = ZodozorEro::DecodingResult::emptyResults();
    EXPECT_TRUE(empty.language.empty() && empty.languageProbs.empty() && empty.tokens.empty() &&
                empty.tokenLogProbs.empty() && empty.text.empty());
    EXPECT_EQ(empty.avgLogProb, 0);
    EXPECT_EQ(empty.noSpeechProb, 0);
    EXPECT_EQ(empty.temperature, 0);
    EXPECT_EQ(empty.compressionRatio, 0);
    EXPECT_FALSE(empty.cache || empty.timings || empty.fallback);
}

} // namespace
