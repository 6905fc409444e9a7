// zemtrafo run as a process on files as measuring software exports them
// (tests/data/real_world), and the safety of its outputs: no target is ever
// replaced by a run that fails or is interrupted, no output may name an
// input or another output, modes are kept.
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "math_point_file.h"
#include "math_trafo_io.h"
#include "test_util.h"

namespace Zem {
namespace {

using test::fileBytes;

const std::string kCorpus = ZEM_SOURCE_DIR "/tests/data/real_world/";
const std::string kNominal = ZEM_EXAMPLE_DATA_DIR "/nominal_points.txt";
const std::string kMeasured = ZEM_EXAMPLE_DATA_DIR "/measured_points.txt";

struct ToolRun {
  int status;
  std::string out, err;
};

class ZemtrafoRealWorld : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.filePath(QString::fromStdString(name)).toStdString(); }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
  /// Runs the tool with `args` in a shell, after the shell commands `before`.
  ToolRun run(const std::string& args, const std::string& before = "") const {
    const std::string out = path("stdout"), err = path("stderr");
    const int raw = std::system((before + std::string(ZEMTRAFO_EXE) + " " + args + " >" + out + " 2>" + err).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, fileBytes(out), fileBytes(err)};
  }
  /// The directory's entries other than the captured stdout and stderr.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const QString& name : QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
      if (name != "stdout" && name != "stderr") names.push_back(name.toStdString());
    return names;
  }
  std::string identityRecord() const {
    LastAndGlobalTransformation record(Transformation::identity(), true, Transformation::identity(), true);
    EXPECT_TRUE(record.save(QString::fromStdString(path("identity.trafo")), nullptr, 0, 0));
    return path("identity.trafo");
  }
  QTemporaryDir dir_;
};

::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" not in:\n" << text;
}

/// The numbers after `key` in JSON text.
std::vector<double> jsonNumbers(const std::string& text, const std::string& key, int count) {
  std::vector<double> values;
  std::size_t at = text.find("\"" + key + "\": ");
  if (at == std::string::npos) return values;
  const char* p = text.c_str() + at + key.size() + 4;
  for (char* end = nullptr; int(values.size()) < count; p = end) {
    while (*p == ' ' || *p == '[' || *p == ',') ++p;
    values.push_back(std::strtod(p, &end));
    if (end == p) return {};
  }
  return values;
}

::testing::AssertionResult Near(const std::vector<double>& values, const std::vector<double>& expected, double tol) {
  if (values.size() != expected.size()) return ::testing::AssertionFailure() << "found " << values.size() << " values";
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!(std::fabs(values[i] - expected[i]) <= tol))
      return ::testing::AssertionFailure() << "value " << i << ": " << values[i] << " vs " << expected[i];
  return ::testing::AssertionSuccess();
}

// Each readable file goes through apply with the identity: the points
// written read back (in the file's own separator and decimal mark) as the
// library reads the file itself, bit for bit.
TEST_F(ZemtrafoRealWorld, EveryReadableExportComesBackWithItsValues) {
  const std::string identity = identityRecord();
  for (const char* file :
       {"de_semicolon.csv", "de_semicolon_header_names.csv", "de_units_header_crlf.csv", "de_tab.txt",
        "de_tab_bom_header.txt", "de_normals_header.csv", "blank_crlf.txt", "bom_semicolon_points.csv",
        "quoted_names_with_spaces.csv", "quoted_names_with_separators.csv", "units_header_points.csv",
        "two_header_lines.txt", "comments_and_title.csv", "normals_ijk.txt", "weights_header.txt",
        "weights_no_header.txt", "utf8_names.txt", "exponents_tabs.txt", "trailing_separators.csv",
        "cp1252_names.txt", "scanner_repeated_names.txt"}) {
    SCOPED_TRACE(file);
    const ToolRun r = run("apply " + identity + " " + kCorpus + file);
    ASSERT_EQ(r.status, 0) << r.err;
    PointNames names;
    PointFile original, written;
    PointFile::ReadOptions repeats;
    repeats.allowRepeatedIdentifiers = true;
    original.setReadOptions(repeats);
    written.setReadOptions(repeats);
    ASSERT_TRUE(original.read(QString::fromStdString(kCorpus + file), &names));
    ASSERT_TRUE(written.parse(r.out, QStringLiteral("out"), &names)) << written.getError().toStdString();
    ASSERT_EQ(written.getPoints().size(), original.getPoints().size());
    for (std::size_t i = 0; i < original.getPoints().size(); ++i) {
      EXPECT_TRUE(test::SameVec(written.getPoints()[i], original.getPoints()[i], 0.0)) << i;
      EXPECT_EQ(written.getPoints()[i].id, original.getPoints()[i].id) << i;
    }
    EXPECT_EQ(written.usesDecimalComma(), original.usesDecimalComma());
  }
}

