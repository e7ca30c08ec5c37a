#include "straight_path.hpp"

#include <algorithm>
#include <cmath>

namespace zandrel {

namespace {

// Below this angle the series of sin(x)/x and (1 - cos x)/x^2 are exact to
// the last bit; near pi the log reads the axis from the symmetric part.
constexpr double kSmallAngle = 1e-6;
constexpr double kNearHalfTurn = 1e-3;
constexpr double kPi = 3.141592653589793;

Mat3 product(const Mat3& a, const Mat3& b) {
  Mat3 c{};
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) c[r][k] = (a[r][0] * b[0][k] + a[r][1] * b[1][k]) + a[r][2] * b[2][k];
  return c;
}

Mat3 transpose(const Mat3& a) {
  Mat3 t{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) t[r][c] = a[c][r];
  return t;
}

}  // namespace

Mat3 rotation_of(const Mat4& pose) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = pose(i, j);
  return r;
}

Mat3 rotation_exp(const Vec3& w) {
  const double theta2 = (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
  const double theta = std::sqrt(theta2);
  double a, b;  // sin(theta)/theta, (1 - cos(theta))/theta^2
  if (theta < kSmallAngle) {
    a = 1.0 - theta2 / 6.0;
    b = 0.5 - theta2 / 24.0;
  } else {
    a = std::sin(theta) / theta;
    b = (1.0 - std::cos(theta)) / theta2;
  }
  const double x = w[0], y = w[1], z = w[2];
  Mat3 r{};
  r[0][0] = 1.0 - b * (y * y + z * z);
  r[1][1] = 1.0 - b * (x * x + z * z);
  r[2][2] = 1.0 - b * (x * x + y * y);
  r[0][1] = b * x * y - a * z;
  r[1][0] = b * x * y + a * z;
  r[0][2] = b * x * z + a * y;
  r[2][0] = b * x * z - a * y;
  r[1][2] = b * y * z - a * x;
  r[2][1] = b * y * z + a * x;
  return r;
}

Vec3 rotation_log(const Mat3& r) {
  const double cosine = std::clamp(((r[0][0] + r[1][1]) + r[2][2] - 1.0) / 2.0, -1.0, 1.0);
  const double theta = std::acos(cosine);
  const Vec3 twice_sin_axis{r[2][1] - r[1][2], r[0][2] - r[2][0], r[1][0] - r[0][1]};
  if (theta < kSmallAngle)
    return {twice_sin_axis[0] / 2.0, twice_sin_axis[1] / 2.0, twice_sin_axis[2] / 2.0};
  if (theta < kPi - kNearHalfTurn) {
    const double k = theta / (2.0 * std::sin(theta));
    return {twice_sin_axis[0] * k, twice_sin_axis[1] * k, twice_sin_axis[2] * k};
  }
  // Near a half turn sin(theta) vanishes: the symmetric part is
  // cos(theta) I + (1 - cos(theta)) n n^T, whose largest diagonal column
  // gives the axis n well conditioned; the skew part gives its sign.
  int k = 0;
  for (int i = 1; i < 3; ++i)
    if (r[i][i] > r[k][k]) k = i;
  Vec3 n{};
  for (int i = 0; i < 3; ++i) n[i] = ((r[i][k] + r[k][i]) / 2.0 - (i == k ? cosine : 0.0)) / (1.0 - cosine);
  const double length = std::sqrt((n[0] * n[0] + n[1] * n[1]) + n[2] * n[2]);
  const double sign = (n[0] * twice_sin_axis[0] + n[1] * twice_sin_axis[1]) + n[2] * twice_sin_axis[2] < 0.0 ? -1.0 : 1.0;
  const double scale = sign * theta / length;
  return {n[0] * scale, n[1] * scale, n[2] * scale};
}

StraightPath::StraightPath(const Mat4& from, const Mat4& to)
    : from_(from), to_(to), r_from_(rotation_of(from)) {
  for (int i = 0; i < 3; ++i) delta_[i] = to(i, 3) - from(i, 3);
  turn_ = rotation_log(product(transpose(r_from_), rotation_of(to)));
}

Mat4 StraightPath::pose(double s) const {
  if (s <= 0.0) return from_;
  if (s >= 1.0) return to_;
  const Mat3 r = product(r_from_, rotation_exp({turn_[0] * s, turn_[1] * s, turn_[2] * s}));
  Mat4 m = Mat4::identity();
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m(i, j) = r[i][j];
    m(i, 3) = from_(i, 3) + delta_[i] * s;
  }
  return m;
}

}  // namespace zandrel
