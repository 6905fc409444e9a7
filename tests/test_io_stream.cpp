// Block streams: round trips, the documented byte layout, and the rejection of
// every damaged, truncated or misused stream.
#include "zem_io.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLocale>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using Zem::ProgError;
using Zem::IO::InStream;
using Zem::IO::OutStream;
using Zem::IO::StreamException;

namespace {

std::uint64_t bitsOf(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double doubleFromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

QString ioText(const char* text) { return Zem::translate("IO_err", text); }

// CRC-32 (ISO-HDLC, as zlib computes it), written out independently so that
// the tests check the documented layout rather than the code under test.
std::uint32_t referenceCrc32(const std::string& bytes, std::size_t begin, std::size_t count) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = begin; i < begin + count; ++i) {
    crc ^= static_cast<unsigned char>(bytes[i]);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void putLE(std::string* bytes, std::size_t offset, std::uint64_t value, unsigned count) {
  for (unsigned i = 0; i < count; ++i) (*bytes)[offset + i] = static_cast<char>(value >> (8 * i));
}

std::string le(std::uint64_t value, unsigned count) {
  std::string bytes(count, '\0');
  putLE(&bytes, 0, value, count);
  return bytes;
}

// Doubles that a careless encoding would not carry through unchanged.
const std::vector<std::uint64_t>& awkwardDoubleBits() {
  static const std::vector<std::uint64_t> bits = {
      bitsOf(0.0),
      bitsOf(-0.0),
      bitsOf(1.0 / 3.0),
      bitsOf(std::numeric_limits<double>::denorm_min()),
      bitsOf(-std::numeric_limits<double>::denorm_min() * 12345.0),  // negative subnormal
      bitsOf(std::numeric_limits<double>::min()),
      bitsOf(std::numeric_limits<double>::max()),
      bitsOf(std::numeric_limits<double>::infinity()),
      bitsOf(-std::numeric_limits<double>::infinity()),
      0x7FF80000DEADBEEFull,  // quiet NaN with a payload
      0xFFF4000000000001ull,  // negative signalling NaN with a payload
  };
  return bits;
}

// The sample stream used by the damage tests: two outermost blocks, the first
// with values and two levels of nested blocks.
std::string writeSample() {
  std::ostringstream out;
  OutStream stream(&out, "IO-TEST", 3);
  stream.beginBlock(128, 1);
  for (std::uint64_t bits : awkwardDoubleBits()) stream.writeDouble(doubleFromBits(bits));
  stream.writeBool(true);
  stream.beginBlock(96, 1);
  stream.writeDouble(-2.5);
  stream.writeBool(false);
  stream.beginBlock(7, 2);
  stream.endBlock();
  stream.endBlock();
  stream.writeString(QStringLiteral("Zürich"));
  stream.writeInt32(-42);
  stream.endBlock();
  stream.beginBlock(258, 1);
  stream.writeBool(false);
  stream.endBlock();
  stream.finish();
  return out.str();
}

// Reads the sample as a loader would: every block opened and closed, every
// value read and compared, then the end of the stream required. Throws
// StreamException for any fault the stream notices and std::logic_error for
// data that passed but differs.
void walkSample(const std::string& bytes) {
  std::istringstream in(bytes);
  InStream stream(&in);
  auto expect = [](bool ok, const char* what) {
    if (!ok) throw std::logic_error(what);
  };
  expect(stream.isOfType("IO-TEST") && stream.getVersion() == 3, "header");
  double d;
  bool b;
  stream.openBlock();
  expect(stream.getBlockId() == 128 && stream.getBlockVersion() == 1, "block 128");
  for (std::uint64_t bits : awkwardDoubleBits()) {
    stream.readDouble(&d);
    expect(bitsOf(d) == bits, "double");
  }
  stream.readBool(&b);
  expect(b, "bool");
  stream.openBlock();
  expect(stream.getBlockId() == 96 && stream.getBlockVersion() == 1, "block 96");
  stream.readDouble(&d);
  expect(d == -2.5, "nested double");
  stream.readBool(&b);
  expect(!b, "nested bool");
  stream.openBlock();
  expect(stream.getBlockId() == 7 && stream.getBlockVersion() == 2 && stream.isBlockEnd(), "block 7");
  stream.closeBlock();
  stream.closeBlock();
  QString text;
  stream.readString(&text);
  expect(text == QStringLiteral("Zürich"), "string");
  std::int32_t i;
  stream.readInt32(&i);
  expect(i == -42, "int32");
  stream.closeBlock();
  stream.openBlock();
  expect(stream.getBlockId() == 258, "block 258");
  stream.readBool(&b);
  expect(!b, "last bool");
  stream.closeBlock();
  expect(stream.isStreamEnd(), "end");
}

template <typename F>
QString streamErrorText(F&& action) {
  try {
    action();
  } catch (const StreamException& e) {
    return e.getText();
  }
  return QStringLiteral("<no StreamException>");
}

// An output buffer without seeking that accepts `capacity` bytes and then
// refuses, like a full disk or a closed pipe.
class AppendOnlyBuffer : public std::streambuf {
 public:
  explicit AppendOnlyBuffer(std::size_t capacity = std::numeric_limits<std::size_t>::max()) : capacity_(capacity) {}
  const std::string& data() const { return data_; }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (data_.size() >= capacity_) return traits_type::eof();
    data_.push_back(traits_type::to_char_type(c));
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::size_t room = capacity_ - data_.size();
    const std::size_t count = std::min(room, static_cast<std::size_t>(n));
    data_.append(s, count);
    return static_cast<std::streamsize>(count);
  }

 private:
  std::size_t capacity_;
  std::string data_;
};

// An input buffer that serves `bytes` and then fails with an exception, like
// a read error of the device.
class FailingInputBuffer : public std::streambuf {
 public:
  explicit FailingInputBuffer(std::string bytes) : bytes_(std::move(bytes)) {
    setg(&bytes_[0], &bytes_[0], &bytes_[0] + bytes_.size());
  }

