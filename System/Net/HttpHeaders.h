#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace System::Net {

// Header fields in the order they were sent or received; names compare without regard to case.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// True when `a` and `b` name the same header: names compare without regard to case.
bool sameHeaderName(std::string_view a, std::string_view b);

// The first value of `name`, or nothing.
std::optional<std::string> headerValue(const HttpHeaders& headers, std::string_view name);

// True for an HTTP token (RFC 9110): the form of a method or a header name.
bool isHttpToken(std::string_view text);

// True when `value` holds no CR, LF or NUL, so that it cannot end a header early or smuggle in another one.
bool isSafeHeaderValue(std::string_view value);

// Throws InvalidHeaderError when `name` is no token or `value` holds CR, LF or NUL: such a value would end
// the header early or smuggle in another one.
void validateHeader(std::string_view name, std::string_view value);

} // namespace System::Net
