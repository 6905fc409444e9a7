// CoordinateSystem: orthonormalisation, moving, tolerance comparison and
// its stream block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>

#include "math_coord_system.h"
#include "test_util.h"
#include "zem_base.h"
#include "zem_io.h"
#include "zem_math.h"

namespace Zem {
namespace {

using V = BaVec3d<double>;
using test::SameVec;

const V kX(1.0, 0.0, 0.0), kY(0.0, 1.0, 0.0), kZ(0.0, 0.0, 1.0);

bool sameBits(const V& a, const V& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

::testing::AssertionResult SameSystemBits(const CoordinateSystem& a, const CoordinateSystem& b) {
  if (!sameBits(a.getOrigin(), b.getOrigin()))
    return ::testing::AssertionFailure() << "origin " << a.getOrigin() << " vs " << b.getOrigin();
  for (unsigned i = 0; i < 3; ++i)
    if (!sameBits(a.getAxis()[i], b.getAxis()[i]))
      return ::testing::AssertionFailure() << "axis " << i << ": " << a.getAxis()[i] << " vs " << b.getAxis()[i];
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Axes(const CoordinateSystem& cs, const V& x, const V& y, const V& z, double tol) {
  for (unsigned i = 0; i < 3; ++i) {
    const V& want = i == 0 ? x : i == 1 ? y : z;
    auto r = SameVec(cs.getAxis()[i], want, tol);
    if (!r) return r << " (axis " << i << ")";
  }
  return ::testing::AssertionSuccess();
}

// Expects `call` to throw ProgError naming `function` with `text` and the
// coordinate system's source name.
template <typename Call>
void ExpectProgError(Call call, const char* function, const char* text) {
  try {
    call();
    ADD_FAILURE() << "no ProgError thrown";
  } catch (const ProgError& e) {
    EXPECT_EQ(e.getFunction(), QString::fromUtf8(function));
    EXPECT_EQ(e.getText(), QString::fromUtf8(text));
    EXPECT_EQ(e.getFile(), QString("math_coord_system"));
    EXPECT_GT(e.getLine(), 0u);
  }
}

constexpr const char* kAxisText = "Axis could not be normalized!";

TEST(CoordinateSystemAxes, DefaultIsTheUnitFrame) {
  const CoordinateSystem cs;
  EXPECT_TRUE(SameVec(cs.getOrigin(), V(), 0.0));
  EXPECT_TRUE(Axes(cs, kX, kY, kZ, 0.0));
  V x, y, z;
  cs.getAxis(&x, &y, &z);
  EXPECT_TRUE(SameVec(x, kX, 0.0) && SameVec(y, kY, 0.0) && SameVec(z, kZ, 0.0));
}

TEST(CoordinateSystemAxes, GramSchmidtKeepsXAndSides) {
  const CoordinateSystem scaled(V(1.0, 2.0, 3.0), V(2.0, 0.0, 0.0), V(1.0, 1.0, 0.0), V(0.0, 0.0, 5.0));
  EXPECT_TRUE(SameVec(scaled.getOrigin(), V(1.0, 2.0, 3.0), 0.0));
  EXPECT_TRUE(Axes(scaled, kX, kY, kZ, 1e-15));

  // x along (1, 1, 0); y given as (1, 0, 0) keeps its side of x: (1, −1, 0)/√2;
  // z keeps its side: (0, 0, 1), although x × y = (0, 0, −1) — a left-handed result.
  const double h = 1.0 / std::sqrt(2.0);
  const CoordinateSystem oblique(V(), V(1.0, 1.0, 0.0), V(1.0, 0.0, 0.0), V(1.0, 2.0, 3.0));
  EXPECT_TRUE(Axes(oblique, V(h, h, 0.0), V(h, -h, 0.0), kZ, 1e-15));

  // A residual of 1e-40 is still a direction.
  const CoordinateSystem tiny(V(), kX, V(1.0, 1e-40, 0.0), kZ);
  EXPECT_TRUE(Axes(tiny, kX, kY, kZ, 0.0));
}

TEST(CoordinateSystemAxes, LeftHandedSystemIsKept) {
  CoordinateSystem cs;
  cs.setAxis(kX, kY, V(0.0, 0.0, -1.0));
  EXPECT_TRUE(Axes(cs, kX, kY, V(0.0, 0.0, -1.0), 0.0));
  EXPECT_TRUE(CoordinateSystem::checkAxisValid(kX, kY, V(0.0, 0.0, -1.0)));
}

TEST(CoordinateSystemAxes, RandomAxesBecomeOrthonormalOnTheirGivenSides) {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  for (int i = 0; i < 200; ++i) {
    const V x(u(rng), u(rng), u(rng)), y(u(rng), u(rng), u(rng)), z(u(rng), u(rng), u(rng));
    const CoordinateSystem cs(V(), x, y, z);
    const V* a = cs.getAxis();
    for (unsigned k = 0; k < 3; ++k) EXPECT_NEAR(a[k].length(), 1.0, 1e-15);
    EXPECT_NEAR(a[0].dot(a[1]), 0.0, 1e-12);
    EXPECT_NEAR(a[0].dot(a[2]), 0.0, 1e-12);
    EXPECT_NEAR(a[1].dot(a[2]), 0.0, 1e-12);
    EXPECT_TRUE(SameVec(a[0], x / x.length(), 1e-15));
    EXPECT_GT(a[1].dot(y), 0.0);                                   // y's side of x
    EXPECT_EQ(a[2].dot(a[0].cross(a[1])) > 0.0, z.dot(x.cross(y)) > 0.0);  // handedness as given
  }
}

TEST(CoordinateSystemAxes, DependentAxesThrowAndLeaveTheSystemAlone) {
  ExpectProgError([] { CoordinateSystem cs(V(), kX, V(2.0, 0.0, 0.0), kZ); },
                  "Zem::CoordinateSystem::CoordinateSystem", kAxisText);
  V parallel[3] = {kX, V(2.0, 0.0, 0.0), kZ};
  // The array constructor fails inside setAxis and reports it under that name.
  ExpectProgError([&] { CoordinateSystem cs(V(), parallel); }, "Zem::CoordinateSystem::setAxis", kAxisText);

  CoordinateSystem cs(V(1.0, 2.0, 3.0), V(0.0, 3.0, 0.0), V(-1.0, 0.0, 0.0), kZ);
  const CoordinateSystem before = cs;
  ExpectProgError([&] { cs.setAxis(kX, V(2.0, 0.0, 0.0), kZ); }, "Zem::CoordinateSystem::setAxis", kAxisText);
  EXPECT_TRUE(SameSystemBits(cs, before));
  ExpectProgError([&] { cs.setAxis(parallel); }, "Zem::CoordinateSystem::setAxis", kAxisText);
  EXPECT_TRUE(SameSystemBits(cs, before));
  // z in the plane of x and y: its residual is zero.
  ExpectProgError([&] { cs.setAxis(kX, kY, V(3.0, -4.0, 0.0)); }, "Zem::CoordinateSystem::setAxis", kAxisText);
  EXPECT_TRUE(SameSystemBits(cs, before));
  ExpectProgError([&] { cs.setAxis(nullptr); }, "Zem::CoordinateSystem::setAxis", "No axes given!");
  EXPECT_TRUE(SameSystemBits(cs, before));

  EXPECT_FALSE(CoordinateSystem::checkAxisValid(kX, V(2.0, 0.0, 0.0), kZ));
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(parallel));
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(nullptr));
  // The arguments are not touched.
  EXPECT_TRUE(SameVec(parallel[1], V(2.0, 0.0, 0.0), 0.0));
}

TEST(CoordinateSystemAxes, ZeroOrNonFiniteAxisIsInvalid) {
  const V zero;
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(zero, kY, kZ));
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(kX, zero, kZ));
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(kX, kY, zero));
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(kX, kY, V(0.0, 0.0, 1e-51)));
  EXPECT_TRUE(CoordinateSystem::checkAxisValid(kX, kY, V(0.0, 0.0, 1e-49)));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(kX, V(nan, 1.0, 0.0), kZ));
  EXPECT_FALSE(CoordinateSystem::checkAxisValid(kX, kY, V(0.0, 0.0, inf)));
  const V valid[3] = {kX, kY, kZ};
  EXPECT_TRUE(CoordinateSystem::checkAxisValid(valid));
}

