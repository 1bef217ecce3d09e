/*
 * The logger module that forwards the library's diagnostics to the java.util.logging logger
 * named "veska4j": errors as severe records, everything else as fine records, function entry
 * and exit as entering and exiting records. Logging never changes what a Java caller sees:
 * an exception pending on the thread is kept, and one raised by the bridge's own Java calls
 * is cleared and costs only that log line.
 */
#include <stdio.h>
#include <string.h>

#include "src/veska4j/veska4j.h"

namespace {

const int kLineSize = 1024;  // 1023 characters and the terminator

// The Java side of one log call: the environment, the logger, and what must be undone.
struct Session {
  JavaVM *vm;
  JNIEnv *env;
  jobject logger;
  jthrowable saved;  // the exception pending when the call began, restored at the end
  bool attached;     // this call attached the thread, so it detaches it
};

void _detach(Session *s) {
  if (s->attached) s->vm->DetachCurrentThread();
  s->attached = false;
}

// Undoes everything _acquire_logger did; restores the caller's pending exception.
void _release_logger(Session *s) {
  JNIEnv *env = s->env;
  if (env->ExceptionCheck()) env->ExceptionClear();
  env->PopLocalFrame(nullptr);
  if (s->saved != nullptr) {
    env->Throw(s->saved);
    env->DeleteLocalRef(s->saved);
  }
  _detach(s);
}

// True when a bridge call left an exception: it is dropped together with the log line.
bool _failed(JNIEnv *env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionClear();
  return true;
}

// Finds the environment and the logger for this thread. A thread the virtual machine does
// not know is attached for this one call; a thread already attached stays attached.
bool _acquire_logger(Session *s) {
  s->vm = VESKA4J_GetJavaVM();
  s->env = nullptr;
  s->logger = nullptr;
  s->saved = nullptr;
  s->attached = false;
  if (s->vm == nullptr) return false;
  void *env = nullptr;
  jint got = s->vm->GetEnv(&env, JNI_VERSION_1_4);
  if (got == JNI_EDETACHED) {
    if (s->vm->AttachCurrentThread(&env, nullptr) != JNI_OK || env == nullptr) return false;
    s->attached = true;
  } else if (got != JNI_OK || env == nullptr) {
    return false;
  }
  s->env = static_cast<JNIEnv *>(env);
  JNIEnv *e = s->env;

  // No JNI call may be made with an exception pending: put it aside until the end.
  s->saved = e->ExceptionOccurred();
  if (s->saved != nullptr) e->ExceptionClear();
  if (e->PushLocalFrame(8) != 0) {
    e->ExceptionClear();
    if (s->saved != nullptr) {
      e->Throw(s->saved);
      e->DeleteLocalRef(s->saved);
    }
    _detach(s);
    return false;
  }

  jobject kept = VESKA4J_logger_object();
  if (kept != nullptr) {
    s->logger = kept;
    return true;
  }
  // Without the reference onLoad keeps, ask Logger.getLogger; from a thread without a Java
  // caller it may throw, which drops the line.
  if (VESKA4J_methods.Logger.getLogger != nullptr) {
    jclass cls = e->FindClass("java/util/logging/Logger");
    if (cls != nullptr && !_failed(e)) {
      jstring name = e->NewStringUTF("veska4j");
      if (name != nullptr && !_failed(e)) {
        s->logger = e->CallStaticObjectMethod(cls, VESKA4J_methods.Logger.getLogger, name);
        if (_failed(e)) s->logger = nullptr;
      }
    }
  }
  if (s->logger == nullptr) {
    _release_logger(s);
    return false;
  }
  return true;
}

// Replaces what is not modified UTF-8 (stray or cut multi-byte sequences, four-byte forms)
// with '?', so that NewStringUTF never sees bytes it cannot take.
void _make_modified_utf8(char *text) {
  unsigned char *p = reinterpret_cast<unsigned char *>(text);
  while (*p != 0) {
    int extra = 0;
    if (*p < 0x80) {
      p++;
      continue;
    } else if ((*p & 0xE0) == 0xC0) {
      extra = 1;
    } else if ((*p & 0xF0) == 0xE0) {
      extra = 2;
    } else {
      *p++ = '?';
      continue;
    }
    int ok = 1;
    for (int i = 1; i <= extra; i++) {
      if ((p[i] & 0xC0) != 0x80) {
        ok = 0;
        break;
      }
    }
    if (!ok) {
      *p++ = '?';
      continue;
    }
    p += extra + 1;
  }
}

}  // namespace

