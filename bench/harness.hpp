#pragma once
// What every C++ benchmark program needs: the two clocks, repeated timing with medians (or the
// best run), and readers for the inputs the Python drivers write (.npy files, raw float32).
//
// On a shared machine the wall time says how long a caller waited; the process CPU time (all
// threads) says how much work was done, and is the steadier of the two when other jobs share
// the cores.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/matrix.hpp"

namespace vantorix::bench {

inline double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// The calling thread's CPU time: other processes on a shared machine do not lower a per-thread
// rate measured with it.
inline double thread_cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

struct Timing {
  double wall = 0, cpu = 0;
};

inline double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Runs f `repeats` times (at least once) and returns every run's seconds on both clocks.
template <class F>
std::vector<Timing> time_runs(F&& f, int repeats) {
  std::vector<Timing> runs;
  for (int r = 0; r < std::max(repeats, 1); ++r) {
    const double w = wall_seconds(), c = cpu_seconds();
    f();
    const double cpu = cpu_seconds() - c;
    runs.push_back({wall_seconds() - w, cpu});
  }
  return runs;
}

// The median of each clock over the runs.
template <class F>
Timing median_timing(F&& f, int repeats) {
  std::vector<double> wall, cpu;
  for (const Timing& t : time_runs(f, repeats)) wall.push_back(t.wall), cpu.push_back(t.cpu);
  return {median(wall), median(cpu)};
}

// The smallest of each clock over the runs.
template <class F>
Timing best_timing(F&& f, int repeats) {
  const std::vector<Timing> runs = time_runs(f, repeats);
  Timing best = runs.front();
  for (const Timing& t : runs) best.wall = std::min(best.wall, t.wall), best.cpu = std::min(best.cpu, t.cpu);
  return best;
}

// A C-contiguous little-endian float32 or uint8 .npy file, as float32.
inline Matrix<float> load_npy(const std::string& path) {
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

// `count` raw float32 values; exits with a message when the file is shorter.
inline std::vector<float> read_floats(const char* path, size_t count) {
  std::vector<float> v(count);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(v.data()), std::streamsize(count * sizeof(float)));
  if (!in) {
    std::fprintf(stderr, "cannot read %zu floats from %s\n", count, path);
    std::exit(2);
  }
  return v;
}

}  // namespace vantorix::bench
