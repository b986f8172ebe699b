#include "System/Concurrency/BlockingRun.h"
#include "System/Net/HttpClient.h"
#include "System/Tests/NetTesting/LoopbackServer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace System::Net;
using namespace System::Concurrency;
using System::Net::Testing::Gate;
using System::Net::Testing::LoopbackServer;

namespace {

HttpRequest makeRequest(std::string method, std::string url) {
    HttpRequest request;
    request.method = std::move(method);
    request.url = std::move(url);
    return request;
}

HttpResponse sendBlocking(HttpClient& client, HttpRequest request) {
    return blockingRun(client.send(std::move(request)));
}

// The code of the TransportError that `request` ends with; fails the test when it ends otherwise.
TransportError::Code transportFailure(HttpClient& client, HttpRequest request) {
    try {
        sendBlocking(client, std::move(request));
    } catch (const TransportError& error) {
        return error.code();
    }
    ADD_FAILURE() << "the request did not fail with a TransportError";
    return TransportError::Code::other;
}

std::string allByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<char>(i));
    }
    return bytes;
}

// A loopback port on which nothing listens.
int closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class HttpClientTest : public testing::Test {
protected:
    LoopbackServer server;
    HttpClient client;
};

TEST_F(HttpClientTest, SendsMethodTargetHeadersAndBodyExactly) {
    server.reply("POST", "/upload", 201, "{}");
    auto request = makeRequest("POST", server.url("/upload?x=%2F1"));
    request.setHeader("Content-Type", "application/octet-stream");
    request.setHeader("Authorization", "Bearer first");
    request.setHeader("authorization", "Bearer second"); // replaces, whatever the case
    request.body = allByteValues();

    const auto response = sendBlocking(client, request);

    EXPECT_EQ(response.status, 201);
    const auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "POST");
    EXPECT_EQ(received[0].target, "/upload?x=%2F1");
    EXPECT_EQ(received[0].body, allByteValues());
    EXPECT_EQ(received[0].header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(received[0].header("Content-Length"), "256");
    EXPECT_EQ(received[0].header("Authorization"), "Bearer second");
    EXPECT_EQ(received[0].headerCount("Authorization"), 1u);
    EXPECT_EQ(received[0].header("Expect"), std::nullopt);
}

TEST_F(HttpClientTest, PostWithoutBodyAndHeadAndGetSendNoBodyOrContentType) {
    server.reply("POST", "/devices", 200, "{}");
    server.reply("HEAD", "/ping", 204, "");
    server.reply("GET", "/version", 200, "{}");

    EXPECT_EQ(sendBlocking(client, makeRequest("POST", server.url("/devices"))).status, 200);
    EXPECT_EQ(sendBlocking(client, makeRequest("HEAD", server.url("/ping"))).status, 204);
    EXPECT_EQ(sendBlocking(client, makeRequest("GET", server.url("/version"))).status, 200);

    const auto received = server.requests();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].method, "POST");
    EXPECT_EQ(received[0].header("Content-Length"), "0");
    EXPECT_EQ(received[1].method, "HEAD");
    EXPECT_EQ(received[2].method, "GET");
    for (const auto& request : received) {
        EXPECT_EQ(request.body, "");
        EXPECT_EQ(request.header("Content-Type"), std::nullopt) << request.method;
        EXPECT_EQ(request.header("Authorization"), std::nullopt) << request.method;
    }
}

TEST_F(HttpClientTest, ErrorStatusesAreResponsesWithHeadersAndBody) {
    server.on("GET", "/missing", [](const auto&, httplib::Response& response) {
        response.status = 404;
        response.set_header("X-Trace", "abc");
        response.set_content(std::string("no\0thing", 8), "text/plain");
    });

    const auto response = sendBlocking(client, makeRequest("GET", server.url("/missing")));

    EXPECT_EQ(response.status, 404);
    EXPECT_FALSE(response.isSuccess());
    EXPECT_EQ(response.header("x-trace"), "abc");
    EXPECT_EQ(response.header("Content-Type"), "text/plain");
    EXPECT_EQ(response.body, std::string("no\0thing", 8));
}

