#pragma once

#include "System/Audio/AudioFormat.h"
#include "System/Audio/AudioPCMBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace System::Audio {

// What the input block says about the buffer it returns.
enum class ConverterInputStatus {
    haveData = 0,    // the returned buffer holds input
    noDataNow = 1,   // nothing now; more may come on a later conversion
    endOfStream = 2, // nothing now or ever: flush what the resampler still holds
};

enum class ConverterOutputStatus {
    haveData = 0,    // the output buffer was filled to its capacity
    inputRanDry = 1, // the input block had nothing more for now; the output holds what could be made
    endOfStream = 2, // the input ended and everything has been flushed out
    error = 3,       // nothing usable was produced; ConversionResult::error says why
};

struct ConversionResult {
    ConverterOutputStatus status = ConverterOutputStatus::haveData;
    std::string error;
};

// Called by convert() whenever it wants more input. The returned buffer must stay valid until the next
// call of the block or the end of the conversion; return nullptr together with noDataNow or endOfStream.
using ConverterInputBlock = std::function<const AudioPCMBuffer*(ConverterInputStatus& status)>;

// A streaming sample-rate and channel converter. It keeps its resampler state from one convert() to the
// next, so a signal fed to it in blocks comes out as if it had been converted in one piece.
class AudioConverter {
public:
    // Frames an output buffer needs to take `inputFrames` frames at `inputRate` converted to `outputRate`:
    // ceiling(rate ratio x frames) plus 16 of slack. Nothing when that does not fit a 32-bit frame count.
    static std::optional<std::uint32_t> outputCapacity(double outputRate, double inputRate,
                                                       std::uint32_t inputFrames);

    // Nothing when the formats are invalid or the channel layout can't be mapped: the output must have
    // either the input's channel count or a single channel.
    static std::unique_ptr<AudioConverter> make(AudioFormat from, AudioFormat to);
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    const AudioFormat& inputFormat() const { return from_; }
    const AudioFormat& outputFormat() const { return to_; }

    // With downmix on, a multi-channel input going to one channel is mixed down (the mean of its
    // channels); with it off, only the first channel is kept.
    void setDownmix(bool downmix) { downmix_ = downmix; }
    bool downmix() const { return downmix_; }

    // Fills `output` (which must be in the output format) starting at frame 0 and sets its frame length.
    ConversionResult convert(AudioPCMBuffer& output, const ConverterInputBlock& input);
    // Converts one block of a stream: hands `input` over once, then reports no data for now, so the
    // resampler keeps its state (and any output that did not fit) for the next block.
    ConversionResult convert(AudioPCMBuffer& output, const AudioPCMBuffer& input);

private:
    struct Resampler;
    AudioConverter(AudioFormat from, AudioFormat to, std::unique_ptr<Resampler> resampler);

    // Feeds `input` (null: none, only drain) and appends what comes out at `produced`; at the end of input
    // the resampler flushes its tail.
    bool process(const AudioPCMBuffer* input, bool endOfInput, AudioPCMBuffer& output,
                 std::uint32_t& produced, std::string& error);

    AudioFormat from_;
    AudioFormat to_;
    bool downmix_ = false;
    std::unique_ptr<Resampler> resampler_;
    std::vector<float> mixed_; // the downmixed input block, kept to avoid an allocation per block
    std::vector<const float*> inputPlanes_;
    std::vector<float*> outputPlanes_;
};

} // namespace System::Audio
