#include "System/ML/Compute.h"

#include "TinyModelGenerator/TinyModelGenerator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include <sched.h>

namespace {

using namespace System::ML;

// Several threads even on a machine with one processor, so the split paths run.
class ComputeTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Compute::threads();
        Compute::setThreads(3);
    }
    void TearDown() override { Compute::setThreads(saved_); }

private:
    int saved_ = 1;
};

TEST_F(ComputeTest, ParallelForVisitsEveryIndexOnceAndNestedLoopsRunInPlace) {
    for (std::size_t count : {0u, 1u, 7u, 1000u, 100003u}) {
        std::vector<std::atomic<int>> visits(count);
        Compute::parallelFor(count, 10, [&](std::size_t begin, std::size_t end) {
            ASSERT_LE(begin, end);
            for (std::size_t i = begin; i < end; ++i) {
                visits[i].fetch_add(1);
            }
            // A loop inside a loop: it must neither wait for the busy pool nor skip anything.
            std::atomic<std::size_t> inner{0};
            Compute::parallelFor(100, 1, [&](std::size_t b, std::size_t e) { inner += e - b; });
            ASSERT_EQ(inner.load(), 100u);
        });
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(visits[i].load(), 1) << "index " << i << " of " << count;
        }
    }
}

TEST_F(ComputeTest, LoopsFromSeveralThreadsAtOnceAllComplete) {
    std::vector<std::size_t> sums(4, 0);
    {
        std::vector<std::jthread> callers;
        for (std::size_t c = 0; c < sums.size(); ++c) {
            callers.emplace_back([&, c] {
                for (int round = 0; round < 50; ++round) {
                    std::atomic<std::size_t> sum{0};
                    Compute::parallelFor(5000, 100, [&](std::size_t begin, std::size_t end) {
                        for (std::size_t i = begin; i < end; ++i) {
                            sum += i;
                        }
                    });
                    sums[c] += sum.load();
                }
            });
        }
    }
    EXPECT_EQ(sums, std::vector<std::size_t>(4, 50u * (4999u * 5000u / 2)));
}

// A team's loops in a row, each piece of each loop on exactly one member, and every loop over before the next
// begins on any member (each checks what the loop before wrote at an index far from its own).
void runLoopsOfATeam(std::size_t& members, const std::function<void()>& atStart = {}) {
    const std::vector<std::size_t> counts{0, 1, 7, 100, 5000, 3};
    const std::size_t longest = 5000;
    std::vector<std::vector<std::atomic<int>>> visits;
    for (const std::size_t count : counts) {
        visits.emplace_back(count);
    }
    std::vector<std::atomic<int>> written(longest);
    std::atomic<int> stale{0};
    std::atomic<std::size_t> teamSize{0};
    Compute::together([&](Compute::Team& team) {
        teamSize.store(team.members());
        if (atStart) {
            atStart();
        }
        for (std::size_t loop = 0; loop < counts.size(); ++loop) {
            const std::size_t count = counts[loop];
            team.forEach(count, 2, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    visits[loop][i].fetch_add(1);
                    if (loop > 0 && counts[loop - 1] > 0 &&
                        written[(i * 7919) % counts[loop - 1]].load() != int(loop - 1)) {
                        stale.fetch_add(1);
                    }
                }
            });
            // Written on one member between two loops: the next loop reads it everywhere.
            team.forEach(1, 1, [&](std::size_t, std::size_t) {
                for (std::size_t i = 0; i < count; ++i) {
                    written[i].store(int(loop));
                }
            });
        }
    });
    members = teamSize.load();
    EXPECT_EQ(stale.load(), 0);
    for (std::size_t loop = 0; loop < counts.size(); ++loop) {
        for (std::size_t i = 0; i < counts[loop]; ++i) {
            ASSERT_EQ(visits[loop][i].load(), 1) << "index " << i << " of loop " << loop;
        }
    }
}

TEST_F(ComputeTest, ATeamRunsEveryPieceOnceAndItsLoopsInOrder) {
    for (int round = 0; round < 20; ++round) {
        std::size_t members = 0;
        runLoopsOfATeam(members);
        ASSERT_EQ(members, 3u);
    }
}

