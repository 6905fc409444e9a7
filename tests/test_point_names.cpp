// PointNames (math_point_names.cpp): one id per name across the files of a
// run, numbers as their own ids.
#include "math_point_file.h"
#include "test_util.h"

using namespace Zem;

TEST(PointNames, NamesKeepTheirIdsAcrossFilesAndNumbersAreTheirOwnIds) {
  PointNames names;
  PointFile nominal, measured;
  ASSERT_TRUE(nominal.parse("BORE_A 0 0 0\n7 1 0 0\nP1 0 1 0\n007x 0 0 1\n", QStringLiteral("n"), &names));
  ASSERT_TRUE(measured.parse("P1 5 5 5\n0007 6 6 6\nBORE_A 7 7 7\nQ 1 1 1\n", QStringLiteral("m"), &names));
  // Names in order of first appearance, from −2 down; 0007 is 7 (leading zeros: the same number).
  std::vector<int> ids;
  for (const auto* f : {&nominal, &measured})
    for (const auto& p : f->getPoints()) ids.push_back(p.id);
  EXPECT_EQ(ids, (std::vector<int>{-2, 7, -3, -4, -3, 7, -2, -5}));
  EXPECT_EQ(names.idOf("000000000007"), 7);
  EXPECT_EQ(names.nameOf(-2), "BORE_A");
  EXPECT_EQ(names.nameOf(-4), "007x");
  EXPECT_EQ(names.nameOf(7), "7");
  EXPECT_EQ(names.nameCount(), 4u);
  // Beyond 2^31 − 1 a run of digits is a name: it must never wrap or become −1.
  EXPECT_EQ(names.idOf("2147483647"), 2147483647);
  EXPECT_EQ(names.idOf("2147483648"), -6);
  EXPECT_EQ(names.nameOf(-6), "2147483648");
}
