#include "ZodozorEro/Core/Text/LogitsValues.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ZodozorEro::LogitsValues {

int vocabularySize(const System::ML::MultiArray& logits) {
    const auto& shape = logits.shape();
    if (shape.size() != 3 || shape[0] != 1 || shape[1] != 1) {
        throw System::ML::MultiArrayError("Logits must have the shape [1, 1, n], not " +
                                          System::ML::shapeDescription(shape));
    }
    return shape[2];
}

void suppress(System::ML::MultiArray& logits, std::span<const int> ids) {
    const int size = vocabularySize(logits);
    visit(logits, [&](auto values) {
        using T = typename decltype(values)::value_type;
        for (const int id : ids) {
            if (id >= 0 && id < size) {
                values[static_cast<std::size_t>(id)] = T(-std::numeric_limits<float>::infinity());
            }
        }
    });
}

void suppressRange(System::ML::MultiArray& logits, int lowerBound, int upperBound) {
    const int size = vocabularySize(logits);
    const int begin = std::clamp(lowerBound, 0, size);
    const int end = std::clamp(upperBound, begin, size);
    visit(logits, [&](auto values) {
        using T = typename decltype(values)::value_type;
        std::fill(values.begin() + begin, values.begin() + end, T(-std::numeric_limits<float>::infinity()));
    });
}

void readAsFloats(const System::ML::MultiArray& logits, std::vector<float>& floats) {
    visit(logits, [&](auto values) {
        floats.resize(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            floats[i] = widened(values[i]);
        }
    });
}

std::vector<float> readAsFloats(const System::ML::MultiArray& logits) {
    std::vector<float> floats;
    readAsFloats(logits, floats);
    return floats;
}

} // namespace ZodozorEro::LogitsValues
