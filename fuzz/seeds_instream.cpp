// Writes the seed corpus of fuzz_instream into the directory given as the only
// argument: small valid block streams of the shapes the library writes.
#include "zem_io.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

using Zem::IO::OutStream;

// A transformation block: id 128, sixteen doubles.
static void matrixBlock(OutStream& out) {
  out.beginBlock(128, 1);
  for (int i = 0; i < 16; ++i) out.writeDouble(i % 5 == 0 ? 1.0 : 0.25 * i);
  out.endBlock();
}

static void (*const kSeeds[])(OutStream&) = {
    [](OutStream&) {},  // no blocks
    [](OutStream& out) {  // a ".trafo" record: flag, matrix, flag, matrix
      out.beginBlock(258, 1);
      for (bool flag : {true, false}) {
        out.writeBool(flag);
        matrixBlock(out);
      }
      out.endBlock();
    },
    [](OutStream& out) {  // deep nesting, a text, an empty block
      for (unsigned i = 0; i < 8; ++i) out.beginBlock(10 + i, i);
      out.writeString(QStringLiteral("Messpunkt Ä"));
      for (int i = 0; i < 8; ++i) out.endBlock();
      out.beginBlock(9, 2);
      out.endBlock();
    },
};

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <seed directory>\n", argv[0]);
    return 2;
  }
  for (std::size_t i = 0; i < std::size(kSeeds); ++i) {
    std::ostringstream bytes;
    OutStream out(&bytes, QStringLiteral("LAST-GLOBAL-TRAFO"), 1);
    kSeeds[i](out);
    out.finish();
    std::ofstream file(std::string(argv[1]) + "/seed" + std::to_string(i) + ".zbs", std::ios::binary);
    if (!(file << bytes.str()).flush()) return 1;
  }
  return 0;
}
