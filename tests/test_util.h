// Helpers shared by the test files: tolerances and comparisons that print
// both sides on failure.
#ifndef ZEM_TEST_UTIL_H
#define ZEM_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ostream>
#include <random>
#include <vector>

#include "math_transformation.h"

namespace Zem {

inline std::ostream& operator<<(std::ostream& os, const BaVec3d<double>& v) {
  return os << "(" << v.x << ", " << v.y << ", " << v.z << ")";
}

namespace test {

constexpr double kTightTol = 1e-12;  // a few products of rotations, entries of order 1
constexpr double kPi = 3.14159265358979323846;

inline double maxAbsDiff(const Transformation& a, const Transformation& b) {
  double d = 0.0;
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) d = std::fmax(d, std::fabs(a.getMatrix(c, r) - b.getMatrix(c, r)));
  return d;
}

inline ::testing::AssertionResult SameMatrix(const Transformation& a, const Transformation& b, double tol) {
  const double d = maxAbsDiff(a, b);
  if (d <= tol) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  failure << "matrices differ by " << d << "\n";
  for (unsigned r = 0; r < 4; ++r) {
    for (unsigned c = 0; c < 4; ++c) failure << a.getMatrix(c, r) << " ";
    failure << "   |   ";
    for (unsigned c = 0; c < 4; ++c) failure << b.getMatrix(c, r) << " ";
    failure << "\n";
  }
  return failure;
}

inline ::testing::AssertionResult SameVec(const BaVec3d<double>& a, const BaVec3d<double>& b, double tol) {
  const double d = std::fmax(std::fabs(a.x - b.x), std::fmax(std::fabs(a.y - b.y), std::fabs(a.z - b.z)));
  if (d <= tol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << a << " vs " << b << ", off by " << d;
}

/// All sixteen elements identical to the bit (NaN payloads included).
inline ::testing::AssertionResult SameBits(const Transformation& a, const Transformation& b) {
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) {
      const double x = a.getMatrix(c, r), y = b.getMatrix(c, r);
      if (std::memcmp(&x, &y, sizeof x) != 0)
        return ::testing::AssertionFailure() << "element m" << r << c << ": " << x << " vs " << y;
    }
  return ::testing::AssertionSuccess();
}

/// Rigid motions for round trips: none, the 64 combinations of quarter and
/// half turns about X, Y and Z, and `n` random ones with angles from 1e-8 rad
/// to half turns and translations up to 300.
inline std::vector<Transformation> rigidMotions(unsigned seed, int n) {
  std::vector<Transformation> motions{Transformation::identity()};
  for (int q = 0; q < 64; ++q)
    motions.emplace_back(BaVec3d<double>(12, -40, 7), BaVec3d<double>(q % 4, q / 4 % 4, q / 16) * (kPi / 2), 1.0);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> angle(-kPi, kPi), decade(0, 8), shift(-300, 300);
  for (int i = 0; i < n; ++i) {
    const BaVec3d<double> turn(angle(rng), angle(rng), angle(rng));
    motions.emplace_back(BaVec3d<double>(shift(rng), shift(rng), shift(rng)), turn * std::pow(10.0, -decade(rng)), 1.0);
  }
  return motions;
}

}  // namespace test
}  // namespace Zem

#endif  // ZEM_TEST_UTIL_H
