// The logging front end: initialises log records, forwards logging calls to the one active
// logger module, and chooses that module once per process from the environment. It never
// reports a failure to a logging caller; without an active module every call does nothing.
#include "lib/vecommon/ve_logging.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lib/concurrent/mutex_guard.h"
#include "lib/vecommon/dynload.h"
#include "lib/vecommon/stdout_logger.h"

VE_LOG_FILE("vecommon");

namespace {

// Handle of the shared object the active table came from; non-null exactly while a logger is
// active. It is published with a release store after QIVA_logger_module, so a reader that sees
// it set with an acquire load also sees the table.
void *logger_module = nullptr;
const qiva_logger_module_t *QIVA_logger_module = nullptr;

// Filled from single symbols when a shared object has no table symbol.
qiva_logger_module_t _dummy_logger_module;

pthread_mutex_t _set_logger_mutex = PTHREAD_MUTEX_INITIALIZER;
ve_once_t _init_module_once = VE_ONCE_INIT;

constexpr int kModuleNameSize = 512;
char module_name_copy[kModuleNameSize];
char symbol_buf[256];

ve_once_t _internal_debug_once = VE_ONCE_INIT;
int _internal_debug_enabled = 0;

// Fork: the selection lock, then the console logger's output lock (the order a selection
// takes them in), so a child can log and select like any process.
pthread_once_t _fork_handlers_once = PTHREAD_ONCE_INIT;
void _prepare_fork() {
  pthread_mutex_lock(&_set_logger_mutex);
  VE_stdout_logger_fork(1);
}
void _after_fork() {
  VE_stdout_logger_fork(0);
  pthread_mutex_unlock(&_set_logger_mutex);
}
void _register_fork_handlers() { pthread_atfork(_prepare_fork, _after_fork, _after_fork); }

const char *const kemb_names[] = {"build date",
                                  "build time",
                                  "generated filename",
                                  "environment filename",
                                  "target directory qualifier",
                                  "host directory qualifier",
                                  "user name",
                                  "host release",
                                  "host version",
                                  "host type",
                                  "machine name",
                                  "host machine",
                                  "host environment code",
                                  "target environment code",
                                  "build sequence number",
                                  "component code",
                                  "build serial number",
                                  "driver name"};
constexpr unsigned kKembValueCount = sizeof kemb_names / sizeof kemb_names[0];
static_assert(kKembValueCount == 18, "the build information has 18 captioned values");

inline void *_active_handle() { return __atomic_load_n(&logger_module, __ATOMIC_ACQUIRE); }

// The table, or null when no logger is active.
inline const qiva_logger_module_t *_active_table() {
  return _active_handle() != nullptr ? QIVA_logger_module : nullptr;
}

void _publish_logger(void *handle, const qiva_logger_module_t *table) {
  QIVA_logger_module = table;
  __atomic_store_n(&logger_module, handle, __ATOMIC_RELEASE);
}

// ---- Internal debug channel -------------------------------------------------------------

void _internal_debug_init() {
  const char *value = getenv("QIVA_LOGGER_DEBUG");
  _internal_debug_enabled = value != nullptr && value[0] == '1';
}

__attribute__((format(printf, 2, 3))) void _internal_debug(int line, const char *format, ...) {
  VE_once(&_internal_debug_once, _internal_debug_init);
  if (!_internal_debug_enabled) return;
  // One lock over header and message keeps the two parts of a report together.
  flockfile(stderr);
  fprintf(stderr, "[QIVA_LOGGER_DEBUG %s:%d] ", __FILE__, line);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  funlockfile(stderr);
}

#define INTERNAL_DEBUG(...) _internal_debug(__LINE__, __VA_ARGS__)

// ---- Module load ------------------------------------------------------------------------

void _module_symbol_name(const char *name) {
  // A result longer than the buffer is cut there; no such symbol will be found.
  snprintf(symbol_buf, sizeof symbol_buf, "QIVA_%s_logger_module",
           name != nullptr ? name : "default");
}

const qiva_logger_module_t *_load_from_symbols(void *handle) {
  memset(&_dummy_logger_module, 0, sizeof _dummy_logger_module);
  static const char *const kRequired[] = {"QIVA_logger_init_module", "QIVA_logger_printf",
                                          "QIVA_logger_init_file", "QIVA_logger_init_function"};
  void *found[4];
  for (int i = 0; i < 4; ++i) {
    found[i] = QIVA_dlsym(handle, kRequired[i]);
    if (found[i] == nullptr) {
      INTERNAL_DEBUG("Failed to load symbol %s\n", kRequired[i]);
      return nullptr;
    }
  }
  _dummy_logger_module.QIVA_logger_init_module =
      reinterpret_cast<qiva_logger_init_module_t>(found[0]);
  _dummy_logger_module.QIVA_logger_printf = reinterpret_cast<qiva_logger_printf_t>(found[1]);
  _dummy_logger_module.QIVA_logger_init_file = reinterpret_cast<qiva_logger_init_file_t>(found[2]);
  _dummy_logger_module.QIVA_logger_init_function =
      reinterpret_cast<qiva_logger_init_function_t>(found[3]);
  _dummy_logger_module.QIVA_logger_function_event = reinterpret_cast<qiva_logger_function_event_t>(
      QIVA_dlsym(handle, "QIVA_logger_function_event"));
  _dummy_logger_module.QIVA_logger_logging =
      reinterpret_cast<qiva_logger_logging_t>(QIVA_dlsym(handle, "QIVA_logger_logging"));
  _dummy_logger_module.QIVA_logger_debugging =
      reinterpret_cast<qiva_logger_debugging_t>(QIVA_dlsym(handle, "QIVA_logger_debugging"));
  return &_dummy_logger_module;
}

// The outcome of a load that passed init_module but lacks a required operation: the
// environment selection then gives up instead of trying the embedded module.
constexpr int kLoadIncomplete = -1;

// Reports each missing required operation; true when all three are present.
bool _check_required(const qiva_logger_module_t *table) {
  bool complete = true;
  if (table->QIVA_logger_init_file == nullptr) {
    INTERNAL_DEBUG("%s\n", "Missing required function QIVA_logger_init_file");
    complete = false;
  }
  if (table->QIVA_logger_init_function == nullptr) {
    INTERNAL_DEBUG("%s\n", "Missing required function QIVA_logger_init_function");
    complete = false;
  }
  if (table->QIVA_logger_printf == nullptr) {
    INTERNAL_DEBUG("%s\n", "Missing required function QIVA_logger_printf");
    complete = false;
  }
  return complete;
}

// Loads a module; path and name may each be absent. With check_required (the environment
// selection) a table without its required operations is closed before it is ever published,
// so no other thread can start using a module that is about to be dropped.
int _set_logger(const char *path, const char *name, bool check_required) {
  MutexGuard guard(&_set_logger_mutex);
  if (!guard.locked()) return QIVA_ERR_OSERROR;
  if (_active_handle() != nullptr) {
    INTERNAL_DEBUG("%s\n", "Logger is already set");
    return QIVA_ERR_INVALID;
  }
  INTERNAL_DEBUG("Attempting to load logger \"%s\" from: %s\n",
                 name != nullptr ? name : "(default)", path != nullptr ? path : "(process)");
  void *handle = QIVA_dlopen(path);
  if (handle == nullptr) {
    char error_text[1024];
    INTERNAL_DEBUG("%s\n", QIVA_dlerror(error_text, static_cast<int>(sizeof error_text)));
    return QIVA_ERR_INVALID;
  }
  _module_symbol_name(name);
  const auto *table = static_cast<const qiva_logger_module_t *>(QIVA_dlsym(handle, symbol_buf));
  if (table == nullptr) {
    INTERNAL_DEBUG("Loading from symbols\n");
    table = _load_from_symbols(handle);
  }
  // A table without init_module could not even be asked; it counts as no table at all.
  if (table == nullptr || table->QIVA_logger_init_module == nullptr) {
    INTERNAL_DEBUG("Could not find module symbol\n");
    QIVA_dlclose(handle);
    return QIVA_ERR_INVALID;
  }
  int result = table->QIVA_logger_init_module();
  INTERNAL_DEBUG("init_module returned %d\n", result);
  if (result != 0) {
    QIVA_dlclose(handle);
    return result;
  }
  if (check_required && !_check_required(table)) {
    QIVA_dlclose(handle);
    return kLoadIncomplete;
  }
  _publish_logger(handle, table);
  return QIVA_SUCCESS;
}

// Splits "path", "path:name", ":name" (or null) and loads it.
int _set_logger_from_selection(const char *selection, bool check_required) {
  if (selection == nullptr) return _set_logger(nullptr, nullptr, check_required);
  const char *colon = strchr(selection, ':');
  size_t path_length =
      colon != nullptr ? static_cast<size_t>(colon - selection) : strlen(selection);
  // An empty name after the colon means the default module, like no name at all.
  const char *name = colon != nullptr && colon[1] != '\0' ? colon + 1 : nullptr;
  char *path = nullptr;
  if (colon == nullptr || path_length > 0) {
    path = static_cast<char *>(malloc(path_length + 1));
    if (path == nullptr) {
      INTERNAL_DEBUG("Failed to malloc: bailing out\n");
      return QIVA_ERR_NOMEM;
    }
    memcpy(path, selection, path_length);
    path[path_length] = '\0';
  }
  int result = _set_logger(path, name, check_required);
  free(path);
  return result;
}

// The environment selection, once per process.
void _init_module() {
  // Before any lock is taken: registering waits while another thread is forking.
  VE_logging_register_fork_handlers();
  if (_active_handle() != nullptr) return;
  const char *disable = getenv("QIVA_LOGGER_DISABLE");
  if (disable != nullptr && disable[0] == '1') {
    INTERNAL_DEBUG("%s\n", "Logging disabled");
    return;
  }
  INTERNAL_DEBUG("%s\n", "Logging enabled");
  if (_active_handle() != nullptr) return;

  int result = QIVA_ERR_INVALID;
  const char *selection = VE_logger_getenv("QIVA_LOGGER");
  if (selection != nullptr) {
    size_t length = strlen(selection);
    if (length < static_cast<size_t>(kModuleNameSize)) {
      memcpy(module_name_copy, selection, length + 1);
      INTERNAL_DEBUG("%s set to '%s'\n", "QIVA_LOGGER", module_name_copy);
      result = _set_logger_from_selection(module_name_copy, true);
    } else {
      INTERNAL_DEBUG("Module name is too long (%d >= %d)\n", static_cast<int>(length),
                     kModuleNameSize);
    }
  }
  if (result == kLoadIncomplete) return;
  if (result != QIVA_SUCCESS) {
    INTERNAL_DEBUG("%s\n", "Loading embedded logger");
    result = _set_logger_from_selection(nullptr, true);
    if (result == kLoadIncomplete) return;
    if (result != QIVA_SUCCESS) {
      INTERNAL_DEBUG("%s\n", "Failed to load logger");
      return;
    }
  }
  QIVA_log_buildinfo();
}

// ---- Record initialisation --------------------------------------------------------------

void _init_file_log(void *arg) {
  auto *file_log = static_cast<qiva_file_log_t *>(arg);
  if (_active_handle() == nullptr) VE_once(&_init_module_once, _init_module);
  const qiva_logger_module_t *table = _active_table();
  if (table == nullptr) return;  // never offered to a module
  file_log->module_data = nullptr;
  file_log->enabled = 1;
  if (table->QIVA_logger_init_file != nullptr) table->QIVA_logger_init_file(file_log);
  __atomic_store_n(&file_log->initialised, 1, __ATOMIC_RELEASE);
}

void _init_function_log(void *arg) {
  auto *function_log = static_cast<qiva_function_log_t *>(arg);
  qiva_file_log_t *file_log = function_log->file_log;
  if (file_log != nullptr && __atomic_load_n(&file_log->initialised, __ATOMIC_ACQUIRE) == 0)
    VE_once_ex(&file_log->initialisation_guard, _init_file_log, file_log);
  const qiva_logger_module_t *table = _active_table();
  if (table == nullptr) {
    // Disabled for the life of the process.
    __atomic_store_n(&function_log->initialised, 1, __ATOMIC_RELEASE);
    return;
  }
  function_log->module_data = nullptr;
  function_log->enabled = 1;
  if (function_log->filename == nullptr && file_log != nullptr)
    function_log->filename = file_log->filename;
  if (table->QIVA_logger_init_function != nullptr) table->QIVA_logger_init_function(function_log);
  // Set before the init event so that the event's own initialisation check passes.
  __atomic_store_n(&function_log->initialised, 1, __ATOMIC_RELEASE);
  QIVA_log_event(function_log, function_log->line, QIVA_FUNCTION_EVENT_INIT);
}

// The module's table when the record is ready and enabled; null otherwise.
inline const qiva_logger_module_t *_prepared_table(qiva_function_log_t *function_log) {
  if (__atomic_load_n(&function_log->initialised, __ATOMIC_ACQUIRE) == 0)
    VE_once_ex(&function_log->initialisation_guard, _init_function_log, function_log);
  if (!function_log->enabled) return nullptr;
  return _active_table();
}

// The level test, without any formatting; null when the line is not wanted.
const qiva_logger_module_t *_logging_table(qiva_function_log_t *function_log,
                                           qiva_log_level_t level) {
  if (function_log == nullptr) return nullptr;
  const qiva_logger_module_t *table = _prepared_table(function_log);
  if (table == nullptr) return nullptr;
  if (table->QIVA_logger_logging != nullptr && table->QIVA_logger_logging(function_log, level) == 0)
    return nullptr;
  return table;
}

void _emit(const qiva_logger_module_t *table, qiva_function_log_t *function_log, int line,
           qiva_log_level_t level, const char *prefix, const char *format, va_list args) {
  if (table->QIVA_logger_printf != nullptr)
    table->QIVA_logger_printf(function_log, line, level, prefix, format, args);
}

}  // namespace

