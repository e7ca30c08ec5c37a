#include "certified_solve.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

namespace zandrel {

// Why the test below is a proof.
//
// 1. For any matrix X and R = I - X J (exact), and any unit vector y,
//      1 - |R|2 <= |(I - R) y| = |X J y| <= |X|2 |J y|,
//    so sigma_min(J) = min |J y| >= (1 - |R|2) / |X|2 whenever |R|2 < 1.
//    Both 2-norms are at most the Frobenius norms. X is our LU inverse, but
//    nothing in the bound depends on how good it is: a poor X only makes the
//    bound weak and the test decline.
//
// 2. What we compute, with u = 2^-53, rounding to nearest and no fused
//    multiply-add (the build passes -ffp-contract=off):
//    - Frobenius norms nJ, nX, nR by summing 36 squares (in any order): within
//      20u relative of the exact norms, plus at most 2^-530 absolute from
//      squares that underflow. We insist on nJ, nX in [2^-300, 2^300], so no
//      square or product below overflows and that absolute part is nothing
//      next to them; for nR it is covered by the 1e-150 term.
//    - P = fl(X J), each entry an inner product of six terms summed in order:
//      |P - X J| <= gamma6 |X| |J| entrywise (gamma6 = 6u / (1 - 6u) < 7u),
//      plus underflow of the products (tiny, absorbed by 1e-150). Hence
//      |P - X J|F <= 7u |X|F |J|F.
//    - Rc = fl(I - P): off the diagonal exact; on it one rounding, so
//      |Rc - (I - P)|F <= u |Rc|F.
//    Together: |R|F <= nR (1 + 21u) + 7u nX nJ (1 + 41u) + 2^-500, and
//      beta = (nR (1 + 1e-12) + 8u nX nJ (1 + 1e-12)) (1 + 1e-12) + 1e-150
//    is above that even after the half-dozen roundings of computing beta
//    itself (all its terms are positive, so each rounding costs at most u
//    relative, which the spare 1 + 1e-12 and 8u > 7u (1 + 41u) swallow).
//
// 3. Accept only if beta <= 2^-30 and
//      L = (1 - beta) / (nX (1 + 1e-12)) > floor (1 + 2^-10):
//    by 1 and 2, sigma_min(J) >= (1 - beta) / |X|F >= L (1 - 3u), the 3u for
//    the roundings of L, and the 2^-10 margin is far more than 3u. So every
//    singular value is above the floor, J is invertible and J+ = J^-1.
//
// 4. The answer x = fl(X r) then satisfies, with X = (I - R) J^-1,
//      |x - J^-1 r| <= (|R| + gamma6 |X| |J|) |J^-1 r|.
//    Since beta contains 8u nX nJ, beta <= 2^-30 also keeps nX nJ (about
//    the condition of J) below 2^-30 / 8u = 2^20: the relative error of an
//    accepted answer is below 2^-29, and about 1e-14 for the
//    forward-kinematics Jacobians, whose condition is around 100. Worse
//    conditioned matrices go to the decomposition.
//
// Every comparison is written so that a NaN makes it fail, and each failure
// declines.

namespace {

constexpr std::size_t kN = 6;
constexpr double kU = 0x1p-53;
constexpr double kSlack = 1.0 + 1e-12;
constexpr double kNormMin = 0x1p-300;
constexpr double kNormMax = 0x1p300;
constexpr double kMaxResidual = 0x1p-30;
constexpr double kTiny = 1e-150;

// Frobenius norm. The 36 squares are summed column by column in six
// independent sums, for speed; the error bound used above holds for any
// order of summation.
double frobenius(const double (&m)[kN][kN]) {
  double col[kN];
  for (std::size_t c = 0; c < kN; ++c) col[c] = m[0][c] * m[0][c];
  for (std::size_t i = 1; i < kN; ++i)
    for (std::size_t c = 0; c < kN; ++c) col[c] = col[c] + m[i][c] * m[i][c];
  return std::sqrt(((col[0] + col[1]) + (col[2] + col[3])) + (col[4] + col[5]));
}

// X ~ J^-1 from an LU factorisation with partial pivoting, P J = L U, as
// X = U^-1 (L^-1 P), row by row. False when a pivot column is all zero.
// Row operations run over whole rows, to keep the loops of fixed length:
// left of column k they only touch leftovers of earlier eliminations, which
// nothing reads.
bool lu_inverse(const double (&j)[kN][kN], double (&x)[kN][kN]) {
  double u[kN][kN];      // becomes U; what lies below its diagonal is ignored
  double l[kN][kN]{};    // the multipliers, below the diagonal
  double inv_pivot[kN];
  std::size_t perm[kN];  // row k of P J is row perm[k] of J
  for (std::size_t i = 0; i < kN; ++i) {
    perm[i] = i;
    for (std::size_t c = 0; c < kN; ++c) u[i][c] = j[i][c];
  }
  for (std::size_t k = 0; k < kN; ++k) {
    std::size_t p = k;
    double best = std::fabs(u[k][k]);
    for (std::size_t i = k + 1; i < kN; ++i)
      if (std::fabs(u[i][k]) > best) {
        best = std::fabs(u[i][k]);
        p = i;
      }
    if (!(best > 0.0)) return false;
    if (p != k) {
      for (std::size_t c = 0; c < kN; ++c) std::swap(u[k][c], u[p][c]);
      for (std::size_t c = 0; c < k; ++c) std::swap(l[k][c], l[p][c]);
      std::swap(perm[k], perm[p]);
    }
    inv_pivot[k] = 1.0 / u[k][k];
    for (std::size_t i = k + 1; i < kN; ++i) {
      const double m = u[i][k] * inv_pivot[k];
      l[i][k] = m;
      for (std::size_t c = 0; c < kN; ++c) u[i][c] = u[i][c] - m * u[k][c];
    }
  }
  // Row k of P is the unit row e_perm[k]: forward substitution with the unit
  // lower triangle, then back substitution with the upper one.
  for (std::size_t k = 0; k < kN; ++k) {
    for (std::size_t c = 0; c < kN; ++c) x[k][c] = perm[k] == c ? 1.0 : 0.0;
    for (std::size_t m = 0; m < k; ++m)
      for (std::size_t c = 0; c < kN; ++c) x[k][c] = x[k][c] - l[k][m] * x[m][c];
  }
  for (std::size_t k = kN; k-- > 0;) {
    for (std::size_t m = k + 1; m < kN; ++m)
      for (std::size_t c = 0; c < kN; ++c) x[k][c] = x[k][c] - u[k][m] * x[m][c];
    for (std::size_t c = 0; c < kN; ++c) x[k][c] = x[k][c] * inv_pivot[k];
  }
  return true;
}

}  // namespace

bool certified_solve(const Mat6RowMajor& j_values, const Vec6& r, double sigma_floor, Vec6& x) {
  double j[kN][kN];
  for (std::size_t i = 0; i < kN; ++i)
    for (std::size_t c = 0; c < kN; ++c) j[i][c] = j_values[kN * i + c];

  // Cheap exits first: non-finite or absurdly scaled input never gets as far
  // as the factorisation.
  const double n_j = frobenius(j);
  if (!(n_j >= kNormMin && n_j <= kNormMax)) return false;

  double inv[kN][kN];
  if (!lu_inverse(j, inv)) return false;
  const double n_x = frobenius(inv);
  if (!(n_x >= kNormMin && n_x <= kNormMax)) return false;

  // R = I - X J, each entry of X J summed over k = 0..5 in order.
  double residual[kN][kN];
  for (std::size_t i = 0; i < kN; ++i) {
    double p[kN];
    for (std::size_t c = 0; c < kN; ++c) p[c] = inv[i][0] * j[0][c];
    for (std::size_t k = 1; k < kN; ++k)
      for (std::size_t c = 0; c < kN; ++c) p[c] = p[c] + inv[i][k] * j[k][c];
    for (std::size_t c = 0; c < kN; ++c) residual[i][c] = (i == c ? 1.0 : 0.0) - p[c];
  }
  const double n_r = frobenius(residual);

  const double beta = (n_r * kSlack + 8.0 * kU * n_x * n_j * kSlack) * kSlack + kTiny;
  if (!(beta <= kMaxResidual)) return false;
  const double lower = (1.0 - beta) / (n_x * kSlack);
  if (!(lower > sigma_floor * (1.0 + 0x1p-10))) return false;

  for (std::size_t i = 0; i < kN; ++i) {
    double sum = inv[i][0] * r[0];
    for (std::size_t k = 1; k < kN; ++k) sum = sum + inv[i][k] * r[k];
    x[i] = sum;
  }
  return true;
}

}  // namespace zandrel
