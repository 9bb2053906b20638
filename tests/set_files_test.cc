#include "pixelsets/set_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;
using pixelsets::CommitStep;

// A folder of the test's own, removed with all it holds at the end.
class Folder {
 public:
  Folder()
      : path_(fs::temp_directory_path() /
              ("particion-test-" + std::to_string(std::random_device()()))) {
    fs::create_directory(path_);
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  std::string operator/(const std::string& name) const {
    return (path_ / name).string();
  }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
  }
  // Every file in the folder and what it holds.
  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(path_)) {
      std::ifstream in(entry.path(), std::ios::binary);
      files[entry.path().filename().string()] =
          std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
  }

 private:
  fs::path path_;
};

// A failure at any step of the commit leaves the old pair and nothing else;
// with none, the new pair and nothing else.
TEST(SetPair, FailureAtAnyStepLeavesTheOldPairAndNothingElse) {
  const std::map<std::string, std::string> old_pair = {
      {"Entrenamiento.txt", "1\nold entr"}, {"Test.txt", "1\nold test"}};
  const std::map<std::string, std::string> new_pair = {
      {"Entrenamiento.txt", "2 new entr"}, {"Test.txt", "2 new test"}};
  const struct {
    const char* label;
    CommitStep step;
    int errnum;
  } cases[] = {
      {"no failure", CommitStep::kFirstReplacement, 0},
      {"the first replacement", CommitStep::kFirstReplacement, EACCES},
      {"the second replacement", CommitStep::kSecondReplacement, ENOSPC},
  };
  for (const auto& c : cases) {
    const Folder folder;
    for (const auto& [name, bytes] : old_pair) folder.Write(name, bytes);
    const std::string entrenamiento = folder / "Entrenamiento.txt";
    const std::string test = folder / "Test.txt";
    std::string err;
    bool ok = false;
    {
      pixelsets::SetPair pair(
          entrenamiento.c_str(), test.c_str(),
          [&c](CommitStep step) { return step == c.step ? c.errnum : 0; });
      ASSERT_TRUE(pair.Open(&err)) << c.label << ": " << err;
      // No line end, which Windows would write as two bytes.
      std::fputs("2 new entr", pair.streams().entrenamiento.file);
      std::fputs("2 new test", pair.streams().test.file);
      ok = pair.Sync(&err) && pair.Commit([](const std::string&) {}, &err);
    }
    EXPECT_EQ(ok, c.errnum == 0) << c.label << ": " << err;
    EXPECT_EQ(folder.Files(), ok ? new_pair : old_pair) << c.label;
    if (!ok) {
      EXPECT_NE(err.find(std::strerror(c.errnum)), std::string::npos)
          << c.label << ": " << err;
    }
  }
}

// The names of a run's temporaries are made and recognised alike, and a name
// that is not one of them is left alone.
TEST(SetPair, TemporaryNamesRoundTrip) {
  const struct {
    std::string file;
    const char* beside;
    int pid;  // 0: not a temporary beside `beside`
  } cases[] = {
      {pixelsets::TemporaryName("Test.txt", 123), "Test.txt", 123},
      {pixelsets::TemporaryName("Test.txt", 123, true), "Test.txt", 123},
      {pixelsets::ScratchName(77, 3), "Entrenamiento.txt", 77},
      {pixelsets::TemporaryName("Test.txt", 123), "Entrenamiento.txt", 0},
      {".Test.txt.123.bak", "Test.txt", 0},
      {".Test.txt.12a.tmp", "Test.txt", 0},
      {".Test.txt..tmp", "Test.txt", 0},
      {".Test.txt.1234567890.tmp", "Test.txt", 0},
      {".Test.txt.12.3.tmp", "Test.txt", 0},
      {"Test.txt", "Test.txt", 0},
      {"Test.txt.123.tmp", "Test.txt", 0},
      {".particion..tmp", "Test.txt", 0},
  };
  for (const auto& c : cases) {
    int pid = 0;
    const bool ours = pixelsets::IsTemporaryName(c.file, c.beside, &pid);
    EXPECT_EQ(ours, c.pid != 0) << c.file << " beside " << c.beside;
    if (ours) {
      EXPECT_EQ(pid, c.pid) << c.file;
    }
  }
}

}  // namespace
