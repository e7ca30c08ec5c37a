// The benchmark's floor: a class whose methods take the same arguments as the
// real ones, bind and convert them with the module's own boundary code, and
// build the same result objects, but do no kinematics and take no lock. Its
// cost per call is what any implementation behind this interface pays; the
// benchmark reports each real call as a multiple of it.
#include <Python.h>

#include <array>
#include <optional>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/panic.hpp"

namespace zandrel::floor {
namespace {

using binding::as_cfunction;
using binding::kFastcallKeywords;
using binding::Signature;

constexpr std::size_t kLegs = 6;

struct FloorObject {
  PyObject_HEAD
  Mat4 pose;  // returned by forward_kinematics, as the real one returns its stored pose
};

constexpr const char* kInverseParams[] = {"t_world_platform", "body_yaw"};
constexpr const char* kResetParams[] = {"t_world_platform"};
constexpr const char* kForwardParams[] = {"joint_angles", "body_yaw"};
constexpr const char* kSafeParams[] = {"t_world_platform", "body_yaw", "max_relative_yaw",
                                       "max_body_yaw"};

constexpr Signature kInverse{"Floor.inverse_kinematics()", kInverseParams, 2, 1};
constexpr Signature kReset{"Floor.reset_forward_kinematics()", kResetParams, 1, 1};
constexpr Signature kForward{"Floor.forward_kinematics()", kForwardParams, 2, 1};
constexpr Signature kSafe{"Floor.inverse_kinematics_safe()", kSafeParams, 4, 1};

PyTypeObject* floor_type = nullptr;

// The same receiver check and held reference as the real entries.
class Held : public binding::Receiver<FloorObject> {
 public:
  explicit Held(PyObject* self) : Receiver(self, floor_type, "Floor") {}
};

// One value per leg, taken from the converted matrix so the result depends
// on the input the way the real one does.
std::array<double, kLegs> some_angles(const Mat4& t) {
  std::array<double, kLegs> out;
  for (std::size_t i = 0; i < kLegs; ++i) out[i] = t.v[i];
  return out;
}

PyObject* inverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return binding::guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!binding::bind_vector(kInverse, args, nargs, kwnames, arg)) return nullptr;
    Held obj(self);
    if (!obj) return nullptr;
    Mat4 t_world_platform;
    std::optional<double> body_yaw;
    if (!binding::matrix_argument(arg[0], "t_world_platform", t_world_platform) ||
        !binding::optional_argument(arg[1], "body_yaw", body_yaw))
      return nullptr;
    const auto angles = some_angles(t_world_platform);
    return binding::float_list(angles);
  });
}

PyObject* inverse_safe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return binding::guarded([&]() -> PyObject* {
    PyObject* arg[4];
    if (!binding::bind_vector(kSafe, args, nargs, kwnames, arg)) return nullptr;
    Held obj(self);
    if (!obj) return nullptr;
    Mat4 t_world_platform;
    std::optional<double> body_yaw, max_relative_yaw, max_body_yaw;
    if (!binding::matrix_argument(arg[0], "t_world_platform", t_world_platform) ||
        !binding::optional_argument(arg[1], "body_yaw", body_yaw) ||
        !binding::optional_argument(arg[2], "max_relative_yaw", max_relative_yaw) ||
        !binding::optional_argument(arg[3], "max_body_yaw", max_body_yaw))
      return nullptr;
    std::array<double, kLegs + 1> result;
    result[0] = body_yaw.value_or(0.0);
    const auto angles = some_angles(t_world_platform);
    for (std::size_t i = 0; i < kLegs; ++i) result[i + 1] = angles[i];
    return binding::float_list(result);
  });
}

PyObject* reset_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return binding::guarded([&]() -> PyObject* {
    PyObject* arg[1];
    if (!binding::bind_vector(kReset, args, nargs, kwnames, arg)) return nullptr;
    Held obj(self);
    if (!obj) return nullptr;
    Mat4 t_world_platform;
    if (!binding::matrix_argument(arg[0], "t_world_platform", t_world_platform)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return binding::guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!binding::bind_vector(kForward, args, nargs, kwnames, arg)) return nullptr;
    Held obj(self);
    if (!obj) return nullptr;
    std::array<double, kLegs> joint_angles;
    std::optional<double> body_yaw;
    if (!binding::sequence_argument(arg[0], "joint_angles", joint_angles) ||
        !binding::optional_argument(arg[1], "body_yaw", body_yaw))
      return nullptr;
    return binding::matrix_list(obj->pose);
  });
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
    {"inverse_kinematics", as_cfunction<inverse>(), kFastcallKeywords, nullptr},
    {"inverse_kinematics_safe", as_cfunction<inverse_safe>(), kFastcallKeywords, nullptr},
    {"reset_forward_kinematics", as_cfunction<reset_forward>(), kFastcallKeywords, nullptr},
    {"forward_kinematics", as_cfunction<forward>(), kFastcallKeywords, nullptr},
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
