// The screened dense assignment, two ways:
//
//   vantorix_screen_bench share data.npy k spherical(0|1) iterations
//     fits like bench/dense_kmeans.py (random start, seed 1234) and prints how many rows went
//     through the screen, how many needed more than one direct measurement, the direct
//     measurements in all, and how many rows were screened with bf16 products;
//   vantorix_screen_bench assign rows d k repeats
//     times repeated predicts on synthetic clustered rows, screened and with the direct kernels
//     alone (VANTORIX_DENSE_ASSIGN=rows), interleaved; prints the smallest CPU seconds of each.
//     Run it with VANTORIX_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 for per-core figures;
//   vantorix_screen_bench decisions
//     prints, for a grid of shapes, what this machine's calibration measured and chose (one JSON
//     line per shape: the probe's seconds direct, screened with f32 and with bf16 products, the
//     bf16 screen's direct measurements per row, and the choice; where it screens, the rows per
//     block chosen and the seconds of each block size measured for the same rows, by rows per
//     block, empty where the default block was kept unmeasured).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/stats.hpp"
#include "harness.hpp"
#include "dense/dense.hpp"
#include "dense/dense_assign.hpp"
#include "dense/dense_screen.hpp"

using namespace vantorix;

namespace {

int share(const std::string& path, size_t k, bool spherical, size_t iterations) {
  Matrix<float> data = bench::load_npy(path);
  if (spherical) {
    for (size_t r = 0; r < data.rows; ++r) {
      double s = 0.0;
      for (float v : data.row(r)) s += double(v) * double(v);
      const float n = float(std::max(std::sqrt(s), 1e-12));
      for (float& v : data.row(r)) v /= n;
    }
  }
  DenseKMeans model({.k = k, .iterations = iterations, .seed = 1234, .init = InitMethod::Random, .spherical = spherical});
  FitStats c;
  {
    const StatsScope scope(c);
    model.fit(data.view());
  }
  std::printf("{\"rows\": %llu, \"confirmed\": %llu, \"measured\": %llu, \"bf16_rows\": %llu}\n",
              (unsigned long long)c.screen_rows.load(), (unsigned long long)c.screen_confirmed.load(),
              (unsigned long long)c.screen_measured.load(), (unsigned long long)c.screen_bf16_rows.load());
  return 0;
}

int assign(size_t rows, size_t d, size_t k, size_t repeats) {
  std::mt19937 gen(1);
  std::normal_distribution<float> noise(0.0f, 3.0f);
  Matrix<float> data(rows, d), centers(k, d);
  for (size_t r = 0; r < rows; ++r) {
    const size_t c = gen() % 200;
    for (size_t j = 0; j < d; ++j) data.at(r, j) = float((c * 31 + j * 7) % 50) + noise(gen);
  }
  for (size_t r = 0; r < k; ++r) {
    for (size_t j = 0; j < d; ++j) centers.at(r, j) = data.at(r * 13 % rows, j);
  }
  DenseKMeans model({.k = k, .iterations = 1, .seed = 1, .init = InitMethod::Random});
  model.set_centers(centers);
  double best[2] = {1e30, 1e30};
  for (size_t rep = 0; rep < repeats; ++rep) {
    for (int direct = 0; direct < 2; ++direct) {
      setenv("VANTORIX_DENSE_SCREEN", direct ? "off" : "on", 1);
      best[direct] = std::min(best[direct], bench::best_timing([&] { model.predict(data.view()); }, 1).cpu);
      unsetenv("VANTORIX_DENSE_SCREEN");
    }
  }
  std::printf("{\"screened_cpu\": %.6g, \"direct_cpu\": %.6g, \"ratio\": %.3f}\n", best[0], best[1],
              best[0] / best[1]);
  return 0;
}

// A number as JSON has it: null where it is not finite (bf16 seconds where bf16 does not run).
std::string json_number(double v) {
  if (!std::isfinite(v)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", v);
  return text;
}

int decisions() {
  for (const bool cosine : {false, true}) {
    for (const size_t d : {16, 32, 64, 100, 128, 256, 384, 784}) {
      for (const size_t k : {8, 16, 32, 64, 128, 256, 1024}) {
        const ScreenCalibration c = screen_calibration(k, d, cosine);
        std::string blocks;
        for (size_t i = 0; i < c.block_sizes.size(); ++i) {
          char entry[64];
          std::snprintf(entry, sizeof entry, "%s\"%zu\": %.4g", i ? ", " : "", c.block_sizes[i], c.block_seconds[i]);
          blocks += entry;
        }
        std::printf("{\"d\": %zu, \"k\": %zu, \"cosine\": %s, \"direct_s\": %.4g, \"screen_s\": %.4g, "
                    "\"bf16_s\": %s, \"bf16_measured\": %.3f, \"probe_rows\": %zu, \"choice\": \"%s\", "
                    "\"block_rows\": %zu, \"block_s\": {%s}}\n",
                    d, k, cosine ? "true" : "false", c.direct_seconds, c.screen_seconds, json_number(c.bf16_seconds).c_str(),
                    c.bf16_measured, c.probe_rows,
                    !c.screen ? "direct" : c.products == ScreenProducts::Bf16 ? "bf16" : "fp32",
                    c.screen ? c.block_rows : 0, blocks.c_str());
      }
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "share" && argc == 6) {
    return share(argv[2], std::stoul(argv[3]), std::string(argv[4]) == "1", std::stoul(argv[5]));
  }
  if (mode == "assign" && argc == 6) {
    return assign(std::stoul(argv[2]), std::stoul(argv[3]), std::stoul(argv[4]), std::stoul(argv[5]));
  }
  if (mode == "decisions" && argc == 2) return decisions();
  std::fprintf(stderr, "usage: %s share data.npy k spherical iterations | assign rows d k repeats | decisions\n",
               argv[0]);
  return 2;
}
