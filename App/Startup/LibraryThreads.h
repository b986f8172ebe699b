#pragma once

namespace Parlindo {

// The speech recognizer's library brings OpenBLAS into the process (through its LAPACK), and OpenBLAS starts
// a worker thread per processor as it loads, although nothing in the program multiplies a matrix with it
// until a Whisper model runs. This stops those idle workers, as OpenBLAS itself does before a fork; its next
// parallel product starts them again, with the full number. Does nothing when the BLAS in use is not
// OpenBLAS. Call it first thing in main(), before any other thread uses BLAS.
void stopIdleLibraryThreads();

} // namespace Parlindo