TEST(CoordinateSystemMove, TransformWithScaleTwo) {
  Transformation t;
  t.set(V(1.0, -2.0, 0.5), V(0.3, -0.2, 1.1), 2.0);
  const V origin(4.0, 5.0, -6.0);
  CoordinateSystem cs(origin, V(1.0, 1.0, 0.0), V(0.0, 1.0, 0.0), V(0.0, 0.0, 2.0));
  const CoordinateSystem start = cs;
  cs.transform(t);

  EXPECT_TRUE(SameVec(cs.getOrigin(), t.transformPoint(origin), 0.0));
  // Distances from the image of the coordinate origin double.
  EXPECT_NEAR((cs.getOrigin() - t.transformPoint(V())).length(), 2.0 * origin.length(), 1e-12);
  for (unsigned i = 0; i < 3; ++i) {
    EXPECT_NEAR(cs.getAxis()[i].length(), 1.0, 1e-15);
    EXPECT_TRUE(SameVec(cs.getAxis()[i], t.rotateVector(start.getAxis()[i]), 1e-14)) << "axis " << i;
  }
}

TEST(CoordinateSystemMove, MirrorTurnsHandedness) {
  Transformation mirror(V(1.0, 1.0, -1.0));  // z → −z
  CoordinateSystem cs;
  cs.transform(mirror);
  EXPECT_TRUE(Axes(cs, kX, kY, V(0.0, 0.0, -1.0), 0.0));
}

