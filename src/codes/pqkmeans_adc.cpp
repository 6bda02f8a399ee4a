// The asymmetric (ADC) fit: rows stay codes, centers are dense vectors in the codewords' space,
// and the update is the mean of the members' reconstructions.
#include <cstdio>
#include <limits>

#include "codes/pqkmeans.hpp"
#include "core/parallel.hpp"
#include "kernels/simd.hpp"

namespace vantorix {

// Adds every member's reconstruction to acc (D floats), member by member in the given order.
void accumulate_code_rows_into_center(const uint8_t* codes, std::span<const size_t> members, const float* codewords,
                                      size_t m_count, size_t ks, size_t ds, std::span<float> acc) {
  for (size_t r : members) {
    const uint8_t* row = codes + r * m_count;
    for (size_t m = 0; m < m_count; ++m) {
      add_assign(acc.subspan(m * ds, ds), {codewords + (m * ks + row[m]) * ds, ds});
    }
  }
}

bool PqKMeans::build_dense_lookup_tables_into(MatrixView<const float> centers, std::vector<float>& table) const {
  if (!lookup_fits_budget() || !centers.is_c_contiguous()) return false;
  const size_t k = centers.rows, d = dim();
  const DistanceKernel kernel = DistanceKernel::for_dimension(ds_);
  const float* words = codewords_.data();
  table.resize(m_ * ks_ * k);
  float* out = table.data();
  // The centers' sub-vectors sixteen at a time, transposed ([m][group][i][16], missing centers 0),
  // so every codeword meets sixteen centers per operation.
  const size_t groups = (k + 15) / 16, ds = ds_;
  std::vector<float> columns(checked_mul(checked_mul(m_, groups, "lookup table"), ds * 16, "lookup table"), 0.0f);
  parallel_for_each(groups, [&](size_t g) {  // each group of sixteen centers fills its own columns
    // Sixteen centers' value c at a time: whole 64-byte writes, the sixteen rows read in step.
    const size_t count = std::min<size_t>(16, k - 16 * g);
    const float* rows = centers.data + 16 * g * d;
    for (size_t m = 0; m < m_; ++m) {
      for (size_t i = 0; i < ds; ++i) {
        float* dst = columns.data() + ((m * groups + g) * ds + i) * 16;
        const float* src = rows + m * ds + i;
        for (size_t j = 0; j < count; ++j) dst[j] = src[j * d];
      }
    }
  });
  // Whole groups go straight into the table row, the last partial one through a scratch block.
  const size_t whole = k / 16;
  parallel_chunks(m_ * ks_, kLookupChunkRows, [&](size_t begin, size_t end) {
    float values[16];
    for (size_t r = begin; r < end; ++r) {
      const size_t m = r / ks_;
      const float* word = words + r * ds;
      const float* first = columns.data() + m * groups * ds * 16;
      kernel.distance16_groups(word, first, ds, whole, out + r * k);
      if (whole < groups) {
        kernel.distance16(word, first + whole * ds * 16, ds, values);
        std::copy_n(values, k - whole * 16, out + r * k + whole * 16);
      }
    }
  });
  return true;
}

void PqKMeans::assign_adc_into(MatrixView<const uint8_t> codes, MatrixView<const float> centers,
                               const PackedPq4Codes* packed, AssignmentBuffers& buffers) const {
  if (!codes.is_c_contiguous()) throw VantorixError::message("code matrix must be C-contiguous");
  if (!centers.is_c_contiguous()) throw VantorixError::message("dense centers must be C-contiguous");
  const size_t n = codes.rows, k = centers.rows, m_count = m_, ks = ks_, ds = ds_, d = dim();
  buffers.resize(n);
  size_t* labels = buffers.labels.data();
  float* distances = buffers.distances.data();

  if (build_dense_lookup_tables_into(centers, buffers.lookup)) {
    assign_through_lookup(codes, packed, ks, k, buffers);
    return;
  }

  const DistanceKernel kernel = DistanceKernel::for_dimension(ds);
  const float* words = codewords_.data();
  assign_direct(codes, k, labels, distances, [&](const uint8_t* row, size_t j) {
    const float* center = centers.data + j * d;
    float sum = 0.0f;
    for (size_t m = 0; m < m_count; ++m) {
      sum = sum + kernel.distance({words + (m * ks + row[m]) * ds, ds}, {center + m * ds, ds});
    }
    return sum;
  });
}

namespace {

// Mean of each cluster's reconstructions; empty clusters take the farthest rows of this pass.
void update_adc_centers(const PqKMeans& model, MatrixView<const uint8_t> codes, AssignmentBuffers& buffers,
                        Matrix<float>& centers) {
  const size_t m_count = model.num_subquantizers(), ks = model.codebook_size(), ds = model.subspace_dim();
  const float* words = model.codewords().data();
  update_mean_centers(
      model.k(), buffers, centers,
      [&](std::span<const size_t> members, std::span<float> acc) {
        accumulate_code_rows_into_center(codes.data, members, words, m_count, ks, ds, acc);
      },
      [&](size_t row, std::span<float> out) {
        const uint8_t* code = codes.data + row * m_count;
        for (size_t m = 0; m < m_count; ++m) std::copy_n(words + (m * ks + code[m]) * ds, ds, out.data() + m * ds);
      });
  if (model.options().spherical) model.normalize_dense_centers_in_place(centers.view_mut());
}

}  // namespace

void PqKMeans::fit_adc(MatrixView<const uint8_t> codes) {
  validate_codes(codes, true);
  const size_t n = codes.rows, k = options_.k;
  // Packed first so the start can screen through it (the codes were checked, so packing cannot fail).
  const auto packed = pack_pq4_codes(codes);
  const auto initial = initialize_center_indices(codes, packed ? &*packed : nullptr);
  Matrix<float> centers(k, dim());
  for (size_t j = 0; j < k; ++j) reconstruct_into({codes.data + initial[j] * m_, m_}, centers.row(j));
  if (options_.spherical) normalize_dense_centers_in_place(centers.view_mut());

  std::vector<double> history;
  AssignmentBuffers buffers(n);
  run_passes(
      code_fit_loop(options_, "adc_inertia", "adc"), history,
      [&](size_t) {
        assign_adc_into(codes, centers.view(), packed ? &*packed : nullptr, buffers);
        return mean_distance(buffers.distances);
      },
      [&](size_t) { update_adc_centers(*this, codes, buffers, centers); });

  store_dense_centers_from_pq(centers.view());
  labels_ = std::move(buffers).into_labels();
  inertia_history_ = std::move(history);
}

std::vector<size_t> PqKMeans::predict_adc(MatrixView<const uint8_t> codes) const {
  if (codes.cols != m_) throw VantorixError::message("code dimensionality does not match codewords");
  if (!dense_cluster_centers_) throw VantorixError::message("dense cluster centers are not initialized");
  const Matrix<float> centers = centers_to_pq_space(dense_cluster_centers_->view());
  if (!codes.is_c_contiguous()) throw VantorixError::message("code matrix must be C-contiguous");
  check_code_range(codes, "codes");
  const auto packed = pack_pq4_codes(codes);
  AssignmentBuffers buffers(codes.rows);
  assign_adc_into(codes, centers.view(), packed ? &*packed : nullptr, buffers);
  return std::move(buffers).into_labels();
}

}  // namespace vantorix
