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
#include <QLocale>
#include <QTemporaryDir>
#include <clocale>
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

const QString kType = QStringLiteral("LAST-GLOBAL-TRAFO");

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

// The object's stream: equal bytes mean equal flags and bit-equal matrices.
std::string saved(LastAndGlobalTransformation& o) {
  std::ostringstream out;
  ErrorLog log;
  EXPECT_TRUE(o.saveStream(&out, &log, 0, 0) && log.isEmpty());
  return out.str();
}

// A stream of the given type and version with one block 258 of the given
// version holding the first `values` of the record's 34 values, and
// optionally a second block after it.
std::string craft(const QString& type, unsigned version, unsigned blockVersion, int values = 34,
                  bool secondBlock = false) {
  std::ostringstream out;
  IO::OutStream s(&out, type, version);
  s.beginBlock(258, blockVersion);
  for (int i = 0; i < values; ++i) {
    if (i == 0 || i == 17)
      s.writeBool(true);
    else
      s.writeDouble(i < 17 ? i - 1 : 18 - i);
  }
  s.endBlock();
  if (secondBlock) {
    s.beginBlock(259, 1);
    s.writeDouble(1.0);
    s.endBlock();
  }
  s.finish();
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

// A save that meets a write error returns false with one entry naming the
// file, keeps the old file byte for byte and leaves no temporary file.
// `save` runs the save; `others` are the other files in the directory.
::testing::AssertionResult FailedSaveKeptTheOldFile(const QString& name, const std::function<bool(ErrorLog*)>& save,
                                                  QStringList others = {}) {
  const QByteArray old = readFile(name);
  ErrorLog log;
  if (save(&log)) return ::testing::AssertionFailure() << "save succeeded";
  if (log.getEntries().size() != 1 || !log.getEntries()[0].contains(name))
    return ::testing::AssertionFailure() << "log: " << log.getEntries().join('|').toStdString();
  if (readFile(name) != old) return ::testing::AssertionFailure() << "old file changed";
  const QStringList files = QDir(QFileInfo(name).path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
  if (files != (others << QFileInfo(name).fileName()))
    return ::testing::AssertionFailure() << "files: " << files.join('|').toStdString();
  return ::testing::AssertionSuccess();
}

// Switches the process's locale (the C library's and Qt's default) for its
// lifetime, as a host's QCoreApplication does from the environment.
struct ProcessLocale {
  explicit ProcessLocale(const char* name) : switched(std::setlocale(LC_ALL, name) != nullptr) {
    QLocale::setDefault(QLocale(QString::fromLatin1(name)));
  }
  ~ProcessLocale() {
    std::setlocale(LC_ALL, previous.c_str());
    QLocale::setDefault(previousQt);
  }
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  const QLocale previousQt;
  const bool switched;
};

class TrafoReport : public ::testing::Test {
 protected:
  void SetUp() override { setDisplayUnits(UnitLinear::millimetre(), UnitLinear::degree()); }
  void TearDown() override { setDisplayUnits(UnitLinear::millimetre(), UnitLinear::degree()); }
  QTemporaryDir dir;
};

}  // namespace

TEST(TrafoRecord, SaveThenLoadKeepsFlagsAndAllBits) {
  for (bool lastValid : {true, false}) {
    for (bool globalValid : {true, false}) {
      LastAndGlobalTransformation source(arbitraryMatrix(), lastValid, rigid(), globalValid);
      LastAndGlobalTransformation target(rigid(), !lastValid, arbitraryMatrix(), !globalValid);
      ErrorLog log;
      ASSERT_TRUE(loadFrom(target, saved(source), &log) && log.isEmpty());
      EXPECT_EQ(saved(target), saved(source));
      EXPECT_TRUE(SameBits(target.getLastTransformation(), arbitraryMatrix()));
      EXPECT_EQ(target.isGlobalTransformationValid(), globalValid);
      EXPECT_EQ(target.getMagicKey(), LastAndGlobalTransformation::FILE_TYPE);  // the same pointer
      EXPECT_EQ(target.getFileNameExtension(), QStringLiteral(".trafo"));
    }
  }
  // A crafted stream: only the type, the versions and the layout matter.
  LastAndGlobalTransformation o(rigid(), false, rigid(), false);
  EXPECT_TRUE(loadFrom(o, craft(kType, 1, 1), nullptr));
  EXPECT_TRUE(o.isLastTransformationValid());
  EXPECT_EQ(o.getGlobalTransformation().getMatrix(3, 0), -3.0);
}

TEST(TrafoRecord, EachRejectedStreamGivesOneEntryAndChangesNothing) {
  // Bytes after block 258 (the stream ends right after it): a second block,
  // its bare frame (21 bytes, without the end record of 13 bytes), and a
  // second block whose content no longer matches its checksum.
  const std::string two = craft(kType, 1, 1, 34, true);
  const std::size_t afterFirst = craft(kType, 1, 1).size() - 13;
  std::string garbled = two;
  garbled[two.size() - 13 - 5] ^= 0x5A;
  const struct {
    std::string bytes;
    QString entry = {};  // empty: any one entry
  } rows[] = {
      {craft(QStringLiteral("SOME-OTHER-OBJECT"), 1, 1), QStringLiteral("invalid file type")},
      {craft(kType, 2, 1), QStringLiteral("invalid file version 2")},
      {craft(kType, 1, 2), QStringLiteral("invalid header block version")},
      // Blocks that end early, with an intact checksum: the values read so
      // far must not be taken over.
      {craft(kType, 1, 1, 0)}, {craft(kType, 1, 1, 1)}, {craft(kType, 1, 1, 5)}, {craft(kType, 1, 1, 17)},
      {craft(kType, 1, 1, 18)}, {craft(kType, 1, 1, 33)},
      {two}, {two.substr(0, afterFirst + 21)}, {garbled},
  };
  for (const auto& row : rows) {
    LastAndGlobalTransformation o(rigid(), false, arbitraryMatrix(), true);
    const std::string before = saved(o);
    ErrorLog log;
    EXPECT_FALSE(loadFrom(o, row.bytes, &log)) << row.bytes.size();
    EXPECT_EQ(log.getEntries().size(), 1) << row.bytes.size();
    EXPECT_TRUE(row.entry.isEmpty() || log.getEntries().value(0) == row.entry) << row.entry.toStdString();
    EXPECT_FALSE(loadFrom(o, row.bytes, nullptr));  // no log: same result, nothing written
    EXPECT_TRUE(saved(o) == before) << row.bytes.size();
  }
}

TEST(TrafoRecord, DamagedStreamsNeverChangeTheObject) {
  LastAndGlobalTransformation source(arbitraryMatrix(), false, rigid(), true);
  const std::string good = saved(source);
  LastAndGlobalTransformation o(rigid(), true, arbitraryMatrix(), false);
  const std::string before = saved(o);
  auto expectRejected = [&](const std::string& bytes, const std::string& what) {
    ErrorLog log;
    ASSERT_FALSE(loadFrom(o, bytes, &log)) << what;
    ASSERT_EQ(log.getEntries().size(), 1) << what;
    ASSERT_FALSE(log.getEntries().front().isEmpty()) << what;
    ASSERT_TRUE(saved(o) == before) << what;
  };
  for (std::size_t cut = 0; cut < good.size(); ++cut) expectRejected(good.substr(0, cut), "cut at " + std::to_string(cut));
  for (std::size_t at = 0; at < good.size(); ++at)
    for (unsigned char flip : {0x01, 0x80, 0xFF}) {
      std::string bad = good;
      bad[at] = static_cast<char>(bad[at] ^ flip);
      expectRejected(bad, "byte " + std::to_string(at) + " xor " + std::to_string(flip));
    }
}

// Every file size limit short of the new file's length: the write fails at
// each byte in turn.
TEST(TrafoRecordFile, SaveFailingAtAnyByteKeepsTheOldFile) {
  QTemporaryDir dir;
  const QString name = dir.filePath(QStringLiteral("part.trafo"));
  LastAndGlobalTransformation old(rigid(), true, rigid(), false), next(arbitraryMatrix(), false, rigid(), true);
  ASSERT_TRUE(old.save(name, nullptr, 0, 0));
  const std::string nextBytes = saved(next);
  for (rlim_t limit = 0; limit < nextBytes.size(); ++limit) {
    ASSERT_TRUE(FailedSaveKeptTheOldFile(name, [&](ErrorLog* log) {
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
  EXPECT_EQ(saved(loaded), nextBytes);
}

// A full file system: a small tmpfs, mounted in a child process with a mount
// namespace of its own, so that nothing outside the child sees it.
TEST(TrafoRecordFile, SaveOnAFullFileSystemKeepsTheOldFile) {
  QTemporaryDir dir;
  const QString name = dir.filePath(QStringLiteral("part.trafo"));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", 0, "size=8k") != 0)
      ::_exit(77);
    LastAndGlobalTransformation old(rigid(), true, rigid(), false), next(rigid(), false, rigid(), true);
    QFile filler(dir.filePath(QStringLiteral("filler")));
    if (!old.save(name, nullptr, 0, 0) || !filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) ::_exit(2);
    while (filler.write(QByteArray(512, 'x')) == 512) {
    }
    auto save = [&](ErrorLog* log) { return next.save(name, log, 0, 0); };
    ::_exit(FailedSaveKeptTheOldFile(name, save, {QStringLiteral("filler")}) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the failed save broke a rule, 2: setting up failed";
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

  const QStringList lines = QString::fromUtf8(readFile(name)).split(QLatin1Char('\n'));
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
  const QStringList lines = QString::fromUtf8(readFile(name)).split(QLatin1Char('\n'));
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

// The bundled report was written under the "C" locale; a German process
// locale (decimal commas for printf) must not change a byte.
TEST_F(TrafoReport, BundledExampleGivesItsBundledReportInAnyLocale) {
  LastAndGlobalTransformation o(rigid(), false, rigid(), false);
  ASSERT_TRUE(o.load(QStringLiteral(ZEM_EXAMPLE_DATA_DIR "/bestfit.trafo"), nullptr, 0, 0));
  EXPECT_TRUE(o.isLastTransformationValid() && o.isGlobalTransformationValid());
  const std::string expected = readFile(QStringLiteral(ZEM_EXAMPLE_DATA_DIR "/bestfit_report.txt")).toStdString();
  const QString name = dir.filePath(QStringLiteral("report.txt"));
  ASSERT_TRUE(o.exportASCII(name, nullptr));
  EXPECT_EQ(readFile(name).toStdString(), expected);
  ProcessLocale german("de_DE.UTF-8");
  if (!german.switched) GTEST_SKIP() << "no locale de_DE.UTF-8 on this machine (scripts/setup.sh generates it)";
  ASSERT_TRUE(o.exportASCII(name, nullptr));
  EXPECT_EQ(readFile(name).toStdString(), expected);
}
