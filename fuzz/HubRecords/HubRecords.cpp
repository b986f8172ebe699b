#include <cstddef>
#include <cstdint>
#include <string_view>

#include "System/Json/BoundedJson.h"
#include "VuzadoDudi/External/Hub/HubApi.h"

// The texts the hub client takes from outside and turns into paths and decisions: a cached file's record, the
// hub's file listing, and a repository named in JSON. Whatever the bytes, each gives its value or its own
// error; a listed name never leads out of the repository folder, and what decodes encodes back to itself.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    using VuzadoDudi::HubApi;
    try {
        const auto record = HubApi::parseDownloadMetadata(text, "file.bin.metadata");
        if (record.filename != "file.bin") {
            __builtin_trap();
        }
    } catch (const HubApi::EnvironmentError&) {
    }
    try {
        for (const auto& name : HubApi::decodeListing(text)) {
            if (name.empty() || name.front() == '/' || name == ".." || name.starts_with("../") ||
                name.find("/../") != std::string::npos || name.ends_with("/..")) {
                __builtin_trap();
            }
        }
    } catch (const VuzadoDudi::Hub::HubClientError&) {
    }
    const auto document = System::Json::tryParse(text);
    if (!document) {
        return 0;
    }
    try {
        const auto siblings = HubApi::decodeSiblingsResponse(*document);
        if (HubApi::decodeSiblingsResponse(HubApi::encode(siblings)) != siblings) {
            __builtin_trap();
        }
    } catch (const VuzadoDudi::Hub::HubClientError&) {
    }
    try {
        const auto repo = HubApi::decodeRepo(*document);
        if (HubApi::decodeRepo(HubApi::encode(repo)) != repo) {
            __builtin_trap();
        }
    } catch (const VuzadoDudi::Hub::HubClientError&) {
    }
    return 0;
}
