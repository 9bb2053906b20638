#include "pixelsets/draw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pixelsets/bucket_plan.h"
#include "pixelsets/draw_in_blocks.h"
#include "pixelsets/draw_positions.h"
#include "pixelsets/messages.h"
#include "test_util.h"

namespace {

using pixelsets::LoadOptions;
using pixelsets::SourcePath;
using testutil::SplitText;
using testutil::Values;

// Splits a set file into its header and its records.
std::vector<std::string> Lines(const std::string& file) {
  std::vector<std::string> lines(1);
  for (char c : file) {
    if (c == '\n') {
      lines.emplace_back();
    } else {
      lines.back() += c;
    }
  }
  return lines;
}

TEST(Partition, GeneratorOfZerosMovesTheLastRecordIntoEachGap) {
  const auto split = SplitText("7\na\nb\nc\nd\n", 3, 0, Values({}));
  EXPECT_EQ(split.entrenamiento, "7\na\nd\nc");
  EXPECT_EQ(split.test, "7");
  EXPECT_EQ(split.left, std::vector<std::string>{"b"});
}

TEST(Partition, SmallCases) {
  struct Case {
    std::string source;
    std::int32_t n_entr, n_test;
    std::vector<int> values;  // the generator's values, in order
    std::string entrenamiento, test;
    std::vector<std::string> left;
  };
  const Case cases[] = {
      {"-5\na\nb\n", 0, 0, {}, "-5", "-5", {"a", "b"}},
      {"1\nonly\n", 1, 0, {99}, "1\nonly", "1", {}},
      {"1\nonly\n", 0, 1, {0}, "1", "1\nonly", {}},
      {"2\n\nx\n", 1, 1, {0, 0}, "2\n", "2\nx", {}},
      // 5 % 3 = 2 takes c; 7 % 2 = 1 takes b; 4 % 1 = 0 takes a.
      {"0\na\nb\nc\n", 2, 1, {5, 7, 4}, "0\nc\nb", "0\na", {}},
      // 1 % 3 takes b and c fills its place; 2 % 2 = 0 takes a.
      {"0\na\nb\nc\n", 1, 1, {1, 2}, "0\nb", "0\na", {"c"}},
  };
  for (const Case& c : cases) {
    std::size_t next = 0;
    const auto split =
        SplitText(c.source, c.n_entr, c.n_test,
                  pixelsets::ValueByValue([&] { return c.values.at(next++); }));
    const std::string label = "source \"" + c.source + "\" " +
                              std::to_string(c.n_entr) + "/" +
                              std::to_string(c.n_test);
    EXPECT_EQ(split.entrenamiento, c.entrenamiento) << label;
    EXPECT_EQ(split.test, c.test) << label;
    EXPECT_EQ(split.left, c.left) << label;
    EXPECT_EQ(next, c.values.size()) << label << ": one value per draw";
  }
}

// The sets drawn one record at a time as the procedure is written: the
// batched, prefetching draw must give the same files byte for byte.
std::pair<std::string, std::string> OneAtATime(
    std::vector<std::string> pool, int caract, int n_entr, int n_test,
    const std::function<int()>& rand) {
  std::pair<std::string, std::string> sets{std::to_string(caract),
                                           std::to_string(caract)};
  for (int k = 0; k < n_entr + n_test; ++k) {
    const std::size_t pos = static_cast<std::size_t>(rand()) % pool.size();
    (k < n_entr ? sets.first : sets.second) += "\n" + pool[pos];
    pool[pos] = pool.back();
    pool.pop_back();
  }
  return sets;
}

// For any generator and counts, the two sets are disjoint, have the sizes
// asked for, and with what is left hold every record exactly once.
TEST(Partition, PropertiesOverManySeeds) {
  std::string source = "9";
  std::vector<std::string> all;
  for (int i = 0; i < 3000; ++i) {
    all.push_back(std::to_string(i) + " p " + std::to_string(i * 7 % 256));
    source += "\n" + all.back();
  }
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937 counts(seed);
    const int n_entr = static_cast<int>(counts() % (all.size() + 1));
    const int n_test = static_cast<int>(counts() % (all.size() - n_entr + 1));
    // Odd seeds index the pool with 8-byte offsets from its 1000th byte on.
    LoadOptions load;
    if (seed % 2 == 1) load.narrow_limit = 1000;
    std::minstd_rand gen(seed);
    const auto split = SplitText(
        source, n_entr, n_test,
        pixelsets::ValueByValue([&] { return static_cast<int>(gen() >> 1); }),
        load);
    const std::string label = "seed " + std::to_string(seed);

    std::vector<std::string> entr = Lines(split.entrenamiento);
    std::vector<std::string> test = Lines(split.test);
    ASSERT_EQ(entr.front(), "9") << label;
    ASSERT_EQ(test.front(), "9") << label;
    entr.erase(entr.begin());
    test.erase(test.begin());
    EXPECT_EQ(entr.size(), static_cast<std::size_t>(n_entr)) << label;
    EXPECT_EQ(test.size(), static_cast<std::size_t>(n_test)) << label;
    std::vector<std::string> together = split.left;
    together.insert(together.end(), entr.begin(), entr.end());
    together.insert(together.end(), test.begin(), test.end());
    std::sort(together.begin(), together.end());
    std::vector<std::string> expected = all;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(together, expected) << label;

    std::minstd_rand again(seed);
    const auto reference = OneAtATime(
        all, 9, n_entr, n_test, [&] { return static_cast<int>(again() >> 1); });
    EXPECT_EQ(split.entrenamiento, reference.first) << label;
    EXPECT_EQ(split.test, reference.second) << label;
  }
}

