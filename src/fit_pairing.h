// Pairing by identifier, internal to the library: the index of a point set
// by identifier and the one walk over the pairs that the fit, FitResult,
// the tool and the Python module all use (through pairByIdentifier or
// directly).
//
// The pairs, their order and the abort rule are those of comparing every
// source point with every destination point in order: for each source point
// in order, its partners in the order of the destination set; identifier −1
// never pairs; the pairing is abandoned as soon as one more pair is found
// when the pairs already number as many as either set has points.
#ifndef ZEM_FIT_PAIRING_H
#define ZEM_FIT_PAIRING_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "parallel.h"

namespace Zem {
namespace fit {

/// Sets of up to this many points stay in the cache (32 bytes a point,
/// 128 KB): neither their index's slots nor their partners are asked for
/// ahead.
constexpr std::size_t kInCache = 4096;

/// Index of a set by identifier: for each identifier the first index holding
/// it and, when identifiers repeat and chains are asked for, the next index
/// with the same identifier (increasing). Identifier −1 is never indexed.
/// Identifiers that fill most of their range use a direct table; others a
/// flat open-addressing hash table (linear probing, load at most 1/2).
/// Building and each lookup take constant time on average, and memory is 4
/// to 20 bytes per point (plus 4 per point only when identifiers repeat).
class IdIndex {
 public:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  /// Largest number of points that can be indexed (the index counts in 32
  /// bits; a billion points is far beyond any measurement this is meant for).
  static constexpr std::size_t kMaxPoints = std::size_t(1) << 30;

  /// Indexes `count` points; idOf(k) gives the identifier of point k.
  template <class IdOf>
  IdIndex(std::size_t count, const IdOf& idOf, bool withChains) {
    constexpr std::size_t kChunk = std::size_t(1) << 16;
    const std::size_t chunks = parallel::chunksOf(count, kChunk);
    const bool inParallel = count >= parallel::kMinPointsForThreads && parallel::threadCount() > 1;
    // Identifiers numbered from 0 or 1 with few gaps, the usual numbering,
    // are first tried in a direct table of count + 16 slots from 0: that
    // spares the pass that finds their range.
    if (numberedFromZero(count, idOf)) {
      dense_ = true;
      direct_.assign(count + 16, kNone);
      const Entered entered =
          inParallel ? enterInParallel(count, idOf, chunks, kChunk) : enterInOneWalk(count, idOf, withChains);
      if (entered == Entered::kComplete) return;
      if (entered == Entered::kRepeated) {
        enterInOneWalk(count, idOf, withChains);
        return;
      }
      dense_ = false;  // an identifier beyond the table: the range first
      std::vector<std::uint32_t>().swap(direct_);
      std::vector<std::uint32_t>().swap(next_);
    }
    // The range of the identifiers, over chunks of a large set in parallel.
    struct Range {
      std::size_t labelled = 0;
      std::int64_t lo = std::numeric_limits<std::int64_t>::max(), hi = std::numeric_limits<std::int64_t>::min();
    };
    std::vector<Range> ranges(chunks);
    parallel::forChunksOf(count, chunks, [&](std::size_t c) {
      Range r;  // in registers: the points' memory might alias ranges[c]
      for (std::size_t k = c * kChunk; k < std::min(count, (c + 1) * kChunk); ++k) {
        const std::int64_t id = idOf(k);
        if (id == -1) continue;
        ++r.labelled;
        r.lo = std::min(r.lo, id);
        r.hi = std::max(r.hi, id);
      }
      ranges[c] = r;
    });
    std::size_t labelled = 0;
    std::int64_t lo = std::numeric_limits<std::int64_t>::max(), hi = std::numeric_limits<std::int64_t>::min();
    for (const Range& r : ranges) {
      labelled += r.labelled;
      lo = std::min(lo, r.lo);
      hi = std::max(hi, r.hi);
    }
    if (labelled == 0) return;
    // hi − lo computed without overflow: unsigned difference of the two.
    const std::uint64_t range = std::uint64_t(hi) - std::uint64_t(lo);
    dense_ = range < std::uint64_t(2 * labelled + 16);
    if (dense_) {
      base_ = lo;
      direct_.assign(std::size_t(range + 1), kNone);
      if (inParallel && enterInParallel(count, idOf, chunks, kChunk) == Entered::kComplete) return;
    } else {
      unsigned bits = 1;
      while ((std::size_t(1) << bits) < 2 * labelled) ++bits;
      shift_ = 64u - bits;
      mask_ = (std::uint64_t(1) << bits) - 1u;
      slots_.assign(std::size_t(1) << bits, Slot{-1, kNone});
    }
    enterInOneWalk(count, idOf, withChains);
  }