TEST(CoordinateSystemMove, BrokenMatrixThrowsAndLeavesTheSystemAlone) {
  const double zeroBlock[4][4] = {{0, 0, 0, 1}, {0, 0, 0, 2}, {0, 0, 0, 3}, {0, 0, 0, 1}};
  const Transformation t(zeroBlock);
  CoordinateSystem cs(V(7.0, 8.0, 9.0), kY, kZ, kX);
  const CoordinateSystem before = cs;
  ExpectProgError([&] { cs.transform(t); }, "Zem::CoordinateSystem::transform",
                  "Wrong transformation matrix on coordinate system!");
  EXPECT_TRUE(SameSystemBits(cs, before));

  // A rank-2 block maps the three axes into a plane: z's residual vanishes.
  const Transformation flat(V(1.0, 1.0, 0.0));
  ExpectProgError([&] { cs.transform(flat); }, "Zem::CoordinateSystem::transform",
                  "Wrong transformation matrix on coordinate system!");
  EXPECT_TRUE(SameSystemBits(cs, before));
}

TEST(CoordinateSystemMove, TransformOriginLeavesAxes) {
  Transformation t;
  t.set(V(10.0, 0.0, 0.0), V(0.0, 0.0, 0.5), 4.0);
  CoordinateSystem cs(V(1.0, 1.0, 1.0), V(0.0, 2.0, 0.0), V(-3.0, 0.0, 0.0), kZ);
  const CoordinateSystem before = cs;
  cs.transformOrigin(t);
  EXPECT_TRUE(SameVec(cs.getOrigin(), t.transformPoint(V(1.0, 1.0, 1.0)), 0.0));
  for (unsigned i = 0; i < 3; ++i) EXPECT_TRUE(sameBits(cs.getAxis()[i], before.getAxis()[i]));
}

CoordinateSystem withOrigin(const V& origin) {
  CoordinateSystem cs;
  cs.setOrigin(origin);
  return cs;
}

