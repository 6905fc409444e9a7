// CoordinateSystem: orthonormalisation, moving, tolerance comparison and
// its stream block.
#include <array>

#include "math_coord_system.h"
#include "test_util.h"

namespace Zem {
namespace {

using V = BaVec3d<double>;
using namespace test;

const V kX(1.0, 0.0, 0.0), kY(0.0, 1.0, 0.0), kZ(0.0, 0.0, 1.0);
const double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();

::testing::AssertionResult SameAxes(const CoordinateSystem& cs, const std::array<V, 3>& want, double tol) {
  for (const unsigned k : {0u, 1u, 2u})
    if (!SameVec(cs.getAxis()[k], want[k], tol))
      return ::testing::AssertionFailure() << "axis " << k << ": " << cs.getAxis()[k] << " vs " << want[k];
  return ::testing::AssertionSuccess();
}

/// Twelve doubles, origin then axes, compared bit for bit.
::testing::AssertionResult SameBits(const CoordinateSystem& a, const CoordinateSystem& b) {
  if (std::memcmp(&a, &b, sizeof a) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "origin " << a.getOrigin() << " vs " << b.getOrigin() << ", axes "
                                       << a.getAxis()[0] << a.getAxis()[1] << a.getAxis()[2] << " vs "
                                       << b.getAxis()[0] << b.getAxis()[1] << b.getAxis()[2];
}

CoordinateSystem turnedFrame() {
  CoordinateSystem cs(V(4.0, 5.0, -6.0), V(1, 1, 0), V(0, 1, 0), V(0, 0, 2));
  cs.transform(Transformation(V(1.0, -2.0, 0.5), V(0.3, -0.2, 1.1), 2.0));  // no exact zeros to help
  return cs;
}

// y given as (1, 0, 0) keeps its side of x = (1, 1, 0)/√2; z keeps its side
// although x × y = −z (left-handed, not enforced); an exact remainder of
// 1e-40 is still a direction, an axis of length 1e-49 still an axis.
TEST(CoordinateSystem, GramSchmidtKeepsXAndTheSidesOfYAndZ) {
  const double h = 1.0 / std::sqrt(2.0);
  const struct { const char* name; std::array<V, 3> given, axes; } cases[] = {
      {"scaled, y oblique", {V(2, 0, 0), V(1, 1, 0), V(0, 0, 5)}, {kX, kY, kZ}},
      {"left-handed", {V(1, 1, 0), kX, V(1, 2, 3)}, {V(h, h, 0), V(h, -h, 0), kZ}},
      {"remainder 1e-40", {kX, V(1.0, 1e-40, 0.0), kZ}, {kX, kY, kZ}},
      {"z of length 1e-49", {kX, kY, V(0, 0, -1e-49)}, {kX, kY, V(0, 0, -1)}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(CoordinateSystem::checkAxisValid(c.given.data()));
    CoordinateSystem cs(V(1, 2, 3), V(0, 3, 0), V(-1, 0, 0), kZ);
    cs.setAxis(c.given[0], c.given[1], c.given[2]);
    EXPECT_TRUE(SameAxes(cs, c.axes, 1e-15));
    EXPECT_TRUE(cs.getOrigin() == V(1, 2, 3));
    EXPECT_TRUE(SameAxes(CoordinateSystem(V(), c.given[0], c.given[1], c.given[2]), c.axes, 1e-15));
  }
}

TEST(CoordinateSystem, AxesThatSpanNoFrameAreRefusedAndChangeNothing) {
  const struct { const char* name; std::array<V, 3> given; } cases[] = {
      {"y parallel to x", {kX, V(2, 0, 0), kZ}}, {"z in the plane of x and y", {kX, kY, V(3, -4, 0)}},
      {"z in the plane up to rounding", {V(0.6, 0.8, 0), V(-0.8, 0.6, 0), V(0.3, 0.7, 0)}},
      {"x zero", {V(), kY, kZ}}, {"y zero", {kX, V(), kZ}}, {"z too short (1e-51)", {kX, kY, V(0, 0, 1e-51)}},
      {"y NaN", {kX, V(kNaN, 1, 0), kZ}}, {"z infinite", {kX, kY, V(0, 0, kInf)}}};
  CoordinateSystem cs = turnedFrame();
  const CoordinateSystem before = cs;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(CoordinateSystem::checkAxisValid(c.given.data()));
    const QString error = "Axis could not be normalized!";
    EXPECT_EQ(errorText<ProgError>([&] { cs.setAxis(c.given[0], c.given[1], c.given[2]); }), error);
    EXPECT_TRUE(SameBits(cs, before));
    EXPECT_EQ(errorText<ProgError>([&] { CoordinateSystem(V(), c.given[0], c.given[1], c.given[2]); }), error);
  }
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(nullptr));
  EXPECT_EQ(errorText<ProgError>([&] { cs.setAxis(nullptr); }), "No axes given!");
  EXPECT_TRUE(SameBits(cs, before));
}

// y at a small angle from x, or z at a small angle from the x-y plane, turned
// into a general orientation: accepted, and the axes come out orthonormal to
// rounding, y in the plane of x and the given y on its side, z on its side.
TEST(CoordinateSystem, CloseAxesInAGeneralOrientationAreOrthonormalisedToRounding) {
  std::mt19937 rng(31);
  std::uniform_real_distribution<double> angle(-test::kPi, test::kPi);
  for (double small : {1e-7, 1e-6, 1e-3})
    for (const auto& [name, axes] : {std::pair<const char*, std::array<V, 3>>{"y close to x", {kX, V(1, small, 0), kZ}},
                                     {"z close to x-y", {kX, kY, V(0.3, -0.8, small)}}}) {
      SCOPED_TRACE(testing::Message() << name << " " << small);
      for (int trial = 0; trial < 200; ++trial) {
        const Transformation turn(V(), V(angle(rng), angle(rng), angle(rng)), 1.0);
        const V x = turn.rotateVector(axes[0]), y = turn.rotateVector(axes[1]), z = turn.rotateVector(axes[2]);
        ASSERT_TRUE(CoordinateSystem::checkAxisValid(x, y, z)) << "trial " << trial;
        const CoordinateSystem cs(V(), x, y, z);
        const V* a = cs.getAxis();
        double worst = (a[0] - x).length() + std::fabs(a[1].dot(x.cross(y)));
        for (const auto& [u, v] : {std::pair(a[0], a[1]), std::pair(a[1], a[2]), std::pair(a[2], a[0])})
          worst = std::max({worst, std::fabs(u.length() - 1), std::fabs(u.dot(v))});
        EXPECT_LE(worst, 1e-15) << "trial " << trial;
        EXPECT_GT(a[1].dot(y - x * x.dot(y)), 0.0) << "y on its side, trial " << trial;
        EXPECT_GT(a[2].dot(z), 0.0) << "z on its side, trial " << trial;
      }
    }
}

TEST(CoordinateSystem, TransformMovesTheOriginAndKeepsUnitAxes) {
  const Transformation t(V(1.0, -2.0, 0.5), V(0.3, -0.2, 1.1), 2.0);
  const CoordinateSystem start(V(4.0, 5.0, -6.0), V(1, 1, 0), V(0, 1, 0), V(0, 0, 2));
  const V* axes = start.getAxis();
  CoordinateSystem cs = start;
  cs.transform(t);
  EXPECT_TRUE(SameVec(cs.getOrigin(), t.transformPoint(start.getOrigin()), 0.0));  // scale 2 included
  EXPECT_TRUE(SameAxes(cs, {t.rotateVector(axes[0]), t.rotateVector(axes[1]), t.rotateVector(axes[2])}, 1e-14));
}

TEST(CoordinateSystem, TransformRefusesSingularMatricesAndChangesNothing) {
  const double zeroBlock[4][4] = {{0, 0, 0, 1}, {0, 0, 0, 2}, {0, 0, 0, 3}, {0, 0, 0, 1}};
  const struct { const char* name; Transformation t; } cases[] = {
      {"zero 3x3 block", Transformation(zeroBlock)}, {"rank 2: the axes into a plane", Transformation(V(1, 1, 0))}};
  CoordinateSystem cs = turnedFrame();
  const CoordinateSystem before = cs;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errorText<ProgError>([&] { cs.transform(c.t); }), "Wrong transformation matrix on coordinate system!");
    EXPECT_TRUE(SameBits(cs, before));
  }
}

