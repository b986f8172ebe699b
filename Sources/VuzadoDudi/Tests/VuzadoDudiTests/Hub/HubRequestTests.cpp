#include "HubTestSupport.h"

#include "System/Crypto/Sha256.h"
#include "System/Net/NetErrors.h"

#include <nlohmann/json.hpp>

namespace VuzadoDudi::HubTests {
namespace {

using HubTesting::FileBehaviour;
using Kind = HubClientError::Kind;

class HubRequestTest : public HubFixture {};

TEST_F(HubRequestTest, TheListingRequestEncodesEachSegmentAndTheRevisionAsOne) {
    addRemoteFile("config.json", "{}");
    hub.serve("own er/mo del", remote.path());

    const auto names =
        blockingRun(client().getFilenames({"own er/mo del", HubApi::RepoType::models}, "refs/pr/1"));

    EXPECT_EQ(names, std::vector<std::string>{"config.json"});
    const auto gets = hub.requests("GET");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(gets[0].target, "/api/models/own%20er/mo%20del/revision/refs%2Fpr%2F1");
    EXPECT_EQ(gets[0].header("Authorization"), "Bearer secret-token");
}

TEST_F(HubRequestTest, AuthorizationIsSentOnlyWithANonEmptyToken) {
    addRemoteFile("a.bin", "x");
    for (const std::optional<std::string>& token :
         {std::optional<std::string>(), std::optional<std::string>("")}) {
        const auto api = HubApi(cache.path(), token, hub.endpoint(), false, false);
        blockingRun(api.getFilenames(repo, "main"));
        blockingRun(api.httpHead(resolveUrl("a.bin")));
    }
    for (const auto& request : hub.requests()) {
        EXPECT_EQ(request.headerCount("Authorization"), 0u) << request.method << " " << request.target;
    }
}

TEST_F(HubRequestTest, HeadAsksForTheUnencodedBodyAndCarriesTheToken) {
    addRemoteFile("a.bin", "x");
    blockingRun(client().httpHead(resolveUrl("a.bin")));
    const auto heads = hub.requests("HEAD");
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(heads[0].header("Accept-Encoding"), "identity");
    EXPECT_EQ(heads[0].header("Authorization"), "Bearer secret-token");
    EXPECT_EQ(heads[0].target, "/owner/model/resolve/main/a.bin");
}

TEST_F(HubRequestTest, AnInvalidTokenRefusesTheRequestBeforeAnythingIsSent) {
    const auto api = HubApi(cache.path(), std::string("tok\n"), hub.endpoint(), false, false);
    EXPECT_THROW(blockingRun(api.getFilenames(repo, "main")), HubApi::InvalidTokenError);
    EXPECT_THROW(blockingRun(api.httpHead(resolveUrl("a.bin"))), HubApi::InvalidTokenError);
    EXPECT_TRUE(hub.requests().empty());
}

TEST_F(HubRequestTest, StatusesMapToTheSameErrorsForGetAndHead) {
    addRemoteFile("a.bin", "x");
    const struct {
        int status;
        Kind kind;
    } cases[] = {
        {401, Kind::authorizationRequired}, {403, Kind::authorizationRequired}, {404, Kind::fileNotFound},
        {500, Kind::httpStatusCode},        {409, Kind::httpStatusCode},
    };
    for (const auto& c : cases) {
        hub.refuseListing(c.status);
        FileBehaviour refused;
        refused.refuseWith = c.status;
        hub.setBehaviour(repoId, "a.bin", refused);

        const auto get = hubErrorOf([&] { blockingRun(client().getFilenames(repo, "v1.0")); });
        const auto head = hubErrorOf([&] { blockingRun(client().httpHead(resolveUrl("a.bin"))); });

        ASSERT_TRUE(get && head) << c.status;
        EXPECT_EQ(get->kind(), c.kind) << c.status;
        EXPECT_EQ(head->kind(), c.kind) << c.status;
        if (c.kind == Kind::fileNotFound) {
            EXPECT_EQ(get->payload(), "v1.0"); // the last path component of the request
            EXPECT_EQ(head->payload(), "a.bin");
        }
        if (c.kind == Kind::httpStatusCode) {
            EXPECT_EQ(get->statusCode(), c.status);
            EXPECT_EQ(head->description(), "HTTP error with status code: " + std::to_string(c.status));
        }
    }
}

TEST_F(HubRequestTest, RedirectStatusesSucceedForHeadButNotForAFinalGet) {
    hub.server().on("GET", "/stuck", [](const httplib::Request&, httplib::Response& response) {
        response.status = 302; // no Location: nothing to follow
    });
    hub.server().on("HEAD", "/stuck",
                    [](const httplib::Request&, httplib::Response& response) { response.status = 302; });
    const auto get = hubErrorOf([&] { blockingRun(client().httpGet(hub.endpoint() + "/stuck")); });
    ASSERT_TRUE(get);
    EXPECT_EQ(get->statusCode(), 302);
    EXPECT_EQ(blockingRun(client().httpHead(hub.endpoint() + "/stuck")).status, 302);
}

TEST_F(HubRequestTest, TransportFailuresWrapForGetAndPassThroughForHead) {
    const auto api = HubApi(cache.path(), std::nullopt, "http://127.0.0.1:1", false, false);
    const auto get = hubErrorOf([&] { blockingRun(api.getFilenames(repo, "main")); });
    ASSERT_TRUE(get);
    EXPECT_EQ(get->kind(), Kind::downloadError);
    EXPECT_THROW(blockingRun(api.httpHead("http://127.0.0.1:1/x")), System::Net::TransportError);
}

TEST_F(HubRequestTest, AnEndpointThatIsNoAddressFailsTheListingClearly) {
    const auto api = HubApi(cache.path(), std::nullopt, std::string(""), false, false);
    const auto error = hubErrorOf([&] { blockingRun(api.getFilenames(repo, "main")); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::downloadError);
}

TEST_F(HubRequestTest, ListingKeepsOrderAndFiltersWithPatterns) {
    addRemoteFile("x", "");
    hub.setListing(repoId,
                   {"z.json", "config.json", "sub/config.json", ".hidden.json", "model.bin", "z.json"});
    const struct {
        std::vector<std::string> globs;
        std::vector<std::string> names;
    } cases[] = {
        {{}, {"z.json", "config.json", "sub/config.json", ".hidden.json", "model.bin", "z.json"}},
        {{"*.json", "config.json"}, {"z.json", "config.json", "sub/config.json", ".hidden.json"}},
        {{"config.json"}, {"config.json"}},
        {{"sub/*"}, {"sub/config.json"}},
        {{"m?del.bin", "nothing"}, {"model.bin"}},
        {{"nothing"}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(blockingRun(client().getFilenames(repo, "main", c.globs)), c.names)
            << testing::PrintToString(c.globs);
    }
}

TEST_F(HubRequestTest, ListingDecoderRefusesWhatIsNoListing) {
    for (const std::string& body : {"", "[]", "{}", R"({"siblings": {}})", R"({"siblings": [{"name": "a"}]})",
                                    R"({"siblings": [{"rfilename": 3}]})", R"({"siblings": [1]})"}) {
        const auto error = hubErrorOf([&] { HubApi::decodeListing(body); });
        ASSERT_TRUE(error) << body;
        EXPECT_EQ(error->kind(), Kind::parse) << body;
    }
    EXPECT_EQ(HubApi::decodeListing(R"({"siblings": [{"rfilename": "a", "size": 1}], "sha": "x"})"),
              std::vector<std::string>{"a"});
}

TEST_F(HubRequestTest, SiblingsCodeWithTheirOwnKeysOnly) {
    const auto decoded = HubApi::decodeSiblingsResponse(
        nlohmann::json::parse(R"({"siblings": [{"rfilename": "a/b.json", "size": 3}], "sha": "x"})"));
    EXPECT_EQ(decoded, (HubApi::SiblingsResponse{{HubApi::Sibling{"a/b.json"}}}));
    EXPECT_EQ(HubApi::encode(decoded), nlohmann::json::parse(R"({"siblings": [{"rfilename": "a/b.json"}]})"));
    EXPECT_EQ(HubApi::decodeSiblingsResponse(HubApi::encode(decoded)), decoded);
    for (const char* bad : {R"({})", R"({"siblings": {}})", R"({"siblings": [{"name": "a"}]})",
                            R"({"siblings": [{"rfilename": null}]})", R"([])"}) {
        const auto error = hubErrorOf([&] { HubApi::decodeSiblingsResponse(nlohmann::json::parse(bad)); });
        ASSERT_TRUE(error) << bad;
        EXPECT_EQ(error->kind(), Kind::parse) << bad;
    }
}

// A listing is small: an answer past a generous bound is refused as it arrives instead of filling memory.
TEST_F(HubRequestTest, AnAnswerLargerThanAnyListingIsRefused) {
    // Valid JSON once whole, sent in pieces without an announced length.
    hub.server().on("GET", "/api/models/owner/model/revision/huge",
                    [](const httplib::Request&, httplib::Response& response) {
                        response.set_chunked_content_provider(
                            "application/json", [](std::size_t offset, httplib::DataSink& sink) {
                                static const std::string open = R"({"siblings": [)";
                                static const std::string padding(64 * 1024, ' ');
                                if (offset == 0) {
                                    return sink.write(open.data(), open.size());
                                }
                                if (offset > HubApi::maxJsonAnswerSize) {
                                    sink.write("]}", 2);
                                    sink.done();
                                    return true;
                                }
                                return sink.write(padding.data(), padding.size());
                            });
                    });

    const auto error = hubErrorOf([&] { blockingRun(client().getFilenames(repo, "huge")); });

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::downloadError);
    EXPECT_NE(error->description().find("64 MiB"), std::string::npos) << error->description();
}

TEST_F(HubRequestTest, ListedNamesThatLeaveTheRepositoryFolderAreRefused) {
    for (const std::string& name : {"../escape", "sub/../../escape", "/etc/passwd", "..", "", "a/.."}) {
        hub.setListing(repoId, {"fine.json", name});
        const auto error = hubErrorOf([&] { blockingRun(client().getFilenames(repo, "main")); });
        ASSERT_TRUE(error) << name;
        EXPECT_EQ(error->kind(), Kind::parseError) << name;
    }
    hub.setListing(repoId, {"a..b/..c", "dots.../x"});
    EXPECT_EQ(blockingRun(client().getFilenames(repo, "main")).size(), 2u);
}

TEST_F(HubRequestTest, HeadFollowsARelativeRedirectWithHeadAndTheFirstRequestsHeaders) {
    addRemoteFile("a.bin", "abc");
    FileBehaviour relative;
    relative.redirect = FileBehaviour::Redirect::relative;
    hub.setBehaviour(repoId, "a.bin", relative);

    const auto response = blockingRun(client().httpHead(resolveUrl("a.bin")));

    EXPECT_EQ(response.status, 200);
    const auto heads = hub.requests("HEAD");
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[1].target, "/cdn/models/owner/model/a.bin");
    EXPECT_EQ(heads[1].header("Authorization"), "Bearer secret-token");
    EXPECT_EQ(heads[1].header("Accept-Encoding"), "identity");
    EXPECT_EQ(heads[1].header("Location"), hub.endpoint() + "/cdn/models/owner/model/a.bin");
    EXPECT_TRUE(hub.requests("GET").empty()); // never a body download
    const auto metadata = HubApi::fileMetadata(response, resolveUrl("a.bin"));
    EXPECT_EQ(metadata.location, hub.endpoint() + "/cdn/models/owner/model/a.bin");
}

TEST_F(HubRequestTest, HeadLeavesARedirectToAnotherHostForTheCaller) {
    addRemoteFile("a.bin", "abc");
    FileBehaviour elsewhere;
    elsewhere.redirect = FileBehaviour::Redirect::anotherHost;
    hub.setBehaviour(repoId, "a.bin", elsewhere);

    const auto metadata = blockingRun(client().getFileMetadata(resolveUrl("a.bin")));

    EXPECT_EQ(hub.requests("HEAD").size(), 1u);
    EXPECT_TRUE(metadata.location.starts_with("http://localhost:")) << metadata.location;
    EXPECT_EQ(metadata.etag, System::Crypto::Sha256::hexDigest("abc")); // the linked etag, not the blob's
    EXPECT_EQ(metadata.size, 3);
    EXPECT_EQ(metadata.commitHash, hub.commit(repoId));
}

TEST_F(HubRequestTest, ARelativeRedirectLoopIsBounded) {
    hub.server().on("HEAD", "/loop", [](const httplib::Request&, httplib::Response& response) {
        response.status = 307;
        response.set_header("Location", "/loop?again");
    });
    try {
        blockingRun(client().httpHead(hub.endpoint() + "/loop"));
        FAIL() << "a redirect loop ended";
    } catch (const System::Net::TransportError& error) {
        EXPECT_EQ(error.code(), System::Net::TransportError::Code::tooManyRedirects);
    }
    EXPECT_EQ(hub.requests("HEAD").size(), 11u);
}

TEST_F(HubRequestTest, ARelativeRedirectWithoutAQueryDropsTheFirstQuery) {
    hub.server().on("HEAD", "/first", [](const httplib::Request&, httplib::Response& response) {
        response.status = 301;
        response.set_header("Location", "/second");
    });
    hub.server().on("HEAD", "/second",
                    [](const httplib::Request&, httplib::Response& response) { response.status = 200; });
    EXPECT_EQ(blockingRun(client().httpHead(hub.endpoint() + "/first?q=1")).status, 200);
    const auto heads = hub.requests("HEAD");
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[1].target, "/second");
}

} // namespace
} // namespace VuzadoDudi::HubTests
