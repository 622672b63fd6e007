// The operating system calls behind the tools' files and signals, each
// declared once: os_posix.cpp and os_windows.cpp are the two ways of making
// them, and everything that decides what to do with them (output.cpp,
// text.cpp) is written once above them. Descriptors are the C library's; a
// call that fails returns -1 or false with errno set.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tw::tool::os {

// What separates the folders of a path.
#ifdef _WIN32
inline constexpr const char *kSeparators = "/\\";
#else
inline constexpr const char *kSeparators = "/";
#endif

// Set by the stop signals' handler; whatever sees it set stops and leaves
// everything as it was.
extern volatile std::sig_atomic_t g_stop_signal;

// Ctrl-C, kill and a closed terminal set g_stop_signal instead of ending the
// program, so that a tool stops cleanly. Without SA_RESTART a blocking open
// or write (a FIFO without a reader) returns, so the signal is seen at once;
// a reader that goes away is a write error, reported as such.
void catch_stop_signals();

// Between the last look at g_stop_signal and the rename that puts a file in
// place the stop signals are held back, so that one arriving first wins.
void hold_stop_signals();
void release_stop_signals();

enum class Kind { regular, directory, other };

struct Status {
  Kind kind = Kind::other;
  unsigned long long size = 0;
  unsigned links = 1; // names the file has
  unsigned mode = 0;  // permission bits
  unsigned owner = 0, group = 0;
};

// What a path (symbolic links followed) or a descriptor refers to.
bool status(const std::string &path, Status &st);
bool status(int fd, Status &st);
// Whether both paths name one existing file.
bool same_file(const std::string &a, const std::string &b);
// Whether the path itself (not what a link points at) is a regular file.
bool is_plain_file(const std::string &path);
// Where symbolic links in the last part of `path` lead, so that a link's
// target is replaced and the link stays. Throws Error naming `shown`.
std::string follow_links(const std::string &path, const std::string &shown);
// The longest name a file in `dir` may have.
std::size_t name_max(const std::string &dir);
// The permission bits a new file gets.
unsigned creation_mode();
// The names in a folder (none if it cannot be read).
std::vector<std::string> folder_names(const std::string &dir);

int open_read(const std::string &path);
// An existing file, device or FIFO, written in place. A signal that stops
// the wait (a FIFO without a reader) gives -1 with errno EINTR.
int open_write(const std::string &path);
// An existing file emptied, to be written again from the start.
int open_overwrite(const std::string &path);
// A new file only the owner may read and write; EEXIST if there is one.
int create_new(const std::string &path);
// A file without a name in the temporary folder, gone once closed; `dir`
// is set to that folder for messages.
int create_spool(std::string &dir);
// A descriptor of standard output that is not 0, 1 or 2, closed on exec.
int duplicate_stdout();
// Standard input, made binary where that is a mode.
int standard_input();
bool is_terminal(int fd);
bool can_seek(int fd);
bool rewind(int fd);
// read(2) with EINTR retried: > 0 bytes, 0 at the end, -1 on a fault.
long read_some(int fd, char *data, std::size_t size);
// Writes everything; an interruption is retried unless a stop signal came.
bool write_all(int fd, const char *data, std::size_t size);
void close(int fd);
bool remove(const std::string &path);

// Gives a finished temporary file the permissions (and, where allowed, the
// owner) of the file it replaces, and flushes it to the disk.
bool finish(int fd, const Status &like, bool keep_owner);
bool sync(int fd);
// Puts `from` in the place of `to`, replacing it in one step where the
// system can.
bool replace(const std::string &from, const std::string &to);
// Makes a rename in `dir` durable.
void sync_folder(const std::string &dir);

long long process_id();
// Whether no process with this number exists (so it has stopped writing).
bool process_gone(long long pid);

} // namespace tw::tool::os
