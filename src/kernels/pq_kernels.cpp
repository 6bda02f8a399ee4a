#include "kernels/pq_kernels.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "core/error.hpp"
#include "kernels/lanes.hpp"

namespace vantorix {

namespace {

using namespace lanes;
constexpr size_t kLanes = kWide;

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
    float value = best[0];
    for (size_t i = 1; i < kLanes; ++i) value = best[i] < value ? best[i] : value;
    int32_t at = std::numeric_limits<int32_t>::max();
    for (size_t i = 0; i < kLanes; ++i) at = best[i] == value && index[i] < at ? index[i] : at;
    return {uint32_t(at), value};
  }
};

constexpr int kScalar = -1;
constexpr int kLanes4 = 0;

}  // namespace

size_t pq_lane_width() { return kLanes; }

// Distances from x to G consecutive blocks of codewords (block_size floats apart). Kind > 0:
// the fused kernels of 4*Kind dimensions; kLanes4: four separately rounded lane sums reduced in
// sequence, then the tail; kScalar: one sequential sum from -0.0. The G blocks are independent
// chains interleaved for the pipeline; each lane's own sequence of operations is unchanged.
template <int Kind, size_t G>
inline void block_distances(const float* x, const float* block, size_t ds, size_t block_size, VF* dist) {
  if constexpr (Kind > 0) {
    VF a[G][4];
    for (size_t g = 0; g < G; ++g) a[g][0] = a[g][1] = a[g][2] = a[g][3] = splat(0.0f);
    for (size_t t = 0; t < size_t(Kind); ++t) {
      for (size_t g = 0; g < G; ++g) {
        const float* c = block + g * block_size + 4 * t * kLanes;
        for (size_t l = 0; l < 4; ++l) {
          const VF d = splat(x[4 * t + l]) - loadw(c + l * kLanes);
          a[g][l] = fmaw(d, d, a[g][l]);
        }
      }
    }
    for (size_t g = 0; g < G; ++g) dist[g] = (a[g][0] + a[g][1]) + (a[g][2] + a[g][3]);
  } else if constexpr (Kind == kLanes4) {
    VF a[G][4];
    for (size_t g = 0; g < G; ++g) a[g][0] = a[g][1] = a[g][2] = a[g][3] = splat(0.0f);
    const size_t blocks4 = ds / 4;
    for (size_t t = 0; t < blocks4; ++t) {
      for (size_t g = 0; g < G; ++g) {
        const float* c = block + g * block_size + 4 * t * kLanes;
        for (size_t l = 0; l < 4; ++l) {
          const VF d = splat(x[4 * t + l]) - loadw(c + l * kLanes);
          a[g][l] = a[g][l] + d * d;
        }
      }
    }
    for (size_t g = 0; g < G; ++g) dist[g] = ((a[g][0] + a[g][1]) + a[g][2]) + a[g][3];
    for (size_t i = blocks4 * 4; i < ds; ++i) {
      for (size_t g = 0; g < G; ++g) {
        const VF d = splat(x[i]) - loadw(block + g * block_size + i * kLanes);
        dist[g] = dist[g] + d * d;
      }
    }
  } else {
    for (size_t g = 0; g < G; ++g) dist[g] = splat(-0.0f);
    for (size_t i = 0; i < ds; ++i) {
      for (size_t g = 0; g < G; ++g) {
        const VF d = splat(x[i]) - loadw(block + g * block_size + i * kLanes);
        dist[g] = dist[g] + d * d;
      }
    }
  }
}

template <int Kind>
std::pair<uint32_t, float> lane_nearest(const LaneCodebook& cb, const float* x) {
  const size_t ds = cb.ds_, block_size = ds * kLanes;
  LaneMin lanes;
  const float* block = cb.values_.data();
  size_t b = 0;
  VF dist[2];
  for (; b + 2 <= cb.blocks_; b += 2, block += 2 * block_size) {
    block_distances<Kind, 2>(x, block, ds, block_size, dist);
    lanes.update(dist[0]);
    lanes.update(dist[1]);
  }
  if (b < cb.blocks_) {
    block_distances<Kind, 1>(x, block, ds, block_size, dist);
    lanes.update(dist[0]);
  }
  return lanes.finish();
}

