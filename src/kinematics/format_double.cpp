#include "format_double.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace zandrel {

std::string format_double(double x) {
  if (std::isnan(x)) return "NaN";
  std::string out = std::signbit(x) ? "-" : "";
  const double mag = std::fabs(x);
  if (std::isinf(mag)) return out + "inf";

  // Shortest round-trip digits in scientific form, e.g. "1.2345e+02", then
  // re-laid out in our own notation.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, mag, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char ch : sci.substr(0, e_pos))
    if (ch != '.') digits += ch;
  const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

  if (mag == 0.0 || (mag >= 1e-4 && mag < 1e16)) {
    // Plain decimal with at least one digit after the point.
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
      out.append("0.");
      out.append(static_cast<std::size_t>(-point), '0');
      out.append(digits);
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
      out.append(digits);
      out.append(static_cast<std::size_t>(point) - digits.size(), '0');
      out.append(".0");
    } else {
      out.append(digits, 0, static_cast<std::size_t>(point));
      out.push_back('.');
      out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
  }

  out.push_back(digits[0]);
  if (digits.size() > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  out.append(std::to_string(exponent));
  return out;
}

}  // namespace zandrel
