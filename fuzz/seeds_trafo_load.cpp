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
  using Zem::BaVec3d;
  using Zem::LastAndGlobalTransformation;
  using Zem::Transformation;
  const Transformation moved(BaVec3d<double>(10.5, -2.0, 0.25), BaVec3d<double>(0.3, -0.2, 1.1), 0.999);
  double odd[4][4] = {{-0.0, 1.0, 0.0, std::numeric_limits<double>::denorm_min()},
                      {0.0, -1.0, 0.0, std::numeric_limits<double>::infinity()},
                      {1.0, 0.0, 0.0, std::numeric_limits<double>::quiet_NaN()},
                      {0.0, 0.0, 0.0, 1.0}};
  const Transformation strange(odd);
  int index = 0;
  for (int flags = 0; flags < 4; ++flags) {
    for (const Transformation* global : {&moved, &strange}) {
      LastAndGlobalTransformation record(Transformation::identity(), (flags & 1) != 0, *global, (flags & 2) != 0);
      std::ostringstream bytes;
      if (!record.saveStream(&bytes, nullptr, 0, 0)) return 1;
      const std::string path = std::string(argv[1]) + "/record_" + std::to_string(index++) + ".trafo";
      std::ofstream file(path, std::ios::binary | std::ios::trunc);
      file << bytes.str();
      if (!file.flush()) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
      }
    }
  }
  return 0;
}
