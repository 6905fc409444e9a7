// libFuzzer target: arbitrary bytes read as a block stream.
//
// A block's content carries no type marks, so a single reader would stop at
// its first wrong guess: each input is walked by readers that expect nested
// blocks, values, that skip, and that choose pseudo-randomly. A
// StreamException is an accepted outcome; a crash, a sanitizer report, a
// ProgError (the walkers never misuse the API) or a broken invariant (abort)
// is a finding. The fuzz build makes the stream accept any checksum
// (FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION), so mutations reach the parsing.
#include "zem_io.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

using Zem::IO::InStream;

enum class Reader { Nested, Values, Skipping, Random };

constexpr unsigned kMaxDepth = 64;    // deeper blocks are skipped: the walker's recursion stays bounded
constexpr unsigned kMaxSteps = 4096;  // bounds the time per input

void check(bool condition) {
  if (!condition) std::abort();
}

struct Walker {
  InStream& in;
  Reader reader;
  std::uint32_t state;
  unsigned steps = 0;

  unsigned chooseAction() {
    if (reader == Reader::Nested) return 0;
    if (reader == Reader::Values) return in.getUnreadBlockBytes() >= 8 ? 1 : 2;  // doubles, then bools
    state = state * 1664525u + 1013904223u;  // LCG; only the walk order depends on it
    return (state >> 16) % 6;
  }

  // Reads the content of the open block at `depth` and leaves it.
  void walkBlock(unsigned depth) {
    while (reader != Reader::Skipping && depth < kMaxDepth && !in.isBlockEnd() && steps++ < kMaxSteps) {
      const std::uint64_t before = in.getUnreadBlockBytes();
      switch (chooseAction()) {
        case 0:
          in.openBlock();
          check(in.getBlockDepth() == depth + 1);
          walkBlock(depth + 1);
          check(in.getBlockDepth() == depth && in.getUnreadBlockBytes() + 25 <= before);  // a frame has 25 bytes
          break;
        case 1: { double d; in.readDouble(&d); check(in.getUnreadBlockBytes() + 8 == before); break; }
        case 2: { bool b; in.readBool(&b); check(in.getUnreadBlockBytes() + 1 == before); break; }
        case 3: { std::int32_t i; in.readInt32(&i); check(in.getUnreadBlockBytes() + 4 == before); break; }
        case 4: { std::uint32_t u; in.readUInt32(&u); check(in.getUnreadBlockBytes() + 4 == before); break; }
        default: { QString text; in.readString(&text); check(in.getUnreadBlockBytes() + 4 <= before); break; }
      }
    }
    if (in.isBlockEnd())
      in.closeBlock();
    else
      in.skipBlock();
  }
};

void walk(const std::string& bytes, Reader reader, std::uint32_t seed) {
  std::istringstream data(bytes);
  try {
    InStream in(&data);
    check(in.getType().toUtf8().size() <= static_cast<qsizetype>(Zem::IO::OutStream::kMaxTypeBytes));
    Walker walker{in, reader, seed | 1u};
    while (!in.isStreamEnd()) {
      in.openBlock();
      walker.walkBlock(1);
      check(in.getBlockDepth() == 0);
    }
  } catch (const Zem::IO::StreamException& e) {
    check(!e.getText().isEmpty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::uint32_t seed = 2166136261u;  // FNV-1a of the input: the random walks follow the data
  for (std::size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
  for (Reader reader : {Reader::Nested, Reader::Values, Reader::Skipping}) walk(bytes, reader, 0);
  walk(bytes, Reader::Random, seed);
  walk(bytes, Reader::Random, seed ^ 0x9E3779B9u);
  return 0;
}