TEST_F(ZemtrafoRealWorld, BadExportsAreRefusedNamingTheLine) {
  const std::string identity = identityRecord();
  const struct {
    const char* file;
    const char* where;
  } cases[] = {
      {"bad_mixed_decimal_marks.csv", ":2: "},       {"bad_zero_normal.txt", ":3: zero normal"},
      {"bad_letter_in_number.csv", ":2: "},          {"bad_number_in_title.txt", ":1: "},
      {"bad_number_in_coordinate_column.txt", ":1: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const ToolRun r = run("apply " + identity + " " + kCorpus + c.file);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, kCorpus + c.file + c.where));
    EXPECT_EQ(r.out, "");
  }
  for (const char* file : {"bad_header_only.csv", "bad_empty.txt"}) {
    const ToolRun r = run("fit " + kCorpus + file + " " + kMeasured);
    EXPECT_EQ(r.status, 2) << file;
    EXPECT_TRUE(Contains(r.err, std::string("no points in ") + kCorpus + file));
  }
}

// A German export fitted onto itself moved by a known motion: decimal commas
// are not taken for separators (which gave residuals of hundreds of mm).
TEST_F(ZemtrafoRealWorld, GermanExportsFitTheirMotion) {
  const std::string moved = write("moved.csv", "P1;420,034;385,448;342,373\nP2;-2,5;0,001;1000\nP3;10,25;250,75;-3,125\n"
                                               "P4;10;0;0\n");
  const std::string nominal = write("n.csv", "Punkt;X [mm];Y [mm];Z [mm]\r\nP1;410,034;385,448;342,373\r\n"
                                             "P2;-12,5;0,001;1000\r\nP3;0,25;250,75;-3,125\r\nP4;0;0;0\r\n");
  const ToolRun r = run("fit " + nominal + " " + moved + " --json");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Near(jsonNumbers(r.out, "translation_mm", 3), {-10.0, 0.0, 0.0}, 1e-9));
  EXPECT_TRUE(Near(jsonNumbers(r.out, "largest_mm", 1), {0.0}, 1e-9));
  // Told otherwise, the same file is read with decimal points and refused.
  EXPECT_EQ(run("fit " + nominal + " " + moved + " --decimal-point").status, 2);
}

