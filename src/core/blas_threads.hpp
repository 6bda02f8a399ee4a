#pragma once
// The one rule for BLAS threads: one. OpenBLAS keeps a pool of its own; left alone it starts one
// thread per core beside our worker pool and the two fight over the same cores, and a threaded
// OpenBLAS rounds the same product differently for another thread count (OPQ rotations drifted
// by 3e-2 between 1 and 2 threads). So callers split every product into work items of a fixed
// size on our pool, and every BLAS or LAPACK call opens a BlasThreads scope, which keeps BLAS at
// one thread: results depend on the shapes only, never on VANTORIX_NUM_THREADS.
namespace vantorix {

class BlasThreads {
 public:
  BlasThreads();
  BlasThreads(const BlasThreads&) = delete;
  BlasThreads& operator=(const BlasThreads&) = delete;
};

}  // namespace vantorix
