// Module initialisation: one module object and one class type per process,
// both kept until the process ends. The module is single-phase and refuses
// every interpreter but the first one that imported it.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/methods.hpp"
#include "binding/panic.hpp"
#include "binding/publish_once.hpp"

namespace zandrel::binding {
namespace {

constexpr int kApiVersion = 1013;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zandrel_torso_kinematics",
    "",  // __doc__
    0,   // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
std::atomic<PyObject*> module_cell{nullptr};

bool add_class(PyObject* module) {
  PyTypeObject* type = class_type();
  if (type == nullptr) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return false;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return false;
    }
  }
  PyObject* name = PyUnicode_FromString("ZandrelRustKinematics");
  const bool ok = name != nullptr && PyList_Append(all, name) == 0 &&
                  PyObject_SetAttr(module, name, reinterpret_cast<PyObject*>(type)) == 0;
  Py_XDECREF(name);
  Py_DECREF(all);
  return ok;
}

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "zandrel_torso_kinematics does not support sub-interpreters: it can only "
                    "be imported once per process, by the interpreter that first imported it");
    return nullptr;
  }
  if (PyObject* existing = module_cell.load(std::memory_order_acquire))
    return Py_NewRef(existing);

  PyObject* module = PyModule_Create2(&module_def, kApiVersion);
  if (module == nullptr) return nullptr;
#ifdef Py_GIL_DISABLED
  // Calls on one object are serialised by its model lock, but we do not
  // declare GIL-free operation: the interpreter keeps its lock on for us.
  if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
#endif
  if (!add_class(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return Py_NewRef(publish_once(module_cell, module));
}

}  // namespace
}  // namespace zandrel::binding

PyMODINIT_FUNC PyInit_zandrel_torso_kinematics() {
  return zandrel::binding::guarded([] { return zandrel::binding::init_module(); });
}
