// Writes the seed corpus of fuzz_instream into the directory given as the only
// argument: small valid block streams of the shapes the library writes.
#include "zem_io.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using Zem::IO::OutStream;

// A transformation block: id 128, sixteen doubles.
void matrixBlock(OutStream& out) {
  out.beginBlock(128, 1);
  for (int i = 0; i < 16; ++i) out.writeDouble(i % 5 == 0 ? 1.0 : 0.25 * i);
  out.endBlock();
}

void (*const kSeeds[])(OutStream&) = {
    [](OutStream&) {},  // no blocks
    matrixBlock,
    [](OutStream& out) {  // a ".trafo" record: flag, matrix, flag, matrix
      out.beginBlock(258, 1);
      for (bool flag : {true, false}) {
        out.writeBool(flag);
        matrixBlock(out);
      }
      out.endBlock();
    },
    [](OutStream& out) {  // deep nesting, every value kind, an empty block
      for (unsigned i = 0; i < 8; ++i) out.beginBlock(10 + i, i);
      out.writeInt32(-7);
      out.writeUInt32(7);
      out.writeString(QStringLiteral("Messpunkt Ä"));
      out.writeString(QString());
      out.writeBool(false);
      for (int i = 0; i < 8; ++i) out.endBlock();
      out.beginBlock(9, 2);
      out.endBlock();
    },
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <seed directory>\n", argv[0]);
    return 2;
  }
  int index = 0;
  for (auto write : kSeeds) {
    std::ostringstream bytes;
    {
      OutStream out(&bytes, QStringLiteral("LAST-GLOBAL-TRAFO"), 1);
      write(out);
      out.finish();
    }
    const std::string path = std::string(argv[1]) + "/seed" + std::to_string(index++) + ".zbs";
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!(file << bytes.str()).flush()) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
