#include "pixelsets/source_file.h"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <variant>

#include "pixelsets/messages.h"
#include "pixelsets/platform.h"

namespace pixelsets {
namespace {

namespace fs = std::filesystem;

// True if `name` is the very file (not merely the same name) that a set file
// of this folder is: the run would replace its own source.
bool IsSetFile(const fs::path& name) {
  std::error_code ec;
  return fs::equivalent(name, kEntrenamiento, ec) ||
         fs::equivalent(name, kTest, ec);
}

// Opens `typed` for reading; null, with the refusal filled, when it does
// not open or is no file to read.
std::FILE* Open(const std::string& typed, const fs::path& name,
                const fs::file_status& status, Refusal* refusal) {
  int errnum = 0;
  std::FILE* file = nullptr;
  // A name with a zero byte would be cut short and open another file; one
  // longer than a line could not have been typed whole.
  if (typed.size() > kMaxLineLength) {
    errnum = ENAMETOOLONG;
  } else if (typed.find('\0') != std::string::npos || name.empty()) {
    errnum = EINVAL;
  } else if (!fs::is_directory(status)) {
    // A directory opens for reading on some systems but is no pixel list.
    file = OpenForReading(name, &errnum);
  }
  if (file == nullptr) {
    refusal->reason = kOpenError;
    refusal->detail =
        CannotOpen(typed, errnum != 0 ? Reason(errnum) : kIsAFolder);
  }
  return file;
}

}  // namespace

bool OpenSource(const std::string& typed, const LoadOptions& options,
                std::FILE** fOrigen, Source* source, Refusal* refusal) {
  *refusal = Refusal();
  const bool usable =
      typed.size() <= kMaxLineLength && typed.find('\0') == std::string::npos;
  const fs::path name = usable ? TypedPath(typed) : fs::path();
  std::error_code ec;
  const fs::file_status status = fs::status(name, ec);
  *fOrigen = Open(typed, name, status, refusal);
  if (*fOrigen == nullptr) return false;
  if (IsSetFile(name)) {
    refusal->reason = kSourceIsASet;
  } else {
    // A regular file's size lets the loader read it into one allocation.
    // (Files that report no size, as in /proc, are read to their end.)
    std::error_code size_ec;
    std::error_code time_ec;
    const std::uint64_t size =
        fs::is_regular_file(status) ? fs::file_size(name, size_ec) : 0;
    const auto written = fs::last_write_time(name, time_ec);
    const bool regular = size > 0 && !size_ec && !time_ec;
    if (LoadSource(*fOrigen, regular ? size : 0, options, source,
                   &refusal->reason, &refusal->ends_run)) {
      // Another program that rewrote or cut the file while it was read would
      // leave a mixture of old and new lines, or half a line.
      const auto* held = std::get_if<InMemorySource>(&source->held);
      const std::uint64_t loaded =
          held != nullptr ? held->size
                          : std::get<StreamedSource>(source->held).size;
      if (!regular || (loaded == size && fs::file_size(name, size_ec) == size &&
                       fs::last_write_time(name, time_ec) == written &&
                       !size_ec && !time_ec))
        return true;
      refusal->reason = kSourceChanged;
      *source = Source();
    }
  }
  std::fclose(*fOrigen);
  *fOrigen = nullptr;
  return false;
}

}  // namespace pixelsets
