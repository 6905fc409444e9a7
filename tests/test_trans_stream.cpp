// The stream block of a Transformation. Its translated message is checked
// with the other catalogue tests (test_base.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include "math_transformation.h"
#include "test_util.h"
#include "zem_io.h"

namespace Zem {
namespace {

using test::SameBits;

// No similarity: row 3 non-zero, m33 = 0.5 (scale 2), and values that only
// survive bit-exact copying (−0, a subnormal, −∞, a NaN payload).
Transformation oddMatrix() {
  double m[4][4] = {{0.1, -0.2, 1.0 / 3.0, 1e300},
                    {-0.0, 4.9406564584124654e-324, 2.0, -7.25},
                    {1e-17, 3.0, -std::numeric_limits<double>::infinity(), 123456.78901234567},
                    {0.25, -0.125, 6.0, 0.5}};
  const std::uint64_t payload = 0x7ff8000000012345ULL;
  std::memcpy(&m[2][0], &payload, sizeof payload);
  return Transformation(m);
}

// A stream holding one block of the given id and version with `values`.
std::string rawBlock(unsigned id, unsigned version, const std::vector<double>& values) {
  std::ostringstream bytes;
  IO::OutStream out(&bytes, "TRAFO-TEST", 1);
  out.beginBlock(id, version);
  for (double v : values) out.writeDouble(v);
  out.endBlock();
  out.finish();
  return bytes.str();
}

TEST(TransformationStream, RoundTripInsideACallersBlockIsBitForBit) {
  std::stringstream bytes;
  {
    IO::OutStream out(&bytes, "TRAFO-TEST", 1);
    out.beginBlock(900, 1);
    oddMatrix().saveData(out, 0, 0);
    out.writeDouble(-1.0);
    out.endBlock();
  }
  IO::InStream in(&bytes);
  in.openBlock();
  Transformation loaded;
  loaded.loadData(in, 0, 0);
  double after = 0.0;
  in.readDouble(&after);
  in.closeBlock();  // saveData wrote one block, loadData read exactly it
  EXPECT_TRUE(SameBits(loaded, oddMatrix()));
  EXPECT_EQ(after, -1.0);

  // Sixteen doubles row by row; any block id is read.
  const BaMatrix4x4<double> m = oddMatrix().getMatrix();
  std::istringstream raw(rawBlock(7, 1, std::vector<double>(std::begin(m.v), std::end(m.v))));
  IO::InStream rawIn(&raw);
  loaded = Transformation::identity();
  loaded.loadData(rawIn, 0, 0);
  EXPECT_TRUE(SameBits(loaded, oddMatrix()));
}

TEST(TransformationStream, BadBlocksLeaveTheMatrixAlone) {
  for (unsigned version : {0u, 2u, 4294967295u}) {
    Transformation t = oddMatrix();
    std::istringstream bytes(rawBlock(128, version, std::vector<double>(16, 9.0)));
    IO::InStream in(&bytes);
    try {
      t.loadData(in, 0, 0);
      ADD_FAILURE() << "version " << version << " accepted";
    } catch (const IO::StreamException& e) {
      EXPECT_EQ(e.getText(), QString("invalid transformation block version: %1").arg(version));
    }
    EXPECT_TRUE(SameBits(t, oddMatrix())) << "version " << version;
    // Nothing was read: the block is still open for the caller to skip.
    EXPECT_EQ(in.getUnreadBlockBytes(), 16u * sizeof(double));
    in.skipBlock();
  }
  Transformation t = oddMatrix();
  std::istringstream shortBlock(rawBlock(128, 1, std::vector<double>(15, 2.0)));
  IO::InStream in(&shortBlock);
  EXPECT_THROW(t.loadData(in, 0, 0), IO::StreamException);
  EXPECT_TRUE(SameBits(t, oddMatrix()));
}

}  // namespace
}  // namespace Zem
