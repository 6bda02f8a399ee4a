// Exact nearest-center assignment of n rows against k centers: nearest_l2_center row by row, the
// dimension-major blocks (plain and pruned) and the cache-tiled rows, on data written by
// exact_assign.py, plus this machine's peak rate of squared-difference steps.
// Usage: vantorix_exact_bench ROWS_FILE CENTERS_FILE n k d repeats   (raw float32, row-major)
//        vantorix_exact_bench --peak
// Prints one JSON object per line; the PDX labels go to ROWS_FILE.labels (uint64).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "core/parallel.hpp"
#include "kernels/tiled_rows.hpp"
#include "kernels/lanes.hpp"
#include "kernels/pdx.hpp"
#include "kernels/simd.hpp"

using namespace vantorix;

namespace {

std::vector<float> read_floats(const char* path, size_t count) {
  std::vector<float> v(count);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(v.data()), std::streamsize(count * sizeof(float)));
  if (!in) {
    std::fprintf(stderr, "cannot read %zu floats from %s\n", count, path);
    std::exit(2);
  }
  return v;
}

double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

struct Timing {
  double wall = 0, cpu = 0;  // medians over the repeats
};

// On a shared machine the wall time says how long a caller waited; the CPU time (all threads) says
// how much work the method did, which is what the share of the arithmetic peak is taken from.
template <class F>
Timing median_seconds(F&& f, int repeats) {
  std::vector<double> wall, cpu;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const double c0 = cpu_seconds();
    f();
    cpu.push_back(cpu_seconds() - c0);
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

// Squared-difference steps per second per thread with everything in registers: 12 independent
// chains, half the subtractions on the multiply pipes (the best mix this CPU offers for a
// subtract, a multiply and an add per element).
double peak_steps_one_thread() {
  using namespace lanes;
  constexpr int kChains = 12;
  F16 acc[kChains], x[kChains];
  for (int i = 0; i < kChains; ++i) acc[i] = splat16(0.0f), x[i] = splat16(float(i) * 0.001f);
  const size_t iters = 4000000;
  timespec ts0;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts0);
  const double c0 = double(ts0.tv_sec) + 1e-9 * double(ts0.tv_nsec);
  F16 c = splat16(0.5f);
  for (size_t it = 0; it < iters; ++it) {
    for (int i = 0; i < kChains; ++i) {
      const F16 t = (i % 2 == 0) ? difference16<true>(x[i], c) : difference16<false>(x[i], c);
      acc[i] = acc[i] + t * t;
    }
    asm volatile("" : "+v"(c));
  }
  // Thread CPU time: other processes on a shared machine do not lower the figure.
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  const double s = double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec) - c0;
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
  const auto x = read_floats(argv[1], n * d);
  const auto c = read_floats(argv[2], k * d);
  std::vector<size_t> labels(n), want(n);
  std::vector<float> dist(n);

  auto report = [&](const char* method, Timing t, double steps_fraction, bool same) {
    std::printf("{\"method\": \"%s\", \"seconds\": %.6g, \"cpu_seconds\": %.6g, \"computed_fraction\": %.6g, "
                "\"same_labels\": %s}\n",
                method, t.wall, t.cpu, steps_fraction, same ? "true" : "false");
    std::fflush(stdout);
  };

  const Timing s_rowwise = median_seconds(
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
  const Timing s_build = median_seconds([&] { m = PdxMatrix::from_row_major(x, n, d); }, repeats);
  report("pdx_build", s_build, 0.0, true);
  const Timing s_pdx = median_seconds([&] { m.assign_l2_into(c, k, labels, dist); }, repeats);
  want = labels;
  report("pdx", s_pdx, 1.0, true);
  {
    std::ofstream out(std::string(argv[1]) + ".labels", std::ios::binary);
    out.write(reinterpret_cast<const char*>(want.data()), std::streamsize(n * sizeof(size_t)));
  }

  std::atomic<uint64_t> steps{0};
  m.assign_l2_pruned_into(c, k, labels, dist, &steps);
  const double fraction = double(steps.load()) / (double(n) * double(k) * double(d));
  const Timing s_pruned = median_seconds([&] { m.assign_l2_pruned_into(c, k, labels, dist); }, repeats);
  report("pdx_pruned", s_pruned, fraction, labels == want);

  if (k <= 256) {
    // Row by row (not 16 rows at a time) pruning: how much the scalar form skips.
    std::atomic<uint64_t> scalar_steps{0};
    const Timing s = median_seconds(
        [&] { m.assign_l2_pruned_scalar(c.data(), k, labels.data(), dist.data(), &scalar_steps); }, 1);
    report("pdx_pruned_scalar", s, double(scalar_steps.load()) / (double(n) * double(k) * double(d)), labels == want);
  }
  const Timing s_flash = median_seconds([&] { assign_l2_flash_into(x, c, n, d, k, labels, dist); }, repeats);
  report("flash", s_flash, 1.0, labels == want);
  size_t differ = 0;
  for (size_t i = 0; i < n; ++i) differ += rowwise_labels[i] != want[i];
  std::printf("{\"rowwise_label_differences\": %zu}\n", differ);
  return 0;
}
