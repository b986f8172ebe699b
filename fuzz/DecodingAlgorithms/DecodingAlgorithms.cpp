// Token sequences, logits and alignments from arbitrary bytes through the decoding algorithms: the timestamp
// rules, the sampler, the segment seeker and word timing. Nothing may crash or hang, the filters may only
// write minus infinity, and every window must move the seek point on.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/Text/LogitsFilter.h"
#include "ZodozorEro/Core/Text/SegmentSeeker.h"
#include "ZodozorEro/Core/Text/TokenSampler.h"
#include "ZodozorEro/Core/WhisperTokenizer.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace {

using namespace ZodozorEro;

// Text 0 ..< 10 (" a" … " j", with "," and "(" among them), control tokens 10 ..< 20, timestamps 20 ..< 60.
const SpecialTokens specialTokens{.endToken = 10,
                                  .englishToken = 12,
                                  .noSpeechToken = 16,
                                  .noTimestampsToken = 17,
                                  .specialTokenBegin = 10,
                                  .startOfPreviousToken = 15,
                                  .startOfTranscriptToken = 11,
                                  .timeTokenBegin = 20,
                                  .transcribeToken = 14,
                                  .translateToken = 13,
                                  .whitespaceToken = 2};
constexpr int vocabulary = 60;

class SmallTokenizer : public WhisperTokenizer {
public:
    std::vector<int> encode(const std::string&) const override { return {}; }
    std::string decode(const std::vector<int>& tokens) const override {
        std::string text;
        for (int token : tokens) {
            text += textOf(token);
        }
        return text;
    }
    std::optional<int> convertTokenToId(const std::string&) const override { return std::nullopt; }
    std::optional<std::string> convertIdToToken(int id) const override { return textOf(id); }
    const SpecialTokens& specialTokens() const override { return ::specialTokens; }
    const std::unordered_set<int>& allLanguageTokens() const override { return languages_; }
    WordTokens splitToWordTokens(const std::vector<int>& tokenIds) const override {
        WordTokens split;
        for (int token : tokenIds) {
            const std::string text = textOf(token);
            if (split.words.empty() || token >= 10 || text.starts_with(' ') || text == ",") {
                split.words.push_back(text);
                split.wordTokens.push_back({token});
            } else {
                split.words.back() += text;
                split.wordTokens.back().push_back(token);
            }
        }
        return split;
    }

private:
    static std::string textOf(int token) {
        static const char* const texts[] = {" a", "b", " c", ",", " (", "d", ".", " e", "?", " f"};
        return token >= 0 && token < 10 ? texts[token] : "<|x|>";
    }
    std::unordered_set<int> languages_{12};
};

struct Bytes {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t next() { return at < size ? data[at++] : 0; }
    bool more() const { return at < size; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes bytes{data, size};
    const SmallTokenizer tokenizer;

    std::vector<int> tokens;
    const std::size_t tokenCount = bytes.next() % 40;
    for (std::size_t i = 0; i < tokenCount; ++i) {
        tokens.push_back(bytes.next() % vocabulary);
    }

    // Filters and the sampler on logits from the input.
    std::vector<float> values(vocabulary);
    for (float& value : values) {
        value = static_cast<float>(static_cast<int>(bytes.next()) - 128) / 16.0f;
    }
    System::ML::MultiArray logits({1, 1, vocabulary}, System::ML::MultiArrayDataType::float16);
    for (std::size_t i = 0; i < values.size(); ++i) {
        logits.setValue(i, values[i]);
    }
    const System::ML::MultiArray before = logits.copy();
    const int sampleBegin = bytes.next() % 8;
    const TimestampRulesFilter rules(specialTokens, sampleBegin, std::nullopt, bytes.next() % 2 == 0);
    const SuppressBlankFilter blank(specialTokens, sampleBegin);
    const SuppressTokensFilter suppress({bytes.next() % vocabulary - 5, bytes.next() % 70});
    for (const LogitsFiltering* filter :
         std::initializer_list<const LogitsFiltering*>{&suppress, &blank, &rules}) {
        filter->filterLogits(logits, tokens);
    }
    for (std::size_t i = 0; i < logits.count(); ++i) {
        if (logits.value(i) != before.value(i) &&
            logits.value(i) != -std::numeric_limits<double>::infinity()) {
            std::abort();
        }
    }
    DecodingOptions options;
    options.topK = 1 + bytes.next() % 8;
    const std::uint8_t draw = bytes.next();
    GreedyTokenSampler sampler(static_cast<float>(bytes.next() % 4) * 0.4f, specialTokens.endToken, options,
                               [draw] { return static_cast<float>(draw) / 256.0f; });
    try {
        const SamplingResult result = sampler.update(tokens, logits, std::vector<float>(tokens.size(), 0));
        if (result.tokens.size() != tokens.size() + 1 || result.tokens.back() < 0 ||
            result.tokens.back() >= vocabulary ||
            std::isinf(logits.value(std::size_t(result.tokens.back())))) {
            std::abort();
        }
    } catch (const WhisperError&) {
        // Every token suppressed: refused with an error.
    }

    // Segments and the seek point.
    const SegmentSeeker seeker;
    DecodingResult decoded;
    decoded.tokens = tokens;
    for (int token : tokens) {
        decoded.tokenLogProbs.push_back({{token, -static_cast<float>(bytes.next()) / 64.0f}});
    }
    const std::int64_t currentSeek = bytes.next() * 1000;
    const SeekPointAndSegments found = seeker.findSeekPointAndSegments(
        decoded, DecodingOptions(), 0, currentSeek, 480000, 16000, specialTokens.timeTokenBegin,
        specialTokens.specialTokenBegin, tokenizer);
    if (found.seek <= currentSeek || !found.segments) {
        std::abort();
    }

    // Word timings over an alignment from the input.
    const int frames = 1 + bytes.next() % 30;
    const int rowOffset = bytes.next() % 3;
    const int rows = rowOffset + static_cast<int>(tokens.size()) + bytes.next() % 3;
    System::ML::MultiArray weights({rows, frames}, System::ML::MultiArrayDataType::float16);
    for (std::size_t i = 0; i < weights.count(); ++i) {
        weights.setValue(i, bytes.more() ? bytes.next() / 255.0 : 0.0);
    }
    const auto timed =
        seeker.addWordTimestamps(*found.segments, weights, rowOffset, tokenizer, currentSeek, 480000,
                                 Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations,
                                 0, DecodingOptions(), TranscriptionTimings());
    if (!timed || timed->size() != found.segments->size()) {
        std::abort();
    }
    return 0;
}
