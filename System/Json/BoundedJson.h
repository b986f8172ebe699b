#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "System/Log/ErrorDescription.h"

namespace System::Json {

// Documents from outside (stored files, server answers, downloaded definitions) are parsed through here.
// nlohmann-json parses and destroys without recursion, but copying, comparing and dumping a value recurse once
// per level, so a hostile or damaged document nested a hundred thousand levels deep would overflow the stack
// long after it was read. No real document of ours comes near this depth.
inline constexpr std::size_t kDefaultMaxDepth = 256;

class JsonError : public Log::DescribedError {
public:
    using DescribedError::DescribedError;
};

// The parsed document, or JsonError when the text is not JSON or nests deeper than `maxDepth` arrays and objects.
nlohmann::json parse(std::string_view text, std::size_t maxDepth = kDefaultMaxDepth);

// As `parse`, with no value instead of an error.
std::optional<nlohmann::json> tryParse(std::string_view text, std::size_t maxDepth = kDefaultMaxDepth);

// How deeply `value` nests arrays and objects (a scalar is 0), without recursing.
std::size_t depth(const nlohmann::json& value);

} // namespace System::Json
