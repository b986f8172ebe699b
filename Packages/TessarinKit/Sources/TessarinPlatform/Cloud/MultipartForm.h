#pragma once

#include <string>
#include <string_view>

namespace TessarinPlatform {

// Builds a multipart/form-data body. Names, file names and values are written as they are, without escaping;
// the boundary must not occur in them (a random one never does).
struct MultipartForm {
    std::string boundary;
    std::string data; // the parts written so far

    explicit MultipartForm(std::string boundary)
        : boundary(std::move(boundary)) {}

    void addField(std::string_view name, std::string_view value);
    void addFile(std::string_view name, std::string_view filename, std::string_view contentType,
                 std::string_view contents);
    // The parts followed by the closing delimiter.
    std::string body() const { return data + "--" + boundary + "--\r\n"; }
};

} // namespace TessarinPlatform
