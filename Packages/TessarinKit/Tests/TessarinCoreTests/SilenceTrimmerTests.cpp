#include "TessarinCore/UseCases/SilenceTrimmer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace TessarinCore {
namespace {

constexpr std::size_t frame = 320; // 20 ms

const SilenceTrimmer systemTrimmer{
    Duration::milliseconds(20), 2.5f, 0.003f, 0.01f, Duration::milliseconds(200),
    Duration::milliseconds(200)};

// Frame amplitudes that are multiples of 1/1024 keep every frame level exact: a frame of constant amplitude
// a has level a.
constexpr float level(int multiple) {
    return static_cast<float>(multiple) / 1024.0f;
}

// A clip of whole frames, each frame a constant amplitude.
AudioClip framesOf(const std::vector<float>& amplitudes) {
    AudioClip clip;
    for (const float amplitude : amplitudes) {
        clip.samples.insert(clip.samples.end(), frame, amplitude);
    }
    return clip;
}

// `count` frames of background noise with speech frames at the given indices.
AudioClip speechIn(std::size_t count, float noise, float speech,
                   const std::vector<std::size_t>& speechFrames) {
    std::vector<float> amplitudes(count, noise);
    for (const std::size_t index : speechFrames) {
        amplitudes[index] = speech;
    }
    return framesOf(amplitudes);
}

std::vector<std::size_t> range(std::size_t first, std::size_t last) {
    std::vector<std::size_t> indices;
    for (std::size_t i = first; i <= last; ++i) {
        indices.push_back(i);
    }
    return indices;
}

struct Expected {
    std::size_t keptFrom; // sample offsets in the untrimmed clip
    std::size_t keptTo;
    int speechFrames;
    float peakLevel;
    float noiseFloor;
    bool isFaint;
};

struct TrimCase {
    std::string name;
    AudioClip clip;
    std::optional<Expected> expected; // nothing: no speech
};

TEST(SilenceTrimmerTests, TrimsToTheSpeechOrFindsNone) {
    const float noise = level(1) / 2; // 0.00049, well under the threshold floor of 0.003
    const float speech = level(100);  // about 0.1
    const std::vector<TrimCase> cases = {
        {"empty clip", AudioClip{}, std::nullopt},
        {"shorter than one frame", AudioClip{std::vector<float>(319, 0.5f)}, std::nullopt},
        {"one second of digital silence", AudioClip{std::vector<float>(16000, 0.0f)}, std::nullopt},
        {"speech with leading and trailing silence", speechIn(150, noise, speech, range(50, 99)),
         Expected{50 * frame - 3200, 100 * frame + 3200, 50, speech, noise, false}},
        {"speech in frames 10 to 20 of 3 s", speechIn(150, noise, speech, range(10, 20)),
         Expected{0, 9920, 11, speech, noise, false}},
        {"speech at the very start", speechIn(150, noise, speech, range(0, 14)),
         Expected{0, 15 * frame + 3200, 15, speech, noise, false}},
        {"speech up to the end", speechIn(150, noise, speech, range(140, 149)),
         Expected{140 * frame - 3200, 150 * frame, 10, speech, noise, false}},
        {"exactly the minimum speech of 10 frames", speechIn(50, noise, speech, range(20, 29)),
         Expected{20 * frame - 3200, 30 * frame + 3200, 10, speech, noise, false}},
        {"9 speech frames are too few", speechIn(50, noise, speech, range(20, 28)), std::nullopt},
        {"two bursts keep the silence between them",
         speechIn(150, noise, speech,
                  [] {
                      std::vector<std::size_t> bursts = range(10, 19);
                      const std::vector<std::size_t> second = range(60, 69);
                      bursts.insert(bursts.end(), second.begin(), second.end());
                      return bursts;
                  }()),
         Expected{0, 70 * frame + 3200, 20, speech, noise, false}},
        // Faint speech: clearly above the threshold but less than four times the background.
        {"faint speech", speechIn(100, level(2), level(6), range(30, 59)),
         Expected{30 * frame - 3200, 60 * frame + 3200, 30, level(6), level(2), true}},
        {"speech too faint for the threshold floor", speechIn(100, 0.0f, level(2), range(30, 59)),
         std::nullopt},
        // Noise floor 0.0005 x 2.5 = 0.00125 is raised to 0.003: a 0.00195 frame is not speech, 0.0039 is.
        {"threshold raised to its minimum", speechIn(100, noise, level(2), range(30, 59)), std::nullopt},
        {"threshold at its minimum", speechIn(100, noise, level(4), range(30, 59)),
         Expected{30 * frame - 3200, 60 * frame + 3200, 30, level(4), noise, true}},
        // A loud background (about 0.02) would give a threshold of 0.05; it is lowered to 0.01, so the loud
        // frames count as speech.
        {"threshold lowered to its maximum", framesOf([] {
             std::vector<float> amplitudes(50, level(20));
             std::fill_n(amplitudes.begin(), 5, 0.0f);
             return amplitudes;
         }()),
         Expected{0, 50 * frame, 45, level(20), level(20), true}},
    };
    for (const TrimCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<SilenceTrimmer::Result> result = systemTrimmer.trim(c.clip);
        ASSERT_EQ(result.has_value(), c.expected.has_value());
        if (!result) {
            continue;
        }
        const Expected& e = *c.expected;
        const std::vector<float> kept(c.clip.samples.begin() + static_cast<std::ptrdiff_t>(e.keptFrom),
                                      c.clip.samples.begin() + static_cast<std::ptrdiff_t>(e.keptTo));
        EXPECT_EQ(result->clip.samples.size(), kept.size());
        EXPECT_EQ(result->clip.samples, kept);
        EXPECT_EQ(result->speechDuration, Duration::milliseconds(20) * e.speechFrames);
        EXPECT_EQ(result->peakLevel, e.peakLevel);
        EXPECT_EQ(result->noiseFloor, e.noiseFloor);
        EXPECT_EQ(result->isFaint(), e.isFaint);
    }
}

TEST(SilenceTrimmerTests, NoiseFloorIsTheLowerDecileFrameLevel) {
    // Frames with the levels 1/1024 ... n/1024 in descending order; the floor is the level at index n / 10.
    // Nine frames cannot hold the system's minimum speech, so it is lifted here.
    SilenceTrimmer trimmer = systemTrimmer;
    trimmer.minimumSpeech = Duration::zero();
    struct Case {
        int frames;
        float floor;
    };
    for (const Case c : {Case{50, level(6)}, Case{25, level(3)}, Case{9, level(1)}}) {
        std::vector<float> amplitudes;
        for (int i = c.frames; i >= 1; --i) {
            amplitudes.push_back(level(i));
        }
        const auto result = trimmer.trim(framesOf(amplitudes));
        ASSERT_TRUE(result.has_value()) << c.frames;
        EXPECT_EQ(result->noiseFloor, c.floor) << c.frames;
        EXPECT_EQ(result->peakLevel, level(c.frames)) << c.frames;
    }
}

TEST(SilenceTrimmerTests, PeakLevelIsTheLoudestFrameWithAShortLastFrame) {
    EXPECT_EQ(systemTrimmer.peakLevel(AudioClip{}), 0.0f);
    EXPECT_EQ(systemTrimmer.peakLevel(AudioClip{std::vector<float>(16000, 0.0f)}), 0.0f);
    // 1,000 samples: frames of 320, 320, 320 and 40. The last frame's level is the RMS of its own 40 samples.
    AudioClip clip{std::vector<float>(1000, 0.0f)};
    std::fill(clip.samples.begin() + 960, clip.samples.end(), 0.5f);
    EXPECT_EQ(systemTrimmer.peakLevel(clip), 0.5f);
    // Samples of both signs: the level is a root mean square, not a mean.
    AudioClip alternating{std::vector<float>(640, 0.25f)};
    for (std::size_t i = 0; i < alternating.samples.size(); i += 2) {
        alternating.samples[i] = -0.25f;
    }
    EXPECT_EQ(systemTrimmer.peakLevel(alternating), 0.25f);
}

TEST(SilenceTrimmerTests, NaNSamplesAreNeverSpeechNorTheNoiseFloor) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> amplitudes(50, level(1));
    std::fill_n(amplitudes.begin(), 10, nan);
    std::fill_n(amplitudes.begin() + 20, 10, level(100));
    const auto result = systemTrimmer.trim(framesOf(amplitudes));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->noiseFloor, level(1));
    EXPECT_EQ(result->peakLevel, level(100));
    EXPECT_EQ(result->speechDuration, Duration::milliseconds(200));
    EXPECT_EQ(result->clip.samples.size(), 10 * frame + 2 * 3200);

    EXPECT_EQ(systemTrimmer.peakLevel(AudioClip{std::vector<float>(640, nan)}), 0.0f);
    EXPECT_FALSE(systemTrimmer.trim(AudioClip{std::vector<float>(16000, nan)}).has_value());
}

