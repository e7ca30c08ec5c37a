// How fast the platform may travel along a straight path and still stop at
// its end: the largest squared path speed x(s) = (ds/dt)^2 from which the
// servos, within their limits, can bring it to rest at the end.
//
// On a grid s_0 < ... < s_n of the path, with the servo readings r(s) and
// their path derivatives r', r'' (finite differences), a servo's speed is
// r' ds/dt and its acceleration r' u + r'' x, with u = d2s/dt2 held constant
// over each grid interval (so x grows linearly there: x_{i+1} = x_i +
// 2 u (s_{i+1} - s_i)). Going backwards from rest at the end, each grid
// point's bound is the largest x for which some u keeps every servo within
// its limits and lands within the next point's bound: a linear program in
// (x, u) solved exactly by eliminating u. The limits are the servos' own
// times a margin, which leaves the follower room for the tick's own
// discretisation.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "zandrel/motion.hpp"

namespace zandrel {

struct SpeedProfile {
  std::vector<double> s;          // grid, increasing, s.front() == 0
  std::vector<double> x;          // largest (ds/dt)^2 at each grid point
  std::vector<double> readings;   // grid points x legs
  std::vector<double> slope;      // dr/ds at each grid point, grid points x legs
  std::vector<double> curve;      // d2r/ds2 at each grid point, grid points x legs
  // compute's scratch: one grid interval's bounds on d2s/dt2 as lines in x.
  struct Line {
    double a, b, c, d;
    bool valid;
  };
  std::vector<Line> lines;

  // Room for `points` grid points of `legs` legs, so that compute and the
  // grid's filling allocate nothing.
  void reserve(std::size_t points, std::size_t legs);

  // Fills x from s, readings and the limits (slope too).
  void compute(const MotionModel& model, std::size_t legs, double speed_margin, double acceleration_margin);
  // x interpolated linearly at s (0 beyond the grid).
  double bound(double at) const noexcept;
  // dr/ds of leg j, interpolated linearly.
  double slope_at(double at, std::size_t leg) const noexcept;
};

}  // namespace zandrel
