#pragma once

namespace ZodozorEro {

// The ids of the Whisper control tokens. Ids from `specialTokenBegin` on are control tokens; ids from
// `timeTokenBegin` on are timestamps.
struct SpecialTokens {
    int endToken = 50257;
    int englishToken = 50259;
    int noSpeechToken = 50362;
    int noTimestampsToken = 50363;
    int specialTokenBegin = 50257;
    int startOfPreviousToken = 50361;
    int startOfTranscriptToken = 50258;
    int timeTokenBegin = 50364;
    int transcribeToken = 50359;
    int translateToken = 50358;
    int whitespaceToken = 220;

    bool operator==(const SpecialTokens&) const = default;
};

} // namespace ZodozorEro
