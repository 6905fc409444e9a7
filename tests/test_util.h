// Helpers shared by the test files: tolerances and comparisons that print
// both sides on failure.
#ifndef ZEM_TEST_UTIL_H
#define ZEM_TEST_UTIL_H

#include <gtest/gtest.h>

#include <QString>

#include <cmath>
#include <cstring>
#include <ostream>
#include <random>

#include "math_transformation.h"

namespace Zem {

inline std::ostream& operator<<(std::ostream& os, const BaVec3d<double>& v) {
  return os << "(" << v.x << ", " << v.y << ", " << v.z << ")";
}

namespace test {

constexpr double kTightTol = 1e-12;  // a few products of rotations, entries of order 1
constexpr double kPi = 3.14159265358979323846;

/// All sixteen elements within `tol` (tol < 0: identical to the bit, NaN payloads included).
inline ::testing::AssertionResult SameMatrix(const Transformation& a, const Transformation& b, double tol) {
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) {
      const double x = a.getMatrix(c, r), y = b.getMatrix(c, r);
      if (tol < 0.0 ? std::memcmp(&x, &y, sizeof x) != 0 : !(std::fabs(x - y) <= tol))
        return ::testing::AssertionFailure() << "element m" << r << c << ": " << x << " vs " << y;
    }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult SameBits(const Transformation& a, const Transformation& b) {
  return SameMatrix(a, b, -1.0);
}

/// The text of the Error that `call` throws (ProgError, IO::StreamException), else "nothing thrown".
template <typename Error, typename Call>
QString errorText(Call call) {
  try { call(); } catch (const Error& e) { return e.getText(); }
  return QStringLiteral("nothing thrown");
}

inline ::testing::AssertionResult SameVec(const BaVec3d<double>& a, const BaVec3d<double>& b, double tol) {
  if ((a - b).length() <= tol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << a << " vs " << b << ", off by " << (a - b).length();
}

}  // namespace test
}  // namespace Zem

#endif  // ZEM_TEST_UTIL_H
