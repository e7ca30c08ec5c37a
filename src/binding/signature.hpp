// One entry's parameters, written once: names in order, and the C++ type each
// argument converts to. Everything else is derived from it: which parameters
// are required, the argument binder's array size, the text signature the
// interpreter shows, and the typed records of the type stub. No Python header
// here, so the stub generator can use the same table.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace zandrel::binding {

// The result of the constructor: an instance of the class itself.
struct Self {};

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

// Every parameter may be passed by position or by keyword. An optional
// parameter defaults to None, and none may precede a required one.
template <class Result, class... Params>
struct Signature {
  using result_type = Result;
  using arguments = std::tuple<Params...>;  // the converted values, in order
  static constexpr std::size_t count = sizeof...(Params);
  static constexpr std::size_t required = (std::size_t{0} + ... + !is_optional<Params>);
  static constexpr bool is_constructor = std::is_same_v<Result, Self>;

  const char* name;  // "add_branch", or "__new__" for the constructor
  std::array<const char*, count> names;

  static constexpr bool optional_params_trail() {
    constexpr std::array<bool, count + 1> optional{is_optional<Params>..., true};
    for (std::size_t i = required; i < count; ++i)
      if (!optional[i]) return false;
    return true;
  }
  static_assert(optional_params_trail(), "optional parameters must come last");
};

namespace detail {

// Appends text to out at pos; with a null out, only counts.
constexpr void append(char* out, std::size_t& pos, std::string_view text) {
  for (char c : text) {
    if (out != nullptr) out[pos] = c;
    ++pos;
  }
}

// "name($self, a, b=None)\n--\n\n" for a method; "Owner(a, b)\n--\n\n" for
// the constructor, whose signature is the class's. The interpreter splits it
// into __text_signature__ and an empty __doc__.
template <const auto& Sig>
constexpr std::size_t write_text_signature(std::string_view owner, char* out) {
  std::size_t pos = 0;
  append(out, pos, Sig.is_constructor ? owner : std::string_view(Sig.name));
  append(out, pos, Sig.is_constructor ? "(" : "($self");
  for (std::size_t i = 0; i < Sig.count; ++i) {
    if (i > 0 || !Sig.is_constructor) append(out, pos, ", ");
    append(out, pos, Sig.names[i]);
    if (i >= Sig.required) append(out, pos, "=None");
  }
  append(out, pos, ")\n--\n\n");
  return pos;
}

template <const auto& Sig, const std::string_view& Owner>
constexpr auto make_text_signature() {
  std::array<char, write_text_signature<Sig>(Owner, nullptr) + 1> text{};
  write_text_signature<Sig>(Owner, text.data());
  return text;
}

}  // namespace detail

// The text signature as a NUL-terminated constant, built at compile time.
template <const auto& Sig, const std::string_view& Owner>
inline constexpr auto text_signature = detail::make_text_signature<Sig, Owner>();

}  // namespace zandrel::binding
