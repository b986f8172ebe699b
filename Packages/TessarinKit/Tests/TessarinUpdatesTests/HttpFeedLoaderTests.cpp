#include "System/Concurrency/BlockingRun.h"
#include "System/Tests/NetTesting/LoopbackServer.h"
#include "TessarinUpdates/Appcast.h"
#include "TessarinUpdates/HttpFeedLoader.h"

#include <gtest/gtest.h>

using namespace TessarinUpdates;
using System::Concurrency::blockingRun;

TEST(HttpFeedLoaderTest, FetchesTheFeedFromALoopbackServer) {
    System::Net::Testing::LoopbackServer server;
    server.reply("GET", "/appcast.xml", 200,
                 "<rss><channel><item><title>Parlindo 2.0</title><version>2.0</version>"
                 "<link>https://parlindo.invalid/2.0</link></item></channel></rss>",
                 "application/rss+xml");
    HttpFeedLoader loader(std::make_shared<System::Net::HttpClient>());

    const auto items = parseAppcast(blockingRun(loader.load(server.url("/appcast.xml"))));

    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].version, "2.0");
    const auto requests = server.requests("GET", "/appcast.xml");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].header("Accept")->find("application/rss+xml"), std::string::npos);
}

TEST(HttpFeedLoaderTest, AnErrorStatusIsAnAppcastErrorNamingIt) {
    System::Net::Testing::LoopbackServer server;
    HttpFeedLoader loader(std::make_shared<System::Net::HttpClient>());
    try {
        blockingRun(loader.load(server.url("/missing.xml")));
        FAIL() << "expected an AppcastError";
    } catch (const AppcastError& error) {
        EXPECT_EQ(error.description(), "The update feed answered 404 (Not Found).");
    }
}
