// Base services: exceptions, the error log, message translation, display
// units and file opening.
#ifndef ZEM_BASE_H
#define ZEM_BASE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <exception>

namespace Zem {

/// Base of the exceptions thrown by the library and its host services.
/// Carries the qualified name of the throwing function, the source file, the
/// line of the throw and a fixed text. A `std::exception`, so that
/// `catch (const std::exception&)` catches it too; `what()` gives the text.
class Exception : public std::exception {
 public:
  Exception(const char* function, const char* file, unsigned line, const QString& text)
      : function_(QString::fromUtf8(function)), file_(QString::fromUtf8(file)), line_(line), text_(text),
        what_(text.toUtf8()) {}
  ~Exception() override = default;

  /// The text, UTF-8 encoded.
  const char* what() const noexcept override { return what_.constData(); }
  const QString& getText() const { return text_; }
  const QString& getFunction() const { return function_; }
  const QString& getFile() const { return file_; }
  unsigned getLine() const { return line_; }

 private:
  QString function_;
  QString file_;
  unsigned line_;
  QString text_;
  QByteArray what_;  // the text as what() hands it out
};

/// A violated precondition (wrong sizes, values out of range, forbidden
/// operations). Thrown by value; the library never catches it.
class ProgError : public Exception {
 public:
  ProgError(const char* function, const char* file, unsigned line, const char* text)
      : Exception(function, file, line, QString::fromUtf8(text)) {}
};

/// Streamed into an `ErrorLog`, closes the entry being written. The ASCII
/// record separator never occurs in a message or a file name.
constexpr char END_LOG = '\x1e';

/// A sink for messages of load, save and export functions. Values streamed
/// in are appended to the current entry; `END_LOG` finishes it. Only
/// finished entries are reported, so a half-written entry never shows up.
/// Not synchronised: one log belongs to one thread at a time.
class ErrorLog {
 public:
  ErrorLog& operator<<(const QString& text);
  ErrorLog& operator<<(const char* text);  ///< UTF-8; null is ignored
  ErrorLog& operator<<(char c);            ///< `END_LOG` closes the current entry
  ErrorLog& operator<<(unsigned value);
  ErrorLog& operator<<(int value);

  /// The finished entries, oldest first.
  QStringList getEntries() const { return entries_; }
  /// True when no entry has been finished.
  bool isEmpty() const { return entries_.isEmpty(); }
  /// Forgets all entries, finished or not.
  void clear();

 private:
  QStringList entries_;
  QString current_;
};

/// The message `text` of `context` in the language of the installed
/// catalogues (`QCoreApplication::translate`). Without an application object
/// or without a fitting catalogue the text comes back unchanged (UTF-8).
QString translate(const char* context, const char* text);

/// Loads the catalogue "<catalogueName>_<language>" for the current default
/// locale (`QLocale()`) and installs it on the application object. Looks in
/// the resources embedded in the libraries (":/i18n") first, then next to
/// the application. Returns false, doing nothing, when there is no
/// application object or no fitting catalogue. Calling it again with the
/// same name replaces the catalogue installed earlier (so a changed locale
/// is picked up) instead of stacking a second copy. Thread-safe.
bool installTranslator(const char* catalogueName);

/// Removes the catalogue `installTranslator` installed under that name.
/// Returns false when none was installed. Thread-safe.
bool removeTranslator(const char* catalogueName);

namespace OS {

/// How `openFileStream` opens a file. All modes are binary: text goes out
/// byte for byte, without line-end translation.
enum OpenMode {
  OPEN_READ = 1,        ///< "rb": read an existing file
  OPEN_APPEND = 2,      ///< "ab": write at the end, creating the file
  OPEN_WRITE = 3,       ///< "wb": write from scratch, truncating or creating
  OPEN_READ_WRITE = 4,  ///< "r+b": read and write an existing file
};

/// Opens a C stream on `fileName`, the name encoded for the file system by
/// `QFile::encodeName`. Returns nullptr when the file cannot be opened, the
/// name is empty or the mode is unknown. The caller closes it with fclose.
FILE* openFileStream(const QString& fileName, OpenMode mode);

}  // namespace OS

/// A unit in which values are shown to the user.
class Unit {
 public:
  Unit(const QString& name, int decimals) : name_(name), decimals_(decimals) {}
  virtual ~Unit() = default;
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  /// Display name, e.g. "mm".
  const QString& getName() const { return name_; }
  /// Number of decimals a value in this unit is shown with.
  int getDecimals() const { return decimals_; }

 private:
  QString name_;
  int decimals_;
};

/// A unit that is a fixed multiple of the internal unit of its quantity:
/// millimetre for lengths, radian for angles.
class UnitLinear : public Unit {
 public:
  /// `internalPerUnit`: how many internal units one of this unit is
  /// (25.4 for the inch). Must be positive and finite.
  UnitLinear(const QString& name, int decimals, double internalPerUnit);

  /// Converts a value in the internal unit into this unit.
  double to(double internalValue) const { return internalValue / internalPerUnit_; }
  /// Converts a value in this unit into the internal unit.
  double from(double value) const { return value * internalPerUnit_; }
  double getInternalPerUnit() const { return internalPerUnit_; }

  /// "mm", 4 decimals: the internal unit of length.
  static const UnitLinear* millimetre();
  /// "in", 5 decimals, exactly 25.4 mm.
  static const UnitLinear* inch();
  /// "deg", 4 decimals, pi/180 rad.
  static const UnitLinear* degree();
  /// "rad", 6 decimals: the internal unit of angle.
  static const UnitLinear* radian();

 private:
  double internalPerUnit_;
};

/// The host's current display unit of length (millimetre until changed).
const UnitLinear* uLength();
/// The host's current display unit of angle (degree until changed).
const UnitLinear* uAngle();
/// Host call: changes the display units. A null argument keeps that unit.
/// The units must outlive every later use (the predefined ones do).
/// Safe against concurrent readers.
void setDisplayUnits(const UnitLinear* length, const UnitLinear* angle);

/// The bytes of `text` in the character set of exported files (UTF-8).
QByteArray toExportCodec(const QString& text);

}  // namespace Zem

#endif  // ZEM_BASE_H
