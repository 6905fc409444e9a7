// Persisted objects: a named object with notifications (TObject) and the
// base of objects stored in files (Object).
#ifndef ZEM_OBJECT_H
#define ZEM_OBJECT_H

#include <QString>

#include <iosfwd>
#include <vector>

namespace Zem {

class ErrorLog;

/// A named object that can pass notifications to the objects registered
/// with it as its children. Children are not owned: registration is a
/// weak link that either side's destructor undoes, so neither is left with
/// a dangling pointer. Not synchronised; one thread at a time.
class TObject {
 public:
  explicit TObject(const QString& name);
  virtual ~TObject();

  /// Tells every registered child about a change of this object, by calling
  /// the child's `handleNotifications(this, what)`. Children registered or
  /// removed by a handler take effect from the next notification on.
  virtual void sendNotifications(int what = 0);
  /// Reacts to a notification of `sender`; the default does nothing.
  virtual void handleNotifications(TObject* sender, int what);
  /// Registers `child` to receive this object's notifications. A child has
  /// one parent: registering it here removes it from its previous parent.
  /// Null, this object itself and repeated registration are ignored.
  virtual void registerChild(TObject* child);
  /// Removes `child`; a child that is not registered here is ignored.
  virtual void deregisterChild(TObject* child);

  const QString& getName() const { return name_; }
  void setName(const QString& name) { name_ = name; }
  /// The object this one is registered with, or null.
  TObject* getParent() const { return parent_; }
  const std::vector<TObject*>& getChildren() const { return children_; }

 protected:
  /// Copies the name only: the copy starts without parent and children.
  TObject(const TObject& other);
  /// Takes over the name only; parent and children stay as they are.
  TObject& operator=(const TObject& other);

 private:
  QString name_;
  TObject* parent_ = nullptr;
  std::vector<TObject*> children_;
};

/// Base of the objects that are stored in files. A derived class supplies
/// its stream format by overriding `loadStream` and `saveStream` (or, when
/// it keeps the default ones, the header and data hooks, which those call in
/// turn); `load` and `save` handle the file.
///
/// Every `ErrorLog*` may be null: the result is the same, only no entry is
/// written. The two integers of the load and save operations are passed
/// along unchanged; their meaning belongs to the derived class.
class Object : public TObject {
 public:
  explicit Object(const QString& name);
  ~Object() override;

  /// The file last loaded from or saved to successfully (or set by
  /// `setFileName`); empty at first.
  virtual QString getFileName() const;
  virtual void setFileName(const QString& fileName);
  /// Extension of this kind of file with the leading point, e.g. ".trafo";
  /// empty by default.
  virtual QString getFileNameExtension() const;
  /// The type text of this kind of stream; empty by default.
  virtual const char* getMagicKey() const;

  /// Reads the object from `in`. The default calls `loadStreamHeader`,
  /// `loadHeader` and `loadData` in turn and stops at the first false.
  virtual bool loadStream(std::istream* in, ErrorLog* log, int a, int b);
  /// Writes the object to `out`. The default calls `saveStreamHeader`,
  /// `saveHeader` and `saveData` in turn and stops at the first false.
  virtual bool saveStream(std::ostream* out, ErrorLog* log, int a, int b);

  /// Opens `fileName` for binary reading and calls `loadStream`. A file that
  /// cannot be opened gives false and one log entry naming it. On success
  /// the name becomes the object's file name.
  virtual bool load(const QString& fileName, ErrorLog* log, int a, int b);
  /// Writes the object to `fileName` through `saveStream`, safely: the data
  /// goes to a new file beside the target, is flushed to disk, and replaces
  /// the target only when `saveStream` and every write succeeded. A failed
  /// save (false from `saveStream`, a write error, an exception) leaves an
  /// existing file byte for byte as it was and no temporary file behind.
  /// A file that cannot be created or written (a full disk, a file size
  /// limit) gives false and one log entry naming it, in place of whatever
  /// `saveStream` logged about the failed writes; any other failure of
  /// `saveStream` is reported by `saveStream` itself. An exception from
  /// `saveStream` passes to the caller. On success the name becomes the
  /// object's file name.
  virtual bool save(const QString& fileName, ErrorLog* log, int a, int b);

  /// Hooks of the default `loadStream`/`saveStream`. Each default does
  /// nothing and returns true.
  virtual bool loadStreamHeader(std::istream* in, ErrorLog* log);
  virtual bool saveStreamHeader(std::ostream* out, ErrorLog* log);
  virtual bool loadHeader(std::istream* in, ErrorLog* log);
  virtual bool saveHeader(std::ostream* out, ErrorLog* log);
  virtual bool loadData(std::istream* in, ErrorLog* log, int a, int b);
  virtual bool saveData(std::ostream* out, ErrorLog* log, int a, int b);

 protected:
  /// Copies name and file name; see TObject.
  Object(const Object& other) = default;
  Object& operator=(const Object& other) = default;

 private:
  QString fileName_;
};

}  // namespace Zem

#endif  // ZEM_OBJECT_H
