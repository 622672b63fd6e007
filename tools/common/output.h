// Where the tools' files go (tractwave-render's and tractwave-say's WAV
// files, tractwave-say's trajectories). A regular file is written under a
// temporary name beside it and put in place only when complete, so a fault,
// a signal or a full disk leaves the old file as it was; anything else
// (a device, a FIFO, a terminal) is written in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "os.h"

#include <sndfile.h>

namespace tw::tool {

class OutputFile {
public:
  // Checks the target and opens what will be written: `score` names the
  // input, which must not be the output; "-" is standard output.
  // `sf_subtype` is a libsndfile sample format (WAV) or a container and a
  // sample format (sound_format). Throws Error; nothing that exists has been
  // changed when it does.
  OutputFile(const std::string &path, const std::string &score, int rate,
             int sf_subtype);
  // The same for a file of bytes (text), written with write_bytes.
  OutputFile(const std::string &path, const std::string &score);
  ~OutputFile();
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  void write(const float *samples, int n);

  // The libsndfile format for `path`, by its extension: .wav (or none, or
  // "-"), .flac, .ogg/.oga (Vorbis); `pcm16` picks 16-bit samples where the
  // container has a choice. Throws Error naming the extension otherwise.
  static int sound_format(const std::string &path, bool pcm16);
  void write_bytes(const char *data, std::size_t size);

  // Puts the complete file in place. Returns false, with nothing changed, if
  // a signal arrived first; throws Error on a fault.
  bool commit();

  // Removes what a run killed before it could clean up left beside `path`.
  // Returns how many such files it removed.
  static int remove_stale_temporaries(const std::string &path);

private:
  // stopped: a signal came while the device or FIFO was being opened.
  enum class Mode { replace, copy_into, in_place, spool, stopped };

  // Checks the target and creates what is written to (fd_).
  void open_target(const std::string &score);
  void open_standard_output();
  // Writes to out_fd_: in place where it can seek, else from a spool file
  // once complete.
  void write_through();
  void create_temporary();
  [[noreturn]] void fail(const std::string &what, int error) const;
  void discard();
  bool copy_to(int to) const;

  std::string path_;   // as given, for messages
  std::string target_; // the file that ends up holding the samples
  std::string temp_;   // the temporary file, when it has a name
  Mode mode_ = Mode::replace;
  int fd_ = -1;     // what libsndfile writes
  int out_fd_ = -1; // the device or FIFO, in the in-place modes
  bool keep_owner_ = false;
  os::Status like_; // the permissions (and owner) the file ends up with
  SNDFILE *file_ = nullptr;
};

} // namespace tw::tool
