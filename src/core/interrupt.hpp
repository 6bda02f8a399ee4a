#pragma once
// Stopping a long call from the outside, and reporting its passes as they happen.
//
// The caller (the Python layer) opens a CallScope on its own thread for the duration of one
// call, with a check (are we asked to stop?) and an optional progress sink. The library polls
// at interruption points: between passes of every fit and at the start of every parallel work
// item. Only the thread that opened the scope ever runs the hooks; the pool's threads merely see
// the shared stop flag and leave their loop. A stopped call unwinds with Interrupted, and since
// every fit commits to its model only at the end, the model is left exactly as it was.
#include <atomic>
#include <cstddef>
#include <exception>

namespace vantorix {

// The call was stopped by its check or by its progress sink; whatever they had to say (a
// pending Python exception) is theirs to report.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

struct CallHooks {
  // False: stop now. Called often; should be cheap.
  bool (*check)(void* context) = nullptr;
  // Called after each reported pass; false: stop now.
  bool (*progress)(void* context, const char* fit_name, size_t pass_index, double inertia) = nullptr;
  void* context = nullptr;
};

// Installs hooks on the calling thread for its lifetime. Scopes nest (a hook may run code that
// makes another call); the inner one's hooks apply until it closes.
class CallScope {
 public:
  explicit CallScope(const CallHooks& hooks);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  CallHooks hooks_;
  CallScope* outer_;
  friend void detail_poll_caller();
  friend void report_progress(const char*, size_t, double);
  friend bool progress_wanted();
  friend class ProgressMute;
  int muted_ = 0;
};

namespace detail {
inline std::atomic<bool> stop_requested{false};
inline thread_local CallScope* caller_scope = nullptr;
}  // namespace detail

void detail_poll_caller();

// The parallel loops (parallel.hpp) mark the threads inside their bodies; progress is only
// reported from outside every loop, so the count lives here, below the pool.
namespace detail {
// How many parallel-loop bodies this thread is inside (a worker's, or the caller's while it helps).
inline thread_local int loop_depth = 0;
struct LoopScope {
  LoopScope() { ++loop_depth; }
  ~LoopScope() { --loop_depth; }
  LoopScope(const LoopScope&) = delete;
  LoopScope& operator=(const LoopScope&) = delete;
};
}  // namespace detail

// True while the calling thread runs the body of a parallel loop.
inline bool inside_parallel_loop() { return detail::loop_depth > 0; }

// Throws Interrupted when the current call has been asked to stop. Cheap on every thread: one
// relaxed load, plus the check itself on the thread that opened the scope.
inline void interrupt_point() {
  if (detail::stop_requested.load(std::memory_order_relaxed)) [[unlikely]] throw Interrupted();
  if (detail::caller_scope != nullptr) [[unlikely]] detail_poll_caller();
}

// Reports a finished pass of a fit to the progress sink, then polls. Passes recorded anywhere
// but on the calling thread, or inside a ProgressMute, are not reported.
void report_progress(const char* fit_name, size_t pass_index, double inertia);
// Whether report_progress would reach a sink here (lets a fit skip work done only for the report).
bool progress_wanted();

// Silences report_progress on this thread, for fits run as a step of a larger operation.
class ProgressMute {
 public:
  ProgressMute();
  ~ProgressMute();
  ProgressMute(const ProgressMute&) = delete;
  ProgressMute& operator=(const ProgressMute&) = delete;

 private:
  CallScope* scope_;
};

}  // namespace vantorix
