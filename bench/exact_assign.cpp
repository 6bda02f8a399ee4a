// Exact nearest-center assignment of n rows against k centers: nearest_l2_center row by row, the
// dimension-major blocks (plain and pruned) and the cache-tiled rows, on data written by
// exact_assign.py, plus this machine's peak rate of squared-difference steps.
// Usage: vantorix_exact_bench ROWS_FILE CENTERS_FILE n k d repeats   (raw float32, row-major)
//        vantorix_exact_bench --peak
// Prints one JSON object per line; the PDX labels go to ROWS_FILE.labels (uint64).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/parallel.hpp"
#include "core/stats.hpp"
#include "kernels/lanes.hpp"
#include "kernels/pdx.hpp"
#include "kernels/simd.hpp"
#include "kernels/tiled_rows.hpp"
#include "harness.hpp"

using namespace vantorix;

namespace {

// Squared-difference steps per second per thread with everything in registers: 12 independent
// chains, half the subtractions on the multiply pipes (the best mix this CPU offers for a
// subtract, a multiply and an add per element).
double peak_steps_one_thread() {
  using namespace lanes;
  constexpr int kChains = 12;
  F16 acc[kChains], x[kChains];
  for (int i = 0; i < kChains; ++i) acc[i] = splat16(0.0f), x[i] = splat16(float(i) * 0.001f);
  const size_t iters = 4000000;
  const double c0 = bench::thread_cpu_seconds();
  F16 c = splat16(0.5f);
  for (size_t it = 0; it < iters; ++it) {
    for (int i = 0; i < kChains; ++i) {
      const F16 t = (i % 2 == 0) ? difference16<true>(x[i], c) : difference16<false>(x[i], c);
      acc[i] = acc[i] + t * t;
    }
    asm volatile("" : "+v"(c));
  }
  const double s = bench::thread_cpu_seconds() - c0;
  float sink = 0;
  for (int i = 0; i < kChains; ++i) sink += acc[i][0];
  if (sink == 12345.0f) std::puts("");
  return double(iters) * kChains * 16 / s;
}

void peak() {
  double best = 0;
  for (int rep = 0; rep < 5; ++rep) best = std::max(best, peak_steps_one_thread());
  std::printf("{\"peak_steps_per_cpu_s\": %.6g}\n", best);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--peak") {
    peak();
    return 0;
  }
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s ROWS CENTERS n k d repeats | --peak\n", argv[0]);
    return 2;
  }
  const size_t n = std::strtoull(argv[3], nullptr, 10), k = std::strtoull(argv[4], nullptr, 10),
               d = std::strtoull(argv[5], nullptr, 10);
  const int repeats = std::atoi(argv[6]);
  const auto x = bench::read_floats(argv[1], n * d);
  const auto c = bench::read_floats(argv[2], k * d);
  std::vector<size_t> labels(n), want(n);
  std::vector<float> dist(n);

  auto report = [&](const char* method, bench::Timing t, double steps_fraction, bool same) {
    std::printf("{\"method\": \"%s\", \"seconds\": %.6g, \"cpu_seconds\": %.6g, \"computed_fraction\": %.6g, "
                "\"same_labels\": %s}\n",
                method, t.wall, t.cpu, steps_fraction, same ? "true" : "false");
    std::fflush(stdout);
  };

  const bench::Timing s_rowwise = bench::median_timing(
      [&] {
        parallel_chunks(n, 256, [&](size_t b, size_t e) {
          for (size_t i = b; i < e; ++i) {
            const auto [j, v] = nearest_l2_center(std::span<const float>(x).subspan(i * d, d), c, k, d);
            labels[i] = j;
            dist[i] = v;
          }
        });
      },
      repeats);
  report("nearest_l2_center", s_rowwise, 1.0, true);
  const auto rowwise_labels = labels;

  PdxMatrix m = PdxMatrix::from_row_major(x, n, d);
  const bench::Timing s_build = bench::median_timing([&] { m = PdxMatrix::from_row_major(x, n, d); }, repeats);
  report("pdx_build", s_build, 0.0, true);
  const bench::Timing s_pdx = bench::median_timing([&] { m.assign_l2_into(c, k, labels, dist); }, repeats);
  want = labels;
  report("pdx", s_pdx, 1.0, true);
  {
    std::ofstream out(std::string(argv[1]) + ".labels", std::ios::binary);
    out.write(reinterpret_cast<const char*>(want.data()), std::streamsize(n * sizeof(size_t)));
  }

  FitStats stats;
  {
    const StatsScope scope(stats);
    m.assign_l2_pruned_into(c, k, labels, dist);
  }
  const double fraction = double(stats.pdx_steps.load()) / (double(n) * double(k) * double(d));
  const bench::Timing s_pruned = bench::median_timing([&] { m.assign_l2_pruned_into(c, k, labels, dist); }, repeats);
  report("pdx_pruned", s_pruned, fraction, labels == want);

  if (k <= 256) {
    // Row by row (not 16 rows at a time) pruning: how much the scalar form skips.
    FitStats scalar;
    const StatsScope scope(scalar);
    const bench::Timing s = bench::median_timing([&] { pdx_assign_l2_pruned_scalar(m, c.data(), k, labels.data(), dist.data()); }, 1);
    report("pdx_pruned_scalar", s, double(scalar.pdx_steps.load()) / (double(n) * double(k) * double(d)),
           labels == want);
  }
  const bench::Timing s_flash = bench::median_timing([&] { assign_l2_flash_into(x, c, n, d, k, labels, dist); }, repeats);
  report("flash", s_flash, 1.0, labels == want);
  size_t differ = 0;
  for (size_t i = 0; i < n; ++i) differ += rowwise_labels[i] != want[i];
  std::printf("{\"rowwise_label_differences\": %zu}\n", differ);
  return 0;
}
