#include "pixelsets/load_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "pixelsets/decimal.h"
#include "pixelsets/memory_budget.h"
#include "pixelsets/platform.h"
#include "pixelsets/record.h"
#include "test_util.h"

namespace {

using pixelsets::LoadOptions;
using pixelsets::SourcePath;
using testutil::Load;
using testutil::Records;

const std::string k1999(1999, 'x');
const std::string k2000(2000, 'x');
const std::string kLong = std::string(3000, 'y');

struct Good {
  std::string source;
  std::int32_t caract;
  std::vector<std::string> records;
};

TEST(LoadSource, GoodSources) {
  const Good cases[] = {
      {"3\na b c\nd e f", 3, {"a b c", "d e f"}},
      {"3\na b c\nd e f\n", 3, {"a b c", "d e f"}},
      {"3\n\na\n\nb\n\n", 3, {"", "a", "", "b", ""}},
      {"3\na\na\n", 3, {"a", "a"}},
      {"12 per pixel\n1 2\n", 12, {"1 2"}},
      {"-4\nr\n", -4, {"r"}},
      {"  \t+7\nr\n", 7, {"r"}},
      {"2147483647\n", 2147483647, {}},
      {"-2147483648", -2147483648, {}},
      {"5", 5, {}},
      {"5\n", 5, {}},
      {"3\r\na b\r\nc d\r\n", 3, {"a b", "c d"}},
      {"3\r\na b\r\nc d\r", 3, {"a b", "c d"}},
      {"3\na\rb\r\r\n", 3, {"a\rb\r"}},
      {"3\n\r\n", 3, {""}},
      {std::string("3\nab\0cd\nef\n", 11), 3, {"ab", "ef"}},
      {std::string("3\0junk\n\0\n", 9), 3, {""}},
      {"3\n" + k1999, 3, {k1999}},
      {"3\n" + k1999 + "\n", 3, {k1999}},
      {"3\n" + k1999 + "\r\n", 3, {k1999}},
  };
  for (const Good& c : cases) {
    for (std::uint64_t hint :
         {std::uint64_t{0}, std::uint64_t{c.source.size()}, std::uint64_t{1}}) {
      const auto got = Load(c.source, hint);
      const std::string label = "source \"" + c.source.substr(0, 40) +
                                "\" hint " + std::to_string(hint);
      ASSERT_TRUE(got.ok) << label << ": " << got.err;
      EXPECT_EQ(got.source.caract, c.caract) << label;
      EXPECT_EQ(Records(got.source), c.records) << label;
    }
  }
}

struct Bad {
  std::string source;
  std::string err;
};

TEST(LoadSource, RefusedSources) {
  const std::string kHeader =
      "El fichero Origen no empieza con un numero entero";
  auto long_line = [](int n) {
    return "La linea " + std::to_string(n) +
           " del fichero Origen tiene mas de 1999 caracteres";
  };
  const Bad cases[] = {
      {"", kHeader},
      {"\n3\n", kHeader},
      {"x3\n", kHeader},
      {"- 3\n", kHeader},
      {"+\n", kHeader},
      {"2147483648\n", kHeader},
      {"-2147483649\n", kHeader},
      {"99999999999999999999\na\n", kHeader},
      {std::string("\0"
                   "3\n",
                   3),
       kHeader},
      {"3\n" + k2000, long_line(2)},
      {"3\n" + k2000 + "\n", long_line(2)},
      {"3\n" + k2000 + "\r\n", long_line(2)},
      {"3\na\nb\n" + kLong + "\nc\n", long_line(4)},
      {"3" + k1999 + "\na\n", long_line(1)},
      {std::string(100000, '\r'), long_line(1)},
      {std::string(100000, '\0'), long_line(1)},
      // The header is refused as soon as its line is read.
      {"x\n" + kLong, kHeader},
  };
  for (const Bad& c : cases) {
    for (std::uint64_t hint :
         {std::uint64_t{0}, std::uint64_t{c.source.size()}}) {
      const auto got = Load(c.source, hint);
      const std::string label = "source \"" + c.source.substr(0, 40) + "\"";
      EXPECT_FALSE(got.ok) << label;
      EXPECT_EQ(got.err, c.err) << label;
      EXPECT_EQ(got.source.records(), 0u) << label;
    }
  }
}

// The quick way to a short record gives what the byte by byte way gives, at
// every offset of texts made of the bytes that end or cut records, wherever
// they fall in the two words it looks at.
TEST(Record, ShortRecordAtAgreesWithRecordAtAnywhere) {
  std::mt19937 gen(29);
  std::size_t found = 0;
  const char bytes[] = {'\n', '\r', '\0', 'a', '7', ' ', '\x80', '\xff'};
  for (int trial = 0; trial < 400; ++trial) {
    std::string text(1 + gen() % 60, 'x');
    const unsigned spread = 1 + gen() % 16;  // 1: every byte a special one
    for (char& c : text)
      if (gen() % spread == 0) c = bytes[gen() % sizeof bytes];
    for (std::size_t at = 0; at < text.size(); ++at) {
      std::string_view quick;
      if (!pixelsets::ShortRecordAt(text.data(), text.size(), at, &quick))
        continue;
      const std::string_view slow =
          pixelsets::RecordAt(text.data(), text.size(), at);
      ASSERT_EQ(quick.data(), slow.data()) << testing::PrintToString(text);
      ASSERT_EQ(quick.size(), slow.size())
          << "offset " << at << " of " << testing::PrintToString(text);
      ASSERT_LT(quick.size(), pixelsets::kCopyAtOnce);
      ++found;
    }
  }
  EXPECT_GT(found, 1000u);  // the quick way taken, not always declined
}

TEST(LoadSource, ReportsAReadError) {
#ifdef _WIN32
  GTEST_SKIP() << "the Microsoft runtime reads a write-only stream as empty";
#endif
  // A stream open only for writing fails every read.
  std::FILE* f = std::fopen("/dev/null", "w");
  ASSERT_NE(f, nullptr);
  pixelsets::Source source;
  std::string err;
  EXPECT_FALSE(pixelsets::LoadSource(f, 0, {}, &source, &err));
  EXPECT_EQ(err, "Error al leer el fichero Origen");
  std::fclose(f);
}

// Whatever the chunk boundaries and size hint, the records are the source's
// lines in order: a source large enough to span many reads and buffer growth.
TEST(LoadSource, LargeSourceGivesBackItsLines) {
  std::string source = "4\n";
  std::vector<std::string> lines;
  unsigned state = 12345;
  for (int i = 0; i < 60000; ++i) {
    state = state * 1103515245 + 12345;
    lines.push_back(
        std::string(state >> 24 & 31, static_cast<char>('a' + i % 26)) +
        std::to_string(i));
    source += lines.back() + (i % 3 == 0 ? "\r\n" : "\n");
  }
  for (std::uint64_t hint :
       {std::uint64_t{0}, std::uint64_t{1000}, std::uint64_t{source.size()},
        std::uint64_t{source.size() * 3}}) {
    const auto got = Load(source, hint);
    ASSERT_TRUE(got.ok) << "hint " << hint << ": " << got.err;
    EXPECT_EQ(got.source.caract, 4);
    EXPECT_EQ(Records(got.source), lines) << "hint " << hint;
  }
}

// A source large enough to be indexed in two halves on two threads: its
// records, and a long line or too many records found wherever they are.
TEST(LoadSource, SourceIndexedInHalves) {
  std::string source = "7\n";
  std::vector<std::string> lines;
  for (int i = 0; i < 700000; ++i) {
    lines.push_back(std::to_string(i * 7919LL % 1000003) + " 17 203 96");
    source += lines.back() + (i % 5 == 0 ? "\r\n" : "\n");
  }
  const std::size_t late = source.find('\n', source.size() * 3 / 4);
  ASSERT_GT(source.size(), std::size_t{8} << 20);
  const auto whole = Load(source);
  ASSERT_TRUE(whole.ok) << whole.err;
  EXPECT_EQ(Records(whole.source), lines);
  EXPECT_EQ(Records(Load(source + k1999 + "\r", 0).source).back(), k1999);

  const std::string near_start = source.substr(0, 1000);
  const std::string long_line = std::string(2000, 'z') + "\n";
  const struct {
    std::string source;
    std::string err;
  } bad[] = {
      {near_start + long_line + source.substr(1000),
       "La linea " +
           std::to_string(
               1 + std::count(near_start.begin(), near_start.end(), '\n')) +
           " del fichero Origen tiene mas de 1999 caracteres"},
      {source.substr(0, late + 1) + long_line + source.substr(late + 1),
       "La linea " +
           std::to_string(2 + std::count(source.begin(),
                                         source.begin() +
                                             static_cast<std::ptrdiff_t>(late),
                                         '\n')) +
           " del fichero Origen tiene mas de 1999 caracteres"},
  };
  for (const auto& c : bad) {
    const auto got = Load(c.source);
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.err, c.err);
    EXPECT_EQ(got.source.records(), 0u);
  }
  LoadOptions limit;
  limit.max_records = 699999;
  const auto too_many = Load(source, -1, limit);
  EXPECT_FALSE(too_many.ok);
  EXPECT_EQ(too_many.err, "El fichero Origen tiene demasiados registros");
}

