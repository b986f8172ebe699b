#include "System/ML/Compute.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <cblas.h>
#include <immintrin.h>
#include <sched.h>

namespace System::ML::Compute {

namespace {

// The threads that PARLINDO_ML_THREADS asks for, or 0 for the default.
int initialThreads() {
    if (const char* text = std::getenv("PARLINDO_ML_THREADS")) {
        return std::max(0, std::atoi(text));
    }
    return 0;
}

// A worker that has just finished a piece looks for the next loop this long before it sleeps: the loops of
// one prediction follow each other within microseconds, those of a decoder's next token come after a few
// hundred (the sampling between two predictions), and a sleeping thread takes tens of them to wake, up to a
// hundred on a virtual machine, where the first loop of every token then ran on the calling thread alone.
constexpr auto kSpinTime = std::chrono::microseconds(1000);

// A member of a team that has run its pieces of a loop spins for the others to finish theirs at least this
// long, and at least kPiecesSpun times as long as its own pieces took on average, before it sleeps: longer
// than the others' last pieces can take unless the system holds back the thread that runs one, far shorter
// than it then holds it back (milliseconds, when another thread wants its processor).
constexpr auto kTeamSpinTime = std::chrono::microseconds(200);
constexpr int kPiecesSpun = 3;

// Spins until `ready()` or `time` has passed; true when ready.
template <class Ready>
bool spinUntil(Ready ready, std::chrono::microseconds time = kSpinTime) {
    const auto deadline = std::chrono::steady_clock::now() + time;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (ready()) {
                return true;
            }
            _mm_pause();
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return ready();
        }
    }
}

// A loop is handed out in at most this many pieces per thread: enough for the threads that finish first to
// take over from one that the system holds back, few enough that handing them out costs little.
constexpr std::size_t kPiecesPerThread = 4;

// The pieces that a loop of `count` items, in pieces of at least `grain`, is handed out in over `threads`.
std::size_t piecesOfLoop(std::size_t count, std::size_t grain, std::size_t threads) {
    return std::min(threads * kPiecesPerThread,
                    std::max<std::size_t>(1, count / std::max<std::size_t>(grain, 1)));
}

// The pieces first ..< last of a team loop's `pieces` that are the own share of `member` of `members`.
std::pair<std::size_t, std::size_t> ownPieces(std::size_t pieces, std::size_t member, std::size_t members) {
    return {pieces * member / members, pieces * (member + 1) / members};
}

// Set while this thread runs a piece of a loop of the pool: a loop inside it runs where it is.
thread_local bool insidePiece = false;

// Sets insidePiece for its lifetime, on the thread that holds the pool's run lock.
struct InsidePiece {
    InsidePiece() { insidePiece = true; }
    ~InsidePiece() { insidePiece = false; }
    InsidePiece(const InsidePiece&) = delete;
    InsidePiece& operator=(const InsidePiece&) = delete;
};

} // namespace

// What the members of a team share. Each member's share of a loop's pieces is claimed through a word of its
// own, on a cache line of its own, which holds the loop's number beside the pieces of the share claimed so
// far: a member claims its own pieces without contention and others only reach for them once theirs are done.
// A word that names an earlier loop counts as none claimed, so nothing has to be reset between loops; one
// that names a later loop means this one is over. The pieces that have run, added up over every loop (in 32
// bits, which wrap: members compare them by their difference, never more than a loop's pieces), tell each
// member when a loop is done.
//
// A member whose wait outlasts a brief spin sleeps on that sum until the member that completes the loop wakes
// it: a member that the system holds back in the middle of a piece then holds back the others' processors no
// longer, and the system can run it on one of theirs.
struct Team::Shared {
    struct alignas(64) Slot {
        std::atomic<std::uint64_t> word{0}; // loop << kClaimBits | pieces of the share claimed
    };
    static constexpr int kClaimBits = 24;

    std::unique_ptr<Slot[]> slots; // one per member
    alignas(64) std::atomic<std::uint32_t> done{0};
    std::atomic<std::uint32_t> sleeping{0}; // members asleep on `done`
    // Where the members of the next team start, set by the thread that starts it before the members see it
    std::uint64_t firstLoop = 0;
    std::uint32_t firstDone = 0;

    // Adds the `ran` pieces of a member to those done, and wakes the members asleep on them when that
    // completes the loop whose pieces add up to `expected`.
    void report(std::uint32_t ran, std::uint32_t expected) {
        const std::uint32_t before = done.fetch_add(ran, std::memory_order_seq_cst);
        if (std::int32_t(before + ran - expected) >= 0 && sleeping.load(std::memory_order_seq_cst) != 0) {
            done.notify_all();
        }
    }

