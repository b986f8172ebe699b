#include "System/Net/HttpClient.h"
#include "System/Tests/NetTesting/LoopbackServer.h"

#include <gtest/gtest.h>

#include <atomic>

using System::Net::HttpClient;
using System::Net::HttpRequest;
using System::Net::Testing::Gate;
using System::Net::Testing::LoopbackServer;

namespace {

// A client that gives up leaves its handler running on the server: stopping the server must release the
// handler and wait for it, or the handler would outlive what it uses.
TEST(LoopbackServerTest, StopReleasesHeldHandlersAndReturnsOnlyOnceTheyHaveFinished) {
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    LoopbackServer server;
    Gate& gate = server.gate();
    server.on("GET", "/held", [&](const auto&, httplib::Response& response) {
        ++started;
        gate.wait();
        response.status = 204;
        ++finished;
    });
    {
        HttpClient client;
        for (int i = 0; i < 3; ++i) {
            HttpRequest request;
            request.url = server.url("/held");
            client.start(std::move(request), [](HttpClient::Outcome) {});
        }
        gate.awaitWaiting(3);
    } // the client gives up on all three

    server.stop();

    EXPECT_EQ(started.load(), 3);
    EXPECT_EQ(finished.load(), 3);
    EXPECT_EQ(server.requests("GET", "/held").size(), 3u);
    server.stop(); // again, and then once more from the destructor: nothing left to do
}

} // namespace
