// Block streams: round trips, the byte layout, and the rejection of every
// damaged, truncated or misused stream.
#include "zem_io.h"

#include <zlib.h>

#include <cstdint>
#include <stdexcept>

#include "test_util.h"

using Zem::IO::InStream;
using Zem::IO::OutStream;
using Zem::IO::StreamException;

namespace {

using Lim = std::numeric_limits<double>;

std::uint64_t bitsOf(double value) { std::uint64_t bits; std::memcpy(&bits, &value, sizeof bits); return bits; }
double fromBits(std::uint64_t bits) { double value; std::memcpy(&value, &bits, sizeof value); return value; }

QString io(const char* text) { return Zem::translate("IO_err", text); }

template <typename F>
QString errorOf(F action) { return Zem::test::errorText<StreamException>(action); }

// A stream as a script that writes it (and reads the sample back): '(' opens
// block `a` of version `b`, ')' closes it; 'd' is a double given by its bits,
// 'b' a bool, 'u' an unsigned 32-bit integer, 's' the text kTexts[a].
struct Step { char kind; std::uint64_t a = 0; std::uint32_t b = 0; };
const QString kTexts[] = {QString(), QString(QChar(0xFEFF)) + QStringLiteral("Zürich \u20AC") + QChar(0) + "y"};
const std::vector<Step> kSample = {
    {'(', 0xFFFFFFFFu, 0}, {'(', 96, 1}, {'b', 0}, {'(', 7, 2}, {')'}, {')'},
    // Doubles that a careless encoding would not carry through unchanged.
    {'d', bitsOf(-0.0)}, {'d', bitsOf(1.0 / 3.0)}, {'d', bitsOf(Lim::denorm_min())},
    {'d', bitsOf(-Lim::denorm_min() * 12345.0)}, {'d', bitsOf(Lim::max())}, {'d', bitsOf(Lim::infinity())},
    {'d', bitsOf(-Lim::infinity())}, {'d', 0x7FF80000DEADBEEFull}, {'d', 0xFFF4000000000001ull},  // NaN payloads
    {'b', 1}, {'s', 0}, {'s', 1}, {')'},
    {'(', 258, 1}, {'b', 0}, {')'}};

std::string written(const std::vector<Step>& script, const QString& type, std::uint32_t version) {
  std::ostringstream bytes;
  OutStream out(&bytes, type, version);
  for (const Step& s : script) switch (s.kind) {
      case '(': out.beginBlock(static_cast<std::uint32_t>(s.a), s.b); break;
      case ')': out.endBlock(); break;
      case 'd': out.writeDouble(fromBits(s.a)); break;
      case 'b': out.writeBool(s.a != 0); break;
      case 'u': out.writeUInt32(static_cast<std::uint32_t>(s.a)); break;
      default: out.writeString(kTexts[s.a]); break;
    }
  out.finish();
  return bytes.str();
}

std::string sample() { return written(kSample, QStringLiteral("IO-TEST-Ä"), 4000000000u); }

// Reads the sample as a loader would, everything opened, read, compared and
// closed, then the end required. Throws StreamException for what the stream
// notices and std::logic_error naming the first step whose data passed but
// differs. A std::istream told to throw, at its end too, is read like any
// other.
void walkSample(const std::string& bytes, bool throwingDevice = false) {
  std::istringstream data(bytes);
  if (throwingDevice) data.exceptions(std::ios_base::eofbit | std::ios_base::failbit);
  InStream in(&data);
  std::string differs;
  const auto check = [&differs](bool same, const std::string& what) {
    if (!same && differs.empty()) differs = what;
  };
  check(in.isOfType(QStringLiteral("IO-TEST-Ä")), "stream type " + in.getType().toStdString());
  check(in.getVersion() == 4000000000u, "stream version " + std::to_string(in.getVersion()));
  std::size_t step = 0;
  for (const Step& s : kSample) {
    const std::string where = "step " + std::to_string(step++) + ": ";
    double d = 0.0;
    bool b = false;
    QString text = QStringLiteral("old");
    switch (s.kind) {
      case '(':
        in.openBlock();
        check(in.getBlockId() == s.a, where + "block id " + std::to_string(in.getBlockId()));
        check(in.getBlockVersion() == s.b, where + "block version " + std::to_string(in.getBlockVersion()));
        break;
      case ')': in.closeBlock(); break;
      case 'd':
        in.readDouble(&d);
        check(bitsOf(d) == s.a, where + "double bits " + std::to_string(bitsOf(d)) + " vs " + std::to_string(s.a));
        break;
      case 'b':
        in.readBool(&b);
        check(b == (s.a != 0), where + "bool " + std::to_string(b));
        break;
      default:
        in.readString(&text);
        check(text == kTexts[s.a], where + "text " + text.toStdString());
        break;
    }
  }
  check(in.isStreamEnd(), "no stream end after the sample");
  if (!differs.empty()) throw std::logic_error(differs);
}

// CRC-32 from zlib, an implementation independent of the stream code.
std::uint32_t crc(const std::string& bytes) {
  return static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string le(std::uint64_t value, unsigned count) {
  std::string bytes(count, '\0');
  for (unsigned i = 0; i < count; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

TEST(IoStream, SampleRoundTripsBitForBit) {
  const std::string bytes = sample();
  EXPECT_NO_THROW(walkSample(bytes));
  EXPECT_NO_THROW(walkSample(bytes, true));
  EXPECT_EQ(errorOf([&] { walkSample(bytes.substr(0, bytes.size() - 1), true); }), io("stream ended unexpectedly"));
}

TEST(IoStream, EmptyStreamHasNoTypeAndNoBlock) {
  std::stringstream empty;
  { OutStream out(&empty, QString(), 0); }  // the destructor finishes the stream
  InStream in(&empty);
  EXPECT_TRUE(in.getType().isEmpty());
  EXPECT_TRUE(in.isStreamEnd());
  EXPECT_EQ(errorOf([&] { in.openBlock(); }), io("no further block in the stream"));
}

// A small stream assembled by hand: the stream header; a frame is "B", id,
// version, content length, header checksum, content, content checksum; the
// end record is "E" and the count of outermost blocks. Outer frame of block
// 0x01020304 (its content is 34 bytes long) around the empty block 5, a double
// 1.0 and a bool true. The lengths may lie; the checksums never do.
std::string handMade(std::uint64_t outerLength = 34, std::uint64_t innerLength = 0) {
  auto frame = [](std::uint32_t id, std::uint32_t version, const std::string& content, std::uint64_t length) {
    const std::string head = "B" + le(id, 4) + le(version, 4) + le(length, 8);
    return head + le(crc(head), 4) + content + le(crc(content), 4);
  };
  const std::string header = std::string("\x89ZBS\r\n\x1A\n", 8) + le(1, 2) + le(2, 2) + "AB" + le(7, 4);
  const std::string end = "E" + le(1, 8);
  const std::string content = frame(5, 6, "", innerLength) + std::string("\0\0\0\0\0\0\xF0\x3F\x01", 9);
  return header + le(crc(header), 4) + frame(0x01020304u, 9, content, outerLength) + end + le(crc(end), 4);
}

// The layout, and lengths that pass their own checksums but promise more
// than there is: these must neither allocate that much nor read beyond the data.
TEST(IoStream, LayoutIsPinnedByteForByteAndLyingLengthsAreCaught) {
  const std::vector<Step> script = {{'(', 0x01020304u, 9}, {'(', 5, 6}, {')'}, {'d', bitsOf(1.0)}, {'b', 1}, {')'}};
  EXPECT_EQ(written(script, "AB", 7), handMade());
  auto open = [](const std::string& bytes) {
    std::istringstream data(bytes);
    InStream in(&data);
    return errorOf([&] { in.openBlock(); in.openBlock(); });
  };
  EXPECT_EQ(open(handMade(std::uint64_t{1} << 40)), io("stream ended unexpectedly"));
  EXPECT_EQ(open(handMade(~std::uint64_t{0})), io("block length is invalid"));
  for (std::uint64_t length : {std::uint64_t{10}, std::uint64_t{1} << 33, ~std::uint64_t{0}})
    EXPECT_EQ(open(handMade(34, length)), io("block length exceeds the enclosing block")) << length;
}

TEST(IoStream, SkipDiscardsUnreadContent) {
  std::istringstream data(sample());
  InStream in(&data);
  double d = 1.0;
  EXPECT_THROW(in.readDouble(&d), Zem::ProgError);  // no block open: a programming error
  in.openBlock();
  in.openBlock();
  in.skipBlock();  // block 96: a value and a nested block, all unread
  in.readDouble(&d);
  EXPECT_EQ(bitsOf(d), bitsOf(-0.0));
  in.skipBlock();  // half read
  in.openBlock();
  EXPECT_EQ(in.getBlockId(), 258u);
  in.skipBlock();  // outermost, unread
  EXPECT_TRUE(in.isStreamEnd());
}

TEST(IoStreamDamage, EveryTruncationChangedByteAndForeignStreamIsRejected) {
  const std::string bytes = sample();
  for (std::size_t offset = 0; offset < bytes.size(); ++offset) {
    EXPECT_THROW(walkSample(bytes.substr(0, offset)), StreamException) << "cut at " << offset;
    for (unsigned flip : {0x01u, 0x10u, 0x80u, 0xFFu}) {
      std::string damaged = bytes;
      damaged[offset] = static_cast<char>(damaged[offset] ^ flip);
      EXPECT_THROW(walkSample(damaged), StreamException) << "offset " << offset << " xor " << flip;
    }
  }
  std::stringstream unfinished;
  // Destroyed with the block open: that block and the end are never written.
  { OutStream(&unfinished, "IO-TEST-Ä", 4000000000u).beginBlock(0xFFFFFFFFu, 0); }
  const struct { std::string bytes; const char* message; } cases[] = {
      {"This is a text file, not a block stream.\n", "not a block stream (wrong magic value)"},
      {unfinished.str(), "stream ended unexpectedly"},
      {bytes + '\0', "data after the end of the stream"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(errorOf([&] { walkSample(c.bytes); }), io(c.message));
  }
}

// Bad content inside intact blocks: the read throws and leaves its target alone.
TEST(IoStreamReads, BadContentIsRejectedAndTheTargetKept) {
  bool b = true;
  double d = 5.0;  // targets that a failed read must keep
  QString text = QStringLiteral("kept");
  // Each script writes block 1, which is open when the read starts.
  const struct { const char* message; std::vector<Step> script; std::function<void(InStream&)> read; } cases[] = {
      {"invalid boolean value", {{'(', 1, 1}, {'u', 2}, {')'}}, [&](InStream& in) { in.readBool(&b); }},
      // Nested block 2 holds four bytes; the double after it is out of its reach.
      {"read past the end of the block", {{'(', 1, 1}, {'(', 2, 1}, {'u', 7}, {')'}, {'d', bitsOf(1.0)}, {')'}},
       [&](InStream& in) { in.openBlock(); in.readDouble(&d); }},
      // Bytes 0x01 0xC3: a UTF-8 lead byte without its continuation.
      {"invalid text value", {{'(', 1, 1}, {'u', 2}, {'b', 1}, {'u', 0xC3}, {')'}},
       [&](InStream& in) { in.readString(&text); }},
      // A nested block is unread content too.
      {"block closed with unread data", {{'(', 1, 1}, {'(', 2, 1}, {')'}, {')'}},
       [](InStream& in) { in.closeBlock(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    std::istringstream data(written(c.script, "READ", 1));
    InStream in(&data);
    in.openBlock();
    EXPECT_EQ(errorOf([&] { c.read(in); }), io(c.message));
    EXPECT_EQ(errorOf([&] { in.skipBlock(); }), io("stream unusable after an earlier error"));
  }
  EXPECT_TRUE(b);
  EXPECT_EQ(d, 5.0);
  EXPECT_EQ(text, QStringLiteral("kept"));
}

// A device that refuses from the start or from the middle on (a full disk):
// the write that meets it throws, and the stream refuses all further work.
TEST(IoStreamDevice, WriteFaultsThrowStreamException) {
  std::ostream refused(nullptr);
  EXPECT_EQ(errorOf([&] { OutStream out(&refused, "X", 1); }), io("stream write error"));
  std::ostringstream full;
  OutStream out(&full, "X", 1);
  out.beginBlock(1, 1);
  full.setstate(std::ios_base::badbit);
  EXPECT_EQ(errorOf([&] { out.endBlock(); }), io("stream write error"));
  EXPECT_EQ(errorOf([&] { out.finish(); }), io("stream unusable after an earlier error"));
}

}  // namespace
