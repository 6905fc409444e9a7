// Writes the seed corpus of the fuzz targets into the directory given as the
// only argument: ".trafo" streams as LastAndGlobalTransformation::saveStream
// writes them, for every combination of the validity flags, a stream without
// blocks, and one of deep nesting with a text, an integer and an empty block.
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "math_trafo_io.h"
#include "zem_io.h"

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
  std::vector<std::ostringstream> seeds(10);
  for (int k = 0; k < 8; ++k) {  // the two flags, then the other global transformation
    Zem::LastAndGlobalTransformation record(Transformation::identity(), (k & 1) != 0,
                                            k < 4 ? moved : Transformation(odd), (k & 2) != 0);
    if (!record.saveStream(&seeds[k], nullptr, 0, 0)) return 1;
  }
  Zem::IO::OutStream(&seeds[8], QStringLiteral("EMPTY"), 0).finish();
  Zem::IO::OutStream nested(&seeds[9], QStringLiteral("LAST-GLOBAL-TRAFO"), 1);
  for (unsigned i = 0; i < 8; ++i) nested.beginBlock(10 + i, i);
  nested.writeString(QStringLiteral("Messpunkt Ä"));
  nested.writeInt32(-7);
  for (int i = 0; i < 8; ++i) nested.endBlock();
  nested.beginBlock(9, 2);
  nested.endBlock();
  nested.finish();
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    std::ofstream file(std::string(argv[1]) + "/seed" + std::to_string(i) + ".zbs", std::ios::binary);
    if (!(file << seeds[i].str()).flush()) return 1;
  }
  return 0;
}
