#include "dense/dense_init.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>

#include "core/env.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/rng.hpp"
#include "dense/dense_screen.hpp"
#include "kernels/bf16_products.hpp"
#include "kernels/lanes.hpp"
#include "kernels/simd.hpp"
#include "kmeans/kmeans_common.hpp"

namespace vantorix {

namespace {

constexpr size_t kDistanceChunk = 512;
// Candidates per matrix product of the greedy trials.
constexpr size_t kScreenChunk = 256;
constexpr float kChosen = -1.0f;


bool usable(float w) { return std::isfinite(w) && w >= 0.0f; }

// The candidate with the largest usable weight, ties to the highest position; nullopt if none.
std::optional<size_t> largest_usable(const std::vector<float>& weights) {
  std::optional<size_t> best;
  int32_t best_key = 0;
  for (size_t j = 0; j < weights.size(); ++j) {
    if (!usable(weights[j])) continue;
    const int32_t key = total_order_key(weights[j]);
    if (!best || key >= best_key) {
      best = j;
      best_key = key;
    }
  }
  return best;
}

// The given rows of data, one after another.
std::vector<float> gathered_rows(MatrixView<const float> data, std::span<const size_t> rows) {
  const size_t d = data.cols;
  std::vector<float> out(rows.size() * d);
  for (size_t i = 0; i < rows.size(); ++i)
    for (size_t t = 0; t < d; ++t) out[i * d + t] = data.at(rows[i], t);
  return out;
}

// The sample as the greedy trials' products read it: each candidate rounded to bf16 (half the
// bytes of the rows, which every step reads in full: the steps are bound by memory), in row
// order, with its norms for the product bound and the norm of its rounding error. Empty (no
// bound) where the direct kernel measures every pair instead.
struct HalfSample {
  std::optional<ProductBound> bound;
  std::vector<uint16_t> rows;               // by_row position p at rows[p * d]
  std::vector<ProductBound::Norms> norms;   // by position
  std::vector<float> errors;                // by position: |x - bf16(x)|, rounded up
};

// Past this the copy is not made and the kernel measures every pair, as without it.
constexpr size_t kMaxHalfSampleBytes = size_t(1) << 29;

HalfSample half_sample(MatrixView<const float> data, const std::vector<size_t>& cand,
                       const std::vector<size_t>& by_row) {
  HalfSample out;
  const size_t d = data.cols, m = by_row.size();
  // Each (candidate, center) pair the products settle costs a fixed few operations of the bound
  // in place of the direct kernel's extra subtraction per value: below four vector steps of
  // values the kernel is as cheap.
  size_t bytes = 0;
  if (!dense_blas_enabled() || !dense_screen_covers(1, d) || d < 4 * lanes::kWide ||
      __builtin_mul_overflow(m, d * sizeof(uint16_t), &bytes) || bytes > kMaxHalfSampleBytes) {
    return out;
  }
  out.bound.emplace(d);
  out.rows.resize(m * d);
  out.norms.resize(m);
  out.errors.resize(m);
  const bool contiguous = data.is_c_contiguous();
  parallel_chunks(m, kDistanceChunk, [&](size_t begin, size_t end) {
    std::vector<float> gathered(contiguous ? 0 : d);
    for (size_t p = begin; p < end; ++p) {
      const size_t r = cand[by_row[p]];
      const float* x = contiguous ? data.row(r).data() : gathered.data();
      if (!contiguous)
        for (size_t t = 0; t < d; ++t) gathered[t] = data.at(r, t);
      const RoundedRow sums = round_to_bf16(x, d, d, out.rows.data() + p * d);
      out.norms[p] = out.bound->norms_of(sums.squared_norm);
      out.errors[p] = float(std::sqrt(sums.squared_error)) * (1.0f + 0x1p-20f);
    }
  });
  return out;
}

// Dot products of n bf16 rows (d values each, consecutive) with G centers (d floats each,
// consecutive), into out[i * out_stride + q]: plain f32 sums in lanes, which the product bound
// covers in any order. (BLAS would pack the whole block for a product only a few centers wide,
// and that copy took longer than the products.)
template <size_t G>
void dot_group(const uint16_t* rows, size_t n, const float* centers, size_t d, float* out, size_t out_stride) {
  using namespace lanes;
  typedef uint16_t VH __attribute__((vector_size(kWide * 2)));
  typedef uint32_t VU __attribute__((vector_size(kWide * 4)));
  const size_t whole = d - d % kWide;
  for (size_t i = 0; i < n; ++i) {
    const uint16_t* x = rows + i * d;
    VF acc[G] = {};
    for (size_t t = 0; t < whole; t += kWide) {
      VH h;
      std::memcpy(&h, x + t, sizeof(h));
      const VU bits = __builtin_convertvector(h, VU) << 16;
      VF v;
      std::memcpy(&v, &bits, sizeof(v));
      for (size_t q = 0; q < G; ++q) acc[q] += v * loadw(centers + q * d + t);
    }
    for (size_t q = 0; q < G; ++q) {
      // Quarters folded in vector adds, then four lanes: a chain of kWide scalar adds per
      // product outweighed the products at d around 100.
      F4 part[kWide / 4];
      std::memcpy(part, &acc[q], sizeof(part));
      for (size_t width = kWide / 4; width > 1; width /= 2)
        for (size_t h = 0; h < width / 2; ++h) part[h] = part[h] + part[h + width / 2];
      float sum = reduce_pairwise(part[0]);
      for (size_t t = whole; t < d; ++t) sum += std::bit_cast<float>(uint32_t(x[t]) << 16) * centers[q * d + t];
      out[i * out_stride + q] = sum;
    }
  }
}

void dot_products(const uint16_t* rows, size_t n, const float* centers, size_t count, size_t d, float* out) {
  size_t c = 0;
  for (; c + 4 <= count; c += 4) dot_group<4>(rows, n, centers + c * d, d, out + c, count);
  switch (count - c) {
    case 3: dot_group<3>(rows, n, centers + c * d, d, out + c, count); break;
    case 2: dot_group<2>(rows, n, centers + c * d, d, out + c, count); break;
    case 1: dot_group<1>(rows, n, centers + c * d, d, out + c, count); break;
    default: break;
  }
}

// update_weights for several centers at matrix-product speed, with the same results: a block of
// candidates (in bf16) is multiplied with the centers, and the direct kernel measures a
// (candidate, center) pair only where the product's rigorous bound, which charges each row's
// own rounding to bf16, cannot show that the kernel's distance is not below the candidate's
// weight. Most pairs are settled that way (a trial center is near few candidates), so the
// kernel, which needs a subtraction and a multiply-add per value against the product's one
// multiply-add, runs on few, over the rows themselves.
void screened_weights(MatrixView<const float> data, const std::vector<size_t>& cand, const std::vector<size_t>& by_row,
                      const HalfSample& sample, const std::vector<float>& centers, const std::vector<float>& weights,
                      std::span<std::vector<float>* const> outs) {
  const size_t d = data.cols, count = outs.size();
  const bool contiguous = data.is_c_contiguous();
  const KernelTable& kernel = kernels();
  const ProductBound& bound = *sample.bound;
  std::vector<ProductBound::Norms> center_norms(count);
  for (size_t c = 0; c < count; ++c) center_norms[c] = bound.norms(centers.data() + c * d);
  struct Scratch {
    std::vector<float> row, products;
  };
  PerWorker<Scratch> scratch;
  parallel_chunks(by_row.size(), kScreenChunk, [&](size_t begin, size_t end) {
    Scratch& own = scratch.here();
    const size_t n = end - begin;
    own.products.resize(n * count);
    dot_products(sample.rows.data() + begin * d, n, centers.data(), count, d, own.products.data());
    own.row.resize(contiguous ? 0 : d);
    for (size_t i = 0; i < n; ++i) {
      const size_t p = begin + i, j = by_row[p];
      const float w = weights[j];
      const ProductBound::Norms& xn = sample.norms[p];
      std::span<const float> row;  // fetched for the first pair the products leave open
      for (size_t c = 0; c < count; ++c) {
        float v = w;
        // Nothing is ever strictly below a chosen mark (-1) or a NaN weight.
        if (w >= 0.0f &&
            !(xn.covered && center_norms[c].covered &&
              bound.lower(own.products[i * count + c], xn, center_norms[c], sample.errors[p]) >= double(w))) {
          if (row.empty()) {
            if (contiguous) {
              row = data.row(cand[j]);
            } else {
              for (size_t t = 0; t < d; ++t) own.row[t] = data.at(cand[j], t);
              row = own.row;
            }
          }
          const float dist = kernel.l2_squared(row, {centers.data() + c * d, d});
          v = dist < w ? dist : w;
        }
        (*outs[c])[j] = v;
      }
    }
  });
}

// Measures every candidate against each of the given center rows: outs[t][j] becomes the
// candidate's squared distance from center t where that is strictly below weights[j], else
// weights[j] (outs[t] may be weights itself). Candidates are visited in row order (`by_row`, a
// permutation of candidate positions), so the sampled rows stream through memory instead of
// being fetched at random, and each group of rows is measured against all the centers while it
// is in cache: the sample is read once per call, however many centers. Every weight is updated
// on its own, so the order changes nothing else. With a `sample` prepared for the products
// (greedy trials), screened_weights measures instead.
void update_weights(MatrixView<const float> data, const std::vector<size_t>& cand, const std::vector<size_t>& by_row,
                    std::span<const size_t> center_rows, const std::vector<float>& weights,
                    std::span<std::vector<float>* const> outs, const HalfSample* sample = nullptr) {
  const size_t d = data.cols, count = center_rows.size();
  if (count == 0) return;
  const bool contiguous = data.is_c_contiguous();
  const KernelTable& kernel = kernels();
  const std::vector<float> centers = gathered_rows(data, center_rows);
  if (sample != nullptr && sample->bound) {
    screened_weights(data, cand, by_row, *sample, centers, weights, outs);
    return;
  }
  parallel_chunks(by_row.size(), kDistanceChunk, [&](size_t begin, size_t end) {
    auto lower = [&](size_t c, size_t j, float dist) {
      const float w = weights[j];
      (*outs[c])[j] = dist < w ? dist : w;
    };
    size_t i = begin;
    if (contiguous) {
      const float* rows[4];
      float dist[4];
      for (; i + 4 <= end; i += 4) {
        for (int q = 0; q < 4; ++q) rows[q] = data.row(cand[by_row[i + q]]).data();
        for (size_t c = 0; c < count; ++c) {
          kernel.l2_squared_rows4(rows, centers.data() + c * d, d, dist);
          for (int q = 0; q < 4; ++q) lower(c, by_row[i + q], dist[q]);
        }
      }
    }
    // Strided rows are gathered so they meet exactly the same kernel as contiguous ones.
    std::vector<float> gathered(contiguous ? 0 : d);
    for (; i < end; ++i) {
      const size_t j = by_row[i];
      std::span<const float> row;
      if (contiguous) {
        row = data.row(cand[j]);
      } else {
        for (size_t t = 0; t < d; ++t) gathered[t] = data.at(cand[j], t);
        row = gathered;
      }
      for (size_t c = 0; c < count; ++c) lower(c, j, kernel.l2_squared(row, {centers.data() + c * d, d}));
    }
  });
}

[[noreturn]] void no_center() { throw VantorixError::message("failed to choose an initial cluster center"); }

enum class Seeding { Farthest, Sampled, Greedy };

// Sum over the unchosen candidates of weight x squared distance (f64, candidate order).
double potential(const std::vector<float>& dist, std::span<const float> cand_weights) {
  double total = 0.0;
  for (size_t j = 0; j < dist.size(); ++j) {
    if (!usable(dist[j])) continue;
    total += double(dist[j]) * (cand_weights.empty() ? 1.0 : double(cand_weights[j]));
  }
  return total;
}

// cand: the candidate rows; cand_weights: their row weights (empty: unweighted).
std::vector<size_t> distance_driven(MatrixView<const float> data, size_t k, uint64_t seed, Seeding seeding,
                                    const std::vector<size_t>& cand, std::span<const float> cand_weights) {
  SeededRng draws(seed);
  std::vector<size_t> by_row(cand.size());
  std::iota(by_row.begin(), by_row.end(), size_t{0});
  std::sort(by_row.begin(), by_row.end(), [&](size_t a, size_t b) { return cand[a] < cand[b]; });
  std::vector<float> weights(cand.size(), std::numeric_limits<float>::infinity());
  // What the draws walk: the squared distances, times the row weights when there are any.
  std::vector<float> scaled;
  auto draw_weights = [&]() -> const std::vector<float>& {
    if (cand_weights.empty()) return weights;
    scaled.resize(weights.size());
    for (size_t j = 0; j < weights.size(); ++j) {
      scaled[j] = usable(weights[j]) ? weights[j] * cand_weights[j] : kChosen;
    }
    return scaled;
  };
  std::vector<size_t> chosen;
  chosen.reserve(k);
  auto take = [&](size_t j) {
    chosen.push_back(cand[j]);
    std::vector<float>* out = &weights;
    update_weights(data, cand, by_row, std::span<const size_t>(&cand[j], 1), weights, {&out, 1});
    weights[j] = kChosen;
  };
  size_t first = 0;
  // Weighted k-means++ draws its first center by weight; unweighted, cand[0] is already a
  // uniform draw.
  if (seeding != Seeding::Farthest && !cand_weights.empty()) {
    std::vector<float> w(cand_weights.begin(), cand_weights.end());
    first = weighted_seeding_walk(w, draws, WalkOverrun::LastPositive).value_or(0);
  }
  take(first);
  const size_t trials = greedy_trials(k);
  const HalfSample sample = seeding == Seeding::Greedy ? half_sample(data, cand, by_row) : HalfSample{};
  std::vector<std::vector<float>> trial(seeding == Seeding::Greedy ? trials : 0);
  std::vector<std::vector<float>*> trial_out;
  std::vector<size_t> drawn, drawn_rows;
  while (chosen.size() < k) {
    std::optional<size_t> pick;
    if (seeding == Seeding::Sampled) pick = weighted_seeding_walk(draw_weights(), draws, WalkOverrun::Nothing);
    if (seeding == Seeding::Greedy) {
      // Several draws, all from the same weights, measured together; keep the one whose center
      // leaves the smallest potential (the first on ties).
      drawn.clear();
      drawn_rows.clear();
      trial_out.clear();
      for (size_t t = 0; t < trials; ++t) {
        const std::optional<size_t> j = weighted_seeding_walk(draw_weights(), draws, WalkOverrun::Nothing);
        if (!j) break;
        drawn.push_back(*j);
        drawn_rows.push_back(cand[*j]);
        trial[t].resize(weights.size());
        trial_out.push_back(&trial[t]);
      }
      update_weights(data, cand, by_row, drawn_rows, weights, trial_out, &sample);
      double best_potential = std::numeric_limits<double>::infinity();
      size_t best = 0;
      for (size_t t = 0; t < drawn.size(); ++t) {
        trial[t][drawn[t]] = kChosen;
        const double p = potential(trial[t], cand_weights);
        if (!pick || p < best_potential) {
          pick = drawn[t];
          best_potential = p;
          best = t;
        }
      }
      if (pick) {
        chosen.push_back(cand[*pick]);
        weights.swap(trial[best]);
        continue;
      }
    }
    // Farthest-first always lands here; k-means++ when the weights sum to zero or the walk ran
    // past the end through rounding.
    if (!pick) pick = largest_usable(weights);
    if (!pick) no_center();
    take(*pick);
  }
  return chosen;
}

}  // namespace

std::vector<size_t> initialization_candidate_rows(size_t rows, size_t k, uint64_t seed) {
  size_t count;
  if (auto fixed = env_number(EnvSwitch::DenseInitSampleRows)) {
    count = std::max(*fixed, k);
  } else {
    const size_t lo = env_number(EnvSwitch::DenseInitMinSampleRows).value_or(16384);
    const size_t hi = env_number(EnvSwitch::DenseInitMaxSampleRows).value_or(65536);
    const size_t per_center = env_number(EnvSwitch::DenseInitRowsPerCenter).value_or(256);
    const size_t want = saturating_mul(k, per_center);
    count = std::max(std::min(std::max(lo, hi), std::max(lo, want)), k);
  }
  count = std::min(count, rows);
  SeededRng rng(seed);
  return sample_indices(rng, rows, count);
}

size_t greedy_trials(size_t k) { return 2 + size_t(std::log(double(std::max<size_t>(k, 1)))); }

std::vector<size_t> choose_initial_rows(MatrixView<const float> data, size_t k, uint64_t seed, InitMethod method,
                                        std::span<const float> row_weights) {
  if (k == 0 || k > data.rows) fatal("choose_initial_rows: k outside [1, rows]");
  if (!row_weights.empty() && row_weights.size() != data.rows) fatal("choose_initial_rows: one weight per row");
  // Weighted: the methods run over the rows of positive weight only, mapped back at the end.
  std::vector<size_t> positive;
  if (!row_weights.empty()) {
    for (size_t r = 0; r < data.rows; ++r)
      if (row_weights[r] > 0.0f) positive.push_back(r);
    if (positive.size() < k) fatal("choose_initial_rows: fewer rows of positive weight than k");
  }
  const size_t pool = row_weights.empty() ? data.rows : positive.size();
  auto to_rows = [&](std::vector<size_t> idx) {
    if (!row_weights.empty())
      for (size_t& i : idx) i = positive[i];
    return idx;
  };
  if (method == InitMethod::Random) {
    SeededRng rng(seed);
    return to_rows(sample_indices(rng, pool, k));
  }
  const std::vector<size_t> cand = to_rows(initialization_candidate_rows(pool, k, seed));
  std::vector<float> cand_weights;
  if (!row_weights.empty()) {
    cand_weights.reserve(cand.size());
    for (size_t r : cand) cand_weights.push_back(row_weights[r]);
  }
  switch (method) {
    case InitMethod::KMeansPlusPlus: return distance_driven(data, k, seed, Seeding::Sampled, cand, cand_weights);
    case InitMethod::GreedyKMeansPlusPlus: return distance_driven(data, k, seed, Seeding::Greedy, cand, cand_weights);
    case InitMethod::FarthestFirst: return distance_driven(data, k, seed, Seeding::Farthest, cand, cand_weights);
    case InitMethod::Random: break;
  }
  fatal("choose_initial_rows: unknown method");
}

}  // namespace vantorix