// nearest() of kLanes rows at once, one row per lane: each codeword is broadcast and every lane
// runs the one-pair kernel's operations for its row (x - c, then the Kind's chains and their
// reduction, as block_distances has them per codeword), keeping its first strictly smaller
// distance. Narrow subspaces have few operations per codeword, and the codeword-per-lane form
// spends more on its final reduction across lanes than on the distances.
template <int Kind>
void rows_in_lanes(const LaneCodebook& cb, const float* rows, ptrdiff_t stride, size_t count,
                   std::pair<uint32_t, float>* out) {
  const size_t ds = cb.ds_, ks = cb.ks_;
  thread_local std::vector<VF> xt;  // the rows' values dimension by dimension
  if (xt.size() < ds) xt.resize(ds);
  for (size_t i = 0; i + kLanes <= count; i += kLanes) {
    for (size_t d = 0; d < ds; ++d)
      for (size_t r = 0; r < kLanes; ++r) xt[d][r] = rows[ptrdiff_t(i + r) * stride + ptrdiff_t(d)];
    VF best = splat(std::numeric_limits<float>::infinity());
    VI index = {};
    for (size_t j = 0; j < ks; ++j) {
      const float* c = cb.values_.data() + (j / kLanes) * ds * kLanes + j % kLanes;  // c[d * kLanes]
      VF dist;
      if constexpr (Kind > 0) {
        VF a[4] = {splat(0.0f), splat(0.0f), splat(0.0f), splat(0.0f)};
        for (size_t t = 0; t < size_t(Kind); ++t) {
          for (size_t l = 0; l < 4; ++l) {
            const VF diff = xt[4 * t + l] - splat(c[(4 * t + l) * kLanes]);
            a[l] = fmaw(diff, diff, a[l]);
          }
        }
        dist = (a[0] + a[1]) + (a[2] + a[3]);
      } else if constexpr (Kind == kLanes4) {
        VF a[4] = {splat(0.0f), splat(0.0f), splat(0.0f), splat(0.0f)};
        const size_t blocks4 = ds / 4;
        for (size_t t = 0; t < blocks4; ++t) {
          for (size_t l = 0; l < 4; ++l) {
            const VF diff = xt[4 * t + l] - splat(c[(4 * t + l) * kLanes]);
            a[l] = a[l] + diff * diff;
          }
        }
        dist = ((a[0] + a[1]) + a[2]) + a[3];
        for (size_t d = blocks4 * 4; d < ds; ++d) {
          const VF diff = xt[d] - splat(c[d * kLanes]);
          dist = dist + diff * diff;
        }
      } else {
        dist = splat(-0.0f);
        for (size_t d = 0; d < ds; ++d) {
          const VF diff = xt[d] - splat(c[d * kLanes]);
          dist = dist + diff * diff;
        }
      }
      const VI smaller = dist < best;
      best = smaller ? dist : best;
      index = smaller ? (VI{} + int32_t(j)) : index;
    }
    for (size_t r = 0; r < kLanes; ++r) out[i + r] = {uint32_t(index[r]), best[r]};
  }
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
  // Indexed by DistanceKernel::Kind. Lanes4 is the single distance's slice kernel, which sums
  // sequentially while the process's table holds the scalar forms.
  static constexpr Fn kForms[] = {
      &lane_nearest<kScalar>, &lane_nearest<kLanes4>, &lane_nearest<1>,  &lane_nearest<2>,
      &lane_nearest<4>,       &lane_nearest<8>,       &lane_nearest<16>,
  };
  static constexpr RowsFn kRowForms[] = {
      &rows_in_lanes<kScalar>, &rows_in_lanes<kLanes4>, &rows_in_lanes<1>,  &rows_in_lanes<2>,
      &rows_in_lanes<4>,       &rows_in_lanes<8>,       &rows_in_lanes<16>,
  };
  const bool sequential = kernel.kind == DistanceKernel::Lanes4 && !kernels().slice_lanes;
  fn_ = kForms[sequential ? DistanceKernel::Scalar : kernel.kind];
  rows_fn_ = kRowForms[sequential ? DistanceKernel::Scalar : kernel.kind];
  const size_t fixed_dims[] = {0, 0, 4, 8, 16, 32, 64};
  if (kernel.kind >= DistanceKernel::Dim4 && fixed_dims[kernel.kind] != ds) {
    fatal("lane codebook: kernel does not match the subspace dimension");
  }
  kernel_ = kernel;
  centers_.clear();
  if (ds < kPruneMinDim || blocks_ < kPruneMinBlocks) return;
  centers_.assign(centers, centers + ks * ds);
  norms_.assign(blocks_ * kLanes, std::numeric_limits<float>::quiet_NaN());
  lengths_.assign(blocks_ * kLanes, std::numeric_limits<float>::quiet_NaN());
  for (size_t j = 0; j < ks; ++j) {
    float cc = 0.0f;
    for (size_t d = 0; d < ds; ++d) cc = cc + centers[j * ds + d] * centers[j * ds + d];
    norms_[j] = cc;
    lengths_[j] = std::sqrt(cc);
    // A squared norm past the float range gives no usable bound: scan everything.
    if (cc == std::numeric_limits<float>::infinity()) {
      centers_.clear();
      return;
    }
  }
  // Four times the rounding bound of the comment on nearest_pruned.
  bound_scale_ = float(12.0 * double(ds + 8) * 0x1p-24);
}

