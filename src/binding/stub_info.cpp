#include "binding/stub_info.hpp"

#include <array>
#include <optional>
#include <vector>

#include "kinematics/forward.hpp"
#include "kinematics/mat4.hpp"

namespace zandrel::stub {

std::atomic<ClassRecord*> class_registry{nullptr};
std::atomic<MethodsRecord*> methods_registry{nullptr};

namespace {

TypeInfo wrap(const char* outer, TypeInfo inner, const char* module) {
  inner.text = std::string(outer) + "[" + inner.text + "]";
  inner.imports.insert(module);
  return inner;
}

// Annotations derived from the C++ types the entries convert to and from,
// composed from the element type outwards.
template <class T>
struct Annotation;

template <>
struct Annotation<double> {
  static TypeInfo parameter() { return {"builtins.float", {"builtins"}}; }
  static TypeInfo result() { return parameter(); }
};

template <class T>
struct Annotation<std::optional<T>> {
  static TypeInfo parameter() { return wrap("typing.Optional", Annotation<T>::parameter(), "typing"); }
};

template <class T, std::size_t N>
struct Annotation<std::array<T, N>> {  // the length is not expressed
  static TypeInfo parameter() { return wrap("typing.Sequence", Annotation<T>::parameter(), "typing"); }
  static TypeInfo result() { return wrap("builtins.list", Annotation<T>::result(), "builtins"); }
};

template <class T>
struct Annotation<std::vector<T>> {
  static TypeInfo result() { return wrap("builtins.list", Annotation<T>::result(), "builtins"); }
};

// A pose crosses the boundary as four rows of four numbers.
template <>
struct Annotation<Mat4> : Annotation<std::array<std::array<double, 4>, 4>> {};

template <>
struct Annotation<void> {
  static TypeInfo result() { return {"None", {}}; }
};

struct Self {};
template <>
struct Annotation<Self> {
  static TypeInfo result() { return {"ZandrelRustKinematics", {}}; }
};

template <class T>
constexpr TypeInfo (*param)() = &Annotation<T>::parameter;
template <class T>
constexpr TypeInfo (*result)() = &Annotation<T>::result;

// Each default has its own once-initialised text.
template <int Cell>
const std::string& none_default() {
  static const std::string text = "None";
  return text;
}

using Vec = std::array<double, 3>;
using Optional = std::optional<double>;
constexpr auto kNone = SignatureEntry::none;
constexpr auto kPlain = SignatureEntry::plain;
constexpr auto kDefault = SignatureEntry::with_default;

constexpr ParameterRecord kNewParams[] = {
    {"motor_arm_length", param<double>, kNone, nullptr},
    {"rod_length", param<double>, kNone, nullptr},
};
constexpr ParameterRecord kAddBranchParams[] = {
    {"branch_platform", param<Vec>, kNone, nullptr},
    {"t_world_motor", param<Mat4>, kNone, nullptr},
    {"solution", param<double>, kNone, nullptr},
};
constexpr ParameterRecord kInverseParams[] = {
    {"t_world_platform", param<Mat4>, kPlain, nullptr},
    {"body_yaw", param<Optional>, kDefault, none_default<0>},
};
constexpr ParameterRecord kResetParams[] = {
    {"t_world_platform", param<Mat4>, kNone, nullptr},
};
constexpr ParameterRecord kForwardParams[] = {
    {"joint_angles", param<JointAngles>, kPlain, nullptr},
    {"body_yaw", param<Optional>, kDefault, none_default<1>},
};
constexpr ParameterRecord kSafeParams[] = {
    {"t_world_platform", param<Mat4>, kPlain, nullptr},
    {"body_yaw", param<Optional>, kDefault, none_default<2>},
    {"max_relative_yaw", param<Optional>, kDefault, none_default<3>},
    {"max_body_yaw", param<Optional>, kDefault, none_default<4>},
};

constexpr MethodRecord kMethods[] = {
    {"__new__", kNewParams, result<Self>, "", MethodKind::constructor},
    {"add_branch", kAddBranchParams, result<void>, "", MethodKind::instance},
    {"inverse_kinematics", kInverseParams, result<std::vector<double>>, "", MethodKind::instance},
    {"reset_forward_kinematics", kResetParams, result<void>, "", MethodKind::instance},
    {"forward_kinematics", kForwardParams, result<Mat4>, "", MethodKind::instance},
    {"inverse_kinematics_safe", kSafeParams, result<std::vector<double>>, "",
     MethodKind::instance},
};

constexpr char kClassIdentity = 0;

// Constant-initialised, so they exist before any load-time constructor runs.
ClassRecord class_record{&kClassIdentity, "ZandrelRustKinematics", nullptr, "", nullptr};
MethodsRecord methods_record{&kClassIdentity, kMethods, nullptr};

__attribute__((constructor)) void register_class_record() { push(class_registry, &class_record); }
__attribute__((constructor)) void register_methods_record() {
  push(methods_registry, &methods_record);
}

}  // namespace
}  // namespace zandrel::stub
