#include "format_double.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zandrel {
namespace {

// The shortest decimal digits that read back as mag (finite, >= 0), and the
// decimal exponent of the first: mag ~ d.ddd * 10^exponent. The C library's
// printf and strtod are exact, so the p-digit decimal nearest mag is tried
// for p = 1, 2, ... 17, and with it the p-digit decimal one unit above it:
// where mag is a power of two, the doubles below lie twice as close as those
// above, and then the nearest p-digit decimal may fall just outside while the
// one above still reads back. Nothing else can: any other p-digit decimal is
// farther from mag on a side that the nearest one already failed. So the
// first p that reads back gives the shortest digits, and among them the
// nearest, the same digits as Python's repr. Digits are told from the
// decimal point by being digits, whatever the locale's point looks like.
void shortest_digits(double mag, std::string& digits, int& exponent) {
  char text[48];
  for (int p = 1; p <= 17; ++p) {
    const int n = std::snprintf(text, sizeof text, "%.*e", p - 1, mag);
    char* const e = std::strchr(text, 'e');
    if (n <= 0 || e == nullptr) break;
    bool found = std::strtod(text, nullptr) == mag;
    if (!found) {
      // One unit up in the last digit; a carry out of the first (9.99 to
      // 10.0) would be the one-digit 10^(exponent + 1), already tried at p = 1.
      char* c = e;
      while (c != text) {
        --c;
        if (!std::isdigit(static_cast<unsigned char>(*c))) continue;
        if (*c != '9') {
          ++*c;
          break;
        }
        *c = '0';
      }
      found = std::isdigit(static_cast<unsigned char>(*c)) && *c != '0' &&
              std::strtod(text, nullptr) == mag;
    }
    if (found || p == 17) {
      digits.clear();
      for (const char* c = text; c != e; ++c)
        if (std::isdigit(static_cast<unsigned char>(*c))) digits += *c;
      exponent = std::atoi(e + 1);
      return;
    }
  }
}

}  // namespace

std::string format_double(double x) {
  if (std::isnan(x)) return "NaN";
  std::string out = std::signbit(x) ? "-" : "";
  const double mag = std::fabs(x);
  if (std::isinf(mag)) return out + "inf";

  std::string digits;
  int exponent = 0;
  shortest_digits(mag, digits, exponent);

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
