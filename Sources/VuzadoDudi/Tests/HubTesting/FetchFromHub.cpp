// A process of its own that brings files of one repository into a cache, for tests of several processes that
// share a cache:
//
//   FetchFromHub <endpoint> <cache folder> <repository id> <pattern>
//
// It takes a snapshot of the repository's main revision limited to the pattern, online, without a token, and
// exits with 0 when it succeeds, else with 1 after writing the error to standard error.

#include "System/Concurrency/BlockingRun.h"
#include "VuzadoDudi/External/Hub/HubApi.h"

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: FetchFromHub <endpoint> <cache folder> <repository id> <pattern>\n";
        return 2;
    }
    try {
        const VuzadoDudi::HubApi hub(std::filesystem::path(argv[2]), std::nullopt, std::string(argv[1]),
                                     false, false);
        System::Concurrency::blockingRun(
            hub.snapshot({argv[3], VuzadoDudi::HubApi::RepoType::models}, "main", {argv[4]}));
        return 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return 1;
    }
}
