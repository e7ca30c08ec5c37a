// libFuzzer target for the kinematics core. The input decodes into a model
// (lengths, up to eight legs of any values) and a run of up to 24 calls of
// the four operations in any order, all under the model lock as the module
// runs them. Beyond the sanitizers it checks what holds for any input: only
// the known fatal errors, a yaw-limit error only for a limit that is negative
// or NaN, a poisoned lock after one, every angle NaN or in
// [-pi, pi), and a forward step that is taken only when it lowers the
// residual norm.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>
#include <vector>

#include "zandrel/fatal.hpp"
#include "kinematics/forward_step.hpp"
#include "zandrel/inverse.hpp"
#include "zandrel/inverse_safe.hpp"
#include "kinematics/model_lock.hpp"

using namespace zandrel;

namespace {

// A failed check aborts: libFuzzer then reports it with its input.
#define REQUIRE(cond) \
  ((cond) ? void() : (std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__), std::abort()))

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSpecial[] = {0.0,  -0.0,     1.0,      -1.0,    kNaN,     -kNaN,   kInf,
                               -kInf, 4.9e-324, DBL_MIN, DBL_MAX, -DBL_MAX, 1e-7,    0x1p-401,
                               0x1p401, std::numbers::pi, -std::numbers::pi, -4.9e-324};

double any_double(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.PickValueInArray(kSpecial);
    case 1: return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    case 2: return in.ConsumeIntegralInRange(-512, 512) / 128.0;
    default: return in.ConsumeFloatingPointInRange(-0.2, 0.2);
  }
}

std::optional<double> maybe(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? std::nullopt : std::optional(any_double(in));
}

// A rigid pose near the rig's home (translation, then yaw, pitch, roll), or
// sixteen doubles of any kind.
Mat4 any_pose(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) {
    Mat4 m;
    for (double& x : m.v) x = any_double(in);
    return m;
  }
  double p[6];
  for (double& x : p) x = in.ConsumeFloatingPointInRange(-0.3, 0.3);
  const double cy = std::cos(p[3]), sy = std::sin(p[3]), cp = std::cos(p[4]),
               sp = std::sin(p[4]), cr = std::cos(p[5]), sr = std::sin(p[5]);
  const double rows[16] = {cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr, p[0] * 0.1,
                           sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr, p[1] * 0.1,
                           -sp,     cp * sr,                cp * cr,                p[2] * 0.1,
                           0.0,     0.0,                    0.0,                    1.0};
  return Mat4::from_rows(rows);
}

// Leg k of a six-legged rig whose home is near the identity: motors on a
// circle, horns swinging in the tangential plane, anchors 20 degrees aside.
void add_rig_leg(Kinematics& model, int k, double solution) {
  const double alpha = k * std::numbers::pi / 3.0, side = k % 2 == 0 ? 1.0 : -1.0;
  const double c = std::cos(alpha), s = std::sin(alpha);
  const double rows[16] = {-side * s, 0.0, side * c, 0.05 * c,  //
                           side * c,  0.0, side * s, 0.05 * s,  //
                           0.0,       1.0, 0.0,      -0.075,    //
                           0.0,       0.0, 0.0,      1.0};
  const double beta = alpha + side * 0.35;
  model.add_branch({0.045 * std::cos(beta), 0.045 * std::sin(beta), 0.0}, Mat4::from_rows(rows),
                   solution);
}

void add_any_leg(FuzzedDataProvider& in, Kinematics& model, int k) {
  if (in.ConsumeBool()) return add_rig_leg(model, k % 6, in.ConsumeBool() ? -1.0 : any_double(in));
  // One draw per statement: the order of function arguments is unspecified.
  const Vec3 anchor{any_double(in), any_double(in), any_double(in)};
  const Mat4 t_world_motor = any_pose(in);
  model.add_branch(anchor, t_world_motor, any_double(in));
}

