#include "test_util.h"

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

std::vector<std::string> Records(const pixelsets::Pool& pool) {
  std::vector<std::string> records;
  for (std::size_t i = 0; i < pool.size(); ++i)
    records.emplace_back(pool.record(i));
  return records;
}

}  // namespace testutil
