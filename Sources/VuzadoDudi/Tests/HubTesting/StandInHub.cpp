#include "VuzadoDudi/Tests/HubTesting/StandInHub.h"

#include "System/Crypto/Sha256.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace VuzadoDudi::HubTesting {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = std::min(text.find(separator, start), text.size());
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string percentDecode(const std::string& text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            decoded.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            decoded.push_back(text[i]);
        }
    }
    return decoded;
}

std::string percentEncodeSegment(const std::string& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded.push_back(c);
        } else {
            encoded += {'%', hex[byte >> 4], hex[byte & 0x0F]};
        }
    }
    return encoded;
}

std::string encodePath(const std::string& path) {
    std::string encoded;
    for (const auto& part : split(path, '/')) {
        encoded += (encoded.empty() ? "" : "/") + percentEncodeSegment(part);
    }
    return encoded;
}

struct FileDescriptor {
    int fd = -1;
    explicit FileDescriptor(const fs::path& path)
        : fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~FileDescriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// The SHA-256 of a file, remembered while its size and modification time stay the same, so that a large
// file served many times is hashed once.
std::string contentHash(const fs::path& path) {
    static std::mutex mutex;
    static std::map<std::string, std::tuple<std::uintmax_t, fs::file_time_type, std::string>> cache;
    const auto size = fs::file_size(path);
    const auto time = fs::last_write_time(path);
    {
        std::lock_guard lock(mutex);
        const auto found = cache.find(path.string());
        if (found != cache.end() && std::get<0>(found->second) == size &&
            std::get<1>(found->second) == time) {
            return std::get<2>(found->second);
        }
    }
    System::Crypto::Sha256 hash;
    std::ifstream in(path, std::ios::binary);
    std::string buffer(1 << 20, '\0');
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        hash.update(std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount())));
    }
    auto hex = System::Crypto::Sha256::hex(hash.finish());
    std::lock_guard lock(mutex);
    cache[path.string()] = {size, time, hex};
    return hex;
}

// Serves bytes [from, from + length) of the file, stopping after `limit` bytes when one is given, which drops
// the connection mid-body. With `beforeEnd` the bytes go out in chunks and it runs after the last of them,
// before the answer ends.
void provideFile(httplib::Response& response, const fs::path& path, std::size_t from, std::size_t length,
                 std::optional<std::size_t> limit, std::function<void()> beforeEnd = {}) {
    auto file = std::make_shared<FileDescriptor>(path);
    const auto provide = [file, from, length, limit](std::size_t offset, std::size_t wanted,
                                                     httplib::DataSink& sink) {
        if (limit && offset >= *limit) {
            return false;
        }
        std::size_t count = std::min<std::size_t>({wanted, length - offset, std::size_t{1} << 20});
        if (limit) {
            count = std::min(count, *limit - offset);
        }
        std::string buffer(count, '\0');
        const auto got = pread(file->fd, buffer.data(), count, static_cast<off_t>(from + offset));
        if (got <= 0) {
            return false;
        }
        return sink.write(buffer.data(), static_cast<std::size_t>(got));
    };
    if (!beforeEnd) {
        response.set_content_provider(length, "application/octet-stream", provide);
        return;
    }
    response.set_chunked_content_provider(
        "application/octet-stream",
        [provide, length, beforeEnd](std::size_t offset, httplib::DataSink& sink) {
            if (offset < length) {
                return provide(offset, length - offset, sink);
            }
            beforeEnd();
            sink.done();
            return true;
        });
}

} // namespace

StandInHub::StandInHub() {
    server_.fallback(
        [this](const httplib::Request& request, httplib::Response& response) { handle(request, response); });
}

void StandInHub::serve(const std::string& id, const fs::path& folder, const std::string& type) {
    std::lock_guard lock(mutex_);
    Repository repository;
    repository.type = type;
    repository.id = id;
    repository.folder = folder;
    repository.commit = System::Crypto::Sha256::hexDigest(type + "/" + id).substr(0, 40);
    repositories_[type + "/" + id] = std::move(repository);
}

void StandInHub::setCommit(const std::string& id, const std::string& commit) {
    std::lock_guard lock(mutex_);
    for (auto& [key, repository] : repositories_) {
        if (repository.id == id) {
            repository.commit = commit;
        }
    }
}

std::string StandInHub::commit(const std::string& id) const {
    std::lock_guard lock(mutex_);
    for (const auto& [key, repository] : repositories_) {
        if (repository.id == id) {
            return repository.commit;
        }
    }
    return {};
}