// The calls of rand() after srand(seed), told apart from the program's use
// of them: on Windows from the runtime's formula (Microsoft's, which Wine's
// follows), elsewhere from the C library.
std::function<unsigned()> RandCalls(unsigned seed) {
#ifdef _WIN32
  return [state = std::uint32_t{seed}]() mutable {
    state = state * 214013u + 2531011u;
    return static_cast<unsigned>(state >> 16 & 0x7fff);
  };
#else
  std::srand(seed);
  return [] { return static_cast<unsigned>(std::rand()); };
#endif
}

// The program's generator gives rand()'s values (three calls a value, the
// first in the high bits, where rand() has 15 bits), and a draw large
// enough for two threads gives the files of drawing one record at a time
// with that generator.
TEST(Partition, LargeDrawEqualsTheCLibraryDrawOneAtATime) {
  static_assert(RAND_MAX == 2147483647 || RAND_MAX == 32767,
                "no reference for this width of rand()");
  for (unsigned seed : {0u, 1u, 1765000000u, 2147483648u, 4294967295u}) {
#ifdef __GLIBC__
    pixelsets::GlibcRand copy(seed);
    std::srand(seed);
    for (int i = 0; i < 100000; ++i)
      ASSERT_EQ(copy.Next(), std::rand()) << "seed " << seed << " value " << i;
#endif
    const pixelsets::Generator rand = pixelsets::SeededRand(seed);
    int values[1000];
    rand(values, 1000);
    const std::function<unsigned()> call = RandCalls(seed);
    for (int i = 0; i < 1000; ++i) {
      unsigned expected = call();
      if constexpr (RAND_MAX == 32767) {
        const unsigned middle = call();
        const unsigned low = call();
        expected = ((expected << 30) | (middle << 15) | low) & 0x7fffffffu;
      }
      ASSERT_EQ(static_cast<unsigned>(values[i]), expected)
          << "seed " << seed << " value " << i;
    }
  }
  std::string source = "-2";
  std::vector<std::string> all;
  for (int i = 0; i < 100000; ++i) {
    all.push_back(std::to_string(i % 251) + " " + std::to_string(i));
    source += "\n" + all.back();
  }
  const unsigned seed = 1765000000;  // a fixed clock second
  const auto split =
      SplitText(source, 60000, 30000, pixelsets::SeededRand(seed));
  ASSERT_TRUE(split.ok) << split.err;
  const pixelsets::Generator again = pixelsets::SeededRand(seed);
  const auto reference = OneAtATime(all, -2, 60000, 30000, [&again] {
    int value;
    again(&value, 1);
    return value;
  });
  EXPECT_TRUE(split.entrenamiento == reference.first);
  EXPECT_TRUE(split.test == reference.second);
  EXPECT_EQ(split.left.size(), 10000u);
}

