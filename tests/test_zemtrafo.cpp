// zemtrafo run as a process: the bundled bracket, identifiers by name, every
// kind of bad input, outputs that name an input or each other among them
// (exit status, the message naming file and line, no output file written or
// replaced), apply followed by fit, and a pair of large generated files.
// Then files as measuring software exports them (tests/data/real_world),
// and the safety of the outputs: no target is ever replaced by a run that
// is interrupted, modes are kept.
#include <QDir>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "math_trafo_io.h"
#include "test_util.h"

namespace Zem {
namespace {

using test::fileBytes;

const std::string kCorpus = ZEM_SOURCE_DIR "/tests/data/real_world/";

struct ToolRun {
  int status;  ///< the exit status, -1 when killed by a signal
  std::string out, err;
};

class Zemtrafo : public ::testing::Test {
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
  /// The standard output of a run that must succeed; a failure names the
  /// arguments and gives the tool's standard error.
  std::string succeeded(const std::string& args, const std::string& before = "") const {
    const ToolRun r = run(args, before);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
    return r.out;
  }
  /// The directory's entries other than the captured stdout and stderr.
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const QString& name : QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
      if (name != "stdout" && name != "stderr") names.insert(name.toStdString());
    return names;
  }
  /// "fit NOMINAL MEASURED" of two generated files of `count` points on a
  /// grid, the nominal ones 1 mm further in x.
  std::string largeFit(int count) const {
    std::string n, m;
    char line[128];
    for (int i = 0; i < count; ++i) {
      const double x = i % 1000, y = i / 1000 % 1000, z = i % 7;
      n.append(line, std::size_t(std::snprintf(line, sizeof line, "%d %.4f %.4f %.4f\n", i, x + 1, y, z)));
      m.append(line, std::size_t(std::snprintf(line, sizeof line, "%d %.4f %.4f %.4f\n", i, x, y, z)));
    }
    return "fit " + write("ln.txt", n) + " " + write("lm.txt", m);
  }
  std::string identityRecord() const {
    LastAndGlobalTransformation record(Transformation::identity(), true, Transformation::identity(), true);
    EXPECT_TRUE(record.save(QString::fromStdString(path("identity.trafo")), nullptr, 0, 0));
    return path("identity.trafo");
  }
  const std::string nominal_ = ZEM_EXAMPLE_DATA_DIR "/nominal_points.txt";
  const std::string measured_ = ZEM_EXAMPLE_DATA_DIR "/measured_points.txt";
  const std::string bracketFit_ = "fit " + nominal_ + " " + measured_;  ///< the bundled bracket's fit
  QTemporaryDir dir_;
};

::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" not in:\n" << text;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

/// The `count` numbers that follow `key` in `text` (a JSON array, a line of
/// fields); fewer when they are not there.
std::vector<double> numbersAfter(const std::string& text, const std::string& key, int count) {
  std::vector<double> values;
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return values;
  const char* p = text.c_str() + at + key.size();
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

// The fit is the library's computeTransformation, bit for bit: the report's
// section of the last transformation is the bundled one's. The report
// command writes the same report from the record.
TEST_F(Zemtrafo, ReportOfTheBracketIsTheBundledOne) {
  succeeded(bracketFit_ + " --out " + path("b.trafo") + " --report " + path("b.txt"));
  const std::string report = fileBytes(path("b.txt")), bundled = fileBytes(ZEM_EXAMPLE_DATA_DIR "/bestfit_report.txt");
  const std::string section = bundled.substr(0, bundled.find("Global transformation"));
  EXPECT_EQ(report.substr(0, section.size()), section);
  succeeded("report " + path("b.trafo") + " " + path("r.txt"));
  EXPECT_EQ(fileBytes(path("r.txt")), report);
}

TEST_F(Zemtrafo, TheBracketsPairsAreInEveryOutputAndItsUnpairedPointsListed) {
  const std::string output =
      succeeded(bracketFit_ + " --csv " + path("b.csv") + " --svg " + path("b.svg") + " --tolerance 0.03");
  EXPECT_TRUE(Contains(output, "36 pairs by identifier"));
  EXPECT_TRUE(Contains(output, "unpaired nominal points (2): 37 38\nunpaired measured points (2): 101 102"));
  const std::string csv = fileBytes(path("b.csv"));
  EXPECT_EQ(csv.rfind("id,dx_mm,dy_mm,dz_mm,distance_mm\n1,", 0), 0u) << csv;
  EXPECT_EQ(occurrences(csv, "\n"), 37u);
  const std::string svg = fileBytes(path("b.svg"));
  EXPECT_EQ(occurrences(svg, "<rect"), 36u);
  EXPECT_EQ(occurrences(svg, "fill=\"#d62728\""), 6u);  // the pairs beyond 0.03 mm
  EXPECT_EQ(occurrences(svg, "tolerance 0.03"), 1u);
}

// last = this fit, global = the earlier global, then this fit.
TEST_F(Zemtrafo, GlobalRecordAccumulates) {
  succeeded(bracketFit_ + " --out " + path("b.trafo"));
  succeeded(bracketFit_ + " --global " + path("b.trafo"));
  LastAndGlobalTransformation record(Transformation::identity(), false, Transformation::identity(), false);
  ASSERT_TRUE(record.load(QString::fromStdString(path("b.trafo")), nullptr, 0, 0));
  Transformation twice = record.getLastTransformation();
  twice.append(record.getLastTransformation());
  EXPECT_TRUE(test::SameMatrix(record.getGlobalTransformation(), twice, 1e-12));
}

TEST_F(Zemtrafo, RejectSetsAsideAndNamesSwappedIdentifiers) {
  // The bracket's measured file with the identifiers 3 and 7 swapped.
  QString swapped = QString::fromStdString(fileBytes(measured_));
  swapped.replace("\n3 ", "\n_ ").replace("\n7 ", "\n3 ").replace("\n_ ", "\n7 ");
  const std::string file = write("swapped.txt", swapped.toStdString());
  const std::string output = succeeded("fit " + nominal_ + " " + file + " --reject --json");
  const std::size_t list = output.find("\"rejected_ids\": [");
  ASSERT_NE(list, std::string::npos) << output;
  const std::string ids = output.substr(list, output.find(']', list) - list);
  EXPECT_NE(ids.find("\"3\""), std::string::npos) << ids;
  EXPECT_NE(ids.find("\"7\""), std::string::npos) << ids;
  const std::string text = succeeded("fit " + nominal_ + " " + file + " --reject");
  EXPECT_TRUE(Contains(text, "rejected pairs ("));
  EXPECT_TRUE(Contains(text, "std. deviation of the angles (arcsec)"));
}

TEST_F(Zemtrafo, HeldFreedomsKeepTheirComponents) {
  const std::string output = succeeded(bracketFit_ + " --rotation none --translation xy --json");
  EXPECT_TRUE(Near(numbersAfter(output, "\"angles_deg\":", 3), {0.0, 0.0, 0.0}, 0.0)) << output;
  EXPECT_EQ(numbersAfter(output, "\"translation_mm\":", 3).at(2), 0.0);
}

TEST_F(Zemtrafo, PairsNamesAndShowsThemInEveryOutput) {
  const std::string n = write("n.txt", "name x y z\nBORE_A 0 0 0\nP2 100 0 0\nP3 0 50 0\nP4 0 0 30\nLOST 1 1 1\n");
  const std::string m = write("m.txt", "P4;10;0;30\nP3,10,50,0\nBORE_A 10 0 0\nP2 110 0 0\nEXTRA 0 0 0\n");
  const std::string output = succeeded("fit " + n + " " + m + " --json");
  EXPECT_TRUE(Near(numbersAfter(output, "\"translation_mm\":", 3), {-10.0, 0.0, 0.0}, 1e-9)) << output;
  EXPECT_TRUE(Contains(output, "{\"id\": \"BORE_A\""));
  EXPECT_TRUE(Contains(output, "\"unpaired_nominal\": [\"LOST\"],\n  \"unpaired_measured\": [\"EXTRA\"]"));
  // Without identifiers in one file the points pair by position.
  const std::string plain = write("p.txt", "10 0 0\n110 0 0\n10 50 0\n10 0 30\n0 0 0\n");
  EXPECT_TRUE(Contains(run("fit " + n + " " + plain).out, "5 pairs by position"));
}

// Every refusal: the exit status (2 for input the tool cannot use, 1 for a
// computation that fails), a message after the tool's name saying why (with
// the file and line at fault), nothing on stdout and no file written: no new
// file, and the inputs, a record and an earlier output as they were. Outputs
// naming an input (through a link or another spelling of its path too) or
// each other are refused before anything is written; a later output that
// fails (a write beyond the file size limit) replaces no target either.
TEST_F(Zemtrafo, RefusalsSayWhatIsWrongAndWriteNothing) {
  const std::string outputs = " --out " + path("x.trafo");
  const std::string plain = write("p.txt", "1 0 0 0\n2 100 0 0\n3 0 100 0\n4 0 0 100\n");
  const std::string zOff = write("w.txt", "1 0 0 0 1 1 0\n2 100 0 0 1 1 0\n3 0 100 0 1 1 0\n4 0 0 100 1 1 0\n");
  const std::string scan = write("scan.txt", "SCAN 0 0 0\nSCAN 100 0 0\nSCAN 0 100 0\n");
  const std::string oops = write("oops.txt", "1 415.9 -181.7 107.1\n7 oops 1 2\n");
  const std::string badFeature = write("f.txt", "plane 1 2 3 0\n# next\nplane 1 2 x 0\n");
  // Direction points 80 mm apart cannot differ by 500 mm in their nominal value.
  const std::string impossible = write("i.txt", "plane 0 0 0 0\nplane 100 0 0 0\nplane 0 80 0 0\ndirection 10 0 20 0\n"
                                                "direction 90 0 20 500\npoint 0 40 20 0\n");
  const std::string coincident = write("c.txt", "plane 0 0 0 0\nplane 0 0 0 0\nplane 0 80 0 0\ndirection 10 0 20 0\n"
                                                "direction 90 0 20 0\npoint 0 40 20 0\n");
  const std::string noDirection = write("l.txt", "plane 0 0 1 0 0 0 1 0\nline 0 0 0 0 0 0 0 0 0 1 0 0\n"
                                                 "point 0 0 0 0 0 0\n");
  const std::string headerOnly = kCorpus + "bad_header_only.csv", empty = kCorpus + "bad_empty.txt";
  const std::string german = kCorpus + "de_semicolon_header_names.csv";
  // Copies of the bracket's files, a link to one, a record and an earlier CSV.
  const std::string n = write("n.txt", fileBytes(nominal_)), m = write("m.txt", fileBytes(measured_));
  ASSERT_EQ(::symlink(n.c_str(), path("link.txt").c_str()), 0);
  const std::string fit = "fit " + n + " " + m, record = identityRecord(), csv = write("old.csv", "old\n");
  const std::string recordBytes = fileBytes(record), unwritten = "; nothing was written";
  // `before`: shell commands before the run.
  struct Case { const char* name; std::string args; int status; std::string message; std::string before = {}; };
  const Case cases[] = {
      {"unknown command", "fti a b", 2, "unknown command \"fti\"; the commands are fit, apply"},
      {"no measured file", "fit " + nominal_, 2, "MEASURED is required"},
      {"missing file", "fit " + nominal_ + " /nonexistent.txt", 2, "/nonexistent.txt: cannot open file for reading"},
      {"a directory", "align321 " + dir_.path().toStdString(), 2, "cannot read (is a directory)"},
      {"points for a record", "apply " + nominal_ + " " + measured_, 2, "not a readable .trafo record"},
      {"counts differ by position", "fit " + write("two.txt", "0 0 0\n1 0 0\n") + " " + measured_ + " --by-position", 2,
       "needs as many measured points as nominal points"},
      {"tolerance 0", bracketFit_ + " --svg " + path("s.svg") + " --tolerance 0", 2, "--tolerance: Value 0 not in range"},
      {"precision 18", "apply " + record + " " + plain + " --precision 18", 2, "--precision"},
      {"bad translation axes", bracketFit_ + " --translation xq", 2, "--translation takes the free axes"},
      {"along normals without normals", "fit " + plain + " " + plain + " --along-normals", 2, plain + " has no normals"},
      {"along normals and weights", "fit " + plain + " " + plain + " --along-normals --weights", 2,
       "cannot be combined with --weights"},
      {"not a number", "fit " + nominal_ + " " + oops + outputs + " --csv " + path("x.csv"), 2,
       oops + ":2: \"oops\" is not a number"},
      {"decimal commas, decimal points told", "fit " + german + " " + measured_ + " --decimal-point", 2,
       german + ":2: 7 fields; expected 4 as on line 1"},
      {"feature not a number", "align321 " + badFeature + outputs, 2, badFeature + ":3: \"x\" is not a finite number"},
      {"header only", "fit " + headerOnly + " " + measured_, 2, "no points in " + headerOnly},
      {"empty file", "fit " + empty + " " + measured_, 2, "no points in " + empty},
      {"identifiers in no common form", "fit " + write("a.txt", "1.0 0 0 0\n2.0 1 0 0\n3.0 0 1 0\n") + " " + plain, 2,
       "no identifier in common between " + path("a.txt") + " and " + plain +
           " (\"1\" and \"1.0\" are different names); --by-position pairs"},
      {"repeated identifiers to pair by", "fit " + scan + " " + scan, 2, scan + ":2: identifier SCAN repeats"},
      {"a line without direction", "align-plp " + noDirection, 2, "a line's direction (dx, dy, dz) is zero"},
      {"a feature's point not in the points file", "features " + measured_ + " " + write("b.txt", "\nsphere B 30-40\n"),
       2, path("b.txt") + ":2: point 37 of 30-40 is not in the points file"},
      {"--csv in a missing directory", bracketFit_ + outputs + " --csv " + path("no/dir/p.csv"), 2,
       path("no/dir/p.csv") + ": cannot write: No such file or directory"},
      {"two pairs", "fit " + nominal_ + " " + write("two_pairs.txt", "1 0 0 0\n2 10 0 0\n") + outputs, 1,
       "the fit failed: fewer than three pairs (2 pairs by identifier)"},
      {"zero weights on one axis", "fit " + zOff + " " + plain + " --weights", 1,
       "every weight of the z coordinates is 0"},
      {"coincident plane points", "align321 " + coincident, 1, "the three plane points coincide or lie on one line"},
      {"alignment impossible", "align321 " + impossible + outputs, 1,
       "the alignment failed: the measured points cannot reach the nominal values"},
      {"--out onto the nominal file", fit + " --out " + n, 2, "would overwrite the input " + n + unwritten},
      {"--csv onto the measured file", fit + " --csv " + m, 2, "would overwrite the input " + m + unwritten},
      {"--csv onto a link to the nominal file", fit + " --csv " + path("link.txt"), 2,
       "would overwrite the input " + n + unwritten},
      {"report onto its record", "report " + record + " " + dir_.path().toStdString() + "/./identity.trafo", 2,
       "would overwrite the input " + record + unwritten},
      {"--out and --report the same", fit + " --out " + path("x.trafo") + " --report " + path("x.trafo"), 2,
       "names the same file as --out" + unwritten},
      {"--csv and --svg the same", fit + " --csv " + path("f") + " --svg " + path("f"), 2,
       "names the same file as --csv" + unwritten},
      {"--csv onto the --global record", fit + " --global " + record + " --csv " + record, 2,
       "names the same file as --global" + unwritten},
      // 1 KiB at most per file: the CSV of 36 pairs (2.5 kB) fails with EFBIG.
      {"a write beyond the file size limit", bracketFit_ + " --global " + record + " --csv " + csv, 2,
       csv + ": cannot write: File too large", "ulimit -f 1; "},
  };
  const std::set<std::string> before = entries();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolRun r = run(c.args, c.before);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.rfind("zemtrafo: ", 0), 0u) << r.err;
    EXPECT_TRUE(Contains(r.err, c.message));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(entries(), before);
    EXPECT_EQ(fileBytes(n), fileBytes(nominal_));
    EXPECT_EQ(fileBytes(m), fileBytes(measured_));
    EXPECT_EQ(fileBytes(record), recordBytes);
    EXPECT_EQ(fileBytes(csv), "old\n");
  }
  // apply may write onto the points it reads.
  EXPECT_EQ(run("apply " + record + " " + m + " --out " + m).status, 0);
}