  /// An entry of the hash table.
  struct Slot {
    std::int64_t id;  ///< −1: empty
    std::uint32_t first;
  };

  /// first() and prefetch() as a small value that a loop keeps in
  /// registers: through the index itself, a loop that also writes points
  /// (whose copies may alias anything) reloads its members at every lookup.
  class Lookup {
   public:
    /// First index with this identifier, or kNone.
    std::uint32_t first(std::int64_t id) const {
      if (id == -1) return kNone;
      if (dense_) {
        const std::uint64_t k = std::uint64_t(id) - std::uint64_t(base_);  // wraps for id < base_
        return k < directSize_ ? direct_[k] : kNone;
      }
      if (slotCount_ == 0) return kNone;
      for (std::uint64_t h = hash(id, shift_, mask_);; h = (h + 1u) & mask_) {
        if (slots_[h].id == id) return slots_[h].first;
        if (slots_[h].id == -1) return kNone;
      }
    }

    /// Asks for the memory that first(id) will read, so that a lookup made a
    /// little later does not wait on it.
    void prefetch(std::int64_t id) const {
      if (dense_) {
        const std::uint64_t k = std::uint64_t(id) - std::uint64_t(base_);
        if (k < directSize_) __builtin_prefetch(direct_ + k);
      } else if (slotCount_ != 0) {
        __builtin_prefetch(slots_ + hash(id, shift_, mask_));
      }
    }

   private:
    friend class IdIndex;
    bool dense_ = false;
    std::int64_t base_ = 0;
    const std::uint32_t* direct_ = nullptr;
    std::uint64_t directSize_ = 0;
    const Slot* slots_ = nullptr;
    std::uint64_t slotCount_ = 0;
    unsigned shift_ = 63;
    std::uint64_t mask_ = 0;
  };

  Lookup lookup() const {
    Lookup l;
    l.dense_ = dense_;
    l.base_ = base_;
    l.direct_ = direct_.data();
    l.directSize_ = direct_.size();
    l.slots_ = slots_.data();
    l.slotCount_ = slots_.size();
    l.shift_ = shift_;
    l.mask_ = mask_;
    return l;
  }

  /// First index with this identifier, or kNone.
  std::uint32_t first(std::int64_t id) const { return lookup().first(id); }

  /// Asks for the memory that first(id) will read (see Lookup).
  void prefetch(std::int64_t id) const { lookup().prefetch(id); }

  /// The next index after k with the same identifier, or kNone.
  std::uint32_t next(std::uint32_t k) const { return next_.empty() ? kNone : next_[k]; }

  /// Whether an identifier was indexed more than once (with chains asked for).
  bool repeats() const { return !next_.empty(); }

 private:
  /// Whether the first and the last identifier would fit a direct table of
  /// count + 16 slots from 0 (or are −1): a hint that the identifiers are
  /// numbered from 0 or 1.
  template <class IdOf>
  static bool numberedFromZero(std::size_t count, const IdOf& idOf) {
    const auto fits = [count](std::int64_t id) { return id == -1 || (id >= 0 && std::uint64_t(id) < count + 16); };
    return count > 0 && fits(idOf(0)) && fits(idOf(count - 1));
  }

  enum class Entered { kComplete, kRepeated, kOutside };