    // Returns once the pieces done add up to `expected`, spinning for `spin` before it sleeps.
    void awaitDone(std::uint32_t expected, std::chrono::microseconds spin) {
        const auto over = [&] { return std::int32_t(done.load(std::memory_order_acquire) - expected) >= 0; };
        if (spinUntil(over, spin)) {
            return;
        }
        // Announced before the last look, so that the member that completes the loop sees a sleeper (and
        // wakes it) or this member sees the loop complete.
        sleeping.fetch_add(1, std::memory_order_seq_cst);
        for (std::uint32_t seen;
             std::int32_t((seen = done.load(std::memory_order_seq_cst)) - expected) < 0;) {
            done.wait(seen, std::memory_order_acquire);
        }
        sleeping.fetch_sub(1, std::memory_order_relaxed);
    }

    // Claims the next of the `share` pieces of `owner` in loop `loop` into `piece`; false when none is left.
    bool claim(std::size_t owner, std::uint64_t loop, std::size_t share, std::size_t& piece) {
        std::atomic<std::uint64_t>& word = slots[owner].word;
        std::uint64_t seen = word.load(std::memory_order_relaxed);
        for (;;) {
            const std::uint64_t seenLoop = seen >> kClaimBits;
            if (seenLoop > loop) {
                return false;
            }
            const std::uint64_t claimed = seenLoop == loop ? seen & ((1u << kClaimBits) - 1) : 0;
            if (claimed >= share) {
                return false;
            }
            if (word.compare_exchange_weak(seen, (loop << kClaimBits) | (claimed + 1),
                                           std::memory_order_acq_rel, std::memory_order_relaxed)) {
                piece = std::size_t(claimed);
                return true;
            }
        }
    }
};

namespace {

// Workers that wait for one parallelFor at a time. A second caller meanwhile runs its loop on its own thread;
// it never waits for the pool.
//
// A loop is handed out without locks: its pieces are claimed by adding one to a word that holds the loop's
// number of pieces beside the next unclaimed one, so a claim tells by itself whether it got a piece, and of
// which loop: a loop ends only after all its pieces are run, so the loop a claim names is still the one
// published. Each thread adds up the pieces it ran and reports them once, so a loop costs one contended
// addition per piece and one per thread (on this processor's cache lines, each such addition costs a few
// hundred nanoseconds). Between loops the workers spin a little (kSpinTime) before they sleep.
class WorkerPool {
public:
    explicit WorkerPool(int threads) { resize(threads); }

    // `threads` threads, or the default for 0.
    void resize(int threads) {
        std::lock_guard run(runLock_);
        stopWorkers();
        adaptive_ = threads == 0;
        threads_ = adaptive_ ? defaultThreads() : std::max(1, threads);
        sizer_ = TeamSizer(threads_);
        members_ = threads_.load();
        team_.slots = std::make_unique<Team::Shared::Slot[]>(std::size_t(threads_.load()));
        team_.firstLoop = 0;
        for (int i = 1; i < threads_.load(); ++i) {
            workers_.emplace_back([this] { work(); });
        }
    }

    // Read without the run lock: a loop body may ask while its loop holds it.
    int threads() const { return threads_.load(std::memory_order_relaxed); }
    int teamMembers() const { return members_.load(std::memory_order_relaxed); }

    void run(std::size_t count, std::size_t grain,
             const std::function<void(std::size_t, std::size_t)>& body) {
        grain = std::max<std::size_t>(grain, 1);
        // A loop inside a piece runs where it is: the pool is busy with the loop around it.
        std::unique_lock run(runLock_, std::defer_lock);
        if (insidePiece || count < 2 * grain || !run.try_lock() || threads_ == 1) {
            body(0, count);
            return;
        }
        runLocked(count, piecesOfLoop(count, grain, std::size_t(threads_)), body);
    }

