/* The host name. */
#ifndef VESKA_VECOMMON_HOSTINFO_H
#define VESKA_VECOMMON_HOSTINFO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The host name into buf (len bytes, always terminated). 0; 25 when the system call fails;
 * 21 for a null buf or a len of 0; or the stored socket initialisation result. */
int QIVA_hostname(char *buf, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_VECOMMON_HOSTINFO_H */
