#include "codes/pqkmeans.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "core/parallel.hpp"
#include "core/rng.hpp"
#include "kernels/simd.hpp"
#include "pq/rotation.hpp"

namespace vantorix {

namespace {

constexpr size_t kInitChunkRows = 4096;
// Rows per work item of the screened initialisation: whole groups of the widest 4-bit scan (64
// rows), and enough items to balance the uneven work the screen leaves.
constexpr size_t kScreenChunkRows = 1024;
constexpr size_t kRangeChunkRows = 4096;
constexpr float kInf = std::numeric_limits<float>::infinity();

const char* kDenseShape = "dense cluster center shape does not match the model";

}  // namespace

// ---------------------------------------------------------------------------------------------
// Shared helpers

std::vector<float> compute_codeword_distances(const Array3<float>& codewords) {
  const size_t m_count = codewords.dim0, ks = codewords.dim1, ds = codewords.dim2;
  const size_t per_subspace = checked_mul(ks, ks, "codeword distance table");
  std::vector<float> table(checked_mul(m_count, per_subspace, "codeword distance table"), 0.0f);
  parallel_for_each(m_count, [&](size_t m) {
    const float* base = codewords.data() + m * ks * ds;
    float* out = table.data() + m * per_subspace;
    // Dimension-major copy, so the inner loop runs over b and vectorises while every entry
    // still sums its dimensions in increasing order.
    std::vector<float> by_dim(ks * ds);
    for (size_t b = 0; b < ks; ++b)
      for (size_t t = 0; t < ds; ++t) by_dim[t * ks + b] = base[b * ds + t];
    for (size_t a = 0; a < ks; ++a) {
      float* row = out + a * ks;
      for (size_t t = 0; t < ds; ++t) {
        const float x = base[a * ds + t];
        const float* column = by_dim.data() + t * ks;
        for (size_t b = 0; b < ks; ++b) {
          const float diff = x - column[b];
          row[b] = row[b] + diff * diff;
        }
      }
    }
  });
  return table;
}

void assign_with_lookup(MatrixView<const uint8_t> codes, std::span<const float> lookup, size_t ks, size_t k,
                        size_t* labels, float* distances) {
  const size_t m_count = codes.cols;
  parallel_chunks(codes.rows, kAssignChunkRows, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const auto [label, distance] = select_lookup_min({codes.data + i * m_count, m_count}, lookup, ks, k);
      labels[i] = label;
      distances[i] = distance;
    }
  });
}

std::optional<PackedPq4Codes> PqKMeans::pack_pq4_codes(std::span<const uint8_t> codes, size_t rows, size_t m,
                                                       size_t ks) {
  if (ks != 16) return std::nullopt;
  return PackedPq4Codes::pack(codes, rows, m);
}

std::optional<PackedPq4Codes> PqKMeans::pack_pq4_codes(MatrixView<const uint8_t> codes) const {
  return pack_pq4_codes({codes.data, codes.rows * codes.cols}, codes.rows, codes.cols, ks_);
}

void assign_through_lookup(MatrixView<const uint8_t> codes, const PackedPq4Codes* packed, size_t ks, size_t k,
                           AssignmentBuffers& buffers) {
  const std::span<const float> lookup(buffers.lookup.data(), codes.cols * ks * k);
  if (packed == nullptr) {
    assign_with_lookup(codes, lookup, ks, k, buffers.labels.data(), buffers.distances.data());
    return;
  }
  if (pq4_fastscan_enabled() &&
      assign_pq4_lookup_quantized_reusing_into(*packed, lookup, k, buffers.pq4_tables, buffers.labels,
                                               buffers.distances)) {
    return;
  }
  assign_pq4_lookup_into(*packed, lookup, k, buffers.labels, buffers.distances);
}

void LabelBucketBuffers::build(std::span<const size_t> labels, size_t k) {
  counts.assign(k, 0);
  for (size_t label : labels) ++counts[label];
  offsets.resize(k + 1);
  offsets[0] = 0;
  for (size_t j = 0; j < k; ++j) offsets[j + 1] = offsets[j] + counts[j];
  cursor.assign(offsets.begin(), offsets.begin() + ptrdiff_t(k));
  rows.resize(labels.size());
  for (size_t i = 0; i < labels.size(); ++i) rows[cursor[labels[i]]++] = i;
}

// ---------------------------------------------------------------------------------------------
// Construction

