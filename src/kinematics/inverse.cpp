#include "inverse.hpp"

#include <cmath>
#include <stdexcept>

#include "fatal.hpp"

namespace zandrel {

namespace {

// Rz(-psi): the pre-rotation that expresses a world pose in the frame of a
// body yawed by psi. A zero yaw (of either sign) gives the exact identity
// without touching sin/cos, so its product with the pose is reproducible.
Mat4 body_yaw_prerotation(double psi) {
  Mat4 r = Mat4::identity();
  if (psi == 0.0) return r;  // NaN is not zero: it falls through to sin/cos
  const double s = std::sin(psi);
  const double c = std::cos(psi);
  r(0, 0) = c;
  r(0, 1) = s;
  r(1, 0) = -s;
  r(1, 1) = c;
  return r;
}

// Maps a doubled half-angle phi in [-2pi, 2pi] into [-pi, pi). The constants
// are chosen so that 2pi * (1/(2pi)) rounds to exactly 1.0: phi = pi lands on
// -pi and phi = +-2pi on 0.
double wrap_angle(double phi) {
  const double turns = std::floor((phi + 3.141592653589793) * 0.15915494309189535);
  return phi + (turns * -6.283185307179586);
}

}  // namespace

void inverse_kinematics(const Kinematics& model, const Mat4& t_world_platform,
                        std::optional<double> body_yaw, std::span<double> out) {
  if (out.size() != model.branches.size())
    throw std::invalid_argument("inverse_kinematics: output size differs from branch count");

  Mat4 t = t_world_platform;
  if (body_yaw) t = multiply(body_yaw_prerotation(*body_yaw), t);

  const double a = model.motor_arm_length;
  const double b = model.rod_length;
  const double A = a * a;
  const double B = b * b;
  const double A2 = A * A;
  const double B2 = B * B;
  const double C = (B + B) * A;

  for (std::size_t i = 0; i < model.branches.size(); ++i) {
    const Branch& branch = model.branches[i];
    if (!branch.t_motor_world) raise_fatal(kSingularMatrixMessage);

    // The platform pose in the motor frame is formed first and only then
    // applied to the anchor; regrouping as Minv * (T * p) changes the rounding.
    const Mat4 t_motor_platform = multiply(*branch.t_motor_world, t);
    const Vec3 q = transform_point(t_motor_platform, branch.branch_platform);
    const double x = q[0], y = q[1], z = q[2];

    const double X = x * x;
    const double Y = y * y;
    const double Z = z * z;
    const double X2 = X + X;
    const double Y2 = Y + Y;
    const double Z2 = Z + Z;

    const double u = (((((x + x) * a + X) + Y) + Z) - B) + A;

    // 4a^2(x^2 + y^2) - K^2 in expanded form, summed strictly left to right.
    // The expanded order decides the sign of D at the edge of the workspace
    // (and with it which legs come out NaN); never use the factored form.
    double D = -(X * X);
    D = D - X2 * Y;
    D = D - X2 * Z;
    D = D + X2 * B;
    D = D + X2 * A;
    D = D - Y * Y;
    D = D - Y2 * Z;
    D = D + Y2 * B;
    D = D + Y2 * A;
    D = D - Z * Z;
    D = D + Z2 * B;
    D = D - Z2 * A;
    D = D - B2;
    D = D + C;
    D = D - A2;

    // An anchor out of reach gives D < 0, a NaN root and a NaN angle for this
    // leg only; that is how "unreachable" is reported.
    const double v = branch.solution * std::sqrt(D) + (y + y) * a;
    const double h = std::atan2(v, u);
    out[i] = wrap_angle(h + h);
  }
}

}  // namespace zandrel
