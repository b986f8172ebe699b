#pragma once

#include "System/ML/Half.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

// The arithmetic the model kinds share: matrix products through OpenBLAS, and the loops around them
// (LayerNorm, GELU, softmax) spread over a small pool of threads of our own.
namespace System::ML::Compute {

// How many threads a prediction may use, for OpenBLAS and for our own loops alike. It starts at the value of
// PARLINDO_ML_THREADS when that is set, else at the default (below).
int threads();
// Exactly `count` threads from now on, for every loop and team.
void setThreads(int count);
// The default: defaultThreads() threads, of which a team (together, below) takes as many as measure fastest
// (see TeamSizer).
void useDefaultThreads();
// The members that the next team gets: threads(), or under the default what its TeamSizer chose.
int teamMembers();

// The processors this process may run on (its affinity mask, which taskset or a container narrows), not the
// machine's: threads beyond those would only take turns on them, and a product waits for its slowest piece.
int defaultThreads();

// The multiplications that make a piece of a loop worth handing to another thread: smaller pieces would cost
// more to hand out than to do.
constexpr std::size_t kPieceMultiplications = std::size_t(1) << 14;

// Calls body(begin, end) over consecutive pieces of 0 ..< count, on several threads when there is enough work
// (at least two pieces of `grain` items) and the pool is free; otherwise on the calling thread at once.
void parallelFor(std::size_t count, std::size_t grain,
                 const std::function<void(std::size_t, std::size_t)>& body);

// A body that several threads run at once, each of them (a member of the team) the whole of it, sharing out
// the pieces of its loops: one hand-out of threads for a sequence of loops whose pieces take microseconds,
// such as the products of one decoder token, instead of one per loop. Every member must call the same
// sequence of forEach, with the same counts and grains, and nothing in the body may throw.
class Team {
public:
    struct Shared; // the pool's state of the team, inside Compute.cpp

    Team(Shared* shared, std::size_t member, std::size_t members);

    std::size_t members() const { return members_; }

    // Calls body(begin, end) over consecutive pieces of 0 ..< count of at least `grain` items, each piece on
    // one member, and returns on every member once every piece has run. A member runs the pieces of its own
    // share first and then takes those that others have not reached, so a member that the system holds back
    // does not hold back the loop. While the member waits for the others, it calls `ahead` (when given) again
    // and again until it returns false: work that the next loop will want done, such as bringing the member's
    // share of the next loop's data into its cache.
    void forEach(std::size_t count, std::size_t grain,
                 const std::function<void(std::size_t, std::size_t)>& body,
                 const std::function<bool()>& ahead = {});

    // The items of a loop of `count` items in pieces of at least `grain` that are this member's own share:
    // those it runs unless it is held back.
    std::pair<std::size_t, std::size_t> share(std::size_t count, std::size_t grain) const;

private:
    Shared* shared_;
    std::size_t member_;
    std::size_t members_;
    std::uint64_t loop_ = 0;     // the number of this member's latest loop
    std::uint32_t expected_ = 0; // the pieces that every loop of the team so far has, added up (wrapping)
};

// How many members a team gets under the default thread count, from how long the teams before it took. Every
// loop of a team waits for its slowest member, and a member that the system holds back while it runs a piece
// (when another program wants its processor) holds back every other member with it, so a team of as many
// members as there are free processors is faster than one with a member more; where memory is what limits a
// team, a member fewer can be as fast even on an idle machine. Which size is fastest is measured, not
// guessed: after a run of teams at one size, the next teams have a member more or fewer (a try). When the
// median time of kTrial of them is shorter than that of the kTrial teams before them, as many teams at the
// size as it was follow, and the tried size stays only when it beats those too: the speed of a virtual
// machine's memory and processors drifts by as much as a member changes, and a try that only met a faster
// moment must not stay. Beating means by more than a kLeastGain-th: between two sizes as fast as each other,
// the size stays. The first kSettling teams after a change of size do not count: the system takes a few
// milliseconds to spread a woken member's thread to a processor of its own. A try that stays is followed by
// one the same way after kFirstRun teams; a try that fails by one the other way after twice as many teams as
// before, up to kLongestRun, so that a size that stays the fastest costs little in tries, and the teams find
// a new fastest size within kLongestRun teams when the load changes. The decoder's teams follow each other
// with the same work (one token after the other), so their times compare; the median leaves out the odd
// longer team (a prompt of several tokens, a member woken late).
class TeamSizer {
public:
    static constexpr int kTrial = 8;
    static constexpr int kSettling = 2;
    static constexpr int kLeastGain = 50;
    // The teams at one size after which the size is tried, first and at most.
    static constexpr int kFirstRun = 16;
    static constexpr int kLongestRun = 128;

    explicit TeamSizer(int most);

    int members() const { return members_; }
    // Tells how long the latest team of members() took.
    void record(std::chrono::nanoseconds time);

private:
    using Times = std::array<std::chrono::nanoseconds, kTrial>;
    enum class Phase { settled, trying, checking };

    // The try failed: the size stays as it was.
    void keepSize();
    void enter(Phase phase, int members);

