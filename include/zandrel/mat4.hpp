// 4x4 double matrices and 3-vectors with a fixed order of every sum, so that
// results are identical on every compiler and CPU. All of the library's
// arithmetic is compiled inside it, without fused multiply-adds or
// reassociation, and none in your files: build them with any code-generation
// flags (-march=native, -ffp-contract=fast) and its results keep their bits.
// What it cannot control is the floating-point environment it runs in: keep
// the default rounding mode, and do not link with -ffast-math, whose startup
// code flushes subnormal numbers to zero for the whole program.
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
Mat4 multiply(const Mat4& a, const Mat4& b);

// The first three components of m * (p, 1).
Vec3 transform_point(const Mat4& m, const Vec3& p);

// General inverse: the adjugate times the reciprocal of the determinant.
// Empty exactly when the determinant is zero (of either sign); a NaN
// determinant yields a NaN inverse rather than a failure.
std::optional<Mat4> inverse(const Mat4& m);

}  // namespace zandrel
