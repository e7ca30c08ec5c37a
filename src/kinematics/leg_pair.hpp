// Two legs side by side, one per lane of a two-double vector (SSE2 on x86-64,
// NEON on AArch64). Each lane operation is the IEEE operation the scalar code
// would perform, in the same order, so every lane yields exactly the scalar
// result; pairing only halves the instruction count and lets two legs'
// dependency chains run at once.
#pragma once

#include <cmath>

namespace zandrel {

using LegPair = double __attribute__((vector_size(2 * sizeof(double))));

// The correctly rounded square root of each lane (a NaN for a negative lane).
inline LegPair lane_sqrt(LegPair x) { return LegPair{std::sqrt(x[0]), std::sqrt(x[1])}; }

}  // namespace zandrel
