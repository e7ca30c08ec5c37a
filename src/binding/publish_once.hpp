// Objects created once per process and kept until it ends (the module, the
// class type, the exception type). Two threads may race to create one; the
// first to publish wins and the other's copy is dropped.
#pragma once

#include <Python.h>

#include <atomic>

namespace zandrel::binding {

template <class T>
T* publish_once(std::atomic<T*>& cell, T* created) {
  T* expected = nullptr;
  if (cell.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) return created;
  Py_DECREF(reinterpret_cast<PyObject*>(created));
  return expected;
}

}  // namespace zandrel::binding
