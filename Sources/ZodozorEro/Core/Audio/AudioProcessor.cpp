#include "ZodozorEro/Core/Audio/AudioProcessor.h"

#include "ZodozorEro/Core/Audio/AudioFileReader.h"
#include "ZodozorEro/Core/Audio/AudioLog.h"
#include "ZodozorEro/Core/Audio/EnergyVAD.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include "System/Concurrency/SerialQueue.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <thread>

namespace ZodozorEro {

using System::Audio::AudioConverter;
using System::Audio::AudioFile;
using System::Audio::AudioFileError;
using System::Audio::AudioFormat;
using System::Audio::AudioPCMBuffer;
using System::Log::Public;

namespace {

constexpr double maxFrames = double(std::numeric_limits<std::uint32_t>::max());

std::string fixed2(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// The samples of `file` from its read position up to `endFrame` (the end of its data when absent), folded and
// converted to mono at `outputRate`.
std::vector<float> readSamples(AudioFile& file, const ChannelMode& channelMode, double outputRate,
                               std::uint32_t readSize, std::optional<std::int64_t> endFrame) {
    AudioFileReader reader(file, channelMode, outputRate, readSize, endFrame);
    std::vector<float> samples;
    samples.reserve(reader.expectedSamples());
    reader.readToEnd(samples);
    return samples;
}

// The frame at `seconds`, rounded: a time like 0.7 s is 30869.999... frames at 44.1 kHz and means 30870.
std::int64_t frameAt(double seconds, double rate) {
    return std::llround(seconds * rate);
}

// Frames are counted in 64 bits; a product beyond this is no frame of any file.
constexpr double largestFrame = 0x1p62;

// One mono buffer at `rate` holding `samples`; nothing when that is more than a buffer may hold.
std::optional<AudioPCMBuffer> monoBuffer(const std::vector<float>& samples, double rate) {
    const auto format = AudioFormat::make(rate, 1);
    auto buffer = format && samples.size() <= maxFrames
                      ? AudioPCMBuffer::make(*format, std::uint32_t(std::max<std::size_t>(1, samples.size())))
                      : std::nullopt;
    if (buffer) {
        std::copy(samples.begin(), samples.end(), buffer->channelData(0));
        buffer->setFrameLength(std::uint32_t(samples.size()));
    }
    return buffer;
}

double rootMeanSquare(std::span<const float> samples) {
    if (samples.empty()) {
        return 0;
    }
    double sum = 0;
    for (float sample : samples) {
        sum += double(sample) * sample;
    }
    return std::sqrt(sum / double(samples.size()));
}

float peakMagnitude(const float* samples, std::size_t count) {
    float peak = 0;
    for (std::size_t i = 0; i < count; ++i) {
        peak = std::max(peak, std::abs(samples[i]));
    }
    return peak;
}

// Folds the channels of `buffer` into `mono` (one channel at the same rate, room for every frame).
void foldToMono(const AudioPCMBuffer& buffer, const ChannelMode& mode, AudioPCMBuffer& mono) {
    const std::uint32_t channels = buffer.format().channelCount;
    const std::uint32_t frames = buffer.frameLength();
    mono.setFrameLength(frames);
    float* out = mono.channelData(0);
    auto copyChannel = [&](std::uint32_t channel) {
        std::memcpy(out, buffer.channelData(channel), std::size_t(frames) * sizeof(float));
    };
    if (mode.kind() == ChannelMode::Kind::specificChannel) {
        const std::int64_t channel = mode.channel();
        copyChannel(channel >= 0 && channel < std::int64_t(channels) ? std::uint32_t(channel) : 0);
        return;
    }
    std::vector<std::uint32_t> chosen;
    if (mode.channels() && !mode.channels()->empty()) {
        for (std::int64_t channel : *mode.channels()) {
            if (channel >= 0 && channel < std::int64_t(channels)) {
                chosen.push_back(std::uint32_t(channel));
            }
        }
        if (chosen.empty()) {
            copyChannel(0);
            audioLog().debug("No valid channel indices provided, defaulting to first channel");
            return;
        }
    } else {
        for (std::uint32_t c = 0; c < channels; ++c) {
            chosen.push_back(c);
        }
    }
    // The mix gets the peak of its loudest channel, so summing neither clips nor quietens it.
    float peak = 0;
    std::fill(out, out + frames, 0.0f);
    for (std::uint32_t channel : chosen) {
        const float* plane = buffer.channelData(channel);
        peak = std::max(peak, peakMagnitude(plane, frames));
        for (std::uint32_t i = 0; i < frames; ++i) {
            out[i] += plane[i];
        }
    }
    const float scale = peak / std::max(peakMagnitude(out, frames), 0.0001f);
    for (std::uint32_t i = 0; i < frames; ++i) {
        out[i] *= scale;
    }
}

} // namespace

AudioFile openAudioFile(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
    }
    try {
        return AudioFile::open(path);
    } catch (const AudioFileError& error) {
        throw WhisperError::loadAudioFailed(error.description());
    }
}

// ---- Files ----

AudioPCMBuffer AudioProcessor::loadAudio(const std::string& path, const ChannelMode& channelMode,
                                         std::optional<double> startTime, std::optional<double> endTime,
                                         std::optional<std::uint32_t> maxReadFrameSize) {
    AudioFile file = openAudioFile(path);
    return loadAudio(file, channelMode, startTime, endTime, maxReadFrameSize);
}

AudioPCMBuffer AudioProcessor::loadAudio(AudioFile& file, const ChannelMode& channelMode,
                                         std::optional<double> startTime, std::optional<double> endTime,
                                         std::optional<std::uint32_t> maxReadFrameSize) {
    const double rate = file.fileFormat().sampleRate;
    const std::uint32_t channels = file.fileFormat().channelCount;
    const std::optional<std::int64_t> length = file.length();
    if (length && double(*length) > maxFrames) {
        throw WhisperError::loadAudioFailed("The audio file " + file.name() + " is too long to load at once");
    }
    const double start = startTime.value_or(0);
    if (!std::isfinite(start) || start < 0 || start * rate > largestFrame ||
        (endTime && std::isnan(*endTime))) {
        throw WhisperError::loadAudioFailed(
            "The start and end times must be numbers and the start at least 0");
    }
    if (maxReadFrameSize && *maxReadFrameSize == 0) {
        throw WhisperError::loadAudioFailed("The read size must be greater than 0");
    }
    const std::int64_t startFrame = frameAt(start, rate);
    // No end time, or one beyond every frame, reads to the end of the data.
    std::optional<std::int64_t> endFrame = length;
    if (endTime && *endTime * rate < largestFrame) {
        endFrame =
            std::min(frameAt(*endTime, rate), length.value_or(std::numeric_limits<std::int64_t>::max()));
    }
    if (endFrame && *endFrame < startFrame) {
        throw WhisperError::loadAudioFailed("The audio window of " + file.name() + " starts at " +
                                            fixed2(start) + " s, after its end at " +
                                            fixed2(double(*endFrame) / rate) + " s");
    }
    if (endFrame && double(*endFrame - startFrame) > maxFrames) {
        throw WhisperError::loadAudioFailed("The audio window of " + file.name() +
                                            " is too long to load at once");
    }
    try {
        file.setFramePosition(startFrame);
    } catch (const AudioFileError& error) {
        throw WhisperError::loadAudioFailed(error.description());
    }
    const std::uint32_t readSize = maxReadFrameSize.value_or(defaultAudioReadFrameSize);

    // A 16 kHz mono file goes through the reader without a converter; any other is folded and converted
    // block by block. Either way a failure is thrown as it is, naming the file and the cause.
    auto buffer = monoBuffer(readSamples(file, channelMode, sampleRate, readSize, endFrame), sampleRate);
    if (!buffer) {
        throw WhisperError::loadAudioFailed("Unable to create audio buffer");
    }
    if (length) {
        audioLog().debug("Audio source details - Sample Rate: {} Hz, Channel Count: {}, Frame Length: {}, "
                         "Duration: {}s",
                         rate, channels, *length, double(*length) / rate);
    } else {
        audioLog().debug(
            "Audio source details - Sample Rate: {} Hz, Channel Count: {}, Frame Length: unknown", rate,
            channels);
    }
    audioLog().debug(
        "Audio buffer details - Sample Rate: {} Hz, Channel Count: {}, Frame Length: {}, Duration: {}s",
        buffer->format().sampleRate, buffer->format().channelCount, buffer->frameLength(),
        double(buffer->frameLength()) / buffer->format().sampleRate);
    VuzadoDudi::Logging::logCurrentMemoryUsage("After loadAudio function");
    return std::move(*buffer);
}

System::Concurrency::Task<AudioPCMBuffer> AudioProcessor::loadAudioAsync(std::string path) {
    System::Concurrency::SerialQueue queue("AudioProcessor.loadAudioAsync");
    co_return co_await System::Concurrency::runOn(queue,
                                                  [path = std::move(path)] { return loadAudio(path); });
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& path,
                                                         const ChannelMode& channelMode,
                                                         std::optional<double> startTime,
                                                         std::optional<double> endTime) {
    AudioFile file = openAudioFile(path);
    const double rate = file.fileFormat().sampleRate;
    const std::optional<std::int64_t> length = file.length();
    if (length && double(*length) > maxFrames) {
        throw WhisperError::loadAudioFailed("The audio file " + path + " is too long to load");
    }
    const double start = startTime.value_or(0);
    if (!std::isfinite(start) || start < 0 || start * rate > largestFrame ||
        (endTime && std::isnan(*endTime))) {
        throw WhisperError::loadAudioFailed(
            "The start and end times must be numbers and the start at least 0");
    }
    const std::int64_t startFrame = frameAt(start, rate);
    std::optional<std::int64_t> endFrame = length;
    if (endTime && *endTime * rate < largestFrame) {
        endFrame =
            std::min(frameAt(*endTime, rate), length.value_or(std::numeric_limits<std::int64_t>::max()));
    }
    if ((endFrame && *endFrame <= startFrame) || (length && startFrame >= *length)) {
        return {};
    }
    try {
        file.setFramePosition(startFrame);
    } catch (const AudioFileError& error) {
        throw WhisperError::loadAudioFailed(error.description());
    }
    // One reader walks the whole window, a segment at a time, so segments join without a seam.
    AudioFileReader reader(file, channelMode, sampleRate, defaultAudioReadFrameSize, endFrame);
    std::vector<float> samples;
    samples.reserve(reader.expectedSamples());
    const auto segmentFrames = std::int64_t(arraySegmentSeconds * rate);
    for (std::int64_t segmentEnd = startFrame + segmentFrames; !reader.atEnd(); segmentEnd += segmentFrames) {
        reader.readUntil(segmentEnd, samples);
    }
    return samples;
}

std::vector<AudioLoadResult> AudioProcessor::loadAudio(const std::vector<std::string>& paths,
                                                       const ChannelMode& channelMode) {
    std::vector<AudioLoadResult> results(paths.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < paths.size(); i = next++) {
            try {
                results[i].samples = loadAudioAsFloatArray(paths[i], channelMode);
            } catch (...) {
                results[i].error = std::current_exception();
            }
        }
    };
    // Each loader is busy with its own file; more threads than cores would only wait for each other.
    const std::size_t threads =
        std::min<std::size_t>(paths.size(), std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::jthread> workers;
    for (std::size_t t = 1; t < threads; ++t) {
        workers.emplace_back(work);
    }
    work();
    workers.clear();
    return results;
}

std::optional<AudioPCMBuffer> AudioProcessor::resampleAudio(AudioFile& file, double toSampleRate,
                                                            std::uint32_t channelCount,
                                                            const ChannelMode& channelMode,
                                                            std::optional<std::uint32_t> frameCount,
                                                            std::uint32_t maxReadFrameSize) {
    const double sourceRate = file.fileFormat().sampleRate;
    const std::int64_t start = file.framePosition();
    // Channels fold into one before converting, so one is what there is to give.
    if (channelCount != 1 || !AudioFormat::make(toSampleRate, channelCount)) {
        audioLog().error("Failed to create output audio format");
        return std::nullopt;
    }
    std::optional<std::int64_t> end =
        frameCount ? std::optional(start + std::int64_t(*frameCount)) : file.length();
    if (end && file.length()) {
        end = std::min(*end, *file.length());
    }
    if (end) {
        audioLog().debug("Resampling {} seconds of audio", Public(fixed2(double(*end - start) / sourceRate)));
    } else {
        audioLog().debug("Resampling audio of unknown length");
    }
    try {
        auto output =
            monoBuffer(readSamples(file, channelMode, toSampleRate, maxReadFrameSize, end), toSampleRate);
        if (!output) {
            audioLog().error("Failed to create output buffer");
        }
        return output;
    } catch (const WhisperError&) {
        return std::nullopt; // the reader logged why
    }
}

AudioFileReader::AudioFileReader(AudioFile& file, const ChannelMode& channelMode, double outputRate,
                                 std::uint32_t readSize, std::optional<std::int64_t> endFrame)
    : file_(file)
    , channelMode_(channelMode)
    , outputRate_(outputRate)
    , endFrame_(endFrame)
    , startFrame_(file.framePosition()) {
    if (readSize == 0) {
        audioLog().error("The read size must be greater than 0");
        throw WhisperError::loadAudioFailed("The read size must be greater than 0");
    }
    const AudioFormat source = file.fileFormat();
    const auto blockFrames = std::uint32_t(std::clamp<std::int64_t>(
        endFrame ? *endFrame - file.framePosition() : std::int64_t(readSize), 1, std::int64_t(readSize)));
    readBuffer_ = AudioPCMBuffer::make(file.processingFormat(), blockFrames);
    const auto monoFormat = AudioFormat::make(source.sampleRate, 1);
    const auto outputFormat = AudioFormat::make(outputRate, 1);
    bool made = readBuffer_ && monoFormat && outputFormat;
    if (made && source.channelCount > 1) {
        monoBuffer_ = AudioPCMBuffer::make(*monoFormat, blockFrames);
        made = bool(monoBuffer_);
    }
    if (made && source.sampleRate != outputRate) {
        converter_ = AudioConverter::make(*monoFormat, *outputFormat);
        const auto capacity = AudioConverter::outputCapacity(outputRate, source.sampleRate, blockFrames);
        converted_ = capacity ? AudioPCMBuffer::make(*outputFormat, *capacity) : std::nullopt;
        made = converter_ && converted_;
    }
    if (!made) {
        throw conversionFailed("the buffers or the converter for resampling can't be made");
    }
}

AudioFileReader::~AudioFileReader() = default;

WhisperError AudioFileReader::conversionFailed(const std::string& reason) const {
    audioLog().error("Failed to resample audio chunk of {}: {}", file_.name(), Public(reason));
    return WhisperError::loadAudioFailed("Failed to process audio buffer of " + file_.name() + ": " + reason);
}

std::size_t AudioFileReader::expectedSamples() const {
    if (!endFrame_) {
        return 0;
    }
    const std::int64_t frames = std::clamp<std::int64_t>(*endFrame_ - startFrame_, 0, file_.byteSize());
    return std::size_t(std::llround(double(frames) / file_.fileFormat().sampleRate * outputRate_));
}

void AudioFileReader::readToEnd(std::vector<float>& samples) {
    readUntil(std::numeric_limits<std::int64_t>::max(), samples);
}

void AudioFileReader::readUntil(std::int64_t frame, std::vector<float>& samples) {
    const double sourceRate = file_.fileFormat().sampleRate;
    while (!atEnd_) {
        const std::int64_t position = file_.framePosition();
        if (endFrame_ && position >= *endFrame_) {
            finish(samples);
            break;
        }
        if (position >= frame) {
            break;
        }
        // Whole blocks, whatever `frame` is: a block's gain and the converter's state must not depend on how
        // the caller divides the file.
        const auto count = std::uint32_t(
            std::min<std::int64_t>(readBuffer_->frameCapacity(),
                                   endFrame_.value_or(position + readBuffer_->frameCapacity()) - position));
        audioLog().debug("Resampling {}s - {}s", Public(fixed2(double(position) / sourceRate)),
                         Public(fixed2(double(position + count) / sourceRate)));
        std::uint32_t read = 0;
        try {
            read = file_.read(*readBuffer_, count);
        } catch (const AudioFileError& error) {
            audioLog().error("Error reading audio file: {}", Public(error.description()));
            throw WhisperError::loadAudioFailed("Failed to read audio file: " + error.description());
        }
        framesRead_ += read;
        if (read > 0) {
            const AudioPCMBuffer* mono = &*readBuffer_;
            if (monoBuffer_) {
                foldToMono(*readBuffer_, channelMode_, *monoBuffer_);
                mono = &*monoBuffer_;
            }
            if (converter_) {
                convert(*mono, samples);
            } else {
                append(mono->channelData(0), mono->frameLength(), samples);
            }
        }
        if (read < count) {
            if (file_.damage()) {
                audioLog().error("The audio in {} ends early, after {} s: {}", file_.name(),
                                 Public(fixed2(double(file_.framePosition()) / sourceRate)),
                                 Public(*file_.damage()));
            }
            finish(samples); // the data ended, before the header's length if it has one
        }
    }
}

void AudioFileReader::append(const float* data, std::uint32_t frames, std::vector<float>& samples) {
    // The converter's tail may run past the length the read frames stand for; that is all there is to give.
    const std::int64_t total =
        std::llround(double(framesRead_) / file_.fileFormat().sampleRate * outputRate_);
    const std::int64_t taken = std::clamp<std::int64_t>(total - samplesOut_, 0, frames);
    samples.insert(samples.end(), data, data + taken);
    samplesOut_ += taken;
}

void AudioFileReader::convert(const AudioPCMBuffer& mono, std::vector<float>& samples) {
    auto result = converter_->convert(*converted_, mono);
    for (;;) {
        if (result.status == System::Audio::ConverterOutputStatus::error) {
            throw conversionFailed(result.error);
        }
        append(converted_->channelData(0), converted_->frameLength(), samples);
        if (result.status != System::Audio::ConverterOutputStatus::haveData) {
            return;
        }
        // The output filled up: the converter may hold more for this block.
        result = converter_->convert(*converted_, [](System::Audio::ConverterInputStatus& status) {
            status = System::Audio::ConverterInputStatus::noDataNow;
            return static_cast<const AudioPCMBuffer*>(nullptr);
        });
    }
}

void AudioFileReader::finish(std::vector<float>& samples) {
    atEnd_ = true;
    while (converter_) {
        const auto result = converter_->convert(*converted_, [](System::Audio::ConverterInputStatus& status) {
            status = System::Audio::ConverterInputStatus::endOfStream;
            return static_cast<const AudioPCMBuffer*>(nullptr);
        });
        if (result.status == System::Audio::ConverterOutputStatus::error) {
            throw conversionFailed(result.error);
        }
        append(converted_->channelData(0), converted_->frameLength(), samples);
        if (result.status == System::Audio::ConverterOutputStatus::endOfStream ||
            converted_->frameLength() == 0) {
            break;
        }
    }
}

std::optional<AudioPCMBuffer> AudioProcessor::resampleAudio(const AudioPCMBuffer& buffer, double toSampleRate,
                                                            std::uint32_t channelCount) {
    const auto outputFormat = AudioFormat::make(toSampleRate, channelCount);
    if (!outputFormat) {
        audioLog().error("Failed to create output audio format");
        return std::nullopt;
    }
    auto converter = AudioConverter::make(buffer.format(), *outputFormat);
    if (!converter) {
        audioLog().error("Failed to create audio converter");
        return std::nullopt;
    }
    try {
        return resampleBuffer(buffer, *converter);
    } catch (const WhisperError& error) {
        audioLog().error("Failed to resample buffer: {}", Public(error.description()));
        return std::nullopt;
    }
}

AudioPCMBuffer AudioProcessor::resampleBuffer(const AudioPCMBuffer& buffer, AudioConverter& converter,
                                              bool endOfInput) {
    const double exact =
        converter.outputFormat().sampleRate * double(buffer.frameLength()) / converter.inputFormat().sampleRate;
    double capacity = exact;
    if (capacity != std::trunc(capacity)) {
        capacity = std::max(1.0, std::nearbyint(capacity));
        audioLog().debug("Rounding buffer frame capacity from {} to {} to better fit new sample rate", exact,
                         capacity);
    }
    auto output = capacity <= maxFrames
                      ? AudioPCMBuffer::make(converter.outputFormat(), std::max<std::uint32_t>(1, std::uint32_t(capacity)))
                      : std::nullopt;
    if (!output) {
        throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
    }
    // The block goes to the converter once: asked again, the converter hears that the input has ended (a
    // whole signal, flushed) or has nothing more for now (a stream whose resampler keeps its state).
    bool handedOver = false;
    const auto result = converter.convert(
        *output, [&](System::Audio::ConverterInputStatus& status) -> const AudioPCMBuffer* {
            if (!handedOver && buffer.frameLength() > 0) {
                handedOver = true;
                status = System::Audio::ConverterInputStatus::haveData;
                return &buffer;
            }
            status = endOfInput ? System::Audio::ConverterInputStatus::endOfStream
                                : System::Audio::ConverterInputStatus::noDataNow;
            return nullptr;
        });
    if (result.status == System::Audio::ConverterOutputStatus::error) {
        throw WhisperError::audioProcessingFailed("Error converting audio: " + result.error);
    }
    return std::move(*output);
}

std::optional<AudioPCMBuffer> AudioProcessor::convertToMono(const AudioPCMBuffer& buffer, const ChannelMode& mode) {
    if (buffer.format().channelCount < 2) {
        return buffer;
    }
    const auto monoFormat = AudioFormat::make(buffer.format().sampleRate, 1);
    if (!monoFormat) {
        audioLog().error("Failed to create AudioFormat object.");
        return std::nullopt;
    }
    auto mono = AudioPCMBuffer::make(*monoFormat, buffer.frameCapacity());
    if (!mono) {
        audioLog().error("Failed to create mono buffer.");
        return std::nullopt;
    }
    foldToMono(buffer, mode, *mono);
    return mono;
}

std::vector<float> AudioProcessor::convertBufferToArray(AudioPCMBuffer& buffer, std::int64_t chunkSize) {
    if (chunkSize <= 0) {
        throw WhisperError::audioProcessingFailed("The copy chunk size must be greater than 0");
    }
    const std::uint32_t frames = buffer.frameLength();
    std::vector<float> samples;
    samples.reserve(frames);
    float* source = buffer.channelData(0);
    for (std::uint32_t offset = 0; offset < frames;) {
        const auto run = std::uint32_t(std::min<std::int64_t>(chunkSize, frames - offset));
        samples.insert(samples.end(), source + offset, source + offset + run);
        std::fill(source + offset, source + offset + run, 0.0f);
        offset += run;
    }
    return samples;
}

std::optional<std::vector<float>> AudioProcessor::padOrTrimAudio(const std::vector<float>& audioArray,
                                                                 std::int64_t startAt, std::int64_t length, bool) {
    if (length <= 0) {
        throw WhisperError::audioProcessingFailed("The window length must be greater than 0 (got " +
                                                  std::to_string(length) + ")");
    }
    const auto count = std::int64_t(audioArray.size());
    if (startAt < 0 || startAt >= count) {
        audioLog().error("startIndex is outside the buffer size");
        return std::nullopt;
    }
    const std::int64_t copied = std::min(length, count - startAt);
    std::vector<float> window(std::size_t(length), 0.0f);
    std::copy_n(audioArray.begin() + startAt, copied, window.begin());
    return window;
}

std::optional<std::vector<float>> AudioProcessor::padOrTrim(const std::vector<float>& audioArray,
                                                            std::int64_t startAt, std::int64_t length) {
    return padOrTrimAudio(audioArray, startAt, length);
}

WaveformImage AudioProcessor::createWaveformImage(const std::vector<float>& audio, double width, double height) {
    if (!(width >= 1 && height >= 1 && std::trunc(width) * std::trunc(height) <= double(audio.size()))) {
        throw WhisperError::audioProcessingFailed("A waveform image of " + fixed2(width) + " x " + fixed2(height) +
                                                  " pixels needs that many samples; there are " +
                                                  std::to_string(audio.size()));
    }
    WaveformImage image;
    image.width = std::int64_t(width);
    image.height = std::int64_t(height);
    image.bytesPerRow = image.width * 4;
    image.pixels.resize(std::size_t(image.width * image.height));
    std::memcpy(image.pixels.data(), audio.data(), image.pixels.size() * sizeof(float));
    return image;
}

// ---- Energy measures ----

EnergyLevels AudioProcessor::calculateEnergy(std::span<const float> samples) {
    if (samples.empty()) {
        return {};
    }
    float largest = 0;
    float smallest = std::numeric_limits<float>::infinity();
    for (float sample : samples) {
        largest = std::max(largest, std::abs(sample));
        smallest = std::min(smallest, std::abs(sample));
    }
    return {float(rootMeanSquare(samples)), largest, smallest};
}

float AudioProcessor::calculateAverageEnergy(std::span<const float> samples) {
    return float(rootMeanSquare(samples));
}

float AudioProcessor::calculateRelativeEnergy(std::span<const float> samples, std::optional<float> reference) {
    const float level = 20 * std::log10(float(rootMeanSquare(samples)));
    const float referenceLevel = reference ? 20 * std::log10(std::max(*reference, 1e-8f)) : -60.0f;
    float relative = (level - referenceLevel) / (0 - referenceLevel);
    relative = std::min(relative, 1.0f);
    if (!(relative >= 0)) {
        relative = 0; // below the reference, or not a number
    }
    return relative;
}

bool AudioProcessor::isVoiceDetected(std::span<const float> relativeEnergies, float nextBufferInSeconds,
                                     float silenceThreshold) {
    if (!std::isfinite(nextBufferInSeconds)) {
        throw std::invalid_argument("The time to look back for voice must be a finite number of seconds.");
    }
    // One relative energy stands for 0.1 s of audio.
    const float tenths = std::max(0.0f, nextBufferInSeconds / 0.1f);
    const auto count = std::int64_t(relativeEnergies.size());
    const std::int64_t wanted = tenths >= float(count) ? count : std::int64_t(tenths);
    const auto recent = relativeEnergies.last(std::size_t(wanted));
    const auto looked = std::min<std::int64_t>(std::max<std::int64_t>(wanted - 10, 10), wanted);
    return std::any_of(recent.begin(), recent.begin() + looked,
                       [&](float energy) { return energy > silenceThreshold; });
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(std::span<const float> samples,
                                                                 std::int64_t chunkCount,
                                                                 std::int64_t frameLengthSamples,
                                                                 std::int64_t frameOverlapSamples,
                                                                 float energyThreshold) {
    const auto count = std::int64_t(samples.size());
    if (chunkCount < 0 || frameOverlapSamples < 0 || (chunkCount > 0 && frameLengthSamples <= 0) ||
        (chunkCount > 0 && (chunkCount - 1) > count / std::max<std::int64_t>(frameLengthSamples, 1))) {
        throw std::invalid_argument("Voice activity chunks must start within the samples (" + std::to_string(chunkCount) +
                                    " chunks of " + std::to_string(frameLengthSamples) + " over " +
                                    std::to_string(count) + " samples).");
    }
    std::vector<float> energies(static_cast<std::size_t>(chunkCount));
    for (std::int64_t i = 0; i < chunkCount; ++i) {
        const std::int64_t start = i * frameLengthSamples;
        const std::int64_t end = std::min(count, start + std::min(count, frameLengthSamples + frameOverlapSamples));
        energies[std::size_t(i)] =
            float(rootMeanSquare(samples.subspan(std::size_t(start), std::size_t(std::max<std::int64_t>(0, end - start)))));
    }
    std::vector<bool> voiced(static_cast<std::size_t>(chunkCount));
    for (std::size_t i = 0; i < energies.size(); ++i) {
        voiced[i] = energyThreshold < energies[i];
    }
    return voiced;
}

std::vector<SampleSpan> AudioProcessor::calculateNonSilentChunks(std::span<const float> samples) {
    return EnergyVAD().calculateActiveChunks(samples);
}

} // namespace ZodozorEro
