// SPDX-License-Identifier: MIT
#include "records/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

void report(const char* path, const char* what, int err) {
  std::fprintf(stderr, "%s: cannot %s: %s\n", path, what, std::strerror(err));
}

// Writes all of text to fd; returns 0 or the errno of the failed write.
int write_all(int fd, std::string_view text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

// fsync, where the file supports it: a pipe or a character device answers
// EINVAL, which is no loss of data.
int sync_fd(int fd) {
  if (::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP) return 0;
  return errno;
}

}  // namespace

bool append_durably(const char* path, std::string_view text) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    report(path, "open", errno);
    return false;
  }
  int err = write_all(fd, text);
  if (err == 0) err = sync_fd(fd);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    report(path, "write", err);
    return false;
  }
  return true;
}

bool replace_atomically(const char* path, std::string_view text) {
  // The temporary file is made new under a name no one can guess: a file or
  // a symbolic link that someone placed in a shared directory (or a stale
  // one left by a crash) is never opened, let alone written through.
  std::string tmp = std::string(path) + ".XXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    report(path, "write", errno);
    return false;
  }
  // mkostemp creates the file for its owner alone; give it the mode a
  // file created by this program has (0644 less the umask).
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0644 & ~mask);
  int err = write_all(fd, text);
  if (err == 0) err = sync_fd(fd);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), path) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    report(path, "write", err);
    return false;
  }
  // Make the rename itself durable: sync the directory that holds the file.
  const int dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool read_small_file(const char* path, std::size_t cap, std::string& text, std::string* why) {
  text.clear();
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (why != nullptr) *why = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  char buf[4096];
  int err = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > cap) break;
  }
  ::close(fd);
  if (err != 0) {
    if (why != nullptr) *why = std::string("cannot read: ") + std::strerror(err);
    return false;
  }
  if (text.size() > cap) {
    if (why != nullptr) *why = "is larger than " + std::to_string(cap >> 20) + " MiB";
    return false;
  }
  return true;
}
