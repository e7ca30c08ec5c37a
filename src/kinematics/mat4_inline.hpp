// The 4x4 products, inline, for the library's own hot paths (forward and
// inverse kinematics call them per leg and per trial step).
//
// Internal on purpose. The public zandrel::multiply and transform_point are
// these same loops compiled once, out of line, in mat4.cpp: an inline
// function in a public header would be compiled again in every user's file
// with that file's flags (-march=haswell, -ffp-contract=fast bring fused
// multiply-adds), and the linker keeps a single copy of it for the whole
// program, possibly the user's, so the library's own results would depend
// on someone else's flags and on the link order. This header is only ever
// compiled in this tree, where every file is built with -ffp-contract=off
// -fno-fast-math (CMakeLists.txt), so each copy of these is the same code.
#pragma once

#include "zandrel/mat4.hpp"

namespace zandrel {

// a * b, each element summed over k = 0..3 in that order.
inline Mat4 inline_multiply(const Mat4& a, const Mat4& b) {
  Mat4 out;
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r)
      out(r, c) = ((a(r, 0) * b(0, c) + a(r, 1) * b(1, c)) + a(r, 2) * b(2, c)) +
                  a(r, 3) * b(3, c);
  return out;
}

// The first three components of m * (p, 1).
inline Vec3 inline_transform_point(const Mat4& m, const Vec3& p) {
  Vec3 out;
  for (int r = 0; r < 3; ++r)
    out[r] = ((m(r, 0) * p[0] + m(r, 1) * p[1]) + m(r, 2) * p[2]) + m(r, 3);
  return out;
}

}  // namespace zandrel