TEST(Partition, RefusesCountsBeyondThePoolAndWritesNothing) {
  const std::pair<int, int> counts[] = {
      {-1, 0}, {0, -1}, {3, 0}, {2, 1}, {2147483647, 2147483647}};
  for (auto [n_entr, n_test] : counts) {
    const auto split = SplitText("1\na\nb\n", n_entr, n_test, Values({}));
    const std::string label =
        std::to_string(n_entr) + "/" + std::to_string(n_test);
    EXPECT_FALSE(split.ok) << label;
    EXPECT_EQ(split.entrenamiento + split.test, "") << label;
    EXPECT_EQ(split.left.size(), 2u) << label;
  }
}

TEST(Partition, ReportsAFailedWriteWithTheSetFileName) {
  testutil::Loaded loaded = testutil::Load("1\na\nb\n");
  std::FILE* readonly = std::fopen("/dev/null", "r");
  std::FILE* test = std::tmpfile();
  std::string err;
  EXPECT_FALSE(pixelsets::Partition(
      &loaded.source, 1, 1, Values({}),
      {{readonly, "Entrenamiento.txt"}, {test, "Test.txt"}}, {}, &err));
  EXPECT_EQ(err.rfind("Error al escribir el fichero Entrenamiento.txt: ", 0),
            0u)
      << err;
  std::fclose(readonly);
  std::fclose(test);
}

// Drawn a block at a time, with the block's positions sorted by where they
// fall, an array ends exactly as drawn one position at a time, and the
// records told block by block are those the draw stacked up, in order:
// over sizes, counts and blocks down to a draw each, where positions fall in
// a block's own tail as often as not.
TEST(DrawInBlocks, SameArrayAsOnePositionAtATime) {
  std::mt19937 sizes(5);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n = 1 + sizes() % (trial < 150 ? 40 : 300000);
    const std::size_t total = sizes() % (n + 1);
    const std::size_t block = std::size_t{1} + sizes() % 70;
    const unsigned seed = sizes();
    std::vector<std::uint32_t> one(n);
    std::vector<std::uint32_t> blocked(n);
    for (std::size_t i = 0; i < n; ++i) one[i] = blocked[i] = i * 7 + 3;
    std::mt19937 gen(seed);
    const auto rand =
        pixelsets::ValueByValue([&] { return static_cast<int>(gen() >> 1); });
    pixelsets::DrawPositions(
        one.data(), n, total, rand, [](std::size_t) {}, [] { return false; });
    gen.seed(seed);
    pixelsets::DrawInBlocks(blocked.data(), n, total, rand, block);
    const std::string label = std::to_string(total) + " of " +
                              std::to_string(n) + " in blocks of " +
                              std::to_string(block);
    ASSERT_EQ(one, blocked) << label;
  }
}

// The first offset at which `a` and `b` differ, or npos.
std::size_t Mismatch(const std::string& a, const std::string& b) {
  const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return at.first == a.end() && at.second == b.end()
             ? std::string::npos
             : static_cast<std::size_t>(at.first - a.begin());
}

// Splits `source` 60/30 with the generator std::mt19937(11), held as `load`
// says.
testutil::Split DrawOf(const std::string& source, const LoadOptions& load,
                       const pixelsets::DrawOptions& draw) {
  const testutil::Loaded counted = testutil::Load(source);
  const auto n = static_cast<std::int32_t>(counted.source.records());
  std::mt19937 gen(11);
  return SplitText(
      source, n * 6 / 10, n - n * 6 / 10 - n / 10,
      pixelsets::ValueByValue([&] { return static_cast<int>(gen() >> 1); }),
      load, draw);
}

