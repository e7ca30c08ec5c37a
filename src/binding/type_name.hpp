// A type's qualified name, for messages that name the type of an argument.
#pragma once

#include <Python.h>

namespace zandrel::binding {

// New reference to the type's __qualname__ as a str, or null with an
// exception set. PyType_GetQualName arrived in 3.11; before it the attribute
// gives the same text (a heap type's qualified name, a static type's tp_name
// after its last dot).
inline PyObject* type_qualname(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
  return PyType_GetQualName(type);
#else
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

}  // namespace zandrel::binding