TEST_F(Zemtrafo, HelpNamesTheToolAndStatesTheConventions) {
  EXPECT_EQ(run("--version").status, 0);
  const std::string help = succeeded("fit --help");
  EXPECT_EQ(help.find(ZEMTRAFO_EXE), std::string::npos);  // the name, not the build path
  EXPECT_TRUE(Contains(help, "a positive angle about Z carries +Y towards +X"));
  EXPECT_TRUE(Contains(run("show --help").out, "maps measured -> nominal"));
}

TEST_F(Zemtrafo, ApplyThenFitGivesTheIdentity) {
  succeeded(bracketFit_ + " --out " + path("t.trafo"));
  // 17 decimals: the moved points exactly, not rounded to the input's four.
  succeeded("apply " + path("t.trafo") + " " + measured_ + " --out " + path("moved.txt") + " --precision 17");
  const std::string back = succeeded("fit " + nominal_ + " " + path("moved.txt") + " --json");
  EXPECT_TRUE(Near(numbersAfter(back, "\"angles_deg\":", 3), {0.0, 0.0, 0.0}, 1e-9));
  EXPECT_TRUE(Near(numbersAfter(back, "\"translation_mm\":", 3), {0.0, 0.0, 0.0}, 1e-9));
  const std::string inverse = succeeded("apply " + path("t.trafo") + " " + path("moved.txt") + " --inverse");
  EXPECT_TRUE(Near(numbersAfter(inverse, "", 4), {1.0, 415.933, -181.7348, 107.1312}, 1e-9)) << inverse;
}

