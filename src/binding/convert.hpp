// Conversion of Python arguments into doubles and fixed-size arrays, and of
// results back into new lists of floats. Every conversion happens before the
// model lock is taken; each failure leaves exactly one exception pending.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "zandrel/mat4.hpp"

namespace zandrel::binding {

// A required number, a number-or-None, a sequence of exactly out.size()
// numbers, and a sequence of four rows of four numbers (row-major into
// rows[4r + c]). A TypeError is reworded "argument '<name>': <text>"; any
// other exception passes unchanged.
bool number_argument(PyObject* value, const char* name, double& out);
bool optional_argument(PyObject* value, const char* name, std::optional<double>& out);
bool sequence_argument(PyObject* value, const char* name, std::span<double> out);
bool matrix_argument(PyObject* value, const char* name, Mat4& out);

// The conversion for each C++ parameter type an entry may declare.
inline bool convert_argument(PyObject* value, const char* name, double& out) {
  return number_argument(value, name, out);
}
inline bool convert_argument(PyObject* value, const char* name, std::optional<double>& out) {
  return optional_argument(value, name, out);
}
template <std::size_t N>
bool convert_argument(PyObject* value, const char* name, std::array<double, N>& out) {
  return sequence_argument(value, name, out);
}
inline bool convert_argument(PyObject* value, const char* name, Mat4& out) {
  return matrix_argument(value, name, out);
}

// New list of floats / list of four lists of four floats, or null with a
// PanicException("Python API call failed") pending.
PyObject* float_list(std::span<const double> values);
PyObject* matrix_list(const Mat4& m);

}  // namespace zandrel::binding
