// A 1 GB model file from the stand-in hub on loopback, written to disk through the resumable downloader, and
// the same transfer with plain libcurl writing into a file, in the same run. The downloader should reach at
// least 80% of plain libcurl's bytes per second.
#include "System/Concurrency/BlockingRun.h"
#include "VuzadoDudi/External/Hub/Downloader.h"
#include "VuzadoDudi/Tests/HubTesting/StandInHub.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using VuzadoDudi::Downloader;

constexpr std::int64_t kFileSize = 1LL << 30;

// One stand-in hub serving one 1 GB file, shared by both benchmarks.
struct Fixture {
    fs::path folder = fs::temp_directory_path() / ("hub-bench-" + std::to_string(getpid()));
    VuzadoDudi::HubTesting::StandInHub hub;
    std::string url;

    Fixture() {
        fs::create_directories(folder / "remote");
        std::string block(1 << 20, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>((i * 2654435761u) >> 13);
        }
        FILE* file = std::fopen((folder / "remote" / "model.bin").c_str(), "wb");
        for (std::int64_t written = 0; written < kFileSize;
             written += static_cast<std::int64_t>(block.size())) {
            block[0] = static_cast<char>(written >> 20);
            std::fwrite(block.data(), 1, block.size(), file);
        }
        std::fclose(file);
        hub.serve("bench/model", folder / "remote");
        VuzadoDudi::HubTesting::FileBehaviour behaviour;
        behaviour.etag = "bench"; // no content hash to compute on every answer
        hub.setBehaviour("bench/model", "model.bin", behaviour);
        url = hub.endpoint() + "/bench/model/resolve/main/model.bin";
    }
    ~Fixture() { fs::remove_all(folder); }
};

Fixture& fixture() {
    static Fixture shared;
    return shared;
}

void throughDownloader(benchmark::State& state) {
    auto& f = fixture();
    const auto destination = f.folder / "downloaded.bin";
    const auto partial = f.folder / "downloaded.bin.incomplete";
    for (auto _ : state) {
        fs::remove(destination);
        std::FILE* empty = std::fopen(partial.c_str(), "wb");
        std::fclose(empty);
        auto engine = std::make_shared<Downloader>(destination, partial, false, 10 * 1024 * 1024);
        const bool completed = System::Concurrency::blockingRun([&]() -> System::Concurrency::Task<bool> {
            auto states =
                co_await engine->download(f.url, std::nullopt, {}, kFileSize,
                                          System::Concurrency::Duration::seconds(std::int64_t{10}), 5);
            while (auto next = co_await states.next()) {
                if (next->kind == Downloader::DownloadState::Kind::completed) {
                    co_return true;
                }
                if (next->kind == Downloader::DownloadState::Kind::failed) {
                    co_return false;
                }
            }
            co_return false;
        }());
        if (!completed || fs::file_size(destination) != static_cast<std::uintmax_t>(kFileSize)) {
            state.SkipWithError("the download failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<std::FILE*>(file)) * size;
}

void plainLibcurl(benchmark::State& state) {
    auto& f = fixture();
    const auto destination = f.folder / "plain.bin";
    for (auto _ : state) {
        std::FILE* file = std::fopen(destination.c_str(), "wb");
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, f.url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, file);
        const CURLcode result = curl_easy_perform(easy);
        curl_easy_cleanup(easy);
        std::fclose(file);
        if (result != CURLE_OK || fs::file_size(destination) != static_cast<std::uintmax_t>(kFileSize)) {
            state.SkipWithError("the transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

BENCHMARK(plainLibcurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(throughDownloader)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(plainLibcurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace
