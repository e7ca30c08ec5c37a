// The class: each entry runs one core operation under the model lock and
// builds its result after the lock is released; binding, receiver check and
// conversion come first (binding/entry.hpp). All logic lives in the core.
#include "binding/methods.hpp"

#include <array>
#include <atomic>
#include <new>
#include <span>
#include <vector>

#include "binding/entries.hpp"
#include "binding/entry.hpp"
#include "binding/publish_once.hpp"
#include "zandrel/forward.hpp"
#include "zandrel/inverse.hpp"
#include "zandrel/inverse_safe.hpp"
#include "kinematics/model_lock.hpp"

namespace zandrel::binding {
namespace {

using namespace entries;

struct KinematicsObject {
  PyObject_HEAD
  ModelLock lock;
  Kinematics model;
};

std::atomic<PyTypeObject*> type_cell{nullptr};

// The receiver of every method: an instance of the class.
class Held : public Receiver<KinematicsObject> {
 public:
  static constexpr const char* kClassName = entries::kClassName.data();
  explicit Held(PyObject* self) : Receiver(self, class_type(), kClassName) {}
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
  return call_method<Held, kAddBranch>(
      self, args, nargs, kwnames,
      [](KinematicsObject& obj, const Vec3& branch_platform, const Mat4& t_world_motor,
         double solution) -> PyObject* {
        obj.lock.run(obj.model, [&](Kinematics& model) {
          model.add_branch(branch_platform, t_world_motor, solution);
        });
        Py_RETURN_NONE;
      });
}

PyObject* inverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Held, kInverse>(
      self, args, nargs, kwnames,
      [](KinematicsObject& obj, const Mat4& t_world_platform, Yaw body_yaw) {
        AngleBuffer angles;
        obj.lock.run(obj.model, [&](const Kinematics& model) {
          inverse_kinematics(model, t_world_platform, body_yaw,
                             angles.resize(model.branches.size()));
        });
        return float_list(angles.view());
      });
}

PyObject* reset_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return call_method<Held, kReset>(
      self, args, nargs, kwnames,
      [](KinematicsObject& obj, const Mat4& t_world_platform) -> PyObject* {
        obj.lock.run(obj.model, [&](Kinematics& model) {
          reset_forward_kinematics(model, t_world_platform);
        });
        Py_RETURN_NONE;
      });
}

PyObject* forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Held, kForward>(
      self, args, nargs, kwnames,
      [](KinematicsObject& obj, const JointAngles& joint_angles, Yaw body_yaw) {
        const Mat4 pose = obj.lock.run(obj.model, [&](Kinematics& model) {
          return forward_kinematics(model, joint_angles, body_yaw);
        });
        return matrix_list(pose);
      });
}

PyObject* inverse_safe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return call_method<Held, kSafe>(
      self, args, nargs, kwnames,
      [](KinematicsObject& obj, const Mat4& t_world_platform, Yaw body_yaw, Yaw max_relative_yaw,
         Yaw max_body_yaw) {
        // Element 0 is the yaw used, then one angle per branch.
        AngleBuffer result;
        obj.lock.run(obj.model, [&](const Kinematics& model) {
          const std::span<double> out = result.resize(model.branches.size() + 1);
          out[0] = inverse_kinematics_safe(model, t_world_platform, body_yaw, max_relative_yaw,
                                           max_body_yaw, out.subspan(1));
        });
        return float_list(result.view());
      });
}

PyObject* kinematics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Bound<decltype(kNew)> bound;
    if (!bind_tuple(Held::kClassName, kNew, args, kwargs, bound)) return nullptr;
    decltype(kNew)::arguments lengths;
    if (!convert_all(kNew, bound, lengths)) return nullptr;
    const auto [motor_arm_length, rod_length] = lengths;
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

template <const auto& Sig>
constexpr const char* text_signature_of = text_signature<Sig, kClassName>.data();

PyMethodDef kinematics_methods[] = {
    {kAddBranch.name, as_cfunction<add_branch>(), kFastcallKeywords,
     text_signature_of<kAddBranch>},
    {kInverse.name, as_cfunction<inverse>(), kFastcallKeywords, text_signature_of<kInverse>},
    {kReset.name, as_cfunction<reset_forward>(), kFastcallKeywords, text_signature_of<kReset>},
    {kForward.name, as_cfunction<forward>(), kFastcallKeywords, text_signature_of<kForward>},
    {kSafe.name, as_cfunction<inverse_safe>(), kFastcallKeywords, text_signature_of<kSafe>},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* create_class_type() {
  PyType_Slot slots[] = {
      // The constructor's text signature and an empty docstring.
      {Py_tp_doc, const_cast<char*>(text_signature_of<kNew>)},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_new, reinterpret_cast<void*>(kinematics_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(kinematics_dealloc)},
      {Py_tp_methods, kinematics_methods},
      {0, nullptr},
  };
  // No BASETYPE (no subclasses), no GC (instances hold no Python objects),
  // no instance dict and no weak references.
  PyType_Spec type_spec = {
      "builtins.ZandrelRustKinematics",
      static_cast<int>(sizeof(KinematicsObject)),
      0,
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace

PyTypeObject* class_type() {
  if (PyTypeObject* type = type_cell.load(std::memory_order_acquire)) return type;
  PyTypeObject* created = create_class_type();
  if (created == nullptr) return nullptr;
  return publish_once(type_cell, created);
}

}  // namespace zandrel::binding
