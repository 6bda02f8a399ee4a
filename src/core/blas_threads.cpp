#include "core/blas_threads.hpp"

#include <cblas.h>

#include <atomic>
#include <mutex>

namespace vantorix {

namespace {
std::atomic<bool> g_single{false};  // whether BLAS was told to use one thread
std::mutex g_change;                // the change completes before anyone relies on it
}  // namespace

BlasThreads::BlasThreads() {
#ifdef OPENBLAS_VERSION
  if (g_single.load(std::memory_order_acquire)) return;
  const std::lock_guard<std::mutex> lock(g_change);
  if (!g_single.load(std::memory_order_relaxed)) {
    openblas_set_num_threads(1);
    g_single.store(true, std::memory_order_release);
  }
#endif
}

}  // namespace vantorix
