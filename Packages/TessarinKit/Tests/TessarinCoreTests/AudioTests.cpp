#include "TessarinCore/Domain/Audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace TessarinCore {
namespace {

TEST(AudioTests, ChunkLevelIsTheRootMeanSquare) {
    EXPECT_EQ(AudioChunk{}.level(), 0.0f);
    EXPECT_FLOAT_EQ((AudioChunk{{0.5f, 0.5f, 0.5f}}).level(), 0.5f);
    EXPECT_FLOAT_EQ((AudioChunk{{0.3f, 0.4f}}).level(), std::sqrt(0.125f));
    EXPECT_FLOAT_EQ((AudioChunk{{-1.0f, 1.0f}}).level(), 1.0f);
}

TEST(AudioTests, ChunksAndClipsCompareSampleBySampleWithFloatEquality) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ((AudioChunk{{0.1f, 0.2f}}), (AudioChunk{{0.1f, 0.2f}}));
    EXPECT_NE((AudioChunk{{0.1f}}), (AudioChunk{{0.1f, 0.0f}}));
    EXPECT_NE((AudioChunk{{nan}}), (AudioChunk{{nan}}));
    EXPECT_NE((AudioClip{{nan}}), (AudioClip{{nan}}));
}

TEST(AudioTests, ClipDurationFollowsTheSampleCountAtSixteenKilohertz) {
    EXPECT_EQ(AudioClip::sampleRate, 16000);
    EXPECT_EQ(AudioClip{std::vector<float>(16000)}.duration(), Duration::seconds(std::int64_t{1}));
    EXPECT_EQ(AudioClip{std::vector<float>(8000)}.duration(), Duration::milliseconds(500));
    EXPECT_EQ(AudioClip{std::vector<float>(16)}.duration(), Duration::milliseconds(1));
    EXPECT_EQ(AudioClip{}.duration(), Duration::zero());
    EXPECT_TRUE(AudioClip{}.isEmpty());
    EXPECT_FALSE(AudioClip{{0.0f}}.isEmpty());
}

} // namespace
} // namespace TessarinCore
