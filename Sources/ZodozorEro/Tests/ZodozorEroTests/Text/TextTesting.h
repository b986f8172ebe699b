#pragma once

#include <cmath>
#include <set>
#include <vector>

#include "System/ML/MultiArray.h"
#include "ZodozorEro/Core/ControlTokens.h"

namespace ZodozorEroTesting {

// A small vocabulary: text 0 ..< 10, control tokens 10 ..< 20, timestamps 20 ..< 40 (0.00 s to 0.38 s).
inline ZodozorEro::SpecialTokens smallSpecialTokens() {
    return ZodozorEro::SpecialTokens{.endToken = 10,
                                     .englishToken = 12,
                                     .noSpeechToken = 16,
                                     .noTimestampsToken = 17,
                                     .specialTokenBegin = 10,
                                     .startOfPreviousToken = 15,
                                     .startOfTranscriptToken = 11,
                                     .timeTokenBegin = 20,
                                     .transcribeToken = 14,
                                     .translateToken = 13,
                                     .whitespaceToken = 2};
}
inline constexpr int smallVocabulary = 40;

// Logits of shape [1, 1, n] holding `values`, in the given element type.
inline System::ML::MultiArray
logitsOf(const std::vector<float>& values,
         System::ML::MultiArrayDataType type = System::ML::MultiArrayDataType::float16) {
    System::ML::MultiArray array({1, 1, static_cast<int>(values.size())}, type);
    for (std::size_t i = 0; i < values.size(); ++i) {
        array.setValue(i, values[i]);
    }
    return array;
}

// The positions holding minus infinity.
inline std::set<int> suppressedIds(const System::ML::MultiArray& logits) {
    std::set<int> ids;
    for (std::size_t i = 0; i < logits.count(); ++i) {
        if (std::isinf(logits.value(i)) && logits.value(i) < 0) {
            ids.insert(static_cast<int>(i));
        }
    }
    return ids;
}

// lowerBound ..< upperBound.
inline std::set<int> idRange(int lowerBound, int upperBound) {
    std::set<int> ids;
    for (int id = lowerBound; id < upperBound; ++id) {
        ids.insert(id);
    }
    return ids;
}

inline std::set<int> unite(std::set<int> a, const std::set<int>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

} // namespace ZodozorEroTesting
