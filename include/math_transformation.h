// Similarity transformation of 3D space: rotation, translation, one uniform
// scale, held as a 4x4 homogeneous matrix of doubles.
//
//     | R    t  |   R = m[0..2][0..2], the rotation (orthonormal when built from angles)
//     | 0  1/s  |   t = (m03, m13, m23); row 3 = (0, 0, 0, m33) with m33 = 1/s, NOT s.
//
// Points are column vectors: p' = (R p + t) / m33 = s (R p + t), so the scale
// also scales the translation. All angles are radians.
//
// The elementary rotations are the transposes of the usual active ones
// (c = cos a, s = sin a, rows listed top to bottom):
//     Mx(a) = [1 0 0; 0 c s; 0 -s c]   a positive angle carries +Z towards +Y
//     My(a) = [c 0 -s; 0 1 0; s 0 c]   a positive angle carries +X towards +Z
//     Mz(a) = [c s 0; -s c 0; 0 0 1]   a positive angle carries +Y towards +X
// An angle vector (x, y, z) holds the angles about X, Y and Z, whatever the
// order in which they act. The three-argument set() is ORDER_YXZ in closed
// form: Y acts first, then X, then Z, R = Mz·Mx·My.
//
// Composition: a.append(b) makes a into "a, then b" (matrix b·a);
// a.prepend(b) makes it "b, then a" (matrix a·b).
#ifndef ZEM_MATH_TRANSFORMATION_H
#define ZEM_MATH_TRANSFORMATION_H

#include <vector>

#include "math_types.h"

class QString;

namespace Zem {

namespace IO {
class InStream;
class OutStream;
}  // namespace IO

class Plane3d;
class Line3d;
class Quaternion;
class RotationConvention;
struct EulerAngles;

class Transformation {
 public:
  /// Sequence in which the three elementary rotations act on a column
  /// vector; the first letter acts first.
  enum RotationOrder_t {
    ORDER_XYZ = 0,  ///< R = Mz·My·Mx
    ORDER_XZY = 1,  ///< R = My·Mz·Mx
    ORDER_YXZ = 2,  ///< R = Mz·Mx·My (the three-argument set)
    ORDER_YZX = 3,  ///< R = Mx·Mz·My
    ORDER_ZXY = 4,  ///< R = My·Mx·Mz
    ORDER_ZYX = 5   ///< R = Mx·My·Mz
  };

  /// 3-2-1 alignment: the letters name the primary axis (normal of the
  /// plane), the secondary axis (of the direction) and the tertiary axis (of
  /// the single point), in this order.
  enum TransformMode_t {
    ALIGN_ZYX = 0,
    ALIGN_ZXY = 1,
    ALIGN_YZX = 2,
    ALIGN_YXZ = 3,
    ALIGN_XYZ = 4,
    ALIGN_XZY = 5
  };

  /// Plane-line-point alignment: priority order of the three features. The
  /// first keeps its measured position, the others are moved onto it.
  enum TrafoPLPMode_t {
    PLP_PLANE_LINE_POINT = 0,  ///< line projected into the plane, point onto that line
    PLP_PLANE_POINT_LINE = 1,  ///< point projected onto the plane, line projected and moved through it
    PLP_LINE_PLANE_POINT = 2,  ///< point onto the line, plane turned about the line until it holds it
    PLP_LINE_POINT_PLANE = 3,  ///< the same as PLP_LINE_PLANE_POINT
    PLP_POINT_PLANE_LINE = 4,  ///< plane moved parallel through the point, line projected into it
    PLP_POINT_LINE_PLANE = 5   ///< line moved parallel through the point, plane turned about it
  };

  /// @name Construction
  /// @{
  /// Leaves the sixteen elements unset: assign, set or load before reading.
  Transformation() {}
  /// Four rows of four doubles, copied in storage order (row 0 first).
  explicit Transformation(const double mat[][4]);
  /// Same as set(translation, angles, scale).
  Transformation(const BaVec3d<double>& translation, const BaVec3d<double>& angles, double scale) {
    set(translation, angles, scale);
  }
  /// Per-axis scaling diag(d.x, d.y, d.z) with zero translation and m33 = 1.
  /// The vector is not a translation. Such a matrix is not a similarity, so
  /// inverse() does not invert it.
  explicit Transformation(const BaVec3d<double>& d);

  static Transformation identity();
  /// @}

