#include "System/Net/HttpRequest.h"

#include <algorithm>

namespace System::Net {

void HttpRequest::setHeader(std::string_view name, std::string value) {
    validateHeader(name, value);
    const HttpHeaders single{{std::string(name), {}}};
    std::erase_if(headers, [&](const auto& header) { return headerValue(single, header.first).has_value(); });
    headers.emplace_back(std::string(name), std::move(value));
}

} // namespace System::Net
