#include "System/ML/Compute.h"

#include "TinyModelGenerator/TinyModelGenerator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

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