    void together(const std::function<void(Team&)>& body) {
        std::unique_lock run(runLock_, std::defer_lock);
        if (insidePiece || !run.try_lock() || (members_ == 1 && !adaptive_)) {
            run = {};
            Team alone(nullptr, 0, 1);
            body(alone);
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        if (members_ == 1) {
            // The sizer's own team of one: timed like any other, so that a try of two can beat it.
            const InsidePiece inside;
            Team alone(nullptr, 0, 1);
            body(alone);
            recordTeam(std::chrono::steady_clock::now() - start);
            return;
        }
        const auto members = std::size_t(members_);
        team_.firstDone = team_.done.load(std::memory_order_relaxed);
        runLocked(members, members, [&](std::size_t begin, std::size_t end) {
            for (std::size_t member = begin; member < end; ++member) {
                Team team(&team_, member, members);
                body(team);
            }
        });
        // The next team's loops are numbered after every loop that a word still names.
        for (std::size_t member = 0; member < members; ++member) {
            team_.firstLoop =
                std::max(team_.firstLoop, team_.slots[member].word.load(std::memory_order_relaxed) >>
                                              Team::Shared::kClaimBits);
        }
        recordTeam(std::chrono::steady_clock::now() - start);
    }

private:
    // Under the run lock.
    void recordTeam(std::chrono::nanoseconds time) {
        if (adaptive_) {
            sizer_.record(time);
            members_ = sizer_.members();
        }
    }

    // Runs `body` over `pieces` pieces of 0 ..< count on the pool and the calling thread, with the run lock
    // held.
    void runLocked(std::size_t count, std::size_t pieceCount,
                   const std::function<void(std::size_t, std::size_t)>& body) {
        const InsidePiece inside;

        const auto pieces = std::uint32_t(pieceCount);
        body_.store(&body, std::memory_order_relaxed);
        count_.store(count, std::memory_order_relaxed);
        finished_.store(0, std::memory_order_relaxed);
        claims_.store(std::uint64_t(pieces) << 32, std::memory_order_release);
        loops_.fetch_add(1, std::memory_order_release);
        loops_.notify_all();

        runPieces();
        if (!spinUntil([&] { return finished_.load(std::memory_order_acquire) == pieces; })) {
            for (std::uint32_t done; (done = finished_.load(std::memory_order_acquire)) != pieces;) {
                finished_.wait(done, std::memory_order_acquire);
            }
        }
    }

    // Claims and runs pieces of the loop in hand until none is left; true when it ran any.
    bool runPieces() {
        std::uint32_t ran = 0, pieces = 0;
        for (;;) {
            // A look before the addition spares the cache line a write once every piece is taken.
            const std::uint64_t seen = claims_.load(std::memory_order_relaxed);
            if (std::uint32_t(seen) >= std::uint32_t(seen >> 32)) {
                break;
            }
            const std::uint64_t claim = claims_.fetch_add(1, std::memory_order_acq_rel);
            const auto piece = std::uint32_t(claim);
            pieces = std::uint32_t(claim >> 32);
            if (piece >= pieces) {
                break;
            }
            // The loop cannot end before this piece has run, so the body and count are still its own.
            const std::size_t count = count_.load(std::memory_order_relaxed);
            (*body_.load(std::memory_order_relaxed))(count * piece / pieces, count * (piece + 1) / pieces);
            ++ran;
        }
        if (ran != 0 && finished_.fetch_add(ran, std::memory_order_acq_rel) + ran == pieces) {
            finished_.notify_all();
        }
        return ran != 0;
    }

    // A worker that found no piece of a loop (a team of fewer members than the pool's threads) sleeps at
    // once: spinning, it would take a processor from those that run the loop.
    void work() {
        std::uint32_t seen = 0;
        bool ran = false;
        for (;;) {
            if (!(ran && spinUntil([&] { return loops_.load(std::memory_order_acquire) != seen; }))) {
                loops_.wait(seen, std::memory_order_acquire);
            }
            if (stopping_.load(std::memory_order_acquire)) {
                return;
            }
            seen = loops_.load(std::memory_order_acquire);
            ran = runPieces();
        }
    }

    void stopWorkers() {
        stopping_.store(true, std::memory_order_release);
        loops_.fetch_add(1, std::memory_order_acq_rel);
        loops_.notify_all();
        for (auto& worker : workers_) {
            worker.join();
        }
        workers_.clear();
        stopping_.store(false, std::memory_order_release);
    }

    std::mutex runLock_;
    std::atomic<int> threads_{1};
    bool adaptive_ = false;       // the default: the team's size follows sizer_
    TeamSizer sizer_{1};          // used under the run lock
    std::atomic<int> members_{1}; // of the next team
    std::vector<std::thread> workers_;

    std::atomic<bool> stopping_{false};
    std::atomic<std::uint32_t> loops_{0};  // the number of the latest loop; workers sleep on it
    std::atomic<std::uint64_t> claims_{0}; // the loop's pieces << 32 | its next unclaimed piece
    std::atomic<const std::function<void(std::size_t, std::size_t)>*> body_{nullptr};
    std::atomic<std::size_t> count_{0};
    std::atomic<std::uint32_t> finished_{0};

    Team::Shared team_; // used under the run lock
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

// The element loops, compiled twice: for processors with AVX2 and for any other (see the dispatchers
// below).
[[gnu::always_inline]] inline void geluLoop(float* x, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        x[i] = 0.5f * x[i] * (1.0f + fastErf(x[i] * 0.70710678f));
    }
}

// Σ f(x[c]) over c < cols in eight lanes, so that the loop vectorises: a sum in one lane waits on every
// addition before it.
template <class F>
[[gnu::always_inline]] inline float laneSum(const float* x, std::size_t cols, F f) {
    constexpr std::size_t lanes = 8;
    const std::size_t whole = cols / lanes * lanes;
    float sums[lanes] = {};
    for (std::size_t c = 0; c < whole; c += lanes) {
        for (std::size_t k = 0; k < lanes; ++k) {
            sums[k] += f(x[c + k]);
        }
    }
    for (std::size_t c = whole; c < cols; ++c) {
        sums[0] += f(x[c]);
    }
    float sum = 0;
    for (const float part : sums) {
        sum += part;
    }
    return sum;
}

// The maximum and the sum run in eight lanes, so that every loop of a softmax vectorises.
[[gnu::always_inline]] inline void softmaxLoop(float* row, std::size_t cols, float scale) {
    constexpr std::size_t lanes = 8;
    float largests[lanes];
    std::fill_n(largests, lanes, row[0]);
    const std::size_t whole = cols / lanes * lanes;
    for (std::size_t c = 0; c < whole; c += lanes) {
        for (std::size_t k = 0; k < lanes; ++k) {
            largests[k] = std::max(largests[k], row[c + k]);
        }
    }
    for (std::size_t c = whole; c < cols; ++c) {
        largests[0] = std::max(largests[0], row[c]);
    }
    const float largest = *std::max_element(largests, largests + lanes);
    for (std::size_t c = 0; c < cols; ++c) {
        row[c] = fastExp((row[c] - largest) * scale);
    }
    const float normaliser = 1.0f / laneSum(row, cols, [](float value) { return value; });
    for (std::size_t c = 0; c < cols; ++c) {
        row[c] *= normaliser;
    }
}

// One row of a LayerNorm, its sums in eight lanes (a decoder token normalises a row three times per layer).
[[gnu::always_inline]] inline void layerNormLoop(const float* in, float* out, std::size_t cols,
                                                 const float* gamma, const float* beta) {
    const float mean = laneSum(in, cols, [](float value) { return value; }) / float(cols);
    const float variance = laneSum(in, cols, [mean](float value) { return (value - mean) * (value - mean); });
    const float scale = 1.0f / std::sqrt(variance / float(cols) + 1e-5f);
    for (std::size_t c = 0; c < cols; ++c) {
        out[c] = (in[c] - mean) * scale * gamma[c] + beta[c];
    }
}

__attribute__((target("avx2"))) void layerNormAvx2(const float* in, float* out, std::size_t cols,
                                                   const float* gamma, const float* beta) {
    layerNormLoop(in, out, cols, gamma, beta);
}
void layerNormPlain(const float* in, float* out, std::size_t cols, const float* gamma, const float* beta) {
    layerNormLoop(in, out, cols, gamma, beta);
}
__attribute__((target("avx2"))) void geluAvx2(float* x, std::size_t count) {
    geluLoop(x, count);
}
void geluPlain(float* x, std::size_t count) {
    geluLoop(x, count);
}
__attribute__((target("avx2"))) void softmaxAvx2(float* row, std::size_t cols, float scale) {
    softmaxLoop(row, cols, scale);
}
void softmaxPlain(float* row, std::size_t cols, float scale) {
    softmaxLoop(row, cols, scale);
}

// y[r] (+)= Σ_c w[r·ldw + c] · x[c], one row after the other, for float16 rows (widened by F16C as they are
// read) and float32 ones: four sums of eight lanes take one 64-byte line of weights per round. A row of a
// matrix-vector product is read once and only once, so the loop runs at the speed of memory as long as it
// keeps enough loads in flight, which this one does and OpenBLAS's sgemv on a row-major matrix does not
// (about two thirds of the rate here).
template <class Element>
__attribute__((target("avx2,f16c,fma"))) inline __m256 load8(const Element* p) {
    if constexpr (std::is_same_v<Element, Half>) {
        return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    } else {
        return _mm256_loadu_ps(p);
    }
}

__attribute__((target("avx2,f16c,fma"))) inline float horizontalSum(__m256 lanes) {
    const __m128 half = _mm_add_ps(_mm256_castps256_ps128(lanes), _mm256_extractf128_ps(lanes, 1));
    const __m128 pair = _mm_add_ps(half, _mm_movehl_ps(half, half));
    return _mm_cvtss_f32(_mm_add_ss(pair, _mm_movehdup_ps(pair)));
}

template <class Element>
__attribute__((target("avx2,f16c,fma"))) void rowsAvx2(int rows, int cols, const Element* w, std::size_t ldw,
                                                       const float* x, float* y, bool accumulate) {
    for (int r = 0; r < rows; ++r) {
        const Element* row = w + std::size_t(r) * ldw;
        __m256 sums[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
        int c = 0;
        for (; c + 32 <= cols; c += 32) {
            for (int k = 0; k < 4; ++k) {
                sums[k] = _mm256_fmadd_ps(load8(row + c + 8 * k), _mm256_loadu_ps(x + c + 8 * k), sums[k]);
            }
        }
        for (; c + 8 <= cols; c += 8) {
            sums[0] = _mm256_fmadd_ps(load8(row + c), _mm256_loadu_ps(x + c), sums[0]);
        }
        float sum =
            horizontalSum(_mm256_add_ps(_mm256_add_ps(sums[0], sums[1]), _mm256_add_ps(sums[2], sums[3])));
        for (; c < cols; ++c) {
            sum += float(row[c]) * x[c];
        }
        y[r] = accumulate ? y[r] + sum : sum;
    }
}

template <class Element>
__attribute__((target("avx2,f16c,fma"))) void blockDotsAvx2(int rows, int blocks, int size, const Element* w,
                                                            std::size_t ldw, const float* x, float* y,
                                                            std::size_t ldy, float scale) {
    for (int r = 0; r < rows; ++r) {
        for (int b = 0; b < blocks; ++b) {
            const Element* row = w + std::size_t(r) * ldw + std::size_t(b) * std::size_t(size);
            const float* xs = x + std::size_t(b) * std::size_t(size);
            __m256 sums[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
            int c = 0;
            for (; c + 16 <= size; c += 16) {
                sums[0] = _mm256_fmadd_ps(load8(row + c), _mm256_loadu_ps(xs + c), sums[0]);
                sums[1] = _mm256_fmadd_ps(load8(row + c + 8), _mm256_loadu_ps(xs + c + 8), sums[1]);
            }
            for (; c + 8 <= size; c += 8) {
                sums[0] = _mm256_fmadd_ps(load8(row + c), _mm256_loadu_ps(xs + c), sums[0]);
            }
            float sum = horizontalSum(_mm256_add_ps(sums[0], sums[1]));
            for (; c < size; ++c) {
                sum += float(row[c]) * xs[c];
            }
            y[std::size_t(b) * ldy + std::size_t(r)] = scale * sum;
        }
    }
}

template <class Element>
void blockDotsPlain(int rows, int blocks, int size, const Element* w, std::size_t ldw, const float* x,
                    float* y, std::size_t ldy, float scale) {
    for (int r = 0; r < rows; ++r) {
        for (int b = 0; b < blocks; ++b) {
            const Element* row = w + std::size_t(r) * ldw + std::size_t(b) * std::size_t(size);
            const float* xs = x + std::size_t(b) * std::size_t(size);
            float sum = 0;
            for (int c = 0; c < size; ++c) {
                sum += float(row[c]) * xs[c];
            }
            y[std::size_t(b) * ldy + std::size_t(r)] = scale * sum;
        }
    }
}

void halfRowsPlain(int rows, int cols, const Half* w, std::size_t ldw, const float* x, float* y,
                   bool accumulate) {
    for (int r = 0; r < rows; ++r) {
        const Half* row = w + std::size_t(r) * ldw;
        float sum = 0;
        for (int c = 0; c < cols; ++c) {
            sum += float(row[c]) * x[c];
        }
        y[r] = accumulate ? y[r] + sum : sum;
    }
}

// Conversions between float16 and float32, eight at a time (the compiler leaves the element loops scalar).
__attribute__((target("avx2,f16c,fma"))) void widenAvx2(const Half* in, float* out, std::size_t count) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        _mm256_storeu_ps(out + i, load8(in + i));
    }
    for (; i < count; ++i) {
        out[i] = float(in[i]);
    }
}
void widenPlain(const Half* in, float* out, std::size_t count) {
    std::copy_n(in, count, out);
}
__attribute__((target("avx2,f16c,fma"))) void narrowAvx2(const float* in, Half* out, std::size_t count) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm256_cvtps_ph(_mm256_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT));
    }
    for (; i < count; ++i) {
        out[i] = Half(in[i]);
    }
}
void narrowPlain(const float* in, Half* out, std::size_t count) {
    std::copy_n(in, count, out);
}

