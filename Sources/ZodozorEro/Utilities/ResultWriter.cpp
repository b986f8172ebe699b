#include "ZodozorEro/Utilities/ResultWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "System/Paths/Files.h"

namespace ZodozorEro {

namespace {

// Bytes a URL path may hold as they are; every other byte is percent-encoded.
bool isPathCharacter(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string fileURL(const std::filesystem::path& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (const char byte : std::filesystem::absolute(path).lexically_normal().string()) {
        const auto c = static_cast<unsigned char>(byte);
        if (isPathCharacter(c)) {
            url += byte;
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 0xF];
        }
    }
    return url;
}

// Writes what `contents` makes to outputDir/file + extension, turning every failure into the outcome.
ResultWriting::Outcome writeFile(const std::string& outputDir, const std::string& file,
                                 std::string_view extension, const std::function<std::string()>& contents) {
    try {
        const std::filesystem::path target =
            std::filesystem::path(outputDir) / (file + std::string(extension));
        System::Paths::writeFileAtomically(target, contents(), 0644);
        return fileURL(target);
    } catch (...) {
        return std::current_exception();
    }
}

// Subtitle entries: a segment's words when it has any, else the segment itself.
template <class Entry>
void forEachEntry(const TranscriptionResult& result, Entry&& entry) {
    for (const TranscriptionSegment& segment : result.segments()) {
        if (segment.words && !segment.words->empty()) {
            for (const WordTiming& word : *segment.words) {
                entry(word.start, word.end, word.word);
            }
        } else {
            entry(segment.start, segment.end, segment.text);
        }
    }
}

} // namespace

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours,
                                      std::string_view decimalMarker) const {
    // Whole milliseconds first: the float nearest 0.29 lies just below it and must still print as 290 ms.
    // Far beyond any recording, the value is capped so the count stays an integer.
    const double value = std::isfinite(seconds) && seconds > 0 ? std::min<double>(seconds, 1e12) : 0;
    const long long milliseconds = std::llround(value * 1000.0);
    const long long hours = milliseconds / 3'600'000;
    const long long minutes = milliseconds / 60'000 % 60;
    const long long secs = milliseconds / 1000 % 60;
    char head[64];
    if (alwaysIncludeHours || hours >= 1) {
        std::snprintf(head, sizeof head, "%02lld:%02lld:%02lld", hours, minutes, secs);
    } else {
        std::snprintf(head, sizeof head, "%02lld:%02lld", minutes, secs);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "%03lld", milliseconds % 1000);
    return std::string(head) + std::string(decimalMarker) + tail;
}

std::string ResultWriting::formatSegment(int index, float start, float end, const std::string& text) const {
    return std::to_string(index) + "\n" + formatTime(start, true, ",") + " --> " +
           formatTime(end, true, ",") + "\n" + text + "\n\n";
}

std::string ResultWriting::formatTiming(float start, float end, const std::string& text) const {
    return formatTime(start, false, ".") + " --> " + formatTime(end, false, ".") + "\n" + text + "\n\n";
}

ResultWriting::Outcome WriteJSON::write(const TranscriptionResult& result, const std::string& file,
                                        const std::optional<Options>&) {
    return writeFile(outputDir(), file, ".json", [&] { return result.encode().dump(2); });
}

ResultWriting::Outcome WriteSRT::write(const TranscriptionResult& result, const std::string& file,
                                       const std::optional<Options>&) {
    return writeFile(outputDir(), file, ".srt", [&] {
        std::string text;
        int index = 1;
        forEachEntry(result, [&](float start, float end, const std::string& entry) {
            text += formatSegment(index++, start, end, entry);
        });
        return text;
    });
}

ResultWriting::Outcome WriteVTT::write(const TranscriptionResult& result, const std::string& file,
                                       const std::optional<Options>&) {
    return writeFile(outputDir(), file, ".vtt", [&] {
        std::string text = "WEBVTT\n\n";
        forEachEntry(result, [&](float start, float end, const std::string& entry) {
            text += formatTiming(start, end, entry);
        });
        return text;
    });
}

} // namespace ZodozorEro
