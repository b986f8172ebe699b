#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace System::Net {

// Percent-encodes the UTF-8 bytes of `text`: the unreserved characters A-Z, a-z, 0-9, "-", ".", "_" and "~"
// stay, as do the characters in `alsoKeep`; every other byte becomes "%" and two uppercase hex digits.
std::string percentEncode(std::string_view text, std::string_view alsoKeep = {});

// `base` with the "/"-separated components of `path` appended to its path, one slash between the two, so a
// base address with a path of its own keeps it ("https://h/v1" and "models" give "https://h/v1/models"). The
// components are appended as they are; encode one with percentEncode first when it may hold "/", "?", "#" or
// other reserved characters. Empty components are dropped. Nothing when `base` is not an absolute URL.
std::optional<std::string> appendingPath(std::string_view base, std::string_view path);

// True for an absolute URL with a scheme and a host that parses as such.
bool isAbsoluteURL(std::string_view text);

// `reference` (a link or a redirect's Location) resolved against the absolute URL `base` as RFC 3986 says: a
// reference with a path of its own replaces the base's path and query. Nothing when either does not parse.
std::optional<std::string> resolvingReference(std::string_view base, std::string_view reference);

} // namespace System::Net
