// zemtrafo's files: messages on stderr, reading the inputs (point files,
// .trafo records; "-" is standard input) and writing the outputs as one
// unit.
//
// Outputs. Every output of a run is first written in full to a new file
// beside its target (".<name>.zemtrafo-XXXXXX"), after all input was read
// and the computation succeeded. Only when every one is complete are they
// renamed over their targets, the .trafo record last, with SIGINT and
// SIGTERM held back meanwhile. A failure or an interruption before that
// point removes the new files and leaves every target as it was; a run that
// exits non-zero has replaced nothing. A replaced file keeps its mode; a new
// one gets 0666 less the umask, as other programs' new files. An output
// that names an input or another output (the same file, however spelt:
// links, "./") is refused before anything is written. "-" as an output is
// standard output, written after the files are in place.
#ifndef ZEMTRAFO_FILES_H
#define ZEMTRAFO_FILES_H

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "math_point_file.h"
#include "math_trafo_io.h"
#include "zemtrafo_commands.h"

namespace zemtrafo {

/// "zemtrafo: text" on stderr.
void message(const std::string& text);

/// Installs the handlers that remove a run's unfinished files on SIGINT and
/// SIGTERM, and lets a write beyond the file size limit fail (EFBIG) rather
/// than end the program unexplained.
void installSignalHandlers();

/// Reads a point file ("-": standard input). Messages name the file and
/// line; a file without points is refused ("no points in FILE").
bool readPoints(const std::string& path, const Zem::PointFile::ReadOptions& options, Zem::PointNames* names,
                Zem::PointFile* file);

/// Opens a text input (feature and element files) for reading; false after
/// a message naming the file when it is a directory or cannot be opened.
bool openText(const std::string& path, std::ifstream* in);

bool loadRecord(const std::string& path, Zem::LastAndGlobalTransformation* record);

/// The record named by --global, when there is one.
bool loadPrevious(const RecordOptions& options, std::unique_ptr<Zem::LastAndGlobalTransformation>* previous);

/// The outputs of one run (see the top of this file).
class Outputs {
 public:
  Outputs();
  ~Outputs();
  Outputs(const Outputs&) = delete;
  Outputs& operator=(const Outputs&) = delete;

  /// Notes an input file; outputs may not name it (unless `mayBeReplaced`:
  /// apply writes its own points file after reading it).
  void addInput(const std::string& path, bool mayBeReplaced = false);
  /// Notes the target of an output; false, after a message naming both
  /// options, when it names an input or another output. Call for every
  /// output before preparing any.
  bool claim(const std::string& path, const std::string& option);

  /// Prepares `content` for `path` ("-": standard output).
  bool addText(const std::string& path, const std::string& content);
  /// Prepares the record for `path`.
  bool addRecord(const std::string& path, const Zem::LastAndGlobalTransformation& record);
  /// Prepares the text report of `record` for `path`.
  bool addReport(const std::string& path, const Zem::LastAndGlobalTransformation& record);

  /// Puts every prepared file in place, the record last, then writes what
  /// goes to standard output. False after a message when a rename failed
  /// (the targets renamed before it stay replaced; the rest keep theirs).
  bool commit();

 private:
  struct Staged;
  bool stageBytes(const std::string& path, const std::string& content, bool isRecord);
  std::vector<std::string> inputs_;      ///< identities of the inputs
  std::vector<std::string> outputs_;     ///< identities of the claimed outputs
  std::vector<std::string> options_;     ///< the option of each claimed output
  std::vector<std::string> inputNames_;  ///< as given, for messages
  std::vector<std::unique_ptr<Staged>> staged_;
  std::string standardOutput_;
};

/// The record with last = t and global = the previous global followed by t
/// (or t alone).
Zem::LastAndGlobalTransformation newRecord(const Zem::Transformation& t,
                                           const Zem::LastAndGlobalTransformation* previous);

/// Claims --out (or --global when it is rewritten) and --report.
bool claimRecord(const RecordOptions& options, Outputs* outputs);

/// Prepares the record with last = t to --out or else back to --global, and
/// its report.
bool addRecordOutputs(const Zem::Transformation& t, const Zem::LastAndGlobalTransformation* previous,
                      const RecordOptions& options, Outputs* outputs);

}  // namespace zemtrafo

#endif  // ZEMTRAFO_FILES_H
