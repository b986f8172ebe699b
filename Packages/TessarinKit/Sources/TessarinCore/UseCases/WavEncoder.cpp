#include "TessarinCore/UseCases/WavEncoder.h"

#include "System/Log/Logger.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace TessarinCore::WAVEncoder {

namespace {

constexpr std::uint32_t sampleRate = AudioClip::sampleRate;
constexpr std::uint16_t bytesPerFrame = bitsPerSample / 8; // mono
constexpr std::uint32_t formatChunkSize = 16;
constexpr std::uint16_t integerPCM = 1;
constexpr std::uint16_t mono = 1;
// The RIFF size field holds everything after it: the rest of the header (36 bytes) and the samples.
constexpr std::uint64_t riffSizeBeforeData = headerSize - 8;

// The largest sample count whose RIFF size, 36 + 2n, still fits 32 bits. Checked in 64-bit arithmetic, so
// that no clip can wrap a size field around.
constexpr std::uint64_t maximumSampleCount =
    (std::numeric_limits<std::uint32_t>::max() - riffSizeBeforeData) / bytesPerFrame;
static_assert(riffSizeBeforeData + bytesPerFrame * maximumSampleCount <=
              std::numeric_limits<std::uint32_t>::max());
static_assert(riffSizeBeforeData + bytesPerFrame * (maximumSampleCount + 1) >
              std::numeric_limits<std::uint32_t>::max());

std::int16_t pcmValue(float sample) {
    if (!(sample < 1.0f)) { // 1.0 or more, or NaN
        return std::numeric_limits<std::int16_t>::max();
    }
    // std::lround rounds halves away from zero; the product lies within -32767...32767.
    return static_cast<std::int16_t>(std::lround(std::max(sample, -1.0f) * 32767.0f));
}

// Writes little-endian numbers into a buffer sized in advance.
class ByteWriter {
public:
    explicit ByteWriter(std::uint8_t* out)
        : out_(out) {}

    void text(const char (&fourCharacters)[5]) {
        std::copy_n(fourCharacters, 4, out_);
        out_ += 4;
    }
    void u16(std::uint16_t value) {
        *out_++ = static_cast<std::uint8_t>(value);
        *out_++ = static_cast<std::uint8_t>(value >> 8);
    }
    void u32(std::uint32_t value) {
        u16(static_cast<std::uint16_t>(value));
        u16(static_cast<std::uint16_t>(value >> 16));
    }

private:
    std::uint8_t* out_;
};

} // namespace

std::vector<std::uint8_t> encode(const AudioClip& clip) {
    const std::uint64_t sampleCount = clip.samples.size();
    if (sampleCount > maximumSampleCount) {
        System::Log::fatalError("A clip of " + std::to_string(sampleCount) +
                                " samples is too long for a WAV header (at most " +
                                std::to_string(maximumSampleCount) + ")");
    }
    const auto dataSize = static_cast<std::uint32_t>(bytesPerFrame * sampleCount);

    std::vector<std::uint8_t> bytes(headerSize + dataSize);
    ByteWriter writer(bytes.data());
    writer.text("RIFF");
    writer.u32(static_cast<std::uint32_t>(riffSizeBeforeData + dataSize));
    writer.text("WAVE");
    writer.text("fmt ");
    writer.u32(formatChunkSize);
    writer.u16(integerPCM);
    writer.u16(mono);
    writer.u32(sampleRate);
    writer.u32(sampleRate * bytesPerFrame);
    writer.u16(bytesPerFrame);
    writer.u16(bitsPerSample);
    writer.text("data");
    writer.u32(dataSize);
    for (const float sample : clip.samples) {
        writer.u16(static_cast<std::uint16_t>(pcmValue(sample)));
    }
    return bytes;
}

} // namespace TessarinCore::WAVEncoder
