// Binding of positional and keyword arguments to an entry's parameters, with
// the interpreter-style TypeError messages callers see.
#pragma once

#include <Python.h>

#include <cstddef>

namespace zandrel::binding {

// Every parameter may be passed by position or by keyword; the first
// `required` parameters have no default.
struct Signature {
  const char* full_name;  // "ZandrelRustKinematics.add_branch()"
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;
};

inline constexpr Py_ssize_t kMaxParameters = 4;

// Fill out[0..count) with borrowed references, nullptr for a parameter not
// given. Return false with a TypeError set when the call does not fit.
bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out);
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace zandrel::binding