TEST(CoordinateSystemEqualEps, ToleranceIsRelativeToTheOtherSystem) {
  const CoordinateSystem a = withOrigin(V(1.0, 1.0, 1.0));
  const CoordinateSystem b = withOrigin(V(1.1, 1.0, 1.0));
  // |1 − 1.1| = 0.1 ≤ 0.095·1.1, but not ≤ 0.095·1.
  EXPECT_TRUE(a.equalEps(b, 0.095, 0.0));
  EXPECT_FALSE(b.equalEps(a, 0.095, 0.0));
  EXPECT_TRUE(a.equalEps(a, 0.0, 0.0));

  // The origin tolerance does not cover the axes, nor the other way round.
  CoordinateSystem turned(V(), V(1.0, 1e-3, 0.0), kY, kZ);
  const CoordinateSystem unit;
  EXPECT_FALSE(turned.equalEps(unit, 1.0, 1e-9));
  EXPECT_FALSE(a.equalEps(unit, 0.5, 1.0));
}

TEST(CoordinateSystemEqualEps, ExactZeroNeedsNearZeroWhateverTheTolerance) {
  const CoordinateSystem zero = withOrigin(V(0.0, 5.0, 5.0));
  EXPECT_TRUE(withOrigin(V(1e-51, 5.0, 5.0)).equalEps(zero, 1e300, 0.0));
  EXPECT_TRUE(withOrigin(V(-1e-50, 5.0, 5.0)).equalEps(zero, 0.0, 0.0));
  EXPECT_FALSE(withOrigin(V(1e-20, 5.0, 5.0)).equalEps(zero, 1e300, 1e300));
  // The other way round the tolerance applies: |0 − 1e-20| ≤ 1·1e-20.
  EXPECT_TRUE(zero.equalEps(withOrigin(V(1e-20, 5.0, 5.0)), 1.0, 0.0));
}

TEST(CoordinateSystemEqualEps, NaNNeverPasses) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const CoordinateSystem withNaN = withOrigin(V(nan, 0.0, 0.0));
  const CoordinateSystem plain = withOrigin(V(1.0, 0.0, 0.0));
  EXPECT_FALSE(withNaN.equalEps(withNaN, 1e300, 1e300));
  EXPECT_FALSE(withNaN.equalEps(plain, 1e300, 1e300));
  EXPECT_FALSE(plain.equalEps(withNaN, 1e300, 1e300));
}

// --- Stream block -----------------------------------------------------------

constexpr const char* kStreamType = "COORD-TEST";

// Writes a block with the given id and version holding `values` doubles.
std::string rawBlock(unsigned id, unsigned version, const std::vector<double>& values) {
  std::ostringstream bytes;
  {
    IO::OutStream out(&bytes, kStreamType, 1);
    out.beginBlock(id, version);
    for (double v : values) out.writeDouble(v);
    out.endBlock();
    out.finish();
  }
  return bytes.str();
}

std::string saved(const CoordinateSystem& cs) {
  std::ostringstream bytes;
  {
    IO::OutStream out(&bytes, kStreamType, 1);
    cs.saveData(out, 0, 0);
    out.finish();
  }
  return bytes.str();
}

void load(const std::string& bytes, CoordinateSystem* cs) {
  std::istringstream in(bytes);
  IO::InStream stream(&in);
  cs->loadData(stream, 0, 0);
}

TEST(CoordinateSystemStream, RoundTripIsBitForBit) {
  CoordinateSystem loaded(V(9.0, 9.0, 9.0), kZ, kX, kY);
  load(saved(CoordinateSystem()), &loaded);
  EXPECT_TRUE(SameSystemBits(loaded, CoordinateSystem()));

  const CoordinateSystem odd(V(0.1, -1e-300, 12345.678901234567), V(1.0, 2.0, 3.0), V(-0.3, 0.7, 0.1),
                             V(0.0, 0.0, -1.0));
  load(saved(odd), &loaded);
  EXPECT_TRUE(SameSystemBits(loaded, odd));
}