  /// @name Setting from angles
  /// @{
  /// Rotation in the order ORDER_YXZ in closed form, then translation and 1/scale.
  void set(const BaVec3d<double>& translation, const BaVec3d<double>& angles, double scale);
  /// Rotation from the three elementary rotations in the given order (an
  /// order outside 0 to 5 leaves the rotation the identity), then translation
  /// and 1/scale.
  void set(const BaVec3d<double>& translation, const BaVec3d<double>& angles, RotationOrder_t order,
           double scale);
  /// @}

  /// @name Element access and export
  /// @{
  /// Element in row j and column i: the FIRST index selects the column.
  /// getMatrix(3, 0) is the x translation m03; getMatrix(0, 3) is m30.
  double getMatrix(unsigned int i, unsigned int j) const { return m[j][i]; }
  /// The sixteen values, row by row.
  BaMatrix4x4<double> getMatrix() const;
  /// Column by column (OpenGL layout): out[4c + r] = m[r][c]; out[15] = m33 = 1/scale.
  void getGLTransformation(double* out) const;
  /// (m03, m13, m23) as stored, not multiplied by the scale.
  BaVec3d<double> getTranslation() const { return BaVec3d<double>(m[0][3], m[1][3], m[2][3]); }
  double getScale() const { return 1.0 / m[3][3]; }
  /// The rotation block alone: zero translation, row 3 = (0, 0, 0, 1).
  Transformation getRotationMatrix() const;
  /// @}

  /// @name Applying to points and vectors (hot paths: inline, no allocation)
  /// @{
  double transformX(const BaVec3d<double>& p) const {
    return (m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z + m[0][3]) / m[3][3];
  }
  double transformY(const BaVec3d<double>& p) const {
    return (m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z + m[1][3]) / m[3][3];
  }
  double transformZ(const BaVec3d<double>& p) const {
    return (m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z + m[2][3]) / m[3][3];
  }
  /// 1 for every transformation whose row 3 is (0, 0, 0, m33).
  double transformW(const BaVec3d<double>& p) const {
    return (m[3][0] * p.x + m[3][1] * p.y + m[3][2] * p.z + m[3][3]) / m[3][3];
  }
  /// p' = (R p + t) / m33; the same values as transformX/Y/Z.
  BaVec3d<double> transformPoint(const BaVec3d<double>& p) const {
    const double x = m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z + m[0][3];
    const double y = m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z + m[1][3];
    const double z = m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z + m[2][3];
    const double w = m[3][3];
    // Dividing by exactly 1 changes no bit, so the common unscaled case skips
    // the three divisions (the dearest part of this function).
    if (w == 1.0) return BaVec3d<double>(x, y, z);
    return BaVec3d<double>(x / w, y / w, z / w);
  }
  /// Computed in double precision, each result rounded to float.
  BaVec3d<float> transformPoint(const BaVec3d<float>& p) const {
    const BaVec3d<double> d(p.x, p.y, p.z);
    return BaVec3d<float>(static_cast<float>(transformX(d)), static_cast<float>(transformY(d)),
                          static_cast<float>(transformZ(d)));
  }
  /// Moves x, y, z; the identifier is copied unchanged.
  BaPoint3d<double> transformPoint(const BaPoint3d<double>& p) const {
    return BaPoint3d<double>(transformPoint(static_cast<const BaVec3d<double>&>(p)), p.id);
  }
  /// R v: no translation and no scale.
  BaVec3d<double> rotateVector(const BaVec3d<double>& v) const {
    return BaVec3d<double>(m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z,
                           m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
                           m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z);
  }
  BaVec3d<float> rotateVector(const BaVec3d<float>& v) const {
    const BaVec3d<double> r = rotateVector(BaVec3d<double>(v.x, v.y, v.z));
    return BaVec3d<float>(static_cast<float>(r.x), static_cast<float>(r.y), static_cast<float>(r.z));
  }
  /// @}

