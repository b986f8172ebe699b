#include "System/Workspace/X11InstanceClaim.h"

#include "Eventually.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

using System::Workspace::X11InstanceClaim;
using Result = X11InstanceClaim::Result;

TEST(X11InstanceClaimTests, onlyTheFirstClaimOfANameHoldsUntilItIsGivenUp) {
    std::optional<X11InstanceClaim> first{std::in_place, "_PARLINDO_TEST_CLAIM"};
    EXPECT_EQ(first->result(), Result::claimed);
    EXPECT_EQ(X11InstanceClaim("_PARLINDO_TEST_CLAIM").result(), Result::heldElsewhere);
    EXPECT_EQ(X11InstanceClaim("_PARLINDO_TEST_OTHER").result(), Result::claimed) << "names are independent";
    first.reset();
    EXPECT_EQ(X11InstanceClaim("_PARLINDO_TEST_CLAIM").result(), Result::claimed);
}

TEST(X11InstanceClaimTests, aCopyThatCrashedBlocksNoLaterStart) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        X11InstanceClaim claim("_PARLINDO_TEST_CRASH");
        const char held = claim.result() == Result::claimed ? 'y' : 'n';
        [[maybe_unused]] auto written = write(ready[1], &held, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    close(ready[0]);
    ASSERT_EQ(held, 'y');
    EXPECT_EQ(X11InstanceClaim("_PARLINDO_TEST_CRASH").result(), Result::heldElsewhere);

    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    // The server lets the selection go once it has seen the dead copy's connection close.
    std::optional<X11InstanceClaim> later;
    EXPECT_TRUE(eventually([&] {
        later.emplace("_PARLINDO_TEST_CRASH");
        return later->result() == Result::claimed;
    }));
}

TEST(X11InstanceClaimTests, withoutADisplayNothingIsClaimed) {
    const std::string display = std::getenv("DISPLAY");
    setenv("DISPLAY", ":65000", 1);
    const auto result = X11InstanceClaim("_PARLINDO_TEST_CLAIM").result();
    setenv("DISPLAY", display.c_str(), 1);
    EXPECT_EQ(result, Result::noDisplay);
}