 protected:
  int_type underflow() override { throw std::runtime_error("device error"); }

 private:
  std::string bytes_;
};

// Length of the stream header for a type text of `typeBytes` bytes.
std::size_t headerSize(std::size_t typeBytes) { return 8 + 2 + 2 + typeBytes + 4 + 4; }
constexpr std::size_t kFrameHeader = 21;

}  // namespace

// ------------------------------------------------------------------ round trips

TEST(IoStreamRoundTrip, SampleReadsBackBitForBit) {
  const std::string bytes = writeSample();
  EXPECT_NO_THROW(walkSample(bytes));
}

TEST(IoStreamRoundTrip, AllValueKindsAndStreamProperties) {
  std::stringstream data;
  {
    OutStream out(&data, QStringLiteral("TYPE-ÄÖ"), 4000000000u);
    EXPECT_TRUE(out.isOfType(QStringLiteral("TYPE-ÄÖ")));
    EXPECT_EQ(out.getVersion(), 4000000000u);
    out.beginBlock(0xFFFFFFFFu, 0);
    out.writeInt32(std::numeric_limits<std::int32_t>::min());
    out.writeInt32(std::numeric_limits<std::int32_t>::max());
    out.writeUInt32(0xFFFFFFFFu);
    out.writeString(QString());
    out.writeString(QString(QChar(0xFEFF)) + QStringLiteral("x\u20AC") + QString(QChar(0)) + QStringLiteral("y"));
    EXPECT_EQ(out.getBlockDepth(), 1u);
    out.endBlock();
  }  // the destructor finishes the stream
  InStream in(&data);
  EXPECT_EQ(in.getType(), QStringLiteral("TYPE-ÄÖ"));
  EXPECT_FALSE(in.isOfType(QStringLiteral("TYPE-AO")));
  EXPECT_EQ(in.getVersion(), 4000000000u);
  EXPECT_FALSE(in.isStreamEnd());
  in.openBlock();
  EXPECT_EQ(in.getBlockId(), 0xFFFFFFFFu);
  EXPECT_EQ(in.getBlockVersion(), 0u);
  std::int32_t i = 0;
  in.readInt32(&i);
  EXPECT_EQ(i, std::numeric_limits<std::int32_t>::min());
  in.readInt32(&i);
  EXPECT_EQ(i, std::numeric_limits<std::int32_t>::max());
  std::uint32_t u = 0;
  in.readUInt32(&u);
  EXPECT_EQ(u, 0xFFFFFFFFu);
  QString text = QStringLiteral("old");
  in.readString(&text);
  EXPECT_TRUE(text.isEmpty());
  in.readString(&text);  // a leading byte-order mark and a NUL survive
  EXPECT_EQ(text, QString(QChar(0xFEFF)) + QStringLiteral("x\u20AC") + QString(QChar(0)) + QStringLiteral("y"));
  EXPECT_TRUE(in.isBlockEnd());
  in.closeBlock();
  EXPECT_TRUE(in.isStreamEnd());
  EXPECT_EQ(streamErrorText([&] { in.openBlock(); }), ioText("no further block in the stream"));
}

