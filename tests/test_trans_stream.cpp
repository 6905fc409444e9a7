// The stream block of a Transformation and the library's start-up call.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLocale>

#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <vector>

#include "math_transformation.h"
#include "test_util.h"
#include "zem_base.h"
#include "zem_io.h"

namespace Zem {
namespace {

using test::SameBits;

constexpr const char* kStreamType = "TRAFO-TEST";

// A matrix no similarity would have: every element distinct, row 3 non-zero,
// m33 = 0.5 (scale 2), and values that only survive bit-exact copying.
Transformation oddMatrix() {
  const double m[4][4] = {{0.1, -0.2, 1.0 / 3.0, 1e300},
                          {-0.0, 4.9406564584124654e-324, 2.0, -7.25},
                          {1e-17, 3.0, -1.0, 123456.78901234567},
                          {0.25, -0.125, 6.0, 0.5}};
  return Transformation(m);
}

std::string saved(Transformation t, unsigned outerBlocks = 0) {
  std::ostringstream bytes;
  {
    IO::OutStream out(&bytes, kStreamType, 1);
    for (unsigned i = 0; i < outerBlocks; ++i) out.beginBlock(900 + i, 1);
    t.saveData(out, 0, 0);
    for (unsigned i = 0; i < outerBlocks; ++i) out.endBlock();
    out.finish();
  }
  return bytes.str();
}

std::string rawBlock(unsigned id, unsigned version, const std::vector<double>& values) {
  std::ostringstream bytes;
  {
    IO::OutStream out(&bytes, kStreamType, 1);
    out.beginBlock(id, version);
    for (double v : values) out.writeDouble(v);
    out.endBlock();
    out.finish();
  }
  return bytes.str();
}

void load(const std::string& bytes, Transformation* t) {
  std::istringstream in(bytes);
  IO::InStream stream(&in);
  t->loadData(stream, 0, 0);
}

// The text of the exception loadData throws for a version-2 block.
QString versionTwoMessage() {
  Transformation t = Transformation::identity();
  try {
    load(rawBlock(128, 2, std::vector<double>(16, 1.0)), &t);
  } catch (const IO::StreamException& e) {
    return e.getText();
  }
  return QString("no exception");
}

TEST(TransformationStream, RoundTripIsBitForBit) {
  const Transformation original = oddMatrix();
  Transformation loaded = Transformation::identity();
  load(saved(original), &loaded);
  EXPECT_TRUE(SameBits(loaded, original));

  // NaN payloads and infinities are values like any other.
  double m[4][4] = {};
  std::uint64_t payload = 0x7ff8000000012345ULL;
  std::memcpy(&m[0][0], &payload, sizeof payload);
  m[1][1] = -std::numeric_limits<double>::infinity();
  m[3][3] = 1.0;
  const Transformation special(m);
  load(saved(special), &loaded);
  EXPECT_TRUE(SameBits(loaded, special));
}

TEST(TransformationStream, BlockIsSixteenDoublesRowByRow) {
  const Transformation t = oddMatrix();
  std::istringstream in(saved(t));
  IO::InStream stream(&in);
  stream.openBlock();
  EXPECT_EQ(stream.getBlockId(), 128u);
  EXPECT_EQ(stream.getBlockVersion(), 1u);
  const BaMatrix4x4<double> expected = t.getMatrix();
  for (double e : expected.v) {
    double v = 0.0;
    stream.readDouble(&v);
    EXPECT_EQ(std::memcmp(&v, &e, sizeof v), 0) << v << " vs " << e;
  }
  EXPECT_TRUE(stream.isBlockEnd());
  stream.closeBlock();
}

TEST(TransformationStream, AnyBlockIdIsRead) {
  const BaMatrix4x4<double> source = oddMatrix().getMatrix();
  Transformation t = Transformation::identity();
  load(rawBlock(7, 1, std::vector<double>(std::begin(source.v), std::end(source.v))), &t);
  EXPECT_TRUE(SameBits(t, oddMatrix()));
}

TEST(TransformationStream, OtherVersionsAreRejectedBeforeReading) {
  for (unsigned version : {0u, 2u, 4294967295u}) {
    Transformation t = oddMatrix();
    const std::string bytes = rawBlock(128, version, std::vector<double>(16, 9.0));
    std::istringstream in(bytes);
    IO::InStream stream(&in);
    try {
      t.loadData(stream, 0, 0);
      ADD_FAILURE() << "version " << version << " accepted";
    } catch (const IO::StreamException& e) {
      EXPECT_EQ(e.getText(), QString("invalid transformation block version: %1").arg(version));
    }
    EXPECT_TRUE(SameBits(t, oddMatrix())) << "version " << version;
    // Nothing was read and the block is still open for the caller to skip.
    EXPECT_EQ(stream.getBlockDepth(), 1u);
    EXPECT_EQ(stream.getUnreadBlockBytes(), 16u * sizeof(double));
    stream.skipBlock();
  }
}

TEST(TransformationStream, ShortBlockLeavesTheMatrixAlone) {
  Transformation t = oddMatrix();
  EXPECT_THROW(load(rawBlock(128, 1, std::vector<double>(15, 2.0)), &t), IO::StreamException);
  EXPECT_TRUE(SameBits(t, oddMatrix()));

  // A stream cut inside the block: every prefix of the bytes either fails
  // in the stream or in the block, never with a half-replaced matrix.
  const std::string bytes = saved(Transformation::identity());
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    Transformation u = oddMatrix();
    try {
      load(bytes.substr(0, cut), &u);
    } catch (const IO::StreamException&) {
    }
    const bool unchanged = SameBits(u, oddMatrix());
    const bool complete = SameBits(u, Transformation::identity());
    EXPECT_TRUE(unchanged || complete) << "cut at " << cut;
  }
}

TEST(TransformationStream, NestsInsideACallersBlocks) {
  const std::string bytes = saved(oddMatrix(), 2);
  std::istringstream in(bytes);
  IO::InStream stream(&in);
  stream.openBlock();
  stream.openBlock();
  EXPECT_EQ(stream.getBlockId(), 901u);
  Transformation t = Transformation::identity();
  t.loadData(stream, 0, 0);
  EXPECT_EQ(stream.getBlockDepth(), 2u);
  stream.closeBlock();
  stream.closeBlock();
  EXPECT_TRUE(SameBits(t, oddMatrix()));
}

// Creates a QCoreApplication when none exists and destroys it (with every
// translator on it) at the end; restores the default locale. One
// application object may exist at a time in the process.
class AppWithLocale {
 public:
  explicit AppWithLocale(const QLocale& locale) : previousLocale_(QLocale()) {
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc_, argv_);
    QLocale::setDefault(locale);
  }
  ~AppWithLocale() {
    removeTranslator("ZemTransformation");
    app_.reset();
    QLocale::setDefault(previousLocale_);
  }
  AppWithLocale(const AppWithLocale&) = delete;
  AppWithLocale& operator=(const AppWithLocale&) = delete;

 private:
  static inline char name_[] = "zem_tests";
  static inline char* argv_[] = {name_, nullptr};
  static inline int argc_ = 1;
  QLocale previousLocale_;
  std::unique_ptr<QCoreApplication> app_;
};

TEST(TransformationStream, VersionMessageIsTranslatedAfterInitLibrary) {
  {
    AppWithLocale scope(QLocale(QLocale::German, QLocale::Germany));
    Transformation::InitLibrary();
    EXPECT_EQ(versionTwoMessage(), QString::fromUtf8("ungültige Version des Transformationsblocks: 2"));
  }
  // Without a catalogue installed the message is English.
  EXPECT_EQ(versionTwoMessage(), QString("invalid transformation block version: 2"));
  {
    AppWithLocale scope(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(versionTwoMessage(), QString("invalid transformation block version: 2"));
  }
}

}  // namespace
}  // namespace Zem
