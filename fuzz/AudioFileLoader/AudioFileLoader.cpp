// Arbitrary bytes as an audio file: opening and loading either give 16 kHz mono samples or a clear error.
#include "System/Audio/AudioFile.h"
#include "System/Log/Logger.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
// The loader's log lines would drown the fuzzer's own output.
class Quiet : public System::Log::Sink {
public:
    void write(const System::Log::Record&) override {}
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Quiet quiet;
    static System::Log::Sink* previous = System::Log::setSink(&quiet);
    (void)previous;
    try {
        auto file = System::Audio::AudioFile::openMemory({data, size}, "fuzz input");
        // Keep each run short: a header may claim hours of audio, or not say how long it is.
        const double seconds = file.length() ? double(*file.length()) / file.fileFormat().sampleRate : 3'600;
        const std::optional<double> end = seconds > 5 ? std::optional(5.0) : std::nullopt;
        const auto buffer = ZodozorEro::AudioProcessor::loadAudio(
            file, ZodozorEro::ChannelMode::sumChannels(), std::nullopt, end, 4'096u);
        if (buffer.format().sampleRate != 16'000 || buffer.format().channelCount != 1 ||
            buffer.frameLength() > buffer.frameCapacity()) {
            std::abort();
        }
    } catch (const System::Audio::AudioFileError&) {
    } catch (const ZodozorEro::WhisperError&) {
    }
    return 0;
}