TEST(IoStreamRoundTrip, StreamWithoutBlocks) {
  std::stringstream data;
  { OutStream out(&data, QString(), 0); }
  InStream in(&data);
  EXPECT_TRUE(in.getType().isEmpty());
  EXPECT_TRUE(in.isStreamEnd());
}

// Pins the layout that docs/stream-format.md describes, byte for byte.
TEST(IoStreamRoundTrip, LayoutMatchesDocumentation) {
  std::ostringstream data;
  {
    OutStream out(&data, "AB", 7);
    out.beginBlock(0x01020304u, 9);
    out.writeDouble(1.0);
    out.writeBool(true);
    out.beginBlock(5, 6);
    out.endBlock();
    out.endBlock();
  }
  ASSERT_EQ(referenceCrc32("123456789", 0, 9), 0xCBF43926u);  // the standard CRC-32 check value
  std::string expected("\x89ZBS\r\n\x1A\n", 8);
  expected += le(1, 2) + le(2, 2) + "AB" + le(7, 4);
  expected += le(referenceCrc32(expected, 0, expected.size()), 4);

  std::string inner = "B" + le(5, 4) + le(6, 4) + le(0, 8);
  inner += le(referenceCrc32(inner, 0, 17), 4) + le(referenceCrc32("", 0, 0), 4);
  const std::string content = std::string("\0\0\0\0\0\0\xF0\x3F", 8) + "\x01" + inner;
  std::string outer = "B" + le(0x01020304u, 4) + le(9, 4) + le(content.size(), 8);
  outer += le(referenceCrc32(outer, 0, 17), 4) + content + le(referenceCrc32(content, 0, content.size()), 4);
  expected += outer;

  std::string end = "E" + le(1, 8);
  end += le(referenceCrc32(end, 0, 9), 4);
  expected += end;
  EXPECT_EQ(data.str(), expected);
}

// A stream on a device that cannot seek; nothing of an outermost block
// reaches the device before its end.
TEST(IoStreamRoundTrip, NonSeekableOutputIsBufferedPerOutermostBlock) {
  AppendOnlyBuffer buffer;
  std::ostream device(&buffer);
  {
    OutStream out(&device, "PIPE", 1);
    const std::size_t afterHeader = buffer.data().size();
    EXPECT_EQ(afterHeader, headerSize(4));
    out.beginBlock(1, 1);
    out.writeDouble(3.0);
    out.beginBlock(2, 1);
    out.writeBool(true);
    out.endBlock();
    EXPECT_EQ(buffer.data().size(), afterHeader);
    out.endBlock();
    EXPECT_GT(buffer.data().size(), afterHeader);
  }
  std::istringstream in(buffer.data());
  InStream stream(&in);
  stream.openBlock();
  double d = 0;
  stream.readDouble(&d);
  EXPECT_EQ(d, 3.0);
  stream.skipBlock();
  EXPECT_TRUE(stream.isStreamEnd());
}

// ------------------------------------------------------------------ skipping and closing

