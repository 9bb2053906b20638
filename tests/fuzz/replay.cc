// Runs a fuzz target once on each file of the folders it is given, in name
// order: the checked-in seeds replayed by the test command, where libFuzzer
// may be missing. A broken invariant aborts, as under the fuzzer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    for (fs::directory_iterator it(argv[i], ec), end; !ec && it != end;
         it.increment(ec))
      inputs.push_back(it->path());
    if (ec) {
      std::fprintf(stderr, "%s: %s\n", argv[i], ec.message().c_str());
      return 1;
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    std::printf("%s\n", input.filename().string().c_str());
    std::fflush(stdout);  // so that a failure shows which input it was
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           bytes.size());
  }
  std::printf("%zu inputs\n", inputs.size());
  // None at all would be a folder moved, not a pass.
  return inputs.empty() ? 1 : 0;
}
