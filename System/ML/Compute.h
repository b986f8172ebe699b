#pragma once

#include <cstddef>
#include <functional>

// The arithmetic the model kinds share: matrix products through OpenBLAS, and the loops around them
// (LayerNorm, GELU, softmax) spread over a small pool of threads of our own.
namespace System::ML::Compute {

// How many threads a prediction may use, for OpenBLAS and for our own loops alike. It starts at the value of
// PARLINDO_ML_THREADS when that is set, else at the number of processors.
int threads();
void setThreads(int count);

// Calls body(begin, end) over consecutive pieces of 0 ..< count, on several threads when there is enough work
// (at least two pieces of `grain` items) and the pool is free; otherwise on the calling thread at once.
void parallelFor(std::size_t count, std::size_t grain,
                 const std::function<void(std::size_t, std::size_t)>& body);

// Row-major C[m×n] = A[m×k] · B (B is k×n, or n×k when `transposeB`), plus C when `accumulate`.
// lda/ldb/ldc are the row lengths of the buffers, so a product can read a slice of a wider matrix.
void matmul(int m, int n, int k, const float* a, int lda, const float* b, int ldb, bool transposeB, float* c,
            int ldc, bool accumulate = false);

// y[rows] = W[rows×cols] · x (plus y when `accumulate`), W row-major with rows `ldw` apart: one token's
// product with a weight matrix, split by rows over the pool. A product of one row through sgemm would pack
// the whole matrix first; sgemv streams it once, which is all that one row needs.
void matvec(int rows, int cols, const float* w, int ldw, const float* x, float* y, bool accumulate = false);

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