// y[cols] = Σ_r scale·x[r] · w[r], row after row into y, which stays in the first-level cache.
__attribute__((target("avx2,f16c,fma"))) void transposedHalfAvx2(int rows, int cols, const Half* w,
                                                                 std::size_t ldw, const float* x, float* y,
                                                                 float scale) {
    std::fill_n(y, cols, 0.0f);
    for (int r = 0; r < rows; ++r) {
        const Half* row = w + std::size_t(r) * ldw;
        const float factor = scale * x[r];
        const __m256 factors = _mm256_set1_ps(factor);
        int c = 0;
        for (; c + 8 <= cols; c += 8) {
            _mm256_storeu_ps(y + c, _mm256_fmadd_ps(load8(row + c), factors, _mm256_loadu_ps(y + c)));
        }
        for (; c < cols; ++c) {
            y[c] += factor * float(row[c]);
        }
    }
}

void transposedHalfPlain(int rows, int cols, const Half* w, std::size_t ldw, const float* x, float* y,
                         float scale) {
    std::fill_n(y, cols, 0.0f);
    for (int r = 0; r < rows; ++r) {
        const Half* row = w + std::size_t(r) * ldw;
        const float factor = scale * x[r];
        for (int c = 0; c < cols; ++c) {
            y[c] += factor * float(row[c]);
        }
    }
}

