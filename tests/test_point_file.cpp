// Point files (math_point_file.cpp, math_point_file_layout.cpp,
// math_point_file_write.cpp): layouts, every kind of bad line (the error
// names the line and the object stays empty), and the written form reading
// back exactly. The corpus tests/data/real_world holds files as measuring
// software exports them: German decimal commas, tabs, CR LF, byte order
// marks, quoted names, unit headers, normals, Windows-1252 names. Each reads
// to the intended values or is refused naming the line; none reads to other
// numbers.
#include "math_point_file.h"
#include "test_util.h"

namespace Zem {
namespace {

const QString kCorpus = QStringLiteral(ZEM_SOURCE_DIR "/tests/data/real_world/");

std::string corpusFile(const char* name) { return test::fileBytes(kCorpus + name); }

/// `text` reads back to `points`: equal coordinates (-0 as 0) and ids.
::testing::AssertionResult ReadsBackTo(const std::string& text, const std::vector<BaPoint3d<double>>& points,
                                       PointNames* names) {
  PointFile again;
  if (!again.parse(text, QStringLiteral("again"), names))
    return ::testing::AssertionFailure() << again.getError().toStdString() << " in:\n" << text;
  if (again.getPoints().size() != points.size())
    return ::testing::AssertionFailure() << again.getPoints().size() << " points in:\n" << text;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const BaPoint3d<double>& p = again.getPoints()[i];
    if (p.x != points[i].x || p.y != points[i].y || p.z != points[i].z || p.id != points[i].id)
      return ::testing::AssertionFailure() << "point " << i << " reads back as " << p << " (id " << p.id
                                           << ") from:\n" << text;
  }
  return ::testing::AssertionSuccess();
}

TEST(PointFile, ReadsEveryLayoutSeparatorAndComment) {
  const struct { const char* name; const char* text; bool ids, weights; } cases[] = {
      {"x y z, no line end at the end", "1 2 3\n4 5 6\n7 8 9", false, false},
      {"byte order mark, comments, commas, semicolons, tabs, CR LF",
       "\xEF\xBB\xBF# x y z\n\n1,2,3\r\n4;5;6 # probe\n7\t8  9\n", false, false},
      {"header, numbers and names, a quoted name", "id x y z\n10 1 2 3\nP2 4 5 6\n\"P3\" 7 8 9\n", true, false},
      {"x y z and weights", "1 2 3 1 1 1\n4 5 6 0 1 2\n7 8 9 1 1 1\n", false, true},
      {"id x y z and weights, plus sign, trailing separator, blanks around separators",
       "a;+1;2;3;1;1;1;\n b ; 4 ; 5 ; 6 ; 0 ; 1 ; 2\nc;7;8;9;1;1;1\n", true, true},
  };
  for (const auto& c : cases) {
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
  const struct { std::string text; unsigned long line; const char* reason; } cases[] = {
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
      {"1;2.5;3;4;5;6;7\n2;2,5;3;4;5;6\n", 2, "decimal commas in a file whose numbers have decimal points"},
      {"id;x;y;z\n1;2.5;3;4\n2;2,5;3\n", 3, "decimal points (as on line 2)"},
      {std::string("1 2 3\n4\0 5 6\n", 13), 0, "zero byte"},
      {corpusFile("bad_mixed_decimal_marks.csv"), 2, "decimal point in a file whose numbers have decimal commas"},
      {corpusFile("bad_zero_normal.txt"), 3, "zero normal"},
      {corpusFile("bad_letter_in_number.csv"), 2, "\"O,001\" is not a number"},
      {corpusFile("bad_number_in_title.txt"), 1, "\"Messung\" is not a number"},
      {corpusFile("bad_number_in_coordinate_column.txt"), 1, "\"4711\" stands in a column of coordinates"},
      {corpusFile("scanner_repeated_names.txt"), 2, "identifier SCAN repeats the one on line 1"},
      // Tabs and blanks both separate fields where no comma or semicolon does.
      {corpusFile("names_with_spaces_tab.txt"), 1, "5 fields; expected 3 (x y z), 4 (id x y z)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    PointNames names;
    PointFile file;
    EXPECT_FALSE(file.parse(c.text, QStringLiteral("bad.txt"), &names));
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

TEST(PointFile, FormatKeepsLayoutReadsBackExactlyAndRefusesOtherDecimals) {
  PointNames names;
  PointFile file;
  ASSERT_TRUE(file.parse("name;x;y;z;wx;wy;wz\nP1;0.1;2;3;1;1;1\n5;4;5;6;0.5;1;1\n", QStringLiteral("f"), &names));
  std::vector<BaPoint3d<double>> moved = file.getPoints();
  moved[0].x = 1.0 / 3.0;
  moved[1].z = -1e-300;
  const std::string text = file.format(moved, names);
  EXPECT_EQ(text, "name;x;y;z;wx;wy;wz\nP1;0.3333333333333333;2;3;1;1;1\n5;4;5;-1e-300;0.5;1;1\n");
  EXPECT_TRUE(ReadsBackTo(text, moved, &names));
  EXPECT_THROW(file.format(moved, names, nullptr, 18), ProgError);  // decimals: 0 to 17, or -1
  EXPECT_THROW(file.format(moved, names, nullptr, -2), ProgError);
}

/// The three points every readable file of the corpus holds, written as
/// decimals in the files ("410,034" or "410.034", "4.10034E+02", ...).
const BaVec3d<double> kPoints[3] = {{410.034, 385.448, 342.373}, {-12.5, 0.001, 1000}, {0.25, 250.75, -3.125}};
/// Those that have normals or weights have these: the normals (0, 0, 2),
/// (3, 0, 4) and (0, -1, 0) normalised, the weights as written.
const BaVec3d<double> kNormals[3] = {{0, 0, 1}, {0.6, 0, 0.8}, {0, -1, 0}};
const BaVec3d<double> kWeights[3] = {{1, 1, 2}, {1, 1, 1}, {0, 1, 1}};

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
  if (file.getNormals().size() != (e.normals ? 3u : 0u))
    return ::testing::AssertionFailure() << file.getNormals().size() << " normals";
  if (file.getWeights().size() != (e.weights ? 3u : 0u))
    return ::testing::AssertionFailure() << file.getWeights().size() << " weights";
  for (std::size_t i = 0; i < 3; ++i) {
    const BaPoint3d<double>& p = file.getPoints()[i];
    if (!test::SameVec(p, kPoints[i], 0.0))
      return ::testing::AssertionFailure() << "point " << i << ": " << BaVec3d<double>(p) << " vs " << kPoints[i];
    const std::string name = e.names.empty() ? "" : e.names[i];
    if (names.nameOf(p.id) != name)
      return ::testing::AssertionFailure() << "name " << i << ": \"" << names.nameOf(p.id) << "\" vs \"" << name << "\"";
    if (e.normals && !test::SameVec(file.getNormals()[i], kNormals[i], 1e-16))
      return ::testing::AssertionFailure() << "normal " << i << ": " << file.getNormals()[i] << " vs " << kNormals[i];
    if (e.weights && !test::SameVec(file.getWeights()[i], kWeights[i], 0.0))
      return ::testing::AssertionFailure() << "weight " << i << ": " << file.getWeights()[i] << " vs " << kWeights[i];
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
      {"de_semicolon.csv", numbered, true},           {"de_semicolon_header_names.csv", named, true},
      {"de_units_header_crlf.csv", named, true},      {"de_tab.txt", numbered, true},
      {"de_tab_bom_header.txt", named, true},         {"de_normals_header.csv", named, true, true},
      {"blank_crlf.txt", numbered},                   {"bom_semicolon_points.csv", numbered},
      {"units_header_points.csv", named},             {"two_header_lines.txt", numbered},
      {"comments_and_title.csv", numbered},           {"trailing_separators.csv", numbered},
      {"normals_ijk.txt", numbered, false, true},     {"exponents_tabs.txt", {}},
      {"weights_header.txt", numbered, false, false, true},
      {"weights_no_header.txt", numbered, false, false, true},
      {"quoted_names_with_spaces.csv", {"Bore A", "Bore B", "Slot 3"}},
      {"quoted_names_with_separators.csv", {"P,1", "P;2", "P 3"}},
      {"utf8_names.txt", {"Bohrung_\xC3\x98" "1", "Bohrung_\xC3\x98" "2", "Nut_\xC2\xB5"}},
      {"cp1252_names.txt", {"Bohrung_\xC3\x98" "1", "Bohrung_\xC3\x98" "2", "Kosten_\xE2\x82\xAC"}, true, false, false,
       true},
  };
  for (const Expected& e : files) {
    SCOPED_TRACE(e.file);
    PointNames names;
    PointFile file;
    ASSERT_TRUE(file.read(kCorpus + e.file, &names)) << file.getError().toStdString();
    EXPECT_TRUE(ReadsAsExpected(file, names, e));
    // Written with its own decimals (as apply writes it), the file reads back to its values.
    EXPECT_TRUE(ReadsBackTo(file.format(file.getPoints(), names, nullptr, file.getDecimals()), file.getPoints(), &names));
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

// Decimals -1: the shortest form that reads back.
TEST(PointFileRealWorld, FormatKeepsSeparatorDecimalMarkLineEndsAndQuotesAndRoundsToFixedDecimals) {
  const struct { const char* name; std::string text; bool normalsGiven; int decimals; std::string written; } cases[] = {
      {"German with CR LF", "Punkt;X [mm];Y [mm];Z [mm]\r\nP1;410,034;-0,5;1\r\n", true, -1,
       "Punkt;X [mm];Y [mm];Z [mm]\r\nP1;410,034;-0,5;1,0\r\n"},  // every number with its decimal comma
      {"tabs", "1\t2,25\t3\t4e-7\n", true, -1, "1\t2,25\t3,0\t4,0e-07\n"},
      {"normals not given", "id x y z i j k\n1 1 2 3 0 0 2\n", false, -1, "1 1 2 3\n"},  // no header that would not fit
      {"quoted names", "\"Bore A\",1,2,3\n\"say \"\"hi\"\"\",4,5,6\n\"P#1\",7,8,9\n", true, -1,
       "\"Bore A\",1,2,3\n\"say \"\"hi\"\"\",4,5,6\n\"P#1\",7,8,9\n"},
      {"normals", "id x y z i j k\n1 1 2 3 0 0 2\n", true, -1, "id x y z i j k\n1 1 2 3 0 0 1\n"},
      {"two decimals, rounded, no -0,00", "1;2,5;-0,0004;3,126\r\n", false, 2, "1;2,50;0,00;3,13\r\n"},
      {"no decimals, the mark shows even then", "1;2,5;-0,0004;3,126\r\n", false, 0, "1;2,0;0,0;3,0\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PointNames names;
    PointFile file;
    ASSERT_TRUE(file.parse(c.text, QStringLiteral("f"), &names)) << file.getError().toStdString();
    const std::vector<BaVec3d<double>>* normals = c.normalsGiven ? &file.getNormals() : nullptr;
    EXPECT_EQ(file.format(file.getPoints(), names, normals, c.decimals), c.written);
  }
}

// Only a number split at semicolons or tabs between fields has a decimal
// comma; the decimals of a file are the fewest with which every coordinate
// reads back. Whatever the reading, the text written in the shortest form
// and with the file's own decimals reads back to the same points.
TEST(PointFile, DecimalCommaAndDecimalsAreThoseOfTheNumbers) {
  const struct { const char* name; std::string text; bool decimalComma; int decimals; } cases[] = {
      {"tabs between fields", "1,5\t2,5\t3,5\n", true, 1},
      {"a tab before the first field", "\t1,5 2,5 3,5\n", false, 0},
      {"a tab after the last field", "1,5 2,5 3,5\t\n", false, 0},
      {"a tab before, vertical tabs between", "\xff\xbf\n\t1,\v2\v3\n", false, 0},
      {"a comma in a quoted name", "\"P,1\";1;2;3\nP2;0.5;1;1\n", false, 1},
      {"integers", "1 2 3\n", false, 0},
      {"the most of any coordinate", "1.5 2.25 3\n4 5 6.125\n", false, 3},
      {"trailing zeros add nothing", "410.0340 1.0000 2.5000\n", false, 3},
      {"an exponent", "1e-7 0 0\n", false, 7},
      {"a decimal comma", "1;2,75;3;4\n", true, 2},
      {"a third", "0.3333333333333333 0 0\n", false, 16},
      {"17 decimals, the most", "1e-17 0 0\n", false, 17},
      {"more than 17 decimals", "1e-18 0 0\n", false, -1},
      {"17 significant digits", "123456789.12345679 0 0\n", false, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PointNames names;
    PointFile file;
    ASSERT_TRUE(file.parse(c.text, QStringLiteral("f"), &names)) << file.getError().toStdString();
    EXPECT_EQ(file.usesDecimalComma(), c.decimalComma);
    EXPECT_EQ(file.getDecimals(), c.decimals);
    EXPECT_TRUE(ReadsBackTo(file.format(file.getPoints(), names), file.getPoints(), &names));
    EXPECT_TRUE(ReadsBackTo(file.format(file.getPoints(), names, nullptr, c.decimals), file.getPoints(), &names));
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
