// Base services: exceptions. (Error log, translation, units and file opening
// join this header as the library needs them.)
#ifndef ZEM_BASE_H
#define ZEM_BASE_H

#include <QString>

namespace Zem {

/// Base of the exceptions thrown by the library and its host services.
/// Carries the qualified name of the throwing function, the source file, the
/// line of the throw and a fixed text.
class Exception {
 public:
  Exception(const char* function, const char* file, unsigned line, const QString& text)
      : function_(QString::fromUtf8(function)), file_(QString::fromUtf8(file)), line_(line), text_(text) {}
  virtual ~Exception() = default;

  const QString& getText() const { return text_; }
  const QString& getFunction() const { return function_; }
  const QString& getFile() const { return file_; }
  unsigned getLine() const { return line_; }

 private:
  QString function_;
  QString file_;
  unsigned line_;
  QString text_;
};

/// A violated precondition (wrong sizes, values out of range, forbidden
/// operations). Thrown by value; the library never catches it.
class ProgError : public Exception {
 public:
  ProgError(const char* function, const char* file, unsigned line, const char* text)
      : Exception(function, file, line, QString::fromUtf8(text)) {}
};

}  // namespace Zem

#endif  // ZEM_BASE_H
