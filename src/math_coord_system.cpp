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

// Largest |cosine| between what is left of an axis after the first
// Gram–Schmidt pass and an earlier axis. A pass leaves an error of a few ε,
// so a remainder of length ρ (the sine of the angle to the span of the
// earlier axes) is off orthogonal by about ε/ρ: a few 1e-9 for axes 1e-7 rad
// apart. A remainder that is nothing but rounding points anywhere, typically
// far from orthogonal: the axis lay in the span of the earlier ones. Above
// this bound the direction of the remainder is not known to better than
// 1e-6 rad, which happens below about 1e-10 rad between the axes; an exact
// remainder such as (0, 1e-40, 0) of (1, 1e-40, 0) after (1, 0, 0) is
// orthogonal and passes.
constexpr double kMaxRemainderCosine = 1e-6;

// Block of a coordinate system inside a block stream.
constexpr unsigned kBlockId = 96;
constexpr unsigned kBlockVersion = 1;

// Scales v to unit length. False, leaving v as it is, when |v| ≤ 1e-50 or
// |v| is not finite (a NaN or infinite component never gives a usable axis).
bool normalizeAxis(BaVec3d<double>& v) { return std::isfinite(v.length()) && v.normalize(); }

// a · (a·v)/(a·a): the part of v along a (a non-zero; a unit axis here, the
// division taking out what rounding left of its length).
BaVec3d<double> partAlong(const BaVec3d<double>& a, const BaVec3d<double>& v) { return a * (a.dot(v) / a.dot(a)); }

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
  for (BaVec3d<double>& axis : axes_)
    if (!normalizeAxis(axis)) return false;

  // Gram–Schmidt twice: each axis loses its parts along the earlier (by then
  // orthonormal) axes, the remainder is checked, then loses what rounding
  // left of those parts in a second pass, and is normalised. x keeps its
  // direction, y keeps its side of x in their plane, z its side of that plane.
  for (unsigned k = 1; k < 3; ++k) {
    BaVec3d<double>& v = axes_[k];
    BaVec3d<double> rest = v;
    for (unsigned j = 0; j < k; ++j) rest -= partAlong(axes_[j], v);  // all parts from v as given
    const double length = rest.length();
    if (!(length > BaVec3d<double>::kMinLength)) return false;
    for (unsigned j = 0; j < k; ++j)
      if (std::fabs(axes_[j].dot(rest)) > kMaxRemainderCosine * length) return false;  // rounding only
    const BaVec3d<double> first = rest;
    for (unsigned j = 0; j < k; ++j) rest -= partAlong(axes_[j], first);
    v = rest;
    if (!normalizeAxis(v)) return false;
  }
  return true;
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