TEST_F(HttpClientTest, FollowsRedirectsAndReportsTheFinalAddress) {
    server.on("GET", "/old", [](const auto&, httplib::Response& response) { response.set_redirect("/new"); });
    server.reply("GET", "/new", 200, "here");

    const auto response = sendBlocking(client, makeRequest("GET", server.url("/old")));

    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "here");
    EXPECT_EQ(response.url, server.url("/new"));
}

TEST_F(HttpClientTest, HeaderValuesWithLineBreaksOrNulAreRefusedBeforeSending) {
    for (const std::string& value :
         {std::string("a\r\nX-Evil: 1"), std::string("a\nb"), std::string("a\0b", 3)}) {
        HttpRequest request = makeRequest("GET", server.url("/x"));
        EXPECT_THROW(request.setHeader("Authorization", value), InvalidHeaderError);

        request.headers.emplace_back("Authorization", value); // around the setter: the client still refuses
        try {
            sendBlocking(client, request);
            ADD_FAILURE() << "sent a header with an unsafe value";
        } catch (const InvalidHeaderError& error) {
            EXPECT_EQ(error.header(), "Authorization");
            EXPECT_EQ(error.problem(), InvalidHeaderError::Problem::unsafeValue);
            EXPECT_STREQ(
                error.what(),
                "The request wasn't sent because its Authorization header would hold a line break or NUL "
                "character.");
        }
    }
    HttpRequest badName = makeRequest("GET", server.url("/x"));
    EXPECT_THROW(badName.setHeader("Bad Name", "v"), InvalidHeaderError);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpClientTest, TransportFailuresAreKeptApartFromStatuses) {
    EXPECT_EQ(transportFailure(client,
                               makeRequest("GET", "http://127.0.0.1:" + std::to_string(closedPort()) + "/")),
              TransportError::Code::cannotConnectToHost);
    EXPECT_EQ(transportFailure(client, makeRequest("GET", "ftp://127.0.0.1/")), TransportError::Code::badURL);
    EXPECT_EQ(transportFailure(client, makeRequest("GET", "http://127.0.0.1/a b")),
              TransportError::Code::badURL);
}

TEST(HttpClientErrors, TransportResultsMapToTheirFailures) {
    const std::pair<CURLcode, TransportError::Code> cases[] = {
        {CURLE_REMOTE_FILE_NOT_FOUND, TransportError::Code::resourceUnavailable},
        {CURLE_COULDNT_RESOLVE_HOST, TransportError::Code::cannotFindHost},
        {CURLE_COULDNT_CONNECT, TransportError::Code::cannotConnectToHost},
        {CURLE_OPERATION_TIMEDOUT, TransportError::Code::timedOut},
        {CURLE_RECV_ERROR, TransportError::Code::networkConnectionLost},
        {CURLE_FILESIZE_EXCEEDED, TransportError::Code::responseTooLarge},
        {CURLE_OUT_OF_MEMORY, TransportError::Code::other},
    };
    for (const auto& [result, code] : cases) {
        EXPECT_EQ(HttpClient::transportErrorCode(result), code) << curl_easy_strerror(result);
    }
}

// An answer past the size a request accepts ends it as soon as it is known, however the server sends it: with
// a length announced up front, compressed to a small one, in chunks without one, or as an endless header.
TEST_F(HttpClientTest, AnAnswerLargerThanTheRequestAcceptsEndsIt) {
    constexpr std::size_t kLimit = 100000;
    server.reply("GET", "/fits", 200, std::string(kLimit - 1000, 'x'), "application/octet-stream");
    server.reply("GET", "/announced", 200, std::string(kLimit + 1, 'x'), "application/octet-stream");
    server.reply("GET", "/compressed", 200, std::string(kLimit + 1, 'x'), "text/plain"); // sent with gzip
    server.on("GET", "/chunked", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/plain", [](std::size_t offset, httplib::DataSink& sink) {
            if (offset > 10 * kLimit) {
                sink.done();
                return true;
            }
            const std::string piece(4096, 'x');
            return sink.write(piece.data(), piece.size());
        });
    });
    server.on("GET", "/headers", [](const httplib::Request&, httplib::Response& response) {
        for (int i = 0; i < 2000; ++i) {
            response.set_header("X-Filler-" + std::to_string(i), std::string(100, 'h'));
        }
    });
    const auto limited = [&](const std::string& path) {
        auto request = makeRequest("GET", server.url(path));
        request.maxResponseSize = kLimit;
        return request;
    };

    EXPECT_EQ(sendBlocking(client, limited("/fits")).body.size(), kLimit - 1000);
    for (const std::string path : {"/announced", "/compressed", "/chunked", "/headers"}) {
        EXPECT_EQ(transportFailure(client, limited(path)), TransportError::Code::responseTooLarge) << path;
    }
    // A streamed body is the receiver's to bound; only its header counts.
    auto streamed = limited("/chunked");
    std::size_t received = 0;
    streamed.onBody = [&](std::string_view piece) {
        received += piece.size();
        return true;
    };
    EXPECT_EQ(sendBlocking(client, streamed).status, 200);
    EXPECT_GT(received, 10 * kLimit);
    EXPECT_EQ(sendBlocking(client, makeRequest("GET", server.url("/announced"))).body.size(), kLimit + 1);
}

