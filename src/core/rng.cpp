#include "core/rng.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_set>

namespace vantorix {

namespace {

inline void quarter_round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  a += b; d ^= a; d = std::rotl(d, 16);
  c += d; b ^= c; b = std::rotl(b, 12);
  a += b; d ^= a; d = std::rotl(d, 8);
  c += d; b ^= c; b = std::rotl(b, 7);
}

}  // namespace

std::array<uint32_t, 16> SeededRng::chacha8_block(const std::array<uint32_t, 8>& key, uint64_t counter) {
  std::array<uint32_t, 16> input = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,
                                    key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
                                    uint32_t(counter), uint32_t(counter >> 32), 0u, 0u};
  std::array<uint32_t, 16> x = input;
  for (int round = 0; round < 4; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (size_t i = 0; i < 16; ++i) x[i] += input[i];
  return x;
}

std::array<uint32_t, 8> SeededRng::key_from_seed(uint64_t seed) {
  constexpr uint64_t kMul = 6364136223846793005ull;
  constexpr uint64_t kInc = 11634580027462260723ull;
  std::array<uint32_t, 8> key{};
  uint64_t s = seed;
  for (auto& word : key) {
    s = s * kMul + kInc;
    const auto xorshifted = uint32_t(((s >> 18) ^ s) >> 27);
    const auto rot = uint32_t(s >> 59);
    word = std::rotr(xorshifted, int(rot));
  }
  return key;
}

SeededRng::SeededRng(uint64_t seed) : key_(key_from_seed(seed)) {}

SeededRng SeededRng::from_key(const std::array<uint32_t, 8>& key) {
  SeededRng rng;
  rng.key_ = key;
  return rng;
}

void SeededRng::refill() {
  for (size_t b = 0; b < 4; ++b) {
    const auto block = chacha8_block(key_, counter_ + b);
    std::memcpy(buffer_.data() + b * 16, block.data(), sizeof(block));
  }
  counter_ += 4;
  index_ = 0;
}

uint32_t SeededRng::next_u32() {
  if (index_ >= kBufferWords) refill();
  return buffer_[index_++];
}

uint64_t SeededRng::next_u64() {
  if (index_ + 1 < kBufferWords) {
    const uint64_t lo = buffer_[index_], hi = buffer_[index_ + 1];
    index_ += 2;
    return (hi << 32) | lo;
  }
  if (index_ >= kBufferWords) {
    refill();
    index_ = 2;
    return (uint64_t(buffer_[1]) << 32) | buffer_[0];
  }
  // One word left: it is the low half, the next refill's first word the high half.
  const uint64_t lo = buffer_[kBufferWords - 1];
  refill();
  index_ = 1;
  return (uint64_t(buffer_[0]) << 32) | lo;
}

double SeededRng::uniform_f64(double low, double high) {
  if (!(low < high)) fatal("uniform_f64: empty range");
  double scale = high - low;
  if (!std::isfinite(scale)) fatal("uniform_f64: non-finite range");
  for (;;) {
    const uint64_t bits = 0x3FF0000000000000ull | (next_u64() >> 12);
    const double value0_1 = std::bit_cast<double>(bits) - 1.0;
    const double result = value0_1 * scale + low;
    if (result < high) return result;
    // Rounding reached the upper end: shrink the scale by one step and draw again.
    scale = std::nextafter(scale, 0.0);
  }
}

uint32_t SeededRng::range_inclusive_u32(uint32_t low, uint32_t high) {
  if (low > high) fatal("range draw: empty range");
  const uint32_t range = high - low + 1;
  if (range == 0) return next_u32();
  const uint64_t m = uint64_t(next_u32()) * range;
  uint32_t result = uint32_t(m >> 32);
  const auto lo_order = uint32_t(m);
  if (lo_order > uint32_t(0u - range)) {
    const auto new_hi = uint32_t((uint64_t(next_u32()) * range) >> 32);
    uint32_t sum;
    result += __builtin_add_overflow(lo_order, new_hi, &sum) ? 1u : 0u;
  }
  return low + result;
}

uint64_t SeededRng::range_inclusive_u64(uint64_t low, uint64_t high) {
  if (low > high) fatal("range draw: empty range");
  const uint64_t range = high - low + 1;
  if (range == 0) return next_u64();
  const unsigned __int128 m = (unsigned __int128)next_u64() * range;
  uint64_t result = uint64_t(m >> 64);
  const auto lo_order = uint64_t(m);
  if (lo_order > uint64_t(0ull - range)) {
    const auto new_hi = uint64_t(((unsigned __int128)next_u64() * range) >> 64);
    uint64_t sum;
    result += __builtin_add_overflow(lo_order, new_hi, &sum) ? 1u : 0u;
  }
  return low + result;
}

