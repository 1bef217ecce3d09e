// The native half of the Java benchmark (libveska4jbench.so): QIVA_track of the typical event
// timed exactly as the Java side times Server.track, so that one process alternates the two
// and their ratio is taken under the same conditions; and the flush and drop count the Java
// facade does not offer.
#include <jni.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "bench/bench_events.h"
#include "private_api.h"

namespace {

typedef std::chrono::steady_clock Clock;

qiva_config_t *_config_of(jlong handle) {
  return reinterpret_cast<qiva_config_t *>(static_cast<intptr_t>(handle));
}

}  // namespace

extern "C" {

// A configuration over the null transport with room for a whole batch; 0 when it fails.
JNIEXPORT jlong JNICALL Java_veska4j_bench_JavaTrackBench_openNative(JNIEnv *, jclass,
                                                                     jint queueSize) {
  qiva_config_t *config = static_cast<qiva_config_t *>(calloc(1, sizeof(qiva_config_t)));
  if (config == nullptr) return 0;
  config->server = "null:discard";
  config->queue_size = static_cast<qiva_uint16_t>(queueSize);
  if (QIVA_init(config) != 0) {
    free(config);
    return 0;
  }
  return static_cast<jlong>(reinterpret_cast<intptr_t>(config));
}

JNIEXPORT void JNICALL Java_veska4j_bench_JavaTrackBench_closeNative(JNIEnv *, jclass,
                                                                     jlong handle) {
  QIVA_shutdown(_config_of(handle));
  free(_config_of(handle));
}

// Tracks the typical event groups * group times; the mean ns per call of each group goes to
// groupNs[0..groups). Returns the number of calls that failed.
JNIEXPORT jint JNICALL Java_veska4j_bench_JavaTrackBench_trackNative(JNIEnv *env, jclass,
                                                                     jlong handle, jint groups,
                                                                     jint group,
                                                                     jdoubleArray groupNs) {
  static veska_bench::TypicalEvent event;
  qiva_config_t *config = _config_of(handle);
  jdouble *out = env->GetDoubleArrayElements(groupNs, nullptr);
  if (out == nullptr) return groups * group;
  jint failed = 0;
  for (jint g = 0; g < groups; ++g) {
    Clock::time_point start = Clock::now();
    for (jint i = 0; i < group; ++i) failed += QIVA_track(config, &event.event) != 0;
    out[g] = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / group;
  }
  env->ReleaseDoubleArrayElements(groupNs, out, 0);
  return failed;
}

// Waits (up to 30 s) until everything queued on the configuration has been taken.
JNIEXPORT jboolean JNICALL Java_veska4j_bench_JavaTrackBench_flush(JNIEnv *, jclass, jlong handle) {
  qiva_time_t timeout = {30, 0};
  return QIVA_flush(_config_of(handle), &timeout) == 0 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jlong JNICALL Java_veska4j_bench_JavaTrackBench_drops(JNIEnv *, jclass) {
  return static_cast<jlong>(VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED));
}

}  // extern "C"
