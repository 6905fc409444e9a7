// Block streams: typed, versioned binary streams made of nested, checksummed
// blocks. The byte layout is described in docs/stream-format.md.
//
// Writing:
//   Zem::IO::OutStream out(&file, "MY-TYPE", 1);
//   out.beginBlock(42, 1);
//   out.writeDouble(x);
//   out.endBlock();
//   out.finish();            // or let the destructor do it (errors then go unreported)
//
// Reading mirrors it: InStream, openBlock, readDouble, closeBlock. Every fault
// in the data (truncation, a changed byte, a read beyond a block, a bad value)
// throws StreamException; after the first such fault the stream object
// refuses all further work. Calling the operations in an impossible order
// (reading without an open block, closing a block that is not open) is a
// programming error and throws ProgError.
#ifndef ZEM_IO_H
#define ZEM_IO_H

#include "zem_base.h"

#include <QString>

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace Zem {
namespace IO {

/// A fault of a stream: damaged, truncated or malformed data, or an I/O error
/// of the underlying std::istream/std::ostream. Thrown by value, caught by
/// reference. The text is translated (context "IO_err").
class StreamException : public Zem::Exception {
 public:
  explicit StreamException(const QString& text);
  /// With the place of the throw, as the stream classes report it.
  StreamException(const char* function, const char* file, unsigned line, const QString& text);
};

/// What reading and writing streams share: the stream's type text and version.
class Stream {
 public:
  /// True when the stream's type text equals `type` exactly.
  bool isOfType(const QString& type) const { return type_ == type; }
  unsigned getVersion() const { return version_; }
  const QString& getType() const { return type_; }

 protected:
  Stream() = default;
  Stream(const QString& type, unsigned version) : type_(type), version_(version) {}
  ~Stream() = default;

  QString type_;
  unsigned version_ = 0;
};

/// Writes a block stream. Works on any std::ostream, seekable or not: each
/// outermost block is assembled in memory and written once its endBlock is
/// called. The stream is complete only after finish() (called by the
/// destructor if it has not been called); a reader rejects a stream without
/// its end record as truncated.
class OutStream : public Stream {
 public:
  /// Writes the stream header. `type` is stored as UTF-8 and may be at most
  /// kMaxTypeBytes bytes long (ProgError otherwise). Throws StreamException
  /// when the header cannot be written.
  OutStream(std::ostream* out, const QString& type, unsigned version);
  /// Calls finish() when every block was ended and no error occurred;
  /// swallows its errors (the std::ostream keeps its error state). With a
  /// block still open nothing more is written, so the stream reads back as
  /// truncated rather than as shorter valid data.
  ~OutStream();

  OutStream(const OutStream&) = delete;
  OutStream& operator=(const OutStream&) = delete;

  /// Starts a block inside the current one (or at the outermost level).
  void beginBlock(unsigned id, unsigned version);
  /// Ends the innermost open block. Ending an outermost block writes it to the
  /// std::ostream and flushes it.
  void endBlock();
  /// Writes the end record and flushes. All blocks must have been ended.
  /// Calling it again does nothing.
  void finish();

  /// Number of blocks currently open (0 = between outermost blocks).
  unsigned getBlockDepth() const { return static_cast<unsigned>(openBlocks_.size()); }

  // Values go into the innermost open block (ProgError without one).
  void writeDouble(double value);      // IEEE-754 binary64, little-endian, bit for bit
  void writeBool(bool value);          // one byte, 0 or 1
  void writeInt32(std::int32_t value); // two's complement, little-endian
  void writeUInt32(std::uint32_t value);
  void writeString(const QString& text);  // uint32 byte count, then UTF-8

  /// Longest type text, in UTF-8 bytes.
  static constexpr unsigned kMaxTypeBytes = 1024;

 private:
  void append(const void* bytes, std::size_t count);
  void appendLittleEndian(std::uint64_t value, unsigned byteCount);
  void requireOpenBlock(const char* function) const;
  void requireUsable(const char* function) const;
  void writeToStream(const char* bytes, std::size_t count, const char* function);
  [[noreturn]] void fail(const char* function, unsigned line, const QString& text);

  std::ostream* out_;
  std::string buffer_;                    // the outermost open block, being assembled
  std::vector<std::size_t> openBlocks_;   // offset of each open block's frame in buffer_
  std::uint64_t outermostBlocks_ = 0;     // outermost blocks written so far
  bool finished_ = false;
  bool failed_ = false;
};

/// Reads a block stream written by OutStream. The std::istream need not be
/// seekable. Each outermost block is read whole when it is opened and its
/// checksum verified; nested blocks are then taken from memory.
class InStream : public Stream {
 public:
  /// Reads and checks the stream header; throws StreamException on any fault.
  explicit InStream(std::istream* in);
  ~InStream();

  InStream(const InStream&) = delete;
  InStream& operator=(const InStream&) = delete;

  /// Enters the next block, inside the innermost open block or at the
  /// outermost level, after checking its frame and checksum.
  void openBlock();
  /// Id and version of the innermost open block (ProgError without one).
  unsigned getBlockId() const;
  unsigned getBlockVersion() const;
  /// Leaves the innermost open block; all of its content must have been read.
  /// Leaving an outermost block also reads the next record, so that data
  /// after the end record or a stream cut between blocks is noticed here.
  void closeBlock();
  /// Leaves the innermost open block, discarding whatever of it was not read
  /// (values and nested blocks alike).
  void skipBlock();

  /// Number of blocks currently open.
  unsigned getBlockDepth() const { return static_cast<unsigned>(levels_.size()); }
  /// True when the innermost open block has no unread content left.
  bool isBlockEnd() const;
  /// Unread content bytes of the innermost open block.
  std::uint64_t getUnreadBlockBytes() const;
  /// True when no block is open and the end record has been reached: no
  /// further block follows. May read ahead (and throw) to find out.
  bool isStreamEnd();

  void readDouble(double* value);
  void readBool(bool* value);          // a byte other than 0 or 1 throws
  void readInt32(std::int32_t* value);
  void readUInt32(std::uint32_t* value);
  void readString(QString* text);      // invalid UTF-8 throws

 private:
  struct Level {
    unsigned id;
    unsigned version;
    std::size_t contentEnd;  // offset in block_ where the block's content ends
    std::size_t frameEnd;    // offset after its checksum (for the outermost block: contentEnd)
  };
  enum class Next { Unknown, Block, End };

  void readHeader();
  void readNextRecord();
  void openOutermostBlock();
  void openNestedBlock();
  void leaveBlock();
  const unsigned char* take(std::size_t count);
  std::uint64_t takeLittleEndian(unsigned byteCount);
  void readExactly(void* bytes, std::size_t count, const char* function);
  void requireOpenBlock(const char* function) const;
  void requireUsable(const char* function) const;
  [[noreturn]] void fail(const char* function, unsigned line, const QString& text);

  std::istream* in_;
  std::vector<unsigned char> block_;  // content of the open outermost block
  std::size_t pos_ = 0;               // read position in block_
  std::vector<Level> levels_;
  Next next_ = Next::Unknown;         // what follows at the outermost level
  unsigned pendingId_ = 0;            // frame of the next outermost block, once read
  unsigned pendingVersion_ = 0;
  std::uint64_t pendingLength_ = 0;
  std::uint64_t outermostBlocks_ = 0; // outermost blocks opened so far
  bool failed_ = false;
};

}  // namespace IO
}  // namespace Zem

#endif  // ZEM_IO_H
