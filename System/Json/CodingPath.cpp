#include "System/Json/CodingPath.h"

namespace System::Json {

std::string codingPathInside(std::string_view keyOrIndex, std::string_view innerPath) {
    std::string path(keyOrIndex);
    if (!innerPath.empty()) {
        if (innerPath.front() != '[') {
            path += '.';
        }
        path += innerPath;
    }
    return path;
}

} // namespace System::Json
