// Base services: error log, translation, units, file opening.
#include <gtest/gtest.h>

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

using Zem::UnitLinear;

const QString kVersionMessage = QStringLiteral("invalid transformation block version: %1");

// German as the default locale and an application object for the catalogues.
// At most one QCoreApplication may exist at a time, and the suite runs in one
// process as well as one test per process: an application object is created
// only when none exists, and destroyed (with the translators on it) at the
// end, when the default locale is restored as well.
struct GermanApp {
  GermanApp() {
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc_, argv_);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  }
  ~GermanApp() {
    Zem::removeTranslator("ZemTransformation");
    app_.reset();
    QLocale::setDefault(previousLocale_);
  }
  static inline char* argv_[] = {const_cast<char*>("zem_tests"), nullptr};  // Qt never writes to it
  static inline int argc_ = 1;
  const QLocale previousLocale_;
  std::unique_ptr<QCoreApplication> app_;
};

// The message the user sees when a Transformation is loaded from `bytes`; by
// default a stream whose transformation block has version 2.
QString loadError(std::string bytes = {}) {
  if (bytes.empty()) {
    std::ostringstream data;
    Zem::IO::OutStream out(&data, "T", 1);
    out.beginBlock(128, 2);
    out.endBlock();
    out.finish();
    bytes = data.str();
  }
  std::istringstream data(bytes);
  try {
    Zem::IO::InStream in(&data);
    Zem::Transformation().loadData(in, 0, 0);
  } catch (const Zem::IO::StreamException& e) {
    return e.getText();
  }
  return QStringLiteral("no exception");
}

TEST(Base, ErrorLogEntriesAreClosedByEndLogOnly) {
  Zem::ErrorLog log;
  log << "invalid file version" << " " << 4294967295u << Zem::END_LOG << QString::fromUtf8("ä") << ' ' << (-2147483647 - 1)
      << Zem::END_LOG << "not finished";
  EXPECT_EQ(log.getEntries(), QStringList({"invalid file version 4294967295", QString::fromUtf8("ä -2147483648")}));
}

// catch (const std::exception&) catches the library's exceptions; what()
// gives the text in UTF-8, the accessors stay.
TEST(Base, ExceptionsAreStdExceptionsWithTheirTextInUtf8) {
  const char* text = "Maß überschritten";
  try {
    throw Zem::ProgError("Zem::Transformation::set", "math_transformation", 7, text);
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), text);
    EXPECT_EQ(dynamic_cast<const Zem::ProgError&>(e).getLine(), 7u);
  }
  try {
    throw Zem::IO::StreamException(QString::fromUtf8(text));
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), text);
    EXPECT_EQ(dynamic_cast<const Zem::Exception&>(e).getText(), QString::fromUtf8(text));
  }
}

TEST(BaseTranslate, EnglishWithoutApplicationGermanWithApplicationAndLocale) {
  if (!QCoreApplication::instance()) {  // unless another test left one alive
    Zem::Transformation::InitLibrary();  // nothing to install into
    EXPECT_EQ(loadError(), kVersionMessage.arg(2));
  }
  GermanApp scope;
  EXPECT_EQ(loadError(), kVersionMessage.arg(2));  // not installed yet
  Zem::Transformation::InitLibrary();
  EXPECT_EQ(loadError(), QString::fromUtf8("ungültige Version des Transformationsblocks: %1").arg(2));
  EXPECT_EQ(loadError("plain text, no stream"), QString::fromUtf8("kein Blockdatenstrom (falsche Kennung)"));
  // Installing again replaces the catalogue: one removal brings English back.
  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  EXPECT_TRUE(Zem::removeTranslator("ZemTransformation"));
  EXPECT_EQ(loadError(), kVersionMessage.arg(2));
}

// Every message the sources pass to translate with literal context and text
// must have a German translation in the catalogue.
TEST(BaseTranslate, CatalogueCoversEveryMessageInTheSources) {
  const QDir root(QDir::cleanPath(QStringLiteral(ZEM_TEST_DATA_DIR "/../..")));
  if (!root.exists(QStringLiteral("src"))) GTEST_SKIP() << "source tree not available";
  GermanApp scope;
  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  const QRegularExpression call(QStringLiteral(R"re(\btranslate\(\s*"([^"]+)"\s*,\s*"([^"\\]+)"\s*\))re"));
  QStringList missing;  // "file: context / text"
  int found = 0;
  for (const QString sub : {"src", "host"})
    for (const QFileInfo& info : QDir(root.filePath(sub)).entryInfoList({"*.cpp", "*.h"}, QDir::Files)) {
      QFile file(info.filePath());
      ASSERT_TRUE(file.open(QIODevice::ReadOnly));
      for (auto it = call.globalMatch(QString::fromUtf8(file.readAll())); it.hasNext(); ++found) {
        const auto match = it.next();
        const QByteArray context = match.captured(1).toUtf8(), text = match.captured(2).toUtf8();
        if (Zem::translate(context.constData(), text.constData()) == text)
          missing << sub + "/" + info.fileName() + ": " + context + " / " + text;
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
  ASSERT_TRUE(Zem::uLength() == UnitLinear::millimetre() && Zem::uAngle() == UnitLinear::degree());
  Zem::setDisplayUnits(UnitLinear::inch(), nullptr);  // null keeps the angle unit
  EXPECT_TRUE(Zem::uLength() == UnitLinear::inch() && Zem::uAngle() == UnitLinear::degree());
  Zem::setDisplayUnits(UnitLinear::millimetre(), UnitLinear::degree());
}

TEST(BaseFile, OpenFileStreamWritesBinaryAndFailsWithNull) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString name = dir.filePath(QString::fromUtf8("Bericht ä.txt"));
  EXPECT_EQ(Zem::OS::openFileStream(name, Zem::OS::OPEN_READ), nullptr);  // does not exist yet
  FILE* out = Zem::OS::openFileStream(name, Zem::OS::OPEN_WRITE);
  ASSERT_TRUE(out && std::fputs("line\r\n", out) >= 0 && std::fclose(out) == 0);
  QFile check(name);  // the non-ASCII name reached the file system intact; no line-end translation
  ASSERT_TRUE(check.open(QIODevice::ReadOnly));
  EXPECT_EQ(check.readAll(), QByteArray("line\r\n"));
  for (const QString& bad : {QString(), dir.filePath("no/such/dir/x.txt"), name + QChar(u'\0') + "x"})
    EXPECT_EQ(Zem::OS::openFileStream(bad, Zem::OS::OPEN_WRITE), nullptr);
}

}  // namespace
