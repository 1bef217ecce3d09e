/*
 * The natives of veska4j.impl.ServerImpl: a Java program creates, uses and closes a
 * configuration through them. Failures reach Java as veska4j.VESKA4JException(code, text);
 * an exception raised by a JNI call is left to reach Java unchanged.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "lib/transport/transport.h"
#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_types.h"
#include "src/veska4j/veska4j.h"
#include "types.h"

VE_LOG_FILE("veska");

VESKA4J_methods_t VESKA4J_methods;

namespace {

// Set once by JNI_OnLoad; read by any thread (the logging bridge runs on dispatcher threads).
std::atomic<JavaVM *> veska4j_jvm{nullptr};
// The "veska4j" logger, taken by onLoad on a Java thread and kept for the process's life.
std::atomic<jobject> veska4j_logger{nullptr};

// Configurations made without an address point at this text itself; it is never freed.
const char *const _default_server = VE_DEFAULT_SERVER;

struct method_lookup {
  jmethodID *method;  // the VESKA4J_methods field to fill; null ends a table
  const char *name;
  const char *signature;
};

const method_lookup Exception_methods[] = {
    {&VESKA4J_methods.VESKA4JException.ctor, "<init>", "(ILjava/lang/String;)V"},
    {nullptr, nullptr, nullptr}};

const method_lookup Logger_methods[] = {
    {&VESKA4J_methods.Logger.entering, "entering", "(Ljava/lang/String;Ljava/lang/String;)V"},
    {&VESKA4J_methods.Logger.exiting, "exiting", "(Ljava/lang/String;Ljava/lang/String;)V"},
    {&VESKA4J_methods.Logger.fine, "fine", "(Ljava/lang/String;)V"},
    {&VESKA4J_methods.Logger.severe, "severe", "(Ljava/lang/String;)V"},
    {nullptr, nullptr, nullptr}};

const method_lookup Logger_static_methods[] = {{&VESKA4J_methods.Logger.getLogger, "getLogger",
                                                "(Ljava/lang/String;)Ljava/util/logging/Logger;"},
                                               {nullptr, nullptr, nullptr}};

int _lookup_methods(JNIEnv *env, const char *class_name, const method_lookup *table,
                    int is_static) {
  jclass cls = env->FindClass(class_name);
  if (cls == nullptr || env->ExceptionCheck()) return 0;
  int found = 1;
  for (const method_lookup *row = table; row->method != nullptr; row++) {
    jmethodID id = is_static ? env->GetStaticMethodID(cls, row->name, row->signature)
                             : env->GetMethodID(cls, row->name, row->signature);
    if (id == nullptr || env->ExceptionCheck()) {
      found = 0;
      break;
    }
    *row->method = id;
  }
  env->DeleteLocalRef(cls);
  return found;
}

// Logger.getLogger finds its caller's module; called here, from ServerImpl's static
// initialiser, it has one. Threads without a Java frame use the kept reference instead.
void _keep_logger(JNIEnv *env) {
  if (veska4j_logger.load(std::memory_order_acquire) != nullptr) return;
  jclass cls = env->FindClass("java/util/logging/Logger");
  if (cls == nullptr || env->ExceptionCheck()) return;
  jstring name = env->NewStringUTF("veska4j");
  if (name == nullptr || env->ExceptionCheck()) {
    env->DeleteLocalRef(cls);
    return;
  }
  jobject logger = env->CallStaticObjectMethod(cls, VESKA4J_methods.Logger.getLogger, name);
  env->DeleteLocalRef(name);
  env->DeleteLocalRef(cls);
  if (logger == nullptr || env->ExceptionCheck()) return;
  jobject global = env->NewGlobalRef(logger);
  env->DeleteLocalRef(logger);
  if (global == nullptr) return;
  jobject expected = nullptr;
  if (!veska4j_logger.compare_exchange_strong(expected, global, std::memory_order_acq_rel)) {
    env->DeleteGlobalRef(global);
  }
}

void _release_config(qiva_config_t *config) {
  if (config == nullptr) return;
  if (config->server != nullptr && config->server != _default_server) {
    free(const_cast<char *>(config->server));
  }
  free(const_cast<char *>(config->token_filename));
  free(config);
}

// Copies a Java string into *target. Returns false when an exception is pending (raised by
// the virtual machine, or 24 for a failed copy).
bool _copy_string(JNIEnv *env, jstring text, const char **target) {
  const char *chars = env->GetStringUTFChars(text, nullptr);
  if (chars == nullptr || env->ExceptionCheck()) return false;
  char *copy = strdup(chars);
  env->ReleaseStringUTFChars(text, chars);
  if (env->ExceptionCheck()) {
    free(copy);
    return false;
  }
  if (copy == nullptr) {
    VESKA4J_throw(env, QIVA_ERR_NOMEM);
    return false;
  }
  *target = copy;
  return true;
}

qiva_config_t *_config_of(jlong handle) {
  return reinterpret_cast<qiva_config_t *>(static_cast<intptr_t>(handle));
}

}  // namespace

extern "C" JavaVM *VESKA4J_GetJavaVM(void) { return veska4j_jvm.load(std::memory_order_acquire); }

extern "C" jobject VESKA4J_logger_object(void) {
  return veska4j_logger.load(std::memory_order_acquire);
}

extern "C" void VESKA4J_throw(JNIEnv *env, int code) {
  VE_LOG_ENTER("VESKA4J_throw");
  const char *text = QIVA_strerror(code);
  char *copy = strdup(text != nullptr ? text : "<VE_strerror failed>");
  const char *message = copy != nullptr ? copy : "<Exception occurred - out of memory>";

  jclass cls = env->FindClass("veska4j/VESKA4JException");
  if (cls == nullptr || env->ExceptionCheck()) {
    free(copy);
    VE_RETURN_VOID();
  }
  jstring jmessage = env->NewStringUTF(message);
  free(copy);
  if (jmessage == nullptr || env->ExceptionCheck()) {
    env->DeleteLocalRef(cls);
    VE_RETURN_VOID();
  }
  jmethodID ctor = VESKA4J_methods.VESKA4JException.ctor;
  if (ctor == nullptr) {
    // onLoad has not run (or failed); look the constructor up here rather than call null.
    ctor = env->GetMethodID(cls, "<init>", "(ILjava/lang/String;)V");
    if (ctor == nullptr || env->ExceptionCheck()) {
      env->DeleteLocalRef(jmessage);
      env->DeleteLocalRef(cls);
      VE_RETURN_VOID();
    }
  }
  jthrowable exception =
      static_cast<jthrowable>(env->NewObject(cls, ctor, static_cast<jint>(code), jmessage));
  env->DeleteLocalRef(jmessage);
  env->DeleteLocalRef(cls);
  if (exception == nullptr || env->ExceptionCheck()) VE_RETURN_VOID();
  env->Throw(exception);
  env->DeleteLocalRef(exception);
  VE_RETURN_VOID();
}

extern "C" void VESKA4J_init(JNIEnv *env, qiva_config_t *config, jstring address, jstring tokenfile,
                             jlong connectTimeout, jlong connectRetries, jlong connectRetryInterval,
                             jint queueSize) {
  VE_LOG_ENTER("VESKA4J_set_config");
  memset(config, 0, sizeof(*config));
  if (address == nullptr) {
    config->server = _default_server;
  } else if (!_copy_string(env, address, &config->server)) {
    VE_RETURN_VOID();
  }
  if (tokenfile != nullptr && !_copy_string(env, tokenfile, &config->token_filename)) {
    VE_RETURN_VOID();
  }
  config->connect_timeout = static_cast<qiva_uint32_t>(connectTimeout);
  config->connect_retries = static_cast<qiva_uint32_t>(connectRetries);
  config->connect_retry_interval = static_cast<qiva_uint32_t>(connectRetryInterval);
  config->queue_size = static_cast<qiva_uint16_t>(queueSize);
  VE_RETURN_VOID();
}

extern "C" void VESKA4J_release_config(qiva_config_t *config) { _release_config(config); }

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM *vm, void *reserved) {
  (void)reserved;
  veska4j_jvm.store(vm, std::memory_order_release);
  // Before the binding starts any thread of its own; the other threads of the virtual machine
  // do not write the environment.
  VE_set_logger_env();
  return JNI_VERSION_1_4;
}

extern "C" JNIEXPORT void JNICALL Java_veska4j_impl_ServerImpl_onLoad(JNIEnv *env, jclass cls,
                                                                      jint veska4jJniVersion) {
  (void)cls;
  if (env == nullptr) return;
  if (veska4jJniVersion != VESKA4J_JNI_VERSION) {
    char text[67];
    snprintf(text, sizeof(text), "JNI versions do not match (Java: %d, native: %d)",
             static_cast<int>(veska4jJniVersion), VESKA4J_JNI_VERSION);
    jclass runtime = env->FindClass("java/lang/RuntimeException");
    if (runtime != nullptr) env->ThrowNew(runtime, text);
    return;
  }
  if (_lookup_methods(env, "veska4j/VESKA4JException", Exception_methods, 0) &&
      _lookup_methods(env, "java/util/logging/Logger", Logger_methods, 0) &&
      _lookup_methods(env, "java/util/logging/Logger", Logger_static_methods, 1)) {
    _keep_logger(env);
  }
}

extern "C" JNIEXPORT jlong JNICALL Java_veska4j_impl_ServerImpl__1init(
    JNIEnv *env, jclass cls, jstring address, jstring tokenfile, jlong connectTimeout,
    jlong connectRetries, jlong connectRetryInterval, jint queueSize) {
  (void)cls;
  VE_LOG_ENTER("ServerImpl.init");
  if (env == nullptr) VE_RETURN_VALUE(0, 0);
  qiva_config_t *config = static_cast<qiva_config_t *>(malloc(sizeof(qiva_config_t)));
  if (config == nullptr) {
    jclass oom = env->FindClass("java/lang/OutOfMemoryError");
    if (oom != nullptr) env->ThrowNew(oom, "Failed to allocate memory for ve_config_t");
    VE_RETURN_VALUE(0, 0);
  }
  VESKA4J_init(env, config, address, tokenfile, connectTimeout, connectRetries,
               connectRetryInterval, queueSize);
  if (env->ExceptionCheck()) {
    _release_config(config);
    VE_RETURN_VALUE(0, 0);
  }
  int rc = QIVA_init(config);
  if (rc != QIVA_SUCCESS) {
    _release_config(config);
    VESKA4J_throw(env, rc);
    VE_RETURN_VALUE(0, rc);
  }
  jlong handle = static_cast<jlong>(reinterpret_cast<intptr_t>(config));
  VE_RETURN_VALUE(handle, handle);
}

extern "C" JNIEXPORT void JNICALL Java_veska4j_impl_ServerImpl__1track(
    JNIEnv *env, jobject self, jlong handle, jint eventType, jlong timestampSeconds,
    jint timestampMicroseconds, jboolean blocked, jint verticalCaller, jint horizontalCaller,
    jbyteArray verticalLink, jbyteArray horizontalLink, jbyteArray transactionId,
    jobjectArray verticalContext, jobjectArray horizontalContext, jobjectArray verticalStitches,
    jobjectArray horizontalStitches, jobjectArray transactionData) {
  (void)self;
  VE_LOG_ENTER("ServerImpl.track");
  if (env == nullptr) VE_RETURN_VOID();
  if (VESKA4J_refuses_type(env, eventType) != 0) VE_RETURN_VOID();
  qivapi4j_event_t record;
  memset(&record, 0, sizeof(record));
  record.eventType = eventType;
  record.timestampSeconds = timestampSeconds;
  record.timestampMicroseconds = timestampMicroseconds;
  record.blocked = blocked;
  record.verticalCaller = verticalCaller;
  record.horizontalCaller = horizontalCaller;
  record.verticalLink = verticalLink;
  record.horizontalLink = horizontalLink;
  record.transactionId = transactionId;
  record.verticalContext = verticalContext;
  record.horizontalContext = horizontalContext;
  record.verticalStitches = verticalStitches;
  record.horizontalStitches = horizontalStitches;
  record.transactionData = transactionData;

  VESKA4J_translate_event(env, &record);
  if (env->ExceptionCheck()) {
    VESKA4J_cleanup_event(env, &record);
    VE_RETURN_VOID();
  }
  int rc = QIVA_track(_config_of(handle), &record.event);
  VESKA4J_cleanup_event(env, &record);
  if (rc != QIVA_SUCCESS && !env->ExceptionCheck()) VESKA4J_throw(env, rc);
  VE_RETURN_VOID();
}

extern "C" JNIEXPORT jint JNICALL Java_veska4j_impl_ServerImpl__1getToken(JNIEnv *env, jclass cls,
                                                                          jlong handle) {
  (void)cls;
  VE_LOG_ENTER("ServerImpl.getToken");
  if (env == nullptr) VE_RETURN_VALUE(0, 0);
  qiva_int32_t token = 0;
  int rc = QIVA_token(_config_of(handle), &token);
  if (rc != QIVA_SUCCESS) VESKA4J_throw(env, rc);
  VE_RETURN_VALUE(static_cast<jint>(token), token);
}

extern "C" JNIEXPORT void JNICALL Java_veska4j_impl_ServerImpl__1close(JNIEnv *env, jclass cls,
                                                                       jlong handle) {
  (void)cls;
  VE_LOG_ENTER("ServerImpl.close");
  if (env == nullptr) VE_RETURN_VOID();
  if (handle == 0) VE_RETURN_VOID();
  qiva_config_t *config = _config_of(handle);
  int rc = QIVA_shutdown(config);
  // The handle is finished whatever shutdown reports; Java must not use it again.
  _release_config(config);
  if (rc != QIVA_SUCCESS) VESKA4J_throw(env, rc);
  VE_RETURN_VOID();
}

extern "C" JNIEXPORT void JNICALL Java_veska4j_impl_ServerImpl__1verifyAddress(JNIEnv *env,
                                                                               jclass cls,
                                                                               jstring address) {
  (void)cls;
  VE_LOG_ENTER("ServerImpl._verifyAddress");
  if (env == nullptr) VE_RETURN_VOID();
  if (address == nullptr) VE_RETURN_VOID();
  // A pending exception is left to reach Java; no JNI call is made under it.
  if (env->ExceptionCheck()) VE_RETURN_VOID();
  // Modified UTF-8 has no zero byte inside the text, so the copy ends at its only one.
  const char *chars = env->GetStringUTFChars(address, nullptr);
  if (chars == nullptr || env->ExceptionCheck()) VE_RETURN_VOID();

  size_t name_length = 0;
  const char *transport_address = TRANSPORT_split_server(chars, &name_length);
  int rc;
  if (transport_address == nullptr || name_length == 0) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_VESKA_ADDRESS_MISSING_COLON, chars);
    rc = QIVA_ERR_INVALID;
  } else {
    char *transport = strndup(chars, name_length);
    rc = transport != nullptr ? QIVA_check_address(transport, transport_address) : QIVA_ERR_NOMEM;
    free(transport);
  }
  env->ReleaseStringUTFChars(address, chars);
  if (rc != QIVA_SUCCESS && !env->ExceptionCheck()) VESKA4J_throw(env, rc);
  VE_RETURN_VOID();
}