// |1 − 1.1| = 0.1 ≤ 0.095·1.1 but not ≤ 0.095·1; an exact zero in the other
// system needs |a| ≤ 1e-50 whatever the tolerance; a NaN never passes; the
// axes have their own tolerance.
TEST(CoordinateSystem, EqualEpsIsRelativeToTheOtherSystem) {
  const auto at = [](double x) { return CoordinateSystem(V(x, 5, 5), kX, kY, kZ); };
  const struct { const char* name; CoordinateSystem a, b; double tol, axisTol; bool equal; } cases[] = {
      {"0.1 within 0.095 of 1.1", at(1.0), at(1.1), 0.095, 0.0, true},
      {"0.1 not within 0.095 of 1", at(1.1), at(1.0), 0.095, 0.0, false},
      {"1e-51 against zero", at(1e-51), at(0.0), 1e300, 0.0, true},
      {"1e-20 against zero", at(1e-20), at(0.0), 1e300, 1e300, false},
      {"NaN", at(kNaN), at(kNaN), 1e300, 1e300, false},
      {"axis off by 1e-3", CoordinateSystem(V(), V(1.0, 1e-3, 0.0), kY, kZ), CoordinateSystem(), 1.0, 1e-9, false}};
  for (const auto& c : cases) EXPECT_EQ(c.a.equalEps(c.b, c.tol, c.axisTol), c.equal) << c.name;
}

