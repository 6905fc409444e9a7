#include "zemtrafo_files.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zemtrafo {

namespace {

QString qs(const std::string& s) { return QFile::decodeName(QByteArray::fromStdString(s)); }

std::string str(const QString& s) { return s.toLocal8Bit().toStdString(); }

void messageLog(const Zem::ErrorLog& log) {
  for (const QString& entry : log.getEntries()) message(str(entry));
}

std::string systemReason(int error) { return std::strerror(error); }

// The new files not yet renamed over their targets, for the signal handler:
// fixed storage, since the handler may only call async-signal-safe
// functions (unlink, signal, raise).
constexpr int kMaxTemporaries = 16;
char gTemporaries[kMaxTemporaries][4096];
volatile std::sig_atomic_t gTemporaryCount = 0;

extern "C" void removeTemporariesAndDie(int signal) {
  for (int k = 0; k < gTemporaryCount; ++k)
    if (gTemporaries[k][0] != '\0') ::unlink(gTemporaries[k]);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

/// Holds SIGINT and SIGTERM back while it lives.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigprocmask(SIG_BLOCK, &held, &previous_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

mode_t currentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

/// What a file is, for telling whether two names mean the same file: the
/// device and inode of an existing one; for a new one, those of its
/// directory and its name.
std::string identityOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  const std::size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (::stat(dir.c_str(), &info) == 0)
    return "new " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + "/" + name;
  return "path " + path;
}

/// Where a target's bytes go: the file a symbolic link leads to (the link
/// stays), else the name itself.
std::string resolvedTarget(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real) {
      std::string target = real;
      std::free(real);
      return target;
    }
  }
  return path;
}

}  // namespace

void message(const std::string& text) { std::fprintf(stderr, "zemtrafo: %s\n", text.c_str()); }

void installSignalHandlers() {
  std::signal(SIGINT, removeTemporariesAndDie);
  std::signal(SIGTERM, removeTemporariesAndDie);
  std::signal(SIGXFSZ, SIG_IGN);
}

bool readPoints(const std::string& path, const Zem::PointFile::ReadOptions& options, Zem::PointNames* names,
                Zem::PointFile* file) {
  file->setReadOptions(options);
  bool ok;
  if (path == "-") {
    const std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    ok = file->parse(text, QStringLiteral("<stdin>"), names);
  } else {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      message(path + ": cannot read (is a directory)");
      return false;
    }
    ok = file->read(qs(path), names);
  }
  if (!ok) {
    message(str(file->getError()));
    return false;
  }
  if (file->getPoints().empty()) {
    message("no points in " + (path == "-" ? std::string("<stdin>") : path));
    return false;
  }
  if (file->hasRecodedNames())
    message("note: " + path + ": names that are not UTF-8 were read as Windows-1252");
  return true;
}

bool openText(const std::string& path, std::ifstream* in) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    message(path + ": cannot read (is a directory)");
    return false;
  }
  in->open(path, std::ios::binary);
  if (!*in) {
    message(path + ": cannot open file for reading");
    return false;
  }
  return true;
}

bool loadRecord(const std::string& path, Zem::LastAndGlobalTransformation* record) {
  Zem::ErrorLog log;
  if (record->load(qs(path), &log, 0, 0)) return true;
  message(path + ": not a readable .trafo record");
  messageLog(log);
  return false;
}

bool loadPrevious(const RecordOptions& options, std::unique_ptr<Zem::LastAndGlobalTransformation>* previous) {
  if (options.global.empty()) return true;
  *previous = std::make_unique<Zem::LastAndGlobalTransformation>(
      Zem::Transformation::identity(), false, Zem::Transformation::identity(), false);
  return loadRecord(options.global, previous->get());
}

// ------------------------------------------------------------------ Outputs

struct Outputs::Staged {
  std::string path;       ///< as the user gave it, for messages
  std::string target;     ///< where it is renamed to
  std::string temporary;  ///< the new file; empty once renamed or removed
  int slot = -1;          ///< its entry for the signal handler
  bool isRecord = false;
  ~Staged() {
    if (!temporary.empty()) ::unlink(temporary.c_str());
    if (slot >= 0) gTemporaries[slot][0] = '\0';
  }
};

Outputs::Outputs() = default;

Outputs::~Outputs() {
  staged_.clear();
  gTemporaryCount = 0;
}

void Outputs::addInput(const std::string& path, bool mayBeReplaced) {
  if (path == "-" || mayBeReplaced) return;
  inputs_.push_back(identityOf(path));
  inputNames_.push_back(path);
}

bool Outputs::claim(const std::string& path, const std::string& option) {
  if (path.empty() || path == "-") return true;
  const std::string identity = identityOf(path);
  for (std::size_t k = 0; k < inputs_.size(); ++k)
    if (inputs_[k] == identity) {
      message(option + " " + path + " would overwrite the input " + inputNames_[k] + "; nothing was written");
      return false;
    }
  for (std::size_t k = 0; k < outputs_.size(); ++k)
    if (outputs_[k] == identity) {
      message(option + " " + path + " names the same file as " + options_[k] + "; nothing was written");
      return false;
    }
  outputs_.push_back(identity);
  options_.push_back(option);
  return true;
}