TEST_F(Zemtrafo, PrintsSciPyConventionsAndRotationVectorsBesideTheSixOrders) {
  // ORDER_XYZ with (x, y, z) is SciPy's "xyz" with (-x, -y, -z); the rotation
  // vector is the library's (checked against Eigen in test_rotation_convention.cpp).
  Transformation t;
  t.set(BaVec3d<double>(1, 2, 3), BaVec3d<double>(0.1, -0.2, 0.3), Transformation::ORDER_XYZ, 1.0);
  ASSERT_TRUE(LastAndGlobalTransformation(t, true, t, true).save(QString::fromStdString(path("t.trafo")), nullptr, 0, 0));
  const std::string shown = succeeded("show " + path("t.trafo") + " --order scipy:xyz");
  const double deg = 180.0 / test::kPi;
  EXPECT_TRUE(Near(numbersAfter(shown, "xyz, extrinsic, right-hand:", 3), {-0.1 * deg, 0.2 * deg, -0.3 * deg}, 1e-6));
  const BaVec3d<double> v = t.getRotationVector();
  EXPECT_TRUE(Near(numbersAfter(shown, "axis times angle):", 3), {v.x, v.y, v.z}, 1e-9));
  EXPECT_EQ(occurrences(shown, "xyz, extrinsic, right-hand:"), 2u);  // last and global
  const std::string plain = succeeded("show " + path("t.trafo"));
  EXPECT_TRUE(Contains(plain, "global transformation (valid)"));
  EXPECT_EQ(occurrences(plain, "SciPy"), 0u);
  const std::string fitted = succeeded(bracketFit_ + " --order scipy:ZXZ --json");
  EXPECT_TRUE(Contains(fitted, "\"angle_order\": \"scipy:ZXZ\",\n  \"angles_deg\": ["));
  EXPECT_TRUE(Contains(fitted, "\"gimbal_lock\": false"));
  EXPECT_TRUE(Contains(succeeded(bracketFit_ + " --order XYZ"), "about X, Y, Z (order XYZ, the first letter acts first)"));
  for (const char* bad : {"scipy:xxy", "scipy:xYz", "scipy:", "scipy:xyzx"})
    EXPECT_EQ(run("show " + path("t.trafo") + " --order " + bad).status, 2) << bad;
}

