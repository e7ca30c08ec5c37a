// The direct step solve may only be taken when J+ = J^-1: a matrix whose
// smallest singular value is at most 1e-6 must never be certified. Checked
// against a long-double SVD over families built to sit near that line.
#include "kinematics/certified_solve.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cstring>
#include <limits>
#include <random>

#include "hexapod.hpp"
#include "kinematics/forward_step.hpp"

namespace zandrel {
namespace {

using MatL = Eigen::Matrix<long double, 6, 6>;
using VecL = Eigen::Matrix<long double, 6, 1>;
constexpr double kFloor = 1e-6;

std::mt19937_64 rng{20261208};
double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
MatL gaussian() {
  MatL m;
  for (int k = 0; k < 36; ++k) m(k) = std::normal_distribution<double>()(rng);
  return m;
}
// U diag(sigma) V^T, random orthogonal U and V; five singular values in
// [1e-3, 10] besides the smallest.
MatL with_smallest_singular_value(long double smallest) {
  VecL sigma;
  for (int k = 0; k < 5; ++k) sigma(k) = std::pow(10.0, uniform(-3, 1));
  sigma(5) = smallest;
  const MatL u = Eigen::HouseholderQR<MatL>(gaussian()).householderQ();
  const MatL v = Eigen::HouseholderQR<MatL>(gaussian()).householderQ();
  return u * sigma.asDiagonal() * v.transpose();
}
VecL as_long_double(const Vec6& v) {
  return Eigen::Map<const Eigen::Matrix<double, 6, 1>>(v.data()).cast<long double>();
}

struct Family {
  const char* name;
  MatL (*make)();
  friend void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }
};

const Family kFamilies[] = {
    // Half within 0.3% of the floor.
    {"NearSingular", [] {
       const double octaves = uniform(0, 1) < 0.5 ? 3.0 : 0x1p-8;
       return with_smallest_singular_value(kFloor * std::exp2(uniform(-octaves, octaves)));
     }},
    {"RankDeficient",
     [] { return MatL(with_smallest_singular_value(0.0L) * std::pow(10.0L, uniform(-8, 8))); }},
    {"BadlyScaled", [] {
       VecL rows, cols;
       for (int k = 0; k < 12; ++k) (k < 6 ? rows(k) : cols(k - 6)) = std::pow(10.0, uniform(-3, 2));
       return MatL(rows.asDiagonal() * gaussian() * cols.asDiagonal());
     }},
    // Triangular with no small pivot, yet nearly singular.
    {"Kahan", [] {
       const long double theta = uniform(0.6, 1.4), s = std::sin(theta), c = std::cos(theta);
       MatL k = MatL::Zero();
       for (int i = 0; i < 6; ++i)
         for (int j = i; j < 6; ++j) k(i, j) = std::pow(s, i) * (i == j ? 1 : -c);
       const long double smallest = Eigen::JacobiSVD<MatL>(k).singularValues()(5);
       return MatL(k * (kFloor * std::exp2(uniform(-3, 3)) / smallest));
     }},
};

class Certificate : public ::testing::TestWithParam<Family> {};

TEST_P(Certificate, NeverCertifiesASmallestSingularValueAtOrBelowTheFloor) {
  int certified = 0;
  for (int n = 0; n < 3000; ++n) {
    const MatL made = GetParam().make();
    Mat6RowMajor j;
    for (int k = 0; k < 36; ++k) j[k] = static_cast<double>(made(k / 6, k % 6));
    const MatL exact = made.cast<double>().cast<long double>();
    const Vec6 r{1.0, -2.0, 0.5, 3.0, -1.5, 0.25};
    Vec6 x;
    if (!certified_solve(j, r, kFloor, x)) continue;
    ++certified;
    ASSERT_GT(Eigen::JacobiSVD<MatL>(exact).singularValues()(5), kFloor) << "member " << n;
    const VecL want = exact.partialPivLu().solve(as_long_double(r));
    ASSERT_LE((as_long_double(x) - want).norm(), 0x1p-29L * want.norm()) << "member " << n;
  }
  // Except for the rank-deficient family, many members are certifiable.
  EXPECT_TRUE(certified > 100 || GetParam().name == std::string("RankDeficient")) << certified;
}

INSTANTIATE_TEST_SUITE_P(Families, Certificate, ::testing::ValuesIn(kFamilies),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Certificate, NonFiniteOrHugeInputFallsBackToTheDecomposition) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, 1e300})
    for (int k = 0; k < 36; ++k) {
      Mat6RowMajor j;
      for (double& x : j) x = uniform(-1, 1);
      j[k] = bad;
      const Vec6 r{1, 2, 3, 4, 5, 6};
      Vec6 x;
      EXPECT_FALSE(certified_solve(j, r, kFloor, x));
      const Vec6 step = gauss_newton_step(j, r), fallback = pseudo_inverse_step(j, r);
      EXPECT_EQ(std::memcmp(&step, &fallback, sizeof step), 0);
    }
}

// The Jacobians the solver really meets are certified, and the direct step
// agrees with the decomposition's.
TEST(Certificate, RealisticStepsAreCertifiedAndMatchTheDecomposition) {
  Kinematics model = test::make_hexapod();
  for (const Mat4& target : test::sample_poses()) {
    const JointAngles angles = test::ik6(model, target);
    for (int n = 0; n < 50; ++n) {
      const double k = uniform(0, 1);
      model.fk_pose = multiply(target, test::rigid_pose(0.005 * k, -0.004 * k, 0.004 * k,
                                                        uniform(-0.2, 0.2), uniform(-0.1, 0.1),
                                                        uniform(-0.1, 0.1)));
      const StepSystem sys = step_system(model, angles);
      Vec6 direct;
      ASSERT_TRUE(certified_solve(sys.jacobian, sys.residuals, kFloor, direct));
      const VecL svd = as_long_double(pseudo_inverse_step(sys.jacobian, sys.residuals));
      EXPECT_LE((as_long_double(direct) - svd).norm(), 1e-12L * svd.norm());
    }
  }
}

}  // namespace
}  // namespace zandrel
