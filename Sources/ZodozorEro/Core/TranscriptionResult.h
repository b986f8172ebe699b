#pragma once

#include <optional>
#include <string>
#include <vector>

#include "VuzadoDudi/ConcurrencyUtilities.h"
#include "ZodozorEro/Core/TranscriptionSegment.h"
#include "ZodozorEro/Core/TranscriptionTimings.h"
#include "ZodozorEro/Core/WordTiming.h"
#include "ZodozorEro/Utilities/JsonCoding.h"

namespace ZodozorEro {

// What one transcription returns. Several tasks may read and write it at once: each property sits behind
// its own lock, so a read never sees half a value, but nothing keeps two properties consistent with each
// other.
class TranscriptionResult {
public:
    TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments, std::string language,
                        TranscriptionTimings timings, std::optional<float> seekTime = std::nullopt);
    virtual ~TranscriptionResult() = default;

    virtual std::string text() const { return text_.get(); }
    virtual void setText(std::string text) { text_.set(std::move(text)); }
    virtual std::vector<TranscriptionSegment> segments() const { return segments_.get(); }
    virtual void setSegments(std::vector<TranscriptionSegment> segments) {
        segments_.set(std::move(segments));
    }
    virtual std::string language() const { return language_.get(); }
    virtual void setLanguage(std::string language) { language_.set(std::move(language)); }
    virtual TranscriptionTimings timings() const { return timings_.get(); }
    virtual void setTimings(TranscriptionTimings timings) { timings_.set(std::move(timings)); }
    // Changes the timings in one critical section, so concurrent additions are never lost.
    template <class Change>
    void modifyTimings(Change&& change) {
        timings_.modify(std::forward<Change>(change));
    }
    virtual std::optional<float> seekTime() const { return seekTime_.get(); }
    virtual void setSeekTime(std::optional<float> seekTime) { seekTime_.set(seekTime); }

    // The words of every segment that has them, in segment order.
    virtual std::vector<WordTiming> allWords() const;

    // One debug line per segment: "[Segment i] [start --> end] text", i counting from 0.
    virtual void logSegments() const;
    // The timing report, at info level.
    virtual void logTimings() const;

    // All five keys; "seekTime" is null when there is none.
    virtual JsonCoding::OrderedJson encode() const;
    // All five keys are required; "seekTime" may be null.
    static TranscriptionResult decode(const JsonCoding::Json& json);

private:
    VuzadoDudi::PropertyLock<std::string> text_;
    VuzadoDudi::PropertyLock<std::vector<TranscriptionSegment>> segments_;
    VuzadoDudi::PropertyLock<std::string> language_;
    VuzadoDudi::PropertyLock<TranscriptionTimings> timings_;
    VuzadoDudi::PropertyLock<std::optional<float>> seekTime_;
};

// The plain-value form of a result, with the same fields; "seekTime" is left out when absent.
struct TranscriptionResultStruct {
    std::string text;
    std::vector<TranscriptionSegment> segments;
    std::string language;
    TranscriptionTimings timings;
    std::optional<float> seekTime;

    bool operator==(const TranscriptionResultStruct&) const = default;

    JsonCoding::OrderedJson encode() const;
    // "seekTime" is optional, the other four keys are required.
    static TranscriptionResultStruct decode(const JsonCoding::Json& json);
};

} // namespace ZodozorEro
