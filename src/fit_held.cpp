// Held freedoms: the minimisation over the free parameters of a best fit
// (the model in fit_model.h).
//
// Minimisation. Newton steps (the Gauss-Newton matrix plus the second-order
// terms of the rotation and the scale) with Levenberg-Marquardt damping over
// the free directions; it stops when the Gauss-Newton step promises no
// decrease beyond rounding relative to the objective. Every start first runs
// on the quadratic of the pairs (fit_kernels.h, one pass), where each step
// costs the same whatever the number of pairs; the lowest optimum reached
// there then takes its last steps on the pairs themselves (one pass for the
// objective and its derivatives, one for each trial step), which hold F to
// the rounding of the residuals rather than of the moments. Starts: the
// closed-form (Horn) rotation of the pairs' mean weights, centred and, with a
// translation component held, also about the origin; a turn about one axis
// from its closed form in the plane of the turn; with weights that differ
// between axes or a translation component held also turns spread over all
// rotations (the free fit's grid, see fit_solver.cpp); the lowest result
// wins. With a translation component held, the steps on the quadratic turn
// about the image of the origin and the scale and free shift follow each
// turn at their optimum (minimiseOnMoments, projected).
//
// A scale that runs to 0. With the rotation held, the destination may
// correlate negatively with the source under every rotation allowed; F then
// falls all the way to a scale of 0, where every point maps to one, and the
// fit is degenerate in its scale.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "fit_engine.h"
#include "fit_model.h"