TEST(CoordinateSystemStream, SaveDataWritesBlock96OriginThenAxes) {
  std::ostringstream saved;
  IO::OutStream out(&saved, "COORD-TEST", 1);
  CoordinateSystem(V(0.1, -1e-300, 12345.678901234567), kX, V(0, 0.6, -0.8), V(0, -0.8, -0.6)).saveData(out, 0, 0);
  out.finish();
  EXPECT_EQ(saved.str(), rawBlock("COORD-TEST", 96, 1, {0.1, -1e-300, 12345.678901234567, 1, 0, 0, 0, 0.6, -0.8, 0,
                                                        -0.8, -0.6}));
}

// The axes as stored, unchecked; version 0 like 1.
TEST(CoordinateSystemStream, LoadDataReadsVersions0And1AsStored) {
  for (unsigned version : {0u, 1u}) {
    SCOPED_TRACE(version);
    std::istringstream bytes(rawBlock("COORD-TEST", 7, version, {1, 2, 3, 2, 0, 0, 1, 1, 0, 0, 0, 0}));
    IO::InStream in(&bytes);
    CoordinateSystem cs;
    cs.loadData(in, 0, 0);
    EXPECT_TRUE(cs.getOrigin() == V(1, 2, 3));
    EXPECT_TRUE(SameAxes(cs, {V(2, 0, 0), V(1, 1, 0), V()}, 0.0));
    EXPECT_TRUE(in.isStreamEnd());
  }
}

// Version 2 is refused before anything is read (the block left to the caller
// to skip) and a short block is refused, neither changing anything.
TEST(CoordinateSystemStream, NewerVersionOrShortBlockChangesNothing) {
  CoordinateSystem cs = turnedFrame();
  const CoordinateSystem before = cs;
  std::istringstream newer(rawBlock("COORD-TEST", 96, 2, std::vector<double>(12, 0.5)));
  std::istringstream cut(rawBlock("COORD-TEST", 96, 1, {1, 2, 3, 4, 5, 6, 7}));
  IO::InStream newerIn(&newer), cutIn(&cut);
  EXPECT_EQ(errorText<IO::StreamException>([&] { cs.loadData(newerIn, 0, 0); }), "invalid block version: 2");
  EXPECT_EQ(newerIn.getUnreadBlockBytes(), 12u * sizeof(double));
  EXPECT_THROW(cs.loadData(cutIn, 0, 0), IO::StreamException);
  EXPECT_TRUE(SameBits(cs, before));
}

}  // namespace
}  // namespace Zem