// Features of a part (plane z = 0, direction along x in y = 0, point at
// x = 0) measured after a known motion: both alignments must undo it.
// Keywords in any case after a byte order mark; align321 says which senses
// it took.
TEST_F(Zemtrafo, AlignsFromFeatureFiles) {
  const Transformation motion(BaVec3d<double>(15.0, -40.0, 7.5), BaVec3d<double>(0.1, -0.2, 0.7), 1.0);
  const auto num = [](double v) { return QString::number(v, 'g', 15).toStdString(); };
  const auto vec = [&num](const BaVec3d<double>& v) { return num(v.x) + " " + num(v.y) + " " + num(v.z); };
  const auto at = [&](double x, double y, double z) { return vec(motion.transformPoint(BaVec3d<double>(x, y, z))); };
  const BaVec3d<double> n = motion.rotateVector(BaVec3d<double>(0, 0, 1));
  const std::string plane = "plane " + vec(n) + " " + num(-n.dot(motion.getTranslation())) + "  0 0 1 0\n";
  const std::string line = "line " + at(0, 0, 0) + " " + vec(motion.rotateVector(BaVec3d<double>(1, 0, 0))) +
                           "  0 0 0 1 0 0\n";
  const std::string f321 = write("321.txt", "\xEF\xBB\xBFPLANE " + at(0, 0, 0) + " 0\nPlane " + at(100, 0, 0) +
                                                " 0\nplane " + at(0, 80, 0) + " 0\nDirection " + at(10, 0, 20) +
                                                " 0\ndirection " + at(90, 0, 20) + " 0\nPOINT " + at(0, 40, 20) + " 0\n");
  const std::string fPlp = write("plp.txt", plane + line + "point " + at(0, 0, 0) + "  0 0 0\n");
  for (const std::string& command : {"align321 " + f321, "align-plp " + fPlp}) {
    SCOPED_TRACE(command);
    succeeded(command + " --out " + path("a.trafo"));
    LastAndGlobalTransformation record(Transformation::identity(), false, Transformation::identity(), false);
    ASSERT_TRUE(record.load(QString::fromStdString(path("a.trafo")), nullptr, 0, 0));
    EXPECT_TRUE(test::SameMatrix(record.getLastTransformation(), motion.inverse(), 1e-9));
  }
  const std::string said = succeeded("align321 " + f321);
  EXPECT_TRUE(Contains(said, "plane normal: +(P1 - P0) x (P2 - P0) of the plane lines in file order"));
  EXPECT_TRUE(Contains(said, "direction: first to second direction point"));
}

