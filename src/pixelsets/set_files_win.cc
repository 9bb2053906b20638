// What set_files_platform.h promises, on Windows: temporaries marked for
// deletion until they are put in place, moves, a named mutex for each
// folder, Ctrl+C held back during the commit, and flushes.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <new>
#include <string>

#include "pixelsets/messages.h"
#include "pixelsets/set_files_platform.h"

namespace pixelsets {
namespace {

namespace fs = std::filesystem;

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

// Sets errno from the last Windows error; false, for a failed step.
bool Failed() {
  errno = ErrnoOf(GetLastError());
  return false;
}

bool SetDeleteOnClose(HANDLE handle, bool on) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = on ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

// `folder` in full, as the user would write it.
std::string Shown(const fs::path& folder) {
  std::error_code ec;
  const fs::path shown = fs::absolute(folder, ec);
  return (ec ? folder : shown).lexically_normal().string();
}

bool Move(const fs::path& from, const fs::path& to, DWORD flags = 0) {
  return MoveFileExW(from.c_str(), to.c_str(),
                     flags | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

SignalsWhileWriting::SignalsWhileWriting() {
  SetConsoleCtrlHandler(StopAfterCommit, TRUE);
}

SignalsWhileWriting::~SignalsWhileWriting() {
  SetConsoleCtrlHandler(StopAfterCommit, FALSE);
}

SignalsHeld::SignalsHeld() { AcquireSRWLockExclusive(&g_commit); }

SignalsHeld::~SignalsHeld() { ReleaseSRWLockExclusive(&g_commit); }

int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }

bool ProcessGone(int pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  const bool gone = WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
  CloseHandle(process);
  return gone;
}

// Windows lets only privileged users make links, and has no shared folders
// in the POSIX sense to plant them in.
bool MayFollowLink(const fs::path& /*link*/) { return true; }

SetFile::~SetFile() {
  Discard();
  if (mutex_ != nullptr) {
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }
}

bool SetFile::Inspect(std::string* err) {
  const DWORD attributes = GetFileAttributesW(real_.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    *err = SetFileError(target_, ErrnoOf(error));
    return false;
  }
  existed_ = true;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *err = SetFileError(target_, EISDIR);
  } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    *err = SetFileError(target_, kNotRegular);
  } else if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    *err = SetFileError(target_, EACCES);
  } else {
    return true;
  }
  return false;
}

// A folder that cannot be written shows when the temporary is created. Its
// key is worked out once: asked again, a share that failed for a moment
// could make one folder look like two, locked twice.
bool SetFile::OpenFolder(std::string* /*err*/) {
  std::error_code ec;
  folder_key_ = fs::weakly_canonical(folder_, ec).string();
  for (char& c : folder_key_) {
    c = c == '\\'
            ? '/'
            : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return true;
}

std::string SetFile::FolderKey() const { return folder_key_; }

bool SetFile::CreateTemporary(std::string* err) {
  // The name holds this process's id: one found already is a dead run's.
  DeleteFileW(temp_.c_str());
  // An interrupt ends the process at once: between the file's creation and
  // its mark for deletion it would leave the file behind, so it waits.
  const SignalsHeld held;
  HANDLE handle = CreateFileW(temp_.c_str(), GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *err = error == ERROR_ACCESS_DENIED ? FolderError(Shown(folder_), EACCES)
                                        : SetFileError(target_, ErrnoOf(error));
    return false;
  }
  handle_ = handle;
  // Marked for deletion until the commit, so that an interrupt or a kill at
  // any moment before it leaves nothing behind.
  if (!SetDeleteOnClose(handle_, true)) {
    *err = SetFileError(target_, ErrnoOf(GetLastError()));
    return false;
  }
  // A text stream: line ends become CR LF.
  const int fd =
      _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_TEXT);
  if (fd < 0) {
    *err = SetFileError(target_, errno);
    return false;
  }
  file_ = _fdopen(fd, "w");
  if (file_ == nullptr) {
    if (errno == ENOMEM) throw std::bad_alloc();
    _close(fd);
    handle_ = nullptr;
    *err = SetFileError(target_, errno);
    return false;
  }
  return true;
}

bool RemoveScratch(const fs::path& name) {
  if (DeleteFileW(name.c_str()) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND)
    return true;
  errno = ErrnoOf(GetLastError());
  return false;
}

// Marked for deletion on close from its creation, a scratch file never
// keeps its name past the run.
std::FILE* SetFile::OpenScratch(const fs::path& name, bool* still_named) {
  *still_named = false;
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

bool SetFile::Sync(std::string* err) {
  errno = 0;
  if (std::fflush(file_) != 0) {
    *err = SetFileError(target_, errno);
    return false;
  }
  if (FlushFileBuffers(handle_) == 0) {
    *err = SetFileError(target_, ErrnoOf(GetLastError()));
    return false;
  }
  return true;
}

void SetFile::LockFolder(const Notify& notify) {
  // A named mutex, which leaves no file.
  const std::wstring name =
      L"Local\\particion-" +
      std::to_wstring(std::hash<std::string>()(FolderKey()));
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) return;
  mutex_ = mutex;
  // A run that has to wait long for another says so once.
  if (WaitForSingleObject(mutex, 1000) == WAIT_TIMEOUT) {
    std::error_code ec;
    notify(Waiting(fs::weakly_canonical(folder_, ec).string()));
    WaitForSingleObject(mutex, INFINITE);
  }
}

// A file with a name removed on Windows is gone at once from the folder.
void SetFile::HoldOld() {}

bool SetFile::NameTemporary() {
  // It has its name already; it only stops being marked for deletion.
  if (!SetDeleteOnClose(handle_, false)) return Failed();
  named_ = true;
  return true;
}

bool SetFile::Replace() {
  // The old file steps aside first under a name of this run's, until the
  // pair is whole.
  if (Move(real_, backup_)) {
    had_old_ = backed_up_ = true;
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
    return Failed();
  }
  if (Move(temp_, real_)) {
    named_ = false;
    placed_ = true;
    return true;
  }
  const DWORD error = GetLastError();
  Undo();
  SetLastError(error);
  return Failed();
}

void SetFile::Undo() {
  if (placed_) {
    // The new file goes first, as it is closed: Windows moves no file over
    // one that is open.
    SetDeleteOnClose(handle_, true);
    std::fclose(file_);
    file_ = nullptr;
    handle_ = nullptr;
    placed_ = false;
  }
  if (backed_up_ && Move(backup_, real_, MOVEFILE_REPLACE_EXISTING))
    backed_up_ = false;
  had_old_ = false;
}

const fs::path& SetFile::old() const { return backup_; }

bool SetFile::RemoveOld() {
  const bool removed = !backed_up_ || DeleteFileW(backup_.c_str()) != 0 ||
                       GetLastError() == ERROR_FILE_NOT_FOUND;
  if (!removed) errno = ErrnoOf(GetLastError());
  named_ = backed_up_ = had_old_ = false;
  return removed;
}

void SetFile::Discard() {
  if (file_ != nullptr) {
    // A temporary not put in place goes when it is closed.
    if (!placed_) SetDeleteOnClose(handle_, true);
    std::fclose(file_);
  } else if (handle_ != nullptr) {
    CloseHandle(handle_);
    DeleteFileW(temp_.c_str());
  }
  file_ = nullptr;
  handle_ = nullptr;
  named_ = false;
}

// Each move was written through.
void SetFile::SyncFolder() {}

}  // namespace pixelsets
