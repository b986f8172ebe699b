#pragma once

#include <string>
#include <string_view>

namespace System::Json {

// The path of a decoding error one level further out: the member key or "[index]" put in front of the path
// found inside it, joined by a dot unless that path starts with an index ("a" and "b.c" give "a.b.c", "a" and
// "[2].c" give "a[2].c", "a" and "" give "a").
std::string codingPathInside(std::string_view keyOrIndex, std::string_view innerPath);

} // namespace System::Json
