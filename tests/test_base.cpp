// Base services: exceptions, the error log, translation, file opening. The
// display units are checked through the report (test_trafo_io.cpp).
#include "test_util.h"
#include "zem_base.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>

namespace {

// German as the default locale and an application object for the catalogues,
// created only when none exists (at most one may), destroyed at the end with
// the translators on it, when the default locale is restored as well.
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

// The message the user sees when a Transformation block of version 2 is
// loaded: translated where it is thrown, in the language installed then.
QString versionError() {
  std::istringstream data(Zem::test::rawBlock("T", 128, 2, {}));
  Zem::IO::InStream in(&data);
  return Zem::test::errorText<Zem::IO::StreamException>([&] { Zem::Transformation().loadData(in, 0, 0); });
}

TEST(Base, ErrorLogEntriesAreClosedByEndLogOnly) {
  Zem::ErrorLog log;
  log << "invalid file version" << " " << 4294967295u << Zem::END_LOG << QString::fromUtf8("ä") << ' ' << (-2147483647 - 1)
      << Zem::END_LOG << "not finished";
  EXPECT_EQ(log.getEntries(), QStringList({"invalid file version 4294967295", QString::fromUtf8("ä -2147483648")}));
}

// catch (const std::exception&) catches the library's exceptions; what()
// gives the text in UTF-8.
TEST(Base, ExceptionsAreStdExceptionsWithTheirTextInUtf8) {
  const char* text = "Maß überschritten";
  const Zem::ProgError progError("Zem::Transformation::set", "math_transformation", 7, text);
  const Zem::IO::StreamException streamException{QString::fromUtf8(text)};
  for (const std::exception* e : std::initializer_list<const std::exception*>{&progError, &streamException})
    EXPECT_STREQ(e->what(), text);
}

TEST(BaseTranslate, EnglishWithoutApplicationGermanWithApplicationAndLocale) {
  const QString english = QStringLiteral("invalid transformation block version: 2");
  if (!QCoreApplication::instance()) {  // unless another test left one alive
    Zem::Transformation::InitLibrary();  // nothing to install into
    EXPECT_EQ(versionError(), english);
  }
  GermanApp scope;
  EXPECT_EQ(versionError(), english);  // not installed yet
  Zem::Transformation::InitLibrary();
  EXPECT_EQ(versionError(), QString::fromUtf8("ungültige Version des Transformationsblocks: 2"));
  // Installing again replaces the catalogue: one removal brings English back.
  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  EXPECT_TRUE(Zem::removeTranslator("ZemTransformation"));
  EXPECT_EQ(versionError(), english);
}

// Every message the sources pass to translate with literal context and text
// must have a German translation in the catalogue.
TEST(BaseTranslate, CatalogueCoversEveryMessageInTheSources) {
  const QDir root(QDir::cleanPath(QStringLiteral(ZEM_SOURCE_DIR)));
  if (!root.exists(QStringLiteral("src"))) GTEST_SKIP() << "source tree not available";
  GermanApp scope;
  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  const QRegularExpression call(QStringLiteral(R"re(\btranslate\(\s*"([^"]+)"\s*,\s*"([^"\\]+)"\s*\))re"));
  QStringList missing;  // "file: context / text"
  int found = 0;
  for (const QString sub : {"src", "host"})
    for (const QFileInfo& info : QDir(root.filePath(sub)).entryInfoList({"*.cpp", "*.h"}, QDir::Files)) {
      const QString source = QString::fromStdString(Zem::test::fileBytes(info.filePath()));
      for (auto it = call.globalMatch(source); it.hasNext(); ++found) {
        const auto match = it.next();
        const QByteArray context = match.captured(1).toUtf8(), text = match.captured(2).toUtf8();
        if (Zem::translate(context.constData(), text.constData()) == text)
          missing << sub + "/" + info.fileName() + ": " + context + " / " + text;
      }
    }
  EXPECT_GT(found, 0);
  EXPECT_TRUE(missing.isEmpty()) << "no German translation for:\n" << missing.join('\n').toStdString();
}

// Null for a missing file, an empty name or a name with a zero character;
// otherwise written in binary under a non-ASCII name.
TEST(BaseFile, OpenFileStreamRefusesBadNamesAndWritesBinaryUnderANonAsciiName) {
  QTemporaryDir dir;
  const QString name = dir.filePath(QString::fromUtf8("Bericht ä.txt"));
  EXPECT_EQ(Zem::OS::openFileStream(name, Zem::OS::OPEN_READ), nullptr);  // does not exist yet
  EXPECT_EQ(Zem::OS::openFileStream(QString(), Zem::OS::OPEN_WRITE), nullptr);
  EXPECT_EQ(Zem::OS::openFileStream(dir.filePath("a") + QChar(u'\0') + "x", Zem::OS::OPEN_WRITE), nullptr);
  FILE* out = Zem::OS::openFileStream(name, Zem::OS::OPEN_WRITE);
  ASSERT_NE(out, nullptr);
  ASSERT_GE(std::fputs("line\r\n", out), 0);
  ASSERT_EQ(std::fclose(out), 0);
  // The non-ASCII name reached the file system intact; no line-end translation.
  EXPECT_EQ(Zem::test::fileBytes(name), "line\r\n");
}

}  // namespace
