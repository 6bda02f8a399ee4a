// How often the screened assignment needs more than one direct measurement, over a whole fit,
// and what one assignment costs screened and with the direct kernels alone.
//
//   vantorix_screen_bench data.npy k spherical(0|1) iterations
//
// Prints one JSON object: rows screened, rows confirmed with a second measurement, direct
// measurements in all, and the median wall and CPU seconds of one predict each way.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>
#include <algorithm>

#include "dense.hpp"
#include "dense_screen.hpp"

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s data.npy k spherical iterations\n", argv[0]);
    return 2;
  }
  Matrix<float> data = load_npy(argv[1]);
  const size_t k = std::stoul(argv[2]), iterations = std::stoul(argv[4]);
  const bool spherical = std::string(argv[3]) == "1";
  if (spherical) {
    for (size_t r = 0; r < data.rows; ++r) {
      double s = 0.0;
      for (float v : data.row(r)) s += double(v) * double(v);
      const float n = float(std::max(std::sqrt(s), 1e-12));
      for (float& v : data.row(r)) v /= n;
    }
  }
  DenseKMeans model(k, iterations, 1234, false, InitMethod::Random, false, spherical);
  reset_dense_screen_counts();
  model.fit(data.view());
  const DenseScreenCounts counts = dense_screen_counts();

  // One assignment against the fitted centers, screened and direct, interleaved.
  std::vector<double> wall[2], cpu[2];
  for (int rep = 0; rep < 7; ++rep) {
    for (int direct = 0; direct < 2; ++direct) {
      if (direct) setenv("VANTORIX_DENSE_ASSIGN", "rows", 1);
      const auto w0 = std::chrono::steady_clock::now();
      const double c0 = cpu_seconds();
      const auto labels = model.predict(data.view());
      cpu[direct].push_back(cpu_seconds() - c0);
      wall[direct].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count());
      if (labels != model.labels()) throw std::runtime_error("predict disagrees with the fit");
      unsetenv("VANTORIX_DENSE_ASSIGN");
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("{\"rows\": %llu, \"confirmed\": %llu, \"measured\": %llu, \"screened_wall\": %.6g, "
              "\"direct_wall\": %.6g, \"screened_cpu\": %.6g, \"direct_cpu\": %.6g}\n",
              (unsigned long long)counts.rows, (unsigned long long)counts.confirmed,
              (unsigned long long)counts.measured, median(wall[0]), median(wall[1]), median(cpu[0]),
              median(cpu[1]));
  return 0;
}