TEST(IoStreamSkip, SkipDiscardsUnreadValuesAndNestedBlocks) {
  std::stringstream data;
  {
    OutStream out(&data, "SKIP", 1);
    out.beginBlock(1, 1);
    out.writeDouble(1.0);
    out.beginBlock(2, 1);  // skipped whole, with a block inside
    out.writeDouble(2.0);
    out.beginBlock(3, 1);
    out.writeBool(true);
    out.endBlock();
    out.endBlock();
    out.beginBlock(4, 1);  // opened, half read, skipped
    out.writeDouble(4.0);
    out.writeDouble(5.0);
    out.beginBlock(5, 1);
    out.endBlock();
    out.endBlock();
    out.writeDouble(6.0);
    out.endBlock();
    out.beginBlock(10, 1);  // skipped at the outermost level, unread
    out.writeString(QStringLiteral("unread"));
    out.beginBlock(11, 1);
    out.endBlock();
    out.endBlock();
    out.beginBlock(20, 3);
    out.writeBool(true);
    out.endBlock();
  }
  InStream in(&data);
  double d = 0;
  in.openBlock();
  in.readDouble(&d);
  EXPECT_EQ(d, 1.0);
  in.openBlock();
  EXPECT_EQ(in.getBlockId(), 2u);
  in.skipBlock();
  in.openBlock();
  EXPECT_EQ(in.getBlockId(), 4u);
  in.readDouble(&d);
  EXPECT_EQ(d, 4.0);
  EXPECT_EQ(in.getUnreadBlockBytes(), 8u + kFrameHeader + 4u);
  in.skipBlock();
  EXPECT_EQ(in.getBlockDepth(), 1u);
  in.readDouble(&d);
  EXPECT_EQ(d, 6.0);
  in.closeBlock();
  in.openBlock();
  EXPECT_EQ(in.getBlockId(), 10u);
  in.skipBlock();
  in.openBlock();
  EXPECT_EQ(in.getBlockId(), 20u);
  EXPECT_EQ(in.getBlockVersion(), 3u);
  bool b = false;
  in.readBool(&b);
  EXPECT_TRUE(b);
  in.closeBlock();
  EXPECT_TRUE(in.isStreamEnd());
}

TEST(IoStreamSkip, CloseRequiresEverythingRead) {
  std::stringstream data;
  {
    OutStream out(&data, "CLOSE", 1);
    out.beginBlock(1, 1);
    out.writeBool(false);
    out.beginBlock(2, 1);
    out.endBlock();
    out.endBlock();
  }
  {
    InStream in(&data);
    in.openBlock();
    bool b = true;
    in.readBool(&b);
    EXPECT_FALSE(b);
    // The nested block is unread content too.
    EXPECT_EQ(streamErrorText([&] { in.closeBlock(); }), ioText("block closed with unread data"));
    // After a fault the stream refuses further work.
    EXPECT_EQ(streamErrorText([&] { in.skipBlock(); }), ioText("stream unusable after an earlier error"));
  }
  data.clear();
  data.seekg(0);
  InStream in(&data);
  in.openBlock();
  EXPECT_EQ(streamErrorText([&] { in.closeBlock(); }), ioText("block closed with unread data"));
}

// ------------------------------------------------------------------ damaged streams

TEST(IoStreamDamage, EveryTruncationIsRejected) {
  const std::string bytes = writeSample();
  ASSERT_NO_THROW(walkSample(bytes));
  for (std::size_t length = 0; length < bytes.size(); ++length)
    EXPECT_THROW(walkSample(bytes.substr(0, length)), StreamException) << "cut at " << length;
}

TEST(IoStreamDamage, EveryChangedByteIsRejected) {
  const std::string bytes = writeSample();
  for (std::size_t offset = 0; offset < bytes.size(); ++offset) {
    for (unsigned flip : {0x01u, 0x10u, 0x80u, 0xFFu}) {
      std::string damaged = bytes;
      damaged[offset] = static_cast<char>(damaged[offset] ^ flip);
      EXPECT_THROW(walkSample(damaged), StreamException) << "offset " << offset << " xor " << flip;
    }
  }
}

TEST(IoStreamDamage, DataAfterTheEndIsRejected) {
  const std::string bytes = writeSample();
  EXPECT_EQ(streamErrorText([&] { walkSample(bytes + '\0'); }), ioText("data after the end of the stream"));
  EXPECT_THROW(walkSample(bytes + bytes), StreamException);

  std::stringstream empty;
  { OutStream out(&empty, "EMPTY", 1); }
  std::istringstream in(empty.str() + "x");
  InStream stream(&in);
  EXPECT_EQ(streamErrorText([&] { stream.isStreamEnd(); }), ioText("data after the end of the stream"));
}

