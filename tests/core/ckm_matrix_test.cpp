// Tests for the CKM matrix: the topological matrix and the unitarity check's edge cases.
#include "ckm/ckm_matrix.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace vellora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(CKMMatrixTest, FromTopologyIsIdentityWithZeroInvariant) {
  const CKMMatrix m = CKMMatrix::from_topology();
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(m.elements()[i][j], i == j ? 1.0 : 0.0) << i << "," << j;
      EXPECT_FALSE(std::signbit(m.elements()[i][j])) << i << "," << j;
    }
  }
  EXPECT_EQ(std::bit_cast<std::uint64_t>(m.jarlskog()), 0u);
}

struct UnitarityCase {
  std::string label;
  CKMMatrix matrix;
  double tol;
  bool expected;
};

CKMMatrix rows(std::array<double, 3> a, std::array<double, 3> b, std::array<double, 3> c) {
  return CKMMatrix{{{a, b, c}}, 0.0};
}

const CKMMatrix kIdentity = CKMMatrix::from_topology();
const CKMMatrix kStretched = rows({1, 0, 0}, {0, 2, 0}, {0, 0, 1});
const CKMMatrix kRepeatedRow = rows({1, 0, 0}, {1, 0, 0}, {0, 0, 1});
const CKMMatrix kNaNRow = rows({1, 0, 0}, {kNaN, 0, 0}, {0, 0, 1});
const CKMMatrix kInfZeroProduct = rows({kInf, 0, 0}, {0, 1, 0}, {0, 0, 1});
const CKMMatrix kInfAllFinite = rows({kInf, 0, 0}, {1, 0, 0}, {1, 0, 0});
const CKMMatrix kOverflow = rows({1e200, 0, 0}, {0, 1, 0}, {0, 0, 1});
const double kAngle = 0.2272;
const CKMMatrix kRotation = rows({std::cos(kAngle), std::sin(kAngle), 0},
                                 {-std::sin(kAngle), std::cos(kAngle), 0}, {0, 0, 1});
const CKMMatrix kSkewed = rows({1, 0, 0}, {0.6, 0.8, 0}, {0, 0, 1});

class UnitarityTest : public ::testing::TestWithParam<UnitarityCase> {};

TEST_P(UnitarityTest, MatchesExpected) {
  const UnitarityCase& c = GetParam();
  EXPECT_EQ(c.matrix.is_unitary(c.tol), c.expected) << "tol=" << c.tol;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnitarityTest,
    ::testing::Values(
        UnitarityCase{"IdentityZero", kIdentity, 0.0, true},
        UnitarityCase{"IdentityNegZero", kIdentity, -0.0, true},
        UnitarityCase{"IdentityHalf", kIdentity, 0.5, true},
        UnitarityCase{"IdentityInf", kIdentity, kInf, true},
        UnitarityCase{"IdentityNegative", kIdentity, -0.5, false},
        UnitarityCase{"IdentityNaNTol", kIdentity, kNaN, false},
        UnitarityCase{"StretchedAtDeviation", kStretched, 3.0, true},
        UnitarityCase{"StretchedBelowDeviation", kStretched, 2.9, false},
        UnitarityCase{"RepeatedRowZero", kRepeatedRow, 0.0, false},
        UnitarityCase{"RepeatedRowOne", kRepeatedRow, 1.0, true},
        UnitarityCase{"NaNRowZero", kNaNRow, 0.0, false},
        UnitarityCase{"NaNRowHuge", kNaNRow, 1e300, false},
        UnitarityCase{"NaNRowInf", kNaNRow, kInf, false},
        UnitarityCase{"InfTimesZeroInf", kInfZeroProduct, kInf, false},
        UnitarityCase{"InfNoNaNProductInf", kInfAllFinite, kInf, false},
        UnitarityCase{"OverflowInf", kOverflow, kInf, false},
        UnitarityCase{"RotationTight", kRotation, 1e-15, true},
        UnitarityCase{"SkewedRowsNormalButNotOrthogonal", kSkewed, 0.5, false},
        UnitarityCase{"SkewedRowsAtDot", kSkewed, 0.6, true}),
    [](const ::testing::TestParamInfo<UnitarityCase>& info) { return info.param.label; });

struct DeviationCase {
  std::string label;
  CKMMatrix matrix;
  double expected;
};

class MaxDeviationTest : public ::testing::TestWithParam<DeviationCase> {};

TEST_P(MaxDeviationTest, MatchesExpected) {
  const DeviationCase& c = GetParam();
  const double m = c.matrix.max_deviation();
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(m)) << m;
  } else {
    EXPECT_EQ(m, c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MaxDeviationTest,
    ::testing::Values(DeviationCase{"Stretched", kStretched, 3.0},
                      DeviationCase{"NaNRow", kNaNRow, kNaN},
                      // The NaN from inf*0 must survive later, larger-looking entries.
                      DeviationCase{"InfTimesZero", kInfZeroProduct, kNaN},
                      DeviationCase{"Skewed", kSkewed, 0.6}),
    [](const ::testing::TestParamInfo<DeviationCase>& info) { return info.param.label; });

}  // namespace
}  // namespace vellora
