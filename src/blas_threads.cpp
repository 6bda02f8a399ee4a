#include "blas_threads.hpp"

#include <cblas.h>

#include <atomic>
#include <mutex>

#include "parallel.hpp"

namespace vantorix {

namespace {
std::atomic<int> g_current{0};  // what we last told BLAS; 0: nothing yet
std::mutex g_change;             // a change completes before anyone relies on it
}  // namespace

int blas_threads_here() {
  return inside_parallel_loop() ? 1 : int(num_threads());
}

namespace {
void set_blas_threads([[maybe_unused]] int want) {
#ifdef OPENBLAS_VERSION
  if (g_current.load(std::memory_order_acquire) == want) return;
  const std::lock_guard<std::mutex> lock(g_change);
  if (g_current.load(std::memory_order_relaxed) != want) {
    openblas_set_num_threads(want);
    g_current.store(want, std::memory_order_release);
  }
#endif
}
}  // namespace

BlasThreads::BlasThreads() { set_blas_threads(blas_threads_here()); }

BlasThreads::BlasThreads(Single) { set_blas_threads(1); }

}  // namespace vantorix
