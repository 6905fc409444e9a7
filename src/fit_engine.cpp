// Weighted least-squares best fit of two point sets: pairing by identifier or
// by position, a first estimate from three well-spread points, then a
// Gauss-Newton iteration whose linearised steps go to EQN::EquationAdjust.
//
// Model. A source point p maps to q = s·(R·p + t): R a rotation, t the
// translation (stored as m03, m13, m23), s the uniform scale (m33 = 1/s).
//
// Parameterisation of a step. The rotation is held as a matrix, never as
// angles, while iterating. Each step solves for a small rotation ω (radians,
// a rotation vector in the destination frame) applied after the current one,
//     R ← exp([ω]×)·R,
// together with the corrections of t and s. Its Jacobian is regular at every
// orientation, so the fit behaves the same whatever the angles are, including
// the orientations where the angle about X is ±π/2 (where the three angles of
// the result lose one degree of freedom). Angles are computed once, from the
// final matrix, to build the result with the three-argument set().
//
// Linearised at (t, R, s), with r = R·p:
//     ∂q/∂t   = s·I
//     ∂q/∂ω_k = s·(e_k × r):  x row (0, s·r.z, −s·r.y), y row (−s·r.z, 0, s·r.x),
//                             z row (s·r.y, −s·r.x, 0)
//     ∂q/∂s   = r + t = q / s
// The zero entries (the other axes' translations, and for each coordinate the
// turn about its own axis) are absent coefficients of the observation.
//
// Conditioning. The solver sees an equivalent, well-scaled form of the same
// step: the rotation and scale columns are taken about a centre c inside the
// source set (r_c = R·(p − c)) and divided by a characteristic length L of the
// set, and the variables are measured as (s·t', s·L·ω, L·ds), so that every
// coefficient is 1 or of order 1 whatever the units, the scale and however far
// the part lies from the origin. The step is mapped back exactly by
//     t_correction = t' − ω × (R·c) − ds·(R·c + t)/s,
// and the stopping rules apply to (t_correction, ω, ds). Only pairs that
// carry weight choose c and L: a pair of weight 0 may lie anywhere.
//
// Determinacy. A step whose equilibrated normal matrix is rank-deficient
// (EQN::EquationAdjust) is refused: all weighted points on one line, or at
// one point. Equilibrated, that decision depends on the geometry of the
// weighted pairs only, not on a common weight factor, on weak or absent
// observations, on the units or on where the part lies.
#include "fit_engine.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "fit_kernels.h"
#include "zem_adjust.h"
#include "zem_base.h"

namespace Zem {
namespace fit {

namespace {

using Point = BaPoint3d<double>;
using Vec = BaVec3d<double>;

using Status = FitResult::Status_t;

// Stopping rules of the iteration, on the mean absolute correction of a step
// (translation in mm, rotation in radians and scale added alike).
constexpr unsigned kMaxIterations = 1000;    // reaching it is a failure
constexpr double kConverged = 1e-12;         // below this the iteration stops
constexpr unsigned kPatientIterations = 50;  // after these, go on only while
constexpr double kRequiredShrink = 0.9;      //   each step shrinks by more than a tenth
constexpr double kMaxFinalCorrection = 0.001;  // a last step above this is a failure

// The destination's three reference points give no first estimate when b − a
// or the distance of c from the line a-b is at most this multiple of ε times
// their coordinates' size: what is left of them is rounding, and their frame
// would point anywhere. Relative, so that the start depends neither on the
// units nor on how small the part is.
constexpr double kFrameNoise = 64.0 * std::numeric_limits<double>::epsilon();

/// 3x3 matrix acting on column vectors.
struct Mat3 {
  double a[3][3];