void StandInHub::setListing(const std::string& id, std::vector<std::string> names) {
    std::lock_guard lock(mutex_);
    for (auto& [key, repository] : repositories_) {
        if (repository.id == id) {
            repository.listing = names;
        }
    }
}

void StandInHub::refuseListing(std::optional<int> status) {
    std::lock_guard lock(mutex_);
    listingRefusal_ = status;
}

void StandInHub::setBehaviour(const std::string& id, const std::string& relativeName,
                              FileBehaviour behaviour) {
    std::lock_guard lock(mutex_);
    for (auto& [key, repository] : repositories_) {
        if (repository.id == id) {
            repository.behaviours[relativeName] = behaviour;
        }
    }
}

std::vector<RecordedRequest> StandInHub::requests(const std::string& method) const {
    auto all = server_.requests();
    std::erase_if(all, [&](const RecordedRequest& request) { return request.method != method; });
    return all;
}

std::size_t StandInHub::fileDownloads() const {
    std::size_t count = 0;
    for (const auto& request : requests("GET")) {
        count += request.target.starts_with("/api/") ? 0 : 1;
    }
    return count;
}

// Finds the repository and file a request path names: "/api/<type>/<id>/revision/<revision>" (a listing),
// "[/<type>]/<id>/resolve/<revision>/<file>" or "/cdn/<type>/<id>/<file>" (where redirects lead).
std::optional<StandInHub::Target> StandInHub::locate(const std::vector<std::string>& segments,
                                                     bool& isListing) const {
    isListing = false;
    for (const auto& [key, repository] : repositories_) {
        const auto idParts = split(repository.id, '/');
        const auto matchesAt = [&](std::size_t at) {
            if (segments.size() < at + idParts.size()) {
                return false;
            }
            return std::equal(idParts.begin(), idParts.end(), segments.begin() + static_cast<long>(at));
        };
        const auto rest = [&](std::size_t from) {
            std::string file;
            for (std::size_t i = from; i < segments.size(); ++i) {
                file += (i == from ? "" : "/") + segments[i];
            }
            return file;
        };
        if (segments.size() == 4 + idParts.size() && segments[0] == "api" && segments[1] == repository.type &&
            matchesAt(2) && segments[2 + idParts.size()] == "revision") {
            isListing = true;
            return Target{&repository, segments.back(), {}, false};
        }
        if (segments.size() > 2 + idParts.size() && segments[0] == "cdn" && segments[1] == repository.type &&
            matchesAt(2)) {
            return Target{&repository, {}, rest(2 + idParts.size()), true};
        }
        const std::size_t at = repository.type == "models" ? 0 : 1;
        if ((at == 0 || (!segments.empty() && segments[0] == repository.type)) &&
            segments.size() > at + idParts.size() + 2 && matchesAt(at) &&
            segments[at + idParts.size()] == "resolve") {
            return Target{&repository, segments[at + idParts.size() + 1], rest(at + idParts.size() + 2),
                          false};
        }
    }
    return std::nullopt;
}

void StandInHub::handle(const httplib::Request& request, httplib::Response& response) {
    const std::string path = request.target.substr(0, request.target.find('?'));
    std::vector<std::string> segments;
    for (const auto& part : split(path, '/')) {
        if (!part.empty()) {
            segments.push_back(percentDecode(part));
        }
    }
    std::unique_lock lock(mutex_);
    bool isListing = false;
    const auto target = locate(segments, isListing);
    if (!target) {
        response.status = 404;
        return;
    }
    if (isListing) {
        if (listingRefusal_) {
            response.status = *listingRefusal_;
            return;
        }
        const Repository repository = *target->repository;
        lock.unlock();
        answerListing(repository, response);
        return;
    }
    lock.unlock();
    answerFile(request, *target, response);
}

void StandInHub::answerListing(const Repository& repository, httplib::Response& response) {
    std::vector<std::string> names;
    if (repository.listing) {
        names = *repository.listing;
    } else {
        std::error_code error;
        for (fs::recursive_directory_iterator it(repository.folder, error), end; !error && it != end;
             it.increment(error)) {
            if (it->is_regular_file()) {
                names.push_back(fs::relative(it->path(), repository.folder).generic_string());
            }
        }
        std::sort(names.begin(), names.end());
    }
    nlohmann::json siblings = nlohmann::json::array();
    for (const auto& name : names) {
        siblings.push_back({{"rfilename", name}});
    }
    response.status = 200;
    response.set_content(nlohmann::json{{"sha", repository.commit}, {"siblings", siblings}}.dump(),
                         "application/json");
}

