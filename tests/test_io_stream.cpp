// Block streams: round trips, the byte layout, and the rejection of every
// damaged, truncated or misused stream.
#include "zem_io.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

using Zem::ProgError;
using Zem::IO::InStream;
using Zem::IO::OutStream;
using Zem::IO::StreamException;

namespace {

using Lim = std::numeric_limits<double>;

template <typename To, typename From>
To bitCast(From from) {
  To to;
  std::memcpy(&to, &from, sizeof to);
  return to;
}
std::uint64_t bitsOf(double value) { return bitCast<std::uint64_t>(value); }

QString io(const char* text) { return Zem::translate("IO_err", text); }

template <typename F>
QString errorOf(F&& action) {
  try {
    action();
  } catch (const StreamException& e) {
    return e.getText();
  }
  return QStringLiteral("<no StreamException>");
}

// The sample stream as a script that writes it and reads it back: '(' opens
// block `a` of version `b`, ')' closes it; 'd' is a double given by its bits,
// 'b' a bool, 'i' an int32, 'u' a uint32, 's' the text kTexts[a].
struct Step {
  char kind;
  std::uint64_t a = 0;
  std::uint32_t b = 0;
};
const QString kTexts[] = {QString(), QString(QChar(0xFEFF)) + QStringLiteral("Zürich \u20AC") + QChar(0) + "y"};
const Step kSample[] = {
    {'(', 0xFFFFFFFFu, 0}, {'(', 96, 1}, {'b', 0}, {'(', 7, 2}, {')'}, {')'},
    // Doubles that a careless encoding would not carry through unchanged.
    {'d', bitsOf(-0.0)}, {'d', bitsOf(1.0 / 3.0)}, {'d', bitsOf(Lim::denorm_min())},
    {'d', bitsOf(-Lim::denorm_min() * 12345.0)}, {'d', bitsOf(Lim::max())}, {'d', bitsOf(Lim::infinity())},
    {'d', bitsOf(-Lim::infinity())}, {'d', 0x7FF80000DEADBEEFull}, {'d', 0xFFF4000000000001ull},  // NaN payloads
    {'b', 1}, {'i', 0x80000000u}, {'u', 0xFFFFFFFFu}, {'s', 0}, {'s', 1}, {')'},
    {'(', 258, 1}, {'b', 0}, {')'}};

void writeSample(std::ostream* device) {
  OutStream out(device, QStringLiteral("IO-TEST-Ä"), 4000000000u);
  for (const Step& s : kSample) {
    switch (s.kind) {
      case '(': out.beginBlock(static_cast<std::uint32_t>(s.a), s.b); break;
      case ')': out.endBlock(); break;
      case 'd': out.writeDouble(bitCast<double>(s.a)); break;
      case 'b': out.writeBool(s.a != 0); break;
      case 'i': out.writeInt32(static_cast<std::int32_t>(s.a)); break;
      case 'u': out.writeUInt32(static_cast<std::uint32_t>(s.a)); break;
      default: out.writeString(kTexts[s.a]); break;
    }
  }
  out.finish();
}

std::string sample() {
  std::ostringstream bytes;
  writeSample(&bytes);
  return bytes.str();
}

// Reads the sample as a loader would, everything opened, read, compared and
// closed, then the end required. Throws StreamException for what the stream
// notices and std::logic_error for data that passed but differs.
void walkSample(const std::string& bytes) {
  std::istringstream data(bytes);
  InStream in(&data);
  bool ok = in.isOfType(QStringLiteral("IO-TEST-Ä")) && in.getVersion() == 4000000000u;
  for (const Step& s : kSample) {
    double d;
    bool b;
    std::int32_t i;
    std::uint32_t u;
    QString text = QStringLiteral("old");
    switch (s.kind) {
      case '(': in.openBlock(); ok = ok && in.getBlockId() == s.a && in.getBlockVersion() == s.b; break;
      case ')': in.closeBlock(); break;
      case 'd': in.readDouble(&d); ok = ok && bitsOf(d) == s.a; break;
      case 'b': in.readBool(&b); ok = ok && b == (s.a != 0); break;
      case 'i': in.readInt32(&i); ok = ok && i == static_cast<std::int32_t>(s.a); break;
      case 'u': in.readUInt32(&u); ok = ok && u == s.a; break;
      default: in.readString(&text); ok = ok && text == kTexts[s.a]; break;
    }
  }
  if (!in.isStreamEnd() || !ok) throw std::logic_error("sample read back differently");
}

// Reads a whole stream, skipping every outermost block.
void skipAll(std::istream& data) {
  InStream in(&data);
  while (!in.isStreamEnd()) {
    in.openBlock();
    in.skipBlock();
  }
}

// An output device that cannot seek and refuses bytes beyond `capacity`,
// like a pipe or a full disk.
struct LimitedOutput : std::streambuf {
  explicit LimitedOutput(std::size_t cap = std::string::npos) : capacity(cap) {}
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (data.size() >= capacity) return traits_type::eof();
    data.push_back(traits_type::to_char_type(c));
    return c;
  }
  std::size_t capacity;
  std::string data;
};

