#pragma once
// The one rule for BLAS threads. OpenBLAS keeps a pool of its own; left alone it starts one
// thread per core beside our worker pool and the two fight over the same cores. So every BLAS
// call of the library opens a BlasThreads scope first: from the calling thread (outside any
// parallel loop) BLAS may use as many threads as our pool has (VANTORIX_NUM_THREADS caps both),
// from inside a parallel loop exactly one.
namespace vantorix {

class BlasThreads {
 public:
  BlasThreads();
  // One BLAS thread wherever the call is made: for products whose rounding must not depend on
  // how many threads BLAS would split them over (OpenBLAS sums differently with more threads).
  struct Single {};
  explicit BlasThreads(Single);
  BlasThreads(const BlasThreads&) = delete;
  BlasThreads& operator=(const BlasThreads&) = delete;
};

// The thread count a BLAS call made here would get (1 inside a parallel loop).
int blas_threads_here();

}  // namespace vantorix
