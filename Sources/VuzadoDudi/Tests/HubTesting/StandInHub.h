#pragma once

// A stand-in model hub on loopback for tests. It serves folder trees of this machine as hub repositories: the
// revision listing, HEAD answers with the commit, etag and size headers, and GET of each file with byte
// ranges, honouring If-Range as a server must. A test can make it refuse, redirect (to a relative address or
// to another host), leave headers out, cut a body short, replace a file between two requests, ignore or
// refuse ranges, hold an answer back, and read every request exactly as its bytes arrived. Link HubTesting.
//
// A client whose offline flag is unset asks the network monitor, which sees no network on a machine without a
// default route: tests of such clients install an online monitor first (NetworkMonitor::setShared) or pass
// the flag false.

#include "System/Tests/NetTesting/LoopbackServer.h"

#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace VuzadoDudi::HubTesting {

using System::Net::Testing::RecordedRequest;

// How the hub answers for one file of a repository.
struct FileBehaviour {
    // HEAD and GET of the file answered with this status and nothing else.
    std::optional<int> refuseWith;
    enum class Redirect {
        none,
        relative,    // 307 to a path on the same server ("/cdn/..."), where the file is served
        anotherHost, // 302 to the same server under the name "localhost", with the linked etag and size
    };
    Redirect redirect = Redirect::none;
    // Header names left out of HEAD answers: "X-Repo-Commit", "ETag", "X-Linked-Etag", "X-Linked-Size" or
    // "Content-Length" (the answer then has no length at all).
    std::set<std::string> omitHeaders;
    // The etag the hub reports instead of the file's SHA-256.
    std::optional<std::string> etag;
    // Each GET of the file in turn sends this many body bytes and then drops the connection.
    std::deque<std::size_t> cuts;
    // The file as the hub holds it once the first cut GET has begun: its bytes are replaced then (that answer
    // still sends the old ones), and its etag becomes `etag`, or the new bytes' SHA-256 when none is given.
    struct Replacement {
        std::string contents;
        std::optional<std::string> etag;
    };
    std::optional<Replacement> replaceAfterCut;
    bool ignoreRange = false;  // a Range request gets the whole file with 200
    bool refuseRanges = false; // a Range request gets 416
    // Runs on the server's thread when a GET of the file arrives, before it is answered: for a test that
    // holds an answer back. It must not touch the stand-in.
    std::function<void()> onGet;
    // Runs on the server's thread once a GET's body has gone out whole, before the answer ends: for a test
    // that holds back the end of a transfer whose bytes have all arrived. Such answers go out in chunks,
    // without a length, so that the client cannot tell that it has everything. It must not touch the
    // stand-in.
    std::function<void()> beforeEnd;
};

class StandInHub {
public:
    // Throws, loudly, when the server cannot listen on loopback.
    StandInHub();

    // "http://127.0.0.1:<port>": what HUB_ENDPOINT or a client's endpoint names.
    std::string endpoint() const { return server_.url(); }

    // Serves the regular files below `folder` (found afresh on every request, hidden ones included) as the
    // repository `id` of `type` ("models", "datasets" or "spaces"), at every revision.
    void serve(const std::string& id, const std::filesystem::path& folder,
               const std::string& type = "models");
    // The commit every revision of the repository resolves to (40 hex digits unless set otherwise).
    void setCommit(const std::string& id, const std::string& commit);
    std::string commit(const std::string& id) const;
    // The listing names these files, in this order, instead of the folder's own (sorted) list.
    void setListing(const std::string& id, std::vector<std::string> names);
    // The listing request answered with this status.
    void refuseListing(std::optional<int> status);
    // How the file `relativeName` of a repository is answered; replaces what was set for it before.
    void setBehaviour(const std::string& id, const std::string& relativeName, FileBehaviour behaviour);

    std::vector<RecordedRequest> requests() const { return server_.requests(); }
    // The recorded requests of one method, in order of arrival.
    std::vector<RecordedRequest> requests(const std::string& method) const;
    // How many GET requests fetched a file's bytes (not listings).
    std::size_t fileDownloads() const;

    System::Net::Testing::LoopbackServer& server() { return server_; }

private:
    struct Repository {
        std::string type;
        std::string id;
        std::filesystem::path folder;
        std::string commit;
        std::optional<std::vector<std::string>> listing;
        std::map<std::string, FileBehaviour> behaviours;
    };
    struct Target {
        const Repository* repository = nullptr;
        std::string revision;
        std::string file;
        bool viaCdn = false;
    };

    void handle(const httplib::Request& request, httplib::Response& response);
    void answerListing(const Repository& repository, httplib::Response& response);
    void answerFile(const httplib::Request& request, const Target& target, httplib::Response& response);
    std::optional<Target> locate(const std::vector<std::string>& segments, bool& isListing) const;

    mutable std::mutex mutex_;
    std::map<std::string, Repository> repositories_;
    std::optional<int> listingRefusal_;
    // Declared last, so it stops, and its handlers are done, before what they read goes away.
    System::Net::Testing::LoopbackServer server_;
};

} // namespace VuzadoDudi::HubTesting