TEST(SilenceTrimmerTests, FaintnessIsPeakOverNoiseFloorBelowFour) {
    struct Case {
        float peak;
        float floor;
        bool faint;
    };
    for (const Case c : {Case{0.02f, 0.005f, false}, Case{0.0039f, 0.0f, true}, Case{0.004f, 0.0005f, false},
                         Case{0.0199f, 0.005f, true}, Case{0.0f, 0.0f, true}}) {
        const SilenceTrimmer::Result result{AudioClip{}, Duration::zero(), c.peak, c.floor};
        EXPECT_EQ(result.isFaint(), c.faint) << c.peak << " over " << c.floor;
    }
}

TEST(SilenceTrimmerTests, ConfigurationThatNoClipCouldMeetStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const AudioClip clip{std::vector<float>(16000, 0.5f)};
    SilenceTrimmer hugeFrames = systemTrimmer;
    hugeFrames.frameDuration = Duration::seconds(std::int64_t{1'000'000'000'000'000});
    EXPECT_DEATH(hugeFrames.trim(clip), "frame duration");
    SilenceTrimmer negativePadding = systemTrimmer;
    negativePadding.padding = Duration::milliseconds(-200);
    EXPECT_DEATH(negativePadding.trim(clip), "padding");
}

} // namespace
} // namespace TessarinCore
