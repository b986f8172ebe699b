#pragma once

#include <any>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "ZodozorEro/Core/TranscriptionResult.h"

namespace ZodozorEro {

// Saves a result as one file in a fixed folder. Each write replaces the whole file at once: a reader sees the
// old file or the new one, and a failed write leaves the old one as it was.
class ResultWriting {
public:
    // The written file's absolute "file://" address, or why nothing was written.
    using Outcome = std::variant<std::string, std::exception_ptr>;
    // Accepted for hosts that pass writer settings; no writer reads them.
    using Options = std::map<std::string, std::any>;

    virtual ~ResultWriting() = default;

    virtual const std::string& outputDir() const = 0;
    // Writes `result` to outputDir/`file` + the writer's extension (always appended, even when `file` already
    // ends with one). Never throws.
    virtual Outcome write(const TranscriptionResult& result, const std::string& file,
                          const std::optional<Options>& options = std::nullopt) = 0;

    // "HH:MM:SS<marker>mmm", or "MM:SS<marker>mmm" below one hour unless hours are asked for. The time is
    // rounded to the millisecond first; a negative or non-finite time prints as zero. The marker is taken
    // literally.
    virtual std::string formatTime(float seconds, bool alwaysIncludeHours,
                                   std::string_view decimalMarker) const;

    // One SubRip entry: the number, "start --> end" with hours and a comma, the text, a blank line.
    std::string formatSegment(int index, float start, float end, const std::string& text) const;
    // One WebVTT cue: "start --> end" with a full stop, the text, a blank line.
    std::string formatTiming(float start, float end, const std::string& text) const;
};

// The folder a writer writes into, shared by the three formats.
class FolderResultWriter : public ResultWriting {
public:
    explicit FolderResultWriter(std::string outputDir)
        : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }

private:
    std::string outputDir_;
};

// The whole result in its coded form, pretty-printed, as name.json.
class WriteJSON : public FolderResultWriter {
public:
    using FolderResultWriter::FolderResultWriter;
    Outcome write(const TranscriptionResult& result, const std::string& file,
                  const std::optional<Options>& options = std::nullopt) override;
};

// SubRip subtitles as name.srt: one numbered entry per word where a segment has words, else per segment.
class WriteSRT : public FolderResultWriter {
public:
    using FolderResultWriter::FolderResultWriter;
    Outcome write(const TranscriptionResult& result, const std::string& file,
                  const std::optional<Options>& options = std::nullopt) override;
};

// WebVTT subtitles as name.vtt: one cue per word where a segment has words, else per segment.
class WriteVTT : public FolderResultWriter {
public:
    using FolderResultWriter::FolderResultWriter;
    Outcome write(const TranscriptionResult& result, const std::string& file,
                  const std::optional<Options>& options = std::nullopt) override;
};

} // namespace ZodozorEro