  Vec operator*(const Vec& v) const {
    return Vec(a[0][0] * v.x + a[0][1] * v.y + a[0][2] * v.z, a[1][0] * v.x + a[1][1] * v.y + a[1][2] * v.z,
               a[2][0] * v.x + a[2][1] * v.y + a[2][2] * v.z);
  }
  Mat3 operator*(const Mat3& b) const {
    Mat3 p;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) p.a[r][c] = a[r][0] * b.a[0][c] + a[r][1] * b.a[1][c] + a[r][2] * b.a[2][c];
    return p;
  }
  Mat3 scaled(double f) const {
    Mat3 p;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) p.a[r][c] = a[r][c] * f;
    return p;
  }
};

Mat3 rotationBlock(const Transformation& t) {
  Mat3 r;
  for (unsigned i = 0; i < 3; ++i)
    for (unsigned j = 0; j < 3; ++j) r.a[i][j] = t.getMatrix(j, i);  // column index first
  return r;
}

/// The rotation about the axis ω by the angle |ω| (right-handed, acting on
/// column vectors): I + A·[ω]× + B·[ω]×², A = sin θ/θ, B = (1 − cos θ)/θ².
Mat3 rotationFromVector(const Vec& w) {
  const double theta2 = w.lengthSquared();
  double A, B;
  if (theta2 < 1e-8) {  // series: the next terms are below 1e-17
    A = 1.0 - theta2 / 6.0;
    B = 0.5 - theta2 / 24.0;
  } else {
    const double theta = std::sqrt(theta2);
    A = std::sin(theta) / theta;
    B = (1.0 - std::cos(theta)) / theta2;
  }
  const double x = w.x, y = w.y, z = w.z;
  Mat3 r;
  r.a[0][0] = 1.0 - B * (y * y + z * z);
  r.a[0][1] = -A * z + B * x * y;
  r.a[0][2] = A * y + B * x * z;
  r.a[1][0] = A * z + B * x * y;
  r.a[1][1] = 1.0 - B * (x * x + z * z);
  r.a[1][2] = -A * x + B * y * z;
  r.a[2][0] = -A * y + B * x * z;
  r.a[2][1] = A * x + B * y * z;
  r.a[2][2] = 1.0 - B * (x * x + y * y);
  return r;
}

/// Orthonormal frame of three points: e1 along b − a, e2 in their plane.
struct Frame {
  Vec e1, e2, e3;
  double uSquared;  ///< |b − a|²
  double wSquared;  ///< squared distance of c from the line a-b, before normalising
};

Frame frameOf(const Vec& a, const Vec& b, const Vec& c) {
  Frame f;
  const Vec u = b - a, v = c - a;
  f.e1 = u;
  f.e1.normalize();  // a vector too short to normalise is used as it is
  const Vec w = v - f.e1 * v.dot(f.e1);
  f.e2 = w;
  f.e2.normalize();
  f.e3 = f.e1.cross(f.e2);
  f.uSquared = u.lengthSquared();
  f.wSquared = w.lengthSquared();
  return f;
}

/// Weights of pair i: the given weight points, or (1, 1, 1) for all. A pair
/// carries weight unless all three of its weights are 0; only such pairs
/// say anything about the motion (a pair of weight 0 may lie anywhere).
struct UnitWeights {
  static constexpr bool kUnit = true;
  Vec operator[](std::size_t) const { return Vec(1.0, 1.0, 1.0); }
  bool carries(std::size_t) const { return true; }
};
struct GivenWeights {
  static constexpr bool kUnit = false;
  const Point* w;
  const Vec& operator[](std::size_t i) const { return w[i]; }
  bool carries(std::size_t i) const { return !(w[i].x == 0.0 && w[i].y == 0.0 && w[i].z == 0.0); }
};

/// Three well-spread source points among the pairs that carry weight: a with
/// the smallest x, b farthest from a, c with the largest sum of distances to
/// a and b. Ties keep the lower index; each choice starts at the first pair
/// that carries weight. False when no pair carries weight.
template <class Weights>
bool chooseReferencePoints(const Point* src, const Weights& weights, std::size_t n, std::size_t* a,
                           std::size_t* b, std::size_t* c) {
  std::size_t first = 0;
  while (first < n && !weights.carries(first)) ++first;
  if (first == n) return false;
  std::size_t ia = first;
  for (std::size_t i = first + 1; i < n; ++i)
    if (src[i].x < src[ia].x && weights.carries(i)) ia = i;
  // A square root only where the squared distance already beats the best:
  // a larger distance needs a larger square, and comparing the roots keeps
  // the choice exactly that of comparing distances.
  std::size_t ib = first;
  double bestSquared = (src[first] - src[ia]).lengthSquared();
  double best = std::sqrt(bestSquared);
  for (std::size_t i = first + 1; i < n; ++i) {
    if (i == ia) continue;
    const double d2 = (src[i] - src[ia]).lengthSquared();
    if (d2 > bestSquared && weights.carries(i)) {
      const double d = std::sqrt(d2);
      if (d > best) {
        bestSquared = d2;
        best = d;
        ib = i;
      }
    }
  }
  std::size_t ic = first;
  best = (src[first] - src[ia]).length() + (src[first] - src[ib]).length();
  for (std::size_t i = first + 1; i < n; ++i) {
    if (i == ia || i == ib) continue;
    // da + db ≤ sqrt(2·(da² + db²)): a point whose bound stays clearly below
    // the best sum cannot beat it, and costs no square root. The margin
    // keeps rounding from ever skipping a candidate that could win.
    const double a2 = (src[i] - src[ia]).lengthSquared(), b2 = (src[i] - src[ib]).lengthSquared();
    if (2.0 * (a2 + b2) < best * best * (1.0 - 1e-9)) continue;
    const double d = std::sqrt(a2) + std::sqrt(b2);
    if (d > best && weights.carries(i)) {
      best = d;
      ic = i;
    }
  }
  *a = ia;
  *b = ib;
  *c = ic;
  return true;
}

/// What one pass over the pairs needs of the current estimate.
struct StepFrame {
  Mat3 rl;      ///< R / L
  Vec centre;   ///< c
  double sL;    ///< s·L
  Vec offset;   ///< s·(R·c + t): q = s·L·rl(p) + offset
};

/// r = R·(p − c)/L and v = d − q of pairs i and i + 1, one per lane.
struct PairLanes {
  Lane2 rx, ry, rz, vx, vy, vz;
};

inline PairLanes pairLanes(const Point* src, const Point* dst, std::size_t i, const StepFrame& f) {
    const Mat3& m = f.rl;
  const Point& p0 = src[i];
  const Point& p1 = src[i + 1];
  const Lane2 px = Lane2{p0.x, p1.x} - f.centre.x;
  const Lane2 py = Lane2{p0.y, p1.y} - f.centre.y;
  const Lane2 pz = Lane2{p0.z, p1.z} - f.centre.z;
  PairLanes l;
  l.rx = m.a[0][0] * px + m.a[0][1] * py + m.a[0][2] * pz;
  l.ry = m.a[1][0] * px + m.a[1][1] * py + m.a[1][2] * pz;
  l.rz = m.a[2][0] * px + m.a[2][1] * py + m.a[2][2] * pz;
  l.vx = Lane2{dst[i].x, dst[i + 1].x} - (f.sL * l.rx + f.offset.x);
  l.vy = Lane2{dst[i].y, dst[i + 1].y} - (f.sL * l.ry + f.offset.y);
  l.vz = Lane2{dst[i].z, dst[i + 1].z} - (f.sL * l.rz + f.offset.z);
  return l;
}

/// Hands the 3N observations of one linearised step to the solver, two pairs
/// at a time (one per lane of the accumulator). Variables: 0–2 s·t', 3–5
/// s·L·ω, 6 L·ds (with scale only). Per pair, with r = R·(p − c)/L and
/// v = d − q, the x, y and z observations have the present columns
///     x: 0, 4, 5 [, 6] with (1, r.z, −r.y [, r.x])
///     y: 1, 3, 5 [, 6] with (1, −r.z, r.x [, r.y])
///     z: 2, 3, 4 [, 6] with (1, r.y, −r.x [, r.z])
/// and all other columns absent. (Measuring the variables so, rather than as
/// t', ω and ds, makes every coefficient free of s: the translation columns
/// are the constant 1, which costs no multiplication.)
template <bool kWithScale, class Weights>
void observePairs(EQN::EquationAdjust& adj, const Point* src, const Point* dst, const Weights& weights,
                  std::size_t n, const StepFrame& f) {
    NormalAccumulator<kWithScale ? 7 : 6> acc;
  const Mat3& m = f.rl;
  const double sL = f.sL;
  const Lane2 one = {1.0, 1.0};
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const PairLanes l = pairLanes(src, dst, i, f);
    const Lane2 &rx = l.rx, &ry = l.ry, &rz = l.rz, &vx = l.vx, &vy = l.vy, &vz = l.vz;
    const auto w0 = weights[i];
    const auto w1 = weights[i + 1];
    const Lane2 wx = {w0.x, w1.x}, wy = {w0.y, w1.y}, wz = {w0.z, w1.z};
    if constexpr (kWithScale) {
      acc.template add<0, 4, 5, 6>({one, rz, -ry, rx}, vx, wx);
      acc.template add<1, 3, 5, 6>({one, -rz, rx, ry}, vy, wy);
      acc.template add<2, 3, 4, 6>({one, ry, -rx, rz}, vz, wz);
    } else {
      acc.template add<0, 4, 5>({one, rz, -ry}, vx, wx);
      acc.template add<1, 3, 5>({one, -rz, rx}, vy, wy);
      acc.template add<2, 3, 4>({one, ry, -rx}, vz, wz);
    }
  }
  for (; i < n; ++i) {  // an odd pair left over
    const Vec pc = static_cast<const Vec&>(src[i]) - f.centre;
    const Vec r = m * pc;
    const Vec v = static_cast<const Vec&>(dst[i]) - (r * sL + f.offset);
    const auto w = weights[i];
    if constexpr (kWithScale) {
      acc.template addOne<0, 4, 5, 6>({1.0, r.z, -r.y, r.x}, v.x, w.x);
      acc.template addOne<1, 3, 5, 6>({1.0, -r.z, r.x, r.y}, v.y, w.y);
      acc.template addOne<2, 3, 4, 6>({1.0, r.y, -r.x, r.z}, v.z, w.z);
    } else {
      acc.template addOne<0, 4, 5>({1.0, r.z, -r.y}, v.x, w.x);
      acc.template addOne<1, 3, 5>({1.0, -r.z, r.x}, v.y, w.y);
      acc.template addOne<2, 3, 4>({1.0, r.y, -r.x}, v.z, w.z);
    }
  }
  acc.flushInto(adj);
}

