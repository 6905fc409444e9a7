// The program README.md quotes: a transformation applied to a point, the
// best fit of measured points onto nominal ones, and the result kept in a
// ".trafo" file with its text report (both written to the current directory).
#include <cstdio>
#include <vector>

#include "math_trafo_io.h"
#include "math_transformation.h"

using namespace Zem;

int main() {
  // Turn 30 degrees about Z, shift by (10, 0, 5) mm, no scale.
  Transformation t;
  t.set(BaVec3d<double>(10, 0, 5), BaVec3d<double>(0, 0, 0.5235987755982988), Transformation::ORDER_XYZ, 1.0);
  const BaVec3d<double> p = t.transformPoint(BaVec3d<double>(100, 0, 0));
  Transformation both = t;
  both.append(t.inverse());                                               // t, then its inverse: the identity
  const BaVec3d<double> angles = t.getAngles(Transformation::ORDER_XYZ);  // radians
  std::printf("moved point: %.4f %.4f %.4f mm; turn about Z: %.6f rad\n", p.x, p.y, p.z, angles.z);

  // Best fit of measured points (machine coordinates, mm) onto nominal ones
  // (drawing coordinates), paired by identifier: {x, y, z, id}.
  const std::vector<BaPoint3d<double>> measured = {
      {412.493, -180.255, 94.995, 1}, {608.128, -138.677, 94.999, 2}, {587.363, -40.983, 89.770, 3},
      {391.743, -82.566, 89.766, 4},  {499.502, -108.565, 132.326, 5}};
  const std::vector<BaPoint3d<double>> nominal = {
      {0, 0, 0, 1}, {200, 0, 0, 2}, {200, 100, 0, 3}, {0, 100, 0, 4}, {100, 50, 40, 5}};
  Transformation fit;
  const double meanResidual = fit.computeTransformation(measured, nominal, false);  // scale fixed at 1
  if (meanResidual < 0.0) {  // fewer than three pairs, or degenerate points: fit was not set
    std::printf("no best fit\n");
    return 1;
  }
  std::printf("best fit: mean residual %.4f mm\n", meanResidual);

  // Keep the last and the accumulated (global) transformation in a file, and
  // write the readable report in the host's display units.
  Transformation global = Transformation::identity();  // what earlier alignments left: none here
  global.append(fit);
  LastAndGlobalTransformation record(fit, true, global, true);
  ErrorLog log;
  if (!record.save("part.trafo", &log, 0, 0) || !record.exportASCII("part_report.txt", &log)) {
    for (const QString& entry : log.getEntries()) std::fprintf(stderr, "%s\n", qPrintable(entry));
    return 1;  // a failed save keeps the old file
  }
  std::printf("saved part.trafo and part_report.txt\n");
  return 0;
}