    int most_;
    int members_;
    int size_; // the size as it is: members_ but during a try
    Phase phase_ = Phase::settled;
    int teams_ = 0;                     // in the phase
    int run_ = kFirstRun;               // the settled teams after which the next try comes
    int step_ = -1;                     // the way of the next try: a member fewer or more
    Times kept_{};                      // the latest teams at size_, a ring
    Times tried_{};                     // the try's teams at size_ + step_
    std::chrono::nanoseconds before_{}; // the median of kept_ before the try
};

// Asks for `bytes` bytes from `begin` to be brought into this thread's cache, a kilobyte per call: a Team's
// `ahead`. False once all of them have been asked for.
class CacheWarmer {
public:
    CacheWarmer(const void* begin, std::size_t bytes);
    bool operator()();

private:
    const char* next_;
    const char* end_;
};

// Runs body(team) on as many members as threads() (the calling thread among them) and returns when all of
// them have returned. When the pool is busy, or inside a piece of another loop, the calling thread is the
// only member.
void together(const std::function<void(Team&)>& body);

// Row-major C[m×n] = A[m×k] · B (B is k×n, or n×k when `transposeB`), plus C when `accumulate`.
// lda/ldb/ldc are the row lengths of the buffers, so a product can read a slice of a wider matrix.
void matmul(int m, int n, int k, const float* a, int lda, const float* b, int ldb, bool transposeB, float* c,
            int ldc, bool accumulate = false);

// y[rows] = W[rows×cols] · x (plus y when `accumulate`), W row-major with rows `ldw` apart: one token's
// product with a weight matrix, split by rows over the pool. A product of one row through sgemm would pack
// the whole matrix first; this streams it once, which is all that one row needs. It is a loop of our own on
// processors with AVX2 (OpenBLAS's sgemv reads a row-major matrix at two thirds of the memory's rate), sgemv
// on others.
void matvec(int rows, int cols, const float* w, int ldw, const float* x, float* y, bool accumulate = false);

// The same with float16 weights, widened as they are multiplied.
void matvec(int rows, int cols, const Half* w, int ldw, const float* x, float* y, bool accumulate = false);

// y[cols] = scale · Wᵀ · x, W [rows×cols] row-major with rows `ldw` apart, on the calling thread: a small
// product, one of many that a caller already spreads over the pool, such as one attention head's scores.
// Float32 weights go through sgemv; float16 ones are widened as they are multiplied.
void transposedMatvec(int rows, int cols, const float* w, int ldw, const float* x, float* y,
                      float scale = 1.0f);
void transposedMatvec(int rows, int cols, const Half* w, int ldw, const float* x, float* y,
                      float scale = 1.0f);

// y[b·ldy + r] = scale · Σ_c W[r·ldw + b·size + c] · x[b·size + c] for each row r < rows and block b <
// blocks, on the calling thread: each row's dot product with x taken block by block, such as the scores of
// every attention head for keys stored one frame after another. Float16 rows are widened as they are
// multiplied.
void blockDots(int rows, int blocks, int size, const float* w, int ldw, const float* x, float* y,
               std::size_t ldy, float scale = 1.0f);
void blockDots(int rows, int blocks, int size, const Half* w, int ldw, const float* x, float* y,
               std::size_t ldy, float scale = 1.0f);

// A weight matrix [rows, cols] as its file stores it: float16 weights stay float16, so that a product with
// one token reads half the bytes; float32 (and bfloat16, widened) ones are float32. Products that every
// token reads, computed once from float16 weights, are kept the same way.
struct WeightMatrix {
    int rows = 0;
    int cols = 0;
    std::vector<float> floats; // rows·cols, or empty
    std::vector<Half> halves;  // rows·cols, or empty

    bool isHalf() const { return !halves.empty(); }
    // Row r as float32 into `out` [cols].
    void row(int r, float* out) const;
};

// What runs on rows begin ..< end of a product's result right after the piece of the product that made them,
// on the same thread: a bias or an activation, without one more loop over the pool.
using RowsDone = std::function<void(std::size_t begin, std::size_t end)>;

// y[rows] = W · x (plus y when `accumulate`), split by rows over the pool like matvec above, then `then` on
// each piece of rows when given. Float16 weights are widened as they are multiplied (OpenBLAS has no product
// of float16 with float32).
void matvec(const WeightMatrix& w, const float* x, float* y, bool accumulate = false,
            const RowsDone& then = {});

// Rows begin ..< end of y = W · x (plus y when `accumulate`), on the calling thread: a piece of a product
// that the caller spreads itself, such as over a Team.
void matvecRows(const WeightMatrix& w, std::size_t begin, std::size_t end, const float* x, float* y,
                bool accumulate = false);

// Rows of a matrix-vector product with `cols` columns that make a piece worth handing to another thread.
std::size_t matvecGrain(int cols);

// Float16 to float32, `count` elements.
void widen(const Half* in, float* out, std::size_t count);

// Float32 to float16, rounded to nearest, `count` elements.
void narrow(const float* in, Half* out, std::size_t count);

// Each row of x[rows×cols], normalised to zero mean and unit variance (ε = 1e-5), scaled by gamma and shifted
// by beta, into y (which may be x).
void layerNorm(const float* x, float* y, std::size_t rows, std::size_t cols, const float* gamma,
               const float* beta);

// x ← x · Φ(x), with the exact normal distribution function (through erf).
void gelu(float* x, std::size_t count);

// Each row of x[rows×cols] ← softmax of the row scaled by `scale`.
void softmaxRows(float* x, std::size_t rows, std::size_t cols, float scale = 1.0f);

// x[rows×cols] ← x + bias, the bias repeated on every row.
void addRowBias(float* x, std::size_t rows, std::size_t cols, const float* bias);

} // namespace System::ML::Compute
