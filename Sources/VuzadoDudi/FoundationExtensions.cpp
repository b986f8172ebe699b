#include "VuzadoDudi/FoundationExtensions.h"

#include <cmath>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>

#include <fnmatch.h>
#include <pwd.h>
#include <unistd.h>

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include "VuzadoDudi/ConcurrencyUtilities.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

std::vector<std::string> matching(const std::vector<std::string>& elements, const std::string& glob) {
    std::vector<std::string> result;
    for (const auto& element : elements) {
        if (fnmatch(glob.c_str(), element.c_str(), 0) == 0) {
            result.push_back(element);
        }
    }
    return result;
}

std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto) {
    if (upto < 1) {
        return std::string(text);
    }
    auto characters = Unicode::characters(text);
    std::size_t keep = characters.size();
    for (int removed = 0; removed < upto && keep > 0; ++removed) {
        if (!Unicode::canonicallyEqual(characters[keep - 1], character)) {
            break;
        }
        --keep;
    }
    if (keep == 0) {
        return {};
    }
    const auto& last = characters[keep - 1];
    return std::string(text.substr(0, static_cast<std::size_t>(last.data() + last.size() - text.data())));
}

namespace {

bool isLineBreak(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isCharacterIn(std::string_view character, std::initializer_list<std::string_view> set) {
    for (const auto member : set) {
        if (Unicode::canonicallyEqual(character, member)) {
            return true;
        }
    }
    return false;
}

bool isSentenceEnder(std::string_view c) {
    return isCharacterIn(c, {".", "!", "?", "\u2026", "\u3002", "\uFF01", "\uFF1F"});
}
bool isClauseSeparator(std::string_view c) { return isCharacterIn(c, {",", ";", ":", "-", "\u2013"}); }
bool isClosingMark(std::string_view c) {
    return isCharacterIn(c, {"\"", "'", "\u201D", "\u2019", ")", "]", "}", "\u00BB", "\u300D"});
}
bool isWhiteCharacter(std::string_view c) { return Unicode::isWhitespace(Unicode::firstCodePoint(c)); }

std::string trimmedWhitespace(std::string_view text) {
    auto characters = Unicode::characters(text);
    std::size_t begin = 0;
    std::size_t end = characters.size();
    while (begin < end && isWhiteCharacter(characters[begin])) {
        ++begin;
    }
    while (end > begin && isWhiteCharacter(characters[end - 1])) {
        --end;
    }
    if (begin == end) {
        return {};
    }
    const char* first = characters[begin].data();
    const char* last = characters[end - 1].data() + characters[end - 1].size();
    return std::string(first, static_cast<std::size_t>(last - first));
}

// Sentence ranges of the text as byte ranges, by ICU's sentence rules.
std::vector<std::pair<std::size_t, std::size_t>> sentenceRanges(std::string_view text) {
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaker(icu::BreakIterator::createSentenceInstance(icu::Locale::getDefault(), status));
    if (U_FAILURE(status) || !breaker) {
        return ranges;
    }
    UText ut = UTEXT_INITIALIZER;
    utext_openUTF8(&ut, text.data(), static_cast<int64_t>(text.size()), &status);
    breaker->setText(&ut, status);
    if (U_SUCCESS(status)) {
        int32_t start = breaker->first();
        for (int32_t end = breaker->next(); end != icu::BreakIterator::DONE; end = breaker->next()) {
            ranges.emplace_back(static_cast<std::size_t>(start), static_cast<std::size_t>(end));
            start = end;
        }
    }
    breaker.reset();
    utext_close(&ut);
    return ranges;
}

} // namespace

std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode) {
    auto accepted = [&](std::string_view candidate) {
        return static_cast<int>(encode(trimmedWhitespace(candidate)).size()) >= minTokenCount;
    };

    const auto sentences = sentenceRanges(text);
    for (std::size_t index = sentences.size(); index-- > 0;) {
        const auto [begin, end] = sentences[index];
        if (index + 1 == sentences.size()) {
            // The last sentence counts only when it visibly ends: a line break after its content, or a
            // sentence ender as its last content character.
            const auto characters = Unicode::characters(text.substr(begin, end - begin));
            std::size_t contentEnd = characters.size();
            bool lineBreakAfterContent = false;
            while (contentEnd > 0 && (isWhiteCharacter(characters[contentEnd - 1]) || isClosingMark(characters[contentEnd - 1]))) {
                if (isLineBreak(Unicode::firstCodePoint(characters[contentEnd - 1]))) {
                    lineBreakAfterContent = true;
                }
                --contentEnd;
            }
            const bool complete =
                contentEnd > 0 && (lineBreakAfterContent || isSentenceEnder(characters[contentEnd - 1]));
            if (!complete) {
                continue;
            }
        }
        const std::string_view candidate = text.substr(0, end);
        if (accepted(candidate)) {
            return std::string(candidate);
        }
    }

    const auto characters = Unicode::characters(text);
    for (std::size_t k = characters.size(); k >= 1; --k) {
        if (isClauseSeparator(characters[k - 1]) && (k == characters.size() || isWhiteCharacter(characters[k]))) {
            const auto& separator = characters[k - 1];
            const std::string_view candidate =
                text.substr(0, static_cast<std::size_t>(separator.data() + separator.size() - text.data()));
            if (accepted(candidate)) {
                return std::string(candidate);
            }
        }
    }

    const auto space = text.rfind(' ');
    if (space != std::string_view::npos) {
        const std::string_view candidate = text.substr(0, space);
        if (accepted(candidate)) {
            return std::string(candidate);
        }
    }
    return std::nullopt;
}