double residual_norm(const Vec6& r) {
  double sum = r[0] * r[0];
  for (std::size_t k = 1; k < 6; ++k) sum = sum + r[k] * r[k];
  return std::sqrt(sum);
}

bool same_bits(const Mat4& a, const Mat4& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Angles lie in [-pi, pi), but for the documented end of the wrap: a doubled
// half-angle one rounding step below pi lands one step below -pi.
void check_angles(const std::vector<double>& angles, std::size_t first) {
  const double lowest = std::nextafter(-std::numbers::pi, -4.0);
  for (std::size_t i = first; i < angles.size(); ++i)
    REQUIRE(std::isnan(angles[i]) || (angles[i] >= lowest && angles[i] < std::numbers::pi));
}

void forward_checked(Kinematics& model, const JointAngles& q, std::optional<double> yaw) {
  // step_system raises exactly the fatal errors forward_kinematics raises.
  const double rho = residual_norm(step_system(model, q).residuals);
  const Mat4 before = model.fk_pose;
  const Mat4 out = forward_kinematics(model, q, yaw);
  if (!yaw) REQUIRE(same_bits(out, model.fk_pose));
  if (!same_bits(before, model.fk_pose)) {
    REQUIRE(rho > 1e-6);
    REQUIRE(residual_norm(step_system(model, q).residuals) < rho);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool rig = in.ConsumeBool();
  const double motor_arm_length = rig ? 0.04 : any_double(in);
  Kinematics model(motor_arm_length, rig ? 0.085 : any_double(in));
  if (in.ConsumeBool()) model.fk_line_search_trials = in.ConsumeIntegralInRange(0, 80);
  const int legs = rig ? 6 : in.ConsumeIntegralInRange(0, 8);
  for (int k = 0; k < legs; ++k) add_any_leg(in, model, k);

  ModelLock lock;
  bool poisoned = false;
  JointAngles last{};  // the latest six angles from an inverse call: a reachable target
  for (int call = in.ConsumeIntegralInRange(1, 24); call > 0 && in.remaining_bytes() > 0; --call) {
    const int op = in.ConsumeIntegralInRange(0, 4);
    const Mat4 pose = any_pose(in);
    const std::optional<double> yaw = maybe(in), limit_rel = maybe(in), limit_abs = maybe(in);
    JointAngles q = last;
    if (in.ConsumeBool())
      for (double& x : q) x = any_double(in);
    try {
      lock.run(model, [&](Kinematics& m) {
        std::vector<double> out(m.branches.size() + (op == 1));
        switch (op) {
          case 0:
            inverse_kinematics(m, pose, yaw, out);
            check_angles(out, 0);
            break;
          case 1:
            out[0] = inverse_kinematics_safe(m, pose, yaw, limit_rel, limit_abs,
                                             std::span(out).subspan(1));
            check_angles(out, 1);
            if (!yaw) REQUIRE(std::bit_cast<std::uint64_t>(out[0]) == 0);
            if (yaw && limit_abs && !std::isnan(out[0])) REQUIRE(std::fabs(out[0]) <= *limit_abs);
            break;
          case 2: forward_checked(m, q, yaw); break;
          case 3: reset_forward_kinematics(m, pose); break;
          default: add_any_leg(in, m, static_cast<int>(m.branches.size())); break;
        }
        if (op < 2 && out.size() == 6u + op) std::copy(out.end() - 6, out.end(), last.begin());
      });
      REQUIRE(!poisoned);
    } catch (const FatalError& e) {
      REQUIRE(!poisoned);
      REQUIRE(e.kind() == FatalKind::singular_matrix || e.kind() == FatalKind::leg_count ||
              e.kind() == FatalKind::invalid_yaw_limit);
      REQUIRE(e.kind() != FatalKind::invalid_yaw_limit || !(-e.yaw_limit() <= e.yaw_limit()));
      poisoned = true;
    } catch (const PoisonedModelError&) {
      REQUIRE(poisoned);
    }
  }
  return 0;
}
