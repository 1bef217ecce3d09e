// The host tracing logger: forwards function entry, exit and detail lines to the host
// tracing library "zelm", loaded at run time. It takes no lock of its own; the host library's
// functions may be called from any thread, and the blocks are created inside the front end's
// once-guarded record initialisation.
#include "lib/vecommon/zelm1_logger.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "lib/vecommon/dynload.h"

static_assert(sizeof(ZELM1_CUB) == 112, "ZELM1_CUB is 112 bytes");
static_assert(offsetof(ZELM1_CUB, Version) == 0 && offsetof(ZELM1_CUB, Class) == 4 &&
                  offsetof(ZELM1_CUB, File) == 8 && offsetof(ZELM1_CUB, FileLen) == 16 &&
                  offsetof(ZELM1_CUB, Date) == 24 && offsetof(ZELM1_CUB, DateLen) == 32 &&
                  offsetof(ZELM1_CUB, Time) == 40 && offsetof(ZELM1_CUB, TimeLen) == 48 &&
                  offsetof(ZELM1_CUB, Level) == 56 && offsetof(ZELM1_CUB, LevelLen) == 64 &&
                  offsetof(ZELM1_CUB, Comp) == 72 && offsetof(ZELM1_CUB, CompLen) == 80 &&
                  offsetof(ZELM1_CUB, Reserved) == 88 && offsetof(ZELM1_CUB, Gate) == 96 &&
                  offsetof(ZELM1_CUB, cubKEMB) == 104,
              "ZELM1_CUB field offsets");
static_assert(sizeof(ZELM1_EPB) == 64, "ZELM1_EPB is 64 bytes");
static_assert(offsetof(ZELM1_EPB, Cub) == 0 && offsetof(ZELM1_EPB, Id) == 8 &&
                  offsetof(ZELM1_EPB, IdLen) == 16 && offsetof(ZELM1_EPB, Line) == 20 &&
                  offsetof(ZELM1_EPB, Sync) == 24 && offsetof(ZELM1_EPB, EntryClass) == 32 &&
                  offsetof(ZELM1_EPB, Class) == 36 && offsetof(ZELM1_EPB, SyncLocal) == 40 &&
                  offsetof(ZELM1_EPB, Reserved) == 48 && offsetof(ZELM1_EPB, Gate) == 56,
              "ZELM1_EPB field offsets");
static_assert(sizeof(zelm1_function_log_data_t) == 72 &&
                  offsetof(zelm1_function_log_data_t, traceFlow) == 64,
              "zelm1_function_log_data_t layout");

extern "C" {

void *zelm_handle = nullptr;
ZELM1_Sync_t ZELM1_Sync_ = nullptr;
ZELM1_Format_t ZELM1_Format_ = nullptr;
ZELM1_Event_t ZELM1_Event_ = nullptr;
ZELM1_BeginFormat_t ZELM1_BeginFormat_ = nullptr;
ZELQ1_ProcessFormat_t ZELQ1_ProcessFormat_ = nullptr;
ZELQ1_PrintFormat_t ZELQ1_PrintFormat_ = nullptr;
ZELQ1_EndFormat_t ZELQ1_EndFormat_ = nullptr;
unsigned int ZELM1__INIT_ = 1;

}  // extern "C"