size_t SeededRng::range_inclusive(size_t low, size_t high) {
  if (high <= 0xFFFFFFFFull) return range_inclusive_u32(uint32_t(low), uint32_t(high));
  return size_t(range_inclusive_u64(low, high));
}

size_t SeededRng::below(size_t n) {
  if (n == 0) fatal("range draw: empty range");
  return range_inclusive(0, n - 1);
}

size_t IncreasingChooser::next_index() {
  const uint32_t next = n_ + 1;
  uint32_t next_remaining;
  if (remaining_ == 0) {
    // bound = next * (next + 1) * ... while it fits 32 bits.
    uint32_t product = next, current = next + 1, count;
    for (;;) {
      uint32_t p;
      if (__builtin_mul_overflow(product, current, &p)) {
        count = current - next;
        break;
      }
      product = p;
      current += 1;
    }
    chunk_ = rng_.range_inclusive_u32(0, product - 1);
    next_remaining = count - 1;
  } else {
    next_remaining = remaining_ - 1;
  }
  size_t result;
  if (next_remaining == 0) {
    result = chunk_;
  } else {
    result = chunk_ % next;
    chunk_ /= next;
  }
  remaining_ = next_remaining;
  n_ = next;
  return result;
}

SampleAlgorithm sample_algorithm(size_t length, size_t amount) {
  if (length > size_t(0xFFFFFFFFu)) return SampleAlgorithm::Rejection;
  const bool large = length >= 500000;
  const float len_f = float(uint32_t(length));
  const float amount_f = float(uint32_t(amount));
  if (amount < 163) {
    const float a = large ? 70.0f / 9.0f : 10.0f;
    const float b = large ? 8.0f / 45.0f : 1.6f;
    const float m4 = b * amount_f;
    if (amount > 11 && len_f < (a + m4) * amount_f) return SampleAlgorithm::Inplace;
    return SampleAlgorithm::Floyd;
  }
  const float c = large ? 330.0f / 9.0f : 270.0f;
  if (len_f < c * amount_f) return SampleAlgorithm::Inplace;
  return SampleAlgorithm::Rejection;
}

namespace {

std::vector<size_t> sample_floyd(SeededRng& rng, uint32_t length, uint32_t amount) {
  std::vector<size_t> out;
  out.reserve(amount);
  for (uint32_t j = length - amount; j < length; ++j) {
    const size_t t = rng.range_inclusive_u32(0, j);
    for (auto& v : out) {
      if (v == t) {
        v = j;
        break;
      }
    }
    out.push_back(t);
  }
  return out;
}

std::vector<size_t> sample_inplace(SeededRng& rng, uint32_t length, uint32_t amount) {
  std::vector<size_t> all(length);
  for (uint32_t i = 0; i < length; ++i) all[i] = i;
  for (uint32_t i = 0; i < amount; ++i) {
    const uint32_t j = rng.range_inclusive_u32(i, length - 1);
    std::swap(all[i], all[j]);
  }
  all.resize(amount);
  return all;
}

// Lemire's method with rejection of the biased zone; one accepted index per draw loop.
size_t lemire_below(SeededRng& rng, size_t length) {
  if (length <= 0xFFFFFFFFull) {
    const auto range = uint32_t(length);
    const uint32_t thresh = uint32_t(0u - range) % range;
    for (;;) {
      const uint64_t m = uint64_t(rng.next_u32()) * range;
      if (uint32_t(m) >= thresh) return size_t(m >> 32);
    }
  }
  const auto range = uint64_t(length);
  const uint64_t thresh = uint64_t(0ull - range) % range;
  for (;;) {
    const unsigned __int128 m = (unsigned __int128)rng.next_u64() * range;
    if (uint64_t(m) >= thresh) return size_t(m >> 64);
  }
}

std::vector<size_t> sample_rejection(SeededRng& rng, size_t length, size_t amount) {
  std::vector<size_t> out;
  out.reserve(amount);
  std::unordered_set<size_t> seen;
  seen.reserve(amount * 2);
  for (size_t i = 0; i < amount; ++i) {
    size_t pos = lemire_below(rng, length);
    while (!seen.insert(pos).second) pos = lemire_below(rng, length);
    out.push_back(pos);
  }
  return out;
}

}  // namespace

std::vector<size_t> sample_indices(SeededRng& rng, size_t length, size_t amount) {
  if (amount > length) fatal("sample_indices: amount exceeds length");
  switch (sample_algorithm(length, amount)) {
    case SampleAlgorithm::Floyd: return sample_floyd(rng, uint32_t(length), uint32_t(amount));
    case SampleAlgorithm::Inplace: return sample_inplace(rng, uint32_t(length), uint32_t(amount));
    case SampleAlgorithm::Rejection: break;
  }
  return sample_rejection(rng, length, amount);
}

}  // namespace vantorix
