// Eight-coefficient mapping of the plane: chaining and the exact solution
// from four point pairs.
#include "math_affine.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "zem_adjust.h"
#include "zem_base.h"

namespace Zem {

namespace {

// The source name carried by every ProgError of this file.
constexpr const char* kSourceFile = "math_affine";

// A solution must map each source point onto its destination to within this
// fraction of the destination's extent (the larger of its widths in x and
// y)...
constexpr double kMaxMiss = 1e-9;
// ...plus this fraction of the destination's largest coordinate (a few units
// in its last place), the rounding that the coordinates themselves carry.
constexpr double kCoordinateRounding = 4.0 * std::numeric_limits<double>::epsilon();

// Solves for the coefficients mapping src[i] onto dst[i]; P is BaVec2d or
// BaPoint2d, of which only x and y are read. On success writes out[0..7].
//
// The system is set up in coordinates centred on the mean of the source
// points, u = x − cx, v = y − cy, and the coefficients are carried back to x
// and y afterwards. Far from the origin the columns 1, x, y and x·y are
// nearly parallel, and the solver's rank test would refuse a well-shaped
// quadrilateral merely because of where it lies; centred, the decision
// depends only on the shape (the solver's equilibration takes care of the
// unit of length).
template <typename P>
bool solveRec(const std::vector<P>& src, const std::vector<P>& dst, double (&out)[8]) {
  if (src.size() != 4 || dst.size() != 4)
    throw ProgError("Zem::Affine::computeTransformationRec", kSourceFile, __LINE__, "Vectors have not the size 4!");

  const double cx = (src[0].x + src[1].x + src[2].x + src[3].x) / 4.0;
  const double cy = (src[0].y + src[1].y + src[2].y + src[3].y) / 4.0;

  // Variables b0 to b7 of the centred form x' = b0 + b1·u + b2·v + b3·u·v,
  // y' = b4 + b5·u + b6·v + b7·u·v; rows 2i and 2i + 1 belong to pair i.
  EQN::Equation eq(8);
  std::vector<double> row(8, 0.0);
  for (unsigned i = 0; i < 4; ++i) {
    const double u = src[i].x - cx, v = src[i].y - cy;
    row = {1.0, u, v, u * v, 0.0, 0.0, 0.0, 0.0};
    eq.setRow(2 * i, row, dst[i].x);
    row = {0.0, 0.0, 0.0, 0.0, 1.0, u, v, u * v};
    eq.setRow(2 * i + 1, row, dst[i].y);
  }
  if (!eq.solve()) return false;

  double b[8];
  for (unsigned k = 0; k < 8; ++k) b[k] = eq.getXValue(k);
  // u·v = x·y − cy·x − cx·y + cx·cy, so for each output coordinate (offset o):
  double a[8];
  for (unsigned o = 0; o < 8; o += 4) {
    a[o + 0] = b[o + 0] - b[o + 1] * cx - b[o + 2] * cy + b[o + 3] * cx * cy;
    a[o + 1] = b[o + 1] - b[o + 3] * cy;
    a[o + 2] = b[o + 2] - b[o + 3] * cx;
    a[o + 3] = b[o + 3];
  }
  for (double c : a)
    if (!std::isfinite(c)) return false;  // overflow carrying back: no usable mapping

  // Carrying back cancels digits: far from the origin compared with the
  // quadrilateral's size, b1·cx, b3·cx·cy and their kin are much larger than
  // the result, and the absolute coefficients no longer map the four points
  // where they belong (at 1e6 a 0.01 cell misses by a sixth of the target).
  // Such a mapping is refused rather than returned. The bound is a billionth
  // of the destination's extent plus the rounding of the destination's own
  // coordinates, which no coefficients can beat.
  double lo[2] = {dst[0].x, dst[0].y}, hi[2] = {lo[0], lo[1]}, largest = 0.0;
  for (const P& q : dst) {
    lo[0] = std::min(lo[0], q.x), hi[0] = std::max(hi[0], q.x);
    lo[1] = std::min(lo[1], q.y), hi[1] = std::max(hi[1], q.y);
    largest = std::max({largest, std::fabs(q.x), std::fabs(q.y)});
  }
  const double tolerance = kMaxMiss * std::max(hi[0] - lo[0], hi[1] - lo[1]) + kCoordinateRounding * largest;
  for (unsigned i = 0; i < 4; ++i) {
    const double x = src[i].x, y = src[i].y;
    const double mx = a[0] + a[1] * x + a[2] * y + a[3] * x * y, my = a[4] + a[5] * x + a[6] * y + a[7] * x * y;
    if (!(std::fabs(mx - dst[i].x) <= tolerance) || !(std::fabs(my - dst[i].y) <= tolerance)) return false;
  }
  for (unsigned k = 0; k < 8; ++k) out[k] = a[k];
  return true;
}

}  // namespace

void Affine::append(const Affine& b) {
  // b applied to (x', y') = this(x, y), keeping the coefficients of 1, x, y
  // and x·y. x'·y' contributes a0·a4 to 1, a0·a5 + a1·a4 to x, a0·a6 + a2·a4
  // to y and a0·a7 + a3·a4 + a1·a6 + a2·a5 to x·y; the rest is of higher degree.
  // r is complete before anything is stored, so b may be *this.
  const double* const c = b.a;
  const double u = c[1] + c[3] * a[4], v = c[2] + c[3] * a[0];    // x part
  const double u2 = c[5] + c[7] * a[4], v2 = c[6] + c[7] * a[0];  // y part
  const double cross = a[1] * a[6] + a[2] * a[5];
  const double r[8] = {c[0] + c[1] * a[0] + c[2] * a[4] + c[3] * a[0] * a[4],
                       a[1] * u + a[5] * v,
                       a[2] * u + a[6] * v,
                       a[3] * u + a[7] * v + c[3] * cross,
                       c[4] + c[5] * a[0] + c[6] * a[4] + c[7] * a[0] * a[4],
                       a[1] * u2 + a[5] * v2,
                       a[2] * u2 + a[6] * v2,
                       a[3] * u2 + a[7] * v2 + c[7] * cross};
  for (unsigned k = 0; k < 8; ++k) a[k] = r[k];
}

bool Affine::computeTransformationRec(const std::vector<BaVec2d<double>>& src,
                                      const std::vector<BaVec2d<double>>& dst) {
  return solveRec(src, dst, a);
}

bool Affine::computeTransformationRec(const std::vector<BaPoint2d<double>>& src,
                                      const std::vector<BaPoint2d<double>>& dst) {
  return solveRec(src, dst, a);
}

}  // namespace Zem