TEST_F(ComputeTest, AMemberThatStartsLateNeitherHoldsBackNorRepeatsTheLoops) {
    // The first member to start sleeps: the others run every loop without it, and when it wakes it finds
    // every loop done rather than running any piece again.
    std::atomic<int> started{0};
    std::size_t members = 0;
    runLoopsOfATeam(members, [&] {
        if (started.fetch_add(1) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    // And a team after it numbers its loops on from there.
    runLoopsOfATeam(members);
}

TEST_F(ComputeTest, ATeamInsideALoopOrBesideAnotherRunsOnItsCallerAlone) {
    std::atomic<std::size_t> inner{0};
    Compute::parallelFor(4, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            std::size_t members = 0;
            runLoopsOfATeam(members);
            EXPECT_EQ(members, 1u);
            ++inner;
        }
    });
    EXPECT_EQ(inner.load(), 4u);

    std::vector<std::jthread> callers;
    for (int c = 0; c < 3; ++c) {
        callers.emplace_back([] {
            for (int round = 0; round < 10; ++round) {
                std::size_t members = 0;
                runLoopsOfATeam(members);
            }
        });
    }
}

// One loop of a team in which the first piece to start holds its member until every other piece of the loop
// has run: the others must take the rest of its share, and the loop ends once it lets go. `whileHeld` runs in
// the held piece once the others are done, given the team's members. A second loop checks, on every member,
// what every piece of the first wrote. Returns whether everything ran once, in order, and without the safety
// net.
bool runLoopWithAMemberHeldBack(const std::function<void(std::size_t)>& whileHeld = {}) {
    constexpr std::size_t count = 64;
    std::vector<std::atomic<int>> visits(count);
    std::vector<int> written(count, 0); // plain: only the team's own ordering makes the second loop see it
    std::atomic<bool> taken{false};
    std::atomic<std::size_t> othersDone{0};
    std::atomic<int> stale{0};
    std::atomic<bool> gaveUp{false};
    Compute::together([&](Compute::Team& team) {
        team.forEach(count, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                visits[i].fetch_add(1);
                written[i] = 1;
            }
            if (taken.exchange(true)) {
                othersDone.fetch_add(end - begin);
                return;
            }
            // A safety net only: the others finish in microseconds unless the loop cannot go on without this
            // member.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (othersDone.load() != count - (end - begin)) {
                if (std::chrono::steady_clock::now() > deadline) {
                    gaveUp.store(true);
                    return;
                }
                std::this_thread::yield();
            }
            if (whileHeld) {
                whileHeld(team.members());
            }
        });
        team.forEach(count, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if (written[(i * 7) % count] != 1) {
                    stale.fetch_add(1);
                }
                visits[i].fetch_add(1);
            }
        });
    });
    bool right = !gaveUp.load() && stale.load() == 0;
    for (const auto& visit : visits) {
        right = right && visit.load() == 2;
    }
    return right;
}

TEST_F(ComputeTest, AMemberHeldBackInAPieceLeavesTheRestOfItsShareToTheOthers) {
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(runLoopWithAMemberHeldBack()) << "round " << round;
    }
}

