#include "output.h"
#include "text.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace tw::tool {

using os::g_stop_signal;

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

// The stop signals held back for as long as it lives.
struct HoldStopSignals {
  HoldStopSignals() { os::hold_stop_signals(); }
  ~HoldStopSignals() { os::release_stop_signals(); }
};

std::string dir_of(const std::string &path) {
  const auto slash = path.find_last_of(os::kSeparators);
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path) {
  const auto slash = path.find_last_of(os::kSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The temporary file's name beside `target`: ".NAME.tractwave-PID.tmp",
// with NAME shortened (at a character boundary) to keep within the file
// system's limit on a name. The process number lets a later run tell a
// leftover of a killed run from a file a live run is writing.
constexpr const char *kTempMark = ".tractwave-";
constexpr const char *kTempEnd = ".tmp";

std::string temp_prefix(const std::string &target) {
  const std::string dir = dir_of(target);
  // ".", the mark, up to 10 digits of a process number, the ending.
  const std::size_t room = os::name_max(dir) - 1 - std::strlen(kTempMark) - 10 -
                           std::strlen(kTempEnd);
  std::string base = base_of(target);
  if (base.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80)
      --cut;
    base.resize(cut);
  }
  return (dir == "/" ? "" : dir) + "/." + base + kTempMark;
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
  if (!os::write_all(fd_, data, size))
    fail("cannot write the output", errno);
}

void OutputFile::write_through() {
  if (os::can_seek(out_fd_)) {
    mode_ = Mode::in_place;
    fd_ = out_fd_;
    return;
  }
  mode_ = Mode::spool;
  std::string dir;
  fd_ = os::create_spool(dir);
  if (fd_ < 0)
    fail("cannot create a spool file in " + dir, errno);
}

void OutputFile::open_standard_output() {
  // "-": written where standard output goes, in place when it can seek (a
  // file the shell opened), else from a spool file once complete (a pipe),
  // so that the header holds the true sizes either way.
  out_fd_ = os::duplicate_stdout();
  if (out_fd_ < 0)
    fail("cannot write to standard output", errno);
  if (os::is_terminal(out_fd_)) {
    os::close(out_fd_);
    out_fd_ = -1;
    throw Error("-: standard output is a terminal; send it to a program "
                "(| aplay) or a file (> out.wav), or name a file with -o");
  }
  write_through();
}

void OutputFile::open_target(const std::string &score) {
  if (path_ == "-") {
    open_standard_output();
    return;
  }
  os::Status st;
  const bool exists = os::status(path_, st);
  if (!exists && errno != ENOENT)
    fail("cannot write the output", errno);
  if (exists && st.kind == os::Kind::directory)
    throw Error(path_ + ": cannot write the output: it is a directory");
  if (exists && os::same_file(path_, score))
    throw Error(path_ + ": the output is the score itself; choose another "
                        "output name (-o)");

  if (exists && st.kind != os::Kind::regular) {
    // A device, FIFO or terminal is written, never replaced. Whatever cannot
    // seek gets the file once it is complete, from a spool file without a
    // name, which nothing outlives.
    out_fd_ = os::open_write(path_);
    // Stopped while waiting for a FIFO's reader: not a fault of the output,
    // and commit() reports the signal.
    if (out_fd_ < 0 && errno == EINTR && g_stop_signal) {
      mode_ = Mode::stopped;
      return;
    }
    if (out_fd_ < 0)
      fail("cannot write the output", errno);
    write_through();
    return;
  }
  target_ = os::follow_links(path_, path_);
  if (os::status(target_, like_)) {
    keep_owner_ = true;
    // Replacing a file with several names would part it from the others;
    // it is overwritten once the complete file exists.
    mode_ = like_.links > 1 ? Mode::copy_into : Mode::replace;
  } else {
    like_.mode = os::creation_mode();
  }
  create_temporary();
}

void OutputFile::create_temporary() {
  remove_stale_temporaries(target_);
  temp_ = temp_prefix(target_) + std::to_string(os::process_id()) + kTempEnd;
  fd_ = os::create_new(temp_);
  if (fd_ < 0 && errno == EEXIST) {
    // Left by an earlier process with this number: not a live one.
    os::remove(temp_);
    fd_ = os::create_new(temp_);
  }
  if (fd_ < 0) {
    const int error = errno;
    temp_.clear();
    fail("cannot write the output", error);
  }
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (file_)
    sf_close(file_);
  file_ = nullptr;
  if (fd_ >= 0 && fd_ != out_fd_)
    os::close(fd_);
  if (out_fd_ >= 0)
    os::close(out_fd_);
  fd_ = out_fd_ = -1;
  if (!temp_.empty())
    os::remove(temp_);
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
  if (!os::rewind(fd_))
    return false;
  std::vector<char> buf(1 << 16);
  for (;;) {
    const long n = os::read_some(fd_, buf.data(), buf.size());
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    if (!os::write_all(to, buf.data(), static_cast<std::size_t>(n)))
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
  if (!os::finish(fd_, like_, keep_owner_))
    fail("cannot write the output", errno);

  HoldStopSignals hold;
  if (g_stop_signal) {
    discard();
    return false;
  }
  if (mode_ == Mode::copy_into) {
    const int to = os::open_overwrite(target_);
    const bool copied = to >= 0 && copy_to(to) && os::sync(to);
    const int error = errno;
    if (to >= 0)
      os::close(to);
    discard();
    if (!copied)
      fail("cannot write the output", error);
    return true;
  }
  // Closed first: Windows renames no file that is open.
  os::close(fd_);
  fd_ = -1;
  if (!os::replace(temp_, target_)) {
    const int error = errno;
    discard();
    fail("cannot write the output", error);
  }
  temp_.clear();
  // The rename itself is made durable by flushing the folder that holds it.
  os::sync_folder(dir_of(target_));
  return true;
}

int OutputFile::remove_stale_temporaries(const std::string &path) {
  const std::string target = os::follow_links(path, path);
  const std::string prefix = temp_prefix(target);
  const std::string dir = dir_of(prefix), start = base_of(prefix);
  int removed = 0;
  const std::size_t end_len = std::strlen(kTempEnd);
  for (const std::string &name : os::folder_names(dir)) {
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
    if (pid <= 0 || pid == os::process_id() || pid > INT_MAX ||
        !os::process_gone(pid))
      continue;
    const std::string full = (dir == "/" ? "" : dir) + "/" + name;
    if (os::is_plain_file(full) && os::remove(full))
      ++removed;
  }
  return removed;
}

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

} // namespace tw::tool
