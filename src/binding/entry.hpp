// The sequence every FASTCALL entry follows, written once: guard against C++
// exceptions, bind the arguments, check the receiver, convert every argument,
// then hand the converted values to the entry's body. The benchmark's floor
// uses the same pieces, so it pays exactly what the real entries pay.
#pragma once

#include <Python.h>

#include <tuple>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/panic.hpp"
#include "binding/type_name.hpp"

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
      if (PyObject* qualname = type_qualname(Py_TYPE(self))) {
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
  Object& operator*() const { return *object_; }

 private:
  Object* object_ = nullptr;
};

// Converts the bound arguments in parameter order, stopping at the first
// failure, so a call reports the same error whichever entry it reaches.
template <class Sig>
bool convert_all(const Sig& sig, const Bound<Sig>& bound, typename Sig::arguments& out) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return (convert_argument(bound[I], sig.names[I], std::get<I>(out)) && ...);
  }(std::make_index_sequence<Sig::count>{});
}

// One method call. `Held` is the receiver type of the class (it names the
// class in messages as Held::kClassName); `body(object, arguments...)` runs
// the operation and builds the result.
template <class Held, const auto& Sig, class Body>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    Bound<std::remove_cvref_t<decltype(Sig)>> bound;
    if (!bind_vector(Held::kClassName, Sig, args, nargs, kwnames, bound)) return nullptr;
    Held object(self);
    if (!object) return nullptr;
    typename std::remove_cvref_t<decltype(Sig)>::arguments converted;
    if (!convert_all(Sig, bound, converted)) return nullptr;
    return std::apply([&](auto&... values) { return body(*object, values...); }, converted);
  });
}

}  // namespace zandrel::binding