// Under the default thread count, the members that wait long for a held member go to sleep, are woken by the
// loop's end, and see what the held piece wrote. A member is held only while the team has all its members, as
// a member is when the team has one more than the free processors: the sizer's try of a member fewer is
// faster, and the team keeps that size. How long the others spin before they sleep is the pool's choice, so
// the held piece lingers (a scheduler may also not run them while it does); the check of every round's loops
// holds whatever happens.
TEST(ComputeThreadsTest, ATeamWhoseMembersSleepOnAHeldMemberWakesThemAndShrinks) {
    Compute::useDefaultThreads();
    const int most = Compute::teamMembers();
    if (most < 2) {
        GTEST_SKIP() << "a single processor makes no team";
    }
    const auto holdFullTeams = [most](std::size_t members) {
        if (int(members) == most) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    int round = 0;
    for (; round < 100 && Compute::teamMembers() == most; ++round) {
        ASSERT_TRUE(runLoopWithAMemberHeldBack(holdFullTeams)) << "round " << round;
    }
    ASSERT_EQ(Compute::teamMembers(), most - 1) << "no try of a member fewer in " << round << " teams";
    // The try's teams, then as many with all members to check it against: the smaller size stays.
    for (int trial = 0; trial < 2 * (Compute::TeamSizer::kSettling + Compute::TeamSizer::kTrial); ++trial) {
        ASSERT_TRUE(runLoopWithAMemberHeldBack(holdFullTeams)) << "trial team " << trial;
    }
    EXPECT_EQ(Compute::teamMembers(), most - 1);
}

// The sizer's answer after each step of a script: `teams` teams in a row, each taking the time of its size on
// the machine of the step.
TEST(TeamSizerTest, KeepsTheFasterSizeOfEachTryAndTriesLessOftenWhileTriesFail) {
    using Sizer = Compute::TeamSizer;
    using us = std::chrono::microseconds;
    struct Step {
        std::vector<int> timeOfSize; // µs, from one member up
        int teams;
        int members; // after them
    };
    const auto run = Sizer::kFirstRun;
    const auto settle = Sizer::kSettling;
    const auto trial = Sizer::kSettling + Sizer::kTrial; // the teams of a try, and of its check
    const std::vector<int> threeFastest{4000, 3000, 1000, 1200}, fourFastest{4000, 3000, 1200, 1000};
    const std::vector<int> slow(4, 50000);
    const std::vector<std::pair<int, std::vector<Step>>> scripts{
        {4,
         {{threeFastest, run - 1, 4},
          {threeFastest, 1, 3},       // a try, and at the most only of a member fewer
          {threeFastest, trial, 4},   // faster than the teams before it: checked against the size as it was
          {threeFastest, trial, 3},   // faster than those too: stays
          {threeFastest, run, 2},     // the next try comes after the first run, the same way
          {threeFastest, trial, 3},   // slower: the size stays as it was
          {threeFastest, 2 * run, 4}, // the next try the other way, after twice as long
          {threeFastest, trial, 3},
          {fourFastest, 4 * run, 2}, // a try that fails doubles the run whichever its way
          {fourFastest, trial, 3},
          {fourFastest, std::min(8 * run, Sizer::kLongestRun), 4},
          {fourFastest, 2 * trial, 4}}},
        // A try that only met a faster moment of the machine does not stay.
        {2, {{{1000, 1000}, run, 1}, {{800, 800}, trial, 2}, {{800, 800}, trial, 2}}},
        // Nor one that gains too little to tell from the machine's drift.
        {2, {{{990, 1000}, run, 1}, {{990, 1000}, 2 * trial, 2}}},
        // The teams just after a change of size, and the odd team that takes far longer than the others (a
        // prompt of many tokens), decide nothing.
        {2,
         {{{900, 1000}, run, 1},
          {slow, settle, 1},
          {slow, 2, 1},
          {{900, 1000}, Sizer::kTrial - 2, 2},
          {slow, settle, 2},
          {{900, 1000}, Sizer::kTrial, 1}}},
        {1, {{{1000}, 1000, 1}}},
    };
    for (const auto& [most, steps] : scripts) {
        Sizer sizer(most);
        EXPECT_EQ(sizer.members(), most);
        for (std::size_t step = 0; step < steps.size(); ++step) {
            for (int team = 0; team < steps[step].teams; ++team) {
                sizer.record(us(steps[step].timeOfSize.at(std::size_t(sizer.members() - 1))));
            }
            EXPECT_EQ(sizer.members(), steps[step].members) << "most " << most << ", step " << step;
        }
    }

    // Tries that keep failing come at most every kLongestRun teams.
    Sizer sizer(3);
    const auto time = [&sizer] { return us(sizer.members() == 2 ? 1000 : 2000); };
    for (int team = 0; team < run + 2 * trial; ++team) {
        sizer.record(time());
    }
    ASSERT_EQ(sizer.members(), 2);
    for (int failure = 0; failure < 12; ++failure) {
        int teams = 0;
        for (; sizer.members() == 2 && teams < 1000; ++teams) {
            sizer.record(time());
        }
        EXPECT_EQ(teams, std::min(run << failure, Sizer::kLongestRun)) << "failure " << failure;
        for (int team = 0; team < trial; ++team) {
            sizer.record(time());
        }
        ASSERT_EQ(sizer.members(), 2);
    }
}

TEST_F(ComputeTest, MatmulMatchesPlainLoopsWhicheverSideItSplits) {
    struct Case {
        int m, n, k;
        bool transposeB;
        bool accumulate;
    };
    // Tall products split their rows, wide ones their columns; both large enough to be split at all.
    for (const auto& c :
         {Case{2000, 40, 200, true, false}, Case{40, 2000, 200, true, true},
          Case{40, 2000, 200, false, false}, Case{2000, 40, 200, false, true}, Case{3, 5, 7, true, false}}) {
        const int lda = c.k + 3; // read from inside wider buffers
        const int ldb = (c.transposeB ? c.k : c.n) + 2;
        const int ldc = c.n + 1;
        TinyModelGenerator::RandomWeights random(std::uint64_t(c.m * 1000 + c.n));
        const auto a = random.normal(std::size_t(c.m) * lda, 1.0f);
        const auto b = random.normal(std::size_t(c.transposeB ? c.n : c.k) * ldb, 1.0f);
        auto result = random.normal(std::size_t(c.m) * ldc, 1.0f);
        const auto before = result;
        Compute::matmul(c.m, c.n, c.k, a.data(), lda, b.data(), ldb, c.transposeB, result.data(), ldc,
                        c.accumulate);
        for (int i = 0; i < c.m; ++i) {
            for (int j = 0; j < c.n; ++j) {
                double sum = c.accumulate ? before[std::size_t(i) * ldc + j] : 0.0;
                for (int p = 0; p < c.k; ++p) {
                    const float right =
                        c.transposeB ? b[std::size_t(j) * ldb + p] : b[std::size_t(p) * ldb + j];
                    sum += double(a[std::size_t(i) * lda + p]) * right;
                }
                ASSERT_NEAR(result[std::size_t(i) * ldc + j], sum, 1e-3)
                    << c.m << "x" << c.n << " at " << i << ", " << j;
            }
            // The padding between rows is left alone.
            if (ldc > c.n) {
                ASSERT_EQ(result[std::size_t(i) * ldc + c.n], before[std::size_t(i) * ldc + c.n]);
            }
        }
    }
}

// Products with one token's vector: the split over threads, the tails of rows that are not a multiple of the
// vector width, rows read from inside a wider buffer, and float16 weights widened on the way.
TEST_F(ComputeTest, MatrixVectorProductsMatchPlainLoops) {
    struct Case {
        int rows, cols;
        bool accumulate;
    };
    for (const auto& c : {Case{1, 1, false}, Case{3, 7, true}, Case{17, 40, false}, Case{600, 77, true},
                          Case{1500, 512, false}, Case{2, 2051, true}}) {
        SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.cols));
        const int ldw = c.cols + 5;
        TinyModelGenerator::RandomWeights random(std::uint64_t(c.rows * 7919 + c.cols));
        const auto wide = random.normal(std::size_t(c.rows) * ldw, 1.0f);
        const auto x = random.normal(std::size_t(c.cols), 1.0f);
        const auto before = random.normal(std::size_t(c.rows), 1.0f);

        Compute::WeightMatrix floats{c.rows, c.cols, {}, {}};
        Compute::WeightMatrix halves{c.rows, c.cols, {}, {}};
        for (int r = 0; r < c.rows; ++r) {
            for (int k = 0; k < c.cols; ++k) {
                const float w = wide[std::size_t(r) * ldw + k];
                floats.floats.push_back(w);
                halves.halves.push_back(Half(w));
            }
        }
        auto strided = before, dense = before, half = before;
        Compute::matvec(c.rows, c.cols, wide.data(), ldw, x.data(), strided.data(), c.accumulate);
        Compute::matvec(floats, x.data(), dense.data(), c.accumulate);
        Compute::matvec(halves, x.data(), half.data(), c.accumulate);
        for (int r = 0; r < c.rows; ++r) {
            const auto at = std::size_t(r);
            double sum = c.accumulate ? before[at] : 0.0, sumOfHalves = sum, magnitude = 0;
            for (int k = 0; k < c.cols; ++k) {
                const float w = wide[at * ldw + k];
                sum += double(w) * x[std::size_t(k)];
                sumOfHalves += double(float(Half(w))) * x[std::size_t(k)];
                magnitude += std::abs(double(w) * x[std::size_t(k)]);
            }
            const double rounding = 1e-6 * (magnitude + std::abs(sum)) + 1e-6;
            ASSERT_NEAR(strided[at], sum, rounding) << "row " << r;
            ASSERT_NEAR(dense[at], sum, rounding) << "row " << r;
            ASSERT_NEAR(half[at], sumOfHalves, rounding) << "row " << r;
            // Against the float32 weights, each float16 weight is off by at most half a unit in its last
            // place.
            ASSERT_NEAR(half[at], sum, std::ldexp(magnitude, -11) + rounding) << "row " << r;
        }
    }

    // y = scale · Wᵀ x, W read from inside a wider buffer, as float32 and as float16 (a width that leaves a
    // tail after the vector loop).
    const int rows = 37, cols = 1501, ldw = 1503;
    TinyModelGenerator::RandomWeights random(5);
    const auto w = random.normal(std::size_t(rows) * ldw, 1.0f);
    const std::vector<Half> halves(w.begin(), w.end());
    const auto x = random.normal(std::size_t(rows), 1.0f);
    std::vector<float> y(cols), yOfHalves(cols, NAN);
    Compute::transposedMatvec(rows, cols, w.data(), ldw, x.data(), y.data(), 0.125f);
    Compute::transposedMatvec(rows, cols, halves.data(), ldw, x.data(), yOfHalves.data(), 0.125f);
    for (int j = 0; j < cols; ++j) {
        double sum = 0, sumOfHalves = 0;
        for (int r = 0; r < rows; ++r) {
            sum += double(w[std::size_t(r) * ldw + j]) * x[std::size_t(r)];
            sumOfHalves += double(float(halves[std::size_t(r) * ldw + j])) * x[std::size_t(r)];
        }
        ASSERT_NEAR(y[std::size_t(j)], 0.125 * sum, 1e-5) << "column " << j;
        ASSERT_NEAR(yOfHalves[std::size_t(j)], 0.125 * sumOfHalves, 1e-5) << "column " << j;
    }
}

