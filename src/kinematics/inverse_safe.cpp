#include "inverse_safe.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "fatal.hpp"
#include "inverse.hpp"

namespace zandrel {

namespace {

// NaN passes through unchanged, and so does the sign of a zero v.
double clamp(double v, double lo, double hi) {
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  return v;
}

// A limit is a half-width: -m <= m fails exactly for negative and NaN m,
// while -0.0 passes and behaves as a zero band.
void validate_limit(double m) {
  if (!(-m <= m))
    raise_fatal("min > max, or either was NaN. min = " + format_double(-m) +
                ", max = " + format_double(m));
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
      validate_limit(m);
      // Deliberately not wrapped into a 2pi range.
      w = clamp(w - heading, -m, m) + heading;
    }
    if (max_body_yaw) {
      const double m = *max_body_yaw;
      validate_limit(m);
      w = clamp(w, -m, m);
    }
    yaw = -w;
  }

  inverse_kinematics(model, t_world_platform, yaw, angles_out);
  return yaw;
}

std::string format_double(double x) {
  if (std::isnan(x)) return "NaN";
  std::string out = std::signbit(x) ? "-" : "";
  const double mag = std::fabs(x);
  if (std::isinf(mag)) return out + "inf";

  // Shortest round-trip digits in scientific form, e.g. "1.2345e+02", then
  // re-laid out in our own notation.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, mag, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char ch : sci.substr(0, e_pos))
    if (ch != '.') digits += ch;
  const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

  if (mag == 0.0 || (mag >= 1e-4 && mag < 1e16)) {
    // Plain decimal with at least one digit after the point.
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
      out.append("0.");
      out.append(static_cast<std::size_t>(-point), '0');
      out.append(digits);
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
      out.append(digits);
      out.append(static_cast<std::size_t>(point) - digits.size(), '0');
      out.append(".0");
    } else {
      out.append(digits, 0, static_cast<std::size_t>(point));
      out.push_back('.');
      out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
  }

  out.push_back(digits[0]);
  if (digits.size() > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  out.append(std::to_string(exponent));
  return out;
}

}  // namespace zandrel
