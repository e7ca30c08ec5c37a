#include "arguments.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace zandrel::binding {
namespace {

bool too_many_positional(const Parameters& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.count)
    PyErr_Format(PyExc_TypeError, "%s.%s() takes %zd positional arguments but %zd %s given",
                 sig.owner, sig.name, sig.count, given, verb);
  else
    PyErr_Format(PyExc_TypeError, "%s.%s() takes from %zd to %zd positional arguments but %zd %s given",
                 sig.owner, sig.name, sig.required, sig.count, given, verb);
  return false;
}

// Binds one keyword argument; the name is compared byte for byte as UTF-8.
bool bind_keyword(const Parameters& sig, PyObject* name, PyObject* value, PyObject** out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    // A name with lone surrogates has no UTF-8 form, so it matches no
    // parameter: an unexpected keyword, reported as a TypeError like every
    // other binding failure rather than as the encoder's error.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
  }
  for (Py_ssize_t i = 0; text != nullptr && i < sig.count; ++i) {
    const char* param = sig.names[i];
    if (std::strlen(param) != static_cast<size_t>(size) || std::memcmp(param, text, size) != 0)
      continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'", sig.owner,
                   sig.name, param);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%U'", sig.owner,
               sig.name, name);
  return false;
}

// Names every required parameter still unbound: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
bool check_required(const Parameters& sig, Py_ssize_t positional, PyObject** out) {
  std::vector<const char*> missing;
  for (Py_ssize_t i = positional; i < sig.required; ++i)
    if (out[i] == nullptr) missing.push_back(sig.names[i]);
  if (missing.empty()) return true;
  const std::size_t n = missing.size();
  std::string names;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) names += n == 2 ? " and " : (i == n - 1 ? ", and " : ", ");
    names += '\'';
    names += missing[i];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s.%s() missing %zu required positional %s: %s", sig.owner,
               sig.name, n, n == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

}  // namespace

bool bind_vector(const Parameters& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out) {
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_required(sig, nargs, out);
}

bool bind_tuple(const Parameters& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < sig.count; ++i)
    out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value))
      if (!bind_keyword(sig, name, value, out)) return false;
  }
  return check_required(sig, nargs, out);
}

}  // namespace zandrel::binding
