// The straight path between two poses: translation linear, rotation along the
// geodesic (a constant angular velocity about one axis), one parameter s in
// [0, 1] for both. Its ends are the two poses exactly.
#pragma once

#include <array>

#include "zandrel/mat4.hpp"

namespace zandrel {

using Mat3 = std::array<std::array<double, 3>, 3>;  // [row][column]

// exp([w]x): the rotation by |w| radians about w.
Mat3 rotation_exp(const Vec3& w);
// The rotation vector w with rotation_exp(w) == r, |w| in [0, pi]; r must be
// a rotation (a rigid transform's upper-left block).
Vec3 rotation_log(const Mat3& r);
Mat3 rotation_of(const Mat4& pose);

class StraightPath {
 public:
  StraightPath() = default;
  StraightPath(const Mat4& from, const Mat4& to);

  Mat4 pose(double s) const;
  const Mat4& from() const { return from_; }
  const Mat4& to() const { return to_; }

 private:
  Mat4 from_ = Mat4::identity();
  Mat4 to_ = Mat4::identity();
  Mat3 r_from_{};
  Vec3 delta_{};  // translation from `from` to `to`
  Vec3 turn_{};   // rotation vector from `from`'s orientation to `to`'s, in `from`'s frame
};

}  // namespace zandrel