void floatRowsBlas(int rows, int cols, const float* w, std::size_t ldw, const float* x, float* y,
                   bool accumulate) {
    cblas_sgemv(CblasRowMajor, CblasNoTrans, rows, cols, 1.0f, w, int(ldw), x, 1, accumulate ? 1.0f : 0.0f, y,
                1);
}

template <class Element>
using Rows = void (*)(int, int, const Element*, std::size_t, const float*, float*, bool);

bool hasAvx2() {
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c") &&
               __builtin_cpu_supports("fma");
    }();
    return supported;
}

Rows<Half> halfRows() {
    return hasAvx2() ? &rowsAvx2<Half> : &halfRowsPlain;
}

Rows<float> floatRows() {
    return hasAvx2() ? &rowsAvx2<float> : &floatRowsBlas;
}

// The variant is picked at the first call rather than by the loader (as multi-versioned functions are): a
// loader-time resolver runs before a sanitizer's runtime is ready, and crashes the program when instrumented.
void geluSpan(float* x, std::size_t count) {
    static const auto span = hasAvx2() ? &geluAvx2 : &geluPlain;
    span(x, count);
}

void layerNormRow(const float* in, float* out, std::size_t cols, const float* gamma, const float* beta) {
    static const auto span = hasAvx2() ? &layerNormAvx2 : &layerNormPlain;
    span(in, out, cols, gamma, beta);
}

