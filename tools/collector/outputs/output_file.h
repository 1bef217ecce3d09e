// The --output file. It is opened for appending, never truncated, and locked while the collector
// writes it, so that a second collector given the same file by mistake refuses it (naming the
// process that holds it) instead of emptying it under the first. SIGHUP reopens it by name,
// which is how a rotation that renamed the file hands the collector a fresh one.
#ifndef VESKA_TOOLS_COLLECTOR_OUTPUTS_OUTPUT_FILE_H
#define VESKA_TOOLS_COLLECTOR_OUTPUTS_OUTPUT_FILE_H

#include <sys/types.h>

#include <cstdio>
#include <string>

namespace veska {
namespace collector {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // closes the stream, which also releases the lock
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  // Opens path for appending (created with mode 0644 less the umask) and locks it when it is a
  // regular file. False, with a sentence saying why in *error, when it cannot be opened or
  // another process holds the lock.
  bool open(const std::string &path, std::string *error);
  // Opens the path again when it now names another file than the one being written (the old
  // one was renamed or removed), locks it and closes the old stream. True when the stream is
  // the new file, or when the path still names the same file (appending already survives a
  // truncation); false, with the reason, when the new file cannot be used: the old stream then
  // stays in use.
  bool reopen(std::string *error);

  FILE *stream() const { return stream_; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  FILE *stream_ = nullptr;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace collector
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_OUTPUTS_OUTPUT_FILE_H
