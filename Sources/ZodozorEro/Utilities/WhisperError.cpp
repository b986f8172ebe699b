#include "ZodozorEro/Utilities/WhisperError.h"

#include "VuzadoDudi/Logging.h"

namespace ZodozorEro {

std::string WhisperError::errorDescription() const {
    VuzadoDudi::Logging::error(message());
    return message();
}

} // namespace ZodozorEro