void softmaxRow(float* row, std::size_t cols, float scale) {
    static const auto span = hasAvx2() ? &softmaxAvx2 : &softmaxPlain;
    span(row, cols, scale);
}

void widenSpan(const Half* in, float* out, std::size_t count) {
    static const auto span = hasAvx2() ? &widenAvx2 : &widenPlain;
    span(in, out, count);
}

void narrowSpan(const float* in, Half* out, std::size_t count) {
    static const auto span = hasAvx2() ? &narrowAvx2 : &narrowPlain;
    span(in, out, count);
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

int defaultThreads() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
        return CPU_COUNT(&allowed);
    }
    return int(std::max(1u, std::thread::hardware_concurrency()));
}

void setThreads(int count) {
    pool().resize(std::max(1, count));
}

void useDefaultThreads() {
    pool().resize(0);
}

int teamMembers() {
    return pool().teamMembers();
}

void parallelFor(std::size_t count, std::size_t grain,
                 const std::function<void(std::size_t, std::size_t)>& body) {
    pool().run(count, grain, body);
}

Team::Team(Shared* shared, std::size_t member, std::size_t members)
    : shared_(shared)
    , member_(member)
    , members_(members)
    , loop_(shared ? shared->firstLoop : 0)
    , expected_(shared ? shared->firstDone : 0) {}