/// Moments of the source set about the centre c, taken once per fit:
/// Σ(p − c) and Σ(p − c)(p − c)ᵀ (symmetric, all nine kept).
struct SourceMoments {
  Vec first;
  double second[3][3];
};

SourceMoments momentsAbout(const Point* src, std::size_t n, const Vec& c) {
    Lane2 s[3] = {}, m[3][3] = {};
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const Lane2 d[3] = {Lane2{src[i].x, src[i + 1].x} - c.x, Lane2{src[i].y, src[i + 1].y} - c.y,
                        Lane2{src[i].z, src[i + 1].z} - c.z};
    for (int r = 0; r < 3; ++r) {
      s[r] += d[r];
      for (int k = r; k < 3; ++k) m[r][k] += d[r] * d[k];
    }
  }
  if (i < n) {
    const Vec d = static_cast<const Vec&>(src[i]) - c;
    const double dv[3] = {d.x, d.y, d.z};
    for (int r = 0; r < 3; ++r) {
      s[r] += Lane2{dv[r], 0.0};
      for (int k = r; k < 3; ++k) m[r][k] += Lane2{dv[r] * dv[k], 0.0};
    }
  }
  SourceMoments out;
  out.first = Vec(s[0][0] + s[0][1], s[1][0] + s[1][1], s[2][0] + s[2][1]);
  for (int r = 0; r < 3; ++r)
    for (int k = r; k < 3; ++k) out.second[r][k] = out.second[k][r] = m[r][k][0] + m[r][k][1];
  return out;
}