namespace {

constexpr int32_t kCubVersion = 400;
constexpr uint32_t kEntryClass = 0x200;

// kemb00 as found in the process's global scope when the module was initialised.
void (*kemb_function)(kemb_values_t **) = nullptr;

// A heap copy of text (or of fallback when text is null) and its length.
char *_copy_text(const char *text, int32_t *length) {
  char *copy = strdup(text != nullptr ? text : "");
  *length = copy != nullptr ? static_cast<int32_t>(strlen(copy)) : 0;
  return copy;
}

uint32_t _get_zelm1_level(qiva_log_level_t level) {
  static const uint32_t kClassBits[] = {ZELM1_CLASS_ANY,  // QIVA_LOG_ANY
                                        0x01,             // QIVA_LOG_DETAIL
                                        0x80,             // QIVA_LOG_ERROR
                                        0x40,             // QIVA_LOG_FLOW
                                        0x20,             // QIVA_LOG_TIME
                                        0x02,             // QIVA_LOG_METRICS
                                        0x10,             // QIVA_LOG_STATE
                                        0x08,             // QIVA_LOG_INPUT
                                        0x04};            // QIVA_LOG_OUTPUT
  unsigned index = static_cast<unsigned>(level);
  return index < sizeof kClassBits / sizeof kClassBits[0] ? kClassBits[index] : 0;
}

// The function's class mask: the host library's cached value while the counter has not moved
// since its last synchronisation, otherwise a fresh one from ZELM1_Sync. The host library
// may update the cache from another thread, hence the atomic loads.
uint32_t _class_mask(zelm1_function_log_data_t *data) {
  ZELM1_EPB *epb = &data->Epb;
  uint32_t counter = __atomic_load_n(epb->Sync, __ATOMIC_ACQUIRE);
  if (counter == __atomic_load_n(&epb->SyncLocal, __ATOMIC_ACQUIRE))
    return __atomic_load_n(&epb->Class, __ATOMIC_RELAXED);
  return ZELM1_Sync_(epb);
}

void _unload_host_library() {
  QIVA_dlclose(zelm_handle);
  zelm_handle = nullptr;
  ZELM1_Sync_ = nullptr;
  ZELM1_Format_ = nullptr;
  ZELM1_Event_ = nullptr;
  ZELM1_BeginFormat_ = nullptr;
  ZELQ1_ProcessFormat_ = nullptr;
  ZELQ1_PrintFormat_ = nullptr;
  ZELQ1_EndFormat_ = nullptr;
}

}  // namespace

