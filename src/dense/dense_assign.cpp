#include "dense/dense_assign.hpp"

#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>

#include "core/blas_threads.hpp"
#include "core/env.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/stats.hpp"
#include "dense/dense_screen.hpp"
#include "kernels/dense_kernels.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"

namespace vantorix {

namespace {

constexpr size_t kRowChunk = 512;
// Products per task: 1 MiB, a core's share of L2, and never fewer than 64 rows.
constexpr size_t kProductChunkEntries = 262144;
constexpr size_t kMinProductChunkRows = 64;


void check_outputs(size_t rows, std::span<size_t> labels, std::span<float> distances) {
  if (labels.size() < rows || distances.size() < rows) fatal("assign_dense_into: output shorter than the data");
}

// Nearest center of each of `count` rows from their products with the centers (count x k).
// Euclidean rows turn their products into distances in place first.
void scan_products(float* products, size_t count, size_t k, const float* row_norms, const float* center_norms,
                   bool cosine, size_t* labels, float* distances) {
  for (size_t r = 0; r < count; ++r) {
    float* p = products + r * k;
    if (cosine) {
      const auto [index, dot] = best_of_values(p, k, true);
      labels[r] = index;
      distances[r] = 1.0f - dot;
      continue;
    }
    const float xn = row_norms[r];
    for (size_t j = 0; j < k; ++j) {
      const float dist = (xn + center_norms[j]) - (p[j] + p[j]);
      p[j] = dist < 0.0f ? 0.0f : dist;  // NaN stays NaN and never wins
    }
    const auto [index, dist] = best_of_values(p, k, false);
    labels[r] = index;
    distances[r] = dist;
  }
}

void product_rows(const float* rows, size_t count, const Matrix<float>& centers, float* out) {
  const BlasThreads threads;
  const int k = int(centers.rows), d = int(centers.cols);
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, int(count), k, d, 1.0f, rows, d, centers.data(), d, 0.0f, out,
              k);
}

void assign_by_product(MatrixView<const float> data, const Matrix<float>& centers, const std::vector<float>* row_norms,
                       bool cosine, std::span<size_t> labels, std::span<float> distances) {
  const size_t rows = data.rows, k = centers.rows, d = centers.cols;
  std::vector<float> center_norms;
  if (!cosine) {
    center_norms.resize(k);
    parallel_chunks(k, 64, [&](size_t begin, size_t end) {
      for (size_t j = begin; j < end; ++j) {
        float s = 0.0f;
        for (float v : centers.row(j)) s = s + v * v;
        center_norms[j] = s;
      }
    });
  }
  const float* norms = cosine ? nullptr : row_norms->data();
  // Each task multiplies its own rows with single-threaded BLAS and scans them while the products
  // are still in cache. One multi-threaded product per 256 MiB block followed by a separate scan
  // measured up to 1.7x slower on two cores: BLAS threads and pool threads took turns spinning on
  // the same cores, and the scan re-read the whole block from memory.
  const size_t chunk = std::clamp(kProductChunkEntries / k, kMinProductChunkRows, kRowChunk);
  // One product buffer per worker, freed with the call.
  PerWorker<std::vector<float>> buffers;
  parallel_chunks(rows, chunk, [&](size_t begin, size_t end) {
    auto& products = buffers.here();
    products.resize(chunk * k);
    product_rows(data.data + begin * d, end - begin, centers, products.data());
    scan_products(products.data(), end - begin, k, cosine ? nullptr : norms + begin, center_norms.data(), cosine,
                  labels.data() + begin, distances.data() + begin);
  });
}

// The direct kernels over every center, as the direct path runs them: the packed wide form where
// the kernel table has one, several rows per pass sharing each center load.
class DirectScan {
 public:
  DirectScan(const Matrix<float>& centers, bool cosine)
      : centers_(centers), cosine_(cosine), wide_(kernels().packed_centers) {
    if (wide_) packed_.emplace(centers);
    per_pass_ = wide_ ? packed_rows_per_pass(*packed_) : 1;
  }

