// zemtrafo run as a process: the bundled bracket, identifiers by name, every
// kind of bad input (exit status, the message naming file and line, no
// output file), apply followed by fit, and a pair of large generated files.
#include <QTemporaryDir>

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "math_trafo_io.h"
#include "test_util.h"

namespace Zem {
namespace {

using test::fileBytes;

struct ToolRun { int status; std::string out, err; };

bool exists(const std::string& path) { return std::ifstream(path).good(); }

/// The numbers that follow `key` in `text` (a JSON array, a line of fields).
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
  if (values.size() != expected.size()) return ::testing::AssertionFailure() << "not found";
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!(std::fabs(values[i] - expected[i]) <= tol))
      return ::testing::AssertionFailure() << "value " << i << ": " << values[i] << " vs " << expected[i];
  return ::testing::AssertionSuccess();
}

class Zemtrafo : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.filePath(QString::fromStdString(name)).toStdString(); }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
  ToolRun run(const std::string& args) const {
    const std::string out = path("stdout"), err = path("stderr");
    const int raw = std::system((std::string(ZEMTRAFO_EXE) + " " + args + " >" + out + " 2>" + err).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, fileBytes(out), fileBytes(err)};
  }
  const std::string nominal_ = ZEM_EXAMPLE_DATA_DIR "/nominal_points.txt";
  const std::string measured_ = ZEM_EXAMPLE_DATA_DIR "/measured_points.txt";
  QTemporaryDir dir_;
};

TEST_F(Zemtrafo, FitsTheBracketByIdentifierAndListsTheUnpairedPoints) {
  const ToolRun r = run("fit " + nominal_ + " " + measured_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("36 pairs by identifier"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("unpaired nominal points (2): 37 38\nunpaired measured points (2): 101 102"), r.out.npos);
}

// The fit is the library's computeTransformation, bit for bit: the report's
// section of the last transformation is the bundled one's.
TEST_F(Zemtrafo, ReportOfTheBracketIsTheBundledOne) {
  ASSERT_EQ(run("fit " + nominal_ + " " + measured_ + " --out " + path("b.trafo") + " --report " + path("b.txt")).status,
            0);
  const std::string report = fileBytes(path("b.txt")), bundled = fileBytes(ZEM_EXAMPLE_DATA_DIR "/bestfit_report.txt");
  const std::string section = bundled.substr(0, bundled.find("Global transformation"));
  EXPECT_EQ(report.substr(0, section.size()), section);
}

TEST_F(Zemtrafo, CsvAndSvgHoldEveryPair) {
  const ToolRun r = run("fit " + nominal_ + " " + measured_ + " --csv " + path("b.csv") + " --svg " + path("b.svg") +
                        " --tolerance 0.03");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string csv = fileBytes(path("b.csv"));
  EXPECT_EQ(csv.rfind("id,dx_mm,dy_mm,dz_mm,distance_mm\n1,", 0), 0u) << csv;
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 37);
  const std::string svg = fileBytes(path("b.svg"));
  const auto count = [&svg](const std::string& what) {
    std::size_t k = 0;
    for (std::size_t at = svg.find(what); at != std::string::npos; at = svg.find(what, at + 1)) ++k;
    return k;
  };
  EXPECT_EQ(count("<rect"), 36u);
  EXPECT_EQ(count("fill=\"#d62728\""), 6u);  // the pairs beyond 0.03 mm
  EXPECT_EQ(count("tolerance 0.03"), 1u);
}

// last = this fit, global = the earlier global, then this fit.
TEST_F(Zemtrafo, GlobalRecordAccumulates) {
  ASSERT_EQ(run("fit " + nominal_ + " " + measured_ + " --out " + path("b.trafo")).status, 0);
  ASSERT_EQ(run("fit " + nominal_ + " " + measured_ + " --global " + path("b.trafo")).status, 0);
  LastAndGlobalTransformation record(Transformation::identity(), false, Transformation::identity(), false);
  ASSERT_TRUE(record.load(QString::fromStdString(path("b.trafo")), nullptr, 0, 0));
  Transformation twice = record.getLastTransformation();
  twice.append(record.getLastTransformation());
  EXPECT_TRUE(test::SameMatrix(record.getGlobalTransformation(), twice, 1e-12));
}

