// The platform wrappers: time, sleep, whole-file locks, dynamic loading and the host name.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "logging_test_util.h"
#include "private_api.h"

namespace veska_test {
namespace {

double monotonic_seconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST(PlatformTime, TimeFillsTheRecordAndReturnsIt) {
  qiva_time_t t = {0, 0};
  EXPECT_EQ(QIVA_time(&t), &t);
  EXPECT_LT(t.usec, 1000000u);
  long difference = static_cast<long>(t.sec) - static_cast<long>(time(nullptr));
  EXPECT_LE(labs(difference), 2);
  EXPECT_EQ(QIVA_time(nullptr), nullptr);
}

TEST(PlatformTime, ProcessTimesAreInHundredths) {
  QIVA_process_times(nullptr, nullptr);  // nothing to store, nothing happens
  qiva_time_t user = {7, 7};
  qiva_time_t system = {7, 7};
  volatile unsigned long spin = 0;
  for (unsigned long i = 0; i < 20000000ul; ++i) spin = spin + i;
  QIVA_process_times(&user, nullptr);
  QIVA_process_times(nullptr, &system);
  EXPECT_EQ(user.usec % 10000, 0u);
  EXPECT_LT(user.usec, 1000000u);
  EXPECT_EQ(system.usec % 10000, 0u);
  EXPECT_LT(system.usec, 1000000u);
}

TEST(PlatformTime, SleepOfZeroReturnsAtOnceAndOthersLastAtLeastTheirTime) {
  double start = monotonic_seconds();
  qiva_msleep(0);
  EXPECT_LT(monotonic_seconds() - start, 1.0);  // generous: "at once" on a loaded machine
  start = monotonic_seconds();
  qiva_msleep(30);
  EXPECT_GE(monotonic_seconds() - start, 0.029);
  start = monotonic_seconds();
  qiva_msleep(1020);
  EXPECT_GE(monotonic_seconds() - start, 1.019);
}

TEST(PlatformFlock, MissingFileGives25AndNoDescriptor) {
  ve_flock_fd_t fd = 1234;
  EXPECT_EQ(QIVA_flock_open("/nonexistent-dir/token", &fd), QIVA_ERR_OSERROR);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(QIVA_flock_close(-1), QIVA_SUCCESS);
  EXPECT_EQ(QIVA_flock_open(nullptr, &fd), QIVA_ERR_INVALID);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(QIVA_flock_open("/tmp", nullptr), QIVA_ERR_INVALID);
}

// Whether another process could take a write lock on path right now.
bool other_process_can_lock(const std::string &path) {
  pid_t child = fork();
  if (child == 0) {
    int fd = open(path.c_str(), O_RDWR);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    _exit(fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PlatformFlock, LockExcludesOtherProcessesUntilReleased) {
  TempDir dir;
  std::string path = dir.file("token");
  FILE *create = fopen(path.c_str(), "w");
  ASSERT_NE(create, nullptr);
  fclose(create);
  ve_flock_fd_t fd = -1;
  ASSERT_EQ(QIVA_flock_open(path.c_str(), &fd), QIVA_SUCCESS);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(QIVA_flock_acquire(fd), QIVA_SUCCESS);
  EXPECT_FALSE(other_process_can_lock(path));
  ASSERT_EQ(QIVA_flock_release(fd), QIVA_SUCCESS);
  EXPECT_TRUE(other_process_can_lock(path));
  EXPECT_EQ(QIVA_flock_close(fd), QIVA_SUCCESS);
  EXPECT_EQ(QIVA_flock_acquire(fd), QIVA_ERR_OSERROR);  // closed descriptor
  EXPECT_EQ(QIVA_flock_close(fd), QIVA_ERR_OSERROR);
}

std::string last_dl_error() {
  char buffer[1024];
  return QIVA_dlerror(buffer, sizeof buffer);
}

TEST(PlatformDynload, ShortNameBecomesLibNameSo) {
  void *zelm = QIVA_dlopen("zelm");  // libzelm.so beside the library, found via $ORIGIN
  ASSERT_NE(zelm, nullptr) << last_dl_error();
  EXPECT_NE(QIVA_dlsym(zelm, "ZELM1_Sync"), nullptr);
  EXPECT_EQ(QIVA_dlsym(zelm, "QIVA_logger_init_module"), nullptr);  // local scope only
  QIVA_dlclose(zelm);

  EXPECT_EQ(QIVA_dlopen("nosuchmodule"), nullptr);
  EXPECT_NE(last_dl_error().find("libnosuchmodule.so"), std::string::npos);
}

TEST(PlatformDynload, PathsWithDotOrSlashAreUsedUnchanged) {
  EXPECT_EQ(QIVA_dlopen("./nosuchmodule"), nullptr);
  std::string error = last_dl_error();
  EXPECT_NE(error.find("./nosuchmodule"), std::string::npos) << error;
  EXPECT_EQ(error.find("lib./nosuchmodule"), std::string::npos) << error;
  EXPECT_EQ(QIVA_dlopen("dir/nosuchmodule"), nullptr);
  EXPECT_NE(last_dl_error().find("dir/nosuchmodule:"), std::string::npos);

  void *zelm = QIVA_dlopen((kLibraryDir + "/libzelm.so").c_str());
  EXPECT_NE(zelm, nullptr);
  QIVA_dlclose(zelm);
  void *self = QIVA_dlopen(nullptr);  // the program and its global scope
  ASSERT_NE(self, nullptr);
  EXPECT_NE(QIVA_dlsym(self, "QIVA_default_logger_module"), nullptr);
  EXPECT_EQ(QIVA_dlsym(self, nullptr), nullptr);
  QIVA_dlclose(self);
  QIVA_dlclose(nullptr);
}

TEST(PlatformDynload, ErrorTextIsTruncatedAndTerminated) {
  ASSERT_EQ(QIVA_dlopen("nosuchmodule"), nullptr);
  std::string full = last_dl_error();
  ASSERT_GT(full.size(), 8u);
  ASSERT_EQ(QIVA_dlopen("nosuchmodule"), nullptr);
  char small[8];
  memset(small, 'z', sizeof small);
  EXPECT_EQ(QIVA_dlerror(small, sizeof small), small);
  EXPECT_EQ(std::string(small), full.substr(0, 7));
  // The text was consumed: no error now gives an empty string.
  EXPECT_EQ(last_dl_error(), "");
  EXPECT_EQ(QIVA_dlerror(nullptr, 10), nullptr);
  EXPECT_EQ(QIVA_dlerror(small, 0), small);
  EXPECT_EQ(std::string(small), full.substr(0, 7));  // untouched
}

TEST(PlatformHost, HostNameMatchesTheSystem) {
  char expected[256] = "";
  ASSERT_EQ(gethostname(expected, sizeof expected), 0);
  char name[256];
  EXPECT_EQ(QIVA_hostname(name, sizeof name), QIVA_SUCCESS);
  EXPECT_STREQ(name, expected);
  EXPECT_EQ(QIVA_hostname(nullptr, 10), QIVA_ERR_INVALID);
}

}  // namespace
}  // namespace veska_test