  // Labels and distances of rows [begin, end) of data, written at their row index.
  void rows(MatrixView<const float> data, size_t begin, size_t end, size_t* labels, float* distances) const {
    const size_t k = centers_.rows, d = centers_.cols;
    const std::span<const float> flat(centers_.data(), centers_.size());
    const bool contiguous = data.is_c_contiguous();
    // Strided rows are gathered into a buffer so they meet exactly the same kernel.
    std::vector<float> gathered(contiguous ? 0 : per_pass_ * d);
    std::vector<float> values(wide_ ? per_pass_ * 4 * packed_->groups : 0);
    auto row_at = [&](size_t r, size_t slot) -> const float* {
      if (contiguous) return data.data + ptrdiff_t(r) * data.row_stride;
      float* dst = gathered.data() + slot * d;
      for (size_t c = 0; c < d; ++c) dst[c] = data.at(r, c);
      return dst;
    };
    auto store = [&](size_t r, std::pair<size_t, float> best) {
      labels[r] = best.first;
      distances[r] = cosine_ ? 1.0f - best.second : best.second;
    };
    const float* rows[4];
    std::pair<size_t, float> best[4];
    for (size_t r = begin; r < end;) {
      if (!wide_) {
        const std::span<const float> q(row_at(r, 0), d);
        store(r, cosine_ ? nearest_dot_center(q, flat, k, d) : nearest_l2_center(q, flat, k, d));
        ++r;
        continue;
      }
      const size_t count = end - r >= per_pass_ ? per_pass_ : 1;
      for (size_t i = 0; i < count; ++i) rows[i] = row_at(r + i, i);
      packed_nearest_rows(rows, count, *packed_, cosine_, values.data(), best);
      for (size_t i = 0; i < count; ++i) store(r + i, best[i]);
      r += count;
    }
  }

