// Point files: layouts, identifiers and names across files, every kind of
// bad line (the error names the line and the object stays empty), and the
// written form reading back exactly.
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "math_point_file.h"
#include "test_util.h"

namespace Zem {
namespace {

TEST(PointFile, ReadsEveryLayoutSeparatorAndComment) {
  struct Case {
    const char* text;
    bool ids, weights;
  } cases[] = {
      {"1 2 3\n4 5 6\n7 8 9", false, false},
      {"\xEF\xBB\xBF# x y z\n\n1,2,3\r\n4;5;6 # probe\n7\t8  9\n", false, false},
      {"id x y z\n10 1 2 3\nP2 4 5 6\n\"P3\" 7 8 9\n", true, false},
      {"1 2 3 1 1 1\n4 5 6 0 1 2\n7 8 9 1 1 1\n", false, true},
      {"a;+1;2;3;1;1;1;\n b ; 4 ; 5 ; 6 ; 0 ; 1 ; 2\nc;7;8;9;1;1;1\n", true, true},
  };
  for (const Case& c : cases) {
    PointNames names;
    PointFile file;
    ASSERT_TRUE(file.parse(c.text, QStringLiteral("t"), &names)) << c.text << ": " << file.getError().toStdString();
    ASSERT_EQ(file.getPoints().size(), 3u) << c.text;
    EXPECT_EQ(file.hasIdentifiers(), c.ids);
    EXPECT_EQ(file.hasWeights(), c.weights);
    ASSERT_EQ(file.getWeights().size(), c.weights ? 3u : 0u);
    EXPECT_TRUE(test::SameVec(file.getPoints()[1], BaVec3d<double>(4, 5, 6), 0.0)) << c.text;
    EXPECT_TRUE(!c.weights || test::SameVec(file.getWeights()[1], BaVec3d<double>(0, 1, 2), 0.0)) << c.text;
    EXPECT_EQ(file.getPoints()[2].id == -1, !c.ids);
  }
}

TEST(PointFile, NamesKeepTheirIdsAcrossFilesAndNumbersAreTheirOwnIds) {
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
  EXPECT_LT(names.idOf("2147483648"), -1);
  EXPECT_EQ(names.idOf("2147483647"), 2147483647);
}

// A missing file too: its message names the file.
TEST(PointFile, BadInputNamesTheLineAndLeavesNothing) {
  struct Case {
    const char* text;
    unsigned long line;
    const char* reason;
  } cases[] = {
      {"1 2 3\n\n4 oops 6\n", 3, "\"oops\" is not a number"},
      {"1 2 3\n4 5 inf\n", 2, "\"inf\" is not a finite number"},
      {"1 2 3\n4 5 nan\n", 2, "is not a finite number"},
      {"1 2 3\n4 5 1e999\n", 2, "\"1e999\" is not a finite number"},
      {"1 2 3\n4 5 6e\n", 2, "is not a number"},
      {"1 2 3\n4 5 +-6\n", 2, "is not a number"},
      {"1 2 3\n4 5 0x10\n", 2, "is not a number"},
      {"# c\n1 2 3\n4 5 6 7\n", 3, "4 fields; expected 3 as on line 2"},
      {"id x y z\n1 2 3\n", 2, "3 fields; expected 4 as on line 1"},
      {"1 2 3 4 5\n", 1, "5 fields; expected 3 (x y z)"},
      {"1 2\n", 1, "2 fields"},
      {"1,2,,3\n", 1, "empty field"},
      {"a 1 2 3\n\"\" 4 5 6\n", 2, "empty field"},
      {"a 1 2 3\n# c\nb 1 2 3\na 4 5 6\n", 4, "identifier a repeats the one on line 1"},
      {"1 1 2 3\n900000 1 2 3\n1 4 5 6\n", 3, "identifier 1 repeats the one on line 1"},
      {"1 2 3 1 -1 1\n", 1, "negative weight"},
      {"x y z\nid 2 3\n", 2, "\"id\" is not a number"},
      {"1 2 3\n4\0 5 6\n", 0, "zero byte"},
  };
  for (const Case& c : cases) {
    PointNames names;
    PointFile file;
    const std::string text(c.text, std::char_traits<char>::length(c.text) + (c.line == 0 ? 6 : 0));
    EXPECT_FALSE(file.parse(text, QStringLiteral("bad.txt"), &names)) << c.text;
    const std::string error = file.getError().toStdString();
    const std::string where = c.line ? "bad.txt:" + std::to_string(c.line) + ": " : "bad.txt: ";
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(file.getErrorLine(), c.line);
    EXPECT_TRUE(file.getPoints().empty());
  }
  PointNames names;
  PointFile file;
  EXPECT_FALSE(file.read(QStringLiteral("/nonexistent/points.txt"), &names));
  EXPECT_EQ(file.getError().toStdString().rfind("/nonexistent/points.txt: ", 0), 0u);
}

TEST(PointFile, NumbersReadExactlyAsFromCharsInEveryLocaleAndTinyOnesAreZero) {
  // The reader's fast path for plain decimals must give the very double that
  // from_chars gives, for every count of digits before and after the point,
  // and a process locale with a decimal comma must change nothing.
  std::mt19937_64 rng(8);
  std::string text = "1.5 -2.25e2 1e-400\n";
  std::vector<std::string> fields;
  char buffer[64];
  for (int i = 0; i < 3000; ++i) {
    const double magnitude = std::ldexp(double(rng() % 1000000) / 1e6, int(rng() % 60) - 20);
    std::snprintf(buffer, sizeof buffer, "%.*f", int(rng() % 19), (rng() & 1 ? -1.0 : 1.0) * magnitude);
    fields.emplace_back(buffer);
    text += fields.back() + (i % 3 == 2 ? "\n" : " ");
  }
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  const bool german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  PointNames names;
  PointFile file;
  const bool ok = file.parse(text, QStringLiteral("d"), &names);
  std::setlocale(LC_NUMERIC, saved.c_str());
  ASSERT_TRUE(ok) << file.getError().toStdString();
  EXPECT_TRUE(test::SameVec(file.getPoints()[0], BaVec3d<double>(1.5, -225.0, 0.0), 0.0));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    double expected = 0.0;
    std::from_chars(fields[i].data(), fields[i].data() + fields[i].size(), expected);
    const auto& p = file.getPoints()[i / 3 + 1];
    const double got = i % 3 == 0 ? p.x : i % 3 == 1 ? p.y : p.z;
    ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << fields[i] << ": " << got << " vs " << expected;
  }
  if (!german) GTEST_SKIP() << "de_DE.UTF-8 not available";
}

TEST(PointFile, FormatKeepsLayoutAndReadsBackExactly) {
  PointNames names;
  PointFile file;
  ASSERT_TRUE(file.parse("name;x;y;z;wx;wy;wz\nP1;0.1;2;3;1;1;1\n5;4;5;6;0.5;1;1\n", QStringLiteral("f"), &names));
  std::vector<BaPoint3d<double>> moved = file.getPoints();
  moved[0].x = 1.0 / 3.0;
  moved[1].z = -1e-300;
  const std::string text = file.format(moved, names);
  EXPECT_EQ(text.rfind("name;x;y;z;wx;wy;wz\nP1;0.3333333333333333;2;3;1;1;1\n", 0), 0u) << text;
  PointFile again;
  ASSERT_TRUE(again.parse(text, QStringLiteral("g"), &names));
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(test::SameVec(again.getPoints()[i], moved[i], 0.0));
    EXPECT_EQ(again.getPoints()[i].id, moved[i].id);
    EXPECT_TRUE(test::SameVec(again.getWeights()[i], file.getWeights()[i], 0.0));
  }
}

}  // namespace
}  // namespace Zem