  /// @name Angles, composition, inversion, interpolation
  /// @{
  /// Angles in the order ORDER_YXZ (inverse of the three-argument set), with
  /// no gimbal-lock special case.
  BaVec3d<double> getAngles() const;
  /// Angles in the given order, such that set(t, getAngles(o), o, s) rebuilds
  /// the rotation, to rounding for any block that is orthonormal to rounding
  /// (also next to the lock). At a gimbal lock (test element exactly ±1 and
  /// the other elements of its row and column, cos b times a sine or cosine,
  /// at most 4 units of rounding, 8.9e-16) the middle angle is ±π/2, the
  /// angle that acts last is 0 and the one that acts first takes the
  /// combined turn. A test element that is ±1 only by rounding (middle angle
  /// within 1.5e-8 rad of ±π/2, not at it) is decomposed like any other.
  /// An order outside 0 to 5 gives (0, 0, 0).
  BaVec3d<double> getAngles(RotationOrder_t order) const;
  /// this := b·this, b acts after this transformation. b may be *this.
  void append(const Transformation& b);
  /// this := this·b, b acts before this transformation. b may be *this.
  void prepend(const Transformation& b);
  /// Exact inverse when R is orthonormal (every transformation built from angles).
  Transformation inverse() const;
  /// Element-wise a·(1 − t) + b·t; not re-orthonormalised, t not clamped.
  static Transformation lerp(const Transformation& a, double t, const Transformation& b);
  /// Angles (ORDER_YXZ) of the rotation R_A·Rᵀ, A being the rotation set from the given angles.
  BaVec3d<double> transformAngles(const BaVec3d<double>& angles) const;
  /// (R e) / m33: rotated and scaled, never translated.
  BaVec3d<double> transformError(BaVec3d<double> e) const;
  /// Axis-aligned box enclosing the eight transformed corners.
  Box3d transformBox(const Box3d& box) const;
  /// @}

  /// @name Frames from planes, axes and points
  /// Each builds the rigid transformation INTO a frame: the frame's origin O
  /// goes to (0, 0, 0) and its axes X', Y', Z' to the X, Y and Z axes, so a
  /// point p maps to (X'·(p − O), Y'·(p − O), Z'·(p − O)); m33 = 1.
  /// A plane a·x + b·y + c·z + d = 0 has the normal n = (a, b, c) of any
  /// non-zero length. "Orienting an axis by a point and a flag": with s the
  /// signed value of the point against the axis, a true flag makes s ≥ 0 and
  /// a false flag s ≤ 0 (s = 0 keeps the axis).
  /// Each returns true and overwrites the matrix, or returns false and leaves
  /// the matrix untouched: a direction of length 1e-50 or less, two
  /// directions that must span an angle but are parallel (sine ≤ 1e-12), and
  /// any input that is not finite (NaN, infinity) fail.
  /// @{
  /// Frame with X' = axes[0] and Y' = axes[1], each scaled to unit length but
  /// otherwise used as given (not made perpendicular), Z' = X' × Y' (not
  /// normalised again), origin `origin`. Further axes are ignored. False when
  /// an axis has no direction or the two are parallel. Throws ProgError for
  /// fewer than two axes.
  bool computeTransformationCSToCartesian(const std::vector<BaVec3d<double>>& axes,
                                          const BaVec3d<double>& origin);
  /// Frame in the plane. O: the plane's point on the Z axis, else on the Y
  /// axis, else on the X axis (the first of c, b, a whose magnitude is at
  /// least 1e-6 of the largest, so the origin stays within 1e6 plane
  /// distances of (0, 0, 0)). X': towards the plane's point at x = y = 1
  /// (c branch), at x = z = 1 (b branch) or at y = z = 1 (a branch).
  /// Z' = n̂ oriented by `sidePoint` (s = a·x + b·y + c·z + d): a true
  /// `positive` makes Z' point to the side on which the point lies.
  /// Y' = Z' × X'. The plane's points map to z = 0. False for a zero normal.
  bool computeTransformationPointAndPlane(Plane3d plane, BaVec3d<double> sidePoint, bool positive);
  /// Frame with Z' = n̂, X' = `xDirection` projected into the plane, Y' = Z' × X'
  /// and O = `origin` (which need not lie on the plane). False for a zero
  /// normal or an X direction parallel to the normal.
  bool computeTransformationPointAndPlane(const Plane3d& plane, const BaVec3d<double>& xDirection,
                                          BaVec3d<double> origin);
  /// As above with the plane's own first direction (Plane3d::getDirection1) as X.
  bool computeTransformationPointAndPlane(const Plane3d& plane, const BaVec3d<double>& origin);
  /// Frame from three planes. O: their common point. X' = n1 × n2, the line
  /// in which the first two meet, oriented by `xSidePoint` (s = (xSidePoint −
  /// O)·X') and `xPositive`. Z' = X' × n2, in the second plane, oriented by
  /// `zSidePoint` and `zPositive` likewise. Y' = Z' × X'. The third plane only
  /// fixes the origin. False when the planes have no single common point
  /// (|det[n̂1; n̂2; n̂3]| ≤ 1e-12, which includes two parallel planes).
  bool computeTransformation3Planes(Plane3d first, Plane3d second, Plane3d third, BaVec3d<double> xSidePoint,
                                    bool xPositive, BaVec3d<double> zSidePoint, bool zPositive);
  /// Frame with X' = end − start projected into the plane, Z' = n̂, Y' = Z' × X'
  /// and O = `start`, followed by a translation by `offset`: `start` maps to
  /// `offset`. False for a zero normal, start = end, or an axis perpendicular
  /// to the plane (sine to the normal at most 1e-12·(1 + R/|end − start|), R
  /// the largest coordinate magnitude of start and end).
  bool computeTransformationXAxisAndPlane(Plane3d plane, BaVec3d<double> start, BaVec3d<double> end,
                                          BaVec3d<double> offset);
  /// The plane onto z = 0, seen along `viewDirection`: the axes of
  /// computeTransformationPointAndPlane(plane, sidePoint, positive) with Z'
  /// chosen as ±n̂ so that Z'·viewDirection ≤ 0 (−n̂ when n·viewDirection ≥ 0),
  /// and the origin moved so that `origin` maps to (0, 0, 0). When
  /// `origin` lies on the plane, every point of the plane maps to z = 0.
  /// False for a zero normal.
  bool compute3d2dTransformation(Plane3d plane, BaVec3d<double> viewDirection, BaVec3d<double> origin);
  /// Reflection in the plane (determinant −1, its own inverse): points of the
  /// plane stay, every other point goes to its mirror image. False for a
  /// zero normal.
  bool computeMirrorTransformation(Plane3d plane);
  /// @}

