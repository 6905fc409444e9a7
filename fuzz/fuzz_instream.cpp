// libFuzzer target: arbitrary bytes read as a block stream.
//
// Each input is walked several times, each time by a different reader (one
// that expects nested blocks, one that expects values, one that skips, and
// one that chooses its steps pseudo-randomly), because a block's content
// carries no type marks and a single reader would stop at its first wrong
// guess. Any StreamException is an accepted outcome; a crash, a sanitizer
// report, a ProgError (the walkers never misuse the API) or a broken
// invariant of the reader (checked with abort) is a finding.
//
// The fuzz build defines FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION, under
// which the stream accepts any checksum: otherwise almost every mutation would
// end at the first checksum and the parsing behind it would go unexplored.
#include "zem_io.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

using Zem::IO::InStream;
using Zem::IO::StreamException;

enum class Reader { Nested, Values, Skipping, Random };

// Deeper blocks are skipped, so that the walker's recursion stays bounded
// whatever the nesting in the data (the stream itself does not recurse).
constexpr unsigned kMaxWalkDepth = 64;
// Steps of the random reader per input; bounds the time per input.
constexpr unsigned kMaxSteps = 4096;

void check(bool condition) {
  if (!condition) std::abort();
}

class Walker {
 public:
  Walker(InStream* in, Reader reader, std::uint32_t seed) : in_(in), reader_(reader), state_(seed | 1u) {}

  void walkStream() {
    while (!in_->isStreamEnd()) {
      in_->openBlock();
      check(in_->getBlockDepth() == 1);
      walkBlock(1);
      check(in_->getBlockDepth() == 0);
    }
    check(in_->isStreamEnd());
  }

 private:
  // Reads the content of the open block at `depth` and leaves it.
  void walkBlock(unsigned depth) {
    (void)in_->getBlockId();
    (void)in_->getBlockVersion();
    if (depth >= kMaxWalkDepth || reader_ == Reader::Skipping) {
      in_->skipBlock();
      return;
    }
    while (!in_->isBlockEnd() && steps_ < kMaxSteps) {
      ++steps_;
      step(depth);
    }
    if (in_->isBlockEnd())
      in_->closeBlock();
    else
      in_->skipBlock();
  }

  void step(unsigned depth) {
    const std::uint64_t before = in_->getUnreadBlockBytes();
    switch (chooseAction()) {
      case 0: {
        in_->openBlock();
        check(in_->getBlockDepth() == depth + 1);
        walkBlock(depth + 1);
        check(in_->getBlockDepth() == depth);
        check(in_->getUnreadBlockBytes() + 25 <= before);  // a frame takes at least 25 bytes
        return;
      }
      case 1: {
        double value;
        in_->readDouble(&value);
        check(in_->getUnreadBlockBytes() + 8 == before);
        return;
      }
      case 2: {
        bool value;
        in_->readBool(&value);
        check(in_->getUnreadBlockBytes() + 1 == before);
        return;
      }
      case 3: {
        std::int32_t value;
        in_->readInt32(&value);
        check(in_->getUnreadBlockBytes() + 4 == before);
        return;
      }
      case 4: {
        std::uint32_t value;
        in_->readUInt32(&value);
        check(in_->getUnreadBlockBytes() + 4 == before);
        return;
      }
      default: {
        QString text;
        in_->readString(&text);
        check(in_->getUnreadBlockBytes() + 4 <= before);
        return;
      }
    }
  }

  unsigned chooseAction() {
    switch (reader_) {
      case Reader::Nested:
        return 0;
      case Reader::Values:
        // Doubles while they fit, then single bytes as bools.
        return in_->getUnreadBlockBytes() >= 8 ? 1 : 2;
      case Reader::Skipping:
      case Reader::Random:
        break;
    }
    state_ = state_ * 1664525u + 1013904223u;  // LCG; only the walk order depends on it
    return (state_ >> 16) % 6;
  }

  InStream* in_;
  Reader reader_;
  std::uint32_t state_;
  unsigned steps_ = 0;
};

void walk(const std::string& bytes, Reader reader, std::uint32_t seed) {
  std::istringstream data(bytes);
  try {
    InStream in(&data);
    (void)in.isOfType(QStringLiteral("LAST-GLOBAL-TRAFO"));
    check(in.getType().toUtf8().size() <= static_cast<qsizetype>(Zem::IO::OutStream::kMaxTypeBytes));
    Walker(&in, reader, seed).walkStream();
  } catch (const StreamException& e) {
    check(!e.getText().isEmpty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  walk(bytes, Reader::Nested, 0);
  walk(bytes, Reader::Values, 0);
  walk(bytes, Reader::Skipping, 0);
  std::uint32_t seed = 2166136261u;  // FNV-1a of the input: the random walks follow the data
  for (std::size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
  walk(bytes, Reader::Random, seed);
  walk(bytes, Reader::Random, seed ^ 0x9E3779B9u);
  return 0;
}
