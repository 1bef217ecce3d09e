/*
 * The host tracing logger, table QIVA_default_logger_module (declared in ve_logging.h), and
 * the records and functions it exchanges with the host tracing library "zelm" (libzelm.so),
 * which it opens at run time. The host library reads and updates the two records, so their
 * x86-64 layout is fixed; the static_asserts in zelm1_logger.cpp hold it in place.
 */
#ifndef VESKA_VECOMMON_ZELM1_LOGGER_H
#define VESKA_VECOMMON_ZELM1_LOGGER_H

#include <stdarg.h>
#include <stdint.h>

#include "lib/vecommon/ve_logging.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Per source file, 112 bytes; kept in the file record's module_data. */
typedef struct ZELM1_CUB {
  int32_t Version;                         /*   0: 400 */
  uint32_t Class;                          /*   4: all bits */
  char *File;                              /*   8: copy of the file record's filename */
  int32_t FileLen;                         /*  16 */
  char *Date;                              /*  24: copy of the file's build date */
  int32_t DateLen;                         /*  32 */
  char *Time;                              /*  40: copy of the file's build time */
  int32_t TimeLen;                         /*  48 */
  char *Level;                             /*  56: copy of "0" */
  int32_t LevelLen;                        /*  64: 2, the text and its terminator */
  char *Comp;                              /*  72: copy of the component, "*" when there is none */
  int32_t CompLen;                         /*  80 */
  uint64_t Reserved;                       /*  88: zero */
  int32_t Gate;                            /*  96: once-gate owned by the host library */
  void (*cubKEMB)(kemb_values_t **values); /* 104: kemb00, or null */
} ZELM1_CUB;

/* Per function, 64 bytes. Class and SyncLocal belong to the host library: it caches the
 * function's class mask in Class and the counter value it was computed at in SyncLocal. */
typedef struct ZELM1_EPB {
  ZELM1_CUB *Cub;      /*  0: the file's block */
  char *Id;            /*  8: copy of the function name */
  int32_t IdLen;       /* 16 */
  int32_t Line;        /* 20: the line where the function begins */
  uint32_t *Sync;      /* 24: &ZELM1__INIT_, the synchronisation counter */
  uint32_t EntryClass; /* 32: 0x200 */
  uint32_t Class;      /* 36: cached class mask */
  uint32_t SyncLocal;  /* 40: counter value at the last synchronisation */
  uint64_t Reserved;   /* 48: zero */
  int32_t Gate;        /* 56: once-gate owned by the host library */
} ZELM1_EPB;

/* The function record's module_data, 72 bytes. */
typedef struct zelm1_function_log_data_t {
  ZELM1_EPB Epb;
  int32_t traceFlow; /* 64: 1 once an entry of the function has been reported */
} zelm1_function_log_data_t;

/* Event kinds of ZELM1_Event. */
#define ZELM1EVENT_Entry 0
#define ZELM1EVENT_ExitFunction 1
/* The data kind of a formatted detail line (ZELM1_BeginFormat). */
#define ZELM1_FORMAT_KIND_TEXT 4
/* Class bit of QIVA_LOG_ANY; the build-information dump is written when it is set. */
#define ZELM1_CLASS_ANY 0x100u

/* The seven functions of the host tracing library, as this logger calls them. */
typedef uint32_t (*ZELM1_Sync_t)(ZELM1_EPB *epb); /* the function's current class mask */
typedef int (*ZELM1_Format_t)(ZELM1_EPB *epb, int line, int kind, const char *format, ...);
typedef void (*ZELM1_Event_t)(ZELM1_EPB *epb, int line, int kind, int value);
/* Opens a format handle into *handle; 0 when one was opened. */
typedef int (*ZELM1_BeginFormat_t)(ZELM1_EPB *epb, int line, int kind, void **handle);
typedef void (*ZELQ1_ProcessFormat_t)(void *handle, const char *format, va_list args);
typedef void (*ZELQ1_PrintFormat_t)(void *handle, const char *format, ...);
typedef void (*ZELQ1_EndFormat_t)(void *handle); /* completes and writes the line */

/* Handle of the loaded host library (null when not loaded) and the seven functions. */
extern void *zelm_handle;
extern ZELM1_Sync_t ZELM1_Sync_;
extern ZELM1_Format_t ZELM1_Format_;
extern ZELM1_Event_t ZELM1_Event_;
extern ZELM1_BeginFormat_t ZELM1_BeginFormat_;
extern ZELQ1_ProcessFormat_t ZELQ1_ProcessFormat_;
extern ZELQ1_PrintFormat_t ZELQ1_PrintFormat_;
extern ZELQ1_EndFormat_t ZELQ1_EndFormat_;
/* The synchronisation counter every function block points at: 1, never changed here. */
extern unsigned int ZELM1__INIT_;

/* The host tracing logger's operations, also under their plain names so that a load from
 * single symbols finds them. */
int QIVA_logger_init_module(void);
void QIVA_logger_init_file(qiva_file_log_t *file_log);
void QIVA_logger_init_function(qiva_function_log_t *function_log);
int QIVA_logger_logging(qiva_function_log_t *function_log, qiva_log_level_t level);
void QIVA_logger_printf(qiva_function_log_t *function_log, int line, qiva_log_level_t level,
                        const char *prefix, const char *format, va_list args);
void *QIVA_logger_function_event(qiva_function_log_t *function_log, int line,
                                 qiva_function_log_event_t event, va_list args);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_VECOMMON_ZELM1_LOGGER_H */