TEST(CoordinateSystemStream, BlockLayoutIsOriginThenAxes) {
  const CoordinateSystem cs(V(1.0, 2.0, 3.0), kY, V(-1.0, 0.0, 0.0), kZ);
  std::istringstream in(saved(cs));
  IO::InStream stream(&in);
  stream.openBlock();
  EXPECT_EQ(stream.getBlockId(), 96u);
  EXPECT_EQ(stream.getBlockVersion(), 1u);
  const double expected[12] = {1, 2, 3, 0, 1, 0, -1, 0, 0, 0, 0, 1};
  for (double e : expected) {
    double v = 0.0;
    stream.readDouble(&v);
    EXPECT_EQ(v, e);
  }
  stream.closeBlock();  // nothing else in the block
}

TEST(CoordinateSystemStream, LoadedAxesAreStoredUnchecked) {
  // Version 0 is read like version 1, and any block id is accepted.
  const std::vector<double> values = {1, 2, 3, 2, 0, 0, 1, 1, 0, 0, 0, 0};
  for (unsigned version : {0u, 1u}) {
    CoordinateSystem cs;
    load(rawBlock(7, version, values), &cs);
    EXPECT_TRUE(SameVec(cs.getOrigin(), V(1, 2, 3), 0.0));
    EXPECT_TRUE(Axes(cs, V(2, 0, 0), V(1, 1, 0), V(0, 0, 0), 0.0)) << "version " << version;
  }
}

TEST(CoordinateSystemStream, NewerVersionIsRejectedBeforeReading) {
  CoordinateSystem cs(V(4.0, 5.0, 6.0), kY, kZ, kX);
  const CoordinateSystem before = cs;
  const std::string bytes = rawBlock(96, 2, std::vector<double>(12, 0.5));
  std::istringstream in(bytes);
  IO::InStream stream(&in);
  try {
    cs.loadData(stream, 0, 0);
    ADD_FAILURE() << "version 2 accepted";
  } catch (const IO::StreamException& e) {
    EXPECT_EQ(e.getText(), QString("invalid block version: 2"));
  }
  EXPECT_TRUE(SameSystemBits(cs, before));
  // The block was left open, unread: the caller can still skip it.
  EXPECT_EQ(stream.getBlockDepth(), 1u);
  EXPECT_EQ(stream.getUnreadBlockBytes(), 12u * sizeof(double));
  stream.skipBlock();
}

TEST(CoordinateSystemStream, ShortBlockLeavesTheSystemAlone) {
  CoordinateSystem cs(V(4.0, 5.0, 6.0), kY, kZ, kX);
  const CoordinateSystem before = cs;
  EXPECT_THROW(load(rawBlock(96, 1, {1, 2, 3, 4, 5, 6, 7}), &cs), IO::StreamException);
  EXPECT_TRUE(SameSystemBits(cs, before));
}

TEST(CoordinateSystemStream, NestsInsideACallersBlock) {
  const CoordinateSystem cs(V(1.5, 2.5, 3.5), kZ, kX, kY);
  std::ostringstream bytes;
  {
    IO::OutStream out(&bytes, kStreamType, 1);
    out.beginBlock(500, 3);
    out.writeDouble(-1.0);
    cs.saveData(out, 0, 0);
    out.writeDouble(-2.0);
    out.endBlock();
    out.finish();
  }
  std::istringstream in(bytes.str());
  IO::InStream stream(&in);
  stream.openBlock();
  double before = 0.0, after = 0.0;
  stream.readDouble(&before);
  CoordinateSystem loaded;
  loaded.loadData(stream, 0, 0);
  stream.readDouble(&after);
  stream.closeBlock();
  EXPECT_EQ(before, -1.0);
  EXPECT_EQ(after, -2.0);
  EXPECT_TRUE(SameSystemBits(loaded, cs));
}

}  // namespace
}  // namespace Zem
