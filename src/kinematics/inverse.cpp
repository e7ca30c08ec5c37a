#include "zandrel/inverse.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "leg_pair.hpp"
#include "mat4_inline.hpp"
#include "zandrel/fatal.hpp"

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
constexpr double kPi = 3.141592653589793;

double wrap_angle(double phi) {
  const double turns = std::floor((phi + 3.141592653589793) * 0.15915494309189535);
  return phi + (turns * -6.283185307179586);
}

// u and v are sums of terms no larger than a few times a^2 + b^2 for any
// anchor within reach. Where both are this small against that, rounding
// decides their ratio; elsewhere the half-angle angle is accurate to about
// 1e-16 / kCancellation radians, so the rod closes to well within 1e-9 of
// its length.
constexpr double kCancellation = 1e-6;

// Constants of a pair of legs, one per lane, from their horn lengths a and
// rod lengths b: each lane's are the scalar expressions of its own leg.
struct LegConstants {
  LegPair a, A, B, A2, B2, C;
  LegPair cancelled;  // |u| and |v| at or below this: the half-angle form cancels
  LegConstants(LegPair a_, LegPair b)
      : a(a_), A(a_ * a_), B(b * b), A2(A * A), B2(B * B), C((B + B) * A),
        cancelled(kCancellation * (A + B)) {}
  LegConstants(const Kinematics& model, std::size_t leg0, std::size_t leg1)
      : LegConstants(LegPair{model.horn_of(leg0), model.horn_of(leg1)},
                     LegPair{model.rod_of(leg0), model.rod_of(leg1)}) {}
};

// One leg per lane: its anchor in its motor frame, rows 0..2 of
// M = t_motor_world * t (row 3 is never read) applied to the anchor. M is
// formed first and only then applied; regrouping as Minv * (T * p) changes
// the rounding.
inline void anchor_in_motor_frame(const LegPair (&t_motor_world)[3][4], const Mat4& t,
                                  const LegPair (&p)[3], LegPair (&q)[3]) {
  for (int r = 0; r < 3; ++r) {
    LegPair m[4];
    for (int c = 0; c < 4; ++c)
      m[c] = ((t_motor_world[r][0] * t(0, c) + t_motor_world[r][1] * t(1, c)) +
              t_motor_world[r][2] * t(2, c)) +
             t_motor_world[r][3] * t(3, c);
    q[r] = ((m[0] * p[0] + m[1] * p[1]) + m[2] * p[2]) + m[3];
  }
}

// 4a^2(x^2 + y^2) - K^2 in expanded form from X = x^2, Y = y^2, Z = z^2,
// summed strictly left to right. The expanded order decides the sign of D at
// the edge of the workspace (and with it which legs come out NaN); never use
// the factored form.
inline LegPair radicand(LegPair X, LegPair Y, LegPair Z, const LegConstants& k) {
  const LegPair A = k.A, B = k.B;
  const LegPair X2 = X + X;
  const LegPair Y2 = Y + Y;
  const LegPair Z2 = Z + Z;
  LegPair D = -(X * X);
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
  D = D - k.B2;
  D = D + k.C;
  D = D - k.A2;
  return D;
}

// One leg per lane, up to its atan2: the angle is 2 atan2(v, u).
inline void atan2_arguments(const LegPair (&t_motor_world)[3][4], const Mat4& t,
                            const LegPair (&p)[3], LegPair solution, const LegConstants& k,
                            LegPair& v, LegPair& u) {
  LegPair q[3];
  anchor_in_motor_frame(t_motor_world, t, p, q);
  const LegPair x = q[0], y = q[1], z = q[2];
  const LegPair X = x * x;
  const LegPair Y = y * y;
  const LegPair Z = z * z;
  u = (((((x + x) * k.a + X) + Y) + Z) - k.B) + k.A;
  // An anchor out of reach gives D < 0, a NaN root and a NaN angle for this
  // leg only; that is how "unreachable" is reported.
  v = solution * lane_sqrt(radicand(X, Y, Z, k)) + (y + y) * k.a;
}

