#include "pixelsets/partition.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "pixelsets/draw_steps.h"
#include "pixelsets/external_draw.h"
#include "pixelsets/source_order_gather.h"
#include "pixelsets/storage.h"

namespace pixelsets {
namespace {

// How far ahead to fetch a record's text in the second pass: far larger than
// the caches, so each access is a miss. Measured at ten million records:
// without it a run took 1.08 s instead of 0.43 s; 8, 12, 20 or 32 ahead did
// no better than 16.
constexpr std::size_t kTextAhead = 16;
// Below this many draws a second thread costs more than it saves (starting
// one takes tens of microseconds, drawing this many a millisecond or two).
constexpr std::size_t kThreadFrom = 65536;

// The draw of one run, in two passes. The first pass is the procedure
// itself (DrawPositions); the second gathers the drawn records' text in
// draw order into the set files, and may follow the first as it publishes
// how far it has come.
template <class Offset>
class TwoPassDraw {
 public:
  TwoPassDraw(Offset* cadenas, std::size_t n_total, std::size_t total,
              const Pool& pool, const DrawOptions& options)
      : cadenas_(cadenas),
        n_total_(n_total),
        total_(total),
        text_(pool.text),
        text_size_(pool.text_size),
        options_(options) {}

  void Permute(const Generator& rand);
  // Gathers draws [from, to) into `out` and finishes it; false with `*err`
  // filled when a write fails, or when the draw was given up.
  bool Gather(std::size_t from, std::size_t to, BlockWriter* out,
              const SetStream& set, std::string* err);
  // The same, reading the text in its own order a chunk at a time.
  bool GatherInSourceOrder(std::size_t from, std::size_t to, BlockWriter* out,
                           const SetStream& set, std::string* err);
  // Notes a failed write of `set` (the reason in errno) and stops both passes.
  bool Fail(const SetStream& set, std::string* err) {
    *err = SetFileError(set.name, errno);
    failed_.store(true);
    return false;
  }
  // Stops both passes early; a gatherer stops waiting.
  void GiveUp() {
    failed_.store(true);
    drawn_.GiveUp();
  }

 private:
  // The offset of the k-th record drawn.
  Offset DrawnAt(std::size_t k) const { return cadenas_[n_total_ - 1 - k]; }

  // Tells how many records both gatherers have written, now and then.
  void Written(std::size_t records) {
    if (!options_.progress) return;
    const std::uint64_t done = written_.fetch_add(records) + records;
    options_.progress(done, total_);
  }

  Offset* cadenas_;
  std::size_t n_total_;
  std::size_t total_;
  const char* text_;
  std::size_t text_size_;
  const DrawOptions& options_;
  DrawnCount drawn_;  // records the first pass has placed
  std::atomic<bool> failed_{false};
  std::atomic<std::uint64_t> written_{0};
};

template <class Offset>
void TwoPassDraw<Offset>::Permute(const Generator& rand) {
  DrawPositions(
      cadenas_, n_total_, total_, rand,
      [this](std::size_t drawn) { drawn_.Publish(drawn); },
      [this] { return failed_.load(); });
}

template <class Offset>
bool TwoPassDraw<Offset>::Gather(std::size_t from, std::size_t to,
                                 BlockWriter* out, const SetStream& set,
                                 std::string* err) {
  if (text_size_ >= options_.source_order_from)
    return GatherInSourceOrder(from, to, out, set, err);
  errno = 0;
  std::size_t ready = from;
  for (std::size_t k = from; k < to; ++k) {
    if (k == ready) {
      ready = drawn_.WaitPast(k);
      if (ready == DrawnCount::kGivenUp || failed_.load()) return false;
    }
    if (k + kTextAhead < ready) Prefetch(text_ + DrawnAt(k + kTextAhead));
    if (!out->Line(Pool::RecordAt(text_, text_size_, DrawnAt(k))))
      return Fail(set, err);
    constexpr std::size_t kReportEvery = 65536;
    if ((k - from + 1) % kReportEvery == 0) Written(kReportEvery);
  }
  return out->Finish() || Fail(set, err);
}

template <class Offset>
bool TwoPassDraw<Offset>::GatherInSourceOrder(std::size_t from, std::size_t to,
                                              BlockWriter* out,
                                              const SetStream& set,
                                              std::string* err) {
  errno = 0;
  SourceOrderGather<Offset> gather(text_, text_size_, n_total_,
                                   options_.gather_chunk);
  for (std::size_t k = from; k < to;) {
    const std::size_t end = std::min(to, k + gather.chunk());
    const std::size_t ready = drawn_.WaitPast(end - 1);
    if (ready == DrawnCount::kGivenUp || failed_.load()) return false;
    // Draws [k, end) lie stacked below the records still in the pool.
    if (!gather.Write(cadenas_ + (n_total_ - end), end - k, out))
      return Fail(set, err);
    Written(end - k);
    k = end;
  }
  return out->Finish() || Fail(set, err);
}

// Draws into both writers. A large draw runs on two cores: one thread draws
// the positions and then gathers the smaller set, the other gathers the
// larger set as the positions come. Gathering is about three times the work
// of drawing positions: measured at ten million records, 70 % for training,
// a run took 0.40 s with one gatherer for both sets and 0.30 s split so.
template <class Offset>
bool DrawSets(Offset* cadenas, std::size_t n_total, std::size_t n_entr,
              std::size_t n_test, const Pool& pool, const Generator& rand,
              BlockWriter* entr, BlockWriter* test, const SetStream& e,
              const SetStream& t, const DrawOptions& options,
              std::string* err) {
  const std::size_t total = n_entr + n_test;
  TwoPassDraw<Offset> draw(cadenas, n_total, total, pool, options);
  struct Part {
    std::size_t from, to;
    BlockWriter* out;
    const SetStream* set;
    std::string err;
    bool ok = false;
  } parts[2] = {{0, n_entr, entr, &e, {}}, {n_entr, total, test, &t, {}}};
  Part& larger = n_entr >= n_test ? parts[0] : parts[1];
  Part& smaller = n_entr >= n_test ? parts[1] : parts[0];
  auto gather = [&draw](Part* part) {
    part->ok =
        draw.Gather(part->from, part->to, part->out, *part->set, &part->err);
  };

  bool out_of_memory = false;
  std::thread gatherer;
  if (total >= kThreadFrom) {
    try {
      gatherer = std::thread([&] {
        try {
          gather(&larger);
        } catch (const std::bad_alloc&) {  // a message that did not fit
          out_of_memory = true;
          draw.GiveUp();
        }
      });
    } catch (const std::system_error&) {
      // No second thread: both passes on this one.
    }
  }
  try {
    draw.Permute(rand);
    if (!gatherer.joinable()) gather(&larger);
    gather(&smaller);
  } catch (...) {
    draw.GiveUp();
    if (gatherer.joinable()) gatherer.join();
    throw;
  }
  if (gatherer.joinable()) gatherer.join();
  if (out_of_memory) throw std::bad_alloc();
  if (parts[0].ok && parts[1].ok) return true;
  // The training set's failure first, as a draw one record at a time would
  // meet it; a part stopped by the other's failure has no reason of its own.
  *err = parts[0].err.empty() ? parts[1].err : parts[0].err;
  return false;
}

}  // namespace

Generator ValueByValue(std::function<int()> next) {
  return [next = std::move(next)](int* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) values[i] = next();
  };
}

