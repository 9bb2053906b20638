// The set-file writer of partition.h on Windows: temporaries, the commit of
// the pair, the lock between runs, Ctrl+C and durability. This is the one
// file that speaks to Windows beyond the standard library.

#include "pixelsets/partition.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <utility>

#include "pixelsets/storage.h"

namespace pixelsets {
namespace {

// Held while the pair is put in place: Ctrl+C, Ctrl+Break or a closing
// console window, whose handler runs on a thread of its own, waits for it.
SRWLOCK g_commit = SRWLOCK_INIT;

BOOL WINAPI StopAfterCommit(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT &&
      event != CTRL_CLOSE_EVENT)
    return FALSE;
  AcquireSRWLockExclusive(&g_commit);
  // The temporaries, marked for deletion until committed, go with the
  // process. Ended here rather than by the system's handler, which under
  // Wine reports success; and not through exit(), whose flush of the
  // streams could wait forever on a lock of the interrupted writer.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

// The errno closest to a Windows error, for the message.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

std::string FolderError(const std::filesystem::path& folder, DWORD error) {
  std::error_code ec;
  const std::filesystem::path shown = std::filesystem::absolute(folder, ec);
  return "Error al escribir en la carpeta " +
         (ec ? folder : shown).lexically_normal().string() + ": " +
         std::strerror(ErrnoOf(error));
}

bool SetDeleteOnClose(HANDLE file, bool on) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = on ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

// One set file on its way: the target, its temporary beside it, the old
// file's place while the pair is put in place.
struct SetFile {
  SetFile(const char* target, const std::filesystem::path& folder)
      : target(target) {
    const std::wstring prefix =
        (folder / (L"." + std::filesystem::path(target).filename().wstring() +
                   L"." + std::to_wstring(GetCurrentProcessId())))
            .wstring();
    temp = prefix + L".tmp";
    backup = prefix + L".old";
    wide_target = std::filesystem::path(target).wstring();
  }
  ~SetFile() {
    if (file != nullptr) {
      std::fclose(file);  // deletes the temporary unless it was committed
    } else if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
    if (backed_up) DeleteFileW(backup.c_str());
  }
  SetFile(const SetFile&) = delete;
  SetFile& operator=(const SetFile&) = delete;