// Per-block dot products of rows read from inside a wider buffer, with blocks that leave a tail after the
// vector loop, against a plain float64 loop.
TEST_F(ComputeTest, BlockDotProductsMatchPlainLoops) {
    for (const int size : {3, 8, 20, 64}) {
        SCOPED_TRACE("blocks of " + std::to_string(size));
        const int rows = 11, blocks = 3, ldw = blocks * size + 5;
        const std::size_t ldy = rows + 2;
        TinyModelGenerator::RandomWeights random{std::uint64_t(size)};
        const auto w = random.normal(std::size_t(rows) * ldw, 1.0f);
        const std::vector<Half> halves(w.begin(), w.end());
        const auto x = random.normal(std::size_t(blocks * size), 1.0f);
        std::vector<float> y(std::size_t(blocks) * ldy, NAN), yOfHalves = y;
        Compute::blockDots(rows, blocks, size, w.data(), ldw, x.data(), y.data(), ldy, 0.25f);
        Compute::blockDots(rows, blocks, size, halves.data(), ldw, x.data(), yOfHalves.data(), ldy, 0.25f);
        for (int r = 0; r < rows; ++r) {
            for (int b = 0; b < blocks; ++b) {
                double sum = 0, sumOfHalves = 0;
                for (int c = 0; c < size; ++c) {
                    const std::size_t at = std::size_t(r) * ldw + std::size_t(b * size + c);
                    sum += double(w[at]) * x[std::size_t(b * size + c)];
                    sumOfHalves += double(float(halves[at])) * x[std::size_t(b * size + c)];
                }
                const std::size_t out = std::size_t(b) * ldy + std::size_t(r);
                ASSERT_NEAR(y[out], 0.25 * sum, 1e-5) << "row " << r << " block " << b;
                ASSERT_NEAR(yOfHalves[out], 0.25 * sumOfHalves, 1e-5) << "row " << r << " block " << b;
            }
        }
        // Nothing written between the rows' outputs of two blocks.
        for (int b = 0; b < blocks; ++b) {
            ASSERT_TRUE(std::isnan(y[std::size_t(b) * ldy + rows]));
        }
    }
}