std::pair<std::size_t, std::size_t> Team::share(std::size_t count, std::size_t grain) const {
    const std::size_t pieces = piecesOfLoop(count, grain, members_);
    const auto [first, last] = ownPieces(pieces, member_, members_);
    return {count * first / pieces, count * last / pieces};
}

void Team::forEach(std::size_t count, std::size_t grain,
                   const std::function<void(std::size_t, std::size_t)>& body,
                   const std::function<bool()>& ahead) {
    if (shared_ == nullptr) {
        if (count != 0) {
            body(0, count);
        }
        return;
    }
    if (count == 0) {
        return;
    }
    const std::size_t pieces = piecesOfLoop(count, grain, members_);
    ++loop_;
    expected_ += std::uint32_t(pieces);
    std::uint32_t ran = 0;
    const auto start = std::chrono::steady_clock::now();
    // Its own share first, then what the members after it have left.
    for (std::size_t k = 0; k < members_; ++k) {
        const std::size_t owner = (member_ + k) % members_;
        const auto [first, last] = ownPieces(pieces, owner, members_);
        const std::size_t share = last - first;
        for (std::size_t piece; share != 0 && shared_->claim(owner, loop_, share, piece);) {
            const std::size_t index = first + piece;
            body(count * index / pieces, count * (index + 1) / pieces);
            ++ran;
        }
    }
    auto spin = kTeamSpinTime;
    if (ran != 0) {
        shared_->report(ran, expected_);
        spin = std::max(spin, std::chrono::duration_cast<std::chrono::microseconds>(
                                  (std::chrono::steady_clock::now() - start) * kPiecesSpun / ran));
    }
    if (ahead) {
        while (std::int32_t(shared_->done.load(std::memory_order_acquire) - expected_) < 0 && ahead()) {
        }
    }
    shared_->awaitDone(expected_, spin);
}

TeamSizer::TeamSizer(int most)
    : most_(std::max(1, most))
    , members_(most_)
    , size_(most_) {}

namespace {

std::chrono::nanoseconds median(std::array<std::chrono::nanoseconds, TeamSizer::kTrial> times) {
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
}

} // namespace

void TeamSizer::record(std::chrono::nanoseconds time) {
    if (most_ == 1) {
        return;
    }
    ++teams_;
    if (phase_ == Phase::settled) {
        kept_[std::size_t(teams_ % kTrial)] = time;
        if (teams_ >= std::max(run_, kTrial)) {
            if (size_ + step_ < 1 || size_ + step_ > most_) {
                step_ = -step_;
            }
            before_ = median(kept_);
            enter(Phase::trying, size_ + step_);
        }
        return;
    }
    const int counted = teams_ - kSettling;
    if (counted < 1) {
        return;
    }
    (phase_ == Phase::trying ? tried_ : kept_)[std::size_t(counted - 1)] = time;
    if (counted < kTrial) {
        return;
    }
    const auto faster = [](std::chrono::nanoseconds time, std::chrono::nanoseconds than) {
        return time < than - than / kLeastGain;
    };
    if (!faster(median(tried_), phase_ == Phase::trying ? before_ : median(kept_))) {
        keepSize();
    } else if (phase_ == Phase::trying) {
        enter(Phase::checking, size_);
    } else {
        size_ += step_;
        run_ = kFirstRun;
        enter(Phase::settled, size_);
    }
}

void TeamSizer::keepSize() {
    run_ = std::min(2 * run_, kLongestRun);
    step_ = -step_;
    enter(Phase::settled, size_);
}

void TeamSizer::enter(Phase phase, int members) {
    phase_ = phase;
    members_ = members;
    teams_ = 0;
}

CacheWarmer::CacheWarmer(const void* begin, std::size_t bytes)
    : next_(static_cast<const char*>(begin))
    , end_(next_ + bytes) {}

bool CacheWarmer::operator()() {
    constexpr std::size_t kLine = 64, kLinesPerCall = 16;
    for (std::size_t line = 0; line < kLinesPerCall && next_ < end_; ++line) {
        _mm_prefetch(next_, _MM_HINT_T0);
        next_ += std::min<std::size_t>(kLine, std::size_t(end_ - next_));
    }
    return next_ < end_;
}

