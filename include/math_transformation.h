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

namespace Zem {

namespace IO {
class InStream;
class OutStream;
}  // namespace IO

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

  /// 3-2-1 alignment: primary axis (plane normal), secondary (direction), tertiary (point).
  enum TransformMode_t {
    ALIGN_ZYX = 0,
    ALIGN_ZXY = 1,
    ALIGN_YZX = 2,
    ALIGN_YXZ = 3,
    ALIGN_XYZ = 4,
    ALIGN_XZY = 5
  };

  /// Plane-line-point alignment: priority order of the three features.
  enum TrafoPLPMode_t {
    PLP_PLANE_LINE_POINT = 0,
    PLP_PLANE_POINT_LINE = 1,
    PLP_LINE_PLANE_POINT = 2,
    PLP_LINE_POINT_PLANE = 3,
    PLP_POINT_PLANE_LINE = 4,
    PLP_POINT_LINE_PLANE = 5
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
  /// (also next to the lock). At a gimbal lock (test element exactly ±1) the
  /// middle angle is ±π/2, the angle that acts last is 0 and the one that
  /// acts first takes the combined turn.
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
