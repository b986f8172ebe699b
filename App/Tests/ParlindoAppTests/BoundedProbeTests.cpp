#include "App/Platform/BoundedProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace Parlindo {
namespace {

using System::Concurrency::Duration;

const Duration longPatience = Duration::seconds(std::int64_t{60});
const Duration shortPatience = Duration::milliseconds(50);

TEST(BoundedProbeTest, EveryCallAsksAgainAndGetsTheServicesAnswer) {
    std::atomic<int> asks = 0;
    const BoundedProbe probe([&] { return ++asks % 2 == 1; }, longPatience);

    EXPECT_TRUE(probe());
    EXPECT_FALSE(probe());
    EXPECT_TRUE(probe());
    EXPECT_EQ(asks, 3);
}

TEST(BoundedProbeTest, AServiceThatDoesNotAnswerReadsAsNoAndIsNotAskedAgainUntilItAnswers) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    // Shared with the question's thread, which may still be asking when the test ends.
    const auto asked = std::make_shared<std::atomic<int>>(0);
    std::atomic<int>& asks = *asked;
    const BoundedProbe probe(
        [asked, released] {
            if (++*asked == 1) {
                released.wait();
            }
            return true;
        },
        shortPatience);

    EXPECT_FALSE(probe());
    // On a busy machine the question's thread may not have begun yet; once it has, it hangs.
    const auto started = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (asks == 0 && std::chrono::steady_clock::now() < started) {
        std::this_thread::yield();
    }
    // While the first question hangs, callers get no at once and no second question piles up.
    EXPECT_FALSE(probe());
    EXPECT_EQ(asks, 1);

    release.set_value();
    // The late answer may reach a caller that was still waiting on the hung question; after it, callers ask
    // afresh. Under load a fresh question may itself outlast the patience, so keep asking for a while.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool answeredAfresh = false;
    while (!answeredAfresh && std::chrono::steady_clock::now() < deadline) {
        const bool answer = probe();
        answeredAfresh = answer && asks >= 2;
        std::this_thread::yield();
    }
    EXPECT_TRUE(answeredAfresh);
}

// A sound server that takes the connection but never says a word, as a stopped daemon does.
class SilentSoundServer {
public:
    SilentSoundServer()
        : path_(std::filesystem::temp_directory_path() / ("parlindo-silent-" + std::to_string(getpid()))) {
        socket_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::filesystem::remove(path_);
        path_.string().copy(address.sun_path, sizeof address.sun_path - 1);
        if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(socket_, 8) != 0) {
            throw std::runtime_error("cannot listen on " + path_.string());
        }
        if (const char* previous = std::getenv("PULSE_SERVER")) {
            previous_ = previous;
        }
        setenv("PULSE_SERVER", ("unix:" + path_.string()).c_str(), 1);
    }
    ~SilentSoundServer() {
        if (previous_) {
            setenv("PULSE_SERVER", previous_->c_str(), 1);
        } else {
            unsetenv("PULSE_SERVER");
        }
        // Closing drops the waiting connection, which ends the question still asked of it.
        ::close(socket_);
        std::filesystem::remove(path_);
    }

private:
    std::filesystem::path path_;
    int socket_ = -1;
    std::optional<std::string> previous_;
};

TEST(BoundedProbeTest, ASoundServerThatNeverAnswersLeavesTheMicrophoneUnavailableInsteadOfHanging) {
    SilentSoundServer server;
    const BoundedProbe reachable(soundServerAnswers, shortPatience);

    EXPECT_FALSE(reachable());
    EXPECT_FALSE(reachable());
}

} // namespace
} // namespace Parlindo
