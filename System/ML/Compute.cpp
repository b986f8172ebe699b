#include "System/ML/Compute.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <cblas.h>

namespace System::ML::Compute {

namespace {

int initialThreads() {
    if (const char* text = std::getenv("PARLINDO_ML_THREADS")) {
        const int count = std::atoi(text);
        if (count > 0) {
            return count;
        }
    }
    return int(std::max(1u, std::thread::hardware_concurrency()));
}

// Workers that wait for one parallelFor at a time. A second caller meanwhile runs its loop on its own thread;
// it never waits for the pool.
class WorkerPool {
public:
    explicit WorkerPool(int threads) { resize(threads); }

    void resize(int threads) {
        std::lock_guard run(runLock_);
        stopWorkers();
        threads_ = std::max(1, threads);
        for (int i = 1; i < threads_.load(); ++i) {
            workers_.emplace_back([this] { work(); });
        }
    }

    // Read without the run lock: a loop body may ask while its loop holds it.
    int threads() const { return threads_.load(std::memory_order_relaxed); }

    void run(std::size_t count, std::size_t grain,
             const std::function<void(std::size_t, std::size_t)>& body) {
        grain = std::max<std::size_t>(grain, 1);
        // A loop inside a piece runs where it is: the pool is busy with the loop around it.
        thread_local bool insidePiece = false;
        std::unique_lock run(runLock_, std::defer_lock);
        if (insidePiece || count < 2 * grain || !run.try_lock() || threads_ == 1) {
            body(0, count);
            return;
        }
        insidePiece = true;
        struct Leave {
            bool& flag;
            ~Leave() { flag = false; }
        } leave{insidePiece};
        {
            std::lock_guard guard(lock_);
            body_ = &body;
            count_ = count;
            pieces_ = std::min<std::size_t>(std::size_t(threads_) * 4, count / grain);
            nextPiece_ = 0;
            finished_ = 0;
        }
        wake_.notify_all();
        std::unique_lock guard(lock_);
        runPieces(guard);
        done_.wait(guard, [&] { return finished_ == pieces_; });
        body_ = nullptr;
    }

private:
    // Claims pieces under the lock and runs them outside it. The job stays in place until its last piece has
    // finished, so a claimed piece always runs the job it was claimed from.
    void runPieces(std::unique_lock<std::mutex>& guard) {
        while (body_ && nextPiece_ < pieces_) {
            const std::size_t piece = nextPiece_++;
            const auto* body = body_;
            const std::size_t begin = count_ * piece / pieces_;
            const std::size_t end = count_ * (piece + 1) / pieces_;
            guard.unlock();
            (*body)(begin, end);
            guard.lock();
            if (++finished_ == pieces_) {
                done_.notify_all();
            }
        }
    }

    void work() {
        std::unique_lock guard(lock_);
        for (;;) {
            wake_.wait(guard, [&] { return stopping_ || (body_ && nextPiece_ < pieces_); });
            if (stopping_) {
                return;
            }
            runPieces(guard);
        }
    }

    void stopWorkers() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& worker : workers_) {
            worker.join();
        }
        workers_.clear();
        stopping_ = false;
    }

    std::mutex runLock_;
    std::atomic<int> threads_{1};
    std::vector<std::thread> workers_;

    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable done_;
    bool stopping_ = false;
    const std::function<void(std::size_t, std::size_t)>* body_ = nullptr;
    std::size_t count_ = 0;
    std::size_t pieces_ = 0;
    std::size_t nextPiece_ = 0;
    std::size_t finished_ = 0;
};

// e^x to within a few parts in 10⁷ (x clamped to the normal range of float), written without branches or
// calls so that a loop of it vectorises; the library's expf is called one element at a time.
inline float fastExp(float x) {
    x = std::min(std::max(x, -87.0f), 88.0f);
    // n = round(x / ln 2) by the add-and-subtract trick, then x = n·ln 2 + r with |r| ≤ ln 2 / 2.
    const float n = (x * 1.44269504f + 12582912.0f) - 12582912.0f;
    const float r = (x - n * 0.693145752f) - n * 1.42860677e-6f;
    const float p =
        1.0f +
        r * (1.0f + r * (0.5f + r * (1.0f / 6 + r * (1.0f / 24 + r * (1.0f / 120 + r * (1.0f / 720))))));
    // A NaN goes on as a NaN (through r), without an undefined conversion of it to an integer.
    const std::int32_t bits = (std::int32_t(n == n ? n : 0.0f) + 127) << 23;
    float scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return p * scale;
}

// erf(x) to within 1.5·10⁻⁷ (Abramowitz and Stegun 7.1.26), vectorisable like fastExp.
inline float fastErf(float x) {
    const float a = std::fabs(x);
    const float t = 1.0f / (1.0f + 0.3275911f * a);
    const float y =
        1.0f - t *
                   (0.254829592f +
                    t * (-0.284496736f + t * (1.421413741f + t * (-1.453152027f + t * 1.061405429f)))) *
                   fastExp(-a * a);
    return std::copysign(y, x);
}

// The element loops, compiled twice: for processors with AVX2 and for any other.
__attribute__((target_clones("avx2", "default"))) void geluSpan(float* x, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        x[i] = 0.5f * x[i] * (1.0f + fastErf(x[i] * 0.70710678f));
    }
}