namespace Zem {
namespace fit {

namespace {

/// Iterations at most: a guard. Newton steps reach the optimum in a
/// handful; Gauss-Newton alone, linear where the residuals are large against
/// the part, had taken several hundred, and stopping it at 100 had left a
/// fit 2 µm and 0.1 mrad off. A minimisation on the pairs that reaches it
/// has not found the optimum and fails (FIT_NOT_CONVERGED).
constexpr int kMaxIterations = 1000;
/// How many times more the lowest start may take kMaxIterations steps on
/// the quadratic of the pairs (microseconds each) when it has not reached
/// its optimum: a part 1e5 mm and more from the origin with a held
/// translation component and noise as large as the part took up to 20,000.
constexpr int kContinuations = 30;
/// With weights that differ between axes: the turns about a held axis (of
/// eleven, 30° apart) and the rotations of the grid (of 59) with the lowest
/// objective from which the minimisation runs too. On problems of a few
/// pairs weighted 0 to 100 per axis, the best three turns still missed an
/// optimum, five none in 250; the best four rotations missed one in 300,
/// eight none. Each costs a minimisation on the moments (microseconds);
/// screening them needs the objective from the pairs, one read each.
constexpr std::size_t kScreenedTurns = 5;
constexpr std::size_t kScreenedRotations = 8;
/// The minimisation stops when the predicted decrease is below this
/// fraction of the objective (plus its rounding).
constexpr double kOptimality = 1e-16;

/// Whether some pair used weighs its axes differently (W not a multiple of
/// the identity).
bool differsBetweenAxes(const Pairs& pairs) {
  for (std::size_t i = 0; i < pairs.list.n; ++i) {
    if (!pairs.used[i]) continue;
    const Matrix3d w = pairs.weight(i);
    if (!(w - Matrix3d::Identity() * w(0, 0)).isZero(0.0)) return true;
  }
  return false;
}

/// The pose with its scale (when free) and its free translation components
/// at their optimum on the quadratic q for the pose's rotation, where F is
/// exactly quadratic in them; the pose as it is when that does not lower F
/// (they are not determined, or rounding). A held translation component
/// ties the turn and the scale of a part far from the origin into a long,
/// curved valley of F (a turn about the origin moves the part by its
/// distance from it): steps of the turn, with these set anew after each,
/// follow the valley, where steps of all parameters at once had crawled along
/// it for a thousand iterations. The scale stays positive: where its best
/// value is not, only the translation is set.
Pose projected(const Quadratic& q, const Freedoms& fr, const Pose& pose) {
  const Vector3d p0 = toEigen(q.refSrc), q0 = toEigen(q.refDst);
  // x = base + M·y with y = (the scale, when free; the free components of T).
  Vector12 turned;
  for (int k = 0; k < 3; ++k) turned.segment<3>(3 * k) = pose.rotation.col(k);
  turned.segment<3>(9) = pose.rotation * p0;
  const auto optimum = [&](bool withScale, Pose* out) {
    Eigen::Matrix<double, 12, 4> m = Eigen::Matrix<double, 12, 4>::Zero();
    Vector12 base = Vector12::Zero();
    base.segment<3>(9) = -q0;
    int columns = 0;
    if (withScale)
      m.col(columns++) = turned;
    else
      base += pose.scale * turned;
    for (int k = 0; k < 3; ++k) {
      if (fr.free[k])
        m(9 + k, columns++) = 1.0;
      else
        base(9 + k) += pose.translation(k);
    }
    if (columns == 0) return false;
    const auto used = m.leftCols(columns);
    const MatrixM n = used.transpose() * q.H * used;
    const linalg::LdltSolution y = linalg::solveLdlt(n, used.transpose() * (q.g - q.H * base));
    if (!(y.semiDefinite && y.smallestPivot > 0.0) || !y.x.allFinite()) return false;
    *out = pose;
    int next = 0;
    if (withScale) out->scale = y.x(next++);
    for (int k = 0; k < 3; ++k)
      if (fr.free[k]) out->translation(k) = y.x(next++);
    return out->scale > 0.0;
  };
  Pose best;
  if (!optimum(fr.free[6], &best) && !(fr.free[6] && optimum(false, &best))) return pose;
  return q.valueAt(packedOf(q, best)) < q.valueAt(packedOf(q, pose)) ? best : pose;
}

/// The closed-form starts of a fit with held freedoms (see the file comment),
/// the grid's screened by F from the quadratic q of the pairs used, or from
/// the pairs when there is none.
std::vector<Pose> startsOf(const Pairs& pairs, const Freedoms& fr, const FitOptions& o, const Quadratic* q) {
  double sw = 0.0;
  Vector3d sa = Vector3d::Zero(), sb = Vector3d::Zero();
  Matrix3d sba = Matrix3d::Zero();
  double saa = 0.0, sbb = 0.0;
  for (std::size_t i = 0; i < pairs.list.n; ++i) {
    if (!pairs.used[i]) continue;
    const double w = pairs.weight(i).trace() / 3.0;
    const Vector3d a = toEigen(pairs.list.src[i]), b = toEigen(pairs.list.dst[i]);
    sw += w;
    sa += w * a;
    sb += w * b;
    sba += w * b * a.transpose();
    saa += w * a.squaredNorm();
    sbb += w * b.squaredNorm();
  }
  std::vector<Pose> starts;
  if (!(sw > 0.0)) return starts;
  const Vector3d abar = sa / sw, bbar = sb / sw;
  const bool held = !(fr.free[0] && fr.free[1] && fr.free[2]);
  for (int centred = 1; centred >= (held ? 0 : 1); --centred) {
    const Vector3d ac = centred ? abar : Vector3d::Zero(), bc = centred ? bbar : Vector3d::Zero();
    Matrix3d c = sba / sw - bc * ac.transpose();
    const double varA = saa / sw - ac.squaredNorm(), varB = sbb / sw - bc.squaredNorm();
    const double sign = (!o.withScale && o.scale < 0.0) ? -1.0 : 1.0;
    c *= sign;
    Pose pose;
    if (fr.rotationAxis >= 0) {
      const int a = (fr.rotationAxis + 1) % 3, b = (fr.rotationAxis + 2) % 3;
      pose.angle = std::atan2(c(b, a) - c(a, b), c(a, a) + c(b, b));
      pose.rotation = axisRotation(fr.rotationAxis, pose.angle);
    } else if (fr.free[3]) {
      const linalg::Svd3 svd = linalg::svd(c);
      const double d = svd.u.determinant() * svd.v.determinant() < 0.0 ? -1.0 : 1.0;
      pose.rotation = svd.u * Vector3d(1.0, 1.0, d).asDiagonal() * svd.v.transpose();
    }
    pose.scale = o.withScale ? (varA > 0.0 && varB > 0.0 ? std::sqrt(varB / varA) : 1.0) : o.scale;
    pose.translation = bc - pose.scale * (pose.rotation * ac);
    for (int k = 0; k < 3; ++k)
      if (!fr.free[k]) pose.translation(k) = 0.0;
    starts.push_back(pose);
  }
  if (!(differsBetweenAxes(pairs) || held) || starts.empty()) return starts;
  // Weights that differ between axes, and held translation components, can
  // give other minima (see fit_solver.cpp): turns spread over all angles of
  // a held axis, or the free rotations of a grid with the lowest objective,
  // start too.
  const Pose centred = starts.front();
  std::vector<std::pair<double, Pose>> grid;
  const auto consider = [&](const Matrix3d& rotation, double angle) {
    Pose pose = centred;
    pose.rotation = rotation;
    pose.angle = angle;
    pose.translation = bbar - pose.scale * (pose.rotation * abar);
    for (int k = 0; k < 3; ++k)
      if (!fr.free[k]) pose.translation(k) = 0.0;
    if (q) pose = projected(*q, fr, pose);
    grid.emplace_back(q ? q->valueAt(packedOf(*q, pose)) : objective(pairs, pose), pose);
  };
  if (fr.rotationAxis >= 0) {
    for (int k = 1; k < 12; ++k) {
      const double angle = centred.angle + k * std::acos(-1.0) / 6.0;
      consider(axisRotation(fr.rotationAxis, angle), angle);
    }
  } else if (fr.free[3]) {
    for (const Matrix3d& turn : rotationGrid()) consider(centred.rotation * turn, 0.0);
  }
  // Only the starts with the lowest objective run.
  const std::size_t kept = std::min(fr.rotationAxis >= 0 ? kScreenedTurns : kScreenedRotations, grid.size());
  std::partial_sort(grid.begin(), grid.begin() + long(kept), grid.end(),
                    [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t k = 0; k < kept; ++k) starts.push_back(grid[k].second);
  return starts;
}

/// Whether the undamped Gauss-Newton step `step` of the free directions
/// takes the scale through 0. For a given rotation F is quadratic in the
/// scale, so where no step lowers F any more, such a step means that F
/// falls all the way to a scale of 0 (the destination correlates negatively
/// with the source under every rotation the fit may take): the scale has no
/// optimum, and the fit no transformation.
bool scaleRunsToZero(const Freedoms& fr, const Basis& b, const VectorM& step) {
  return fr.free[6] && !(1.0 + (b * step)(6) > 0.0);
}

/// How much the scale still moves F: N_ss + 2·|g_s| (g = ½∇F and N of the
/// free directions, the scale the last of them), the change of F if the
/// scale grew by its own size, both of which vanish with the scale. Once
/// that is rounding, a scale that runs to 0 has arrived there: the
/// iteration would only creep on, halving it.
double effectOfScale(const MatrixM& n, const VectorM& g) {
  const Eigen::Index last = g.size() - 1;
  return n(last, last) + 2.0 * std::fabs(g(last));
}

/// How a minimisation on the moments ended.
enum class MomentsEnd { Optimum, Unfinished, ScaleToZero, Failed };

/// minimise's steps on the quadratic of the pairs used: each in time
/// independent of their number, F's change computed from the step (without
/// the cancellation of evaluating F twice). It stops where the quadratic's
/// rounding hides any further decrease; the pairs themselves then take the
/// last steps (minimise). Unfinished after kMaxIterations steps short of
/// that; Failed when the free set is not determined or the arithmetic is
/// not finite.
///
/// With a translation component held, the steps turn and scale about T, the
/// image of the origin, instead of the centroid: that keeps the held
/// components as they are without the compensating shift of the model, and
/// a turn of a part far from the origin about the line from T through it
/// (which the held components leave nearly free) is then one straight
/// direction. About the centroid that valley of F curved with the distance
/// of the part from the origin, and the steps crawled along it for all their
/// iterations (1e5 mm away: a scale of 0.47 reported where 1.24 is optimal).
MomentsEnd minimiseOnMoments(const Quadratic& q, const Freedoms& fr, const Vector3d& centroid, Pose* pose) {
  // The quadratic holds F to a few ε of Σ dᵀWd about the reference pair.
  constexpr double kMomentOptimality = 1e-14;
  const bool held = !(fr.free[0] && fr.free[1] && fr.free[2]);
  double mu = 0.0;
  bool toZero = false;  // the last Gauss-Newton step took the scale through 0
  *pose = projected(q, fr, *pose);
  for (int iteration = 0; iteration < kMaxIterations && fr.count() > 0; ++iteration) {
    const Vector3d center = held ? Vector3d(pose->translation) : centroid;
    const Vector12 x = packedOf(q, *pose);
    Matrix7 n7;
    Vector7 g7;
    Matrix3d curvature;
    normalEquationsOf(q, x, center, &n7, &g7, &curvature);
    const double f = q.valueAt(x);
    if (!n7.allFinite() || !g7.allFinite() || !std::isfinite(f)) return MomentsEnd::Failed;
    const Basis b = basisOf(fr, pose->translation, center);
    const MatrixM n = b.transpose() * n7 * b;
    const VectorM g = b.transpose() * g7;
    const VectorM diagonal = n.diagonal();
    // A scale run down to 0 leaves the other freedoms without effect.
    const MomentsEnd undetermined = toZero ? MomentsEnd::ScaleToZero : MomentsEnd::Failed;
    if (!(diagonal.minCoeff() > 0.0)) return undetermined;
    const linalg::LdltSolution gaussNewton = linalg::solveLdlt(n, -g);
    if (!(gaussNewton.semiDefinite && gaussNewton.smallestPivot > 0.0)) return undetermined;
    const double tolerance = kMomentOptimality * (std::fabs(f) + kEpsilon * std::fabs(q.c));
    toZero = scaleRunsToZero(fr, b, gaussNewton.x);
    if (toZero && effectOfScale(n, g) <= tolerance) return MomentsEnd::ScaleToZero;
    if (!(-g.dot(gaussNewton.x) > tolerance)) return toZero ? MomentsEnd::ScaleToZero : MomentsEnd::Optimum;
    const MatrixM hessian = n + MatrixM(b.transpose() * secondOrder(curvature, g7, fr, pose->translation, center) * b);
    bool accepted = false;
    for (int tries = 0; tries < 60 && !accepted; ++tries) {
      const linalg::LdltSolution step = linalg::solveLdlt(hessian + MatrixM(mu * diagonal.asDiagonal()), -g);
      if (step.semiDefinite && step.smallestPivot > 0.0) {
        const Pose next = projected(q, fr, applied(*pose, b * step.x, fr, center));
        const Vector12 dx = packedOf(q, next) - x;
        const double change = dx.dot(2.0 * (q.H * x - q.g) + q.H * dx);
        if (!std::isfinite(change)) return MomentsEnd::Failed;
        if (change < 0.0 && next.scale * pose->scale > 0.0) {
          *pose = next;
          accepted = true;
          mu = mu < 1e-6 ? 0.0 : mu / 8.0;
          continue;
        }
      }
      mu = mu == 0.0 ? 1e-9 : mu * 8.0;
    }
    if (!accepted) return toZero ? MomentsEnd::ScaleToZero : MomentsEnd::Optimum;  // rounding level
  }
  return fr.count() > 0 ? MomentsEnd::Unfinished : MomentsEnd::Optimum;
}

/// The starts after their minimisation on the quadratic of the pairs used:
/// the optimum with the lowest F, and any other that the quadratic's
/// rounding cannot tell from it, each once. Empty when none was reached, or
/// when F is lowest where the scale runs to 0 (*scaleToZero is then set).
std::vector<Pose> optimaOnMoments(const Pairs& pairs, const Freedoms& fr, const Quadratic& q,
                                  const std::vector<Pose>& starts, bool* scaleToZero) {
  *scaleToZero = false;
  Vector3d center;
  double spread;
  centroidOf(pairs, &center, &spread);
  struct Reached {
    Pose pose;
    MomentsEnd end;
    double f;
  };
  std::vector<Reached> reached;
  double lowestToZero = HUGE_VAL;
  for (Pose pose : starts) {
    const MomentsEnd end = minimiseOnMoments(q, fr, center, &pose);
    if (end == MomentsEnd::ScaleToZero) lowestToZero = std::min(lowestToZero, q.valueAt(packedOf(q, pose)));
    if (end == MomentsEnd::Optimum || end == MomentsEnd::Unfinished)
      reached.push_back({pose, end, q.valueAt(packedOf(q, pose))});
  }
  // A start still on its way (along a long valley of F, see
  // minimiseOnMoments) goes on as long as it is the lowest.
  const auto lowerF = [](const Reached& a, const Reached& b) { return a.f < b.f; };
  for (int round = 0; round < kContinuations && !reached.empty(); ++round) {
    const auto lowest = std::min_element(reached.begin(), reached.end(), lowerF);
    if (lowest->end != MomentsEnd::Unfinished) break;
    lowest->end = minimiseOnMoments(q, fr, center, &lowest->pose);
    lowest->f = q.valueAt(packedOf(q, lowest->pose));
    if (lowest->end == MomentsEnd::ScaleToZero) lowestToZero = std::min(lowestToZero, lowest->f);
    if (lowest->end == MomentsEnd::ScaleToZero || lowest->end == MomentsEnd::Failed) reached.erase(lowest);
  }
  std::vector<std::pair<Vector12, Pose>> optima;
  for (const Reached& r : reached) optima.emplace_back(packedOf(q, r.pose), r.pose);
  const auto byValue = [&](const auto& a, const auto& b) { return q.valueAt(a.first) < q.valueAt(b.first); };
  std::sort(optima.begin(), optima.end(), byValue);
  if (lowestToZero < (optima.empty() ? HUGE_VAL : q.valueAt(optima.front().first))) {
    *scaleToZero = true;
    return {};
  }
  if (optima.empty()) return {};
  // F is known to about ε·Σ dᵀWd; two optima whose x differ by less than
  // that in H's measure are one.
  const double resolution = 1e-12 * (std::fabs(q.valueAt(optima.front().first)) + 1e3 * kEpsilon * std::fabs(q.c));
  std::vector<Pose> kept;
  std::vector<Vector12> keptX;
  for (const auto& [x, pose] : optima) {
    if (!keptX.empty() && q.valueAt(x) - q.valueAt(keptX.front()) > resolution) break;
    bool same = false;
    for (const Vector12& other : keptX) same = same || (x - other).dot(q.H * (x - other)) <= resolution;
    if (same) continue;
    kept.push_back(pose);
    keptX.push_back(x);
  }
  return kept;
}

}  // namespace

/// Minimises Σ rᵀWr over the free directions from *pose (see the file
/// comment). FIT_DEGENERATE with *weakest set when the pairs do not
/// determine the free set.
Status minimise(const Pairs& pairs, const Freedoms& fr, Pose* pose, double* f, int* weakest) {
  Vector3d center;
  double spread;
  centroidOf(pairs, &center, &spread);
  const double rounding = kEpsilon * kEpsilon * spread;
  double mu = 0.0;
  bool toZero = false;  // the last Gauss-Newton step took the scale through 0
  Matrix7 n7;
  Vector7 g7;
  int iteration = 0;
  for (; iteration < kMaxIterations; ++iteration) {
    Matrix3d curvature;
    normalEquations(pairs, *pose, center, &n7, &g7, f, &curvature);
    if (!n7.allFinite() || !g7.allFinite() || !std::isfinite(*f)) return FitResult::FIT_NOT_CONVERGED;
    if (fr.count() == 0) return FitResult::FIT_SUCCEEDED;
    const Basis b = basisOf(fr, pose->translation, center);
    const Normal normal = analyse(n7, b, fr);
    if (!(normal.smallest > kDeterminacy)) {
      *weakest = toZero ? 6 : normal.weakest;  // a scale run down to 0 leaves the other freedoms without effect
      return FitResult::FIT_DEGENERATE;
    }
    const MatrixM n = b.transpose() * n7 * b;
    const VectorM g = b.transpose() * g7;
    const VectorM diagonal = n.diagonal();
    // Optimal when the Gauss-Newton step promises no decrease beyond
    // rounding: gᵀ·N⁻¹·g, zero only where the gradient is. (The decrease a
    // damped step promises is no such measure: it shrinks with the damping.)
    const VectorM gaussNewton = linalg::solveLdlt(n, -g).x;
    toZero = scaleRunsToZero(fr, b, gaussNewton);
    if (toZero && effectOfScale(n, g) <= kOptimality * *f + rounding) break;
    if (!(-g.dot(gaussNewton) > kOptimality * *f + rounding)) break;
    // Newton steps: Gauss-Newton alone converges only linearly where the
    // residuals are large against the part.
    const MatrixM hessian = n + MatrixM(b.transpose() * secondOrder(curvature, g7, fr, pose->translation, center) * b);
    bool accepted = false;
    for (int tries = 0; tries < 60 && !accepted; ++tries) {
      const linalg::LdltSolution step = linalg::solveLdlt(hessian + MatrixM(mu * diagonal.asDiagonal()), -g);
      if (!(step.semiDefinite && step.smallestPivot > 0.0)) {
        mu = mu == 0.0 ? 1e-9 : mu * 8.0;
        continue;
      }
      const VectorM& theta = step.x;
      const Pose next = applied(*pose, b * theta, fr, center);
      const double nextF = objective(pairs, next);
      if (nextF < *f && next.scale * pose->scale > 0.0) {
        *pose = next;
        *f = nextF;
        accepted = true;
        mu = mu < 1e-6 ? 0.0 : mu / 8.0;
      } else {
        mu = mu == 0.0 ? 1e-9 : mu * 8.0;
      }
    }
    if (!accepted) break;  // no damped step lowers F: rounding level
  }
  if (iteration == kMaxIterations) return FitResult::FIT_NOT_CONVERGED;  // never reported as an optimum
  if (toZero) {
    *weakest = 6;
    return FitResult::FIT_DEGENERATE;
  }
  return FitResult::FIT_SUCCEEDED;
}

/// The fit of the pairs used with held freedoms, from the starts.
Status fitHeld(const Pairs& pairs, const Freedoms& fr, const FitOptions& o, Pose* best, int* weakest) {
  Status status = FitResult::FIT_DEGENERATE;
  double bestF = std::numeric_limits<double>::infinity();
  // The starts run on the moments first; only the lowest optimum (or those
  // the moments cannot tell apart) takes its last steps on the pairs. When
  // none is reached there, every start runs on the pairs, which then tell
  // why.
  const Quadratic q = quadraticOf(pairs.list.src, pairs.list.dst, pairs.list.weights, pairs.list.n, pairs.used.data());
  const bool onMoments = q.finite && q.weighted > 0;
  std::vector<Pose> starts = startsOf(pairs, fr, o, onMoments ? &q : nullptr);
  if (onMoments) {
    bool scaleToZero = false;
    std::vector<Pose> optima = optimaOnMoments(pairs, fr, q, starts, &scaleToZero);
    if (scaleToZero) {
      *weakest = 6;
      return FitResult::FIT_DEGENERATE;
    }
    if (!optima.empty()) starts = std::move(optima);
  }
  for (Pose pose : starts) {
    double f = 0.0;
    const Status s = minimise(pairs, fr, &pose, &f, weakest);
    if (s == FitResult::FIT_NOT_CONVERGED) return s;
    if (s == FitResult::FIT_SUCCEEDED && f < bestF) {
      bestF = f;
      *best = pose;
      status = s;
    }
  }
  return status;
}

}  // namespace fit
}  // namespace Zem