// A large text split in two halves on a line end: an empty line or a short
// one at either side of the split is a record like any other.
TEST(LoadSource, EmptyLineWhereTheTextIsSplit) {
  std::string source = "5\n";
  while (source.size() < (std::size_t{9} << 20) + 123) source += "abcdefghi\n";
  // Padded so that a line end falls right at the middle: the second half
  // starts just past it, and a line end just before it stays in the first.
  const std::size_t middle = source.find('\n', source.size() / 2);
  const std::size_t pad = 2 * middle - source.size();
  if (pad > 0) source += std::string(pad - 1, 'x') + "\n";
  ASSERT_EQ(source.size() / 2, middle);
  const std::size_t split = middle + 1;
  // An empty line last in the first half, an empty one first in the
  // second, a line of one byte first in the second.
  for (const std::size_t at : {split - 2, split, split + 1}) {
    std::string text = source;
    text[at] = '\n';
    std::vector<std::string> lines;
    for (std::size_t start = 2; start < text.size();) {
      const std::size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    const auto got = Load(text);
    const std::string where = "line end put at " + std::to_string(at) +
                              ", split at " + std::to_string(split);
    ASSERT_TRUE(got.ok) << where << ": " << got.err;
    EXPECT_EQ(Records(got.source), lines) << where;
  }
}

// A mapped source is refused as changed, never indexed past its end nor
// drawn from, when it is rewritten while it loads: the change is made from
// the progress of the load, at the first step reported past the count of
// its lines (a text over the size that is indexed in two halves, not a
// whole number of fingerprinted blocks).
TEST(LoadSource, SourceRewrittenWhileItLoadsIsRefused) {
  std::string source = "2\n";
  for (int i = 0; source.size() < (std::size_t{10} << 20) + 777; ++i)
    source += std::to_string(i % 4096) + " " + std::to_string(i % 10) + "\n";
  const std::size_t half = source.size() / 2;
  const std::size_t joined = source.find('\n', 100);
  // How each case rewrites its bytes, and when the rewrite is seen: the
  // first half is rewritten before it is indexed, the second may be while
  // it is, and a change that keeps the lines where they were is seen only
  // when the source is checked.
  enum Change { kNone, kLineEnds, kNextDigit, kJoined };
  enum Seen { kNever, kAtLoad, kAtCheck, kAtEither };
  const struct {
    const char* label;
    std::size_t from, to;
    Change change;
    Seen seen;
  } changes[] = {
      {"unchanged", 0, 0, kNone, kNever},
      {"line ends over the first half", 100, half, kLineEnds, kAtLoad},
      {"line ends over the second half", half + 100, source.size(), kLineEnds,
       kAtEither},
      {"one digit in the first half", 1000, 1001, kNextDigit, kAtCheck},
      {"one digit in the last block", source.size() - 2, source.size() - 1,
       kNextDigit, kAtCheck},
      {"two lines joined in the first half", joined, joined + 1, kJoined,
       kAtLoad},
  };
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("particion-rewritten-" + std::to_string(std::random_device()()));
  for (const auto& c : changes) {
    std::string changed = source;
    for (std::size_t i = c.from; i < c.to; ++i) {
      char& byte = changed[i];
      if (c.change == kLineEnds) byte = '\n';
      if (c.change == kJoined) byte = ' ';
      if (c.change == kNextDigit)
        byte = static_cast<char>('0' + (byte - '0' + 1) % 10);
    }
    ASSERT_EQ(c.from == c.to, changed == source) << c.label;
    std::ofstream(path, std::ios::binary) << source;
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    ASSERT_NE(file, nullptr) << path;
    LoadOptions options;
    options.path = SourcePath::kInMemory;
    bool rewritten = c.from == c.to;
    options.progress = [&](pixelsets::Step step, std::uint64_t done,
                           std::uint64_t) {
      if (rewritten || step != pixelsets::Step::kRead || done <= source.size())
        return;
      rewritten = true;
      std::FILE* w = std::fopen(path.string().c_str(), "r+b");
      if (w == nullptr) return;
      std::fseek(w, static_cast<long>(c.from), SEEK_SET);
      std::fwrite(changed.data() + c.from, 1, c.to - c.from, w);
      std::fclose(w);
    };
    pixelsets::Source loaded;
    std::string err;
    const bool ok =
        pixelsets::LoadSource(file, source.size(), options, &loaded, &err);
    const auto* held = std::get_if<pixelsets::InMemorySource>(&loaded.held);
    if (ok && held != nullptr && !held->mapped.mapped()) {
      std::fclose(file);
      std::filesystem::remove(path);
      GTEST_SKIP() << "this platform reads a source whole, not mapped";
    }
    std::string check_err;
    const bool unchanged = ok && pixelsets::SourceUnchanged(loaded, &check_err);
    loaded = pixelsets::Source();
    std::fclose(file);
    EXPECT_TRUE(rewritten) << c.label;
    if (c.seen == kNever) {
      EXPECT_TRUE(unchanged) << c.label << ": " << err << check_err;
      continue;
    }
    if (c.seen != kAtEither) {
      EXPECT_EQ(ok, c.seen == kAtCheck) << c.label << ": " << err;
    }
    EXPECT_FALSE(unchanged) << c.label;
    EXPECT_EQ(ok ? check_err : err,
              "El fichero Origen ha cambiado mientras se leia")
        << c.label;
  }
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

// Every way of reading a source, the large mapped one indexed in two halves
// included, draws the line of the record limit at the same place.
TEST(LoadSource, RecordLimitIsTheSameForEveryWayOfReading) {
  std::string large = "3";  // over the size that is indexed in two halves
  while (large.size() < (std::size_t{9} << 20)) large += "\nab";
  const std::uint64_t large_count = (large.size() - 1) / 3;
  const std::pair<std::string, std::uint64_t> sources[] = {
      {"3\na\nb\nc", 3}, {"3\na\nb\nc\n", 3}, {large, large_count}};
  const std::pair<const char*, SourcePath> ways[] = {
      {"in memory", SourcePath::kInMemory},
      {"streamed", SourcePath::kStreamed}};
  for (const auto& [source, count] : sources) {
    for (const auto& [way, path] : ways) {
      for (const bool known_size : {true, false}) {
        for (const std::uint64_t limit : {count, count - 1}) {
          LoadOptions options;
          options.max_records = limit;
          options.path = path;
          const auto got =
              Load(source, known_size ? source.size() : 0, options);
          const std::string where = std::to_string(count) + " records, " + way +
                                    (known_size ? "" : ", size unknown") +
                                    ", limit " + std::to_string(limit);
          EXPECT_EQ(got.ok, limit == count) << where;
          EXPECT_EQ(
              got.err,
              got.ok ? "" : "El fichero Origen tiene demasiados registros")
              << where;
        }
      }
    }
  }
}

// The path a source takes, from what it needs and what the run can have:
// the cases measured on this project's machine, the shortest records among
// them, whose index outweighs their text.
// A file read past the system's cache gives the very bytes a plain read
// gives, whatever its size against the blocks such reads take and wherever
// a read starts, on disk or in memory (where the system may refuse such
// reads, and plain ones stand in).
TEST(UncachedFile, ReadsWhatAPlainReadDoes) {
  constexpr std::size_t kAlign = pixelsets::UncachedFile::kAlign;
  const std::size_t sizes[] = {
      1,          kAlign - 1,     kAlign,
      kAlign + 1, 3 * kAlign + 5, (std::size_t{1} << 20) + 17};
  for (const char* folder : {".", "/dev/shm"}) {
    if (!std::filesystem::is_directory(folder)) continue;
    // Removed however the case ends: its name is never used again.
    struct Removed {
      std::filesystem::path path;
      ~Removed() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
      }
    };
    const Removed scratch{
        std::filesystem::path(folder) /
        ("particion-uncached-" + std::to_string(std::random_device()()))};
    const std::filesystem::path& path = scratch.path;
    for (const std::size_t size : sizes) {
      std::string data(size, '\0');
      for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>('a' + i * 7 % 26);
      {
        std::ofstream out(path, std::ios::binary);
        out.write(data.data(), static_cast<std::streamsize>(size));
      }
      std::FILE* file = std::fopen(path.string().c_str(), "rb");
      ASSERT_NE(file, nullptr) << path;
      pixelsets::UncachedFile uncached(file);
      const std::size_t room = (size / kAlign + 2) * kAlign;
      std::unique_ptr<char[]> raw(new char[room + kAlign]);
      char* buffer =
          raw.get() +
          (kAlign - reinterpret_cast<std::uintptr_t>(raw.get()) % kAlign) %
              kAlign;
      for (const std::size_t offset : {std::size_t{0}, kAlign}) {
        if (offset > size) continue;
        // Short of the end, up to it exactly, then past it.
        for (const std::size_t want :
             {(size - offset) / 2, size - offset, room - kAlign}) {
          const std::string label =
              path.string() + ", " + std::to_string(size) + " bytes from " +
              std::to_string(offset) + ", " + std::to_string(want) + " asked";
          const std::int64_t got = uncached.ReadAt(offset, buffer, want);
          const std::size_t left = size - offset;
          ASSERT_EQ(got, static_cast<std::int64_t>(std::min(want, left)))
              << label;
          EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(got)),
                    data.substr(offset, static_cast<std::size_t>(got)))
              << label;
        }
      }
      std::fclose(file);
    }
  }
}

