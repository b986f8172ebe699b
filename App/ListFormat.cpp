#include "App/ListFormat.h"

#include "TessarinCore/Domain/Unicode.h"

#include <unicode/listformatter.h>

#include <memory>

namespace Parlindo {

std::string orList(const std::vector<std::string>& items) {
    std::vector<icu::UnicodeString> parts;
    for (const auto& item : items) {
        parts.push_back(TessarinCore::Unicode::fromUtf8(item));
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::ListFormatter> formatter(icu::ListFormatter::createInstance(
        icu::Locale::getDefault(), ULISTFMT_TYPE_OR, ULISTFMT_WIDTH_WIDE, status));
    icu::UnicodeString joined;
    if (formatter && U_SUCCESS(status)) {
        formatter->format(parts.data(), static_cast<int32_t>(parts.size()), joined, status);
    }
    if (!formatter || U_FAILURE(status)) {
        // Without locale data the plain English form still reads well.
        std::string text;
        for (std::size_t i = 0; i < items.size(); ++i) {
            text += (i == 0                  ? ""
                     : i + 1 == items.size() ? (items.size() > 2 ? ", or " : " or ")
                                             : ", ") +
                    items[i];
        }
        return text;
    }
    return TessarinCore::Unicode::toUtf8(joined);
}

} // namespace Parlindo
