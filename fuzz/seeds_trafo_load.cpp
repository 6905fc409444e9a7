// Writes the seed corpus of fuzz_trafo_load: ".trafo" streams as
// LastAndGlobalTransformation::saveStream writes them, for every combination
// of the validity flags, into the directory given as the only argument.
#include "math_trafo_io.h"

#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <seed directory>\n", argv[0]);
    return 2;
  }
  using Zem::Transformation;
  using L = std::numeric_limits<double>;
  const Transformation moved(Zem::BaVec3d<double>(10.5, -2.0, 0.25), Zem::BaVec3d<double>(0.3, -0.2, 1.1), 0.999);
  const double odd[4][4] = {
      {-0.0, 1, 0, L::denorm_min()}, {0, -1, 0, L::infinity()}, {1, 0, 0, L::quiet_NaN()}, {0, 0, 0, 1}};
  for (int k = 0; k < 8; ++k) {  // the two flags, then the other global transformation
    Zem::LastAndGlobalTransformation record(Transformation::identity(), (k & 1) != 0,
                                            k < 4 ? moved : Transformation(odd), (k & 2) != 0);
    std::ostringstream bytes;
    std::ofstream file(std::string(argv[1]) + "/record_" + std::to_string(k) + ".trafo", std::ios::binary);
    if (!record.saveStream(&bytes, nullptr, 0, 0) || !(file << bytes.str()).flush()) return 1;
  }
  return 0;
}
