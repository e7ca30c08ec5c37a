// Readable test names and failure messages for pose parameters. Every test
// file that compares or prints a Mat4 must include this: a file that does not
// would instantiate GoogleTest's byte-dump printer for the same type, and
// which of the two the linker keeps depends on the build.
#pragma once

#include <ostream>

#include "zandrel/mat4.hpp"

namespace zandrel {

inline void PrintTo(const Mat4& m, std::ostream* os) {
  *os << "[";
  for (int r = 0; r < 4; ++r) {
    *os << (r ? "; " : "");
    for (int c = 0; c < 4; ++c) *os << (c ? " " : "") << m(r, c);
  }
  *os << "]";
}

}  // namespace zandrel
