// Base services: error log, translation, units, file opening.
#include <gtest/gtest.h>

#include "math_transformation.h"
#include "test_util.h"
#include "zem_base.h"
#include "zem_io.h"
#include "zem_token.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>
#include <sstream>

namespace {

using Zem::END_LOG;
using Zem::UnitLinear;

constexpr const char* kContext = "TRANSFORMATION_err";
constexpr const char* kVersionMessage = "invalid transformation block version: %1";
const QString kVersionMessageDe = QString::fromUtf8("ungültige Version des Transformationsblocks: %1");
const QLocale kGerman(QLocale::German, QLocale::Germany);

// At most one QCoreApplication may exist at a time, and the suite runs in one
// process as well as one test per process: an application object is created
// only when none exists, and destroyed (with the translators on it) at the
// end, when the default locale is restored as well.
class AppAndLocale {
 public:
  explicit AppAndLocale(const QLocale& locale) {
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc_, argv_);
    QLocale::setDefault(locale);
  }
  ~AppAndLocale() {
    Zem::removeTranslator("ZemTransformation");
    app_.reset();
    QLocale::setDefault(previousLocale_);
  }

 private:
  static inline char name_[] = "zem_tests";
  static inline char* argv_[] = {name_, nullptr};
  static inline int argc_ = 1;
  QLocale previousLocale_;
  std::unique_ptr<QCoreApplication> app_;
};

template <typename F>
QString streamError(F&& action) {
  try {
    action();
  } catch (const Zem::IO::StreamException& e) {
    return e.getText();
  }
  return QStringLiteral("no exception");
}

// The message a Transformation's loadData gives for a block of version 2, as
// the user sees it.
QString versionTwoMessage() {
  std::stringstream bytes;
  {
    Zem::IO::OutStream out(&bytes, "T", 1);
    out.beginBlock(128, 2);
    out.endBlock();
  }
  Zem::IO::InStream in(&bytes);
  Zem::Transformation t;
  return streamError([&] { t.loadData(in, 0, 0); });
}

TEST(Base, ErrorLogEntriesAreClosedByEndLogOnly) {
  Zem::ErrorLog log;
  log << "invalid file version" << " " << 4294967295u << END_LOG << QString::fromUtf8("ä") << ' ' << (-2147483647 - 1)
      << END_LOG << "not finished";
  EXPECT_EQ(log.getEntries(), QStringList({"invalid file version 4294967295", QString::fromUtf8("ä -2147483648")}));
  log << END_LOG << END_LOG;  // an empty entry is still an entry
  EXPECT_EQ(log.getEntries().mid(2), QStringList({"not finished", ""}));
  log << "half";
  log.clear();
  log << END_LOG;
  EXPECT_EQ(log.getEntries(), QStringList({QString()}));
}

TEST(BaseTranslate, WithoutApplicationTextStaysEnglish) {
  if (QCoreApplication::instance()) GTEST_SKIP() << "another test left an application object alive";
  EXPECT_FALSE(Zem::installTranslator("ZemTransformation"));
  Zem::Transformation::InitLibrary();
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), QString::fromUtf8(kVersionMessage));
  EXPECT_EQ(versionTwoMessage(), QString::fromUtf8(kVersionMessage).arg(2));
}

TEST(BaseTranslate, GermanCatalogueWithApplicationAndLocale) {
  AppAndLocale scope(kGerman);
  EXPECT_EQ(versionTwoMessage(), QString::fromUtf8(kVersionMessage).arg(2));  // not installed yet
  Zem::Transformation::InitLibrary();
  EXPECT_EQ(versionTwoMessage(), kVersionMessageDe.arg(2));
  // The context matters, and unknown texts pass through.
  EXPECT_EQ(Zem::translate("CADElementStageValue_err", kVersionMessage), QString::fromUtf8(kVersionMessage));
  EXPECT_EQ(Zem::translate(kContext, "no such message"), "no such message");
  std::istringstream text("plain text, no stream");
  EXPECT_EQ(streamError([&] { Zem::IO::InStream in(&text); }),
            QString::fromUtf8("kein Blockdatenstrom (falsche Kennung)"));
  // Installing again replaces the catalogue: one removal brings English back.
  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  EXPECT_TRUE(Zem::removeTranslator("ZemTransformation"));
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), QString::fromUtf8(kVersionMessage));
  EXPECT_FALSE(Zem::removeTranslator("ZemTransformation"));
  EXPECT_FALSE(Zem::installTranslator("NoSuchCatalogue"));
}

