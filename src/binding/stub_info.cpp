#include "binding/stub_info.hpp"

#include <array>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/entries.hpp"
#include "zandrel/mat4.hpp"

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

template <>
struct Annotation<binding::Self> {
  static TypeInfo result() { return {std::string(binding::entries::kClassName), {}}; }
};

template <class T>
constexpr TypeInfo (*param)() = &Annotation<T>::parameter;
template <class T>
constexpr TypeInfo (*result)() = &Annotation<T>::result;

// Each default has its own once-initialised text.
template <const auto& Sig, std::size_t I>
const std::string& none_default() {
  static const std::string text = "None";
  return text;
}

// A method whose parameters are all required is written plainly; otherwise
// its required parameters are named and the others carry their default.
template <const auto& Sig, std::size_t I>
constexpr ParameterRecord parameter_record() {
  using S = std::remove_cvref_t<decltype(Sig)>;
  using T = std::tuple_element_t<I, typename S::arguments>;
  if constexpr (S::required == S::count) return {Sig.names[I], param<T>, SignatureEntry::none, nullptr};
  else if constexpr (I < S::required) return {Sig.names[I], param<T>, SignatureEntry::plain, nullptr};
  else return {Sig.names[I], param<T>, SignatureEntry::with_default, none_default<Sig, I>};
}

template <const auto& Sig>
constexpr auto parameter_records = []<std::size_t... I>(std::index_sequence<I...>) {
  return std::array<ParameterRecord, sizeof...(I)>{parameter_record<Sig, I>()...};
}(std::make_index_sequence<std::remove_cvref_t<decltype(Sig)>::count>{});

template <const auto& Sig>
constexpr MethodRecord method_record() {
  using S = std::remove_cvref_t<decltype(Sig)>;
  return {Sig.name, parameter_records<Sig>, result<typename S::result_type>, "",
          S::is_constructor ? MethodKind::constructor : MethodKind::instance};
}

using namespace binding::entries;

constexpr MethodRecord kMethods[] = {
    method_record<kNew>(),     method_record<kAddBranch>(), method_record<kInverse>(),
    method_record<kReset>(),   method_record<kForward>(),   method_record<kSafe>(),
};

constexpr char kClassIdentity = 0;

// Constant-initialised, so they exist before any load-time constructor runs.
ClassRecord class_record{&kClassIdentity, kClassName.data(), nullptr, "", nullptr};
MethodsRecord methods_record{&kClassIdentity, kMethods, nullptr};

__attribute__((constructor)) void register_class_record() { push(class_registry, &class_record); }
__attribute__((constructor)) void register_methods_record() {
  push(methods_registry, &methods_record);
}

}  // namespace
}  // namespace zandrel::stub
