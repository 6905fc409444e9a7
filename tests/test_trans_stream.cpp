// The stream block of a Transformation. Its translated message is checked
// with the other catalogue tests (test_base.cpp).
#include "test_util.h"
#include "zem_io.h"

namespace Zem {
namespace {

using test::SameBits;

// No similarity: row 3 non-zero, m33 = 0.5 (scale 2), and values that only
// survive bit-exact copying (−0, a subnormal, −∞, NaN).
Transformation oddMatrix() {
  using L = std::numeric_limits<double>;
  const double m[4][4] = {{0.1, -0.2, 1.0 / 3.0, 1e300},
                          {-0.0, L::denorm_min(), 2.0, -7.25},
                          {L::quiet_NaN(), 3.0, -L::infinity(), 123456.78901234567},
                          {0.25, -0.125, 6.0, 0.5}};
  return Transformation(m);
}

// Block 128 of version 1: the sixteen doubles row by row, read under any id.
TEST(TransformationStream, BlockIsSixteenDoublesRowByRow) {
  const BaMatrix4x4<double> m = oddMatrix().getMatrix();
  const std::vector<double> rowByRow(std::begin(m.v), std::end(m.v));
  std::ostringstream written;
  IO::OutStream out(&written, "TRAFO-TEST", 1);
  oddMatrix().saveData(out, 0, 0);
  out.finish();
  EXPECT_EQ(written.str(), test::rawBlock("TRAFO-TEST", 128, 1, rowByRow));
  std::istringstream raw(test::rawBlock("TRAFO-TEST", 7, 1, rowByRow));
  IO::InStream in(&raw);
  Transformation loaded = Transformation::identity();
  loaded.loadData(in, 0, 0);
  EXPECT_TRUE(SameBits(loaded, oddMatrix()));
  EXPECT_TRUE(in.isStreamEnd());  // loadData read its block whole and closed it
}

// A wrong version, below or above 1, is refused before anything is read (the
// caller may skip the block); a short block throws. Neither touches the
// matrix. Version 2 is refused in the catalogue test (test_base.cpp).
TEST(TransformationStream, BadBlocksLeaveTheMatrixAlone) {
  const struct { unsigned version; std::size_t values; QString error; } rows[] = {
      {0, 16, "invalid transformation block version: 0"}, {1, 15, "read past the end of the block"},
      {4294967295u, 16, "invalid transformation block version: 4294967295"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error.toStdString());
    Transformation t = oddMatrix();
    std::istringstream bytes(test::rawBlock("TRAFO-TEST", 128, row.version, std::vector<double>(row.values, 9.0)));
    IO::InStream in(&bytes);
    EXPECT_EQ(test::errorText<IO::StreamException>([&] { t.loadData(in, 0, 0); }), row.error);
    EXPECT_TRUE(SameBits(t, oddMatrix()));
    EXPECT_EQ(in.getUnreadBlockBytes(), row.version == 1 ? 0u : 16u * sizeof(double));
  }
}

}  // namespace
}  // namespace Zem
