#include "core/interrupt.hpp"

namespace vantorix {

CallScope::CallScope(const CallHooks& hooks) : hooks_(hooks), outer_(detail::caller_scope) {
  // A fresh outermost call starts unstopped; a nested one inherits a stop already under way.
  if (!outer_) detail::stop_requested.store(false, std::memory_order_relaxed);
  detail::caller_scope = this;
}

CallScope::~CallScope() {
  detail::caller_scope = outer_;
  if (!outer_) detail::stop_requested.store(false, std::memory_order_relaxed);
}

namespace {

[[noreturn]] void stop_everything() {
  detail::stop_requested.store(true, std::memory_order_relaxed);
  throw Interrupted();
}

}  // namespace

void detail_poll_caller() {
  CallScope* scope = detail::caller_scope;
  if (scope->hooks_.check && !scope->hooks_.check(scope->hooks_.context)) stop_everything();
}

bool progress_wanted() {
  const CallScope* scope = detail::caller_scope;
  return scope && scope->hooks_.progress && scope->muted_ == 0 && !inside_parallel_loop();
}

void report_progress(const char* fit_name, size_t pass_index, double inertia) {
  if (progress_wanted()) {
    CallScope* scope = detail::caller_scope;
    if (!scope->hooks_.progress(scope->hooks_.context, fit_name, pass_index, inertia)) stop_everything();
  }
  interrupt_point();
}

ProgressMute::ProgressMute() : scope_(detail::caller_scope) {
  if (scope_) ++scope_->muted_;
}

ProgressMute::~ProgressMute() {
  if (scope_) --scope_->muted_;
}

}  // namespace vantorix
