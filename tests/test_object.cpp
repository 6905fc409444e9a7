// Persisted-object base: file handling of load and save, hooks, notifications.
#include <gtest/gtest.h>

#include "zem_base.h"
#include "zem_object.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <iterator>
#include <stdexcept>
#include <string>

namespace {

using Zem::END_LOG;
using Zem::ErrorLog;

// Writes its bytes as the whole stream and reads them back the same way.
// saveStream can be made to fail after writing, by result or by exception.
class Blob : public Zem::Object {
 public:
  enum class Failure { None, ReturnFalse, Throw, BadStream };

  Blob() : Object(QStringLiteral("Blob")) {}

  bool saveStream(std::ostream* out, ErrorLog* log, int a, int b) override {
    seenA = a;
    seenB = b;
    out->write(content.constData(), content.size());
    if (failure == Failure::ReturnFalse) {
      if (log) *log << "blob could not be written" << END_LOG;
      return false;
    }
    if (failure == Failure::Throw) throw std::runtime_error("interrupted");
    if (failure == Failure::BadStream) out->setstate(std::ios_base::badbit);  // a write error it did not notice
    return true;
  }

  bool loadStream(std::istream* in, ErrorLog* /*log*/, int a, int b) override {
    seenA = a;
    seenB = b;
    const std::string bytes((std::istreambuf_iterator<char>(*in)), std::istreambuf_iterator<char>());
    content = QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return true;
  }

