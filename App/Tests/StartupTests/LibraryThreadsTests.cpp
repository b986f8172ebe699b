// Linked with the speech recognizer, and OpenBLAS with it, as the program is.
#include "App/Startup/LibraryThreads.h"
#include "System/Speech/PocketSphinxBackend.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

std::size_t threadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

} // namespace

// Each test runs in a process of its own, so nothing has forked (which also stops OpenBLAS's workers) yet.
TEST(LibraryThreadsTest, IdleBlasWorkersStopAndAParallelProductStartsThemAgain) {
    // Keeps the recognizer's library, and OpenBLAS with it, among what the executable loads.
    System::Speech::PocketSphinxBackend backend("/nonexistent");
    using Gemm = void (*)(int, int, int, int, int, int, float, const float*, int, const float*, int, float,
                          float*, int);
    const auto gemm = reinterpret_cast<Gemm>(dlsym(RTLD_DEFAULT, "cblas_sgemm"));
    if (!dlsym(RTLD_DEFAULT, "blas_thread_shutdown_") || !gemm) {
        GTEST_SKIP() << "the system's BLAS is not OpenBLAS";
    }

    Parlindo::stopIdleLibraryThreads();
    EXPECT_EQ(threadCount(), 1u);

    // A product large enough to be split over the processors: the workers come back for the Whisper stack.
    constexpr int size = 512;
    std::vector<float> a(size * size, 1.0f), b(size * size, 2.0f), c(size * size, 0.0f);
    constexpr int rowMajor = 101;
    constexpr int noTrans = 111;
    gemm(rowMajor, noTrans, noTrans, size, size, size, 1.0f, a.data(), size, b.data(), size, 0.0f, c.data(),
         size);
    EXPECT_FLOAT_EQ(c[size * size - 1], 2.0f * size);
    if (std::thread::hardware_concurrency() > 1) {
        EXPECT_GT(threadCount(), 1u);
    }
}
