/*
 * The logging front end: per-file and per-function log records, levels, function events, the
 * logger-module table and the logging calls. Output goes to the one active logger module,
 * chosen at the first logging call of the process; with none active every call is a no-op.
 * This header is plain C as well, so that logger modules can be written in C.
 */
#ifndef VESKA_VE_LOGGING_H
#define VESKA_VE_LOGGING_H

#include <stdarg.h>

#include "lib/concurrent/once.h"
#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum qiva_log_level_t {
  QIVA_LOG_ANY = 0,    /* written whenever logging is on (build-information dump) */
  QIVA_LOG_DETAIL = 1, /* detailed diagnostics */
  QIVA_LOG_ERROR = 2,  /* failures */
  QIVA_LOG_FLOW = 3,   /* function entry and exit */
  QIVA_LOG_TIME = 4,
  QIVA_LOG_METRICS = 5,
  QIVA_LOG_STATE = 6,
  QIVA_LOG_INPUT = 7,
  QIVA_LOG_OUTPUT = 8,
  QIVA_LOG_LEVEL_COUNT = 9
} qiva_log_level_t;

/* One bit each, tested against a function record's event_mask. */
typedef unsigned int qiva_function_log_event_t;
#define QIVA_FUNCTION_EVENT_INIT 1u  /* record initialised with a logger active */
#define QIVA_FUNCTION_EVENT_ENTER 2u /* function entry; no extra argument */
#define QIVA_FUNCTION_EVENT_EXIT 4u  /* every return; one int: the result */

/* One static instance, QIVA_FILE_LOG, per source file that logs. */
typedef struct qiva_file_log_t {
  const char *filename;
  const char *date;
  const char *time;
  const char *component; /* "veska", "vecommon" or "transport" */
  int initialised;
  ve_once_t initialisation_guard;
  unsigned int event_mask;
  int enabled;
  void *module_data; /* the module's per-file state */
} qiva_file_log_t;

/* One static instance, QIVA_FUNCTION_LOG, per function that logs. */
typedef struct qiva_function_log_t {
  qiva_file_log_t *file_log;
  const char *filename; /* copied from file_log at initialisation when null */
  const char *function_name;
  const int line;
  int initialised;
  ve_once_t initialisation_guard;
  unsigned int event_mask; /* events whose bit is clear never reach the module */
  int enabled;
  void *module_data; /* the module's per-function state */
} qiva_function_log_t;

/* A logger module: seven operations, looked up as one table or as single symbols. */
typedef int (*qiva_logger_init_module_t)(void);
typedef void (*qiva_logger_init_file_t)(qiva_file_log_t *file_log);
typedef void (*qiva_logger_init_function_t)(qiva_function_log_t *function_log);
typedef int (*qiva_logger_logging_t)(qiva_function_log_t *function_log, qiva_log_level_t level);
typedef int (*qiva_logger_debugging_t)(qiva_function_log_t *function_log);
typedef void (*qiva_logger_printf_t)(qiva_function_log_t *function_log, int line,
                                     qiva_log_level_t level, const char *prefix, const char *format,
                                     va_list args);
typedef void *(*qiva_logger_function_event_t)(qiva_function_log_t *function_log, int line,
                                              qiva_function_log_event_t event, va_list args);

typedef struct qiva_logger_module_t {
  qiva_logger_init_module_t QIVA_logger_init_module;       /* required: 0 accepts */
  qiva_logger_init_file_t QIVA_logger_init_file;           /* required */
  qiva_logger_init_function_t QIVA_logger_init_function;   /* required */
  qiva_logger_logging_t QIVA_logger_logging;               /* optional: all levels wanted */
  qiva_logger_debugging_t QIVA_logger_debugging;           /* optional: debug wanted */
  qiva_logger_printf_t QIVA_logger_printf;                 /* required */
  qiva_logger_function_event_t QIVA_logger_function_event; /* optional: events dropped */
} qiva_logger_module_t;

/* ---- Logging calls (no result towards the caller beyond what is stated) --------------- */

/* Sends a function event; returns what the module returns, or null when nothing took it. */
void *QIVA_log_event(qiva_function_log_t *function_log, int line, qiva_function_log_event_t event,
                     ...);
/* 1 when a logger is active, the record enabled and the module wants this level. */
int QIVA_logging(qiva_function_log_t *function_log, int line, qiva_log_level_t level);
/* 1 when QIVA_logging gives 1 and the module wants debug output for the record. */
int QIVA_debugging(qiva_function_log_t *function_log, int line, qiva_log_level_t level);
void QIVA_log_vprintf(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                      const char *prefix, const char *format, va_list args);
#if defined(__GNUC__)
#define VE_LOG_FORMAT_(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define VE_LOG_FORMAT_(format_index, first_arg)
#endif

