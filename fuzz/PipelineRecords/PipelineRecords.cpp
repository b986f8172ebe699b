#include <cstddef>
#include <cstdint>
#include <string_view>

#include "System/Json/BoundedJson.h"
#include "ZodozorEro/Core/DecodingOptions.h"
#include "ZodozorEro/Core/ModelSupportConfig.h"
#include "ZodozorEro/Core/TranscriptionResult.h"

namespace {

using ZodozorEro::DecodingError;

// Decodes the document as T; a decoded value writes out and reads back as itself.
template <class T, class Same>
void roundTrips(const nlohmann::json& document, Same same) {
    try {
        const T decoded = T::decode(document);
        const T again = T::decode(System::Json::parse(decoded.encode().dump()));
        if (!same(decoded, again)) {
            __builtin_trap();
        }
    } catch (const DecodingError&) {
        // A refused document is a correct answer.
    }
}

} // namespace

// Whatever the bytes, the stored records of the Whisper pipeline either decode and survive a round trip, or
// are refused with a DecodingError; nothing crashes and no value is written that cannot be read back.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto document = System::Json::tryParse(text, 32);
    if (!document) {
        return 0;
    }
    const auto equal = [](const auto& a, const auto& b) { return a == b; };
    roundTrips<ZodozorEro::DecodingOptions>(*document, equal);
    roundTrips<ZodozorEro::TranscriptionResultStruct>(*document, equal);
    roundTrips<ZodozorEro::TranscriptionResult>(*document, [](const auto& a, const auto& b) {
        return a.text() == b.text() && a.segments() == b.segments() && a.language() == b.language() &&
               a.timings() == b.timings() && a.seekTime() == b.seekTime();
    });
    roundTrips<ZodozorEro::ModelSupportConfig>(*document, [](const auto& a, const auto& b) {
        return a.deviceSupports() == b.deviceSupports() && a.knownModels() == b.knownModels();
    });
    try {
        const auto table = ZodozorEro::ModelSupportConfig::decode(*document);
        for (const auto& row : table.deviceSupports()) {
            for (const auto& identifier : row.identifiers) {
                (void)table.modelSupport(identifier + "1");
            }
        }
    } catch (const DecodingError&) {
    }
    return 0;
}
