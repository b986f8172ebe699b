#include "System/Json/BoundedJson.h"

#include <vector>

namespace System::Json {

namespace {

using Json = nlohmann::json;

// The library's own DOM builder, refusing to open a container past the depth limit.
class BoundedBuilder {
public:
    BoundedBuilder(Json& result, std::size_t maxDepth)
        : builder_(result, /*allow_exceptions=*/false), maxDepth_(maxDepth) {}

    bool null() { return builder_.null(); }
    bool boolean(bool value) { return builder_.boolean(value); }
    bool number_integer(Json::number_integer_t value) { return builder_.number_integer(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return builder_.number_unsigned(value); }
    bool number_float(Json::number_float_t value, const Json::string_t& text) {
        return builder_.number_float(value, text);
    }
    bool string(Json::string_t& value) { return builder_.string(value); }
    bool binary(Json::binary_t& value) { return builder_.binary(value); }
    bool start_object(std::size_t elements) { return open() && builder_.start_object(elements); }
    bool key(Json::string_t& value) { return builder_.key(value); }
    bool end_object() {
        --depth_;
        return builder_.end_object();
    }
    bool start_array(std::size_t elements) { return open() && builder_.start_array(elements); }
    bool end_array() {
        --depth_;
        return builder_.end_array();
    }
    bool parse_error(std::size_t position, const std::string& token, const nlohmann::detail::exception& error) {
        if (!tooDeep_) {
            message_ = error.what();
        }
        (void)position;
        (void)token;
        return false;
    }

    bool tooDeep() const { return tooDeep_; }
    const std::string& message() const { return message_; }

private:
    bool open() {
        if (++depth_ > maxDepth_) {
            tooDeep_ = true;
            return false;
        }
        return true;
    }

    nlohmann::detail::json_sax_dom_parser<Json> builder_;
    std::size_t maxDepth_;
    std::size_t depth_ = 0;
    bool tooDeep_ = false;
    std::string message_;
};

} // namespace

nlohmann::json parse(std::string_view text, std::size_t maxDepth) {
    Json result;
    BoundedBuilder builder(result, maxDepth);
    const bool ok = Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json,
                                    /*strict=*/true);
    if (builder.tooDeep()) {
        throw JsonError("The document nests more than " + std::to_string(maxDepth) +
                        " levels of arrays and objects.");
    }
    if (!ok) {
        throw JsonError("The document is not valid JSON: " +
                        (builder.message().empty() ? std::string("unexpected end") : builder.message()));
    }
    return result;
}

std::optional<nlohmann::json> tryParse(std::string_view text, std::size_t maxDepth) {
    try {
        return parse(text, maxDepth);
    } catch (const JsonError&) {
        return std::nullopt;
    }
}

std::size_t depth(const nlohmann::json& value) {
    std::size_t deepest = 0;
    std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 0}};
    while (!pending.empty()) {
        auto [node, level] = pending.back();
        pending.pop_back();
        if (!node->is_structured()) {
            continue;
        }
        deepest = std::max(deepest, level + 1);
        for (const auto& child : *node) {
            pending.emplace_back(&child, level + 1);
        }
    }
    return deepest;
}

} // namespace System::Json