void StandInHub::answerFile(const httplib::Request& request, const Target& target,
                            httplib::Response& response) {
    // The stand-in answers ranges itself, exactly as its behaviour says; the server must not apply them
    // again.
    const_cast<httplib::Request&>(request).ranges.clear();

    FileBehaviour behaviour;
    std::string type;
    std::string id;
    std::string commit;
    fs::path file;
    std::optional<std::size_t> cut;
    std::optional<FileBehaviour::Replacement> replacement;
    {
        std::lock_guard lock(mutex_);
        auto& repository = const_cast<Repository&>(*target.repository);
        type = repository.type;
        id = repository.id;
        commit = repository.commit;
        file = repository.folder / target.file;
        if (const auto found = repository.behaviours.find(target.file);
            found != repository.behaviours.end()) {
            behaviour = found->second;
            if (request.method == "GET" && !found->second.cuts.empty()) {
                cut = found->second.cuts.front();
                found->second.cuts.pop_front();
                replacement = std::exchange(found->second.replaceAfterCut, std::nullopt);
            }
        }
    }
    if (request.method == "GET" && behaviour.onGet) {
        behaviour.onGet();
    }
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        response.status = 404;
        return;
    }
    if (behaviour.refuseWith) {
        response.status = *behaviour.refuseWith;
        return;
    }
    const std::size_t size = fs::file_size(file);
    const std::string etag = behaviour.etag.value_or(contentHash(file));
    const bool isHead = request.method == "HEAD";
    const auto setHeader = [&](const std::string& name, const std::string& value) {
        if (!isHead || !behaviour.omitHeaders.contains(name)) {
            response.set_header(name, value);
        }
    };
    setHeader("X-Repo-Commit", commit);

    const std::string cdnPath = "/cdn/" + type + "/" + id + "/" + encodePath(target.file);
    if (!target.viaCdn && behaviour.redirect == FileBehaviour::Redirect::relative) {
        response.status = 307;
        response.set_header("Location", cdnPath);
        return;
    }
    if (!target.viaCdn && behaviour.redirect == FileBehaviour::Redirect::anotherHost) {
        response.status = 302;
        response.set_header("Location", "http://localhost:" + std::to_string(server_.port()) + cdnPath);
        setHeader("X-Linked-Etag", "\"" + etag + "\"");
        setHeader("X-Linked-Size", std::to_string(size));
        setHeader("ETag", "\"blob-" + etag.substr(0, 8) + "\"");
        return;
    }

    setHeader("ETag", "\"" + etag + "\"");
    response.set_header("Accept-Ranges", "bytes");
    if (isHead) {
        response.status = 200;
        if (behaviour.omitHeaders.contains("Content-Length")) {
            response.set_chunked_content_provider("application/octet-stream",
                                                  [](std::size_t, httplib::DataSink& sink) {
                                                      sink.done();
                                                      return true;
                                                  });
        } else {
            provideFile(response, file, 0, size, std::nullopt);
        }
        return;
    }

    std::size_t from = 0;
    const std::string range = request.get_header_value("Range");
    // A range of another version than the one the client names is worthless to it: it gets the whole file.
    const bool sameVersion =
        !request.has_header("If-Range") || request.get_header_value("If-Range") == "\"" + etag + "\"";
    if (!range.empty() && !behaviour.ignoreRange && sameVersion) {
        std::size_t parsed = 0;
        try {
            parsed = std::stoull(range.substr(range.find('=') + 1));
        } catch (const std::exception&) {
            parsed = size;
        }
        if (behaviour.refuseRanges || !range.starts_with("bytes=") || parsed >= size) {
            response.status = 416;
            response.set_header("Content-Range", "bytes */" + std::to_string(size));
            return;
        }
        from = parsed;
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                 std::to_string(size - 1) + "/" + std::to_string(size));
    } else {
        response.status = 200;
    }
    provideFile(response, file, from, size - from, cut, behaviour.beforeEnd);
    if (replacement) {
        // The answer above has the old file open and keeps sending its bytes; later requests see the new one.
        const fs::path swapped = file.string() + ".replacing";
        std::ofstream(swapped, std::ios::binary | std::ios::trunc) << replacement->contents;
        fs::rename(swapped, file);
        std::lock_guard lock(mutex_);
        auto& repository = const_cast<Repository&>(*target.repository);
        repository.behaviours[target.file].etag =
            replacement->etag.value_or(System::Crypto::Sha256::hexDigest(replacement->contents));
    }
}

} // namespace VuzadoDudi::HubTesting