/// The same step as observePairs for unit weights, with far less work per
/// pair. With every weight 1 the normal matrix depends on the source points
/// only through Σr and Σr·rᵀ (r = R·(p − c)/L), which follow exactly from the
/// moments of the source set; only the right-hand side, Σv, Σr×v and (with
/// scale) Σr·v with v = d − q, needs a pass over the pairs. The entries are
/// those that the three observations per pair of observePairs sum up:
///     N00 = N11 = N22 = n,   N04 = Σr.z, N05 = −Σr.y, N13 = −Σr.z, N15 = Σr.x,
///     N23 = Σr.y, N24 = −Σr.x,   N33 = Σ(r.y² + r.z²), N44 = Σ(r.x² + r.z²),
///     N55 = Σ(r.x² + r.y²), N34 = −Σr.x·r.y, N35 = −Σr.x·r.z, N45 = −Σr.y·r.z,
///     and with scale N06..N26 = Σr, N36 = N46 = N56 = 0, N66 = Σ|r|².
template <bool kWithScale>
void observeUnitPairs(EQN::EquationAdjust& adj, const Point* src, const Point* dst, std::size_t n,
                      const StepFrame& f, const SourceMoments& moments) {
    constexpr unsigned kN = kWithScale ? 7 : 6;
  const Mat3& m = f.rl;
  const double sL = f.sL;
  Lane2 sumV[3] = {}, sumCross[3] = {}, sumDot = {0.0, 0.0};
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const PairLanes l = pairLanes(src, dst, i, f);
    const Lane2 &rx = l.rx, &ry = l.ry, &rz = l.rz, &vx = l.vx, &vy = l.vy, &vz = l.vz;
    sumV[0] += vx;
    sumV[1] += vy;
    sumV[2] += vz;
    sumCross[0] += ry * vz - rz * vy;
    sumCross[1] += rz * vx - rx * vz;
    sumCross[2] += rx * vy - ry * vx;
    if constexpr (kWithScale) sumDot += rx * vx + ry * vy + rz * vz;
  }
  double rhs[kN];
  for (int k = 0; k < 3; ++k) {
    rhs[k] = sumV[k][0] + sumV[k][1];
    rhs[3 + k] = sumCross[k][0] + sumCross[k][1];
  }
  if constexpr (kWithScale) rhs[6] = sumDot[0] + sumDot[1];
  if (i < n) {  // an odd pair left over
    const Vec r = m * (static_cast<const Vec&>(src[i]) - f.centre);
    const Vec v = static_cast<const Vec&>(dst[i]) - (r * sL + f.offset);
    const Vec c = r.cross(v);
    rhs[0] += v.x, rhs[1] += v.y, rhs[2] += v.z;
    rhs[3] += c.x, rhs[4] += c.y, rhs[5] += c.z;
    if constexpr (kWithScale) rhs[6] += r.dot(v);
  }

  // Σr = (R/L)·Σ(p − c) and Σr·rᵀ = (R/L)·Σ(p − c)(p − c)ᵀ·(R/L)ᵀ.
  const Vec s1 = m * moments.first;
  double mt[3][3], s2[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      mt[r][c] = moments.second[r][0] * m.a[c][0] + moments.second[r][1] * m.a[c][1] +
                 moments.second[r][2] * m.a[c][2];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) s2[r][c] = m.a[r][0] * mt[0][c] + m.a[r][1] * mt[1][c] + m.a[r][2] * mt[2][c];

  double normal[kN * kN] = {};
  auto at = [&normal](unsigned r, unsigned c) -> double& { return normal[r * kN + c]; };
  at(0, 0) = at(1, 1) = at(2, 2) = double(n);
  at(0, 4) = s1.z, at(0, 5) = -s1.y;
  at(1, 3) = -s1.z, at(1, 5) = s1.x;
  at(2, 3) = s1.y, at(2, 4) = -s1.x;
  at(3, 3) = s2[1][1] + s2[2][2], at(4, 4) = s2[0][0] + s2[2][2], at(5, 5) = s2[0][0] + s2[1][1];
  at(3, 4) = -s2[0][1], at(3, 5) = -s2[0][2], at(4, 5) = -s2[1][2];
  if constexpr (kWithScale) {
    at(0, 6) = s1.x, at(1, 6) = s1.y, at(2, 6) = s1.z;
    at(6, 6) = s2[0][0] + s2[1][1] + s2[2][2];
  }
  adj.addNormalSums(normal, rhs, 3 * n);
}

