#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "System/Concurrency/Task.h"
#include "ZodozorEro/Core/Audio/AudioProcessing.h"
#include "ZodozorEro/Core/AudioEncoder.h"
#include "ZodozorEro/Core/DecodingOptions.h"
#include "ZodozorEro/Core/DecodingResult.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Core/FloatType.h"
#include "ZodozorEro/Core/Text/SegmentSeeking.h"
#include "ZodozorEro/Core/TextDecoding.h"
#include "ZodozorEro/Core/TranscriptionProgressCounter.h"
#include "ZodozorEro/Core/TranscriptionResult.h"
#include "ZodozorEro/Core/TranscriptionTimings.h"
#include "ZodozorEro/Core/WhisperTokenizer.h"

namespace ZodozorEro {

// One transcription of an array of 16 kHz mono samples: the audio walked in windows of at most 30 s, each
// through the mel stage, the encoder, the decoder (again at higher temperatures while its text is
// unreliable), the segment seeker and, when asked, word timing. Driven by one caller at a time; the stages
// are shared with whoever built the task. A subclass may override the window hooks and the finalisation.
class TranscribeTask {
public:
    using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;

    // A missing progress counter or audio processor is made new.
    TranscribeTask(TranscriptionTimings currentTimings,
                   std::shared_ptr<TranscriptionProgressCounter> progress,
                   std::shared_ptr<AudioProcessing> audioProcessor,
                   std::shared_ptr<AudioEncoding> audioEncoder,
                   std::shared_ptr<FeatureExtracting> featureExtractor,
                   std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
                   std::shared_ptr<const WhisperTokenizer> tokenizer);
    virtual ~TranscribeTask() = default;

    const std::shared_ptr<const WhisperTokenizer>& tokenizer() const { return tokenizer_; }
    const TranscriptionTimings& timings() const { return timings_; }
    const std::shared_ptr<TranscriptionProgressCounter>& progress() const { return progress_; }

    // Told the segments of each window that yields a segment list.
    SegmentDiscoveryCallback segmentDiscoveryCallback;

    // Transcribes `audioArray`. Without options the defaults of a transcription apply. `callback` sees the
    // decoding of every window (and every attempt of it); its false ends that attempt early. Throws
    // WhisperError for a stage without output or options that would never finish, CancellationError when the
    // task is cancelled, and whatever the stages throw. Timings and progress add up across runs.
    virtual System::Concurrency::Task<TranscriptionResult>
    run(std::vector<float> audioArray, std::optional<DecodingOptions> decodeOptions,
        TranscriptionProgressCallback callback = nullptr);

    // Called with each padded window before its features are computed; does nothing by default.
    virtual System::Concurrency::Task<void> windowPreprocess(AudioProcessorOutputType audio,
                                                             std::int64_t seek, std::int64_t segmentSize);
    // The window's segments as they are reported and collected; unchanged by default.
    virtual System::Concurrency::Task<std::vector<TranscriptionSegment>>
    windowPostProcess(std::int64_t seek, std::int64_t segmentSize,
                      std::vector<TranscriptionSegment> originalSegments);

    // The text of the ordinary tokens, trimmed of space separators and tabs; "en" when no language was found.
    virtual TranscriptionResult finalizeTranscriptionResult(const std::vector<int>& tokens,
                                                            std::vector<TranscriptionSegment> segments,
                                                            const std::optional<std::string>& language,
                                                            const TranscriptionTimings& timings) const;

    // temperature + i × increment for i in 0 ... fallbackCount, in half precision. WhisperError
    // (decodingFailed) for a negative count.
    static std::vector<FloatType> temperatureSchedule(float temperature, float increment, int fallbackCount);

private:
    System::Concurrency::Task<DecodingResult>
    decodeWithFallback(AudioEncoderOutputType encoderSegment, const DecodingOptions& decodingOptions,
                       std::shared_ptr<DecodingInputsType>& decoderInputs,
                       std::optional<std::string>& detectedLanguage,
                       const TranscriptionProgressCallback& callback);

    TranscriptionTimings timings_;
    std::shared_ptr<TranscriptionProgressCounter> progress_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<const WhisperTokenizer> tokenizer_;
};

} // namespace ZodozorEro