  /// @name Rotations about axes and line onto line
  /// Rigid results, m33 = 1. R(u, θ) is the rotation by θ (radians) about the
  /// unit axis u in the sense of the elementary rotations above: about
  /// u = (0, 0, 1) a positive angle carries +Y onto +X and +X onto −Y, so
  /// R(u, θ) is the usual right-handed (counter-clockwise) rotation by −θ.
  /// Each returns false when a direction cannot be normalised (length 1e-50
  /// or less, or not finite) or another input is not finite; the first three
  /// then leave the matrix untouched.
  /// @{
  /// x ↦ R(d/|d|, θ)·x + translation: the rotation about an axis through
  /// (0, 0, 0), then the translation (not a rotation about an axis through it).
  bool computeTransformationAngle(BaVec3d<double> translation, BaVec3d<double> direction, double angle);
  /// x ↦ R(d/|d|, θ)·(x − p) + p: the rotation about the axis through `point`;
  /// points of the axis stay fixed.
  bool computeTransformationRotateAxis(BaVec3d<double> point, BaVec3d<double> direction, double angle);
  /// The same about the line (its point, its direction).
  bool computeTransformationRotateAxis(Line3d axis, double angle);
  /// The motion that carries the source line onto the destination line: its
  /// point onto the destination's point and its direction onto the
  /// destination's direction. It is the frame of the source line (origin its
  /// point, X' its unit direction, Y' the perpendicular of X' below, Z' = X' ×
  /// Y') followed by the inverse of the frame of the destination line, so the
  /// roll about the line is fixed by the perpendicular of each direction:
  /// with the component of smallest magnitude set to zero (on a tie between
  /// x and y, y counts as smaller; on a tie with z, z does),
  ///     smallest x: (0, vz, −vy);  smallest y: (vz, 0, −vx);  smallest z: (vy, −vx, 0).
  /// Lines with the same direction give a pure translation. False when a
  /// direction or a point is unusable; when only the destination's is, the
  /// matrix is left holding the frame of the source line.
  bool computeLineToLineTransformation(const Line3d& source, const Line3d& destination);
  /// @}