TEST_F(Zemtrafo, AlignsFromProbedPointsOfAMovedPart) {
  // A part's top face z = 0, its edge y = 0 (probed at z = -5) and a bore
  // of radius 5 at (60, 40), probed after a known motion with 1 um noise.
  const Transformation motion(BaVec3d<double>(-120.0, 35.0, 410.0), BaVec3d<double>(0.3, -0.1, 2.0), 1.0);
  std::mt19937 rng(17);
  std::normal_distribution<double> noise(0.0, 1e-3);
  std::string probed;
  int id = 0;
  const auto probe = [&](double x, double y, double z) {  // std::to_string: six decimals
    const BaVec3d<double> p = motion.transformPoint(BaVec3d<double>(x, y, z));
    probed += std::to_string(++id) + " " + std::to_string(p.x + noise(rng)) + " " + std::to_string(p.y + noise(rng)) +
              " " + std::to_string(p.z + noise(rng)) + "\n";
  };
  const double top[][2] = {{10, 10}, {90, 10}, {90, 70}, {10, 70}, {50, 20}, {30, 60}};  // counter-clockwise: +z
  for (const auto& xy : top) probe(xy[0], xy[1], 0.0);
  for (int i = 0; i < 6; ++i) probe(5.0 + 18.0 * i, 0.0, -5.0);
  for (int i = 0; i < 8; ++i) probe(60.0 + 5.0 * std::cos(0.7 * i), 40.0 + 5.0 * std::sin(0.7 * i), -3.0);
  const std::string points = write("probed.txt", probed);
  const std::string align321 = write("321.txt", "plane TOP 1-6 = 0\nline EDGE 7-12 = 0\ncircle BORE 13-20 = 60\n");
  const std::string plp = write("plp.txt", "plane TOP 1-6 = 0 0 1 0\nline EDGE 7-12 = 0 0 -5 1 0 0\n"
                                           "circle BORE 13-20 = 60 40 -3\n");
  for (const std::string& command : {"align321 --features " + align321, "align-plp --features " + plp}) {
    SCOPED_TRACE(command);
    succeeded(command + " --points " + points + " --out " + path("a.trafo"));
    LastAndGlobalTransformation record(Transformation::identity(), false, Transformation::identity(), false);
    ASSERT_TRUE(record.load(QString::fromStdString(path("a.trafo")), nullptr, 0, 0));
    // 1 um of noise on 6 to 8 points leaves a few um over the part's 100 mm.
    for (const BaVec3d<double>& corner : {BaVec3d<double>(0, 0, 0), BaVec3d<double>(100, 80, 0), BaVec3d<double>(60, 40, -3)})
      EXPECT_TRUE(test::SameVec(record.getLastTransformation().transformPoint(motion.transformPoint(corner)), corner, 0.01));
  }
  const std::string shown = succeeded("features " + points + " " + align321);
  EXPECT_TRUE(Near(numbersAfter(shown, "radius", 1), {5.0}, 0.002)) << shown;
}