 private:
  const Matrix<float>& centers_;
  bool cosine_, wide_;
  std::optional<PackedCenters> packed_;
  size_t per_pass_;
};

// The calibration probe: multiply-adds per timed run (a fraction of a millisecond on one core),
// and the runs per method (the fastest counts, so a preempted run does not decide).
constexpr size_t kProbeWork = size_t(1) << 24;
constexpr size_t kProbeRuns = 3;
// A call is worth a measurement when it has this many times the rows of all the probe's runs.
constexpr size_t kWorthMeasuring = 4;
// The block-size probe: its seconds in all, as the decision's probe predicts them (a few
// milliseconds on one core), and how much faster than the default block another size must be to
// replace it (less is within what a shared machine's timings wander).
constexpr double kBlockProbeSeconds = 2e-3;
constexpr double kBlockMargin = 0.97;

// Rows of the probe block: the screen's default block size, which keeps the product's set-up
// shared as in real use, cut to the work budget but never below 64 rows. It depends on the shape
// alone, never on the block sizes measured: a probe that grew with the largest of them cost more
// than a 20k-row fit repaid, and such fits lost the screen altogether.
size_t probe_rows(size_t k, size_t d) {
  return std::clamp(kProbeWork / std::max<size_t>(k * d, 1), size_t(64), DenseScreen::block_rows_for(k));
}

// The block sizes measured for a shape, and the rows each of them screens (all the same rows, so
// the sizes compare on equal work; a whole number of the largest blocks, so no size gets a short
// block the others do not). The largest sizes are left out while all runs together would take
// longer than kBlockProbeSeconds at the per-row time the decision's probe measured for the screen
// it chose; when the default itself does not fit, there is nothing to compare it with and the
// default stays, unmeasured.
struct BlockPlan {
  std::vector<size_t> sizes;
  size_t rows = 0;
  size_t probe_rows() const { return kProbeRuns * sizes.size() * rows; }  // rows screened in all
};

BlockPlan block_plan(size_t k, const ScreenCalibration& c) {
  BlockPlan plan;
  if (!c.screen || c.probe_rows == 0) return plan;
  const double per_row = std::min(c.screen_seconds, c.bf16_seconds) / double(c.probe_rows);
  plan.sizes = DenseScreen::block_rows_candidates(k);
  while (!plan.sizes.empty()) {
    plan.rows = plan.sizes.back();
    if (double(plan.probe_rows()) * per_row <= kBlockProbeSeconds) break;
    plan.sizes.pop_back();
  }
  const size_t fallback = DenseScreen::block_rows_for(k);
  if (plan.sizes.size() < 2 || std::find(plan.sizes.begin(), plan.sizes.end(), fallback) == plan.sizes.end()) {
    return {};
  }
  return plan;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Synthetic centers and `rows` rows near them, as rows sit late in a fit, which is when the screen
// settles most of them with a single direct measurement. The same centers for any row count.
struct Probe {
  Matrix<float> centers, rows;
};
Probe make_probe(size_t k, size_t d, bool cosine, size_t rows) {
  uint64_t state = 0x9e3779b97f4a7c15ull ^ (k * 0x100000001b3ull) ^ d;
  auto uniform = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return float(state >> 40) / float(1u << 24) * 2.0f - 1.0f;
  };
  Probe p{Matrix<float>(k, d), Matrix<float>(rows, d)};
  for (float& v : p.centers.values) v = uniform();
  for (size_t r = 0; r < rows; ++r) {
    const size_t c = (r * 7919) % k;
    for (size_t j = 0; j < d; ++j) p.rows.at(r, j) = p.centers.at(c, j) + 0.25f * uniform();
  }
  if (cosine) {
    normalize_rows(p.centers);
    normalize_rows(p.rows);
  }
  return p;
}

// Every way over the same block of synthetic rows on the calling thread, as one worker of each
// path would run them.
ScreenCalibration measure_screen(size_t k, size_t d, bool cosine) {
  const Probe probe = make_probe(k, d, cosine, probe_rows(k, d));
  const Matrix<float>& centers = probe.centers;
  const Matrix<float>& block = probe.rows;
  // Nothing the probe does is counted into the caller's record, except what it reads back here.
  FitStats quiet;
  const StatsScope scope(quiet);
  DenseScreen screen(centers, cosine);
  std::optional<DenseScreen> half;
  if (bf16_products_available()) half.emplace(centers, cosine, ScreenChoice{ScreenProducts::Bf16});
  const DirectScan direct(centers, cosine);
  std::vector<size_t> labels(block.rows);
  std::vector<float> distances(block.rows);
  ScreenCalibration c;
  c.probe_rows = block.rows;
  c.block_rows = DenseScreen::block_rows_for(k);
  c.direct_seconds = c.screen_seconds = c.bf16_seconds = std::numeric_limits<double>::infinity();
  for (size_t run = 0; run < kProbeRuns; ++run) {
    auto start = std::chrono::steady_clock::now();
    direct.rows(block.view(), 0, block.rows, labels.data(), distances.data());
    c.direct_seconds = std::min(c.direct_seconds, seconds_since(start));
    start = std::chrono::steady_clock::now();
    screen.nearest(block.data(), block.rows, d, labels.data(), distances.data(), nullptr);
    c.screen_seconds = std::min(c.screen_seconds, seconds_since(start));
    if (!half) continue;
    const uint64_t measured = quiet.screen_measured.load();
    start = std::chrono::steady_clock::now();
    half->nearest(block.data(), block.rows, d, labels.data(), distances.data(), nullptr);
    c.bf16_seconds = std::min(c.bf16_seconds, seconds_since(start));
    c.bf16_measured = double(quiet.screen_measured.load() - measured) / double(block.rows);
  }
  c.screen = std::min(c.screen_seconds, c.bf16_seconds) < c.direct_seconds;
  c.products = c.bf16_seconds < c.screen_seconds ? ScreenProducts::Bf16 : ScreenProducts::Fp32;
  return c;
}

// The bf16 screen pays while its extra direct measurements cost less than it saves over the next
// best way. One more measurement per row costs about direct_seconds / (probe rows x k) per row.
ScreenChoice choice_of(const ScreenCalibration& c, size_t k) {
  ScreenChoice choice;
  choice.block_rows = c.block_rows;
  if (c.products != ScreenProducts::Bf16) return choice;
  const double next_best = std::min(c.screen_seconds, c.direct_seconds);
  choice.products = ScreenProducts::Bf16;
  choice.measure_budget = c.bf16_measured + (next_best - c.bf16_seconds) / c.direct_seconds * double(k);
  return choice;
}

// The block sizes of the plan, each screening the same rows with the products the screen was
// measured to use, on the calling thread as one worker runs them; the runs take turns, so a
// stretch of noise slows all sizes alike. Another size than the default must be clearly faster.
void measure_blocks(size_t k, size_t d, bool cosine, const BlockPlan& plan, ScreenCalibration& c) {
  const Probe probe = make_probe(k, d, cosine, plan.rows);
  FitStats quiet;
  const StatsScope scope(quiet);
  std::vector<std::optional<DenseScreen>> screens(plan.sizes.size());
  for (size_t i = 0; i < plan.sizes.size(); ++i) {
    ScreenChoice choice = choice_of(c, k);
    choice.block_rows = plan.sizes[i];
    screens[i].emplace(probe.centers, cosine, choice);
  }
  std::vector<size_t> labels(plan.rows);
  std::vector<float> distances(plan.rows);
  c.block_sizes = plan.sizes;
  c.block_seconds.assign(plan.sizes.size(), std::numeric_limits<double>::infinity());
  for (size_t run = 0; run < kProbeRuns; ++run) {
    for (size_t i = 0; i < plan.sizes.size(); ++i) {
      DenseScreen& screen = *screens[i];
      const size_t block = screen.block_rows();
      const auto start = std::chrono::steady_clock::now();
      for (size_t r = 0; r < plan.rows; r += block) {
        const size_t count = std::min(block, plan.rows - r);
        screen.nearest(probe.rows.data() + r * d, count, d, labels.data() + r, distances.data() + r, nullptr);
      }
      c.block_seconds[i] = std::min(c.block_seconds[i], seconds_since(start));
    }
  }
  const size_t fallback = DenseScreen::block_rows_for(k);
  const size_t at_fallback = size_t(std::find(plan.sizes.begin(), plan.sizes.end(), fallback) - plan.sizes.begin());
  size_t best = at_fallback;
  for (size_t i = 0; i < plan.sizes.size(); ++i) {
    if (c.block_seconds[i] < c.block_seconds[best]) best = i;
  }
  if (!(c.block_seconds[best] < kBlockMargin * c.block_seconds[at_fallback])) best = at_fallback;
  c.block_rows = plan.sizes[best];
  c.blocks_decided = true;
}

struct CalibrationKey {
  size_t k, d;
  bool cosine;
  bool operator<(const CalibrationKey& o) const { return std::tie(k, d, cosine) < std::tie(o.k, o.d, o.cosine); }
};

std::mutex calibration_mutex;
std::map<CalibrationKey, ScreenCalibration>& calibrations() {
  static std::map<CalibrationKey, ScreenCalibration> known;
  return known;
}
// Rows asked for so far per shape not yet measured in full: calls each too small to repay the
// measurement (chunks of a larger data set, a loop of predicts) repay it together.
std::map<CalibrationKey, size_t>& rows_asked() {
  static std::map<CalibrationKey, size_t> asked;
  return asked;
}

// The rows the screen-or-direct decision screens or scans in all. It is measured once the rows
// asked for repay it kWorthMeasuring times over, and where the screen wins, its block sizes once
// the rows repay both. The decision never waits for the block sizes: a shape whose calls repay
// only the decision keeps the default block until they repay the rest.
size_t decision_probe_rows(size_t k, size_t d) {
  const size_t ways = bf16_products_available() ? 3 : 2;
  return ways * kProbeRuns * probe_rows(k, d);
}

// Measures what `key` still lacks and `asked` rows repay: the decision if `have` is empty, then
// the block sizes where the screen wins. Without the lock (the probe runs parallel loops of its
// own); when two threads measure the same shape at once, the first answer stored is the one every
// later call gets.
ScreenCalibration calibrate(const CalibrationKey& key, std::optional<ScreenCalibration> have, size_t asked) {
  ScreenCalibration c = have ? *have : measure_screen(key.k, key.d, key.cosine);
  if (c.screen && !c.blocks_decided) {
    const BlockPlan plan = block_plan(key.k, c);
    if (plan.sizes.empty()) {
      c.blocks_decided = true;  // nothing to compare: the default stays
    } else if (asked / kWorthMeasuring >= decision_probe_rows(key.k, key.d) + plan.probe_rows()) {
      measure_blocks(key.k, key.d, key.cosine, plan, c);
    }
  }
  const std::lock_guard lock(calibration_mutex);
  ScreenCalibration& stored = calibrations()[key];
  if (stored.probe_rows == 0 || (c.blocks_decided && !stored.blocks_decided)) stored = c;
  return stored;
}

}  // namespace

