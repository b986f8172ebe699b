#include "VuzadoDudi/External/Tokenizers/Decoder.h"

#include "VuzadoDudi/External/Tokenizers/ByteEncoder.h"
#include "VuzadoDudi/External/Tokenizers/ConfigReading.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

using ConfigReading::flag;
using ConfigReading::text;

std::string repairedUTF8(const std::string& bytes) {
    if (Unicode::isValidUTF8(bytes)) {
        return bytes;
    }
    return Unicode::toUTF8(Unicode::toUTF16(bytes));
}

std::unique_ptr<Decoder> DecoderFactory::fromConfig(const Config* config, const std::unordered_set<std::string>* addedTokens) {
    const auto type = ConfigReading::type(config);
    if (!type) {
        return nullptr;
    }
    if (*type == "Sequence") {
        return std::make_unique<DecoderSequence>(*config);
    }
    if (*type == "WordPiece") {
        return std::make_unique<WordPieceDecoder>(*config);
    }
    if (*type == "ByteLevel") {
        return std::make_unique<ByteLevelDecoder>(addedTokens != nullptr ? *addedTokens : std::unordered_set<std::string>{});
    }
    if (*type == "Replace") {
        return std::make_unique<ReplaceDecoder>(*config);
    }
    if (*type == "ByteFallback") {
        return std::make_unique<ByteFallbackDecoder>();
    }
    if (*type == "Fuse") {
        return std::make_unique<FuseDecoder>();
    }
    if (*type == "Strip") {
        return std::make_unique<StripDecoder>(*config);
    }
    if (*type == "Metaspace") {
        return std::make_unique<MetaspaceDecoder>(*config);
    }
    throw TokenizerError::invalidDefinition("Unsupported Decoder type: " + *type);
}

DecoderSequence::DecoderSequence(const Config& config) {
    const Config::Array* elements = config["decoders"].arrayValue();
    if (elements == nullptr) {
        throw TokenizerError::invalidDefinition("No decoders in Sequence");
    }
    for (const Config& element : *elements) {
        if (auto decoder = DecoderFactory::fromConfig(&element)) {
            decoders_.push_back(std::move(decoder));
        }
    }
}

std::vector<std::string> DecoderSequence::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> result = tokens;
    for (const auto& decoder : decoders_) {
        result = decoder->decode(result);
    }
    return result;
}

WordPieceDecoder::WordPieceDecoder(const Config& config)
    : cleanup_(flag(config, "cleanup", false))
    , re_("\\s(\\.|\\?|\\!|\\,|'\\s|n't|'m|'s|'ve|'re)") {
    auto prefix = text(config, "prefix");
    if (!prefix) {
        throw TokenizerError::invalidDefinition("Missing `prefix` configuration for WordPieceDecoder.");
    }
    prefix_ = *prefix;
}

std::string WordPieceDecoder::cleanUp(const std::string& text) const {
    return replacingOccurrences(re_.replacingMatches(text, "$1"), " do not", " don't");
}

std::vector<std::string> WordPieceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> result;
    result.reserve(tokens.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        std::string token = tokens[i];
        if (i > 0) {
            if (!prefix_.empty() && token.rfind(prefix_, 0) == 0) {
                token.erase(0, prefix_.size());
            } else {
                token = " " + token;
            }
        }
        result.push_back(cleanup_ ? cleanUp(token) : token);
    }
    return result;
}

std::vector<std::string> ByteLevelDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> result;
    std::string pendingBytes;
    bool pending = false;
    auto flush = [&] {
        if (pending) {
            result.push_back(repairedUTF8(pendingBytes));
            pendingBytes.clear();
            pending = false;
        }
    };
    for (const auto& token : tokens) {
        if (addedTokens_.contains(token)) {
            flush();
            result.push_back(token);
            continue;
        }
        // A character outside the byte table stands for no byte: it decodes to U+FFFD rather than vanishing.
        for (const char32_t c : Unicode::codePoints(token)) {
            if (const auto byte = decodedByte(c)) {
                pendingBytes.push_back(static_cast<char>(*byte));
            } else {
                pendingBytes += "\xEF\xBF\xBD";
            }
        }
        pending = pending || !token.empty();
    }
    flush();
    return result;
}

