// What the long steps tell of their progress, how the run weighs them into
// one share, and the line that shows it.

#include "run/progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "pixelsets/generator.h"
#include "test_util.h"

namespace {

using particion::ProgressLine;
using particion::RunShare;
using particion::StepWeights;
using pixelsets::Step;

// Everything told, step by step, from any thread.
struct Told {
  std::mutex lock;
  std::map<Step, std::vector<std::pair<std::uint64_t, std::uint64_t>>> by_step;
  pixelsets::TellProgress Tell() {
    return [this](Step step, std::uint64_t done, std::uint64_t total) {
      std::lock_guard<std::mutex> hold(lock);
      by_step[step].emplace_back(done, total);
    };
  }
  // Each step's `done` never went back, and its last report was all of it
  // (of a total not known, `whole`).
  void ExpectWholeAndGrowing(const std::vector<Step>& steps,
                             std::uint64_t whole = 0) {
    for (const Step step : steps) {
      const auto& told = by_step[step];
      ASSERT_FALSE(told.empty()) << static_cast<int>(step);
      for (std::size_t i = 1; i < told.size(); ++i)
        EXPECT_LE(told[i - 1].first, told[i].first) << static_cast<int>(step);
      EXPECT_EQ(told.back().first,
                told.back().second == 0 ? whole : told.back().second)
          << static_cast<int>(step);
    }
  }
};

std::string ShortRecords(std::size_t count) {
  std::string text = "2\n";
  for (std::size_t i = 0; i < count; ++i)
    text += std::to_string(i % 4096) + " " + std::to_string(i % 10) + "\n";
  return text;
}

TEST(Progress, ReadingTellsEveryByteOnEachWayOfReading) {
  // Over 8 MiB: a mapped text counted and indexed on two cores.
  const std::string text = ShortRecords(1500000);
  ASSERT_GT(text.size(), std::size_t{8} << 20);
  for (const auto path :
       {pixelsets::SourcePath::kInMemory, pixelsets::SourcePath::kStreamed}) {
    for (const std::uint64_t hint : {std::uint64_t(-1), std::uint64_t{0}}) {
      if (path == pixelsets::SourcePath::kStreamed && hint == 0) continue;
      Told told;
      pixelsets::LoadOptions options;
      options.path = path;
      options.progress = told.Tell();
      ASSERT_TRUE(testutil::Load(text, hint, options).ok);
      told.ExpectWholeAndGrowing({Step::kRead}, text.size());
      // Told against the size, or twice it where the text is mapped and
      // each byte is counted, then indexed; against nothing where the size
      // is not known and the text is read, not mapped (Windows).
      EXPECT_EQ(told.by_step[Step::kRead].back().second % text.size(), 0u);
    }
  }
}

TEST(Progress, EachWayOfDrawingTellsItsStepsWhole) {
  const std::string text = ShortRecords(300000);
  struct Way {
    pixelsets::SourcePath path;
    std::vector<Step> steps;
  };
  const Way ways[] = {
      {pixelsets::SourcePath::kInMemory, {Step::kDraw, Step::kWrite}},
      {pixelsets::SourcePath::kStreamed,
       {Step::kPrepare, Step::kDraw, Step::kNote, Step::kFile,
        Step::kBuckets}}};
  for (const Way& way : ways) {
    Told told;
    pixelsets::LoadOptions load;
    load.path = way.path;
    pixelsets::DrawOptions draw;
    draw.progress = told.Tell();
    const auto split = testutil::SplitText(
        text, 200000, 90000, pixelsets::SeededRand(7), load, draw);
    ASSERT_TRUE(split.ok) << split.err;
    told.ExpectWholeAndGrowing(way.steps);
    for (const auto& [step, reports] : told.by_step) {
      EXPECT_NE(std::find(way.steps.begin(), way.steps.end(), step),
                way.steps.end())
          << "a step this way does not take: " << static_cast<int>(step);
    }
  }
}

TEST(Progress, RunShareWeighsStepsOnlyGrowsAndEndsWithTheSync) {
  for (const StepWeights& weights :
       {particion::InMemoryWeights(), particion::StreamedWeights()}) {
    EXPECT_NEAR(std::accumulate(weights.begin(), weights.end(), 0.0), 1.0,
                1e-9);
    EXPECT_EQ(weights[static_cast<int>(Step::kRead)], 0.0);
  }
  StepWeights weights{};
  weights[static_cast<int>(Step::kDraw)] = 0.25;
  weights[static_cast<int>(Step::kWrite)] = 0.5;
  weights[static_cast<int>(Step::kSync)] = 0.25;
  RunShare share(weights);
  EXPECT_DOUBLE_EQ(share.Tell(Step::kDraw, 1, 2), 0.125);
  EXPECT_DOUBLE_EQ(share.Tell(Step::kWrite, 1, 4), 0.25);
  // A report older than one already told, or of a step that does not
  // weigh, takes nothing back.
  EXPECT_DOUBLE_EQ(share.Tell(Step::kDraw, 1, 4), 0.25);
  EXPECT_DOUBLE_EQ(share.Tell(Step::kFile, 9, 10), 0.25);
  EXPECT_EQ(share.step(), Step::kWrite);
  // The sync comes after all else: the steps before it are done, and the
  // whole is done only once it is.
  const double syncing = share.Tell(Step::kSync, 1, 3);
  EXPECT_LT(syncing, 1.0);
  EXPECT_DOUBLE_EQ(syncing, 0.75 + 0.25 / 3);
  EXPECT_DOUBLE_EQ(share.Tell(Step::kSync, 3, 3), 1.0);
  EXPECT_STREQ(particion::StepWord(Step::kNote), "Sorteando");
  EXPECT_STREQ(particion::StepWord(Step::kSync), "Escribiendo los conjuntos");
}

TEST(Progress, LineShowsAfterItsTimeRewritesInPlaceAndGoesWhole) {
  EXPECT_EQ(particion::ShareText("Sorteando", 427), "Sorteando:  42,7 %");
  EXPECT_EQ(particion::ShareText("W", 1000), "W: 100,0 %");
  EXPECT_EQ(particion::BytesText("W", std::uint64_t{3} << 20), "W: 3 MiB");

  std::FILE* err = testutil::FileWith("");
  ProgressLine hidden(false, err, std::chrono::milliseconds(0));
  hidden.StartReading();
  hidden.Tell(Step::kRead, 1, 2);
  hidden.Erase();
  ProgressLine late(true, err, std::chrono::hours(1));
  late.StartReading();
  late.Tell(Step::kRead, 1, 2);
  late.Erase();
  EXPECT_EQ(testutil::ReadAll(err), "");

  ProgressLine line(true, err, std::chrono::milliseconds(0));
  line.StartReading();
  line.Tell(Step::kRead, 1, 4);
  line.Tell(Step::kRead, 1, 4);  // the same text is not written again
  line.Tell(Step::kRead, 5, 0);
  line.Erase();
  line.Erase();  // nothing left to erase
  const std::string reading =
      "\rLeyendo el fichero Origen:  25,0 %"
      "\rLeyendo el fichero Origen: 0 MiB  "
      "\r                                  \r";
  EXPECT_EQ(testutil::ReadAll(err), reading);

  StepWeights weights{};
  weights[static_cast<int>(Step::kDraw)] = 1;
  line.StartRun(weights);
  line.Tell(Step::kDraw, 1, 2);
  line.Erase();
  EXPECT_EQ(testutil::ReadAll(err),
            reading + "\rSorteando:  50,0 %\r                  \r");
  std::fclose(err);
}

}  // namespace
