// Helpers shared by the tests.

#ifndef PARTICION_TESTS_TEST_UTIL_H_
#define PARTICION_TESTS_TEST_UTIL_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pixelsets/draw.h"
#include "pixelsets/load_source.h"

namespace testutil {

// An anonymous temporary file holding `bytes`, positioned at its start.
std::FILE* FileWith(const std::string& bytes);

// Everything in `file`, from its start.
std::string ReadAll(std::FILE* file);

// The records of an in-memory source, in its index's order.
std::vector<std::string> Records(const pixelsets::Source& source);

// What loading a text gave; the file stays open while it lives, as a
// streamed source is read again.
struct Loaded {
  bool ok = false;
  pixelsets::Source source;
  std::string err;
  std::shared_ptr<std::FILE> file;
};

// Loads `text` as a source: of known size (`size_hint`, or its size when
// -1) or as a stream (0), held as `options` say.
Loaded Load(const std::string& text, std::uint64_t size_hint = -1,
            const pixelsets::LoadOptions& options = {});

// What splitting a source gave: both files' text, and the records drawn for
// neither set.
struct Split {
  bool ok = false;
  bool streamed = false;  // the source was not held in memory
  std::string entrenamiento;
  std::string test;
  std::vector<std::string> left;
  std::string err;
};

// Loads `text` (as `load` says), then draws `n_entr` and `n_test` records
// from it with `rand` into two files in memory.
Split SplitText(const std::string& text, std::int32_t n_entr,
                std::int32_t n_test, const pixelsets::Generator& rand,
                const pixelsets::LoadOptions& load = {},
                const pixelsets::DrawOptions& draw = {});

// The generator that gives `values` in order, and 0 once they run out.
pixelsets::Generator Values(std::vector<int> values);

}  // namespace testutil

#endif  // PARTICION_TESTS_TEST_UTIL_H_
