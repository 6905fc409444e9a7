#include "math_coord_system.h"

#include <cmath>

#include "math_transformation.h"
#include "zem_base.h"
#include "zem_io.h"
#include "zem_math.h"

namespace Zem {

namespace {

// The source name carried by every ProgError of this file: a fixed name, so
// that what a host logs or matches does not depend on the build directory.
constexpr const char* kSourceFile = "math_coord_system";

constexpr const char* kAxisNotNormalized = "Axis could not be normalized!";

// Largest |cosine| between two finished axes. Gram–Schmidt on independent
// axes leaves a few 1e-16; an axis that was (nearly) dependent on the
// earlier ones comes out with an error of eps divided by what was left of it,
// so this bound refuses axes whose direction is known to less than 1e-9 rad.
constexpr double kMaxAxisCosine = 1e-9;

// Block of a coordinate system inside a block stream.
constexpr unsigned kBlockId = 96;
constexpr unsigned kBlockVersion = 1;

// Scales v to unit length. False, leaving v as it is, when |v| ≤ 1e-50 or
// |v| is not finite (a NaN or infinite component never gives a usable axis).
bool normalizeAxis(BaVec3d<double>& v) { return std::isfinite(v.length()) && v.normalize(); }

// a · (a·v)/(a·a): the part of v along a. A zero a has no such part; that
// case only arises when a's own normalisation is about to fail anyway, and
// the guard keeps 0/0 out of the partly orthonormalised axes.
BaVec3d<double> partAlong(const BaVec3d<double>& a, const BaVec3d<double>& v) {
  const double aa = a.dot(a);
  if (aa == 0.0) return BaVec3d<double>();
  return a * (a.dot(v) / aa);
}

// Component rule of equalEps: relative to the other system's value b; an
// exact zero in b needs |a| ≤ 1e-50.
bool componentPasses(double a, double b, double tolerance) {
  if (b == 0.0) return std::fabs(a) <= BaVec3d<double>::kMinLength;
  return std::fabs(a - b) <= tolerance * std::fabs(b);
}

bool vectorPasses(const BaVec3d<double>& a, const BaVec3d<double>& b, double tolerance) {
  return componentPasses(a.x, b.x, tolerance) && componentPasses(a.y, b.y, tolerance) &&
         componentPasses(a.z, b.z, tolerance);
}

}  // namespace

CoordinateSystem::CoordinateSystem()
    : axes_{BaVec3d<double>(1.0, 0.0, 0.0), BaVec3d<double>(0.0, 1.0, 0.0), BaVec3d<double>(0.0, 0.0, 1.0)} {}

CoordinateSystem::CoordinateSystem(const BaVec3d<double>& origin, const BaVec3d<double>& xAxis,
                                   const BaVec3d<double>& yAxis, const BaVec3d<double>& zAxis)
    : origin_(origin), axes_{xAxis, yAxis, zAxis} {
  if (!computeOrthoBase())
    throw ProgError("Zem::CoordinateSystem::CoordinateSystem", kSourceFile, __LINE__, kAxisNotNormalized);
}

CoordinateSystem::CoordinateSystem(const BaVec3d<double>& origin, BaVec3d<double>* const axes) : origin_(origin) {
  setAxis(axes);
  // A second pass over axes that are already orthonormal: it only fails if
  // the first one produced something degenerate.
  if (!computeOrthoBase())
    throw ProgError("Zem::CoordinateSystem::CoordinateSystem", kSourceFile, __LINE__, kAxisNotNormalized);
}

void CoordinateSystem::setAxis(const BaVec3d<double>& xAxis, const BaVec3d<double>& yAxis,
                               const BaVec3d<double>& zAxis) {
  // On failure the axes would hold a half-orthonormalised set (possibly a
  // zero axis); the system is put back as it was so that a caller who
  // catches the error still holds a valid system.
  const CoordinateSystem before = *this;
  axes_[0] = xAxis;
  axes_[1] = yAxis;
  axes_[2] = zAxis;
  if (!computeOrthoBase()) {
    *this = before;
    throw ProgError("Zem::CoordinateSystem::setAxis", kSourceFile, __LINE__, kAxisNotNormalized);
  }
}

void CoordinateSystem::setAxis(BaVec3d<double>* const axes) {
  if (axes == nullptr) throw ProgError("Zem::CoordinateSystem::setAxis", kSourceFile, __LINE__, "No axes given!");
  setAxis(axes[0], axes[1], axes[2]);
}

void CoordinateSystem::getAxis(BaVec3d<double>* xAxis, BaVec3d<double>* yAxis, BaVec3d<double>* zAxis) const {
  *xAxis = axes_[0];
  *yAxis = axes_[1];
  *zAxis = axes_[2];
}

bool CoordinateSystem::checkAxisValid(const BaVec3d<double>& xAxis, const BaVec3d<double>& yAxis,
                                      const BaVec3d<double>& zAxis) {
  CoordinateSystem probe;
  probe.axes_[0] = xAxis;
  probe.axes_[1] = yAxis;
  probe.axes_[2] = zAxis;
  return probe.computeOrthoBase();
}

bool CoordinateSystem::checkAxisValid(const BaVec3d<double>* const axes) {
  if (axes == nullptr) return false;
  return checkAxisValid(axes[0], axes[1], axes[2]);
}

bool CoordinateSystem::computeOrthoBase() {
  BaVec3d<double>& x = axes_[0];
  BaVec3d<double>& y = axes_[1];
  BaVec3d<double>& z = axes_[2];

  for (BaVec3d<double>& axis : axes_)
    if (!normalizeAxis(axis)) return false;

  // Classical Gram–Schmidt: both parts of z are taken from the same z as it
  // stood before this step. y is orthogonal to x but not renormalised yet,
  // hence the division by y·y inside partAlong.
  y -= partAlong(x, y);
  const BaVec3d<double> zParts = partAlong(x, z) + partAlong(y, z);
  z -= zParts;

  for (BaVec3d<double>& axis : axes_)
    if (!normalizeAxis(axis)) return false;

  // An axis that lay in the span of the earlier ones leaves only rounding
  // noise after the subtraction; scaled up, that noise passes the length test
  // but points anywhere. Such a frame is not orthonormal, so it is refused.
  return std::fabs(x.dot(y)) <= kMaxAxisCosine && std::fabs(x.dot(z)) <= kMaxAxisCosine &&
         std::fabs(y.dot(z)) <= kMaxAxisCosine;
}

void CoordinateSystem::transform(const Transformation& t) {
  const CoordinateSystem before = *this;  // restored if t breaks the axes
  origin_ = t.transformPoint(origin_);
  // Axes are directions: the image of the tip minus the image of the tail
  // drops the translation; the scale of t is removed by renormalising.
  const BaVec3d<double> imageOfZero = t.transformPoint(BaVec3d<double>());
  for (BaVec3d<double>& axis : axes_) axis = t.transformPoint(axis) - imageOfZero;
  if (!computeOrthoBase()) {
    *this = before;
    throw ProgError("Zem::CoordinateSystem::transform", kSourceFile, __LINE__,
                    "Wrong transformation matrix on coordinate system!");
  }
}

void CoordinateSystem::transformOrigin(const Transformation& t) { origin_ = t.transformPoint(origin_); }

bool CoordinateSystem::equalEps(const CoordinateSystem& other, double originTolerance, double axisTolerance) const {
  if (!vectorPasses(origin_, other.origin_, originTolerance)) return false;
  for (unsigned i = 0; i < 3; ++i)
    if (!vectorPasses(axes_[i], other.axes_[i], axisTolerance)) return false;
  return true;
}

void CoordinateSystem::saveData(IO::OutStream& out, int, int) const {
  out.beginBlock(kBlockId, kBlockVersion);
  writeVec3d(&out, origin_);
  for (const BaVec3d<double>& axis : axes_) writeVec3d(&out, axis);
  out.endBlock();
}

void CoordinateSystem::loadData(IO::InStream& in, int, int) {
  in.openBlock();
  const unsigned version = in.getBlockVersion();
  if (version > kBlockVersion)
    throw IO::StreamException(translate("CADElementStageValue_err", "invalid block version: %1").arg(version));

  // Read everything before assigning anything: a stream that ends inside
  // the block must not leave a half-replaced system behind.
  BaVec3d<double> origin;
  BaVec3d<double> axes[3];
  readVec3d(&in, &origin);
  for (BaVec3d<double>& axis : axes) readVec3d(&in, &axis);
  in.closeBlock();

  origin_ = origin;
  for (unsigned i = 0; i < 3; ++i) axes_[i] = axes[i];
}

}  // namespace Zem
