// The persisted last/global transformation pair: its stream, its failure
// rows, saving through the object base, and the text report.
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <functional>
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

QByteArray readFile(const QString& name) {
  QFile f(name);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

QString readText(const QString& name) { return QString::fromUtf8(readFile(name)); }

// Lowers the process's file size limit for its lifetime; a write beyond it
// fails with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit tight = old_;
    tight.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &tight);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  void (*handler_)(int);
};

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

// A save that meets a write error at any byte, from a file size limit or a
// full file system, returns false with one entry naming the file, keeps the
// old file byte for byte and leaves no temporary file. `save` runs the save
// and returns whether it succeeded; `leftOver` lists the other files expected.
static ::testing::AssertionResult FailedSaveKeptTheOldFile(const QString& name, const QByteArray& old,
                                                         const std::function<bool(ErrorLog*)>& save,
                                                         const QStringList& leftOver = {}) {
  ErrorLog log;
  if (save(&log)) return ::testing::AssertionFailure() << "save succeeded";
  if (log.getEntries().size() != 1 || !log.getEntries()[0].contains(name))
    return ::testing::AssertionFailure() << "log: " << log.getEntries().join('|').toStdString();
  if (readFile(name) != old) return ::testing::AssertionFailure() << "old file changed";
  const QStringList files = QDir(QFileInfo(name).path()).entryList(QDir::Files | QDir::Hidden);
  if (files != QStringList(leftOver) << QFileInfo(name).fileName())
    return ::testing::AssertionFailure() << "files: " << files.join('|').toStdString();
  return ::testing::AssertionSuccess();
}

TEST(TrafoRecordFile, SaveFailingAtAnyByteKeepsTheOldFile) {
  QTemporaryDir dir;
  const QString name = dir.filePath(QStringLiteral("part.trafo"));
  LastAndGlobalTransformation old(rigid(), true, rigid(), false), next(arbitraryMatrix(), false, rigid(), true);
  ASSERT_TRUE(old.save(name, nullptr, 0, 0));
  const QByteArray oldBytes = readFile(name), nextBytes = QByteArray::fromStdString(saved(next));
  for (rlim_t limit = 0; limit < static_cast<rlim_t>(nextBytes.size()); ++limit) {
    ASSERT_TRUE(FailedSaveKeptTheOldFile(name, oldBytes, [&](ErrorLog* log) {
      FileSizeLimit scope(limit);
      return next.save(name, log, 0, 0);
    })) << "limit " << limit;
  }
  {
    FileSizeLimit scope(nextBytes.size());  // just enough
    ASSERT_TRUE(next.save(name, nullptr, 0, 0));
  }
  LastAndGlobalTransformation loaded(rigid(), true, rigid(), true);
  ASSERT_TRUE(loaded.load(name, nullptr, 0, 0));
  EXPECT_EQ(saved(loaded), saved(next));
}

// A full file system: a small tmpfs, mounted in a child process with a mount
// namespace of its own, so that nothing outside the child sees it.
TEST(TrafoRecordFile, SaveOnAFullFileSystemKeepsTheOldFile) {
  QTemporaryDir dir;
  const QString name = dir.filePath(QStringLiteral("part.trafo"));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const QByteArray path = QFile::encodeName(dir.path());
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", path.constData(), "tmpfs", 0, "size=8k") != 0)
      ::_exit(77);
    LastAndGlobalTransformation old(rigid(), true, rigid(), false), next(rigid(), false, rigid(), true);
    if (!old.save(name, nullptr, 0, 0)) ::_exit(2);
    QFile filler(dir.filePath(QStringLiteral("filler")));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) ::_exit(3);
    while (filler.write(QByteArray(512, 'x')) == 512) {}
    ::_exit(FailedSaveKeptTheOldFile(name, readFile(name), [&](ErrorLog* log) { return next.save(name, log, 0, 0); },
                                     {QStringLiteral("filler")}) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the failed save broke a rule, 2-3: setting up failed";
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

  // A write error (here a file size limit): the report must not be
  // reported as written.
  const QString name = dir.filePath(QStringLiteral("full.txt"));
  ErrorLog full;
  bool ok = true;
  {
    FileSizeLimit scope(64);
    ok = o.exportASCII(name, &full);
  }
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