namespace {

// The construction checks, in their order; run before the Ks^2 distance table is built and,
// from views, before anything is copied.
void validate_model(size_t m_count, size_t ks, size_t ds, std::optional<std::pair<size_t, size_t>> rotation,
                    const PqKMeansOptions& options) {
  if (m_count == 0 || ks == 0 || ds == 0) throw VantorixError::message("codewords must have shape (M, Ks, Ds)");
  if (ks > 256) throw VantorixError::message("codebook_size above 256 is not supported");
  const size_t dim = checked_mul(m_count, ds, "codeword dimensionality");
  if (rotation && (rotation->first != dim || rotation->second != dim)) {
    throw VantorixError::message("rotation must be square and match the codeword dimensionality");
  }
  if (options.k == 0) throw VantorixError::message("k must be greater than zero");
  if (options.iterations == 0) throw VantorixError::message("iterations must be greater than zero");
}

template <class R>
std::optional<std::pair<size_t, size_t>> shape_of(const std::optional<R>& rotation) {
  if (!rotation) return std::nullopt;
  return std::pair{rotation->rows, rotation->cols};
}

void validate_model(const Array3<float>& codewords, const std::optional<Matrix<float>>& rotation,
                    const PqKMeansOptions& options) {
  validate_model(codewords.dim0, codewords.dim1, codewords.dim2, shape_of(rotation), options);
}

}  // namespace

PqKMeans PqKMeans::new_with_options_and_spherical(Array3<float> codewords, std::optional<Matrix<float>> rotation,
                                                  const PqKMeansOptions& options) {
  validate_model(codewords, rotation, options);
  auto table = std::make_shared<const std::vector<float>>(compute_codeword_distances(codewords));
  return with_codeword_distances_and_options(std::move(codewords), std::move(table), std::move(rotation), options);
}

PqKMeans PqKMeans::create(Array3View<const float> codewords, std::optional<MatrixView<const float>> rotation,
                          const PqKMeansOptions& options) {
  validate_model(codewords.dim0, codewords.dim1, codewords.dim2, shape_of(rotation), options);
  std::optional<Matrix<float>> owned_rotation;
  Array3<float> owned = codewords.copy_named("codewords");
  if (rotation) owned_rotation = Matrix<float>::copy_named(*rotation, "rotation");
  return new_with_options_and_spherical(std::move(owned), std::move(owned_rotation), options);
}

PqKMeans PqKMeans::with_codeword_distances_and_options(Array3<float> codewords, CodewordDistances distances,
                                                       std::optional<Matrix<float>> rotation,
                                                       const PqKMeansOptions& options) {
  validate_model(codewords, rotation, options);
  const size_t m_count = codewords.dim0, ks = codewords.dim1, ds = codewords.dim2;
  if (!distances || distances->size() != m_count * ks * ks) fatal("codeword distance table does not match the codewords");
  PqKMeans model;
  model.codewords_ = std::move(codewords);
  model.distances_ = std::move(distances);
  model.rotation_ = std::move(rotation);
  model.m_ = m_count;
  model.ks_ = ks;
  model.ds_ = ds;
  model.options_ = options;
  return model;
}

// ---------------------------------------------------------------------------------------------
// Validation

void check_code_range(MatrixView<const uint8_t> codes, size_t ks, const char* what) {
  if (ks >= 256 || codes.rows == 0 || codes.cols == 0) return;
  // A zero stride repeats one row (or column): reading it once reads them all, however many
  // rows a broadcast view claims to have.
  if (codes.row_stride == 0) codes.rows = 1;
  if (codes.col_stride == 0) codes.cols = 1;
  const auto row_max = parallel_chunk_results<uint8_t>(codes.rows, kRangeChunkRows, [&](size_t begin, size_t end) {
    uint8_t top = 0;
    for (size_t r = begin; r < end; ++r)
      for (size_t c = 0; c < codes.cols; ++c) top = std::max(top, codes.at(r, c));
    return top;
  });
  const uint8_t top = *std::max_element(row_max.begin(), row_max.end());
  if (top >= ks) {
    throw VantorixError::message(std::string(what) + " contain code " + std::to_string(top) +
                                 ", not below codebook_size (" + std::to_string(ks) + ")");
  }
}

void PqKMeans::check_code_range(MatrixView<const uint8_t> codes, const char* what) const {
  vantorix::check_code_range(codes, ks_, what);
}

void PqKMeans::validate_codes(MatrixView<const uint8_t> codes, bool need_k_rows) const {
  if (codes.cols != m_) throw VantorixError::message("code dimensionality does not match codewords");
  if (need_k_rows && codes.rows < options_.k) throw VantorixError::message("number of rows must be at least k");
  if (!codes.is_c_contiguous()) throw VantorixError::message("code matrix must be C-contiguous");
  check_code_range(codes, "codes");
}

bool PqKMeans::lookup_fits_budget() const {
  size_t bytes;
  if (__builtin_mul_overflow(m_, ks_, &bytes) || __builtin_mul_overflow(bytes, options_.k, &bytes) ||
      __builtin_mul_overflow(bytes, size_t{4}, &bytes)) {
    return false;
  }
  return bytes <= options_.lookup_table_bytes;
}

