// The servo reading of a leg angle, to the bit as the typed layer computes
// it with NumPy: direction * (theta - zero), wrapped into (-pi, pi] as
// pi - mod(pi - x, 2 pi) with a floored modulo.
#pragma once

#include <cmath>

namespace zandrel {

inline double servo_reading(double theta, double zero, double direction) {
  constexpr double kPi = 3.141592653589793;
  constexpr double kTwoPi = 2.0 * kPi;
  const double x = kPi - direction * (theta - zero);
  double m = std::fmod(x, kTwoPi);
  if (m != 0.0) {
    if (m < 0.0) m += kTwoPi;
  } else {
    m = 0.0;
  }
  return kPi - m;
}

}  // namespace zandrel