// The sources of the byte-identity table: many chunks and their borders.
std::vector<std::pair<const char*, std::string>> IdentitySources() {
  // Lines appended one piece at a time: GCC 12 sees a false overlap in
  // "\n" + std::string.
  const auto add = [](std::string* text, const char* end,
                      const std::string& line) {
    text->append(end).append(line);
  };
  std::string many = "7";
  for (int i = 0; i < 30000; ++i)
    add(&many, i % 5 == 0 ? "\r\n" : "\n", std::to_string(i * 7919 % 10007));
  // Read in several chunks, one of them cut by a line of 1999 and its "\r"
  // with a zero byte.
  std::string chunks = "5";
  while (chunks.size() < (std::size_t{2} << 20) - 1000)
    add(&chunks, "\n", std::to_string(chunks.size() % 9973));
  add(&chunks, "\n", std::string(1999, 'y'));
  chunks += '\r';
  chunks[chunks.size() - 1990] = '\0';  // before the chunk's end
  for (int i = 0; chunks.size() < (std::size_t{5} << 20); ++i) {
    add(&chunks, "\n",
        std::string(static_cast<std::size_t>(i * 37 % 2000),
                    static_cast<char>('a' + i % 26)));
  }
  // Exactly `size` bytes of short lines, the last one ended: the next byte
  // lies where the test wants it against the 2 MiB chunks.
  const auto upto = [&add](std::size_t size) {
    std::string text = "5";
    while (text.size() + 20 < size)
      add(&text, "\n", std::to_string(text.size()));
    add(&text, "\n", std::string(size - text.size() - 2, 'q'));
    return text + '\n';
  };
  constexpr std::size_t kChunk = std::size_t{2} << 20;
  // Records so short that their index outweighs their text, over chunks.
  std::string one_byte = "3";
  for (int i = 0; i < 1500000; ++i) {
    one_byte += '\n';
    one_byte += static_cast<char>('a' + i % 26);
  }
  std::string mixed = "3";
  for (int i = 0; i < 700000; ++i) mixed += i % 3 == 0 ? "\r\n" : "\n";
  mixed += "x\r";
  return {
      {"records of one byte", one_byte},
      {"records of no byte", std::string("3").append(2500000, '\n')},
      {"records of no byte or a CR", mixed},
      {"a line starts a chunk", upto(kChunk) + "x1\nx2"},
      {"a line end starts a chunk", upto(kChunk - 2) + "ab\ncd\n"},
      {"a chunk ends between CR and LF", upto(kChunk - 3) + "ab\r\ncd"},
      {"the last chunk ends the file with a line end", upto(2 * kChunk)},
      {"the last line runs into a short last chunk",
       upto(kChunk - 10) + std::string(60, 'w')},
      {"empty pool", "3\n"},
      {"one record", "3\nab"},
      {"CR LF", "3\r\na\r\nb\r\n\r\nc\r\nd\r\ne\r"},
      {"lines of 1999", "3\n" + std::string(1999, 'x') + "\n" +
                            std::string(1999, 'y') + "\r\n" +
                            std::string(1999, 'z')},
      {"zero bytes", std::string("3\nab\0cd\nef\n\0\nxyz", 16)},
      {"no line end at the end", "3\na\nb\nc\nd\ne\nf"},
      {"many records", many},
      {"several chunks", chunks},
  };
}

// The draw for a source larger than memory, which reads it again in file
// order and puts the records in draw order through buckets, writes the very
// files of the in-memory draw that reads each record where it is drawn,
// whatever the source.
TEST(StreamedDraw, SameFilesAsTheInMemoryDraw) {
  for (const auto& [label, source] : IdentitySources()) {
    for (std::uint64_t narrow : {pixelsets::kNarrowLimit, std::uint64_t{16}}) {
      // Default sizes, then buckets of 4 KiB (several rounds of them for the
      // larger sources).
      for (std::size_t small : {std::size_t{0}, std::size_t{1}}) {
        LoadOptions in_memory;
        in_memory.narrow_limit = narrow;
        in_memory.path = SourcePath::kInMemory;
        // The run's own choice, with the size it streams from lowered.
        LoadOptions streamed = in_memory;
        streamed.path = small != 0 ? SourcePath::kStreamed : SourcePath::kAuto;
        streamed.stream_from = source.size() / 2;
        pixelsets::DrawOptions outside;
        outside.bucket_bytes = small * 4096;
        const auto reference = DrawOf(source, in_memory, {});
        ASSERT_TRUE(reference.ok) << label << ": " << reference.err;
        ASSERT_FALSE(reference.streamed) << label;
        const testutil::Split split = DrawOf(source, streamed, outside);
        const std::string where = std::string(label) + ", index limit " +
                                  std::to_string(narrow) +
                                  (small != 0 ? ", small buckets" : "");
        EXPECT_TRUE(split.ok) << where << ": " << split.err;
        EXPECT_TRUE(split.streamed) << where;
        // Where the files part, rather than a diff of megabytes.
        EXPECT_EQ(Mismatch(reference.entrenamiento, split.entrenamiento),
                  std::string::npos)
            << where;
        EXPECT_EQ(Mismatch(reference.test, split.test), std::string::npos)
            << where;
      }
    }
  }
}