/// Mean weighted residual of the result: (1/N)·Σ |w ∘ (T·p − d)|, with T·p
/// = (R·p + t)·(1/m33) (one division for the whole set, not three per point).
template <class Weights>
double meanResidual(const Transformation& t, const Point* src, const Point* dst, const Weights& weights,
                    std::size_t n) {
    double a[3][4];
  for (unsigned r = 0; r < 3; ++r)
    for (unsigned c = 0; c < 4; ++c) a[r][c] = t.getMatrix(c, r);
  const double scale = 1.0 / t.getMatrix(3, 3);
  Lane2 sum = {0.0, 0.0};
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const Point& p0 = src[i];
    const Point& p1 = src[i + 1];
    const Lane2 px = {p0.x, p1.x}, py = {p0.y, p1.y}, pz = {p0.z, p1.z};
    const Lane2 qx = (a[0][0] * px + a[0][1] * py + a[0][2] * pz + a[0][3]) * scale;
    const Lane2 qy = (a[1][0] * px + a[1][1] * py + a[1][2] * pz + a[1][3]) * scale;
    const Lane2 qz = (a[2][0] * px + a[2][1] * py + a[2][2] * pz + a[2][3]) * scale;
    const auto w0 = weights[i];
    const auto w1 = weights[i + 1];
    const Lane2 dx = Lane2{w0.x, w1.x} * (qx - Lane2{dst[i].x, dst[i + 1].x});
    const Lane2 dy = Lane2{w0.y, w1.y} * (qy - Lane2{dst[i].y, dst[i + 1].y});
    const Lane2 dz = Lane2{w0.z, w1.z} * (qz - Lane2{dst[i].z, dst[i + 1].z});
    sum += sqrt2(dx * dx + dy * dy + dz * dz);
  }
  double total = sum[0] + sum[1];
  if (i < n) {
    const Point& p = src[i];
    const auto w = weights[i];
    const double dx = w.x * ((a[0][0] * p.x + a[0][1] * p.y + a[0][2] * p.z + a[0][3]) * scale - dst[i].x);
    const double dy = w.y * ((a[1][0] * p.x + a[1][1] * p.y + a[1][2] * p.z + a[1][3]) * scale - dst[i].y);
    const double dz = w.z * ((a[2][0] * p.x + a[2][1] * p.y + a[2][2] * p.z + a[2][3]) * scale - dst[i].z);
    total += std::sqrt(dx * dx + dy * dy + dz * dz);
  }
  return total / double(n);
}

