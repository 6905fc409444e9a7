// Base services: error log, translation, units, file opening.
#include <gtest/gtest.h>

#include "zem_base.h"
#include "zem_token.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cmath>
#include <memory>

namespace {

using Zem::END_LOG;
using Zem::ErrorLog;
using Zem::UnitLinear;

constexpr const char* kContext = "TRANSFORMATION_err";
constexpr const char* kVersionMessage = "invalid transformation block version: %1";
const QString kVersionMessageDe = QString::fromUtf8("ungültige Version des Transformationsblocks: %1");

// The tests of this executable run one per process under ctest but also all
// in one process. At most one QCoreApplication may exist at a time, so a
// test that needs one creates it only when none exists and destroys it (and
// with it every translator installed on it) when it ends. The default
// locale is restored as well.
class AppAndLocale {
 public:
  explicit AppAndLocale(const QLocale& locale) : previousLocale_(QLocale()) {
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc_, argv_);
    QLocale::setDefault(locale);
  }
  ~AppAndLocale() {
    Zem::removeTranslator("ZemTransformation");
    app_.reset();
    QLocale::setDefault(previousLocale_);
  }
  AppAndLocale(const AppAndLocale&) = delete;
  AppAndLocale& operator=(const AppAndLocale&) = delete;

 private:
  static inline char name_[] = "zem_tests";
  static inline char* argv_[] = {name_, nullptr};
  static inline int argc_ = 1;
  QLocale previousLocale_;
  std::unique_ptr<QCoreApplication> app_;
};

const QLocale kGerman(QLocale::German, QLocale::Germany);

TEST(BaseErrorLog, EntriesAreClosedByEndLogOnly) {
  ErrorLog log;
  log << "invalid file version" << " " << 2u << END_LOG;
  log << QString::fromUtf8("Datei: ä") << ' ' << -7 << END_LOG;
  log << "not finished";
  EXPECT_EQ(log.getEntries(), QStringList({"invalid file version 2", QString::fromUtf8("Datei: ä -7")}));

  log << END_LOG;
  ASSERT_EQ(log.getEntries().size(), 3);
  EXPECT_EQ(log.getEntries().back(), "not finished");

  // An empty entry is still an entry: the writer meant to report something.
  log << END_LOG;
  EXPECT_EQ(log.getEntries().size(), 4);
  EXPECT_TRUE(log.getEntries().back().isEmpty());

  log << "half";
  log.clear();
  EXPECT_TRUE(log.isEmpty());
  log << END_LOG;
  EXPECT_EQ(log.getEntries(), QStringList({QString()}));
}

TEST(BaseErrorLog, NumbersAreDecimalWithoutPadding) {
  ErrorLog log;
  log << 0u << END_LOG << 4294967295u << END_LOG << (-2147483647 - 1) << END_LOG;
  log << static_cast<const char*>(nullptr) << END_LOG;
  EXPECT_EQ(log.getEntries(), QStringList({"0", "4294967295", "-2147483648", ""}));
}

TEST(BaseTranslate, WithoutApplicationTextStaysEnglish) {
  if (QCoreApplication::instance()) GTEST_SKIP() << "another test left an application object alive";
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), QString::fromUtf8(kVersionMessage));
  EXPECT_FALSE(Zem::installTranslator("ZemTransformation"));
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), QString::fromUtf8(kVersionMessage));
  EXPECT_TRUE(Zem::translate(kContext, nullptr).isNull());
}

TEST(BaseTranslate, GermanCatalogueIsEmbeddedAndInstalled) {
  AppAndLocale scope(kGerman);
  // No catalogue installed yet: English.
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), QString::fromUtf8(kVersionMessage));

  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), kVersionMessageDe);
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage).arg(2u), QString::fromUtf8("ungültige Version des Transformationsblocks: 2"));
  // The context matters, and unknown texts pass through.
  EXPECT_EQ(Zem::translate("CADElementStageValue_err", kVersionMessage), QString::fromUtf8(kVersionMessage));
  EXPECT_EQ(Zem::translate(kContext, "no such message"), "no such message");
  EXPECT_EQ(Zem::translate(nullptr, kVersionMessage), QString::fromUtf8(kVersionMessage));
  // The other contexts of the library are in the catalogue too.
  EXPECT_EQ(Zem::translate("CADElementStageValue_err", "invalid block version: %1"),
            QString::fromUtf8("ungültige Blockversion: %1"));
  EXPECT_EQ(Zem::translate("TransformationPLP_err", "src line is perpendicular to src plane"),
            QString::fromUtf8("Quellgerade steht senkrecht auf der Quellebene"));

  // Installing again replaces the catalogue rather than stacking a copy:
  // one removal brings English back.
  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), kVersionMessageDe);
  EXPECT_TRUE(Zem::removeTranslator("ZemTransformation"));
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), QString::fromUtf8(kVersionMessage));
  EXPECT_FALSE(Zem::removeTranslator("ZemTransformation"));
}

