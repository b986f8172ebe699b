#pragma once

#include "ZodozorEro/Utilities/WhisperError.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace ZodozorEroTesting {

// Expects `call` to throw the pipeline's error of that kind with exactly that message.
inline void expectWhisperError(const std::function<void()>& call, ZodozorEro::WhisperError::Kind kind,
                               const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no error; expected \"" << message << "\"";
    } catch (const ZodozorEro::WhisperError& error) {
        EXPECT_EQ(error.kind(), kind);
        EXPECT_EQ(error.message(), message);
    }
}

} // namespace ZodozorEroTesting
