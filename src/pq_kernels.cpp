#include "pq_kernels.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "error.hpp"

#if defined(__x86_64__) && (defined(__AVX512F__) || defined(__AVX__))
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace vantorix {

namespace {

#if defined(__AVX512F__)
constexpr size_t kLanes = 16;
#elif defined(__AVX__)
constexpr size_t kLanes = 8;
#else
constexpr size_t kLanes = 4;
#endif

typedef float VF __attribute__((vector_size(kLanes * 4)));
typedef int32_t VI __attribute__((vector_size(kLanes * 4)));

inline VF load(const float* p) {
  VF v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
// A real broadcast: filling lanes one by one makes GCC go through memory and stall.
inline VF splat(float x) {
#if defined(__AVX512F__)
  return (VF)_mm512_set1_ps(x);
#elif defined(__AVX__)
  return (VF)_mm256_set1_ps(x);
#elif defined(__aarch64__)
  return (VF)vdupq_n_f32(x);
#else
  VF v;
  for (size_t i = 0; i < kLanes; ++i) v[i] = x;
  return v;
#endif
}

// acc + a*b, one rounding per lane: the same operation as the 4-lane kernels' fused step.
inline VF vfma(VF a, VF b, VF acc) {
#if defined(__AVX512F__)
  return (VF)_mm512_fmadd_ps((__m512)a, (__m512)b, (__m512)acc);
#elif defined(__AVX__) && defined(__FMA__)
  return (VF)_mm256_fmadd_ps((__m256)a, (__m256)b, (__m256)acc);
#elif defined(__aarch64__)
  return (VF)vfmaq_f32((float32x4_t)acc, (float32x4_t)a, (float32x4_t)b);
#else
  VF out;
  for (size_t i = 0; i < kLanes; ++i) out[i] = std::fma(a[i], b[i], acc[i]);
  return out;
#endif
}

// Lane-wise running minimum with strict comparison: each lane keeps its first smallest value, so
// the lowest index wins ties, and NaN never replaces anything.
struct LaneMin {
  VF best = splat(std::numeric_limits<float>::infinity());
  VI index = {};
  VI current;
  LaneMin() {
    for (size_t i = 0; i < kLanes; ++i) current[i] = int32_t(i);
  }
  void update(VF value) {
    const VI smaller = value < best;
    best = smaller ? value : best;
    index = smaller ? current : index;
    current += int32_t(kLanes);
  }
  // Across lanes: the smallest value, then the lowest index. Lanes hold no NaN, and lanes that
  // never improved hold (+inf, 0), which only wins when nothing did, as in a scan from index 0.
  std::pair<uint32_t, float> finish() const {
#if defined(__AVX512F__)
    const float value = _mm512_reduce_min_ps((__m512)best);
    const __mmask16 at_min = _mm512_cmp_ps_mask((__m512)best, _mm512_set1_ps(value), _CMP_EQ_OQ);
    const int32_t at = _mm512_mask_reduce_min_epi32(at_min, (__m512i)index);
    return {uint32_t(at), value};
#else
    float value = best[0];
    for (size_t i = 1; i < kLanes; ++i) value = best[i] < value ? best[i] : value;
    int32_t at = std::numeric_limits<int32_t>::max();
    for (size_t i = 0; i < kLanes; ++i) at = best[i] == value && index[i] < at ? index[i] : at;
    return {uint32_t(at), value};
#endif
  }
};

constexpr int kScalar = -1;
constexpr int kLanes4 = 0;

}  // namespace

size_t pq_lane_width() { return kLanes; }

// Kind > 0: the fused kernels of 4*Kind dimensions; kLanes4: four separately rounded lane sums
// reduced in sequence, then the tail; kScalar: one sequential sum from -0.0.
template <int Kind>
std::pair<uint32_t, float> lane_nearest(const LaneCodebook& cb, const float* x) {
  const size_t ds = cb.ds_;
  LaneMin lanes;
  const float* block = cb.values_.data();
  for (size_t b = 0; b < cb.blocks_; ++b, block += ds * kLanes) {
    VF dist;
    if constexpr (Kind > 0) {
      VF a0 = splat(0.0f), a1 = a0, a2 = a0, a3 = a0;
      for (size_t t = 0; t < size_t(Kind); ++t) {
        const float* c = block + 4 * t * kLanes;
        const VF d0 = splat(x[4 * t]) - load(c);
        const VF d1 = splat(x[4 * t + 1]) - load(c + kLanes);
        const VF d2 = splat(x[4 * t + 2]) - load(c + 2 * kLanes);
        const VF d3 = splat(x[4 * t + 3]) - load(c + 3 * kLanes);
        a0 = vfma(d0, d0, a0);
        a1 = vfma(d1, d1, a1);
        a2 = vfma(d2, d2, a2);
        a3 = vfma(d3, d3, a3);
      }
      dist = (a0 + a1) + (a2 + a3);
    } else if constexpr (Kind == kLanes4) {
      VF a0 = splat(0.0f), a1 = a0, a2 = a0, a3 = a0;
      const size_t blocks4 = ds / 4;
      for (size_t t = 0; t < blocks4; ++t) {
        const float* c = block + 4 * t * kLanes;
        const VF d0 = splat(x[4 * t]) - load(c);
        const VF d1 = splat(x[4 * t + 1]) - load(c + kLanes);
        const VF d2 = splat(x[4 * t + 2]) - load(c + 2 * kLanes);
        const VF d3 = splat(x[4 * t + 3]) - load(c + 3 * kLanes);
        a0 = a0 + d0 * d0;
        a1 = a1 + d1 * d1;
        a2 = a2 + d2 * d2;
        a3 = a3 + d3 * d3;
      }
      dist = ((a0 + a1) + a2) + a3;
      for (size_t i = blocks4 * 4; i < ds; ++i) {
        const VF d = splat(x[i]) - load(block + i * kLanes);
        dist = dist + d * d;
      }
    } else {
      dist = splat(-0.0f);
      for (size_t i = 0; i < ds; ++i) {
        const VF d = splat(x[i]) - load(block + i * kLanes);
        dist = dist + d * d;
      }
    }
    lanes.update(dist);
  }
  return lanes.finish();
}

LaneCodebook::LaneCodebook(const float* centers, size_t ks, size_t ds, DistanceKernel kernel) {
  assign(centers, ks, ds, kernel);
}

void LaneCodebook::assign(const float* centers, size_t ks, size_t ds, DistanceKernel kernel) {
  ks_ = ks;
  ds_ = ds;
  blocks_ = (ks + kLanes - 1) / kLanes;
  values_.assign(checked_mul(checked_mul(blocks_, ds, "codebook size"), kLanes, "codebook size"),
                 std::numeric_limits<float>::quiet_NaN());
  for (size_t j = 0; j < ks; ++j) {
    float* block = values_.data() + (j / kLanes) * ds * kLanes + j % kLanes;
    for (size_t d = 0; d < ds; ++d) block[d * kLanes] = centers[j * ds + d];
  }
  switch (kernel.kind) {
    case DistanceKernel::Scalar: fn_ = &lane_nearest<kScalar>; break;
    case DistanceKernel::Lanes4: fn_ = &lane_nearest<kLanes4>; break;
    case DistanceKernel::Dim4: fn_ = &lane_nearest<1>; break;
    case DistanceKernel::Dim8: fn_ = &lane_nearest<2>; break;
    case DistanceKernel::Dim16: fn_ = &lane_nearest<4>; break;
    case DistanceKernel::Dim32: fn_ = &lane_nearest<8>; break;
    case DistanceKernel::Dim64: fn_ = &lane_nearest<16>; break;
  }
  const size_t fixed_dims[] = {0, 0, 4, 8, 16, 32, 64};
  if (kernel.kind >= DistanceKernel::Dim4 && fixed_dims[kernel.kind] != ds) {
    fatal("lane codebook: kernel does not match the subspace dimension");
  }
}

std::pair<uint32_t, float> LaneCodebook::nearest(const float* x) const { return fn_(*this, x); }

TransposedCodebook::TransposedCodebook(const float* codewords, size_t m, size_t ks, size_t ds)
    : table_(checked_mul(checked_mul(m, ks, "codebook size"), ds, "codebook size")),
      norms_(m * ks),
      m_(m),
      ks_(ks),
      ds_(ds),
      fused_(selected_slice_kernel()) {
  for (size_t sub = 0; sub < m; ++sub) {
    for (size_t k = 0; k < ks; ++k) {
      const float* c = codewords + (sub * ks + k) * ds;
      float norm = 0.0f;
      for (size_t d = 0; d < ds; ++d) {
        table_[(sub * ds + d) * ks + k] = c[d];
        norm = norm + c[d] * c[d];
      }
      norms_[sub * ks + k] = norm;
    }
  }
}

uint32_t TransposedCodebook::nearest(size_t sub, const float* x, float* coef) const {
  const size_t ks = ks_, ds = ds_;
  for (size_t d = 0; d < ds; ++d) coef[d] = x[d] * -2.0f;
  const float* norms = norms_.data() + sub * ks;
  const float* table = table_.data() + sub * ds * ks;
  // Every codeword's sum runs over d in order, as repeated add_scaled sweeps would: whole
  // groups of four fused when the vector kernels are active, the rest multiplied then added.
  LaneMin lanes;
  size_t k = 0;
  for (; k + kLanes <= ks; k += kLanes) {
    VF acc = load(norms + k);
    if (fused_) {
      for (size_t d = 0; d < ds; ++d) acc = vfma(splat(coef[d]), load(table + d * ks + k), acc);
    } else {
      for (size_t d = 0; d < ds; ++d) acc = acc + splat(coef[d]) * load(table + d * ks + k);
    }
    lanes.update(acc);
  }
  const size_t fused_end = fused_ ? ks / 4 * 4 : 0;
  float tail_best = std::numeric_limits<float>::infinity();
  uint32_t tail_index = 0;
  for (; k < ks; ++k) {
    float acc = norms[k];
    for (size_t d = 0; d < ds; ++d) {
      acc = k < fused_end ? std::fma(coef[d], table[d * ks + k], acc) : acc + coef[d] * table[d * ks + k];
    }
    if (acc < tail_best) {
      tail_best = acc;
      tail_index = uint32_t(k);
    }
  }
  const auto [at, value] = lanes.finish();
  return tail_best < value ? tail_index : at;  // tail indices are higher: ties stay with the lanes
}

}  // namespace vantorix