TEST(BaseTranslate, NoFittingCatalogueChangesNothing) {
  AppAndLocale scope(QLocale(QLocale::French, QLocale::France));
  EXPECT_FALSE(Zem::installTranslator("ZemTransformation"));
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), QString::fromUtf8(kVersionMessage));

  QLocale::setDefault(kGerman);
  EXPECT_FALSE(Zem::installTranslator("NoSuchCatalogue"));
  EXPECT_FALSE(Zem::installTranslator(""));
  EXPECT_FALSE(Zem::installTranslator(nullptr));
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), QString::fromUtf8(kVersionMessage));
}

TEST(BaseTranslate, SurvivesANewApplicationObject) {
  // A translator dies with its application; a later application must get a
  // fresh one (and no dangling pointer is touched on the way).
  {
    AppAndLocale scope(kGerman);
    ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  }
  AppAndLocale scope(kGerman);
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), QString::fromUtf8(kVersionMessage));
  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  EXPECT_EQ(Zem::translate(kContext, kVersionMessage), kVersionMessageDe);
}

// Every message the sources pass to translate with literal context and text
// must have a German translation in the catalogue.
TEST(BaseTranslate, CatalogueCoversEveryMessageInTheSources) {
  const QDir root(QDir::cleanPath(QStringLiteral(ZEM_TEST_DATA_DIR "/../..")));
  if (!root.exists(QStringLiteral("src")) || !root.exists(QStringLiteral("host")))
    GTEST_SKIP() << "source tree not available";
  AppAndLocale scope(kGerman);
  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));

  const QRegularExpression translateCall(QStringLiteral(R"re(\btranslate\(\s*"([^"]+)"\s*,\s*"([^"\\]+)"\s*\))re"));
  QStringList missing;  // "file: context / text", each pair once
  int found = 0;
  for (const QString& sub : {QStringLiteral("src"), QStringLiteral("host")}) {
    const QDir dir(root.filePath(sub));
    for (const QString& name : dir.entryList({QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files)) {
      QFile file(dir.filePath(name));
      ASSERT_TRUE(file.open(QIODevice::ReadOnly));
      const QString code = QString::fromUtf8(file.readAll());
      auto check = [&](const QString& context, const QString& text) {
        ++found;
        const QByteArray c = context.toUtf8();
        const QByteArray t = text.toUtf8();
        const QString entry = sub + "/" + name + ": " + context + " / " + text;
        if (Zem::translate(c.constData(), t.constData()) == text && !missing.contains(entry)) missing << entry;
      };
      for (auto it = translateCall.globalMatch(code); it.hasNext();) {
        const auto match = it.next();
        check(match.captured(1), match.captured(2));
      }
    }
  }
  EXPECT_GT(found, 0);
  EXPECT_TRUE(missing.isEmpty()) << "no German translation for:\n" << missing.join(QLatin1Char('\n')).toStdString();
}

TEST(BaseUnits, PredefinedUnitsAndPrecisions) {
  const UnitLinear* mm = UnitLinear::millimetre();
  const UnitLinear* in = UnitLinear::inch();
  const UnitLinear* deg = UnitLinear::degree();
  const UnitLinear* rad = UnitLinear::radian();
  EXPECT_EQ(mm->getName(), "mm");
  EXPECT_EQ(in->getName(), "in");
  EXPECT_EQ(deg->getName(), "deg");
  EXPECT_EQ(rad->getName(), "rad");
  EXPECT_EQ(Zem::TokenFormat::getDefaultPrecision(mm), 4);
  EXPECT_EQ(Zem::TokenFormat::getDefaultPrecision(in), 5);
  EXPECT_EQ(Zem::TokenFormat::getDefaultPrecision(deg), 4);
  EXPECT_EQ(Zem::TokenFormat::getDefaultPrecision(rad), 6);
  EXPECT_EQ(Zem::TokenFormat::getDefaultPrecision(nullptr), 6);
  // Same object every time: hosts compare units by address.
  EXPECT_EQ(mm, UnitLinear::millimetre());
}

