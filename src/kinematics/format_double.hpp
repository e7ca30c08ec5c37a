// Numbers in fatal-error messages, written the way their readers expect.
#pragma once

#include <string>

namespace zandrel {

// Shortest round-trip text of x: plain decimal with at least one digit after
// the point for zero and 1e-4 <= |x| < 1e16, exponent form otherwise
// ("1e-5", "1e16"); "NaN", "inf", "-inf".
std::string format_double(double x);

}  // namespace zandrel
