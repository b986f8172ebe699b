#include "System/Log/ErrorDescription.h"

namespace System::Log {

std::string errorDescription(const std::exception_ptr& error) {
    if (!error) {
        return "An unknown error occurred.";
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        return exception.what();
    } catch (...) {
        return "An unknown error occurred.";
    }
}

} // namespace System::Log