  /// Enters the points of a dense table over chunks in parallel, each point
  /// storing its index in its identifier's slot without a lock, then counts
  /// the slots filled (a sequential pass over the table). As many filled
  /// slots as labelled points means no identifier repeats, so every slot
  /// holds the one index of its identifier whichever thread wrote when
  /// (kComplete). Else the table is left empty, to be entered again in one
  /// walk (which keeps the first index of an identifier and its chain):
  /// kRepeated, or kOutside when an identifier lies beyond the table.
  template <class IdOf>
  Entered enterInParallel(std::size_t count, const IdOf& idOf, std::size_t chunks, std::size_t chunkSize) {
    const unsigned threads = parallel::threadCount();
    const std::size_t slots = direct_.size();
    std::vector<std::size_t> labelledIn(chunks, 0);
    std::vector<char> outside(chunks, 0);
    parallel::forChunks(chunks, threads, [&](std::size_t c) {
      constexpr std::size_t kAhead = 16;  // slots are written in random order: fetch them early
      const std::size_t end = std::min(count, (c + 1) * chunkSize);
      std::size_t labelled = 0;
      bool beyond = false;
      for (std::size_t k = c * chunkSize; k < end; ++k) {
        if (k + kAhead < end) {
          const std::uint64_t later = std::uint64_t(idOf(k + kAhead)) - std::uint64_t(base_);
          if (later < slots) __builtin_prefetch(&direct_[std::size_t(later)], 1);
        }
        const std::int64_t id = idOf(k);
        if (id == -1) continue;
        ++labelled;
        const std::uint64_t slot = std::uint64_t(id) - std::uint64_t(base_);  // wraps for id < base_
        if (slot >= slots) {
          beyond = true;
          continue;
        }
        // Relaxed: two threads race for a slot only when its identifier
        // repeats, and the count below then sends the table to the walk.
        __atomic_store_n(&direct_[std::size_t(slot)], std::uint32_t(k), __ATOMIC_RELAXED);
      }
      labelledIn[c] = labelled;
      outside[c] = beyond ? 1 : 0;
    });
    const std::size_t slotChunks = parallel::chunksOf(slots, chunkSize);
    std::vector<std::size_t> filled(slotChunks, 0);
    parallel::forChunks(slotChunks, threads, [&](std::size_t c) {
      std::size_t n = 0;
      for (std::size_t k = c * chunkSize; k < std::min(slots, (c + 1) * chunkSize); ++k) n += direct_[k] != kNone;
      filled[c] = n;
    });
    std::size_t total = 0, labelled = 0;
    for (std::size_t n : filled) total += n;
    for (std::size_t n : labelledIn) labelled += n;
    const bool beyond = std::find(outside.begin(), outside.end(), 1) != outside.end();
    if (!beyond && total == labelled) return Entered::kComplete;
    std::fill(direct_.begin(), direct_.end(), kNone);
    return beyond ? Entered::kOutside : Entered::kRepeated;
  }

  /// Enters the points in one walk from the back, so that the first index
  /// of an identifier is entered last and each chain runs in increasing
  /// order: kComplete, or kOutside when an identifier lies beyond a direct
  /// table (only the guessed one of numberedFromZero can; the table and the
  /// chains are then to be dropped).
  template <class IdOf>
  Entered enterInOneWalk(std::size_t count, const IdOf& idOf, bool withChains) {
    if (!dense_) {
      for (std::size_t k = count; k-- > 0;) {
        const std::int64_t id = idOf(k);
        if (id == -1) continue;
        std::uint32_t& first = slotFor(id);
        if (withChains && first != kNone) {
          if (next_.empty()) next_.assign(count, kNone);
          next_[k] = first;
        }
        first = std::uint32_t(k);
      }
      return Entered::kComplete;
    }
    // A direct table: until an identifier repeats, a walk without chains
    // (and without the call that makes them, so that the loop keeps the
    // table in registers); from there on with them.
    std::size_t from = count;
    Entered entered = enterDense(idOf, withChains, nullptr, &from);
    if (entered == Entered::kRepeated) {
      next_.assign(count, kNone);
      entered = enterDense(idOf, withChains, next_.data(), &from);
    }
    return entered;
  }

  /// Enters points *from − 1 down to 0 into the direct table, with `next`
  /// the chains (or null: none yet), and leaves *from at the first point not
  /// entered: kComplete; kOutside at an identifier beyond the table;
  /// kRepeated at a repeated identifier when chains are asked for and
  /// `next` is null.
  template <class IdOf>
  Entered enterDense(const IdOf& idOf, bool withChains, std::uint32_t* next, std::size_t* from) {
    constexpr std::size_t kAhead = 16;  // slots are written in random order: fetch them early
    std::uint32_t* const table = direct_.data();
    const std::uint64_t slots = direct_.size(), base = std::uint64_t(base_);
    const bool ahead = *from > kInCache;
    for (std::size_t k = *from; k-- > 0;) {
      if (ahead && k >= kAhead) {
        const std::uint64_t later = std::uint64_t(idOf(k - kAhead)) - base;
        if (later < slots) __builtin_prefetch(table + later, 1);
      }
      const std::int64_t id = idOf(k);
      if (id == -1) continue;
      const std::uint64_t slot = std::uint64_t(id) - base;  // wraps for id < base_
      if (slot >= slots) {
        *from = k + 1;
        return Entered::kOutside;
      }
      std::uint32_t& first = table[slot];
      if (withChains && first != kNone) {
        if (next == nullptr) {
          *from = k + 1;
          return Entered::kRepeated;
        }
        next[k] = first;
      }
      first = std::uint32_t(k);
    }
    *from = 0;
    return Entered::kComplete;
  }

