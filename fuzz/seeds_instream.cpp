// Writes the seed corpus of fuzz_instream: small valid block streams of the
// shapes the library writes (values, nested blocks, several outermost blocks,
// texts, an empty stream), one file each, into the directory given as the
// only argument.
#include "zem_io.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Zem::IO::OutStream;

struct Seed {
  const char* name;
  std::function<void(OutStream&)> write;
};

// A transformation-like block: id 128, sixteen doubles.
void matrixBlock(OutStream& out) {
  out.beginBlock(128, 1);
  for (int i = 0; i < 16; ++i) out.writeDouble(i % 5 == 0 ? 1.0 : 0.25 * i);
  out.endBlock();
}

const std::vector<Seed>& seeds() {
  static const std::vector<Seed> list = {
      {"empty", [](OutStream&) {}},
      {"empty_block", [](OutStream& out) { out.beginBlock(1, 1); out.endBlock(); }},
      {"matrix", matrixBlock},
      {"last_global",
       [](OutStream& out) {
         out.beginBlock(258, 1);
         out.writeBool(true);
         matrixBlock(out);
         out.writeBool(false);
         matrixBlock(out);
         out.endBlock();
       }},
      {"trafo_record",  // the layout of a ".trafo" stream: flag, matrix, flag, matrix
       [](OutStream& out) {
         out.beginBlock(258, 1);
         for (int pair = 0; pair < 2; ++pair) {
           out.writeBool(pair == 0);
           for (int i = 0; i < 16; ++i) out.writeDouble(i % 5 == 0 ? 1.0 : 0.0);
         }
         out.endBlock();
       }},
      {"coordinate_system",
       [](OutStream& out) {
         out.beginBlock(96, 1);
         for (int i = 0; i < 12; ++i) out.writeDouble(i);
         out.endBlock();
       }},
      {"special_doubles",
       [](OutStream& out) {
         out.beginBlock(2, 3);
         out.writeDouble(-0.0);
         out.writeDouble(std::numeric_limits<double>::denorm_min());
         out.writeDouble(std::numeric_limits<double>::infinity());
         out.writeDouble(-std::numeric_limits<double>::infinity());
         out.writeDouble(std::nan("0x123"));
         out.endBlock();
       }},
      {"nested_deep",
       [](OutStream& out) {
         for (int i = 0; i < 8; ++i) out.beginBlock(10 + i, i);
         out.writeBool(true);
         for (int i = 0; i < 8; ++i) out.endBlock();
       }},
      {"mixed",
       [](OutStream& out) {
         out.beginBlock(5, 1);
         out.writeInt32(-7);
         out.writeUInt32(7);
         out.writeString(QStringLiteral("Messpunkt Ä"));
         out.beginBlock(6, 1);
         out.writeString(QString());
         out.endBlock();
         out.writeBool(false);
         out.endBlock();
         out.beginBlock(9, 2);
         out.endBlock();
         matrixBlock(out);
       }},
  };
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <seed directory>\n", argv[0]);
    return 2;
  }
  for (const Seed& seed : seeds()) {
    std::ostringstream bytes;
    {
      OutStream out(&bytes, QStringLiteral("LAST-GLOBAL-TRAFO"), 1);
      seed.write(out);
      out.finish();
    }
    const std::string path = std::string(argv[1]) + "/" + seed.name + ".zbs";
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes.str();
    if (!file.flush()) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
