// The screened dense assignment, two ways:
//
//   vantorix_screen_bench share data.npy k spherical(0|1) iterations
//     fits like bench/dense_kmeans.py (random start, seed 1234) and prints how many rows went
//     through the screen, how many needed more than one direct measurement, and the direct
//     measurements in all;
//   vantorix_screen_bench assign rows d k repeats
//     times repeated predicts on synthetic clustered rows, screened and with the direct kernels
//     alone (VANTORIX_DENSE_ASSIGN=rows), interleaved; prints the smallest CPU seconds of each.
//     Run it with VANTORIX_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 for per-core figures.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dense/dense.hpp"
#include "dense/dense_screen.hpp"

using namespace vantorix;

namespace {

// A C-contiguous little-endian float32 or uint8 .npy file, as float32.
Matrix<float> load_npy(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  char magic[8];
  in.read(magic, 8);
  uint32_t header_len = 0;
  if (magic[6] == 1) {
    uint16_t n;
    in.read(reinterpret_cast<char*>(&n), 2);
    header_len = n;
  } else {
    in.read(reinterpret_cast<char*>(&header_len), 4);
  }
  std::string header(header_len, ' ');
  in.read(header.data(), header_len);
  const bool u8 = header.find("'|u1'") != std::string::npos;
  if (!u8 && header.find("'<f4'") == std::string::npos) throw std::runtime_error("expected float32 or uint8");
  if (header.find("'fortran_order': False") == std::string::npos) throw std::runtime_error("expected C order");
  const auto open = header.find('('), comma = header.find(',', open), close = header.find(')', open);
  const size_t rows = std::stoul(header.substr(open + 1, comma - open - 1));
  const size_t cols = std::stoul(header.substr(comma + 1, close - comma - 1));
  Matrix<float> m(rows, cols);
  if (u8) {
    std::vector<uint8_t> raw(rows * cols);
    in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()));
    for (size_t i = 0; i < raw.size(); ++i) m.values[i] = float(raw[i]);
  } else {
    in.read(reinterpret_cast<char*>(m.data()), std::streamsize(m.size() * sizeof(float)));
  }
  if (!in) throw std::runtime_error("short file " + path);
  return m;
}

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

int share(const std::string& path, size_t k, bool spherical, size_t iterations) {
  Matrix<float> data = load_npy(path);
  if (spherical) {
    for (size_t r = 0; r < data.rows; ++r) {
      double s = 0.0;
      for (float v : data.row(r)) s += double(v) * double(v);
      const float n = float(std::max(std::sqrt(s), 1e-12));
      for (float& v : data.row(r)) v /= n;
    }
  }
  DenseKMeans model({.k = k, .iterations = iterations, .seed = 1234, .init = InitMethod::Random, .spherical = spherical});
  reset_dense_screen_counts();
  model.fit(data.view());
  const DenseScreenCounts c = dense_screen_counts();
  std::printf("{\"rows\": %llu, \"confirmed\": %llu, \"measured\": %llu}\n", (unsigned long long)c.rows,
              (unsigned long long)c.confirmed, (unsigned long long)c.measured);
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
      if (direct) setenv("VANTORIX_DENSE_ASSIGN", "rows", 1);
      const double start = cpu_seconds();
      model.predict(data.view());
      best[direct] = std::min(best[direct], cpu_seconds() - start);
      unsetenv("VANTORIX_DENSE_ASSIGN");
    }
  }
  std::printf("{\"screened_cpu\": %.6g, \"direct_cpu\": %.6g, \"ratio\": %.3f}\n", best[0], best[1],
              best[0] / best[1]);
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
  std::fprintf(stderr, "usage: %s share data.npy k spherical iterations | assign rows d k repeats\n", argv[0]);
  return 2;
}
