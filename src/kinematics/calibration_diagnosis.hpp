// Assembly faults the fit itself cannot repair, found from the nominal
// geometry at the measured poses: a horn on the other solution side, two
// servo channels exchanged. (A horn a spline tooth off is just a zero the
// fit moves; the caller reads it from zero_shift.)
//
// The measure: at each measured pose, the horn angle that closes leg i is
// known in closed form; with reading r it implies zero = theta - direction
// r. Right readings on the right side imply nearly one zero for every
// sample; a wrong one implies zeros that wander with the pose. The spread
// is the circular standard deviation of the implied zeros.
//
// Decision rule: the alternative (other side, or a pair's readings
// exchanged) is suspected when its spread is below a third of the current
// one and the current one exceeds three times what the measurement noise
// alone would give. The second condition keeps a clean leg, whose spread is
// all noise, from being flagged because an alternative is a little less
// noisy by chance.
#pragma once

#include <span>
#include <vector>

#include "zandrel/calibration.hpp"

namespace zandrel::calibration {

struct Diagnosis {
  std::vector<LegDiagnosis> legs;  // zero_shift left at 0
  std::vector<SwappedPair> swapped;
};

Diagnosis diagnose(std::span<const CalibrationLeg> nominal, std::span<const double> readings,
                   std::span<const Mat4> poses, const CalibrationOptions& options);

// The circular standard deviation sqrt(-2 ln R) of angles, R the length of
// their mean unit vector.
double circular_spread(std::span<const double> angles) noexcept;

}  // namespace zandrel::calibration
