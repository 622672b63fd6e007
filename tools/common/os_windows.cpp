// The tools' operating system calls on Windows: the C library's descriptors,
// and Win32 where it says more (which two names are one file, whether a
// process lives, how to replace a file in one step). There are no symbolic
// links to follow, owners to keep or signals to hold back here.
#include "os.h"
#include "text.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <string>

namespace tw::tool::os {

volatile std::sig_atomic_t g_stop_signal = 0;

namespace {

extern "C" void on_stop_signal(int signal) { g_stop_signal = signal; }

Status from_stat(const struct _stat64 &s) {
  Status st;
  st.kind = (s.st_mode & _S_IFMT) == _S_IFREG   ? Kind::regular
            : (s.st_mode & _S_IFMT) == _S_IFDIR ? Kind::directory
                                                : Kind::other;
  st.size = static_cast<unsigned long long>(s.st_size);
  st.links = static_cast<unsigned>(s.st_nlink);
  st.mode = s.st_mode & 0777;
  return st;
}

// Win32 says why a call failed with its own numbers; messages go by errno.
void set_errno_from_last_error() {
  switch (GetLastError()) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
    errno = ENOENT;
    break;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
    errno = EACCES;
    break;
  default:
    errno = EIO;
  }
}

bool file_id(const std::string &path, BY_HANDLE_FILE_INFORMATION &info) {
  const HANDLE h =
      CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return false;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  return ok;
}

} // namespace

void catch_stop_signals() {
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
}

void hold_stop_signals() {}

void release_stop_signals() {}

bool status(const std::string &path, Status &st) {
  struct _stat64 s;
  if (_stat64(path.c_str(), &s) != 0)
    return false;
  st = from_stat(s);
  return true;
}

bool status(int fd, Status &st) {
  struct _stat64 s;
  if (_fstat64(fd, &s) != 0)
    return false;
  st = from_stat(s);
  return true;
}

bool same_file(const std::string &a, const std::string &b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return !a.empty() && !b.empty() && file_id(a, ia) && file_id(b, ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh &&
         ia.nFileIndexLow == ib.nFileIndexLow;
}

bool is_plain_file(const std::string &path) {
  Status st;
  return status(path, st) && st.kind == Kind::regular;
}

std::string follow_links(const std::string &path, const std::string &) {
  return path;
}

std::size_t name_max(const std::string &) { return 255; }

unsigned creation_mode() { return _S_IREAD | _S_IWRITE; }

std::vector<std::string> folder_names(const std::string &dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE)
    return names;
  do
    names.emplace_back(found.cFileName);
  while (FindNextFileA(h, &found));
  FindClose(h);
  return names;
}

int open_read(const std::string &path) {
  return _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int open_write(const std::string &path) {
  return _open(path.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
}

int open_overwrite(const std::string &path) {
  return _open(path.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY | _O_NOINHERIT);
}

int create_new(const std::string &path) {
  return _open(path.c_str(),
               _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
}

int create_spool(std::string &dir) {
  char folder[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof folder, folder);
  dir = n > 0 && n < sizeof folder ? std::string(folder, n) : ".";
  // Removed by the system when closed: a spool file has no name to clean.
  static unsigned serial = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = dir + "\\tractwave-spool-" +
                             std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(serial++) + ".tmp";
    const int fd = _open(name.c_str(),
                         _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY |
                             _O_NOINHERIT | _O_TEMPORARY,
                         _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  return -1;
}

int duplicate_stdout() {
  const int fd = _dup(1);
  if (fd >= 0)
    _setmode(fd, _O_BINARY);
  return fd;
}

int standard_input() {
  _setmode(0, _O_BINARY);
  return 0;
}

bool is_terminal(int fd) { return _isatty(fd) != 0; }

// A pipe or a console reports a position too; only a disk file can seek.
bool can_seek(int fd) {
  const intptr_t h = _get_osfhandle(fd);
  return h != -1 && GetFileType(reinterpret_cast<HANDLE>(h)) == FILE_TYPE_DISK;
}

bool rewind(int fd) { return _lseeki64(fd, 0, SEEK_SET) == 0; }

long read_some(int fd, char *data, std::size_t size) {
  return _read(fd, data,
               static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}

bool write_all(int fd, const char *data, std::size_t size) {
  while (size > 0) {
    const int n = _write(
        fd, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
    if (n <= 0)
      return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void close(int fd) { _close(fd); }

bool remove(const std::string &path) { return _unlink(path.c_str()) == 0; }

// Windows keeps no owner or permission bits beyond read-only, which a file
// that is being replaced does not have.
bool finish(int fd, const Status &, bool) { return _commit(fd) == 0; }

bool sync(int fd) { return _commit(fd) == 0; }

bool replace(const std::string &from, const std::string &to) {
  if (MoveFileExA(from.c_str(), to.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  set_errno_from_last_error();
  return false;
}

void sync_folder(const std::string &) {}

long long process_id() { return _getpid(); }

bool process_gone(long long pid) {
  const HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                               static_cast<DWORD>(pid));
  if (!h)
    return GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool ended = GetExitCodeProcess(h, &code) && code != STILL_ACTIVE;
  CloseHandle(h);
  return ended;
}

} // namespace tw::tool::os