TEST_F(ZemtrafoRealWorld, OutputsNamingAnInputOrEachOtherAreRefusedBeforeWriting) {
  const std::string n = write("n.txt", fileBytes(kNominal)), m = write("m.txt", fileBytes(kMeasured));
  ASSERT_EQ(run("fit " + n + " " + m + " --out " + path("p.trafo")).status, 0);
  ASSERT_EQ(::symlink(n.c_str(), path("link.txt").c_str()), 0);
  const std::string fit = "fit " + n + " " + m;
  const struct {
    const char* name;
    std::string args;
  } cases[] = {
      {"--out onto the nominal file", fit + " --out " + n},
      {"--csv onto the measured file", fit + " --csv " + m},
      {"--csv onto a link to the nominal file", fit + " --csv " + path("link.txt")},
      {"report onto its record", "report " + path("p.trafo") + " " + dir_.path().toStdString() + "/./p.trafo"},
      {"--out and --report the same", fit + " --out " + path("x.trafo") + " --report " + path("x.trafo")},
      {"--csv and --svg the same", fit + " --csv " + path("f") + " --svg " + path("f")},
      {"--csv onto the --global record", fit + " --global " + path("p.trafo") + " --csv " + path("p.trafo")},
  };
  const std::vector<std::string> before = entries();
  const std::string record = fileBytes(path("p.trafo"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolRun r = run(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, "nothing was written"));
    EXPECT_EQ(entries(), before);
    EXPECT_EQ(fileBytes(n), fileBytes(kNominal));
    EXPECT_EQ(fileBytes(m), fileBytes(kMeasured));
    EXPECT_EQ(fileBytes(path("p.trafo")), record);
  }
  // apply may write onto the points it reads.
  EXPECT_EQ(run("apply " + path("p.trafo") + " " + m + " --out " + m).status, 0);
}

// A later output that fails, a write beyond the file size limit, SIGINT or
// SIGTERM: the accumulated record and every other target stay as they were,
// and no new file is left behind.
TEST_F(ZemtrafoRealWorld, FailedOrInterruptedRunsReplaceNoTarget) {
  ASSERT_EQ(run("fit " + kNominal + " " + kMeasured + " --out " + path("g.trafo")).status, 0);
  const std::string csv = write("p.csv", "old\n"), record = fileBytes(path("g.trafo"));
  const std::vector<std::string> before = entries();
  const std::string fit = "fit " + kNominal + " " + kMeasured + " --global " + path("g.trafo");

  const ToolRun missingDir = run(fit + " --csv " + path("no/dir/p.csv"));
  EXPECT_EQ(missingDir.status, 2);
  EXPECT_TRUE(Contains(missingDir.err, path("no/dir/p.csv") + ": cannot write: No such file or directory"));
  // 1 KiB at most per file: the CSV of 36 pairs (2.5 kB) fails with EFBIG.
  const ToolRun tooLarge = run(fit + " --csv " + csv, "ulimit -f 1; ");
  EXPECT_EQ(tooLarge.status, 2);
  EXPECT_TRUE(Contains(tooLarge.err, csv + ": cannot write: File too large"));
  EXPECT_EQ(fileBytes(path("g.trafo")), record);
  EXPECT_EQ(fileBytes(csv), "old\n");
  EXPECT_EQ(entries(), before);

  // A large run interrupted at several moments, from reading to writing.
  std::string n, m;
  char line[128];
  for (int i = 0; i < ZEM_TOOL_TEST_POINTS / 4; ++i) {
    const double x = i % 1000, y = i / 1000 % 1000, z = i % 7;
    n.append(line, std::size_t(std::snprintf(line, sizeof line, "%d %.4f %.4f %.4f\n", i, x + 1, y, z)));
    m.append(line, std::size_t(std::snprintf(line, sizeof line, "%d %.4f %.4f %.4f\n", i, x, y, z)));
  }
  const std::string large = "fit " + write("ln.txt", n) + " " + write("lm.txt", m) + " --global " + path("g.trafo") +
                            " --csv " + csv + " --svg " + path("p.svg") + " --report " + path("p.txt");
  const std::vector<std::string> withLarge = entries();
  std::vector<std::string> replaced = withLarge;
  replaced.insert(replaced.end(), {"p.svg", "p.txt"});
  std::sort(replaced.begin(), replaced.end());
  int untouched = 0;
  for (const char* signal : {"INT", "TERM"})
    for (const char* delay : {"0.01", "0.05", "0.2", "0.4", "0.8"}) {
      SCOPED_TRACE(std::string(signal) + " after " + delay + " s");
      write("g.trafo", record);
      write("p.csv", "old\n");
      std::remove(path("p.svg").c_str());
      std::remove(path("p.txt").c_str());
      run(large + " & pid=$!; sleep " + delay + "; kill -" + signal + " $pid; wait $pid; ");
      // All or nothing: a run stopped before it put its files in place left
      // every target as it was; one stopped after that (or never) replaced
      // them all. Never a new file left behind.
      if (fileBytes(path("g.trafo")) == record) {
        ++untouched;
        EXPECT_EQ(fileBytes(csv), "old\n");
        EXPECT_EQ(entries(), withLarge);
      } else {
        EXPECT_NE(fileBytes(csv), "old\n");
        EXPECT_EQ(entries(), replaced);
      }
    }
  EXPECT_GT(untouched, 0);
}

