#include "pixelsets/source.h"

#include <variant>

#include "pixelsets/record.h"

namespace pixelsets {

std::size_t InMemorySource::records() const {
  return std::visit([](const auto& index) { return index.size(); }, cadenas);
}

std::string_view InMemorySource::record(std::size_t pos) const {
  return std::visit(
      [&](const auto& index) { return RecordAt(text, size, index[pos]); },
      cadenas);
}

std::size_t Source::records() const {
  if (const auto* streamed = std::get_if<StreamedSource>(&held))
    return static_cast<std::size_t>(streamed->records);
  return std::get<InMemorySource>(held).records();
}

}  // namespace pixelsets
