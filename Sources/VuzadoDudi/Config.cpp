#include "VuzadoDudi/Config.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "System/Json/BoundedJson.h"
#include "System/Log/Logger.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

namespace {

const Config& nullConfig() {
    static const Config value;
    return value;
}

struct Hasher {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    void feed(std::uint64_t word) {
        state ^= word + 0x9E3779B97F4A7C15ull + (state << 6) + (state >> 2);
        state *= 0xFF51AFD7ED558CCDull;
    }
    void feed(std::u16string_view units) {
        feed(units.size());
        for (const char16_t unit : units) {
            feed(unit);
        }
    }
};

std::optional<bool> booleanOfText(std::u16string_view units) {
    const std::u16string lower = Unicode::lowercased(units);
    if (lower == u"true" || lower == u"t" || lower == u"1") {
        return true;
    }
    if (lower == u"false" || lower == u"f" || lower == u"0") {
        return false;
    }
    return std::nullopt;
}

// The shortest text that reads back as the same float, with ".0" on integral values.
std::string floatText(float value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

} // namespace

// A dictionary of an object or an array of an array, each member read by `element`.
Config Config::containerOf(const nlohmann::json& json, Config (*element)(const nlohmann::json&)) {
    if (json.is_object()) {
        Dictionary entries;
        entries.reserve(json.size());
        for (const auto& [key, value] : json.items()) {
            entries.insert_or_assign(BinaryDistinctString(key), element(value));
        }
        return Config(std::move(entries));
    }
    Array elements;
    elements.reserve(json.size());
    for (const auto& value : json) {
        elements.push_back(element(value));
    }
    return Config(std::move(elements));
}

namespace {

bool fitsFloat(double value) {
    return std::isfinite(value) && std::fabs(value) <= static_cast<double>(std::numeric_limits<float>::max());
}

} // namespace

Config Config::dictionary(std::initializer_list<std::pair<BinaryDistinctString, Config>> pairs) {
    Dictionary entries;
    for (const auto& [key, value] : pairs) {
        entries.insert_or_assign(key, value);
    }
    return Config(std::move(entries));
}

Config Config::array(std::initializer_list<Config> elements) { return Config(Array(elements)); }

std::optional<std::string> Config::string() const {
    if (const auto* text = binaryString()) {
        return text->string();
    }
    return std::nullopt;
}

std::optional<std::int64_t> Config::integer() const {
    if (const auto* value = std::get_if<std::int64_t>(&data_)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<float> Config::floating() const {
    if (const auto* value = std::get_if<float>(&data_)) {
        return *value;
    }
    return std::nullopt;
}

const Config::Dictionary* Config::dictionaryValue() const {
    if (const auto* value = std::get_if<std::shared_ptr<const Dictionary>>(&data_)) {
        return value->get();
    }
    return nullptr;
}

const Config::Array* Config::arrayValue() const {
    if (const auto* value = std::get_if<std::shared_ptr<const Array>>(&data_)) {
        return value->get();
    }
    return nullptr;
}

std::optional<bool> Config::boolean() const {
    if (const auto* value = std::get_if<bool>(&data_)) {
        return *value;
    }
    if (const auto* value = std::get_if<std::int64_t>(&data_)) {
        return *value == 1;
    }
    if (const auto* text = binaryString()) {
        return booleanOfText(text->value());
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> Config::get() const {
    const Array* elements = arrayValue();
    if (elements == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> texts;
    for (const Config& element : *elements) {
        if (auto text = element.string()) {
            texts.push_back(std::move(*text));
        }
    }
    return texts;
}

std::optional<std::pair<std::uint64_t, std::string>> Config::token() const {
    if (const auto* value = std::get_if<Token>(&data_)) {
        return std::make_pair(value->id, value->text.string());
    }
    const Array* elements = arrayValue();
    if (elements == nullptr || elements->size() != 2) {
        return std::nullopt;
    }
    auto text = (*elements)[0].string();
    auto id = (*elements)[1].integer();
    if (!text || !id || *id < 0) {
        return std::nullopt;
    }
    return std::make_pair(static_cast<std::uint64_t>(*id), std::move(*text));
}

const Config* Config::member(const BinaryDistinctString& key) const {
    const Dictionary* entries = dictionaryValue();
    if (entries == nullptr) {
        return nullptr;
    }
    if (auto found = entries->find(key); found != entries->end()) {
        return &found->second;
    }
    if (auto found = entries->find(uncamelCase(key)); found != entries->end()) {
        return &found->second;
    }
    return &nullConfig();
}

const Config& Config::operator[](const BinaryDistinctString& key) const {
    const Config* found = member(key);
    return found != nullptr ? *found : nullConfig();
}

BinaryDistinctString Config::uncamelCase(const BinaryDistinctString& key) {
    const std::u32string scalars = Unicode::codePoints(key.string());
    std::string out;
    bool previousWasNotUppercase = false;
    for (const char32_t c : scalars) {
        if (Unicode::isUppercaseLetter(c)) {
            if (previousWasNotUppercase) {
                out += '_';
            }
            std::string one;
            Unicode::appendUTF8(one, c);
            out += Unicode::lowercased(one);
            previousWasNotUppercase = false;
        } else {
            Unicode::appendUTF8(out, c);
            previousWasNotUppercase = true;
        }
    }
    return BinaryDistinctString(out);
}

bool operator==(const Config& a, const Config& b) {
    using Kind = Config::Kind;
    const Kind left = a.kind();
    const Kind right = b.kind();
    if (left == Kind::boolean || right == Kind::boolean) {
        const auto readLeft = a.boolean();
        const auto readRight = b.boolean();
        // Only strings and integers have a boolean reading besides booleans themselves.
        auto readable = [](Kind kind) { return kind == Kind::boolean || kind == Kind::string || kind == Kind::integer; };
        return readable(left) && readable(right) && readLeft && readRight && *readLeft == *readRight;
    }
    switch (left) {
    case Kind::string:
        return right == Kind::string && *a.binaryString() == *b.binaryString();
    case Kind::integer:
        if (right == Kind::integer) {
            return *a.integer() == *b.integer();
        }
        return right == Kind::floating && static_cast<float>(*a.integer()) == *b.floating();
    case Kind::floating:
        if (right == Kind::floating) {
            return *a.floating() == *b.floating();
        }
        return right == Kind::integer && static_cast<float>(*b.integer()) == *a.floating();
    case Kind::dictionary: {
        if (right != Kind::dictionary) {
            return false;
        }
        const auto& x = *a.dictionaryValue();
        const auto& y = *b.dictionaryValue();
        if (x.size() != y.size()) {
            return false;
        }
        for (const auto& [key, value] : x) {
            auto found = y.find(key);
            if (found == y.end() || !(value == found->second)) {
                return false;
            }
        }
        return true;
    }
    case Kind::array: {
        if (right != Kind::array) {
            return false;
        }
        const auto& x = *a.arrayValue();
        const auto& y = *b.arrayValue();
        return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
    }
    case Kind::token:
        return right == Kind::token && std::get<Config::Token>(a.data_) == std::get<Config::Token>(b.data_);
    case Kind::null:
        return right == Kind::null;
    case Kind::boolean:
        break;
    }
    return false;
}

std::size_t Config::hash() const {
    Hasher hasher;
    switch (kind()) {
    case Kind::string:
        hasher.feed(1);
        hasher.feed(binaryString()->value());
        break;
    case Kind::integer:
        hasher.feed(2);
        hasher.feed(static_cast<std::uint64_t>(*integer()));
        break;
    case Kind::boolean:
        hasher.feed(3);
        hasher.feed(std::get<bool>(data_) ? 1 : 0);
        break;
    case Kind::floating: {
        hasher.feed(4);
        const float value = *floating();
        hasher.feed(value == 0.0f ? 0u : std::bit_cast<std::uint32_t>(value));
        break;
    }
    case Kind::dictionary: {
        hasher.feed(5);
        std::uint64_t sum = 0;
        for (const auto& [key, value] : *dictionaryValue()) {
            Hasher entry;
            entry.feed(key.hash());
            entry.feed(value.hash());
            sum += entry.state;
        }
        hasher.feed(sum);
        break;
    }
    case Kind::array:
        hasher.feed(6);
        for (const Config& element : *arrayValue()) {
            hasher.feed(element.hash());
        }
        break;
    case Kind::token: {
        const auto& value = std::get<Token>(data_);
        hasher.feed(7);
        hasher.feed(value.id);
        hasher.feed(value.text.value());
        break;
    }
    case Kind::null:
        hasher.feed(0);
        break;
    }
    return static_cast<std::size_t>(hasher.state);
}

std::string Config::description() const {
    switch (kind()) {
    case Kind::string:
        return "\"" + binaryString()->string() + "\"";
    case Kind::integer:
        return std::to_string(*integer());
    case Kind::boolean:
        return std::get<bool>(data_) ? "true" : "false";
    case Kind::floating:
        return floatText(*floating());
    case Kind::dictionary: {
        const Dictionary& entries = *dictionaryValue();
        if (entries.empty()) {
            return "{[:]}";
        }
        // Sorted by code units, so the same value always reads the same.
        std::vector<const Dictionary::value_type*> sorted;
        for (const auto& entry : entries) {
            sorted.push_back(&entry);
        }
        std::sort(sorted.begin(), sorted.end(), [](auto* x, auto* y) { return x->first < y->first; });
        std::string out = "{[";
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            out += (i == 0 ? "" : ", ") + sorted[i]->first.string() + ": " + sorted[i]->second.description();
        }
        return out + "]}";
    }
    case Kind::array: {
        std::string out = "[[";
        const Array& elements = *arrayValue();
        for (std::size_t i = 0; i < elements.size(); ++i) {
            out += (i == 0 ? "" : ", ") + elements[i].description();
        }
        return out + "]]";
    }
    case Kind::token: {
        const auto& value = std::get<Token>(data_);
        return "(" + std::to_string(value.id) + ", " + value.text.string() + ")";
    }
    case Kind::null:
        return "null";
    }
    return "null";
}

nlohmann::json Config::encode() const {
    switch (kind()) {
    case Kind::string:
        return binaryString()->string();
    case Kind::integer:
        return *integer();
    case Kind::boolean:
        return std::get<bool>(data_);
    case Kind::floating: {
        const float value = *floating();
        if (!std::isfinite(value)) {
            throw ConfigError("The number " + floatText(value) + " cannot be written as JSON.");
        }
        // Through the float's shortest text, so 0.1 is written as 0.1 and not as its double widening.
        const std::string text = floatText(value);
        return std::strtod(text.c_str(), nullptr);
    }
    case Kind::dictionary: {
        nlohmann::json object = nlohmann::json::object();
        for (const auto& [key, value] : *dictionaryValue()) {
            object[key.string()] = value.encode();
        }
        return object;
    }
    case Kind::array: {
        nlohmann::json list = nlohmann::json::array();
        for (const Config& element : *arrayValue()) {
            list.push_back(element.encode());
        }
        return list;
    }
    case Kind::token: {
        const auto& value = std::get<Token>(data_);
        return nlohmann::json::array({value.id, value.text.string()});
    }
    case Kind::null:
        return nullptr;
    }
    return nullptr;
}

Config Config::decode(const nlohmann::json& json) {
    using Type = nlohmann::json::value_t;
    switch (json.type()) {
    case Type::null:
        return Config();
    case Type::number_integer:
        return Config(json.get<std::int64_t>());
    case Type::number_unsigned: {
        const auto value = json.get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return Config(static_cast<std::int64_t>(value));
        }
        return Config(static_cast<float>(value));
    }
    case Type::number_float: {
        const double value = json.get<double>();
        // A number no float can hold fits none of the single-value cases, nor any container.
        return fitsFloat(value) ? Config(static_cast<float>(value)) : Config();
    }
    case Type::boolean:
        return Config(json.get<bool>());
    case Type::string:
        return Config(BinaryDistinctString(json.get_ref<const std::string&>()));
    case Type::array: {
        if (json.size() == 2 && json[1].is_string() &&
            (json[0].is_number_unsigned() || (json[0].is_number_integer() && json[0].get<std::int64_t>() >= 0))) {
            return Config(Token{json[0].get<std::uint64_t>(), BinaryDistinctString(json[1].get_ref<const std::string&>())});
        }
        return containerOf(json, decode);
    }
    case Type::object:
        return containerOf(json, decode);
    case Type::binary:
    case Type::discarded:
        return Config();
    }
    return Config();
}

Config Config::convertToBinaryDistinctKeys(const nlohmann::json& json) {
    using Type = nlohmann::json::value_t;
    switch (json.type()) {
    case Type::object:
    case Type::array:
        return containerOf(json, convertToBinaryDistinctKeys);
    case Type::string:
        return Config(BinaryDistinctString(json.get_ref<const std::string&>()));
    case Type::number_integer:
        return Config(json.get<std::int64_t>());
    case Type::number_unsigned: {
        const auto value = json.get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return Config(static_cast<std::int64_t>(value));
        }
        throw ConfigError("The number " + std::to_string(value) + " is too large for a configuration integer.");
    }
    case Type::number_float: {
        const double value = json.get<double>();
        if (!fitsFloat(value)) {
            throw ConfigError("The number " + json.dump() + " is outside the range of a configuration float.");
        }
        return Config(static_cast<float>(value));
    }
    case Type::boolean:
        return Config(json.get<bool>());
    case Type::null:
        return Config();
    case Type::binary:
    case Type::discarded:
        break;
    }
    System::Log::fatalError("unknown type: nlohmann::json " + std::string(json.type_name()));
}

Config Config::parseJSON(std::string_view bytes, std::size_t maxDepth) {
    nlohmann::json document;
    try {
        document = System::Json::parse(bytes, maxDepth);
    } catch (const System::Json::JsonError& error) {
        const std::string message = error.description();
        if (message.find("surrogate") != std::string::npos) {
            throw ConfigError("The configuration holds a \\u escape of an unpaired surrogate, which is no "
                              "character: " + message);
        }
        throw ConfigError(message);
    }
    return convertToBinaryDistinctKeys(document);
}

std::string duplicatingBOMsAfterQuotes(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 1000);
    std::size_t i = 0;
    while (i < bytes.size()) {
        out.push_back(bytes[i]);
        if (bytes[i] == '"' && i + 3 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) == 0xEF &&
            static_cast<unsigned char>(bytes[i + 2]) == 0xBB && static_cast<unsigned char>(bytes[i + 3]) == 0xBF) {
            out += "\xEF\xBB\xBF\xEF\xBB\xBF";
            i += 4;
        } else {
            ++i;
        }
    }
    return out;
}

} // namespace VuzadoDudi
