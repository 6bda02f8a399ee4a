#pragma once
// SeededRng: every random choice of the library comes from here, so equal seeds give equal
// results on every platform. ChaCha with 8 rounds, keyed from a 64-bit seed by PCG32 steps.
#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace vantorix {

class SeededRng {
 public:
  static constexpr size_t kBufferWords = 64;  // four 64-byte blocks per refill

  explicit SeededRng(uint64_t seed);
  // Raw key, for tests against reference streams.
  static SeededRng from_key(const std::array<uint32_t, 8>& key);
  static std::array<uint32_t, 8> key_from_seed(uint64_t seed);

  uint32_t next_u32();
  uint64_t next_u64();

  // Uniform in [low, high). An empty or non-finite range is a fatal internal error.
  double uniform_f64(double low, double high);
  // Uniform integer in [low, high] (inclusive), widening-multiply method; 32-bit draws when high
  // fits 32 bits, 64-bit draws otherwise.
  uint32_t range_inclusive_u32(uint32_t low, uint32_t high);
  uint64_t range_inclusive_u64(uint64_t low, uint64_t high);
  size_t range_inclusive(size_t low, size_t high);
  // Uniform integer in [0, n), n > 0.
  size_t below(size_t n);

  // One ChaCha8 block for a key and counter (stream 0); exposed for tests.
  static std::array<uint32_t, 16> chacha8_block(const std::array<uint32_t, 8>& key, uint64_t counter);

 private:
  SeededRng() = default;
  void refill();

  std::array<uint32_t, 8> key_{};
  uint64_t counter_ = 0;
  std::array<uint32_t, kBufferWords> buffer_{};
  size_t index_ = kBufferWords;
};

// `amount` distinct indices out of [0, length), in the order the sampler produced them.
std::vector<size_t> sample_indices(SeededRng& rng, size_t length, size_t amount);

// Which sampler sample_indices uses for (length, amount); exposed for tests.
enum class SampleAlgorithm { Floyd, Inplace, Rejection };
SampleAlgorithm sample_algorithm(size_t length, size_t amount);

// Chooses swap positions for an in-place shuffle: one 32-bit range draw serves several positions.
class IncreasingChooser {
 public:
  IncreasingChooser(SeededRng& rng, uint32_t n) : rng_(rng), n_(n), remaining_(n == 0 ? 1 : 0) {}
  size_t next_index();

 private:
  SeededRng& rng_;
  uint32_t n_;
  uint32_t chunk_ = 0;
  uint32_t remaining_;
};

template <class T>
void shuffle(SeededRng& rng, std::span<T> items) {
  const size_t len = items.size();
  if (len <= 1) return;
  if (len < size_t(0xFFFFFFFFu)) {
    IncreasingChooser chooser(rng, 0);
    for (size_t i = 0; i < len; ++i) std::swap(items[i], items[chooser.next_index()]);
  } else {
    for (size_t i = 0; i < len; ++i) std::swap(items[i], items[rng.range_inclusive_u64(0, i)]);
  }
}

template <class T>
void shuffle(SeededRng& rng, std::vector<T>& items) {
  shuffle(rng, std::span<T>(items));
}

}  // namespace vantorix
