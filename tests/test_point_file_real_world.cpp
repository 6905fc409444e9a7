// Point files as measuring software exports them (tests/data/real_world):
// German decimal commas, tabs, CR LF, byte order marks, quoted names, unit
// headers, normals, Windows-1252 names. Each file reads to the intended
// values or is refused naming the line; none reads to other numbers.
#include <string>
#include <vector>

#include "math_point_file.h"
#include "test_util.h"

namespace Zem {
namespace {

const QString kCorpus = QStringLiteral(ZEM_SOURCE_DIR "/tests/data/real_world/");

/// The three points every readable file of the corpus holds, written as
/// decimals in the files ("410,034" or "410.034", "4.10034E+02", ...).
const BaVec3d<double> kPoints[3] = {{410.034, 385.448, 342.373}, {-12.5, 0.001, 1000}, {0.25, 250.75, -3.125}};

struct Expected {
  const char* file;
  std::vector<std::string> names;  ///< empty: no identifiers
  bool decimalComma = false;
  bool normals = false;
  bool weights = false;
  bool recoded = false;
};

::testing::AssertionResult ReadsAsExpected(const PointFile& file, const PointNames& names, const Expected& e) {
  if (file.getPoints().size() != 3) return ::testing::AssertionFailure() << file.getPoints().size() << " points";
  for (std::size_t i = 0; i < 3; ++i) {
    const BaPoint3d<double>& p = file.getPoints()[i];
    if (!(p.x == kPoints[i].x && p.y == kPoints[i].y && p.z == kPoints[i].z))
      return ::testing::AssertionFailure() << "point " << i << ": " << BaVec3d<double>(p) << " vs " << kPoints[i];
    const std::string name = e.names.empty() ? "" : e.names[i];
    if (names.nameOf(p.id) != name)
      return ::testing::AssertionFailure() << "name " << i << ": \"" << names.nameOf(p.id) << "\" vs \"" << name << "\"";
  }
  if (file.usesDecimalComma() != e.decimalComma) return ::testing::AssertionFailure() << "decimal comma";
  if (file.hasNormals() != e.normals) return ::testing::AssertionFailure() << "normals";
  if (file.hasWeights() != e.weights) return ::testing::AssertionFailure() << "weights";
  if (file.hasRecodedNames() != e.recoded) return ::testing::AssertionFailure() << "recoded names";
  return ::testing::AssertionSuccess();
}

TEST(PointFileRealWorld, EveryExportReadsToItsValues) {
  const std::vector<std::string> numbered = {"1", "2", "3"}, named = {"P1", "P2", "P3"};
  const Expected files[] = {
      {"de_semicolon.csv", numbered, true},
      {"de_semicolon_header_names.csv", named, true},
      {"de_units_header_crlf.csv", named, true},
      {"de_tab.txt", numbered, true},
      {"de_tab_bom_header.txt", named, true},
      {"de_normals_header.csv", named, true, true},
      {"blank_crlf.txt", numbered},
      {"bom_semicolon_points.csv", numbered},
      {"quoted_names_with_spaces.csv", {"Bore A", "Bore B", "Slot 3"}},
      {"quoted_names_with_separators.csv", {"P,1", "P;2", "P 3"}},
      {"units_header_points.csv", named},
      {"two_header_lines.txt", numbered},
      {"comments_and_title.csv", numbered},
      {"normals_ijk.txt", numbered, false, true},
      {"weights_header.txt", numbered, false, false, true},
      {"weights_no_header.txt", numbered, false, false, true},
      {"utf8_names.txt", {"Bohrung_\xC3\x98" "1", "Bohrung_\xC3\x98" "2", "Nut_\xC2\xB5"}},
      {"exponents_tabs.txt", {}},
      {"trailing_separators.csv", numbered},
      {"cp1252_names.txt", {"Bohrung_\xC3\x98" "1", "Bohrung_\xC3\x98" "2", "Kosten_\xE2\x82\xAC"}, true, false, false,
       true},
  };
  for (const Expected& e : files) {
    SCOPED_TRACE(e.file);
    PointNames names;
    PointFile file;
    ASSERT_TRUE(file.read(kCorpus + e.file, &names)) << file.getError().toStdString();
    EXPECT_TRUE(ReadsAsExpected(file, names, e));
  }
}

TEST(PointFileRealWorld, NormalsAreNormalisedAndWeightsStayAsWritten) {
  PointNames names;
  PointFile normals, weights;
  ASSERT_TRUE(normals.read(kCorpus + "de_normals_header.csv", &names));
  ASSERT_TRUE(weights.read(kCorpus + "weights_header.txt", &names));
  ASSERT_EQ(normals.getNormals().size(), 3u);
  EXPECT_TRUE(test::SameVec(normals.getNormals()[0], BaVec3d<double>(0, 0, 1), 0.0));
  EXPECT_TRUE(test::SameVec(normals.getNormals()[1], BaVec3d<double>(0.6, 0, 0.8), 1e-16));
  EXPECT_TRUE(test::SameVec(normals.getNormals()[2], BaVec3d<double>(0, -1, 0), 0.0));
  EXPECT_TRUE(normals.getWeights().empty());
  ASSERT_EQ(weights.getWeights().size(), 3u);
  EXPECT_TRUE(test::SameVec(weights.getWeights()[0], BaVec3d<double>(1, 1, 2), 0.0));
  EXPECT_TRUE(weights.getNormals().empty());
}

TEST(PointFileRealWorld, BadExportsAreRefusedNamingTheLine) {
  const struct {
    const char* file;
    unsigned long line;
    const char* reason;
  } cases[] = {
      {"bad_mixed_decimal_marks.csv", 2, "decimal point in a file whose numbers have decimal commas (as on line 1)"},
      {"bad_zero_normal.txt", 3, "zero normal"},
      {"bad_letter_in_number.csv", 2, "\"O,001\" is not a number"},
      {"bad_number_in_title.txt", 1, "\"Messung\" is not a number"},
      {"bad_number_in_coordinate_column.txt", 1, "\"4711\" stands in a column of coordinates"},
      {"scanner_repeated_names.txt", 2, "identifier SCAN repeats the one on line 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    PointNames names;
    PointFile file;
    EXPECT_FALSE(file.read(kCorpus + c.file, &names));
    EXPECT_EQ(file.getErrorLine(), c.line);
    EXPECT_NE(file.getError().toStdString().find(c.reason), std::string::npos) << file.getError().toStdString();
    EXPECT_TRUE(file.getPoints().empty());
  }
}

TEST(PointFileRealWorld, MixedMarksAreRefusedEitherWay) {
  const struct {
    const char* name;
    const char* text;
    unsigned long line;
  } cases[] = {
      {"comma in a point file of semicolons", "1;2.5;3;4;5;6;7\n2;2,5;3;4;5;6\n", 2},
      {"comma in a point file, same count", "id;x;y;z\n1;2.5;3;4\n2;2,5;3\n", 3},
      {"point in a comma file", "1;2,5;3;4\n2;2.5;3;4\n", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PointNames names;
    PointFile file;
    EXPECT_FALSE(file.parse(c.text, QStringLiteral("m.csv"), &names));
    EXPECT_EQ(file.getErrorLine(), c.line) << file.getError().toStdString();
  }
}

TEST(PointFileRealWorld, OptionsFixTheMarkSkipLinesAndAllowRepeats) {
  PointNames names;
  PointFile file;
  PointFile::ReadOptions options;
  options.decimalMark = PointFile::DecimalMark::Comma;
  file.setReadOptions(options);
  ASSERT_TRUE(file.parse("1,5 2,5 3,5\n", QStringLiteral("c"), &names)) << file.getError().toStdString();
  EXPECT_TRUE(test::SameVec(file.getPoints()[0], BaVec3d<double>(1.5, 2.5, 3.5), 0.0));
  options.decimalMark = PointFile::DecimalMark::Point;
  file.setReadOptions(options);
  EXPECT_FALSE(file.parse("1;2,5;3;4\n", QStringLiteral("p"), &names));  // 1, 2, 5, 3, 4: five fields
  options = PointFile::ReadOptions();
  options.skipLines = 2;
  options.allowRepeatedIdentifiers = true;
  file.setReadOptions(options);
  ASSERT_TRUE(file.read(kCorpus + "scanner_repeated_names.txt", &names)) << file.getError().toStdString();
  ASSERT_EQ(file.getPoints().size(), 1u);
  EXPECT_EQ(file.getLine(0), 3u);
  EXPECT_TRUE(test::SameVec(file.getPoints()[0], kPoints[2], 0.0));
}

TEST(PointFileRealWorld, FormatKeepsSeparatorDecimalMarkLineEndsAndQuotes) {
  const struct {
    const char* name;
    std::string text;
    std::string written;
  } cases[] = {
      {"German with CR LF", "Punkt;X [mm];Y [mm];Z [mm]\r\nP1;410,034;-0,5;1\r\n",
       "Punkt;X [mm];Y [mm];Z [mm]\r\nP1;410,034;-0,5;1,0\r\n"},  // every number with its decimal comma
      {"tabs", "1\t2,25\t3\t4e-7\n", "1\t2,25\t3,0\t4,0e-07\n"},
      {"normals not given", "id x y z i j k\n1 1 2 3 0 0 2\n", "1 1 2 3\n"},  // no header that would not fit
      {"quoted names", "\"Bore A\",1,2,3\n\"say \"\"hi\"\"\",4,5,6\n\"P#1\",7,8,9\n",
       "\"Bore A\",1,2,3\n\"say \"\"hi\"\"\",4,5,6\n\"P#1\",7,8,9\n"},
      {"normals", "id x y z i j k\n1 1 2 3 0 0 2\n", "id x y z i j k\n1 1 2 3 0 0 1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PointNames names;
    PointFile file;
    ASSERT_TRUE(file.parse(c.text, QStringLiteral("f"), &names)) << file.getError().toStdString();
    const bool normals = std::string(c.name) != "normals not given";
    EXPECT_EQ(file.format(file.getPoints(), names, normals ? &file.getNormals() : nullptr), c.written);
  }
}

// Files of many names: names are looked up a few lines behind the reading
// (their table entries fetched meanwhile) and the table grows; the points
// must keep file order, each name its id, and a repeat far down the file
// must still be found.
TEST(PointFileRealWorld, ManyNamesKeepTheirOrderAndIds) {
  std::string forward, backward;
  for (int i = 0; i < 5000; ++i) {
    forward += "P" + std::to_string(i) + " " + std::to_string(i) + " 0 0\n";
    if (i % 100 == 0) forward += std::to_string(100000 + i) + " -1 " + std::to_string(i) + " 0\n";  // numbers too
  }
  for (int i = 4999; i >= 0; --i) backward += "P" + std::to_string(i) + " " + std::to_string(i) + " 1 0\n";
  PointNames names;
  PointFile first, second;
  ASSERT_TRUE(first.parse(forward, QStringLiteral("f"), &names)) << first.getError().toStdString();
  ASSERT_TRUE(second.parse(backward, QStringLiteral("b"), &names)) << second.getError().toStdString();
  ASSERT_EQ(first.getPoints().size(), 5050u);
  EXPECT_EQ(names.nameCount(), 5000u);
  for (const auto& p : first.getPoints()) {
    const std::string expected = p.x < 0.0 ? std::to_string(100000 + int(p.y)) : "P" + std::to_string(int(p.x));
    ASSERT_EQ(names.nameOf(p.id), expected);
  }
  for (const auto& p : second.getPoints()) ASSERT_EQ(names.nameOf(p.id), "P" + std::to_string(int(p.x)));
  PointFile repeated;
  EXPECT_FALSE(repeated.parse(forward + "P17 1 2 3\n", QStringLiteral("r"), &names));
  EXPECT_EQ(repeated.getErrorLine(), 5051u);
}

}  // namespace
}  // namespace Zem
