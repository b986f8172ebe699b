#pragma once

#include "System/Log/Logger.h"

namespace ZodozorEro {

// Where the audio front end writes its log lines: the Whisper library's shared category.
inline const System::Log::Logger& audioLog() {
    static const System::Log::Logger logger("com.tessarin.Tessarin", "Varevo");
    return logger;
}

} // namespace ZodozorEro