  /// @name Three-point alignment
  /// Aligns three source points (given in full) with three destination
  /// points of which only some coordinates are known: q0 by x, y, z, q1 by y
  /// and z, q2 by z. The missing q1.x, q2.x, q2.y are completed so that the
  /// destination triangle has the side lengths of the source triangle and
  /// written into `dst`; then the object is set to the rigid motion that
  /// carries p0, p1, p2 onto q0, q1, q2 (m33 = 1). Only the first three
  /// entries are read; only q1.x, q2.x, q2.y are written, and their input
  /// values are ignored.
  /// - q1.x = q0.x ± h with h² = |p1 − p0|² − (q1.y − q0.y)² − (q1.z − q0.z)²:
  ///   `positiveX` selects q1.x ≥ q0.x.
  /// - q2 lies in the plane z = q2.z on one circle about q0 and one about q1;
  ///   of their two intersections, mirror images in the line through q0 and
  ///   q1 seen from +Z, `leftSide` selects the one to the left of the
  ///   direction q0 → q1 (counter-clockwise from it), false the one to its
  ///   right. Touching circles give one point for both flags.
  /// A squared length (h², or that of q2 from the line) that is negative only
  /// by rounding counts as zero. Returns false when:
  /// - q1 is farther from q0 in y and z alone than p1 from p0: nothing written;
  /// - q1 lands directly above or below q0 (same x and y, up to rounding),
  ///   or the circles do not meet: q1.x written, the matrix untouched;
  /// - p0, p1, p2 coincide or lie on a line (the sine of the angle at p0
  ///   at most 1e-12·(1 + R/|p1 − p0| + R/|p2 − p0|), R the largest
  ///   coordinate magnitude, which the coordinates' own rounding could
  ///   produce): q1.x, q2.x, q2.y written, the matrix untouched;
  /// - the destination frame fails: q1.x, q2.x, q2.y written, the matrix
  ///   left holding the transformation into the source frame.
  /// Throws ProgError, before writing anything, when either vector has fewer
  /// than three entries. `src` and `dst` may be the same vector.
  /// @{
  bool computeTransformation3Points(const std::vector<BaPoint3d<double>>& src, std::vector<BaPoint3d<double>>& dst,
                                    bool positiveX, bool leftSide);
  /// The same for plain vectors: x, y, z of every entry of `dst` are copied
  /// back whatever the result, so `dst` ends as above.
  bool computeTransformation3Points(const std::vector<BaVec3d<double>>& src, std::vector<BaVec3d<double>>& dst,
                                    bool positiveX, bool leftSide);
  /// @}

  /// @name Stream block (id 128, version 1: sixteen doubles row by row, m33 as stored)
  /// @{
  void saveData(IO::OutStream& out, int, int);
  /// Throws IO::StreamException for a block version other than 1, before
  /// anything is read.
  void loadData(IO::InStream& in, int, int);
  /// Installs the library's message catalogue; call once before first use.
  static void InitLibrary();
  /// @}

  /// @name Weighted least-squares best fit of two point sets
  /// Each returns the mean weighted residual (0 or more) and sets the matrix,
  /// or returns −1.0 and leaves the matrix as it was.
  /// @{
  /// Pairs by identifier; unit weights; scale estimated or 1.0.
  double computeTransformation(const std::vector<BaPoint3d<double>>& src,
                               const std::vector<BaPoint3d<double>>& dst, bool withScale);
  /// Pairs by identifier; unit weights; scale estimated or fixed at `scale`.
  double computeTransformation(const std::vector<BaPoint3d<double>>& src,
                               const std::vector<BaPoint3d<double>>& dst, bool withScale, double scale);
  /// Pairs by identifier; the weights of a pair are the first weight point
  /// with the pair's id, else (1, 1, 1).
  double computeWeightedTransformation(const std::vector<BaPoint3d<double>>& src,
                                       const std::vector<BaPoint3d<double>>& dst,
                                       const std::vector<BaPoint3d<double>>& weights, bool withScale);
  /// Pairs by position; unit weights. Throws ProgError when the sizes differ
  /// (after the test for fewer than three points).
  double computeTransformationNoId(const std::vector<BaPoint3d<double>>& src,
                                   const std::vector<BaPoint3d<double>>& dst, bool withScale);
  /// @}

  /// @name Alignment by datum features (overwrite the matrix with a rigid motion)
  /// @{
  /// 3-2-1 alignment of measured points onto nominal coordinates. With k, a,
  /// b the primary, secondary and tertiary axes of `mode`, the result takes
  /// the three `plane` points to the heights (k coordinates) `plane_v`, the
  /// two `dir` points to the a coordinates `dir_v` and `point` to the b
  /// coordinate `point_v`; scale 1. Of the four motions that do so the flags
  /// choose one: `planePositive` asks for a non-negative k component of the
  /// aligned (P1 − P0) × (P2 − P0), false for a negative one; `dirPositive`
  /// puts the aligned second `dir` point at a b coordinate not below the
  /// first one's, false not above it.
  /// Throws ProgError, changing nothing, when `plane` or `plane_v` does not
  /// hold three values or `dir` or `dir_v` not two; otherwise empties
  /// `message` (nothing else is ever written to it), sets the identity and
  /// throws ProgError when `mode` is outside 0 to 5. Returns false, the
  /// identity kept, when any point or nominal value is not finite (NaN,
  /// infinity). Returns false when the nominal values cannot be reached by
  /// the measured points (or the plane points stay degenerate after four
  /// perturbing rotations); the matrix then holds the steps done before the
  /// one that failed.
  bool computeTransformation321(TransformMode_t mode, const std::vector<BaVec3d<double>>& plane,
                                const std::vector<double>& plane_v, bool planePositive,
                                const std::vector<BaVec3d<double>>& dir, const std::vector<double>& dir_v,
                                bool dirPositive, BaVec3d<double> point, double point_v, QString& message);