/* Free text without prefix. */
void QIVA_log_printf(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                     const char *format, ...) VE_LOG_FORMAT_(4, 5);
/* A catalogued message with its identifier prefix; the arguments fill its format. */
void QIVA_log_msg(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                  qiva_message_id_t msg, ...);
/* Free text with the prefix "QIVAD00I ", written only when debugging is wanted. */
void QIVA_log_debug(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                    const char *format, ...) VE_LOG_FORMAT_(4, 5);
/* Loads the logger named by selection ("path", "path:name", ":name" or null) now; 0 on success,
 * 21 when a logger is already active or the module cannot be loaded, 24, or the module's
 * refusal. */
int QIVA_log_set_logger(const char *selection);

/* Writes the build-information record (kemb00) through QIVA_log_debug at QIVA_LOG_ANY,
 * one captioned value a line between two rulers. The selection calls it once, right after
 * it chose a module; it writes nothing when no logger is active. */
void QIVA_log_buildinfo(void);

/* Reads an environment variable that chooses code to load or a file to write
 * ("QIVA_LOGGER", "QIVA_LOGFILE", "QIVA_LOGLIMIT"): null when unset, and always null in a
 * secure-execution (set-user-ID, set-group-ID) process. */
const char *VE_logger_getenv(const char *name);
/* Makes the library's own logger the default: when "QIVA_LOGGER" is unset, puts
 * "QIVA_LOGGER=veska" into the environment, which keeps the heap text for good. Writes the
 * environment, so callers run it once (under a once-guard, or before starting threads). */
void VE_set_logger_env(void);

/* Registers, once per process, fork handlers that take the logging locks before a fork and
 * release them after it on both sides, so a child never inherits one held by a thread that
 * does not exist there. Called by the first logger selection, and before any other of the
 * library's fork handlers (whose locks are taken before the logging ones). */
void VE_logging_register_fork_handlers(void);

/* The logger modules built into the library: the host tracing logger (the embedded default)
 * and the console logger. */
extern const qiva_logger_module_t QIVA_default_logger_module;
extern const qiva_logger_module_t QIVA_stdout_logger_module;

/* Build information, generated when the library is built. */
typedef struct kemb_values_t {
  unsigned int valInfoCount;    /* 18 */
  unsigned int valCommentCount; /* 6 */
  char **valInfo;
  char **valComment;
} kemb_values_t;
void kemb00(kemb_values_t **values);

/* ---- The logging convention ----------------------------------------------------------- */
/*
 * Every source file that logs defines its record once:
 *     VE_LOG_FILE("veska");
 * Every function that logs opens with VE_LOG_ENTER and leaves only through the VE_RETURN
 * family, so the exit event carries the result at every return:
 *     int VE_something(int x) {
 *       VE_LOG_ENTER("VE_something");
 *       if (x < 0) VE_RETURN(QIVA_ERR_INVALID);
 *       VE_LOG_DEBUG(QIVA_LOG_DETAIL, "x is %d", x);
 *       VE_RETURN(0);
 *     }
 * A plain `return` in such a function is a fault that review (and the source lint test)
 * catches: the exit event would be missing.
 */

#define VE_LOG_FILE(component_name)        \
  static qiva_file_log_t QIVA_FILE_LOG = { \
      __FILE__, __DATE__, __TIME__, component_name, 0, VE_ONCE_INIT, ~0u, 0, NULL}

/* Whether a call about the record could reach a module: always until the record is
 * initialised (the first call initialises it, and the process's first chooses the logger),
 * afterwards only while it is enabled. A record initialised with no logger active stays
 * disabled for the life of the process, so there the whole entry or exit event is a load and
 * a branch. Pairs with the release store of initialised in the front end, which follows the
 * writes of enabled and event_mask. */
#define VE_LOG_RECORD_LIVE_(record)                                 \
  (__atomic_load_n(&(record).initialised, __ATOMIC_ACQUIRE) == 0 || \
   __atomic_load_n(&(record).enabled, __ATOMIC_RELAXED) != 0)
/* The same for a function event, which the record's event mask may also exclude. */
#define VE_LOG_EVENT_WANTED_(record, event)                         \
  (__atomic_load_n(&(record).initialised, __ATOMIC_ACQUIRE) == 0 || \
   (__atomic_load_n(&(record).enabled, __ATOMIC_RELAXED) != 0 &&    \
    (__atomic_load_n(&(record).event_mask, __ATOMIC_RELAXED) & (event)) != 0u))