TEST_F(HttpClientTest, LoopbackRequestsNeverGoThroughAProxy) {
    server.reply("GET", "/here", 200, "direct");
    struct ProxySetting {
        explicit ProxySetting(const std::string& proxy) { setenv("http_proxy", proxy.c_str(), 1); }
        ~ProxySetting() { unsetenv("http_proxy"); }
    } deadProxy("http://127.0.0.1:" + std::to_string(closedPort()));

    EXPECT_EQ(sendBlocking(client, makeRequest("GET", server.url("/here"))).body, "direct");
}

TEST_F(HttpClientTest, ARequestWithoutProgressTimesOut) {
    Gate& gate = server.gate();
    server.on("GET", "/slow", [&](const auto&, httplib::Response& response) {
        gate.wait();
        response.status = 200;
    });
    auto request = makeRequest("GET", server.url("/slow"));
    request.timeout = Duration::milliseconds(100);

    EXPECT_EQ(transportFailure(client, request), TransportError::Code::timedOut);
    EXPECT_STREQ(TransportError(TransportError::Code::timedOut).what(), "The request timed out.");
}

TEST_F(HttpClientTest, TheClientTimeoutAppliesWhenTheRequestNamesNone) {
    Gate& gate = server.gate();
    server.on("GET", "/slow", [&](const auto&, httplib::Response&) { gate.wait(); });
    HttpClient quick(HttpClient::Configuration{Duration::milliseconds(100)});

    EXPECT_EQ(transportFailure(quick, makeRequest("GET", server.url("/slow"))),
              TransportError::Code::timedOut);
}

TEST_F(HttpClientTest, ResumesTheCallerOnItsOwnExecutor) {
    server.reply("GET", "/x", 200, "ok");
    std::thread::id completionThread;
    std::promise<void> completed;
    client.start(makeRequest("GET", server.url("/x")), [&](HttpClient::Outcome) {
        completionThread = std::this_thread::get_id();
        completed.set_value();
    });
    completed.get_future().wait();
    EXPECT_NE(completionThread, std::this_thread::get_id()); // the work happens off the caller's thread

    const auto caller = std::this_thread::get_id();
    const auto resumedOn = blockingRun([&]() -> Task<std::thread::id> {
        co_await client.send(makeRequest("GET", server.url("/x")));
        co_return std::this_thread::get_id();
    }());
    EXPECT_EQ(resumedOn, caller);
}

TEST_F(HttpClientTest, CancellingTheTaskAbortsTheRequest) {
    Gate& gate = server.gate();
    server.on("GET", "/slow", [&](const auto&, httplib::Response&) { gate.wait(); });

    const bool cancelled = blockingRun([&]() -> Task<bool> {
        Executor* executor = co_await currentExecutor();
        auto handle = spawn(*executor, client.send(makeRequest("GET", server.url("/slow"))));
        co_await sleep(Duration::zero()); // lets the spawned task start its request
        gate.awaitWaiting(1);
        handle.cancel();
        try {
            co_await handle.value();
        } catch (const CancellationError&) {
            co_return true;
        }
        co_return false;
    }());

    EXPECT_TRUE(cancelled);
}

