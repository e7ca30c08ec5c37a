// Each entry binds its arguments, checks the receiver, converts everything,
// then runs one core operation under the model lock and builds the result
// after the lock is released. All logic lives in the core.
#include "binding/methods.hpp"

#include <array>
#include <new>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/panic.hpp"
#include "kinematics/forward.hpp"
#include "kinematics/inverse.hpp"
#include "kinematics/inverse_safe.hpp"

namespace zandrel::binding {
namespace {

#define ZANDREL_ENTRY(name) "ZandrelRustKinematics." name "()"

constexpr const char* kNewParams[] = {"motor_arm_length", "rod_length"};
constexpr const char* kAddBranchParams[] = {"branch_platform", "t_world_motor", "solution"};
constexpr const char* kInverseParams[] = {"t_world_platform", "body_yaw"};
constexpr const char* kResetParams[] = {"t_world_platform"};
constexpr const char* kForwardParams[] = {"joint_angles", "body_yaw"};
constexpr const char* kSafeParams[] = {"t_world_platform", "body_yaw", "max_relative_yaw",
                                       "max_body_yaw"};

constexpr Signature kNew{ZANDREL_ENTRY("__new__"), kNewParams, 2, 2};
constexpr Signature kAddBranch{ZANDREL_ENTRY("add_branch"), kAddBranchParams, 3, 3};
constexpr Signature kInverse{ZANDREL_ENTRY("inverse_kinematics"), kInverseParams, 2, 1};
constexpr Signature kReset{ZANDREL_ENTRY("reset_forward_kinematics"), kResetParams, 1, 1};
constexpr Signature kForward{ZANDREL_ENTRY("forward_kinematics"), kForwardParams, 2, 1};
constexpr Signature kSafe{ZANDREL_ENTRY("inverse_kinematics_safe"), kSafeParams, 4, 1};

// The receiver of every method: an instance of the class.
class Held : public Receiver<KinematicsObject> {
 public:
  explicit Held(PyObject* self) : Receiver(self, class_type(), "ZandrelRustKinematics") {}
};

// Angle storage without heap allocation for any realistic leg count.
class AngleBuffer {
 public:
  std::span<double> resize(size_t n) {
    if (n > inline_.size()) {
      heap_.resize(n);
      return view_ = std::span<double>(heap_);
    }
    return view_ = std::span<double>(inline_.data(), n);
  }
  std::span<const double> view() const { return view_; }

 private:
  std::array<double, 16> inline_;
  std::vector<double> heap_;
  std::span<double> view_;
};

PyObject* add_branch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[3];
    if (!bind_vector(kAddBranch, args, nargs, kwnames, arg)) return nullptr;
    Held obj(self);
    if (!obj) return nullptr;
    Vec3 branch_platform;
    Mat4 t_world_motor;
    double solution;
    if (!sequence_argument(arg[0], "branch_platform", branch_platform) ||
        !matrix_argument(arg[1], "t_world_motor", t_world_motor) ||
        !number_argument(arg[2], "solution", solution))
      return nullptr;
    obj->lock.run(obj->model, [&](Kinematics& model) {
      model.add_branch(branch_platform, t_world_motor, solution);
    });
    Py_RETURN_NONE;
  });
}

PyObject* inverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind_vector(kInverse, args, nargs, kwnames, arg)) return nullptr;
    Held obj(self);
    if (!obj) return nullptr;
    Mat4 t_world_platform;
    std::optional<double> body_yaw;
    if (!matrix_argument(arg[0], "t_world_platform", t_world_platform) ||
        !optional_argument(arg[1], "body_yaw", body_yaw))
      return nullptr;
    AngleBuffer angles;
    obj->lock.run(obj->model, [&](const Kinematics& model) {
      inverse_kinematics(model, t_world_platform, body_yaw, angles.resize(model.branches.size()));
    });
    return float_list(angles.view());
  });
}

PyObject* reset_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[1];
    if (!bind_vector(kReset, args, nargs, kwnames, arg)) return nullptr;
    Held obj(self);
    if (!obj) return nullptr;
    Mat4 t_world_platform;
    if (!matrix_argument(arg[0], "t_world_platform", t_world_platform)) return nullptr;
    obj->lock.run(obj->model, [&](Kinematics& model) {
      reset_forward_kinematics(model, t_world_platform);
    });
    Py_RETURN_NONE;
  });
}

PyObject* forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind_vector(kForward, args, nargs, kwnames, arg)) return nullptr;
    Held obj(self);
    if (!obj) return nullptr;
    JointAngles joint_angles;
    std::optional<double> body_yaw;
    if (!sequence_argument(arg[0], "joint_angles", joint_angles) ||
        !optional_argument(arg[1], "body_yaw", body_yaw))
      return nullptr;
    const Mat4 pose = obj->lock.run(obj->model, [&](Kinematics& model) {
      return forward_kinematics(model, joint_angles, body_yaw);
    });
    return matrix_list(pose);
  });
}

PyObject* inverse_safe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[4];
    if (!bind_vector(kSafe, args, nargs, kwnames, arg)) return nullptr;
    Held obj(self);
    if (!obj) return nullptr;
    Mat4 t_world_platform;
    std::optional<double> body_yaw, max_relative_yaw, max_body_yaw;
    if (!matrix_argument(arg[0], "t_world_platform", t_world_platform) ||
        !optional_argument(arg[1], "body_yaw", body_yaw) ||
        !optional_argument(arg[2], "max_relative_yaw", max_relative_yaw) ||
        !optional_argument(arg[3], "max_body_yaw", max_body_yaw))
      return nullptr;
    // Element 0 is the yaw used, then one angle per branch.
    AngleBuffer result;
    obj->lock.run(obj->model, [&](const Kinematics& model) {
      const std::span<double> out = result.resize(model.branches.size() + 1);
      out[0] = inverse_kinematics_safe(model, t_world_platform, body_yaw, max_relative_yaw,
                                       max_body_yaw, out.subspan(1));
    });
    return float_list(result.view());
  });
}

}  // namespace

PyObject* kinematics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind_tuple(kNew, args, kwargs, arg)) return nullptr;
    double motor_arm_length, rod_length;
    if (!number_argument(arg[0], "motor_arm_length", motor_arm_length) ||
        !number_argument(arg[1], "rod_length", rod_length))
      return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<KinematicsObject*>(self);
    new (&obj->lock) ModelLock();
    new (&obj->model) Kinematics(motor_arm_length, rod_length);
    return self;
  });
}

void kinematics_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<KinematicsObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  obj->model.~Kinematics();
  obj->lock.~ModelLock();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyMethodDef kinematics_methods[] = {
    {"add_branch", as_cfunction<add_branch>(), kFastcallKeywords,
     "add_branch($self, branch_platform, t_world_motor, solution)\n--\n\n"},
    {"inverse_kinematics", as_cfunction<inverse>(), kFastcallKeywords,
     "inverse_kinematics($self, t_world_platform, body_yaw=None)\n--\n\n"},
    {"reset_forward_kinematics", as_cfunction<reset_forward>(), kFastcallKeywords,
     "reset_forward_kinematics($self, t_world_platform)\n--\n\n"},
    {"forward_kinematics", as_cfunction<forward>(), kFastcallKeywords,
     "forward_kinematics($self, joint_angles, body_yaw=None)\n--\n\n"},
    {"inverse_kinematics_safe", as_cfunction<inverse_safe>(), kFastcallKeywords,
     "inverse_kinematics_safe($self, t_world_platform, body_yaw=None, max_relative_yaw=None, "
     "max_body_yaw=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zandrel::binding