// CRC-32 as zlib computes it, written out here so that the layout is checked
// against the format rather than against the code under test.
std::uint32_t crc(const std::string& bytes) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    c ^= byte;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

std::string le(std::uint64_t value, unsigned count) {
  std::string bytes(count, '\0');
  for (unsigned i = 0; i < count; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

TEST(IoStream, SampleRoundTripsBitForBitAlsoThroughAnUnseekableDevice) {
  const std::string bytes = sample();
  EXPECT_NO_THROW(walkSample(bytes));
  LimitedOutput pipe;
  std::ostream device(&pipe);
  writeSample(&device);
  EXPECT_EQ(pipe.data, bytes);

  std::stringstream empty;
  { OutStream out(&empty, QString(), 0); }  // the destructor finishes the stream
  InStream in(&empty);
  EXPECT_TRUE(in.getType().isEmpty() && in.isStreamEnd());
  EXPECT_EQ(errorOf([&] { in.openBlock(); }), io("no further block in the stream"));
}

// A small stream whose every byte is known: a stream header of 22 bytes, the
// outer frame header at 22, the nested one at 43 (frame headers are 21 bytes
// long), the outer content's checksum at 77.
std::string smallStream() {
  std::ostringstream data;
  OutStream out(&data, "AB", 7);
  out.beginBlock(0x01020304u, 9);
  out.beginBlock(5, 6);
  out.endBlock();
  out.writeDouble(1.0);
  out.writeBool(true);
  out.endBlock();
  out.finish();
  return data.str();
}

TEST(IoStream, LayoutIsPinnedByteForByte) {
  ASSERT_EQ(crc("123456789"), 0xCBF43926u);  // the standard CRC-32 check value
  auto frame = [](std::uint32_t id, std::uint32_t version, const std::string& content) {
    const std::string head = "B" + le(id, 4) + le(version, 4) + le(content.size(), 8);
    return head + le(crc(head), 4) + content + le(crc(content), 4);
  };
  const std::string header = std::string("\x89ZBS\r\n\x1A\n", 8) + le(1, 2) + le(2, 2) + "AB" + le(7, 4);
  const std::string end = "E" + le(1, 8);
  const std::string content = frame(5, 6, "") + std::string("\0\0\0\0\0\0\xF0\x3F\x01", 9);
  EXPECT_EQ(smallStream(), header + le(crc(header), 4) + frame(0x01020304u, 9, content) + end + le(crc(end), 4));
}

// Lengths that pass their own checksums but promise more than there is must
// neither allocate that much nor read beyond the data.
TEST(IoStreamDamage, ImplausibleLengthsWithValidChecksums) {
  const std::size_t outer = 22, inner = 43, outerContentEnd = 77;
  auto open = [&](std::size_t frame, std::uint64_t length) {
    std::string bytes = smallStream();
    bytes.replace(frame + 9, 8, le(length, 8));
    bytes.replace(frame + 17, 4, le(crc(bytes.substr(frame, 17)), 4));
    if (frame == inner)
      bytes.replace(outerContentEnd, 4, le(crc(bytes.substr(inner, outerContentEnd - inner)), 4));
    std::istringstream data(bytes);
    return errorOf([&] {
      InStream in(&data);
      in.openBlock();
      in.openBlock();
    });
  };
  EXPECT_EQ(open(outer, std::uint64_t{1} << 40), io("stream ended unexpectedly"));
  EXPECT_EQ(open(outer, ~std::uint64_t{0}), io("block length is invalid"));
  for (std::uint64_t length : {std::uint64_t{10}, std::uint64_t{1} << 33, ~std::uint64_t{0}})
    EXPECT_EQ(open(inner, length), io("block length exceeds the enclosing block")) << length;
}

TEST(IoStream, SkipDiscardsUnreadContentAndCloseRequiresItRead) {
  std::istringstream data(sample()), again(sample());
  InStream in(&data), half(&again);
  in.openBlock();
  in.openBlock();
  in.skipBlock();  // block 96: a value and a nested block, all unread
  double d = 1.0;
  in.readDouble(&d);
  EXPECT_EQ(bitsOf(d), bitsOf(-0.0));
  in.skipBlock();  // half read
  in.openBlock();
  EXPECT_EQ(in.getBlockId(), 258u);
  in.skipBlock();  // outermost, unread
  EXPECT_TRUE(in.isStreamEnd());

  half.openBlock();
  half.openBlock();
  bool b = true;
  half.readBool(&b);
  // The nested block is unread content too; after the fault the stream refuses work.
  EXPECT_EQ(errorOf([&] { half.closeBlock(); }), io("block closed with unread data"));
  EXPECT_EQ(errorOf([&] { half.skipBlock(); }), io("stream unusable after an earlier error"));
}

TEST(IoStreamDamage, EveryTruncationAndEveryChangedByteIsRejected) {
  const std::string bytes = sample();
  for (std::size_t offset = 0; offset < bytes.size(); ++offset) {
    EXPECT_THROW(walkSample(bytes.substr(0, offset)), StreamException) << "cut at " << offset;
    for (unsigned flip : {0x01u, 0x10u, 0x80u, 0xFFu}) {
      std::string damaged = bytes;
      damaged[offset] = static_cast<char>(damaged[offset] ^ flip);
      EXPECT_THROW(walkSample(damaged), StreamException) << "offset " << offset << " xor " << flip;
    }
  }
}

TEST(IoStreamDamage, ForeignShortOrOverlongStreams) {
  const std::string bytes = sample();
  std::stringstream unfinished;
  {
    OutStream out(&unfinished, "HALF", 1);
    out.beginBlock(1, 1);
    out.endBlock();
    out.beginBlock(2, 1);
  }  // destroyed with block 2 open: that block and the end are never written
  const std::pair<std::string, const char*> cases[] = {
      {"This is a text file, not a block stream.\n", "not a block stream (wrong magic value)"},
      {"", "stream ended unexpectedly"},
      {bytes.substr(0, 5), "stream ended unexpectedly"},
      {unfinished.str(), "stream ended unexpectedly"},
      {bytes + '\0', "data after the end of the stream"},
  };
  for (const auto& [damaged, message] : cases) {
    std::istringstream data(damaged);
    EXPECT_EQ(errorOf([&] { skipAll(data); }), io(message)) << message;
  }
}

// Bad content inside intact blocks: the read throws and leaves its target alone.
TEST(IoStreamReads, BadContentIsRejectedAndTheTargetKept) {
  bool b = true;
  double d = 5.0;
  QString text = QStringLiteral("kept");
  const struct {
    const char* message;
    std::function<void(OutStream&)> write;
    std::function<void(InStream&)> read;
  } cases[] = {
      {"invalid boolean value", [](OutStream& o) { o.writeUInt32(2); }, [&](InStream& in) { in.readBool(&b); }},
      // Nested block 2 holds four bytes; the double after it is out of its reach.
      {"read past the end of the block",
       [](OutStream& o) { o.beginBlock(2, 1); o.writeInt32(7); o.endBlock(); o.writeDouble(1.0); },
       [&](InStream& in) { in.openBlock(); in.readDouble(&d); }},
      {"read past the end of the block", [](OutStream& o) { o.writeUInt32(0xFFFFFFF0u); },
       [&](InStream& in) { in.readString(&text); }},
      // Bytes 0x01 0xC3: a UTF-8 lead byte without its continuation.
      {"invalid text value", [](OutStream& o) { o.writeUInt32(2); o.writeBool(true); o.writeUInt32(0xC3); },
       [&](InStream& in) { in.readString(&text); }},
      {"invalid record in the stream", [](OutStream& o) { o.writeString(QStringLiteral("no frame, long enough")); },
       [](InStream& in) { in.openBlock(); }},
  };
  for (const auto& c : cases) {
    std::stringstream data;
    {
      OutStream out(&data, "READ", 1);
      out.beginBlock(1, 1);
      c.write(out);
      out.endBlock();
    }
    InStream in(&data);
    in.openBlock();
    EXPECT_EQ(errorOf([&] { c.read(in); }), io(c.message)) << c.message;
  }
  EXPECT_TRUE(b);
  EXPECT_EQ(d, 5.0);
  EXPECT_EQ(text, QStringLiteral("kept"));
}

TEST(IoStreamDevice, ReadAndWriteFaultsThrowStreamException) {
  const std::string bytes = sample();
  // A std::istream told to throw, at its end too, is read like any other.
  std::istringstream whole(bytes), cut(bytes.substr(0, bytes.size() - 1));
  for (std::istringstream* data : {&whole, &cut}) data->exceptions(std::ios_base::eofbit | std::ios_base::failbit);
  EXPECT_NO_THROW(skipAll(whole));
  EXPECT_EQ(errorOf([&] { skipAll(cut); }), io("stream ended unexpectedly"));

  std::ostream refused(nullptr);
  EXPECT_EQ(errorOf([&] { OutStream out(&refused, "X", 1); }), io("stream write error"));
  LimitedOutput small(21 + 10);  // the header fits, the first block does not
  std::ostream full(&small);
  OutStream out(&full, "X", 1);
  out.beginBlock(1, 1);
  out.writeDouble(1.0);
  EXPECT_EQ(errorOf([&] { out.endBlock(); }), io("stream write error"));
  EXPECT_EQ(errorOf([&] { out.finish(); }), io("stream unusable after an earlier error"));
  LimitedOutput tiny(3);
  std::ostream throwing(&tiny);
  throwing.exceptions(std::ios_base::badbit | std::ios_base::failbit);
  EXPECT_EQ(errorOf([&] { OutStream o(&throwing, "X", 1); }), io("stream write error"));
}

TEST(IoStream, MisuseIsAProgrammingError) {
  std::istringstream data(sample());
  InStream in(&data);
  double d;
  EXPECT_THROW(in.readDouble(&d), ProgError);  // no block open
  std::ostringstream bytes;
  OutStream out(&bytes, "X", 1);
  EXPECT_THROW(out.endBlock(), ProgError);
  out.beginBlock(1, 1);
  EXPECT_THROW(out.finish(), ProgError);  // a block still open
}

}  // namespace
