#include "zem_base.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QPointer>
#include <QThread>
#include <QTranslator>

#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace Zem {

// ---------------------------------------------------------------- ErrorLog

ErrorLog& ErrorLog::operator<<(const QString& text) {
  current_ += text;
  return *this;
}

ErrorLog& ErrorLog::operator<<(const char* text) {
  if (text) current_ += QString::fromUtf8(text);
  return *this;
}

ErrorLog& ErrorLog::operator<<(char c) {
  if (c == END_LOG) {
    entries_.append(current_);
    current_.clear();
  } else {
    current_ += QChar::fromLatin1(c);
  }
  return *this;
}

ErrorLog& ErrorLog::operator<<(unsigned value) {
  current_ += QString::number(value);
  return *this;
}

ErrorLog& ErrorLog::operator<<(int value) {
  current_ += QString::number(value);
  return *this;
}

void ErrorLog::clear() {
  entries_.clear();
  current_.clear();
}

// ------------------------------------------------------------- translation

QString translate(const char* context, const char* text) {
  if (!text) return QString();
  // Works without an application object too: then no catalogue is
  // installed and the source text comes back.
  return QCoreApplication::translate(context ? context : "", text);
}

namespace {

// The catalogues installed by installTranslator, by name. Each translator is
// a child of the application object: it dies with the application, and the
// QPointer notices, so a later application (tests create several in turn)
// gets a fresh one instead of a dangling pointer.
struct TranslatorRegistry {
  std::mutex mutex;
  std::map<std::string, QPointer<QTranslator>> installed;
};

TranslatorRegistry& translatorRegistry() {
  static TranslatorRegistry registry;
  return registry;
}

// Removes and deletes the translator of `name`; the registry's mutex is held.
bool dropTranslatorLocked(TranslatorRegistry& registry, const std::string& name) {
  auto it = registry.installed.find(name);
  if (it == registry.installed.end()) return false;
  QPointer<QTranslator> old = it->second;
  registry.installed.erase(it);
  if (!old) return false;  // died with an earlier application object
  QCoreApplication::removeTranslator(old.data());
  // The translator lives in the application's thread; let that thread delete
  // it unless we are on it.
  if (old->thread() == QThread::currentThread())
    delete old.data();
  else
    old->deleteLater();
  return true;
}

}  // namespace

bool installTranslator(const char* catalogueName) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!catalogueName || !*catalogueName || !app) return false;

  auto translator = std::make_unique<QTranslator>();
  const QString name = QString::fromUtf8(catalogueName);
  const QLocale locale;  // the default locale, which the host may have set
  // Embedded catalogues first (":/i18n/<name>_de.qm"), then files beside the
  // executable. QTranslator tries every UI language of the locale in turn
  // ("de_DE", then "de").
  const bool loaded = translator->load(locale, name, QStringLiteral("_"), QStringLiteral(":/i18n")) ||
                      translator->load(locale, name, QStringLiteral("_"), QCoreApplication::applicationDirPath());
  if (!loaded) return false;

  TranslatorRegistry& registry = translatorRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  dropTranslatorLocked(registry, catalogueName);
  if (translator->thread() != app->thread()) translator->moveToThread(app->thread());
  QTranslator* raw = translator.release();
  raw->setParent(app);
  if (!QCoreApplication::installTranslator(raw)) {
    delete raw;
    return false;
  }
  registry.installed[catalogueName] = raw;
  return true;
}

bool removeTranslator(const char* catalogueName) {
  if (!catalogueName) return false;
  TranslatorRegistry& registry = translatorRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return dropTranslatorLocked(registry, catalogueName);
}

// ------------------------------------------------------------ file opening

namespace OS {

FILE* openFileStream(const QString& fileName, OpenMode mode) {
  const char* modeText = nullptr;
  // "e" (close on exec) keeps the descriptor out of processes the host starts.
#if defined(__GLIBC__)
#define ZEM_CLOEXEC "e"
#else
#define ZEM_CLOEXEC ""
#endif
  switch (mode) {
    case OPEN_READ: modeText = "rb" ZEM_CLOEXEC; break;
    case OPEN_APPEND: modeText = "ab" ZEM_CLOEXEC; break;
    case OPEN_WRITE: modeText = "wb" ZEM_CLOEXEC; break;
    case OPEN_READ_WRITE: modeText = "r+b" ZEM_CLOEXEC; break;
  }
#undef ZEM_CLOEXEC
  if (!modeText || fileName.isEmpty()) return nullptr;
  const QByteArray encoded = QFile::encodeName(fileName);
  // A name with an embedded NUL would silently open a different file.
  if (encoded.contains('\0')) return nullptr;
  return std::fopen(encoded.constData(), modeText);
}

}  // namespace OS

// ------------------------------------------------------------------- units

UnitLinear::UnitLinear(const QString& name, int decimals, double internalPerUnit)
    : Unit(name, decimals), internalPerUnit_(internalPerUnit) {
  if (!(internalPerUnit > 0.0) || !std::isfinite(internalPerUnit))
    throw ProgError("Zem::UnitLinear::UnitLinear", __FILE__, __LINE__, "unit factor must be positive and finite");
  if (decimals < 0)
    throw ProgError("Zem::UnitLinear::UnitLinear", __FILE__, __LINE__, "number of decimals must not be negative");
}

const UnitLinear* UnitLinear::millimetre() {
  static const UnitLinear unit(QStringLiteral("mm"), 4, 1.0);
  return &unit;
}

const UnitLinear* UnitLinear::inch() {
  static const UnitLinear unit(QStringLiteral("in"), 5, 25.4);  // exact by definition
  return &unit;
}

const UnitLinear* UnitLinear::degree() {
  static const UnitLinear unit(QStringLiteral("deg"), 4, 3.14159265358979323846 / 180.0);
  return &unit;
}

const UnitLinear* UnitLinear::radian() {
  static const UnitLinear unit(QStringLiteral("rad"), 6, 1.0);
  return &unit;
}

namespace {
// Null means "the default": the predefined units are function-local statics
// and cannot initialise these atomics at load time.
std::atomic<const UnitLinear*> g_lengthUnit{nullptr};
std::atomic<const UnitLinear*> g_angleUnit{nullptr};
}  // namespace

const UnitLinear* uLength() {
  const UnitLinear* unit = g_lengthUnit.load(std::memory_order_acquire);
  return unit ? unit : UnitLinear::millimetre();
}

const UnitLinear* uAngle() {
  const UnitLinear* unit = g_angleUnit.load(std::memory_order_acquire);
  return unit ? unit : UnitLinear::degree();
}

void setDisplayUnits(const UnitLinear* length, const UnitLinear* angle) {
  if (length) g_lengthUnit.store(length, std::memory_order_release);
  if (angle) g_angleUnit.store(angle, std::memory_order_release);
}

QByteArray toExportCodec(const QString& text) { return text.toUtf8(); }

}  // namespace Zem