// Every message the sources pass to translate with literal context and text
// must have a German translation in the catalogue.
TEST(BaseTranslate, CatalogueCoversEveryMessageInTheSources) {
  const QDir root(QDir::cleanPath(QStringLiteral(ZEM_TEST_DATA_DIR "/../..")));
  if (!root.exists(QStringLiteral("src")) || !root.exists(QStringLiteral("host")))
    GTEST_SKIP() << "source tree not available";
  AppAndLocale scope(kGerman);
  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  const QRegularExpression call(QStringLiteral(R"re(\btranslate\(\s*"([^"]+)"\s*,\s*"([^"\\]+)"\s*\))re"));
  QStringList missing;  // "file: context / text"
  int found = 0;
  for (const QString sub : {"src", "host"}) {
    const QDir dir(root.filePath(sub));
    for (const QString& name : dir.entryList({"*.cpp", "*.h"}, QDir::Files)) {
      QFile file(dir.filePath(name));
      ASSERT_TRUE(file.open(QIODevice::ReadOnly));
      for (auto it = call.globalMatch(QString::fromUtf8(file.readAll())); it.hasNext(); ++found) {
        const auto match = it.next();
        const QByteArray context = match.captured(1).toUtf8(), text = match.captured(2).toUtf8();
        const QString entry = sub + "/" + name + ": " + context + " / " + text;
        if (Zem::translate(context.constData(), text.constData()) == text && !missing.contains(entry)) missing << entry;
      }
    }
  }
  EXPECT_GT(found, 0);
  EXPECT_TRUE(missing.isEmpty()) << "no German translation for:\n" << missing.join('\n').toStdString();
}

TEST(BaseUnits, NamesPrecisionsConversionsAndDisplayDefaults) {
  // `to` takes the internal unit (mm, rad) into the unit.
  const struct { const UnitLinear* unit; const char* name; int precision; double internal, shown; } units[] = {
      {UnitLinear::millimetre(), "mm", 4, 12.5, 12.5},
      {UnitLinear::inch(), "in", 5, -50.8, -2.0},
      {UnitLinear::degree(), "deg", 4, -Zem::test::kPi / 4, -45.0},
      {UnitLinear::radian(), "rad", 6, -0.25, -0.25},
  };
  for (const auto& u : units) {
    EXPECT_EQ(u.unit->getName(), u.name);
    EXPECT_EQ(Zem::TokenFormat::getDefaultPrecision(u.unit), u.precision) << u.name;
    EXPECT_DOUBLE_EQ(u.unit->to(u.internal), u.shown) << u.name;
    EXPECT_DOUBLE_EQ(u.unit->from(u.shown), u.internal) << u.name;
  }
  EXPECT_EQ(Zem::TokenFormat::getDefaultPrecision(nullptr), 6);
  EXPECT_THROW(UnitLinear("bad", 3, 0.0), Zem::ProgError);
  EXPECT_THROW(UnitLinear("bad", -1, 1.0), Zem::ProgError);

  ASSERT_EQ(Zem::uLength(), UnitLinear::millimetre());
  ASSERT_EQ(Zem::uAngle(), UnitLinear::degree());
  Zem::setDisplayUnits(UnitLinear::inch(), nullptr);  // null keeps the angle unit
  EXPECT_EQ(Zem::uLength(), UnitLinear::inch());
  EXPECT_EQ(Zem::uAngle(), UnitLinear::degree());
  Zem::setDisplayUnits(UnitLinear::millimetre(), UnitLinear::degree());
}

TEST(BaseFile, OpenFileStreamWritesBinaryAndFailsWithNull) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString name = dir.filePath(QString::fromUtf8("Bericht ä.txt"));
  EXPECT_EQ(Zem::OS::openFileStream(name, Zem::OS::OPEN_READ), nullptr);  // does not exist yet
  for (const char* text : {"longer line\r\n", "line\r\n"}) {  // mode 3 truncates
    FILE* out = Zem::OS::openFileStream(name, Zem::OS::OPEN_WRITE);
    ASSERT_NE(out, nullptr);
    std::fputs(text, out);
    ASSERT_EQ(std::fclose(out), 0);
  }
  QFile check(name);  // the non-ASCII name reached the file system intact; no line-end translation
  ASSERT_TRUE(check.open(QIODevice::ReadOnly));
  EXPECT_EQ(check.readAll(), QByteArray("line\r\n"));

  for (const QString& bad : {QString(), dir.filePath("no/such/dir/x.txt"), name + QChar(u'\0') + "x"})
    EXPECT_EQ(Zem::OS::openFileStream(bad, Zem::OS::OPEN_WRITE), nullptr);
  EXPECT_EQ(Zem::OS::openFileStream(name, static_cast<Zem::OS::OpenMode>(99)), nullptr);
}

}  // namespace
