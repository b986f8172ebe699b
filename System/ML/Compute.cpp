#include "System/ML/Compute.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
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
        for (int i = 1; i < threads_; ++i) {
            workers_.emplace_back([this] { work(); });
        }
    }

    int threads() {
        std::lock_guard run(runLock_);
        return threads_;
    }

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
    int threads_ = 1;
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

WorkerPool& pool() {
    // Never destroyed: its threads may still wait when the process ends.
    static WorkerPool* instance = [] {
        const int threads = initialThreads();
        openblas_set_num_threads(threads);
        return new WorkerPool(threads);
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
    openblas_set_num_threads(count);
}

void parallelFor(std::size_t count, std::size_t grain,
                 const std::function<void(std::size_t, std::size_t)>& body) {
    pool().run(count, grain, body);
}

void matmul(int m, int n, int k, const float* a, int lda, const float* b, int ldb, bool transposeB, float* c,
            int ldc, bool accumulate) {
    pool(); // OpenBLAS takes its thread count from the pool's setting
    cblas_sgemm(CblasRowMajor, CblasNoTrans, transposeB ? CblasTrans : CblasNoTrans, m, n, k, 1.0f, a, lda, b,
                ldb, accumulate ? 1.0f : 0.0f, c, ldc);
}

void matvec(int rows, int cols, const float* w, int ldw, const float* x, float* y, bool accumulate) {
    // Pieces of at least a quarter of a million multiplications: fewer would cost more to hand out than to
    // do.
    const std::size_t grain = std::max<std::size_t>(1, std::size_t(1 << 18) / std::size_t(std::max(cols, 1)));
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
    parallelFor(count, 16384, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            x[i] = 0.5f * x[i] * (1.0f + std::erf(x[i] * float(M_SQRT1_2)));
        }
    });
}

void softmaxRows(float* x, std::size_t rows, std::size_t cols, float scale) {
    parallelFor(rows, std::max<std::size_t>(1, 16384 / std::max<std::size_t>(cols, 1)),
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t r = begin; r < end; ++r) {
                        float* row = x + r * cols;
                        float largest = row[0];
                        for (std::size_t c = 1; c < cols; ++c) {
                            largest = std::max(largest, row[c]);
                        }
                        float sum = 0;
                        for (std::size_t c = 0; c < cols; ++c) {
                            row[c] = std::exp((row[c] - largest) * scale);
                            sum += row[c];
                        }
                        const float normaliser = 1.0f / sum;
                        for (std::size_t c = 0; c < cols; ++c) {
                            row[c] *= normaliser;
                        }
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
