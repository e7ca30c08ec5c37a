// Plumbing shared by every FASTCALL entry: the receiver check and the cast
// into the method table. The benchmark's floor uses the same pieces, so it
// pays exactly what the real entries pay.
#pragma once

#include <Python.h>

namespace zandrel::binding {

inline constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

template <auto Entry>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

// Holds the receiver for the duration of the call; false (with the receiver
// TypeError set) when it is not an instance of `type`, or when `type` is null
// because creating it failed (its error is pending then).
template <class Object>
class Receiver {
 public:
  Receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
    if (type == nullptr) return;
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
      if (PyObject* qualname = PyType_GetQualName(Py_TYPE(self))) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname,
                     class_name);
        Py_DECREF(qualname);
      }
      return;
    }
    object_ = reinterpret_cast<Object*>(Py_NewRef(self));
  }
  ~Receiver() { Py_XDECREF(reinterpret_cast<PyObject*>(object_)); }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  explicit operator bool() const { return object_ != nullptr; }
  Object* operator->() const { return object_; }

 private:
  Object* object_ = nullptr;
};

}  // namespace zandrel::binding