__attribute__((target_clones("avx2", "default"))) void softmaxRow(float* row, std::size_t cols, float scale) {
    float largest = row[0];
    for (std::size_t c = 1; c < cols; ++c) {
        largest = std::max(largest, row[c]);
    }
    float sum = 0;
    for (std::size_t c = 0; c < cols; ++c) {
        row[c] = fastExp((row[c] - largest) * scale);
        sum += row[c];
    }
    const float normaliser = 1.0f / sum;
    for (std::size_t c = 0; c < cols; ++c) {
        row[c] *= normaliser;
    }
}

WorkerPool& pool() {
    // Never destroyed: its threads may still wait when the process ends.
    static WorkerPool* instance = [] {
        // OpenBLAS runs each product on the thread that calls it: the products are split over our own pool,
        // so there is one set of threads, not two competing for the processors.
        openblas_set_num_threads(1);
        return new WorkerPool(initialThreads());
    }();
    return *instance;
}

} // namespace

int threads() {
    return pool().threads();
}

void setThreads(int count) {
    count = std::max(1, count);
    pool().resize(count);
}

void parallelFor(std::size_t count, std::size_t grain,
                 const std::function<void(std::size_t, std::size_t)>& body) {
    pool().run(count, grain, body);
}

void matmul(int m, int n, int k, const float* a, int lda, const float* b, int ldb, bool transposeB, float* c,
            int ldc, bool accumulate) {
    auto product = [&](int rows, int columns, const float* left, const float* right, float* result) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, transposeB ? CblasTrans : CblasNoTrans, rows, columns, k,
                    1.0f, left, lda, right, ldb, accumulate ? 1.0f : 0.0f, result, ldc);
    };
    // One piece per thread, each at least a few million operations. Each piece packs the whole of the operand
    // it does not split, so the split runs along the side whose other operand is smaller.
    const std::size_t threadCount = std::size_t(threads());
    const bool splitRows = std::size_t(m) * std::size_t(k) >= std::size_t(n) * std::size_t(k) || n < 16;
    const std::size_t length = std::size_t(splitRows ? m : n);
    const double perItem = 2.0 * double(k) * double(splitRows ? n : m);
    const std::size_t grain = std::max({std::size_t(1), std::size_t(4e6 / std::max(perItem, 1.0)),
                                        (length + threadCount - 1) / threadCount});
    parallelFor(length, grain, [&](std::size_t begin, std::size_t end) {
        const int first = int(begin);
        const int count = int(end - begin);
        if (splitRows) {
            product(count, n, a + std::size_t(first) * std::size_t(lda), b,
                    c + std::size_t(first) * std::size_t(ldc));
        } else {
            const float* right = transposeB ? b + std::size_t(first) * std::size_t(ldb) : b + first;
            product(m, count, a, right, c + first);
        }
    });
}

void matvec(int rows, int cols, const float* w, int ldw, const float* x, float* y, bool accumulate) {
    // Pieces of at least 64 Ki multiplications (256 KiB of weights): smaller ones would cost more to hand out
    // than to do.
    const std::size_t grain = std::max<std::size_t>(1, std::size_t(1 << 16) / std::size_t(std::max(cols, 1)));
    parallelFor(std::size_t(rows), grain, [&](std::size_t begin, std::size_t end) {
        cblas_sgemv(CblasRowMajor, CblasNoTrans, int(end - begin), cols, 1.0f, w + begin * std::size_t(ldw),
                    ldw, x, 1, accumulate ? 1.0f : 0.0f, y + begin, 1);
    });
}

void layerNorm(const float* x, float* y, std::size_t rows, std::size_t cols, const float* gamma,
               const float* beta) {
    parallelFor(rows, std::max<std::size_t>(1, 16384 / std::max<std::size_t>(cols, 1)),
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t r = begin; r < end; ++r) {
                        const float* in = x + r * cols;
                        float* out = y + r * cols;
                        float sum = 0;
                        for (std::size_t c = 0; c < cols; ++c) {
                            sum += in[c];
                        }
                        const float mean = sum / float(cols);
                        float squares = 0;
                        for (std::size_t c = 0; c < cols; ++c) {
                            const float d = in[c] - mean;
                            squares += d * d;
                        }
                        const float scale = 1.0f / std::sqrt(squares / float(cols) + 1e-5f);
                        for (std::size_t c = 0; c < cols; ++c) {
                            out[c] = (in[c] - mean) * scale * gamma[c] + beta[c];
                        }
                    }
                });
}

void gelu(float* x, std::size_t count) {
    parallelFor(count, 16384, [&](std::size_t begin, std::size_t end) { geluSpan(x + begin, end - begin); });
}

void softmaxRows(float* x, std::size_t rows, std::size_t cols, float scale) {
    parallelFor(rows, std::max<std::size_t>(1, 16384 / std::max<std::size_t>(cols, 1)),
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t r = begin; r < end; ++r) {
                        softmaxRow(x + r * cols, cols, scale);
                    }
                });
}

void addRowBias(float* x, std::size_t rows, std::size_t cols, const float* bias) {
    parallelFor(rows, std::max<std::size_t>(1, 16384 / std::max<std::size_t>(cols, 1)),
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t r = begin; r < end; ++r) {
                        float* row = x + r * cols;
                        for (std::size_t c = 0; c < cols; ++c) {
                            row[c] += bias[c];
                        }
                    }
                });
}

} // namespace System::ML::Compute
