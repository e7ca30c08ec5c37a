#include "panic.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "binding/publish_once.hpp"
#include "kinematics/format_double.hpp"

namespace zandrel::binding {
namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when native code called from Python fails fatally.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

constexpr const char* kMessageWithoutText = "native code failed with a fatal error that carried no message";

// The panic texts the module has always raised, word for word: Python
// callers match on them. The C++ errors word things their own way.
constexpr const char* kSingularMatrixText = "called `Option::unwrap()` on a `None` value";
constexpr const char* kLegCountText = "Forward kinematics requires exactly 6 joint angles";
constexpr const char* kPoisonedText =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

std::string panic_text(const FatalError& e) {
  switch (e.kind()) {
    case FatalKind::singular_matrix: return kSingularMatrixText;
    case FatalKind::leg_count: return kLegCountText;
    case FatalKind::invalid_yaw_limit: {
      // The limit m is a half-width, checked as the band [-m, m].
      const double m = e.yaw_limit();
      return "min > max, or either was NaN. min = " + format_double(-m) +
             ", max = " + format_double(m);
    }
  }
  return e.what();  // a kind without a text of its own yet (-Wswitch names it)
}

void panic_with_diagnostic(const char* text, const char* detail) {
  // The panic text first, as the exception carries it, so a log line and
  // the traceback match; then what the library said happened.
  std::fprintf(stderr, "zandrel_torso_kinematics: fatal error: %s (%s)\n", text, detail);
  set_panic(text);
}

std::atomic<PyObject*> panic_type{nullptr};

// Created once per process; a thread that loses the race keeps the winner's.
PyObject* get_panic_type() {
  if (PyObject* type = panic_type.load(std::memory_order_acquire)) return type;
  PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                PyExc_BaseException, nullptr);
  if (created == nullptr) return nullptr;
  return publish_once(panic_type, created);  // the process keeps this reference forever
}

}  // namespace

void set_panic(const char* message) {
  PyObject* type = get_panic_type();
  if (type == nullptr) return;  // the interpreter's error is pending instead
  PyObject* text = PyUnicode_FromString(message ? message : kMessageWithoutText);
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void set_fatal_panic(const FatalError& e) noexcept {
  try {
    panic_with_diagnostic(panic_text(e).c_str(), e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();  // the text could not be built
  }
}

void set_poisoned_panic(const PoisonedModelError& e) noexcept {
  panic_with_diagnostic(kPoisonedText, e.what());
}

PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) {
    PyException_SetTraceback(value, traceback);
    Py_DECREF(traceback);
  }
  Py_DECREF(type);
  return value;
#endif
}

void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyObject* traceback = PyException_GetTraceback(exc);
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, traceback);
#endif
}

}  // namespace zandrel::binding
