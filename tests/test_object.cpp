// Persisted-object base: load and save with their file handling; notifications.
// Write errors of the device itself are tested with a real record
// (test_trafo_io.cpp).
#include "test_util.h"
#include "zem_object.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <iterator>
#include <memory>
#include <stdexcept>

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

class ObjectFile : public ::testing::Test {
 protected:
  void SetUp() override {
    blob_.content = pattern(50000, 1);
    ASSERT_TRUE(blob_.save(name_, nullptr, 0, 0));
  }
  QTemporaryDir dir_;
  const QString name_ = dir_.filePath(QString::fromUtf8("Messung ä.bin"));
  Blob blob_;
};

// Failing saveStream over the existing file: its own entry passed on, the
// base's naming the file for a stream left bad, none when it throws. Then
// saves in a missing directory (a read-only one would not stop root), over a
// directory, onto a FIFO (also behind a symbolic link: no file to replace),
// and the load of a missing file, each with one entry naming the file or the
// reason.
TEST_F(ObjectFile, FailedSavesAndLoadsLeaveFilesAndObjectAsTheyWere) {
  const QByteArray previous = blob_.content;
  blob_.content = pattern(70000, 2);  // longer: a truncating write would show
  ASSERT_TRUE(QDir(dir_.path()).mkdir("sub"));
  const QString fifo = dir_.filePath("pipe.trafo"), link = dir_.filePath("link.trafo");
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  ASSERT_TRUE(QFile::link(fifo, link));
  const auto entries = [&] {
    return QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
  };
  const QStringList before = entries();
  using Failure = Blob::Failure;
  // entry: what the one log entry contains; empty: no entry.
  const struct { const char* name; Failure failure; QString file, entry; bool load = false; } cases[] = {
      {"saveStream returns false", Failure::ReturnFalse, name_, "blob could not be written"},
      {"saveStream throws", Failure::Throw, name_, QString()},
      {"saveStream leaves the stream bad", Failure::BadStream, name_, name_},
      {"save in a missing directory", Failure::None, dir_.filePath("no/t.bin"), dir_.filePath("no/t.bin")},
      {"save over a directory", Failure::None, dir_.filePath("sub"), dir_.filePath("sub")},
      {"save onto a FIFO", Failure::None, fifo, "not a regular file"},
      {"save onto a link to a FIFO", Failure::None, link, "not a regular file"},
      {"load of a missing file", Failure::None, dir_.filePath("absent.bin"), dir_.filePath("absent.bin"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    blob_.failure = c.failure;
    ErrorLog log;
    if (c.failure == Failure::Throw)
      EXPECT_THROW(blob_.save(c.file, &log, 0, 0), std::runtime_error);
    else if (c.load)
      EXPECT_FALSE(blob_.load(c.file, &log, 0, 0));
    else
      EXPECT_FALSE(blob_.save(c.file, &log, 0, 0));
    EXPECT_EQ(log.getEntries().size(), c.entry.isEmpty() ? 0 : 1);
    EXPECT_TRUE(log.getEntries().value(0).contains(c.entry)) << log.getEntries().value(0).toStdString();
    EXPECT_EQ(Zem::test::fileBytes(name_), previous.toStdString());
    EXPECT_EQ(entries(), before);  // no temporary left
    EXPECT_EQ(blob_.getFileName(), name_);
  }
  EXPECT_FALSE(QFileInfo(fifo).isFile());  // still the FIFO
  EXPECT_TRUE(QFileInfo(link).isSymLink());
}

// Saving over the file: the new content under the old permissions, which a
// load gives back.
TEST_F(ObjectFile, SaveReplacesTheContentKeepsThePermissionsAndLoadsBack) {
  ASSERT_TRUE(QFile::setPermissions(name_, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
  const QFileDevice::Permissions permissions = QFileInfo(name_).permissions();
  blob_.content = pattern(70000, 2);
  ASSERT_TRUE(blob_.save(name_, nullptr, 0, 0));
  EXPECT_EQ(Zem::test::fileBytes(name_), blob_.content.toStdString());
  EXPECT_EQ(QFileInfo(name_).permissions(), permissions);
  Blob loaded;
  ASSERT_TRUE(loaded.load(name_, nullptr, 0, 0));
  EXPECT_EQ(loaded.content, blob_.content);
  EXPECT_EQ(loaded.getFileName(), name_);
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
  EXPECT_TRUE(b->heard.isEmpty());
  EXPECT_EQ(b->getParent(), nullptr);
  parent.registerChild(b.get());
  a.dropSibling = nullptr;
  b.reset();  // destroying a child deregisters it
  parent.sendNotifications(7);
  EXPECT_EQ(a.heard, QStringList({"P:6", "P:7"}));
}

}  // namespace
