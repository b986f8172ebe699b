#include "VuzadoDudi/Config.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace VuzadoDudi {
void PrintTo(const Config& config, std::ostream* out) { *out << config.description(); }
} // namespace VuzadoDudi

namespace {

using VuzadoDudi::BinaryDistinctString;
using VuzadoDudi::Config;
using VuzadoDudi::ConfigError;

TEST(ConfigTest, UncamelCase) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"addedTokens", "added_tokens"},
        {"cleanUpTokenizationSpaces", "clean_up_tokenization_spaces"},
        {"Leading", "leading"},
        {"padTokenID", "pad_token_id"},
        {"URLPath", "urlpath"},
        {"with_2Digits", "with_2_digits"},
        {"already_snake", "already_snake"},
        {"\u00C9cole\u00C9t\u00E9", "\u00E9cole_\u00E9t\u00E9"},
        {"", ""},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(Config::uncamelCase(name).string(), expected) << name;
    }
}

TEST(ConfigTest, KeyLookUpTriesTheNameThenItsSnakeCase) {
    const Config onlySnake = Config::dictionary({{"added_tokens", Config::array({})}});
    const Config both = Config::dictionary({{"addedTokens", 1}, {"added_tokens", 2}});
    const Config empty = Config::dictionary({});
    const Config number = 5;

    struct Case {
        const Config* config;
        const char* key;
        Config expected;
        bool memberExists;
    };
    const std::vector<Case> cases = {
        {&onlySnake, "addedTokens", Config::array({}), true},
        {&both, "addedTokens", 1, true},
        {&both, "added_tokens", 2, true},
        {&onlySnake, "missing", Config(), true},
        {&empty, "anything", Config(), true},
        {&number, "anything", Config(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((*c.config)[c.key], c.expected) << c.config->description() << " " << c.key;
        EXPECT_EQ((*c.config)[c.key].kind(), c.expected.kind());
        const Config* member = c.config->member(c.key);
        EXPECT_EQ(member != nullptr, c.memberExists);
    }
}

TEST(ConfigTest, KeysAreTheirExactCodeUnits) {
    const Config config = Config::dictionary({{"caf\u00E9", 1}, {"cafe\u0301", 2}});
    EXPECT_EQ(config.dictionaryValue()->size(), 2u);
    EXPECT_EQ(config["caf\u00E9"].integer(), 1);
    EXPECT_EQ(config["cafe\u0301"].integer(), 2);
}

TEST(ConfigTest, DictionaryLiteralKeepsTheLaterOfEqualKeys) {
    const Config config = Config::dictionary({{"a", 1}, {"a", 2}});
    EXPECT_EQ(config.dictionaryValue()->size(), 1u);
    EXPECT_EQ(config["a"].integer(), 2);
}

TEST(ConfigTest, TypedReads) {
    struct Case {
        Config value;
        std::optional<bool> boolean;
    };
    const std::vector<Case> booleans = {
        {true, true},   {false, false},  {1, true},          {2, false},         {0, false},
        {"T", true},    {"0", false},    {"yes", std::nullopt}, {"FALSE", false}, {1.0f, std::nullopt},
        {Config(), std::nullopt},        {Config::array({}), std::nullopt},
    };
    for (const auto& c : booleans) {
        EXPECT_EQ(c.value.boolean(), c.boolean) << c.value.description();
    }

    EXPECT_EQ(Config::array({"a", 1, "b"}).get(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Config::array({}).get(), std::vector<std::string>{});
    EXPECT_FALSE(Config("a").get().has_value());

    using TokenRead = std::optional<std::pair<std::uint64_t, std::string>>;
    EXPECT_EQ(Config::array({"</s>", 2}).token(), (TokenRead{{2, "</s>"}}));
    EXPECT_EQ(Config::array({"x", 1}).token(), (TokenRead{{1, "x"}}));
    EXPECT_EQ(Config(Config::Token{7, "t"}).token(), (TokenRead{{7, "t"}}));
    EXPECT_EQ(Config::array({"x", -1}).token(), std::nullopt);
    EXPECT_EQ(Config::array({2, "x"}).token(), std::nullopt);
    EXPECT_EQ(Config::array({"x", 1, 2}).token(), std::nullopt);
    EXPECT_EQ(Config::array({"x", 1.0f}).token(), std::nullopt);
}

TEST(ConfigTest, EqualityRules) {
    struct Case {
        Config a;
        Config b;
        bool equal;
    };
    const std::vector<Case> cases = {
        {3, 3.0f, true},
        {3.0f, 3, true},
        {3, 3.5f, false},
        {1, true, true},
        {true, 1, true},
        {2, false, true},
        {0, false, true},
        {"1", true, true},
        {"t", true, true},
        {"yes", true, false},
        {"yes", false, false},
        {"1", 1, false},
        {"1.0", 1.0f, false},
        {1.0f, true, false},
        {true, Config(), false},
        {Config(), Config(), true},
        {Config(), 0, false},
        {"caf\u00E9", "cafe\u0301", false},
        {Config::array({1, 2}), Config::array({1, 2.0f}), true},
        {Config::array({1, 2}), Config::array({1}), false},
        {Config::dictionary({{"a", 1}}), Config::dictionary({{"a", 1.0f}}), true},
        {Config::dictionary({{"a", 1}}), Config::dictionary({{"b", 1}}), false},
        {Config::dictionary({{"a", 1}}), Config::dictionary({{"a", 1}, {"b", 2}}), false},
        {Config(Config::Token{1, "a"}), Config(Config::Token{1, "a"}), true},
        {Config(Config::Token{1, "a"}), Config::array({"a", 1}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
    }
}

TEST(ConfigTest, HashingFollowsTheCaseAndPayload) {
    EXPECT_EQ(Config(0.0f).hash(), Config(-0.0f).hash());
    EXPECT_EQ(Config::dictionary({{"a", 1}, {"b", 2}}).hash(), Config::dictionary({{"b", 2}, {"a", 1}}).hash());
    // Values equal across cases need not hash alike, but values of one case must.
    EXPECT_NE(Config(1).hash(), Config(true).hash());
    EXPECT_NE(Config("caf\u00E9").hash(), Config("cafe\u0301").hash());
    EXPECT_NE(Config::array({1, 2}).hash(), Config::array({2, 1}).hash());
    EXPECT_NE(Config(Config::Token{1, "a"}).hash(), Config(Config::Token{2, "a"}).hash());
}

TEST(ConfigTest, Description) {
    const std::vector<std::pair<Config, std::string>> cases = {
        {"text", "\"text\""},
        {42, "42"},
        {true, "true"},
        {1.5f, "1.5"},
        {3.0f, "3.0"},
        {0.1f, "0.1"},
        {Config::array({1, 2}), "[[1, 2]]"},
        {Config::dictionary({{"b", "x"}, {"a", 1}}), "{[a: 1, b: \"x\"]}"},
        {Config::dictionary({}), "{[:]}"},
        {Config(Config::Token{5, "hi"}), "(5, hi)"},
        {Config(), "null"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(value.description(), text);
    }
}

TEST(ConfigTest, DecodingTakesTheFirstReadingThatFits) {
    struct Case {
        const char* json;
        Config::Kind kind;
    };
    const std::vector<Case> cases = {
        {"null", Config::Kind::null},
        {"5", Config::Kind::integer},
        {"1.5", Config::Kind::floating},
        {"true", Config::Kind::boolean},
        {"\"x\"", Config::Kind::string},
        {"[5, \"a\"]", Config::Kind::token},
        {"[5, \"a\", 1]", Config::Kind::array},
        {"[-5, \"a\"]", Config::Kind::array},
        {"[\"a\", 5]", Config::Kind::array},
        {"{}", Config::Kind::dictionary},
        {"1e300", Config::Kind::null},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Config::decode(nlohmann::json::parse(c.json)).kind(), c.kind) << c.json;
    }
    const Config token = Config::decode(nlohmann::json::parse("[5, \"a\"]"));
    EXPECT_EQ(token.token(), (std::optional<std::pair<std::uint64_t, std::string>>{{5, "a"}}));
}

TEST(ConfigTest, EncodingWritesEachCaseAsItsJsonForm) {
    const Config config = Config::dictionary({
        {"s", "x"},
        {"i", 3},
        {"b", true},
        {"f", 0.1f},
        {"n", Config()},
        {"a", Config::array({"y", 1})},
        {"t", Config(Config::Token{9, "tok"})},
    });
    EXPECT_EQ(config.encode().dump(), R"({"a":["y",1],"b":true,"f":0.1,"i":3,"n":null,"s":"x","t":[9,"tok"]})");
    EXPECT_EQ(Config(3.0f).encode().dump(), "3.0");
    EXPECT_THROW(Config(std::numeric_limits<float>::infinity()).encode(), ConfigError);
    // Decoding what was encoded gives the value back (a [number, text] pair would come back as a token).
    EXPECT_EQ(Config::decode(config.encode()), config);
}

TEST(ConfigTest, ParsingKeepsNumbersBooleansAndTextApart) {
    const Config config = Config::parseJSON(R"({"i": 1, "f": 1.0, "b": true, "s": "1", "n": null, "big": 1e20})");
    EXPECT_EQ(config["i"].kind(), Config::Kind::integer);
    EXPECT_EQ(config["f"].kind(), Config::Kind::floating);
    EXPECT_EQ(config["b"].kind(), Config::Kind::boolean);
    EXPECT_EQ(config["s"].kind(), Config::Kind::string);
    EXPECT_EQ(config["n"].kind(), Config::Kind::null);
    EXPECT_EQ(config["big"].floating(), 1e20f);
    // A pair that decoding reads as a token stays an array when converting a document.
    EXPECT_EQ(Config::parseJSON(R"([5, "a"])").kind(), Config::Kind::array);
}

TEST(ConfigTest, ParsingKeepsAByteOrderMarkAfterAQuote) {
    const std::string bytes = "{\"\xEF\xBB\xBFkey\": \"\xEF\xBB\xBFvalue\"}";
    const Config config = Config::parseJSON(bytes);
    ASSERT_EQ(config.dictionaryValue()->size(), 1u);
    const auto& [key, value] = *config.dictionaryValue()->begin();
    EXPECT_EQ(key.value(), u"\uFEFFkey");
    EXPECT_EQ(value.binaryString()->value(), u"\uFEFFvalue");
}

TEST(ConfigTest, ParsingRefusesWhatNoConfigurationCanHold) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"a": "\ud800"})", "unpaired surrogate"},
        {R"({"a": "\udc00x"})", "unpaired surrogate"},
        {R"({"a": 1e39})", "range of a configuration float"},
        {R"({"a": 18446744073709551615})", "too large"},
        {R"({"a": )", "not valid JSON"},
        {std::string(300, '[') + std::string(300, ']'), "nests more than"},
    };
    for (const auto& [text, message] : cases) {
        try {
            Config::parseJSON(text);
            ADD_FAILURE() << text << " was accepted";
        } catch (const ConfigError& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    }
    // A properly paired escape is one character.
    EXPECT_EQ(Config::parseJSON(R"(["\ud83d\ude00"])").arrayValue()->front().string(), "\U0001F600");
}

TEST(ConfigTest, DuplicatingBOMsAfterQuotes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\x22\xEF\xBB\xBF\x61\x22", "\x22\xEF\xBB\xBF\xEF\xBB\xBF\x61\x22"},
        {"\xEF\xBB\xBF{}", "\xEF\xBB\xBF{}"},
        {"\x22\xEF\xBB", "\x22\xEF\xBB"},
        {"\x22\xEF\xBB\xBF", "\x22\xEF\xBB\xBF\xEF\xBB\xBF"},
        {"a\xEF\xBB\xBF", "a\xEF\xBB\xBF"},
        {"", ""},
    };
    for (const auto& [input, output] : cases) {
        EXPECT_EQ(VuzadoDudi::duplicatingBOMsAfterQuotes(input), output);
    }
}

} // namespace