TEST_F(Zemtrafo, RejectFindsSwappedIdentifiersAndFitsTheRest) {
  // The bracket's measured file with the identifiers 3 and 7 swapped.
  std::string swapped = fileBytes(measured_);
  for (std::size_t at = 0; at < swapped.size(); at = swapped.find('\n', at) + 1) {
    if (swapped.compare(at, 2, "3 ") == 0) swapped[at] = '7';
    else if (swapped.compare(at, 2, "7 ") == 0) swapped[at] = '3';
    if (swapped.find('\n', at) == std::string::npos) break;
  }
  const std::string file = write("swapped.txt", swapped);
  const ToolRun r = run("fit " + nominal_ + " " + file + " --reject --json");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::size_t list = r.out.find("\"rejected_ids\": [");
  ASSERT_NE(list, std::string::npos) << r.out;
  const std::string ids = r.out.substr(list, r.out.find(']', list) - list);
  EXPECT_NE(ids.find("\"3\""), std::string::npos) << ids;
  EXPECT_NE(ids.find("\"7\""), std::string::npos) << ids;
  const ToolRun clean = run("fit " + nominal_ + " " + measured_ + " --json");
  const std::vector<double> rms = numbersAfter(r.out, "\"rms_mm\":", 1), cleanRms = numbersAfter(clean.out, "\"rms_mm\":", 1);
  ASSERT_EQ(rms.size(), 1u);
  ASSERT_EQ(cleanRms.size(), 1u);
  EXPECT_LE(rms[0], cleanRms[0]);
  const ToolRun text = run("fit " + nominal_ + " " + file + " --reject");
  EXPECT_NE(text.out.find("rejected pairs ("), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("std. deviation of the angles (arcsec)"), std::string::npos);
}

TEST_F(Zemtrafo, HeldFreedomsKeepTheirComponentsAndBadAxesAreRefused) {
  const ToolRun r = run("fit " + nominal_ + " " + measured_ + " --rotation none --translation xy --json");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Near(numbersAfter(r.out, "\"angles_deg\":", 3), {0.0, 0.0, 0.0}, 0.0)) << r.out;
  EXPECT_EQ(numbersAfter(r.out, "\"translation_mm\":", 3).at(2), 0.0);
  EXPECT_EQ(run("fit " + nominal_ + " " + measured_ + " --translation xq").status, 2);
}

TEST_F(Zemtrafo, PairsNamesAndShowsThemInEveryOutput) {
  const std::string n = write("n.txt", "name x y z\nBORE_A 0 0 0\nP2 100 0 0\nP3 0 50 0\nP4 0 0 30\nLOST 1 1 1\n");
  const std::string m = write("m.txt", "P4;10;0;30\nP3,10,50,0\nBORE_A 10 0 0\nP2 110 0 0\nEXTRA 0 0 0\n");
  const ToolRun r = run("fit " + n + " " + m + " --json");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Near(numbersAfter(r.out, "\"translation_mm\":", 3), {-10.0, 0.0, 0.0}, 1e-9)) << r.out;
  EXPECT_NE(r.out.find("{\"id\": \"BORE_A\""), std::string::npos);
  EXPECT_NE(r.out.find("\"unpaired_nominal\": [\"LOST\"],\n  \"unpaired_measured\": [\"EXTRA\"]"), std::string::npos);
  // Without identifiers in one file the points pair by position.
  const std::string plain = write("p.txt", "10 0 0\n110 0 0\n10 50 0\n10 0 30\n0 0 0\n");
  EXPECT_NE(run("fit " + n + " " + plain).out.find("5 pairs by position"), std::string::npos);
}

