#pragma once

#include "System/Concurrency/Task.h"
#include "System/Log/ErrorDescription.h"
#include "System/Net/HttpResponse.h"
#include "VuzadoDudi/Config.h"
#include "VuzadoDudi/External/Hub/HubClientError.h"
#include "VuzadoDudi/External/Hub/NetworkMonitor.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace System::Net {
class HttpClient;
}

namespace VuzadoDudi {

class Progress;

// The client of a model hub: a web service that hosts repositories of model files, lists their files per
// revision and serves each file. Files are cached below `downloadBase`, one folder per repository, with a
// small record per file of the version last fetched. A value type: copies share nothing but the network
// monitor.
struct HubApi {
    enum class RepoType { models, datasets, spaces };
    static std::string_view rawValue(RepoType type);
    static std::optional<RepoType> repoTypeFromRawValue(std::string_view text);

    struct Repo {
        std::string id; // normally an owner and a name joined by "/"
        RepoType type = RepoType::models;
        bool operator==(const Repo&) const = default;
    };
    // JSON form {"id": ..., "type": ...}; decoding throws HubClientError (parse) for anything else, a type
    // outside the three words included.
    static nlohmann::json encode(const Repo& repo);
    static Repo decodeRepo(const nlohmann::json& json);

    // The local-cache, offline and integrity errors of the client.
    class EnvironmentError : public System::Log::DescribedError {
    public:
        enum class Kind { invalidMetadataError, offlineModeError, fileIntegrityError, fileWriteError };
        static EnvironmentError invalidMetadataError(std::string message);
        static EnvironmentError offlineModeError(std::string message);
        static EnvironmentError fileIntegrityError(std::string message);
        static EnvironmentError fileWriteError(std::string message);

        Kind kind() const { return kind_; }
        const std::string& message() const { return message_; }

    private:
        EnvironmentError(Kind kind, std::string_view prefix, std::string message);
        Kind kind_;
        std::string message_;
    };

    // A token that cannot be sent: it holds control characters, which would break or forge the request's
    // header. Raised when a request would carry it, so nothing that needs no token fails.
    class InvalidTokenError : public System::Log::DescribedError {
    public:
        InvalidTokenError();
    };

    // What the hub says about one file.
    struct FileMetadata {
        std::optional<std::string> commitHash;
        std::optional<std::string> etag; // normalized; 64 lower-case hex digits when it is the SHA-256
        std::string location;            // where the bytes are served
        std::optional<std::int64_t> size;
        bool operator==(const FileMetadata&) const = default;
    };

    // What the cache recorded for one file, in its ".metadata" record.
    struct LocalDownloadFileMetadata {
        std::string commitHash;
        std::string etag;
        std::string filename;
        std::chrono::system_clock::time_point timestamp;
        bool operator==(const LocalDownloadFileMetadata&) const = default;
    };

    // The listing's JSON: {"siblings": [{"rfilename": ...}, ...]}; other keys are ignored.
    struct Sibling {
        std::string rfilename;
        bool operator==(const Sibling&) const = default;
    };
    struct SiblingsResponse {
        std::vector<Sibling> siblings;
        bool operator==(const SiblingsResponse&) const = default;
    };
    // Throws HubClientError (parse) for a document without the required keys.
    static SiblingsResponse decodeSiblingsResponse(const nlohmann::json& json);
    static nlohmann::json encode(const SiblingsResponse& response);

    struct HubFileDownloader;

    std::filesystem::path downloadBase;
    std::optional<std::string> hubToken;
    std::string endpoint;
    bool useBackgroundSession = false;
    std::optional<bool> useOfflineMode;
    std::shared_ptr<NetworkMonitor> networkMonitor;
    static constexpr std::string_view sha256Pattern = "^[0-9a-f]{64}$";
    static constexpr std::string_view commitHashPattern = "^[0-9a-f]{40}$";
    // The most a JSON answer of the hub (a listing) may hold; a real one is far smaller. File bodies are
    // streamed to disk and not bounded by it.
    static constexpr std::size_t maxJsonAnswerSize = 64 * 1024 * 1024;

    // Missing settings come from the environment: the token from the token search, the endpoint from
    // HUB_ENDPOINT or the build's default, the cache below the documents folder. Never fails.
    explicit HubApi(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                    std::optional<std::string> hubToken = std::nullopt,
                    std::optional<std::string> endpoint = std::nullopt, bool useBackgroundSession = false,
                    std::optional<bool> useOfflineMode = std::nullopt);

