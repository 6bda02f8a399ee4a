#pragma once
// The building blocks every k-means in this library shares: the initialisation method names, picking
// the farthest rows for empty clusters, nearest and second-nearest of a distance row, the mean
// distance, row normalisation, the weighted seeding walk, the stopping rules, and the one pass
// loop (assign, record, stop, update) that every fit runs.
//
// Where two fits differ on purpose (which rows may re-seed, norm or squared-norm threshold,
// how a walk that runs past the end ends), the difference is a named variant here, never a copy.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/interrupt.hpp"
#include "core/matrix.hpp"
#include "core/order_key.hpp"

namespace vantorix {

class SeededRng;

// ---------------------------------------------------------------------------------------------
// Initialisation methods

// Shared by dense k-means and k-means over codes.
// GreedyKMeansPlusPlus is this library's extension (dense k-means only): each step draws
// several candidates as k-means++ does and keeps the one that lowers the summed squared
// distance most.
enum class InitMethod : uint8_t { FarthestFirst = 0, KMeansPlusPlus = 1, Random = 2, GreedyKMeansPlusPlus = 3 };

// Lenient: ASCII case and '_' versus '-' do not matter.
InitMethod parse_init_method(std::string_view text);
// The canonical spelling, as defaults are written.
const char* init_method_name(InitMethod method);

// ---------------------------------------------------------------------------------------------
// Re-seeding empty clusters

// The `count` rows with the largest distance (IEEE total order), farthest first, ties to the
// lower row index.
std::vector<size_t> select_farthest_rows(std::span<const float> distances, size_t count);

// The same among the rows with a finite distance only (the only rows a dense repair may take):
// the candidates a part of the rows offers when the counts are known only later.
std::vector<size_t> select_farthest_finite_rows(std::span<const float> distances, size_t count);

// The dense variant, "rows to spare": only rows with a finite distance whose cluster keeps at
// least one other row compete, so re-seeding never empties another cluster. Farthest first,
// ties to the lower row. Entries are rows of the pass, or, with `rows` (one row number per
// entry), candidates gathered from elsewhere, whose ties then go to the lower row number: any
// set of candidates that holds the winners gives the same picks. Returns entry positions.
std::vector<size_t> select_farthest_rows_with_spare(std::span<const float> distances, std::span<const size_t> labels,
                                                    std::span<const uint64_t> counts, size_t count,
                                                    std::span<const uint64_t> rows = {});

// Indices of the clusters with no member, ascending.
template <class Count>
std::vector<size_t> empty_clusters(std::span<const Count> counts) {
  std::vector<size_t> empty;
  for (size_t c = 0; c < counts.size(); ++c) {
    if (counts[c] == 0) empty.push_back(c);
  }
  return empty;
}

// Empty clusters (ascending) take the farthest rows of the pass, farthest first:
// place(cluster, row) copies row `row` into center `cluster`.
template <class Place>
void reseed_empty_clusters(std::span<const size_t> empty, std::span<const float> distances, Place&& place) {
  if (empty.empty()) return;
  const std::vector<size_t> rows = select_farthest_rows(distances, empty.size());
  for (size_t i = 0; i < empty.size() && i < rows.size(); ++i) place(empty[i], rows[i]);
}

// ---------------------------------------------------------------------------------------------
// Distances

struct NearestTwo {
  size_t index = 0;
  float best = 0.0f;
  float second = 0.0f;
};

// Carries a nearest-and-second scan on over k more values, whose indices start at `first`:
// consecutive blocks of one row give exactly what one scan over the whole row gives.
inline void nearest_two_continue(NearestTwo& out, const float* values, size_t k, size_t first) {
  for (size_t j = 0; j < k; ++j) {
    const float v = values[j];
    if (v < out.best) {
      out.second = out.best;
      out.best = v;
      out.index = first + j;
    } else if (v < out.second) {
      out.second = v;
    }
  }
}

inline constexpr NearestTwo kNothingNearYet{0, __builtin_inff(), __builtin_inff()};

// The nearest and second-nearest of k values (ties: the lower index is nearest; NaN never wins).
inline NearestTwo nearest_two(const float* values, size_t k) {
  NearestTwo out = kNothingNearYet;
  nearest_two_continue(out, values, k, 0);
  return out;
}

// The mean of the per-row distances, summed in f64 in row order.
double mean_distance(std::span<const float> distances);

// ---------------------------------------------------------------------------------------------
// Row normalisation

enum class NormRule {
  // Divide by the norm when the norm is above f32 epsilon (dense centers and rows).
  DivideAboveNormEpsilon,
  // Multiply by 1/norm when the squared norm is above f32 epsilon (centers of k-means over codes).
  ScaleAboveSquaredNormEpsilon,
};

// Rows of a contiguous matrix scaled to unit norm; rows under the rule's threshold stay as they are.
void normalize_rows(MatrixView<float> rows, NormRule rule);
inline void normalize_rows(Matrix<float>& m) { normalize_rows(m.view_mut(), NormRule::DivideAboveNormEpsilon); }

// ---------------------------------------------------------------------------------------------
// Seeding

enum class WalkOverrun {
  // A walk that runs past the end through rounding picks nothing; the caller falls back.
  Nothing,
  // ... picks the last row with a positive weight.
  LastPositive,
};

// One k-means++ draw: a uniform value in [0, sum of the positive finite weights), walked down
// the weights in order. Without weight to draw from (sum at most f64 epsilon), nothing is drawn
// from the generator and the result is nullopt.
std::optional<size_t> weighted_seeding_walk(std::span<const float> weights, SeededRng& rng, WalkOverrun overrun);

// ---------------------------------------------------------------------------------------------
// Stopping rules

enum class StoppingRule {
  // Dense k-means: the last two relative changes at most 1e-4, at least 4 entries, and a
  // previous mean above f64 epsilon.
  RelativeChange,
  // k-means over codes: at least 5 entries and the last two falls finite, non-negative and at
  // most 1e-4 relative to the value before.
  SmallFall,
};

bool converged(std::span<const double> history);
bool should_stop_early(std::span<const double> history);
inline bool should_stop(StoppingRule rule, std::span<const double> history) {
  return rule == StoppingRule::RelativeChange ? converged(history) : should_stop_early(history);
}

// ---------------------------------------------------------------------------------------------
// The pass loop

// One verbose line per pass: "iteration=<pass> <label>=<mean>" with six decimals.
struct PassReport {
  const char* label = "inertia";
  // Spell non-finite means NaN, inf and -inf (dense) instead of the C library's spelling.
  bool spell_non_finite = false;
};
void report_pass(const PassReport& report, size_t pass, double mean);

struct PassLoop {
  size_t iterations = 0;
  // Early stopping, when the caller asked for it.
  std::optional<StoppingRule> stopping;
  // Verbose lines, when the caller asked for them.
  std::optional<PassReport> report;
  // Whether the last pass still updates the centers (dense and subspace k-means) or ends on
  // its assignment (k-means over codes).
  bool update_after_last_pass = true;
  // The fit's name for the progress sink (interrupt.hpp); nullptr: passes are not reported.
  const char* progress_name = nullptr;
};

// Runs up to loop.iterations passes of `assign(pass)` then `update(pass)`. When assign returns
// the pass's mean distance it is appended to `history`, reported and checked against the
// stopping rule before the update; an assign that returns nothing records nothing.
// Anything that must happen between passes of every fit belongs in this loop: every pass starts
// at an interruption point, and a recorded pass goes to the progress sink.
template <class Assign, class Update>
void run_passes(const PassLoop& loop, std::vector<double>& history, Assign&& assign, Update&& update) {
  constexpr bool records = !std::is_void_v<std::invoke_result_t<Assign&, size_t>>;
  for (size_t pass = 0; pass < loop.iterations; ++pass) {
    interrupt_point();
    if constexpr (records) {
      history.push_back(double(assign(pass)));
      if (loop.report) report_pass(*loop.report, pass, history.back());
      if (loop.progress_name) report_progress(loop.progress_name, pass, history.back());
      if (loop.stopping && should_stop(*loop.stopping, history)) break;
    } else {
      assign(pass);
    }
    if (!loop.update_after_last_pass && pass + 1 == loop.iterations) break;
    // An update may report convergence (true): the loop then ends after it.
    if constexpr (std::is_same_v<std::invoke_result_t<Update&, size_t>, bool>) {
      if (update(pass)) break;
    } else {
      update(pass);
    }
  }
}

}  // namespace vantorix
