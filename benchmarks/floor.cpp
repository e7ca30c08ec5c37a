// The benchmark's floor: a class whose methods take the same arguments as the
// real ones, bind and convert them with the module's own boundary code, and
// build the same result objects, but do no kinematics and take no lock. Its
// cost per call is what any implementation behind this interface pays; the
// benchmark reports each real call as a multiple of it.
#include <Python.h>

#include <array>
#include <optional>

#include "binding/entries.hpp"
#include "binding/entry.hpp"

namespace zandrel::floor {
namespace {

using namespace binding::entries;
using binding::as_cfunction;
using binding::call_method;
using binding::kFastcallKeywords;

constexpr std::size_t kLegs = 6;

struct FloorObject {
  PyObject_HEAD
  Mat4 pose;  // returned by forward_kinematics, as the real one returns its stored pose
};

PyTypeObject* floor_type = nullptr;

// The same receiver check and held reference as the real entries.
class Held : public binding::Receiver<FloorObject> {
 public:
  static constexpr const char* kClassName = "Floor";
  explicit Held(PyObject* self) : Receiver(self, floor_type, kClassName) {}
};

// One value per leg, taken from the converted matrix so the result depends
// on the input the way the real one does.
std::array<double, kLegs> some_angles(const Mat4& t) {
  std::array<double, kLegs> out;
  for (std::size_t i = 0; i < kLegs; ++i) out[i] = t.v[i];
  return out;
}

PyObject* inverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Held, kInverse>(self, args, nargs, kwnames,
                                     [](FloorObject&, const Mat4& t_world_platform, Yaw) {
                                       return binding::float_list(some_angles(t_world_platform));
                                     });
}

PyObject* inverse_safe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return call_method<Held, kSafe>(
      self, args, nargs, kwnames,
      [](FloorObject&, const Mat4& t_world_platform, Yaw body_yaw, Yaw, Yaw) {
        std::array<double, kLegs + 1> result;
        result[0] = body_yaw.value_or(0.0);
        const auto angles = some_angles(t_world_platform);
        for (std::size_t i = 0; i < kLegs; ++i) result[i + 1] = angles[i];
        return binding::float_list(result);
      });
}

PyObject* reset_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return call_method<Held, kReset>(self, args, nargs, kwnames,
                                   [](FloorObject&, const Mat4&) -> PyObject* { Py_RETURN_NONE; });
}

PyObject* forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Held, kForward>(
      self, args, nargs, kwnames,
      [](FloorObject& obj, const JointAngles&, Yaw) { return binding::matrix_list(obj.pose); });
}

PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Floor() takes no arguments");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<FloorObject*>(self)->pose) Mat4(Mat4::identity());
  return self;
}

void floor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef floor_methods[] = {
    {kInverse.name, as_cfunction<inverse>(), kFastcallKeywords, nullptr},
    {kSafe.name, as_cfunction<inverse_safe>(), kFastcallKeywords, nullptr},
    {kReset.name, as_cfunction<reset_forward>(), kFastcallKeywords, nullptr},
    {kForward.name, as_cfunction<forward>(), kFastcallKeywords, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zandrel_floor",
    "Argument conversion and result building only, for the benchmark.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(floor_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(floor_dealloc)},
      {Py_tp_methods, floor_methods},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"zandrel_floor.Floor", static_cast<int>(sizeof(FloorObject)), 0,
                           Py_TPFLAGS_DEFAULT, slots};
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr || PyModule_AddObjectRef(module, "Floor", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  floor_type = reinterpret_cast<PyTypeObject*>(type);  // the module keeps it alive
  Py_DECREF(type);
  return module;
}

}  // namespace
}  // namespace zandrel::floor

PyMODINIT_FUNC PyInit_zandrel_floor() { return zandrel::floor::init(); }
