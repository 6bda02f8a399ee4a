#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "codes/autok.hpp"

using namespace vantorix;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

AutoKAnalysis scores(std::vector<double> values, std::vector<double> inertia) {
  AutoKAnalysis a;
  for (size_t i = 0; i < values.size(); ++i) a.candidate_ks.push_back(10 * (i + 1));
  a.bic = a.davies_bouldin = a.centroid_silhouette = a.elbow = std::move(values);
  a.inertia = std::move(inertia);
  return a;
}

}  // namespace

TEST(AutoK, SelectionRules) {
  struct Case {
    std::vector<double> values, inertia;
    AutoKMethod method;
    size_t want;
  };
  const std::vector<Case> cases = {
      {{1, 3, 3, 2}, {0, 0, 0, 0}, AutoKMethod::Bic, 2},                  // larger: tie to the later
      {{1, 3, 3, 2}, {0, 0, 0, 0}, AutoKMethod::Elbow, 2},
      {{5, 1, 1, 2}, {0, 0, 0, 0}, AutoKMethod::DaviesBouldin, 1},        // smaller: tie to the earlier
      {{kNaN, kInf, 2, -kInf}, {0, 0, 0, 0}, AutoKMethod::CentroidSilhouette, 2},  // non-finite never wins
      {{0.0, -0.0}, {0, 0}, AutoKMethod::Bic, 0},                          // total order: +0.0 above -0.0
      {{kNaN, kNaN, kNaN}, {4, 2, 2}, AutoKMethod::DaviesBouldin, 1},     // fallback: smallest inertia
      {{kNaN, kNaN}, {kNaN, kInf}, AutoKMethod::Bic, 0},                  // nothing finite at all
  };
  for (const auto& c : cases) {
    const auto a = scores(c.values, c.inertia);
    const auto [index, k] = a.select(c.method);
    EXPECT_EQ(index, c.want) << ::testing::PrintToString(c.values);
    EXPECT_EQ(k, a.candidate_ks[c.want]);
  }
  EXPECT_THROW(AutoKAnalysis{}.select(AutoKMethod::Bic), VantorixError);
}

TEST(AutoK, MethodNamesAreExact) {
  for (AutoKMethod m : kAutoKMethods) EXPECT_EQ(parse_auto_k_method(auto_k_method_name(m)), m);
  for (const char* bad : {"BIC", " bic", "davies-bouldin", "silhouette", ""}) {
    try {
      parse_auto_k_method(bad);
      ADD_FAILURE() << bad;
    } catch (const VantorixError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("unsupported auto_k_method '") + bad +
                                           "'; expected one of bic, davies_bouldin, centroid_silhouette, elbow");
    }
  }
}

TEST(AutoK, ElbowScores) {
  const std::vector<uint64_t> ks = {1, 2, 4, 8};
  // ln inertia falls 3, 0.5, 0.5: the knee at k = 2 sits far below the chord.
  const std::vector<double> inertia = {std::exp(4.0), std::exp(1.0), std::exp(0.5), std::exp(0.0)};
  const auto e = elbow_scores(ks, inertia);
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0], 0.0);
  EXPECT_EQ(e[3], 0.0);
  EXPECT_NEAR(e[1], (1.0 - 1.0 / 3.0) - 1.0 / 4.0, 1e-12);
  EXPECT_NEAR(e[2], (1.0 - 2.0 / 3.0) - 0.5 / 4.0, 1e-12);
  EXPECT_EQ(elbow_scores(std::vector<uint64_t>{2, 4}, std::vector<double>{3, 1}), (std::vector<double>{0, 0}));
  // A point above the chord (and a NaN) scores 0.
  const auto flat = elbow_scores(ks, std::vector<double>{8, 8, kNaN, 1});
  EXPECT_EQ(flat[1], 0.0);
  EXPECT_EQ(flat[2], 0.0);
}
