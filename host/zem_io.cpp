// Block streams. The byte layout is documented in docs/stream-format.md; the
// constants below must agree with it.
#include "zem_io.h"

#include <QByteArray>
#include <QStringDecoder>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>

namespace Zem {
namespace IO {

namespace {

// --------------------------------------------------------------- layout

// Stream magic: a byte outside ASCII first (a text file never starts like
// this), then "ZBS", then CR LF, Ctrl-Z and LF, which reveal any text-mode
// translation on the way (the same trick PNG uses).
constexpr unsigned char kMagic[8] = {0x89, 'Z', 'B', 'S', '\r', '\n', 0x1A, '\n'};
// Revision of the container layout itself (not the stream's own version).
constexpr std::uint16_t kFormatRevision = 1;

constexpr unsigned char kBlockTag = 'B';
constexpr unsigned char kEndTag = 'E';

// Block frame: tag(1) id(4) version(4) length(8) header-CRC(4), then the
// content, then the content CRC(4).
constexpr std::size_t kBlockLengthOffset = 9;
constexpr std::size_t kBlockHeaderCrcOffset = 17;
constexpr std::size_t kBlockHeaderSize = 21;
constexpr std::size_t kBlockTrailerSize = 4;
// End record: tag(1) count of outermost blocks(8) CRC(4).
constexpr std::size_t kEndRecordSize = 13;

// Content of an outermost block is read in pieces of this size, so that a
// damaged length field costs at most one piece of memory beyond the data
// that is actually there.
constexpr std::size_t kReadChunk = 64 * 1024;

std::uint32_t crc32Of(const unsigned char* bytes, std::size_t count) {
  return static_cast<std::uint32_t>(crc32_z(crc32(0L, Z_NULL, 0), bytes, count));
}

// Fuzzing builds accept any checksum, so that the fuzzer reaches the parsing
// behind it; the parsing must be safe for any bytes anyway, since a checksum
// is no defence against deliberately crafted data.
bool checksumMatches(std::uint32_t stored, std::uint32_t computed) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  (void)stored;
  (void)computed;
  return true;
#else
  return stored == computed;
#endif
}

void putLittleEndian(unsigned char* bytes, std::uint64_t value, unsigned byteCount) {
  for (unsigned i = 0; i < byteCount; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t getLittleEndian(const unsigned char* bytes, unsigned byteCount) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < byteCount; ++i) value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  return value;
}

// Strict UTF-8 decoding: false for malformed input. A leading byte-order mark
// is kept as U+FEFF, so that every text reads back as written.
bool decodeUtf8(const unsigned char* bytes, std::size_t count, QString* text) {
  QStringDecoder decoder(QStringDecoder::Utf8,
                         QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
  QString decoded = decoder.decode(QByteArrayView(reinterpret_cast<const char*>(bytes),
                                                  static_cast<qsizetype>(count)));
  if (decoder.hasError()) return false;
  *text = std::move(decoded);
  return true;
}

[[noreturn]] void throwProgError(const char* className, const char* function, unsigned line, const char* text) {
  const std::string where = std::string("Zem::IO::") + className + "::" + function;
  throw ProgError(where.c_str(), __FILE__, line, text);
}

}  // namespace

// ------------------------------------------------------------ exception

StreamException::StreamException(const QString& text)
    : Exception("Zem::IO::StreamException", __FILE__, __LINE__, text) {}

StreamException::StreamException(const char* function, const char* file, unsigned line, const QString& text)
    : Exception(function, file, line, text) {}

// ------------------------------------------------------------ OutStream

OutStream::OutStream(std::ostream* out, const QString& type, unsigned version)
    : Stream(type, version), out_(out) {
  if (!out_) throwProgError("OutStream", __func__, __LINE__, "no output stream");
  const QByteArray typeBytes = type.toUtf8();
  if (static_cast<std::size_t>(typeBytes.size()) > kMaxTypeBytes)
    throwProgError("OutStream", __func__, __LINE__, "stream type text too long");

  std::string header(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
  unsigned char field[4];
  putLittleEndian(field, kFormatRevision, 2);
  header.append(reinterpret_cast<const char*>(field), 2);
  putLittleEndian(field, static_cast<std::uint64_t>(typeBytes.size()), 2);
  header.append(reinterpret_cast<const char*>(field), 2);
  header.append(typeBytes.constData(), static_cast<std::size_t>(typeBytes.size()));
  putLittleEndian(field, version, 4);
  header.append(reinterpret_cast<const char*>(field), 4);
  putLittleEndian(field, crc32Of(reinterpret_cast<const unsigned char*>(header.data()), header.size()), 4);
  header.append(reinterpret_cast<const char*>(field), 4);
  writeToStream(header.data(), header.size(), __func__);
}

OutStream::~OutStream() {
  if (finished_ || failed_ || !openBlocks_.empty()) return;
  try {
    finish();
  } catch (...) {
    // A destructor cannot report; the std::ostream keeps its error state.
  }
}

void OutStream::beginBlock(unsigned id, unsigned version) {
  requireUsable(__func__);
  if (finished_) throwProgError("OutStream", __func__, __LINE__, "stream already finished");
  openBlocks_.push_back(buffer_.size());
  unsigned char header[kBlockHeaderSize] = {};
  header[0] = kBlockTag;
  putLittleEndian(header + 1, id, 4);
  putLittleEndian(header + 5, version, 4);
  // Length and header checksum are filled in by endBlock.
  append(header, sizeof header);
}

void OutStream::endBlock() {
  requireUsable(__func__);
  requireOpenBlock(__func__);
  const std::size_t frame = openBlocks_.back();
  openBlocks_.pop_back();
  const std::size_t contentStart = frame + kBlockHeaderSize;
  const std::size_t length = buffer_.size() - contentStart;

  auto* bytes = reinterpret_cast<unsigned char*>(&buffer_[0]);
  putLittleEndian(bytes + frame + kBlockLengthOffset, length, 8);
  putLittleEndian(bytes + frame + kBlockHeaderCrcOffset, crc32Of(bytes + frame, kBlockHeaderCrcOffset), 4);
  unsigned char trailer[kBlockTrailerSize];
  putLittleEndian(trailer, crc32Of(bytes + contentStart, length), 4);
  append(trailer, sizeof trailer);

  if (openBlocks_.empty()) {
    writeToStream(buffer_.data(), buffer_.size(), __func__);
    buffer_.clear();
    ++outermostBlocks_;
  }
}

void OutStream::finish() {
  if (finished_) return;
  requireUsable(__func__);
  if (!openBlocks_.empty()) throwProgError("OutStream", __func__, __LINE__, "a block is still open");
  unsigned char record[kEndRecordSize];
  record[0] = kEndTag;
  putLittleEndian(record + 1, outermostBlocks_, 8);
  putLittleEndian(record + 9, crc32Of(record, 9), 4);
  writeToStream(reinterpret_cast<const char*>(record), sizeof record, __func__);
  finished_ = true;
}

void OutStream::writeDouble(double value) {
  requireUsable(__func__);
  requireOpenBlock(__func__);
  std::uint64_t bits;
  static_assert(sizeof bits == sizeof value, "double must be IEEE-754 binary64");
  std::memcpy(&bits, &value, sizeof bits);
  appendLittleEndian(bits, 8);
}

void OutStream::writeBool(bool value) {
  requireUsable(__func__);
  requireOpenBlock(__func__);
  appendLittleEndian(value ? 1 : 0, 1);
}

void OutStream::writeInt32(std::int32_t value) {
  requireUsable(__func__);
  requireOpenBlock(__func__);
  appendLittleEndian(static_cast<std::uint32_t>(value), 4);
}

void OutStream::writeUInt32(std::uint32_t value) {
  requireUsable(__func__);
  requireOpenBlock(__func__);
  appendLittleEndian(value, 4);
}

void OutStream::writeString(const QString& text) {
  requireUsable(__func__);
  requireOpenBlock(__func__);
  const QByteArray bytes = text.toUtf8();
  if (static_cast<std::uint64_t>(bytes.size()) > std::numeric_limits<std::uint32_t>::max())
    throwProgError("OutStream", __func__, __LINE__, "text too long");
  appendLittleEndian(static_cast<std::uint64_t>(bytes.size()), 4);
  append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void OutStream::append(const void* bytes, std::size_t count) {
  buffer_.append(static_cast<const char*>(bytes), count);
}

void OutStream::appendLittleEndian(std::uint64_t value, unsigned byteCount) {
  unsigned char bytes[8];
  putLittleEndian(bytes, value, byteCount);
  append(bytes, byteCount);
}

void OutStream::requireOpenBlock(const char* function) const {
  if (openBlocks_.empty()) throwProgError("OutStream", function, __LINE__, "no block is open");
}

void OutStream::requireUsable(const char* function) const {
  if (failed_)
    throw StreamException((std::string("Zem::IO::OutStream::") + function).c_str(), __FILE__, __LINE__,
                          translate("IO_err", "stream unusable after an earlier error"));
}

// Writes and flushes; a stream that reports failbit or badbit, before or
// after, is a write error. Flushing after every outermost block makes a full
// disk show up at the block that did not fit rather than at some later call.
void OutStream::writeToStream(const char* bytes, std::size_t count, const char* function) {
  bool ok = false;
  try {
    if (out_->good()) {
      out_->write(bytes, static_cast<std::streamsize>(count));
      out_->flush();
      ok = !out_->fail();  // fail() covers badbit too
    }
  } catch (const std::ios_base::failure&) {
    ok = false;  // the stream was told to throw; report it our way
  }
  if (!ok) fail(function, __LINE__, translate("IO_err", "stream write error"));
}

void OutStream::fail(const char* function, unsigned line, const QString& text) {
  failed_ = true;
  throw StreamException((std::string("Zem::IO::OutStream::") + function).c_str(), __FILE__, line, text);
}

// ------------------------------------------------------------- InStream

InStream::InStream(std::istream* in) : in_(in) {
  if (!in_) throwProgError("InStream", __func__, __LINE__, "no input stream");
  readHeader();
}

InStream::~InStream() = default;

void InStream::readHeader() {
  // magic(8) revision(2) type length(2) type(n) version(4) CRC(4)
  unsigned char fixed[12];
  // The magic first, on its own: a short foreign file is "not a block
  // stream" rather than a truncated one.
  std::size_t got = 0;
  try {
    in_->read(reinterpret_cast<char*>(fixed), sizeof kMagic);
    got = static_cast<std::size_t>(in_->gcount());
  } catch (const std::ios_base::failure&) {
    got = static_cast<std::size_t>(in_->gcount());
  }
  if (std::memcmp(fixed, kMagic, got) != 0)
    fail("InStream", __LINE__, translate("IO_err", "not a block stream (wrong magic value)"));
  if (got < sizeof kMagic) {
    if (in_->bad()) fail("InStream", __LINE__, translate("IO_err", "stream read error"));
    fail("InStream", __LINE__, translate("IO_err", "stream ended unexpectedly"));
  }
  readExactly(fixed + sizeof kMagic, sizeof fixed - sizeof kMagic, "InStream");
  const auto typeLength = static_cast<std::size_t>(getLittleEndian(fixed + 10, 2));
  if (typeLength > OutStream::kMaxTypeBytes)
    fail("InStream", __LINE__, translate("IO_err", "stream header is corrupt"));

  std::vector<unsigned char> header(fixed, fixed + sizeof fixed);
  header.resize(sizeof fixed + typeLength + 8);
  readExactly(header.data() + sizeof fixed, typeLength + 8, "InStream");
  const std::size_t crcOffset = header.size() - 4;
  if (!checksumMatches(static_cast<std::uint32_t>(getLittleEndian(header.data() + crcOffset, 4)),
                       crc32Of(header.data(), crcOffset)))
    fail("InStream", __LINE__, translate("IO_err", "stream header checksum mismatch"));
  // Checked after the checksum: a damaged revision field is reported as damage.
  if (getLittleEndian(fixed + 8, 2) != kFormatRevision)
    fail("InStream", __LINE__, translate("IO_err", "unsupported block stream format revision"));
  if (!decodeUtf8(header.data() + sizeof fixed, typeLength, &type_))
    fail("InStream", __LINE__, translate("IO_err", "stream header is corrupt"));
  version_ = static_cast<unsigned>(getLittleEndian(header.data() + sizeof fixed + typeLength, 4));
}

// Reads the record that follows at the outermost level: the frame of the next
// block (kept until openBlock reads its content) or the end record, after
// which nothing may follow.
void InStream::readNextRecord() {
  unsigned char record[kBlockHeaderSize];
  readExactly(record, 1, __func__);
  if (record[0] == kBlockTag) {
    readExactly(record + 1, kBlockHeaderSize - 1, __func__);
    if (!checksumMatches(static_cast<std::uint32_t>(getLittleEndian(record + kBlockHeaderCrcOffset, 4)),
                         crc32Of(record, kBlockHeaderCrcOffset)))
      fail(__func__, __LINE__, translate("IO_err", "block header checksum mismatch"));
    pendingId_ = static_cast<unsigned>(getLittleEndian(record + 1, 4));
    pendingVersion_ = static_cast<unsigned>(getLittleEndian(record + 5, 4));
    pendingLength_ = getLittleEndian(record + kBlockLengthOffset, 8);
    next_ = Next::Block;
  } else if (record[0] == kEndTag) {
    readExactly(record + 1, kEndRecordSize - 1, __func__);
    if (!checksumMatches(static_cast<std::uint32_t>(getLittleEndian(record + 9, 4)), crc32Of(record, 9)))
      fail(__func__, __LINE__, translate("IO_err", "end-of-stream record checksum mismatch"));
    if (getLittleEndian(record + 1, 8) != outermostBlocks_)
      fail(__func__, __LINE__, translate("IO_err", "number of blocks in the stream does not match its end record"));
    bool atEof = false;
    try {
      atEof = std::istream::traits_type::eq_int_type(in_->peek(), std::istream::traits_type::eof());
    } catch (const std::ios_base::failure&) {
      atEof = true;  // a stream told to throw at its end; an error is told apart below
    }
    if (in_->bad()) fail(__func__, __LINE__, translate("IO_err", "stream read error"));
    if (!atEof) fail(__func__, __LINE__, translate("IO_err", "data after the end of the stream"));
    next_ = Next::End;
  } else {
    fail(__func__, __LINE__, translate("IO_err", "invalid record in the stream"));
  }
}

void InStream::openBlock() {
  requireUsable(__func__);
  if (levels_.empty())
    openOutermostBlock();
  else
    openNestedBlock();
}

void InStream::openOutermostBlock() {
  if (next_ == Next::Unknown) readNextRecord();
  if (next_ == Next::End) fail(__func__, __LINE__, translate("IO_err", "no further block in the stream"));

  // The length is not trusted: the content is read piece by piece, so memory
  // grows only with data that is really there.
  if (pendingLength_ > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max() / 2))
    fail(__func__, __LINE__, translate("IO_err", "block length is invalid"));
  const auto length = static_cast<std::size_t>(pendingLength_);
  block_.clear();
  while (block_.size() < length) {
    const std::size_t piece = std::min(kReadChunk, length - block_.size());
    const std::size_t start = block_.size();
    block_.resize(start + piece);
    readExactly(block_.data() + start, piece, __func__);
  }
  unsigned char trailer[kBlockTrailerSize];
  readExactly(trailer, sizeof trailer, __func__);
  if (!checksumMatches(static_cast<std::uint32_t>(getLittleEndian(trailer, 4)), crc32Of(block_.data(), length)))
    fail(__func__, __LINE__, translate("IO_err", "block checksum mismatch"));

  pos_ = 0;
  levels_.push_back(Level{pendingId_, pendingVersion_, length, length});
  next_ = Next::Unknown;
  ++outermostBlocks_;
}

void InStream::openNestedBlock() {
  const Level& outer = levels_.back();
  const std::size_t available = outer.contentEnd - pos_;
  if (available < kBlockHeaderSize + kBlockTrailerSize)
    fail(__func__, __LINE__, translate("IO_err", "read past the end of the block"));
  const unsigned char* frame = block_.data() + pos_;
  if (frame[0] != kBlockTag) fail(__func__, __LINE__, translate("IO_err", "invalid record in the stream"));
  if (!checksumMatches(static_cast<std::uint32_t>(getLittleEndian(frame + kBlockHeaderCrcOffset, 4)),
                       crc32Of(frame, kBlockHeaderCrcOffset)))
    fail(__func__, __LINE__, translate("IO_err", "block header checksum mismatch"));
  const std::uint64_t length = getLittleEndian(frame + kBlockLengthOffset, 8);
  if (length > available - kBlockHeaderSize - kBlockTrailerSize)
    fail(__func__, __LINE__, translate("IO_err", "block length exceeds the enclosing block"));

  const std::size_t contentStart = pos_ + kBlockHeaderSize;
  const std::size_t contentEnd = contentStart + static_cast<std::size_t>(length);
  // Already covered by the enclosing block's checksum; checked anyway so that
  // every block is verified the same way wherever it sits.
  if (!checksumMatches(static_cast<std::uint32_t>(getLittleEndian(block_.data() + contentEnd, 4)),
                       crc32Of(block_.data() + contentStart, contentEnd - contentStart)))
    fail(__func__, __LINE__, translate("IO_err", "block checksum mismatch"));

  levels_.push_back(Level{static_cast<unsigned>(getLittleEndian(frame + 1, 4)),
                          static_cast<unsigned>(getLittleEndian(frame + 5, 4)), contentEnd,
                          contentEnd + kBlockTrailerSize});
  pos_ = contentStart;
}

unsigned InStream::getBlockId() const {
  requireOpenBlock(__func__);
  return levels_.back().id;
}

unsigned InStream::getBlockVersion() const {
  requireOpenBlock(__func__);
  return levels_.back().version;
}

void InStream::closeBlock() {
  requireUsable(__func__);
  requireOpenBlock(__func__);
  if (pos_ != levels_.back().contentEnd) fail(__func__, __LINE__, translate("IO_err", "block closed with unread data"));
  leaveBlock();
}

void InStream::skipBlock() {
  requireUsable(__func__);
  requireOpenBlock(__func__);
  leaveBlock();
}

void InStream::leaveBlock() {
  pos_ = levels_.back().frameEnd;
  levels_.pop_back();
  if (levels_.empty()) {
    block_.clear();
    pos_ = 0;
    // Look at what follows right away: a stream cut after this block, or
    // data after the end record, is reported when the last block is left
    // rather than never.
    readNextRecord();
  }
}

bool InStream::isBlockEnd() const { return getUnreadBlockBytes() == 0; }

std::uint64_t InStream::getUnreadBlockBytes() const {
  requireOpenBlock(__func__);
  return levels_.back().contentEnd - pos_;
}

bool InStream::isStreamEnd() {
  requireUsable(__func__);
  if (!levels_.empty()) return false;
  if (next_ == Next::Unknown) readNextRecord();
  return next_ == Next::End;
}

void InStream::readDouble(double* value) {
  if (!value) throwProgError("InStream", __func__, __LINE__, "null value pointer");
  const std::uint64_t bits = takeLittleEndian(8);
  std::memcpy(value, &bits, sizeof bits);
}

void InStream::readBool(bool* value) {
  if (!value) throwProgError("InStream", __func__, __LINE__, "null value pointer");
  const std::uint64_t byte = takeLittleEndian(1);
  if (byte > 1) fail(__func__, __LINE__, translate("IO_err", "invalid boolean value"));  // value left unchanged
  *value = byte != 0;
}

void InStream::readInt32(std::int32_t* value) {
  if (!value) throwProgError("InStream", __func__, __LINE__, "null value pointer");
  const auto bits = static_cast<std::uint32_t>(takeLittleEndian(4));
  std::memcpy(value, &bits, sizeof bits);  // two's complement, without implementation-defined casts
}

void InStream::readUInt32(std::uint32_t* value) {
  if (!value) throwProgError("InStream", __func__, __LINE__, "null value pointer");
  *value = static_cast<std::uint32_t>(takeLittleEndian(4));
}

void InStream::readString(QString* text) {
  if (!text) throwProgError("InStream", __func__, __LINE__, "null value pointer");
  const auto length = static_cast<std::size_t>(takeLittleEndian(4));
  // take() checks the length against the block before anything is allocated.
  const unsigned char* bytes = take(length);
  if (!decodeUtf8(bytes, length, text)) fail(__func__, __LINE__, translate("IO_err", "invalid text value"));
}

const unsigned char* InStream::take(std::size_t count) {
  requireUsable(__func__);
  requireOpenBlock(__func__);
  if (levels_.back().contentEnd - pos_ < count)
    fail(__func__, __LINE__, translate("IO_err", "read past the end of the block"));
  const unsigned char* bytes = block_.data() + pos_;
  pos_ += count;
  return bytes;
}

std::uint64_t InStream::takeLittleEndian(unsigned byteCount) { return getLittleEndian(take(byteCount), byteCount); }

void InStream::readExactly(void* bytes, std::size_t count, const char* function) {
  std::size_t got = 0;
  try {
    in_->read(static_cast<char*>(bytes), static_cast<std::streamsize>(count));
    got = static_cast<std::size_t>(in_->gcount());
  } catch (const std::ios_base::failure&) {
    // The stream was told to throw. Its end is still an end, not an error.
    if (in_->bad()) fail(function, __LINE__, translate("IO_err", "stream read error"));
    got = static_cast<std::size_t>(in_->gcount());
  }
  if (got == count) return;
  if (in_->bad()) fail(function, __LINE__, translate("IO_err", "stream read error"));
  fail(function, __LINE__, translate("IO_err", "stream ended unexpectedly"));
}

void InStream::requireOpenBlock(const char* function) const {
  if (levels_.empty()) throwProgError("InStream", function, __LINE__, "no block is open");
}

void InStream::requireUsable(const char* function) const {
  if (failed_)
    throw StreamException((std::string("Zem::IO::InStream::") + function).c_str(), __FILE__, __LINE__,
                          translate("IO_err", "stream unusable after an earlier error"));
}

void InStream::fail(const char* function, unsigned line, const QString& text) {
  failed_ = true;
  throw StreamException((std::string("Zem::IO::InStream::") + function).c_str(), __FILE__, line, text);
}

}  // namespace IO
}  // namespace Zem