ScreenCalibration screen_calibration(size_t k, size_t d, bool cosine) {
  if (!dense_screen_covers(k, d)) fatal("screen_calibration: shape outside what the screen covers");
  const CalibrationKey key{k, d, cosine};
  std::optional<ScreenCalibration> known;
  {
    const std::lock_guard lock(calibration_mutex);
    if (auto it = calibrations().find(key); it != calibrations().end()) known = it->second;
  }
  if (known && (known->blocks_decided || !known->screen)) return *known;
  return calibrate(key, known, std::numeric_limits<size_t>::max());
}

std::optional<ScreenCalibration> known_screen_calibration(size_t k, size_t d, bool cosine) {
  const std::lock_guard lock(calibration_mutex);
  if (auto it = calibrations().find({k, d, cosine}); it != calibrations().end()) return it->second;
  return std::nullopt;
}

std::optional<ScreenChoice> dense_screen_choice(size_t rows, size_t k, size_t d, bool cosine, size_t passes) {
  // One center leaves nothing to screen out.
  if (rows == 0 || k < 2 || !dense_screen_covers(k, d) || !dense_blas_enabled()) return std::nullopt;
  const Word forced = env_word(EnvSwitch::DenseScreen);
  if (forced == Word::Off) return std::nullopt;
  const CalibrationKey key{k, d, cosine};
  const auto forced_block = env_number(EnvSwitch::DenseScreenBlockRows);
  auto with_block = [&](ScreenChoice choice) {
    if (forced_block) choice.block_rows = DenseScreen::block_rows_within_limits(size_t(*forced_block), k);
    return choice;
  };
  if (forced == Word::On || forced == Word::Bf16) {
    // Forced screens measure nothing, but take a block size measured earlier in the process.
    ScreenChoice choice{forced == Word::Bf16 ? ScreenProducts::Bf16 : ScreenProducts::Fp32};
    const std::lock_guard lock(calibration_mutex);
    if (auto it = calibrations().find(key); it != calibrations().end()) choice.block_rows = it->second.block_rows;
    return with_block(choice);
  }
  std::optional<ScreenCalibration> known;
  size_t asked = 0;
  {
    const std::lock_guard lock(calibration_mutex);
    if (auto it = calibrations().find(key); it != calibrations().end()) known = it->second;
    // A forced block size needs no measurement of the others.
    if (!known || (known->screen && !known->blocks_decided && !forced_block)) {
      size_t ahead;
      if (__builtin_mul_overflow(rows, std::max<size_t>(passes, 1), &ahead)) ahead = std::numeric_limits<size_t>::max();
      size_t& sum = rows_asked()[key];
      sum = sum > std::numeric_limits<size_t>::max() - ahead ? std::numeric_limits<size_t>::max() : sum + ahead;
      asked = sum;
      if (!known && asked / kWorthMeasuring < decision_probe_rows(k, d)) return std::nullopt;
    }
  }
  if (asked != 0) known = calibrate(key, known, forced_block ? 0 : asked);
  if (!known->screen) return std::nullopt;
  return with_block(choice_of(*known, k));
}

