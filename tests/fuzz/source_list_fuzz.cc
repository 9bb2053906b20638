// Fuzzes the source-list loader against a plain model of the format: any
// input either loads as exactly its lines or is refused with no records.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "pixelsets/load_source.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken invariant: %s\n", what);
    std::abort();
  }
}

// The header as the C library reads it, for comparison.
bool ModelHeader(const std::string& line, std::int32_t* value) {
  const std::string text = line.substr(0, line.find('\0'));
  std::size_t i = text.find_first_not_of(" \t\n\v\f\r");
  if (i == std::string::npos) return false;
  if (text[i] == '+' || text[i] == '-') ++i;
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  *value = static_cast<std::int32_t>(parsed);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks how the source arrives, how many records fit and
  // where the index turns to 8-byte offsets.
  const std::uint8_t mode = data[0];
  const std::string source(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::uint64_t hints[] = {0, source.size(), 1, source.size() * 2};
  const std::uint64_t max_records =
      (mode & 0x10) != 0 ? mode >> 5 : pixelsets::kMaxRecords;

  // The model: lines split at "\n", a final "\r" dropped, a zero byte ending
  // the record.
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < source.size();) {
    std::size_t end = source.find('\n', start);
    if (end == std::string::npos) end = source.size();
    std::string line = source.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  std::int32_t model_caract = 0;
  bool model_ok = !lines.empty() && ModelHeader(lines[0], &model_caract) &&
                  lines.size() - 1 <= max_records;
  for (const std::string& line : lines)
    model_ok = model_ok && line.size() <= pixelsets::kMaxLineLength;

  std::FILE* f = std::tmpfile();
  std::fwrite(source.data(), 1, source.size(), f);
  std::rewind(f);
  pixelsets::LoadOptions options;
  options.max_records = max_records;
  options.narrow_limit = (mode & 0x0c) != 0 ? std::uint64_t{mode & 0x0cu} * 4
                                            : pixelsets::kNarrowLimit;
  options.path = pixelsets::SourcePath::kInMemory;
  pixelsets::Source loaded;
  std::string err;
  const bool ok =
      pixelsets::LoadSource(f, hints[mode & 3], options, &loaded, &err);
  const std::int32_t caract = loaded.caract;
  // Read through outside memory, the same source gives the same verdict,
  // header and count. A quarter of the inputs (two bits of the first byte):
  // the streamed read costs a buffer of a whole block per input.
  if (!source.empty() && (mode & 0x60) == 0x60) {
    std::rewind(f);
    pixelsets::LoadOptions streamed = options;
    streamed.path = pixelsets::SourcePath::kStreamed;
    pixelsets::Source outside;
    std::string outside_err;
    const bool outside_ok = pixelsets::LoadSource(f, source.size(), streamed,
                                                  &outside, &outside_err);
    Check(outside_ok == ok && outside_err == err, "same verdict outside");
    Check(!ok || (outside.caract == caract &&
                  outside.records() == loaded.records()),
          "same header and count outside");
  }
  std::fclose(f);

  Check(ok == model_ok, "accepted exactly the sources the model accepts");
  if (!ok) {
    Check(loaded.records() == 0, "a refused source yields no records");
    Check(!err.empty(), "a refusal says why");
    return 0;
  }
  Check(caract == model_caract, "header value");
  Check(loaded.records() == lines.size() - 1, "one record per line");
  const auto& held = std::get<pixelsets::InMemorySource>(loaded.held);
  for (std::size_t i = 0; i < held.records(); ++i) {
    const std::string& line = lines[i + 1];
    Check(held.record(i) == std::string_view(line).substr(0, line.find('\0')),
          "record equals its line");
  }
  return 0;
}
