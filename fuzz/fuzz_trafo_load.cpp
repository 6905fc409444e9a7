// Feeds arbitrary bytes to LastAndGlobalTransformation::loadStream. It must
// never crash; a load that fails must leave the object exactly as it was, and
// a load that succeeds must survive a save/load round trip bit for bit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "math_trafo_io.h"

namespace {

using Zem::BaVec3d;
using Zem::LastAndGlobalTransformation;
using Zem::Transformation;

bool sameBits(const Transformation& a, const Transformation& b) {
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) {
      const double x = a.getMatrix(c, r), y = b.getMatrix(c, r);
      if (std::memcmp(&x, &y, sizeof x) != 0) return false;
    }
  return true;
}

bool sameRecord(const LastAndGlobalTransformation& a, const LastAndGlobalTransformation& b) {
  return a.isLastTransformationValid() == b.isLastTransformationValid() &&
         a.isGlobalTransformationValid() == b.isGlobalTransformationValid() &&
         sameBits(a.getLastTransformation(), b.getLastTransformation()) &&
         sameBits(a.getGlobalTransformation(), b.getGlobalTransformation());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Transformation last(BaVec3d<double>(1, 2, 3), BaVec3d<double>(0.1, 0.2, 0.3), 1.5);
  const Transformation global = Transformation::identity();
  const LastAndGlobalTransformation before(last, true, global, false);
  LastAndGlobalTransformation record(last, true, global, false);

  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  Zem::ErrorLog log;
  if (!record.loadStream(&in, &log, 0, 0)) {
    if (!sameRecord(record, before) || log.getEntries().size() != 1) std::abort();
    return 0;
  }
  if (!log.getEntries().isEmpty()) std::abort();

  std::ostringstream out;
  if (!record.saveStream(&out, &log, 0, 0)) std::abort();
  LastAndGlobalTransformation again(global, false, last, true);
  std::istringstream back(out.str());
  if (!again.loadStream(&back, &log, 0, 0) || !sameRecord(again, record)) std::abort();
  return 0;
}