extern "C" {

int VESKA4J_logger_init_module(void) {
  return VESKA4J_GetJavaVM() != nullptr ? QIVA_SUCCESS : QIVA_ERR_INVALID;
}

void VESKA4J_logger_init_file(qiva_file_log_t *file_log) { (void)file_log; }

void VESKA4J_logger_init_function(qiva_function_log_t *function_log) { (void)function_log; }

int VESKA4J_logger_logging(qiva_function_log_t *function_log, qiva_log_level_t level) {
  (void)function_log;
  (void)level;
  return VESKA4J_GetJavaVM() != nullptr;
}

void VESKA4J_logger_printf(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                           const char *prefix, const char *format, va_list args) {
  (void)function_log;
  (void)line;
  if (format == nullptr) return;
  Session s;
  if (!_acquire_logger(&s)) return;
  jmethodID method =
      level == QIVA_LOG_ERROR ? VESKA4J_methods.Logger.severe : VESKA4J_methods.Logger.fine;

  char buffer[kLineSize];
  int used = 0;
  if (prefix != nullptr) {
    used = snprintf(buffer, sizeof(buffer), "%s", prefix);
    if (used < 0) used = 0;
    if (used > kLineSize - 1) used = kLineSize - 1;
  }
  buffer[used] = '\0';
  va_list copy;
  va_copy(copy, args);
  vsnprintf(buffer + used, sizeof(buffer) - static_cast<size_t>(used), format, copy);
  va_end(copy);
  _make_modified_utf8(buffer);

  if (method != nullptr) {
    jstring text = s.env->NewStringUTF(buffer);
    if (text != nullptr && !_failed(s.env)) {
      s.env->CallVoidMethod(s.logger, method, text);
    }
  }
  _release_logger(&s);
}

void *VESKA4J_logger_function_event(qiva_function_log_t *function_log, int line,
                                    qiva_function_log_event_t event, va_list args) {
  (void)line;
  (void)args;
  if (function_log == nullptr) return nullptr;
  if (event != QIVA_FUNCTION_EVENT_ENTER && event != QIVA_FUNCTION_EVENT_EXIT) return nullptr;
  jmethodID method = event == QIVA_FUNCTION_EVENT_ENTER ? VESKA4J_methods.Logger.entering
                                                        : VESKA4J_methods.Logger.exiting;
  if (method == nullptr) return nullptr;
  Session s;
  if (!_acquire_logger(&s)) return nullptr;
  const char *function_name = function_log->function_name ? function_log->function_name : "";
  const char *filename = function_log->filename ? function_log->filename : "";
  jstring jfunction = s.env->NewStringUTF(function_name);
  if (jfunction != nullptr && !_failed(s.env)) {
    jstring jfile = s.env->NewStringUTF(filename);
    if (jfile != nullptr && !_failed(s.env)) {
      s.env->CallVoidMethod(s.logger, method, jfile, jfunction);
    }
  }
  _release_logger(&s);
  return nullptr;
}

qiva_logger_module_t QIVA_veska4j_logger_module = {
    VESKA4J_logger_init_module,    /* accepts only under a virtual machine */
    VESKA4J_logger_init_file,      /* nothing to prepare per file */
    VESKA4J_logger_init_function,  /* nothing to prepare per function */
    VESKA4J_logger_logging,        /* every level; Java filters */
    nullptr,                       /* debug output follows the level */
    VESKA4J_logger_printf,         /* severe or fine */
    VESKA4J_logger_function_event, /* entering or exiting */
};

}  // extern "C"
