// Geometry services: the plane and the line of 3D space, and the reading and
// writing of a vector in a block stream.
//
// Both types are plain values whose data members come first and in a fixed
// order, because callers read and overwrite them directly: a plane's a, b, c
// are its normal and may be handed on wherever a `BaVec3d<double>` normal is
// expected, and a line is its point followed by its direction.
#ifndef ZEM_MATH_H
#define ZEM_MATH_H

#include "math_types.h"

namespace Zem {

namespace IO {
class InStream;
class OutStream;
}  // namespace IO

class Line3d;

/// The plane a·x + b·y + c·z + d = 0. The normal n = (a, b, c) need not have
/// unit length; every operation here is correct for any non-zero length. A
/// plane whose normal is zero (length 1e-50 or less) is degenerate: the
/// operations below then return documented fallbacks instead of dividing by
/// zero.
class Plane3d {
 public:
  double a{0.0};
  double b{0.0};
  double c{1.0};
  double d{0.0};

  /// The plane z = 0.
  Plane3d() = default;
  Plane3d(double a_, double b_, double c_, double d_) : a(a_), b(b_), c(c_), d(d_) {}
  /// The plane through `point` with the normal `normal`, stored as given:
  /// neither its orientation nor its length is changed.
  Plane3d(const BaVec3d<double>& normal, const BaVec3d<double>& point);

  /// (a, b, c), as stored.
  BaVec3d<double> getNormal() const { return BaVec3d<double>(a, b, c); }

  /// a·p.x + b·p.y + c·p.z + d: zero on the plane, positive on the side into
  /// which the normal points. A distance only when the normal has unit length.
  double evaluate(const BaVec3d<double>& p) const { return a * p.x + b * p.y + c * p.z + d; }

  /// The foot of the perpendicular from p, the point of the plane nearest p.
  /// A degenerate plane returns p itself.
  BaVec3d<double> perpend(const BaVec3d<double>& p) const;

  /// A point of the plane: the foot of the perpendicular from the coordinate
  /// origin. A degenerate plane returns (0, 0, 0).
  BaVec3d<double> getPointOnPlane() const;

  /// A unit direction lying in the plane: the coordinate axis least parallel
  /// to the normal (smallest |component|; on a tie x before y before z),
  /// projected into the plane. The projection keeps at least √(2/3) of the
  /// axis' length, so the result is well conditioned for every normal. The
  /// plane z = c gives (1, 0, 0). A degenerate plane returns (1, 0, 0).
  BaVec3d<double> getDirection1() const;

  /// Intersects the plane through `point` spanned by `dir1` and `dir2` with
  /// `line`. Writes the intersection point to *out and returns true; returns
  /// false, leaving *out untouched, when there is no single intersection:
  /// `dir1` and `dir2` parallel or zero, a zero line direction, or the line
  /// parallel to the plane. "Parallel" means the sine of the angle between
  /// line and plane is at most kParallelTolerance, so the test does not
  /// depend on the lengths of the three directions.
  static bool intersect(const BaVec3d<double>& point, const BaVec3d<double>& dir1,
                        const BaVec3d<double>& dir2, const Line3d& line, BaVec3d<double>* out);

  /// Sine of the angle between a line and a plane at or below which they
  /// count as parallel. Rounding leaves an exactly parallel line at a sine of
  /// a few 1e-16; anything this far above that is a genuine, if distant,
  /// intersection.
  static constexpr double kParallelTolerance = 1e-12;
};

/// The line through the point p with the direction d. d need not have unit
/// length; a zero direction (length 1e-50 or less) is degenerate.
class Line3d {
 public:
  BaVec3d<double> p;                  ///< a point on the line
  BaVec3d<double> d{1.0, 0.0, 0.0};  ///< its direction

  /// The x axis.
  Line3d() = default;
  Line3d(const BaVec3d<double>& point, const BaVec3d<double>& direction) : p(point), d(direction) {}

  /// Makes this the line through `from` and `to`: p = from, d = to − from,
  /// not normalised. Coinciding points leave the zero direction.
  void createFromPoints(const BaVec3d<double>& from, const BaVec3d<double>& to) {
    p = from;
    d = to - from;
  }

  /// The foot of the perpendicular from q, the point of the line nearest q.
  /// A degenerate line returns its point p.
  BaVec3d<double> perpend(const BaVec3d<double>& q) const;
};

/// Reads one vector as three doubles x, y, z (`InStream::readDouble`).
/// All three are read before *v is assigned, so a stream fault (which
/// throws `IO::StreamException`) leaves *v unchanged.
void readVec3d(IO::InStream* in, BaVec3d<double>* v);
/// Writes one vector as three doubles x, y, z (`OutStream::writeDouble`).
void writeVec3d(IO::OutStream* out, const BaVec3d<double>& v);

}  // namespace Zem

#endif  // ZEM_MATH_H
