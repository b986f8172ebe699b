#pragma once

#include <exception>
#include <string>

namespace System::Log {

// The sentence an error shows the user: what() of a standard exception, a fixed sentence otherwise.
std::string errorDescription(const std::exception_ptr& error);

} // namespace System::Log
