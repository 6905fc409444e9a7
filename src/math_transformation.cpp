// Transformation core: construction, setting from angles in six orders,
// decomposition into angles, composition, inversion, interpolation and the
// application to angles, error vectors and boxes.
#include "math_transformation.h"

#include <cmath>
#include <limits>

namespace Zem {

namespace {

// The double nearest π/2; returned as the middle angle at a gimbal lock.
constexpr double kHalfPi = 1.5707963267948966;
// cos b at or below which a test element of ±1 counts as the gimbal lock: a
// few units of rounding. A middle angle of exactly ±π/2 leaves cos b =
// 6.1e-17 (the cosine of the double nearest π/2) in the neighbours of e.
constexpr double kLockNoise = 4.0 * std::numeric_limits<double>::epsilon();

}  // namespace

Transformation::Transformation(const double mat[][4]) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m[r][c] = mat[r][c];
}

Transformation::Transformation(const BaVec3d<double>& d) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m[r][c] = 0.0;
  m[0][0] = d.x;
  m[1][1] = d.y;
  m[2][2] = d.z;
  m[3][3] = 1.0;
}

Transformation Transformation::identity() {
  Transformation t;
  t.set(BaVec3d<double>(), BaVec3d<double>(), 1.0);
  return t;
}

void Transformation::set(const BaVec3d<double>& translation, const BaVec3d<double>& angles, double scale) {
  const double sx = std::sin(angles.x), cx = std::cos(angles.x);
  const double sy = std::sin(angles.y), cy = std::cos(angles.y);
  const double sz = std::sin(angles.z), cz = std::cos(angles.z);
  // R = Mz(z)·Mx(x)·My(y): Y acts first, then X, then Z.
  m[0][0] = cz * cy + sx * sy * sz;
  m[0][1] = cx * sz;
  m[0][2] = sx * cy * sz - cz * sy;
  m[1][0] = sx * sy * cz - cy * sz;
  m[1][1] = cx * cz;
  m[1][2] = sx * cy * cz + sy * sz;
  m[2][0] = cx * sy;
  m[2][1] = -sx;
  m[2][2] = cx * cy;
  m[0][3] = translation.x;
  m[1][3] = translation.y;
  m[2][3] = translation.z;
  m[3][0] = m[3][1] = m[3][2] = 0.0;
  m[3][3] = 1.0 / scale;
}

void Transformation::set(const BaVec3d<double>& translation, const BaVec3d<double>& angles,
                         RotationOrder_t order, double scale) {
  const BaVec3d<double> zero;
  const Transformation mx(zero, BaVec3d<double>(angles.x, 0.0, 0.0), 1.0);
  const Transformation my(zero, BaVec3d<double>(0.0, angles.y, 0.0), 1.0);
  const Transformation mz(zero, BaVec3d<double>(0.0, 0.0, angles.z), 1.0);

  // Each append puts the next elementary rotation after the ones before it,
  // so the first one appended acts first.
  const Transformation* sequence[3] = {nullptr, nullptr, nullptr};
  switch (order) {
    case ORDER_XYZ: sequence[0] = &mx; sequence[1] = &my; sequence[2] = &mz; break;
    case ORDER_XZY: sequence[0] = &mx; sequence[1] = &mz; sequence[2] = &my; break;
    case ORDER_YXZ: sequence[0] = &my; sequence[1] = &mx; sequence[2] = &mz; break;
    case ORDER_YZX: sequence[0] = &my; sequence[1] = &mz; sequence[2] = &mx; break;
    case ORDER_ZXY: sequence[0] = &mz; sequence[1] = &mx; sequence[2] = &my; break;
    case ORDER_ZYX: sequence[0] = &mz; sequence[1] = &my; sequence[2] = &mx; break;
  }

  set(zero, zero, 1.0);
  for (const Transformation* step : sequence)
    if (step) append(*step);

  m[0][3] = translation.x;
  m[1][3] = translation.y;
  m[2][3] = translation.z;
  m[3][3] = 1.0 / scale;
}

