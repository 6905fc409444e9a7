// The persisted last/global transformation pair: its stream, its failure
// rows, saving through the object base, and the text report.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <limits>
#include <regex>
#include <sstream>

#include "math_trafo_io.h"
#include "test_util.h"
#include "zem_io.h"

using namespace Zem;
using namespace Zem::test;

namespace {

Transformation arbitraryMatrix() {
  // Not a similarity on purpose: any sixteen values must travel unchanged.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double m[4][4] = {{1.5, -0.0, 3e-310, 4},
                          {5, nan, 7, -std::numeric_limits<double>::infinity()},
                          {9, 10, 11, 12},
                          {0.125, 0, 0, 0.5}};
  return Transformation(m);
}

Transformation rigid() { return Transformation(BaVec3d<double>(1, 2, 3), BaVec3d<double>(0.1, -0.2, 0.3), 1.0); }

struct Snapshot {
  explicit Snapshot(const LastAndGlobalTransformation& o)
      : last(o.getLastTransformation()), global(o.getGlobalTransformation()),
        lastValid(o.isLastTransformationValid()), globalValid(o.isGlobalTransformationValid()) {}
  Transformation last, global;
  bool lastValid, globalValid;
};

::testing::AssertionResult Unchanged(const LastAndGlobalTransformation& o, const Snapshot& s) {
  if (o.isLastTransformationValid() != s.lastValid || o.isGlobalTransformationValid() != s.globalValid)
    return ::testing::AssertionFailure() << "a validity flag changed";
  auto a = SameBits(o.getLastTransformation(), s.last);
  if (!a) return a << " (last)";
  auto b = SameBits(o.getGlobalTransformation(), s.global);
  if (!b) return b << " (global)";
  return ::testing::AssertionSuccess();
}

std::string saved(LastAndGlobalTransformation& o) {
  std::ostringstream out;
  ErrorLog log;
  EXPECT_TRUE(o.saveStream(&out, &log, 0, 0));
  EXPECT_TRUE(log.getEntries().isEmpty());
  return out.str();
}

// A stream of the given type and version with one block (id, version) of the
// record's layout.
// `values` limits how many of the 34 values are written (a well-formed but
// short block).
std::string craft(const QString& type, unsigned version, unsigned blockVersion, int values = 34) {
  std::ostringstream out;
  {
    IO::OutStream s(&out, type, version);
    s.beginBlock(258, blockVersion);
    for (int i = 0; i < values; ++i) {
      if (i == 0 || i == 17)
        s.writeBool(true);
      else
        s.writeDouble(i < 17 ? i - 1 : 18 - i);
    }
    s.endBlock();
    s.finish();
  }
  return out.str();
}

bool loadFrom(LastAndGlobalTransformation& o, const std::string& bytes, ErrorLog* log) {
  std::istringstream in(bytes);
  return o.loadStream(&in, log, 0, 0);
}

QString readText(const QString& name) {
  QFile f(name);
  if (!f.open(QIODevice::ReadOnly)) return QString();
  return QString::fromUtf8(f.readAll());
}

class TrafoReport : public ::testing::Test {
 protected:
  void SetUp() override { setDisplayUnits(UnitLinear::millimetre(), UnitLinear::degree()); }
  void TearDown() override { setDisplayUnits(UnitLinear::millimetre(), UnitLinear::degree()); }
  QTemporaryDir dir;
};

}  // namespace

TEST(TrafoRecord, IdentityOfTheFileType) {
  LastAndGlobalTransformation o(rigid(), true, rigid(), false);
  EXPECT_EQ(o.getMagicKey(), LastAndGlobalTransformation::FILE_TYPE);
  EXPECT_STREQ(LastAndGlobalTransformation::FILE_TYPE, "LAST-GLOBAL-TRAFO");
  EXPECT_EQ(o.getFileNameExtension(), QStringLiteral(".trafo"));
}

TEST(TrafoRecord, SaveThenLoadKeepsFlagsAndAllBits) {
  for (bool lastValid : {true, false}) {
    for (bool globalValid : {true, false}) {
      LastAndGlobalTransformation source(arbitraryMatrix(), lastValid, rigid(), globalValid);
      LastAndGlobalTransformation target(rigid(), !lastValid, arbitraryMatrix(), !globalValid);
      ErrorLog log;
      ASSERT_TRUE(loadFrom(target, saved(source), &log));
      EXPECT_TRUE(log.getEntries().isEmpty());
      EXPECT_TRUE(Unchanged(target, Snapshot(source)));
    }
  }
}

