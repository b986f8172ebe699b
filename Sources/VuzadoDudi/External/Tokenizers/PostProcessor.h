#pragma once

// Post-processors put a model's special tokens around the tokens of one sequence or a pair, as the
// "post_processor" object of a tokenizer definition says.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VuzadoDudi/Config.h"

namespace VuzadoDudi {

class PostProcessor {
public:
    virtual ~PostProcessor() = default;
    virtual std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                                 const std::optional<std::vector<std::string>>& tokensPair,
                                                 bool addSpecialTokens) const = 0;
    std::vector<std::string>
    operator()(const std::vector<std::string>& tokens,
               const std::optional<std::vector<std::string>>& tokensPair = std::nullopt,
               bool addSpecialTokens = true) const {
        return postProcess(tokens, tokensPair, addSpecialTokens);
    }

    // The tokens put before and after the tokens of one sequence, when the processor keeps that sequence
    // whole, unchanged and once; nothing otherwise. Lets a caller put its ids in place without a token list.
    struct Surrounding {
        std::vector<std::string> before;
        std::vector<std::string> after;
    };
    virtual std::optional<Surrounding> surrounding(bool addSpecialTokens) const;
};

namespace PostProcessorFactory {
// Nothing for no configuration or no text "type"; TokenizerError (the fixed message) for an unsupported type
// or a missing required key.
std::unique_ptr<PostProcessor> fromConfig(const Config* config);
} // namespace PostProcessorFactory

class TemplateProcessing : public PostProcessor {
public:
    explicit TemplateProcessing(const Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair,
                                         bool addSpecialTokens) const override;
    std::optional<Surrounding> surrounding(bool addSpecialTokens) const override;

private:
    Config::Array single_;
    Config::Array pair_;
};

class ByteLevelPostProcessor : public PostProcessor {
public:
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>&,
                                         bool) const override {
        return tokens;
    }
    std::optional<Surrounding> surrounding(bool) const override { return Surrounding{}; }
};

class RobertaProcessing : public PostProcessor {
public:
    explicit RobertaProcessing(const Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair,
                                         bool addSpecialTokens) const override;

private:
    std::string trimmed(const std::string& token) const;
    std::pair<std::uint64_t, std::string> sep_;
    std::pair<std::uint64_t, std::string> cls_;
    bool trimOffset_;
    bool addPrefixSpace_;
};

class BertProcessing : public PostProcessor {
public:
    explicit BertProcessing(const Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair,
                                         bool addSpecialTokens) const override;

private:
    std::pair<std::uint64_t, std::string> sep_;
    std::pair<std::uint64_t, std::string> cls_;
};

class SequenceProcessing : public PostProcessor {
public:
    explicit SequenceProcessing(const Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair,
                                         bool addSpecialTokens) const override;

private:
    std::vector<std::unique_ptr<PostProcessor>> processors_;
};

} // namespace VuzadoDudi
