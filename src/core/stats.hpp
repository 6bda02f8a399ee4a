#pragma once
// What a call did, counted and timed: read by the benchmarks and by the symmetric code fit's
// VANTORIX_PROFILE_CLUSTER line. Nothing is recorded unless someone asks: a StatsScope makes one
// FitStats the record of the calling thread until the scope closes, and the code that records
// looks it up there (once per call, before its parallel loops, whose workers add to the same
// record). With no scope open, recording costs one thread-local load, and no product signature
// carries a record.
#include <atomic>
#include <chrono>
#include <cstdint>

namespace vantorix {

// Timings of the symmetric fit over codes: the fields of the profile line.
struct PqFitProfile {
  using Duration = std::chrono::nanoseconds;
  Duration init{0}, assign_total{0}, assign_build_lookup{0}, assign_eval{0}, update_total{0},
      update_counts{0}, update_vote{0}, update_reseed{0};
};

struct FitStats {
  PqFitProfile code_fit;
  // The dense screen: rows that went through the bound, of those the rows with more than one
  // center left to measure, and the direct measurements in all.
  std::atomic<uint64_t> screen_rows{0}, screen_confirmed{0}, screen_measured{0};
  // Of screen_rows, the rows screened with bf16 products.
  std::atomic<uint64_t> screen_bf16_rows{0};
  // The pruned PDX assignment: (row, center, dimension) steps computed.
  std::atomic<uint64_t> pdx_steps{0};
};

namespace detail {
inline thread_local FitStats* active_stats = nullptr;
}  // namespace detail

// The record of the calling thread, or null when nobody asked.
inline FitStats* active_stats() { return detail::active_stats; }

// Records into `stats` on this thread for the scope's lifetime; scopes nest.
class StatsScope {
 public:
  explicit StatsScope(FitStats& stats) : outer_(detail::active_stats) { detail::active_stats = &stats; }
  ~StatsScope() { detail::active_stats = outer_; }
  StatsScope(const StatsScope&) = delete;
  StatsScope& operator=(const StatsScope&) = delete;

 private:
  FitStats* outer_;
};

// Adds n to a counter of the record, if there is one.
inline void add_count(FitStats* stats, std::atomic<uint64_t> FitStats::*counter, uint64_t n) {
  if (stats) (stats->*counter).fetch_add(n, std::memory_order_relaxed);
}

}  // namespace vantorix
