/* The host name. */
#ifndef VESKA_VECOMMON_HOSTINFO_H
#define VESKA_VECOMMON_HOSTINFO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0, 25 when the system call fails, or the stored socket initialisation result. */
int QIVA_hostname(char *buf, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_VECOMMON_HOSTINFO_H */
