#include "zandrel/inverse_safe.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "format_double.hpp"
#include "zandrel/fatal.hpp"
#include "zandrel/inverse.hpp"

namespace zandrel {

namespace {

// NaN passes through unchanged, and so does the sign of a zero v.
double clamp(double v, double lo, double hi) {
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  return v;
}

[[noreturn, gnu::cold, gnu::noinline]] void throw_invalid_limit(const char* name, double m) {
  throw FatalError(FatalKind::invalid_yaw_limit,
                   std::string("inverse_kinematics_safe: ") + name +
                       " must be zero or positive, got " + format_double(m),
                   m);
}

// A limit is a half-width: -m <= m fails exactly for negative and NaN m,
// while -0.0 passes and behaves as a zero band.
void validate_limit(const char* name, double m) {
  if (!(-m <= m)) throw_invalid_limit(name, m);
}

}  // namespace

double inverse_kinematics_safe(const Kinematics& model, const Mat4& t_world_platform,
                               std::optional<double> body_yaw,
                               std::optional<double> max_relative_yaw,
                               std::optional<double> max_body_yaw,
                               std::span<double> angles_out) {
  if (angles_out.size() != model.branches.size())
    throw std::invalid_argument(
        "inverse_kinematics_safe: output size differs from branch count");

  double yaw = 0.0;  // no yaw requested: +0.0 and the limits are not looked at
  if (body_yaw) {
    // The limits work on the negated yaw; that form (not the simplified
    // clamp(y - psi) + psi) is what decides the sign of a zero result.
    double w = -*body_yaw;
    if (max_relative_yaw) {
      const double m = *max_relative_yaw;
      const double heading = std::atan2(t_world_platform(0, 1), t_world_platform(0, 0));
      validate_limit("max_relative_yaw", m);
      // Deliberately not wrapped into a 2pi range.
      w = clamp(w - heading, -m, m) + heading;
    }
    if (max_body_yaw) {
      const double m = *max_body_yaw;
      validate_limit("max_body_yaw", m);
      w = clamp(w, -m, m);
    }
    yaw = -w;
  }

  inverse_kinematics(model, t_world_platform, yaw, angles_out);
  return yaw;
}

}  // namespace zandrel
