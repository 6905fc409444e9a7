// CoordinateSystem: orthonormalisation, moving, tolerance comparison and
// its stream block.
#include <algorithm>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include "math_coord_system.h"
#include "test_util.h"
#include "zem_io.h"

namespace Zem {
namespace {

using V = BaVec3d<double>;
using namespace test;

const V kX(1.0, 0.0, 0.0), kY(0.0, 1.0, 0.0), kZ(0.0, 0.0, 1.0);
const double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();

bool sameAxes(const CoordinateSystem& cs, const V (&want)[3], double tol) {
  return SameVec(cs.getAxis()[0], want[0], tol) && SameVec(cs.getAxis()[1], want[1], tol) &&
         SameVec(cs.getAxis()[2], want[2], tol);
}

// Twelve doubles, origin then axes, compared bit for bit.
bool sameBits(const CoordinateSystem& a, const CoordinateSystem& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(CoordinateSystem, GramSchmidtKeepsXAndTheSidesOfYAndZOrRefusesAndChangesNothing) {
  // Given axes, then the axes they become (all zero: refused). y given as (1, 0, 0) keeps its
  // side of x = (1, 1, 0)/√2; z keeps its side although x × y = −z (left-handed, not
  // enforced); an exact remainder of 1e-40 is still a direction, an axis of length 1e-49 still
  // an axis. Refused: parallel, z in the plane of x and y (exactly, or up to rounding that
  // leaves far more than 1e-50), a zero, too short (1e-51) or non-finite axis.
  const double h = 1.0 / std::sqrt(2.0);
  const V cases[][2][3] = {{{V(2, 0, 0), V(1, 1, 0), V(0, 0, 5)}, {kX, kY, kZ}},
                           {{V(1, 1, 0), kX, V(1, 2, 3)}, {V(h, h, 0), V(h, -h, 0), kZ}},
                           {{kX, V(1.0, 1e-40, 0.0), kZ}, {kX, kY, kZ}},
                           {{kX, kY, V(0, 0, -1e-49)}, {kX, kY, V(0, 0, -1)}},
                           {{kX, V(2, 0, 0), kZ}}, {{kX, kY, V(3, -4, 0)}}, {{V(), kY, kZ}}, {{kX, V(), kZ}},
                           {{V(0.6, 0.8, 0), V(-0.8, 0.6, 0), V(0.3, 0.7, 0)}}, {{kX, kY, V(0, 0, 1e-51)}},
                           {{kX, V(kNaN, 1, 0), kZ}}, {{kX, kY, V(0, 0, kInf)}}};
  CoordinateSystem cs(V(1, 2, 3), V(0, 3, 0), V(-1, 0, 0), kZ);
  for (const auto& c : cases) {
    const V(&given)[3] = c[0];
    const bool valid = c[1][0].length() > 0.0;
    EXPECT_EQ(CoordinateSystem::checkAxisValid(given), valid);
    const CoordinateSystem before = cs;
    const QString error = errorText<ProgError>([&] { cs.setAxis(given[0], given[1], given[2]); });
    EXPECT_EQ(error, valid ? "nothing thrown" : "Axis could not be normalized!");
    EXPECT_TRUE(valid ? sameAxes(cs, c[1], 1e-15) && cs.getOrigin() == V(1, 2, 3) : sameBits(cs, before));
    EXPECT_EQ(errorText<ProgError>([&] { CoordinateSystem(V(), given[0], given[1], given[2]); }), error);
  }
  EXPECT_TRUE(sameAxes(CoordinateSystem(), {kX, kY, kZ}, 0.0));
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(nullptr));
  EXPECT_EQ(errorText<ProgError>([&] { cs.setAxis(nullptr); }), "No axes given!");
}

TEST(CoordinateSystem, CloseAxesInAGeneralOrientationAreOrthonormalisedToRounding) {
  // y at a small angle from x, or z at a small angle from the x-y plane, turned
  // into a general orientation: accepted, and the axes come out orthonormal to
  // rounding, y in the plane of x and the given y on its side, z on its side.
  std::mt19937 rng(31);
  std::uniform_real_distribution<double> angle(-test::kPi, test::kPi);
  for (double small : {1e-7, 1e-6, 1e-3})
    for (int i = 0; i < 400; ++i) {
      const Transformation turn(V(), V(angle(rng), angle(rng), angle(rng)), 1.0);
      const V x = turn.rotateVector(kX), y = turn.rotateVector(i % 2 ? V(1, small, 0) : kY),
              z = turn.rotateVector(i % 2 ? kZ : V(0.3, -0.8, small));
      ASSERT_TRUE(CoordinateSystem::checkAxisValid(x, y, z)) << small << " trial " << i;
      const CoordinateSystem cs(V(), x, y, z);
      const V* a = cs.getAxis();
      double worst = (a[0] - x).length() + std::fabs(a[1].dot(x.cross(y)));
      for (int k = 0; k < 3; ++k)
        worst = std::max({worst, std::fabs(a[k].length() - 1), std::fabs(a[k].dot(a[(k + 1) % 3]))});
      EXPECT_LE(worst, 1e-15) << small << " trial " << i;
      EXPECT_TRUE(a[1].dot(y - x * x.dot(y)) > 0.0 && a[2].dot(z) > 0.0);
    }
}

TEST(CoordinateSystem, TransformMovesOriginKeepsUnitAxesAndRefusesSingularMatrices) {
  const Transformation t(V(1.0, -2.0, 0.5), V(0.3, -0.2, 1.1), 2.0);
  CoordinateSystem cs(V(4.0, 5.0, -6.0), V(1, 1, 0), V(0, 1, 0), V(0, 0, 2));
  const CoordinateSystem start = cs;
  cs.transform(t);
  EXPECT_TRUE(SameVec(cs.getOrigin(), t.transformPoint(start.getOrigin()), 0.0));  // scale 2 included
  for (unsigned i = 0; i < 3; ++i)  // unit axes, the scale dropped
    EXPECT_TRUE(SameVec(cs.getAxis()[i], t.rotateVector(start.getAxis()[i]), 1e-14)) << "axis " << i;
  // A zero 3x3 block, and a rank-2 one that maps the axes into a plane.
  const double zeroBlock[4][4] = {{0, 0, 0, 1}, {0, 0, 0, 2}, {0, 0, 0, 3}, {0, 0, 0, 1}};
  const CoordinateSystem before = cs;  // a turned frame: no exact zeros to help
  for (const Transformation& singular : {Transformation(zeroBlock), Transformation(V(1.0, 1.0, 0.0))}) {
    EXPECT_EQ(errorText<ProgError>([&] { cs.transform(singular); }),
              "Wrong transformation matrix on coordinate system!");
    EXPECT_TRUE(sameBits(cs, before));
  }
}

TEST(CoordinateSystem, EqualEpsIsRelativeToTheOtherSystem) {
  // |1 − 1.1| = 0.1 ≤ 0.095·1.1 but not ≤ 0.095·1; an exact zero in the other system needs
  // |a| ≤ 1e-50 whatever the tolerance; a NaN never passes; the axes have their own tolerance.
  auto at = [](double x) { return CoordinateSystem(V(x, 5, 5), kX, kY, kZ); };
  EXPECT_TRUE(at(1.0).equalEps(at(1.1), 0.095, 0.0) && at(1e-51).equalEps(at(0.0), 1e300, 0.0));
  EXPECT_FALSE(at(1.1).equalEps(at(1.0), 0.095, 0.0) || at(1e-20).equalEps(at(0.0), 1e300, 1e300) ||
               at(kNaN).equalEps(at(kNaN), 1e300, 1e300));
  EXPECT_FALSE(CoordinateSystem(V(), V(1.0, 1e-3, 0.0), kY, kZ).equalEps(CoordinateSystem(), 1.0, 1e-9));
}

TEST(CoordinateSystem, StreamBlockOlderVersionAndBadBlocks) {
  // saveData writes block 96, version 1: the origin, then the axes. loadData
  // reads the axes as stored, unchecked, version 0 like 1; version 2 is refused
  // before anything is read (the block left to the caller to skip) and a short
  // block is refused, neither changing anything.
  auto block = [](unsigned id, unsigned version, const std::vector<double>& values) {
    std::ostringstream bytes;
    IO::OutStream out(&bytes, "COORD-TEST", 1);
    out.beginBlock(id, version);
    for (double v : values) out.writeDouble(v);
    out.endBlock();
    out.finish();
    return bytes.str();
  };
  std::ostringstream saved;
  IO::OutStream out(&saved, "COORD-TEST", 1);
  CoordinateSystem(V(0.1, -1e-300, 12345.678901234567), kX, V(0, 0.6, -0.8), V(0, -0.8, -0.6)).saveData(out, 0, 0);
  out.finish();
  EXPECT_EQ(saved.str(), block(96, 1, {0.1, -1e-300, 12345.678901234567, 1, 0, 0, 0, 0.6, -0.8, 0, -0.8, -0.6}));
  CoordinateSystem cs;
  for (unsigned version : {0u, 1u}) {
    std::istringstream bytes(block(7, version, {1, 2, 3, 2, 0, 0, 1, 1, 0, 0, 0, 0}));
    IO::InStream in(&bytes);
    cs.loadData(in, 0, 0);
    EXPECT_TRUE(cs.getOrigin() == V(1, 2, 3) && sameAxes(cs, {V(2, 0, 0), V(1, 1, 0), V()}, 0.0) && in.isStreamEnd());
  }
  const CoordinateSystem before = cs;
  std::istringstream newer(block(96, 2, std::vector<double>(12, 0.5))), cut(block(96, 1, {1, 2, 3, 4, 5, 6, 7}));
  IO::InStream newerIn(&newer), cutIn(&cut);
  EXPECT_EQ(errorText<IO::StreamException>([&] { cs.loadData(newerIn, 0, 0); }), "invalid block version: 2");
  EXPECT_EQ(newerIn.getUnreadBlockBytes(), 12u * sizeof(double));
  EXPECT_THROW(cs.loadData(cutIn, 0, 0), IO::StreamException);
  EXPECT_TRUE(sameBits(cs, before));
}

}  // namespace
}  // namespace Zem
