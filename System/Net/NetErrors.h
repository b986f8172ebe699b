#pragma once

#include <exception>
#include <string>

namespace System::Net {

// No HTTP answer was received: the request never reached a server, or the exchange broke off. Kept apart from
// HTTP statuses, which arrive as responses.
class TransportError : public std::exception {
public:
    enum class Code {
        badURL,
        cannotFindHost,
        cannotConnectToHost,
        timedOut,
        secureConnectionFailed,
        networkConnectionLost,
        tooManyRedirects,
        cancelled, // the client went away before the answer came
        other,
    };

    // `detail` is the transport's own account, for logs; the description is the sentence for users.
    TransportError(Code code, std::string detail = {});

    Code code() const { return code_; }
    const std::string& detail() const { return detail_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    Code code_;
    std::string detail_;
    std::string description_;
};

// A request that was refused before sending because a header could not be sent safely.
class InvalidHeaderError : public std::exception {
public:
    enum class Problem {
        malformedName, // not an HTTP token
        unsafeValue,   // holds CR, LF or NUL
    };

    InvalidHeaderError(std::string header, Problem problem);

    Problem problem() const { return problem_; }
    const std::string& header() const { return header_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string header_;
    Problem problem_;
    std::string description_;
};

} // namespace System::Net