TEST(IoStreamDamage, StreamCutBetweenBlocksIsRejectedWhenTheBlockIsLeft) {
  const std::string bytes = writeSample();
  const std::string withoutEnd = bytes.substr(0, bytes.size() - 13);
  std::istringstream in(withoutEnd);
  InStream stream(&in);
  stream.openBlock();
  stream.skipBlock();
  stream.openBlock();
  EXPECT_EQ(streamErrorText([&] { stream.skipBlock(); }), ioText("stream ended unexpectedly"));
}

TEST(IoStreamDamage, ForeignDataIsNotABlockStream) {
  std::istringstream text("This is a text file, not a block stream.\n");
  EXPECT_EQ(streamErrorText([&] { InStream in(&text); }), ioText("not a block stream (wrong magic value)"));
  std::istringstream shortText("BZ");
  EXPECT_EQ(streamErrorText([&] { InStream in(&shortText); }), ioText("not a block stream (wrong magic value)"));
  std::istringstream nothing("");
  EXPECT_EQ(streamErrorText([&] { InStream in(&nothing); }), ioText("stream ended unexpectedly"));
  std::istringstream magicOnly(writeSample().substr(0, 5));
  EXPECT_EQ(streamErrorText([&] { InStream in(&magicOnly); }), ioText("stream ended unexpectedly"));
}

// Lengths that pass their own checksum but promise more than there is must
// neither allocate that much nor read beyond the data.
TEST(IoStreamDamage, ImplausibleLengthsWithValidChecksums) {
  std::ostringstream data;
  {
    OutStream out(&data, "LEN", 1);
    out.beginBlock(1, 1);
    out.beginBlock(2, 1);
    out.writeDouble(8.0);
    out.endBlock();
    out.endBlock();
  }
  const std::string bytes = data.str();
  const std::size_t outer = headerSize(3);
  const std::size_t inner = outer + kFrameHeader;
  auto withOuterLength = [&](std::uint64_t length) {
    std::string damaged = bytes;
    putLE(&damaged, outer + 9, length, 8);
    putLE(&damaged, outer + 17, referenceCrc32(damaged, outer, 17), 4);
    return damaged;
  };
  auto open = [](const std::string& damaged) {
    std::istringstream in(damaged);
    InStream stream(&in);
    stream.openBlock();
    stream.openBlock();
  };
  EXPECT_EQ(streamErrorText([&] { open(withOuterLength(std::uint64_t{1} << 40)); }),
            ioText("stream ended unexpectedly"));
  EXPECT_EQ(streamErrorText([&] { open(withOuterLength(~std::uint64_t{0})); }), ioText("block length is invalid"));

  // The nested block claims more than its enclosing block holds; both
  // checksums are made to fit, so only the length check can catch it.
  const std::size_t outerContentLength = 8 + kFrameHeader + 4;
  for (std::uint64_t length : {std::uint64_t{9}, std::uint64_t{1} << 33, ~std::uint64_t{0}}) {
    std::string damaged = bytes;
    putLE(&damaged, inner + 9, length, 8);
    putLE(&damaged, inner + 17, referenceCrc32(damaged, inner, 17), 4);
    putLE(&damaged, inner + outerContentLength, referenceCrc32(damaged, inner, outerContentLength), 4);
    EXPECT_EQ(streamErrorText([&] { open(damaged); }), ioText("block length exceeds the enclosing block"))
        << length;
  }
}

// ------------------------------------------------------------------ faulty reads

TEST(IoStreamReads, InvalidBoolByteIsRejectedAndValueKept) {
  std::stringstream data;
  {
    OutStream out(&data, "BOOL", 1);
    out.beginBlock(1, 1);
    out.writeUInt32(2);  // first byte 2: no bool
    out.endBlock();
  }
  InStream in(&data);
  in.openBlock();
  bool value = true;
  EXPECT_EQ(streamErrorText([&] { in.readBool(&value); }), ioText("invalid boolean value"));
  EXPECT_TRUE(value);
}