  QByteArray content;
  Failure failure = Failure::None;
  int seenA = 0;
  int seenB = 0;
};

// Bytes that cross the stream buffer's boundaries and contain every value.
QByteArray pattern(int size, unsigned seed) {
  QByteArray bytes(size, '\0');
  unsigned state = seed;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;  // fixed LCG: deterministic
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

QByteArray readFile(const QString& name) {
  QFile file(name);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& name, const QByteArray& bytes) {
  QFile file(name);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList entries(const QString& dir) {
  return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

class ObjectFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
  QString path(const QString& name) const { return dir_.filePath(name); }
  QString dirPath() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
};

TEST_F(ObjectFile, SaveAndLoadRoundTrip) {
  const QString name = path(QString::fromUtf8("Messung ä.bin"));
  Blob out;
  out.content = pattern(100000, 7);
  ErrorLog log;
  ASSERT_TRUE(out.save(name, &log, 3, -4));
  EXPECT_TRUE(log.isEmpty());
  EXPECT_EQ(out.seenA, 3);
  EXPECT_EQ(out.seenB, -4);
  EXPECT_EQ(out.getFileName(), name);
  EXPECT_EQ(readFile(name), out.content);
  EXPECT_EQ(entries(dirPath()), QStringList({QString::fromUtf8("Messung ä.bin")}));

  Blob in;
  ASSERT_TRUE(in.load(name, &log, 5, 6));
  EXPECT_TRUE(log.isEmpty());
  EXPECT_EQ(in.content, out.content);
  EXPECT_EQ(in.seenA, 5);
  EXPECT_EQ(in.seenB, 6);
  EXPECT_EQ(in.getFileName(), name);

  // An empty object makes an empty file, which loads as empty.
  Blob empty;
  ASSERT_TRUE(empty.save(name, nullptr, 0, 0));
  EXPECT_EQ(QFileInfo(name).size(), 0);
  ASSERT_TRUE(in.load(name, nullptr, 0, 0));
  EXPECT_TRUE(in.content.isEmpty());
}

TEST_F(ObjectFile, FailedSaveKeepsPreviousFileAndLeavesNoTemporary) {
  const QString name = path("target.bin");
  const QByteArray previous = pattern(50000, 1);
  ASSERT_TRUE(writeFile(name, previous));
  ASSERT_TRUE(QFile::setPermissions(name, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
  const QFileDevice::Permissions permissions = QFileInfo(name).permissions();

  Blob blob;
  blob.content = pattern(70000, 2);  // longer than the old file: a truncating write would show
  blob.failure = Blob::Failure::ReturnFalse;
  blob.setFileName(QStringLiteral("earlier.bin"));
  ErrorLog log;
  EXPECT_FALSE(blob.save(name, &log, 0, 0));
  EXPECT_EQ(log.getEntries(), QStringList({"blob could not be written"}));  // only saveStream's own entry
  EXPECT_EQ(readFile(name), previous);
  EXPECT_EQ(entries(dirPath()), QStringList({"target.bin"}));
  EXPECT_EQ(blob.getFileName(), "earlier.bin");

  blob.failure = Blob::Failure::Throw;
  EXPECT_THROW(blob.save(name, &log, 0, 0), std::runtime_error);
  EXPECT_EQ(readFile(name), previous);
  EXPECT_EQ(entries(dirPath()), QStringList({"target.bin"}));

  // saveStream claims success but the stream failed: the base notices.
  log.clear();
  blob.failure = Blob::Failure::BadStream;
  EXPECT_FALSE(blob.save(name, &log, 0, 0));
  ASSERT_EQ(log.getEntries().size(), 1);
  EXPECT_TRUE(log.getEntries()[0].contains(QDir::toNativeSeparators(name)));
  EXPECT_EQ(readFile(name), previous);
  EXPECT_EQ(entries(dirPath()), QStringList({"target.bin"}));
  EXPECT_EQ(blob.getFileName(), "earlier.bin");

  // A successful save replaces the content and keeps the file's permissions.
  blob.failure = Blob::Failure::None;
  ASSERT_TRUE(blob.save(name, nullptr, 0, 0));
  EXPECT_EQ(readFile(name), blob.content);
  EXPECT_EQ(QFileInfo(name).permissions(), permissions);
  EXPECT_FALSE(QFileInfo(name).permissions() & QFileDevice::ReadOther);
  EXPECT_EQ(entries(dirPath()), QStringList({"target.bin"}));
}

TEST_F(ObjectFile, SaveIntoUnwritablePlaceChangesNothing) {
  const QString plain = path("plain.txt");
  ASSERT_TRUE(writeFile(plain, "keep"));
  Blob blob;
  blob.content = "new";

  // The parent is a regular file: not even root can create anything there.
  ErrorLog log;
  const QString underFile = plain + "/target.bin";
  EXPECT_FALSE(blob.save(underFile, &log, 0, 0));
  ASSERT_EQ(log.getEntries().size(), 1);
  EXPECT_TRUE(log.getEntries()[0].contains(QDir::toNativeSeparators(underFile))) << log.getEntries()[0].toStdString();
  EXPECT_EQ(readFile(plain), "keep");

  // A directory that does not exist is not created.
  log.clear();
  EXPECT_FALSE(blob.save(path("missing/target.bin"), &log, 0, 0));
  EXPECT_EQ(log.getEntries().size(), 1);
  EXPECT_FALSE(QFileInfo::exists(path("missing")));

  // The target is a directory: it stays one.
  ASSERT_TRUE(QDir(dirPath()).mkdir("sub"));
  EXPECT_FALSE(blob.save(path("sub"), nullptr, 0, 0));
  EXPECT_TRUE(QFileInfo(path("sub")).isDir());

  EXPECT_FALSE(blob.save(QString(), &log, 0, 0));
  EXPECT_TRUE(blob.getFileName().isEmpty());
  EXPECT_EQ(entries(dirPath()), QStringList({"plain.txt", "sub"}));
}

TEST_F(ObjectFile, SaveThroughSymlinkWritesItsTarget) {
  const QString real = path("real.bin");
  const QString link = path("link.bin");
  ASSERT_TRUE(writeFile(real, "old"));
  if (!QFile::link(real, link)) GTEST_SKIP() << "no symbolic links here";
  Blob blob;
  blob.content = "new";
  ASSERT_TRUE(blob.save(link, nullptr, 0, 0));
  EXPECT_TRUE(QFileInfo(link).isSymLink());
  EXPECT_EQ(readFile(real), "new");
}

TEST_F(ObjectFile, LoadOfMissingFileNamesIt) {
  const QString name = path("absent.trafo");
  Blob blob;
  blob.content = "unchanged";
  ErrorLog log;
  EXPECT_FALSE(blob.load(name, &log, 0, 0));
  ASSERT_EQ(log.getEntries().size(), 1);
  EXPECT_TRUE(log.getEntries()[0].contains(QDir::toNativeSeparators(name)));
  EXPECT_EQ(blob.content, "unchanged");
  EXPECT_TRUE(blob.getFileName().isEmpty());

  EXPECT_FALSE(blob.load(name, nullptr, 0, 0));   // no log: same result
  EXPECT_FALSE(blob.load(dirPath(), &log, 0, 0));  // a directory is no file
  EXPECT_FALSE(blob.load(QString(), &log, 0, 0));
  EXPECT_EQ(log.getEntries().size(), 3);
  EXPECT_EQ(blob.content, "unchanged");
}

// Records the order in which the default loadStream/saveStream call the hooks.
class Hooked : public Zem::Object {
 public:
  Hooked() : Object(QStringLiteral("Hooked")) {}
  bool loadStreamHeader(std::istream*, ErrorLog*) override { return note("LSH"); }
  bool loadHeader(std::istream*, ErrorLog*) override { return note("LH"); }
  bool loadData(std::istream*, ErrorLog*, int a, int b) override { return note("LD" + QString::number(a + b)); }
  bool saveStreamHeader(std::ostream* out, ErrorLog*) override { *out << "H"; return note("SSH"); }
  bool saveHeader(std::ostream*, ErrorLog*) override { return note("SH"); }
  bool saveData(std::ostream* out, ErrorLog*, int a, int b) override { *out << "D"; return note("SD" + QString::number(a + b)); }

  QStringList calls;
  QString failAt;

 private:
  bool note(const QString& call) {
    calls << call;
    return call != failAt;
  }
};

TEST_F(ObjectFile, DefaultStreamsCallTheHooksInOrder) {
  Zem::Object plain(QStringLiteral("plain"));
  EXPECT_EQ(plain.getName(), "plain");
  EXPECT_TRUE(plain.getFileNameExtension().isEmpty());
  EXPECT_STREQ(plain.getMagicKey(), "");
  ASSERT_TRUE(plain.save(path("plain.bin"), nullptr, 0, 0));
  EXPECT_EQ(QFileInfo(path("plain.bin")).size(), 0);
  EXPECT_TRUE(plain.load(path("plain.bin"), nullptr, 0, 0));

  Hooked hooked;
  ASSERT_TRUE(hooked.save(path("hooked.bin"), nullptr, 1, 2));
  EXPECT_EQ(readFile(path("hooked.bin")), "HD");
  ASSERT_TRUE(hooked.load(path("hooked.bin"), nullptr, 3, 4));
  EXPECT_EQ(hooked.calls, QStringList({"SSH", "SH", "SD3", "LSH", "LH", "LD7"}));

  hooked.calls.clear();
  hooked.failAt = "SH";
  EXPECT_FALSE(hooked.save(path("hooked.bin"), nullptr, 1, 2));
  EXPECT_EQ(hooked.calls, QStringList({"SSH", "SH"}));
  EXPECT_EQ(readFile(path("hooked.bin")), "HD");
}

class Listener : public Zem::TObject {
 public:
  explicit Listener(const QString& name) : TObject(name) {}
  void handleNotifications(TObject* sender, int what) override {
    heard << sender->getName() + ":" + QString::number(what);
    if (dropSibling && getParent()) getParent()->deregisterChild(dropSibling);
  }
  QStringList heard;
  TObject* dropSibling = nullptr;
};

TEST(ObjectNotifications, ChildrenHearTheirParent) {
  Zem::TObject parent(QStringLiteral("P"));
  Listener a(QStringLiteral("a"));
  auto b = std::make_unique<Listener>(QStringLiteral("b"));
  parent.registerChild(&a);
  parent.registerChild(b.get());
  parent.registerChild(&a);  // repeated: ignored
  parent.registerChild(nullptr);
  parent.registerChild(&parent);
  ASSERT_EQ(parent.getChildren().size(), 2u);
  EXPECT_EQ(a.getParent(), &parent);

  parent.sendNotifications(5);
  EXPECT_EQ(a.heard, QStringList({"P:5"}));
  EXPECT_EQ(b->heard, QStringList({"P:5"}));

  // A handler removing a later sibling: that sibling is not reached.
  a.dropSibling = b.get();
  parent.sendNotifications(6);
  EXPECT_EQ(b->heard, QStringList({"P:5"}));
  EXPECT_EQ(b->getParent(), nullptr);
  a.dropSibling = nullptr;

  // Destroying a child deregisters it; moving a child to another parent
  // takes it from the first.
  parent.registerChild(b.get());
  b.reset();
  EXPECT_EQ(parent.getChildren().size(), 1u);
  {
    Zem::TObject other(QStringLiteral("O"));
    other.registerChild(&a);
    EXPECT_TRUE(parent.getChildren().empty());
    other.sendNotifications(1);
    EXPECT_EQ(a.heard.back(), "O:1");
  }
  EXPECT_EQ(a.getParent(), nullptr);  // the parent's destruction released it
}

}  // namespace