// The horn's two closing angles are symmetric about the anchor's direction
// phi = atan2(y, x) in the horn plane, each acos(K / 2aR) away from it. The
// half-angle form above reaches them through tan(theta / 2) = v / u, which is
// 0 / 0 where the other root lies at +-pi: u and v then cancel to rounding
// noise and their atan2 can be off by a large fraction of a turn. There the
// angle is phi + solution * atan2(sqrt(D), K), which does not cancel. Only
// for solution +-1: another value scales the root term, which has no such
// geometric form.
// Returns the angle from the half-angle form when `solution` is not +-1.
[[gnu::noinline, gnu::cold]] double angle_without_cancellation(const Kinematics& model,
                                                               std::size_t leg, const Mat4& t,
                                                               double half_angle_form) {
  const Branch& branch = model.branches[leg];
  if (branch.solution != 1.0 && branch.solution != -1.0) return half_angle_form;
  const LegConstants k(model, leg, leg);
  const Mat4& m = *branch.t_motor_world;
  LegPair t_motor_world[3][4], p[3], q[3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) t_motor_world[r][c] = LegPair{m(r, c), m(r, c)};
  for (int i = 0; i < 3; ++i) p[i] = LegPair{branch.branch_platform[i], branch.branch_platform[i]};
  anchor_in_motor_frame(t_motor_world, t, p, q);
  const LegPair X = q[0] * q[0], Y = q[1] * q[1], Z = q[2] * q[2];
  const double K = (((X[0] + Y[0]) + Z[0]) - k.B[0]) + k.A[0];
  const double root = std::sqrt(radicand(X, Y, Z, k)[0]);
  const double x = q[0][0], y = q[1][0];
  // The sum lies anywhere in [-2pi, 2pi], so unlike the doubled half-angle
  // it can fall within rounding of an end of the wrap, where wrap_angle may
  // return a double just outside [-pi, pi): that is -pi.
  const double theta = wrap_angle(std::atan2(y, x) + branch.solution * std::atan2(root, K));
  return theta >= kPi || theta < -kPi ? -kPi : theta;  // NaN stays NaN
}

// Out of line and cold: the message is built only on the way out, and the
// solver's loop stays as small as it was.
[[noreturn, gnu::cold, gnu::noinline]] void throw_singular_motor(const Kinematics& model) {
  std::size_t leg = 0;
  while (model.branches[leg].t_motor_world) ++leg;
  throw FatalError(FatalKind::singular_matrix,
                   "inverse_kinematics: leg " + std::to_string(leg) +
                       "'s t_world_motor is singular (determinant exactly zero)");
}

// Legs solved per block: their atan2 arguments first, then their angles.
constexpr std::size_t kBlock = 8;

}  // namespace

void inverse_kinematics(const Kinematics& model, const Mat4& t_world_platform,
                        std::optional<double> body_yaw, std::span<double> out) {
  if (out.size() != model.branches.size())
    throw std::invalid_argument("inverse_kinematics: output size differs from branch count");

  // A singular motor pose ends the call with no angle returned, so failing
  // before any leg is solved is indistinguishable from failing on reaching it.
  for (const Branch& branch : model.branches)
    if (!branch.t_motor_world) throw_singular_motor(model);

  Mat4 t = t_world_platform;
  if (body_yaw) t = inline_multiply(body_yaw_prerotation(*body_yaw), t);

  // Legs are independent. For a block of legs the atan2 arguments are formed
  // first, two legs at a time, and the angles after, so that the long
  // dependency chains of neighbouring legs overlap instead of queueing.
  const std::size_t n = model.branches.size();
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t count = std::min(kBlock, n - first);
    double u[kBlock], v[kBlock], cancelled[kBlock];
    for (std::size_t j = 0; j < count; j += 2) {
      // An odd leg out shares its pair with itself.
      const Branch& b0 = model.branches[first + j];
      const Branch& b1 = model.branches[first + std::min(j + 1, count - 1)];
      const Mat4& m0 = *b0.t_motor_world;
      const Mat4& m1 = *b1.t_motor_world;
      LegPair t_motor_world[3][4], p[3], v2, u2;
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) t_motor_world[r][c] = LegPair{m0(r, c), m1(r, c)};
      for (int i = 0; i < 3; ++i) p[i] = LegPair{b0.branch_platform[i], b1.branch_platform[i]};
      const LegConstants k(model, first + j, first + std::min(j + 1, count - 1));
      atan2_arguments(t_motor_world, t, p, LegPair{b0.solution, b1.solution}, k, v2, u2);
      v[j] = v2[0];
      u[j] = u2[0];
      cancelled[j] = k.cancelled[0];
      if (j + 1 < count) {
        v[j + 1] = v2[1];
        u[j + 1] = u2[1];
        cancelled[j + 1] = k.cancelled[1];
      }
    }
    for (std::size_t j = 0; j < count; ++j) {
      const double h = std::atan2(v[j], u[j]);
      out[first + j] = wrap_angle(h + h);
    }
    // Rarely, a leg whose half-angle arguments cancelled. A NaN (out of
    // reach) fails the comparisons and stays NaN. Apart from the loop above,
    // so that nothing the rare path needs stays live across its atan2 calls.
    for (std::size_t j = 0; j < count; ++j)
      if (std::fabs(u[j]) <= cancelled[j] && std::fabs(v[j]) <= cancelled[j]) [[unlikely]]
        out[first + j] = angle_without_cancellation(model, first + j, t, out[first + j]);
  }
}

}  // namespace zandrel