BaMatrix4x4<double> Transformation::getMatrix() const {
  BaMatrix4x4<double> out;
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) out(r, c) = m[r][c];
  return out;
}

void Transformation::getGLTransformation(double* out) const {
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) out[4 * c + r] = m[r][c];
}

Transformation Transformation::getRotationMatrix() const {
  Transformation r(*this);
  r.m[0][3] = r.m[1][3] = r.m[2][3] = 0.0;
  r.m[3][0] = r.m[3][1] = r.m[3][2] = 0.0;
  r.m[3][3] = 1.0;
  return r;
}

BaVec3d<double> Transformation::getAngles() const {
  const double z = std::atan2(m[0][1], m[1][1]);
  const double s = std::sin(z), c = std::cos(z);
  const double y = std::atan2(m[1][2] * s - m[0][2] * c, m[0][0] * c - m[1][0] * s);
  const double x = std::atan2(-m[2][1], m[0][1] * s + m[1][1] * c);
  return BaVec3d<double>(x, y, z);
}

BaVec3d<double> Transformation::getAngles(RotationOrder_t order) const {
  // Axes of an order: i acts first (angle a), j in the middle (b), k last (c),
  // R = Mk(c)·Mj(b)·Mi(a). σ = +1 when (i, j, k) is cyclic (XYZ, YZX, ZXY),
  // −1 otherwise. From the elementary rotations:
  //     column i of R:   R[i][i] = cos b·cos c,  R[j][i] = −σ·cos b·sin c,
  //                      R[k][i] = σ·sin b  (the test element e);
  //     row j of Mk(c)ᵀ·R = Mj(b)·Mi(a) is row j of Mi(a): (cos a, σ·sin a)
  //                      in columns j and k.
  // c and b come from column i. a comes from R with Mk(c) taken off again, not
  // from elements of its own: near the lock cos b is rounding noise, c is
  // whatever that noise says, and a taken this way absorbs c's error, so the
  // three angles always rebuild R to rounding.
  // The gimbal lock: e is ±1 and the other elements of its column i and row
  // k (all cos b times a sine or cosine) are rounding noise. The first and
  // last rotations then turn about the same axis and only their combination
  // is defined; the whole turn goes to a, the angle that acts first, and c,
  // the angle that acts last, is 0. e alone does not tell: within 1.5e-8 rad
  // of the lock sin b rounds to exactly ±1 while cos b is still far above
  // rounding, and taking the lock there would be off by cos b.
  int i, j, k;
  switch (order) {
    case ORDER_XYZ: i = 0, j = 1, k = 2; break;
    case ORDER_XZY: i = 0, j = 2, k = 1; break;
    case ORDER_YXZ: i = 1, j = 0, k = 2; break;
    case ORDER_YZX: i = 1, j = 2, k = 0; break;
    case ORDER_ZXY: i = 2, j = 0, k = 1; break;
    case ORDER_ZYX: i = 2, j = 1, k = 0; break;
    default: return BaVec3d<double>();
  }
  const double sigma = j == (i + 1) % 3 ? 1.0 : -1.0;
  const double e = m[k][i];
  const bool locked = std::fabs(e) >= 1.0 && std::hypot(m[i][i], m[j][i]) <= kLockNoise &&
                      std::hypot(m[k][j], m[k][k]) <= kLockNoise;
  double b, c = 0.0, sc = 0.0, cc = 1.0;
  if (locked) {
    b = e > 0.0 ? sigma * kHalfPi : -sigma * kHalfPi;
  } else {
    c = std::atan2(-sigma * m[j][i], m[i][i]);
    b = std::atan2(sigma * e, std::hypot(m[i][i], m[j][i]));  // within ±π/2, like asin(σ·e)
    sc = std::sin(c);
    cc = std::cos(c);
  }
  // Row j of Mk(c)ᵀ·R = cos c·(row j of R) + σ·sin c·(row i of R).
  const double rjj = cc * m[j][j] + sigma * sc * m[i][j];
  const double rjk = cc * m[j][k] + sigma * sc * m[i][k];
  const double a = std::atan2(sigma * rjk, rjj);

  double angles[3];
  angles[i] = a;
  angles[j] = b;
  angles[k] = c;
  return BaVec3d<double>(angles[0], angles[1], angles[2]);
}

