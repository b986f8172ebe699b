#include "VuzadoDudi/External/Hub/HubClientError.h"

namespace VuzadoDudi::Hub {

HubClientError::HubClientError(Kind kind, std::string description)
    : DescribedError(std::move(description))
    , kind_(kind) {}

HubClientError HubClientError::httpStatusCode(std::int64_t status) {
    HubClientError error(Kind::httpStatusCode, "HTTP error with status code: " + std::to_string(status));
    error.status_ = status;
    return error;
}

HubClientError HubClientError::jsonSerialization(std::string fileURL, std::string message) {
    HubClientError error(Kind::jsonSerialization, message);
    error.payload_ = std::move(message);
    error.fileURL_ = std::move(fileURL);
    return error;
}

HubClientError HubClientError::downloadError(std::string message) {
    HubClientError error(Kind::downloadError, "Download failed: " + message);
    error.payload_ = std::move(message);
    return error;
}

HubClientError HubClientError::fileNotFound(std::string name) {
    HubClientError error(Kind::fileNotFound, "File not found: " + name);
    error.payload_ = std::move(name);
    return error;
}

HubClientError HubClientError::networkError(const System::Net::TransportError& transport) {
    HubClientError error(Kind::networkError, "Network error: " + transport.description());
    error.networkCode_ = transport.code();
    error.payload_ = transport.description();
    return error;
}

HubClientError HubClientError::resourceNotFound(std::string name) {
    HubClientError error(Kind::resourceNotFound, "Resource not found: " + name);
    error.payload_ = std::move(name);
    return error;
}

HubClientError HubClientError::configurationMissing(std::string fileName) {
    HubClientError error(Kind::configurationMissing, "Required configuration file missing: " + fileName);
    error.payload_ = std::move(fileName);
    return error;
}

HubClientError HubClientError::fileSystemError(std::exception_ptr underlying) {
    HubClientError error(Kind::fileSystemError,
                         "File system error: " + System::Log::errorDescription(underlying));
    error.underlying_ = std::move(underlying);
    return error;
}

HubClientError HubClientError::parseError(std::string message) {
    HubClientError error(Kind::parseError, "Parse error: " + message);
    error.payload_ = std::move(message);
    return error;
}

HubClientError HubClientError::authorizationRequired() {
    return HubClientError(Kind::authorizationRequired,
                          "Authentication required. Please provide a valid model hub token.");
}

HubClientError HubClientError::parse() {
    return HubClientError(Kind::parse, "Failed to parse server response.");
}

HubClientError HubClientError::unexpectedError() {
    return HubClientError(Kind::unexpectedError, "An unexpected error occurred.");
}

} // namespace VuzadoDudi::Hub