// Float32 to float16 and back, rounded to nearest even as a conversion of each element is, over the vector
// loop and its tail.
TEST_F(ComputeTest, ConversionsToAndFromFloat16RoundLikeEachElement) {
    auto floats = TinyModelGenerator::RandomWeights(9).normal(29, 100.0f);
    floats[3] = 1.0f + 1.0f / 2048; // halfway between two float16 values: to the even one, 1
    floats[4] = 1.0f + 3.0f / 2048; // halfway: to the even one, 1 + 2/1024
    floats[27] = 70000.0f;          // beyond float16's range
    std::vector<Half> halves(floats.size());
    Compute::narrow(floats.data(), halves.data(), floats.size());
    std::vector<float> widened(floats.size());
    Compute::widen(halves.data(), widened.data(), halves.size());
    for (std::size_t i = 0; i < floats.size(); ++i) {
        EXPECT_EQ(halves[i].bitPattern(), Half(floats[i]).bitPattern()) << "element " << i;
        EXPECT_EQ(widened[i], float(Half(floats[i]))) << "element " << i;
    }
    EXPECT_EQ(widened[3], 1.0f);
    EXPECT_EQ(widened[4], 1.0f + 2.0f / 1024);
    EXPECT_TRUE(std::isinf(widened[27]));
}

