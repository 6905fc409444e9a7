// Persisted-object base: load and save with their file handling; notifications.
#include <gtest/gtest.h>

#include "zem_base.h"
#include "zem_object.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using Zem::END_LOG;
using Zem::ErrorLog;

// Writes its bytes as the whole stream and reads them back the same way;
// saveStream can be made to fail after writing.
class Blob : public Zem::Object {
 public:
  enum class Failure { None, ReturnFalse, Throw, BadStream };
  Blob() : Object(QStringLiteral("Blob")) {}
  bool saveStream(std::ostream* out, ErrorLog* log, int a, int b) override {
    args = {a, b};
    out->write(content.constData(), content.size());
    if (failure == Failure::Throw) throw std::runtime_error("interrupted");
    if (failure == Failure::BadStream) out->setstate(std::ios_base::badbit);  // a write error it did not notice
    if (failure == Failure::ReturnFalse && log) *log << "blob could not be written" << END_LOG;
    return failure != Failure::ReturnFalse;
  }
  bool loadStream(std::istream* in, ErrorLog*, int a, int b) override {
    args = {a, b};
    content = QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(*in), {}));
    return true;
  }
  QByteArray content;
  Failure failure = Failure::None;
  std::pair<int, int> args;
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

// Everything in the directory, hidden files (a leftover temporary) included.
QStringList entries(const QTemporaryDir& dir) {
  return QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

TEST(Object, SaveLoadRoundTripAndFailedSavesKeepTheOldFileByteForByte) {
  QTemporaryDir dir;
  const QString name = dir.filePath(QString::fromUtf8("Messung ä.bin"));
  Blob blob, loaded;
  blob.content = pattern(50000, 1);
  ErrorLog log;
  ASSERT_TRUE(blob.save(name, &log, 3, -4));
  ASSERT_TRUE(loaded.load(name, &log, 5, 6));
  EXPECT_TRUE(log.isEmpty());
  EXPECT_EQ(loaded.content, blob.content);
  EXPECT_EQ(blob.args, std::make_pair(3, -4));
  EXPECT_EQ(loaded.args, std::make_pair(5, 6));
  EXPECT_EQ(loaded.getFileName(), name);

  const QByteArray previous = blob.content;
  ASSERT_TRUE(QFile::setPermissions(name, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
  blob.content = pattern(70000, 2);  // longer than the old file: a truncating write would show
  blob.setFileName("earlier.bin");
  for (Blob::Failure failure : {Blob::Failure::ReturnFalse, Blob::Failure::Throw, Blob::Failure::BadStream}) {
    blob.failure = failure;
    log.clear();
    if (failure == Blob::Failure::Throw) {
      EXPECT_THROW(blob.save(name, &log, 0, 0), std::runtime_error);
    } else {
      EXPECT_FALSE(blob.save(name, &log, 0, 0));
    }
    EXPECT_EQ(readFile(name), previous);
    EXPECT_EQ(entries(dir), QStringList({QString::fromUtf8("Messung ä.bin")}));  // no temporary left
    EXPECT_EQ(blob.getFileName(), "earlier.bin");
    // One entry: saveStream's own, or the base's naming the file when it
    // notices what saveStream missed.
    const QString entry =
        failure == Blob::Failure::ReturnFalse ? "blob could not be written" : QDir::toNativeSeparators(name);
    if (failure != Blob::Failure::Throw) {
      EXPECT_EQ(log.getEntries().size(), 1);
      EXPECT_TRUE(log.getEntries().value(0).contains(entry));
    }
  }
  // A successful save replaces the content and keeps the file's permissions.
  const QFileDevice::Permissions permissions = QFileInfo(name).permissions();
  blob.failure = Blob::Failure::None;
  ASSERT_TRUE(blob.save(name, nullptr, 0, 0));
  EXPECT_EQ(readFile(name), blob.content);
  EXPECT_EQ(QFileInfo(name).permissions(), permissions);
  // Through a symbolic link the link stays and its target is written.
  if (QFile::link(name, dir.filePath("link.bin"))) {
    blob.content = "through the link";
    ASSERT_TRUE(blob.save(dir.filePath("link.bin"), nullptr, 0, 0));
    EXPECT_TRUE(QFileInfo(dir.filePath("link.bin")).isSymLink());
    EXPECT_EQ(readFile(name), blob.content);
  }
}

TEST(Object, SaveIntoAnUnwritablePlaceAndLoadOfAMissingFileFail) {
  QTemporaryDir dir;
  Blob blob;
  blob.content = "keep";
  ASSERT_TRUE(blob.save(dir.filePath("plain.txt"), nullptr, 0, 0));
  ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));
  blob.content = "new";
  // Under a regular file (not even root can create anything there), in a
  // missing directory, over a directory.
  for (const QString& name : {dir.filePath("plain.txt/target.bin"), dir.filePath("missing/target.bin"),
                              dir.filePath("sub"), dir.filePath("absent.trafo")}) {
    ErrorLog log;
    const bool isLoad = name.endsWith(".trafo");
    EXPECT_FALSE(isLoad ? blob.load(name, &log, 0, 0) : blob.save(name, &log, 0, 0));
    ASSERT_EQ(log.getEntries().size(), 1) << name.toStdString();
    EXPECT_TRUE(log.getEntries()[0].contains(QDir::toNativeSeparators(name))) << log.getEntries()[0].toStdString();
  }
  EXPECT_FALSE(blob.save(QString(), nullptr, 0, 0));
  EXPECT_FALSE(blob.load(dir.path(), nullptr, 0, 0));
  EXPECT_EQ(blob.content, "new");
  EXPECT_EQ(blob.getFileName(), dir.filePath("plain.txt"));
  EXPECT_EQ(readFile(dir.filePath("plain.txt")), "keep");
  EXPECT_EQ(entries(dir), QStringList({"plain.txt", "sub"}));
}

// Hears its parent; its handler may remove a sibling from the parent.
class Listener : public Zem::TObject {
 public:
  explicit Listener(const QString& name, TObject* drop = nullptr) : TObject(name), dropSibling(drop) {}
  void handleNotifications(TObject* sender, int what) override {
    heard << sender->getName() + ":" + QString::number(what);
    if (dropSibling) sender->deregisterChild(dropSibling);
  }
  QStringList heard;
  TObject* dropSibling;
};

TEST(Object, ChildrenHearTheirParentAndLeaveItSafely) {
  Zem::TObject parent(QStringLiteral("P"));
  auto b = std::make_unique<Listener>(QStringLiteral("b"));
  Listener a(QStringLiteral("a"), b.get());  // removes the later sibling b: that one is not reached
  for (Zem::TObject* child : std::initializer_list<Zem::TObject*>{&a, b.get(), &a, nullptr, &parent})
    parent.registerChild(child);
  ASSERT_EQ(parent.getChildren().size(), 2u);  // repeats, null and the parent itself ignored
  parent.sendNotifications(6);
  EXPECT_EQ(a.heard, QStringList({"P:6"}));
  EXPECT_TRUE(b->heard.isEmpty() && b->getParent() == nullptr);
  parent.registerChild(b.get());
  b.reset();  // destroying a child deregisters it
  {
    Zem::TObject other(QStringLiteral("O"));
    other.registerChild(&a);  // moving a child takes it from the first parent
    EXPECT_TRUE(parent.getChildren().empty());
  }
  EXPECT_EQ(a.getParent(), nullptr);  // the parent's destruction released it
}

}  // namespace
