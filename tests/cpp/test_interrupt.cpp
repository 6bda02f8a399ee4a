#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/parallel.hpp"
#include "dense/dense.hpp"

using namespace vantorix;

namespace {

// A check that asks to stop at its `stop_at`-th poll.
struct CountingCheck {
  int polls = 0;
  int stop_at = 0;
  static bool check(void* self) {
    auto& c = *static_cast<CountingCheck*>(self);
    return ++c.polls < c.stop_at;
  }
};

struct Recorder {
  std::vector<std::pair<std::string, size_t>> passes;
  static bool progress(void* self, const char* name, size_t index, double) {
    static_cast<Recorder*>(self)->passes.emplace_back(name, index);
    return true;
  }
};

std::vector<float> grid(size_t rows, size_t cols) {
  std::vector<float> values(rows * cols);
  for (size_t i = 0; i < values.size(); ++i) values[i] = float((i * 7919) % 101);
  return values;
}

}  // namespace

TEST(Interrupt, AStoppedLoopEndsEarlyAndTheNextCallRuns) {
  CountingCheck check{0, 3};
  std::atomic<size_t> items{0};
  {
    const CallScope scope({&CountingCheck::check, nullptr, &check});
    EXPECT_THROW(parallel_chunks(1 << 20, 16, [&](size_t, size_t) { items.fetch_add(1); }), Interrupted);
  }
  EXPECT_LT(items.load(), size_t{65536});
  // Outside a scope nothing is polled and nothing stops.
  items = 0;
  parallel_chunks(1 << 20, 16, [&](size_t, size_t) { items.fetch_add(1); });
  EXPECT_EQ(items.load(), size_t{65536});
}

TEST(Interrupt, AStoppedFitKeepsTheModelAndPassesAreReported) {
  const auto values = grid(2000, 8);
  const MatrixView<const float> data(values.data(), 2000, 8);
  DenseKMeans model({.k = 4, .iterations = 50, .seed = 0});
  model.fit(data);
  const auto centers = model.centers()->values;
  const auto history = model.inertia_history();

  DenseKMeans other({.k = 4, .iterations = 50, .seed = 3, .init = InitMethod::Random});
  Recorder recorder;
  {
    const CallScope scope({nullptr, &Recorder::progress, &recorder});
    other.fit(data);
  }
  ASSERT_EQ(recorder.passes.size(), other.inertia_history().size());
  for (size_t i = 0; i < recorder.passes.size(); ++i) {
    EXPECT_EQ(recorder.passes[i], (std::pair<std::string, size_t>{"dense", i}));
  }

  for (int stop_at : {1, 2, 40}) {
    CountingCheck check{0, stop_at};
    const CallScope scope({&CountingCheck::check, nullptr, &check});
    EXPECT_THROW(model.fit(MatrixView<const float>(values.data() + 8, 1999, 8)), Interrupted);
    EXPECT_EQ(model.centers()->values, centers);
    EXPECT_EQ(model.inertia_history(), history);
  }
  {
    Recorder muted;
    const CallScope scope({nullptr, &Recorder::progress, &muted});
    const ProgressMute mute;
    other.fit(data);
    EXPECT_TRUE(muted.passes.empty());
  }
}