void Transformation::append(const Transformation& b) {
  // P = b·M into a temporary first: b may be this object.
  double p[4][4];
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      p[r][c] = b.m[r][0] * m[0][c] + b.m[r][1] * m[1][c] + b.m[r][2] * m[2][c] + b.m[r][3] * m[3][c];
  *this = Transformation(p);
}

void Transformation::prepend(const Transformation& b) {
  double p[4][4];
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      p[r][c] = m[r][0] * b.m[0][c] + m[r][1] * b.m[1][c] + m[r][2] * b.m[2][c] + m[r][3] * b.m[3][c];
  *this = Transformation(p);
}

Transformation Transformation::inverse() const {
  // p' = (R p + t)/m33  =>  p = Rᵀ (m33 p' − t) = (Rᵀ p' − Rᵀ t / m33) / (1/m33).
  Transformation r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = m[j][i];
  for (int i = 0; i < 3; ++i)
    r.m[i][3] = -(m[0][i] * m[0][3] + m[1][i] * m[1][3] + m[2][i] * m[2][3]) / m[3][3];
  r.m[3][0] = r.m[3][1] = r.m[3][2] = 0.0;
  r.m[3][3] = 1.0 / m[3][3];
  return r;
}

Transformation Transformation::lerp(const Transformation& a, double t, const Transformation& b) {
  Transformation r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r.m[i][j] = a.m[i][j] * (1.0 - t) + b.m[i][j] * t;
  return r;
}

BaVec3d<double> Transformation::transformAngles(const BaVec3d<double>& angles) const {
  const Transformation a(BaVec3d<double>(), angles, 1.0);
  Transformation n = inverse();
  n.append(a);  // the inverse acts first, then the rotation of the angles
  return n.getAngles();
}

BaVec3d<double> Transformation::transformError(BaVec3d<double> e) const {
  Transformation noShift(*this);
  noShift.m[0][3] = noShift.m[1][3] = noShift.m[2][3] = 0.0;
  return noShift.transformPoint(e);
}

Box3d Transformation::transformBox(const Box3d& box) const {
  const BaVec3d<double>& lo = box.minCorner;
  const BaVec3d<double>& hi = box.maxCorner;
  const BaVec3d<double> corners[8] = {
      {lo.x, lo.y, lo.z}, {lo.x, hi.y, lo.z}, {hi.x, hi.y, lo.z}, {hi.x, lo.y, lo.z},
      {lo.x, lo.y, hi.z}, {lo.x, hi.y, hi.z}, {hi.x, hi.y, hi.z}, {hi.x, lo.y, hi.z}};
  const double big = std::numeric_limits<double>::max();
  Box3d out(BaVec3d<double>(big, big, big), BaVec3d<double>(-big, -big, -big));
  for (const BaVec3d<double>& c : corners) {
    const BaVec3d<double> p = transformPoint(c);
    if (p.x < out.minCorner.x) out.minCorner.x = p.x;
    if (p.y < out.minCorner.y) out.minCorner.y = p.y;
    if (p.z < out.minCorner.z) out.minCorner.z = p.z;
    if (p.x > out.maxCorner.x) out.maxCorner.x = p.x;
    if (p.y > out.maxCorner.y) out.maxCorner.y = p.y;
    if (p.z > out.maxCorner.z) out.maxCorner.z = p.z;
  }
  return out;
}

}  // namespace Zem