// ---------------------------------------------------------------------------------------------
// Initialisation

std::vector<float> PqKMeans::build_center_lookup(std::span<const uint8_t> center) const {
  std::vector<float> lookup(m_ * ks_);
  const float* table = distances_->data();
  for (size_t m = 0; m < m_; ++m)
    for (size_t t = 0; t < ks_; ++t) lookup[m * ks_ + t] = table[(m * ks_ + t) * ks_ + center[m]];
  return lookup;
}

std::vector<size_t> PqKMeans::initialize_center_indices(MatrixView<const uint8_t> codes,
                                                        const PackedPq4Codes* packed) const {
  const size_t n = codes.rows, k = options_.k;
  if (n == 0 || k == 0) return {};
  SeededRng rng(options_.seed);
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  if (n > 1) shuffle(rng, order);
  if (options_.init == InitMethod::Random) {
    order.resize(std::min(k, n));
    return order;
  }

  const uint8_t* code_data = codes.data;
  std::vector<float> best(n, kInf);
  std::vector<size_t> chosen;
  chosen.reserve(k);

  // Lowers every unchosen row's distance by the new center and returns the row with the largest
  // value afterwards (ties to the highest index), so farthest-first needs no second pass.
  auto update = [&](size_t center_row) {
    const auto lookup = build_center_lookup({code_data + center_row * m_, m_});
    struct Top {
      int32_t key = std::numeric_limits<int32_t>::min();
      size_t row = 0;
    };
    const auto tops = parallel_chunk_results<Top>(n, kInitChunkRows, [&](size_t begin, size_t end) {
      Top top;
      for (size_t i = begin; i < end; ++i) {
        float value = best[i];
        if (!(value < 0.0f)) {
          const uint8_t* row = code_data + i * m_;
          float d = 0.0f;
          for (size_t m = 0; m < m_; ++m) d = d + lookup[m * ks_ + row[m]];
          if (d < value) {
            value = d;
            best[i] = d;
          }
        }
        const int32_t key = total_order_key(value);
        if (key >= top.key) top = {key, i};
      }
      return top;
    });
    Top top = tops.front();
    for (const Top& t : tops)
      if (t.key >= top.key) top = t;
    return top.row;
  };

  // With Ks = 16 and the fast scan on, the 4-bit scan screens out the rows a new center cannot
  // bring closer; the rows it keeps are summed as above, so the chosen rows are the same.
  std::optional<Pq4DistanceScreen> screen;
  std::optional<PackedPq4Codes> own_packed;
  if (ks_ == 16 && pq4_fastscan_enabled()) screen = Pq4DistanceScreen::build(*distances_, m_);
  if (screen && packed == nullptr) {
    own_packed = pack_pq4_codes(codes);
    packed = &*own_packed;
  }
  std::vector<uint16_t> limits;
  std::vector<uint32_t> kept;
  struct ChunkTop {
    int32_t key = std::numeric_limits<int32_t>::min();
    size_t row = 0;
    bool stale = true;
  };
  std::vector<ChunkTop> chunk_tops;
  if (screen) {
    limits.assign(n, screen->limit(kInf));
    kept.resize(n);
    chunk_tops.resize((n + kScreenChunkRows - 1) / kScreenChunkRows);
  }

  // The screened update. Each chunk keeps its farthest row between centers: values only fall, so
  // it changes only when that row itself falls or is chosen.
  auto update_screened = [&](size_t center_row) {
    const uint8_t* center = code_data + center_row * m_;
    const auto lookup = build_center_lookup({center, m_});
    screen->set_center(center);
    limits[center_row] = screen->limit(-1.0f);
    chunk_tops[center_row / kScreenChunkRows].stale = true;
    parallel_chunks(n, kScreenChunkRows, [&](size_t begin, size_t end) {
      ChunkTop& top = chunk_tops[begin / kScreenChunkRows];
      const size_t count = screen->rows_within(*packed, limits.data(), begin, end, kept.data() + begin);
      for (size_t p = 0; p < count; ++p) {
        const size_t i = kept[begin + p];
        if (best[i] < 0.0f) continue;
        const uint8_t* row = code_data + i * m_;
        float d = 0.0f;
        for (size_t m = 0; m < m_; ++m) d = d + lookup[m * ks_ + row[m]];
        if (d < best[i]) {
          best[i] = d;
          limits[i] = screen->limit(d);
          if (i == top.row) top.stale = true;
        }
      }
      if (!top.stale) return;
      top = ChunkTop{};
      for (size_t i = begin; i < end; ++i) {
        const int32_t key = total_order_key(best[i]);
        if (key >= top.key) top = {key, i, false};
      }
      top.stale = false;
    });
    ChunkTop top = chunk_tops.front();
    for (const ChunkTop& t : chunk_tops)
      if (t.key >= top.key) top = t;
    return top.row;
  };

  auto choose = [&](size_t row) {
    chosen.push_back(row);
    best[row] = -1.0f;
    if (chosen.size() >= k) return size_t{0};
    return screen ? update_screened(row) : update(row);
  };

  size_t farthest = choose(order[0]);
  while (chosen.size() < k) {
    std::optional<size_t> next;
    if (options_.init == InitMethod::KMeansPlusPlus) next = weighted_seeding_walk(best, rng, WalkOverrun::LastPositive);
    farthest = choose(next.value_or(farthest));
  }
  return chosen;
}

