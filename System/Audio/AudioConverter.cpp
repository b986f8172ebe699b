#include "System/Audio/AudioConverter.h"

#include <soxr.h>

#include <cmath>
#include <limits>

namespace System::Audio {

struct AudioConverter::Resampler {
    soxr_t handle = nullptr;
    ~Resampler() { soxr_delete(handle); }
};

std::optional<std::uint32_t> AudioConverter::outputCapacity(double outputRate, double inputRate,
                                                            std::uint32_t inputFrames) {
    const double frames = std::ceil(outputRate / inputRate * double(inputFrames)) + 16;
    if (!std::isfinite(frames) || frames < 0 || frames > double(std::numeric_limits<std::uint32_t>::max())) {
        return std::nullopt;
    }
    return std::uint32_t(frames);
}

std::unique_ptr<AudioConverter> AudioConverter::make(AudioFormat from, AudioFormat to) {
    if (!from.isValid() || !to.isValid()) {
        return nullptr;
    }
    if (to.channelCount != from.channelCount && to.channelCount != 1) {
        return nullptr;
    }
    // Planar float in and out, high quality, on the calling thread only. Minimum phase: the resampler then
    // holds back about 12 ms (48 to 16 kHz) instead of about 30, and a recording that stops without flushing
    // it loses only that; phase does not matter for speech.
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_MINIMUM_PHASE);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    auto resampler = std::make_unique<Resampler>();
    resampler->handle =
        soxr_create(from.sampleRate, to.sampleRate, to.channelCount, &error, &io, &quality, &runtime);
    if (error || !resampler->handle) {
        return nullptr;
    }
    return std::unique_ptr<AudioConverter>(new AudioConverter(from, to, std::move(resampler)));
}

AudioConverter::AudioConverter(AudioFormat from, AudioFormat to, std::unique_ptr<Resampler> resampler)
    : from_(from)
    , to_(to)
    , resampler_(std::move(resampler))
    , inputPlanes_(to.channelCount)
    , outputPlanes_(to.channelCount) {}

AudioConverter::~AudioConverter() = default;

bool AudioConverter::process(const AudioPCMBuffer* input, bool endOfInput, AudioPCMBuffer& output,
                             std::uint32_t& produced, std::string& error) {
    std::size_t frames = 0;
    if (input) {
        frames = input->frameLength();
        if (to_.channelCount == from_.channelCount || !downmix_) {
            for (std::uint32_t c = 0; c < to_.channelCount; ++c) {
                inputPlanes_[c] = input->channelData(c);
            }
        } else {
            mixed_.assign(frames, 0.0f);
            const float scale = 1.0f / float(from_.channelCount);
            for (std::uint32_t c = 0; c < from_.channelCount; ++c) {
                const float* plane = input->channelData(c);
                for (std::size_t i = 0; i < frames; ++i) {
                    mixed_[i] += plane[i];
                }
            }
            for (float& sample : mixed_) {
                sample *= scale;
            }
            inputPlanes_[0] = mixed_.data();
        }
    }
    for (std::uint32_t c = 0; c < to_.channelCount; ++c) {
        outputPlanes_[c] = output.channelData(c) + produced;
    }
    std::size_t done = 0;
    // A null input tells soxr to flush its tail. Without an `idone` pointer soxr takes the whole input into
    // its own queue; what does not fit into the output now comes out on a later call, so no input is ever
    // lost between blocks.
    soxr_error_t failure =
        soxr_process(resampler_->handle, endOfInput ? nullptr : inputPlanes_.data(), frames, nullptr,
                     outputPlanes_.data(), output.frameCapacity() - produced, &done);
    if (failure) {
        error = failure;
        return false;
    }
    produced += std::uint32_t(done);
    return true;
}

ConversionResult AudioConverter::convert(AudioPCMBuffer& output, const ConverterInputBlock& input) {
    output.setFrameLength(0);
    if (output.format() != to_) {
        return {ConverterOutputStatus::error, "The output buffer is not in the converter's output format."};
    }
    std::uint32_t produced = 0;
    std::string error;
    while (produced < output.frameCapacity()) {
        ConverterInputStatus status = ConverterInputStatus::noDataNow;
        const AudioPCMBuffer* block = input(status);
        if (status == ConverterInputStatus::haveData && block) {
            if (block->format() != from_) {
                return {ConverterOutputStatus::error,
                        "The input buffer is not in the converter's input format."};
            }
            if (!process(block, false, output, produced, error)) {
                return {ConverterOutputStatus::error, error};
            }
            continue;
        }
        if (status == ConverterInputStatus::endOfStream) {
            while (produced < output.frameCapacity()) {
                const std::uint32_t before = produced;
                if (!process(nullptr, true, output, produced, error)) {
                    return {ConverterOutputStatus::error, error};
                }
                if (produced == before) {
                    output.setFrameLength(produced);
                    return {ConverterOutputStatus::endOfStream, {}};
                }
            }
            break;
        }
        // No input for now: hand out what the resampler still holds from earlier blocks.
        if (!process(nullptr, false, output, produced, error)) {
            return {ConverterOutputStatus::error, error};
        }
        output.setFrameLength(produced);
        return {produced == output.frameCapacity() ? ConverterOutputStatus::haveData
                                                   : ConverterOutputStatus::inputRanDry,
                {}};
    }
    output.setFrameLength(produced);
    return {ConverterOutputStatus::haveData, {}};
}

ConversionResult AudioConverter::convert(AudioPCMBuffer& output, const AudioPCMBuffer& input) {
    bool handedOver = false;
    return convert(output, [&](ConverterInputStatus& status) -> const AudioPCMBuffer* {
        if (handedOver) {
            status = ConverterInputStatus::noDataNow;
            return nullptr;
        }
        handedOver = true;
        status = ConverterInputStatus::haveData;
        return &input;
    });
}

} // namespace System::Audio
