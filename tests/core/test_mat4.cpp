#include "zandrel/mat4.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "hexapod.hpp"

namespace zandrel {
namespace {

using test::max_abs_diff;
using test::rigid_pose;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Mat4 rows(std::initializer_list<double> values) { return Mat4::from_rows(std::data(values)); }

TEST(Mat4, FromRowsReadsRowByRow) {
  const Mat4 m = rows({1, 0, 0, 10,  //
                       0, 1, 0, 20,  //
                       0, 0, 1, 30,  //
                       0, 0, 0, 1});
  EXPECT_EQ(m(0, 3), 10.0);
  EXPECT_EQ(m(1, 3), 20.0);
  EXPECT_EQ(m(2, 3), 30.0);
  EXPECT_EQ(m(3, 0), 0.0);
  // Column-major storage: the translation is values 12..14.
  EXPECT_EQ(m.v[12], 10.0);
  EXPECT_EQ(m.v[13], 20.0);
  EXPECT_EQ(m.v[14], 30.0);
}

TEST(Mat4, MultiplyKeepsFactorOrder) {
  const Mat4 a = rows({1, 2, 0, 0,  //
                       0, 1, 0, 0,  //
                       0, 0, 1, 0,  //
                       0, 0, 0, 1});
  const Mat4 b = rows({1, 0, 0, 0,  //
                       3, 1, 0, 0,  //
                       0, 0, 1, 0,  //
                       0, 0, 0, 1});
  const Mat4 ab = rows({7, 2, 0, 0,  //
                        3, 1, 0, 0,  //
                        0, 0, 1, 0,  //
                        0, 0, 0, 1});
  const Mat4 ba = rows({1, 2, 0, 0,  //
                        3, 7, 0, 0,  //
                        0, 0, 1, 0,  //
                        0, 0, 0, 1});
  EXPECT_EQ(multiply(a, b), ab);
  EXPECT_EQ(multiply(b, a), ba);
}

TEST(Mat4, MultiplySumsInnerIndexInOrder) {
  // ((1e16 + 1) - 1e16) + 1 is 1 only when summed k = 0, 1, 2, 3 in that
  // order; pairwise or reversed summation gives 0.
  Mat4 a;
  a(1, 0) = 1e16;
  a(1, 1) = 1.0;
  a(1, 2) = -1e16;
  a(1, 3) = 1.0;
  Mat4 b;
  for (int k = 0; k < 4; ++k) b(k, 2) = 1.0;
  EXPECT_EQ(multiply(a, b)(1, 2), 1.0);
}

TEST(Mat4, TransformPointAddsTranslationLastAndIgnoresBottomRow) {
  Mat4 m = rows({1e16, 1, -1e16, 1,  //
                 0, 2, 0, 5,         //
                 0, 0, 1, 0,         //
                 7, 7, 7, 7});
  const Vec3 q = transform_point(m, {1.0, 1.0, 1.0});
  EXPECT_EQ(q[0], 1.0);  // ((1e16 + 1) - 1e16) + 1
  EXPECT_EQ(q[1], 7.0);
  EXPECT_EQ(q[2], 1.0);
}

class SingularInverse : public ::testing::TestWithParam<Mat4> {};

TEST_P(SingularInverse, IsEmpty) { EXPECT_FALSE(inverse(GetParam()).has_value()); }

Mat4 negative_zero_column() {
  // Column 0 of negative zeros, identity elsewhere: the determinant comes
  // out as -0.0, which must count as zero.
  Mat4 m = Mat4::identity();
  for (int r = 0; r < 4; ++r) m(r, 0) = -0.0;
  return m;
}

Mat4 underflowing_diagonal(double sign) {
  // Determinant 1e-400 (or -1e-400) underflows to a signed zero.
  Mat4 m;
  m(0, 0) = sign * 1e-100;
  m(1, 1) = m(2, 2) = m(3, 3) = 1e-100;
  for (int r = 1; r < 4; ++r) m(r, 0) = sign < 0 ? -0.0 : 0.0;
  return m;
}

INSTANTIATE_TEST_SUITE_P(Mat4, SingularInverse,
                         ::testing::Values(Mat4{}, negative_zero_column(),
                                           underflowing_diagonal(1.0),
                                           underflowing_diagonal(-1.0),
                                           rows({1, 2, 3, 4,  //
                                                 2, 4, 6, 8,  //
                                                 0, 0, 1, 0,  //
                                                 0, 0, 0, 1})));

TEST(Mat4, NaNDeterminantGivesNaNInverseNotFailure) {
  Mat4 m = Mat4::identity();
  m(0, 0) = kNaN;
  const std::optional<Mat4> inv = inverse(m);
  ASSERT_TRUE(inv.has_value());
  for (double x : inv->v) EXPECT_TRUE(std::isnan(x));
}

TEST(Mat4, TinyButNonZeroDeterminantIsInverted) {
  Mat4 m = Mat4::identity();
  for (int k = 0; k < 4; ++k) m(k, k) = 1e-20;  // determinant 1e-80
  const std::optional<Mat4> inv = inverse(m);
  ASSERT_TRUE(inv.has_value());
  EXPECT_DOUBLE_EQ((*inv)(0, 0), 1e20);
  EXPECT_DOUBLE_EQ((*inv)(3, 3), 1e20);
}

class GeneralInverse : public ::testing::TestWithParam<Mat4> {};

TEST_P(GeneralInverse, TimesItselfIsIdentityOnBothSides) {
  const Mat4& m = GetParam();
  const std::optional<Mat4> inv = inverse(m);
  ASSERT_TRUE(inv.has_value());
  EXPECT_LT(max_abs_diff(multiply(*inv, m), Mat4::identity()), 1e-12);
  EXPECT_LT(max_abs_diff(multiply(m, *inv), Mat4::identity()), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Rigid, GeneralInverse,
    ::testing::Values(Mat4::identity(), rigid_pose(10, -20, 30, 0.3, -0.2, 1.1),
                      rigid_pose(-0.05, 0.02, -0.08, 3.0, 1.4, -2.5),
                      rigid_pose(1e3, 1e3, -1e3, -1.0, 0.5, 0.25)));

// Not rigid: scaled, sheared, with a non-trivial bottom row. A rigid-only
// shortcut (transpose the rotation) would fail these.
INSTANTIATE_TEST_SUITE_P(General, GeneralInverse,
                         ::testing::Values(rows({2, 0, 0, 1,    //
                                                 0, 3, 0, 0,    //
                                                 0, 0, 0.5, 4,  //
                                                 0, 0, 0, 1}),
                                           rows({1, 0.5, 0.2, -1,  //
                                                 0.1, 2, -0.3, 2,  //
                                                 0.4, 0.1, 1.5, 0,  //
                                                 0.2, 0.1, 0.3, 1}),
                                           rows({0, 1, 0, 0,  //
                                                 0, 0, 1, 0,  //
                                                 1, 0, 0, 0,  //
                                                 0, 0, 0, -2})));

TEST(Mat4, InverseIsExactForPowerOfTwoScaling) {
  Mat4 m = Mat4::identity();
  m(0, 0) = 2.0;
  m(1, 1) = 4.0;
  m(2, 2) = 0.5;
  m(0, 3) = 8.0;
  const std::optional<Mat4> inv = inverse(m);
  ASSERT_TRUE(inv.has_value());
  EXPECT_EQ((*inv)(0, 0), 0.5);
  EXPECT_EQ((*inv)(1, 1), 0.25);
  EXPECT_EQ((*inv)(2, 2), 2.0);
  EXPECT_EQ((*inv)(0, 3), -4.0);
  EXPECT_EQ((*inv)(3, 3), 1.0);
}

}  // namespace
}  // namespace zandrel