    // The token search: HUB_TOKEN, MODEL_HUB_TOKEN, the file HUB_TOKEN_PATH names, $HUB_HOME/token,
    // ~/.cache/modelhub/token, ~/.modelhub/token; the first non-empty one, without surrounding white space.
    static std::optional<std::string> hubTokenFromEnv();
    // HUB_ENDPOINT when set (even empty), else the build's default endpoint.
    static std::string hubEndpointFromEnv();
    static std::string defaultEndpoint();

    // The cache layout.
    std::filesystem::path localRepoLocation(const Repo& repo) const;
    std::filesystem::path metadataLocation(const Repo& repo) const;

    // An authenticated GET of a JSON answer of at most maxJsonAnswerSize bytes; statuses outside 200-299 and
    // transport failures become HubClientError.
    System::Concurrency::Task<System::Net::HttpResponse> httpGet(std::string url) const;
    // An authenticated HEAD that follows only relative redirects, with HEAD, a bounded number of times; an
    // absolute redirect comes back as the (successful) answer. Transport failures are thrown unchanged.
    System::Concurrency::Task<System::Net::HttpResponse> httpHead(std::string url) const;
    // The repository's file names at `revision`, filtered by shell-style patterns when any are given.
    System::Concurrency::Task<std::vector<std::string>>
    getFilenames(Repo repo, std::string revision, std::vector<std::string> globs = {}) const;
    // The listing's file names in order; throws HubClientError (parse) for a listing that is not one, and
    // (parseError) for a name that would lead outside the repository folder.
    static std::vector<std::string> decodeListing(std::string_view body);

    System::Concurrency::Task<FileMetadata> getFileMetadata(std::string url) const;
    static FileMetadata fileMetadata(const System::Net::HttpResponse& response,
                                     const std::string& requestedUrl);
    static std::optional<std::string> normalizeEtag(std::optional<std::string> etag);

    // One local JSON configuration file as a Config. Throws std::system_error when it cannot be read,
    // HubClientError (jsonSerialization, naming the file) when it is no JSON, and (parse) when its top level
    // is no object.
    static Config configuration(const std::filesystem::path& file);

    // Makes the repository's files at `revision` (those matching `globs`, when any are given) current in the
    // cache, one after another, and returns the repository folder. Offline (when `useOfflineMode` says so, or
    // the network monitor has no path) it downloads nothing and checks the cached files against their records
    // instead. `progressHandler` sees the whole snapshot's progress after each report.
    using ProgressHandler = std::function<void(const Progress&)>;
    System::Concurrency::Task<std::filesystem::path> snapshot(Repo repo, std::string revision = "main",
                                                              std::vector<std::string> globs = {},
                                                              ProgressHandler progressHandler = {}) const;

    // The record at `metadataPath`, or nothing when there is none or it was damaged (then it is removed).
    static std::optional<LocalDownloadFileMetadata>
    readDownloadMetadata(const std::filesystem::path& metadataPath);
    // The record's fields from its text; throws EnvironmentError (invalidMetadataError) for a damaged one.
    static LocalDownloadFileMetadata parseDownloadMetadata(std::string_view text,
                                                           const std::string& filename);
    static void writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                      const std::filesystem::path& metadataPath);
    // SHA-256 of the file as 64 lower-case hex digits, read in 1 MiB pieces.
    static std::string computeFileHash(const std::filesystem::path& file);

    // Throws HubClientError (parseError) for a repository-relative name that is empty, absolute or climbs out
    // with "..", and EnvironmentError (invalidMetadataError) for an etag holding "/": both become local
    // paths.
    static void checkRelativeName(std::string_view name);
    static void checkEtag(std::string_view etag, std::string_view filename);

    static bool isSha256(std::string_view text);
    static bool isCommitHash(std::string_view text);

    // The Authorization value for `token`: nothing for an absent or empty one; throws InvalidTokenError for
    // one holding control characters.
    static std::optional<std::string> authorization(const std::optional<std::string>& token);

    // The client every hub request goes through.
    static System::Net::HttpClient& httpClient();
    // Where hub work that may outlive its caller runs (transfers, configuration loading): a worker of its own
    // that lives as long as the process.
    static System::Concurrency::Executor& backgroundExecutor();
    // "a b/c" as "a%20b/c": each "/"-separated segment percent-encoded on its own, empty segments dropped.
    static std::string encodedPath(std::string_view path);
};

} // namespace VuzadoDudi

template <>
struct std::hash<VuzadoDudi::HubApi::Repo> {
    std::size_t operator()(const VuzadoDudi::HubApi::Repo& repo) const noexcept {
        return std::hash<std::string>()(repo.id) * 31 +
               std::hash<std::string_view>()(VuzadoDudi::HubApi::rawValue(repo.type));
    }
};