extern "C" {

void *QIVA_log_event(qiva_function_log_t *function_log, int line, qiva_function_log_event_t event,
                     ...) {
  if (function_log == nullptr) return nullptr;
  const qiva_logger_module_t *table = _prepared_table(function_log);
  if (table == nullptr || table->QIVA_logger_function_event == nullptr) return nullptr;
  if ((event & function_log->event_mask) == 0) return nullptr;
  va_list args;
  va_start(args, event);
  void *result = table->QIVA_logger_function_event(function_log, line, event, args);
  va_end(args);
  return result;
}

int QIVA_logging(qiva_function_log_t *function_log, int line, qiva_log_level_t level) {
  (void)line;
  return _logging_table(function_log, level) != nullptr ? 1 : 0;
}

int QIVA_debugging(qiva_function_log_t *function_log, int line, qiva_log_level_t level) {
  (void)line;
  const qiva_logger_module_t *table = _logging_table(function_log, level);
  if (table == nullptr) return 0;
  if (table->QIVA_logger_debugging == nullptr) return 1;
  return table->QIVA_logger_debugging(function_log) != 0 ? 1 : 0;
}

void QIVA_log_vprintf(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                      const char *prefix, const char *format, va_list args) {
  if (format == nullptr) return;
  const qiva_logger_module_t *table = _logging_table(function_log, level);
  if (table == nullptr) return;
  _emit(table, function_log, line, level, prefix, format, args);
}

void QIVA_log_printf(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                     const char *format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  QIVA_log_vprintf(function_log, line, level, nullptr, format, args);
  va_end(args);
}

void QIVA_log_msg(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                  qiva_message_id_t msg, ...) {
  const char *text = QIVA_getmsg(msg);
  if (text == nullptr) return;
  va_list args;
  // The exported signature ends its fixed arguments with the enumeration, which travels in an
  // int-sized slot like any promoted argument; va_start finds the variable ones after it.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
  va_start(args, msg);
#ifdef __clang__
#pragma clang diagnostic pop
#endif
  QIVA_log_vprintf(function_log, line, level, QIVA_getmsg_prefix(msg), text, args);
  va_end(args);
}

void QIVA_log_debug(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                    const char *format, ...) {
  if (format == nullptr) return;
  // QIVA_debugging includes the level test; the line is then emitted without asking twice.
  if (QIVA_debugging(function_log, line, level) == 0) return;
  const qiva_logger_module_t *table = _active_table();
  if (table == nullptr) return;
  va_list args;
  va_start(args, format);
  _emit(table, function_log, line, level, QIVA_getmsg_prefix(QIVA_MSG_DEBUG), format, args);
  va_end(args);
}

int QIVA_log_set_logger(const char *selection) {
  return _set_logger_from_selection(selection, false);
}

const char *VE_logger_getenv(const char *name) {
  // secure_getenv answers null in a secure-execution process (set-user-ID, set-group-ID,
  // file capabilities), where the environment belongs to a less trusted caller.
  return name != nullptr ? secure_getenv(name) : nullptr;
}

void VE_set_logger_env(void) {
  if (getenv("QIVA_LOGGER") != nullptr) return;  // NOLINT(concurrency-mt-unsafe)
  char *text = strdup("QIVA_LOGGER=veska");
  if (text == nullptr) return;
  // putenv keeps the text only when it succeeds.
  if (putenv(text) != 0) free(text);  // NOLINT(concurrency-mt-unsafe)
}

// Written once, right after the environment selection chose a module.
void QIVA_log_buildinfo(void) {
  VE_LOG_ENTER("QIVA_log_buildinfo");
  VE_LOG_DEBUG(QIVA_LOG_ANY, "Build information ------------------------------------");
  kemb_values_t *values = nullptr;
  kemb00(&values);
  if (values == nullptr) {
    VE_LOG_DEBUG(QIVA_LOG_ANY, "    (could not find build info)");
  } else {
    unsigned count = values->valInfoCount;
    if (count > kKembValueCount) {
      values->valInfoCount = kKembValueCount;
      count = kKembValueCount;
    }
    for (unsigned i = 0; i < count; ++i)
      VE_LOG_DEBUG(
          QIVA_LOG_ANY, "    %s: %s", kemb_names[i],
          values->valInfo != nullptr && values->valInfo[i] != nullptr ? values->valInfo[i] : "");
  }
  VE_LOG_DEBUG(QIVA_LOG_ANY, "------------------------------------------------------");
  VE_RETURN_VOID();
}

}  // extern "C"

namespace {

// Closes the active module's shared object when the library is unloaded. The handle is
// cleared first, so that logging from later destructors finds no logger instead of a closed one.
__attribute__((destructor)) void ve_logging_cleanup() {
  void *handle = __atomic_exchange_n(&logger_module, nullptr, __ATOMIC_ACQ_REL);
  if (handle != nullptr) QIVA_dlclose(handle);
}

}  // namespace

extern "C" void VE_logging_register_fork_handlers(void) {
  pthread_once(&_fork_handlers_once, _register_fork_handlers);
}