  const char* target;
  std::wstring wide_target;
  std::wstring temp;
  std::wstring backup;
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::FILE* file = nullptr;
  bool backed_up = false;  // the old file is at `backup`
};

// A target may be replaced only if it is absent, or a file the user may
// write (not read-only), as a shell's ">" would see it.
bool CheckTarget(const SetFile& set, std::string* err) {
  const DWORD attributes = GetFileAttributesW(set.wide_target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    const bool absent = error == ERROR_FILE_NOT_FOUND;
    if (!absent) *err = SetFileError(set.target, ErrnoOf(error));
    return absent;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *err = SetFileError(set.target, EISDIR);
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    *err = std::string("Error al escribir el fichero ") + set.target +
           ": no es un fichero regular";
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    *err = SetFileError(set.target, EACCES);
    return false;
  }
  return true;
}

// Creates the temporary, marked for deletion until the commit, so that an
// interrupt or a kill at any moment before it leaves nothing behind, and
// opens it as a text stream (line ends become CR LF).
bool CreateTemporary(SetFile* set, const std::filesystem::path& folder,
                     std::string* err) {
  // The name holds this process's id: one found already is a dead run's.
  DeleteFileW(set->temp.c_str());
  set->handle = CreateFileW(set->temp.c_str(), GENERIC_WRITE | DELETE,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (set->handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *err = error == ERROR_ACCESS_DENIED
               ? FolderError(folder, error)
               : SetFileError(set->target, ErrnoOf(error));
    return false;
  }
  if (!SetDeleteOnClose(set->handle, true)) {
    *err = SetFileError(set->target, ErrnoOf(GetLastError()));
    return false;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(set->handle),
                                 _O_WRONLY | _O_TEXT);
  if (fd < 0) {
    *err = SetFileError(set->target, errno);
    return false;
  }
  set->file = _fdopen(fd, "w");
  if (set->file == nullptr) {
    if (errno == ENOMEM) throw std::bad_alloc();
    _close(fd);
    set->handle = INVALID_HANDLE_VALUE;
    *err = SetFileError(set->target, errno);
    return false;
  }
  return true;
}

// A scratch file in `folder` (the buckets of a draw too large for memory):
// deleted when it is closed, or when the process ends however it ends.
std::FILE* OpenScratch(const std::filesystem::path& folder) {
  static unsigned counter = 0;
  const std::wstring name =
      (folder / (L".particion." + std::to_wstring(GetCurrentProcessId()) +
                 L"." + std::to_wstring(counter++) + L".tmp"))
          .wstring();
  HANDLE handle = CreateFileW(
      name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE,
      nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
      nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = ErrnoOf(GetLastError());
    return nullptr;
  }
  const int fd =
      _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "w+b");
  if (file == nullptr) _close(fd);
  return file;
}

bool Sync(SetFile* set, std::string* err) {
  errno = 0;
  if (std::fflush(set->file) != 0) {
    *err = SetFileError(set->target, errno);
    return false;
  }
  if (FlushFileBuffers(set->handle) == 0) {
    *err = SetFileError(set->target, ErrnoOf(GetLastError()));
    return false;
  }
  return true;
}

// Puts the temporary in place of the target; the old file steps aside first
// under a name of this run's, until the pair is whole.
bool Replace(SetFile* set) {
  if (MoveFileExW(set->wide_target.c_str(), set->backup.c_str(),
                  MOVEFILE_WRITE_THROUGH) != 0) {
    set->backed_up = true;
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
    return false;
  }
  if (MoveFileExW(set->temp.c_str(), set->wide_target.c_str(),
                  MOVEFILE_WRITE_THROUGH) != 0)
    return true;
  const DWORD error = GetLastError();
  if (set->backed_up &&
      MoveFileExW(set->backup.c_str(), set->wide_target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
    set->backed_up = false;
  SetLastError(error);
  return false;
}

// Puts back what Replace did.
void Undo(SetFile* set) {
  if (!set->backed_up) {
    DeleteFileW(set->wide_target.c_str());
    return;
  }
  set->backed_up =
      MoveFileExW(set->backup.c_str(), set->wide_target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0;
}

// Runs another program's commit in this folder before or after ours, never
// between our two replacements: a named mutex, which leaves no file.
class FolderLock {
 public:
  FolderLock(const std::filesystem::path& folder, const Notify& notify) {
    std::error_code ec;
    std::wstring key = std::filesystem::weakly_canonical(folder, ec).wstring();
    for (wchar_t& c : key) c = c == L'\\' ? L'/' : towlower(c);
    const std::wstring name =
        L"Local\\particion-" + std::to_wstring(std::hash<std::wstring>()(key));
    mutex_ = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex_ == nullptr) return;
    // A run that has to wait long for another says so once.
    if (WaitForSingleObject(mutex_, 1000) == WAIT_TIMEOUT) {
      notify("Esperando a que termine otra ejecucion en la carpeta " +
             std::filesystem::weakly_canonical(folder, ec).string());
      WaitForSingleObject(mutex_, INFINITE);
    }
  }
  ~FolderLock() {
    if (mutex_ == nullptr) return;
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  HANDLE mutex_ = nullptr;
};

// True unless process `pid` is known to be gone.
bool MayBeRunning(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

// Removes what runs ended in the middle of their commit left in the folder:
// names of the form ".TARGET.PID.tmp" or ".TARGET.PID.old" whose process is
// gone.
void RemoveLeftovers(const std::filesystem::path& folder, const SetFile& a,
                     const SetFile& b) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::wstring name = entry.path().filename().wstring();
    for (const SetFile* set : {&a, &b}) {
      const std::wstring prefix =
          L"." + std::filesystem::path(set->target).filename().wstring() + L".";
      if (name.size() <= prefix.size() + 4 ||
          name.compare(0, prefix.size(), prefix) != 0)
        continue;
      const std::wstring pid =
          name.substr(prefix.size(), name.size() - prefix.size() - 4);
      const std::wstring ending = name.substr(name.size() - 4);
      if ((ending != L".tmp" && ending != L".old") || pid.empty() ||
          pid.size() > 9 ||
          pid.find_first_not_of(L"0123456789") != std::wstring::npos)
        continue;
      if (!MayBeRunning(static_cast<DWORD>(std::stoul(pid))))
        DeleteFileW(entry.path().c_str());
    }
  }
}

bool Commit(SetFile* entr, SetFile* test, const std::filesystem::path& folder,
            const Notify& notify, std::string* err) {
  FolderLock lock(folder, notify);
  AcquireSRWLockExclusive(&g_commit);
  RemoveLeftovers(folder, *entr, *test);
  bool ok = true;
  for (SetFile* set : {entr, test}) {
    if (ok && !SetDeleteOnClose(set->handle, false)) {
      *err = SetFileError(set->target, ErrnoOf(GetLastError()));
      ok = false;
    }
  }
  if (ok && !Replace(entr)) {
    *err = SetFileError(entr->target, ErrnoOf(GetLastError()));
    ok = false;
  }
  if (ok && !Replace(test)) {
    *err = SetFileError(test->target, ErrnoOf(GetLastError()));
    Undo(entr);
    ok = false;
  }
  for (SetFile* set : {entr, test}) {
    // Committed files stay; anything else goes when its stream is closed.
    if (!ok) SetDeleteOnClose(set->handle, true);
    std::fclose(set->file);
    set->file = nullptr;
    set->handle = INVALID_HANDLE_VALUE;
    if (set->backed_up) DeleteFileW(set->backup.c_str());
    set->backed_up = false;
  }
  if (!ok) {
    DeleteFileW(entr->temp.c_str());
    DeleteFileW(test->temp.c_str());
  }
  ReleaseSRWLockExclusive(&g_commit);
  return ok;
}

class CtrlGuard {
 public:
  CtrlGuard() { SetConsoleCtrlHandler(StopAfterCommit, TRUE); }
  ~CtrlGuard() { SetConsoleCtrlHandler(StopAfterCommit, FALSE); }
  CtrlGuard(const CtrlGuard&) = delete;
  CtrlGuard& operator=(const CtrlGuard&) = delete;
};

}  // namespace

bool WriteSetFiles(Pool* pool, std::int32_t caract, std::int32_t n_entr,
                   std::int32_t n_test, const Generator& rand,
                   const Notify& notify, const DrawOptions& options,
                   std::string* err, const char* entrenamiento,
                   const char* test) {
  std::filesystem::path folder =
      std::filesystem::path(entrenamiento).parent_path();
  if (folder.empty()) folder = ".";
  SetFile fTest(test, folder);
  SetFile fEntrenamiento(entrenamiento, folder);
  if (!CheckTarget(fTest, err) || !CheckTarget(fEntrenamiento, err))
    return false;
  CtrlGuard guard;
  DrawOptions scratch_beside = options;
  scratch_beside.scratch = [&folder] { return OpenScratch(folder); };
  return CreateTemporary(&fTest, folder, err) &&
         CreateTemporary(&fEntrenamiento, folder, err) &&
         Partition(pool, caract, n_entr, n_test, rand,
                   {fEntrenamiento.file, entrenamiento}, {fTest.file, test},
                   err, scratch_beside) &&
         Sync(&fTest, err) && Sync(&fEntrenamiento, err) &&
         SourceUnchanged(*pool, err) &&
         Commit(&fEntrenamiento, &fTest, folder, notify, err);
}

}  // namespace pixelsets