void together(const std::function<void(Team&)>& body) {
    pool().together(body);
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
    const std::size_t grain =
        std::max({std::size_t(1), std::size_t(4e6 / std::max(perItem, 1.0)), length / threadCount});
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

std::size_t matvecGrain(int cols) {
    return std::max<std::size_t>(1, kPieceMultiplications / std::size_t(std::max(cols, 1)));
}

template <class Element>
void rowsOverPool(Rows<Element> product, int rows, int cols, const Element* w, int ldw, const float* x,
                  float* y, bool accumulate, const RowsDone& then) {
    parallelFor(std::size_t(rows), matvecGrain(cols), [&](std::size_t begin, std::size_t end) {
        product(int(end - begin), cols, w + begin * std::size_t(ldw), std::size_t(ldw), x, y + begin,
                accumulate);
        if (then) {
            then(begin, end);
        }
    });
}

void matvec(int rows, int cols, const float* w, int ldw, const float* x, float* y, bool accumulate) {
    rowsOverPool(floatRows(), rows, cols, w, ldw, x, y, accumulate, {});
}

void matvec(int rows, int cols, const Half* w, int ldw, const float* x, float* y, bool accumulate) {
    rowsOverPool(halfRows(), rows, cols, w, ldw, x, y, accumulate, {});
}

void transposedMatvec(int rows, int cols, const float* w, int ldw, const float* x, float* y, float scale) {
    pool(); // which keeps OpenBLAS to the calling thread
    cblas_sgemv(CblasRowMajor, CblasTrans, rows, cols, scale, w, ldw, x, 1, 0.0f, y, 1);
}

void transposedMatvec(int rows, int cols, const Half* w, int ldw, const float* x, float* y, float scale) {
    static const auto product = hasAvx2() ? &transposedHalfAvx2 : &transposedHalfPlain;
    product(rows, cols, w, std::size_t(ldw), x, y, scale);
}

void blockDots(int rows, int blocks, int size, const float* w, int ldw, const float* x, float* y,
               std::size_t ldy, float scale) {
    static const auto product = hasAvx2() ? &blockDotsAvx2<float> : &blockDotsPlain<float>;
    product(rows, blocks, size, w, std::size_t(ldw), x, y, ldy, scale);
}

void blockDots(int rows, int blocks, int size, const Half* w, int ldw, const float* x, float* y,
               std::size_t ldy, float scale) {
    static const auto product = hasAvx2() ? &blockDotsAvx2<Half> : &blockDotsPlain<Half>;
    product(rows, blocks, size, w, std::size_t(ldw), x, y, ldy, scale);
}

void WeightMatrix::row(int r, float* out) const {
    const std::size_t offset = std::size_t(r) * std::size_t(cols);
    if (isHalf()) {
        widenSpan(halves.data() + offset, out, std::size_t(cols));
    } else {
        std::copy_n(floats.data() + offset, cols, out);
    }
}

void matvec(const WeightMatrix& w, const float* x, float* y, bool accumulate, const RowsDone& then) {
    if (w.isHalf()) {
        rowsOverPool(halfRows(), w.rows, w.cols, w.halves.data(), w.cols, x, y, accumulate, then);
    } else {
        rowsOverPool(floatRows(), w.rows, w.cols, w.floats.data(), w.cols, x, y, accumulate, then);
    }
}

void matvecRows(const WeightMatrix& w, std::size_t begin, std::size_t end, const float* x, float* y,
                bool accumulate) {
    const std::size_t offset = begin * std::size_t(w.cols);
    if (w.isHalf()) {
        halfRows()(int(end - begin), w.cols, w.halves.data() + offset, std::size_t(w.cols), x, y + begin,
                   accumulate);
    } else {
        floatRows()(int(end - begin), w.cols, w.floats.data() + offset, std::size_t(w.cols), x, y + begin,
                    accumulate);
    }
}

void widen(const Half* in, float* out, std::size_t count) {
    widenSpan(in, out, count);
}

void narrow(const float* in, Half* out, std::size_t count) {
    narrowSpan(in, out, count);
}

void layerNorm(const float* x, float* y, std::size_t rows, std::size_t cols, const float* gamma,
               const float* beta) {
    parallelFor(rows, std::max<std::size_t>(1, 16384 / std::max<std::size_t>(cols, 1)),
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t r = begin; r < end; ++r) {
                        layerNormRow(x + r * cols, y + r * cols, cols, gamma, beta);
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
