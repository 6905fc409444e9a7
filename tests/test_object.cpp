// Persisted-object base: load and save with their file handling; notifications.
// Write errors of the device itself are tested with a real record
// (test_trafo_io.cpp).
#include <gtest/gtest.h>

#include "zem_base.h"
#include "zem_object.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using Zem::ErrorLog;

// Writes its bytes as the whole stream and reads them back the same way;
// saveStream can be made to fail after writing.
class Blob : public Zem::Object {
 public:
  enum class Failure { None, ReturnFalse, Throw, BadStream };
  Blob() : Object(QStringLiteral("Blob")) {}
  bool saveStream(std::ostream* out, ErrorLog* log, int, int) override {
    out->write(content.constData(), content.size());
    if (failure == Failure::Throw) throw std::runtime_error("interrupted");
    if (failure == Failure::BadStream) out->setstate(std::ios_base::badbit);  // a write error it did not notice
    if (failure == Failure::ReturnFalse && log) *log << "blob could not be written" << Zem::END_LOG;
    return failure != Failure::ReturnFalse;
  }
  bool loadStream(std::istream* in, ErrorLog*, int, int) override {
    content = QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(*in), {}));
    return true;
  }
  QByteArray content;
  Failure failure = Failure::None;
};

// Deterministic bytes of every value, longer than a stream buffer.
QByteArray pattern(int size, unsigned state) {
  QByteArray bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
  return bytes;
}

QByteArray readFile(const QString& name) {
  QFile file(name);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

TEST(Object, RoundTripAndFailedSavesOrLoadsLeaveFilesAndObjectAsTheyWere) {
  QTemporaryDir dir;
  const QString name = dir.filePath(QString::fromUtf8("Messung ä.bin"));
  Blob blob, loaded;
  blob.content = pattern(50000, 1);
  ErrorLog log;
  ASSERT_TRUE(blob.save(name, &log, 0, 0) && loaded.load(name, &log, 0, 0) && log.isEmpty());
  EXPECT_EQ(loaded.content, blob.content);
  EXPECT_EQ(loaded.getFileName(), name);

  const QByteArray previous = blob.content, next = pattern(70000, 2);  // longer: a truncating write would show
  ASSERT_TRUE(QFile::setPermissions(name, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
  ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));
  const auto entries = [&] { return QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); };
  const QStringList before = entries();
  blob.content = next;
  // Failing saveStream over the existing file: its own entry passed on, the
  // base's naming the file for a stream left bad, none when it throws. Then
  // saves under a regular file (not even root can create anything there), in
  // a missing directory, over a directory, and the load of a missing file,
  // each with one entry naming the file.
  using Failure = Blob::Failure;
  const struct { Failure failure; QString file; bool load = false; } cases[] = {
      {Failure::ReturnFalse, name}, {Failure::Throw, name}, {Failure::BadStream, name},
      {Failure::None, name + "/target.bin"}, {Failure::None, dir.filePath("missing/target.bin")},
      {Failure::None, dir.filePath("sub")}, {Failure::None, dir.filePath("absent.bin"), true},
  };
  for (const auto& c : cases) {
    blob.failure = c.failure;
    log.clear();
    if (c.failure == Failure::Throw)
      EXPECT_THROW(blob.save(c.file, &log, 0, 0), std::runtime_error);
    else
      EXPECT_FALSE(c.load ? blob.load(c.file, &log, 0, 0) : blob.save(c.file, &log, 0, 0)) << c.file.toStdString();
    const QString entry = c.failure == Failure::ReturnFalse ? "blob could not be written" : c.file;
    EXPECT_EQ(log.getEntries().size(), c.failure == Failure::Throw ? 0 : 1) << c.file.toStdString();
    EXPECT_TRUE(c.failure == Failure::Throw || log.getEntries().value(0).contains(entry)) << entry.toStdString();
    EXPECT_EQ(readFile(name), previous);
    EXPECT_EQ(entries(), before);  // no temporary left
    EXPECT_EQ(blob.getFileName(), name);
  }
  // A successful save replaces the content and keeps the file's permissions.
  const QFileDevice::Permissions permissions = QFileInfo(name).permissions();
  blob.failure = Failure::None;
  ASSERT_TRUE(blob.save(name, nullptr, 0, 0));
  EXPECT_EQ(readFile(name), next);
  EXPECT_EQ(QFileInfo(name).permissions(), permissions);
}

// A FIFO (also behind a symbolic link) is no file to replace: the save is
// refused with one entry naming it, and the FIFO stays where it was.
TEST(Object, SaveOntoAFifoIsRefusedAndLeavesIt) {
  QTemporaryDir dir;
  const QString fifo = dir.filePath("pipe.trafo"), link = dir.filePath("link.trafo");
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  ASSERT_TRUE(QFile::link(fifo, link));
  Blob blob;
  blob.content = pattern(100, 3);
  for (const QString& target : {fifo, link}) {
    SCOPED_TRACE(target.toStdString());
    ErrorLog log;
    EXPECT_FALSE(blob.save(target, &log, 0, 0));
    EXPECT_EQ(log.getEntries().size(), 1);
    EXPECT_TRUE(log.getEntries().value(0).contains("not a regular file")) << log.getEntries().value(0).toStdString();
    EXPECT_TRUE(QFileInfo(fifo).exists());
    EXPECT_FALSE(QFileInfo(fifo).isFile());  // still the FIFO
    EXPECT_TRUE(QFileInfo(link).isSymLink());
  }
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System).size(), 2);
}

// Hears its parent; its handler may remove a sibling from the parent.
struct Listener : Zem::TObject {
  explicit Listener(const QString& name, TObject* drop = nullptr) : TObject(name), dropSibling(drop) {}
  void handleNotifications(TObject* sender, int what) override {
    heard << sender->getName() + ":" + QString::number(what);
    if (dropSibling) sender->deregisterChild(dropSibling);
  }
  QStringList heard;
  TObject* dropSibling;
};

TEST(Object, ChildrenRemovedOrDestroyedAreNeverReached) {
  Zem::TObject parent(QStringLiteral("P"));
  auto b = std::make_unique<Listener>(QStringLiteral("b"));
  Listener a(QStringLiteral("a"), b.get());  // removes the later sibling b while being notified
  for (Zem::TObject* child : std::initializer_list<Zem::TObject*>{&a, b.get(), &a, nullptr, &parent})
    parent.registerChild(child);
  ASSERT_EQ(parent.getChildren().size(), 2u);  // repeats, null and the parent itself ignored
  parent.sendNotifications(6);
  EXPECT_TRUE(b->heard.isEmpty() && b->getParent() == nullptr);
  parent.registerChild(b.get());
  a.dropSibling = nullptr;
  b.reset();  // destroying a child deregisters it
  parent.sendNotifications(7);
  EXPECT_EQ(a.heard, QStringList({"P:6", "P:7"}));
}

}  // namespace
