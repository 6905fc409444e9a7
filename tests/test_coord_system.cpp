// CoordinateSystem: orthonormalisation, moving, tolerance comparison and
// its stream block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "math_coord_system.h"
#include "test_util.h"
#include "zem_io.h"

namespace Zem {
namespace {

using V = BaVec3d<double>;
using test::SameVec;

const V kX(1.0, 0.0, 0.0), kY(0.0, 1.0, 0.0), kZ(0.0, 0.0, 1.0);
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const QString kAxisText = QStringLiteral("Axis could not be normalized!");

::testing::AssertionResult Frame(const CoordinateSystem& cs, const V& o, const V& x, const V& y, const V& z,
                                 double tol) {
  const V want[4] = {o, x, y, z}, got[4] = {cs.getOrigin(), cs.getAxis()[0], cs.getAxis()[1], cs.getAxis()[2]};
  for (int i = 0; i < 4; ++i)
    if (!SameVec(got[i], want[i], tol)) return SameVec(got[i], want[i], tol) << (i == 0 ? " (origin)" : " (axis)");
  return ::testing::AssertionSuccess();
}

bool sameBits(const CoordinateSystem& a, const CoordinateSystem& b) {
  return std::memcmp(&a.getOrigin(), &b.getOrigin(), sizeof(V)) == 0 &&
         std::memcmp(a.getAxis(), b.getAxis(), 3 * sizeof(V)) == 0;
}

template <typename Call>
QString progErrorText(Call call) {
  try {
    call();
  } catch (const ProgError& e) {
    return e.getText();
  }
  return QStringLiteral("no ProgError");
}

TEST(CoordinateSystem, GramSchmidtKeepsXAndTheSidesOfYAndZ) {
  EXPECT_TRUE(Frame(CoordinateSystem(), V(), kX, kY, kZ, 0.0));
  EXPECT_TRUE(Frame(CoordinateSystem(V(1, 2, 3), V(2, 0, 0), V(1, 1, 0), V(0, 0, 5)), V(1, 2, 3), kX, kY, kZ, 1e-15));
  // y given as (1, 0, 0) keeps its side of x = (1, 1, 0)/√2; z keeps its side
  // although x × y = −z: a left-handed result.
  const double h = 1.0 / std::sqrt(2.0);
  EXPECT_TRUE(Frame(CoordinateSystem(V(), V(1, 1, 0), kX, V(1, 2, 3)), V(), V(h, h, 0), V(h, -h, 0), kZ, 1e-15));
  EXPECT_TRUE(Frame(CoordinateSystem(V(), kX, V(1.0, 1e-40, 0.0), kZ), V(), kX, kY, kZ, 0.0));  // still a direction
  EXPECT_TRUE(Frame(CoordinateSystem(V(), kX, kY, V(0, 0, -1)), V(), kX, kY, V(0, 0, -1), 0.0));  // left-handed
  EXPECT_TRUE(CoordinateSystem::checkAxisValid(kX, kY, V(0.0, 0.0, 1e-49)));
}

TEST(CoordinateSystem, CloseAxesInAGeneralOrientationAreOrthonormalisedToRounding) {
  // y at a small angle from x, or z at a small angle from the x-y plane, turned
  // into a general orientation: accepted, and the axes come out orthonormal to
  // rounding, y in the plane of x and the given y on its side, z on its side.
  std::mt19937 rng(31);
  std::uniform_real_distribution<double> angle(-test::kPi, test::kPi);
  for (double small : {1e-7, 1e-6, 1e-3}) {
    for (int i = 0; i < 200; ++i) {
      const Transformation turn(V(), V(angle(rng), angle(rng), angle(rng)), 1.0);
      const V x = turn.rotateVector(kX), nearX = turn.rotateVector(V(1, small, 0)),
              nearPlane = turn.rotateVector(V(0.3, -0.8, small));
      for (const bool closeY : {true, false}) {
        const V y = closeY ? nearX : turn.rotateVector(kY), z = closeY ? turn.rotateVector(kZ) : nearPlane;
        ASSERT_TRUE(CoordinateSystem::checkAxisValid(x, y, z)) << small << " trial " << i;
        const CoordinateSystem cs(V(), x, y, z);
        const V* a = cs.getAxis();
        for (int k = 0; k < 3; ++k) {
          EXPECT_NEAR(a[k].length(), 1.0, 1e-15);
          EXPECT_NEAR(a[k].dot(a[(k + 1) % 3]), 0.0, 1e-15) << small << " trial " << i << " axis " << k;
        }
        EXPECT_TRUE(SameVec(a[0], x, 1e-15));
        EXPECT_NEAR(a[1].dot(x.cross(y)), 0.0, 1e-15);
        EXPECT_GT(a[1].dot(y - x * x.dot(y)), 0.0);
        EXPECT_GT(a[2].dot(z), 0.0);
      }
    }
  }
}

TEST(CoordinateSystem, DependentZeroOrNonFiniteAxesThrowAndChangeNothing) {
  const V bad[][3] = {{kX, V(2, 0, 0), kZ},   {kX, kY, V(3, -4, 0)},  // parallel; z in the plane of x and y
                      {V(), kY, kZ},          {kX, V(), kZ},
                      {kX, kY, V()},          {kX, kY, V(0.0, 0.0, 1e-51)},
                      {kX, V(kNaN, 1, 0), kZ}, {kX, kY, V(0.0, 0.0, std::numeric_limits<double>::infinity())},
                      // coplanar, but rounding leaves a residual far above 1e-50
                      {V(0.6, 0.8, 0), V(-0.8, 0.6, 0), V(0.3, 0.7, 0)}};
  CoordinateSystem cs(V(1, 2, 3), V(0, 3, 0), V(-1, 0, 0), kZ);
  const CoordinateSystem before = cs;
  for (const auto& axes : bad) {
    EXPECT_FALSE(CoordinateSystem::checkAxisValid(axes[0], axes[1], axes[2]));
    EXPECT_EQ(progErrorText([&] { cs.setAxis(axes[0], axes[1], axes[2]); }), kAxisText);
    EXPECT_EQ(progErrorText([&] { CoordinateSystem(V(), axes[0], axes[1], axes[2]); }), kAxisText);
    EXPECT_TRUE(sameBits(cs, before));
  }
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(nullptr));
  EXPECT_EQ(progErrorText([&] { cs.setAxis(nullptr); }), "No axes given!");
}

TEST(CoordinateSystem, TransformMovesOriginKeepsUnitAxesAndRefusesSingularMatrices) {
  const Transformation t(V(1.0, -2.0, 0.5), V(0.3, -0.2, 1.1), 2.0);
  const V origin(4.0, 5.0, -6.0);
  CoordinateSystem cs(origin, V(1, 1, 0), V(0, 1, 0), V(0, 0, 2));
  const CoordinateSystem start = cs;
  cs.transform(t);
  EXPECT_TRUE(SameVec(cs.getOrigin(), t.transformPoint(origin), 0.0));
  EXPECT_NEAR((cs.getOrigin() - t.transformPoint(V())).length(), 2.0 * origin.length(), 1e-12);  // scale 2
  for (unsigned i = 0; i < 3; ++i)  // unit axes, the scale dropped
    EXPECT_TRUE(SameVec(cs.getAxis()[i], t.rotateVector(start.getAxis()[i]), 1e-14)) << "axis " << i;

  // A zero 3x3 block, and a rank-2 one that maps the axes into a plane.
  const double zeroBlock[4][4] = {{0, 0, 0, 1}, {0, 0, 0, 2}, {0, 0, 0, 3}, {0, 0, 0, 1}};
  const CoordinateSystem before = cs;  // a turned frame: no exact zeros to help
  for (const Transformation& singular : {Transformation(zeroBlock), Transformation(V(1.0, 1.0, 0.0))}) {
    EXPECT_EQ(progErrorText([&] { cs.transform(singular); }), "Wrong transformation matrix on coordinate system!");
    EXPECT_TRUE(sameBits(cs, before));
  }
}

CoordinateSystem at(const V& origin) { return CoordinateSystem(origin, kX, kY, kZ); }

TEST(CoordinateSystem, EqualEpsIsRelativeToTheOtherSystem) {
  // |1 − 1.1| = 0.1 ≤ 0.095·1.1, but not ≤ 0.095·1.
  EXPECT_TRUE(at(V(1.0, 1.0, 1.0)).equalEps(at(V(1.1, 1.0, 1.0)), 0.095, 0.0));
  EXPECT_FALSE(at(V(1.1, 1.0, 1.0)).equalEps(at(V(1.0, 1.0, 1.0)), 0.095, 0.0));
  // An exact zero in the other system needs near zero whatever the tolerance.
  EXPECT_TRUE(at(V(1e-51, 5.0, 5.0)).equalEps(at(V(0.0, 5.0, 5.0)), 1e300, 0.0));
  EXPECT_FALSE(at(V(1e-20, 5.0, 5.0)).equalEps(at(V(0.0, 5.0, 5.0)), 1e300, 1e300));
  EXPECT_TRUE(at(V(0.0, 5.0, 5.0)).equalEps(at(V(1e-20, 5.0, 5.0)), 1.0, 0.0));
  // Neither tolerance covers the other part; NaN never passes.
  EXPECT_FALSE(CoordinateSystem(V(), V(1.0, 1e-3, 0.0), kY, kZ).equalEps(CoordinateSystem(), 1.0, 1e-9));
  EXPECT_FALSE(at(V(1.0, 1.0, 1.0)).equalEps(CoordinateSystem(), 0.5, 1.0));
  EXPECT_FALSE(at(V(kNaN, 0.0, 0.0)).equalEps(at(V(kNaN, 0.0, 0.0)), 1e300, 1e300));
}

// A stream holding one block 7 of the given version with `values`.
std::string rawBlock(unsigned version, const std::vector<double>& values) {
  std::ostringstream bytes;
  IO::OutStream out(&bytes, "COORD-TEST", 1);
  out.beginBlock(7, version);
  for (double v : values) out.writeDouble(v);
  out.endBlock();
  out.finish();
  return bytes.str();
}

TEST(CoordinateSystem, StreamRoundTripOlderVersionAndBadBlocks) {
  const CoordinateSystem odd(V(0.1, -1e-300, 12345.678901234567), V(1, 2, 3), V(-0.3, 0.7, 0.1), V(0, 0, -1));
  std::stringstream bytes;
  IO::OutStream out(&bytes, "COORD-TEST", 1);
  odd.saveData(out, 0, 0);
  out.finish();
  IO::InStream in(&bytes);
  CoordinateSystem cs(V(9, 9, 9), kZ, kX, kY);
  cs.loadData(in, 0, 0);
  EXPECT_TRUE(sameBits(cs, odd) && in.isStreamEnd());  // loadData read exactly the one block saveData wrote

  // Origin, then the axes as stored, unchecked; version 0 is read as 1.
  for (unsigned version : {0u, 1u}) {
    std::istringstream raw(rawBlock(version, {1, 2, 3, 2, 0, 0, 1, 1, 0, 0, 0, 0}));
    IO::InStream rawIn(&raw);
    cs.loadData(rawIn, 0, 0);
    EXPECT_TRUE(Frame(cs, V(1, 2, 3), V(2, 0, 0), V(1, 1, 0), V(), 0.0)) << "version " << version;
  }
  // Version 2 is refused before anything is read (the block left to the
  // caller to skip); a short block fails too. Neither changes anything.
  const CoordinateSystem before = cs;
  std::istringstream newer(rawBlock(2, std::vector<double>(12, 0.5))), cut(rawBlock(1, {1, 2, 3, 4, 5, 6, 7}));
  IO::InStream newerIn(&newer), cutIn(&cut);
  try {
    cs.loadData(newerIn, 0, 0);
    ADD_FAILURE() << "version 2 accepted";
  } catch (const IO::StreamException& e) {
    EXPECT_EQ(e.getText(), QStringLiteral("invalid block version: 2"));
  }
  EXPECT_EQ(newerIn.getUnreadBlockBytes(), 12u * sizeof(double));
  EXPECT_THROW(cs.loadData(cutIn, 0, 0), IO::StreamException);
  EXPECT_TRUE(sameBits(cs, before));
}

}  // namespace
}  // namespace Zem
