// The arrays the engine's binding takes and returns: float64, C-contiguous,
// of the shapes named, and new arrays that NumPy owns.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <span>

#include "zandrel/mat4.hpp"

namespace zandrel::engine {

namespace nb = nanobind;

using Poses = nb::ndarray<const double, nb::numpy, nb::shape<-1, 4, 4>, nb::c_contig, nb::device::cpu>;
using Pose = nb::ndarray<const double, nb::numpy, nb::shape<4, 4>, nb::c_contig, nb::device::cpu>;
using Points = nb::ndarray<const double, nb::numpy, nb::shape<-1, 3>, nb::c_contig, nb::device::cpu>;
using Values = nb::ndarray<const double, nb::numpy, nb::shape<-1>, nb::c_contig, nb::device::cpu>;
using Angles = nb::ndarray<const double, nb::numpy, nb::shape<6>, nb::c_contig, nb::device::cpu>;
using AngleRows = nb::ndarray<const double, nb::numpy, nb::shape<-1, 6>, nb::c_contig, nb::device::cpu>;
using Vector3 = nb::ndarray<const double, nb::numpy, nb::shape<3>, nb::c_contig, nb::device::cpu>;
using Out = nb::ndarray<nb::numpy, double, nb::shape<-1>>;
using OutAny = nb::ndarray<nb::numpy, double>;

inline Mat4 pose_at(const double* rows) { return Mat4::from_rows(rows); }

// A new array of `count` doubles that NumPy frees, shaped as asked. Plain
// operator new: new double[n] would pull in a libstdc++ symbol
// (bad_array_new_length) newer than the oldest glibc systems the wheels
// serve have.
inline OutAny new_array(std::initializer_list<std::size_t> shape, double*& data) {
  std::size_t count = 1;
  for (std::size_t n : shape) count *= n;
  data = static_cast<double*>(::operator new((count ? count : 1) * sizeof(double)));
  nb::capsule owner(data, [](void* p) noexcept { ::operator delete(p); });
  return OutAny(data, shape.size(), shape.begin(), owner);
}

inline void write_rows(const Mat4& m, double* out) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) out[4 * r + c] = m(r, c);
}

inline OutAny pose_array(const Mat4& m) {
  double* data;
  OutAny out = new_array({4, 4}, data);
  write_rows(m, data);
  return out;
}

inline OutAny values_array(std::span<const double> values) {
  double* data;
  OutAny out = new_array({values.size()}, data);
  std::copy(values.begin(), values.end(), data);
  return out;
}

}  // namespace zandrel::engine
