#pragma once

#include <string>
#include <string_view>

#include "System/Log/Logger.h"

namespace ZodozorEro::PipelineLogging {

// The log subsystem of the pipeline's stage intervals.
inline constexpr std::string_view subsystem = "com.zodozorero.pipeline";

// A log category of one pipeline stage, with a signposter that marks the stage's intervals in it.
class Category {
public:
    explicit Category(std::string name);
    Category(const Category&) = delete;
    Category& operator=(const Category&) = delete;

    const System::Log::Logger& logger() const { return logger_; }
    const System::Log::Signposter& signposter() const { return signposter_; }

private:
    System::Log::Logger logger_;
    System::Log::Signposter signposter_;
};

// Each made once, on first use from any thread, and never destroyed, so intervals may outlive their callers.
// "ExtractAudioFeatures" marks the mel stage, "EncodeAudio" the encoder, "TranscribeAudio" a run and "Decode"
// one window's decoding.
const Category& audioEncoding();
const Category& featureExtractor();
const Category& transcribeTask();

// Opens the interval `name`.
[[nodiscard]] System::Log::Signposter::Interval beginSignpost(std::string name,
                                                              const System::Log::Signposter& signposter);
// Closes it; an interval closed before is not closed twice, and says so in the category's log.
void endSignpost(std::string_view name, System::Log::Signposter::Interval& interval,
                 const Category& category);

} // namespace ZodozorEro::PipelineLogging