// A large source is filed in two halves at once, each into buckets of its
// own; where the system gives files for one set of buckets only, it is
// filed in one pass, into the very same files.
TEST(StreamedDraw, FiledInOnePassWhereFilesRunShort) {
  std::string source;
  for (const auto& [label, text] : IdentitySources()) {
    if (std::string(label) == "several chunks") source = text;
  }
  ASSERT_GE(source.size(), std::size_t{4} << 20);
  const std::uint64_t n = testutil::Load(source).source.records();
  const std::uint64_t total = n * 6 / 10 + (n - n * 6 / 10 - n / 10);
  const std::size_t buckets =
      pixelsets::PlanBuckets(n, source.size(), total).buckets;
  LoadOptions streamed;
  streamed.path = SourcePath::kStreamed;
  const auto reference = DrawOf(source, {}, {});
  for (const std::size_t files : {2 * buckets, buckets}) {
    std::size_t opened = 0;
    pixelsets::DrawOptions draw;
    draw.scratch = [&]() -> std::FILE* {
      if (opened == files) return nullptr;
      ++opened;
      return std::tmpfile();
    };
    const auto split = DrawOf(source, streamed, draw);
    const std::string where = std::to_string(files) + " files for " +
                              std::to_string(buckets) + " buckets";
    EXPECT_TRUE(split.ok && split.streamed) << where << ": " << split.err;
    EXPECT_EQ(opened, files) << where;
    EXPECT_EQ(Mismatch(reference.entrenamiento, split.entrenamiento),
              std::string::npos)
        << where;
    EXPECT_EQ(Mismatch(reference.test, split.test), std::string::npos) << where;
  }
}

// A source changed between loading and drawing is never drawn from: read
// again from its end, a change of its first chunk is found last, once the
// records after it are filed.
TEST(StreamedDraw, ChangedSourceIsRefused) {
  std::string chunks = "3";
  while (chunks.size() < (std::size_t{5} << 20)) chunks += "\nabcd";
  const std::string sources[] = {"3\naaaa\nbbbb\ncccc\ndddd\n", chunks};
  const std::pair<const char*, std::function<void(std::FILE*)>> changes[] = {
      {"rewritten", [](std::FILE* f) { std::fputs("3\nxxxx", f); }},
      {"last byte",
       [](std::FILE* f) {
         std::fseek(f, -2, SEEK_END);
         std::fputc('D', f);
       }},
      // Where a large source is cut in halves: the first bytes of its
      // later half end the former half's last line.
      {"at the cut",
       [](std::FILE* f) {
         std::fseek(f, 0, SEEK_END);
         const long size = std::ftell(f);
         std::fseek(f, std::min(size / 2, 2L << 20), SEEK_SET);
         std::fputc('x', f);
       }},
  };
  for (const std::string& source : sources) {
    for (const auto& [label, change] : changes) {
      const std::string where =
          std::string(label) + ", " + std::to_string(source.size()) + " bytes";
      LoadOptions streamed;
      streamed.path = SourcePath::kStreamed;
      testutil::Loaded loaded = testutil::Load(source, -1, streamed);
      ASSERT_TRUE(loaded.ok) << where << ": " << loaded.err;
      std::rewind(loaded.file.get());
      change(loaded.file.get());
      std::fflush(loaded.file.get());
      std::FILE* entr = std::tmpfile();
      std::FILE* test = std::tmpfile();
      std::string err;
      EXPECT_FALSE(pixelsets::Partition(
          &loaded.source, 2, 2, pixelsets::ValueByValue([] { return 1; }),
          {{entr, "Entrenamiento.txt"}, {test, "Test.txt"}}, {}, &err))
          << where;
      EXPECT_EQ(err, pixelsets::kSourceChanged) << where;
      std::fclose(entr);
      std::fclose(test);
    }
  }
}

}  // namespace
