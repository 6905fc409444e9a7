// Smallest host program: builds a transformation and moves a point.
#include <cstdio>

#include "math_transformation.h"

int main() {
  const Zem::Transformation t(Zem::BaVec3d<double>(1, 2, 3), Zem::BaVec3d<double>(0, 0, 0), 2.0);
  const Zem::BaVec3d<double> p = t.transformPoint(Zem::BaVec3d<double>(1, 1, 1));
  std::printf("%g %g %g\n", p.x, p.y, p.z);
  return (p.x == 4 && p.y == 6 && p.z == 8) ? 0 : 1;
}
