#include "TessarinCore/UseCases/WavEncoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace TessarinCore {
namespace {

std::uint32_t u32At(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

TEST(WavEncoderTests, ShortClipGivesExactlyTheseBytes) {
    const std::vector<std::uint8_t> expected = {
        'R',  'I',  'F',  'F',  0x2A, 0x00, 0x00, 0x00, // 36 + 6 bytes of samples
        'W',  'A',  'V',  'E',                          //
        'f',  'm',  't',  ' ',  0x10, 0x00, 0x00, 0x00, // format chunk of 16 bytes
        0x01, 0x00, 0x01, 0x00,                         // integer PCM, mono
        0x80, 0x3E, 0x00, 0x00,                         // 16,000 samples a second
        0x00, 0x7D, 0x00, 0x00,                         // 32,000 bytes a second
        0x02, 0x00, 0x10, 0x00,                         // 2 bytes a frame, 16 bits a sample
        'd',  'a',  't',  'a',  0x06, 0x00, 0x00, 0x00, // 6 bytes of samples
        0x00, 0x40, 0x01, 0x80, 0xFF, 0x7F,             // 16384, -32767, 32767
    };
    EXPECT_EQ(WAVEncoder::encode(AudioClip{{0.5f, -1.0f, 1.0f}}), expected);
}

TEST(WavEncoderTests, SamplesAreClampedScaledAndRoundedHalfAwayFromZero) {
    struct Case {
        float sample;
        std::int16_t value;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    const std::vector<Case> cases = {
        // Full scale and beyond: clamped, so -32768 is never written.
        {0.0f, 0},
        {-0.0f, 0},
        {1.0f, 32767},
        {-1.0f, -32767},
        {2.0f, 32767},
        {-3.5f, -32767},
        {0.999999f, 32767},
        {infinity, 32767},
        {-infinity, -32767},
        // Not a number, of either sign.
        {nan, 32767},
        {-nan, 32767},
        // Scaling by 32767 and rounding to the nearest value.
        {0.25f, 8192},
        {1.0f / 32767, 1},
        {-1.0f / 32767, -1},
        {1e-6f, 0},
        {-1e-6f, 0},
        // Halves go away from zero, not to even: these scale to exactly 16383.5, 2.5 and their negatives.
        {0.5f, 16384},
        {-0.5f, -16384},
        {0x1.40028p-14f, 3},
        {-0x1.40028p-14f, -3},
    };
    AudioClip clip;
    for (const Case& c : cases) {
        clip.samples.push_back(c.sample);
    }
    const std::vector<std::uint8_t> bytes = WAVEncoder::encode(clip);
    ASSERT_EQ(bytes.size(), WAVEncoder::headerSize + 2 * cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto value = static_cast<std::int16_t>(bytes[44 + 2 * i] | bytes[45 + 2 * i] << 8);
        EXPECT_EQ(value, cases[i].value) << "sample " << cases[i].sample;
    }
}

TEST(WavEncoderTests, SizeFieldsFollowTheSampleCount) {
    struct Case {
        std::size_t samples;
        std::uint32_t riffSize;
        std::uint32_t dataSize;
    };
    for (const Case c : {Case{0, 36, 0}, Case{1, 38, 2}, Case{16000, 32036, 32000}}) {
        const std::vector<std::uint8_t> bytes =
            WAVEncoder::encode(AudioClip{std::vector<float>(c.samples, 0.1f)});
        ASSERT_EQ(bytes.size(), 44 + 2 * c.samples);
        EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
        EXPECT_EQ(u32At(bytes, 4), c.riffSize) << c.samples;
        EXPECT_EQ(std::memcmp(bytes.data() + 36, "data", 4), 0);
        EXPECT_EQ(u32At(bytes, 40), c.dataSize) << c.samples;
    }
    EXPECT_EQ(WAVEncoder::bitsPerSample, 16);
}

} // namespace
} // namespace TessarinCore