// A regular file of 1 GiB or more is streamed whatever memory is left; a
// smaller one is held in memory where that fits; a pipe only in memory.
TEST(ChoosePath, FromTheSizeTheNeedOfEachPathAndWhatTheRunCanHave) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  const struct {
    const char* label;
    std::uint64_t size, records, available;
    pixelsets::Path path;
  } cases[] = {
      {"2147483647 records of one band and a label, 24 GB", 14450360316,
       2147483647, 22 * kGiB, pixelsets::Path::kStreamed},
      {"the same with 6 GiB", 14450360316, 2147483647, 6 * kGiB,
       pixelsets::Path::kNeither},
      {"3.8 GB of 13 bands, 1.5 GiB free", 3978520583, 60000000, 1536 * kMiB,
       pixelsets::Path::kStreamed},
      {"the same under 5 bytes a record and 128 MiB", 3978520583, 60000000,
       (300000000 + 128 * kMiB) - 8 * kMiB, pixelsets::Path::kStreamed},
      {"the same with 22 GiB free", 3978520583, 60000000, 22 * kGiB,
       pixelsets::Path::kStreamed},
      {"300 M records of 3 bands, 4.9 GB, 22 GiB free", 4900000000, 300000000,
       22 * kGiB, pixelsets::Path::kStreamed},
      {"1 GB of 80 M records, 0.6 GiB free", 1000000000, 80000000, 600 * kMiB,
       pixelsets::Path::kStreamed},
      {"the same, 0.24 GiB free", 1000000000, 80000000, 240 * kMiB,
       pixelsets::Path::kNeither},
      {"records of one byte and a line end, 1 GiB of them", 1 * kGiB, kGiB / 2,
       3 * kGiB, pixelsets::Path::kStreamed},
      {"the same with 22 GiB", 1 * kGiB, kGiB / 2, 22 * kGiB,
       pixelsets::Path::kStreamed},
      {"a byte short of 1 GiB, 22 GiB free", kGiB - 1, 70000000, 22 * kGiB,
       pixelsets::Path::kInMemory},
      {"the same, 0.9 GiB free", kGiB - 1, 70000000, 900 * kMiB,
       pixelsets::Path::kStreamed},
      {"the same, 0.3 GiB free", kGiB - 1, 70000000, 300 * kMiB,
       pixelsets::Path::kNeither},
      {"a pipe: no size, never streamed", 0, 0, 100 * kMiB,
       pixelsets::Path::kInMemory},
      {"a pipe with less than the program's fixed needs", 0, 0, 4 * kMiB,
       pixelsets::Path::kNeither},
      {"a small list under a tight limit", 44407533, 700000, 28 * kMiB,
       pixelsets::Path::kStreamed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pixelsets::ChoosePath(c.size, c.records, c.available), c.path)
        << c.label;
  }
  // The stated bound of the streamed path: 5 bytes a record and 108 MiB
  // beyond the program, whatever the records.
  for (const std::uint64_t records :
       {std::uint64_t{0}, std::uint64_t{1000}, std::uint64_t{60000000},
        std::uint64_t{2147483647}}) {
    for (const std::uint64_t mean : {1, 7, 66, 2000}) {
      EXPECT_LE(pixelsets::StreamedNeed(records * mean, records),
                5 * records + 108 * kMiB)
          << records << " records of " << mean << " bytes";
    }
  }
}

TEST(Decimal, CountsAreWholeNumbersFromZeroToTheLimit) {
  const struct {
    const char* token;
    bool ok;
    std::int32_t value;
  } cases[] = {
      {"0", true, 0},
      {"7", true, 7},
      {"+7", true, 7},
      {"-0", true, 0},
      {"007", true, 7},
      {"2147483647", true, 2147483647},
      {"00000000000000000000012", true, 12},
      {"-1", false, 0},
      {"2147483648", false, 0},
      {"99999999999999999999", false, 0},
      {"12abc", false, 0},
      {"abc", false, 0},
      {"+", false, 0},
      {"-", false, 0},
      {"1.5", false, 0},
      {"0x10", false, 0},
      {"+-1", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    std::int32_t value = -1;
    EXPECT_EQ(pixelsets::ParseCount(c.token, &value), c.ok)
        << "token \"" << c.token << "\"";
    if (c.ok) {
      EXPECT_EQ(value, c.value) << "token \"" << c.token << "\"";
    }
  }
}

}  // namespace
