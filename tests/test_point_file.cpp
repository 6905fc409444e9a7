// Point files (math_point_file.cpp, math_point_file_write.cpp): layouts,
// every kind of bad line (the error names the line and the object stays
// empty), and the written form reading back exactly.
#include <string>
#include <vector>

#include "math_point_file.h"
#include "test_util.h"

namespace Zem {
namespace {

TEST(PointFile, ReadsEveryLayoutSeparatorAndComment) {
  struct Case {
    const char* name;
    const char* text;
    bool ids, weights;
  } cases[] = {
      {"x y z, no line end at the end", "1 2 3\n4 5 6\n7 8 9", false, false},
      {"byte order mark, comments, commas, semicolons, tabs, CR LF",
       "\xEF\xBB\xBF# x y z\n\n1,2,3\r\n4;5;6 # probe\n7\t8  9\n", false, false},
      {"header, numbers and names, a quoted name", "id x y z\n10 1 2 3\nP2 4 5 6\n\"P3\" 7 8 9\n", true, false},
      {"x y z and weights", "1 2 3 1 1 1\n4 5 6 0 1 2\n7 8 9 1 1 1\n", false, true},
      {"id x y z and weights, plus sign, trailing separator, blanks around separators",
       "a;+1;2;3;1;1;1;\n b ; 4 ; 5 ; 6 ; 0 ; 1 ; 2\nc;7;8;9;1;1;1\n", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PointNames names;
    PointFile file;
    ASSERT_TRUE(file.parse(c.text, QStringLiteral("t"), &names)) << file.getError().toStdString();
    ASSERT_EQ(file.getPoints().size(), 3u);
    EXPECT_EQ(file.hasIdentifiers(), c.ids);
    EXPECT_EQ(file.hasWeights(), c.weights);
    ASSERT_EQ(file.getWeights().size(), c.weights ? 3u : 0u);
    EXPECT_TRUE(test::SameVec(file.getPoints()[1], BaVec3d<double>(4, 5, 6), 0.0));
    if (c.weights) {
      EXPECT_TRUE(test::SameVec(file.getWeights()[1], BaVec3d<double>(0, 1, 2), 0.0));
    }
    EXPECT_EQ(file.getPoints()[2].id == -1, !c.ids);
  }
}

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
    SCOPED_TRACE(c.text);
    PointNames names;
    PointFile file;
    const std::string text(c.text, std::char_traits<char>::length(c.text) + (c.line == 0 ? 6 : 0));
    EXPECT_FALSE(file.parse(text, QStringLiteral("bad.txt"), &names));
    const std::string error = file.getError().toStdString();
    const std::string where = c.line ? "bad.txt:" + std::to_string(c.line) + ": " : "bad.txt: ";
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(file.getErrorLine(), c.line);
    EXPECT_TRUE(file.getPoints().empty());
  }
}

TEST(PointFile, MissingFileIsNamedInTheMessage) {
  PointNames names;
  PointFile file;
  EXPECT_FALSE(file.read(QStringLiteral("/nonexistent/points.txt"), &names));
  EXPECT_EQ(file.getError().toStdString().rfind("/nonexistent/points.txt: ", 0), 0u);
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
    SCOPED_TRACE(i);
    EXPECT_TRUE(test::SameVec(again.getPoints()[i], moved[i], 0.0));
    EXPECT_EQ(again.getPoints()[i].id, moved[i].id);
    EXPECT_TRUE(test::SameVec(again.getWeights()[i], file.getWeights()[i], 0.0));
  }
}

}  // namespace
}  // namespace Zem
