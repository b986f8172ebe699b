#include "System/Net/NetErrors.h"

namespace System::Net {

namespace {

std::string sentence(TransportError::Code code) {
    switch (code) {
    case TransportError::Code::badURL:
        return "The address of the server isn't a valid web address.";
    case TransportError::Code::cannotFindHost:
        return "A server with the specified hostname could not be found.";
    case TransportError::Code::cannotConnectToHost:
        return "Could not connect to the server.";
    case TransportError::Code::timedOut:
        return "The request timed out.";
    case TransportError::Code::secureConnectionFailed:
        return "A secure connection to the server could not be made.";
    case TransportError::Code::networkConnectionLost:
        return "The network connection was lost.";
    case TransportError::Code::tooManyRedirects:
        return "The server redirected the request too many times.";
    case TransportError::Code::resourceUnavailable:
        return "The requested resource couldn't be retrieved.";
    case TransportError::Code::responseTooLarge:
        return "The server's answer was larger than the request accepts.";
    case TransportError::Code::cancelled:
        return "The request was cancelled.";
    case TransportError::Code::other:
        break;
    }
    return "The request failed.";
}

} // namespace

TransportError::TransportError(Code code, std::string detail)
    : DescribedError(sentence(code))
    , code_(code)
    , detail_(std::move(detail)) {}

InvalidHeaderError::InvalidHeaderError(std::string header, Problem problem)
    : DescribedError(problem == Problem::malformedName
                         ? "The request wasn't sent because one of its header names is malformed."
                         : "The request wasn't sent because its " + header +
                               " header would hold a line break or NUL character.")
    , header_(std::move(header))
    , problem_(problem) {}

} // namespace System::Net
