#include "TessarinPlatform/Audio/CaptureBuffer.h"

#include "TessarinPlatform/Audio/RecorderError.h"

namespace TessarinPlatform {

namespace Audio = System::Audio;
namespace Con = System::Concurrency;

Con::AsyncStream<TessarinCore::AudioChunk> CaptureBuffer::begin(const Audio::AudioFormat& inputFormat) {
    auto outputFormat = Audio::AudioFormat::make(TessarinCore::AudioClip::sampleRate, 1);
    if (!outputFormat) {
        throw RecorderError(RecorderError::Case::unsupportedFormat);
    }
    auto converter = Audio::AudioConverter::make(inputFormat, *outputFormat);
    if (!converter) {
        throw RecorderError(RecorderError::Case::unsupportedFormat);
    }
    converter->setDownmix(true);
    auto [stream, continuation] = Con::AsyncStream<TessarinCore::AudioChunk>::makeStream();
    State fresh;
    fresh.converter = std::move(converter);
    fresh.outputFormat = outputFormat;
    fresh.samples.reserve(reservedSamples);
    fresh.continuation = continuation;
    {
        std::lock_guard lock(mutex_);
        state_ = std::move(fresh);
    }
    return std::move(stream);
}

void CaptureBuffer::append(const Audio::AudioPCMBuffer& buffer) {
    std::lock_guard lock(mutex_);
    if (!state_.converter || !state_.outputFormat) {
        return;
    }
    const auto capacity = Audio::AudioConverter::outputCapacity(
        state_.outputFormat->sampleRate, buffer.format().sampleRate, buffer.frameLength());
    if (!capacity) {
        return;
    }
    auto output = Audio::AudioPCMBuffer::make(*state_.outputFormat, *capacity);
    if (!output) {
        return;
    }
    // One block at a time: the converter keeps its resampler state for the next block.
    const auto result = state_.converter->convert(*output, buffer);
    if (result.status == Audio::ConverterOutputStatus::error || output->frameLength() == 0) {
        return;
    }
    const float* converted = output->channelData(0);
    std::vector<float> samples(converted, converted + output->frameLength());
    state_.samples.insert(state_.samples.end(), samples.begin(), samples.end());
    if (state_.continuation) {
        state_.continuation->yield(TessarinCore::AudioChunk{std::move(samples)});
    }
}

TessarinCore::AudioClip CaptureBuffer::end() {
    State taken;
    {
        std::lock_guard lock(mutex_);
        taken = std::exchange(state_, State{});
    }
    if (taken.continuation) {
        taken.continuation->finish();
    }
    return TessarinCore::AudioClip{std::move(taken.samples)};
}

} // namespace TessarinPlatform