TEST(IoStreamReads, ReadsStopAtTheEndOfTheInnermostBlock) {
  std::stringstream data;
  {
    OutStream out(&data, "PAST", 1);
    out.beginBlock(1, 1);
    out.beginBlock(2, 1);
    out.writeInt32(7);  // four bytes: too few for a double
    out.endBlock();
    out.writeDouble(1.0);  // must not be reachable from inside block 2
    out.endBlock();
  }
  InStream in(&data);
  in.openBlock();
  in.openBlock();
  double d = 5.0;
  EXPECT_EQ(streamErrorText([&] { in.readDouble(&d); }), ioText("read past the end of the block"));
  EXPECT_EQ(d, 5.0);
}

TEST(IoStreamReads, TextLengthBeyondTheBlockAndBadUtf8) {
  std::stringstream data;
  {
    OutStream out(&data, "TEXT", 1);
    out.beginBlock(1, 1);
    out.writeUInt32(0xFFFFFFF0u);  // a text length far beyond the block
    out.endBlock();
    out.beginBlock(2, 1);
    out.writeUInt32(2);
    out.writeBool(true);  // 0x01 0xC3: a UTF-8 lead byte without its continuation
    out.writeUInt32(0xC3);
    out.endBlock();
  }
  const std::string bytes = data.str();
  {
    std::istringstream in(bytes);
    InStream stream(&in);
    stream.openBlock();
    QString text = QStringLiteral("kept");
    EXPECT_EQ(streamErrorText([&] { stream.readString(&text); }), ioText("read past the end of the block"));
    EXPECT_EQ(text, QStringLiteral("kept"));
  }
  std::istringstream in(bytes);
  InStream stream(&in);
  stream.openBlock();
  stream.skipBlock();
  stream.openBlock();
  QString text;
  EXPECT_EQ(streamErrorText([&] { stream.readString(&text); }), ioText("invalid text value"));
}

TEST(IoStreamReads, ValuesAreNoBlocks) {
  std::stringstream data;
  {
    OutStream out(&data, "NOBLOCK", 1);
    out.beginBlock(1, 1);
    for (int i = 0; i < 4; ++i) out.writeDouble(66.0);  // enough bytes for a frame, but no frame
    out.endBlock();
  }
  InStream in(&data);
  in.openBlock();
  EXPECT_EQ(streamErrorText([&] { in.openBlock(); }), ioText("invalid record in the stream"));
}

TEST(IoStreamReads, ReadErrorOfTheDevice) {
  const std::string bytes = writeSample();
  FailingInputBuffer buffer(bytes.substr(0, 40));
  std::istream device(&buffer);
  InStream in(&device);
  EXPECT_EQ(streamErrorText([&] { in.openBlock(); }), ioText("stream read error"));
}

// A std::istream told to throw (at its end too) is read like any other.
TEST(IoStreamReads, InputStreamThatThrows) {
  const std::string bytes = writeSample();
  for (std::size_t length : {bytes.size(), bytes.size() - 1}) {
    std::istringstream data(bytes.substr(0, length));
    data.exceptions(std::ios_base::eofbit | std::ios_base::failbit | std::ios_base::badbit);
    InStream in(&data);
    in.openBlock();
    in.skipBlock();
    in.openBlock();
    if (length == bytes.size()) {
      EXPECT_NO_THROW(in.skipBlock());
      EXPECT_TRUE(in.isStreamEnd());
    } else {
      EXPECT_EQ(streamErrorText([&] { in.skipBlock(); }), ioText("stream ended unexpectedly"));
    }
  }
}

TEST(IoStreamReads, MisuseIsAProgrammingError) {
  std::istringstream data(writeSample());
  InStream in(&data);
  double d;
  EXPECT_THROW(in.readDouble(&d), ProgError);
  EXPECT_THROW(in.closeBlock(), ProgError);
  EXPECT_THROW(in.getBlockId(), ProgError);
  in.openBlock();
  EXPECT_THROW(in.readDouble(nullptr), ProgError);
  EXPECT_THROW(InStream(nullptr), ProgError);
}

// ------------------------------------------------------------------ writing

