#include "output.h"
#include "score.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tw::render {

volatile std::sig_atomic_t g_stop_signal = 0;

std::string printable(const std::string &message) {
  std::string out;
  for (std::size_t i = 0; i < message.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(message[i]);
    const bool c1 = c == 0xC2 && i + 1 < message.size() &&
                    static_cast<unsigned char>(message[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(message[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x",
                    c1 ? static_cast<unsigned char>(message[++i]) : c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string decibels(double level) {
  if (level <= 0.0)
    return "-inf dBFS";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f dBFS", 20.0 * std::log10(level));
  return buf;
}

extern "C" void on_stop_signal(int signal) { g_stop_signal = signal; }

void catch_stop_signals() {
#ifdef _WIN32
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
#else
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
#endif
}

namespace {

SF_INFO wav_info(int rate, int sf_subtype) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  // A bare sample format means WAV; a container given with it is kept.
  info.format = (sf_subtype & SF_FORMAT_TYPEMASK) ? sf_subtype
                                                  : SF_FORMAT_WAV | sf_subtype;
  return info;
}

void set_up_writing(SNDFILE *file) {
  // Full-scale samples clip instead of wrapping around in 16-bit output.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  // The PEAK chunk carries a time stamp; without it the same score always
  // gives the same bytes.
  sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
}

} // namespace

#ifdef _WIN32

// Windows has no FIFOs or symbolic links worth following here: a temporary
// file beside the target, renamed into place.
OutputFile::OutputFile(const std::string &path, const std::string &, int rate,
                       int sf_subtype)
    : path_(path), target_(path), temp_(path + ".partial") {
  SF_INFO info = wav_info(rate, sf_subtype);
  file_ = sf_open(temp_.c_str(), SFM_WRITE, &info);
  if (!file_)
    throw Error(path_ + ": cannot write the output: " + sf_strerror(nullptr));
  set_up_writing(file_);
}

OutputFile::OutputFile(const std::string &path, const std::string &)
    : path_(path), target_(path), temp_(path + ".partial") {
  fd_ = _open(temp_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
              _S_IREAD | _S_IWRITE);
  if (fd_ < 0)
    fail("cannot write the output", errno);
}

void OutputFile::write_bytes(const char *data, std::size_t size) {
  if (_write(fd_, data, static_cast<unsigned>(size)) != static_cast<int>(size))
    fail("cannot write the output", errno);
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (file_)
    sf_close(file_);
  file_ = nullptr;
  if (fd_ >= 0)
    _close(fd_);
  fd_ = -1;
  if (!temp_.empty())
    std::remove(temp_.c_str());
  temp_.clear();
}

void OutputFile::fail(const std::string &what, int error) const {
  throw Error(path_ + ": " + what + ": " + std::strerror(error));
}

void OutputFile::write(const float *samples, int n) {
  if (sf_write_float(file_, samples, n) != n)
    throw Error(path_ + ": cannot write the output: " + sf_strerror(file_));
}

bool OutputFile::commit() {
  const int status = file_ ? sf_close(file_) : _close(fd_) == 0 ? 0 : -1;
  file_ = nullptr;
  fd_ = -1;
  if (status != 0 || g_stop_signal) {
    discard();
    if (status != 0)
      throw Error(path_ + ": cannot write the output: " +
                  (status > 0 ? sf_error_number(status) : "close failed"));
    return false;
  }
  std::remove(target_.c_str());
  if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int error = errno;
    discard();
    fail("cannot write the output", error);
  }
  temp_.clear();
  return true;
}

bool OutputFile::copy_to(int) const { return false; }

int OutputFile::remove_stale_temporaries(const std::string &) { return 0; }

#else

namespace {

// The signals that stop a render: between the last check and the rename they
// are held back, so that one arriving before the rename always wins.
class HoldSignals {
public:
  HoldSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
      sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~HoldSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

private:
  sigset_t old_;
};

std::string dir_of(const std::string &path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links in the last part of the path, so that the file
// replaced is the link's target and the link itself stays.
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
    target = link[0] == '/' ? link : dir_of(target) + "/" + link;
  }
}

// The temporary file's name beside `target`: ".NAME.tractwave-PID.tmp",
// with NAME shortened (at a character boundary) to keep within the file
// system's limit on a name. The process number lets a later run tell a
// leftover of a killed run from a file a live run is writing.
constexpr const char *kTempMark = ".tractwave-";
constexpr const char *kTempEnd = ".tmp";

std::string temp_prefix(const std::string &target) {
  const std::string dir = dir_of(target);
  long name_max = pathconf(dir.c_str(), _PC_NAME_MAX);
  if (name_max <= 0)
    name_max = 255;
  // ".", the mark, up to 10 digits of a process number, the ending.
  const std::size_t room = static_cast<std::size_t>(name_max) - 1 -
                           std::strlen(kTempMark) - 10 - std::strlen(kTempEnd);
  std::string base = base_of(target);
  if (base.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80)
      --cut;
    base.resize(cut);
  }
  return (dir == "/" ? "" : dir) + "/." + base + kTempMark;
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

} // namespace

OutputFile::OutputFile(const std::string &path, const std::string &score,
                       int rate, int sf_subtype)
    : path_(path) {
  open_target(score);
  if (mode_ == Mode::stopped)
    return;
  int format = sf_subtype;
  try {
    if (!(format & SF_FORMAT_TYPEMASK))
      format = sound_format(path_, sf_subtype == SF_FORMAT_PCM_16);
  } catch (...) {
    discard();
    throw;
  }
  SF_INFO info = wav_info(rate, format);
  file_ = sf_open_fd(fd_, SFM_WRITE, &info, SF_FALSE);
  if (!file_) {
    const std::string why = sf_strerror(nullptr);
    discard();
    throw Error(path_ + ": cannot write the output: " + why);
  }
  set_up_writing(file_);
}

OutputFile::OutputFile(const std::string &path, const std::string &score)
    : path_(path) {
  open_target(score);
}

void OutputFile::write_bytes(const char *data, std::size_t size) {
  if (mode_ == Mode::stopped)
    return;
  if (!write_all(fd_, data, size))
    fail("cannot write the output", errno);
}

void OutputFile::open_standard_output() {
  // "-": written where standard output goes, in place when it can seek (a
  // file the shell opened), else from a spool file once complete (a pipe),
  // so that the header holds the true sizes either way.
  out_fd_ = fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (out_fd_ < 0)
    fail("cannot write to standard output", errno);
  if (isatty(out_fd_)) {
    close(out_fd_);
    out_fd_ = -1;
    throw Error("-: standard output is a terminal; send it to a program "
                "(| aplay) or a file (> out.wav), or name a file with -o");
  }
  if (lseek(out_fd_, 0, SEEK_CUR) >= 0) {
    mode_ = Mode::in_place;
    fd_ = out_fd_;
    return;
  }
  mode_ = Mode::spool;
  const char *tmpdir = std::getenv("TMPDIR");
  std::string spool = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") +
                      "/tractwave-stdout-XXXXXX";
  fd_ = mkstemp(&spool[0]);
  if (fd_ < 0)
    fail("cannot create a spool file in " + dir_of(spool), errno);
  unlink(spool.c_str());
}

void OutputFile::open_target(const std::string &score) {
  if (path_ == "-") {
    open_standard_output();
    return;
  }
  struct stat st;
  const std::string &path = path_;
  const bool exists = stat(path.c_str(), &st) == 0;
  if (!exists && errno != ENOENT)
    fail("cannot write the output", errno);
  if (exists && S_ISDIR(st.st_mode))
    throw Error(path_ + ": cannot write the output: it is a directory");
  struct stat in;
  if (exists && !score.empty() && stat(score.c_str(), &in) == 0 &&
      in.st_dev == st.st_dev && in.st_ino == st.st_ino)
    throw Error(path_ + ": the output is the score itself; choose another "
                        "output name (-o)");

  if (exists && !S_ISREG(st.st_mode)) {
    // A device, FIFO or terminal is written, never replaced. Whatever cannot
    // seek gets the file once it is complete, from a spool file without a
    // name, which nothing outlives.
    out_fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    while (out_fd_ < 0 && errno == EINTR && !g_stop_signal)
      out_fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    // Stopped while waiting for a FIFO's reader: not a fault of the output,
    // and commit() reports the signal.
    if (out_fd_ < 0 && errno == EINTR && g_stop_signal) {
      mode_ = Mode::stopped;
      return;
    }
    if (out_fd_ < 0)
      fail("cannot write the output", errno);
    if (lseek(out_fd_, 0, SEEK_CUR) >= 0) {
      mode_ = Mode::in_place;
      fd_ = out_fd_;
    } else {
      mode_ = Mode::spool;
      const char *tmpdir = std::getenv("TMPDIR");
      std::string spool = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") +
                          "/tractwave-render-XXXXXX";
      fd_ = mkstemp(&spool[0]);
      if (fd_ < 0)
        fail("cannot create a spool file in " + dir_of(spool), errno);
      unlink(spool.c_str());
    }
  } else {
    target_ = follow_links(path, path_);
    struct stat ts;
    const bool target_exists = stat(target_.c_str(), &ts) == 0;
    if (target_exists) {
      mode_bits_ = ts.st_mode & 07777;
      owner_ = ts.st_uid;
      group_ = ts.st_gid;
      keep_owner_ = true;
      // Replacing a file with several names would part it from the others;
      // it is overwritten once the complete file exists.
      mode_ = ts.st_nlink > 1 ? Mode::copy_into : Mode::replace;
    } else {
      const mode_t mask = umask(0);
      umask(mask);
      mode_bits_ = 0666 & ~mask;
    }
    remove_stale_temporaries(target_);
    temp_ = temp_prefix(target_) + std::to_string(getpid()) + kTempEnd;
    fd_ = open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0 && errno == EEXIST) {
      // Left by an earlier process with this number: not a live one.
      unlink(temp_.c_str());
      fd_ = open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    if (fd_ < 0) {
      const int error = errno;
      temp_.clear();
      fail("cannot write the output", error);
    }
  }
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (file_)
    sf_close(file_);
  file_ = nullptr;
  if (fd_ >= 0 && fd_ != out_fd_)
    close(fd_);
  if (out_fd_ >= 0)
    close(out_fd_);
  fd_ = out_fd_ = -1;
  if (!temp_.empty())
    unlink(temp_.c_str());
  temp_.clear();
}

void OutputFile::fail(const std::string &what, int error) const {
  throw Error(path_ + ": " + what + ": " + std::strerror(error));
}

void OutputFile::write(const float *samples, int n) {
  if (mode_ == Mode::stopped)
    return;
  if (sf_write_float(file_, samples, n) != n)
    throw Error(path_ + ": cannot write the output: " + sf_strerror(file_));
}

bool OutputFile::copy_to(int to) const {
  if (lseek(fd_, 0, SEEK_SET) != 0)
    return false;
  std::vector<char> buf(1 << 16);
  for (;;) {
    const ssize_t n = read(fd_, buf.data(), buf.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    if (!write_all(to, buf.data(), static_cast<std::size_t>(n)))
      return false;
  }
}

bool OutputFile::commit() {
  if (mode_ == Mode::stopped)
    return false;
  // sf_close leaves the descriptor open (it was handed over as not owned).
  const int status = file_ ? sf_close(file_) : 0;
  file_ = nullptr;
  if (status != 0) {
    discard();
    throw Error(path_ +
                ": cannot write the output: " + sf_error_number(status));
  }
  if (mode_ == Mode::in_place) {
    discard();
    return true;
  }
  if (mode_ == Mode::spool) {
    // Copying into a FIFO waits for its reader, so signals stay deliverable.
    const bool copied = copy_to(out_fd_);
    const int error = errno;
    discard();
    if (g_stop_signal)
      return false;
    if (!copied)
      fail("cannot write the output", error);
    return true;
  }

  // The data reaches the disk before the name points at it, so a crash
  // leaves the old file or the new one, never an empty one.
  if (keep_owner_ && fchown(fd_, owner_, group_) != 0) {
    // Only root may give a file away; the permissions are kept regardless.
  }
  if (fchmod(fd_, static_cast<mode_t>(mode_bits_)) != 0 || fsync(fd_) != 0)
    fail("cannot write the output", errno);

  HoldSignals hold;
  if (g_stop_signal) {
    discard();
    return false;
  }
  if (mode_ == Mode::copy_into) {
    const int to = open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const bool copied = to >= 0 && copy_to(to) && fsync(to) == 0;
    const int error = errno;
    if (to >= 0)
      close(to);
    discard();
    if (!copied)
      fail("cannot write the output", error);
    return true;
  }
  if (rename(temp_.c_str(), target_.c_str()) != 0) {
    const int error = errno;
    discard();
    fail("cannot write the output", error);
  }
  temp_.clear();
  close(fd_);
  fd_ = -1;
  // The rename itself is made durable by flushing the folder that holds it.
  const int dir = open(dir_of(target_).c_str(), O_RDONLY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

int OutputFile::remove_stale_temporaries(const std::string &path) {
  const std::string target = follow_links(path, path);
  const std::string prefix = temp_prefix(target);
  const std::string dir = dir_of(prefix), start = base_of(prefix);
  DIR *d = opendir(dir.c_str());
  if (!d)
    return 0;
  int removed = 0;
  const std::size_t end_len = std::strlen(kTempEnd);
  while (const dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() <= start.size() + end_len ||
        name.compare(0, start.size(), start) != 0 ||
        name.compare(name.size() - end_len, end_len, kTempEnd) != 0)
      continue;
    const std::string digits =
        name.substr(start.size(), name.size() - start.size() - end_len);
    if (digits.size() > 10 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      continue;
    const long long pid = std::stoll(digits);
    // Only a process that no longer exists has stopped writing it.
    if (pid <= 0 || pid == getpid() || pid > INT_MAX ||
        kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
      continue;
    const std::string full = (dir == "/" ? "" : dir) + "/" + name;
    struct stat st;
    if (lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        unlink(full.c_str()) == 0)
      ++removed;
  }
  closedir(d);
  return removed;
}

#endif

int OutputFile::sound_format(const std::string &path, bool pcm16) {
  const auto slash = path.find_last_of("/\\");
  const auto dot = path.rfind('.');
  std::string ext;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    for (char c : path.substr(dot + 1))
      ext += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (ext.empty() || ext == "wav" || ext == "wave")
    return SF_FORMAT_WAV | (pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
  // FLAC holds integers only: 24 bits keeps what float samples carry.
  if (ext == "flac")
    return SF_FORMAT_FLAC | (pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
  if (ext == "ogg" || ext == "oga")
    return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
  throw Error(path + ": cannot write a ." + printable(ext) +
              " file; name the output .wav, .flac or .ogg (or - for "
              "standard output, as WAV)");
}

} // namespace tw::render
