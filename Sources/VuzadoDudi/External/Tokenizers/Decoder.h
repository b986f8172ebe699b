#pragma once

// Decoders turn the token texts of decoded ids into the text pieces that are finally joined, as the "decoder"
// object of a tokenizer definition says.

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "VuzadoDudi/Config.h"
#include "VuzadoDudi/External/Tokenizers/Normalizer.h"

namespace VuzadoDudi {

class Decoder {
public:
    virtual ~Decoder() = default;
    virtual std::vector<std::string> decode(const std::vector<std::string>& tokens) const = 0;
    std::vector<std::string> operator()(const std::vector<std::string>& tokens) const { return decode(tokens); }
};

namespace DecoderFactory {
// Nothing for no configuration or no text "type"; TokenizerError (the fixed message) for an unsupported type
// or a missing required key. `addedTokens` reaches a top-level byte-level decoder, which leaves them alone.
std::unique_ptr<Decoder> fromConfig(const Config* config, const std::unordered_set<std::string>* addedTokens = nullptr);
} // namespace DecoderFactory

class DecoderSequence : public Decoder {
public:
    explicit DecoderSequence(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::vector<std::unique_ptr<Decoder>> decoders_;
};

class WordPieceDecoder : public Decoder {
public:
    explicit WordPieceDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::string cleanUp(const std::string& text) const;
    std::string prefix_;
    bool cleanup_;
    Regex re_;
};

class ByteLevelDecoder : public Decoder {
public:
    explicit ByteLevelDecoder(std::unordered_set<std::string> addedTokens)
        : addedTokens_(std::move(addedTokens)) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::unordered_set<std::string> addedTokens_;
};

class ReplaceDecoder : public Decoder {
public:
    explicit ReplaceDecoder(const Config& config)
        : pattern_(StringReplacePattern::from(config)) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::optional<StringReplacePattern> pattern_;
};

class ByteFallbackDecoder : public Decoder {
public:
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
    // The byte of a token written "<0xHH>" with two hexadecimal digits; nothing for any other token.
    static std::optional<std::uint8_t> byteOfToken(const std::string& token);
};

class FuseDecoder : public Decoder {
public:
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

class StripDecoder : public Decoder {
public:
    explicit StripDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::string content_;
    std::int64_t start_;
    std::int64_t stop_;
};

class MetaspaceDecoder : public Decoder {
public:
    explicit MetaspaceDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    bool addPrefixSpace_;
    std::string replacement_;
};

// Bytes as UTF-8 text, every ill-formed sequence replaced by U+FFFD.
std::string repairedUTF8(const std::string& bytes);

} // namespace VuzadoDudi
