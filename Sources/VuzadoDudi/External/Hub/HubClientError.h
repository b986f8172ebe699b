#pragma once

#include "System/Log/ErrorDescription.h"
#include "System/Net/NetErrors.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace VuzadoDudi::Hub {

// The errors of the hub client and of the configuration loader; the description is the sentence for users.
class HubClientError : public System::Log::DescribedError {
public:
    enum class Kind {
        httpStatusCode,
        jsonSerialization,
        downloadError,
        fileNotFound,
        networkError,
        resourceNotFound,
        configurationMissing,
        fileSystemError,
        parseError,
        authorizationRequired,
        parse,
        unexpectedError,
    };

    static HubClientError httpStatusCode(std::int64_t status);
    // Describes itself with `message` alone.
    static HubClientError jsonSerialization(std::string fileURL, std::string message);
    static HubClientError downloadError(std::string message);
    static HubClientError fileNotFound(std::string name);
    static HubClientError networkError(const System::Net::TransportError& error);
    static HubClientError resourceNotFound(std::string name);
    static HubClientError configurationMissing(std::string fileName);
    static HubClientError fileSystemError(std::exception_ptr error);
    static HubClientError parseError(std::string message);
    static HubClientError authorizationRequired();
    static HubClientError parse();
    static HubClientError unexpectedError();

    Kind kind() const { return kind_; }
    // The HTTP status of httpStatusCode.
    std::optional<std::int64_t> statusCode() const { return status_; }
    // The text the case carries: a message, a file or model name; the file URL of jsonSerialization.
    const std::string& payload() const { return payload_; }
    const std::string& fileURL() const { return fileURL_; }
    // The transport failure of networkError.
    std::optional<System::Net::TransportError::Code> networkCode() const { return networkCode_; }
    // The error that fileSystemError wraps.
    std::exception_ptr underlying() const { return underlying_; }

private:
    HubClientError(Kind kind, std::string description);

    Kind kind_;
    std::optional<std::int64_t> status_;
    std::string payload_;
    std::string fileURL_;
    std::optional<System::Net::TransportError::Code> networkCode_;
    std::exception_ptr underlying_;
};

} // namespace VuzadoDudi::Hub