TEST(BaseUnits, ConversionFromInternalUnits) {
  const double pi = std::acos(-1.0);
  // `to` takes the internal unit (mm, rad) into the unit.
  EXPECT_EQ(UnitLinear::millimetre()->to(12.5), 12.5);
  EXPECT_EQ(UnitLinear::radian()->to(-0.25), -0.25);
  EXPECT_EQ(UnitLinear::inch()->to(25.4), 1.0);
  EXPECT_EQ(UnitLinear::inch()->to(-50.8), -2.0);
  EXPECT_EQ(UnitLinear::inch()->from(2.0), 50.8);
  EXPECT_DOUBLE_EQ(UnitLinear::degree()->to(pi), 180.0);
  EXPECT_DOUBLE_EQ(UnitLinear::degree()->to(pi / 2), 90.0);
  EXPECT_DOUBLE_EQ(UnitLinear::degree()->to(-pi / 4), -45.0);
  EXPECT_DOUBLE_EQ(UnitLinear::degree()->from(90.0), pi / 2);
  for (double v : {-1234.5678, -1e-9, 0.0, 3.0, 987654.321}) {
    EXPECT_DOUBLE_EQ(UnitLinear::inch()->from(UnitLinear::inch()->to(v)), v);
    EXPECT_DOUBLE_EQ(UnitLinear::degree()->from(UnitLinear::degree()->to(v)), v);
  }
  EXPECT_THROW(UnitLinear("bad", 3, 0.0), Zem::ProgError);
  EXPECT_THROW(UnitLinear("bad", 3, std::nan("")), Zem::ProgError);
  EXPECT_THROW(UnitLinear("bad", -1, 1.0), Zem::ProgError);
}

TEST(BaseUnits, DisplayUnitsDefaultAndChange) {
  ASSERT_EQ(Zem::uLength(), UnitLinear::millimetre());
  ASSERT_EQ(Zem::uAngle(), UnitLinear::degree());
  Zem::setDisplayUnits(UnitLinear::inch(), nullptr);
  EXPECT_EQ(Zem::uLength(), UnitLinear::inch());
  EXPECT_EQ(Zem::uAngle(), UnitLinear::degree());
  Zem::setDisplayUnits(nullptr, UnitLinear::radian());
  EXPECT_EQ(Zem::uLength(), UnitLinear::inch());
  EXPECT_EQ(Zem::uAngle(), UnitLinear::radian());
  Zem::setDisplayUnits(UnitLinear::millimetre(), UnitLinear::degree());
  EXPECT_EQ(Zem::uLength(), UnitLinear::millimetre());
  EXPECT_EQ(Zem::uAngle(), UnitLinear::degree());
}

TEST(BaseText, ExportCodecIsUtf8) {
  EXPECT_EQ(Zem::toExportCodec(QString::fromUtf8("Maß 1°")), QByteArray("Ma\xc3\x9f 1\xc2\xb0"));
  EXPECT_TRUE(Zem::toExportCodec(QString()).isEmpty());
}

TEST(BaseFile, OpenFileStreamModes) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString name = dir.filePath(QString::fromUtf8("Bericht ä.txt"));

  EXPECT_EQ(Zem::OS::openFileStream(name, Zem::OS::OPEN_READ), nullptr);  // does not exist yet

  FILE* out = Zem::OS::openFileStream(name, Zem::OS::OPEN_WRITE);
  ASSERT_NE(out, nullptr);
  std::fputs("line\r\n", out);  // binary: no line-end translation
  ASSERT_EQ(std::fclose(out), 0);
  FILE* app = Zem::OS::openFileStream(name, Zem::OS::OPEN_APPEND);
  ASSERT_NE(app, nullptr);
  std::fputs("more", app);
  ASSERT_EQ(std::fclose(app), 0);

  QFile check(name);  // the non-ASCII name reached the file system intact
  ASSERT_TRUE(check.open(QIODevice::ReadOnly));
  EXPECT_EQ(check.readAll(), QByteArray("line\r\nmore"));
  check.close();

  // Writing truncates.
  out = Zem::OS::openFileStream(name, Zem::OS::OPEN_WRITE);
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(std::fclose(out), 0);
  EXPECT_EQ(QFileInfo(name).size(), 0);

  EXPECT_EQ(Zem::OS::openFileStream(QString(), Zem::OS::OPEN_WRITE), nullptr);
  EXPECT_EQ(Zem::OS::openFileStream(dir.filePath("no/such/dir/x.txt"), Zem::OS::OPEN_WRITE), nullptr);
  EXPECT_EQ(Zem::OS::openFileStream(name, static_cast<Zem::OS::OpenMode>(99)), nullptr);
  EXPECT_EQ(Zem::OS::openFileStream(name + QChar(u'\0') + "x", Zem::OS::OPEN_WRITE), nullptr);
}

}  // namespace