TEST_F(Zemtrafo, BadInputNamesTheLineAndWritesNothing) {
  struct Case {
    const char* name;
    bool align;  // an align321 feature file, else the measured file of a fit
    const char* text;
    int status;
    const char* message;  // after "<file>" in the message
  } cases[] = {
      {"not a number", false, "1 415.9 -181.7 107.1\n7 oops 1 2\n", 2, ":2: \"oops\" is not a number"},
      {"NaN", false, "# probes\n1 415.9 -181.7 nan\n", 2, ":2: \"nan\" is not a finite number"},
      {"a field missing", false, "1 415.9 -181.7 107.1\n7 396.4 -93.8\n", 2,
       ":2: 3 fields; expected 4 as on line 1"},
      {"repeated identifier", false, "1 415.9 -181.7 107.1\n1 396.4 -93.8 107.6\n", 2,
       ":2: identifier 1 repeats the one on line 1"},
      {"empty field", false, "1,415.9,,107.1\n", 2, ":1: empty field"},
      {"two pairs", false, "1 0 0 0\n2 10 0 0\n", 1, "the fit failed: fewer than three pairs (2 pairs by identifier)"},
      {"points on a line", false, "1 0 0 0\n2 10 0 0\n3 20 0 0\n7 30 0 0\n", 1,
       "the fit failed: points on one line or coincident"},
      {"feature not a number", true, "plane 1 2 3 0\n# next\nplane 1 2 x 0\n", 2, ":3: \"x\" is not a finite number"},
      // Direction points 80 mm apart cannot differ by 500 mm in their nominal value.
      {"alignment impossible", true,
       "plane 0 0 0 0\nplane 100 0 0 0\nplane 0 80 0 0\ndirection 10 0 20 0\ndirection 90 0 20 500\n"
       "point 0 40 20 0\n",
       1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string f = write("bad.txt", c.text), out = " --out " + path("x.trafo");
    const ToolRun r =
        run(c.align ? "align321 " + f + out : "fit " + nominal_ + " " + f + out + " --csv " + path("x.csv"));
    EXPECT_EQ(r.status, c.status);
    const std::string expected = c.status == 2 ? "zemtrafo: " + f + c.message : std::string(c.message);
    EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_FALSE(exists(path("x.trafo")));
    EXPECT_FALSE(exists(path("x.csv")));
  }
}

TEST_F(Zemtrafo, UsageAndUnreadableInputExitWithStatus2) {
  const std::string twoPoints = write("two.txt", "0 0 0\n1 0 0\n");
  EXPECT_EQ(run("fit " + twoPoints + " " + measured_ + " --by-position").status, 2);
  EXPECT_EQ(run("fit " + nominal_ + " /nonexistent.txt").status, 2);
  EXPECT_EQ(run("fit " + nominal_).status, 2);
  EXPECT_EQ(run("apply " + nominal_ + " " + measured_).status, 2);  // not a .trafo record
  EXPECT_EQ(run("--version").status, 0);
  EXPECT_EQ(run("fit --help").status, 0);
}

TEST_F(Zemtrafo, ApplyThenFitGivesTheIdentity) {
  ASSERT_EQ(run("fit " + nominal_ + " " + measured_ + " --out " + path("t.trafo")).status, 0);
  ASSERT_EQ(run("apply " + path("t.trafo") + " " + measured_ + " --out " + path("moved.txt")).status, 0);
  const ToolRun back = run("fit " + nominal_ + " " + path("moved.txt") + " --json");
  ASSERT_EQ(back.status, 0) << back.err;
  EXPECT_TRUE(Near(numbersAfter(back.out, "\"angles_deg\":", 3), {0.0, 0.0, 0.0}, 1e-9));
  EXPECT_TRUE(Near(numbersAfter(back.out, "\"translation_mm\":", 3), {0.0, 0.0, 0.0}, 1e-9));
  const ToolRun inverse = run("apply " + path("t.trafo") + " " + path("moved.txt") + " --inverse");
  ASSERT_EQ(inverse.status, 0);
  EXPECT_TRUE(Near(numbersAfter(inverse.out, "", 4), {1.0, 415.933, -181.7348, 107.1312}, 1e-9)) << inverse.out;
}

TEST_F(Zemtrafo, ShowAndReportReadTheRecord) {
  ASSERT_EQ(run("fit " + nominal_ + " " + measured_ + " --out " + path("t.trafo")).status, 0);
  const ToolRun shown = run("show " + path("t.trafo"));
  EXPECT_NE(shown.out.find("global transformation (valid)"), std::string::npos) << shown.out;
  EXPECT_EQ(run("report " + path("t.trafo") + " " + path("r.txt")).status, 0);
  EXPECT_EQ(fileBytes(path("r.txt")).rfind("Last transformation:\n", 0), 0u);
}

TEST_F(Zemtrafo, PrintsSciPyConventionsAndRotationVectorsBesideTheSixOrders) {
  // ORDER_XYZ with (x, y, z) is SciPy's "xyz" with (-x, -y, -z); the rotation
  // vector is Eigen's axis times angle of the same block.
  Transformation t;
  t.set(BaVec3d<double>(1, 2, 3), BaVec3d<double>(0.1, -0.2, 0.3), Transformation::ORDER_XYZ, 1.0);
  ErrorLog log;
  ASSERT_TRUE(LastAndGlobalTransformation(t, true, t, true).save(QString::fromStdString(path("t.trafo")), &log, 0, 0));
  const ToolRun shown = run("show " + path("t.trafo") + " --order scipy:xyz");
  ASSERT_EQ(shown.status, 0) << shown.err;
  const double deg = 180.0 / test::kPi;
  EXPECT_TRUE(Near(numbersAfter(shown.out, "xyz, extrinsic, right-hand:", 3), {-0.1 * deg, 0.2 * deg, -0.3 * deg}, 1e-6));
  Eigen::Matrix3d block;
  for (int k = 0; k < 9; ++k) block(k / 3, k % 3) = t.getMatrix(k % 3, k / 3);
  const Eigen::AngleAxisd turn(block);
  const Eigen::Vector3d v = turn.axis() * turn.angle();
  EXPECT_TRUE(Near(numbersAfter(shown.out, "axis times angle):", 3), {v.x(), v.y(), v.z()}, 1e-9));
  EXPECT_NE(shown.out.find("xyz, extrinsic, right-hand:"), shown.out.rfind("xyz, extrinsic, right-hand:"));  // both sections
  const ToolRun plain = run("show " + path("t.trafo"));
  EXPECT_EQ(plain.out.find("SciPy"), std::string::npos) << plain.out;
  const ToolRun fitted = run("fit " + nominal_ + " " + measured_ + " --order scipy:ZXZ --json");
  ASSERT_EQ(fitted.status, 0) << fitted.err;
  EXPECT_NE(fitted.out.find("\"angle_order\": \"scipy:ZXZ\",\n  \"angles_deg\": ["), std::string::npos) << fitted.out;
  EXPECT_NE(fitted.out.find("\"gimbal_lock\": false"), std::string::npos);
  const ToolRun library = run("fit " + nominal_ + " " + measured_ + " --order XYZ");
  EXPECT_NE(library.out.find("about X, Y, Z (order XYZ, the first letter acts first)"), std::string::npos);
  for (const char* bad : {"scipy:xxy", "scipy:xYz", "scipy:", "scipy:xyzx"})
    EXPECT_EQ(run("show " + path("t.trafo") + " --order " + bad).status, 2) << bad;
}

TEST_F(Zemtrafo, AlignsFromFeatureFiles) {
  // Features of a part (plane z = 0, direction along x in y = 0, point at
  // x = 0) measured after a known motion: both alignments must undo it.
  const Transformation motion(BaVec3d<double>(15.0, -40.0, 7.5), BaVec3d<double>(0.1, -0.2, 0.7), 1.0);
  const auto num = [](double v) { char t[32]; std::snprintf(t, sizeof t, "%.15g", v); return std::string(t); };
  const auto vec = [&num](const BaVec3d<double>& v) { return num(v.x) + " " + num(v.y) + " " + num(v.z); };
  const auto at = [&](double x, double y, double z) { return vec(motion.transformPoint(BaVec3d<double>(x, y, z))); };
  const BaVec3d<double> n = motion.rotateVector(BaVec3d<double>(0, 0, 1));
  const std::string plane = "plane " + vec(n) + " " + num(-n.dot(motion.getTranslation())) + "  0 0 1 0\n";
  const std::string line = "line " + at(0, 0, 0) + " " + vec(motion.rotateVector(BaVec3d<double>(1, 0, 0))) +
                           "  0 0 0 1 0 0\n";
  const std::string f321 = write("321.txt", "plane " + at(0, 0, 0) + " 0\nplane " + at(100, 0, 0) + " 0\nplane " +
                                                at(0, 80, 0) + " 0\ndirection " + at(10, 0, 20) + " 0\ndirection " +
                                                at(90, 0, 20) + " 0\npoint " + at(0, 40, 20) + " 0\n");
  const std::string fPlp = write("plp.txt", plane + line + "point " + at(0, 0, 0) + "  0 0 0\n");
  for (const std::string& command : {"align321 " + f321, "align-plp " + fPlp}) {
    SCOPED_TRACE(command);
    const ToolRun r = run(command + " --out " + path("a.trafo"));
    ASSERT_EQ(r.status, 0) << r.err;
    LastAndGlobalTransformation record(Transformation::identity(), false, Transformation::identity(), false);
    ASSERT_TRUE(record.load(QString::fromStdString(path("a.trafo")), nullptr, 0, 0));
    EXPECT_TRUE(test::SameMatrix(record.getLastTransformation(), motion.inverse(), 1e-9));
  }
}

TEST_F(Zemtrafo, AlignsFromProbedPointsOfAMovedPart) {
  // A part's top face z = 0, its edge y = 0 (probed at z = -5) and a bore
  // of radius 5 at (60, 40), probed after a known motion with 1 um noise.
  const Transformation motion(BaVec3d<double>(-120.0, 35.0, 410.0), BaVec3d<double>(0.3, -0.1, 2.0), 1.0);
  std::mt19937 rng(17);
  std::normal_distribution<double> noise(0.0, 1e-3);
  std::string probed;
  int id = 0;
  const auto probe = [&](double x, double y, double z) {
    const BaVec3d<double> p = motion.transformPoint(BaVec3d<double>(x, y, z));
    char line[128];
    std::snprintf(line, sizeof line, "%d %.6f %.6f %.6f\n", ++id, p.x + noise(rng), p.y + noise(rng), p.z + noise(rng));
    probed += line;
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
    const ToolRun r = run(command + " --points " + points + " --out " + path("a.trafo"));
    ASSERT_EQ(r.status, 0) << r.err;
    LastAndGlobalTransformation record(Transformation::identity(), false, Transformation::identity(), false);
    ASSERT_TRUE(record.load(QString::fromStdString(path("a.trafo")), nullptr, 0, 0));
    // 1 um of noise on 6 to 8 points leaves a few um over the part's 100 mm.
    for (const BaVec3d<double>& corner : {BaVec3d<double>(0, 0, 0), BaVec3d<double>(100, 80, 0), BaVec3d<double>(60, 40, -3)})
      EXPECT_TRUE(test::SameVec(record.getLastTransformation().transformPoint(motion.transformPoint(corner)), corner, 0.01));
  }
  const ToolRun shown = run("features " + points + " " + align321);
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_TRUE(Near(numbersAfter(shown.out, "radius", 1), {5.0}, 0.002)) << shown.out;
  const ToolRun missing = run("features " + points + " " + write("bad.txt", "\nsphere BALL 18-30\n"));
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("bad.txt:2: point 21 of 18-30 is not in the points file"), std::string::npos) << missing.err;
}

TEST_F(Zemtrafo, FitsALargePairOfFiles) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> coordinate(0.0, 1000.0);
  const Transformation motion(BaVec3d<double>(5.0, -3.0, 12.0), BaVec3d<double>(0.1, -0.2, 0.3), 1.0);
  std::string n, m;
  char line[128];
  for (int i = 0; i < ZEM_TOOL_TEST_POINTS; ++i) {
    const BaVec3d<double> p(coordinate(rng), coordinate(rng), coordinate(rng));
    const BaVec3d<double> q = motion.transformPoint(p);
    n.append(line, std::size_t(std::snprintf(line, sizeof line, "%d %.6f %.6f %.6f\n", i, q.x, q.y, q.z)));
    m.append(line, std::size_t(std::snprintf(line, sizeof line, "%d %.6f %.6f %.6f\n", i, p.x, p.y, p.z)));
  }
  const ToolRun r = run("fit " + write("n.txt", n) + " " + write("m.txt", m));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("pairs: " + std::to_string(ZEM_TOOL_TEST_POINTS) + " "), std::string::npos);
  EXPECT_TRUE(Near(numbersAfter(r.out, "mean:", 1), {0.0}, 2e-6));
}

}  // namespace
}  // namespace Zem
