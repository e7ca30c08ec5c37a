// Translation of native failures into Python exceptions, and the guard that
// keeps every C++ exception from crossing into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "kinematics/model_lock.hpp"
#include "zandrel/fatal.hpp"

namespace zandrel::binding {

// Sets a pending PanicException ("pyo3_runtime.PanicException", derived from
// BaseException) whose single argument is `message`. The type is created on
// first use and kept for the life of the process.
void set_panic(const char* message);

// The module's two kinds of panic. Each sets a pending PanicException with
// the text the module has always raised for it (callers compare it), and
// writes one diagnostic line on stderr with the C++ error's own description,
// which says what went wrong where.
void set_fatal_panic(const FatalError& e) noexcept;
void set_poisoned_panic(const PoisonedModelError& e) noexcept;

// Takes the pending exception (normalised; null if none) and re-raises one.
PyObject* take_exception();
void restore_exception(PyObject* exc);

// Runs an entry's body. FatalError, PoisonedModelError and any other C++
// exception become a PanicException; a null result without a pending
// exception becomes the SystemError the interpreter would report. Never
// throws.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (const FatalError& e) {
    set_fatal_panic(e);
    return nullptr;
  } catch (const PoisonedModelError& e) {
    set_poisoned_panic(e);
    return nullptr;
  } catch (const std::exception& e) {
    set_panic(*e.what() ? e.what() : nullptr);
    return nullptr;
  } catch (...) {
    set_panic(nullptr);
    return nullptr;
  }
  if (result == nullptr && !PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  return result;
}

}  // namespace zandrel::binding
