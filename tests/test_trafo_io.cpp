// The persisted last/global transformation pair: its stream, its failure
// rows, saving through the object base, and the text report.
#include <sys/resource.h>

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>
#include <clocale>
#include <csignal>

#include "math_trafo_io.h"
#include "test_util.h"

using namespace Zem;
using namespace Zem::test;

namespace {

const QString kType = QStringLiteral("LAST-GLOBAL-TRAFO");

Transformation arbitraryMatrix() {
  // Not a similarity on purpose: any sixteen values must travel unchanged.
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const double m[4][4] = {{1.5, -0.0, 3e-310, 4}, {5, nan, 7, -inf}, {9, 10, 11, 12}, {0.125, 0, 0, 0.5}};
  return Transformation(m);
}

Transformation rigid() { return Transformation(BaVec3d<double>(1, 2, 3), BaVec3d<double>(0.1, -0.2, 0.3), 1.0); }

// The object's stream: equal bytes mean equal flags and bit-equal matrices.
std::string saved(LastAndGlobalTransformation& o) {
  std::ostringstream out;
  EXPECT_TRUE(o.saveStream(&out, nullptr, 0, 0));
  return out.str();
}

// A stream of the given type and version with one block 258 of the given
// version holding the first `values` of the record's 34 values (the last
// flag true, the last matrix 0 to 15 row by row, the global flag true, the
// global matrix 0 to −15), and optionally a second block after it.
std::string craft(const QString& type, unsigned version, unsigned blockVersion, int values = 34, bool second = false) {
  std::ostringstream out;
  IO::OutStream s(&out, type, version);
  s.beginBlock(258, blockVersion);
  int written = 0;
  const auto put = [&](auto write) {
    if (written++ < values) write();
  };
  put([&] { s.writeBool(true); });
  for (int k = 0; k < 16; ++k) put([&] { s.writeDouble(k); });
  put([&] { s.writeBool(true); });
  for (int k = 0; k > -16; --k) put([&] { s.writeDouble(k); });
  s.endBlock();
  if (second) {
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

// Runs `action` with the process's file size limit lowered to `bytes`; a
// write beyond it fails with EFBIG (SIGXFSZ is ignored meanwhile).
template <typename F>
bool withFileSizeLimit(rlim_t bytes, F action) {
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const rlimit tight{bytes, old.rlim_max};
  void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &tight);
  const bool result = action();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, handler);
  return result;
}

// A save of `o` that meets a write error (the file size limit `limit`)
// returns false with one entry naming the file, keeps the old file byte for
// byte and leaves no temporary file.
::testing::AssertionResult FailedSaveKeptTheOldFile(LastAndGlobalTransformation& o, const QString& name, rlim_t limit) {
  const std::string old = fileBytes(name);
  ErrorLog log;
  if (withFileSizeLimit(limit, [&] { return o.save(name, &log, 0, 0); }))
    return ::testing::AssertionFailure() << "save succeeded";
  if (log.getEntries().size() != 1 || !log.getEntries()[0].contains(name))
    return ::testing::AssertionFailure() << "log: " << log.getEntries().join('|').toStdString();
  if (fileBytes(name) != old) return ::testing::AssertionFailure() << "old file changed";
  const QStringList files = QDir(QFileInfo(name).path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
  if (files != QStringList(QFileInfo(name).fileName()))
    return ::testing::AssertionFailure() << "files: " << files.join('|').toStdString();
  return ::testing::AssertionSuccess();
}

class TrafoFile : public ::testing::Test {
 protected:
  void TearDown() override { setDisplayUnits(UnitLinear::millimetre(), UnitLinear::degree()); }
  QTemporaryDir dir;
  const QString name = dir.filePath(QStringLiteral("part.trafo"));
  const QString report = dir.filePath(QStringLiteral("report.txt"));
};

}  // namespace

// A crafted stream reads back value by value into the members.
TEST(TrafoRecord, LayoutIsTheLastFlagAndMatrixThenTheGlobalOnes) {
  LastAndGlobalTransformation o(rigid(), false, rigid(), false);
  EXPECT_TRUE(loadFrom(o, craft(kType, 1, 1), nullptr));
  EXPECT_TRUE(o.isLastTransformationValid());
  EXPECT_TRUE(o.isGlobalTransformationValid());
  EXPECT_EQ(o.getLastTransformation().getMatrix(0, 1), 4.0);     // m10, the fifth value
  EXPECT_EQ(o.getGlobalTransformation().getMatrix(3, 0), -3.0);  // m03
}

// A rejected stream gives one entry (and none without a log) and changes nothing.
::testing::AssertionResult RejectedAndUnchanged(const std::string& bytes, const QString& entry = {}) {
  LastAndGlobalTransformation o(rigid(), false, arbitraryMatrix(), true);
  const std::string before = saved(o);
  ErrorLog log;
  if (loadFrom(o, bytes, &log)) return ::testing::AssertionFailure() << "accepted";
  if (log.getEntries().size() != 1 || (!entry.isEmpty() && log.getEntries()[0] != entry))
    return ::testing::AssertionFailure() << "log: " << log.getEntries().join('|').toStdString();
  if (loadFrom(o, bytes, nullptr)) return ::testing::AssertionFailure() << "accepted without a log";
  if (saved(o) != before) return ::testing::AssertionFailure() << "the record changed";
  return ::testing::AssertionSuccess();
}

// Foreign types and versions; blocks that end early, with an intact checksum
// (the values read so far must not be taken over); bytes where the stream
// must end (a frame is 21 bytes, the end record 13).
TEST(TrafoRecord, ForeignShortAndOverlongStreamsAreRejected) {
  EXPECT_TRUE(RejectedAndUnchanged(craft(QStringLiteral("SOME-OTHER-OBJECT"), 1, 1), "invalid file type"));
  EXPECT_TRUE(RejectedAndUnchanged(craft(kType, 2, 1), "invalid file version 2"));
  EXPECT_TRUE(RejectedAndUnchanged(craft(kType, 1, 2), "invalid header block version"));
  for (int values : {0, 1, 5, 17, 18, 33}) EXPECT_TRUE(RejectedAndUnchanged(craft(kType, 1, 1, values))) << values;
  const std::string two = craft(kType, 1, 1, 34, true);
  std::string garbled = two;
  garbled[two.size() - 13 - 5] ^= 0x5A;
  EXPECT_TRUE(RejectedAndUnchanged(two)) << "a second block";
  EXPECT_TRUE(RejectedAndUnchanged(two.substr(0, craft(kType, 1, 1).size() - 13 + 21))) << "its bare frame";
  EXPECT_TRUE(RejectedAndUnchanged(garbled)) << "a second block whose content fails its checksum";
}

// Every file size limit short of the new file's length: the write fails at
// each byte in turn. With just enough, the file loads back into a record
// whose every flag and matrix differed, to the bit.
TEST_F(TrafoFile, SaveFailingAtAnyByteKeepsTheOldFile) {
  LastAndGlobalTransformation old(rigid(), true, rigid(), false), next(arbitraryMatrix(), false, rigid(), true);
  ASSERT_TRUE(old.save(name, nullptr, 0, 0));
  const std::string nextBytes = saved(next);
  for (rlim_t limit = 0; limit < nextBytes.size(); ++limit)
    ASSERT_TRUE(FailedSaveKeptTheOldFile(next, name, limit)) << "limit " << limit;
  ASSERT_TRUE(withFileSizeLimit(nextBytes.size(), [&] { return next.save(name, nullptr, 0, 0); }));  // just enough
  LastAndGlobalTransformation loaded(rigid(), true, arbitraryMatrix(), false);
  ErrorLog log;
  ASSERT_TRUE(loaded.load(name, &log, 0, 0));
  EXPECT_TRUE(log.isEmpty());
  EXPECT_TRUE(saved(loaded) == nextBytes);
}

// --- Text report ---------------------------------------------------------

// The bundled report (below) pins the whole layout byte for byte, in mm and
// degrees. Here the other display units with their own decimals, and what a
// scale of 1 cannot show: m33 = 0.5 prints a scale of 2 and is written as
// stored, the translation as stored (not divided by m33). Both sections are
// written although both flags are false. A null unit keeps the one before
// (the defaults, mm and degrees, give the bundled report).
TEST_F(TrafoFile, ReportInInchAndRadianOfAScaledTransformation) {
  setDisplayUnits(nullptr, UnitLinear::radian());
  setDisplayUnits(UnitLinear::inch(), nullptr);
  const Transformation last(BaVec3d<double>(25.4, -2.54, 100), BaVec3d<double>(0.25, 0.5, -1.0), 2.0);
  ASSERT_TRUE(LastAndGlobalTransformation(last, false, Transformation::identity(), false).exportASCII(report, nullptr));
  const std::string text = fileBytes(report);
  const std::string head =
      "Last transformation:\n\nRotation y-Axis: 0.500000rad\nRotation x-Axis: 0.250000rad\n"
      "Rotation z-Axis: -1.000000rad\n\nTranslation x: 1.00000in\nTranslation y: -0.10000in\n"
      "Translation z: 3.93701in\n\nScale: 2.000000e+00\n\nMatrix:\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  const QStringList lines = QString::fromStdString(text).split(QLatin1Char('\n'));
  EXPECT_EQ(lines.value(13).section(QLatin1Char(' '), 3), QStringLiteral("2.540000e+01 "));
  EXPECT_EQ(lines.value(16), QStringLiteral("0.000000e+00 0.000000e+00 0.000000e+00 5.000000e-01 "));
  EXPECT_EQ(lines.value(19), QStringLiteral("Global transformation:"));
  EXPECT_EQ(lines.size(), 37);
}

TEST_F(TrafoFile, ReportThatCannotBeOpenedOrWritten) {
  LastAndGlobalTransformation o(rigid(), true, rigid(), true);
  const QString missing = dir.filePath(QStringLiteral("no/such/dir/report.txt"));
  ErrorLog log;
  EXPECT_FALSE(o.exportASCII(missing, &log));
  EXPECT_FALSE(o.exportASCII(missing, nullptr));
  EXPECT_FALSE(withFileSizeLimit(64, [&] { return o.exportASCII(report, &log); }));  // a write error
  EXPECT_EQ(log.getEntries(), QStringList({"unable to open file: " + missing, "unable to write file: " + report}));
}

// The bundled report was written under the "C" locale; a German process
// locale (printf's decimal comma) must not change a byte. A host's
// QCoreApplication sets the process locale from the environment.
TEST_F(TrafoFile, BundledExampleGivesItsBundledReportInAnyLocale) {
  LastAndGlobalTransformation o(rigid(), false, rigid(), false);
  ASSERT_TRUE(o.load(QStringLiteral(ZEM_EXAMPLE_DATA_DIR "/bestfit.trafo"), nullptr, 0, 0));
  const std::string expected = fileBytes(QStringLiteral(ZEM_EXAMPLE_DATA_DIR "/bestfit_report.txt"));
  ASSERT_TRUE(o.exportASCII(report, nullptr));
  EXPECT_EQ(fileBytes(report), expected);
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no locale de_DE.UTF-8 (scripts/setup.sh makes it)";
  const QLocale previousQt;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  const bool exported = o.exportASCII(report, nullptr);
  std::setlocale(LC_ALL, previous.c_str());
  QLocale::setDefault(previousQt);
  ASSERT_TRUE(exported);
  EXPECT_EQ(fileBytes(report), expected);
}
