// The class ZandrelRustKinematics: its instances, methods and type object.
#pragma once

#include <Python.h>

namespace zandrel::binding {

// The class type, created on first use and kept for the life of the process;
// null with an exception pending on failure.
PyTypeObject* class_type();

}  // namespace zandrel::binding
