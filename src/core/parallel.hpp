#pragma once
// The one process-wide worker pool. Every parallel loop of the library goes through here.
//
// Loops split an index range into work items of a fixed size chosen by the caller, so results
// never depend on the number of threads unless the caller derives the size from it. Errors
// thrown inside a loop cancel the rest of it and one of them reaches the caller. Loops nest.
// Every work item starts at an interruption point, so a stopped call leaves its loops at once.
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <cstddef>
#include <vector>

#include "core/interrupt.hpp"

namespace vantorix {

// The arena all loops run in: sized to the hardware threads, or capped by VANTORIX_NUM_THREADS
// (read once), started on first use.
tbb::task_arena& worker_arena();
size_t num_threads();

inline size_t chunk_count(size_t n, size_t chunk) { return chunk == 0 ? 0 : (n + chunk - 1) / chunk; }

// Calls body(begin, end) for consecutive ranges [i*chunk, min(n, (i+1)*chunk)), in parallel.
template <class Body>
void parallel_chunks(size_t n, size_t chunk, Body&& body) {
  if (n == 0) return;
  if (chunk == 0) chunk = 1;
  const size_t chunks = chunk_count(n, chunk);
  if (chunks == 1) {
    interrupt_point();
    body(size_t{0}, n);
    return;
  }
  worker_arena().execute([&] {
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, chunks, 1),
        [&](const tbb::blocked_range<size_t>& r) {
          const detail::LoopScope scope;
          for (size_t c = r.begin(); c != r.end(); ++c) {
            interrupt_point();
            const size_t begin = c * chunk;
            const size_t end = begin + chunk < n ? begin + chunk : n;
            body(begin, end);
          }
        },
        tbb::simple_partitioner());
  });
}

// Calls body(i) for every i in [0, n), one task each (subspaces, candidates, shards, ...).
template <class Body>
void parallel_for_each(size_t n, Body&& body) {
  parallel_chunks(n, 1, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) body(i);
  });
}

// One scratch object per worker of the pool, plus one for a caller outside it, for loop bodies
// that reuse storage across chunks. A body must not start a nested loop while it holds its
// object: the waiting thread could run another chunk of the outer loop in the meantime.
template <class T>
class PerWorker {
 public:
  PerWorker() : slots_(num_threads() + 1) {}
  T& here() {
    const int slot = tbb::this_task_arena::current_thread_index();
    const size_t outside = slots_.size() - 1;
    return slots_[slot >= 0 && size_t(slot) < outside ? size_t(slot) : outside];
  }

 private:
  std::vector<T> slots_;
};

// Per-chunk partial results: body(begin, end) returns a T for each chunk; the results come back
// in chunk order so the caller reduces them deterministically.
template <class T, class Body>
std::vector<T> parallel_chunk_results(size_t n, size_t chunk, Body&& body) {
  if (chunk == 0) chunk = 1;
  std::vector<T> out(chunk_count(n, chunk));
  parallel_chunks(n, chunk, [&](size_t begin, size_t end) { out[begin / chunk] = body(begin, end); });
  return out;
}

}  // namespace vantorix