bool dense_blas_may_run(size_t rows, size_t k, size_t d, bool cosine) {
  if (!dense_blas_enabled()) return false;
  if (rows == 0 || k == 0 || d == 0) return false;
  if (env_word(EnvSwitch::DenseAssign) == Word::Gemm) return true;
  const auto min_k = env_number(cosine ? EnvSwitch::DenseBlasMinKCosine : EnvSwitch::DenseBlasMinKL2);
  if (k < min_k.value_or(256)) return false;
  size_t ops;
  if (__builtin_mul_overflow(rows, k, &ops) || __builtin_mul_overflow(ops, d, &ops)) return true;
  return ops >= env_number(EnvSwitch::DenseBlasMinOps).value_or(1000000000);
}

std::vector<float> squared_row_norms(MatrixView<const float> data) {
  std::vector<float> norms(data.rows);
  parallel_chunks(data.rows, kRowChunk, [&](size_t begin, size_t end) {
    size_t r = begin;
    // Eight rows side by side: each row's sum is still one chain in column order (the same value
    // as below), but eight independent chains keep the adder busy instead of waiting on one.
    if (data.col_stride == 1) {
      for (; r + 8 <= end; r += 8) {
        const float* x[8];
        float s[8] = {};
        for (size_t i = 0; i < 8; ++i) x[i] = data.data + ptrdiff_t(r + i) * data.row_stride;
        for (size_t c = 0; c < data.cols; ++c) {
          for (size_t i = 0; i < 8; ++i) s[i] = s[i] + x[i][c] * x[i][c];
        }
        for (size_t i = 0; i < 8; ++i) norms[r + i] = s[i];
      }
    }
    for (; r < end; ++r) {
      float s = 0.0f;
      for (size_t c = 0; c < data.cols; ++c) {
        const float v = data.at(r, c);
        s = s + v * v;
      }
      norms[r] = s;
    }
  });
  return norms;
}

