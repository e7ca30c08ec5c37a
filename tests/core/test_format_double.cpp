#include "kinematics/format_double.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <ostream>
#include <string>

namespace zandrel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Formatted {
  double value;
  const char* text;
  friend void PrintTo(const Formatted& c, std::ostream* os) { *os << c.text; }
};

class FormatDouble : public ::testing::TestWithParam<Formatted> {};

TEST_P(FormatDouble, ShortestRoundTripInItsNotation) {
  EXPECT_EQ(format_double(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Plain, FormatDouble,
    ::testing::Values(Formatted{0.0, "0.0"}, Formatted{-0.0, "-0.0"}, Formatted{0.5, "0.5"},
                      Formatted{-0.5, "-0.5"}, Formatted{2.0, "2.0"}, Formatted{100.0, "100.0"},
                      Formatted{0.1, "0.1"}, Formatted{1.0 / 3.0, "0.3333333333333333"},
                      Formatted{123.456, "123.456"}, Formatted{-1234.5, "-1234.5"},
                      Formatted{1e-4, "0.0001"}, Formatted{0.00012, "0.00012"},
                      Formatted{1e15, "1000000000000000.0"},
                      Formatted{9999999999999998.0, "9999999999999998.0"},
                      Formatted{1234567.125, "1234567.125"},
                      Formatted{3.141592653589793, "3.141592653589793"}));

INSTANTIATE_TEST_SUITE_P(
    Exponent, FormatDouble,
    ::testing::Values(Formatted{1e-5, "1e-5"}, Formatted{-1e-5, "-1e-5"},
                      Formatted{2.5e-7, "2.5e-7"}, Formatted{9.999e-5, "9.999e-5"},
                      Formatted{1e16, "1e16"}, Formatted{-1e16, "-1e16"},
                      Formatted{1.5e-10, "1.5e-10"}, Formatted{1e100, "1e100"},
                      Formatted{1.2345e21, "1.2345e21"},
                      Formatted{1.7976931348623157e308, "1.7976931348623157e308"},
                      Formatted{5e-324, "5e-324"},
                      Formatted{2.2250738585072014e-308, "2.2250738585072014e-308"}));

INSTANTIATE_TEST_SUITE_P(NonFinite, FormatDouble,
                         ::testing::Values(Formatted{kNaN, "NaN"}, Formatted{-kNaN, "NaN"},
                                           Formatted{kInf, "inf"}, Formatted{-kInf, "-inf"}));

TEST(FormatDoubleRoundTrip, ParsesBackToTheSameDouble) {
  for (double x : {0.1 + 0.2, 1e-4 * 3.0, 123456789.987654321, 6.02214076e23, -4.9e-300,
                   0.15915494309189535, 1e16 - 2.0}) {
    const std::string text = format_double(x);
    EXPECT_EQ(std::stod(text), x) << text;
  }
}

}  // namespace
}  // namespace zandrel
