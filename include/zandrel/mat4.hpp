// 4x4 double matrices and 3-vectors with a fixed order of every sum, so that
// results are identical on every compiler and CPU. This holds only when
// compiled with -ffp-contract=off (no fused multiply-add) and without
// -ffast-math: the CMake target and the pkg-config file pass that flag to
// every translation unit that includes these headers.
//
// A pose is a homogeneous transform: rotation in the upper-left 3x3 block,
// translation in the last column, bottom row (0, 0, 0, 1) by convention
// (nothing checks it, or that the rotation is one). It is named t_<to>_<from>:
// t_world_motor maps motor coordinates to world coordinates. Lengths are in
// whatever unit the caller uses throughout; angles are radians.
#pragma once

#include <array>
#include <optional>

namespace zandrel {

using Vec3 = std::array<double, 3>;

// Column-major storage: element (r, c) is value number 4c + r.
struct Mat4 {
  std::array<double, 16> v{};

  double& operator()(int r, int c) { return v[4 * c + r]; }
  double operator()(int r, int c) const { return v[4 * c + r]; }

  static Mat4 identity() {
    Mat4 m;
    m(0, 0) = m(1, 1) = m(2, 2) = m(3, 3) = 1.0;
    return m;
  }

  // `rows` holds the matrix row by row, as Python passes it: rows[4r + c].
  static Mat4 from_rows(const double* rows) {
    Mat4 m;
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) m(r, c) = rows[4 * r + c];
    return m;
  }

  friend bool operator==(const Mat4&, const Mat4&) = default;
};

// a * b, each element summed over k = 0..3 in that order.
inline Mat4 multiply(const Mat4& a, const Mat4& b) {
  Mat4 out;
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r)
      out(r, c) = ((a(r, 0) * b(0, c) + a(r, 1) * b(1, c)) + a(r, 2) * b(2, c)) +
                  a(r, 3) * b(3, c);
  return out;
}

// The first three components of m * (p, 1).
inline Vec3 transform_point(const Mat4& m, const Vec3& p) {
  Vec3 out;
  for (int r = 0; r < 3; ++r)
    out[r] = ((m(r, 0) * p[0] + m(r, 1) * p[1]) + m(r, 2) * p[2]) + m(r, 3);
  return out;
}

// General inverse: the adjugate times the reciprocal of the determinant.
// Empty exactly when the determinant is zero (of either sign); a NaN
// determinant yields a NaN inverse rather than a failure.
std::optional<Mat4> inverse(const Mat4& m);

}  // namespace zandrel
