// The tools' operating system calls on Linux, macOS and the other POSIX
// systems.
#include "os.h"
#include "text.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tw::tool::os {

volatile std::sig_atomic_t g_stop_signal = 0;

namespace {

extern "C" void on_stop_signal(int signal) { g_stop_signal = signal; }

sigset_t g_held_from;

Status from_stat(const struct stat &s) {
  Status st;
  st.kind = S_ISREG(s.st_mode)   ? Kind::regular
            : S_ISDIR(s.st_mode) ? Kind::directory
                                 : Kind::other;
  st.size = static_cast<unsigned long long>(s.st_size);
  st.links = static_cast<unsigned>(s.st_nlink);
  st.mode = s.st_mode & 07777;
  st.owner = s.st_uid;
  st.group = s.st_gid;
  return st;
}

} // namespace

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void hold_stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&set, s);
  sigprocmask(SIG_BLOCK, &set, &g_held_from);
}

void release_stop_signals() { sigprocmask(SIG_SETMASK, &g_held_from, nullptr); }

bool status(const std::string &path, Status &st) {
  struct stat s;
  if (stat(path.c_str(), &s) != 0)
    return false;
  st = from_stat(s);
  return true;
}

bool status(int fd, Status &st) {
  struct stat s;
  if (fstat(fd, &s) != 0)
    return false;
  st = from_stat(s);
  return true;
}

bool same_file(const std::string &a, const std::string &b) {
  struct stat sa, sb;
  return !a.empty() && !b.empty() && stat(a.c_str(), &sa) == 0 &&
         stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool is_plain_file(const std::string &path) {
  struct stat s;
  return lstat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode);
}

std::string follow_links(const std::string &path, const std::string &shown) {
  std::string target = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
      return target;
    if (hops == 40)
      throw Error(shown + ": cannot write the output: too many symbolic links");
    std::vector<char> buf(static_cast<std::size_t>(st.st_size) + 256);
    const ssize_t n = readlink(target.c_str(), buf.data(), buf.size());
    if (n < 0 || static_cast<std::size_t>(n) >= buf.size())
      throw Error(shown + ": cannot follow the symbolic link: " +
                  std::strerror(n < 0 ? errno : ENAMETOOLONG));
    const std::string link(buf.data(), static_cast<std::size_t>(n));
    const auto slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                         : target.substr(0, slash);
    target = link[0] == '/' ? link : dir + "/" + link;
  }
}

std::size_t name_max(const std::string &dir) {
  const long n = pathconf(dir.c_str(), _PC_NAME_MAX);
  return n > 0 ? static_cast<std::size_t>(n) : 255;
}

unsigned creation_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

std::vector<std::string> folder_names(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (const dirent *e = readdir(d))
      names.emplace_back(e->d_name);
    closedir(d);
  }
  return names;
}

int open_read(const std::string &path) {
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

int open_write(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR && !g_stop_signal)
    fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  return fd;
}

int open_overwrite(const std::string &path) {
  return open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
}

int create_new(const std::string &path) {
  return open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}

int create_spool(std::string &dir) {
  const char *tmpdir = std::getenv("TMPDIR");
  std::string spool = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") +
                      "/tractwave-spool-XXXXXX";
  dir = spool.substr(0, spool.rfind('/'));
  const int fd = mkstemp(&spool[0]);
  if (fd >= 0)
    unlink(spool.c_str());
  return fd;
}

int duplicate_stdout() { return fcntl(1, F_DUPFD_CLOEXEC, 3); }

int standard_input() { return 0; }

bool is_terminal(int fd) { return isatty(fd) != 0; }

bool can_seek(int fd) { return lseek(fd, 0, SEEK_CUR) >= 0; }

bool rewind(int fd) { return lseek(fd, 0, SEEK_SET) == 0; }

long read_some(int fd, char *data, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    return static_cast<long>(n);
  }
}

bool write_all(int fd, const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR && !g_stop_signal)
      continue;
    if (n <= 0)
      return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void close(int fd) { ::close(fd); }

bool remove(const std::string &path) { return unlink(path.c_str()) == 0; }

bool finish(int fd, const Status &like, bool keep_owner) {
  if (keep_owner && fchown(fd, like.owner, like.group) != 0) {
    // Only root may give a file away; the permissions are kept regardless.
  }
  return fchmod(fd, static_cast<mode_t>(like.mode)) == 0 && fsync(fd) == 0;
}

bool sync(int fd) { return fsync(fd) == 0; }

bool replace(const std::string &from, const std::string &to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

void sync_folder(const std::string &dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    ::close(fd);
  }
}

long long process_id() { return getpid(); }

bool process_gone(long long pid) {
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

} // namespace tw::tool::os
