#pragma once

#include "System/Log/ErrorDescription.h"

#include <exception>
#include <string>

namespace System::Net {

// No HTTP answer was received: the request never reached a server, or the exchange broke off. Kept apart from
// HTTP statuses, which arrive as responses.
class TransportError : public System::Log::DescribedError {
public:
    enum class Code {
        badURL,
        cannotFindHost,
        cannotConnectToHost,
        timedOut,
        secureConnectionFailed,
        networkConnectionLost,
        tooManyRedirects,
        resourceUnavailable, // the server holds nothing at the address (a transport's "not found")
        responseTooLarge,    // the answer is larger than the request accepts
        cancelled,           // the client went away before the answer came
        other,
    };

    // `detail` is the transport's own account, for logs; the description is the sentence for users.
    TransportError(Code code, std::string detail = {});

    Code code() const { return code_; }
    const std::string& detail() const { return detail_; }

private:
    Code code_;
    std::string detail_;
};

// A request that was refused before sending because a header could not be sent safely.
class InvalidHeaderError : public System::Log::DescribedError {
public:
    enum class Problem {
        malformedName, // not an HTTP token
        unsafeValue,   // holds CR, LF or NUL
    };

    InvalidHeaderError(std::string header, Problem problem);

    Problem problem() const { return problem_; }
    const std::string& header() const { return header_; }

private:
    std::string header_;
    Problem problem_;
};

} // namespace System::Net