TEST(TrafoRecord, EachRejectedStreamGivesOneEntryAndChangesNothing) {
  struct Row {
    std::string bytes;
    QString entry;
  } rows[] = {
      {craft(QStringLiteral("SOME-OTHER-OBJECT"), 1, 1), QStringLiteral("invalid file type")},
      {craft(QStringLiteral("LAST-GLOBAL-TRAFO"), 2, 1), QStringLiteral("invalid file version 2")},
      {craft(QStringLiteral("LAST-GLOBAL-TRAFO"), 1, 2), QStringLiteral("invalid header block version")},
  };
  // Blocks that end early, with an intact checksum: the flags and matrices
  // read so far must not be taken over.
  for (int values : {0, 1, 5, 17, 18, 33}) {
    LastAndGlobalTransformation o(rigid(), false, arbitraryMatrix(), false);
    const Snapshot before(o);
    ErrorLog log;
    EXPECT_FALSE(loadFrom(o, craft(QStringLiteral("LAST-GLOBAL-TRAFO"), 1, 1, values), &log)) << values;
    EXPECT_EQ(log.getEntries().size(), 1) << values;
    EXPECT_TRUE(Unchanged(o, before)) << values;
  }
  for (const Row& row : rows) {
    LastAndGlobalTransformation o(rigid(), false, arbitraryMatrix(), true);
    const Snapshot before(o);
    ErrorLog log;
    EXPECT_FALSE(loadFrom(o, row.bytes, &log));
    EXPECT_EQ(log.getEntries(), QStringList{row.entry});
    EXPECT_TRUE(Unchanged(o, before));
    EXPECT_FALSE(loadFrom(o, row.bytes, nullptr));  // no log: same result, nothing written
    EXPECT_TRUE(Unchanged(o, before));
  }
  // The crafted stream itself is good: only the checked fields matter.
  LastAndGlobalTransformation o(rigid(), false, rigid(), false);
  EXPECT_TRUE(loadFrom(o, craft(QStringLiteral("LAST-GLOBAL-TRAFO"), 1, 1), nullptr));
  EXPECT_TRUE(o.isLastTransformationValid());
  EXPECT_EQ(o.getGlobalTransformation().getMatrix(3, 0), -3.0);
}

TEST(TrafoRecord, DamagedStreamsNeverChangeTheObject) {
  LastAndGlobalTransformation source(arbitraryMatrix(), false, rigid(), true);
  const std::string good = saved(source);
  LastAndGlobalTransformation o(rigid(), true, arbitraryMatrix(), false);
  const Snapshot before(o);
  auto expectRejected = [&](const std::string& bytes, const std::string& what) {
    ErrorLog log;
    ASSERT_FALSE(loadFrom(o, bytes, &log)) << what;
    ASSERT_EQ(log.getEntries().size(), 1) << what;
    ASSERT_FALSE(log.getEntries().front().isEmpty()) << what;
    ASSERT_TRUE(Unchanged(o, before)) << what;
  };
  for (std::size_t cut = 0; cut < good.size(); ++cut) expectRejected(good.substr(0, cut), "cut at " + std::to_string(cut));
  for (std::size_t at = 0; at < good.size(); ++at)
    for (unsigned char flip : {0x01, 0x80, 0xFF}) {
      std::string bad = good;
      bad[at] = static_cast<char>(bad[at] ^ flip);
      expectRejected(bad, "byte " + std::to_string(at) + " xor " + std::to_string(flip));
    }
}

TEST(TrafoRecord, SaveIntoUnwritableDirectoryKeepsTheOldFile) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString sub = dir.filePath(QStringLiteral("locked"));
  ASSERT_TRUE(QDir().mkdir(sub));
  const QString name = sub + QStringLiteral("/part.trafo");
  {
    QFile f(name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("previous contents");
  }
  ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(sub).constData(), 0555), 0);

  // Root ignores permission bits, so the save runs in a child that gives up
  // its privileges first.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    LastAndGlobalTransformation o(rigid(), true, rigid(), true);
    ErrorLog log;
    const bool ok = o.save(name, &log, 0, 0);
    ::_exit(ok ? 1 : (log.getEntries().size() == 1 ? 0 : 2));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: save succeeded, 2: wrong log, 3: could not drop privileges";
  EXPECT_EQ(readText(name), QStringLiteral("previous contents"));
  EXPECT_EQ(QDir(sub).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("part.trafo")});
  ::chmod(QFile::encodeName(sub).constData(), 0755);
}

TEST(TrafoRecord, SaveAndLoadThroughFiles) {
  QTemporaryDir dir;
  const QString name = dir.filePath(QStringLiteral("a.trafo"));
  LastAndGlobalTransformation source(arbitraryMatrix(), true, rigid(), false);
  ErrorLog log;
  ASSERT_TRUE(source.save(name, &log, 0, 0));
  LastAndGlobalTransformation target(rigid(), false, rigid(), true);
  ASSERT_TRUE(target.load(name, &log, 0, 0));
  EXPECT_TRUE(Unchanged(target, Snapshot(source)));
  EXPECT_TRUE(log.getEntries().isEmpty());
}

// --- Text report ---------------------------------------------------------