float rounded(float value, int decimals) {
    const float scale = std::pow(10.0f, static_cast<float>(decimals));
    return std::round(value * scale) / scale;
}

std::string resolveAbsolutePath(std::string_view path) {
    std::string expanded(path);
    if (!expanded.empty() && expanded[0] == '~' && (expanded.size() == 1 || expanded[1] == '/')) {
        std::string home;
        if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
            home = env;
        } else if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
            home = entry->pw_dir;
        }
        if (!home.empty()) {
            expanded = home + expanded.substr(1);
        }
    }
    if (!expanded.empty() && expanded[0] == '/') {
        return expanded;
    }
    std::string current;
    if (char* cwd = getcwd(nullptr, 0)) {
        current = cwd;
        std::free(cwd);
    }
    while (!expanded.empty() && expanded.back() == '/') {
        expanded.pop_back();
    }
    if (expanded.empty()) {
        return current;
    }
    if (current.empty() || current.back() != '/') {
        current += '/';
    }
    return current + expanded;
}

namespace ProcessInfo {

namespace {

std::string readFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\0' || text.back() == '\t')) {
        text.pop_back();
    }
    std::size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) {
        ++start;
    }
    return text.substr(start);
}

std::string machineModel() {
    // Device trees name the board; PCs name the product in the DMI table.
    for (const char* path : {"/proc/device-tree/model", "/sys/firmware/devicetree/base/model",
                             "/sys/class/dmi/id/product_name"}) {
        std::string value = trimmed(readFile(path));
        if (!value.empty()) {
            return value;
        }
    }
    return {};
}

std::string cachedOnce(std::string_view name) { return stringFromSysctl(name); }

} // namespace

std::string cpuInfoField(std::string_view cpuinfo, std::string_view field) {
    std::istringstream lines{std::string(cpuinfo)};
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        if (trimmed(line.substr(0, colon)) == field) {
            return trimmed(line.substr(colon + 1));
        }
    }
    return {};
}

int physicalCoreCount(std::string_view cpuinfo) {
    std::istringstream lines{std::string(cpuinfo)};
    std::string line;
    std::set<std::pair<std::string, std::string>> cores;
    std::string physicalId;
    int processors = 0;
    while (std::getline(lines, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string key = trimmed(line.substr(0, colon));
        const std::string value = trimmed(line.substr(colon + 1));
        if (key == "processor") {
            ++processors;
            physicalId.clear();
        } else if (key == "physical id") {
            physicalId = value;
        } else if (key == "core id") {
            cores.emplace(physicalId, value);
        }
    }
    return cores.empty() ? processors : static_cast<int>(cores.size());
}

std::string stringFromSysctl(std::string_view name) {
    if (name == "hw.model") {
        return machineModel();
    }
    if (name == "machdep.cpu.thread_count") {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        return online > 0 ? std::to_string(online) : std::string();
    }
    const std::string cpuinfo = readFile("/proc/cpuinfo");
    if (name == "machdep.cpu.core_count") {
        const int count = physicalCoreCount(cpuinfo);
        return count > 0 ? std::to_string(count) : std::string();
    }
    if (name == "machdep.cpu.brand_string") {
        std::string value = cpuInfoField(cpuinfo, "model name");
        return value.empty() ? cpuInfoField(cpuinfo, "Processor") : value;
    }
    if (name == "machdep.cpu.vendor") {
        std::string value = cpuInfoField(cpuinfo, "vendor_id");
        return value.empty() ? cpuInfoField(cpuinfo, "CPU implementer") : value;
    }
    if (name == "machdep.cpu.family") {
        std::string value = cpuInfoField(cpuinfo, "cpu family");
        return value.empty() ? cpuInfoField(cpuinfo, "CPU architecture") : value;
    }
    return {};
}

const std::string& processor() {
    static const std::string value = cachedOnce("machdep.cpu.brand_string");
    return value;
}
const std::string& cores() {
    static const std::string value = cachedOnce("machdep.cpu.core_count");
    return value;
}
const std::string& threads() {
    static const std::string value = cachedOnce("machdep.cpu.thread_count");
    return value;
}
const std::string& vendor() {
    static const std::string value = cachedOnce("machdep.cpu.vendor");
    return value;
}
const std::string& family() {
    static const std::string value = cachedOnce("machdep.cpu.family");
    return value;
}
const std::string& hwModel() {
    static const std::string value = cachedOnce("hw.model");
    return value;
}

} // namespace ProcessInfo

} // namespace VuzadoDudi
