/*
 * The console logger, table QIVA_stdout_logger_module (declared in ve_logging.h): every line
 * goes to standard output, or to the file named by "QIVA_LOGFILE", emptied at start and again
 * whenever it has reached "QIVA_LOGLIMIT" mebibytes (at most 2048). A line is the message
 * prefix, the formatted text and a newline; function entry and exit are not written.
 */
#ifndef VESKA_VECOMMON_STDOUT_LOGGER_H
#define VESKA_VECOMMON_STDOUT_LOGGER_H

#include "lib/vecommon/ve_logging.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The largest accepted "QIVA_LOGLIMIT", in mebibytes; larger values count as this. */
#define VE_STDOUT_LOGGER_MAX_LIMIT_MIB 2048ul

/* Fork support for the logging front end: non-zero take takes the output lock, zero releases
 * it (in the parent and the child alike). */
void VE_stdout_logger_fork(int take);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_VECOMMON_STDOUT_LOGGER_H */
