// Natives of the test class veska4j.impl.NativeHelper: they drive the logging bridge from
// the kinds of thread it must serve (Java threads, threads it attaches itself, native threads
// that attached themselves) and read back what _init put into a configuration record.
#include <jni.h>
#include <pthread.h>

#include <cstdarg>
#include <cstdlib>
#include <string>

#include "src/veska4j/veska4j.h"
#include "types.h"

namespace {

qiva_file_log_t helper_file = {"native_helper.cpp", __DATE__, __TIME__, "veska", 0,
                               VE_ONCE_INIT,        ~0u,      0,        nullptr};
qiva_function_log_t helper_function = {
    &helper_file, "native_helper.cpp", "NativeHelper.log", 1, 0, VE_ONCE_INIT, ~0u, 0, nullptr};

void bridge_printf(int level, const char *prefix, const char *format, ...) {
  va_list args;
  va_start(args, format);
  QIVA_veska4j_logger_module.QIVA_logger_printf(
      &helper_function, __LINE__, static_cast<qiva_log_level_t>(level), prefix, format, args);
  va_end(args);
}

void *bridge_event(qiva_function_log_t *record, unsigned event, ...) {
  va_list args;
  va_start(args, event);
  void *r = QIVA_veska4j_logger_module.QIVA_logger_function_event(record, __LINE__, event, args);
  va_end(args);
  return r;
}

std::string chars(JNIEnv *env, jstring s) {
  if (s == nullptr) return std::string();
  const char *c = env->GetStringUTFChars(s, nullptr);
  std::string out(c != nullptr ? c : "");
  if (c != nullptr) env->ReleaseStringUTFChars(s, c);
  return out;
}

struct ThreadJob {
  int level;
  std::string prefix;
  std::string message;
  bool attach_itself;
  bool ok;  // the thread's attachment afterwards is what it was before
};

void *thread_main(void *arg) {
  ThreadJob *job = static_cast<ThreadJob *>(arg);
  JavaVM *vm = VESKA4J_GetJavaVM();
  void *env = nullptr;
  if (job->attach_itself && vm->AttachCurrentThread(&env, nullptr) != JNI_OK) return nullptr;
  bridge_printf(job->level, job->prefix.empty() ? nullptr : job->prefix.c_str(), "%s",
                job->message.c_str());
  jint state = vm->GetEnv(&env, JNI_VERSION_1_4);
  job->ok = job->attach_itself ? state == JNI_OK : state == JNI_EDETACHED;
  if (job->attach_itself) vm->DetachCurrentThread();
  return nullptr;
}

jboolean run_thread(JNIEnv *env, jint level, jstring prefix, jstring message, bool attach) {
  ThreadJob job = {level, chars(env, prefix), chars(env, message), attach, false};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, thread_main, &job) != 0) return JNI_FALSE;
  pthread_join(thread, nullptr);
  return job.ok ? JNI_TRUE : JNI_FALSE;
}

qiva_config_t *config_of(jlong handle) {
  return reinterpret_cast<qiva_config_t *>(static_cast<intptr_t>(handle));
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_veska4j_impl_NativeHelper_log(JNIEnv *env, jclass, jint level,
                                                          jstring prefix, jstring message) {
  std::string p = chars(env, prefix);
  bridge_printf(level, prefix == nullptr ? nullptr : p.c_str(), "%s", chars(env, message).c_str());
}

JNIEXPORT jboolean JNICALL Java_veska4j_impl_NativeHelper_logFromNewThread(JNIEnv *env, jclass,
                                                                           jint level,
                                                                           jstring prefix,
                                                                           jstring message) {
  return run_thread(env, level, prefix, message, false);
}

JNIEXPORT jboolean JNICALL Java_veska4j_impl_NativeHelper_logFromSelfAttachedThread(
    JNIEnv *env, jclass, jint level, jstring prefix, jstring message) {
  return run_thread(env, level, prefix, message, true);
}

JNIEXPORT void JNICALL Java_veska4j_impl_NativeHelper_functionEvent(JNIEnv *env, jclass, jint event,
                                                                    jstring function,
                                                                    jstring file) {
  std::string f = chars(env, function);
  std::string s = chars(env, file);
  qiva_function_log_t record = {&helper_file, s.c_str(), f.c_str(), 1,      1,
                                VE_ONCE_INIT, ~0u,       1,         nullptr};
  bridge_event(&record, static_cast<unsigned>(event), 12345);
}

// Raises an exception, then logs as a native that has just failed would.
JNIEXPORT void JNICALL Java_veska4j_impl_NativeHelper_throwThenLog(JNIEnv *env, jclass,
                                                                   jstring message) {
  jclass cls = env->FindClass("java/lang/IllegalStateException");
  if (cls == nullptr) return;
  std::string text = chars(env, message);
  env->ThrowNew(cls, text.c_str());
  bridge_printf(QIVA_LOG_ERROR, "QIVAD00I ", "%s", "logged while an exception is pending");
  bridge_event(&helper_function, QIVA_FUNCTION_EVENT_EXIT, 0);
}

JNIEXPORT jint JNICALL Java_veska4j_impl_NativeHelper_configQueueSize(JNIEnv *, jclass,
                                                                      jlong handle) {
  return config_of(handle)->queue_size;
}

JNIEXPORT jstring JNICALL Java_veska4j_impl_NativeHelper_configServer(JNIEnv *env, jclass,
                                                                      jlong handle) {
  return env->NewStringUTF(config_of(handle)->server);
}

JNIEXPORT jstring JNICALL Java_veska4j_impl_NativeHelper_getenv(JNIEnv *env, jclass, jstring name) {
  const char *value = getenv(chars(env, name).c_str());
  return value == nullptr ? nullptr : env->NewStringUTF(value);
}

}  // extern "C"
