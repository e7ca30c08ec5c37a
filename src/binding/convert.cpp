#include "convert.hpp"

#include <cstring>

#include "binding/panic.hpp"
#include "binding/type_name.hpp"

namespace zandrel::binding {
namespace {

// Exact floats are read directly; everything else goes through the number
// protocol (int, bool, float subclasses, __float__, __index__).
inline bool to_double(PyObject* value, double& out) {
  if (PyFloat_CheckExact(value)) {
    out = PyFloat_AS_DOUBLE(value);
    return true;
  }
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool not_a_sequence(PyObject* value) {
  PyObject* qualname = type_qualname(Py_TYPE(value));
  if (qualname == nullptr) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", qualname);
  Py_DECREF(qualname);
  return false;
}

// Fetches item i as a new reference. Exact lists and tuples are indexed
// directly; their size is re-read because converting an earlier item may
// have run code that shrank the list (then the generic path raises the
// IndexError the interpreter would).
inline PyObject* item_at(PyObject* seq, Py_ssize_t i) {
  if (PyList_CheckExact(seq) && i < PyList_GET_SIZE(seq))
    return Py_NewRef(PyList_GET_ITEM(seq, i));
  if (PyTuple_CheckExact(seq)) return Py_NewRef(PyTuple_GET_ITEM(seq, i));
  PyObject* index = PyLong_FromSsize_t(i);
  if (index == nullptr) return nullptr;
  PyObject* item = PyObject_GetItem(seq, index);
  Py_DECREF(index);
  return item;
}

// The sequence test and length check shared by flat sequences and rows.
inline bool check_sequence(PyObject* value, Py_ssize_t expected) {
  if (!PySequence_Check(value)) return not_a_sequence(value);
  const Py_ssize_t length = PyObject_Size(value);
  if (length < 0) return false;
  if (length != expected) {
    PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", expected,
                 length);
    return false;
  }
  return true;
}

// Buffer fast path. A container whose items, fetched one by one, are exactly
// the doubles its buffer holds can be read with one copy instead of one
// Python call per item, with the same doubles as the result. That is only
// known for a few exact types: NumPy's ndarray, array.array and memoryview
// (any subclass may override __len__ or __getitem__, np.matrix does). A
// memoryview qualifies in one dimension only: indexing a 2-D one raises, and
// that error must stay. Everything else, and any buffer that is not a
// C-contiguous block of native doubles of exactly the expected shape, goes
// through the generic path, so every message stays the same.
inline bool reads_like_its_buffer(PyTypeObject* type, int ndim) {
  if (type == &PyMemoryView_Type) return ndim == 1;
  if (!PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) return false;  // no Python class
  const char* name = type->tp_name;
  return std::strcmp(name, "numpy.ndarray") == 0 || std::strcmp(name, "array.array") == 0;
}

// Native doubles only: memoryview itself indexes "d" and "@d" and nothing
// else, and explicit byte orders are left to the generic path.
inline bool native_double_format(const char* format) {
  if (format == nullptr) return false;  // exporter left it out: unsigned bytes
  if (format[0] == '@') ++format;
  return format[0] == 'd' && format[1] == '\0';
}

// Copies an ndim-dimensional n x ... x n block of doubles (row-major) into
// out. False, with no exception pending, when the value does not qualify.
bool read_double_block(PyObject* value, int ndim, Py_ssize_t n, double* out) {
  PyTypeObject* type = Py_TYPE(value);
  if (type->tp_as_buffer == nullptr || !reads_like_its_buffer(type, ndim)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(value, &view, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();  // the generic path meets the same object and reports for itself
    return false;
  }
  bool ok = view.ndim == ndim && view.itemsize == sizeof(double) &&
            native_double_format(view.format) && view.suboffsets == nullptr;
  Py_ssize_t stride = sizeof(double);
  for (int d = ndim - 1; ok && d >= 0; --d) {
    ok = view.shape[d] == n && view.strides[d] == stride;
    stride *= n;
  }
  if (ok) std::memcpy(out, view.buf, static_cast<size_t>(stride));
  PyBuffer_Release(&view);
  return ok;
}

// Lists and tuples, the common case, go straight to the generic path.
inline bool plain_sequence(PyObject* value) {
  return PyList_CheckExact(value) || PyTuple_CheckExact(value);
}

bool to_doubles(PyObject* value, double* out, Py_ssize_t n) {
  if (!plain_sequence(value) && read_double_block(value, 1, n, out)) return true;
  if (!check_sequence(value, n)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = item_at(value, i);
    if (item == nullptr) return false;
    const bool ok = to_double(item, out[i]);
    Py_DECREF(item);
    if (!ok) return false;
  }
  return true;
}

// Each row is fully converted (sequence test, length, numbers) before the
// next one is fetched.
bool to_rows(PyObject* value, double* rows) {
  if (!plain_sequence(value) && read_double_block(value, 2, 4, rows)) return true;
  if (!check_sequence(value, 4)) return false;
  for (Py_ssize_t r = 0; r < 4; ++r) {
    PyObject* row = item_at(value, r);
    if (row == nullptr) return false;
    const bool ok = to_doubles(row, rows + 4 * r, 4);
    Py_DECREF(row);
    if (!ok) return false;
  }
  return true;
}

// Rewords a pending exception of exactly TypeError to name the argument,
// keeping the cause the original carried. Always returns false.
bool name_the_argument(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* original = take_exception();
  if (Py_TYPE(original) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(original);
    return false;
  }
  PyObject* text = PyObject_Str(original);
  if (text == nullptr) {
    Py_DECREF(original);
    return false;
  }
  PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text);
  Py_DECREF(text);
  PyObject* reworded =
      message ? PyObject_CallOneArg(PyExc_TypeError, message) : nullptr;
  Py_XDECREF(message);
  if (reworded != nullptr) {
    if (PyObject* cause = PyException_GetCause(original)) PyException_SetCause(reworded, cause);
    PyErr_SetObject(PyExc_TypeError, reworded);
    Py_DECREF(reworded);
  }
  Py_DECREF(original);
  return false;
}

PyObject* api_call_failed() {
  PyErr_PrintEx(0);
  set_panic("Python API call failed");
  return nullptr;
}

inline bool fill_floats(PyObject* list, const double* values, Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* f = PyFloat_FromDouble(values[i]);
    if (f == nullptr) return false;
    PyList_SET_ITEM(list, i, f);
  }
  return true;
}

}  // namespace

