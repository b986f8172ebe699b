#pragma once

#include "System/Concurrency/BlockingRun.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "VuzadoDudi/External/Hub/HubApi.h"
#include "VuzadoDudi/Tests/HubTesting/StandInHub.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace VuzadoDudi::HubTests {

using System::Concurrency::blockingRun;
using System::FileTesting::TemporaryFolder;
using System::FileTesting::writeFile;
using VuzadoDudi::Hub::HubClientError;

// Sets environment variables for one test and puts every touched one back afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    void set(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.contains(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// The error of type E that `work` throws; fails the test when it throws something else or nothing.
template <class E>
std::optional<E> errorOf(const std::function<void()>& work) {
    try {
        work();
    } catch (const E& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "threw another error: " << other.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "threw nothing";
    return std::nullopt;
}

inline std::optional<HubClientError> hubErrorOf(const std::function<void()>& work) {
    return errorOf<HubClientError>(work);
}

inline std::optional<HubApi::EnvironmentError> environmentErrorOf(const std::function<void()>& work) {
    return errorOf<HubApi::EnvironmentError>(work);
}

inline std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A stand-in hub serving one repository from a temporary folder, and a cache folder for the client.
class HubFixture : public testing::Test {
protected:
    HubFixture() {
        std::filesystem::create_directories(remote.path());
        hub.serve(repoId, remote.path());
    }

    HubApi client(std::optional<std::string> token = std::string("secret-token")) const {
        return HubApi(cache.path(), std::move(token), hub.endpoint(), false, false);
    }

    void addRemoteFile(const std::string& name, const std::string& contents) {
        std::filesystem::create_directories((remote / name).parent_path());
        writeFile(remote / name, contents);
    }

    std::string resolveUrl(const std::string& name, const std::string& revision = "main") const {
        return hub.endpoint() + "/" + repoId + "/resolve/" + revision + "/" + name;
    }

    const std::string repoId = "owner/model";
    const HubApi::Repo repo{repoId, HubApi::RepoType::models};
    TemporaryFolder remote{"hub-remote"};
    TemporaryFolder cache{"hub-cache"};
    HubTesting::StandInHub hub;
};

} // namespace VuzadoDudi::HubTests