TEST_F(Zemtrafo, FitsALargePairOfFiles) {
  const std::string output = succeeded(largeFit(ZEM_TOOL_TEST_POINTS));
  EXPECT_TRUE(Contains(output, "pairs: " + std::to_string(ZEM_TOOL_TEST_POINTS) + " "));
  EXPECT_TRUE(Near(numbersAfter(output, "mean:", 1), {0.0}, 1e-6));
}

// --- Files as measuring software exports them; the safety of the outputs ---

class ZemtrafoRealWorld : public Zemtrafo {};

// SIGINT or SIGTERM at several moments of a large run, from reading to
// writing: the accumulated record and every other target stay as they were
// or are all replaced, and no new file is left behind. (A run that fails
// replaces no target either: RefusalsSayWhatIsWrongAndWriteNothing.)
TEST_F(ZemtrafoRealWorld, InterruptedRunsReplaceAllTargetsOrNone) {
  succeeded(bracketFit_ + " --out " + path("g.trafo"));
  const std::string csv = write("p.csv", "old\n"), record = fileBytes(path("g.trafo"));
  const std::string large = largeFit(ZEM_TOOL_TEST_POINTS / 4) + " --global " + path("g.trafo") + " --csv " + csv +
                            " --svg " + path("p.svg") + " --report " + path("p.txt");
  const std::set<std::string> withLarge = entries();
  std::set<std::string> replaced = withLarge;
  replaced.insert({"p.svg", "p.txt"});
  int untouched = 0;
  for (const char* signal : {"INT", "TERM"})
    for (const char* delay : {"0.01", "0.05", "0.2", "0.4", "0.8"}) {
      SCOPED_TRACE(std::string(signal) + " after " + delay + " s");
      write("g.trafo", record);
      write("p.csv", "old\n");
      std::remove(path("p.svg").c_str());
      std::remove(path("p.txt").c_str());
      run(large + " >/dev/null 2>&1 & pid=$!; sleep " + delay + "; kill -" + signal + " $pid 2>/dev/null; wait $pid; ");
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
  succeeded(bracketFit_ + " --csv " + csv + " --report " + path("r.txt"), "umask 027; ");
  struct stat info;
  ASSERT_EQ(::stat(csv.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  ASSERT_EQ(::stat(path("r.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);  // 0666 less the umask 027
}

TEST_F(ZemtrafoRealWorld, DashIsStandardInputAndOutput) {
  const std::string output = succeeded("fit - " + measured_ + " --csv - --json " + path("fit.json") + " < " + nominal_);
  EXPECT_EQ(output.rfind("id,dx_mm,dy_mm,dz_mm,distance_mm\n1,", 0), 0u) << output;
  EXPECT_TRUE(Contains(fileBytes(path("fit.json")), "\"nominal_file\": \"-\""));
  const ToolRun applied = run("apply " + identityRecord() + " - --out - < " + kCorpus + "de_semicolon.csv");
  EXPECT_EQ(applied.out, "1;410,034;385,448;342,373\n2;-12,500;0,001;1000,000\n3;0,250;250,750;-3,125\n");
}

TEST_F(ZemtrafoRealWorld, ApplyWritesTheInputsDecimalsOrThePrecisionAndLineEnds) {
  const std::string points = write("p.txt", "1 -0.0004 2.5 3.126\r\n2 0.001 0 1e-3\r\n");
  const struct { const char* name; std::string options; std::string written; } cases[] = {
      {"the input's four decimals", "", "1 -0.0004 2.5000 3.1260\r\n2 0.0010 0.0000 0.0010\r\n"},
      // The lowest precision; rounding to N decimals is the point file's (test_point_file.cpp).
      {"no decimals, no minus zero", " --precision 0", "1 0 2 3\r\n2 0 0 0\r\n"},
  };
  const std::string identity = identityRecord();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(succeeded("apply " + identity + " " + points + c.options), c.written);
  }
}

// Refused where they pair (RefusalsSayWhatIsWrongAndWriteNothing).
TEST_F(ZemtrafoRealWorld, RepeatedIdentifiersAreAllowedWhereTheyPairNothing) {
  const std::string scan = kCorpus + "scanner_repeated_names.txt";
  EXPECT_EQ(succeeded("apply " + identityRecord() + " " + scan),
            "SCAN 410.034 385.448 342.373\nSCAN -12.500 0.001 1000.000\nSCAN 0.250 250.750 -3.125\n");
  // The same three points without identifiers.
  EXPECT_EQ(run("fit " + kCorpus + "exponents_tabs.txt " + scan + " --by-position").status, 0);
}

// Surface points with normals: each pair's deviation along the nominal
// normal in the table, the CSV and the JSON.
TEST_F(ZemtrafoRealWorld, NormalsGiveTheDeviationAlongThem) {
  const std::string nominal = write("n.txt", "id x y z i j k\n1 0 0 0 0 0 5\n2 100 0 0 0 0 1\n3 0 100 0 0 0 1\n"
                                             "4 0 0 100 1 0 0\n5 100 100 0 0 0 1\n");
  // Point 5 measured 0.1 mm high, the others exact.
  const std::string measured = write("m.txt", "1 0 0 0\n2 100 0 0\n3 0 100 0\n4 0 0 100\n5 100 100 0.1\n");
  const std::string output = succeeded("fit " + nominal + " " + measured + " --json --csv " + path("p.csv"));
  // The fit shares the 0.1 mm out; along the normal of point 5 it is
  // dz itself, along that of point 4 (+X) it is dx.
  const std::size_t p5 = output.find("{\"id\": \"5\"");
  ASSERT_NE(p5, std::string::npos) << output;
  const std::vector<double> d5 = numbersAfter(output.substr(p5), "\"d_mm\":", 3);
  ASSERT_EQ(d5.size(), 3u);
  EXPECT_TRUE(Near(numbersAfter(output.substr(p5), "\"along_normal_mm\":", 1), {d5[2]}, 1e-15));
  EXPECT_TRUE(Contains(fileBytes(path("p.csv")), "distance_mm,along_normal_mm\n"));
  EXPECT_TRUE(Contains(run("fit " + nominal + " " + measured).out, "normal (mm)"));
}

// Points measured with offsets along their surfaces (3-2-1 planes): the fit
// along the normals ignores those and finds the identity.
TEST_F(ZemtrafoRealWorld, FitAlongNormalsLetsPointsSlideOnTheirSurfaces) {
  const std::string nominal = write("n.txt", "id x y z i j k\n1 0 0 0 0 0 1\n2 100 0 0 0 0 1\n3 0 100 0 0 0 1\n"
                                             "4 0 0 50 0 1 0\n5 100 0 50 0 1 0\n6 0 50 50 1 0 0\n");
  const std::string measured = write("m.txt", "1 1 2 0\n2 101 2 0\n3 1 102 0\n4 3 0 51\n5 103 0 51\n6 0 51 52\n");
  const std::string output = succeeded("fit " + nominal + " " + measured + " --along-normals --json");
  EXPECT_TRUE(Near(numbersAfter(output, "\"translation_mm\":", 3), {0.0, 0.0, 0.0}, 1e-9));
  EXPECT_TRUE(Near(numbersAfter(output, "\"angles_deg\":", 3), {0.0, 0.0, 0.0}, 1e-9));
}

// q = s·(R·p + t): with s = 1.0005 and an offset of 1000 mm, t and the
// displacement of the origin s·t differ by 0.5 mm; both are given.
TEST_F(ZemtrafoRealWorld, AFittedScaleShowsTheDisplacementToo) {
  const std::string n = write("n.txt", "1000.5 0 0\n1100.55 0 0\n1000.5 100.05 0\n1000.5 0 100.05\n");
  const std::string m = write("m.txt", "0 0 0\n100 0 0\n0 100 0\n0 0 100\n");
  const std::string args = "fit " + n + " " + m + " --scale";
  const std::string json = succeeded(args + " --json");
  EXPECT_TRUE(Near(numbersAfter(json, "\"translation_mm\":", 3), {1000.0, 0.0, 0.0}, 1e-8));
  EXPECT_TRUE(Near(numbersAfter(json, "\"displacement_mm\":", 3), {1000.5, 0.0, 0.0}, 1e-8));
  EXPECT_TRUE(Contains(run(args).out, "displacement of the origin, s t (mm): 1000.500000"));
}

TEST_F(ZemtrafoRealWorld, NamesThatAreNotUtf8GiveValidUtf8Outputs) {
  const std::string measured = write("m.csv", "Bohrung_\xC3\x98" "1;410,034;385,448;342,373\r\n"
                                              "Bohrung_\xC3\x98" "2;-12,5;0,001;1000\r\nKosten_\xE2\x82\xAC;0,25;250,75;-3,125\r\n");
  const ToolRun r = run("fit " + kCorpus + "cp1252_names.txt " + measured + " --json --svg " + path("p.svg"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "\"Kosten_\xE2\x82\xAC\""));  // paired with the UTF-8 name
  EXPECT_TRUE(Contains(fileBytes(path("p.svg")), "Bohrung_\xC3\x98" "1"));
  EXPECT_EQ(occurrences(r.err, "read as Windows-1252"), 1u) << r.err;  // said, and once only
}

}  // namespace
}  // namespace Zem
