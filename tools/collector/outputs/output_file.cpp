// Opening, locking and reopening the collector's output file.
#include "tools/collector/outputs/output_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veska {
namespace collector {

namespace {

// Locks the whole file for writing without waiting. Record locks (not flock) because the
// kernel then tells a refused process who holds the lock. Devices and pipes (/dev/null, a
// FIFO) are shared by nature and left unlocked.
bool _lock(int fd, const std::string &path, std::string *error) {
  struct stat status;
  if (fstat(fd, &status) != 0) {
    *error = "cannot examine output file '" + path + "': " + strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) return true;
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &lock) == 0) return true;
  const int reason = errno;
  if (reason != EACCES && reason != EAGAIN) {
    *error = "cannot lock output file '" + path + "': " + strerror(reason);
    return false;
  }
  std::string holder = "another process";
  if (fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) {
    holder = "another process (pid " + std::to_string(lock.l_pid) + ")";
  }
  *error = "output file '" + path + "' is being written by " + holder +
           "; give each collector a file of its own";
  return false;
}

// The opened and locked file as a stream, or null with the reason.
FILE *_open_locked(const std::string &path, std::string *error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open output file '" + path + "': " + strerror(errno);
    return nullptr;
  }
  if (!_lock(fd, path, error)) {
    close(fd);
    return nullptr;
  }
  FILE *stream = fdopen(fd, "a");
  if (stream == nullptr) {
    *error = "cannot open output file '" + path + "': " + strerror(errno);
    close(fd);
  }
  return stream;
}

}  // namespace

OutputFile::~OutputFile() {
  if (stream_ != nullptr) fclose(stream_);
}

bool OutputFile::open(const std::string &path, std::string *error) {
  FILE *stream = _open_locked(path, error);
  if (stream == nullptr) return false;
  struct stat status;
  fstat(fileno(stream), &status);
  path_ = path;
  stream_ = stream;
  device_ = status.st_dev;
  inode_ = status.st_ino;
  return true;
}

bool OutputFile::reopen(std::string *error) {
  // Same file: nothing to do. Opening it again would even be harmful, since closing either
  // descriptor drops every record lock this process holds on the file.
  struct stat status;
  if (stat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_) {
    return true;
  }
  FILE *stream = _open_locked(path_, error);
  if (stream == nullptr) return false;
  fstat(fileno(stream), &status);
  fclose(stream_);
  stream_ = stream;
  device_ = status.st_dev;
  inode_ = status.st_ino;
  return true;
}

}  // namespace collector
}  // namespace veska
