#include "VuzadoDudi/External/Hub/HubApi.h"
#include "VuzadoDudi/External/Hub/HubClientError.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace VuzadoDudi {
namespace {

using Hub::HubClientError;

TEST(HubClientError, DescriptionsAreTheSentencesUsersSee) {
    const std::pair<HubClientError, std::string> cases[] = {
        {HubClientError::httpStatusCode(500), "HTTP error with status code: 500"},
        {HubClientError::jsonSerialization("file:///a.json", "the message only"), "the message only"},
        {HubClientError::downloadError("x"), "Download failed: x"},
        {HubClientError::fileNotFound("f.bin"), "File not found: f.bin"},
        {HubClientError::resourceNotFound("o/n"), "Resource not found: o/n"},
        {HubClientError::configurationMissing("tokenizer.json"),
         "Required configuration file missing: tokenizer.json"},
        {HubClientError::fileSystemError(std::make_exception_ptr(std::runtime_error("disk full"))),
         "File system error: disk full"},
        {HubClientError::parseError("bad"), "Parse error: bad"},
        {HubClientError::authorizationRequired(),
         "Authentication required. Please provide a valid model hub token."},
        {HubClientError::parse(), "Failed to parse server response."},
        {HubClientError::unexpectedError(), "An unexpected error occurred."},
    };
    for (const auto& [error, description] : cases) {
        EXPECT_EQ(error.description(), description);
        EXPECT_STREQ(error.what(), description.c_str());
    }
    const auto network = HubClientError::networkError(
        System::Net::TransportError(System::Net::TransportError::Code::networkConnectionLost));
    EXPECT_TRUE(network.description().starts_with("Network error: ")) << network.description();
    EXPECT_EQ(network.networkCode(), System::Net::TransportError::Code::networkConnectionLost);
}

TEST(HubClientError, EnvironmentErrorsPrefixTheirMessage) {
    using E = HubApi::EnvironmentError;
    EXPECT_EQ(E::invalidMetadataError("m").description(), "Invalid metadata: m");
    EXPECT_EQ(E::offlineModeError("m").description(), "Offline mode error: m");
    EXPECT_EQ(E::fileIntegrityError("m").description(), "File integrity check failed: m");
    EXPECT_EQ(E::fileWriteError("m").description(), "Failed to write file: m");
    EXPECT_EQ(E::fileWriteError("m").message(), "m");
}

} // namespace
} // namespace VuzadoDudi