std::pair<uint32_t, float> LaneCodebook::nearest(const float* x) const {
  return centers_.empty() ? fn_(*this, x) : nearest_pruned(x);
}

// With a = |c|^2 - 2 x.c (fused chain over d) and e the exact kernel's distance, both roundings
// stay below about 3 (d + 2) u (|x| + |c|)^2, u = 2^-24. The codeword with the smallest e, and
// every codeword tied with it, satisfies a - B <= min over c' of (a' + B') for a bound B of that
// size, so scanning only those candidates in index order with the exact kernel gives the result
// of the full scan, ties and all. Non-finite values fall back to the full scan.
namespace {

struct PruneTables {
  const float* values;   // blocks x ds x kLanes
  const float* norms;    // blocks x kLanes
  const float* lengths;  // blocks x kLanes
  size_t ds;
  float scale;
};

// a = |c|^2 - 2 x.c for R rows over blocks [b, end) (at most four), folded into each row's
// lower bounds (low, R rows `padded` apart) and running upper bound.
template <size_t R>
void approximate(const PruneTables& t, const float* coef, const VF* length, VF* upper, float* low, size_t padded,
                 size_t b, size_t end) {
  const size_t ds = t.ds, block_size = ds * kLanes;
  const VF scale = splat(t.scale);
  auto bound = [&](size_t r, size_t blk, VF approx) {
    const VF reach = loadw(t.lengths + blk * kLanes) + length[r];
    const VF slack = scale * (reach * reach);
    const VF high = approx + slack;
    upper[r] = high < upper[r] ? high : upper[r];  // NaN (padding) never lowers the bound
    const VF lo = approx - slack;
    std::memcpy(low + r * padded + blk * kLanes, &lo, sizeof(lo));
  };
  if (end - b == 4) {
    // Rows x blocks accumulators: each codeword vector loaded once serves R rows.
    constexpr size_t G = 4;
    VF acc[R][G];
    for (size_t g = 0; g < G; ++g) {
      const VF n = loadw(t.norms + (b + g) * kLanes);
      for (size_t r = 0; r < R; ++r) acc[r][g] = n;
    }
    const float* base = t.values + b * block_size;
    for (size_t d = 0; d < ds; ++d) {
      VF c0 = loadw(base + d * kLanes), c1 = loadw(base + block_size + d * kLanes);
      VF c2 = loadw(base + 2 * block_size + d * kLanes), c3 = loadw(base + 3 * block_size + d * kLanes);
      // Loaded once into registers and reused by every row.
      pin_in_register(c0);
      pin_in_register(c1);
      pin_in_register(c2);
      pin_in_register(c3);
      const VF c[G] = {c0, c1, c2, c3};
      for (size_t r = 0; r < R; ++r) {
        const VF k = splat(coef[d * R + r]);
        for (size_t g = 0; g < G; ++g) acc[r][g] = fmaw(k, c[g], acc[r][g]);
      }
    }
    for (size_t r = 0; r < R; ++r)
      for (size_t g = 0; g < G; ++g) bound(r, b + g, acc[r][g]);
    return;
  }
  for (; b < end; ++b) {
    VF acc[R];
    for (size_t r = 0; r < R; ++r) acc[r] = loadw(t.norms + b * kLanes);
    const float* base = t.values + b * block_size;
    for (size_t d = 0; d < ds; ++d) {
      const VF c = loadw(base + d * kLanes);
      for (size_t r = 0; r < R; ++r) acc[r] = fmaw(splat(coef[d * R + r]), c, acc[r]);
    }
    for (size_t r = 0; r < R; ++r) bound(r, b, acc[r]);
  }
}

}  // namespace

