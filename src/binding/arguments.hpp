// Binding of positional and keyword arguments to an entry's parameters, with
// the interpreter-style TypeError messages callers see.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "binding/signature.hpp"

namespace zandrel::binding {

// What the binder needs of a signature, with `owner` naming the class in
// messages ("ZandrelRustKinematics.add_branch() ...").
struct Parameters {
  const char* owner;
  const char* name;
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;
};

bool bind_vector(const Parameters& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out);
bool bind_tuple(const Parameters& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// One borrowed reference per parameter, nullptr for one not given; the array
// is sized by the signature, so no entry can bind into too small a buffer.
template <class Sig>
using Bound = std::array<PyObject*, Sig::count>;

template <class Sig>
Parameters parameters_of(const char* owner, const Sig& sig) {
  return {owner, sig.name, sig.names.data(), static_cast<Py_ssize_t>(Sig::count),
          static_cast<Py_ssize_t>(Sig::required)};
}

// Fill `out`. Return false with a TypeError set when the call does not fit.
template <class Sig>
bool bind_vector(const char* owner, const Sig& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, Bound<Sig>& out) {
  return bind_vector(parameters_of(owner, sig), args, nargs, kwnames, out.data());
}

template <class Sig>
bool bind_tuple(const char* owner, const Sig& sig, PyObject* args, PyObject* kwargs,
                Bound<Sig>& out) {
  return bind_tuple(parameters_of(owner, sig), args, kwargs, out.data());
}

}  // namespace zandrel::binding