std::vector<float> center_half_min_distances(const Matrix<float>& centers) {
  const size_t k = centers.rows;
  std::vector<float> half(k, std::numeric_limits<float>::infinity());
  parallel_chunks(k, 16, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      float best = std::numeric_limits<float>::infinity();
      for (size_t j = 0; j < k; ++j) {
        if (j == i) continue;
        best = std::min(best, l2_squared(centers.row(i), centers.row(j)));
      }
      half[i] = 0.5f * std::sqrt(best);
    }
  });
  return half;
}

void assign_dense_direct_into(MatrixView<const float> data, const Matrix<float>& centers, bool cosine,
                              std::span<size_t> labels, std::span<float> distances, ScreenRows* screen_rows) {
  check_outputs(data.rows, labels, distances);
  const size_t k = centers.rows, d = centers.cols;
  if (data.cols != d) fatal("assign_dense_into: column count differs from the centers");
  // The same answers at matrix-product speed where that pays.
  if (const auto choice = dense_screen_choice(data.rows, k, d, cosine, screen_rows ? screen_rows->passes() : 1)) {
    assign_dense_screened_into(data, centers, cosine, labels, distances, *choice, screen_rows);
    return;
  }
  const DirectScan scan(centers, cosine);
  parallel_chunks(data.rows, kRowChunk, [&](size_t begin, size_t end) {
    scan.rows(data, begin, end, labels.data(), distances.data());
  });
}

void assign_dense_into(MatrixView<const float> data, const Matrix<float>& centers, const std::vector<float>* row_norms,
                       bool cosine, std::span<size_t> labels, std::span<float> distances, ScreenRows* screen_rows) {
  check_outputs(data.rows, labels, distances);
  const size_t rows = data.rows, k = centers.rows, d = centers.cols;
  const bool product = dense_blas_may_run(rows, k, d, cosine) && data.is_c_contiguous() && k >= 1 &&
                       (cosine || (row_norms != nullptr && row_norms->size() >= rows));
  // cblas takes int dimensions.
  const bool fits_int = rows <= size_t(std::numeric_limits<int>::max()) && k <= size_t(std::numeric_limits<int>::max()) &&
                        d <= size_t(std::numeric_limits<int>::max());
  if (product && fits_int && data.cols == d) {
    assign_by_product(data, centers, row_norms, cosine, labels, distances);
    return;
  }
  assign_dense_direct_into(data, centers, cosine, labels, distances, screen_rows);
}

}  // namespace vantorix