TEST_F(HttpClientTest, DestroyingTheClientEndsRequestsInFlight) {
    Gate& gate = server.gate();
    server.on("GET", "/slow", [&](const auto&, httplib::Response&) { gate.wait(); });
    std::promise<HttpClient::Outcome> outcome;
    {
        HttpClient shortLived;
        shortLived.start(makeRequest("GET", server.url("/slow")),
                         [&](HttpClient::Outcome result) { outcome.set_value(std::move(result)); });
        gate.awaitWaiting(1);
    }
    const auto result = outcome.get_future().get();
    ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(result));
    try {
        std::rethrow_exception(std::get<std::exception_ptr>(result));
    } catch (const TransportError& error) {
        EXPECT_EQ(error.code(), TransportError::Code::cancelled);
    }
}

TEST_F(HttpClientTest, ServesManyRequestsAtOnce) {
    server.on("GET", "/echo", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(request.get_param_value("n"), "text/plain");
    });

    const auto bodies = blockingRun([&]() -> Task<std::vector<std::string>> {
        Executor* executor = co_await currentExecutor();
        std::vector<TaskHandle<HttpResponse>> handles;
        for (int i = 0; i < 20; ++i) {
            handles.push_back(spawn(
                *executor, client.send(makeRequest("GET", server.url("/echo?n=" + std::to_string(i))))));
        }
        std::vector<std::string> result;
        for (auto& handle : handles) {
            result.push_back((co_await handle.value()).body);
        }
        co_return result;
    }());

    ASSERT_EQ(bodies.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(bodies[i], std::to_string(i));
    }
}

} // namespace

namespace {

TEST_F(HttpClientTest, RedirectsComeBackUnfollowedWhenAsked) {
    server.on("GET", "/from", [](const httplib::Request&, httplib::Response& response) {
        response.status = 302;
        response.set_header("Location", "/to");
    });
    server.reply("GET", "/to", 200, "arrived");
    auto request = makeRequest("GET", server.url("/from"));
    request.followRedirects = false;

    const auto response = sendBlocking(client, request);

    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.header("Location"), "/to");
    EXPECT_TRUE(server.requests("GET", "/to").empty());
}

// A streamed answer: the final header (after a followed redirect) first, then the body in pieces that add up
// to the whole, and nothing collected in the response.
TEST_F(HttpClientTest, StreamsTheFinalAnswerHeaderThenItsBody) {
    const std::string body(300000, 'x');
    server.on("GET", "/from", [](const httplib::Request&, httplib::Response& response) {
        response.status = 307;
        response.set_header("Location", "/big");
    });
    server.on("GET", "/big", [&](const httplib::Request&, httplib::Response& response) {
        response.status = 200;
        response.set_header("X-Kind", "big");
        response.set_content(body, "application/octet-stream");
    });
    std::vector<int> heads;
    std::string received;
    auto request = makeRequest("GET", server.url("/from"));
    request.onHead = [&](const HttpResponse& head) {
        EXPECT_TRUE(received.empty());
        EXPECT_EQ(head.header("X-Kind"), "big");
        heads.push_back(head.status);
        return true;
    };
    request.onBody = [&](std::string_view piece) {
        received.append(piece);
        return true;
    };

    const auto response = sendBlocking(client, request);

    EXPECT_EQ(response.status, 200);
    EXPECT_TRUE(response.body.empty());
    EXPECT_EQ(heads, std::vector<int>{200});
    EXPECT_EQ(received, body);
}

TEST_F(HttpClientTest, AReceiverThatStopsEndsTheTransferAsCancelled) {
    server.reply("GET", "/big", 200, std::string(300000, 'x'), "application/octet-stream");
    const auto stopAt = [&](bool inHead) {
        auto request = makeRequest("GET", server.url("/big"));
        request.onHead = [inHead](const HttpResponse&) { return !inHead; };
        request.onBody = [](std::string_view) { return false; };
        return transportFailure(client, request);
    };
    EXPECT_EQ(stopAt(true), TransportError::Code::cancelled);
    EXPECT_EQ(stopAt(false), TransportError::Code::cancelled);
}

TEST_F(HttpClientTest, AnEmptyStreamedAnswerStillDeliversItsHeader) {
    server.reply("GET", "/empty", 204, "");
    std::vector<int> heads;
    auto request = makeRequest("GET", server.url("/empty"));
    request.onHead = [&](const HttpResponse& head) {
        heads.push_back(head.status);
        return true;
    };
    request.onBody = [](std::string_view) { return true; };

    EXPECT_EQ(sendBlocking(client, request).status, 204);
    EXPECT_EQ(heads, std::vector<int>{204});
}

} // namespace