bool isFinite(const Transformation& t) {
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c)
      if (!std::isfinite(t.getMatrix(c, r))) return false;
  return true;
}

/// The fit proper on n ≥ 3 pairs (src[i], dst[i], weights[i]). On success
/// sets *result and *residual (the mean weighted residual); on failure
/// returns the reason and leaves both untouched.
template <bool kWithScale, class Weights>
Status fitTyped(const Point* src, const Point* dst, const Weights& weights, std::size_t n, double scale,
                Transformation* result, double* residual) {
  if constexpr (!Weights::kUnit) {
    // A negative weight has no least-squares meaning (it would reward a
    // residual); non-finite ones are caught by the solver.
    for (std::size_t i = 0; i < n; ++i)
      if (weights[i].x < 0.0 || weights[i].y < 0.0 || weights[i].z < 0.0) return FitResult::FIT_NEGATIVE_WEIGHT;
  }

  double s = kWithScale ? 1.0 : scale;
  Vec t;
  Mat3 rot = rotationBlock(Transformation::identity());

  // The reference points, and with them the first estimate, the centre and
  // the length scale of the steps, come from the pairs that carry weight.
  std::size_t ia, ib, ic;
  // No pair that carries weight: nothing fixes the transformation.
  if (!chooseReferencePoints(src, weights, n, &ia, &ib, &ic)) return FitResult::FIT_DEGENERATE;
  const Frame from = frameOf(src[ia], src[ib], src[ic]);
  const Frame to = frameOf(dst[ia], dst[ib], dst[ic]);
  const double size = std::max({Vec(dst[ia]).length(), Vec(dst[ib]).length(), Vec(dst[ic]).length()});
  const double noiseSquared = (kFrameNoise * size) * (kFrameNoise * size);
  if (to.uSquared > noiseSquared && to.wSquared > noiseSquared) {
    if (kWithScale) s = std::sqrt(to.uSquared / from.uSquared);
    double r0[4][4] = {};
    const Vec* const ef[3] = {&from.e1, &from.e2, &from.e3};
    const Vec* const et[3] = {&to.e1, &to.e2, &to.e3};
    for (int k = 0; k < 3; ++k) {
      const double f[3] = {ef[k]->x, ef[k]->y, ef[k]->z};
      const double g[3] = {et[k]->x, et[k]->y, et[k]->z};
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) r0[r][c] += g[r] * f[c];
    }
    r0[3][3] = 1.0;
    const Transformation estimate(r0);
    // Start from the rotation that the angles of R0 describe: orthonormal even
    // when a degenerate source frame made R0 anything but a rotation.
    Transformation start;
    start.set(Vec(), estimate.getAngles(), 1.0);
    rot = rotationBlock(start);
    t = static_cast<const Vec&>(dst[0]) / s - rotationBlock(estimate) * src[0];
  }
  // A zero scale maps everything onto the origin and has no matrix (m33 = 1/s).
  if (s == 0.0 || !std::isfinite(s)) return FitResult::FIT_DEGENERATE;

  // Centre and characteristic length of the weighted source points for the
  // well-scaled form of each step (see the file comment).
  const Vec centre = (static_cast<const Vec&>(src[ia]) + src[ib] + src[ic]) / 3.0;
  const double spread = std::sqrt(from.uSquared);
  const double L = spread > 0.0 ? spread : 1.0;

  SourceMoments moments{};
  if constexpr (Weights::kUnit) moments = momentsAbout(src, n, centre);

  constexpr unsigned nVariables = kWithScale ? 7 : 6;
  EQN::EquationAdjust adj(nVariables);
  unsigned k = 0;
  double prev = 0.0, mean = 0.0;
  for (;;) {
    ++k;
    StepFrame f;
    const Vec rc = rot * centre;
    f.rl = rot.scaled(1.0 / L);
    f.centre = centre;
    f.sL = s * L;
    f.offset = (rc + t) * s;
    if constexpr (Weights::kUnit)
      observeUnitPairs<kWithScale>(adj, src, dst, n, f, moments);
    else
      observePairs<kWithScale>(adj, src, dst, weights, n, f);
    // A step that leaves a variable undetermined (all points on one line: the
    // turn about it is free) has no unique answer. The solver would give the
    // smallest one, which fits the given points and moves everything else
    // arbitrarily; the fit refuses instead.
    if (!adj.solve() || adj.getRank() < nVariables) return FitResult::FIT_DEGENERATE;

    const Vec omega = Vec(adj.getXValue(3), adj.getXValue(4), adj.getXValue(5)) / (s * L);
    const double ds = kWithScale ? adj.getXValue(6) / L : 0.0;
    Vec dt = Vec(adj.getXValue(0), adj.getXValue(1), adj.getXValue(2)) / s - omega.cross(rc);
    if (kWithScale) dt -= (rc + t) * (ds / s);

    t += dt;
    rot = rotationFromVector(omega) * rot;
    if (kWithScale) s += ds;
    mean = (std::fabs(dt.x) + std::fabs(dt.y) + std::fabs(dt.z) + std::fabs(omega.x) + std::fabs(omega.y) +
            std::fabs(omega.z) + std::fabs(ds)) /
           nVariables;
    if (!std::isfinite(mean) || !std::isfinite(s) || s == 0.0) return FitResult::FIT_NOT_CONVERGED;
    const bool goOn =
        k < kMaxIterations && mean > kConverged && (k < kPatientIterations || mean < kRequiredShrink * prev);
    if (!goOn) break;
    prev = mean;
  }
  if (k == kMaxIterations || mean > kMaxFinalCorrection || (kWithScale && s < 0.0))
    return FitResult::FIT_NOT_CONVERGED;

  double r[4][4] = {};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = rot.a[i][j];
  r[3][3] = 1.0;
  Transformation fitted;
  fitted.set(t, Transformation(r).getAngles(), s);
  if (!isFinite(fitted)) return FitResult::FIT_NOT_CONVERGED;
  const double meanWeighted = meanResidual(fitted, src, dst, weights, n);
  if (!std::isfinite(meanWeighted)) return FitResult::FIT_NOT_CONVERGED;
  *result = fitted;
  *residual = meanWeighted;
  return FitResult::FIT_SUCCEEDED;
}

}  // namespace

Status fitPairs(const Point* src, const Point* dst, const Point* weights, std::size_t n, bool withScale,
                double scale, Transformation* result, double* residual) {
  if (weights) {
    const GivenWeights w{weights};
    return withScale ? fitTyped<true>(src, dst, w, n, scale, result, residual)
                     : fitTyped<false>(src, dst, w, n, scale, result, residual);
  }
  const UnitWeights w;
  return withScale ? fitTyped<true>(src, dst, w, n, scale, result, residual)
                   : fitTyped<false>(src, dst, w, n, scale, result, residual);
}

}  // namespace fit
}  // namespace Zem
