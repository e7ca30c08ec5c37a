// The class's instance record and its entries: the constructor, the
// deallocator and the method table.
#pragma once

#include <Python.h>

#include "binding/model_lock.hpp"
#include "kinematics/model.hpp"

namespace zandrel::binding {

struct KinematicsObject {
  PyObject_HEAD
  ModelLock lock;
  Kinematics model;
};

// The class type, created on first use and kept for the life of the process
// (defined with the module in lib.cpp); null with an exception on failure.
PyTypeObject* class_type();

PyObject* kinematics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void kinematics_dealloc(PyObject* self);
extern PyMethodDef kinematics_methods[];

}  // namespace zandrel::binding
