// Conventions of other rotation libraries: the 24 Euler-angle conventions,
// rotation vectors and right-hand quaternions, to and from the rotation block
// of a Transformation. Every rotation here is right-hand and active (see
// math_rotation_convention.h), unlike the library's own elementary rotations.
#include "math_rotation_convention.h"

#include <cmath>

#include "math_quaternion.h"
#include "zem_base.h"

namespace Zem {

namespace {

constexpr const char* kSourceFile = "math_rotation_convention";
constexpr double kPi = 3.141592653589793;      // the double nearest π
constexpr double kHalfPi = 1.5707963267948966;  // the double nearest π/2

using Block = double[3][3];

/// Into (−π, π]: atan2 gives [−π, π], a shift by π at most (−2π, 2π].
double wrapAngle(double a) {
  if (a > kPi) return a - 2.0 * kPi;
  if (a <= -kPi) return a + 2.0 * kPi;
  return a;
}

/// +1 when (p, q, 3 − p − q) is a cyclic permutation of (X, Y, Z), else −1:
/// then e_p × e_q = σ e_r, e_q × e_r = σ e_p and e_r × e_p = σ e_q.
double cyclicSign(int p, int q) { return q == (p + 1) % 3 ? 1.0 : -1.0; }

/// out = Ra(angle)·in, Ra right-hand and active about axis a.
void turn(int a, double angle, const Block in, Block out) {
  const int b = (a + 1) % 3, c = (a + 2) % 3;  // (a, b, c) cyclic: Ra carries e_b towards e_c
  const double s = std::sin(angle), co = std::cos(angle);
  for (int col = 0; col < 3; ++col) {
    out[a][col] = in[a][col];
    out[b][col] = co * in[b][col] - s * in[c][col];
    out[c][col] = s * in[b][col] + co * in[c][col];
  }
}

void blockOf(const double m[4][4], Block r) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = m[i][j];
}

/// Angles of R = Rp(a)·Rq(b)·Rl(c), l = p for a proper Euler sequence, else
/// the third axis r. Third angle 0 at the lock.
EulerAngles decomposeIntrinsic(const Block R, int p, int q, bool proper) {
  // The derivations use the columns of the elementary rotations:
  //     Tait-Bryan: row p of R is (cos b cos c, −σ cos b sin c, σ sin b) in columns (p, q, r);
  //     proper:     row p of R is (cos b, sin b sin c, σ sin b cos c)     in columns (p, q, r).
  // The two elements carrying cos b (sin b) give c and, with the remaining
  // element, b; both by atan2, accurate also next to the lock.
  const int r = 3 - p - q;
  const double sigma = cyclicSign(p, q);
  EulerAngles out;
  double carrier;
  if (proper) {
    carrier = std::hypot(R[p][q], R[p][r]);
    out.gimbalLock = carrier <= RotationConvention::kGimbalLockTolerance;
    if (out.gimbalLock) {
      out.second = R[p][p] < 0.0 ? kPi : 0.0;
    } else {
      out.second = std::atan2(carrier, R[p][p]);
      out.third = std::atan2(R[p][q], sigma * R[p][r]);
    }
  } else {
    carrier = std::hypot(R[p][p], R[p][q]);
    out.gimbalLock = carrier <= RotationConvention::kGimbalLockTolerance;
    if (out.gimbalLock) {
      out.second = sigma * R[p][r] < 0.0 ? -kHalfPi : kHalfPi;
    } else {
      out.second = std::atan2(sigma * R[p][r], carrier);
      out.third = std::atan2(-sigma * R[p][q], R[p][p]);
    }
  }
  // a from M = R·Rl(−c) = Rp(a)·Rq(b), not from elements of its own: column
  // q of M is Rp(a) e_q = cos a e_q + σ sin a e_r whatever b is. Near the
  // lock c is only as good as the tiny carriers allow; a taken this way
  // absorbs c's error, so the three angles still rebuild R to rounding.
  // Rl(−c) e_q = cos c e_q − sin c (e_l × e_q), with e_r × e_q = −σ e_p
  // (Tait-Bryan) and e_p × e_q = σ e_r (proper).
  const double sc = std::sin(out.third), cc = std::cos(out.third);
  const int other = proper ? r : p;
  const double sign = proper ? -sigma : sigma;
  const double mqq = cc * R[q][q] + sign * sc * R[q][other];
  const double mrq = cc * R[r][q] + sign * sc * R[r][other];
  out.first = wrapAngle(std::atan2(sigma * mrq, mqq));
  out.third = wrapAngle(out.third);
  return out;
}

/// The right-hand quaternion (x, y, z, w) of a block by the branch of the
/// largest of R00, R11, R22 and the trace (as SciPy's from_matrix): at a half
/// turn the axis comes from the largest diagonal element, not from the
/// vanishing differences of the off-diagonal ones. Normalised.
void quaternionOf(const Block R, double q[4]) {
  const double trace = R[0][0] + R[1][1] + R[2][2];
  int choice = 3;
  double best = trace;
  for (int i = 0; i < 3; ++i)
    if (R[i][i] > best) best = R[i][i], choice = i;
  if (choice == 3) {
    q[0] = R[2][1] - R[1][2];
    q[1] = R[0][2] - R[2][0];
    q[2] = R[1][0] - R[0][1];
    q[3] = 1.0 + trace;
  } else {
    const int i = choice, j = (i + 1) % 3, k = (i + 2) % 3;
    q[i] = 1.0 - trace + 2.0 * R[i][i];
    q[j] = R[j][i] + R[i][j];
    q[k] = R[k][i] + R[i][k];
    q[3] = R[k][j] - R[j][k];
  }
  const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  for (int i = 0; i < 4; ++i) q[i] /= n;
}

}  // namespace

