/* The context item the library adds by itself: "ServerAddress", the host's addresses. */
#ifndef VESKA_SRC_COMMON_CONTEXT_H
#define VESKA_SRC_COMMON_CONTEXT_H

#include "lib/vecommon/ve_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Copies the item into *context and counts it in *count when addresses are known; 0, or 21
 * for a null context. The addresses are collected once per process. */
int VE_common_context(qiva_values_list_t *context, ve_uint32_t *count);
/* 1 when every byte of the item's value is printable in the current locale (or size 0). */
int is_item_printable(const qiva_values_list_t *item);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_COMMON_CONTEXT_H */
