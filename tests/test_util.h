// Helpers shared by the test files: tolerances and comparisons that print
// both sides on failure.
#ifndef ZEM_TEST_UTIL_H
#define ZEM_TEST_UTIL_H

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "math_transformation.h"
#include "zem_base.h"
#include "zem_io.h"

/// Texts show as text in the messages of failed checks, not as bytes.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace Zem {

inline std::ostream& operator<<(std::ostream& os, const BaVec3d<double>& v) {
  return os << "(" << v.x << ", " << v.y << ", " << v.z << ")";
}

namespace test {

/// The number of cases of a random sweep: a tenth under the sanitizers, whose
/// checks make each case tens of times slower (tests/CMakeLists.txt).
constexpr int sweep(int cases) { return ZEM_SANITIZED ? cases / 10 : cases; }

constexpr double kTightTol = 1e-12;  // a few products of rotations, entries of order 1
constexpr double kPi = 3.14159265358979323846;

inline Eigen::Matrix4d toEigen(const Transformation& t) {
  return Eigen::Map<const Eigen::Matrix<double, 4, 4, Eigen::RowMajor>>(t.getMatrix().v);
}

/// Every element of `got` within `tol` of `want` as doubles (tol < 0: identical to the bit, NaN payloads
/// included); a failure names the first element that differs, m<row><column>.
template <typename Got, typename Want>
::testing::AssertionResult SameElements(const Eigen::MatrixBase<Got>& got, const Eigen::MatrixBase<Want>& want,
                                        double tol) {
  for (Eigen::Index r = 0; r < got.rows(); ++r)
    for (Eigen::Index c = 0; c < got.cols(); ++c) {
      const double x = double(got(r, c)), y = double(want(r, c));
      if (tol < 0.0 ? std::memcmp(&x, &y, sizeof x) != 0 : !(std::fabs(x - y) <= tol))
        return ::testing::AssertionFailure() << "element m" << r << c << ": " << x << " vs " << y;
    }
  return ::testing::AssertionSuccess();
}

/// All sixteen elements within `tol` (tol < 0: identical to the bit, NaN payloads included).
inline ::testing::AssertionResult SameMatrix(const Transformation& a, const Transformation& b, double tol) {
  return SameElements(toEigen(a), toEigen(b), tol);
}

/// Rigid motions for round trips: none, the 64 combinations of quarter and
/// half turns about X, Y and Z, and `n` random ones with angles from 1e-8 rad
/// to half turns and translations up to 300.
inline std::vector<Transformation> rigidMotions(unsigned seed, int n) {
  std::vector<Transformation> motions{Transformation::identity()};
  const double quarterTurns[] = {0.0, 1.0, 2.0, 3.0};
  for (double z : quarterTurns)
    for (double y : quarterTurns)
      for (double x : quarterTurns)
        motions.emplace_back(BaVec3d<double>(12, -40, 7), BaVec3d<double>(x, y, z) * (kPi / 2), 1.0);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> angle(-kPi, kPi), decade(0, 8), shift(-300, 300);
  for (int i = 0; i < n; ++i) {
    const BaVec3d<double> turn(angle(rng), angle(rng), angle(rng));
    motions.emplace_back(BaVec3d<double>(shift(rng), shift(rng), shift(rng)), turn * std::pow(10.0, -decade(rng)), 1.0);
  }
  return motions;
}

/// Recognisable values: a call that must leave the object untouched is
/// checked against this with SameBits.
inline const Transformation kUntouched(BaVec3d<double>(1.5, -2.5, 3.5), BaVec3d<double>(0.1, 0.2, 0.3), 1.25);

/// "text|function|file" of the ProgError that `call` throws, or "nothing thrown".
template <typename Call>
std::string progErrorOf(const Call& call) {
  try {
    call();
  } catch (const ProgError& e) {
    return (e.getText() + "|" + e.getFunction() + "|" + e.getFile()).toStdString();
  }
  return "nothing thrown";
}

inline ::testing::AssertionResult SameBits(const Transformation& a, const Transformation& b) {
  return SameMatrix(a, b, -1.0);
}

/// `call` returns false and leaves a matrix of kUntouched as it was, to the bit.
inline ::testing::AssertionResult FailsUntouched(const std::function<bool(Transformation&)>& call) {
  Transformation t = kUntouched;
  if (call(t)) return ::testing::AssertionFailure() << "succeeded";
  const ::testing::AssertionResult same = SameBits(t, kUntouched);
  return same ? same : ::testing::AssertionFailure() << "failed, but changed the matrix: " << same.message();
}

/// Orthonormal rotation block of the given determinant within `tol`, row 3 = (0, 0, 0, 1).
inline ::testing::AssertionResult Rigid(const Transformation& t, double det = 1.0, double tol = 1e-13) {
  const Eigen::Matrix4d m = toEigen(t);
  const Eigen::Matrix3d r = m.topLeftCorner<3, 3>();
  const double offOrthonormal = (r * r.transpose() - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff();
  if (offOrthonormal > tol) return ::testing::AssertionFailure() << "|R·Rᵀ − I| = " << offOrthonormal;
  if (std::fabs(r.determinant() - det) > tol) return ::testing::AssertionFailure() << "det " << r.determinant();
  const double offRow3 = (m.row(3) - Eigen::RowVector4d(0, 0, 0, 1)).cwiseAbs().maxCoeff();
  if (offRow3 > tol) return ::testing::AssertionFailure() << "row 3 off by " << offRow3;
  return ::testing::AssertionSuccess();
}

/// The text of the Error that `call` throws (ProgError, IO::StreamException), else "nothing thrown".
template <typename Error, typename Call>
QString errorText(Call call) {
  try { call(); } catch (const Error& e) { return e.getText(); }
  return QStringLiteral("nothing thrown");
}

/// Within `tol` (mm); tol 0 asks for equal components (the length of a
/// difference near 1e-300 would underflow to 0).
inline ::testing::AssertionResult SameVec(const BaVec3d<double>& a, const BaVec3d<double>& b, double tol) {
  const bool equal = a.x == b.x && a.y == b.y && a.z == b.z;
  if (tol == 0.0 ? equal : (a - b).length() <= tol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << a << " vs " << b << ", off by " << (a - b).length();
}

/// A block stream of type `type` holding one block of the given id and
/// version with `values`.
inline std::string rawBlock(const char* type, unsigned id, unsigned version, const std::vector<double>& values) {
  std::ostringstream bytes;
  IO::OutStream out(&bytes, type, 1);
  out.beginBlock(id, version);
  for (double v : values) out.writeDouble(v);
  out.endBlock();
  out.finish();
  return bytes.str();
}

/// The whole content of a file, or "<unreadable>".
inline std::string fileBytes(const QString& name) {
  QFile f(name);
  return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : "<unreadable>";
}
inline std::string fileBytes(const std::string& name) { return fileBytes(QString::fromStdString(name)); }
inline std::string fileBytes(const char* name) { return fileBytes(QString::fromUtf8(name)); }

}  // namespace test
}  // namespace Zem

#endif  // ZEM_TEST_UTIL_H
