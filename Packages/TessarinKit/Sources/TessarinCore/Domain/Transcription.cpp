#include "TessarinCore/Domain/Transcription.h"

#include "TessarinCore/Domain/Unicode.h"

namespace TessarinCore {

std::string_view displayName(EngineID engine) {
    switch (engine) {
    case EngineID::appleSpeech:
        return "Apple Speech";
    case EngineID::zodozorEro:
        return "Whisper (on-device)";
    case EngineID::tessarin:
        return "Parlindo Cloud";
    case EngineID::openAI:
        return "OpenAI (cloud)";
    case EngineID::groq:
        return "Groq (cloud)";
    }
    return {};
}

bool isLocal(EngineID engine) {
    return engine == EngineID::appleSpeech || engine == EngineID::zodozorEro;
}

std::optional<std::string_view> isoCode(DictationLanguage language) {
    switch (language) {
    case DictationLanguage::automatic:
        return std::nullopt;
    case DictationLanguage::english:
        return "en";
    case DictationLanguage::arabic:
        return "ar";
    }
    return std::nullopt;
}

std::string_view displayName(DictationLanguage language) {
    switch (language) {
    case DictationLanguage::automatic:
        return "Auto-detect";
    case DictationLanguage::english:
        return "English";
    case DictationLanguage::arabic:
        return "Arabic (\u0627\u0644\u0639\u0631\u0628\u064A\u0629)";
    }
    return {};
}

std::string_view shortName(DictationLanguage language) {
    switch (language) {
    case DictationLanguage::automatic:
        return "Auto";
    case DictationLanguage::english:
        return "English";
    case DictationLanguage::arabic:
        return "Arabic";
    }
    return {};
}

std::span<const std::string_view> CloudModel::all(EngineID engine) {
    switch (engine) {
    case EngineID::openAI:
        return openAI;
    case EngineID::groq:
        return groq;
    default:
        return {};
    }
}

namespace {

bool isKeywordSeparator(char32_t c) {
    switch (c) {
    case U',':
    case U'\u060C': // Arabic comma
    case U'\n':
    case U'\v':
    case U'\f':
    case U'\r':
    case U'\u0085':
    case U'\u2028':
    case U'\u2029':
        return true;
    default:
        return false;
    }
}

bool isSpaceOrTab(char32_t c) {
    return c == U'\t' || Unicode::isSpaceSeparator(c);
}

} // namespace

std::vector<std::string> TranscriptionConfig::keywords() const {
    std::vector<std::string> result;
    if (!prompt) {
        return result;
    }
    const std::string_view text = *prompt;
    // Split on user-perceived characters, so "\r\n" is one separator and a comma never splits a cluster.
    std::size_t pieceStart = 0;
    std::size_t offset = 0;
    const auto takePiece = [&](std::size_t pieceEnd) {
        const std::string_view piece =
            Unicode::trim(text.substr(pieceStart, pieceEnd - pieceStart), isSpaceOrTab);
        if (!piece.empty()) {
            result.emplace_back(piece);
        }
    };
    for (const std::string_view character : Unicode::graphemeClusters(text)) {
        if (isKeywordSeparator(Unicode::firstCodePoint(character))) {
            takePiece(offset);
            pieceStart = offset + character.size();
        }
        offset += character.size();
    }
    takePiece(text.size());
    return result;
}

bool Transcript::isBlank() const {
    // Every code point, not just the first of each character: a space carrying a combining mark shows
    // something, so it is not blank.
    return Unicode::allCodePoints(text, Unicode::isWhiteSpace);
}

} // namespace TessarinCore
