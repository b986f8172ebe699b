#pragma once

#include "System/Net/HttpClient.h"
#include "TessarinUpdates/FeedLoading.h"

#include <memory>

namespace TessarinUpdates {

// Fetches the feed over HTTP. An answer other than 2xx is an AppcastError naming the status; transport
// failures pass through as System::Net::TransportError.
class HttpFeedLoader final : public FeedLoading {
public:
    explicit HttpFeedLoader(std::shared_ptr<System::Net::HttpClient> client);

    System::Concurrency::Task<std::string> load(std::string address) override;

private:
    std::shared_ptr<System::Net::HttpClient> client_;
};

} // namespace TessarinUpdates