TEST(IoStreamWrite, DeviceErrorsThrowStreamException) {
  // Refused header.
  std::ostream broken(nullptr);
  EXPECT_EQ(streamErrorText([&] { OutStream out(&broken, "X", 1); }), ioText("stream write error"));

  // A device that fills up during the first block.
  AppendOnlyBuffer small(headerSize(1) + 10);
  std::ostream device(&small);
  OutStream out(&device, "X", 1);
  out.beginBlock(1, 1);
  out.writeDouble(1.0);
  EXPECT_EQ(streamErrorText([&] { out.endBlock(); }), ioText("stream write error"));
  EXPECT_EQ(streamErrorText([&] { out.finish(); }), ioText("stream unusable after an earlier error"));

  // A std::ostream told to throw still reports through StreamException.
  AppendOnlyBuffer tiny(3);
  std::ostream throwing(&tiny);
  throwing.exceptions(std::ios_base::badbit | std::ios_base::failbit);
  EXPECT_EQ(streamErrorText([&] { OutStream o(&throwing, "X", 1); }), ioText("stream write error"));
}

TEST(IoStreamWrite, UnfinishedStreamReadsAsTruncated) {
  std::stringstream data;
  {
    OutStream out(&data, "HALF", 1);
    out.beginBlock(1, 1);
    out.endBlock();
    out.beginBlock(2, 1);
    out.writeDouble(1.0);
  }  // destroyed with block 2 open: block 2 and the end record are never written
  InStream in(&data);
  in.openBlock();
  EXPECT_EQ(streamErrorText([&] { in.closeBlock(); }), ioText("stream ended unexpectedly"));
}

TEST(IoStreamWrite, MisuseIsAProgrammingError) {
  std::ostringstream data;
  EXPECT_THROW(OutStream(nullptr, "X", 1), ProgError);
  EXPECT_THROW(OutStream(&data, QString(OutStream::kMaxTypeBytes + 1, QLatin1Char('t')), 1), ProgError);
  OutStream out(&data, "X", 1);
  EXPECT_THROW(out.writeDouble(1.0), ProgError);
  EXPECT_THROW(out.endBlock(), ProgError);
  out.beginBlock(1, 1);
  EXPECT_THROW(out.finish(), ProgError);
  out.endBlock();
  out.finish();
  out.finish();  // a second call does nothing
  EXPECT_THROW(out.beginBlock(2, 1), ProgError);
}

// ------------------------------------------------------------------ messages

// Creates an application object when none exists (one may exist at a time)
// and destroys it, with the catalogue installed on it, at the end; restores
// the default locale.
class GermanApplication {
 public:
  GermanApplication() : previousLocale_(QLocale()) {
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc_, argv_);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  }
  ~GermanApplication() {
    Zem::removeTranslator("ZemTransformation");
    app_.reset();
    QLocale::setDefault(previousLocale_);
  }
  GermanApplication(const GermanApplication&) = delete;
  GermanApplication& operator=(const GermanApplication&) = delete;

 private:
  static inline char name_[] = "zem_tests";
  static inline char* argv_[] = {name_, nullptr};
  static inline int argc_ = 1;
  QLocale previousLocale_;
  std::unique_ptr<QCoreApplication> app_;
};

TEST(IoStreamMessages, StreamErrorsAreTranslated) {
  GermanApplication german;
  ASSERT_TRUE(Zem::installTranslator("ZemTransformation"));
  std::istringstream text("plain text, no stream");
  EXPECT_EQ(streamErrorText([&] { InStream in(&text); }),
            QString::fromUtf8("kein Blockdatenstrom (falsche Kennung)"));
  const std::string bytes = writeSample();
  EXPECT_EQ(streamErrorText([&] { walkSample(bytes.substr(0, bytes.size() - 1)); }),
            QString::fromUtf8("Datenstrom endet unerwartet"));
  EXPECT_EQ(streamErrorText([&] { walkSample(bytes + "x"); }),
            QString::fromUtf8("Daten nach dem Ende des Datenstroms"));
  std::ostream broken(nullptr);
  EXPECT_EQ(streamErrorText([&] { OutStream out(&broken, "X", 1); }),
            QString::fromUtf8("Schreibfehler im Datenstrom"));
}
