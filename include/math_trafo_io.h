// The host's last and global transformations with their validity flags, as a
// persisted object: a ".trafo" block stream and a readable text report.
#ifndef ZEM_MATH_TRAFO_IO_H
#define ZEM_MATH_TRAFO_IO_H

#include <QString>
#include <iosfwd>

#include "math_transformation.h"
#include "zem_base.h"
#include "zem_object.h"

namespace Zem {

/// Stream layout (type "LAST-GLOBAL-TRAFO", version 1), one block id 258,
/// version 1: last-valid flag (bool), the last matrix (16 doubles, row by
/// row, m33 = 1/scale as stored), global-valid flag, the global matrix.
/// The stream ends right after that block; a stream with anything after it
/// does not load.
/// A flag may be false while its matrix holds anything: both are kept.
///
/// Neither copyable nor assignable. Values are set by the constructor and
/// replaced only by a successful load; a load that fails changes nothing.
class LastAndGlobalTransformation : public Object {
 public:
  /// The stream type, "LAST-GLOBAL-TRAFO".
  static const char* const FILE_TYPE;

  LastAndGlobalTransformation(const Transformation& last, bool lastValid, const Transformation& global,
                              bool globalValid);
  ~LastAndGlobalTransformation() override;

  const Transformation& getLastTransformation() const { return last_; }
  const Transformation& getGlobalTransformation() const { return global_; }
  bool isLastTransformationValid() const { return lastValid_; }
  bool isGlobalTransformationValid() const { return globalValid_; }

  /// Returns FILE_TYPE itself (the same pointer).
  const char* getMagicKey() const override;
  /// ".trafo", with the leading point.
  QString getFileNameExtension() const override;
  /// Reads the object from a stream; the two integers are ignored. On false
  /// one entry went to the log (when there is one) and nothing changed.
  bool loadStream(std::istream* in, ErrorLog* log, int, int) override;
  /// Writes the object to a stream; the two integers are ignored.
  bool saveStream(std::ostream* out, ErrorLog* log, int, int) override;

  /// Writes both transformations as a text report to the named file, in the
  /// host's current display units, whatever the validity flags say. Returns
  /// false, with one log entry, when the file cannot be opened or written.
  bool exportASCII(const QString& fileName, ErrorLog* log) const;

 private:
  // Copying is forbidden; reaching either throws ProgError.
  LastAndGlobalTransformation(const LastAndGlobalTransformation&);
  LastAndGlobalTransformation& operator=(const LastAndGlobalTransformation&);

  bool loadStreamVersion1(std::istream* in, ErrorLog* log, IO::InStream* stream);

  Transformation last_;
  bool lastValid_;
  Transformation global_;
  bool globalValid_;
};

}  // namespace Zem

#endif  // ZEM_MATH_TRAFO_IO_H
