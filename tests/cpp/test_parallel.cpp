#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "core/error.hpp"
#include "core/parallel.hpp"

using namespace vantorix;

TEST(Parallel, ChunksCoverTheRangeOnce) {
  for (auto [n, chunk] : std::vector<std::pair<size_t, size_t>>{{0, 4}, {1, 4}, {5000, 4096}, {1000, 7}, {10, 0}}) {
    std::vector<int> hits(n, 0);
    std::vector<std::pair<size_t, size_t>> ranges(chunk_count(n, chunk == 0 ? 1 : chunk));
    parallel_chunks(n, chunk, [&](size_t begin, size_t end) {
      ranges[begin / (chunk == 0 ? 1 : chunk)] = {begin, end};
      for (size_t i = begin; i < end; ++i) hits[i] += 1;
    });
    for (int h : hits) ASSERT_EQ(h, 1);
    if (n == 5000) {
      EXPECT_EQ(ranges[0], (std::pair<size_t, size_t>{0, 4096}));
      EXPECT_EQ(ranges[1], (std::pair<size_t, size_t>{4096, 5000}));
    }
  }
}

TEST(Parallel, ChunkResultsComeBackInOrder) {
  const auto sums = parallel_chunk_results<size_t>(1000, 64, [](size_t b, size_t e) {
    size_t s = 0;
    for (size_t i = b; i < e; ++i) s += i;
    return s;
  });
  ASSERT_EQ(sums.size(), 16u);
  EXPECT_EQ(sums[0], 63u * 64u / 2u);
  EXPECT_EQ(std::accumulate(sums.begin(), sums.end(), size_t{0}), 999u * 1000u / 2u);
}

TEST(Parallel, NestedLoops) {
  std::vector<std::atomic<int>> cells(8 * 300);
  parallel_for_each(8, [&](size_t outer) {
    parallel_chunks(300, 16, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) cells[outer * 300 + i] += 1;
    });
  });
  for (auto& c : cells) ASSERT_EQ(c.load(), 1);
}

TEST(Parallel, ErrorsLeaveTheLoopWithTheirType) {
  EXPECT_THROW(parallel_chunks(100000, 10,
                               [](size_t b, size_t) {
                                 if (b == 500) throw VantorixError::message("chunk failed");
                               }),
               VantorixError);
  try {
    parallel_for_each(64, [](size_t i) {
      if (i % 2 == 1) throw VantorixError::message("odd " + std::to_string(i));
    });
    FAIL() << "no error";
  } catch (const VantorixError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("odd ", 0), 0u);
  }
  EXPECT_THROW(parallel_for_each(4, [](size_t) { fatal("contract"); }), FatalError);
  // The pool is still usable afterwards.
  std::atomic<size_t> count{0};
  parallel_chunks(1000, 10, [&](size_t b, size_t e) { count += e - b; });
  EXPECT_EQ(count.load(), 1000u);
}

TEST(Errors, DisplayTexts) {
  EXPECT_STREQ(VantorixError::message("k must be greater than zero").what(), "k must be greater than zero");
  EXPECT_STREQ(VantorixError::shape("bad").what(), "shape error: bad");
  EXPECT_STREQ(VantorixError::linalg("sgesvd info 3").what(), "linear algebra error: sgesvd info 3");
  EXPECT_EQ(VantorixError::linalg("x").kind(), VantorixError::Kind::Linalg);
  EXPECT_THROW(checked_mul(size_t(1) << 40, size_t(1) << 40), VantorixError);
  EXPECT_EQ(saturating_mul(size_t(1) << 40, size_t(1) << 40), SIZE_MAX);
}
