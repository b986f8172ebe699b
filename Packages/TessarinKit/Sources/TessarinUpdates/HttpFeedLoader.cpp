#include "TessarinUpdates/HttpFeedLoader.h"

#include "TessarinUpdates/Appcast.h"

namespace TessarinUpdates {

namespace {
const auto feedTimeout = System::Concurrency::Duration::seconds(std::int64_t{30});
}

HttpFeedLoader::HttpFeedLoader(std::shared_ptr<System::Net::HttpClient> client)
    : client_(std::move(client)) {}

System::Concurrency::Task<std::string> HttpFeedLoader::load(std::string address) {
    System::Net::HttpRequest request;
    request.url = std::move(address);
    request.timeout = feedTimeout;
    request.setHeader("Accept", "application/rss+xml, application/xml, text/xml");
    auto response = co_await client_->send(std::move(request));
    if (!response.isSuccess()) {
        throw AppcastError("The update feed answered " + std::to_string(response.status) + " (" +
                           System::Net::reasonPhrase(response.status) + ").");
    }
    co_return std::move(response.body);
}

} // namespace TessarinUpdates