// --- RotationConvention ----------------------------------------------------

RotationConvention::RotationConvention(Axis_t first, Axis_t second, Axis_t third, bool intrinsic_)
    : axes{first, second, third}, intrinsic(intrinsic_) {
  for (Axis_t a : axes)
    if (a < AXIS_X || a > AXIS_Z)
      throw ProgError("Zem::RotationConvention::RotationConvention", kSourceFile, __LINE__, "Axis out of range!");
  if (first == second || second == third)
    throw ProgError("Zem::RotationConvention::RotationConvention", kSourceFile, __LINE__,
                    "Consecutive axes must differ!");
}

RotationConvention::RotationConvention(const QString& name) : axes{AXIS_X, AXIS_Y, AXIS_Z}, intrinsic(false) {
  if (!parse(name, this))
    throw ProgError("Zem::RotationConvention::RotationConvention", kSourceFile, __LINE__,
                    "Not a rotation convention!");
}

RotationConvention::RotationConvention(Transformation::RotationOrder_t order) : intrinsic(false) {
  static const Axis_t kAxesOf[6][3] = {{AXIS_X, AXIS_Y, AXIS_Z}, {AXIS_X, AXIS_Z, AXIS_Y},
                                       {AXIS_Y, AXIS_X, AXIS_Z}, {AXIS_Y, AXIS_Z, AXIS_X},
                                       {AXIS_Z, AXIS_X, AXIS_Y}, {AXIS_Z, AXIS_Y, AXIS_X}};
  if (order < Transformation::ORDER_XYZ || order > Transformation::ORDER_ZYX)
    throw ProgError("Zem::RotationConvention::RotationConvention", kSourceFile, __LINE__, "Order out of range!");
  for (int i = 0; i < 3; ++i) axes[i] = kAxesOf[order][i];
}

bool RotationConvention::parse(const QString& name, RotationConvention* out) {
  if (name.size() != 3) return false;
  const bool upper = name.at(0).unicode() >= 'X' && name.at(0).unicode() <= 'Z';
  const char base = upper ? 'X' : 'x';
  Axis_t parsed[3];
  for (int i = 0; i < 3; ++i) {
    const char16_t c = name.at(i).unicode();
    if (c < base || c > base + 2) return false;  // also a mix of cases
    parsed[i] = static_cast<Axis_t>(c - base);
  }
  if (parsed[0] == parsed[1] || parsed[1] == parsed[2]) return false;
  *out = RotationConvention(parsed[0], parsed[1], parsed[2], upper);
  return true;
}

QString RotationConvention::getName() const {
  const char base = intrinsic ? 'X' : 'x';
  const char text[4] = {char(base + axes[0]), char(base + axes[1]), char(base + axes[2]), '\0'};
  return QString::fromLatin1(text);
}

// --- Transformation --------------------------------------------------------

