/*
 * The Java binding: the natives of veska4j.impl.ServerImpl, the translation of their Java
 * arguments into an event record, and the logger module that forwards the library's
 * diagnostics to java.util.logging. Only the binding's own sources include this header; it
 * needs the JDK's jni.h.
 */
#ifndef VESKA_SRC_VESKA4J_VESKA4J_H
#define VESKA_SRC_VESKA4J_VESKA4J_H

#include <jni.h>

#include "lib/vecommon/ve_logging.h"
#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The interface version of the native side; ServerImpl passes its own to onLoad. */
#define VESKA4J_JNI_VERSION 1

/* ---- Method identifiers, filled once by ServerImpl.onLoad ----------------------------- */

typedef struct VESKA4J_methods_t {
  struct {
    jmethodID getLogger; /* static Logger getLogger(String) */
    jmethodID entering;  /* void entering(String sourceClass, String sourceMethod) */
    jmethodID exiting;   /* void exiting(String sourceClass, String sourceMethod) */
    jmethodID fine;      /* void fine(String) */
    jmethodID severe;    /* void severe(String) */
  } Logger;
  struct {
    jmethodID ctor; /* VESKA4JException(int code, String message) */
  } VESKA4JException;
} VESKA4J_methods_t;

/* Written by onLoad before any native that throws or logs runs; read-only afterwards. */
extern VESKA4J_methods_t VESKA4J_methods;

/* The virtual machine given to JNI_OnLoad, or null when no virtual machine loaded us. */
JavaVM *VESKA4J_GetJavaVM(void);

/*
 * The global reference to the java.util.logging.Logger named "veska4j", taken by onLoad on a
 * Java thread, or null when onLoad has not obtained it. The bridge uses it from threads that
 * have no Java frame, where the caller-sensitive Logger.getLogger cannot be called.
 */
jobject VESKA4J_logger_object(void);

/*
 * Raises a veska4j.VESKA4JException(code, QIVA_strerror(code)) in env. The exception is only
 * made pending; it takes effect when the native returns. Nothing is raised when the class,
 * the text or the object cannot be made (an exception from that failure may be pending).
 */
void VESKA4J_throw(JNIEnv *env, int code);

/*
 * Whether a type word from Java must be refused, with the exception for the invalid event
 * type made pending: QIVA_track takes a type with the top bit set as a caller-built message
 * block and copies it from the start of the event record, which from Java would send
 * whatever memory follows that record. Java cannot build such blocks. Static, so that it
 * stays out of the library's exported names.
 */
static inline int VESKA4J_refuses_type(JNIEnv *env, jint eventType) {
  if (((qiva_uint32_t)eventType & QIVA_PREBUILT_BLOCK_FLAG) == 0) return 0;
  VESKA4J_throw(env, QIVA_ERR_EVENT_INVALID_EVENT_TYPE);
  return 1;
}

/*
 * Fills a zeroed configuration record from the Java arguments of _init: heap copies of the
 * address (the shared default text when address is null) and of the token file name, the low
 * bits of the numbers. Failure leaves a Java exception pending; the record may then hold
 * copies that VESKA4J_release_config frees.
 */
void VESKA4J_init(JNIEnv *env, qiva_config_t *config, jstring address, jstring tokenfile,
                  jlong connectTimeout, jlong connectRetries, jlong connectRetryInterval,
                  jint queueSize);
/* Frees the copies VESKA4J_init made (never the shared default address) and the record. */
void VESKA4J_release_config(qiva_config_t *config);

/* ---- Event translation ---------------------------------------------------------------- */

/*
 * The translation record of one _track call. The caller zeroes it, fills the Java fields,
 * calls VESKA4J_translate_event, checks for a pending exception, and always calls
 * VESKA4J_cleanup_event afterwards. event points into the Java arrays' elements between the
 * two calls; no byte is copied by the library.
 */
typedef struct qivapi4j_event_t {
  qiva_event_t event;         /* handed to QIVA_track; first field */
  qiva_values_list_t *values; /* one block for every name/value item, or null */
  jint eventType;
  jlong timestampSeconds;
  jint timestampMicroseconds;
  jboolean blocked;
  jint verticalCaller;
  jint horizontalCaller;
  jbyteArray verticalLink;
  jbyteArray horizontalLink;
  jbyteArray transactionId;
  jobjectArray verticalContext; /* arrays of [key, value] byte-array pairs */
  jobjectArray horizontalContext;
  jobjectArray verticalStitches;
  jobjectArray horizontalStitches;
  jobjectArray transactionData;
} qivapi4j_event_t;