// Threads beyond the processors a process may run on only take turns on them: the default follows the
// affinity mask (as taskset or a container sets it), not the machine's processor count.
TEST(ComputeThreadsTest, DefaultThreadsFollowTheAffinityMask) {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::vector<int> processors;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            processors.push_back(cpu);
        }
    }
    EXPECT_EQ(Compute::defaultThreads(), int(processors.size()));
    for (const std::size_t count : {std::size_t(1), std::min<std::size_t>(2, processors.size())}) {
        int seen = 0;
        // On a thread of its own, so the test's own mask stays as it was.
        std::thread([&] {
            cpu_set_t narrowed;
            CPU_ZERO(&narrowed);
            for (std::size_t i = 0; i < count; ++i) {
                CPU_SET(processors[i], &narrowed);
            }
            if (sched_setaffinity(0, sizeof narrowed, &narrowed) == 0) {
                seen = Compute::defaultThreads();
            }
        }).join();
        EXPECT_EQ(seen, int(count));
    }
}

TEST_F(ComputeTest, RowOperations) {
    std::vector<float> x{1, 2, 3, 4, -1, -1, -1, -1};
    const std::vector<float> gamma{1, 1, 2, 2}, beta{0, 0, 0, 1};
    Compute::layerNorm(x.data(), x.data(), 2, 4, gamma.data(), beta.data());
    const double scale = 1 / std::sqrt(1.25 + 1e-5);
    EXPECT_NEAR(x[0], -1.5 * scale, 1e-6);
    EXPECT_NEAR(x[3], 2 * 1.5 * scale + 1, 1e-5);
    EXPECT_EQ(x[4], 0.0f); // a constant row normalises to zero
    EXPECT_EQ(x[7], 1.0f);

    std::vector<float> scores{0, std::log(3.0f), 1000, 1000};
    Compute::softmaxRows(scores.data(), 2, 2);
    EXPECT_NEAR(scores[0], 0.25, 1e-6);
    EXPECT_NEAR(scores[1], 0.75, 1e-6);
    EXPECT_EQ(scores[2], 0.5f); // no overflow on large scores

    // A row longer than the vector lanes, its largest score in the tail after them.
    std::vector<float> row(19);
    for (std::size_t c = 0; c < row.size(); ++c) {
        row[c] = 0.3f * float(c % 7) - 1.0f;
    }
    row[17] = 40.0f;
    const auto given = row;
    Compute::softmaxRows(row.data(), 1, row.size(), 0.5f);
    double total = 0;
    for (const float score : given) {
        total += std::exp(0.5 * (double(score) - 40.0));
    }
    for (std::size_t c = 0; c < row.size(); ++c) {
        EXPECT_NEAR(row[c], std::exp(0.5 * (double(given[c]) - 40.0)) / total, 1e-6) << "column " << c;
    }

    // Damaged weights can carry NaNs: they come out as NaNs, and nothing undefined happens on the way.
    std::vector<float> broken{NAN, 1, 2, 3};
    Compute::softmaxRows(broken.data(), 1, 4);
    EXPECT_TRUE(std::isnan(broken[0]));
    std::vector<float> brokenGelu{NAN, INFINITY, -INFINITY};
    Compute::gelu(brokenGelu.data(), brokenGelu.size());
    EXPECT_TRUE(std::isnan(brokenGelu[0]));

    std::vector<float> values{-3, 0, 1};
    Compute::gelu(values.data(), values.size());
    EXPECT_NEAR(values[0], -3 * 0.5 * (1 + std::erf(-3 / std::sqrt(2.0))), 1e-6);
    EXPECT_EQ(values[1], 0.0f);
    EXPECT_NEAR(values[2], 0.8413447, 1e-6);
}

} // namespace