TEST_F(TrafoReport, ReportLayoutInMillimetreAndDegree) {
  const double deg = kPi / 180.0;
  const Transformation last(BaVec3d<double>(1.5, -2.25, 100), BaVec3d<double>(10 * deg, 20 * deg, 30 * deg), 2.0);
  const Transformation global = Transformation::identity();
  LastAndGlobalTransformation o(last, false, global, false);  // flags play no part
  const QString name = dir.filePath(QStringLiteral("report.txt"));
  ErrorLog log;
  ASSERT_TRUE(o.exportASCII(name, &log));
  EXPECT_TRUE(log.getEntries().isEmpty());

  const QStringList lines = readText(name).split(QLatin1Char('\n'));
  const QStringList expectedHead = {
      QStringLiteral("Last transformation:"), QString(),
      QStringLiteral("Rotation y-Axis: 20.0000deg"), QStringLiteral("Rotation x-Axis: 10.0000deg"),
      QStringLiteral("Rotation z-Axis: 30.0000deg"), QString(),
      QStringLiteral("Translation x: 1.5000mm"),  // stored translation, not divided by m33
      QStringLiteral("Translation y: -2.2500mm"), QStringLiteral("Translation z: 100.0000mm"), QString(),
      QStringLiteral("Scale: 2.000000e+00"), QString(), QStringLiteral("Matrix:")};
  const QStringList head = lines.mid(0, expectedHead.size());
  EXPECT_EQ(head, expectedHead);

  const std::regex row(R"(^(-?\d\.\d{6}e[+-]\d{2} ){4}$)");
  for (int r = 13; r < 17; ++r) EXPECT_TRUE(std::regex_match(lines.value(r).toStdString(), row)) << r;
  EXPECT_EQ(lines.value(16), QStringLiteral("0.000000e+00 0.000000e+00 0.000000e+00 5.000000e-01 "));
  EXPECT_EQ(lines.value(13).section(QLatin1Char(' '), 3, 3), QStringLiteral("1.500000e+00"));
  EXPECT_EQ(lines.value(17), QString());
  EXPECT_EQ(lines.value(18), QString());
  EXPECT_EQ(lines.value(19), QStringLiteral("Global transformation:"));
  EXPECT_EQ(lines.value(21), QStringLiteral("Rotation y-Axis: 0.0000deg"));
  EXPECT_EQ(lines.value(32), QStringLiteral("1.000000e+00 0.000000e+00 0.000000e+00 0.000000e+00 "));
  EXPECT_EQ(lines.value(35), QStringLiteral("0.000000e+00 0.000000e+00 0.000000e+00 1.000000e+00 "));
  EXPECT_EQ(lines.size(), 37);  // the report ends with the line end of its last row
  EXPECT_EQ(lines.value(36), QString());
}

TEST_F(TrafoReport, ReportFollowsTheDisplayUnits) {
  setDisplayUnits(UnitLinear::inch(), UnitLinear::radian());
  const Transformation last(BaVec3d<double>(25.4, 1.5, 0), BaVec3d<double>(0.25, 0, 0), 1.0);
  LastAndGlobalTransformation o(last, true, last, true);
  const QString name = dir.filePath(QStringLiteral("report.txt"));
  ASSERT_TRUE(o.exportASCII(name, nullptr));
  const QStringList lines = readText(name).split(QLatin1Char('\n'));
  EXPECT_EQ(lines.value(3), QStringLiteral("Rotation x-Axis: 0.250000rad"));
  EXPECT_EQ(lines.value(6), QStringLiteral("Translation x: 1.00000in"));
  EXPECT_EQ(lines.value(7), QStringLiteral("Translation y: 0.05906in"));
}

TEST_F(TrafoReport, ReportThatCannotBeOpenedOrWritten) {
  LastAndGlobalTransformation o(rigid(), true, rigid(), true);
  const QString missing = dir.filePath(QStringLiteral("no/such/dir/report.txt"));
  ErrorLog log;
  EXPECT_FALSE(o.exportASCII(missing, &log));
  EXPECT_EQ(log.getEntries(), QStringList{QStringLiteral("unable to open file: ") + missing});
  EXPECT_FALSE(o.exportASCII(missing, nullptr));

  // A full disk, simulated by a file size limit: the report must not be
  // reported as written.
  const QString name = dir.filePath(QStringLiteral("full.txt"));
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight = old;
  tight.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  ErrorLog full;
  const bool ok = o.exportASCII(name, &full);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(ok);
  EXPECT_EQ(full.getEntries(), QStringList{QStringLiteral("unable to write file: ") + name});
}

TEST_F(TrafoReport, BundledExampleLoadsAndGivesItsBundledReport) {
  LastAndGlobalTransformation o(rigid(), false, rigid(), false);
  ErrorLog log;
  ASSERT_TRUE(o.load(QStringLiteral(ZEM_EXAMPLE_DATA_DIR "/bestfit.trafo"), &log, 0, 0));
  EXPECT_TRUE(o.isLastTransformationValid() && o.isGlobalTransformationValid());
  const QString name = dir.filePath(QStringLiteral("report.txt"));
  ASSERT_TRUE(o.exportASCII(name, &log));
  EXPECT_EQ(readText(name), readText(QStringLiteral(ZEM_EXAMPLE_DATA_DIR "/bestfit_report.txt")));
}