GlibcRand::GlibcRand(unsigned seed) {
  // As glibc's srandom_r: the state from a Park-Miller generator (Schrage's
  // method, on the seed taken as a signed 32-bit word), then 310 values
  // thrown away.
  std::int32_t word = static_cast<std::int32_t>(seed == 0 ? 1 : seed);
  state_[0] = static_cast<std::uint32_t>(word);
  for (int i = 1; i < kDegree; ++i) {
    const std::int64_t hi = word / 127773;
    const std::int64_t lo = word % 127773;
    word = static_cast<std::int32_t>(16807 * lo - 2836 * hi);
    if (word < 0) word += 2147483647;
    state_[i] = static_cast<std::uint32_t>(word);
  }
  for (int i = 0; i < kDegree * 10; ++i) Next();
}

Generator SeededRand(unsigned seed) {
  // Compared over this many values: a different generator, or the same one
  // seeded differently, parts from rand() within a few.
  constexpr int kChecked = 300;
  std::srand(seed);
  GlibcRand copy(seed);
  bool same = RAND_MAX == 2147483647;
  for (int i = 0; i < kChecked && same; ++i) same = copy.Next() == std::rand();
  std::srand(seed);
  if (same) {
    return [gen = GlibcRand(seed)](int* values, std::size_t count) mutable {
      for (std::size_t i = 0; i < count; ++i) values[i] = gen.Next();
    };
  }
  if constexpr (RAND_MAX >= 2147483647) {
    return ValueByValue([] { return std::rand(); });
  } else {
    // A generator narrower than 31 bits (RAND_MAX 32767 on Windows) would
    // never reach most positions of a large pool: each value is built from
    // as many rand() calls, first in the high bits, as cover 31 bits.
    return ValueByValue([] {
      constexpr int kBits = std::bit_width(static_cast<unsigned>(RAND_MAX));
      std::uint64_t value = 0;
      for (int bits = 0; bits < 31; bits += kBits)
        value = value << kBits | static_cast<unsigned>(std::rand());
      return static_cast<int>(value & 0x7fffffff);
    });
  }
}

std::string SetFileError(const char* name, int errnum) {
  return std::string("Error al escribir el fichero ") + name + ": " +
         std::strerror(errnum != 0 ? errnum : EIO);
}

bool Partition(Pool* pool, std::int32_t caract, std::int32_t n_entr,
               std::int32_t n_test, const Generator& rand,
               const SetStream& fEntrenamiento, const SetStream& fTest,
               std::string* err, const DrawOptions& options) {
  const std::size_t n_total = pool->size();
  // Counts beyond the pool would draw from records already taken.
  if (n_entr < 0 || n_test < 0 ||
      static_cast<std::uint64_t>(n_entr) + static_cast<std::uint64_t>(n_test) >
          n_total) {
    *err = "Cuentas fuera del conjunto: " + std::to_string(n_entr) + " + " +
           std::to_string(n_test) + " de " + std::to_string(n_total);
    return false;
  }
  BlockWriter entr(fEntrenamiento.file);
  BlockWriter test(fTest.file);
  entr.Header(caract);
  test.Header(caract);
  const auto e = static_cast<std::size_t>(n_entr);
  const auto t = static_cast<std::size_t>(n_test);
  if (pool->external) {
    return ExternalDraw(pool, e, t, rand, &entr, &test, fEntrenamiento, fTest,
                        options, err);
  }
  bool ok;
  if (pool->wide) {
    ok = DrawSets(pool->cadenas_wide.data(), n_total, e, t, *pool, rand, &entr,
                  &test, fEntrenamiento, fTest, options, err);
    pool->cadenas_wide.resize(n_total - e - t);
  } else {
    ok = DrawSets(pool->cadenas.data(), n_total, e, t, *pool, rand, &entr,
                  &test, fEntrenamiento, fTest, options, err);
    pool->cadenas.resize(n_total - e - t);
  }
  return ok;
}

}  // namespace pixelsets
