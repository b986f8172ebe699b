#include <cstddef>
#include <cstdint>
#include <string_view>

#include "System/Defaults/UserDefaults.h"
#include "TessarinCore/Domain/DictationSettings.h"

using System::Defaults::UserDefaults;

// Whatever a stored defaults file holds: it is read within the depth limit or refused, the settings in it
// decode or fail cleanly and encode to a document that decodes to the same settings, and saving the document
// writes text that reads back the same and stays within a small multiple of the file it came from.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    nlohmann::json document;
    try {
        document = UserDefaults::readDocument(text);
    } catch (const System::Defaults::DefaultsError&) {
        return 0;
    }
    if (const auto stored = document.find("dictationSettings"); stored != document.end()) {
        try {
            const auto settings = stored->get<TessarinCore::DictationSettings>();
            if (nlohmann::json(settings).get<TessarinCore::DictationSettings>() != settings) {
                __builtin_trap();
            }
        } catch (const TessarinCore::DecodingError&) {
        }
    }
    const std::string saved = UserDefaults::documentText(document);
    // A number may grow when written out ("1e15" is written in full); nothing else does.
    if (saved.size() > 5 * size + 8 || UserDefaults::readDocument(saved) != document) {
        __builtin_trap();
    }
    return 0;
}
