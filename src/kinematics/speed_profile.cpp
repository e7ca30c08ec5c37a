#include "speed_profile.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zandrel {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Index i with s[i] <= at < s[i + 1] (clamped to the grid).
std::size_t interval_of(const std::vector<double>& s, double at) {
  const auto it = std::upper_bound(s.begin(), s.end(), at);
  const std::size_t i = it == s.begin() ? 0 : static_cast<std::size_t>(it - s.begin()) - 1;
  return std::min(i, s.size() >= 2 ? s.size() - 2 : 0);
}

}  // namespace

void SpeedProfile::reserve(std::size_t points, std::size_t legs) {
  s.reserve(points);
  x.reserve(points);
  readings.reserve(points * legs);
  slope.reserve(points * legs);
  curve.reserve(points * legs);
  lines.reserve(2 * legs + 1);
}

void SpeedProfile::compute(const MotionModel& model, std::size_t legs, double speed_margin,
                           double acceleration_margin) {
  const std::size_t n = s.size();
  slope.assign(n * legs, 0.0);
  curve.assign(n * legs, 0.0);
  x.assign(n, 0.0);
  if (n < 2) return;
  for (std::size_t i = 0; i < n; ++i) {
    // One-sided at the ends, three-point (for an uneven grid) inside.
    const std::size_t lo = i == 0 ? 0 : i - 1, hi = i + 1 == n ? n - 1 : i + 1;
    for (std::size_t j = 0; j < legs; ++j) {
      const double r0 = readings[lo * legs + j], r1 = readings[i * legs + j], r2 = readings[hi * legs + j];
      if (n == 2) {
        slope[i * legs + j] = (r2 - r0) / (s[hi] - s[lo]);
      } else if (i == 0 || i + 1 == n) {
        // Second order at the ends too, from the end's two intervals: the
        // chord's slope alone is off by half the interval times the
        // curvature, and a path stops at its end, where the braking
        // leans on the slope.
        const std::size_t a = i == 0 ? 0 : n - 3;
        const double h0 = s[a + 1] - s[a], h1 = s[a + 2] - s[a + 1];
        const double d0 = (readings[(a + 1) * legs + j] - readings[a * legs + j]) / h0;
        const double d1 = (readings[(a + 2) * legs + j] - readings[(a + 1) * legs + j]) / h1;
        const double bend = (d1 - d0) / (h0 + h1);
        slope[i * legs + j] = i == 0 ? d0 - h0 * bend : d1 + h1 * bend;
      } else {
        const double h0 = s[i] - s[lo], h1 = s[hi] - s[i];
        const double d0 = (r1 - r0) / h0, d1 = (r2 - r1) / h1;
        slope[i * legs + j] = (d0 * h1 + d1 * h0) / (h0 + h1);
        curve[i * legs + j] = 2.0 * (d1 - d0) / (h0 + h1);
      }
    }
  }
  // The ends take their neighbour's curvature.
  for (std::size_t j = 0; j < legs; ++j) {
    curve[j] = n > 2 ? curve[legs + j] : 0.0;
    curve[(n - 1) * legs + j] = n > 2 ? curve[(n - 2) * legs + j] : 0.0;
  }

  x[n - 1] = 0.0;
  for (std::size_t i = n - 1; i-- > 0;) {
    const double step = s[i + 1] - s[i];
    double best = kInfinity;
    // Bounds on u as lines in x, u <= a + b x (upper) and u >= c + d x
    // (lower): number 0 lands within [0, x[i+1]]; numbers 1 + j and
    // 1 + legs + j keep leg j's acceleration within its limit A at both ends
    // of the interval, -A <= r' u + r'' x <= A, where at the far end x is
    // x + 2 u step (checking the near end alone lets a fast-turning reading
    // overrun within the interval). `valid` is false for no such pair. Each
    // line is worked out once per interval, before the pairs are compared.
    lines.clear();
    lines.push_back({x[i + 1] / (2.0 * step), -1.0 / (2.0 * step), 0.0, -1.0 / (2.0 * step), true});
    for (std::size_t k = 1; k <= 2 * legs; ++k) {
      const bool far = k > legs;
      const std::size_t j = far ? k - 1 - legs : k - 1, at = far ? i + 1 : i;
      const double d2 = curve[at * legs + j];
      const double d1 = slope[at * legs + j] + (far ? 2.0 * step * d2 : 0.0);
      const double a = model.servo(j).acceleration * acceleration_margin;
      if (!std::isfinite(a) || d1 == 0.0) {
        lines.push_back({0.0, 0.0, 0.0, 0.0, false});
        continue;
      }
      const double high = a / d1, low = -a / d1, tilt = -d2 / d1;
      lines.push_back(d1 > 0.0 ? Line{high, tilt, low, tilt, true} : Line{low, tilt, high, tilt, true});
    }
    for (std::size_t j = 0; j < legs; ++j) {
      const double d1 = slope[i * legs + j], d2 = curve[i * legs + j];
      const double v = model.servo(j).speed * speed_margin, a = model.servo(j).acceleration * acceleration_margin;
      if (d1 != 0.0) best = std::min(best, (v / d1) * (v / d1));
      if (d1 == 0.0 && d2 != 0.0 && std::isfinite(a)) best = std::min(best, a / std::fabs(d2));
    }
    // Some u exists exactly when every lower line lies below every upper
    // one: (d - b) x <= a - c for each pair.
    for (const Line& up : lines) {
      if (!up.valid) continue;
      for (const Line& low : lines) {
        if (!low.valid) continue;
        const double grow = low.d - up.b;
        if (grow > 0.0) best = std::min(best, std::max(0.0, (up.a - low.c) / grow));
      }
    }
    x[i] = best;
  }
}

double SpeedProfile::bound(double at) const noexcept {
  if (s.size() < 2 || at >= s.back()) return 0.0;
  const std::size_t i = interval_of(s, at);
  const double t = (at - s[i]) / (s[i + 1] - s[i]);
  // Infinite where no acceleration limit binds: the servos stop at once.
  if (!std::isfinite(x[i]) || !std::isfinite(x[i + 1])) return kInfinity;
  return x[i] + (x[i + 1] - x[i]) * t;
}

double SpeedProfile::slope_at(double at, std::size_t leg) const noexcept {
  if (s.size() < 2) return 0.0;
  const std::size_t legs = slope.size() / s.size();
  const std::size_t i = interval_of(s, std::min(at, s.back()));
  const double t = std::clamp((at - s[i]) / (s[i + 1] - s[i]), 0.0, 1.0);
  return slope[i * legs + leg] + (slope[(i + 1) * legs + leg] - slope[i * legs + leg]) * t;
}

}  // namespace zandrel