std::pair<uint32_t, float> LaneCodebook::scan_candidates(const float* x, const float* low, float limit) const {
  if (!(limit < std::numeric_limits<float>::infinity())) return fn_(*this, x);
  uint32_t best_index = 0;
  float best = std::numeric_limits<float>::infinity();
  auto consider = [&](size_t k) {
    const float e = kernel_.distance({x, ds_}, {centers_.data() + k * ds_, ds_});
    if (e < best) {
      best = e;
      best_index = uint32_t(k);
    }
  };
  if constexpr (kCheapMask) {
    // Candidates are few: test a register of bounds at once and visit only the set bits, in
    // index order. Padding lanes hold NaN and never pass.
    for (size_t b = 0; b < blocks_; ++b) {
      uint32_t mask = at_most_mask(low + b * kLanes, limit);
      while (mask != 0) {
        consider(b * kLanes + size_t(__builtin_ctz(mask)));
        mask &= mask - 1;
      }
    }
  } else {
    for (size_t k = 0; k < ks_; ++k) {
      if (low[k] <= limit) consider(k);
    }
  }
  return {best_index, best};
}

std::pair<uint32_t, float> LaneCodebook::nearest_pruned(const float* x) const {
  std::pair<uint32_t, float> out;
  nearest_rows(x, 0, 1, &out);
  return out;
}

