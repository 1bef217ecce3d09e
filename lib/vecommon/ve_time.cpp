// Wall-clock time, process CPU times and millisecond sleeps. The rest of the library reads the
// clock only through these, so that a platform change stays in this file.
#include "lib/vecommon/ve_time.h"

#include <errno.h>
#include <stdint.h>
#include <sys/time.h>
#include <sys/times.h>
#include <time.h>

#include "lib/vecommon/ve_logging.h"

VE_LOG_FILE("vecommon");

namespace {

// times() counts in clock ticks; the reported values take a tick as one hundredth of a second.
constexpr clock_t kTicksPerSecond = 100;

void _store_ticks(qiva_time_t *out, clock_t ticks) {
  out->sec = static_cast<ve_uint32_t>(ticks / kTicksPerSecond);
  out->usec = static_cast<ve_uint32_t>((ticks % kTicksPerSecond) * 10000);
}

// One nanosleep: a signal that wakes it early ends the pause, by design.
void _sleep_once(time_t seconds, long nanoseconds) {
  struct timespec pause = {seconds, nanoseconds};
  nanosleep(&pause, nullptr);
}

}  // namespace

extern "C" {

qiva_time_t *QIVA_time(qiva_time_t *t) {
  // Called on every event and every dispatcher wake-up: the record's event mask of 0 keeps its
  // entry and exit out of every logger, while a clock failure is still reported.
  VE_LOG_ENTER_MASKED("VE_time", 0u);
  if (t == nullptr) VE_RETURN_VALUE(t, 0);
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) {
    int error_number = errno;
    char text[512];
    QIVA_last_system_error(text, static_cast<int>(sizeof text));
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "gettimeofday failed: %s (errno %d)", text, error_number);
    VE_RETURN_VALUE(t, 0);
  }
  t->sec = static_cast<ve_uint32_t>(now.tv_sec);
  t->usec = static_cast<ve_uint32_t>(now.tv_usec);
  VE_RETURN_VALUE(t, static_cast<ve_uint32_t>(reinterpret_cast<uintptr_t>(t)));
}

void QIVA_process_times(qiva_time_t *user, qiva_time_t *system) {
  if (user == nullptr && system == nullptr) return;
  struct tms usage;
  if (times(&usage) == static_cast<clock_t>(-1)) return;
  if (user != nullptr) _store_ticks(user, usage.tms_utime);
  if (system != nullptr) _store_ticks(system, usage.tms_stime);
}

void qiva_msleep(ve_uint64_t milliseconds) {
  if (milliseconds >= 1000) {
    _sleep_once(static_cast<time_t>(milliseconds / 1000), 0);
    milliseconds %= 1000;
  }
  if (milliseconds != 0) _sleep_once(0, static_cast<long>(milliseconds) * 1000000L);
}

}  // extern "C"
