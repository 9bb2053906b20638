// The pair of set files of one run, put in place whole or not at all: both
// sets are written into temporaries beside the files they replace, synced,
// and then put in place together, while other runs in those folders wait and
// the signals that would end or stop the run are held back; if the second
// cannot be put in place, the first is put back.

#ifndef PARTICION_SRC_PIXELSETS_SET_FILES_H_
#define PARTICION_SRC_PIXELSETS_SET_FILES_H_

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pixelsets/draw_options.h"
#include "pixelsets/messages.h"
#include "pixelsets/set_files_platform.h"

namespace pixelsets {

// The steps of the commit where a test may make the run fail, with the errno
// that `fail` returns for the step (0 to let it be). A sync that fails is the
// caller's to act on: Commit is not called then.
enum class CommitStep { kFirstReplacement, kSecondReplacement };
using FaultForTests = std::function<int(CommitStep step)>;

class SetPair {
 public:
  // The pair `entrenamiento` and `test` (in one folder, or wherever symbolic
  // links of those names lead, as a shell's ">" would write them).
  explicit SetPair(const char* entrenamiento = kEntrenamiento,
                   const char* test = kTest, FaultForTests fault = {});
  // Removes whatever of this run was not committed.
  ~SetPair();
  SetPair(const SetPair&) = delete;
  SetPair& operator=(const SetPair&) = delete;

  // Finds the files that take the sets and opens both temporaries, with the
  // mode, owner and group of the files they replace. Refuses, before writing
  // anything, two names that lead to one file, a target that is not a
  // regular file or that the user may not write, a link planted in a shared
  // folder, and a folder the user may not write: false with "Error al
  // escribir el fichero NAME: REASON" (or "... en la carpeta FOLDER: ...")
  // in `*err`. Throws std::bad_alloc, having cleaned up, when memory runs
  // out.
  bool Open(std::string* err);

  // The two temporaries, open for writing.
  SetStreams streams() const;

  // A new file beside the training set's file that has no name, or loses it
  // at once, and goes when it is closed or the run ends: scratch space for a
  // draw. Null, with errno set, on failure.
  std::FILE* OpenScratch();

  // Removes the names of scratch files that could not be removed when they
  // were opened; says of each that stays, through `notify`, that it does.
  void RemoveScratch(const Notify& notify);

  // Writes out both temporaries and waits until they are on storage.
  bool Sync(std::string* err);

  // Puts both synced temporaries in place as one step: afterwards both files
  // hold the new sets, or (false, with the message in `*err`) both hold what
  // they held.
  bool Commit(const Notify& notify, std::string* err);

 private:
  // Where the failure a test asks for at `step` comes, as an errno.
  int Injected(CommitStep step) const { return fault_ ? fault_(step) : 0; }
  bool Replace(std::string* err);
  void RemoveLeftovers() const;

  FaultForTests fault_;
  // Made first and gone last: the temporaries are removed while an ending
  // signal still removes them too, never in a gap between the two.
  std::unique_ptr<SignalsWhileWriting> guard_;
  // Test first and training second: the order in which a set file that
  // cannot be written is found and reported.
  std::unique_ptr<SetFile> test_;
  std::unique_ptr<SetFile> entrenamiento_;
  unsigned scratch_files_ = 0;
  std::vector<std::filesystem::path> named_scratch_;  // see RemoveScratch
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SET_FILES_H_
