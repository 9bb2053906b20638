#include "test_util.h"

#include <memory>
#include <utility>
#include <variant>
#include <vector>

namespace testutil {

std::FILE* FileWith(const std::string& bytes) {
  std::FILE* file = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  return file;
}

std::string ReadAll(std::FILE* file) {
  std::rewind(file);
  std::string bytes;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    bytes.append(chunk, got);
  return bytes;
}

std::vector<std::string> Records(const pixelsets::Source& source) {
  std::vector<std::string> records;
  const auto* held = std::get_if<pixelsets::InMemorySource>(&source.held);
  for (std::size_t i = 0; held != nullptr && i < held->records(); ++i)
    records.emplace_back(held->record(i));
  return records;
}

namespace {

struct Closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, Closer>;

}  // namespace

Loaded Load(const std::string& text, std::uint64_t size_hint,
            const pixelsets::LoadOptions& options) {
  Loaded loaded;
  loaded.file = std::shared_ptr<std::FILE>(FileWith(text), Closer());
  loaded.ok = pixelsets::LoadSource(
      loaded.file.get(),
      size_hint == static_cast<std::uint64_t>(-1) ? text.size() : size_hint,
      options, &loaded.source, &loaded.err);
  return loaded;
}

Split SplitText(const std::string& text, std::int32_t n_entr,
                std::int32_t n_test, const pixelsets::Generator& rand,
                const pixelsets::LoadOptions& load,
                const pixelsets::DrawOptions& draw) {
  Split split;
  Loaded loaded = Load(text, -1, load);
  if (!loaded.ok) {
    split.err = loaded.err;
    return split;
  }
  split.streamed =
      std::holds_alternative<pixelsets::StreamedSource>(loaded.source.held);
  File entr(std::tmpfile());
  File test(std::tmpfile());
  split.ok = pixelsets::Partition(
      &loaded.source, n_entr, n_test, rand,
      {{entr.get(), "Entrenamiento.txt"}, {test.get(), "Test.txt"}}, draw,
      &split.err);
  split.entrenamiento = ReadAll(entr.get());
  split.test = ReadAll(test.get());
  split.left = Records(loaded.source);
  return split;
}

pixelsets::Generator Values(std::vector<int> values) {
  auto next = std::make_shared<std::size_t>(0);
  return pixelsets::ValueByValue([values = std::move(values), next] {
    return *next < values.size() ? values[(*next)++] : 0;
  });
}

}  // namespace testutil
