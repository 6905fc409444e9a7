// zemtrafo's files: messages on stderr, reading the inputs (point files,
// .trafo records) and writing the outputs safely.
//
// Files are written only after all input was read and the fit succeeded,
// each one safely: the content goes to a new file beside the target, which
// replaces the target only when every byte was written (a .trafo record
// through the library's Object::save, all other files through QSaveFile or a
// renamed temporary file). Bad input thus never leaves a partial file.
#ifndef ZEMTRAFO_FILES_H
#define ZEMTRAFO_FILES_H

#include <memory>
#include <string>

#include "math_point_file.h"
#include "math_trafo_io.h"
#include "zemtrafo_commands.h"

namespace zemtrafo {

/// "zemtrafo: text" on stderr.
void message(const std::string& text);

/// Writes `content` to `path` through a new file renamed over it at the end.
bool writeFileSafely(const std::string& path, const std::string& content);

/// The text report of `record` into `path`, through a temporary file in the
/// same directory that is renamed over `path` only when the report is complete.
bool exportReportSafely(const Zem::LastAndGlobalTransformation& record, const std::string& path);

bool loadRecord(const std::string& path, Zem::LastAndGlobalTransformation* record);

bool readPoints(const std::string& path, Zem::PointNames* names, Zem::PointFile* file);

/// The record named by --global, when there is one.
bool loadPrevious(const RecordOptions& options, std::unique_ptr<Zem::LastAndGlobalTransformation>* previous);

/// Saves the record with last = t and global = the previous global followed
/// by t (or t alone), to --out or else back to --global, and its report.
bool writeRecord(const Zem::Transformation& t, const Zem::LastAndGlobalTransformation* previous,
                 const RecordOptions& options);

}  // namespace zemtrafo

#endif  // ZEMTRAFO_FILES_H