/* Opens the function's record with a chosen event mask and sends the entry event. */
#define VE_LOG_ENTER_MASKED(function_name_text, mask)                                             \
  static qiva_function_log_t QIVA_FUNCTION_LOG = {                                                \
      &QIVA_FILE_LOG, NULL, function_name_text, __LINE__, 0, VE_ONCE_INIT, (mask), 0, NULL};      \
  void *QIVA_FUNCTION_LOG_ENTER_RESULT =                                                          \
      VE_LOG_EVENT_WANTED_(QIVA_FUNCTION_LOG, QIVA_FUNCTION_EVENT_ENTER)                          \
          ? QIVA_log_event(&QIVA_FUNCTION_LOG, QIVA_FUNCTION_LOG.line, QIVA_FUNCTION_EVENT_ENTER) \
          : NULL;                                                                                 \
  (void)QIVA_FUNCTION_LOG_ENTER_RESULT

#define VE_LOG_ENTER(function_name_text) VE_LOG_ENTER_MASKED(function_name_text, ~0u)

/* Returns an int result after sending the exit event with it. */
#define VE_RETURN(result)                                                                       \
  do {                                                                                          \
    int ve_return_value_ = (int)(result);                                                       \
    if (VE_LOG_EVENT_WANTED_(QIVA_FUNCTION_LOG, QIVA_FUNCTION_EVENT_EXIT))                      \
      QIVA_log_event(&QIVA_FUNCTION_LOG, __LINE__, QIVA_FUNCTION_EVENT_EXIT, ve_return_value_); \
    return ve_return_value_;                                                                    \
  } while (0)

/* Returns from a void function after sending the exit event with 0. */
#define VE_RETURN_VOID()                                                         \
  do {                                                                           \
    if (VE_LOG_EVENT_WANTED_(QIVA_FUNCTION_LOG, QIVA_FUNCTION_EVENT_EXIT))       \
      QIVA_log_event(&QIVA_FUNCTION_LOG, __LINE__, QIVA_FUNCTION_EVENT_EXIT, 0); \
    return;                                                                      \
  } while (0)

/* Returns a value of another type; logged_int is what the exit event reports (for a
 * pointer, its low 32 bits). value is evaluated once. */
#define VE_RETURN_VALUE(value, logged_int)                                                       \
  do {                                                                                           \
    int ve_return_logged_ = (int)(logged_int);                                                   \
    if (VE_LOG_EVENT_WANTED_(QIVA_FUNCTION_LOG, QIVA_FUNCTION_EVENT_EXIT))                       \
      QIVA_log_event(&QIVA_FUNCTION_LOG, __LINE__, QIVA_FUNCTION_EVENT_EXIT, ve_return_logged_); \
    return value;                                                                                \
  } while (0)

/* Output lines of the current function, with the current source line. Like the debug lines
 * below, they call out only while the record could reach a module: a record resolved disabled
 * (no logger was active when it was initialised) writes nothing through any call, so the
 * test alone stands for the call, and the arguments are not evaluated. */
#define VE_LOG_MSG(level, msg, ...)                                              \
  do {                                                                           \
    if (VE_LOG_RECORD_LIVE_(QIVA_FUNCTION_LOG))                                  \
      QIVA_log_msg(&QIVA_FUNCTION_LOG, __LINE__, (level), (msg), ##__VA_ARGS__); \
  } while (0)
/* Debug lines are asked for in loops (one per message copied): once the record is resolved
 * disabled, the line costs a load and a branch, and its arguments are not evaluated. */
#define VE_LOG_DEBUG(level, ...)                                          \
  do {                                                                    \
    if (VE_LOG_RECORD_LIVE_(QIVA_FUNCTION_LOG))                           \
      QIVA_log_debug(&QIVA_FUNCTION_LOG, __LINE__, (level), __VA_ARGS__); \
  } while (0)
#define VE_LOG_PRINTF(level, ...)                                          \
  do {                                                                     \
    if (VE_LOG_RECORD_LIVE_(QIVA_FUNCTION_LOG))                            \
      QIVA_log_printf(&QIVA_FUNCTION_LOG, __LINE__, (level), __VA_ARGS__); \
  } while (0)
#define VE_DEBUGGING(level)                                                                       \
  (VE_LOG_RECORD_LIVE_(QIVA_FUNCTION_LOG) ? QIVA_debugging(&QIVA_FUNCTION_LOG, __LINE__, (level)) \
                                          : 0)

#ifdef __cplusplus
}
#endif

#endif /* VESKA_VE_LOGGING_H */