TEST_F(ZemtrafoRealWorld, ReplacedFilesKeepTheirModeAndNewOnesFollowTheUmask) {
  const std::string csv = write("p.csv", "old\n");
  ASSERT_EQ(::chmod(csv.c_str(), 0640), 0);
  const ToolRun r = run("fit " + kNominal + " " + kMeasured + " --csv " + csv + " --report " + path("r.txt"),
                        "umask 027; ");
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat info;
  ASSERT_EQ(::stat(csv.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  ASSERT_EQ(::stat(path("r.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);  // 0666 less the umask 027
}

TEST_F(ZemtrafoRealWorld, DashIsStandardInputAndOutput) {
  const ToolRun r = run("fit - " + kMeasured + " --csv - --json " + path("fit.json") + " < " + kNominal);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("id,dx_mm,dy_mm,dz_mm,distance_mm\n1,", 0), 0u) << r.out;
  EXPECT_TRUE(Contains(fileBytes(path("fit.json")), "\"nominal_file\": \"-\""));
  const std::string identity = identityRecord();
  const ToolRun applied = run("apply " + identity + " - --out - < " + kCorpus + "de_semicolon.csv");
  EXPECT_EQ(applied.out, "1;410,034;385,448;342,373\n2;-12,5;0,001;1000,0\n3;0,25;250,75;-3,125\n");
}

TEST_F(ZemtrafoRealWorld, RepeatedIdentifiersAreAllowedWhereTheyPairNothing) {
  const std::string scan = kCorpus + "scanner_repeated_names.txt";
  const std::string plain = write("plain.txt", "410.034 385.448 342.373\n-12.5 0.001 1000\n0.25 250.75 -3.125\n");
  EXPECT_EQ(run("apply " + identityRecord() + " " + scan).status, 0);
  EXPECT_EQ(run("fit " + plain + " " + scan + " --by-position").status, 0);
  const ToolRun byId = run("fit " + scan + " " + scan);
  EXPECT_EQ(byId.status, 2);
  EXPECT_TRUE(Contains(byId.err, "identifier SCAN repeats"));
}

TEST_F(ZemtrafoRealWorld, ZeroWeightsOnOneAxisSaySo) {
  const std::string weighted = write("w.txt", "1 0 0 0 1 1 0\n2 100 0 0 1 1 0\n3 0 100 0 1 1 0\n4 0 0 100 1 1 0\n");
  const std::string plain = write("p.txt", "1 0 0 0\n2 100 0 0\n3 0 100 0\n4 0 0 100\n");
  const ToolRun r = run("fit " + weighted + " " + plain + " --weights");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "every weight of the z coordinates is 0"));
}

TEST_F(ZemtrafoRealWorld, IdentifiersInNoCommonFormSaySo) {
  const std::string a = write("a.txt", "1.0 0 0 0\n2.0 1 0 0\n3.0 0 1 0\n");
  const std::string b = write("b.txt", "1 0 0 0\n2 1 0 0\n3 0 1 0\n");
  const ToolRun r = run("fit " + a + " " + b);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "no identifier in common"));
  EXPECT_TRUE(Contains(r.err, "--by-position"));
}

