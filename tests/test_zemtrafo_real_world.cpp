// zemtrafo run as a process on files as measuring software exports them
// (tests/data/real_world), and the safety of its outputs: no target is ever
// replaced by a run that fails or is interrupted, no output may name an
// input or another output, modes are kept.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "math_point_file.h"
#include "math_trafo_io.h"
#include "tool_test_util.h"

namespace Zem {
namespace {

using test::Contains;
using test::fileBytes;
using test::Near;
using test::numbersAfter;
using test::ToolRun;

const std::string kCorpus = ZEM_SOURCE_DIR "/tests/data/real_world/";

class ZemtrafoRealWorld : public test::ToolTest {
 protected:
  std::string identityRecord() const {
    LastAndGlobalTransformation record(Transformation::identity(), true, Transformation::identity(), true);
    EXPECT_TRUE(record.save(QString::fromStdString(path("identity.trafo")), nullptr, 0, 0));
    return path("identity.trafo");
  }
};

// Each file of the corpus that the library reads goes through apply with
// the identity: the points written read back (in the file's own separator
// and decimal mark) as the library reads the file itself, bit for bit.
TEST_F(ZemtrafoRealWorld, EveryReadableExportComesBackWithItsValues) {
  const std::string identity = identityRecord();
  int readable = 0;
  for (const QString& name : QDir(QString::fromStdString(kCorpus)).entryList(QDir::Files, QDir::Name)) {
    const std::string file = name.toStdString();
    SCOPED_TRACE(file);
    PointNames names;
    PointFile original, written;
    PointFile::ReadOptions repeats;
    repeats.allowRepeatedIdentifiers = true;
    original.setReadOptions(repeats);
    written.setReadOptions(repeats);
    // Files refused by the reader (test_point_file.cpp) or without points (below) are not apply's.
    if (!original.read(QString::fromStdString(kCorpus + file), &names)) continue;
    if (original.getPoints().empty()) continue;
    ++readable;
    const ToolRun r = run("apply " + identity + " " + kCorpus + file);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(written.parse(r.out, QStringLiteral("out"), &names)) << written.getError().toStdString();
    ASSERT_EQ(written.getPoints().size(), original.getPoints().size());
    for (std::size_t i = 0; i < original.getPoints().size(); ++i) {
      EXPECT_TRUE(test::SameVec(written.getPoints()[i], original.getPoints()[i], 0.0)) << i;
      EXPECT_EQ(written.getPoints()[i].id, original.getPoints()[i].id) << i;
    }
    EXPECT_EQ(written.usesDecimalComma(), original.usesDecimalComma());
  }
  EXPECT_EQ(readable, 21);
}

// The refusals of the bad exports, line by line, are the reader's
// (test_point_file.cpp); a file without points is the tool's.
TEST_F(ZemtrafoRealWorld, ExportsWithoutPointsAreRefused) {
  for (const char* file : {"bad_header_only.csv", "bad_empty.txt"}) {
    SCOPED_TRACE(file);
    const ToolRun r = run("fit " + kCorpus + file + " " + measured_);
    EXPECT_EQ(r.status, 2);
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
  EXPECT_TRUE(Near(numbersAfter(r.out, "\"translation_mm\":", 3), {-10.0, 0.0, 0.0}, 1e-9));
  EXPECT_TRUE(Near(numbersAfter(r.out, "\"largest_mm\":", 1), {0.0}, 1e-9));
  // Told otherwise, the same file is read with decimal points and refused.
  EXPECT_EQ(run("fit " + nominal + " " + moved + " --decimal-point").status, 2);
}

TEST_F(ZemtrafoRealWorld, OutputsNamingAnInputOrEachOtherAreRefusedBeforeWriting) {
  const std::string n = write("n.txt", fileBytes(nominal_)), m = write("m.txt", fileBytes(measured_));
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
    EXPECT_EQ(fileBytes(n), fileBytes(nominal_));
    EXPECT_EQ(fileBytes(m), fileBytes(measured_));
    EXPECT_EQ(fileBytes(path("p.trafo")), record);
  }
  // apply may write onto the points it reads.
  EXPECT_EQ(run("apply " + path("p.trafo") + " " + m + " --out " + m).status, 0);
}

// A later output that fails, a write beyond the file size limit, SIGINT or
// SIGTERM: the accumulated record and every other target stay as they were,
// and no new file is left behind.
TEST_F(ZemtrafoRealWorld, FailedOrInterruptedRunsReplaceNoTarget) {
  ASSERT_EQ(run("fit " + nominal_ + " " + measured_ + " --out " + path("g.trafo")).status, 0);
  const std::string csv = write("p.csv", "old\n"), record = fileBytes(path("g.trafo"));
  const std::vector<std::string> before = entries();
  const std::string fit = "fit " + nominal_ + " " + measured_ + " --global " + path("g.trafo");

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
  const ToolRun r = run("fit " + nominal_ + " " + measured_ + " --csv " + csv + " --report " + path("r.txt"),
                        "umask 027; ");
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat info;
  ASSERT_EQ(::stat(csv.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  ASSERT_EQ(::stat(path("r.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);  // 0666 less the umask 027
}

TEST_F(ZemtrafoRealWorld, DashIsStandardInputAndOutput) {
  const ToolRun r = run("fit - " + measured_ + " --csv - --json " + path("fit.json") + " < " + nominal_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("id,dx_mm,dy_mm,dz_mm,distance_mm\n1,", 0), 0u) << r.out;
  EXPECT_TRUE(Contains(fileBytes(path("fit.json")), "\"nominal_file\": \"-\""));
  const std::string identity = identityRecord();
  const ToolRun applied = run("apply " + identity + " - --out - < " + kCorpus + "de_semicolon.csv");
  EXPECT_EQ(applied.out, "1;410,034;385,448;342,373\n2;-12,5;0,001;1000,0\n3;0,25;250,75;-3,125\n");
}

// Refused where they pair (test_zemtrafo.cpp).
TEST_F(ZemtrafoRealWorld, RepeatedIdentifiersAreAllowedWhereTheyPairNothing) {
  const std::string scan = kCorpus + "scanner_repeated_names.txt";
  const std::string plain = write("plain.txt", "410.034 385.448 342.373\n-12.5 0.001 1000\n0.25 250.75 -3.125\n");
  EXPECT_EQ(run("apply " + identityRecord() + " " + scan).status, 0);
  EXPECT_EQ(run("fit " + plain + " " + scan + " --by-position").status, 0);
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
  const std::vector<double> d5 = numbersAfter(r.out.substr(p5), "\"d_mm\":", 3);
  ASSERT_EQ(d5.size(), 3u);
  EXPECT_TRUE(Near(numbersAfter(r.out.substr(p5), "\"along_normal_mm\":", 1), {d5[2]}, 1e-15));
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
  EXPECT_TRUE(Near(numbersAfter(r.out, "\"translation_mm\":", 3), {0.0, 0.0, 0.0}, 1e-9));
  EXPECT_TRUE(Near(numbersAfter(r.out, "\"angles_deg\":", 3), {0.0, 0.0, 0.0}, 1e-9));
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
  EXPECT_TRUE(Near(numbersAfter(json.out, "\"translation_mm\":", 3), {1000.0, 0.0, 0.0}, 1e-8));
  EXPECT_TRUE(Near(numbersAfter(json.out, "\"displacement_mm\":", 3), {1000.5, 0.0, 0.0}, 1e-8));
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
  EXPECT_EQ(test::occurrences(r.err, "Windows-1252"), 1u);
}

TEST_F(ZemtrafoRealWorld, Align321SaysWhichSensesItUsed) {
  const std::string features = "\xEF\xBB\xBFPLANE 0 0 0 0\nPlane 100 0 0 0\nplane 0 80 0 0\nDirection 10 0 20 0\n"
                               "direction 90 0 20 0\nPOINT 0 40 20 0\n";
  const ToolRun r = run("align321 " + write("f.txt", features));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "plane normal: +(P1 - P0) x (P2 - P0) of the plane lines in file order"));
  EXPECT_TRUE(Contains(r.out, "direction: first to second direction point"));
}

}  // namespace
}  // namespace Zem
