// Helpers of the fault scenarios: numbered typical events and their check at the collector,
// bounded child processes, and counts of this process's descriptors and threads.
#ifndef VESKA_TESTS_FAULTS_FAULTS_UTIL_H
#define VESKA_TESTS_FAULTS_FAULTS_UTIL_H

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "support/collector_process.h"
#include "types.h"

namespace veska_test {

inline double now_s() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// A typical event: transaction id "T<stream>-<number>", a REST call with its link and two
// stitch pairs, and a context item whose printable value has `padding` bytes derived from
// the number, so that a corrupted or misplaced byte shows at the collector.
class NumberedEvent {
 public:
  // The buffers are sized here so that track() itself never allocates: a process forked
  // while a tracking thread is inside malloc can inherit the allocator's lock held, which the
  // sanitizer runtimes do not guard against.
  explicit NumberedEvent(size_t padding = 120) : padding_(padding), pad_(padding, 'a') {}

  int track(qiva_config_t *config, int stream, int number) {
    int id_size = snprintf(id_, sizeof id_, "T%d-%d", stream, number);
    for (size_t i = 0; i < padding_; ++i) pad_[i] = static_cast<char>('a' + (number + i) % 26);
    qiva_values_list_t host = {nullptr, "host", bytes("inventory.internal"), 18, 0};
    qiva_values_list_t request = {&host, "request", bytes("GET /stock/991"), 14, 0};
    qiva_values_list_t context = {nullptr, "pad", bytes(pad_.c_str()),
                                  static_cast<qiva_uint16_t>(pad_.size()), 0};
    qiva_event_t event;
    memset(&event, 0, sizeof event);
    event.type = QIVA_OUTBOUND_EVENT;
    event.instance_id.transaction_id = bytes(id_);
    event.instance_id.size = static_cast<qiva_uint16_t>(id_size);
    event.horizontal_id.caller_type = QIVA_REST_CALLER;
    event.horizontal_id.link_id = bytes("inventory-call-1");
    event.horizontal_id.link_id_size = 16;
    event.horizontal_id.stitch_ids = &request;
    event.vertical_context = padding_ > 0 ? &context : nullptr;
    return QIVA_track(config, &event);
  }

  static std::string padding_text(int number, size_t padding) {
    std::string text(padding, 'a');
    for (size_t i = 0; i < padding; ++i) text[i] = static_cast<char>('a' + (number + i) % 26);
    return text;
  }

  // Parses "T<stream>-<number>" from a collector record and checks every field against the
  // event tracked under that number; false for a record that is not such an event or differs.
  bool check(const nlohmann::json &record, int *stream, int *number) const {
    if (record.value("kind", "") != "event" || !record.contains("instance")) return false;
    const nlohmann::json &id = record["instance"]["transaction_id"];
    if (!id.is_string()) return false;
    if (sscanf(id.get<std::string>().c_str(), "T%d-%d", stream, number) != 2) return false;
    if (record.value("type_name", "") != "OUTBOUND") return false;
    const nlohmann::json &h = record["horizontal"];
    if (!h.is_object() || h.dump().find("inventory-call-1") == std::string::npos ||
        h.dump().find("GET /stock/991") == std::string::npos) {
      return false;
    }
    if (padding_ == 0) return true;
    const std::string expected = padding_text(*number, padding_);
    const nlohmann::json &context = record["vertical_context"];
    return context.is_array() && context.size() == 1 && context[0]["value"] == expected;
  }

 private:
  static const qiva_byte_t *bytes(const char *text) {
    return reinterpret_cast<const qiva_byte_t *>(text);
  }
  size_t padding_;
  char id_[32];
  std::string pad_;
};

// Entries of a /proc folder of this process: open descriptors or threads.
inline int count_entries(const char *folder) {
  DIR *dir = opendir(folder);
  if (dir == nullptr) return -1;
  int count = 0;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - (strcmp(folder, "/proc/self/fd") == 0 ? 1 : 0);  // opendir's own
}

// Runs body in a child process that exits with body's result; a child still running after
// timeout_s is killed (SIGKILL, by its pid). Returns the exit status, or 128 + signal.
inline int run_child(const std::function<int()> &body, double timeout_s) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) _exit(body());
  double deadline = now_s() + timeout_s;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) return -1;
    if (now_s() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace veska_test

#endif  // VESKA_TESTS_FAULTS_FAULTS_UTIL_H