// Surface points with normals: each pair's deviation along the nominal
// normal in the table, the CSV and the JSON; --along-normals is refused.
TEST_F(ZemtrafoRealWorld, NormalsGiveTheDeviationAlongThem) {
  const std::string nominal = write("n.txt", "id x y z i j k\n1 0 0 0 0 0 5\n2 100 0 0 0 0 1\n3 0 100 0 0 0 1\n"
                                             "4 0 0 100 1 0 0\n5 100 100 0 0 0 1\n");
  // Point 5 measured 0.1 mm high, the others exact.
  const std::string measured = write("m.txt", "1 0 0 0\n2 100 0 0\n3 0 100 0\n4 0 0 100\n5 100 100 0.1\n");
  const ToolRun r = run("fit " + nominal + " " + measured + " --json --csv " + path("p.csv"));
  ASSERT_EQ(r.status, 0) << r.err;
  // The fit shares the 0.1 mm out; along the normal of point 5 it is
  // dz itself, along that of point 4 (+X) it is dx.
  const std::size_t p5 = r.out.find("{\"id\": \"5\"");
  ASSERT_NE(p5, std::string::npos) << r.out;
  const std::vector<double> d5 = jsonNumbers(r.out.substr(p5), "d_mm", 3);
  ASSERT_EQ(d5.size(), 3u);
  EXPECT_TRUE(Near(jsonNumbers(r.out.substr(p5), "along_normal_mm", 1), {d5[2]}, 1e-15));
  EXPECT_TRUE(Contains(fileBytes(path("p.csv")), "distance_mm,along_normal_mm\n"));
  EXPECT_TRUE(Contains(run("fit " + nominal + " " + measured).out, "normal (mm)"));
  EXPECT_EQ(run("fit " + measured + " " + measured + " --along-normals").status, 2);  // no normals there
}

// Points measured with offsets along their surfaces (3-2-1 planes): the fit
// along the normals ignores those and finds the identity.
TEST_F(ZemtrafoRealWorld, FitAlongNormalsLetsPointsSlideOnTheirSurfaces) {
  const std::string nominal = write("n.txt", "id x y z i j k\n1 0 0 0 0 0 1\n2 100 0 0 0 0 1\n3 0 100 0 0 0 1\n"
                                             "4 0 0 50 0 1 0\n5 100 0 50 0 1 0\n6 0 50 50 1 0 0\n");
  const std::string measured = write("m.txt", "1 1 2 0\n2 101 2 0\n3 1 102 0\n4 3 0 51\n5 103 0 51\n6 0 51 52\n");
  const ToolRun r = run("fit " + nominal + " " + measured + " --along-normals --json");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Near(jsonNumbers(r.out, "translation_mm", 3), {0.0, 0.0, 0.0}, 1e-9));
  EXPECT_TRUE(Near(jsonNumbers(r.out, "angles_deg", 3), {0.0, 0.0, 0.0}, 1e-9));
  EXPECT_EQ(run("fit " + nominal + " " + measured + " --along-normals --weights").status, 2);
}

// q = s·(R·p + t): with s = 1.0005 and an offset of 1000 mm, t and the
// displacement of the origin s·t differ by 0.5 mm; both are given.
TEST_F(ZemtrafoRealWorld, AFittedScaleShowsTheDisplacementToo) {
  std::string n, m;
  for (const auto& p : {BaVec3d<double>(0, 0, 0), BaVec3d<double>(100, 0, 0), BaVec3d<double>(0, 100, 0),
                        BaVec3d<double>(0, 0, 100)}) {
    const BaVec3d<double> q = (p + BaVec3d<double>(1000, 0, 0)) * 1.0005;
    char line[128];
    n += std::string(line, std::size_t(std::snprintf(line, sizeof line, "%.17g %.17g %.17g\n", q.x, q.y, q.z)));
    m += std::string(line, std::size_t(std::snprintf(line, sizeof line, "%.17g %.17g %.17g\n", p.x, p.y, p.z)));
  }
  const std::string args = "fit " + write("n.txt", n) + " " + write("m.txt", m) + " --scale";
  const ToolRun json = run(args + " --json");
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_TRUE(Near(jsonNumbers(json.out, "translation_mm", 3), {1000.0, 0.0, 0.0}, 1e-8));
  EXPECT_TRUE(Near(jsonNumbers(json.out, "displacement_mm", 3), {1000.5, 0.0, 0.0}, 1e-8));
  EXPECT_TRUE(Contains(run(args).out, "displacement of the origin, s t (mm): 1000.500000"));
}

