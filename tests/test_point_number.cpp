// Number conversion of the point files (point_number.cpp), through the
// reader: the fast path for plain decimals gives the very double that
// std::from_chars gives, in any process locale.
#include <charconv>
#include <clocale>
#include <cstdio>

#include "math_point_file.h"
#include "test_util.h"

using namespace Zem;

namespace {

/// `got` has the bits of std::from_chars's reading of `field`.
::testing::AssertionResult ReadsAsFromChars(const std::string& field, double got) {
  double expected = 0.0;
  std::from_chars(field.data(), field.data() + field.size(), expected);
  if (std::memcmp(&got, &expected, sizeof got) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << field << ": " << got << " vs " << expected;
}

/// A plain decimal of 0 to 18 decimals and a random sign, magnitudes from
/// 2^-20 to 2^40.
std::string randomDecimal(std::mt19937_64& rng) {
  char buffer[64];
  const double magnitude = std::ldexp(double(rng() % 1000000) / 1e6, int(rng() % 60) - 20);
  std::snprintf(buffer, sizeof buffer, "%.*f", int(rng() % 19), (rng() & 1 ? -1.0 : 1.0) * magnitude);
  return buffer;
}

}  // namespace

// Every count of digits before and after the point; a process locale with a
// decimal comma must change nothing; a number below the smallest double is
// zero.
TEST(PointNumber, DecimalsReadExactlyAsFromCharsInEveryLocaleAndTinyOnesAreZero) {
  struct Row { std::string x, y, z; };
  std::mt19937_64 rng(8);
  std::vector<Row> rows(1000);
  std::string text = "1.5 -2.25e2 1e-400\n";
  for (Row& row : rows) {
    row = {randomDecimal(rng), randomDecimal(rng), randomDecimal(rng)};
    text += row.x + " " + row.y + " " + row.z + "\n";
  }
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  const bool german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  PointNames names;
  PointFile file;
  const bool ok = file.parse(text, QStringLiteral("d"), &names);
  std::setlocale(LC_NUMERIC, saved.c_str());
  ASSERT_TRUE(ok) << file.getError().toStdString();
  ASSERT_EQ(file.getPoints().size(), rows.size() + 1);
  EXPECT_TRUE(test::SameVec(file.getPoints()[0], BaVec3d<double>(1.5, -225.0, 0.0), 0.0));
  const BaPoint3d<double>* point = &file.getPoints()[1];
  for (const Row& row : rows) {
    ASSERT_TRUE(ReadsAsFromChars(row.x, point->x));
    ASSERT_TRUE(ReadsAsFromChars(row.y, point->y));
    ASSERT_TRUE(ReadsAsFromChars(row.z, point->z));
    ++point;
  }
  if (!german) GTEST_SKIP() << "de_DE.UTF-8 not available";
}
