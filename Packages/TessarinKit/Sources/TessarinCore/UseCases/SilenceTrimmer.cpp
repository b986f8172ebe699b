#include "TessarinCore/UseCases/SilenceTrimmer.h"

#include "System/Log/Logger.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

namespace TessarinCore {

namespace {

// Samples in a duration at the clip rate, truncated toward zero. A length that no clip could have is a
// configuration fault.
std::int64_t samplesIn(Duration duration, const char* name) {
    const double samples = duration.timeInterval() * AudioClip::sampleRate;
    if (!(samples >= -0x1p63 && samples < 0x1p63)) {
        System::Log::fatalError(std::string("SilenceTrimmer: the ") + name + " is out of range");
    }
    return static_cast<std::int64_t>(samples);
}

std::int64_t frameLengthOf(Duration frameDuration) {
    return std::max<std::int64_t>(samplesIn(frameDuration, "frame duration"), 1);
}

// a x b + c, stopping the process on overflow (which the configuration would have to cause).
std::int64_t checkedMultiplyAdd(std::int64_t a, std::int64_t b, std::int64_t c) {
    std::int64_t product = 0;
    std::int64_t sum = 0;
    if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(product, c, &sum)) {
        System::Log::fatalError("SilenceTrimmer: sample offset overflow");
    }
    return sum;
}

// Ascending, with NaN levels (from NaN samples) after every number: a strict weak order, so the order is
// well defined and a broken frame never passes for the quietest one.
bool quieter(float a, float b) {
    return a < b || (!std::isnan(a) && std::isnan(b));
}

// The largest level, NaN levels ignored; 0 when there is none.
float largest(const std::vector<float>& levels) {
    float peak = 0.0f;
    for (const float level : levels) {
        peak = std::fmax(peak, level);
    }
    return peak;
}

} // namespace

std::vector<float> SilenceTrimmer::frameLevels(const AudioClip& clip) const {
    const auto frameLength = static_cast<std::size_t>(frameLengthOf(frameDuration));
    const std::vector<float>& samples = clip.samples;
    std::vector<float> levels;
    levels.reserve(samples.size() / frameLength + 1);
    for (std::size_t start = 0; start < samples.size(); start += frameLength) {
        const std::size_t end = start + std::min(frameLength, samples.size() - start);
        levels.push_back(rootMeanSquare(std::span<const float>(samples).subspan(start, end - start)));
    }
    return levels;
}

float SilenceTrimmer::peakLevel(const AudioClip& clip) const {
    return largest(frameLevels(clip));
}

std::optional<SilenceTrimmer::Result> SilenceTrimmer::trim(const AudioClip& clip) const {
    const std::int64_t frameLength = frameLengthOf(frameDuration);
    const std::vector<float> levels = frameLevels(clip);
    const auto clipLength = static_cast<std::int64_t>(clip.samples.size());
    if (levels.empty() || clipLength < frameLength) {
        return std::nullopt;
    }

    // The noise floor is the lower-decile level: the one at index n / 10 of the ascending levels. Equal
    // levels are the same number, so selecting that element gives what a full sort would.
    std::vector<float> ordered = levels;
    const auto lowerDecile = ordered.begin() + static_cast<std::ptrdiff_t>(ordered.size() / 10);
    std::nth_element(ordered.begin(), lowerDecile, ordered.end(), quieter);
    const float noiseFloor = *lowerDecile;
    float threshold = noiseFloor * noiseMultiplier;
    if (threshold <= minimumThreshold) {
        threshold = minimumThreshold;
    }
    if (maximumThreshold < threshold) {
        threshold = maximumThreshold;
    }

    std::int64_t firstSpeechFrame = -1;
    std::int64_t lastSpeechFrame = -1;
    std::int64_t speechFrameCount = 0;
    for (std::size_t frame = 0; frame < levels.size(); ++frame) {
        if (levels[frame] >= threshold) { // never true for NaN
            if (firstSpeechFrame < 0) {
                firstSpeechFrame = static_cast<std::int64_t>(frame);
            }
            lastSpeechFrame = static_cast<std::int64_t>(frame);
            ++speechFrameCount;
        }
    }
    const Duration speechDuration = frameDuration * speechFrameCount;
    if (speechFrameCount == 0 || speechDuration < minimumSpeech) {
        return std::nullopt;
    }

    const std::int64_t paddingLength = samplesIn(padding, "padding");
    if (paddingLength < 0) {
        System::Log::fatalError("SilenceTrimmer: the padding is negative");
    }
    const std::int64_t start =
        std::max<std::int64_t>(checkedMultiplyAdd(firstSpeechFrame, frameLength, -paddingLength), 0);
    const std::int64_t end =
        std::min(checkedMultiplyAdd(lastSpeechFrame + 1, frameLength, paddingLength), clipLength);
    AudioClip speech{std::vector<float>(clip.samples.begin() + start, clip.samples.begin() + end)};
    return Result{std::move(speech), speechDuration, largest(levels), noiseFloor};
}

} // namespace TessarinCore