extern "C" {

int QIVA_logger_init_module(void) {
  if (zelm_handle != nullptr) return QIVA_SUCCESS;  // already loaded by an earlier attempt
  zelm_handle = QIVA_dlopen("zelm");
  if (zelm_handle == nullptr) return QIVA_ERR_INVALID;
  ZELM1_Sync_ = reinterpret_cast<ZELM1_Sync_t>(QIVA_dlsym(zelm_handle, "ZELM1_Sync"));
  ZELM1_Format_ = reinterpret_cast<ZELM1_Format_t>(QIVA_dlsym(zelm_handle, "ZELM1_Format"));
  ZELM1_Event_ = reinterpret_cast<ZELM1_Event_t>(QIVA_dlsym(zelm_handle, "ZELM1_Event"));
  ZELM1_BeginFormat_ =
      reinterpret_cast<ZELM1_BeginFormat_t>(QIVA_dlsym(zelm_handle, "ZELM1_BeginFormat"));
  ZELQ1_ProcessFormat_ =
      reinterpret_cast<ZELQ1_ProcessFormat_t>(QIVA_dlsym(zelm_handle, "ZELQ1_ProcessFormat"));
  ZELQ1_PrintFormat_ =
      reinterpret_cast<ZELQ1_PrintFormat_t>(QIVA_dlsym(zelm_handle, "ZELQ1_PrintFormat"));
  ZELQ1_EndFormat_ =
      reinterpret_cast<ZELQ1_EndFormat_t>(QIVA_dlsym(zelm_handle, "ZELQ1_EndFormat"));
  if (ZELM1_Sync_ == nullptr || ZELM1_Format_ == nullptr || ZELM1_Event_ == nullptr ||
      ZELM1_BeginFormat_ == nullptr || ZELQ1_ProcessFormat_ == nullptr ||
      ZELQ1_PrintFormat_ == nullptr || ZELQ1_EndFormat_ == nullptr) {
    _unload_host_library();
    return QIVA_ERR_INVALID;
  }
  void *self = QIVA_dlopen(nullptr);
  kemb_function = reinterpret_cast<void (*)(kemb_values_t **)>(QIVA_dlsym(self, "kemb00"));
  QIVA_dlclose(self);
  return QIVA_SUCCESS;
}

void QIVA_logger_init_file(qiva_file_log_t *file_log) {
  auto *cub = static_cast<ZELM1_CUB *>(calloc(1, sizeof(ZELM1_CUB)));
  if (cub == nullptr) return;
  cub->Version = kCubVersion;
  cub->Class = 0xFFFFFFFFu;
  cub->File = _copy_text(file_log->filename, &cub->FileLen);
  cub->Date = _copy_text(file_log->date, &cub->DateLen);
  cub->Time = _copy_text(file_log->time, &cub->TimeLen);
  int32_t ignored;
  cub->Level = _copy_text("0", &ignored);
  cub->LevelLen = 2;
  cub->Comp = _copy_text(file_log->component != nullptr ? file_log->component : "*", &cub->CompLen);
  cub->cubKEMB = kemb_function;
  // The host library dereferences every text; a block with a failed copy is not handed on.
  if (cub->File == nullptr || cub->Date == nullptr || cub->Time == nullptr ||
      cub->Level == nullptr || cub->Comp == nullptr) {
    free(cub->File);
    free(cub->Date);
    free(cub->Time);
    free(cub->Level);
    free(cub->Comp);
    free(cub);
    return;
  }
  file_log->module_data = cub;
}

void QIVA_logger_init_function(qiva_function_log_t *function_log) {
  qiva_file_log_t *file_log = function_log->file_log;
  if (file_log == nullptr || file_log->module_data == nullptr) return;
  auto *data =
      static_cast<zelm1_function_log_data_t *>(calloc(1, sizeof(zelm1_function_log_data_t)));
  if (data == nullptr) return;
  ZELM1_EPB *epb = &data->Epb;
  epb->Cub = static_cast<ZELM1_CUB *>(file_log->module_data);
  epb->Id = _copy_text(function_log->function_name, &epb->IdLen);
  if (epb->Id == nullptr) {
    free(data);
    return;
  }
  epb->Line = function_log->line;
  epb->Sync = &ZELM1__INIT_;
  epb->EntryClass = kEntryClass;
  function_log->module_data = data;
}

int QIVA_logger_logging(qiva_function_log_t *function_log, qiva_log_level_t level) {
  auto *data = static_cast<zelm1_function_log_data_t *>(function_log->module_data);
  if (data == nullptr) return 0;
  uint32_t mask = _class_mask(data);
  if (level == QIVA_LOG_ANY && (mask & ZELM1_CLASS_ANY) != 0) return 1;
  // A level above QIVA_LOG_OUTPUT maps to no bit and is therefore always wanted.
  uint32_t bit = _get_zelm1_level(level);
  return (mask & bit) == bit ? 1 : 0;
}

void QIVA_logger_printf(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                        const char *prefix, const char *format, va_list args) {
  (void)level;  // the front end has asked QIVA_logger_logging already
  auto *data = static_cast<zelm1_function_log_data_t *>(function_log->module_data);
  if (data == nullptr) return;
  void *handle = nullptr;
  if (ZELM1_BeginFormat_(&data->Epb, line, ZELM1_FORMAT_KIND_TEXT, &handle) != 0) return;
  if (prefix != nullptr) ZELQ1_PrintFormat_(handle, "%s", prefix);
  ZELQ1_ProcessFormat_(handle, format, args);
  ZELQ1_EndFormat_(handle);
}

void *QIVA_logger_function_event(qiva_function_log_t *function_log, int line,
                                 qiva_function_log_event_t event, va_list args) {
  auto *data = static_cast<zelm1_function_log_data_t *>(function_log->module_data);
  if (data == nullptr) return nullptr;
  if (event == QIVA_FUNCTION_EVENT_ENTER) {
    if (QIVA_logger_logging(function_log, QIVA_LOG_FLOW) != 0) {
      ZELM1_Event_(&data->Epb, line, ZELM1EVENT_Entry, 1);
      __atomic_store_n(&data->traceFlow, 1, __ATOMIC_RELAXED);
    }
  } else if (event == QIVA_FUNCTION_EVENT_EXIT) {
    // An exit is reported only for a function whose entry was reported at some time.
    if (__atomic_load_n(&data->traceFlow, __ATOMIC_RELAXED) == 1) {
      int result = va_arg(args, int);
      ZELM1_Event_(&data->Epb, line, ZELM1EVENT_ExitFunction, result);
    }
  }
  return nullptr;
}

const qiva_logger_module_t QIVA_default_logger_module = {
    QIVA_logger_init_module,      // loads libzelm.so and its seven functions
    QIVA_logger_init_file,        // the file's ZELM1_CUB
    QIVA_logger_init_function,    // the function's ZELM1_EPB
    QIVA_logger_logging,          // the level's class bit against the function's mask
    nullptr,                      // no debugging operation: debug output always wanted
    QIVA_logger_printf,           // one formatted detail line
    QIVA_logger_function_event};  // entry and exit events

}  // extern "C"
