#include "zem_object.h"

#include "zem_base.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSaveFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <istream>
#include <ostream>
#include <streambuf>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Zem {

// ----------------------------------------------------------------- TObject

TObject::TObject(const QString& name) : name_(name) {}

TObject::TObject(const TObject& other) : name_(other.name_) {}

TObject& TObject::operator=(const TObject& other) {
  name_ = other.name_;
  return *this;
}

TObject::~TObject() {
  if (parent_) parent_->deregisterChild(this);
  for (TObject* child : children_) child->parent_ = nullptr;
}

void TObject::sendNotifications(int what) {
  // A handler may register or remove children; work on a snapshot and skip
  // those removed meanwhile, so no destroyed child is reached.
  const std::vector<TObject*> snapshot = children_;
  for (TObject* child : snapshot) {
    if (std::find(children_.begin(), children_.end(), child) != children_.end())
      child->handleNotifications(this, what);
  }
}

void TObject::handleNotifications(TObject* /*sender*/, int /*what*/) {}

void TObject::registerChild(TObject* child) {
  if (!child || child == this || child->parent_ == this) return;
  if (child->parent_) child->parent_->deregisterChild(child);
  children_.push_back(child);
  child->parent_ = this;
}

void TObject::deregisterChild(TObject* child) {
  auto it = std::find(children_.begin(), children_.end(), child);
  if (it == children_.end()) return;
  children_.erase(it);
  child->parent_ = nullptr;
}

// ------------------------------------------------------------------ Object

namespace {

// A std::streambuf over a QIODevice, so that stream formats written against
// std::istream/std::ostream read and write Qt files (whose names Qt handles
// on every platform). Buffered and sequential (no seeking); a failed device
// write makes sync() fail, which the std::ostream reports as badbit.
class DeviceStreamBuf : public std::streambuf {
 public:
  explicit DeviceStreamBuf(QIODevice* device) : device_(device) {
    setg(buffer_.data(), buffer_.data(), buffer_.data());
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    if (!device_->isWritable()) setp(nullptr, nullptr);
  }
  ~DeviceStreamBuf() override { writePending(); }
  DeviceStreamBuf(const DeviceStreamBuf&) = delete;
  DeviceStreamBuf& operator=(const DeviceStreamBuf&) = delete;

  /// True once the device refused a write, or did only part of it.
  bool failed() const { return failed_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const qint64 n = device_->read(buffer_.data(), static_cast<qint64>(buffer_.size()));
    if (n <= 0) {
      setg(buffer_.data(), buffer_.data(), buffer_.data());
      return traits_type::eof();
    }
    setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
    return traits_type::to_int_type(*gptr());
  }

  int_type overflow(int_type c) override {
    if (!pbase() || !writePending()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }

  int sync() override { return writePending() ? 0 : -1; }

 private:
  // Hands the put area to the device; false when the device refused any of it.
  // After the first refusal nothing more is written: a later write that fits
  // (space freed meanwhile) would leave a gap in the file.
  bool writePending() {
    if (!pbase()) return true;
    const qint64 pending = pptr() - pbase();
    if (!failed_ && pending > 0 && device_->write(pbase(), pending) != pending) failed_ = true;
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return !failed_;
  }

  QIODevice* device_;
  std::array<char, 16 * 1024> buffer_{};
  bool failed_ = false;
};

void logEntry(ErrorLog* log, const QString& text) {
  if (log) *log << text << END_LOG;
}

// `message` is translated and holds %1 for the file name.
QString withFileName(const QString& message, const QString& fileName) {
  return message.arg(QDir::toNativeSeparators(fileName));
}

// Hands the logged entries of `from` on to `to`.
void forwardEntries(const ErrorLog& from, ErrorLog* to) {
  if (to)
    for (const QString& entry : from.getEntries()) *to << entry << END_LOG;
}

// Forces the written data of `file` to the disk; false when the system
// reports that it could not (a delayed write error, e.g. a full disk).
bool syncToDisk(QFileDevice& file) {
#if defined(Q_OS_UNIX)
  if (::fsync(file.handle()) != 0 && errno != EINVAL) return false;  // EINVAL: cannot sync, nothing lost
#else
  (void)file;
#endif
  return true;
}

// Makes a finished rename durable: the new directory entry reaches the disk
// only when the directory itself is synchronised. Best effort; the file is
// already complete and in place, whatever this reports.
void syncDirectoryOf(const QString& fileName) {
#if defined(Q_OS_UNIX)
  const QByteArray dir = QFile::encodeName(QFileInfo(fileName).absolutePath());
  const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    (void)::fsync(fd);
    ::close(fd);
  }
#else
  (void)fileName;
#endif
}

// True when `fileName` names an existing file that is not a regular file
// (following symbolic links): a directory, FIFO, device node or socket. A
// name that cannot be examined is left to the save, which reports it.
bool isSpecialFile(const QString& fileName) {
#if defined(Q_OS_UNIX)
  struct stat info;
  return ::stat(QFile::encodeName(fileName).constData(), &info) == 0 && !S_ISREG(info.st_mode);
#else
  const QFileInfo info(fileName);
  return info.exists() && !info.isFile();
#endif
}

}  // namespace