std::vector<std::string> ReplaceDecoder::decode(const std::vector<std::string>& tokens) const {
    if (!pattern_) {
        return tokens;
    }
    std::vector<std::string> result;
    result.reserve(tokens.size());
    for (const auto& token : tokens) {
        result.push_back(pattern_->apply(token));
    }
    return result;
}

std::optional<std::uint8_t> ByteFallbackDecoder::byteOfToken(const std::string& token) {
    if (token.size() != 6 || token.compare(0, 3, "<0x") != 0 || token[5] != '>') {
        return std::nullopt;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    // Two hexadecimal digits and nothing else: "<0x-1>" is no byte token.
    const int high = digit(token[3]);
    const int low = digit(token[4]);
    if (high < 0 || low < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(high * 16 + low);
}

std::vector<std::string> ByteFallbackDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> result;
    std::string bytes;
    bool collecting = false;
    for (const auto& token : tokens) {
        if (const auto byte = byteOfToken(token)) {
            bytes.push_back(static_cast<char>(*byte));
            collecting = true;
            continue;
        }
        if (collecting) {
            result.push_back(repairedUTF8(bytes));
            bytes.clear();
            collecting = false;
        }
        result.push_back(token);
    }
    if (collecting) {
        result.push_back(repairedUTF8(bytes));
    }
    return result;
}

std::vector<std::string> FuseDecoder::decode(const std::vector<std::string>& tokens) const {
    std::string joined;
    for (const auto& token : tokens) {
        joined += token;
    }
    return {joined};
}

StripDecoder::StripDecoder(const Config& config) {
    auto content = text(config, "content");
    if (!content) {
        throw TokenizerError::invalidDefinition("Incorrect StripDecoder configuration: can't parse `content`.");
    }
    auto start = config["start"].integer();
    if (!start) {
        throw TokenizerError::invalidDefinition("Incorrect StripDecoder configuration: can't parse `start`.");
    }
    auto stop = config["stop"].integer();
    if (!stop) {
        throw TokenizerError::invalidDefinition("Incorrect StripDecoder configuration: can't parse `stop`.");
    }
    content_ = *content;
    start_ = *start;
    stop_ = *stop;
}

std::vector<std::string> StripDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> result;
    result.reserve(tokens.size());
    for (const auto& token : tokens) {
        const auto characters = Unicode::characters(token);
        std::size_t begin = 0;
        std::size_t end = characters.size();
        for (std::int64_t n = 0; n < start_ && begin < end && Unicode::canonicallyEqual(characters[begin], content_); ++n) {
            ++begin;
        }
        for (std::int64_t n = 0; n < stop_ && end > begin && Unicode::canonicallyEqual(characters[end - 1], content_); ++n) {
            --end;
        }
        if (begin == end) {
            result.emplace_back();
            continue;
        }
        const char* first = characters[begin].data();
        const char* last = characters[end - 1].data() + characters[end - 1].size();
        result.emplace_back(first, static_cast<std::size_t>(last - first));
    }
    return result;
}

MetaspaceDecoder::MetaspaceDecoder(const Config& config)
    : addPrefixSpace_(flag(config, "addPrefixSpace", false))
    , replacement_(text(config, "replacement").value_or("_")) {}

std::vector<std::string> MetaspaceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> result;
    result.reserve(tokens.size());
    for (const auto& token : tokens) {
        result.push_back(replacingOccurrences(token, replacement_, " "));
    }
    if (addPrefixSpace_ && !result.empty() && !result[0].empty() && result[0][0] == ' ') {
        result[0].erase(0, 1);
    }
    return result;
}

} // namespace VuzadoDudi
