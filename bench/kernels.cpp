// Micro-benchmark of the distance kernels, vector and scalar forms, on one thread.
// Prints one JSON object per line: {"kernel", "form", "calls_per_s", "gflops"}.
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "kernels/simd.hpp"

using namespace vantorix;

namespace {

template <class F>
double seconds_per_call(F&& f, size_t calls) {
  double best = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < calls; ++i) f(i);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (s < best) best = s;
  }
  return best / double(calls);
}

volatile size_t g_sink;

}  // namespace

int main() {
  std::mt19937 gen(1);
  std::uniform_real_distribution<float> dist(0.0f, 100.0f);
  {
    const size_t d = 128, k = 256, queries = 64;
    std::vector<float> q(queries * d), c(k * d);
    for (auto& x : q) x = dist(gen);
    for (auto& x : c) x = dist(gen);
    const double flops = double(k) * double(d) * 3.0;  // sub, mul, add per element
    for (int form = 0; form < 2; ++form) {
      auto fn = form == 0 ? nearest_l2_center_neon : nearest_l2_center_scalar;
      const double s = seconds_per_call(
          [&](size_t i) { g_sink = fn(std::span<const float>(q).subspan((i % queries) * d, d), c, k, d).first; },
          2000);
      std::printf("{\"kernel\": \"nearest_l2_center d=128 k=256\", \"form\": \"%s\", \"calls_per_s\": %.1f, "
                  "\"gflops\": %.3f}\n",
                  form == 0 ? "vector" : "scalar", 1.0 / s, flops / s * 1e-9);
    }
  }
  {
    const size_t m_count = 16, ks = 256, k = 256, rows = 1024;
    std::vector<float> table(m_count * ks * k);
    for (auto& x : table) x = dist(gen);
    std::vector<uint8_t> codes(rows * m_count);
    for (auto& x : codes) x = uint8_t(gen() % ks);
    const double flops = double(m_count) * double(k);  // one add per subspace and cluster
    for (int form = 0; form < 2; ++form) {
      auto fn = form == 0 ? select_lookup_min_neon : select_lookup_min_scalar;
      const double s = seconds_per_call(
          [&](size_t i) {
            g_sink = fn(std::span<const uint8_t>(codes).subspan((i % rows) * m_count, m_count), table, ks, k).first;
          },
          20000);
      std::printf("{\"kernel\": \"select_lookup_min M=16 Ks=256 k=256\", \"form\": \"%s\", \"calls_per_s\": %.1f, "
                  "\"gflops\": %.3f}\n",
                  form == 0 ? "vector" : "scalar", 1.0 / s, flops / s * 1e-9);
    }
  }
  return 0;
}
