#include "VuzadoDudi/External/Hub/HubApi.h"

#include "System/Concurrency/SerialQueue.h"
#include "System/Crypto/Sha256.h"
#include "System/Json/BoundedJson.h"
#include "System/Log/Logger.h"
#include "System/Net/HttpClient.h"
#include "System/Net/Url.h"
#include "System/Paths/Files.h"
#include "System/Paths/Paths.h"
#include "VuzadoDudi/FoundationExtensions.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>
#include <unordered_set>

#ifndef PARLINDO_HUB_ENDPOINT
#define PARLINDO_HUB_ENDPOINT "https://hub.invalid"
#endif

namespace fs = std::filesystem;
using System::Concurrency::Task;
using System::Net::HttpRequest;
using System::Net::HttpResponse;
using VuzadoDudi::Hub::HubClientError;

namespace VuzadoDudi {

namespace {

const System::Log::Logger& logger() {
    static const System::Log::Logger log{"com.tessarin.Tessarin", "HubApi"};
    return log;
}

constexpr int kMaxHeadRedirects = 10;
const auto kRequestTimeout = System::Concurrency::Duration::seconds(std::int64_t{60});

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && isWhiteSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isWhiteSpace(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t minimum = 0;
        std::uint32_t code = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            extra = 1, minimum = 0x80, code = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            extra = 2, minimum = 0x800, code = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            extra = 3, minimum = 0x10000, code = byte & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// "~" and "~/..." name the home folder.
std::optional<fs::path> expandingTilde(const std::string& path) {
    if (path == "~" || path.starts_with("~/")) {
        try {
            return System::Paths::homeDirectory() / path.substr(std::min<std::size_t>(2, path.size()));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return fs::path(path);
}

// A token file's text without surrounding white space; nothing when it is missing, unreadable or not UTF-8.
std::optional<std::string> tokenFromFile(const std::optional<fs::path>& path) {
    if (!path) {
        return std::nullopt;
    }
    try {
        const auto contents = System::Paths::readFile(*path);
        if (!contents || !isValidUtf8(*contents)) {
            return std::nullopt;
        }
        return trimmed(*contents);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string percentDecoded(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        int value = 0;
        if (text[i] == '%' && i + 2 < text.size() &&
            std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr == text.data() + i + 3) {
            decoded.push_back(static_cast<char>(value));
            i += 2;
        } else {
            decoded.push_back(text[i]);
        }
    }
    return decoded;
}

// The last component of a URL's path, percent-decoded: what a 404 names.
std::string lastPathComponent(const std::string& url) {
    std::string_view path = url;
    if (const auto scheme = path.find("://"); scheme != std::string_view::npos) {
        path.remove_prefix(scheme + 3);
        const auto slash = path.find('/');
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
    }
    path = path.substr(0, path.find_first_of("?#"));
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    if (path.empty() || path == "/") {
        return "/";
    }
    return percentDecoded(path.substr(path.rfind('/') + 1));
}

std::vector<std::string_view> splitOnSlash(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = std::min(text.find('/', start), text.size());
        if (end > start) {
            parts.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

void mapStatus(const HttpResponse& response, const std::string& url, int lastSuccess) {
    const int status = response.status;
    if (status >= 200 && status <= lastSuccess) {
        return;
    }
    if (status == 401 || status == 403) {
        throw HubClientError::authorizationRequired();
    }
    if (status == 404) {
        throw HubClientError::fileNotFound(lastPathComponent(url));
    }
    throw HubClientError::httpStatusCode(status);
}

HttpRequest makeRequest(std::string url, const std::optional<std::string>& token) {
    HttpRequest request;
    request.url = std::move(url);
    request.timeout = kRequestTimeout;
    request.maxResponseSize = HubApi::maxJsonAnswerSize;
    if (auto value = HubApi::authorization(token)) {
        request.setHeader("Authorization", std::move(*value));
    }
    return request;
}

bool matchesHex(std::string_view text, std::size_t length) {
    return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

} // namespace

// --- repository types and errors
// ------------------------------------------------------------------------------

std::string_view HubApi::rawValue(RepoType type) {
    switch (type) {
    case RepoType::models:
        return "models";
    case RepoType::datasets:
        return "datasets";
    case RepoType::spaces:
        return "spaces";
    }
    return "models";
}

std::optional<HubApi::RepoType> HubApi::repoTypeFromRawValue(std::string_view text) {
    for (const auto type : {RepoType::models, RepoType::datasets, RepoType::spaces}) {
        if (rawValue(type) == text) {
            return type;
        }
    }
    return std::nullopt;
}

nlohmann::json HubApi::encode(const Repo& repo) {
    return {{"id", repo.id}, {"type", rawValue(repo.type)}};
}

HubApi::Repo HubApi::decodeRepo(const nlohmann::json& json) {
    if (!json.is_object()) {
        throw HubClientError::parse();
    }
    const auto id = json.find("id");
    const auto type = json.find("type");
    if (id == json.end() || !id->is_string() || type == json.end() || !type->is_string()) {
        throw HubClientError::parse();
    }
    const auto repoType = repoTypeFromRawValue(type->get_ref<const std::string&>());
    if (!repoType) {
        throw HubClientError::parse();
    }
    return Repo{id->get<std::string>(), *repoType};
}

HubApi::SiblingsResponse HubApi::decodeSiblingsResponse(const nlohmann::json& json) {
    if (!json.is_object()) {
        throw HubClientError::parse();
    }
    const auto siblings = json.find("siblings");
    if (siblings == json.end() || !siblings->is_array()) {
        throw HubClientError::parse();
    }
    SiblingsResponse response;
    response.siblings.reserve(siblings->size());
    for (const auto& sibling : *siblings) {
        if (!sibling.is_object()) {
            throw HubClientError::parse();
        }
        const auto name = sibling.find("rfilename");
        if (name == sibling.end() || !name->is_string()) {
            throw HubClientError::parse();
        }
        response.siblings.push_back(Sibling{name->get<std::string>()});
    }
    return response;
}

nlohmann::json HubApi::encode(const SiblingsResponse& response) {
    nlohmann::json siblings = nlohmann::json::array();
    for (const auto& sibling : response.siblings) {
        siblings.push_back({{"rfilename", sibling.rfilename}});
    }
    return {{"siblings", std::move(siblings)}};
}

HubApi::EnvironmentError::EnvironmentError(Kind kind, std::string_view prefix, std::string message)
    : DescribedError(std::string(prefix) + message)
    , kind_(kind)
    , message_(std::move(message)) {}

HubApi::EnvironmentError HubApi::EnvironmentError::invalidMetadataError(std::string message) {
    return EnvironmentError(Kind::invalidMetadataError, "Invalid metadata: ", std::move(message));
}
HubApi::EnvironmentError HubApi::EnvironmentError::offlineModeError(std::string message) {
    return EnvironmentError(Kind::offlineModeError, "Offline mode error: ", std::move(message));
}
HubApi::EnvironmentError HubApi::EnvironmentError::fileIntegrityError(std::string message) {
    return EnvironmentError(Kind::fileIntegrityError, "File integrity check failed: ", std::move(message));
}
HubApi::EnvironmentError HubApi::EnvironmentError::fileWriteError(std::string message) {
    return EnvironmentError(Kind::fileWriteError, "Failed to write file: ", std::move(message));
}

HubApi::InvalidTokenError::InvalidTokenError()
    : DescribedError("The model hub token holds control characters, so it was not sent. Check HUB_TOKEN, "
                     "MODEL_HUB_TOKEN and the token file.") {}

// --- construction
// ---------------------------------------------------------------------------------------------

HubApi::HubApi(std::optional<fs::path> downloadBase, std::optional<std::string> hubToken,
               std::optional<std::string> endpoint, bool useBackgroundSession,
               std::optional<bool> useOfflineMode)
    : hubToken(hubToken ? std::move(hubToken) : hubTokenFromEnv())
    , useBackgroundSession(useBackgroundSession)
    , useOfflineMode(useOfflineMode)
    // One monitor serves every client: a client's own would only watch the same kernel tables again.
    , networkMonitor(NetworkMonitor::shared()) {
    if (environment("CI_DISABLE_NETWORK_MONITOR") == "1") {
        std::fputs(this->hubToken ? "✅ got token\n" : "🔴 NO TOKEN **\n", stdout);
        std::fflush(stdout);
    }
    if (downloadBase) {
        this->downloadBase = std::move(*downloadBase);
    } else {
        this->downloadBase = System::Paths::documentsDirectory() / "modelhub";
    }
    this->endpoint = endpoint ? std::move(*endpoint) : hubEndpointFromEnv();
    networkMonitor->startMonitoring();
}

std::optional<std::string> HubApi::hubTokenFromEnv() {
    const auto nonEmpty = [](std::optional<std::string> token) -> std::optional<std::string> {
        if (token) {
            token = trimmed(*token);
        }
        return token && !token->empty() ? token : std::nullopt;
    };
    if (auto token = nonEmpty(environment("HUB_TOKEN"))) {
        return token;
    }
    if (auto token = nonEmpty(environment("MODEL_HUB_TOKEN"))) {
        return token;
    }
    if (const auto path = environment("HUB_TOKEN_PATH")) {
        if (auto token = nonEmpty(tokenFromFile(expandingTilde(*path)))) {
            return token;
        }
    }
    if (const auto home = environment("HUB_HOME")) {
        if (const auto folder = expandingTilde(*home)) {
            if (auto token = nonEmpty(tokenFromFile(*folder / "token"))) {
                return token;
            }
        }
    }
    for (const char* fallback : {".cache/modelhub/token", ".modelhub/token"}) {
        try {
            if (auto token = nonEmpty(tokenFromFile(System::Paths::homeDirectory() / fallback))) {
                return token;
            }
        } catch (const std::exception&) {
            // No home folder: no fallback files either.
        }
    }
    return std::nullopt;
}

std::string HubApi::defaultEndpoint() {
    return PARLINDO_HUB_ENDPOINT;
}

std::string HubApi::hubEndpointFromEnv() {
    return environment("HUB_ENDPOINT").value_or(defaultEndpoint());
}

fs::path HubApi::localRepoLocation(const Repo& repo) const {
    return downloadBase / rawValue(repo.type) / fs::path(repo.id).relative_path();
}

fs::path HubApi::metadataLocation(const Repo& repo) const {
    return localRepoLocation(repo) / ".cache" / "modelhub" / "download";
}

std::optional<std::string> HubApi::authorization(const std::optional<std::string>& token) {
    if (!token || token->empty()) {
        return std::nullopt;
    }
    for (const char c : *token) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            throw InvalidTokenError();
        }
    }
    return "Bearer " + *token;
}

System::Net::HttpClient& HubApi::httpClient() {
    static System::Net::HttpClient client;
    return client;
}

System::Concurrency::Executor& HubApi::backgroundExecutor() {
    static System::Concurrency::SerialQueue queue("HubApi.background");
    return queue;
}

std::string HubApi::encodedPath(std::string_view path) {
    std::string encoded;
    for (const auto segment : splitOnSlash(path)) {
        encoded += (encoded.empty() ? "" : "/") + System::Net::percentEncode(segment);
    }
    return encoded;
}

// --- requests
// -------------------------------------------------------------------------------------------------

Task<HttpResponse> HubApi::httpGet(std::string url) const {
    auto request = makeRequest(url, hubToken);
    std::exception_ptr failure;
    try {
        auto response = co_await httpClient().send(std::move(request));
        mapStatus(response, url, 299);
        co_return response;
    } catch (const HubClientError&) {
        throw;
    } catch (const System::Net::TransportError& error) {
        if (error.code() == System::Net::TransportError::Code::responseTooLarge) {
            throw HubClientError::downloadError("the hub's answer is larger than " +
                                                std::to_string(maxJsonAnswerSize >> 20) +
                                                " MiB, far more than any listing holds");
        }
        failure = std::current_exception();
    } catch (...) {
        failure = std::current_exception();
    }
    throw HubClientError::downloadError(System::Log::errorDescription(failure));
}

Task<HttpResponse> HubApi::httpHead(std::string url) const {
    const auto initial = makeRequest(url, hubToken);
    auto request = initial;
    request.method = "HEAD";
    request.setHeader("Accept-Encoding", "identity");
    request.followRedirects = false;
    HttpResponse response;
    for (int hop = 0;; ++hop) {
        response = co_await httpClient().send(request);
        const auto location = response.header("Location");
        if (response.status < 300 || response.status > 399 || !location) {
            break;
        }
        // The hub sends file requests on to another host; that answer, with its linked headers, is what the
        // caller reads. Only a relative redirect (a renamed repository, say) is followed here, and with HEAD.
        const bool hasHost = location->starts_with("//") || System::Net::isAbsoluteURL(*location);
        const auto resolved = hasHost ? std::nullopt : System::Net::resolvingReference(url, *location);
        if (!resolved) {
            break;
        }
        if (hop == kMaxHeadRedirects) {
            throw System::Net::TransportError(System::Net::TransportError::Code::tooManyRedirects,
                                              "more than " + std::to_string(kMaxHeadRedirects) +
                                                  " relative redirects");
        }
        request = initial;
        request.method = "HEAD";
        request.url = *resolved;
        request.setHeader("Accept-Encoding", "identity");
        request.setHeader("Location", *resolved);
        request.followRedirects = false;
    }
    mapStatus(response, url, 399);
    co_return response;
}

Task<std::vector<std::string>> HubApi::getFilenames(Repo repo, std::string revision,
                                                    std::vector<std::string> globs) const {
    const auto url = System::Net::appendingPath(endpoint, "api/" + std::string(rawValue(repo.type)) + "/" +
                                                              encodedPath(repo.id) + "/revision/" +
                                                              System::Net::percentEncode(revision));
    if (!url) {
        throw HubClientError::downloadError("the hub address \"" + endpoint + "\" is not an absolute URL");
    }
    const auto response = co_await httpGet(*url);
    auto names = decodeListing(response.body);
    if (globs.empty()) {
        co_return names;
    }
    // Each wanted name once, in the listing's order.
    std::unordered_set<std::string> wanted;
    for (const auto& glob : globs) {
        for (auto& name : matching(names, glob)) {
            wanted.insert(std::move(name));
        }
    }
    std::vector<std::string> result;
    for (auto& name : orderedSet(names)) {
        if (wanted.contains(name)) {
            result.push_back(std::move(name));
        }
    }
    co_return result;
}

std::vector<std::string> HubApi::decodeListing(std::string_view body) {
    const auto document = System::Json::tryParse(body);
    if (!document) {
        throw HubClientError::parse();
    }
    auto response = decodeSiblingsResponse(*document);
    std::vector<std::string> names;
    names.reserve(response.siblings.size());
    for (auto& sibling : response.siblings) {
        checkRelativeName(sibling.rfilename);
        names.push_back(std::move(sibling.rfilename));
    }
    return names;
}

bool HubApi::isSha256(std::string_view text) {
    return matchesHex(text, 64);
}

bool HubApi::isCommitHash(std::string_view text) {
    return matchesHex(text, 40);
}

void HubApi::checkRelativeName(std::string_view name) {
    bool climbs = false;
    for (const auto part : splitOnSlash(name)) {
        climbs = climbs || part == "..";
    }
    if (name.empty() || name.front() == '/' || climbs || name.find('\0') != std::string_view::npos) {
        throw HubClientError::parseError("the hub named a file that would be stored outside its repository "
                                         "folder: \"" +
                                         std::string(name.substr(0, name.find('\0'))) + "\"");
    }
}

void HubApi::checkEtag(std::string_view etag, std::string_view filename) {
    if (etag.find('/') != std::string_view::npos || etag.find('\0') != std::string_view::npos) {
        throw EnvironmentError::invalidMetadataError("the hub's etag for " + std::string(filename) +
                                                     " holds a \"/\", so it cannot name a partial file");
    }
}

// --- configuration files
// ------------------------------------------------------------------------------------

Config HubApi::configuration(const fs::path& file) {
    const auto bytes = System::Paths::readFile(file);
    if (!bytes) {
        throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory),
                                "Couldn't read " + file.string());
    }
    Config parsed;
    try {
        parsed = Config::parseJSON(*bytes);
    } catch (const ConfigError&) {
        const std::string url = "file://" + fs::absolute(file).string();
        throw HubClientError::jsonSerialization(url, "JSON Serialization failed for " + url +
                                                         ". Please verify that you have set the HUB_TOKEN "
                                                         "environment variable.");
    }
    if (parsed.kind() != Config::Kind::dictionary) {
        throw HubClientError::parse();
    }
    return parsed;
}

// --- metadata
// -------------------------------------------------------------------------------------------------

Task<HubApi::FileMetadata> HubApi::getFileMetadata(std::string url) const {
    const auto response = co_await httpHead(url);
    co_return fileMetadata(response, url);
}

std::optional<std::string> HubApi::normalizeEtag(std::optional<std::string> etag) {
    if (!etag) {
        return std::nullopt;
    }
    std::string_view text = *etag;
    if (text.starts_with("W/")) {
        text.remove_prefix(2);
    }
    while (!text.empty() && text.front() == '"') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == '"') {
        text.remove_suffix(1);
    }
    return std::string(text);
}

HubApi::FileMetadata HubApi::fileMetadata(const HttpResponse& response, const std::string& requestedUrl) {
    std::optional<std::string> location;
    if (response.status == 302) {
        location = response.header("Location");
    } else if (!response.url.empty()) {
        location = response.url;
    }
    FileMetadata metadata;
    metadata.commitHash = response.header("X-Repo-Commit");
    // The linked headers describe the file itself when the answer is a redirect; present but empty still
    // wins.
    auto etag = response.header("X-Linked-Etag");
    metadata.etag = normalizeEtag(etag ? etag : response.header("ETag"));
    metadata.location = location.value_or(requestedUrl);
    auto sizeText = response.header("X-Linked-Size");
    if (!sizeText) {
        sizeText = response.header("Content-Length");
    }
    const std::string sizeValue = sizeText.value_or("");
    std::string_view digits = sizeValue;
    const bool negative = digits.starts_with('-');
    if (digits.starts_with('+') || negative) {
        digits.remove_prefix(1);
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    const auto limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
    if (!digits.empty() && error == std::errc() && end == digits.data() + digits.size() &&
        magnitude <= limit) {
        metadata.size =
            negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    }
    return metadata;
}

HubApi::LocalDownloadFileMetadata HubApi::parseDownloadMetadata(std::string_view text,
                                                                const std::string& filename) {
    // Every newline code point separates, so a carriage return before a line feed leaves an empty line.
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t newline = 0;
        if (byte == '\n' || byte == '\r' || byte == '\v' || byte == '\f') {
            newline = 1;
        } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
            newline = 2;
        } else if (byte == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                    static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            newline = 3;
        }
        if (newline > 0) {
            lines.emplace_back();
            i += newline - 1;
        } else {
            lines.back().push_back(text[i]);
        }
    }
    if (lines.size() < 3) {
        throw EnvironmentError::invalidMetadataError("Metadata file is missing required fields");
    }
    const std::string timestampText = trimmed(lines[2]);
    double seconds = 0;
    const auto [end, error] =
        std::from_chars(timestampText.data(), timestampText.data() + timestampText.size(), seconds);
    // Beyond a few centuries either way the time cannot be held; such a record is as damaged as a word.
    if (timestampText.empty() || error != std::errc() || end != timestampText.data() + timestampText.size() ||
        !std::isfinite(seconds) || std::fabs(seconds) > 9.0e9) {
        throw EnvironmentError::invalidMetadataError("Invalid timestamp format");
    }
    LocalDownloadFileMetadata record;
    record.commitHash = trimmed(lines[0]);
    record.etag = trimmed(lines[1]);
    record.filename = filename;
    for (std::size_t at; (at = record.filename.find(".metadata")) != std::string::npos;) {
        record.filename.erase(at, 9);
    }
    record.timestamp =
        std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(seconds)));
    return record;
}