void LaneCodebook::nearest_rows(const float* rows, ptrdiff_t stride, size_t count,
                                std::pair<uint32_t, float>* out) const {
  if (centers_.empty()) {
    constexpr size_t kAhead = 8;
    size_t i = 0;
    if (ds_ <= kRowsInLanesMaxDim && count >= kLanes) {
      rows_fn_(*this, rows, stride, count, out);
      i = count / kLanes * kLanes;
    }
    for (; i < count; ++i) {
      if (ds_ >= 32 && i + kAhead < count) {  // wide rows are far apart: fetch ahead
        const float* ahead = rows + ptrdiff_t(i + kAhead) * stride;
        for (size_t d = 0; d < ds_; d += 16) __builtin_prefetch(ahead + d);
      }
      out[i] = fn_(*this, rows + ptrdiff_t(i) * stride);
    }
    return;
  }
  // Batches of rows sweep the codebook four blocks at a time, so each stretch of the codebook
  // is brought into the first-level cache once per batch rather than once per row.
  constexpr size_t kBatch = 16, R = 4;
  const size_t ds = ds_, padded = blocks_ * kLanes;
  const PruneTables tables{values_.data(), norms_.data(), lengths_.data(), ds, bound_scale_};
  thread_local std::vector<float> scratch;
  if (scratch.size() < kBatch * (ds + padded)) scratch.resize(kBatch * (ds + padded));
  float* coef = scratch.data();
  float* low = coef + kBatch * ds;
  VF length[kBatch], upper[kBatch];
  for (size_t i = 0; i < count; i += kBatch) {
    const size_t batch = std::min(kBatch, count - i), quads = batch / R;
    for (size_t j = 0; j < batch; ++j) {
      const float* x = rows + ptrdiff_t(i + j) * stride;
      // The next batch's rows: wide rows of a subspace are far apart, beyond the hardware
      // prefetcher's reach, and the codebook sweep leaves time to bring them in.
      if (i + kBatch + j < count) {
        const float* ahead = rows + ptrdiff_t(i + kBatch + j) * stride;
        for (size_t d = 0; d < ds; d += 16) __builtin_prefetch(ahead + d);
      }
      // Rows of a quad interleave their coefficients (d * R + r); the rest use their own.
      float* c = j < quads * R ? coef + (j / R) * R * ds + j % R : coef + j * ds;
      const size_t step = j < quads * R ? R : 1;
      float xx = 0.0f;
      for (size_t d = 0; d < ds; ++d) {
        xx = xx + x[d] * x[d];
        c[d * step] = x[d] * -2.0f;
      }
      length[j] = splat(std::sqrt(xx));
      upper[j] = splat(std::numeric_limits<float>::infinity());
    }
    for (size_t b = 0; b < blocks_; b += 4) {
      const size_t end = std::min(blocks_, b + 4);
      for (size_t q = 0; q < quads; ++q) {
        approximate<R>(tables, coef + q * R * ds, length + q * R, upper + q * R, low + q * R * padded, padded, b,
                       end);
      }
      for (size_t j = quads * R; j < batch; ++j) {
        approximate<1>(tables, coef + j * ds, length + j, upper + j, low + j * padded, padded, b, end);
      }
    }
    for (size_t j = 0; j < batch; ++j) {
      float limit = upper[j][0];
      for (size_t l = 1; l < kLanes; ++l) limit = upper[j][l] < limit ? upper[j][l] : limit;
      // A non-finite row gives no bound at all: it takes the full scan.
      if (!std::isfinite(length[j][0])) limit = std::numeric_limits<float>::infinity();
      out[i + j] = scan_candidates(rows + ptrdiff_t(i + j) * stride, low + j * padded, limit);
    }
  }
}

TransposedCodebook::TransposedCodebook(const float* codewords, size_t m, size_t ks, size_t ds)
    : table_(checked_mul(checked_mul(m, ks, "codebook size"), ds, "codebook size")),
      norms_(m * ks),
      m_(m),
      ks_(ks),
      ds_(ds),
      fused_(kernels().fused_add_scaled) {
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
  // Four blocks of codewords at a time: four independent accumulation chains over d.
  for (; k + 4 * kLanes <= ks; k += 4 * kLanes) {
    VF acc[4];
    for (size_t g = 0; g < 4; ++g) acc[g] = loadw(norms + k + g * kLanes);
    for (size_t d = 0; d < ds; ++d) {
      const VF c = splat(coef[d]);
      const float* t = table + d * ks + k;
      for (size_t g = 0; g < 4; ++g) {
        acc[g] = fused_ ? fmaw(c, loadw(t + g * kLanes), acc[g]) : acc[g] + c * loadw(t + g * kLanes);
      }
    }
    for (size_t g = 0; g < 4; ++g) lanes.update(acc[g]);
  }
  for (; k + kLanes <= ks; k += kLanes) {
    VF acc = loadw(norms + k);
    if (fused_) {
      for (size_t d = 0; d < ds; ++d) acc = fmaw(splat(coef[d]), loadw(table + d * ks + k), acc);
    } else {
      for (size_t d = 0; d < ds; ++d) acc = acc + splat(coef[d]) * loadw(table + d * ks + k);
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