void Transformation::setEuler(const BaVec3d<double>& translation, const RotationConvention& convention,
                              const EulerAngles& angles, double scale) {
  // Built from the right as turns applied to the identity:
  //     intrinsic "PQR": Rp(a1)·Rq(a2)·Rr(a3) = Rp(a1)·(Rq(a2)·(Rr(a3)·I));
  //     extrinsic "pqr": Rr(a3)·Rq(a2)·Rp(a1)·I.
  const double a[3] = {angles.first, angles.second, angles.third};
  Block r = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, next;
  for (int step = 0; step < 3; ++step) {
    const int index = convention.isIntrinsic() ? 2 - step : step;
    turn(convention.getAxis(index), a[index], r, next);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) r[i][j] = next[i][j];
  }
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m[i][j] = r[i][j];
    m[3][i] = 0.0;
  }
  m[0][3] = translation.x;
  m[1][3] = translation.y;
  m[2][3] = translation.z;
  m[3][3] = 1.0 / scale;
}

EulerAngles Transformation::getEuler(const RotationConvention& convention) const {
  const int p = convention.getAxis(0), q = convention.getAxis(1);
  const bool proper = convention.isProperEuler();
  Block r;
  if (convention.isIntrinsic()) {
    blockOf(m, r);
    return decomposeIntrinsic(r, p, q, proper);
  }
  // Extrinsic "pqr" with (a1, a2, a3): R = Rr(a3)·Rq(a2)·Rp(a1), so
  // Rᵀ = Rp(−a1)·Rq(−a2)·Rr(−a3) is intrinsic "PQR" with the negated angles,
  // and its third angle is again the one set to 0 at the lock.
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = m[j][i];
  const EulerAngles t = decomposeIntrinsic(r, p, q, proper);
  EulerAngles out(wrapAngle(-t.first), 0.0 - t.second, 0.0 - t.third);  // 0.0 − x: never −0
  out.gimbalLock = t.gimbalLock;
  if (proper) {
    if (t.gimbalLock) {
      out.second = t.second;  // Rq(−π) = Rq(π); 0 stays 0
    } else {
      // a2 in (−π, 0): (a1 + π, −a2, a3 + π) is the same rotation, since
      // Rp(π)·Rq(a2)·Rp(π) = Rq(−a2).
      out.first = wrapAngle(out.first + kPi);
      out.second = t.second;
      out.third = wrapAngle(out.third + kPi);
    }
  } else {
    out.third = wrapAngle(out.third);
  }
  return out;
}

void Transformation::setRotationVector(const BaVec3d<double>& translation, const BaVec3d<double>& rotationVector,
                                       double scale) {
  // Through the quaternion (v sin(θ/2)/θ, cos(θ/2)), θ = |v|: sin(θ/2)/θ has
  // no cancellation down to the smallest θ, and tends to 1/2 at θ = 0.
  const double angle = rotationVector.length();
  const double k = angle > 0.0 ? std::sin(0.5 * angle) / angle : 0.5;
  const Quaternion q(rotationVector.x * k, rotationVector.y * k, rotationVector.z * k, std::cos(0.5 * angle));
  setRightHandQuaternion(translation, q, scale);
}

BaVec3d<double> Transformation::getRotationVector() const {
  Quaternion q = getRightHandQuaternion();
  if (q.w < 0.0) q = -q;  // the angle in [0, π]
  const double sine = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z);  // sin(θ/2)
  if (sine == 0.0) return BaVec3d<double>();
  const double angle = 2.0 * std::atan2(sine, q.w);
  return BaVec3d<double>(q.x, q.y, q.z) * (angle / sine);
}

bool Transformation::setRightHandQuaternion(const BaVec3d<double>& translation, const Quaternion& q, double scale) {
  const double n = q.getLength();
  if (!(n > 0.0) || !std::isfinite(n)) return false;
  const double x = q.x / n, y = q.y / n, z = q.z / n, w = q.w / n;
  m[0][0] = x * x - y * y - z * z + w * w;
  m[0][1] = 2.0 * (x * y - z * w);
  m[0][2] = 2.0 * (x * z + y * w);
  m[1][0] = 2.0 * (x * y + z * w);
  m[1][1] = -x * x + y * y - z * z + w * w;
  m[1][2] = 2.0 * (y * z - x * w);
  m[2][0] = 2.0 * (x * z - y * w);
  m[2][1] = 2.0 * (y * z + x * w);
  m[2][2] = -x * x - y * y + z * z + w * w;
  m[3][0] = m[3][1] = m[3][2] = 0.0;
  m[0][3] = translation.x;
  m[1][3] = translation.y;
  m[2][3] = translation.z;
  m[3][3] = 1.0 / scale;
  return true;
}

Quaternion Transformation::getRightHandQuaternion() const {
  Block r;
  blockOf(m, r);
  double q[4];
  quaternionOf(r, q);
  return Quaternion(q[0], q[1], q[2], q[3]);
}

}  // namespace Zem
