// Assignment throughput of the 4-bit fast scan against the exact packed scan and the unpacked
// lookup scan, on codes and a float center table written by bench/pq4.py.
//
// Usage: vantorix_pq4_bench <input> <repeats>
// Input (little-endian): uint64 n, m, k; n*m code bytes (row-major, values < 16);
// m*16*k float32 table entries ((s*16 + t)*k + j).
// Prints one JSON object: median seconds per method and the share of rows whose quantized
// label differs from the exact one, per calibration.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <vector>

#include "codes/pq4_assign.hpp"
#include "codes/pqkmeans.hpp"

using namespace vantorix;

namespace {

// Wall clock by default; process CPU time with VANTORIX_BENCH_CPU_TIME set, which is steadier
// when other jobs share the cores.
std::chrono::duration<double> now() {
  static const bool cpu = std::getenv("VANTORIX_BENCH_CPU_TIME") != nullptr;
  if (cpu) {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::duration<double>(double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9);
  }
  return std::chrono::steady_clock::now().time_since_epoch();
}

template <class F>
double median_seconds(F&& f, int repeats) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const auto start = now();
    f();
    times.push_back((now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

double mismatch_share(const std::vector<size_t>& a, const std::vector<size_t>& b) {
  size_t differ = 0;
  for (size_t i = 0; i < a.size(); ++i) differ += a[i] != b[i];
  return a.empty() ? 0.0 : double(differ) / double(a.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <input> <repeats>\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  uint64_t header[3];
  in.read(reinterpret_cast<char*>(header), sizeof(header));
  const size_t n = header[0], m = header[1], k = header[2];
  std::vector<uint8_t> codes(n * m);
  std::vector<float> table(m * 16 * k);
  in.read(reinterpret_cast<char*>(codes.data()), std::streamsize(codes.size()));
  in.read(reinterpret_cast<char*>(table.data()), std::streamsize(table.size() * sizeof(float)));
  if (!in) {
    std::fprintf(stderr, "short input\n");
    return 2;
  }
  const int repeats = std::atoi(argv[2]);
  const MatrixView<const uint8_t> view(codes.data(), n, m);

  std::vector<size_t> exact(n), labels(n);
  std::vector<float> distances(n);
  const auto packed = PackedPq4Codes::pack(codes, n, m);
  QuantizedPq4LookupTables tables;

  // Interleaved so that load from the other developers on the machine hits every method alike.
  std::vector<double> t_unpacked, t_exact, t_global, t_per_center;
  double share_global = 0.0, share_per_center = 0.0;
  for (int r = 0; r < repeats; ++r) {
    t_unpacked.push_back(median_seconds([&] { assign_with_lookup(view, table, 16, k, exact.data(), distances.data()); }, 1));
    t_exact.push_back(median_seconds([&] { assign_pq4_lookup_into(packed, table, k, labels, distances); }, 1));
    // The quantized assignment reads the calibration from the environment on every call.
    t_global.push_back(
        median_seconds([&] { assign_pq4_lookup_quantized_reusing_into(packed, table, k, tables, labels, distances); }, 1));
    share_global = mismatch_share(labels, exact);
    setenv("VANTORIX_PQ4_LUT_CALIBRATION", "per_cluster", 1);
    t_per_center.push_back(
        median_seconds([&] { assign_pq4_lookup_quantized_reusing_into(packed, table, k, tables, labels, distances); }, 1));
    share_per_center = mismatch_share(labels, exact);
    unsetenv("VANTORIX_PQ4_LUT_CALIBRATION");
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("{\"n\": %zu, \"m\": %zu, \"k\": %zu, \"isa\": \"%s\", \"unpacked_s\": %.6g, \"exact_packed_s\": %.6g, "
              "\"quantized_global_s\": %.6g, \"quantized_per_center_s\": %.6g, \"mismatch_global\": %.6g, "
              "\"mismatch_per_center\": %.6g}\n",
              n, m, k, pq4_vector_isa(), median(t_unpacked), median(t_exact), median(t_global), median(t_per_center),
              share_global, share_per_center);
  return 0;
}
