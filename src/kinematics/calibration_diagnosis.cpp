#include "calibration_diagnosis.hpp"

#include <cmath>

#include "calibration_leg.hpp"

namespace zandrel::calibration {

namespace {

constexpr double kSuspectRatio = 3.0;  // the alternative must explain the data this much better
constexpr double kNoiseMargin = 3.0;   // and the current fit must be this much worse than noise

bool suspected(double current, double alternative, double noise) {
  return alternative < current / kSuspectRatio && current > kNoiseMargin * noise;
}

double rms2(double a, double b) { return std::sqrt(0.5 * (a * a + b * b)); }

// The spread of the zeros leg `leg` implies with the readings of channel
// `channel` on the given side.
double spread_of(const CalibrationLeg& leg, std::span<const double> readings, std::span<const Mat4> poses,
                 std::size_t channel, double solution) {
  std::vector<double> zeros(poses.size());
  for (std::size_t n = 0; n < poses.size(); ++n)
    zeros[n] = closing_angle(leg, poses[n], solution) - leg.direction * readings[6 * n + channel];
  return circular_spread(zeros);
}

// The horn-angle spread pose noise alone would cause: the closure moved by
// the pose noise, divided by how fast the horn angle moves it, RMS over the
// samples.
double noise_spread(const CalibrationLeg& leg, std::span<const Mat4> poses, const CalibrationOptions& o) {
  double sum = 0.0;
  for (const Mat4& pose : poses) {
    const double theta = closing_angle(leg, pose, leg.solution);
    const Closure c = closure(leg, pose, theta);
    double var = 0.0;
    for (int k = 0; k < 6; ++k) {
      const double sd = (k < 3 ? o.position_noise : o.rotation_noise) * c.d_pose[k];
      var += sd * sd;
    }
    sum += var / (c.d_theta * c.d_theta);
  }
  return std::sqrt(sum / static_cast<double>(poses.size()));
}

}  // namespace

double circular_spread(std::span<const double> angles) noexcept {
  double c = 0.0, s = 0.0;
  for (double a : angles) {
    c += std::cos(a);
    s += std::sin(a);
  }
  const double r = std::sqrt(c * c + s * s) / static_cast<double>(angles.size());
  // Rounding can take r a hair above 1 for identical angles.
  return r >= 1.0 ? 0.0 : std::sqrt(-2.0 * std::log(r));
}

Diagnosis diagnose(std::span<const CalibrationLeg> nominal, std::span<const double> readings,
                   std::span<const Mat4> poses, const CalibrationOptions& options) {
  Diagnosis out;
  const std::size_t legs = nominal.size();
  for (std::size_t i = 0; i < legs; ++i) {
    const CalibrationLeg& leg = nominal[i];
    LegDiagnosis d{};
    d.spread = spread_of(leg, readings, poses, i, leg.solution);
    d.spread_other_side = spread_of(leg, readings, poses, i, -leg.solution);
    d.noise_spread = noise_spread(leg, poses, options);
    d.other_side_suspected = suspected(d.spread, d.spread_other_side, d.noise_spread);
    out.legs.push_back(d);
  }
  for (std::size_t i = 0; i < legs; ++i)
    for (std::size_t j = i + 1; j < legs; ++j) {
      const LegDiagnosis &a = out.legs[i], &b = out.legs[j];
      const double current = rms2(a.spread, b.spread);
      const double swapped = rms2(spread_of(nominal[i], readings, poses, j, nominal[i].solution),
                                  spread_of(nominal[j], readings, poses, i, nominal[j].solution));
      if (suspected(current, swapped, rms2(a.noise_spread, b.noise_spread)))
        out.swapped.push_back({i, j, current, swapped});
    }
  return out;
}

}  // namespace zandrel::calibration