std::optional<HubApi::LocalDownloadFileMetadata> HubApi::readDownloadMetadata(const fs::path& metadataPath) {
    std::error_code missing;
    if (!fs::exists(metadataPath, missing)) {
        return std::nullopt;
    }
    try {
        const auto text = System::Paths::readFile(metadataPath);
        if (!text) {
            return std::nullopt;
        }
        if (!isValidUtf8(*text)) {
            throw std::runtime_error("The file is not UTF-8 text.");
        }
        try {
            return parseDownloadMetadata(*text, metadataPath.filename().string());
        } catch (const EnvironmentError& damaged) {
            logger().error("Invalid metadata file {}: {}. Removing it from disk and continuing.",
                           System::Log::Public(metadataPath.string()),
                           System::Log::Public(damaged.description()));
        }
    } catch (const EnvironmentError&) {
        throw;
    } catch (const std::exception& unreadable) {
        logger().error("Error reading metadata file {}: {}. Removing it from disk and continuing.",
                       System::Log::Public(metadataPath.string()),
                       System::Log::Public(std::string(unreadable.what())));
    }
    std::error_code removal;
    if (!fs::remove(metadataPath, removal) && removal) {
        throw EnvironmentError::invalidMetadataError("Could not remove corrupted metadata file: " +
                                                     removal.message());
    }
    return std::nullopt;
}

