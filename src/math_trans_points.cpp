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
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "math_fit_result.h"
#include "math_transformation.h"
#include "zem_adjust.h"
#include "zem_base.h"

namespace Zem {

namespace {

using Point = BaPoint3d<double>;
using Vec = BaVec3d<double>;

constexpr double kFailed = -1.0;

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
  EQN::Lane2 rx, ry, rz, vx, vy, vz;
};

inline PairLanes pairLanes(const Point* src, const Point* dst, std::size_t i, const StepFrame& f) {
  using EQN::Lane2;
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
  using EQN::Lane2;
  EQN::NormalAccumulator<kWithScale ? 7 : 6> acc;
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
  using EQN::Lane2;
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
  using EQN::Lane2;
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

/// Square roots of both lanes (one instruction where SSE2 is available).
inline EQN::Lane2 sqrt2(EQN::Lane2 v) {
#if defined(__SSE2__)
  return EQN::Lane2(_mm_sqrt_pd(__m128d(v)));
#else
  return EQN::Lane2{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

/// Mean weighted residual of the result: (1/N)·Σ |w ∘ (T·p − d)|, with T·p
/// = (R·p + t)·(1/m33) (one division for the whole set, not three per point).
template <class Weights>
double meanResidual(const Transformation& t, const Point* src, const Point* dst, const Weights& weights,
                    std::size_t n) {
  using EQN::Lane2;
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
Status fitPairs(const Point* src, const Point* dst, const Weights& weights, std::size_t n, double scale,
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

/// Dispatches on scale estimation and weights; weights == nullptr means unit
/// weights. *result and *residual are written only on success.
Status fitPairs(const Point* src, const Point* dst, const Point* weights, std::size_t n, bool withScale,
                double scale, Transformation* result, double* residual) {
  if (weights) {
    const GivenWeights w{weights};
    return withScale ? fitPairs<true>(src, dst, w, n, scale, result, residual)
                     : fitPairs<false>(src, dst, w, n, scale, result, residual);
  }
  const UnitWeights w;
  return withScale ? fitPairs<true>(src, dst, w, n, scale, result, residual)
                   : fitPairs<false>(src, dst, w, n, scale, result, residual);
}

/// The legacy result: the mean weighted residual, or −1.0.
double legacyResult(Status status, double residual) {
  return status == FitResult::FIT_SUCCEEDED ? residual : kFailed;
}


/// Index of a point set by identifier: for each identifier the first index
/// holding it and, when identifiers repeat and chains are asked for, the next
/// index with the same identifier (increasing). Identifier −1 is never
/// indexed. Identifiers that fill most of their range use a direct table;
/// others a flat open-addressing hash table (linear probing, load at most
/// 1/2). Building and each lookup take constant time on average, and memory is
/// 4 to 16 bytes per point (plus 4 per point only when identifiers repeat).
class IdIndex {
 public:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  /// Largest number of points that can be indexed.
  static constexpr std::size_t kMaxPoints = std::size_t(1) << 30;

  IdIndex(const std::vector<Point>& points, bool withChains) {
    std::size_t count = 0;
    std::int64_t lo = std::numeric_limits<std::int64_t>::max(), hi = std::numeric_limits<std::int64_t>::min();
    for (const Point& p : points) {
      if (p.id == -1) continue;
      ++count;
      lo = std::min<std::int64_t>(lo, p.id);
      hi = std::max<std::int64_t>(hi, p.id);
    }
    if (count == 0) return;
    dense_ = hi - lo < std::int64_t(2 * count + 16);
    if (dense_) {
      base_ = lo;
      direct_.assign(std::size_t(hi - lo + 1), kNone);
    } else {
      unsigned bits = 1;
      while ((std::size_t(1) << bits) < 2 * count) ++bits;
      shift_ = 32u - bits;
      mask_ = (std::uint32_t(1) << bits) - 1u;
      slots_.assign(std::size_t(1) << bits, Slot{-1, kNone});
    }
    // From the back, so that the first index of an identifier is entered
    // last and each chain runs in increasing order.
    constexpr std::size_t kAhead = 16;  // slots are written in random order: fetch them early
    for (std::size_t k = points.size(); k-- > 0;) {
      if (dense_ && k >= kAhead && points[k - kAhead].id != -1)
        __builtin_prefetch(&direct_[std::size_t(std::int64_t(points[k - kAhead].id) - base_)], 1);
      const int id = points[k].id;
      if (id == -1) continue;
      std::uint32_t& first = slotFor(id);
      if (withChains && first != kNone) {
        if (next_.empty()) next_.assign(points.size(), kNone);
        next_[k] = first;
      }
      first = std::uint32_t(k);
    }
  }

  /// First index with this identifier, or kNone.
  std::uint32_t first(int id) const {
    if (id == -1) return kNone;
    if (dense_) {
      const std::int64_t k = std::int64_t(id) - base_;
      return k >= 0 && k < std::int64_t(direct_.size()) ? direct_[std::size_t(k)] : kNone;
    }
    if (slots_.empty()) return kNone;
    for (std::uint32_t h = hash(id);; h = (h + 1u) & mask_) {
      if (slots_[h].id == id) return slots_[h].first;
      if (slots_[h].id == -1) return kNone;
    }
  }

  /// The next index after k with the same identifier, or kNone.
  std::uint32_t next(std::uint32_t k) const { return next_.empty() ? kNone : next_[k]; }

 private:
  struct Slot {
    int id;  ///< −1: empty
    std::uint32_t first;
  };

  std::uint32_t& slotFor(int id) {
    if (dense_) return direct_[std::size_t(std::int64_t(id) - base_)];
    for (std::uint32_t h = hash(id);; h = (h + 1u) & mask_) {
      if (slots_[h].id == id) return slots_[h].first;
      if (slots_[h].id == -1) {
        slots_[h].id = id;
        return slots_[h].first;
      }
    }
  }

  // Fibonacci hashing: the top bits of id·2^32/φ spread runs and strides of
  // identifiers evenly over the table.
  std::uint32_t hash(int id) const { return (std::uint32_t(id) * 2654435769u) >> shift_ & mask_; }

  bool dense_ = false;
  std::int64_t base_ = 0;
  std::vector<std::uint32_t> direct_;
  std::vector<Slot> slots_;
  unsigned shift_ = 31;
  std::uint32_t mask_ = 0;
  std::vector<std::uint32_t> next_;
};

/// Pairs by identifier in linear time. The pairs, their order, the abort
/// rule and the weight lookup are those of comparing every source point with
/// every destination point in order: for each source point in order, its
/// partners in the order of the destination set; the pairing is abandoned
/// (false) as soon as one more pair is found when the pairs already number
/// as many as either set has points; the weights of a pair are the first
/// weight point with its identifier, else (1, 1, 1).
struct IdPairs {
  const Point* src = nullptr;  ///< the source set itself, or pairedSrc
  std::vector<Point> pairedSrc, pairedDst, pairedWeights;
  std::size_t count = 0;
  bool unitWeights = true;
  const Point* weights() const { return unitWeights ? nullptr : pairedWeights.data(); }
};

bool pairById(const std::vector<Point>& src, const std::vector<Point>& dst, const std::vector<Point>& weights,
              IdPairs* out) {
  // The indexes count in 32 bits; a billion points (32 GB of them) is far
  // beyond any measurement this is meant for.
  if (dst.size() > IdIndex::kMaxPoints || weights.size() > IdIndex::kMaxPoints) return false;
  const IdIndex dstById(dst, true);
  const IdIndex weightById(weights, false);
  const bool unitWeights = weights.empty();
  out->unitWeights = unitWeights;
  std::vector<Point>& pairedSrc = out->pairedSrc;
  std::vector<Point>& pairedDst = out->pairedDst;
  std::vector<Point>& pairedWeights = out->pairedWeights;

  // While pair k is source point k, the source set itself serves as the list
  // of paired source points; it is copied only from the first exception on.
  // Partners and weights are gathered once, so that the iterations of the fit
  // read all three lists in order.
  const std::size_t limit = std::min(src.size(), dst.size());
  bool srcInPlace = true;
  std::size_t& pairs = out->count;
  pairedDst.reserve(limit);
  if (!unitWeights) pairedWeights.reserve(limit);
  // The partners lie anywhere in dst: ask for them a few source points ahead
  // so that the gathering waits on memory for several at once, not one by one.
  constexpr std::size_t kAhead = 16;
  for (std::size_t i = 0; i < src.size(); ++i) {
    if (i + kAhead < src.size()) {
      const std::uint32_t ahead = dstById.first(src[i + kAhead].id);
      if (ahead != IdIndex::kNone) {
        const char* const at = reinterpret_cast<const char*>(&dst[ahead]);
        __builtin_prefetch(at);
        // A point straddling two cache lines needs both.
        if ((reinterpret_cast<std::uintptr_t>(at) & 63u) > 64u - sizeof(Point))
          __builtin_prefetch(at + sizeof(Point) - 1);
      }
    }
    const Point& p = src[i];
    std::uint32_t j = dstById.first(p.id);
    if (j == IdIndex::kNone) continue;
    Point w(1.0, 1.0, 1.0, p.id);
    if (!unitWeights) {
      const std::uint32_t k = weightById.first(p.id);
      if (k != IdIndex::kNone) w = weights[k];
    }
    for (; j != IdIndex::kNone; j = dstById.next(j)) {
      if (pairs == limit) return false;
      if (srcInPlace && i != pairs) {
        srcInPlace = false;
        pairedSrc.reserve(limit);
        pairedSrc.assign(src.begin(), src.begin() + std::ptrdiff_t(pairs));
      }
      if (!srcInPlace) pairedSrc.push_back(p);
      pairedDst.push_back(dst[j]);
      if (!unitWeights) pairedWeights.push_back(w);
      ++pairs;
    }
  }
  out->src = srcInPlace ? src.data() : pairedSrc.data();
  return true;
}


bool allFinite(const Point* points, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y) || !std::isfinite(points[i].z)) return false;
  return true;
}

/// The fit of n pairs by position with everything a FitResult reports.
FitResult fitWithResult(const Point* src, const Point* dst, const Point* weights, std::size_t n, bool withScale,
                        double scale) {
  FitResult r;
  r.pairCount = n;
  if (n < 3) return r;  // FIT_TOO_FEW_PAIRS
  if (!allFinite(src, n) || !allFinite(dst, n) || (weights && !allFinite(weights, n))) {
    r.status = FitResult::FIT_NOT_FINITE;
    return r;
  }
  Transformation fitted;
  double meanWeighted = 0.0;
  r.status = fitPairs(src, dst, weights, n, withScale, scale, &fitted, &meanWeighted);
  if (!r.isSucceeded()) return r;
  r.transformation = fitted;
  r.meanWeighted = meanWeighted;
  r.residuals.resize(n);
  r.distances.resize(n);
  double sum = 0.0, sumSquares = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const Vec d = fitted.transformPoint(static_cast<const Vec&>(src[i])) - dst[i];
    r.residuals[i] = Point(d, src[i].id);
    const double squared = d.lengthSquared();
    const double distance = std::sqrt(squared);
    r.distances[i] = distance;
    sum += distance;
    sumSquares += squared;
    r.largest = std::max(r.largest, distance);
  }
  r.mean = sum / double(n);
  r.rms = std::sqrt(sumSquares / double(n));
  return r;
}

}  // namespace

double Transformation::computeTransformation(const std::vector<BaPoint3d<double>>& src,
                                             const std::vector<BaPoint3d<double>>& dst, bool withScale) {
  return computeWeightedTransformation(src, dst, std::vector<BaPoint3d<double>>(), withScale, 1.0);
}

double Transformation::computeTransformation(const std::vector<BaPoint3d<double>>& src,
                                             const std::vector<BaPoint3d<double>>& dst, bool withScale,
                                             double scale) {
  return computeWeightedTransformation(src, dst, std::vector<BaPoint3d<double>>(), withScale, scale);
}

double Transformation::computeWeightedTransformation(const std::vector<BaPoint3d<double>>& src,
                                                     const std::vector<BaPoint3d<double>>& dst,
                                                     const std::vector<BaPoint3d<double>>& weights,
                                                     bool withScale) {
  return computeWeightedTransformation(src, dst, weights, withScale, 1.0);
}

double Transformation::computeTransformationNoId(const std::vector<BaPoint3d<double>>& src,
                                                 const std::vector<BaPoint3d<double>>& dst, bool withScale) {
  // An empty weight list stands for unit weights on every pair: no vector of
  // a million (1, 1, 1) needs to be built.
  return computeWeightedTransformationNoId(src, dst, std::vector<BaPoint3d<double>>(), withScale, 1.0);
}

double Transformation::computeWeightedTransformation(const std::vector<BaPoint3d<double>>& src,
                                                     const std::vector<BaPoint3d<double>>& dst,
                                                     const std::vector<BaPoint3d<double>>& weights,
                                                     bool withScale, double scale) {
  IdPairs pairs;
  if (!pairById(src, dst, weights, &pairs) || pairs.count < 3) return kFailed;
  double residual = 0.0;
  const Status status =
      fitPairs(pairs.src, pairs.pairedDst.data(), pairs.weights(), pairs.count, withScale, scale, this, &residual);
  return legacyResult(status, residual);
}

double Transformation::computeWeightedTransformationNoId(const std::vector<BaPoint3d<double>>& src,
                                                         const std::vector<BaPoint3d<double>>& dst,
                                                         const std::vector<BaPoint3d<double>>& weights,
                                                         bool withScale, double scale) {
  // Fewer than three points fail quietly; unequal sizes are a caller's error.
  // The count test comes first.
  if (src.size() < 3) return kFailed;
  if (dst.size() != src.size() || (!weights.empty() && weights.size() != src.size()))
    throw ProgError("Zem::Transformation::computeWeightedTransformationNoId", "math_trans_points", __LINE__,
                    "Ungleiche Punktemengen");
  double residual = 0.0;
  const Status status = fitPairs(src.data(), dst.data(), weights.empty() ? nullptr : weights.data(), src.size(),
                                 withScale, scale, this, &residual);
  return legacyResult(status, residual);
}

FitResult FitResult::fitById(const std::vector<BaPoint3d<double>>& src, const std::vector<BaPoint3d<double>>& dst,
                             const std::vector<BaPoint3d<double>>& weights, bool withScale, double scale) {
  IdPairs pairs;
  if (!pairById(src, dst, weights, &pairs)) {
    FitResult r;
    r.status = FIT_AMBIGUOUS_PAIRING;
    r.pairCount = pairs.count;
    return r;
  }
  return fitWithResult(pairs.src, pairs.pairedDst.data(), pairs.weights(), pairs.count, withScale, scale);
}

FitResult FitResult::fitByPosition(const std::vector<BaPoint3d<double>>& src,
                                   const std::vector<BaPoint3d<double>>& dst,
                                   const std::vector<BaPoint3d<double>>& weights, bool withScale, double scale) {
  // The same order of tests as computeTransformationNoId: the count first.
  if (src.size() >= 3 && (dst.size() != src.size() || (!weights.empty() && weights.size() != src.size())))
    throw ProgError("Zem::FitResult::fitByPosition", "math_trans_points", __LINE__, "Ungleiche Punktemengen");
  return fitWithResult(src.data(), dst.data(), weights.empty() ? nullptr : weights.data(), src.size(), withScale,
                       scale);
}

const char* FitResult::getStatusText(Status_t status) {
  switch (status) {
    case FIT_SUCCEEDED: return "succeeded";
    case FIT_TOO_FEW_PAIRS: return "fewer than three pairs";
    case FIT_DEGENERATE: return "points on one line or coincident";
    case FIT_NOT_FINITE: return "non-finite data";
    case FIT_NEGATIVE_WEIGHT: return "negative weight";
    case FIT_NOT_CONVERGED: return "did not converge";
    case FIT_AMBIGUOUS_PAIRING: return "repeated identifiers give more pairs than points";
  }
  return "unknown status";
}

}  // namespace Zem
