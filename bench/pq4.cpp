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
#include <fstream>
#include <vector>

#include "codes/pq4_assign.hpp"
#include "codes/pqkmeans.hpp"
#include "harness.hpp"

using namespace vantorix;

namespace {

// Wall clock by default; process CPU time with VANTORIX_BENCH_CPU_TIME set, which is steadier
// when other jobs share the cores.
template <class F>
double seconds(F&& f) {
  static const bool cpu = std::getenv("VANTORIX_BENCH_CPU_TIME") != nullptr;
  const bench::Timing t = bench::median_timing(f, 1);
  return cpu ? t.cpu : t.wall;
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

  // Half a second of untimed passes first. A fresh process runs parallel calls at one core's
  // speed for its first 100-200 ms on some machines (the pool's second thread shares the first
  // one's core until the scheduler moves it, and BLAS's own threads spin after start-up), and a
  // few passes of a millisecond fall entirely inside that; FAISS's index is searched warm too.
  const auto warm_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (std::chrono::steady_clock::now() < warm_until) {
    assign_with_lookup(view, table, 16, k, exact.data(), distances.data());
    assign_pq4_lookup_into(packed, table, k, labels, distances);
    assign_pq4_lookup_quantized_reusing_into(packed, table, k, tables, labels, distances);
  }
  // Interleaved so that load from the other developers on the machine hits every method alike.
  std::vector<double> t_unpacked, t_exact, t_global, t_per_center;
  double share_global = 0.0, share_per_center = 0.0;
  for (int r = 0; r < repeats; ++r) {
    t_unpacked.push_back(seconds([&] { assign_with_lookup(view, table, 16, k, exact.data(), distances.data()); }));
    t_exact.push_back(seconds([&] { assign_pq4_lookup_into(packed, table, k, labels, distances); }));
    // The quantized assignment reads the calibration from the environment on every call.
    t_global.push_back(
        seconds([&] { assign_pq4_lookup_quantized_reusing_into(packed, table, k, tables, labels, distances); }));
    share_global = mismatch_share(labels, exact);
    setenv("VANTORIX_PQ4_LUT_CALIBRATION", "per_cluster", 1);
    t_per_center.push_back(
        seconds([&] { assign_pq4_lookup_quantized_reusing_into(packed, table, k, tables, labels, distances); }));
    share_per_center = mismatch_share(labels, exact);
    unsetenv("VANTORIX_PQ4_LUT_CALIBRATION");
  }
  std::printf("{\"n\": %zu, \"m\": %zu, \"k\": %zu, \"isa\": \"%s\", \"unpacked_s\": %.6g, \"exact_packed_s\": %.6g, "
              "\"quantized_global_s\": %.6g, \"quantized_per_center_s\": %.6g, \"mismatch_global\": %.6g, "
              "\"mismatch_per_center\": %.6g}\n",
              n, m, k, pq4_vector_isa(), bench::median(t_unpacked), bench::median(t_exact), bench::median(t_global),
              bench::median(t_per_center),
              share_global, share_per_center);
  return 0;
}
