// Solving a 6x6 system directly when a cheap test proves it safe.
//
// The forward-kinematics step is J+ r, where the pseudo-inverse counts every
// singular value of J at or below a floor as zero. When all six singular
// values are above the floor, J+ is simply the inverse of J, and an LU solve
// gives the same step up to rounding at a tenth of the cost of a singular
// value decomposition. certified_solve either proves that (rigorously, in
// floating point) and returns the solution, or declines; the caller then
// takes the decomposition route, which handles everything.
#pragma once

#include <array>

namespace zandrel {

using Mat6RowMajor = std::array<double, 36>;  // element (i, j) is value 6i + j
using Vec6 = std::array<double, 6>;

// Returns true, with x = an approximation of j^-1 r, only when it has proved
// that the smallest singular value of j is above sigma_floor (a positive,
// normal number). It also declines matrices whose condition exceeds about
// 2^20, so the relative error of x is below 2^-29 (and about
// cond(j) * 1e-16 in practice). Returns false, leaving x untouched, for
// anything else: near-singular or badly conditioned matrices, and any NaN or
// infinity in j. Never allocates.
bool certified_solve(const Mat6RowMajor& j, const Vec6& r, double sigma_floor, Vec6& x);

}  // namespace zandrel
