#include "blas_threads.hpp"

#include <cblas.h>

#include <atomic>

#include "parallel.hpp"

namespace vantorix {

namespace {
std::atomic<int> g_current{0};  // what we last told BLAS; 0: nothing yet
}

int blas_threads_here() {
  return inside_parallel_loop() ? 1 : int(num_threads());
}

BlasThreads::BlasThreads() {
#ifdef OPENBLAS_VERSION
  const int want = blas_threads_here();
  if (g_current.exchange(want) != want) openblas_set_num_threads(want);
#endif
}

}  // namespace vantorix