TEST_F(ZemtrafoRealWorld, NamesThatAreNotUtf8GiveValidUtf8Outputs) {
  const std::string measured = write("m.csv", "Bohrung_\xC3\x98" "1;410,034;385,448;342,373\r\n"
                                              "Bohrung_\xC3\x98" "2;-12,5;0,001;1000\r\nKosten_\xE2\x82\xAC;0,25;250,75;-3,125\r\n");
  const ToolRun r = run("fit " + kCorpus + "cp1252_names.txt " + measured + " --json --svg " + path("p.svg"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "\"Kosten_\xE2\x82\xAC\""));  // paired with the UTF-8 name
  EXPECT_TRUE(Contains(fileBytes(path("p.svg")), "Bohrung_\xC3\x98" "1"));
  EXPECT_TRUE(Contains(r.err, "read as Windows-1252"));
  EXPECT_EQ(r.err.find("Windows-1252"), r.err.rfind("Windows-1252"));  // said once
}

TEST_F(ZemtrafoRealWorld, Align321SaysWhichSensesItUsedAndWhyItFailed) {
  const std::string features = "\xEF\xBB\xBFPLANE 0 0 0 0\nPlane 100 0 0 0\nplane 0 80 0 0\nDirection 10 0 20 0\n"
                               "direction 90 0 20 0\nPOINT 0 40 20 0\n";
  const ToolRun r = run("align321 " + write("f.txt", features));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "plane normal: +(P1 - P0) x (P2 - P0) of the plane lines in file order"));
  EXPECT_TRUE(Contains(r.out, "direction: first to second direction point"));
  const ToolRun coincident = run("align321 " + write("c.txt", "plane 0 0 0 0\nplane 0 0 0 0\nplane 0 80 0 0\n"
                                                              "direction 10 0 20 0\ndirection 90 0 20 0\n"
                                                              "point 0 40 20 0\n"));
  EXPECT_EQ(coincident.status, 1);
  EXPECT_TRUE(Contains(coincident.err, "the three plane points coincide or lie on one line"));
  const ToolRun directory = run("align321 " + dir_.path().toStdString());
  EXPECT_EQ(directory.status, 2);
  EXPECT_TRUE(Contains(directory.err, "cannot read (is a directory)"));
  const ToolRun zeroLine = run("align-plp " + write("l.txt", "plane 0 0 1 0 0 0 1 0\nline 0 0 0 0 0 0 0 0 0 1 0 0\n"
                                                            "point 0 0 0 0 0 0\n"));
  EXPECT_EQ(zeroLine.status, 2);
  EXPECT_TRUE(Contains(zeroLine.err, "a line's direction (dx, dy, dz) is zero"));
}

TEST_F(ZemtrafoRealWorld, CommandLineErrorsSayWhatIsWrong) {
  const ToolRun unknown = run("fti a b");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(Contains(unknown.err, "unknown command \"fti\"; the commands are fit, apply"));
  const ToolRun parse = run("fit " + kNominal);
  EXPECT_EQ(parse.status, 2);
  EXPECT_EQ(parse.err.rfind("zemtrafo: ", 0), 0u) << parse.err;
  EXPECT_EQ(run("fit " + kNominal + " " + kMeasured + " --svg " + path("s.svg") + " --tolerance 0").status, 2);
  const ToolRun help = run("fit --help");
  EXPECT_EQ(help.out.find(ZEMTRAFO_EXE), std::string::npos);  // the name, not the build path
  EXPECT_TRUE(Contains(help.out, "a positive angle about Z carries +Y towards +X"));
  EXPECT_TRUE(Contains(run("show --help").out, "maps measured -> nominal"));
}

}  // namespace
}  // namespace Zem
