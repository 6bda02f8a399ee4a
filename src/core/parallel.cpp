#include "core/parallel.hpp"

#include <oneapi/tbb/info.h>

#include <memory>
#include <mutex>

#include "core/env.hpp"

namespace vantorix {

namespace {

size_t configured_threads() {
  size_t hw = size_t(tbb::info::default_concurrency());
  if (hw == 0) hw = 1;
  if (auto cap = env_number(EnvSwitch::NumThreads); cap && *cap < hw) return size_t(*cap);
  return hw;
}

}  // namespace

size_t num_threads() {
  static const size_t threads = configured_threads();
  return threads;
}

tbb::task_arena& worker_arena() {
  static tbb::task_arena* arena = [] {
    auto* a = new tbb::task_arena(int(num_threads()));
    a->initialize();
    return a;
  }();
  return *arena;
}

}  // namespace vantorix