  /// Plane-line-point alignment: takes the source plane's normal onto the
  /// reference plane's normal, the source line's direction onto the
  /// reference line's and the source point onto the reference point. On each
  /// side the features are first made consistent by the priority of `mode`;
  /// then a frame is built on each side (origin at the point, Z along the
  /// plane normal, X along the line direction projected into the plane) and
  /// the result is the source frame followed by the inverse of the reference
  /// frame. Returns false, with the matrix unchanged, when a line stands
  /// perpendicular to its plane (within 1e-6 rad; the source side is tested
  /// first); `message`, when not null, then receives the translated reason
  /// and is not touched otherwise. Input that is not finite also returns
  /// false, the message untouched. Throws ProgError when `mode` is outside 0
  /// to 5 or a plane normal is zero (length 1e-50 or less).
  bool computeTransformationPlaneLinePoint(TrafoPLPMode_t mode, Plane3d srcPlane, Plane3d refPlane,
                                           Line3d srcLine, Line3d refLine, BaVec3d<double> srcPoint,
                                           BaVec3d<double> refPoint, QString* message);
  /// @}

  /// @name Conventions of other rotation libraries (math_rotation_convention.h)
  /// Right-hand, active rotations as SciPy and Eigen use them; the rotation
  /// block R maps p to R p as everywhere in this class.
  /// @{
  /// Rotation block from Euler angles in `convention`, then translation and 1/scale.
  void setEuler(const BaVec3d<double>& translation, const RotationConvention& convention,
                const EulerAngles& angles, double scale);
  /// Euler angles of the rotation block in `convention`, in its canonical
  /// ranges, with the gimbal-lock rule of math_rotation_convention.h.
  EulerAngles getEuler(const RotationConvention& convention) const;
  /// Rotation block from a rotation vector (unit axis times angle, radians),
  /// then translation and 1/scale.
  void setRotationVector(const BaVec3d<double>& translation, const BaVec3d<double>& rotationVector,
                         double scale);
  /// Rotation vector of the rotation block, angle in [0, π]; at a half turn
  /// the axis is the one of the right-hand quaternion below.
  BaVec3d<double> getRotationVector() const;
  /// Rotation block from a right-hand quaternion (x, y, z, w), normalised
  /// first, then translation and 1/scale. Returns false and leaves the
  /// object untouched for a quaternion of length 0 or one not finite.
  bool setRightHandQuaternion(const BaVec3d<double>& translation, const Quaternion& q, double scale);
  /// Right-hand unit quaternion (x, y, z, w) of the rotation block, of q and
  /// −q the one whose largest component is positive (as SciPy's from_matrix).
  /// A block that is not quite orthonormal gives the quaternion of a nearby
  /// rotation. The library's Quaternion(*this) is its conjugate.
  Quaternion getRightHandQuaternion() const;
  /// @}

 private:
  /// Pairs by identifier, then fits as computeWeightedTransformationNoId.
  double computeWeightedTransformation(const std::vector<BaPoint3d<double>>& src,
                                       const std::vector<BaPoint3d<double>>& dst,
                                       const std::vector<BaPoint3d<double>>& weights, bool withScale,
                                       double scale);
  /// Pairs by position; weights[i] belongs to pair i, an empty list meaning
  /// unit weights for all.
  double computeWeightedTransformationNoId(const std::vector<BaPoint3d<double>>& src,
                                           const std::vector<BaPoint3d<double>>& dst,
                                           const std::vector<BaPoint3d<double>>& weights, bool withScale,
                                           double scale);

  double m[4][4];  ///< m[row][col]; m[3][3] = 1/scale
};

}  // namespace Zem

#endif  // ZEM_MATH_TRANSFORMATION_H