// ---------------------------------------------------------------------------------------------
// Centers

void PqKMeans::reconstruct_into(std::span<const uint8_t> code, std::span<float> out) const {
  const float* words = codewords_.data();
  for (size_t m = 0; m < m_; ++m) std::copy_n(words + (m * ks_ + code[m]) * ds_, ds_, out.data() + m * ds_);
}

void PqKMeans::set_cluster_centers(Matrix<uint8_t> centers) { set_cluster_centers(centers.view()); }

void PqKMeans::set_cluster_centers(MatrixView<const uint8_t> centers) {
  if (centers.rows != options_.k || centers.cols != m_) {
    throw VantorixError::message("cluster center shape does not match the model");
  }
  check_code_range(centers, "cluster centers");
  cluster_centers_ = Matrix<uint8_t>::copy_named(centers, "centers");
  dense_cluster_centers_.reset();
}

void PqKMeans::set_dense_cluster_centers(Matrix<float> centers) { set_dense_cluster_centers(centers.view()); }

void PqKMeans::set_dense_cluster_centers(MatrixView<const float> centers) {
  if (centers.rows != options_.k || centers.cols != dim()) throw VantorixError::message(kDenseShape);
  store_dense_centers_raw(Matrix<float>::copy_named(centers, "centers"));
}

void PqKMeans::store_dense_centers_raw(Matrix<float> centers) {
  if (options_.spherical) normalize_dense_centers_in_place(centers.view_mut());
  const Matrix<float> pq = centers_to_pq_space(centers.view());
  Matrix<uint8_t> codes = encode_centers_from_pq(pq.view());
  cluster_centers_ = std::move(codes);
  dense_cluster_centers_ = std::move(centers);
}

void PqKMeans::store_dense_centers_from_pq(MatrixView<const float> centers) {
  if (centers.rows != options_.k || centers.cols != dim()) throw VantorixError::message(kDenseShape);
  Matrix<float> pq = Matrix<float>::copy_of(centers);
  if (options_.spherical) normalize_dense_centers_in_place(pq.view_mut());
  Matrix<uint8_t> codes = encode_centers_from_pq(pq.view());
  Matrix<float> raw = rotation_ ? apply_rotation(pq.view(), transposed(rotation_->view())) : std::move(pq);
  cluster_centers_ = std::move(codes);
  dense_cluster_centers_ = std::move(raw);
}

Matrix<float> PqKMeans::centers_to_pq_space(MatrixView<const float> centers) const {
  if (centers.rows != options_.k || centers.cols != dim()) throw VantorixError::message(kDenseShape);
  if (!rotation_) return Matrix<float>::copy_of(centers);
  return apply_rotation(RowMajorRows(centers).view(), rotation_->view());
}

Matrix<uint8_t> PqKMeans::encode_centers_from_pq(MatrixView<const float> centers) const {
  if (!centers.is_c_contiguous()) throw VantorixError::message("dense centers must be C-contiguous");
  if (centers.cols != dim()) throw VantorixError::message(kDenseShape);
  const DistanceKernel kernel = DistanceKernel::for_dimension(ds_);
  Matrix<uint8_t> codes(centers.rows, m_);
  const float* words = codewords_.data();
  parallel_for_each(centers.rows, [&](size_t j) {
    const float* center = centers.data + j * centers.cols;
    for (size_t m = 0; m < m_; ++m) {
      const std::span<const float> sub(center + m * ds_, ds_);
      float best = kInf;
      size_t best_t = 0;
      for (size_t t = 0; t < ks_; ++t) {
        const float d = kernel.distance(sub, {words + (m * ks_ + t) * ds_, ds_});
        if (d < best) {
          best = d;
          best_t = t;
        }
      }
      codes.at(j, m) = uint8_t(best_t);
    }
  });
  return codes;
}

void PqKMeans::normalize_dense_centers_in_place(MatrixView<float> centers) const {
  if (centers.rows != options_.k || centers.cols != dim()) throw VantorixError::message(kDenseShape);
  if (!centers.is_c_contiguous()) throw VantorixError::message("dense centers must be C-contiguous");
  normalize_rows(centers, NormRule::ScaleAboveSquaredNormEpsilon);
}

}  // namespace vantorix
