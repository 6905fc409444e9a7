// The stream block of a Transformation and the library's start-up call.
#include "math_transformation.h"
#include "zem_base.h"
#include "zem_io.h"

namespace Zem {

namespace {

// Block of a transformation inside a block stream: the sixteen elements row
// by row, m33 as held (1/scale).
constexpr unsigned kBlockId = 128;
constexpr unsigned kBlockVersion = 1;

}  // namespace

void Transformation::saveData(IO::OutStream& out, int, int) {
  out.beginBlock(kBlockId, kBlockVersion);
  for (const auto& row : m)
    for (double value : row) out.writeDouble(value);
  out.endBlock();
}

void Transformation::loadData(IO::InStream& in, int, int) {
  in.openBlock();
  // Only the version is checked: hosts may file a transformation under a
  // block id of their own.
  const unsigned version = in.getBlockVersion();
  if (version != kBlockVersion)
    throw IO::StreamException(
        translate("TRANSFORMATION_err", "invalid transformation block version: %1").arg(version));

  // All sixteen are read before any is assigned: a stream that ends inside
  // the block throws from readDouble and must leave the matrix as it was,
  // not half old and half new.
  double read[4][4];
  for (auto& row : read)
    for (double& value : row) in.readDouble(&value);
  in.closeBlock();

  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) m[r][c] = read[r][c];
}

void Transformation::InitLibrary() { installTranslator("ZemTransformation"); }

}  // namespace Zem