Object::Object(const QString& name) : TObject(name) {}

Object::~Object() = default;

QString Object::getFileName() const { return fileName_; }

void Object::setFileName(const QString& fileName) { fileName_ = fileName; }

QString Object::getFileNameExtension() const { return QString(); }

const char* Object::getMagicKey() const { return ""; }

bool Object::loadStream(std::istream* in, ErrorLog* log, int a, int b) {
  return loadStreamHeader(in, log) && loadHeader(in, log) && loadData(in, log, a, b);
}

bool Object::saveStream(std::ostream* out, ErrorLog* log, int a, int b) {
  return saveStreamHeader(out, log) && saveHeader(out, log) && saveData(out, log, a, b);
}

bool Object::load(const QString& fileName, ErrorLog* log, int a, int b) {
  if (fileName.isEmpty()) {
    logEntry(log, translate("OBJECT_err", "no file name given"));
    return false;
  }
  QFile file(fileName);
  // A directory opens for reading on some systems and then reads nothing.
  if (QFileInfo(fileName).isDir() || !file.open(QIODevice::ReadOnly)) {
    logEntry(log, withFileName(translate("OBJECT_err", "cannot open file for reading: %1"), fileName));
    return false;
  }
  DeviceStreamBuf buffer(&file);
  std::istream in(&buffer);
  if (!loadStream(&in, log, a, b)) return false;
  setFileName(fileName);
  return true;
}

bool Object::save(const QString& fileName, ErrorLog* log, int a, int b) {
  if (fileName.isEmpty()) {
    logEntry(log, translate("OBJECT_err", "no file name given"));
    return false;
  }
  // Only a regular file (or a link to one) is replaced: renaming over a
  // FIFO, a device node or a socket would remove the special file (as root,
  // a device itself) and put a regular file in its place.
  if (isSpecialFile(fileName)) {
    logEntry(log, withFileName(translate("OBJECT_err", "cannot write file (not a regular file): %1"), fileName));
    return false;
  }
  // QSaveFile writes into a new file in the target's directory and renames
  // it over the target in commit(). Until then the target is untouched;
  // destroying an uncommitted QSaveFile (also when saveStream throws) removes
  // the new file. It never falls back to writing the target in place, and it
  // keeps the permissions of an existing target.
  //
  // Unbuffered, so that every write reaches the system at once and its
  // result is checked below: a buffered QSaveFile meets a full disk only
  // while flushing inside commit(), which (Qt 6.4) then renames the
  // incomplete file over the target all the same. After any write error
  // commit() is never called.
  QSaveFile file(fileName);
  file.setDirectWriteFallback(false);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
    logEntry(log, withFileName(translate("OBJECT_err", "cannot open file for writing: %1"), fileName));
    return false;
  }
  // saveStream's entries are held back: after a write error the one entry
  // names the file, rather than the stream's report of the same fault.
  ErrorLog streamLog;
  bool streamSaved = false;
  bool written = false;
  {
    DeviceStreamBuf buffer(&file);
    std::ostream out(&buffer);
    try {
      streamSaved = saveStream(&out, log ? &streamLog : nullptr, a, b);
    } catch (...) {
      forwardEntries(streamLog, log);
      throw;
    }
    out.flush();
    written = out.good() && !buffer.failed() && file.error() == QFileDevice::NoError && syncToDisk(file);
  }
  if (!written || !streamSaved) {
    file.cancelWriting();
    if (written)
      forwardEntries(streamLog, log);  // saveStream has reported why
    else
      logEntry(log, withFileName(translate("OBJECT_err", "cannot write file: %1"), fileName));
    return false;
  }
  if (!file.commit()) {  // the rename failed; Qt has removed the new file
    logEntry(log, withFileName(translate("OBJECT_err", "cannot write file: %1"), fileName));
    return false;
  }
  syncDirectoryOf(fileName);
  setFileName(fileName);
  return true;
}

bool Object::loadStreamHeader(std::istream* /*in*/, ErrorLog* /*log*/) { return true; }

bool Object::saveStreamHeader(std::ostream* /*out*/, ErrorLog* /*log*/) { return true; }

bool Object::loadHeader(std::istream* /*in*/, ErrorLog* /*log*/) { return true; }

bool Object::saveHeader(std::ostream* /*out*/, ErrorLog* /*log*/) { return true; }

bool Object::loadData(std::istream* /*in*/, ErrorLog* /*log*/, int /*a*/, int /*b*/) { return true; }

bool Object::saveData(std::ostream* /*out*/, ErrorLog* /*log*/, int /*a*/, int /*b*/) { return true; }

}  // namespace Zem