void HubApi::writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                   const fs::path& metadataPath) {
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, now, std::chars_format::fixed);
    std::string seconds(buffer, error == std::errc() ? end : buffer);
    if (seconds.find('.') == std::string::npos) {
        seconds += ".0";
    }
    const std::string text = commitHash + "\n" + etag + "\n" + seconds + "\n";
    try {
        fs::create_directories(metadataPath.parent_path());
        System::Paths::writeFileAtomically(metadataPath, text, 0644);
    } catch (const std::exception& failure) {
        throw EnvironmentError::fileWriteError("Failed to write metadata to " + metadataPath.string() + ": " +
                                               failure.what());
    }
}

std::string HubApi::computeFileHash(const fs::path& file) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw HubClientError::fileNotFound(file.filename().string());
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    System::Crypto::Sha256 hash;
    std::string buffer(1 << 20, '\0');
    while (true) {
        const ssize_t count = read(fd, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            // A hash of part of the file would pass for the hash of a file that is not there.
            throw HubClientError::fileSystemError(std::make_exception_ptr(
                std::system_error(errno, std::generic_category(), "Couldn't read " + file.string())));
        }
        if (count == 0) {
            break;
        }
        hash.update(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    }
    return System::Crypto::Sha256::hex(hash.finish());
}

} // namespace VuzadoDudi
