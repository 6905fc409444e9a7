// Builds one rotation in each of the six orders, prints its matrix and the
// angles read back, and moves a few points.
#include <cstdio>

#include "math_transformation.h"

using Zem::BaVec3d;
using Zem::Transformation;

namespace {

const double kRadToDeg = 57.29577951308232;

void printMatrix(const Transformation& t) {
  for (unsigned r = 0; r < 4; ++r) {
    std::printf("    ");
    for (unsigned c = 0; c < 4; ++c) std::printf("%12.6f", t.getMatrix(c, r));  // column index first
    std::printf("\n");
  }
}

}  // namespace

int main() {
  const char* names[6] = {"ORDER_XYZ", "ORDER_XZY", "ORDER_YXZ", "ORDER_YZX", "ORDER_ZXY", "ORDER_ZYX"};
  const BaVec3d<double> angles(0.3, -0.2, 0.5);  // radians about X, Y, Z
  const BaVec3d<double> translation(10.0, -5.0, 2.5);  // mm
  const double scale = 1.001;
  const BaVec3d<double> points[3] = {{0, 0, 0}, {100, 0, 0}, {12.5, 40, -7}};

  std::printf("Angles (deg): x %.4f  y %.4f  z %.4f, translation (mm) %.4f %.4f %.4f, scale %.6f\n\n",
              angles.x * kRadToDeg, angles.y * kRadToDeg, angles.z * kRadToDeg, translation.x, translation.y,
              translation.z, scale);
  for (int o = 0; o < 6; ++o) {
    const auto order = static_cast<Transformation::RotationOrder_t>(o);
    Transformation t;
    t.set(translation, angles, order, scale);
    const BaVec3d<double> back = t.getAngles(order);
    std::printf("%s\n  matrix (row by row, m33 = 1/scale):\n", names[o]);
    printMatrix(t);
    std::printf("  angles read back (deg): x %.6f  y %.6f  z %.6f\n", back.x * kRadToDeg, back.y * kRadToDeg,
                back.z * kRadToDeg);
    for (const BaVec3d<double>& p : points) {
      const BaVec3d<double> q = t.transformPoint(p);
      std::printf("  (%9.4f %9.4f %9.4f) -> (%10.4f %10.4f %10.4f)\n", p.x, p.y, p.z, q.x, q.y, q.z);
    }
    std::printf("\n");
  }
  return 0;
}