  std::uint32_t& slotFor(std::int64_t id) {
    for (std::uint64_t h = hash(id, shift_, mask_);; h = (h + 1u) & mask_) {
      if (slots_[h].id == id) return slots_[h].first;
      if (slots_[h].id == -1) {
        slots_[h].id = id;
        return slots_[h].first;
      }
    }
  }

  // Fibonacci hashing: the top bits of id·2^64/φ spread runs and strides of
  // identifiers evenly over the table.
  static std::uint64_t hash(std::int64_t id, unsigned shift, std::uint64_t mask) {
    return (std::uint64_t(id) * 0x9E3779B97F4A7C15u) >> shift & mask;
  }

  bool dense_ = false;
  std::int64_t base_ = 0;
  std::vector<std::uint32_t> direct_;
  std::vector<Slot> slots_;
  unsigned shift_ = 63;
  std::uint64_t mask_ = 0;
  std::vector<std::uint32_t> next_;
};

/// The identifiers of a set of points (anything with `.id`, indexed by
/// position), as IdIndex and forEachIdPair take them.
template <class Points>
auto idsOf(const Points& set) {
  return [&set](std::size_t k) { return std::int64_t(set[k].id); };
}

/// Asks for the memory of one point of a set, both cache lines it may
/// straddle (a 32-byte point from a 16-byte aligned start): forEachIdPair's
/// `ahead` for callers that read the partners.
template <class Point>
void prefetchPoint(const Point& p) {
  __builtin_prefetch(&p);
  __builtin_prefetch(reinterpret_cast<const char*>(&p) + sizeof(Point) - 1);
}

/// Walks the pairs by identifier in linear time, calling onPair(i, j) for
/// source point i and destination point j of each pair, in pairing order
/// (see the file comment), and ahead(j) with the first partner of the source
/// point kAhead places further on, so that a caller reading the partners
/// from memory can ask for them early. `dstById` indexes the destination
/// set (with chains). False, after the pairs found so far, as soon as one
/// more pair is found when the pairs already number as many as either set
/// has points; *pairCount counts the pairs handed out.
template <class SrcIdOf, class OnPair, class Ahead>
bool forEachIdPair(const IdIndex& dstById, std::size_t srcCount, const SrcIdOf& srcIdOf, std::size_t dstCount,
                   OnPair&& onPair, Ahead&& ahead, std::size_t* pairCount) {
  // The partners lie anywhere in the destination set: asking for them a few
  // source points ahead lets the reads wait on memory for several at once,
  // in two stages: the index's entry 2·kAhead points ahead, the partner
  // (found through that entry, by then at hand) kAhead points ahead. 32
  // points ahead cover the memory latency of a loaded server (16 left a
  // fit of 1e6 pairs by identifier about 6% slower; 64 gained nothing more).
  constexpr std::size_t kAhead = 32;
  // Counted in a local, which stays in a register: the callers' writes
  // through onPair might alias *pairCount.
  std::size_t count = 0;
  const std::size_t limit = std::min(srcCount, dstCount);
  const bool inCache = dstCount <= kInCache;
  const IdIndex::Lookup lookup = dstById.lookup();
  for (std::size_t i = 0; i < srcCount; ++i) {
    if (!inCache) {
      if (i + 2 * kAhead < srcCount) lookup.prefetch(srcIdOf(i + 2 * kAhead));
      if (i + kAhead < srcCount) {
        const std::uint32_t later = lookup.first(srcIdOf(i + kAhead));
        if (later != IdIndex::kNone) ahead(std::size_t(later));
      }
    }
    for (std::uint32_t j = lookup.first(srcIdOf(i)); j != IdIndex::kNone; j = dstById.next(j)) {
      if (count == limit) {
        *pairCount = count;
        return false;
      }
      onPair(i, std::size_t(j));
      ++count;
    }
  }
  *pairCount = count;
  return true;
}

}  // namespace fit
}  // namespace Zem

#endif  // ZEM_FIT_PAIRING_H