bool number_argument(PyObject* value, const char* name, double& out) {
  return to_double(value, out) || name_the_argument(name);
}

bool optional_argument(PyObject* value, const char* name, std::optional<double>& out) {
  if (value == nullptr || value == Py_None) {
    out.reset();
    return true;
  }
  double v;
  if (!number_argument(value, name, v)) return false;
  out = v;
  return true;
}

bool sequence_argument(PyObject* value, const char* name, std::span<double> out) {
  return to_doubles(value, out.data(), static_cast<Py_ssize_t>(out.size())) ||
         name_the_argument(name);
}

bool matrix_argument(PyObject* value, const char* name, Mat4& out) {
  double rows[16];
  if (!to_rows(value, rows)) return name_the_argument(name);
  out = Mat4::from_rows(rows);
  return true;
}

PyObject* float_list(std::span<const double> values) {
  const auto n = static_cast<Py_ssize_t>(values.size());
  PyObject* list = PyList_New(n);
  if (list == nullptr) return api_call_failed();
  if (!fill_floats(list, values.data(), n)) {
    Py_DECREF(list);
    return api_call_failed();
  }
  return list;
}

PyObject* matrix_list(const Mat4& m) {
  PyObject* list = PyList_New(4);
  if (list == nullptr) return api_call_failed();
  for (int r = 0; r < 4; ++r) {
    const double row[4] = {m(r, 0), m(r, 1), m(r, 2), m(r, 3)};
    PyObject* row_list = PyList_New(4);
    if (row_list == nullptr || !fill_floats(row_list, row, 4)) {
      Py_XDECREF(row_list);
      Py_DECREF(list);
      return api_call_failed();
    }
    PyList_SET_ITEM(list, r, row_list);
  }
  return list;
}

}  // namespace zandrel::binding
