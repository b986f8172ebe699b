#pragma once

#include <exception>
#include <string>

namespace System::Log {

// The sentence an error shows the user: what() of a standard exception, a fixed sentence otherwise.
std::string errorDescription(const std::exception_ptr& error);

// An error that carries the sentence it shows the user, as what() and as description().
class DescribedError : public std::exception {
public:
    explicit DescribedError(std::string description)
        : description_(std::move(description)) {}

    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string description_;
};

} // namespace System::Log