/*
 * Builds record->event from the Java fields. The items of record->values are used in the
 * fixed order horizontal stitches, vertical stitches, transaction data, horizontal context,
 * vertical context, each array taking as many consecutive items as it has pairs. A pair whose
 * key (or the pair itself) is null ends its array's list before that pair, without an
 * exception. A key that is empty or does not end with a zero byte gives an item with a null
 * name, which QIVA_track refuses with that list's name fault. Failure is a pending exception.
 */
void VESKA4J_translate_event(JNIEnv *env, qivapi4j_event_t *record);
/* Gives back every element the translation took, exactly once, without writing anything back
 * to Java, and frees the item block. Safe with an exception pending. */
void VESKA4J_cleanup_event(JNIEnv *env, qivapi4j_event_t *record);

/* ---- The logging bridge --------------------------------------------------------------- */

extern qiva_logger_module_t QIVA_veska4j_logger_module;

/* 0 when a virtual machine has been registered, otherwise 21. */
int VESKA4J_logger_init_module(void);
void VESKA4J_logger_init_file(qiva_file_log_t *file_log);
void VESKA4J_logger_init_function(qiva_function_log_t *function_log);
/* Non-zero exactly when a virtual machine is registered; level filtering is Java's. */
int VESKA4J_logger_logging(qiva_function_log_t *function_log, qiva_log_level_t level);
/* severe for QIVA_LOG_ERROR, fine otherwise; prefix and message cut to 1023 characters. */
void VESKA4J_logger_printf(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                           const char *prefix, const char *format, va_list args);
/* entering / exiting (source class = file name, source method = function name); null. */
void *VESKA4J_logger_function_event(qiva_function_log_t *function_log, int line,
                                    qiva_function_log_event_t event, va_list args);

/* ---- Natives of veska4j.impl.ServerImpl ----------------------------------------------- */

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM *vm, void *reserved);
JNIEXPORT void JNICALL Java_veska4j_impl_ServerImpl_onLoad(JNIEnv *env, jclass cls,
                                                           jint veska4jJniVersion);
JNIEXPORT jlong JNICALL Java_veska4j_impl_ServerImpl__1init(
    JNIEnv *env, jclass cls, jstring address, jstring tokenfile, jlong connectTimeout,
    jlong connectRetries, jlong connectRetryInterval, jint queueSize);
JNIEXPORT void JNICALL Java_veska4j_impl_ServerImpl__1track(
    JNIEnv *env, jobject self, jlong handle, jint eventType, jlong timestampSeconds,
    jint timestampMicroseconds, jboolean blocked, jint verticalCaller, jint horizontalCaller,
    jbyteArray verticalLink, jbyteArray horizontalLink, jbyteArray transactionId,
    jobjectArray verticalContext, jobjectArray horizontalContext, jobjectArray verticalStitches,
    jobjectArray horizontalStitches, jobjectArray transactionData);
/*
 * The facade's path for one event: the scalars as in _track, the rest laid out by
 * veska4j.Event in the first length bytes of layout (little-endian int32 lengths). First the
 * head: its own length in bytes, the total pair count, the lengths of the vertical link, the
 * horizontal link and the transaction id (-1 when absent), then for the vertical context,
 * horizontal context, vertical stitches, horizontal stitches and transaction data each a
 * pair count (-1 when absent) and per pair the key's length and bytes (ending with a zero
 * byte) and the value's length (-1 when absent). Then the contents: the links', the
 * transaction id's and the values' bytes in that order. QIVA_track gets the record _track's
 * translation would give it and failures raise the same exceptions; a malformed layout
 * raises 21.
 */
JNIEXPORT void JNICALL Java_veska4j_impl_ServerImpl__1trackFlat(
    JNIEnv *env, jobject self, jlong handle, jint eventType, jlong timestampSeconds,
    jint timestampMicroseconds, jboolean blocked, jint verticalCaller, jint horizontalCaller,
    jbyteArray layout, jint length);
JNIEXPORT jint JNICALL Java_veska4j_impl_ServerImpl__1getToken(JNIEnv *env, jclass cls,
                                                               jlong handle);
JNIEXPORT void JNICALL Java_veska4j_impl_ServerImpl__1close(JNIEnv *env, jclass cls, jlong handle);
JNIEXPORT void JNICALL Java_veska4j_impl_ServerImpl__1verifyAddress(JNIEnv *env, jclass cls,
                                                                    jstring address);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_VESKA4J_VESKA4J_H */