bool Outputs::stageBytes(const std::string& path, const std::string& content, bool isRecord) {
  auto staged = std::make_unique<Staged>();
  staged->path = path;
  staged->target = resolvedTarget(path);
  staged->isRecord = isRecord;
  const std::size_t slash = staged->target.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "" : staged->target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? staged->target : staged->target.substr(slash + 1);
  std::string pattern = dir + "." + name + ".zemtrafo-XXXXXX";
  if (gTemporaryCount >= kMaxTemporaries || pattern.size() >= sizeof gTemporaries[0]) {
    message(path + ": cannot write: name too long");
    return false;
  }
  int fd;
  {
    // Created and registered for the signal handler as one step.
    SignalsHeld held;
    fd = ::mkstemp(&pattern[0]);
    if (fd >= 0) {
      staged->slot = gTemporaryCount;
      std::memcpy(gTemporaries[staged->slot], pattern.c_str(), pattern.size() + 1);
      gTemporaryCount = gTemporaryCount + 1;
      staged->temporary = pattern;
    }
  }
  if (fd < 0) {
    message(path + ": cannot write: " + systemReason(errno));
    return false;
  }
  // The new file gets the mode the target has, or that of a new file.
  struct stat info;
  const mode_t mode = ::stat(staged->target.c_str(), &info) == 0 ? mode_t(info.st_mode & 07777)
                                                                  : mode_t(0666 & ~currentUmask());
  const char* p = content.data();
  std::size_t left = content.size();
  int error = 0;
  while (left > 0 && error == 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    p += n;
    left -= std::size_t(n);
  }
  if (error == 0 && ::fchmod(fd, mode) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    message(path + ": cannot write: " + systemReason(error));
    return false;  // the Staged removes the new file
  }
  staged_.push_back(std::move(staged));
  return true;
}

bool Outputs::addText(const std::string& path, const std::string& content) {
  if (path == "-") {
    standardOutput_ += content;
    return true;
  }
  return stageBytes(path, content, false);
}

bool Outputs::addRecord(const std::string& path, const Zem::LastAndGlobalTransformation& record) {
  std::ostringstream stream;
  Zem::ErrorLog log;
  // saveStream is not const (the library's persisted-object interface).
  Zem::LastAndGlobalTransformation copy(record.getLastTransformation(), record.isLastTransformationValid(),
                                        record.getGlobalTransformation(), record.isGlobalTransformationValid());
  if (!copy.saveStream(&stream, &log, 0, 0)) {
    messageLog(log);
    return false;
  }
  return stageBytes(path, stream.str(), true);
}

bool Outputs::addReport(const std::string& path, const Zem::LastAndGlobalTransformation& record) {
  // The library writes the report to a file: into a scratch file of its own,
  // whose content is then prepared like any other.
  std::string scratch = str(QDir::tempPath()) + "/zemtrafo-report-XXXXXX";
  const int fd = ::mkstemp(&scratch[0]);
  if (fd < 0) {
    message(path + ": cannot write: " + systemReason(errno));
    return false;
  }
  ::close(fd);
  Zem::ErrorLog log;
  const bool written = record.exportASCII(qs(scratch), &log);
  QFile file(qs(scratch));
  const QByteArray content = written && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  ::unlink(scratch.c_str());
  if (!written) {
    message(path + ": cannot write the report");
    messageLog(log);
    return false;
  }
  return stageBytes(path, content.toStdString(), false);
}

bool Outputs::commit() {
  {
    SignalsHeld held;
    for (const bool records : {false, true})
      for (auto& staged : staged_) {
        if (staged->isRecord != records) continue;
        if (::rename(staged->temporary.c_str(), staged->target.c_str()) != 0) {
          message(staged->path + ": cannot write: " + systemReason(errno));
          return false;
        }
        staged->temporary.clear();
      }
  }
  staged_.clear();
  if (standardOutput_.empty()) return true;
  const bool written = std::fwrite(standardOutput_.data(), 1, standardOutput_.size(), stdout) == standardOutput_.size();
  return std::fflush(stdout) == 0 && written;
}

Zem::LastAndGlobalTransformation newRecord(const Zem::Transformation& t,
                                           const Zem::LastAndGlobalTransformation* previous) {
  Zem::Transformation global = t;
  if (previous && previous->isGlobalTransformationValid()) {
    global = previous->getGlobalTransformation();
    global.append(t);
  }
  return Zem::LastAndGlobalTransformation(t, true, global, true);
}

bool claimRecord(const RecordOptions& options, Outputs* outputs) {
  if (!options.out.empty()) {
    if (!outputs->claim(options.out, "--out")) return false;
  } else if (!options.global.empty() && !outputs->claim(options.global, "--global")) {
    return false;
  }
  return outputs->claim(options.report, "--report");
}

bool addRecordOutputs(const Zem::Transformation& t, const Zem::LastAndGlobalTransformation* previous,
                      const RecordOptions& options, Outputs* outputs) {
  const Zem::LastAndGlobalTransformation record = newRecord(t, previous);
  const std::string path = !options.out.empty() ? options.out : options.global;
  if (!path.empty() && !outputs->addRecord(path, record)) return false;
  return options.report.empty() || outputs->addReport(options.report, record);
}

}  // namespace zemtrafo
